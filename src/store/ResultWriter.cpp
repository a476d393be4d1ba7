#include "store/ResultWriter.h"

#include <algorithm>
#include <charconv>
#include <system_error>

#include "database/SqlText.h"

namespace vnpp::store {
namespace {

constexpr double kHoursPerDay = 24.0;

// Unrounded, exactly as the item computes it: the update finds the row by this same value.
double TimePeriod(const TResultValues& row) { return (row.EndTime - row.StartTime) * kHoursPerDay; }

// Shortest text that reads back as the same double (the driver's own conversion keeps every
// bit too, so a row stored either way has the same TIME_PERIOD in its key).
void AppendDouble(std::string& out, double value) {
  char buf[32];
  const std::to_chars_result r = std::to_chars(buf, buf + sizeof buf, value);
  out.append(buf, r.ptr);
}

void BindFlag(database::TStatement& query, const char* name, const std::string& flag) {
  if (flag.empty()) {
    query.BindNull(name, database::TParamType::Text);
  } else {
    query.BindText(name, flag);
  }
}

void BindFlagAt(database::TStatement& query, std::size_t at, const std::string& flag) {
  if (flag.empty()) {
    query.BindNullAt(at, database::TParamType::Text);
  } else {
    query.BindTextAt(at, flag);
  }
}

// An element of a PostgreSQL text array: NULL, or the flag quoted (flags hold no quote or
// backslash).
void AppendFlag(std::string& out, const std::string& flag) {
  if (flag.empty()) {
    out += "NULL";
  } else {
    out += '"';
    out += flag;
    out += '"';
  }
}

// Whether any row carries a flag: only then do the statements bind them.
bool HasFlags(std::span<const TResultValues> rows) {
  return std::any_of(rows.begin(), rows.end(), [](const TResultValues& row) {
    return !row.Flag1.empty() || !row.Flag2.empty();
  });
}

}  // namespace

std::optional<TResultValues> ResultOf(const compute::TPPDataItem& item) {
  if (!item.HasResult()) return std::nullopt;
  return TResultValues{item.StartTime,          item.EndTime,           item.PPValue,
                       item.HasValueTime,       item.ValueTime,         item.ProcessTime,
                       item.Flag1.value_or(""), item.Flag2.value_or("")};
}

void BindResultRow(database::TStatement& query, const TResultKey& key, const TResultValues& row) {
  query.BindText("STATION_ID", key.StationID);
  query.BindText("DATA_LABEL", key.DataLabel);
  query.BindText("FUNCTION_NAME", key.FunctionName);
  query.BindDateTime("TIME_TAG", row.StartTime);
  query.BindDouble("TIME_PERIOD", TimePeriod(row));
  query.BindDouble("PP_VALUE", row.PPValue);
  BindFlag(query, "FLAG1", row.Flag1);
  BindFlag(query, "FLAG2", row.Flag2);
  query.BindNull("FLAG3", database::TParamType::Text);
  if (row.HasValueTime) {
    query.BindDateTime("VALUE_TIME_TAG", row.ValueTime);
  } else {
    query.BindNull("VALUE_TIME_TAG", database::TParamType::DateTime);
  }
  query.BindDateTime("PROCESS_TIME_TAG", row.ProcessTime);
  query.BindText("SENSORNAME", key.SensorName);
  if (key.AlternateLabel.empty()) {
    query.BindNull("ALTERNATE_LABEL", database::TParamType::Text);
  } else {
    query.BindText("ALTERNATE_LABEL", key.AlternateLabel);
  }
}

void TResultWriter::WriteOne(const TResultKey& key, const TResultValues& row) {
  database::TStatement& insert = db_.Insert();
  BindResultRow(insert, key, row);
  try {
    insert.Execute();
    return;
  } catch (const database::EDatabaseError& e) {
    if (!e.IsKeyViolation()) throw;
  }
  database::TStatement& update = db_.Update();
  BindResultRow(update, key, row);
  update.Execute();
}

void TResultWriter::Write(const TResultKey& key, std::span<const TResultValues> rows) {
  const TUpsertDialect dialect = db_.UpsertDialect();
  if (dialect == TUpsertDialect::None) {
    for (const TResultValues& row : rows) WriteOne(key, row);
    return;
  }
  if (dialect == TUpsertDialect::PostgreSQL) {
    WriteArrays(key, rows);
    return;
  }
  const bool flags = HasFlags(rows);
  const std::size_t rowParams = UpsertRowParams(flags);
  while (!rows.empty()) {
    std::size_t size = 1;
    for (std::size_t s : kRowsPerStatement) {
      if (s <= rows.size()) {
        size = s;
        break;
      }
    }
    database::TStatement& upsert = db_.Upsert(size, flags);
    BindKey(upsert, key, size * rowParams);
    for (std::size_t r = 0; r < size; ++r) {
      const TResultValues& row = rows[r];
      const std::size_t at = r * rowParams;
      upsert.BindDateTimeAt(at, row.StartTime);
      upsert.BindDoubleAt(at + 1, TimePeriod(row));
      upsert.BindDoubleAt(at + 2, row.PPValue);
      if (row.HasValueTime) {
        upsert.BindDateTimeAt(at + 3, row.ValueTime);
      } else {
        upsert.BindNullAt(at + 3, database::TParamType::DateTime);
      }
      upsert.BindDateTimeAt(at + 4, row.ProcessTime);
      if (flags) {
        BindFlagAt(upsert, at + 5, row.Flag1);
        BindFlagAt(upsert, at + 6, row.Flag2);
      }
    }
    upsert.Execute();
    rows = rows.subspan(size);
  }
}

void TResultWriter::BindKey(database::TStatement& upsert, const TResultKey& key, std::size_t at) {
  upsert.BindTextAt(at, key.StationID);
  upsert.BindTextAt(at + 1, key.DataLabel);
  upsert.BindTextAt(at + 2, key.FunctionName);
  upsert.BindTextAt(at + 3, key.SensorName);
  if (key.AlternateLabel.empty()) {
    upsert.BindNullAt(at + 4, database::TParamType::Text);
  } else {
    upsert.BindTextAt(at + 4, key.AlternateLabel);
  }
}

void TResultWriter::WriteArrays(const TResultKey& key, std::span<const TResultValues> rows) {
  auto stamp = [this](std::string& out, TDateTime t) {
    database::FormatSqlTimestamp(t, stamp_);
    out += '"';
    out += stamp_;
    out += '"';
  };
  const bool flags = HasFlags(rows);
  std::string* const arrays[] = {&times_,        &periods_, &values_, &valueTimes_,
                                 &processTimes_, &flags1_,  &flags2_};
  const std::size_t used = flags ? std::size(arrays) : std::size(arrays) - 2;
  while (!rows.empty()) {
    const std::size_t size = std::min(rows.size(), kRowsPerArrayStatement);
    for (std::size_t i = 0; i < used; ++i) arrays[i]->assign(1, '{');
    for (std::size_t r = 0; r < size; ++r) {
      const TResultValues& row = rows[r];
      if (r > 0) {
        for (std::size_t i = 0; i < used; ++i) *arrays[i] += ',';
      }
      stamp(times_, row.StartTime);
      AppendDouble(periods_, TimePeriod(row));
      AppendDouble(values_, row.PPValue);
      if (row.HasValueTime) {
        stamp(valueTimes_, row.ValueTime);
      } else {
        valueTimes_ += "NULL";
      }
      stamp(processTimes_, row.ProcessTime);
      if (flags) {
        AppendFlag(flags1_, row.Flag1);
        AppendFlag(flags2_, row.Flag2);
      }
    }
    database::TStatement& upsert = db_.UpsertArrays(flags);
    BindKey(upsert, key, 0);
    for (std::size_t i = 0; i < used; ++i) {
      *arrays[i] += '}';
      upsert.BindTextAt(kUpsertKeyParams + i, *arrays[i]);
    }
    upsert.Execute();
    rows = rows.subspan(size);
  }
}

}  // namespace vnpp::store
