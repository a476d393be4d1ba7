// Real databases for tests: a fresh SQLite file and a fresh PostgreSQL schema, each with the
// tables of sql/<dialect>/schema.sql, reached through the ODBC layer by a connection string.
// Header-only, so that the tests of every subsystem can use it (link vnpp_database).
//
// SQLite needs the private odbcinst.ini of scripts/lib.sh (vnpp_odbc_env). PostgreSQL needs
// VNPP_TEST_PG (vnpp_pg_start); without it the PostgreSQL tests skip, except with CI=true,
// where they fail. Each TTestPostgres works in a schema of its own, so test executables that
// run side by side on the same database never see each other's rows.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <random>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "database/Odbc.h"

namespace vnpp::database::testing {

enum class TBackend { SQLite, PostgreSQL };

inline const char* BackendName(TBackend backend) {
  return backend == TBackend::SQLite ? "SQLite" : "PostgreSQL";
}

inline std::string EnvOr(const char* name, const std::string& def) {
  const char* v = std::getenv(name);
  return v && *v ? std::string(v) : def;
}

inline bool PostgresConfigured() { return !EnvOr("VNPP_TEST_PG", "").empty(); }
// PostgreSQL is required (its tests fail instead of skipping): in CI, and under scripts/test.
inline bool InCi() { return EnvOr("CI", "") == "true" || EnvOr("VNPP_REQUIRE_PG", "") == "1"; }

// The repository root: VNPP_SOURCE_DIR, else the one the tests were built from. (This
// header's own path would not do: a compiler cache may shorten it to a relative one.)
inline std::filesystem::path SourceDir() {
  const std::string env = EnvOr("VNPP_SOURCE_DIR", "");
  if (!env.empty()) return env;
  return VNPP_TEST_SOURCE_DIR;
}

// The statements of a schema script: "--" comments dropped, split at ";". The scripts hold
// no ";" inside literals.
// The statements of sql/<dialect>/<file>. A trigger body (BEGIN ... END) and a function body
// ($$ ... $$) hold semicolons of their own and stay in one statement.
inline std::vector<std::string> SchemaStatements(const std::string& dialect,
                                                 const std::string& file = "schema.sql") {
  const std::filesystem::path path = SourceDir() / "sql" / dialect / file;
  std::ifstream in(path);
  if (!in) throw std::runtime_error("cannot read " + path.string());
  std::string text, line;
  while (std::getline(in, line)) {
    const size_t comment = line.find("--");
    if (comment != std::string::npos) line.erase(comment);
    text += line + "\n";
  }
  std::vector<std::string> statements;
  std::stringstream ss(text);
  std::string statement, part;
  auto open = [](const std::string& s) {
    std::size_t dollars = 0;
    for (std::size_t at = s.find("$$"); at != std::string::npos; at = s.find("$$", at + 2)) {
      ++dollars;
    }
    if (dollars % 2 != 0) return true;
    const std::size_t begin = s.find("\nBEGIN\n");
    return begin != std::string::npos && s.find("\nEND", begin) == std::string::npos;
  };
  while (std::getline(ss, part, ';')) {
    statement += part;
    if (open(statement)) {
      statement += ';';
      continue;
    }
    if (statement.find_first_not_of(" \t\r\n") != std::string::npos) {
      statements.push_back(statement);
    }
    statement.clear();
  }
  return statements;
}

inline void ApplySchema(const std::string& connectionString, const std::string& dialect,
                        const std::string& file = "schema.sql") {
  TConnection connection;
  connection.Open(connectionString, "", "");
  for (const std::string& statement : SchemaStatements(dialect, file)) {
    connection.ExecuteDirect(statement);
  }
}

inline std::string RandomSuffix() {
  std::random_device rd;
  std::mt19937_64 gen((static_cast<std::uint64_t>(rd()) << 32) ^ rd() ^
                      static_cast<std::uint64_t>(::getpid()));
  static const char digits[] = "0123456789abcdefghijklmnopqrstuvwxyz";
  std::string s;
  for (int i = 0; i < 12; ++i) s += digits[gen() % 36];
  return s;
}

// Removes one "KEY=value" attribute (case-insensitive key) from a connection string.
inline std::string WithoutAttribute(const std::string& connectionString, const std::string& key) {
  std::stringstream ss(connectionString);
  std::string part, out;
  while (std::getline(ss, part, ';')) {
    const size_t eq = part.find('=');
    std::string name = part.substr(0, eq);
    bool same = name.size() == key.size();
    for (size_t i = 0; same && i < name.size(); ++i) {
      same = std::toupper(static_cast<unsigned char>(name[i])) ==
             std::toupper(static_cast<unsigned char>(key[i]));
    }
    if (same || part.empty()) continue;
    if (!out.empty()) out += ';';
    out += part;
  }
  return out;
}

class TTestDatabase {
 public:
  virtual ~TTestDatabase() = default;
  virtual TBackend Backend() const = 0;
  // A complete ODBC connection string with everything needed to log in.
  const std::string& ConnectionString() const { return connectionString_; }

