#include "compute/ResultWriter.h"

namespace vnpp::compute {
namespace {

constexpr double kHoursPerDay = 24.0;

// Unrounded, exactly as the item computes it: the update finds the row by this same value.
double TimePeriod(const TResultValues& row) { return (row.EndTime - row.StartTime) * kHoursPerDay; }

}  // namespace

void BindResultRow(database::TStatement& query, const TResultKey& key, const TResultValues& row) {
  query.BindText("STATION_ID", key.StationID);
  query.BindText("DATA_LABEL", key.DataLabel);
  query.BindText("FUNCTION_NAME", key.FunctionName);
  query.BindDateTime("TIME_TAG", row.StartTime);
  query.BindDouble("TIME_PERIOD", TimePeriod(row));
  query.BindDouble("PP_VALUE", row.PPValue);
  query.BindNull("FLAG1", database::TParamType::Text);
  query.BindNull("FLAG2", database::TParamType::Text);
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
  if (db_.UpsertDialect() == TUpsertDialect::None) {
    for (const TResultValues& row : rows) WriteOne(key, row);
    return;
  }
  while (!rows.empty()) {
    std::size_t size = 1;
    for (std::size_t s : kRowsPerStatement) {
      if (s <= rows.size()) {
        size = s;
        break;
      }
    }
    database::TStatement& upsert = db_.Upsert(size);
    upsert.BindTextAt(0, key.StationID);
    upsert.BindTextAt(1, key.DataLabel);
    upsert.BindTextAt(2, key.FunctionName);
    upsert.BindTextAt(3, key.SensorName);
    if (key.AlternateLabel.empty()) {
      upsert.BindNullAt(4, database::TParamType::Text);
    } else {
      upsert.BindTextAt(4, key.AlternateLabel);
    }
    for (std::size_t r = 0; r < size; ++r) {
      const TResultValues& row = rows[r];
      const std::size_t at = kUpsertKeyParams + r * kUpsertRowParams;
      upsert.BindDateTimeAt(at, row.StartTime);
      upsert.BindDoubleAt(at + 1, TimePeriod(row));
      upsert.BindDoubleAt(at + 2, row.PPValue);
      if (row.HasValueTime) {
        upsert.BindDateTimeAt(at + 3, row.ValueTime);
      } else {
        upsert.BindNullAt(at + 3, database::TParamType::DateTime);
      }
      upsert.BindDateTimeAt(at + 4, row.ProcessTime);
    }
    upsert.Execute();
    rows = rows.subspan(size);
  }
}

}  // namespace vnpp::compute
