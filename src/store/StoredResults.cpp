#include "store/StoredResults.h"

#include "database/Odbc.h"

namespace vnpp::store {

const char* const StoredRangeSQL =
    "SELECT TIME_TAG, TIME_PERIOD, PP_VALUE, VALUE_TIME_TAG, FLAG1, FLAG2 FROM VN_PPDATA1 WHERE "
    "(STATION_ID "
    "= :STATION_ID) AND (DATA_LABEL = :DATA_LABEL) AND (FUNCTION_NAME = :FUNCTION_NAME) AND "
    "(:STARTTIME <= TIME_TAG) AND (TIME_TAG < :ENDTIME) ORDER BY TIME_TAG, TIME_PERIOD LIMIT "
    ":MAXROWS";

const char* const DeleteResultSQL =
    "DELETE FROM VN_PPDATA1 WHERE STATION_ID = :STATION_ID AND DATA_LABEL = :DATA_LABEL AND "
    "FUNCTION_NAME = :FUNCTION_NAME AND TIME_TAG = :TIME_TAG AND TIME_PERIOD = :TIME_PERIOD";

namespace {

constexpr std::size_t kRowsPerBlock = 256;
constexpr double kHoursPerDay = 24.0;
constexpr double kMillisecond = 1.0 / 86400000.0;

}  // namespace

TStoredResults::TStoredResults(database::TConnection& connection, std::size_t maxRows)
    : connection_(connection), maxRows_(maxRows > 1 ? maxRows : 2) {}

TStoredResults::~TStoredResults() = default;

std::vector<TStoredRow> TStoredResults::Read(const TResultKey& key, TDateTime from, TDateTime to) {
  if (!range_) {
    range_ = connection_.Prepare(StoredRangeSQL);
    range_->BindColumns({database::TColumnType::DateTime, database::TColumnType::Double,
                         database::TColumnType::Double, database::TColumnType::DateTime,
                         database::TColumnType::Text, database::TColumnType::Text},
                        kRowsPerBlock);
  }
  database::TStatement& query = *range_;
  std::vector<TStoredRow> rows;
  std::vector<TStoredRow> page;
  const std::int64_t toKey = common::CalendarMicros(to);
  while (common::CalendarMicros(from) < toKey) {
    query.BindText("STATION_ID", key.StationID);
    query.BindText("DATA_LABEL", key.DataLabel);
    query.BindText("FUNCTION_NAME", key.FunctionName);
    query.BindDateTime("STARTTIME", from);
    query.BindDateTime("ENDTIME", to);
    query.BindInteger("MAXROWS", static_cast<std::int64_t>(maxRows_));
    page.clear();
    {
      database::TCursorGuard guard(query);
      query.Execute();
      for (std::size_t n; (n = query.FetchBlock()) > 0;) {
        for (std::size_t r = 0; r < n; ++r) {
          TStoredRow row;
          const database::TTimeTag tag = query.TimeTagAt(0, r);
          row.TimeTag = tag.Value;
          row.TimeTagMicros = tag.Micros;
          row.TimePeriod = query.DoubleAt(1, r);
          row.HasValue = !query.IsNullAt(2, r);
          row.PPValue = query.DoubleAt(2, r);
          row.HasValueTime = !query.IsNullAt(3, r);
          if (row.HasValueTime) row.ValueTimeMicros = query.TimeTagAt(3, r).Micros;
          if (!query.IsNullAt(4, r)) row.Flag1 = query.TextAt(4, r);
          if (!query.IsNullAt(5, r)) row.Flag2 = query.TextAt(5, r);
          page.push_back(row);
        }
      }
    }
    if (page.size() < maxRows_) {
      rows.insert(rows.end(), page.begin(), page.end());
      break;
    }
    // Cut short: the rows at the last time tag are read again by the next query, unless no
    // other tag came back (then they are all taken and the read goes on behind them).
    const std::int64_t last = page.back().TimeTagMicros;
    std::size_t keep = page.size();
    while (keep > 0 && page[keep - 1].TimeTagMicros == last) --keep;
    if (keep == 0) {
      keep = page.size();
      from = page.back().TimeTag + kMillisecond;
    } else {
      from = page.back().TimeTag;
    }
    rows.insert(rows.end(), page.begin(), page.begin() + static_cast<std::ptrdiff_t>(keep));
  }
  return rows;
}

void TStoredResults::Delete(const TResultKey& key, TDateTime start, TDateTime end) {
  if (!delete_) delete_ = connection_.Prepare(DeleteResultSQL);
  database::TStatement& statement = *delete_;
  statement.BindText("STATION_ID", key.StationID);
  statement.BindText("DATA_LABEL", key.DataLabel);
  statement.BindText("FUNCTION_NAME", key.FunctionName);
  statement.BindDateTime("TIME_TAG", start);
  statement.BindDouble("TIME_PERIOD", (end - start) * kHoursPerDay);
  statement.Execute();
}

}  // namespace vnpp::store
