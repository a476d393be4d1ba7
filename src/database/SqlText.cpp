#include "database/SqlText.h"

#include <cctype>
#include <cstdio>

namespace vnpp::database {
namespace {

bool IsNameStart(char c) { return std::isalpha(static_cast<unsigned char>(c)) || c == '_'; }
bool IsNameChar(char c) { return std::isalnum(static_cast<unsigned char>(c)) || c == '_'; }

// Copies the quoted run that starts at sql[i] (quote character q, doubled to escape) and
// returns the index after it. An unterminated run extends to the end.
size_t CopyQuoted(const std::string& sql, size_t i, char q, std::string& out) {
  out += sql[i++];
  while (i < sql.size()) {
    const char c = sql[i++];
    out += c;
    if (c == q) {
      if (i < sql.size() && sql[i] == q) {
        out += sql[i++];
      } else {
        break;
      }
    }
  }
  return i;
}

}  // namespace

TTranslatedSql TranslateNamedParams(const std::string& sql) {
  TTranslatedSql result;
  std::string& out = result.Text;
  out.reserve(sql.size());
  size_t i = 0;
  while (i < sql.size()) {
    const char c = sql[i];
    if (c == '\'' || c == '"') {
      i = CopyQuoted(sql, i, c, out);
    } else if (c == '-' && i + 1 < sql.size() && sql[i + 1] == '-') {
      const size_t end = sql.find('\n', i);
      const size_t stop = end == std::string::npos ? sql.size() : end;
      out.append(sql, i, stop - i);
      i = stop;
    } else if (c == '/' && i + 1 < sql.size() && sql[i + 1] == '*') {
      const size_t end = sql.find("*/", i + 2);
      const size_t stop = end == std::string::npos ? sql.size() : end + 2;
      out.append(sql, i, stop - i);
      i = stop;
    } else if (c == ':' && i + 1 < sql.size() && sql[i + 1] == ':') {
      out += "::";
      i += 2;
    } else if (c == ':' && i + 1 < sql.size() && IsNameStart(sql[i + 1])) {
      size_t end = i + 1;
      while (end < sql.size() && IsNameChar(sql[end])) ++end;
      result.MarkerNames.push_back(UpperAscii(sql.substr(i + 1, end - i - 1)));
      out += '?';
      i = end;
    } else {
      out += c;
      ++i;
    }
  }
  return result;
}

std::string FormatSqlTimestamp(common::TDateTime t) {
  const common::TDateTimeParts p = common::DecodeDateTime(t);
  char buf[48];
  if (p.Millisecond != 0) {
    std::snprintf(buf, sizeof buf, "%04d-%02d-%02d %02d:%02d:%02d.%03d", p.Year, p.Month, p.Day,
                  p.Hour, p.Minute, p.Second, p.Millisecond);
  } else {
    std::snprintf(buf, sizeof buf, "%04d-%02d-%02d %02d:%02d:%02d", p.Year, p.Month, p.Day, p.Hour,
                  p.Minute, p.Second);
  }
  return buf;
}

}  // namespace vnpp::database
