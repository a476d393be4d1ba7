#include "config/IniFile.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "common/Error.h"
#include "common/Regional.h"
#include "support/ConfigTestSupport.h"

namespace vnpp::config {
namespace {

using testing::InChild;
using testing::ReadFile;
using testing::TempDir;
using testing::WriteFile;

TEST(IniFile, ConvertsIntegersAsDecimalOrHexadecimal) {
  struct Row {
    std::string text;
    bool ok;
    std::int32_t value;
  };
  const std::vector<Row> rows = {
      {"0", true, 0},
      {"42", true, 42},
      {"-7", true, -7},
      {"+7", true, 7},
      {"0x1", true, 1},
      {"0X1f", true, 31},
      {"$10", true, 16},
      {"-$10", true, -16},
      {"$FFFFFFFF", true, -1},
      {"2147483647", true, 2147483647},
      {"-2147483648", true, -2147483647 - 1},
      {"2147483648", false, 0},
      {"$100000000", false, 0},
      {"", false, 0},
      {"-", false, 0},
      {"0x", false, 0},
      {"$", false, 0},
      {"True", false, 0},
      {"Yes", false, 0},
      {"1.5", false, 0},
      {"12abc", false, 0},
      {"0x1g", false, 0},
      {"1 2", false, 0},
  };
  for (const Row& r : rows) {
    std::int32_t value = 12345;
    EXPECT_EQ(TryStrToInt(r.text, value), r.ok) << r.text;
    if (r.ok) {
      EXPECT_EQ(value, r.value) << r.text;
    }
  }
}

TEST(IniFile, ConvertsTimesOfDay) {
  auto hms = [](int h, int m, int s, int ms = 0) {
    return (((h * 60.0 + m) * 60.0 + s) * 1000.0 + ms) / 86400000.0;
  };
  struct Row {
    std::string text;
    bool ok;
    double value;
  };
  const std::vector<Row> rows = {
      {"00:00:00", true, 0},
      {"00:05:00", true, hms(0, 5, 0)},
      {"23:59:59", true, hms(23, 59, 59)},
      {"7", true, hms(7, 0, 0)},
      {"7:30", true, hms(7, 30, 0)},
      {"07:00:00.250", true, hms(7, 0, 0, 250)},
      {"07:00:00.999", true, hms(7, 0, 0, 999)},
      {" 7 : 30 : 15 ", true, hms(7, 30, 15)},
      {"7:30 PM", true, hms(19, 30, 0)},
      {"7:30pm", true, hms(19, 30, 0)},
      {"PM 7:30", true, hms(19, 30, 0)},
      {"12:00 AM", true, 0},
      {"12:00 PM", true, hms(12, 0, 0)},
      {"am 1", true, hms(1, 0, 0)},
      {"24:00:00", false, 0},
      {"25:00:00", false, 0},
      {"12:60:00", false, 0},
      {"12:00:60", false, 0},
      {"12:00:00.1000", false, 0},
      {"13:00 PM", false, 0},
      {"0:30 AM", false, 0},
      {"AM 7 PM", false, 0},
      {"", false, 0},
      {"   ", false, 0},
      {"12:", false, 0},
      {"12::00", false, 0},
      {"12:00:00 x", false, 0},
      {"noon", false, 0},
      {"-1:00", false, 0},
      {"03/15/2024 10:00:00", false, 0},
  };
  for (const Row& r : rows) {
    TDateTime t = -5;
    EXPECT_EQ(TryStrToTime(r.text, t), r.ok) << "'" << r.text << "'";
    if (r.ok) {
      EXPECT_NEAR(t, r.value, 1e-12) << r.text;
    }
  }

  // Regional separators are accepted beside ":" and ".".
  common::SetRegionalSettings(common::TRegionalSettings{'-', '.', ','});
  TDateTime t = 0;
  EXPECT_TRUE(TryStrToTime("07.30.00,500", t));
  EXPECT_NEAR(t, hms(7, 30, 0, 500), 1e-12);
  EXPECT_TRUE(TryStrToTime("07:30:00.500", t));
  common::SetRegionalSettings(common::TRegionalSettings{});
}

TEST(IniFile, ReadsTypedValuesWithTheirDefaults) {
  TempDir dir;
  const std::string path = dir.File("a.ini");
  WriteFile(path,
            "; leading comment\n"
            "orphan=before any section\n"
            "[ Main ]\n"
            "  Text  =  some value  \n"
            "Empty=\n"
            "Number=0x1F\n"
            "Word=True\n"
            "Code=259\n"
            "Minus=-1\n"
            "Time= 7:30 PM\n"
            "BadTime=25:00:00\n"
            "BlankTime=\n"
            "When=03/15/2024 10:20:30\n"
            "BadWhen=yesterday\n"
            "Dup=first\n"
            "dup=second\n"
            ";Commented=1\n"
            "no equals sign here\n"
            "[main]\n"
            "Later=ignored, the section is repeated\n");
  TIniFile f(path);
  f.Load();
  EXPECT_EQ(f.ReadString("MAIN", "text", "d"), "some value");
  EXPECT_EQ(f.ReadString("Main", "Empty", "d"), "");
  EXPECT_EQ(f.ReadString("Main", "Absent", "d"), "d");
  EXPECT_EQ(f.ReadString("Other", "Text", "d"), "d");
  EXPECT_EQ(f.ReadString("Main", "Dup", "d"), "first");
  EXPECT_EQ(f.ReadString("Main", "Commented", "d"), "d");
  EXPECT_EQ(f.ReadString("Main", "Later", "d"), "d");
  EXPECT_EQ(f.ReadString("", "orphan", "d"), "d");

  EXPECT_EQ(f.ReadInteger("Main", "Number", 5), 31);
  EXPECT_EQ(f.ReadInteger("Main", "Word", 5), 5);
  EXPECT_EQ(f.ReadInteger("Main", "Empty", 5), 5);
  EXPECT_TRUE(f.ReadBool("Main", "Number", false));
  EXPECT_FALSE(f.ReadBool("Main", "Word", false));
  EXPECT_TRUE(f.ReadBool("Main", "Word", true));
  EXPECT_EQ(f.ReadByte("Main", "Code", 9), 3);
  EXPECT_EQ(f.ReadByte("Main", "Minus", 9), 255);
  EXPECT_EQ(f.ReadByte("Main", "Word", 9), 9);

  EXPECT_NEAR(f.ReadTime("Main", "Time", 0), 19.5 / 24, 1e-12);
  EXPECT_EQ(f.ReadTime("Main", "Absent", 0.25), 0.25);
  try {
    f.ReadTime("Main", "BadTime", 0);
    ADD_FAILURE() << "no error";
  } catch (const common::EConvertError& e) {
    EXPECT_STREQ(e.what(), "'25:00:00' is not a valid time");
  }
  try {
    f.ReadTime("Main", "BlankTime", 0);
    ADD_FAILURE() << "no error";
  } catch (const common::EConvertError& e) {
    EXPECT_STREQ(e.what(), "'' is not a valid time");
  }

  EXPECT_EQ(f.ReadDateTime("Main", "When"), common::EncodeDateTime(2024, 3, 15, 10, 20, 30));
  EXPECT_EQ(f.ReadDateTime("Main", "BadWhen"), 0);
  EXPECT_EQ(f.ReadDateTime("Main", "Absent"), 0);
}

TEST(IniFile, StripsLineEndsAndCutsLongValues) {
  TempDir dir;
  const std::string path = dir.File("a.ini");
  const std::string longValue(3000, 'v');
  WriteFile(path, "[S]\r\nCrLf=one\r\nCr=two\rLf=three\nLong=" + longValue + "\nLast=four");
  TIniFile f(path);
  f.Load();
  EXPECT_EQ(f.ReadString("S", "CrLf", ""), "one");
  EXPECT_EQ(f.ReadString("S", "Cr", ""), "two");
  EXPECT_EQ(f.ReadString("S", "Lf", ""), "three");
  EXPECT_EQ(f.ReadString("S", "Last", ""), "four");
  EXPECT_EQ(f.ReadString("S", "Long", ""), longValue.substr(0, 2047));
}

TEST(IniFile, MissingFileReadsAsAbsentAndIsCreatedByAWrite) {
  TempDir dir;
  const std::string path = dir.File("none.ini");
  TIniFile f(path);
  f.Load();
  EXPECT_EQ(f.ReadString("S", "K", "d"), "d");
  f.WriteString("S", "K", "v");
  f.WriteString("S", "K2", "w");
  EXPECT_EQ(ReadFile(path), "[S]\nK=v\nK2=w\n");
  EXPECT_EQ(f.ReadString("s", "k2", ""), "w");
}

// Each row writes one key into the same original file and gives the whole expected file.
TEST(IniFile, WritingOneKeyKeepsEveryOtherByte) {
  const std::string original =
      "; Settings\r\n"
      "[PostProcess]\r\n"
      "LogDetail = 2   \r\n"
      "Unknown=kept\r\n"
      "\r\n"
      "; the group\r\n"
      "[Hourly]\r\n"
      "POLLUpdate1=03/15/2024 10:00:00\r\n"
      "StartFrom=NOW\r\n"
      "\r\n"
      "[Tail]\r\n"
      "X=1";
  struct Row {
    std::string section, key, value, expected;
  };
  const std::vector<Row> rows = {
      {"hourly", "pollupdate1", "03/15/2024 11:00:00",
       "; Settings\r\n[PostProcess]\r\nLogDetail = 2   \r\nUnknown=kept\r\n\r\n; the group\r\n"
       "[Hourly]\r\nPOLLUpdate1=03/15/2024 11:00:00\r\nStartFrom=NOW\r\n\r\n[Tail]\r\nX=1"},
      {"Hourly", "StartFrom", "03/15/2024 11:00:00",
       "; Settings\r\n[PostProcess]\r\nLogDetail = 2   \r\nUnknown=kept\r\n\r\n; the group\r\n"
       "[Hourly]\r\nPOLLUpdate1=03/15/2024 10:00:00\r\nStartFrom=03/15/2024 11:00:00\r\n\r\n"
       "[Tail]\r\nX=1"},
      {"PostProcess", "LogDetail", "10",
       "; Settings\r\n[PostProcess]\r\nLogDetail = 10   \r\nUnknown=kept\r\n\r\n; the group\r\n"
       "[Hourly]\r\nPOLLUpdate1=03/15/2024 10:00:00\r\nStartFrom=NOW\r\n\r\n[Tail]\r\nX=1"},
      {"Hourly", "POLLUpdate2", "03/15/2024 10:00:00",
       "; Settings\r\n[PostProcess]\r\nLogDetail = 2   \r\nUnknown=kept\r\n\r\n; the group\r\n"
       "[Hourly]\r\nPOLLUpdate1=03/15/2024 10:00:00\r\nStartFrom=NOW\r\n"
       "POLLUpdate2=03/15/2024 10:00:00\r\n\r\n[Tail]\r\nX=1"},
      {"Tail", "Y", "2",
       "; Settings\r\n[PostProcess]\r\nLogDetail = 2   \r\nUnknown=kept\r\n\r\n; the group\r\n"
       "[Hourly]\r\nPOLLUpdate1=03/15/2024 10:00:00\r\nStartFrom=NOW\r\n\r\n[Tail]\r\nX=1\r\nY=2"},
      {"New", "K", "v",
       "; Settings\r\n[PostProcess]\r\nLogDetail = 2   \r\nUnknown=kept\r\n\r\n; the group\r\n"
       "[Hourly]\r\nPOLLUpdate1=03/15/2024 10:00:00\r\nStartFrom=NOW\r\n\r\n[Tail]\r\nX=1\r\n"
       "[New]\r\nK=v\r\n"},
      {"Hourly", "StartFrom", "NOW\r\n[Injected]\r\nK=v",
       "; Settings\r\n[PostProcess]\r\nLogDetail = 2   \r\nUnknown=kept\r\n\r\n; the group\r\n"
       "[Hourly]\r\nPOLLUpdate1=03/15/2024 10:00:00\r\nStartFrom=NOW\r\n\r\n[Tail]\r\nX=1"},
  };
  for (const Row& r : rows) {
    TempDir dir;
    const std::string path = dir.File("a.ini");
    WriteFile(path, original);
    TIniFile f(path);
    f.Load();
    f.WriteString(r.section, r.key, r.value);
    EXPECT_EQ(ReadFile(path), r.expected) << r.section << "/" << r.key;
    // What reads answer matches a fresh load of the written file.
    TIniFile fresh(path);
    fresh.Load();
    for (const char* s : {"PostProcess", "Hourly", "Tail", "New"}) {
      for (const char* k :
           {"LogDetail", "Unknown", "POLLUpdate1", "POLLUpdate2", "StartFrom", "X", "Y", "K"}) {
        EXPECT_EQ(f.ReadString(s, k, "-"), fresh.ReadString(s, k, "-")) << s << "/" << k;
      }
    }
  }
}

TEST(IniFile, SeriesOfWritesKeepsMemoryAndFileInStep) {
  TempDir dir;
  const std::string path = dir.File("a.ini");
  WriteFile(path, "[G]\nPOLLUpdate1=0\nPOLLUpdate2=0\n");
  ::chmod(path.c_str(), 0640);
  TIniFile f(path);
  f.Load();
  TDateTime t = common::EncodeDateTime(2024, 3, 15);
  for (int i = 0; i < 50; ++i) {
    t += 1.0 / 24;
    f.WriteDateTime("G", "POLLUpdate" + std::to_string(i % 2 + 1), t);
    f.WriteString("G", "Note", std::string(static_cast<std::size_t>(i % 5), 'x'));
  }
  TIniFile fresh(path);
  fresh.Load();
  for (const char* k : {"POLLUpdate1", "POLLUpdate2", "Note"}) {
    EXPECT_EQ(f.ReadString("G", k, "-"), fresh.ReadString("G", k, "-")) << k;
  }
  EXPECT_NEAR(fresh.ReadDateTime("G", "POLLUpdate2"), t, 1e-9);
  struct stat st {};
  ASSERT_EQ(::stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0640u);
  EXPECT_FALSE(std::filesystem::exists(path + ".tmp"));
}

TEST(IniFile, TakesUpChangesMadeByOthersBeforeWriting) {
  TempDir dir;
  const std::string path = dir.File("a.ini");
  WriteFile(path, "[G]\nA=1111\n[H]\nA=5\n");
  TIniFile f(path);
  f.Load();
  // An editor replaces the file meanwhile.
  WriteFile(path + ".new", "; edited\n[G]\nB=x\nA=2222\n[H]\nA=6\n");
  std::filesystem::rename(path + ".new", path);
  std::vector<std::string> warnings;
  f.SetWarningReport([&](const std::string& text) { warnings.push_back(text); });
  f.WriteString("G", "A", "3333");
  EXPECT_EQ(ReadFile(path), "; edited\n[G]\nB=x\nA=3333\n[H]\nA=6\n");
  EXPECT_EQ(f.ReadString("G", "B", ""), "x");
  // The edit changed a key that the write then set: that is said.
  ASSERT_EQ(warnings.size(), 1u);
  EXPECT_NE(warnings[0].find("A in [G] of " + path + " was changed to \"2222\""), std::string::npos)
      << warnings[0];
  EXPECT_NE(warnings[0].find("\"3333\""), std::string::npos) << warnings[0];

  // An edit in place that keeps the size and the modification time shows only in the bytes.
  struct stat before {};
  ASSERT_EQ(::stat(path.c_str(), &before), 0);
  {
    const int fd = ::open(path.c_str(), O_WRONLY);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::pwrite(fd, "y", 1, 15), 1);  // B=x becomes B=y
    const struct timespec times[2] = {before.st_atim, before.st_mtim};
    ASSERT_EQ(::futimens(fd, times), 0);
    ::close(fd);
  }
  f.WriteString("G", "A", "4444");
  EXPECT_EQ(ReadFile(path), "; edited\n[G]\nB=y\nA=4444\n[H]\nA=6\n");
  EXPECT_EQ(warnings.size(), 1u) << "an operator's change of another key is no warning";
  // The same edit changed [H] too, which the service writes only now: that is said as well.
  f.WriteString("H", "A", "7");
  ASSERT_EQ(warnings.size(), 2u);
  EXPECT_NE(warnings[1].find("A in [H] of " + path + " was changed to \"6\""), std::string::npos)
      << warnings[1];
  f.WriteString("H", "A", "8");
  EXPECT_EQ(warnings.size(), 2u) << "its own value is no edit";
}

// A file moved aside and back while values are written: the values written meanwhile wait for
// it (one warning) instead of going into a new file that the one moved back would replace.
TEST(IniFile, ValuesWrittenWhileTheFileIsAwayReachItWhenItIsBack) {
  TempDir dir;
  const std::string path = dir.File("a.ini");
  WriteFile(path, "; kept\n[G]\nA=1\nB=1\n");
  TIniFile f(path);
  f.Load();
  std::vector<std::string> warnings;
  f.SetWarningReport([&](const std::string& text) { warnings.push_back(text); });
  std::filesystem::rename(path, path + ".aside");
  f.WriteString("G", "A", "2");
  f.WriteStrings({{"G", "A", "3"}, {"G", "B", "3"}, {"H", "C", "3"}});
  EXPECT_FALSE(std::filesystem::exists(path));
  std::filesystem::rename(path + ".aside", path);
  f.WriteString("G", "D", "4");
  EXPECT_EQ(ReadFile(path), "; kept\n[G]\nA=3\nB=3\nD=4\n[H]\nC=3\n");
  ASSERT_EQ(warnings.size(), 1u);
  EXPECT_NE(warnings[0].find(path + " is missing"), std::string::npos) << warnings[0];
}

// Lines that an operator appends while progress is written back are all kept, whatever
// moment of the write they come at.
TEST(IniFile, LinesAppendedDuringWritesAreNeverLost) {
  TempDir dir;
  const std::string path = dir.File("a.ini");
  WriteFile(path, "[G]\nPOLLUpdate1=0\n");
  TIniFile f(path);
  f.Load();
  constexpr int kLines = 1500;
  std::atomic<bool> done{false};
  std::thread appender([&] {
    for (int i = 0; i < kLines; ++i) {
      const std::string line = "; appended " + std::to_string(i) + "\n";
      const int fd = ::open(path.c_str(), O_WRONLY | O_APPEND);
      if (fd >= 0) {
        static_cast<void>(::write(fd, line.data(), line.size()));
        ::close(fd);
      }
    }
    done.store(true);
  });
  // A write that meets an append on every attempt fails rather than lose it.
  int writes = 0, failed = 0;
  while (!done.load()) {
    try {
      f.WriteString("G", "POLLUpdate1", std::to_string(++writes));
    } catch (const common::EPostProcError& e) {
      ++failed;
      EXPECT_NE(std::string(e.what()).find("kept changing"), std::string::npos) << e.what();
    }
  }
  appender.join();
  f.WriteString("G", "POLLUpdate1", "last");
  const std::string text = ReadFile(path);
  int lost = 0;
  for (int i = 0; i < kLines; ++i) {
    if (text.find("; appended " + std::to_string(i) + "\n") == std::string::npos) ++lost;
  }
  EXPECT_EQ(lost, 0) << "of " << kLines << " lines, with " << writes << " writes (" << failed
                     << " failed)";
  TIniFile fresh(path);
  fresh.Load();
  EXPECT_EQ(fresh.ReadString("G", "POLLUpdate1", ""), "last");
}

TEST(IniFile, FailedWriteNamesTheFileAndChangesNothing) {
  TempDir dir;
  struct Row {
    std::string path;
    bool makeDirectory;
    std::string reason;
  };
  const std::vector<Row> rows = {
      {dir.File("missing/dir/a.ini"), false, "No such file or directory"},
      {dir.File("isdir.ini"), true, "Is a directory"},  // unreadable: refuses to write over it
  };
  for (const Row& r : rows) {
    if (r.makeDirectory) std::filesystem::create_directory(r.path);
    TIniFile f(r.path);
    if (r.makeDirectory) {
      EXPECT_THROW(f.Load(), common::EPostProcError);
    } else {
      f.Load();
    }
    try {
      f.WriteString("S", "K", "v");
      ADD_FAILURE() << "no error for " << r.path;
    } catch (const common::EPostProcError& e) {
      EXPECT_EQ(std::string(e.what()), "Unable to write to " + r.path + ": " + r.reason);
    }
    EXPECT_EQ(f.ReadString("S", "K", "d"), "d");
  }
  EXPECT_TRUE(std::filesystem::is_directory(dir.File("isdir.ini")));
}

// Batch writes: each row applies one batch to the same original file.
TEST(IniFile, WriteStringsSetsEveryKeyOfABatchInOneGo) {
  const std::string original = "[A]\r\nK1=old\r\nK2=x\r\n\r\n[B]\r\nEmpty=\r\n; end\r\n[C]\r\nV=1";
  struct Row {
    std::string name;
    std::vector<TIniValue> values;
    std::string expected;
  };
  const std::vector<Row> rows = {
      {"same length and changed length",
       {{"a", "k1", "new"}, {"A", "K2", "longer"}},
       "[A]\r\nK1=new\r\nK2=longer\r\n\r\n[B]\r\nEmpty=\r\n; end\r\n[C]\r\nV=1"},
      {"the last value of a key wins, also for an added key",
       {{"A", "K1", "one"}, {"A", "N", "1"}, {"A", "k1", "two"}, {"a", "n", "2"}},
       "[A]\r\nK1=two\r\nK2=x\r\nN=2\r\n\r\n[B]\r\nEmpty=\r\n; end\r\n[C]\r\nV=1"},
      {"added keys follow the section's last key in order, after its value",
       {{"B", "P", "1"}, {"B", "Empty", "e"}, {"B", "Q", "2"}},
       "[A]\r\nK1=old\r\nK2=x\r\n\r\n[B]\r\nEmpty=e\r\nP=1\r\nQ=2\r\n; end\r\n[C]\r\nV=1"},
      {"new sections in order of their first key, names matched without case",
       {{"New", "X", "1"}, {"C", "W", "2"}, {"Other", "Y", "3"}, {"NEW", "Z", "4"}},
       "[A]\r\nK1=old\r\nK2=x\r\n\r\n[B]\r\nEmpty=\r\n; end\r\n[C]\r\nV=1\r\nW=2\r\n"
       "[New]\r\nX=1\r\nZ=4\r\n[Other]\r\nY=3\r\n"},
      {"a value is one line, blanks around it are not kept on reading",
       {{"A", "K1", "abc\r\n[Injected]"}, {"C", "V", " 2 "}},
       "[A]\r\nK1=abc\r\nK2=x\r\n\r\n[B]\r\nEmpty=\r\n; end\r\n[C]\r\nV= 2 "},
  };
  for (const Row& r : rows) {
    TempDir dir;
    const std::string path = dir.File("a.ini");
    WriteFile(path, original);
    TIniFile f(path);
    f.Load();
    f.WriteStrings(r.values);
    EXPECT_EQ(ReadFile(path), r.expected) << r.name;
    TIniFile fresh(path);
    fresh.Load();
    for (const char* s : {"A", "B", "C", "New", "Other", "Injected"}) {
      for (const char* k : {"K1", "K2", "N", "Empty", "P", "Q", "V", "W", "X", "Y", "Z"}) {
        EXPECT_EQ(f.ReadString(s, k, "-"), fresh.ReadString(s, k, "-")) << r.name << s << k;
      }
    }
  }
}

// A full disk (here: a file size limit) must fail every kind of write the same way, with the
// system's reason, leaving the file and what reads return as they were.
TEST(IniFile, WriteToAFullDiskFailsWholeWhateverItsKind) {
  const std::string original = "[G]\nPOLLUpdate1=03/15/2024 10:00:00\nStartFrom=NOW\n";
  struct Row {
    std::string name;
    std::vector<TIniValue> values;
  };
  const std::vector<Row> rows = {
      {"value of the same length", {{"G", "POLLUpdate1", "03/15/2024 11:00:00"}}},
      {"value of another length", {{"G", "StartFrom", "03/15/2024 11:00:00"}}},
      {"new key", {{"G", "POLLUpdate2", "03/15/2024 11:00:00"}}},
      {"new section", {{"H", "K", "v"}}},
      {"batch", {{"G", "POLLUpdate1", "03/15/2024 11:00:00"}, {"G", "POLLUpdate2", "x"}}},
  };
  for (const Row& r : rows) {
    TempDir dir;
    const std::string path = dir.File("a.ini");
    WriteFile(path, original);
    const std::string problems = InChild(
        [&]() -> std::string {
          TIniFile f(path);
          f.Load();
          try {
            f.WriteStrings(r.values);
            return "no error";
          } catch (const common::EPostProcError& e) {
            const std::string expected = "Unable to write to " + path + ": File too large";
            if (e.what() != expected) return std::string("message: ") + e.what();
          }
          for (const TIniValue& v : r.values) {
            if (f.ReadString(v.Section, v.Key, "") == v.Value) return "read the new " + v.Key;
          }
          return f.ReadString("G", "POLLUpdate1", "") == "03/15/2024 10:00:00" ? "" : "lost";
        },
        40);
    EXPECT_EQ(problems, "") << r.name;
    EXPECT_EQ(ReadFile(path), original) << r.name;
    EXPECT_FALSE(std::filesystem::exists(path + ".tmp")) << r.name;
  }
}

// The file is reached through a chain of links (absolute, then relative into another
// directory): the links stay, the real file gets the content and keeps its mode and owner.
TEST(IniFile, WritesThroughSymbolicLinksToTheRealFile) {
  TempDir dir;
  std::filesystem::create_directory(dir.File("real"));
  const std::string target = dir.File("real/target.ini");
  WriteFile(target, "[G]\nPOLLUpdate1=03/15/2024 10:00:00\n");
  ::chmod(target.c_str(), 0640);
  // Running as root, the file also gets an owner other than the writer.
  const bool root = ::geteuid() == 0;
  if (root) {
    ASSERT_EQ(::chown(target.c_str(), 12345, 23456), 0);
  }
  std::filesystem::create_symlink("real/target.ini", dir.File("link.ini"));
  std::filesystem::create_symlink(dir.File("link.ini"), dir.File("chain.ini"));

  TIniFile f(dir.File("chain.ini"));
  f.Load();
  f.WriteDateTime("G", "POLLUpdate1", common::EncodeDateTime(2024, 3, 15, 11));  // same length
  f.WriteString("G", "StartFrom", "03/15/2024 11:00:00");                        // new key
  EXPECT_TRUE(std::filesystem::is_symlink(dir.File("chain.ini")));
  EXPECT_TRUE(std::filesystem::is_symlink(dir.File("link.ini")));
  EXPECT_EQ(ReadFile(target),
            "[G]\nPOLLUpdate1=03/15/2024 11:00:00\nStartFrom=03/15/2024 11:00:00\n");
  struct stat st {};
  ASSERT_EQ(::stat(target.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0640u);
  if (root) {
    EXPECT_EQ(st.st_uid, 12345u);
    EXPECT_EQ(st.st_gid, 23456u);
  }
  EXPECT_FALSE(std::filesystem::exists(dir.File("chain.ini.tmp")));
  EXPECT_FALSE(std::filesystem::exists(target + ".tmp"));

  // A link to a file not there yet creates it at the link's target.
  std::filesystem::create_symlink("real/later.ini", dir.File("dangling.ini"));
  TIniFile later(dir.File("dangling.ini"));
  later.Load();
  later.WriteString("S", "K", "v");
  EXPECT_TRUE(std::filesystem::is_symlink(dir.File("dangling.ini")));
  EXPECT_EQ(ReadFile(dir.File("real/later.ini")), "[S]\nK=v\n");
}

// Only a regular file of bounded size is read; anything else fails at once with a reason,
// never blocks and never reads without end.
TEST(IniFile, RefusesFilesThatAreNotRegularOrTooLarge) {
  TempDir dir;
  ASSERT_EQ(::mkfifo(dir.File("fifo.ini").c_str(), 0600), 0);
  std::filesystem::create_symlink("/dev/zero", dir.File("zero.ini"));
  std::filesystem::create_directory(dir.File("dir.ini"));
  {
    const int fd = ::open(dir.File("huge.ini").c_str(), O_WRONLY | O_CREAT, 0600);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::ftruncate(fd, static_cast<off_t>(kMaxFileSize) + 1), 0);  // sparse
    ::close(fd);
  }
  struct Row {
    std::string name;
    std::string reason;
  };
  const std::vector<Row> rows = {
      {"fifo.ini", "not a regular file"},
      {"zero.ini", "not a regular file"},
      {"dir.ini", "Is a directory"},
      {"huge.ini", "larger than 64 MiB"},
  };
  for (const Row& r : rows) {
    const std::string path = dir.File(r.name);
    const std::string problems = InChild(
        [&]() -> std::string {
          TIniFile f(path);
          try {
            f.Load();
            return "loaded";
          } catch (const common::EPostProcError& e) {
            const std::string expected = "Unable to read " + path + ": " + r.reason;
            if (e.what() != expected) return std::string("message: ") + e.what();
          }
          try {
            f.WriteString("S", "K", "v");
            return "written";
          } catch (const common::EPostProcError& e) {
            const std::string expected = "Unable to write to " + path + ": " + r.reason;
            return e.what() == expected ? "" : std::string("message: ") + e.what();
          }
        },
        RLIM_INFINITY, 10);
    EXPECT_EQ(problems, "") << r.name;
  }
  EXPECT_EQ(std::filesystem::file_size(dir.File("huge.ini")), kMaxFileSize + 1);
}

// A writer killed at random moments leaves a file that loads, with every key holding the
// value of the round being written or of the one before, and every other line untouched.
TEST(IniFile, WriterKilledAtRandomMomentsLeavesAWholeFile) {
  TempDir dir;
  const std::string path = dir.File("crash.ini");
  constexpr int kKeys = 40;
  std::string header = "; progress file\n[PostProcess]\nLogDetail=1\n\n[G]\nFuncName=AVG\n";
  std::string original = header;
  for (int k = 1; k <= kKeys; ++k) {
    original += "POLL" + std::to_string(k) + "=ST" + std::to_string(k) + ".WL\n";
    original += "POLLUpdate" + std::to_string(k) + "=01/01/2024 00:00:00\n";
  }
  original += "Note=x\n; trailer\n";
  WriteFile(path, original);
  ::chmod(path.c_str(), 0640);
  const TDateTime base = common::EncodeDateTime(2024, 1, 1);
  const double hour = 1.0 / 24;

  std::mt19937 rng(std::random_device{}());
  std::uniform_int_distribution<int> writesBeforeKill(1, 2 * kKeys);
  for (int attempt = 0; attempt < 30; ++attempt) {
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    const pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      ::close(fds[0]);
      try {
        TIniFile f(path);
        f.Load();
        // Resumes with the round that the last key has not reached yet.
        const TDateTime last = f.ReadDateTime("G", "POLLUpdate" + std::to_string(kKeys));
        int round = static_cast<int>(std::lround((last - base) / hour));
        for (;;) {
          ++round;
          for (int k = 1; k <= kKeys; ++k) {
            f.WriteDateTime("G", "POLLUpdate" + std::to_string(k), base + round * hour);
            // A value of changing length now and then.
            if (k % 20 == 0) f.WriteString("G", "Note", std::string(round % 7 + 1, 'x'));
            if (::write(fds[1], "w", 1) != 1) ::_exit(3);
          }
        }
      } catch (...) {
        ::_exit(2);
      }
    }
    ::close(fds[1]);
    const int wanted = writesBeforeKill(rng);
    char c;
    int seen = 0;
    while (seen < wanted && ::read(fds[0], &c, 1) == 1) ++seen;
    ::kill(pid, SIGKILL);
    int status = 0;
    ::waitpid(pid, &status, 0);
    ::close(fds[0]);
    ASSERT_TRUE(WIFSIGNALED(status)) << "writer ended by itself, status " << status;

    TIniFile f(path);
    ASSERT_NO_THROW(f.Load());
    const std::string text = ReadFile(path);
    ASSERT_EQ(text.substr(0, header.size()), header) << "attempt " << attempt;
    int first = -1;
    for (int k = 1; k <= kKeys; ++k) {
      const std::string value = f.ReadString("G", "POLLUpdate" + std::to_string(k), "");
      TDateTime t = 0;
      ASSERT_TRUE(common::TryParseDateTimeText(value, t)) << "attempt " << attempt << ": " << value;
      const int round = static_cast<int>(std::lround((t - base) / hour));
      if (first < 0) first = round;
      // Keys are written in order: a prefix holds the new round, the rest the old one.
      ASSERT_TRUE(round == first || round == first - 1) << "attempt " << attempt << " key " << k;
      EXPECT_EQ(f.ReadString("G", "POLL" + std::to_string(k), ""),
                "ST" + std::to_string(k) + ".WL");
    }
    const std::string note = f.ReadString("G", "Note", "");
    ASSERT_FALSE(note.empty());
    EXPECT_EQ(note.find_first_not_of('x'), std::string::npos);
    EXPECT_EQ(text.substr(text.size() - 11), "\n; trailer\n");
  }
  struct stat st {};
  ASSERT_EQ(::stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0640u);
}

}  // namespace
}  // namespace vnpp::config
