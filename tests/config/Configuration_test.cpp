#include "config/Configuration.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "common/DateTime.h"
#include "common/Error.h"
#include "support/ConfigTestSupport.h"

namespace vnpp::config {
namespace {

using testing::InChild;
using testing::ReadFile;
using testing::RecordingLog;
using testing::TempDir;
using testing::WriteFile;

class ConfigurationTest : public ::testing::Test {
 protected:
  std::string Path() const { return dir_.Dir() + "VNPostProc.VFG"; }
  void Load(const std::string& content) {
    WriteFile(Path(), content);
    config_.LoadConfiguration();
  }
  TPostProcGroupItem& Group(int i) { return config_.Groups()->Item(i); }

  TempDir dir_;
  RecordingLog log_;
  TConfiguration config_{dir_.Dir(), log_};
};

TEST_F(ConfigurationTest, NoFileLoadsNoGroupWithDefaultLogOptions) {
  EXPECT_EQ(config_.Groups(), nullptr);
  EXPECT_FALSE(config_.IsConfigFileOpen());
  EXPECT_EQ(config_.ConfigFile().ReadString("Database Settings", "ODBC Data Source", "d"), "d");

  config_.LoadConfiguration();
  // A moved-aside file is said once, with its path; the load counts as failed.
  EXPECT_EQ(log_.Messages(),
            (std::vector<std::string>{"Reading " + Path() + ".",
                                      "Warning: the configuration file " + Path() +
                                          " does not exist; there are no groups to process.",
                                      "Startup parameters loaded."}));
  EXPECT_TRUE(config_.LoadFailed());
  ASSERT_NE(config_.Groups(), nullptr);
  EXPECT_EQ(config_.Groups()->Count(), 0);
  EXPECT_TRUE(log_.LogMessage());
  EXPECT_EQ(log_.LogDetail(), 1);
  EXPECT_EQ(config_.ConfigFileName(), Path());
  EXPECT_TRUE(config_.IsConfigFileOpen());
}

// What Windows editors write (a byte-order mark) is read; a GroupNames entry without its
// section is said once by name; a refused file marks the load as failed.
TEST_F(ConfigurationTest, ByteOrderMarkIsSkippedAndAMissingGroupSectionIsNamed) {
  Load("\xEF\xBB\xBF[PostProcess]\r\nGroupNames=A,Lost\r\n[A]\r\nEnabled=1\r\n");
  EXPECT_FALSE(config_.LoadFailed());
  ASSERT_EQ(config_.Groups()->Count(), 2);
  EXPECT_TRUE(Group(0).Enabled);
  const std::vector<std::string> messages = log_.Messages();
  EXPECT_EQ(std::count_if(messages.begin(), messages.end(),
                          [](const std::string& m) { return m.rfind("Warning: ", 0) == 0; }),
            1);
  EXPECT_NE(std::find(messages.begin(), messages.end(),
                      "Warning: the group \"Lost\" in GroupNames has no section [Lost]; it "
                      "stays disabled."),
            messages.end());
  config_.SaveStartFrom();
  EXPECT_EQ(ReadFile(Path()).rfind("\xEF\xBB\xBF[PostProcess]\r\n", 0), 0u) << "kept";

  Load("[PostProcess]\nGroups=10001\n");
  EXPECT_TRUE(config_.LoadFailed());
  Load("[PostProcess]\nGroups=0\n");
  EXPECT_FALSE(config_.LoadFailed());

  // A file without a group list is said once, like a missing one; a UTF-16 file (as some
  // editors save it) is refused by its encoding rather than read as a file without groups.
  const struct {
    std::string file;
    std::string message;
  } refused[] = {
      {"", "Warning: the configuration file " + Path() +
               " names no groups (no GroupNames or Groups in [PostProcess]); there are no "
               "groups to process."},
      {"[PostProcess]\nLogDetail=1\n", "Warning: the configuration file " + Path() +
                                           " names no groups (no GroupNames or Groups in "
                                           "[PostProcess]); there are no groups to process."},
      {std::string("\xFF\xFE[\0P\0]\0", 8),
       "Error 1500: Unable to read " + Path() +
           ": it is encoded as UTF-16 little-endian; save it as UTF-8 or ANSI text"},
      {std::string("\xFE\xFF\0[\0P\0]", 8),
       "Error 1500: Unable to read " + Path() +
           ": it is encoded as UTF-16 big-endian; save it as UTF-8 or ANSI text"},
  };
  for (const auto& r : refused) {
    log_.Clear();
    Load(r.file);
    EXPECT_TRUE(config_.LoadFailed());
    EXPECT_EQ(log_.Messages(), (std::vector<std::string>{"Reading " + Path() + ".", r.message,
                                                         "Startup parameters loaded."}));
  }
}

TEST_F(ConfigurationTest, ReadsLogOptionsAndDatabaseSettings) {
  Load("[PostProcess]\nLogMessage=0\nLogDetail=2\n[Database Settings]\nODBC Data Source=VN\n");
  EXPECT_FALSE(log_.LogMessage());
  EXPECT_EQ(log_.LogDetail(), 2);
  EXPECT_EQ(config_.ConfigFile().ReadString("Database Settings", "ODBC Data Source", ""), "VN");

  Load("[PostProcess]\nLogMessage=No\nLogDetail=lots\n");
  EXPECT_TRUE(log_.LogMessage());
  EXPECT_EQ(log_.LogDetail(), 1);
}

TEST_F(ConfigurationTest, NamedSectionsWinOverNumberedOnes) {
  Load(
      "[PostProcess]\nGroups=5\nGroupNames=Daily, Hourly,Third,Fourth\n"
      "[Daily]\nFuncName=SUM\n"
      "[Hourly]\nFuncName=AVG\nPPGIndex=7\n"
      "[Third]\nFuncName=MIN\n"
      "[Fourth]\nPPGIndex=-1\n"
      "[PostProcessGroup:1]\nFuncName=MAX\n");
  ASSERT_EQ(config_.Groups()->Count(), 4);
  EXPECT_EQ(Group(0).SectionName, "Daily");
  EXPECT_EQ(Group(1).SectionName, " Hourly");
  EXPECT_EQ(Group(1).FuncName, "AVG");
  EXPECT_EQ(Group(2).FuncName, "MIN");
  EXPECT_EQ(Group(0).PPGIndex, 1);
  EXPECT_EQ(Group(1).PPGIndex, 7);
  EXPECT_EQ(Group(2).PPGIndex, 3);
  EXPECT_EQ(Group(3).PPGIndex, 4);
}

TEST_F(ConfigurationTest, SplitsGroupNamesLikeTheScanner) {
  struct Row {
    std::string names;
    std::vector<std::string> sections;
  };
  const std::vector<Row> rows = {
      {"A,B,", {"A", "B"}},
      {",A", {"", "A"}},
      {"A,,B", {"A", "", "B"}},
  };
  for (const Row& r : rows) {
    Load("[PostProcess]\nGroupNames=" + r.names + "\n");
    std::vector<std::string> got;
    for (int i = 0; i < config_.Groups()->Count(); ++i) got.push_back(Group(i).SectionName);
    EXPECT_EQ(got, r.sections) << r.names;
  }
}

TEST_F(ConfigurationTest, NumberedSectionsAndTheirDefaults) {
  Load("[PostProcess]\nGroups=2\n[PostProcessGroup:2]\nFuncName=DELTA\nEnabled=1\n");
  ASSERT_EQ(config_.Groups()->Count(), 2);
  const TPostProcGroupItem& empty = Group(0);
  EXPECT_EQ(empty.SectionName, "PostProcessGroup:1");
  EXPECT_EQ(empty.PPGIndex, 1);
  EXPECT_FALSE(empty.Enabled);
  EXPECT_EQ(empty.FuncName, "");
  EXPECT_EQ(empty.StartFrom, "NOW");
  EXPECT_EQ(empty.TypeInterval, 3);
  EXPECT_EQ(empty.DataType, 0);
  EXPECT_EQ(empty.BaseTime, 0);
  EXPECT_TRUE(empty.Sensors.empty());
  EXPECT_EQ(Group(1).PPGIndex, 2);
  EXPECT_TRUE(Group(1).IsDelta());

  Load("[PostProcess]\nGroups=-3\n");
  EXPECT_EQ(config_.Groups()->Count(), 0);
}

TEST_F(ConfigurationTest, ReadsEveryGroupKeyWithItsType) {
  struct Row {
    std::string line;
    bool enabled;
    int typeInterval;
    int dataType;
  };
  const std::vector<Row> rows = {
      {"Enabled=True", false, 3, 0},    {"Enabled=1", true, 3, 0},
      {"Enabled=0x1", true, 3, 0},      {"Enabled=0", false, 3, 0},
      {"Enabled=-1", true, 3, 0},       {"TypeInterval=259", false, 3, 0},
      {"TypeInterval=0", false, 0, 0},  {"TypeInterval=hourly", false, 3, 0},
      {"TypeInterval=$6", false, 6, 0}, {"DataType=-1", false, 3, 255},
      {"DataType=257", false, 3, 1},
  };
  for (const Row& r : rows) {
    Load("[PostProcess]\nGroups=1\n[PostProcessGroup:1]\n" + r.line + "\n");
    ASSERT_EQ(config_.Groups()->Count(), 1) << r.line;
    EXPECT_EQ(Group(0).Enabled, r.enabled) << r.line;
    EXPECT_EQ(Group(0).TypeInterval, r.typeInterval) << r.line;
    EXPECT_EQ(Group(0).DataType, r.dataType) << r.line;
  }

  Load(
      "[PostProcess]\nGroups=1\n[PostProcessGroup:1]\nFuncName=FIRST\nBaseTime=00:05:00\n"
      "ProcTime=1:00 PM\nInterval=07:00:00\nStartFrom=YESTERDAY\nDescription=d\nPurpose=p\n"
      "Parameter=2\nFilter=f\n");
  const TPostProcGroupItem& g = Group(0);
  EXPECT_EQ(g.FuncName, "FIRST");
  EXPECT_NEAR(g.BaseTime, 5.0 / 1440, 1e-12);
  EXPECT_NEAR(g.ProcTime, 13.0 / 24, 1e-12);
  EXPECT_NEAR(g.Interval, 7.0 / 24, 1e-12);
  EXPECT_EQ(g.StartFrom, "YESTERDAY");
  EXPECT_EQ(g.Description, "d");
  EXPECT_EQ(g.Purpose, "p");
  EXPECT_EQ(g.Parameter, "2");
  EXPECT_EQ(g.Filter, "f");
  EXPECT_EQ(g.BoundaryMode, 0);
}

TEST_F(ConfigurationTest, InvalidTimeEndsLoadingAndKeepsTheGroupsBeforeIt) {
  struct Row {
    std::string line;
    std::string error;
  };
  const std::vector<Row> rows = {
      {"BaseTime=25:00:00", "Error 1500: '25:00:00' is not a valid time"},
      {"Interval=24:00:00", "Error 1500: '24:00:00' is not a valid time"},
      {"ProcTime=", "Error 1500: '' is not a valid time"},
      {"BaseTime=10:00 x", "Error 1500: '10:00 x' is not a valid time"},
  };
  for (const Row& r : rows) {
    log_.Clear();
    Load("[PostProcess]\nGroupNames=A,B,C\n[A]\nFuncName=AVG\n[B]\n" + r.line +
         "\n[C]\nFuncName=SUM\n");
    ASSERT_EQ(config_.Groups()->Count(), 1) << r.line;
    EXPECT_EQ(Group(0).SectionName, "A");
    EXPECT_EQ(log_.Messages(), (std::vector<std::string>{"Reading " + Path() + ".", r.error,
                                                         "Startup parameters loaded."}));
  }
}

TEST_F(ConfigurationTest, SplitsStationAndSensorAndSkipsEmptyEntries) {
  Load(
      "[PostProcess]\nGroups=1\n[PostProcessGroup:1]\nPOLLNumber=7\n"
      "POLL1=ST1.WL\nPOLLUpdate1=03/15/2024 10:00:00\nPOLLDataLabel1=WL_AVG\nPOLLAltLabel1=Level\n"
      "POLL2=\nPOLLUpdate2=01/01/2000 00:00:00\n"
      "POLL3=ST1.WL.X\nPOLL4=ST1\nPOLL5=ST1.\nPOLL6=.WL\nPOLLUpdate6=garbage\n"
      "POLL8=ST8.WL\n");
  const auto& sensors = Group(0).Sensors;
  struct Expected {
    int key;
    std::string station, sensor;
  };
  const std::vector<Expected> expected = {
      {1, "ST1", "WL"}, {3, "ST1", "WL"}, {4, "ST1", "ST1"}, {5, "ST1", ""}, {6, "", "WL"},
  };
  ASSERT_EQ(sensors.size(), expected.size());
  for (std::size_t i = 0; i < expected.size(); ++i) {
    EXPECT_EQ(sensors[i]->KeyNumber, expected[i].key) << i;
    EXPECT_EQ(sensors[i]->StationID, expected[i].station) << i;
    EXPECT_EQ(sensors[i]->SensorName, expected[i].sensor) << i;
  }
  EXPECT_EQ(sensors[0]->LastUpdate, common::EncodeDateTime(2024, 3, 15, 10));
  EXPECT_EQ(sensors[0]->DataLabel, "WL_AVG");
  EXPECT_EQ(sensors[0]->AltLabel, "Level");
  EXPECT_EQ(sensors[1]->LastUpdate, 0);  // POLLUpdate2 belongs to the empty POLL2
  EXPECT_EQ(sensors[4]->LastUpdate, 0);
}

TEST_F(ConfigurationTest, ProgressOfEachEntryGoesToItsOwnKey) {
  Load(
      "[PostProcess]\nGroupNames=Hourly\n[Hourly]\nPOLLNumber=3\n"
      "POLL1=ST01.WL\nPOLL2=\nPOLL3=ST01.RAIN\n");
  TPostProcGroupItem& g = Group(0);
  ASSERT_EQ(g.Sensors.size(), 2u);
  const TDateTime first = common::EncodeDateTime(2024, 3, 15, 10);
  const TDateTime second = common::EncodeDateTime(2024, 3, 15, 11);
  g.Sensors[0]->LastUpdate = first;
  g.Sensors[1]->LastUpdate = second;
  config_.WritePollUpdate(g, *g.Sensors[0]);
  config_.WritePollUpdate(g, *g.Sensors[1]);
  const std::string text = ReadFile(Path());
  EXPECT_NE(text.find("POLLUpdate3=03/15/2024 11:00:00"), std::string::npos) << text;
  EXPECT_EQ(text.find("POLLUpdate2"), std::string::npos) << text;

  // An operator sets an entry back while processing runs: the next write of that key goes
  // over the edit, and says so in the log.
  std::string edited = text;
  edited.replace(edited.find("POLLUpdate1=03/15/2024 10"), 25, "POLLUpdate1=01/01/2024 00");
  WriteFile(Path(), edited);
  const std::size_t before = log_.Messages().size();
  config_.WritePollUpdate(g, *g.Sensors[0]);
  const std::vector<std::string> messages = log_.Messages();
  ASSERT_EQ(messages.size(), before + 1);
  EXPECT_EQ(messages.back().rfind("Warning: POLLUpdate1 in [Hourly] of " + Path() +
                                      " was changed to \"01/01/2024 00:00:00\"",
                                  0),
            0u)
      << messages.back();

  config_.LoadConfiguration();
  ASSERT_EQ(Group(0).Sensors.size(), 2u);
  EXPECT_EQ(Group(0).Sensors[0]->LastUpdate, first);
  EXPECT_EQ(Group(0).Sensors[1]->LastUpdate, second);
}

TEST_F(ConfigurationTest, SavesStartFromOfEveryGroup) {
  Load("[PostProcess]\nGroupNames=A,B\n; keep me\n[A]\nFuncName=AVG\n[B]\nStartFrom=TODAY\n");
  EXPECT_EQ(Group(0).StartFrom, "NOW");
  Group(0).StartFrom = "03/15/2024 11:00:00";
  config_.SaveStartFrom();
  EXPECT_EQ(ReadFile(Path()),
            "[PostProcess]\nGroupNames=A,B\n; keep me\n[A]\nFuncName=AVG\n"
            "StartFrom=03/15/2024 11:00:00\n[B]\nStartFrom=TODAY\n");
  config_.LoadConfiguration();
  EXPECT_EQ(Group(0).StartFrom, "03/15/2024 11:00:00");
}

TEST_F(ConfigurationTest, WriteFailuresAreRaisedWithTheirReason) {
  Load("[PostProcess]\nGroups=1\n[PostProcessGroup:1]\nPOLLNumber=1\nPOLL1=ST01.WL\n");
  // The file becomes something that cannot be read or replaced.
  std::filesystem::remove(Path());
  std::filesystem::create_directory(Path());
  const std::string expected = "Unable to write to " + Path() + ": Is a directory";
  TPostProcGroupItem& g = Group(0);
  const std::vector<std::function<void()>> writes = {
      [&] { config_.SaveStartFrom(); },
      [&] { config_.WritePollUpdate(g, *g.Sensors[0]); },
      [&] { config_.WritePollUpdates(g, {g.Sensors[0].get()}); },
  };
  for (const auto& write : writes) {
    try {
      write();
      ADD_FAILURE() << "no error";
    } catch (const common::EPostProcError& e) {
      EXPECT_EQ(std::string(e.what()), expected);
    }
  }
  EXPECT_TRUE(std::filesystem::is_directory(Path()));
}

// On a full disk the StartFrom of every group is written, or none.
TEST_F(ConfigurationTest, SavingStartFromIsAllOrNothing) {
  const std::string original =
      "[PostProcess]\nGroupNames=A,B,C\n[A]\nStartFrom=NOW\n[B]\nStartFrom=NOW\n[C]\n";
  Load(original);
  for (int i = 0; i < 3; ++i) Group(i).StartFrom = "03/15/2024 11:00:00";
  const std::string problems = InChild(
      [&]() -> std::string {
        try {
          config_.SaveStartFrom();
          return "no error";
        } catch (const common::EPostProcError& e) {
          const std::string expected = "Unable to write to " + Path() + ": File too large";
          return e.what() == expected ? "" : std::string("message: ") + e.what();
        }
      },
      original.size() - 1);
  EXPECT_EQ(problems, "");
  EXPECT_EQ(ReadFile(Path()), original);

  config_.SaveStartFrom();
  config_.LoadConfiguration();
  for (int i = 0; i < 3; ++i) EXPECT_EQ(Group(i).StartFrom, "03/15/2024 11:00:00") << i;
}

TEST_F(ConfigurationTest, ProgressOfSeveralEntriesGoesOutInOneWrite) {
  Load("[PostProcess]\nGroupNames=H\n[H]\nPOLLNumber=3\nPOLL1=ST1.WL\nPOLL2=\nPOLL3=ST3.WL\n");
  TPostProcGroupItem& g = Group(0);
  g.Sensors[0]->LastUpdate = common::EncodeDateTime(2024, 3, 15, 10);
  g.Sensors[1]->LastUpdate = common::EncodeDateTime(2024, 3, 15, 11, 0, 0, 500);
  config_.WritePollUpdates(g, {g.Sensors[0].get(), g.Sensors[1].get()});
  config_.LoadConfiguration();
  EXPECT_EQ(Group(0).Sensors[0]->LastUpdate, common::EncodeDateTime(2024, 3, 15, 10));
  EXPECT_EQ(Group(0).Sensors[1]->LastUpdate, common::EncodeDateTime(2024, 3, 15, 11, 0, 0, 500));
  EXPECT_NE(ReadFile(Path()).find("POLLUpdate3="), std::string::npos);
}

// A file that is there but cannot be read: the error, and everything after it, reaches the
// log file, because the log switch takes its default before the error is logged.
TEST_F(ConfigurationTest, UnreadableFileIsLoggedAndNeverOverwritten) {
  struct Row {
    std::string name;
    std::function<void(const std::string&)> make;
    std::string reason;
  };
  const std::vector<Row> rows = {
      {"directory", [](const std::string& p) { std::filesystem::create_directory(p); },
       "Is a directory"},
      {"fifo", [](const std::string& p) { ASSERT_EQ(::mkfifo(p.c_str(), 0600), 0); },
       "not a regular file"},
      {"no permission",
       [](const std::string& p) {
         WriteFile(p, "[PostProcess]\nLogMessage=0\n");
         ::chmod(p.c_str(), 0);
       },
       "Permission denied"},
  };
  for (const Row& r : rows) {
    // As root a file without permissions still reads.
    if (r.name == "no permission" && ::geteuid() == 0) continue;
    std::filesystem::remove_all(Path());
    r.make(Path());
    const auto kind = std::filesystem::status(Path()).type();
    log_.Reset();
    config_.LoadConfiguration();
    ASSERT_EQ(log_.Messages().size(), 3u) << r.name;
    EXPECT_EQ(log_.Messages()[1], "Error 1500: Unable to read " + Path() + ": " + r.reason);
    EXPECT_EQ(log_.LogMessageAt(), (std::vector<bool>{false, true, true})) << r.name;
    EXPECT_EQ(log_.LogDetail(), 1) << r.name;
    EXPECT_EQ(config_.Groups()->Count(), 0) << r.name;
    config_.SaveStartFrom();  // no group: nothing to write, no error
    EXPECT_EQ(std::filesystem::status(Path()).type(), kind) << r.name;
  }
}

// A count far too large is refused like an invalid time: loading ends there.
TEST_F(ConfigurationTest, HugeCountsEndTheLoadingWithAMessage) {
  struct Row {
    std::string file;
    std::vector<std::string> sections;
    std::string error;
  };
  const std::vector<Row> rows = {
      {"[PostProcess]\nGroups=2147483647\n",
       {},
       "Error 1500: Groups=2147483647 in section [PostProcess] is above the limit of 10000"},
      {"[PostProcess]\nGroups=10001\n",
       {},
       "Error 1500: Groups=10001 in section [PostProcess] is above the limit of 10000"},
      {"[PostProcess]\nGroupNames=A,B,C\n[A]\nPOLLNumber=1\nPOLL1=S.W\n[B]\n"
       "POLLNumber=2147483647\nPOLL1=S.W\n[C]\n",
       {"A"},
       "Error 1500: POLLNumber=2147483647 in section [B] is above the limit of 100000"},
      // Unusable counts would leave the group without entries, silently.
      {"[PostProcess]\nGroupNames=A,B\n[A]\n[B]\nPOLLNumber=2147483648\n",
       {"A"},
       "Error 1500: POLLNumber=2147483648 in section [B] is not a number from 0 to 100000"},
      {"[PostProcess]\nGroupNames=A,B\n[A]\n[B]\nPOLLNumber=99999999999999999999\n",
       {"A"},
       "Error 1500: POLLNumber=99999999999999999999 in section [B] is not a number from 0 to "
       "100000"},
      {"[PostProcess]\nGroupNames=A,B\n[A]\n[B]\nPOLLNumber=-1\n",
       {"A"},
       "Error 1500: POLLNumber=-1 in section [B] is not a number from 0 to 100000"},
      {"[PostProcess]\nGroupNames=A,B\n[A]\n[B]\nPOLLNumber=abc\n",
       {"A"},
       "Error 1500: POLLNumber=abc in section [B] is not a number from 0 to 100000"},
      {"[PostProcess]\nGroupNames=A,B\n[A]\nRecheckWindows=10000\n[B]\nRecheckWindows=10001\n",
       {"A"},
       "Error 1500: RecheckWindows=10001 in section [B] is above the limit of 10000"},
      // A completeness rule that cannot be applied as written would store guesses unmarked.
      {"[PostProcess]\nGroupNames=A,B\n[A]\nReadingInterval=00:15:00\nMinCoverage=100\n"
       "MaxGap=25:00:00\nIncompleteWindows=flag\n[B]\nReadingInterval=15 minutes\n",
       {"A"},
       "Error 1500: ReadingInterval=15 minutes in section [B] is not a duration hh:mm:ss"},
      {"[PostProcess]\nGroupNames=A,B\n[A]\n[B]\nMaxGap=01:60:00\n",
       {"A"},
       "Error 1500: MaxGap=01:60:00 in section [B] is not a duration hh:mm:ss"},
      {"[PostProcess]\nGroupNames=A,B\n[A]\n[B]\nMaxGap=00:00:00\n",
       {"A"},
       "Error 1500: MaxGap=00:00:00 in section [B] is not above 00:00:00"},
      {"[PostProcess]\nGroupNames=A,B\n[A]\n[B]\nReadingInterval=01:00:00\nMinCoverage=101\n",
       {"A"},
       "Error 1500: MinCoverage=101 in section [B] is not a whole percent from 0 to 100"},
      {"[PostProcess]\nGroupNames=A,B\n[A]\n[B]\nMinCoverage=75\nMaxGap=01:00:00\n",
       {"A"},
       "Error 1500: MinCoverage=75 in section [B] needs ReadingInterval, the interval between "
       "readings"},
      {"[PostProcess]\nGroupNames=A,B\n[A]\n[B]\nMaxGap=01:00:00\nIncompleteWindows=Drop\n",
       {"A"},
       "Error 1500: IncompleteWindows=Drop in section [B] is not Skip or Flag"},
      {"[PostProcess]\nGroupNames=A,B\n[A]\nPOLLNumber=100000\nPOLL100000=S.W\n[B]\n",
       {"A", "B"},
       ""},
  };
  for (const Row& r : rows) {
    log_.Clear();
    Load(r.file);
    std::vector<std::string> sections;
    for (int i = 0; i < config_.Groups()->Count(); ++i) sections.push_back(Group(i).SectionName);
    EXPECT_EQ(sections, r.sections) << r.file;
    std::vector<std::string> expected = {"Reading " + Path() + "."};
    if (!r.error.empty()) expected.push_back(r.error);
    expected.push_back("Startup parameters loaded.");
    EXPECT_EQ(log_.Messages(), expected) << r.file;
  }
  ASSERT_EQ(Group(0).Sensors.size(), 1u);
  EXPECT_EQ(Group(0).Sensors[0]->KeyNumber, 100000);
  Load("[PostProcess]\nGroups=1\n[PostProcessGroup:1]\nRecheckWindows=10000\n");
  EXPECT_EQ(Group(0).RecheckWindows, 10000);
  EXPECT_EQ(Group(0).ReadingInterval, 0);
  EXPECT_EQ(Group(0).MinCoverage, 0);
  EXPECT_EQ(Group(0).MaxGap, 0);
  EXPECT_FALSE(Group(0).FlagIncomplete);
  Load(
      "[PostProcess]\nGroups=1\n[PostProcessGroup:1]\nReadingInterval=00:15:00\n"
      "MinCoverage=75\nMaxGap=25:00:00\nIncompleteWindows=Flag\n");
  EXPECT_DOUBLE_EQ(Group(0).ReadingInterval * 96, 1.0);
  EXPECT_EQ(Group(0).MinCoverage, 75);
  EXPECT_DOUBLE_EQ(Group(0).MaxGap * 24, 25.0);
  EXPECT_TRUE(Group(0).FlagIncomplete);
}

}  // namespace
}  // namespace vnpp::config

namespace vnpp::config {
namespace {

TEST(SampleConfiguration, LoadsEveryGroupWithoutErrors) {
  const char* source = std::getenv("VNPP_SOURCE_DIR");
  if (source == nullptr) GTEST_SKIP() << "VNPP_SOURCE_DIR not set";
  testing::RecordingLog log;
  TConfiguration config(std::string(source) + "/etc/", log);
  config.LoadConfiguration();
  EXPECT_EQ(log.Messages().size(), 2u) << log.Messages()[1];
  ASSERT_EQ(config.Groups()->Count(), 3);
  EXPECT_TRUE(config.Groups()->Item(2).IsDelta());
  EXPECT_EQ(config.Groups()->Item(1).Sensors.at(1)->KeyNumber, 3);
}

}  // namespace
}  // namespace vnpp::config
