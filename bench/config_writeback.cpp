// Cost of the progress write-back into a configuration file of 1,000 station/sensor entries:
// one key per write (each write replaces the whole file: temporary file, fsync, rename), and
// every entry's key in one batch write.
//
// Usage: bench_config_writeback [writes] [directory]
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "common/DateTime.h"
#include "config/IniFile.h"

namespace {

using vnpp::config::TIniFile;

constexpr int kEntries = 1000;

std::string MakeFile() {
  std::string s =
      "[PostProcess]\nLogMessage=1\nLogDetail=1\nGroupNames=Hourly\n\n[Hourly]\nFuncName=AVG\n"
      "Enabled=1\nBaseTime=00:05:00\nTypeInterval=0\nStartFrom=NOW\nPOLLNumber=1000\n";
  for (int n = 1; n <= kEntries; ++n) {
    const std::string k = std::to_string(n);
    s += "POLL" + k + "=ST" + k + ".WL\n";
    s += "POLLUpdate" + k + "=03/01/2024 00:00:00\n";
    s += "POLLDataLabel" + k + "=WL_AVG\n";
  }
  return s;
}

struct Cost {
  double meanUs = 0;
  double medianUs = 0;
  double p99Us = 0;
};

// Runs writes calls of write(i) and times each one.
template <typename Write>
Cost Time(int writes, Write write) {
  std::vector<double> us;
  us.reserve(static_cast<std::size_t>(writes));
  double total = 0;
  for (int i = 0; i < writes; ++i) {
    const auto start = std::chrono::steady_clock::now();
    write(i);
    const auto end = std::chrono::steady_clock::now();
    us.push_back(std::chrono::duration<double, std::micro>(end - start).count());
    total += us.back();
  }
  std::sort(us.begin(), us.end());
  return Cost{total / writes, us[us.size() / 2], us[us.size() * 99 / 100]};
}

void Print(const char* what, const Cost& c, int writes) {
  std::printf("%-44s mean %9.2f us, median %9.2f us, p99 %9.2f us (%d writes)\n", what, c.meanUs,
              c.medianUs, c.p99Us, writes);
}

}  // namespace

int main(int argc, char** argv) {
  const int writes = argc > 1 ? std::atoi(argv[1]) : 20000;
  std::string dir = argc > 2 ? argv[2] : std::filesystem::temp_directory_path().string();
  std::string tmpl = dir + "/vnpp_bench_XXXXXX";
  if (::mkdtemp(tmpl.data()) == nullptr) {
    std::perror("mkdtemp");
    return 1;
  }
  const std::string path = tmpl + "/VNPostProc.VFG";
  const std::string content = MakeFile();
  std::ofstream(path, std::ios::binary) << content;

  TIniFile file(path);
  const auto loadStart = std::chrono::steady_clock::now();
  file.Load();
  const double loadMs =
      std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - loadStart)
          .count();

  const double base = vnpp::common::EncodeDateTime(2024, 3, 1);
  const double hour = 1.0 / 24;
  const Cost single = Time(writes, [&](int i) {
    file.WriteDateTime("Hourly", "POLLUpdate" + std::to_string(i % kEntries + 1),
                       base + (i / kEntries + 1) * hour);
  });
  // Every entry's progress at once, as after one window of every entry.
  const int batchWrites = writes / 20 > 0 ? writes / 20 : 1;
  const Cost batch = Time(batchWrites, [&](int i) {
    std::vector<vnpp::config::TIniValue> values;
    values.reserve(kEntries);
    for (int n = 1; n <= kEntries; ++n) {
      values.push_back({"Hourly", "POLLUpdate" + std::to_string(n),
                        TIniFile::DateTimeText(base + (i + 1000) * hour)});
    }
    file.WriteStrings(values);
  });

  std::printf("file: %s, %zu bytes, %d entries, load %.2f ms\n", path.c_str(), content.size(),
              kEntries, loadMs);
  Print("one key per write:", single, writes);
  Print("all 1000 keys in one write:", batch, batchWrites);
  std::filesystem::remove_all(tmpl);
  return 0;
}
