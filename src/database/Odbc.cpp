#include "database/Odbc.h"

#include <sql.h>
#include <sqlext.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <map>
#include <mutex>
#include <set>

#include "database/SqlText.h"

namespace vnpp::database {
namespace {

// SQLite reports constraint failures as SQLITE_CONSTRAINT (19) for unique keys and NOT NULL
// alike; only the message tells a key violation apart.
constexpr std::int32_t kSqliteConstraint = 19;
constexpr const char* kSqliteUniqueText = "UNIQUE constraint failed";
constexpr const char* kUniqueViolationState = "23505";

bool Succeeded(SQLRETURN rc) { return rc == SQL_SUCCESS || rc == SQL_SUCCESS_WITH_INFO; }

// A driver's text on one line: it may span several (the server's hint, each address tried),
// and each message is one line of the log. A line break and the indent after it become one
// blank; breaks at the end go.
std::string OneLine(const char* text) {
  std::string out;
  bool lineBreak = false;
  for (const char* p = text; *p != '\0'; ++p) {
    if (*p == '\r' || *p == '\n') {
      lineBreak = true;
    } else if (!lineBreak || (*p != ' ' && *p != '\t')) {
      if (lineBreak && !out.empty()) out += ' ';
      lineBreak = false;
      out += *p;
    }
  }
  return out;
}

// Collects every diagnostic record of a handle into one error. context goes in front of
// the driver's text when the driver gives none.
EDatabaseError DiagnosticError(SQLSMALLINT handleType, SQLHANDLE handle,
                               const std::string& context) {
  std::string message;
  std::string firstState;
  std::vector<std::string> states;
  std::vector<std::int32_t> natives;
  if (handle != SQL_NULL_HANDLE) {
    for (SQLSMALLINT rec = 1;; ++rec) {
      SQLCHAR state[SQL_SQLSTATE_SIZE + 1] = {};
      SQLINTEGER native = 0;
      SQLCHAR text[SQL_MAX_MESSAGE_LENGTH + 1] = {};
      SQLSMALLINT textLen = 0;
      const SQLRETURN rc =
          SQLGetDiagRec(handleType, handle, rec, state, &native, text, sizeof text, &textLen);
      if (!Succeeded(rc)) break;
      states.emplace_back(reinterpret_cast<const char*>(state));
      natives.push_back(static_cast<std::int32_t>(native));
      if (!message.empty()) message += "; ";
      message += OneLine(reinterpret_cast<const char*>(text));
    }
  }
  if (message.empty()) message = context;
  if (!states.empty()) firstState = states.front();
  return EDatabaseError(message, firstState, std::move(states), std::move(natives));
}

EDatabaseError PlainError(const std::string& message) {
  return EDatabaseError(message, "", {}, {});
}

void Check(SQLRETURN rc, SQLSMALLINT handleType, SQLHANDLE handle, const std::string& context) {
  if (!Succeeded(rc)) throw DiagnosticError(handleType, handle, context);
}

// Wraps a value in braces when it holds a character that ends or opens a connection
// string attribute; a "}" inside is doubled.
std::string AttributeValue(const std::string& value) {
  if (value.find_first_of(";{}=") == std::string::npos && !value.empty() && value.front() != ' ' &&
      value.back() != ' ') {
    return value;
  }
  std::string out = "{";
  for (char c : value) {
    out += c;
    if (c == '}') out += '}';
  }
  return out + "}";
}

struct ParamValue {
  bool HasValue = false;  // bound at all
  bool IsNull = false;
  TParamType Type = TParamType::Text;
  std::string Text;  // text and date-time values
  double Double = 0;
  std::int64_t Integer = 0;
};

enum class ColumnKind { Text, Double, DateTime };

struct ColumnInfo {
  std::string Name;  // upper-cased
  ColumnKind Kind = ColumnKind::Text;
};

// Converts a time stamp from the driver as GetDateTime does: milliseconds rounded, at most 999.
TDateTime StampToDateTime(const SQL_TIMESTAMP_STRUCT& ts) {
  int ms = static_cast<int>(std::lround(ts.fraction / 1.0e6));
  if (ms > 999) ms = 999;
  return common::EncodeDateTime(ts.year, ts.month, ts.day, ts.hour, ts.minute, ts.second, ms);
}

TTimeTag StampToTag(const SQL_TIMESTAMP_STRUCT& ts) {
  return {StampToDateTime(ts), common::CalendarMicros(ts.year, ts.month, ts.day, ts.hour, ts.minute,
                                                      ts.second, ts.fraction / 1000)};
}

// One column of a block read.
struct BoundColumn {
  TColumnType Type = TColumnType::Double;
  std::vector<double> Doubles;
  std::vector<SQL_TIMESTAMP_STRUCT> Stamps;
  std::vector<char> Texts;  // Width bytes a row
  std::size_t Width = 0;
  std::vector<SQLLEN> Indicators;
};

struct CellValue {
  bool Read = false;
  bool IsNull = true;
  std::string Text;
  double Double = 0;
  TDateTime DateTime = 0;
};

}  // namespace

// Handles shared by a connection and its statements. When the connection closes it frees
// every statement handle first and marks it gone, so a statement that outlives its
// connection never touches a freed handle.
struct ConnectionState;

// What another thread needs to cancel the call in progress on a connection: the statement
// that runs and since when. A handle is freed only after its call has left Busy, and Cancel
// holds Mu across SQLCancel, so it never cancels a freed handle.
struct CancelPoint {
  std::mutex Mu;
  SQLHSTMT Busy = SQL_NULL_HSTMT;      // guarded by Mu
  std::atomic<std::int64_t> Since{0};  // steady-clock nanoseconds; 0: no call runs

