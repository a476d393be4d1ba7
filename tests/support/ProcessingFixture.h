// A temporary program home with a configuration file and a SQLite database through its
// ODBC driver, for the group run and processing thread tests.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <string>
#include <vector>

#include "common/Clock.h"
#include "common/DateTime.h"
#include "common/Log.h"
#include "config/Configuration.h"
#include "database/Database.h"
#include "database/Odbc.h"
#include "support/RecordingLog.h"
#include "support/TestDatabases.h"

namespace vnpp::processing::testing {

using vnpp::testing::TRecordingLog;

inline std::string SourceDir() {
  const char* s = std::getenv("VNPP_SOURCE_DIR");
  return s != nullptr ? s : ".";
}

class ProcessingFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/vnpp-proc-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    home_ = std::string(tmpl) + "/";
    dbFile_ = home_ + "data.db";
    CreateDatabase();
  }

  void TearDown() override { std::filesystem::remove_all(home_); }

  std::string ConnectionString() const {
    return "Driver=SQLite3;Database=" + dbFile_ + ";NoCreat=1;JournalMode=WAL;SyncPragma=NORMAL";
  }

  void CreateDatabase() {
    database::testing::ApplySchema("Driver=SQLite3;Database=" + dbFile_, "sqlite");
  }

  // Readings every 15 minutes from..to (exclusive), value = minutes since from.
  void AddReadings(const std::string& station, const std::string& sensor, common::TDateTime from,
                   common::TDateTime to) {
    database::TConnection c;
    c.Open(ConnectionString(), "", "");
    auto stmt = c.Prepare(
        "INSERT INTO VN_DATA1 (STATION_ID, SENSORNAME, TIME_TAG, ED_VALUE) VALUES (:S, :N, :T, "
        ":V)");
    c.ExecuteDirect("BEGIN");
    int i = 0;
    for (common::TDateTime t = from; t < to - 1e-9; t = from + (++i) * (15.0 / 1440.0)) {
      stmt->BindText("S", station);
      stmt->BindText("N", sensor);
      stmt->BindDateTime("T", t);
      stmt->BindDouble("V", i * 15.0);
      stmt->Execute();
    }
    c.ExecuteDirect("COMMIT");
  }

  // Result rows as "STATION|TIME_TAG text" in time order.
  std::vector<std::string> ResultRows() {
    database::TConnection c;
    c.Open(ConnectionString(), "", "");
    auto stmt = c.Prepare("SELECT * FROM VN_PPDATA1 ORDER BY STATION_ID, TIME_TAG");
    stmt->Execute();
    std::vector<std::string> rows;
    while (stmt->Fetch()) {
      rows.push_back(stmt->GetText("STATION_ID") + "|" +
                     common::FormatDateTimeText(stmt->GetDateTime("TIME_TAG")));
    }
    return rows;
  }

  void WriteConfig(const std::string& body) {
    std::ofstream out(home_ + "VNPostProc.VFG", std::ios::binary);
    out << body << "\r\n[Database Settings]\r\nODBC Data Source=" << ConnectionString() << "\r\n";
  }

  std::string ReadConfig() {
    std::ifstream in(home_ + "VNPostProc.VFG", std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  }

  std::string home_;
  std::string dbFile_;
};

inline common::TDateTime At(int y, int mo, int d, int h = 0, int mi = 0, int s = 0) {
  return common::EncodeDateTime(y, mo, d, h, mi, s);
}

}  // namespace vnpp::processing::testing
