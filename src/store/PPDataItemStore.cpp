// The database side of TPPDataItem: its readings read and its result stored through the
// statements of the store.
#include "compute/PPDataItem.h"
#include "compute/ReadingValue.h"
#include "database/Odbc.h"
#include "store/PPStatements.h"

namespace vnpp::compute {
namespace {

constexpr double kHoursPerDay = 24.0;

}  // namespace

void TPPDataItem::RetrieveData(store::TPPStatements& db) {
  database::TStatement& query = db.WindowQuery(BoundaryMode, DataType);
  query.BindText("STATION_ID", StationID);
  query.BindText("SENSORNAME", SensorName);
  query.BindDateTime("STARTTIME", StartTime);
  query.BindDateTime("ENDTIME", EndTime);
  {
    database::TCursorGuard guard(query);
    query.Execute();
    while (query.Fetch()) {
      if (query.IsNull("ED_VALUE")) continue;
      const TDateTime tag = query.GetDateTime("TIME_TAG");
      if (tag < StartTime || tag > EndTime) {
        NoteMisplaced(tag);
        continue;
      }
      double value = 0;
      if (!TakeValue(query.GetText("ED_VALUE"), tag, false, value)) continue;
      Times.push_back(tag);
      Values.push_back(value);
    }
  }
  if (ReadPrevious) RetrievePrevious(db);
}

void TPPDataItem::RetrievePrevious(store::TPPStatements& db) {
  database::TStatement& query = db.PreviousQuery(DataType);
  query.BindText("STATION_ID", StationID);
  query.BindText("SENSORNAME", SensorName);
  // ENDTIME carries the start of the window: the readings strictly before it.
  query.BindDateTime("ENDTIME", StartTime);
  database::TCursorGuard guard(query);
  query.Execute();
  PrevTime = 0;
  PrevValue = 0;
  if (query.Fetch() && !query.IsNull("ED_VALUE")) {
    const TDateTime tag = query.GetDateTime("TIME_TAG");
    // A value that is no finite number counts as NULL, here without a count: the reading
    // is counted where a window holds it.
    const TReadingValue v = ParseReadingValue(query.GetText("ED_VALUE"));
    if (v.Kind == TValueKind::Number) {
      PrevValue = v.Value;
      PrevTime = tag;
    }
  }
}

void TPPDataItem::BindResultParams(database::TStatement& query) const {
  auto bindFlag = [&query](const char* name, const std::optional<std::string>& flag) {
    if (flag) {
      query.BindText(name, *flag);
    } else {
      query.BindNull(name, database::TParamType::Text);
    }
  };
  query.BindText("STATION_ID", StationID);
  query.BindText("DATA_LABEL", DataLabel);
  query.BindText("FUNCTION_NAME", FunctionName);
  query.BindDateTime("TIME_TAG", StartTime);
  // Unrounded: the update finds the row by this same computed value.
  query.BindDouble("TIME_PERIOD", (EndTime - StartTime) * kHoursPerDay);
  query.BindDouble("PP_VALUE", PPValue);
  bindFlag("FLAG1", Flag1);
  bindFlag("FLAG2", Flag2);
  bindFlag("FLAG3", Flag3);
  if (HasValueTime) {
    query.BindDateTime("VALUE_TIME_TAG", ValueTime);
  } else {
    query.BindNull("VALUE_TIME_TAG", database::TParamType::DateTime);
  }
  query.BindDateTime("PROCESS_TIME_TAG", ProcessTime);
  query.BindText("SENSORNAME", SensorName);
  if (AlternateLabel.empty()) {
    query.BindNull("ALTERNATE_LABEL", database::TParamType::Text);
  } else {
    query.BindText("ALTERNATE_LABEL", AlternateLabel);
  }
}

void TPPDataItem::StoreResult(store::TPPStatements& db) {
  if (!HasResult()) return;
  database::TStatement& insert = db.Insert();
  BindResultParams(insert);
  try {
    insert.Execute();
    return;
  } catch (const database::EDatabaseError& e) {
    if (!e.IsKeyViolation()) throw;
  }
  database::TStatement& update = db.Update();
  BindResultParams(update);
  update.Execute();
}

}  // namespace vnpp::compute
