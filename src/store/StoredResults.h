// The result rows already stored for one entry: read over a range of windows, and deleted
// one by one where a window no longer stores anything.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "common/DateTime.h"
#include "store/ResultWriter.h"

namespace vnpp::database {
class TConnection;
class TStatement;
}  // namespace vnpp::database

namespace vnpp::store {

// Reads the rows of (STATION_ID, DATA_LABEL, FUNCTION_NAME) and deletes one row by its key.
extern const char* const StoredRangeSQL;
extern const char* const DeleteResultSQL;

// One stored row, as much of it as a recheck compares.
struct TStoredRow {
  TDateTime TimeTag = 0;
  std::int64_t TimeTagMicros = 0;  // common::CalendarMicros of the stored value
  double TimePeriod = 0;
  bool HasValue = false;  // PP_VALUE is not NULL
  double PPValue = 0;
  bool HasValueTime = false;
  std::int64_t ValueTimeMicros = 0;
  std::string Flag1;  // empty: NULL
  std::string Flag2;
};

// The statements are prepared on first use and kept for the connection's life.
// REQUIRES: connection outlives this object. Thread safety: belongs to the thread that owns
// the connection.
class TStoredResults {
 public:
  explicit TStoredResults(database::TConnection& connection, std::size_t maxRows = kDefaultMaxRows);
  ~TStoredResults();
  TStoredResults(const TStoredResults&) = delete;
  TStoredResults& operator=(const TStoredResults&) = delete;

  // The rows of key whose TIME_TAG lies in [from, to), in TIME_TAG order, read through
  // block reads of at most maxRows rows per query (memory stays within about that many rows
  // beyond the result). Throws EDatabaseError.
  std::vector<TStoredRow> Read(const TResultKey& key, TDateTime from, TDateTime to);
  // Deletes the row of key of the window from start to end, found by TIME_TAG and
  // TIME_PERIOD as the writes bind them. Throws EDatabaseError.
  void Delete(const TResultKey& key, TDateTime start, TDateTime end);

  static constexpr std::size_t kDefaultMaxRows = 4096;

 private:
  database::TConnection& connection_;
  const std::size_t maxRows_;
  std::unique_ptr<database::TStatement> range_;
  std::unique_ptr<database::TStatement> delete_;
};

}  // namespace vnpp::store