  void Cancel() noexcept {
    std::lock_guard<std::mutex> lock(Mu);
    if (Busy != SQL_NULL_HSTMT) SQLCancel(Busy);
  }
};

// Marks a driver call that may wait for the server.
class BusyScope {
 public:
  BusyScope(CancelPoint* point, SQLHSTMT statement) : point_(point) {
    if (point_ == nullptr) return;
    std::lock_guard<std::mutex> lock(point_->Mu);
    point_->Busy = statement;
    point_->Since.store(std::chrono::steady_clock::now().time_since_epoch().count() |
                        1);  // never 0
  }
  ~BusyScope() {
    if (point_ == nullptr) return;
    std::lock_guard<std::mutex> lock(point_->Mu);
    point_->Busy = SQL_NULL_HSTMT;
    point_->Since.store(0);
  }
  BusyScope(const BusyScope&) = delete;
  BusyScope& operator=(const BusyScope&) = delete;

 private:
  CancelPoint* point_;
};

struct StatementHandle {
  SQLHSTMT Handle = SQL_NULL_HSTMT;
};

struct ConnectionState {
  SQLHENV Env = SQL_NULL_HENV;
  SQLHDBC Dbc = SQL_NULL_HDBC;
  bool Connected = false;
  bool InTransaction = false;
  std::set<StatementHandle*> Statements;
  std::shared_ptr<CancelPoint> Cancel;  // the connection's, kept across its states

  void FreeStatements() noexcept {
    for (StatementHandle* s : Statements) {
      if (s->Handle != SQL_NULL_HSTMT) SQLFreeHandle(SQL_HANDLE_STMT, s->Handle);
      s->Handle = SQL_NULL_HSTMT;
    }
    Statements.clear();
  }

  // Errors of the closing are ignored: nothing can be done about them and the handles are
  // gone afterwards either way.
  void Close() noexcept {
    FreeStatements();
    if (Dbc != SQL_NULL_HDBC) {
      // A transaction still open is rolled back: drivers refuse to disconnect inside one.
      if (Connected && InTransaction) SQLEndTran(SQL_HANDLE_DBC, Dbc, SQL_ROLLBACK);
      if (Connected) SQLDisconnect(Dbc);
      SQLFreeHandle(SQL_HANDLE_DBC, Dbc);
      Dbc = SQL_NULL_HDBC;
    }
    if (Env != SQL_NULL_HENV) {
      SQLFreeHandle(SQL_HANDLE_ENV, Env);
      Env = SQL_NULL_HENV;
    }
    Connected = false;
    InTransaction = false;
  }
};

// ---------------------------------------------------------------------------------------
// EDatabaseError

EDatabaseError::EDatabaseError(const std::string& message, std::string sqlState,
                               std::vector<std::string> sqlStates,
                               std::vector<std::int32_t> nativeCodes)
    : common::EPostProcError(message),
      sqlState_(std::move(sqlState)),
      sqlStates_(std::move(sqlStates)),
      nativeCodes_(std::move(nativeCodes)) {}

bool EDatabaseError::IsKeyViolation() const {
  for (const std::string& state : sqlStates_) {
    if (state == kUniqueViolationState) return true;
  }
  const bool uniqueText = std::string(what()).find(kSqliteUniqueText) != std::string::npos;
  for (std::int32_t code : nativeCodes_) {
    if (code == kSqliteConstraint && uniqueText) return true;
  }
  return false;
}

// ---------------------------------------------------------------------------------------
// TStatement

struct TStatement::Impl {
  std::shared_ptr<ConnectionState> Conn;
  StatementHandle Stmt;
  std::vector<std::string> MarkerNames;
  std::vector<ParamValue> Values;             // one per distinct name, in order of appearance
  std::vector<std::size_t> MarkerValue;       // index into Values for each marker
  std::map<std::string, std::size_t> ByName;  // upper-cased name -> index into Values
  std::vector<SQLLEN> Indicators;             // one per marker, stable during SQLExecute
  std::vector<BoundColumn> Bound;             // block reads only
  SQLULEN RowsFetched = 0;
  std::vector<ColumnInfo> Columns;
  std::vector<std::string> TextColumns;  // upper-cased names read as text (ReadAsText)
  std::vector<CellValue> Row;
  size_t NextUnread = 0;  // columns are read in ascending order and kept
  bool CursorOpen = false;
  bool OnRow = false;

  ~Impl() {
    if (Conn) Conn->Statements.erase(&Stmt);
    if (Stmt.Handle != SQL_NULL_HSTMT) SQLFreeHandle(SQL_HANDLE_STMT, Stmt.Handle);
  }

