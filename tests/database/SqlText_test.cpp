#include "database/SqlText.h"

#include <gtest/gtest.h>

#include "common/DateTime.h"

namespace vnpp::database {
namespace {

TEST(TranslateNamedParams, ReplacesNamesAndLeavesQuotedTextCommentsAndCastsAlone) {
  struct Case {
    const char* Sql;
    const char* Text;
    std::vector<std::string> Names;
  };
  const Case cases[] = {
      {"SELECT * FROM T WHERE A = :A AND B < :b_2",
       "SELECT * FROM T WHERE A = ? AND B < ?",
       {"A", "B_2"}},
      {"WHERE (:STARTTIME <= TIME_TAG) AND (TIME_TAG < :ENDTIME) ",
       "WHERE (? <= TIME_TAG) AND (TIME_TAG < ?) ",
       {"STARTTIME", "ENDTIME"}},
      {"X = :P OR Y = :p", "X = ? OR Y = ?", {"P", "P"}},
      {"X = ':NOT' AND Y = :YES", "X = ':NOT' AND Y = ?", {"YES"}},
      {"X = 'it''s :NOT' || :A", "X = 'it''s :NOT' || ?", {"A"}},
      {"SELECT \":COL\" FROM T", "SELECT \":COL\" FROM T", {}},
      {"SELECT 1 -- :NOT here\n, :A", "SELECT 1 -- :NOT here\n, ?", {"A"}},
      {"SELECT /* :NOT\n :NOR */ :A", "SELECT /* :NOT\n :NOR */ ?", {"A"}},
      {"SELECT :A::text, x::int", "SELECT ?::text, x::int", {"A"}},
      {"SELECT ':1', :_X, :1", "SELECT ':1', ?, :1", {"_X"}},
      {"X = 'unterminated :A", "X = 'unterminated :A", {}},
      {"X = :A)", "X = ?)", {"A"}},
  };
  for (const Case& c : cases) {
    const TTranslatedSql t = TranslateNamedParams(c.Sql);
    EXPECT_EQ(t.Text, c.Text) << c.Sql;
    EXPECT_EQ(t.MarkerNames, c.Names) << c.Sql;
  }
}

TEST(FormatSqlTimestamp, AddsMillisecondsOnlyWhenNotZero) {
  using common::EncodeDateTime;
  EXPECT_EQ(FormatSqlTimestamp(EncodeDateTime(2001, 5, 1, 10, 0, 0)), "2001-05-01 10:00:00");
  EXPECT_EQ(FormatSqlTimestamp(EncodeDateTime(2001, 5, 1, 23, 59, 59, 7)),
            "2001-05-01 23:59:59.007");
  EXPECT_EQ(FormatSqlTimestamp(EncodeDateTime(1999, 12, 31, 0, 0, 1, 999)),
            "1999-12-31 00:00:01.999");
  // A value a hair below a whole second (as arithmetic on windows gives) is that second.
  EXPECT_EQ(FormatSqlTimestamp(EncodeDateTime(2001, 5, 1, 11, 0, 0) - 1e-11),
            "2001-05-01 11:00:00");
}

}  // namespace
}  // namespace vnpp::database
