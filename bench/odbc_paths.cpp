// Times the ways of moving catch-up rows through the ODBC layer, on the database named by
// the connection string in argv[1] (VN_DATA1 filled, VN_PPDATA1 empty or not):
//   read:  one ordered range query per entry, rows taken one by one (SQLGetData per cell)
//          or in blocks of bound column arrays;
//   write: the results of hourly windows, per row (insert, then update on a key violation)
//          or as multi-row upserts of R rows per statement, in transactions of T rows;
//   compact: multi-row upserts that bind the columns shared by an entry's rows once per
//          statement and five per row, 16 to 720 rows each; on SQLite also with the rows in
//          a WITH clause ahead of the INSERT (the form the service uses there: the driver
//          prepares an INSERT again on every execute, a statement that begins with WITH
//          once);
//   arrays: a one-row upsert executed with parameter arrays (SQL_ATTR_PARAMSET_SIZE) of 240
//          rows, straight through ODBC (the service's layer binds no arrays); the one-row
//          upsert executed once per row is "upsert per row" of write.
// Each write way runs twice: into an empty table, then over the rows it stored.
// Usage: bench_odbc_paths <connection string> <entries> <days> [read|write|compact|arrays|all]
// The stations are ST01.. below 100 entries, ST001.. from 100 on, as gen_readings.py writes
// them. BENCH_SLOW=1 adds the per-row ways in autocommit, BENCH_720=1 a 720-row statement
// (refused by PostgreSQL's client library: more than 7,500 parameters), BENCH_ONLY=R only R
// rows per statement.
#include <sql.h>
#include <sqlext.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "common/DateTime.h"
#include "database/Odbc.h"
#include "store/PPStatements.h"