  SQLHSTMT Handle() const {
    if (Stmt.Handle == SQL_NULL_HSTMT) throw PlainError("The database connection is closed.");
    return Stmt.Handle;
  }

  ParamValue& Param(const std::string& name) {
    const auto it = ByName.find(UpperAscii(name));
    if (it == ByName.end()) throw PlainError("Parameter '" + name + "' not found");
    return Values[it->second];
  }

  ParamValue& ParamAt(std::size_t index) {
    if (index >= Values.size()) {
      throw PlainError("Parameter number " + std::to_string(index) + " not found");
    }
    return Values[index];
  }

  void BindAll() {
    const SQLHSTMT h = Handle();
    SQLFreeStmt(h, SQL_RESET_PARAMS);
    Indicators.assign(MarkerNames.size(), 0);
    for (size_t i = 0; i < MarkerNames.size(); ++i) {
      ParamValue& p = Values[MarkerValue[i]];
      if (!p.HasValue) throw PlainError("No value for parameter '" + MarkerNames[i] + "'");
      SQLSMALLINT cType = SQL_C_CHAR;
      SQLSMALLINT sqlType = SQL_VARCHAR;
      SQLULEN size = 0;
      SQLSMALLINT digits = 0;
      SQLPOINTER data = nullptr;
      SQLLEN bufferLen = 0;
      switch (p.Type) {
        case TParamType::Text:
          size = p.Text.empty() ? 1 : p.Text.size();
          data = p.Text.data();
          bufferLen = static_cast<SQLLEN>(p.Text.size());
          Indicators[i] = bufferLen;
          break;
        case TParamType::DateTime:
          sqlType = SQL_TYPE_TIMESTAMP;
          size = p.IsNull || p.Text.size() <= 19 ? 19 : 23;
          digits = size == 23 ? 3 : 0;
          data = p.Text.data();
          bufferLen = static_cast<SQLLEN>(p.Text.size());
          Indicators[i] = bufferLen;
          break;
        case TParamType::Double:
          cType = SQL_C_DOUBLE;
          sqlType = SQL_DOUBLE;
          size = 15;
          data = &p.Double;
          break;
        case TParamType::Integer:
          cType = SQL_C_SBIGINT;
          sqlType = SQL_BIGINT;
          size = 19;
          data = &p.Integer;
          break;
      }
      if (p.IsNull) {
        Indicators[i] = SQL_NULL_DATA;
        data = nullptr;
        bufferLen = 0;
      }
      const SQLRETURN rc =
          SQLBindParameter(h, static_cast<SQLUSMALLINT>(i + 1), SQL_PARAM_INPUT, cType, sqlType,
                           size, digits, data, bufferLen, &Indicators[i]);
      // The message is made only for a failure: this runs for every parameter of every
      // execution.
      if (!Succeeded(rc)) {
        Check(rc, SQL_HANDLE_STMT, h, "Binding parameter '" + MarkerNames[i] + "' failed");
      }
    }
  }

  void DescribeColumns() {
    const SQLHSTMT h = Handle();
    Columns.clear();
    SQLSMALLINT count = 0;
    Check(SQLNumResultCols(h, &count), SQL_HANDLE_STMT, h, "Reading the result columns failed");
    for (SQLSMALLINT c = 1; c <= count; ++c) {
      SQLCHAR name[256] = {};
      SQLSMALLINT nameLen = 0, type = 0, digits = 0, nullable = 0;
      SQLULEN size = 0;
      Check(SQLDescribeCol(h, static_cast<SQLUSMALLINT>(c), name, sizeof name, &nameLen, &type,
                           &size, &digits, &nullable),
            SQL_HANDLE_STMT, h, "Reading the result columns failed");
      ColumnInfo info;
      info.Name = UpperAscii(reinterpret_cast<const char*>(name));
      switch (type) {
        case SQL_TYPE_TIMESTAMP:
        case SQL_TIMESTAMP:
        case SQL_TYPE_DATE:
        case SQL_DATE:
          info.Kind = ColumnKind::DateTime;
          break;
        case SQL_DOUBLE:
        case SQL_FLOAT:
        case SQL_REAL:
        case SQL_NUMERIC:
        case SQL_DECIMAL:
        case SQL_INTEGER:
        case SQL_SMALLINT:
        case SQL_TINYINT:
        case SQL_BIGINT:
          info.Kind = ColumnKind::Double;
          break;
        default:
          info.Kind = ColumnKind::Text;
          break;
      }
      for (const std::string& text : TextColumns) {
        if (text == info.Name) info.Kind = ColumnKind::Text;
      }
      Columns.push_back(std::move(info));
    }
  }

  size_t ColumnIndex(const std::string& column) const {
    if (!OnRow) throw PlainError("No current row");
    const std::string upper = UpperAscii(column);
    for (size_t i = 0; i < Columns.size(); ++i) {
      if (Columns[i].Name == upper) return i;
    }
    throw PlainError("Field '" + column + "' not found");
  }

