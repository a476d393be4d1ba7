// A thin layer over ODBC: one connection, statements with named parameters, typed values.
// No ODBC handle or header reaches the callers.
// Thread safety: a connection and its statements belong to one thread at a time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "common/DateTime.h"
#include "common/Error.h"

namespace vnpp::database {

using common::TDateTime;

// A failure reported by the driver or the driver manager. The message joins the text of
// every diagnostic record; SqlState is that of the first record.
class EDatabaseError : public common::EPostProcError {
 public:
  EDatabaseError(const std::string& message, std::string sqlState,
                 std::vector<std::string> sqlStates, std::vector<std::int32_t> nativeCodes);
  const std::string& SqlState() const { return sqlState_; }
  const std::vector<std::string>& SqlStates() const { return sqlStates_; }
  const std::vector<std::int32_t>& NativeCodes() const { return nativeCodes_; }
  // A unique or primary key violation: SQLSTATE class "23" with "23505" (PostgreSQL), or
  // the SQLite driver's native code 19 with "UNIQUE constraint failed" in the message.
  // Checked over every diagnostic record. A NOT NULL violation is not one.
  bool IsKeyViolation() const;

 private:
  std::string sqlState_;
  std::vector<std::string> sqlStates_;
  std::vector<std::int32_t> nativeCodes_;
};

enum class TParamType { Text, Double, Integer, DateTime };

// Column types of a block read (TStatement::BindColumns). Text is the driver's own text of
// the value, whatever the column's type, up to kBlockTextWidth bytes. TimeText is a date-time
// column taken as the driver's text and converted here (TStatement::TimeTextAt), which costs
// a fraction of the driver's own conversion.
enum class TColumnType { Double, DateTime, Text, TimeText };
inline constexpr std::size_t kBlockTextWidth = 64;
inline constexpr std::size_t kTimeTextWidth = 32;

// A time tag of a block read: the date-time value as GetDateTime gives it (to the
// millisecond) and its exact position (common::CalendarMicros), for comparisons with bound
// date-times that agree with the database's own.
struct TTimeTag {
  TDateTime Value = 0;
  std::int64_t Micros = 0;
};

// Converts "YYYY-MM-DD HH:MM:SS" with an optional fraction of 1 to 9 digits, a valid date and
// time of years 1 to 9999, into the tag a DateTime column of that value gives (TimeTagAt).
// False for any other text, tag then unchanged: such a value is left to the driver.
bool ParseTimeTagText(std::string_view text, TTimeTag& tag);

class TConnection;

// A prepared statement. ":NAME" parameters in the text become "?" markers (string
// literals, quoted identifiers, comments and "::" casts are left alone); a name may occur
// more than once. Values bound by name stay bound for the next Execute.
class TStatement {
 public:
  ~TStatement();
  TStatement(const TStatement&) = delete;
  TStatement& operator=(const TStatement&) = delete;

  // Each throws EDatabaseError for a name the statement does not have.
  void BindText(const std::string& name, const std::string& value);
  void BindDouble(const std::string& name, double value);
  void BindInteger(const std::string& name, std::int64_t value);
  void BindDateTime(const std::string& name, TDateTime value);
  void BindNull(const std::string& name, TParamType type);

  // The same by position: index counts the distinct parameter names in the order of their
  // first occurrence, from 0 (for a text whose names are all different, the marker number).
  // These keep the name lookup out of statements with many parameters. REQUIRES: index <
  // ParamCount().
  std::size_t ParamCount() const;
  void BindTextAt(std::size_t index, std::string_view value);
  void BindDoubleAt(std::size_t index, double value);
  void BindIntegerAt(std::size_t index, std::int64_t value);
  void BindDateTimeAt(std::size_t index, TDateTime value);
  void BindNullAt(std::size_t index, TParamType type);

  // Runs the statement with the bound values; closes a cursor left open by the last run.
  void Execute();
  // Moves to the next row of the result; false after the last.
  bool Fetch();
  // Closes the cursor (a no-op when none is open).
  void CloseCursor();

  // The named column is read as the driver's text of its value, whatever the column's type
  // (GetText gives it unconverted), from the next Execute on.
  void ReadAsText(const std::string& column);

  // Column access on the current row, by name without regard to case.
  bool IsNull(const std::string& column);
  double GetDouble(const std::string& column);
  TDateTime GetDateTime(const std::string& column);
  std::string GetText(const std::string& column);

  // Rows touched by the last Execute of an INSERT, UPDATE or DELETE.
  std::int64_t RowCount();