namespace {

using vnpp::common::TDateTime;
using vnpp::database::TColumnType;
using vnpp::database::TConnection;
using vnpp::database::TParamType;
using vnpp::database::TStatement;

double Seconds(std::chrono::steady_clock::time_point since) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

std::string Station(int i, int entries) {
  char buf[16];
  std::snprintf(buf, sizeof buf, entries < 100 ? "ST%02d" : "ST%03d", i);
  return buf;
}

const char* const kRange =
    "SELECT TIME_TAG, ED_VALUE FROM VN_DATA1 WHERE (STATION_ID = :STATION_ID) AND (SENSORNAME = "
    ":SENSORNAME) AND (:STARTTIME <= TIME_TAG) AND (TIME_TAG <= :ENDTIME) ORDER BY TIME_TAG "
    "LIMIT :MAXROWS";

void TimeReads(TConnection& c, int entries, TDateTime from, TDateTime to) {
  for (std::size_t block : {0, 64, 256, 1024}) {
    auto q = c.Prepare(kRange);
    if (block > 0) q->BindColumns({TColumnType::DateTime, TColumnType::Double}, block);
    const auto t0 = std::chrono::steady_clock::now();
    long rows = 0;
    double sum = 0;
    for (int e = 1; e <= entries; ++e) {
      q->BindText("STATION_ID", Station(e, entries));
      q->BindText("SENSORNAME", "WL");
      q->BindDateTime("STARTTIME", from);
      q->BindDateTime("ENDTIME", to);
      q->BindInteger("MAXROWS", 1000000);
      q->Execute();
      if (block == 0) {
        while (q->Fetch()) {
          sum += q->GetDateTime("TIME_TAG");
          if (!q->IsNull("ED_VALUE")) sum += q->GetDouble("ED_VALUE");
          ++rows;
        }
      } else {
        for (std::size_t n; (n = q->FetchBlock()) > 0;) {
          for (std::size_t r = 0; r < n; ++r) {
            sum += q->TimeTagAt(0, r).Value + q->DoubleAt(1, r);
          }
          rows += static_cast<long>(n);
        }
      }
      q->CloseCursor();
    }
    const double s = Seconds(t0);
    std::printf(
        "read  %-28s %8ld rows %7.3f s %9.0f rows/s (%g)\n",
        block == 0 ? "row by row (SQLGetData)" : ("blocks of " + std::to_string(block)).c_str(),
        rows, s, rows / s, sum);
  }
}

// The service's own column list and upsert tail.
using vnpp::store::kResultColumns;
using vnpp::store::kUpsertTail;

std::string UpsertText(int rows) {
  std::string sql = std::string("INSERT INTO VN_PPDATA1 (") + kResultColumns + ") VALUES ";
  for (int r = 0; r < rows; ++r) {
    if (r > 0) sql += ", ";
    sql += "(";
    for (const char* name : {"A", "B", "C", "D", "E", "F", "G", "H", "I", "J", "K", "L", "M"}) {
      if (*name != 'A') sql += ", ";
      sql += std::string(":") + name + std::to_string(r);
    }
    sql += ")";
  }
  sql += kUpsertTail;
  return sql;
}

// The per-entry columns bound once per statement, five per row. withFirst (SQLite): the rows
// in a WITH clause ahead of the INSERT, their parameters before the entry's.
std::string CompactText(int rows, bool sqlite, bool withFirst) {
  std::string values;
  for (int r = 0; r < rows; ++r) {
    if (r > 0) values += ", ";
    const std::string n = std::to_string(r);
    if (sqlite) {
      values += "(:T" + n + ", :P" + n + ", :V" + n + ", :VT" + n + ", :PT" + n + ")";
    } else {
      values += "(CAST(:T" + n + " AS TIMESTAMP), CAST(:P" + n + " AS DOUBLE PRECISION), CAST(:V" +
                n + " AS DOUBLE PRECISION), CAST(:VT" + n + " AS TIMESTAMP), CAST(:PT" + n +
                " AS TIMESTAMP))";
    }
  }
  const std::string select =
      std::string("INSERT INTO VN_PPDATA1 (") + kResultColumns + ") SELECT :S, :L, :F, " +
      (sqlite
           ? std::string("V.column1, V.column2, V.column3, NULL, NULL, NULL, V.column4, V.column5")
           : std::string("V.T, V.P, V.V, NULL, NULL, NULL, V.VT, V.PT")) +
      ", :N, :A FROM ";
  std::string sql;
  if (withFirst) {
    sql = "WITH V (column1, column2, column3, column4, column5) AS (VALUES " + values + ") " +
          select + "V WHERE 1";
  } else {
    sql = select + "(VALUES " + values + (sqlite ? ") AS V" : ") AS V (T, P, V, VT, PT)");
    if (sqlite) sql += " WHERE 1";
  }
  sql += kUpsertTail;
  return sql;
}

void TimeCompact(TConnection& c, int entries, TDateTime from, int hours, int per, bool withFirst) {
  const bool sqlite = c.DbmsName() == "SQLite";
  c.ExecuteDirect("DELETE FROM VN_PPDATA1");
  // Positions of the entry's parameters and of the first row's.
  const std::size_t key = withFirst ? 5 * static_cast<std::size_t>(per) : 0;
  const std::size_t first = withFirst ? 0 : 5;
  for (int pass = 0; pass < 2; ++pass) {
    std::unique_ptr<TStatement> s = c.Prepare(CompactText(per, sqlite, withFirst));
    const auto t0 = std::chrono::steady_clock::now();
    long written = 0, inTx = 0;
    for (int e = 1; e <= entries; ++e) {
      const std::string station = Station(e, entries);
      for (int h = 0; h + per <= hours; h += per) {
        if (!c.InTransaction()) c.BeginTransaction();
        s->BindTextAt(key, station);
        s->BindTextAt(key + 1, "WL");
        s->BindTextAt(key + 2, "AVG");
        for (int r = 0; r < per; ++r) {
          const std::size_t b = first + 5 * r;
          s->BindDateTimeAt(b, from + (h + r) / 24.0);
          s->BindDoubleAt(b + 1, 1.0);
          s->BindDoubleAt(b + 2, h);
          s->BindNullAt(b + 3, TParamType::DateTime);
          s->BindDateTimeAt(b + 4, from);
        }
        s->BindTextAt(key + 3, "WL");
        s->BindNullAt(key + 4, TParamType::Text);
        s->Execute();
        written += per;
        inTx += per;
        if (inTx >= 1000) {
          c.Commit();
          inTx = 0;
        }
      }
    }
    if (c.InTransaction()) c.Commit();
    const double secs = Seconds(t0);
    std::printf("write %-44s %-7s %7ld rows %7.3f s %9.0f rows/s\n",
                ((withFirst ? "compact WITH upsert " : "compact upsert ") + std::to_string(per) +
                 " rows, commit per 1000")
                    .c_str(),
                pass == 0 ? "new" : "present", written, secs, written / secs);
  }
}

void BindRow(TStatement& s, std::size_t base, const std::string& station, TDateTime start,
             double value) {
  s.BindTextAt(base + 0, station);
  s.BindTextAt(base + 1, "WL");
  s.BindTextAt(base + 2, "AVG");
  s.BindDateTimeAt(base + 3, start);
  s.BindDoubleAt(base + 4, 1.0 / 24 * 24);
  s.BindDoubleAt(base + 5, value);
  s.BindNullAt(base + 6, TParamType::Text);
  s.BindNullAt(base + 7, TParamType::Text);
  s.BindNullAt(base + 8, TParamType::Text);
  s.BindNullAt(base + 9, TParamType::DateTime);
  s.BindDateTimeAt(base + 10, start);
  s.BindTextAt(base + 11, "WL");
  s.BindNullAt(base + 12, TParamType::Text);
}

void TimeWrites(TConnection& c, int entries, TDateTime from, int hours) {
  struct Way {
    int Rows;         // per statement; 0: single-row upsert; -1 insert-then-update
    int Transaction;  // rows per commit; 0: autocommit
  };
  std::vector<Way> ways = {Way{0, 1000},   Way{16, 1000},  Way{64, 1000},
                           Way{100, 1000}, Way{256, 1000}, Way{256, 10000}};
  if (std::getenv("BENCH_SLOW") != nullptr) ways.insert(ways.begin(), {Way{-1, 0}, Way{0, 0}});
  if (std::getenv("BENCH_720") != nullptr) ways.push_back(Way{720, 1440});
  if (const char* only = std::getenv("BENCH_ONLY")) ways = {Way{std::atoi(only), 1000}};
  for (const Way w : ways) {
    c.ExecuteDirect("DELETE FROM VN_PPDATA1");
    for (int pass = 0; pass < 2; ++pass) {  // empty table, then every row present
      std::unique_ptr<TStatement> s = c.Prepare(UpsertText(w.Rows > 0 ? w.Rows : 1));
      std::unique_ptr<TStatement> ins, upd;
      if (w.Rows < 0) {
        ins = c.Prepare(
            "INSERT INTO VN_PPDATA1 (STATION_ID, DATA_LABEL, FUNCTION_NAME, TIME_TAG, TIME_PERIOD, "
            "PP_VALUE, FLAG1, FLAG2, FLAG3, VALUE_TIME_TAG, PROCESS_TIME_TAG, SENSORNAME, "
            "ALTERNATE_LABEL) VALUES (:A, :B, :C, :D, :E, :F, :G, :H, :I, :J, :K, :L, :M)");
        upd = c.Prepare(
            "UPDATE VN_PPDATA1 SET PP_VALUE = :F, FLAG1 = :G, FLAG2 = :H, FLAG3 = :I, "
            "VALUE_TIME_TAG = :J, PROCESS_TIME_TAG = :K, SENSORNAME = :L, ALTERNATE_LABEL = :M "
            "WHERE STATION_ID = :A AND DATA_LABEL = :B AND FUNCTION_NAME = :C AND TIME_TAG = :D "
            "AND TIME_PERIOD = :E");
      }
      const auto t0 = std::chrono::steady_clock::now();
      long written = 0, inTx = 0;
      const int per = w.Rows > 0 ? w.Rows : 1;
      for (int e = 1; e <= entries; ++e) {
        const std::string station = Station(e, entries);
        for (int h = 0; h < hours; h += per) {
          if (w.Transaction > 0 && !c.InTransaction()) c.BeginTransaction();
          if (w.Rows < 0) {
            BindRow(*ins, 0, station, from + h / 24.0, h);
            try {
              ins->Execute();
            } catch (const vnpp::database::EDatabaseError& err) {
              if (!err.IsKeyViolation()) throw;
              upd->BindText("A", station);
              upd->BindText("B", "WL");
              upd->BindText("C", "AVG");
              upd->BindDateTime("D", from + h / 24.0);
              upd->BindDouble("E", 1.0);
              upd->BindDouble("F", h);
              upd->BindNull("G", TParamType::Text);
              upd->BindNull("H", TParamType::Text);
              upd->BindNull("I", TParamType::Text);
              upd->BindNull("J", TParamType::DateTime);
              upd->BindDateTime("K", from);
              upd->BindText("L", "WL");
              upd->BindNull("M", TParamType::Text);
              upd->Execute();
            }
            ++written;
            ++inTx;
          } else if (h + per <= hours) {
            for (int r = 0; r < per; ++r) BindRow(*s, 13 * r, station, from + (h + r) / 24.0, h);
            s->Execute();
            written += per;
            inTx += per;
          } else {
            auto tail = c.Prepare(UpsertText(hours - h));
            for (int r = 0; r < hours - h; ++r) {
              BindRow(*tail, 13 * r, station, from + (h + r) / 24.0, h);
            }
            tail->Execute();
            written += hours - h;
            inTx += hours - h;
          }
          if (w.Transaction > 0 && inTx >= w.Transaction) {
            c.Commit();
            inTx = 0;
          }
        }
      }
      if (c.InTransaction()) c.Commit();
      const double secs = Seconds(t0);
      std::printf("write %-44s %-7s %7ld rows %7.3f s %9.0f rows/s\n",
                  (w.Rows < 0    ? std::string("insert-then-update per row")
                   : w.Rows == 0 ? std::string("upsert per row")
                                 : "upsert " + std::to_string(w.Rows) + " rows/statement")
                      .append(w.Transaction > 0 ? ", commit per " + std::to_string(w.Transaction)
                                                : ", autocommit")
                      .c_str(),
                  pass == 0 ? "new" : "present", written, secs, written / secs);
      if (w.Rows < 0 && w.Transaction == 0 && pass == 0 && secs > 20) break;
    }
  }
}

// Raw ODBC, since the service's layer binds no parameter arrays.
void CheckOdbc(SQLRETURN rc, SQLSMALLINT type, SQLHANDLE h, const char* what) {
  if (SQL_SUCCEEDED(rc)) return;
  SQLCHAR state[6] = {}, msg[512] = {};
  SQLINTEGER native = 0;
  SQLSMALLINT len = 0;
  SQLGetDiagRec(type, h, 1, state, &native, msg, sizeof msg, &len);
  std::fprintf(stderr, "%s: %s %s\n", what, state, msg);
  std::exit(1);
}

void TimeArrays(const char* source, int entries, int hours) {
  constexpr int kRows = 240;
  constexpr SQLLEN kText = 24;
  SQLHENV env = SQL_NULL_HENV;
  SQLHDBC dbc = SQL_NULL_HDBC;
  SQLHSTMT st = SQL_NULL_HSTMT;
  SQLAllocHandle(SQL_HANDLE_ENV, SQL_NULL_HANDLE, &env);
  SQLSetEnvAttr(env, SQL_ATTR_ODBC_VERSION, reinterpret_cast<SQLPOINTER>(SQL_OV_ODBC3), 0);
  SQLAllocHandle(SQL_HANDLE_DBC, env, &dbc);
  std::string cs = source;
  CheckOdbc(SQLDriverConnect(dbc, nullptr, reinterpret_cast<SQLCHAR*>(cs.data()), SQL_NTS, nullptr,
                             0, nullptr, SQL_DRIVER_NOPROMPT),
            SQL_HANDLE_DBC, dbc, "connect");
  SQLAllocHandle(SQL_HANDLE_STMT, dbc, &st);
  SQLExecDirect(st, reinterpret_cast<SQLCHAR*>(const_cast<char*>("DELETE FROM VN_PPDATA1")),
                SQL_NTS);
  std::string sql = std::string("INSERT INTO VN_PPDATA1 (") + kResultColumns +
                    ") VALUES (?, ?, ?, ?, ?, ?, NULL, NULL, NULL, ?, ?, ?, ?)" + kUpsertTail;
  CheckOdbc(SQLPrepare(st, reinterpret_cast<SQLCHAR*>(sql.data()), SQL_NTS), SQL_HANDLE_STMT, st,
            "prepare");
  CheckOdbc(SQLSetStmtAttr(st, SQL_ATTR_PARAM_BIND_TYPE,
                           reinterpret_cast<SQLPOINTER>(SQL_PARAM_BIND_BY_COLUMN), 0),
            SQL_HANDLE_STMT, st, "bind type");
  CheckOdbc(SQLSetStmtAttr(st, SQL_ATTR_PARAMSET_SIZE,
                           reinterpret_cast<SQLPOINTER>(static_cast<SQLULEN>(kRows)), 0),
            SQL_HANDLE_STMT, st, "parameter set size");
  // Columns: station, label, function, time, period, value, value time, process time, sensor,
  // alternate label.
  std::vector<char> texts[5];
  std::vector<SQLLEN> lengths[5];
  for (int i = 0; i < 5; ++i) {
    texts[i].assign(kRows * kText, 0);
    lengths[i].assign(kRows, SQL_NTS);
  }
  std::vector<double> periods(kRows, 1.0), values(kRows, 0);
  std::vector<SQLLEN> zero(kRows, 0), null(kRows, SQL_NULL_DATA);
  for (int r = 0; r < kRows; ++r) {
    std::strcpy(&texts[1][r * kText], "WL");   // label, also sensor
    std::strcpy(&texts[2][r * kText], "AVG");  // function
    std::strcpy(&texts[4][r * kText], "2026-12-01 00:00:00");
  }
  auto text = [&](SQLUSMALLINT n, int i, SQLSMALLINT type, SQLLEN* ind) {
    CheckOdbc(SQLBindParameter(st, n, SQL_PARAM_INPUT, SQL_C_CHAR, type, 23, 0, texts[i].data(),
                               kText, ind),
              SQL_HANDLE_STMT, st, "bind");
  };
  auto real = [&](SQLUSMALLINT n, double* p) {
    CheckOdbc(SQLBindParameter(st, n, SQL_PARAM_INPUT, SQL_C_DOUBLE, SQL_DOUBLE, 15, 0, p, 0,
                               zero.data()),
              SQL_HANDLE_STMT, st, "bind");
  };
  text(1, 0, SQL_VARCHAR, lengths[0].data());
  text(2, 1, SQL_VARCHAR, lengths[1].data());
  text(3, 2, SQL_VARCHAR, lengths[2].data());
  text(4, 3, SQL_TYPE_TIMESTAMP, lengths[3].data());
  real(5, periods.data());
  real(6, values.data());
  text(7, 3, SQL_TYPE_TIMESTAMP, null.data());
  text(8, 4, SQL_TYPE_TIMESTAMP, lengths[4].data());
  text(9, 1, SQL_VARCHAR, lengths[1].data());
  text(10, 1, SQL_VARCHAR, null.data());
  SQLSetConnectAttr(dbc, SQL_ATTR_AUTOCOMMIT, reinterpret_cast<SQLPOINTER>(SQL_AUTOCOMMIT_OFF), 0);
  const auto t0 = std::chrono::steady_clock::now();
  long written = 0;
  for (int e = 1; e <= entries; ++e) {
    for (int h = 0; h + kRows <= hours; h += kRows) {
      for (int r = 0; r < kRows; ++r) {
        std::snprintf(&texts[0][r * kText], kText, "%s", Station(e, entries).c_str());
        const int hour = h + r;
        std::snprintf(&texts[3][r * kText], kText, "2026-%02d-%02d %02d:00:00",
                      1 + hour / 24 / 28 % 12, 1 + hour / 24 % 28, hour % 24);
        values[r] = hour;
      }
      CheckOdbc(SQLExecute(st), SQL_HANDLE_STMT, st, "execute");
      written += kRows;
      if (written % 1000 < kRows) SQLEndTran(SQL_HANDLE_DBC, dbc, SQL_COMMIT);
    }
  }
  SQLEndTran(SQL_HANDLE_DBC, dbc, SQL_COMMIT);
  const double secs = Seconds(t0);
  std::printf("write %-44s %-7s %7ld rows %7.3f s %9.0f rows/s\n",
              "one-row upsert, arrays of 240, commit per 1000", "new", written, secs,
              written / secs);
  SQLFreeHandle(SQL_HANDLE_STMT, st);
  SQLDisconnect(dbc);
  SQLFreeHandle(SQL_HANDLE_DBC, dbc);
  SQLFreeHandle(SQL_HANDLE_ENV, env);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 4) {
    std::fprintf(stderr,
                 "usage: %s <connection string> <entries> <days> [read|write|compact|arrays|all]\n",
                 argv[0]);
    return 2;
  }
  const int entries = std::atoi(argv[2]);
  const int days = std::atoi(argv[3]);
  const std::string what = argc > 4 ? argv[4] : "all";
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  TConnection c;
  c.Open(argv[1], "", "");
  std::printf("%s %s\n", c.DbmsName().c_str(), c.DbmsVersion().c_str());
  const TDateTime to = std::floor(vnpp::common::EncodeDateTime(2100, 1, 1));
  if (what == "read" || what == "all")
    TimeReads(c, entries, vnpp::common::EncodeDateTime(1990, 1, 1), to);
  if (what == "compact" || what == "all") {
    const bool sqlite = c.DbmsName() == "SQLite";
    for (int per : {16, 48, 144, 240, 720}) {
      if (const char* only = std::getenv("BENCH_ONLY"); only != nullptr && std::atoi(only) != per) {
        continue;
      }
      for (const bool withFirst : {false, true}) {
        if (withFirst && !sqlite) continue;
        TimeCompact(c, entries, vnpp::common::EncodeDateTime(2026, 1, 1), days * 24, per,
                    withFirst);
      }
    }
  }
  if (what == "arrays" || what == "all") TimeArrays(argv[1], entries, days * 24);
  if (what == "write" || what == "all") {
    TimeWrites(c, entries, vnpp::common::EncodeDateTime(2026, 1, 1), days * 24);
  }
  return 0;
}