  void ReadCell(size_t index) {
    const SQLHSTMT h = Handle();
    const auto col = static_cast<SQLUSMALLINT>(index + 1);
    CellValue& cell = Row[index];
    cell.Read = true;
    SQLLEN ind = 0;
    const std::string context = "Reading field '" + Columns[index].Name + "' failed";
    switch (Columns[index].Kind) {
      case ColumnKind::DateTime: {
        SQL_TIMESTAMP_STRUCT ts = {};
        Check(SQLGetData(h, col, SQL_C_TYPE_TIMESTAMP, &ts, sizeof ts, &ind), SQL_HANDLE_STMT, h,
              context);
        cell.IsNull = ind == SQL_NULL_DATA;
        if (!cell.IsNull) cell.DateTime = StampToDateTime(ts);
        break;
      }
      case ColumnKind::Double: {
        double value = 0;
        Check(SQLGetData(h, col, SQL_C_DOUBLE, &value, sizeof value, &ind), SQL_HANDLE_STMT, h,
              context);
        cell.IsNull = ind == SQL_NULL_DATA;
        cell.Double = cell.IsNull ? 0 : value;
        break;
      }
      case ColumnKind::Text: {
        cell.Text.clear();
        char buf[1024];
        for (;;) {
          const SQLRETURN rc = SQLGetData(h, col, SQL_C_CHAR, buf, sizeof buf, &ind);
          if (rc == SQL_NO_DATA) break;
          Check(rc, SQL_HANDLE_STMT, h, context);
          if (ind == SQL_NULL_DATA) break;
          const size_t got = (ind == SQL_NO_TOTAL || ind >= static_cast<SQLLEN>(sizeof buf))
                                 ? sizeof buf - 1
                                 : static_cast<size_t>(ind);
          cell.Text.append(buf, got);
          if (rc == SQL_SUCCESS) break;
        }
        cell.IsNull = ind == SQL_NULL_DATA;
        break;
      }
    }
  }