  // Block reads: the result columns, in select-list order, are bound to arrays of
  // rowsPerBlock rows, so that each FetchBlock hands over that many rows at once instead
  // of one driver call per row and column. Kept for later executions. After it, read rows
  // only through FetchBlock and the *At accessors (Fetch and the by-name getters are not
  // available). Throws EDatabaseError when the driver refuses the binding.
  void BindColumns(const std::vector<TColumnType>& types, std::size_t rowsPerBlock);
  // Reads the next block of rows; returns how many it holds, 0 after the last.
  std::size_t FetchBlock();
  // Cells of the current block; column and row count from 0. A NULL reads as 0.
  bool IsNullAt(std::size_t column, std::size_t row) const;
  double DoubleAt(std::size_t column, std::size_t row) const;
  TTimeTag TimeTagAt(std::size_t column, std::size_t row) const;
  // The tag of a TimeText column (ParseTimeTagText; a NULL gives an empty tag); false when
  // the text is in another form, which only the driver's conversion (a DateTime column)
  // reads as the database means it.
  bool TimeTextAt(std::size_t column, std::size_t row, TTimeTag& tag) const;
  // The text of a Text column; *truncated is set when the value was longer than
  // kBlockTextWidth - 1 bytes (the view then holds its beginning). Valid until the next
  // FetchBlock.
  std::string_view TextAt(std::size_t column, std::size_t row, bool* truncated = nullptr) const;

 private:
  friend class TConnection;
  struct Impl;
  explicit TStatement(std::unique_ptr<Impl> impl);
  std::unique_ptr<Impl> impl_;
};

// One ODBC connection, with autocommit on outside an explicit transaction.
class TConnection {
 public:
  TConnection();
  ~TConnection();  // closes the connection
  TConnection(const TConnection&) = delete;
  TConnection& operator=(const TConnection&) = delete;

  // dataSource is a DSN, or a complete connection string when it contains "=". A
  // non-empty user and password are passed as UID and PWD. Throws EDatabaseError.
  void Open(const std::string& dataSource, const std::string& userName,
            const std::string& password);
  void Close() noexcept;
  bool IsOpen() const;

  // Throws EDatabaseError when the connection is closed or the text is refused.
  std::unique_ptr<TStatement> Prepare(const std::string& sql);
  // Prepare and Execute in one, for statements without parameters.
  void ExecuteDirect(const std::string& sql);

  // An explicit transaction: autocommit off until Commit or Rollback, which switch it on
  // again. Commit throws EDatabaseError (the transaction is then rolled back); Rollback
  // swallows errors, since it is called on the way out of a failure.
  void BeginTransaction();
  void Commit();
  void Rollback() noexcept;
  bool InTransaction() const;

  // Seconds for a connect (login) before the driver gives up; 0 (the default) leaves the
  // driver's own limit. Takes effect at the next Open.
  void SetLoginTimeout(int seconds);
  // For another thread: cancels the statement that runs on this connection at that moment,
  // if any (SQLCancel). The function may be kept beyond the connection's life, and may block
  // as long as the driver's cancel does: call it where waiting does not matter.
  std::function<void()> Canceller() const;
  // For any thread: how long the driver call in progress (a connect, a statement, a fetch, a
  // commit) has taken so far, in seconds; 0 when none runs.
  double BusySeconds() const noexcept;
  // For another thread: BusySeconds of this connection while it exists, -1 once it is gone.
  // The function may be kept beyond the connection's life.
  std::function<double()> BusyProbe() const;

  // The database product as the driver reports it ("SQLite", "PostgreSQL", ...) and its
  // version text ("3.40.1", "15.10", ...); empty when the driver does not say.
  std::string DbmsName() const;
  std::string DbmsVersion() const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

// Closes the cursor of a query on every path out of a read.
class TCursorGuard {
 public:
  explicit TCursorGuard(TStatement& query) : query_(query) {}
  ~TCursorGuard();
  TCursorGuard(const TCursorGuard&) = delete;
  TCursorGuard& operator=(const TCursorGuard&) = delete;

 private:
  TStatement& query_;
};

// An explicit transaction for the length of a scope: begun by the constructor, rolled back
// by the destructor unless committed, so that no way out of a failure leaves it open.
// REQUIRES: no transaction is open on the connection, and it outlives this object.
class TTransaction {
 public:
  // Throws EDatabaseError when the connection is closed or refuses.
  explicit TTransaction(TConnection& connection);
  ~TTransaction();
  TTransaction(const TTransaction&) = delete;
  TTransaction& operator=(const TTransaction&) = delete;

  // Throws EDatabaseError; the transaction is then rolled back. Either way it is over.
  void Commit();

 private:
  TConnection& connection_;
  bool open_ = true;
};

}  // namespace vnpp::database
