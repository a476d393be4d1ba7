#include "common/PScan.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace vnpp::common {
namespace {

TEST(PScan, ScanReadsOneCommaSeparatedFieldPerCall) {
  struct Row {
    std::string text;
    std::string format;
    int positionIn;
    std::string field;
    int positionOut;
  };
  const std::vector<Row> rows = {
      {"A,B", "%P", 1, "A", 3},
      {"A,B", "%P", 3, "B", 4},
      {"A,B,", "%P", 3, "B", 5},
      {",A", "%P", 1, "", 2},
      {"Daily, Hourly", "%P", 1, "Daily", 7},
      {"Daily, Hourly", "%P", 7, " Hourly", 14},
      {"", "%P", 1, "", 1},
      {"A,,B", "%P", 3, "", 4},
      {"A,B", "%p", 1, "A", 2},  // lower case leaves the comma unread
      {"A,B", "%P", 0, "A", 3},  // 0 and below start at the first character
      {"A,B", "%P", -5, "A", 3},
      {"A,B", "%P", 99, "", 4},       // beyond the end reads as the end
      {"ABCD,E", "%2P", 1, "AB", 6},  // width cuts the field; the rest up to the comma skipped
      {"ABCD,E", "%2p", 1, "AB", 3},
      {"AB\r\nC", "%P", 1, "AB", 3},  // line ends stop a field; only a comma is passed over
  };
  for (const Row& r : rows) {
    std::string field = "untouched";
    int position = r.positionIn;
    EXPECT_TRUE(ScanText(r.text, position, r.format, {&field}))
        << r.text << " from " << r.positionIn;
    EXPECT_EQ(field, r.field) << r.text << " from " << r.positionIn;
    EXPECT_EQ(position, r.positionOut) << r.text << " from " << r.positionIn;
  }
}

TEST(PScan, ScanSplitsAListTheWayTheLoaderCallsIt) {
  struct Row {
    std::string text;
    std::vector<std::string> names;
  };
  const std::vector<Row> rows = {
      {"A,B,", {"A", "B"}},
      {",A", {"", "A"}},
      {"A,,B", {"A", "", "B"}},
      {"Daily, Hourly", {"Daily", " Hourly"}},
      {",", {""}},
  };
  for (const Row& r : rows) {
    std::vector<std::string> names;
    int position = 1;
    do {
      std::string name;
      ScanText(r.text, position, "%P", {&name});
      names.push_back(name);
    } while (position <= static_cast<int>(r.text.size()));
    EXPECT_EQ(names, r.names) << r.text;
  }
}

TEST(PScan, ScanLiteralMismatchFailsButStillReadsEveryField) {
  std::string a, b;
  int position = 1;
  EXPECT_FALSE(ScanText("x1;2", position, "X%p:%p", {&a, &b}));
  EXPECT_EQ(a, "1;2");  // a lower-case field runs to the comma or the end
  EXPECT_EQ(b, "");
  EXPECT_EQ(position, 5);

  a = b = "";
  position = 1;
  EXPECT_FALSE(ScanText("K=1,V", position, "Q=%P%P", {&a, &b}));
  EXPECT_EQ(a, "1");
  EXPECT_EQ(b, "V");
  EXPECT_EQ(position, 6);

  a = "";
  position = 1;
  EXPECT_TRUE(ScanText("k=v", position, "K=%p", {&a}));  // literals match without regard to case
  EXPECT_EQ(a, "v");
}

TEST(PScan, ScanFailsOnUnknownDirectivesAndMissingDestinations) {
  std::string a = "keep";
  int position = 1;
  EXPECT_FALSE(ScanText("12,3", position, "%D", {&a}));
  EXPECT_EQ(a, "keep");
  EXPECT_EQ(position, 4);  // the comma rule of an upper-case letter still applies

  position = 1;
  EXPECT_FALSE(ScanText("A,B", position, "%P%P", {&a}));
  EXPECT_EQ(a, "A");
  EXPECT_EQ(position, 4);

  position = 1;
  EXPECT_FALSE(ScanText("A", position, "%", {&a}));
}

TEST(PScan, FormatFillsPlaceholdersInOrder) {
  struct Row {
    std::string format;
    std::vector<std::string> args;
    std::string text;
  };
  const std::vector<Row> rows = {
      {"PollGroup %p: %p - Retrieve data...", {"3", "AVG"}, "PollGroup 3: AVG - Retrieve data..."},
      {"%P%P", {"A", "B"}, "A,B"},
      {"%P%P", {"", "B"}, "B"},  // no comma while the result is empty
      {"x%P", {"A"}, "x,A"},
      {"Data for \"%p.%p\" at \"%p\", %p", {"S1", "", "T", "V"}, "Data for \"S1.\" at \"T\", V"},
      {"[%3p]", {"A"}, "[A  ]"},
      {"[%3p]", {"ABCDE"}, "[ABCDE]"},
      {"[%3p]", {}, "[   ]"},  // a missing argument is empty text
      {"100%% of %p", {"x"}, "100% of x"},
      {"%p and %p", {"one"}, "one and "},
      {"Unable to write to %p", {"/a/b.VFG"}, "Unable to write to /a/b.VFG"},
      {"a%dz%p", {"1", "2"}, "az2"},  // another letter appends nothing but uses its argument
      {"tail %", {}, "tail "},
      {"Reading %p.", {"/opt/x/VNPostProc.VFG"}, "Reading /opt/x/VNPostProc.VFG."},
  };
  for (const Row& r : rows) EXPECT_EQ(FormatText(r.format, r.args), r.text) << r.format;
}

}  // namespace
}  // namespace vnpp::common