 protected:
  std::string connectionString_;
};

// A new SQLite database file in a temporary directory, removed with the object.
class TTestSqlite : public TTestDatabase {
 public:
  TTestSqlite() {
    std::string tmpl = (std::filesystem::path(EnvOr("TMPDIR", "/tmp")) / "vnpp-db.XXXXXX").string();
    if (!::mkdtemp(tmpl.data())) throw std::runtime_error("mkdtemp failed");
    dir_ = tmpl;
    path_ = (dir_ / "vnpp.db").string();
    std::ofstream(path_).close();  // NoCreat=1 wants the file to exist
    connectionString_ =
        "Driver=SQLite3;Database=" + path_ + ";NoCreat=1;JournalMode=WAL;SyncPragma=NORMAL";
    ApplySchema(connectionString_, "sqlite");
  }
  ~TTestSqlite() override {
    std::error_code ec;
    std::filesystem::remove_all(dir_, ec);
  }
  TTestSqlite(const TTestSqlite&) = delete;
  TTestSqlite& operator=(const TTestSqlite&) = delete;

  TBackend Backend() const override { return TBackend::SQLite; }
  const std::string& Path() const { return path_; }

 private:
  std::filesystem::path dir_;
  std::string path_;
};

// A new schema "t_<random>" in the test PostgreSQL database, dropped with the object.
// REQUIRES: PostgresConfigured().
class TTestPostgres : public TTestDatabase {
 public:
  TTestPostgres() : base_(EnvOr("VNPP_TEST_PG", "")), schema_("t_" + RandomSuffix()) {
    if (base_.empty()) throw std::runtime_error("VNPP_TEST_PG is not set");
    {
      TConnection admin;
      admin.Open(base_, "", "");
      admin.ExecuteDirect("CREATE SCHEMA " + schema_);
    }
    connectionString_ = base_ + ";ConnSettings=SET search_path TO " + schema_;
    ApplySchema(connectionString_, "postgresql");
  }
  // Never throws: a schema left behind only costs space in a throw-away cluster.
  ~TTestPostgres() override {
    try {
      TConnection admin;
      admin.Open(base_, "", "");
      admin.ExecuteDirect("DROP SCHEMA " + schema_ + " CASCADE");
    } catch (...) {
    }
  }
  TTestPostgres(const TTestPostgres&) = delete;
  TTestPostgres& operator=(const TTestPostgres&) = delete;

  TBackend Backend() const override { return TBackend::PostgreSQL; }
  const std::string& Schema() const { return schema_; }

 private:
  std::string base_;
  std::string schema_;
};

inline std::unique_ptr<TTestDatabase> MakeTestDatabase(TBackend backend) {
  if (backend == TBackend::SQLite) return std::make_unique<TTestSqlite>();
  return std::make_unique<TTestPostgres>();
}

}  // namespace vnpp::database::testing

// In a test body: skips the test when no PostgreSQL is configured, fails it where required.
#define VNPP_REQUIRE_POSTGRES()                                           \
  do {                                                                    \
    if (!::vnpp::database::testing::PostgresConfigured()) {               \
      if (::vnpp::database::testing::InCi()) {                            \
        FAIL() << "VNPP_TEST_PG is not set; PostgreSQL is required here"; \
      }                                                                   \
      GTEST_SKIP() << "VNPP_TEST_PG is not set";                          \
    }                                                                     \
  } while (0)

// For tests parameterised by backend: the PostgreSQL instance skips or fails as above.
#define VNPP_REQUIRE_BACKEND(backend)                                   \
  do {                                                                  \
    if ((backend) == ::vnpp::database::testing::TBackend::PostgreSQL) { \
      VNPP_REQUIRE_POSTGRES();                                          \
    }                                                                   \
  } while (0)
