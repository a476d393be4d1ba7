#include "store/ChangeLog.h"

#include <algorithm>
#include <charconv>
#include <chrono>
#include <map>
#include <thread>
#include <utility>

#include "common/Error.h"
#include "common/Text.h"
#include "database/Odbc.h"
#include "database/SqlText.h"

namespace vnpp::store {

const char* const ChangeLogProbeSQL =
    "SELECT C.CHANGE_ID, T.THRESHOLD FROM VN_PPCHANGES C, VN_PPTHRESHOLD T WHERE 1 = 0";

const char* const ReadChangesSQL =
    "SELECT CHANGE_ID, STATION_ID, SENSORNAME, FIRST_TIME_TAG, LAST_TIME_TAG FROM VN_PPCHANGES "
    "WHERE CHANGE_ID > :CHANGE_ID ORDER BY CHANGE_ID";

// PostgreSQL: every station and sensor of a run in one statement, as arrays in PostgreSQL's
// array text.
const char* const RaiseThresholdsArraysSQL =
    "INSERT INTO VN_PPTHRESHOLD (STATION_ID, SENSORNAME, THRESHOLD) SELECT V.S, V.N, V.T FROM "
    "UNNEST(CAST(:STATION_IDS AS VARCHAR[]), CAST(:SENSORNAMES AS VARCHAR[]), CAST(:THRESHOLDS "
    "AS TIMESTAMP[])) AS V (S, N, T) ON CONFLICT (STATION_ID, SENSORNAME) DO UPDATE SET "
    "THRESHOLD = EXCLUDED.THRESHOLD WHERE VN_PPTHRESHOLD.THRESHOLD < EXCLUDED.THRESHOLD";

// SQLite: every station and sensor of a run in one statement, as a JSON array of [station,
// sensor, threshold] arrays ("WHERE 1" tells the upsert from a join's ON). A row is written
// only when its threshold rises: an unchanged one costs no write.
const char* const RaiseThresholdsJsonSQL =
    "INSERT INTO VN_PPTHRESHOLD (STATION_ID, SENSORNAME, THRESHOLD) SELECT json_extract(value, "
    "'$[0]'), json_extract(value, '$[1]'), json_extract(value, '$[2]') FROM "
    "json_each(:THRESHOLDS) WHERE 1 ON CONFLICT (STATION_ID, SENSORNAME) DO UPDATE SET "
    "THRESHOLD = EXCLUDED.THRESHOLD WHERE VN_PPTHRESHOLD.THRESHOLD < EXCLUDED.THRESHOLD";

const char* const DeleteChangesSQL = "DELETE FROM VN_PPCHANGES WHERE CHANGE_ID <= :CHANGE_ID";

// PostgreSQL: the transactions of other sessions that are writing VN_DATA1 now, and how many
// of a list of them are still running (each holds the lock on its own virtual id until it
// ends).
const char* const VN_DATA1WritersSQL =
    "SELECT DISTINCT virtualtransaction AS VXID FROM pg_locks WHERE locktype = 'relation' AND "
    "relation = CAST('vn_data1' AS regclass) AND mode = 'RowExclusiveLock' AND pid <> "
    "pg_backend_pid()";
const char* const WritersRunningSQL =
    "SELECT COUNT(*) AS N FROM pg_locks WHERE locktype = 'virtualxid' AND virtualxid = ANY "
    "(CAST(:VXIDS AS TEXT[]))";

namespace {

bool IsPostgreSQL(database::TConnection& connection) {
  return connection.DbmsName() == "PostgreSQL";
}

// One element of a PostgreSQL array text, quoted.
void AppendElement(std::string& array, std::string_view value) {
  if (array.size() > 1) array += ',';
  array += '"';
  for (const char c : value) {
    if (c == '"' || c == '\\') array += '\\';
    array += c;
  }
  array += '"';
}

// PostgreSQL: waits until every transaction that was writing VN_DATA1 when the thresholds rose
// has ended, at most kWriterWaitSeconds. A writer's trigger compares with the threshold of its
// statement's snapshot: one that began before the rise and commits after the run read its
// window would neither be logged nor seen. Writers that begin later see the new thresholds.
void WaitForWriters(database::TConnection& connection, const std::function<bool()>& stop) {
  constexpr int kWriterWaitSeconds = 30;
  constexpr auto kPoll = std::chrono::milliseconds(20);
  std::string writers = "{";
  {
    std::unique_ptr<database::TStatement> query = connection.Prepare(VN_DATA1WritersSQL);
    database::TCursorGuard guard(*query);
    query->Execute();
    while (query->Fetch()) AppendElement(writers, query->GetText("VXID"));
  }
  if (writers.size() == 1) return;
  writers += '}';
  std::unique_ptr<database::TStatement> running = connection.Prepare(WritersRunningSQL);
  const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(kWriterWaitSeconds);
  while (std::chrono::steady_clock::now() < until && !(stop && stop())) {
    running->BindText("VXIDS", writers);
    double count = 0;
    {
      database::TCursorGuard guard(*running);
      running->Execute();
      if (running->Fetch()) count = running->GetDouble("N");
    }
    if (count == 0) return;
    std::this_thread::sleep_for(kPoll);
  }
}

}  // namespace

bool ChangeLogTablesExist(database::TConnection& connection) {
  try {
    std::unique_ptr<database::TStatement> probe = connection.Prepare(ChangeLogProbeSQL);
    database::TCursorGuard guard(*probe);
    probe->Execute();
    while (probe->Fetch()) {
    }
    return true;
  } catch (const database::EDatabaseError&) {
    return false;
  }
}

std::string ChangeLogScript(database::TConnection& connection) {
  return IsPostgreSQL(connection) ? "sql/postgresql/changelog.sql" : "sql/sqlite/changelog.sql";
}

std::string ChangeLogMissingText(const std::string& script) {
  return "ChangeLog=1 but the change log tables VN_PPCHANGES and VN_PPTHRESHOLD are missing in "
         "the readings' database: run " +
         script;
}

std::vector<TChange> ReadChanges(database::TConnection& connection, std::int64_t after,
                                 const std::function<bool(const TChange&)>& keep,
                                 std::int64_t& lastId) {
  std::unique_ptr<database::TStatement> query = connection.Prepare(ReadChangesSQL);
  // The id as the database writes it: a double would round the largest ones.
  query->ReadAsText("CHANGE_ID");
  query->BindInteger("CHANGE_ID", after);
  std::vector<TChange> changes;
  lastId = after;
  database::TCursorGuard guard(*query);
  query->Execute();
  TChange change;
  while (query->Fetch()) {
    const std::string id = query->GetText("CHANGE_ID");
    std::int64_t value = 0;
    const auto [end, error] = std::from_chars(id.data(), id.data() + id.size(), value);
    if (error != std::errc() || end != id.data() + id.size()) {
      throw common::EPostProcError("VN_PPCHANGES holds a CHANGE_ID that is no whole number: " + id);
    }
    change.Id = value;
    change.StationID = query->GetText("STATION_ID");
    change.SensorName = query->GetText("SENSORNAME");
    change.First = query->GetDateTime("FIRST_TIME_TAG");
    change.Last = query->GetDateTime("LAST_TIME_TAG");
    lastId = std::max(lastId, value);
    if (keep(change)) changes.push_back(change);
  }
  return changes;
}

void RaiseThresholds(database::TConnection& connection, std::span<const TThreshold> thresholds,
                     const std::function<bool()>& stop) {
  if (thresholds.empty()) return;
  // One value per station and sensor: a statement may not update one row twice.
  std::map<std::pair<std::string, std::string>, common::TDateTime> latest;
  for (const TThreshold& t : thresholds) {
    common::TDateTime& time = latest[{t.StationID, t.SensorName}];
    time = std::max(time, t.Time);
  }
  const bool arrays = IsPostgreSQL(connection);
  std::unique_ptr<database::TStatement> raise =
      connection.Prepare(arrays ? RaiseThresholdsArraysSQL : RaiseThresholdsJsonSQL);
  database::TTransaction transaction(connection);
  if (arrays) {
    std::string stations = "{", sensors = "{", times = "{", stamp;
    for (const auto& [key, time] : latest) {
      AppendElement(stations, key.first);
      AppendElement(sensors, key.second);
      database::FormatSqlTimestamp(time, stamp);
      AppendElement(times, stamp);
    }
    raise->BindText("STATION_IDS", stations + '}');
    raise->BindText("SENSORNAMES", sensors + '}');
    raise->BindText("THRESHOLDS", times + '}');
    raise->Execute();
    transaction.Commit();
    WaitForWriters(connection, stop);
    return;
  }
  // SQLite has one writer at a time: a writer's trigger runs before the rise or after it.
  std::string json = "[", stamp;
  for (const auto& [key, time] : latest) {
    if (json.size() > 1) json += ',';
    json += '[';
    common::AppendJsonString(json, key.first);
    json += ',';
    common::AppendJsonString(json, key.second);
    json += ',';
    database::FormatSqlTimestamp(time, stamp);
    common::AppendJsonString(json, stamp);
    json += ']';
  }
  raise->BindText("THRESHOLDS", json + ']');
  raise->Execute();
  transaction.Commit();
}

void DeleteChanges(database::TConnection& connection, std::int64_t upTo) {
  std::unique_ptr<database::TStatement> remove = connection.Prepare(DeleteChangesSQL);
  remove->BindInteger("CHANGE_ID", upTo);
  database::TTransaction transaction(connection);
  remove->Execute();
  transaction.Commit();
}

}  // namespace vnpp::store