  CellValue& Cell(const std::string& column) {
    const size_t index = ColumnIndex(column);
    if (!Row[index].Read) {
      // Drivers hand out columns in ascending order only; earlier ones are kept.
      if (index < NextUnread) throw PlainError("Field '" + column + "' cannot be read again");
      for (size_t i = NextUnread; i <= index; ++i) ReadCell(i);
      NextUnread = index + 1;
    }
    return Row[index];
  }
};

TStatement::TStatement(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
TStatement::~TStatement() = default;

namespace {
void SetParam(ParamValue& p, TParamType type, bool isNull) {
  p.HasValue = true;
  p.IsNull = isNull;
  p.Type = type;
}
}  // namespace

void TStatement::BindText(const std::string& name, const std::string& value) {
  ParamValue& p = impl_->Param(name);
  SetParam(p, TParamType::Text, false);
  p.Text = value;
}

void TStatement::BindDouble(const std::string& name, double value) {
  ParamValue& p = impl_->Param(name);
  SetParam(p, TParamType::Double, false);
  p.Double = value;
}

void TStatement::BindInteger(const std::string& name, std::int64_t value) {
  ParamValue& p = impl_->Param(name);
  SetParam(p, TParamType::Integer, false);
  p.Integer = value;
}

void TStatement::BindDateTime(const std::string& name, TDateTime value) {
  ParamValue& p = impl_->Param(name);
  SetParam(p, TParamType::DateTime, false);
  p.Text = FormatSqlTimestamp(value);
}

void TStatement::BindNull(const std::string& name, TParamType type) {
  ParamValue& p = impl_->Param(name);
  SetParam(p, type, true);
  p.Text.clear();
}

std::size_t TStatement::ParamCount() const { return impl_->Values.size(); }

void TStatement::BindTextAt(std::size_t index, std::string_view value) {
  ParamValue& p = impl_->ParamAt(index);
  SetParam(p, TParamType::Text, false);
  p.Text.assign(value.data(), value.size());
}

void TStatement::BindDoubleAt(std::size_t index, double value) {
  ParamValue& p = impl_->ParamAt(index);
  SetParam(p, TParamType::Double, false);
  p.Double = value;
}

void TStatement::BindIntegerAt(std::size_t index, std::int64_t value) {
  ParamValue& p = impl_->ParamAt(index);
  SetParam(p, TParamType::Integer, false);
  p.Integer = value;
}

void TStatement::BindDateTimeAt(std::size_t index, TDateTime value) {
  ParamValue& p = impl_->ParamAt(index);
  SetParam(p, TParamType::DateTime, false);
  FormatSqlTimestamp(value, p.Text);
}

void TStatement::BindNullAt(std::size_t index, TParamType type) {
  ParamValue& p = impl_->ParamAt(index);
  SetParam(p, type, true);
  p.Text.clear();
}

void TStatement::Execute() {
  CloseCursor();
  impl_->BindAll();
  const SQLHSTMT h = impl_->Handle();
  SQLRETURN rc = SQL_ERROR;
  {
    BusyScope busy(impl_->Conn ? impl_->Conn->Cancel.get() : nullptr, h);
    rc = SQLExecute(h);
  }
  // An UPDATE or DELETE that matches no row reports SQL_NO_DATA; that is no failure.
  if (rc != SQL_NO_DATA) Check(rc, SQL_HANDLE_STMT, h, "Executing the statement failed");
  impl_->DescribeColumns();
  impl_->CursorOpen = !impl_->Columns.empty();
}

bool TStatement::Fetch() {
  impl_->OnRow = false;
  if (!impl_->CursorOpen) return false;
  const SQLHSTMT h = impl_->Handle();
  SQLRETURN rc = SQL_ERROR;
  {
    BusyScope busy(impl_->Conn ? impl_->Conn->Cancel.get() : nullptr, h);
    rc = SQLFetch(h);
  }
  if (rc == SQL_NO_DATA) return false;
  Check(rc, SQL_HANDLE_STMT, h, "Fetching a row failed");
  impl_->Row.assign(impl_->Columns.size(), CellValue{});
  impl_->NextUnread = 0;
  impl_->OnRow = true;
  return true;
}

void TStatement::CloseCursor() {
  impl_->OnRow = false;
  if (!impl_->CursorOpen) return;
  impl_->CursorOpen = false;
  if (impl_->Stmt.Handle != SQL_NULL_HSTMT) SQLFreeStmt(impl_->Stmt.Handle, SQL_CLOSE);
}

void TStatement::ReadAsText(const std::string& column) {
  impl_->TextColumns.push_back(UpperAscii(column));
}

bool TStatement::IsNull(const std::string& column) { return impl_->Cell(column).IsNull; }

double TStatement::GetDouble(const std::string& column) {
  const CellValue& cell = impl_->Cell(column);
  if (cell.IsNull) return 0;
  switch (impl_->Columns[impl_->ColumnIndex(column)].Kind) {
    case ColumnKind::Double:
      return cell.Double;
    case ColumnKind::DateTime:
      return cell.DateTime;
    case ColumnKind::Text:
      break;
  }
  char* end = nullptr;
  const double value = std::strtod(cell.Text.c_str(), &end);
  if (end == cell.Text.c_str()) {
    throw PlainError("'" + cell.Text + "' is not a valid floating point value");
  }
  return value;
}

TDateTime TStatement::GetDateTime(const std::string& column) {
  const CellValue& cell = impl_->Cell(column);
  if (cell.IsNull) return 0;
  switch (impl_->Columns[impl_->ColumnIndex(column)].Kind) {
    case ColumnKind::DateTime:
      return cell.DateTime;
    case ColumnKind::Double:
      return cell.Double;
    case ColumnKind::Text:
      break;
  }
  int y = 0, mo = 0, d = 0, h = 0, mi = 0, s = 0, ms = 0;
  char frac[16] = {};
  const int n =
      std::sscanf(cell.Text.c_str(), "%d-%d-%d %d:%d:%d.%9[0-9]", &y, &mo, &d, &h, &mi, &s, frac);
  if (n < 3) throw PlainError("'" + cell.Text + "' is not a valid date and time");
  if (n == 7) {
    std::string f = std::string(frac) + "000";
    ms = std::atoi(f.substr(0, 3).c_str());
  }
  return common::EncodeDateTime(y, mo, d, h, mi, s, ms);
}

std::string TStatement::GetText(const std::string& column) {
  const CellValue& cell = impl_->Cell(column);
  if (cell.IsNull) return "";
  switch (impl_->Columns[impl_->ColumnIndex(column)].Kind) {
    case ColumnKind::Text:
      return cell.Text;
    case ColumnKind::DateTime:
      return FormatSqlTimestamp(cell.DateTime);
    case ColumnKind::Double: {
      char buf[64];
      std::snprintf(buf, sizeof buf, "%.17g", cell.Double);
      return buf;
    }
  }
  return cell.Text;
}

std::int64_t TStatement::RowCount() {
  const SQLHSTMT h = impl_->Handle();
  SQLLEN count = 0;
  Check(SQLRowCount(h, &count), SQL_HANDLE_STMT, h, "Reading the row count failed");
  return count;
}

void TStatement::BindColumns(const std::vector<TColumnType>& types, std::size_t rowsPerBlock) {
  Impl& m = *impl_;
  const SQLHSTMT h = m.Handle();
  if (rowsPerBlock == 0) rowsPerBlock = 1;
  m.Bound.assign(types.size(), BoundColumn{});
  Check(SQLSetStmtAttr(h, SQL_ATTR_ROW_BIND_TYPE,
                       reinterpret_cast<SQLPOINTER>(static_cast<SQLULEN>(SQL_BIND_BY_COLUMN)), 0),
        SQL_HANDLE_STMT, h, "Setting column-wise binding failed");
  Check(SQLSetStmtAttr(h, SQL_ATTR_ROW_ARRAY_SIZE,
                       reinterpret_cast<SQLPOINTER>(static_cast<SQLULEN>(rowsPerBlock)), 0),
        SQL_HANDLE_STMT, h, "Setting the rows per fetch failed");
  Check(SQLSetStmtAttr(h, SQL_ATTR_ROWS_FETCHED_PTR, &m.RowsFetched, 0), SQL_HANDLE_STMT, h,
        "Setting the rows-fetched counter failed");
  for (std::size_t c = 0; c < types.size(); ++c) {
    BoundColumn& b = m.Bound[c];
    b.Type = types[c];
    b.Indicators.assign(rowsPerBlock, 0);
    const auto col = static_cast<SQLUSMALLINT>(c + 1);
    if (b.Type == TColumnType::Double) {
      b.Doubles.assign(rowsPerBlock, 0);
      Check(SQLBindCol(h, col, SQL_C_DOUBLE, b.Doubles.data(), sizeof(double), b.Indicators.data()),
            SQL_HANDLE_STMT, h, "Binding a result column failed");
    } else if (b.Type == TColumnType::Text || b.Type == TColumnType::TimeText) {
      b.Width = b.Type == TColumnType::Text ? kBlockTextWidth : kTimeTextWidth;
      b.Texts.assign(rowsPerBlock * b.Width, '\0');
      Check(SQLBindCol(h, col, SQL_C_CHAR, b.Texts.data(), static_cast<SQLLEN>(b.Width),
                       b.Indicators.data()),
            SQL_HANDLE_STMT, h, "Binding a result column failed");
    } else {
      b.Stamps.assign(rowsPerBlock, SQL_TIMESTAMP_STRUCT{});
      Check(SQLBindCol(h, col, SQL_C_TYPE_TIMESTAMP, b.Stamps.data(), sizeof(SQL_TIMESTAMP_STRUCT),
                       b.Indicators.data()),
            SQL_HANDLE_STMT, h, "Binding a result column failed");
    }
  }
}

std::size_t TStatement::FetchBlock() {
  Impl& m = *impl_;
  m.OnRow = false;
  if (!m.CursorOpen) return 0;
  const SQLHSTMT h = m.Handle();
  m.RowsFetched = 0;
  SQLRETURN rc = SQL_ERROR;
  {
    BusyScope busy(m.Conn ? m.Conn->Cancel.get() : nullptr, h);
    rc = SQLFetch(h);
  }
  if (rc == SQL_NO_DATA) return 0;
  Check(rc, SQL_HANDLE_STMT, h, "Fetching rows failed");
  return static_cast<std::size_t>(m.RowsFetched);
}

bool TStatement::IsNullAt(std::size_t column, std::size_t row) const {
  return impl_->Bound[column].Indicators[row] == SQL_NULL_DATA;
}

double TStatement::DoubleAt(std::size_t column, std::size_t row) const {
  const BoundColumn& b = impl_->Bound[column];
  return b.Indicators[row] == SQL_NULL_DATA ? 0 : b.Doubles[row];
}

std::string_view TStatement::TextAt(std::size_t column, std::size_t row, bool* truncated) const {
  const BoundColumn& b = impl_->Bound[column];
  const SQLLEN ind = b.Indicators[row];
  if (truncated != nullptr) *truncated = false;
  if (ind == SQL_NULL_DATA) return {};
  const char* text = b.Texts.data() + row * kBlockTextWidth;
  std::size_t length = 0;
  if (ind == SQL_NO_TOTAL || ind >= static_cast<SQLLEN>(kBlockTextWidth)) {
    if (truncated != nullptr) *truncated = true;
    length = kBlockTextWidth - 1;
  } else {
    length = ind < 0 ? 0 : static_cast<std::size_t>(ind);
  }
  return {text, length};
}

TTimeTag TStatement::TimeTagAt(std::size_t column, std::size_t row) const {
  const BoundColumn& b = impl_->Bound[column];
  if (b.Indicators[row] == SQL_NULL_DATA) return {};
  const SQL_TIMESTAMP_STRUCT& ts = b.Stamps[row];
  return StampToTag(ts);
}

bool TStatement::TimeTextAt(std::size_t column, std::size_t row, TTimeTag& tag) const {
  const BoundColumn& b = impl_->Bound[column];
  const SQLLEN ind = b.Indicators[row];
  if (ind == SQL_NULL_DATA) {
    tag = {};
    return true;
  }
  // A text as long as the buffer or longer was cut short: not the form read here.
  if (ind < 0 || ind >= static_cast<SQLLEN>(b.Width)) return false;
  return ParseTimeTagText({b.Texts.data() + row * b.Width, static_cast<std::size_t>(ind)}, tag);
}

bool ParseTimeTagText(std::string_view text, TTimeTag& tag) {
  constexpr std::string_view kForm = "0000-00-00 00:00:00";
  if (text.size() < kForm.size() || text.size() == kForm.size() + 1 ||
      text.size() > kForm.size() + 10) {
    return false;
  }
  int fields[6] = {};
  int field = 0;
  for (std::size_t i = 0; i < kForm.size(); ++i) {
    const char c = text[i];
    if (kForm[i] != '0') {
      if (c != kForm[i]) return false;
      ++field;
      continue;
    }
    if (c < '0' || c > '9') return false;
    fields[field] = fields[field] * 10 + (c - '0');
  }
  std::uint32_t nanos = 0;
  if (text.size() > kForm.size()) {
    if (text[kForm.size()] != '.') return false;
    std::size_t digits = 0;
    for (const char c : text.substr(kForm.size() + 1)) {
      if (c < '0' || c > '9') return false;
      nanos = nanos * 10 + static_cast<std::uint32_t>(c - '0');
      ++digits;
    }
    for (; digits < 9; ++digits) nanos *= 10;
  }
  const int year = fields[0], month = fields[1], day = fields[2];
  if (year < 1 || month < 1 || month > 12 || day < 1 || fields[3] > 23 || fields[4] > 59 ||
      fields[5] > 59) {
    return false;
  }
  static constexpr int kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
  if (day > kDays[month - 1] + (month == 2 && leap ? 1 : 0)) return false;
  SQL_TIMESTAMP_STRUCT ts = {};
  ts.year = static_cast<SQLSMALLINT>(year);
  ts.month = static_cast<SQLUSMALLINT>(month);
  ts.day = static_cast<SQLUSMALLINT>(day);
  ts.hour = static_cast<SQLUSMALLINT>(fields[3]);
  ts.minute = static_cast<SQLUSMALLINT>(fields[4]);
  ts.second = static_cast<SQLUSMALLINT>(fields[5]);
  ts.fraction = nanos;
  tag = StampToTag(ts);
  return true;
}

// ---------------------------------------------------------------------------------------
// TConnection

struct TConnection::Impl {
  std::shared_ptr<ConnectionState> State = std::make_shared<ConnectionState>();
  std::shared_ptr<CancelPoint> Cancel = std::make_shared<CancelPoint>();
  int LoginTimeout = 0;
};

TConnection::TConnection() : impl_(std::make_unique<Impl>()) {}

TConnection::~TConnection() { Close(); }

void TConnection::Open(const std::string& dataSource, const std::string& userName,
                       const std::string& password) {
  Close();
  // A fresh state, so that statements of an earlier connection stay detached from it.
  impl_->State = std::make_shared<ConnectionState>();
  ConnectionState& s = *impl_->State;
  s.Cancel = impl_->Cancel;
  if (!Succeeded(SQLAllocHandle(SQL_HANDLE_ENV, SQL_NULL_HANDLE, &s.Env))) {
    s.Env = SQL_NULL_HENV;
    throw PlainError("The ODBC environment could not be created.");
  }
  try {
    Check(
        SQLSetEnvAttr(s.Env, SQL_ATTR_ODBC_VERSION, reinterpret_cast<SQLPOINTER>(SQL_OV_ODBC3), 0),
        SQL_HANDLE_ENV, s.Env, "Setting the ODBC version failed");
    Check(SQLAllocHandle(SQL_HANDLE_DBC, s.Env, &s.Dbc), SQL_HANDLE_ENV, s.Env,
          "The ODBC connection could not be created.");
    std::string connect = dataSource.find('=') != std::string::npos
                              ? dataSource
                              : "DSN=" + AttributeValue(dataSource);
    if (!userName.empty()) {
      if (!connect.empty() && connect.back() != ';') connect += ';';
      connect += "UID=" + AttributeValue(userName);
    }
    if (!password.empty()) {
      if (!connect.empty() && connect.back() != ';') connect += ';';
      connect += "PWD=" + AttributeValue(password);
    }
    if (impl_->LoginTimeout > 0) {
      // Bounds a connect to a server that accepts the connection and then says nothing; a
      // driver that does not know the attribute keeps its own limit.
      const auto seconds = static_cast<SQLULEN>(impl_->LoginTimeout);
      SQLSetConnectAttr(s.Dbc, SQL_ATTR_LOGIN_TIMEOUT, reinterpret_cast<SQLPOINTER>(seconds), 0);
      SQLSetConnectAttr(s.Dbc, SQL_ATTR_CONNECTION_TIMEOUT, reinterpret_cast<SQLPOINTER>(seconds),
                        0);
    }
    SQLCHAR out[1024];
    SQLSMALLINT outLen = 0;
    BusyScope busy(impl_->Cancel.get(), SQL_NULL_HSTMT);
    Check(SQLDriverConnect(s.Dbc, nullptr,
                           reinterpret_cast<SQLCHAR*>(const_cast<char*>(connect.c_str())),
                           static_cast<SQLSMALLINT>(connect.size()), out, sizeof out, &outLen,
                           SQL_DRIVER_NOPROMPT),
          SQL_HANDLE_DBC, s.Dbc, "Unable to connect to the data source.");
    s.Connected = true;
    Check(SQLSetConnectAttr(s.Dbc, SQL_ATTR_AUTOCOMMIT,
                            reinterpret_cast<SQLPOINTER>(SQL_AUTOCOMMIT_ON), 0),
          SQL_HANDLE_DBC, s.Dbc, "Switching autocommit on failed");
  } catch (...) {
    s.Close();
    throw;
  }
}

void TConnection::Close() noexcept { impl_->State->Close(); }

bool TConnection::IsOpen() const { return impl_->State->Connected; }

std::unique_ptr<TStatement> TConnection::Prepare(const std::string& sql) {
  ConnectionState& s = *impl_->State;
  if (!s.Connected) throw PlainError("The database connection is closed.");
  auto impl = std::make_unique<TStatement::Impl>();
  impl->Conn = impl_->State;
  TTranslatedSql translated = TranslateNamedParams(sql);
  impl->MarkerNames = std::move(translated.MarkerNames);
  for (const std::string& name : impl->MarkerNames) {
    const auto [it, added] = impl->ByName.try_emplace(name, impl->Values.size());
    if (added) impl->Values.emplace_back();
    impl->MarkerValue.push_back(it->second);
  }
  Check(SQLAllocHandle(SQL_HANDLE_STMT, s.Dbc, &impl->Stmt.Handle), SQL_HANDLE_DBC, s.Dbc,
        "The statement could not be created.");
  s.Statements.insert(&impl->Stmt);
  const SQLHSTMT h = impl->Stmt.Handle;
  Check(SQLPrepare(h, reinterpret_cast<SQLCHAR*>(translated.Text.data()),
                   static_cast<SQLINTEGER>(translated.Text.size())),
        SQL_HANDLE_STMT, h, "Preparing the statement failed");
  return std::unique_ptr<TStatement>(new TStatement(std::move(impl)));
}

void TConnection::ExecuteDirect(const std::string& sql) {
  std::unique_ptr<TStatement> statement = Prepare(sql);
  statement->Execute();
}

namespace {
void SetAutoCommit(ConnectionState& s, bool on) {
  Check(SQLSetConnectAttr(s.Dbc, SQL_ATTR_AUTOCOMMIT,
                          reinterpret_cast<SQLPOINTER>(
                              static_cast<SQLULEN>(on ? SQL_AUTOCOMMIT_ON : SQL_AUTOCOMMIT_OFF)),
                          0),
        SQL_HANDLE_DBC, s.Dbc,
        on ? "Switching autocommit on failed" : "Starting a transaction failed");
}

std::string InfoText(const ConnectionState& s, SQLUSMALLINT type) {
  if (!s.Connected) return "";
  SQLCHAR buf[256] = {};
  SQLSMALLINT length = 0;
  if (!Succeeded(SQLGetInfo(s.Dbc, type, buf, sizeof buf, &length))) return "";
  return reinterpret_cast<const char*>(buf);
}
}  // namespace

void TConnection::BeginTransaction() {
  ConnectionState& s = *impl_->State;
  if (!s.Connected) throw PlainError("The database connection is closed.");
  if (s.InTransaction) return;
  SetAutoCommit(s, false);
  s.InTransaction = true;
}

void TConnection::Commit() {
  ConnectionState& s = *impl_->State;
  if (!s.InTransaction) return;
  SQLRETURN rc = SQL_ERROR;
  {
    BusyScope busy(impl_->Cancel.get(), SQL_NULL_HSTMT);
    rc = SQLEndTran(SQL_HANDLE_DBC, s.Dbc, SQL_COMMIT);
  }
  if (!Succeeded(rc)) {
    EDatabaseError error =
        DiagnosticError(SQL_HANDLE_DBC, s.Dbc, "Committing the transaction failed");
    Rollback();
    throw error;
  }
  s.InTransaction = false;
  SetAutoCommit(s, true);
}

void TConnection::Rollback() noexcept {
  ConnectionState& s = *impl_->State;
  if (!s.InTransaction) return;
  s.InTransaction = false;
  if (!s.Connected) return;
  // Nothing useful can be done about a failure here: the caller is already handling one,
  // and a connection that cannot roll back is closed by the server's end of it.
  SQLEndTran(SQL_HANDLE_DBC, s.Dbc, SQL_ROLLBACK);
  SQLSetConnectAttr(s.Dbc, SQL_ATTR_AUTOCOMMIT, reinterpret_cast<SQLPOINTER>(SQL_AUTOCOMMIT_ON), 0);
}

bool TConnection::InTransaction() const { return impl_->State->InTransaction; }

TCursorGuard::~TCursorGuard() {
  // A destructor may run during unwinding; a failure to close is of no use to anyone then,
  // and the next Execute closes the cursor anyway.
  try {
    query_.CloseCursor();
  } catch (...) {
  }
}

void TConnection::SetLoginTimeout(int seconds) { impl_->LoginTimeout = seconds; }

std::function<void()> TConnection::Canceller() const {
  return [point = impl_->Cancel] { point->Cancel(); };
}

namespace {

double SecondsBusy(const CancelPoint& point) {
  const std::int64_t since = point.Since.load();
  if (since == 0) return 0;
  const std::int64_t now = std::chrono::steady_clock::now().time_since_epoch().count();
  return static_cast<double>(now - since) / 1e9;
}

}  // namespace

double TConnection::BusySeconds() const noexcept { return SecondsBusy(*impl_->Cancel); }

std::function<double()> TConnection::BusyProbe() const {
  return [point = std::weak_ptr<CancelPoint>(impl_->Cancel)] {
    const std::shared_ptr<CancelPoint> p = point.lock();
    return p ? SecondsBusy(*p) : -1.0;
  };
}

TTransaction::TTransaction(TConnection& connection) : connection_(connection) {
  connection_.BeginTransaction();
}

TTransaction::~TTransaction() {
  if (open_) connection_.Rollback();
}

void TTransaction::Commit() {
  open_ = false;
  connection_.Commit();
}

std::string TConnection::DbmsName() const { return InfoText(*impl_->State, SQL_DBMS_NAME); }

std::string TConnection::DbmsVersion() const { return InfoText(*impl_->State, SQL_DBMS_VER); }

}  // namespace vnpp::database
