#include "database/SqlText.h"

#include <cctype>

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

void FormatSqlTimestamp(common::TDateTime t, std::string& out) {
  const common::TDateTimeParts p = common::DecodeDateTime(t);
  char buf[24];
  auto put = [&buf](int at, int value, int digits) {
    for (int i = digits - 1; i >= 0; --i) {
      buf[at + i] = static_cast<char>('0' + value % 10);
      value /= 10;
    }
  };
  put(0, p.Year, 4);
  buf[4] = '-';
  put(5, p.Month, 2);
  buf[7] = '-';
  put(8, p.Day, 2);
  buf[10] = ' ';
  put(11, p.Hour, 2);
  buf[13] = ':';
  put(14, p.Minute, 2);
  buf[16] = ':';
  put(17, p.Second, 2);
  std::size_t length = 19;
  if (p.Millisecond != 0) {
    buf[19] = '.';
    put(20, p.Millisecond, 3);
    length = 23;
  }
  out.assign(buf, length);
}

std::string FormatSqlTimestamp(common::TDateTime t) {
  std::string text;
  FormatSqlTimestamp(t, text);
  return text;
}

}  // namespace vnpp::database
