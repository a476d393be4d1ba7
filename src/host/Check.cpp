#include "host/Check.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <exception>
#include <map>
#include <set>

#include "common/Log.h"
#include "common/Text.h"
#include "config/Configuration.h"
#include "database/Database.h"
#include "store/ChangeLog.h"
#include "store/PPStatements.h"

namespace vnpp::host {
namespace {

// Keeps the warnings and errors the load writes; the other lines are progress.
class TCollectingLog final : public common::ILog {
 public:
  void WriteLog(const std::string& message) override { Take(message); }
  void WriteLogAs(TPriority priority, const std::string& message) override {
    if (priority != TPriority::Info) {
      Problems.push_back(message);
    } else {
      Take(message);
    }
  }
  void QueueMessage(const std::string& message) override { Take(message); }
  void SetLogMessage(bool) override {}
  int LogDetail() const override { return 0; }
  void SetLogDetail(int) override {}

  std::vector<std::string> Problems;

 private:
  void Take(const std::string& message) {
    if (message.starts_with("Warning") || message.starts_with("Error") ||
        message.find(common::kMsgDatabaseNotConnected) != std::string::npos) {
      Problems.push_back(message);
    }
  }
};

std::string Upper(std::string text) {
  for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return text;
}

// The columns VNPPSvc reads or writes.
const std::vector<std::string> kDataColumns = {
    "STATION_ID",  "SENSORNAME", "TIME_TAG",       "ED_VALUE",     "FLAG1",    "FLAG2",
    "FLAG3",       "FLAG4",      "HIGH_HIGH_FLAG", "HIGH_FLAG",    "LOW_FLAG", "LOW_LOW_FLAG",
    "NO_CHG_FLAG", "ROC_FLAG",   "ALARM_FLAG",     "STD_DEV_FLAG", "AVG_FLAG"};
const std::vector<std::string> kResultColumns = {
    "STATION_ID",       "DATA_LABEL", "FUNCTION_NAME",  "TIME_TAG", "TIME_PERIOD",
    "PP_VALUE",         "FLAG1",      "FLAG2",          "FLAG3",    "VALUE_TIME_TAG",
    "PROCESS_TIME_TAG", "SENSORNAME", "ALTERNATE_LABEL"};

constexpr const char* kCreateIndex =
    "CREATE INDEX VN_DATA1_STATION_SENSOR_TIME ON VN_DATA1 (STATION_ID, SENSORNAME, TIME_TAG)";

// Writes nothing; refused where the five-column key of the upsert is missing.
constexpr const char* kKeyProbe =
    "INSERT INTO VN_PPDATA1 (STATION_ID, DATA_LABEL, FUNCTION_NAME, TIME_TAG, TIME_PERIOD, "
    "PP_VALUE) SELECT STATION_ID, DATA_LABEL, FUNCTION_NAME, TIME_TAG, TIME_PERIOD, PP_VALUE "
    "FROM VN_PPDATA1 WHERE 1 = 0 ON CONFLICT (STATION_ID, DATA_LABEL, FUNCTION_NAME, TIME_TAG, "
    "TIME_PERIOD) DO UPDATE SET PP_VALUE = EXCLUDED.PP_VALUE";

enum class TBackend { SQLite, PostgreSQL, Other };

// The first column of every row of sql, run with :NAME bound to name.
std::vector<std::string> Column(database::TConnection& c, const char* sql, const std::string& name,
                                const char* column) {
  std::unique_ptr<database::TStatement> query = c.Prepare(sql);
  query->BindText("NAME", name);
  query->Execute();
  std::vector<std::string> values;
  while (query->Fetch()) values.push_back(query->IsNull(column) ? "" : query->GetText(column));
  query->CloseCursor();
  return values;
}

std::vector<std::string> TableColumns(database::TConnection& c, TBackend backend,
                                      const std::string& table) {
  std::vector<std::string> columns =
      backend == TBackend::SQLite
          ? Column(c, "SELECT name AS COLUMN_NAME FROM pragma_table_info(:NAME)", table,
                   "COLUMN_NAME")
          : Column(c,
                   "SELECT column_name AS COLUMN_NAME FROM information_schema.columns WHERE "
                   "upper(table_name) = :NAME",
                   table, "COLUMN_NAME");
  for (std::string& column : columns) column = Upper(column);
  return columns;
}

// The column lists of the indexes of table.
std::vector<std::vector<std::string>> Indexes(database::TConnection& c, TBackend backend,
                                              const std::string& table) {
  std::vector<std::vector<std::string>> indexes;
  if (backend == TBackend::SQLite) {
    for (const std::string& index : Column(
             c, "SELECT name AS INDEX_NAME FROM pragma_index_list(:NAME)", table, "INDEX_NAME")) {
      std::vector<std::string> columns =
          Column(c, "SELECT name AS COLUMN_NAME FROM pragma_index_info(:NAME) ORDER BY seqno",
                 index, "COLUMN_NAME");
      for (std::string& column : columns) column = Upper(column);
      indexes.push_back(std::move(columns));
    }
  } else {
    for (const std::string& definition :
         Column(c, "SELECT indexdef AS INDEX_DEF FROM pg_indexes WHERE upper(tablename) = :NAME",
                table, "INDEX_DEF")) {
      indexes.push_back(IndexDefinitionColumns(definition));
    }
  }
  return indexes;
}

// An index whose leading columns are the station and sensor (either order), then the time.
bool ServesRangeQuery(const std::vector<std::string>& columns) {
  if (columns.size() < 3 || columns[2] != "TIME_TAG") return false;
  const std::set<std::string> lead(columns.begin(), columns.begin() + 2);
  return lead == std::set<std::string>{"STATION_ID", "SENSORNAME"};
}

void CheckDatabase(database::TDatabase& db, const config::TConfiguration& config,
                   std::vector<std::string>& problems) {
  if (!db.ConnectDatabase()) return;  // the refusal is among the problems already
  database::TConnection& c = db.Connection();
  const std::string dbms = c.DbmsName();
  if (config.ChangeLog() && !store::ChangeLogTablesExist(c)) {
    problems.push_back("Error: " + store::ChangeLogMissingText(store::ChangeLogScript(c)) + ".");
  }
  const TBackend backend = dbms == "SQLite"       ? TBackend::SQLite
                           : dbms == "PostgreSQL" ? TBackend::PostgreSQL
                                                  : TBackend::Other;
  if (backend == TBackend::Other) {
    problems.push_back("Warning: the database is " + dbms +
                       "; only SQLite and PostgreSQL tables are checked.");
    return;
  }
  bool tablesComplete = true;
  for (const auto& [table, wanted] :
       {std::pair{std::string("VN_DATA1"), &kDataColumns}, {"VN_PPDATA1", &kResultColumns}}) {
    const std::vector<std::string> columns = TableColumns(c, backend, table);
    if (columns.empty()) {
      problems.push_back("Error: the database has no table " + table + ".");
      tablesComplete = false;
      continue;
    }
    std::string missing;
    for (const std::string& column : *wanted) {
      if (std::find(columns.begin(), columns.end(), column) != columns.end()) continue;
      missing += (missing.empty() ? "" : ", ") + column;
    }
    if (!missing.empty()) {
      problems.push_back("Error: the table " + table + " lacks the columns " + missing + ".");
      tablesComplete = false;
    }
  }
  if (!tablesComplete) return;
  try {
    c.ExecuteDirect(kKeyProbe);
  } catch (const database::EDatabaseError&) {
    problems.push_back(
        "Error: VN_PPDATA1 has no primary key or unique index on (STATION_ID, DATA_LABEL, "
        "FUNCTION_NAME, TIME_TAG, TIME_PERIOD): a result computed again would be stored twice "
        "or refused.");
  }
  const auto indexes = Indexes(c, backend, "VN_DATA1");
  if (std::none_of(indexes.begin(), indexes.end(), ServesRangeQuery)) {
    problems.push_back(
        "Warning: VN_DATA1 has no index on (STATION_ID, SENSORNAME, TIME_TAG); every window "
        "reads the whole table. Create it: " +
        std::string(kCreateIndex) + ";");
  }
  // Entries whose station/sensor has no reading at all: most likely a misspelt name.
  const config::TPostProcGroups* groups = config.Groups();
  if (groups == nullptr) return;
  std::unique_ptr<database::TStatement> extremes = c.Prepare(store::TagExtremesSQL);
  for (int i = 0; i < groups->Count(); ++i) {
    const config::TPostProcGroupItem& group = groups->Item(i);
    for (const auto& entry : group.Sensors) {
      extremes->BindText("STATION_ID", entry->StationID);
      extremes->BindText("SENSORNAME", entry->SensorName);
      extremes->Execute();
      const bool none = !extremes->Fetch() || extremes->IsNull("FIRST_TAG");
      extremes->CloseCursor();
      if (!none) continue;
      problems.push_back("Warning: [" + group.SectionName + "] POLL" +
                         std::to_string(entry->KeyNumber) + "=" + entry->StationID + "." +
                         entry->SensorName + ": VN_DATA1 holds no reading of it.");
    }
  }
}

// Two entries of a group with one station and one data label store their results under one
// key: each overwrites the other's.
void CheckDataLabels(const config::TConfiguration& config, std::vector<std::string>& problems) {
  const config::TPostProcGroups* groups = config.Groups();
  if (groups == nullptr) return;
  for (int i = 0; i < groups->Count(); ++i) {
    const config::TPostProcGroupItem& group = groups->Item(i);
    std::map<std::pair<std::string, std::string>, int> first;
    for (const auto& entry : group.Sensors) {
      const auto key = std::pair{Upper(entry->StationID), Upper(entry->DataLabel)};
      const auto [at, added] = first.emplace(key, entry->KeyNumber);
      if (added) continue;
      problems.push_back(
          "Error: [" + group.SectionName + "] POLLDataLabel" + std::to_string(entry->KeyNumber) +
          "=" + entry->DataLabel + " repeats POLLDataLabel" + std::to_string(at->second) +
          " for the station " + entry->StationID + ": their results overwrite each other.");
    }
  }
}

void CheckWritable(const std::string& path, const char* what, std::vector<std::string>& problems) {
  if (::faccessat(AT_FDCWD, path.c_str(), W_OK, AT_EACCESS) == 0) return;
  problems.push_back(std::string("Error: ") + what + " " + path +
                     " is not writable for VNPPSvc: " + std::strerror(errno) + ".");
}

}  // namespace

std::vector<std::string> IndexDefinitionColumns(const std::string& definition) {
  std::vector<std::string> columns;
  const std::size_t open = definition.rfind('(');
  const std::size_t close = definition.rfind(')');
  if (open == std::string::npos || close == std::string::npos || close < open) return columns;
  std::string list = definition.substr(open + 1, close - open - 1);
  std::size_t start = 0;
  while (start <= list.size()) {
    std::size_t comma = list.find(',', start);
    if (comma == std::string::npos) comma = list.size();
    std::string column = common::Trim(list.substr(start, comma - start));
    column = column.substr(0, column.find(' '));  // without DESC, NULLS LAST, ...
    if (column.size() >= 2 && column.front() == '"' && column.back() == '"') {
      column = column.substr(1, column.size() - 2);
    }
    if (!column.empty()) columns.push_back(Upper(column));
    start = comma + 1;
  }
  return columns;
}

int RunCheck(const std::string& programDir, std::ostream& out) {
  TCollectingLog log;
  std::vector<std::string>& problems = log.Problems;
  config::TConfiguration config(programDir, log);
  config.LoadConfiguration();
  CheckDataLabels(config, problems);
  // The log directory, or the home where it is still to be made.
  const std::string logDir = programDir + "LogFiles";
  if (::access(logDir.c_str(), F_OK) == 0) {
    CheckWritable(logDir, "the log directory", problems);
    const std::string logFile = logDir + "/VNPostProc.log";
    if (::access(logFile.c_str(), F_OK) == 0) CheckWritable(logFile, "the log file", problems);
  } else {
    CheckWritable(programDir, "the home (where LogFiles is made)", problems);
  }
  database::TDatabase db([&problems](const std::string& text) { problems.push_back(text); });
  db.LoadDatabaseSettings(config.ConfigFile(), log);
  if (!db.DataSource().empty()) {
    try {
      CheckDatabase(db, config, problems);
    } catch (const std::exception& e) {
      problems.push_back(std::string("Error: checking the database failed: ") + e.what());
    }
    db.DisconnectDatabase();
  }
  for (const std::string& problem : problems) out << problem << "\n";
  if (problems.empty()) {
    out << "VNPPSvc -check: " << config.ConfigFileName()
        << " and its database are ready; no problems.\n";
    return 0;
  }
  out << "VNPPSvc -check: " << problems.size() << (problems.size() == 1 ? " problem" : " problems")
      << " in " << config.ConfigFileName() << ", its database or the files of the service.\n";
  return 1;
}

}  // namespace vnpp::host
