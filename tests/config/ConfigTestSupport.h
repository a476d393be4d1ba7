// Temporary directories, whole-file reads and writes, and a log that records messages.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "common/Log.h"

namespace vnpp::config::testing {

class TempDir {
 public:
  TempDir() {
    std::string tmpl = (std::filesystem::temp_directory_path() / "vnpp_config_XXXXXX").string();
    if (::mkdtemp(tmpl.data()) == nullptr) ADD_FAILURE() << "mkdtemp failed";
    path_ = tmpl;
  }
  ~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  // With a trailing '/'.
  std::string Dir() const { return path_ + "/"; }
  std::string File(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

inline void WriteFile(const std::string& path, const std::string& content) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << content;
}

inline std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

class RecordingLog : public common::ILog {
 public:
  void WriteLog(const std::string& message) override { Messages.push_back(message); }
  void QueueMessage(const std::string& message) override { Messages.push_back(message); }
  void SetLogMessage(bool on) override { LogMessage = on; }
  int LogDetail() const override { return Detail; }
  void SetLogDetail(int level) override { Detail = level; }

  std::vector<std::string> Messages;
  bool LogMessage = false;
  int Detail = -99;
};

}  // namespace vnpp::config::testing
