#include "config/Configuration.h"

#include <algorithm>
#include <charconv>
#include <exception>
#include <utility>
#include <vector>

#include "common/Error.h"
#include "common/PScan.h"
#include "common/Text.h"
#include "config/WriteBack.h"

namespace vnpp::config {
namespace {

constexpr const char* kPostProcessSection = "PostProcess";
// An empty file, or one without a group list: most likely not the file meant.
constexpr const char* kMsgNoGroupList =
    "Warning: the configuration file %p names no groups (no GroupNames or Groups in "
    "[PostProcess]); there are no groups to process.";

// Cuts text at its first c: the part before it, and text keeps the part behind it. Without
// c, the whole text is returned and text stays as it is.
std::string SplitAtChar(std::string& text, char c) {
  const std::size_t at = text.find(c);
  if (at == std::string::npos) return text;
  std::string head = text.substr(0, at);
  text.erase(0, at + 1);
  return head;
}

// A count key's value: 0 when absent or empty; refused when it is no number, negative or
// above limit, since entries or groups would silently go missing.
int ReadCount(const TIniFile& file, const std::string& section, const char* key, int limit) {
  const std::string text = file.ReadString(section, key, "");
  std::int32_t count = 0;
  if (text.empty()) return 0;
  if (!common::TryStrToInt(text, count) || count < 0) {
    throw common::EPostProcError(std::string(key) + "=" + text + " in section [" + section +
                                 "] is not a number from 0 to " + std::to_string(limit));
  }
  if (count > limit) {
    throw common::EPostProcError(std::string(key) + "=" + text + " in section [" + section +
                                 "] is above the limit of " + std::to_string(limit));
  }
  return count;
}

[[noreturn]] void RefuseKey(const std::string& section, const char* key, const std::string& text,
                            const char* why) {
  throw common::EPostProcError(std::string(key) + "=" + text + " in section [" + section + "] " +
                               why);
}

// A duration key in hh:mm:ss (hours of any length, minutes and seconds below 60): 0 when
// absent or empty; refused when it is not such a duration or is 0.
TDateTime ReadDuration(const TIniFile& file, const std::string& section, const char* key) {
  const std::string text = file.ReadString(section, key, "");
  if (text.empty()) return 0;
  long parts[3] = {0, 0, 0};
  int part = 0;
  int digits = 0;
  bool ok = true;
  for (const char c : text) {
    if (c == ':' && part < 2 && digits > 0) {
      ++part;
      digits = 0;
    } else if (c >= '0' && c <= '9' && digits < 6) {
      parts[part] = parts[part] * 10 + (c - '0');
      ++digits;
    } else {
      ok = false;
      break;
    }
  }
  ok = ok && part == 2 && digits > 0 && parts[1] < 60 && parts[2] < 60;
  if (!ok) RefuseKey(section, key, text, "is not a duration hh:mm:ss");
  const long seconds = parts[0] * 3600 + parts[1] * 60 + parts[2];
  if (seconds == 0) RefuseKey(section, key, text, "is not above 00:00:00");
  return static_cast<TDateTime>(seconds) / common::kSecondsPerDay;
}

// The completeness rule's keys; every bad value is refused.
void ReadCompletenessKeys(const TIniFile& file, TPostProcGroupItem& group) {
  const std::string& s = group.SectionName;
  group.ReadingInterval = ReadDuration(file, s, "ReadingInterval");
  group.MaxGap = ReadDuration(file, s, "MaxGap");
  const std::string coverage = file.ReadString(s, "MinCoverage", "");
  std::int32_t percent = 0;
  if (!coverage.empty() &&
      (!common::TryStrToInt(coverage, percent) || percent < 0 || percent > 100)) {
    RefuseKey(s, "MinCoverage", coverage, "is not a whole percent from 0 to 100");
  }
  if (percent > 0 && group.ReadingInterval <= 0) {
    RefuseKey(s, "MinCoverage", coverage, "needs ReadingInterval, the interval between readings");
  }
  group.MinCoverage = percent;
  const std::string action = file.ReadString(s, "IncompleteWindows", "");
  if (!action.empty() && !common::EqualsNoCase(action, "Skip") &&
      !common::EqualsNoCase(action, "Flag")) {
    RefuseKey(s, "IncompleteWindows", action, "is not Skip or Flag");
  }
  group.FlagIncomplete = common::EqualsNoCase(action, "Flag");
}

std::string PollUpdateKey(const TStationSensorInfoItem& entry) {
  return "POLLUpdate" + std::to_string(entry.KeyNumber);
}

std::vector<std::string> SplitGroupNames(const std::string& names) {
  std::vector<std::string> result;
  int position = 1;
  do {
    std::string name;
    common::ScanText(names, position, "%P", {&name});
    result.push_back(std::move(name));
  } while (position <= static_cast<int>(names.size()));
  return result;
}

}  // namespace

TConfiguration::TConfiguration(std::string programDir, common::ILog& log)
    : programDir_(std::move(programDir)), log_(log) {}

const common::IProfile& TConfiguration::ConfigFile() const {
  static const TIniFile kNoFile("");
  return configFile_ != nullptr ? *configFile_ : kNoFile;
}

std::string TConfiguration::MetricsAddress() const {
  common::MutexLock lock(metricsAddressMu_);
  return metricsAddress_;
}

void TConfiguration::LoadConfiguration() {
  configFileName_ = programDir_ + kConfigFileName;
  log_.WriteLog(common::FormatText(common::kMsgReading, {configFileName_}));

  auto groups = std::make_unique<TPostProcGroups>();
  bool failed = false;
  bool writeBackRefused = false;
  std::vector<std::string> problems;
  try {
    configFile_.reset();
    configFile_ = std::make_unique<TIniFile>(configFileName_);
    // An operator's edit of a progress key that a write then overwrote.
    configFile_->SetWarningReport([this](const std::string& text) { log_.WriteLog(text); });
    {
      // Frees the previous list; a request by list position sees an empty list until the
      // new one is in place.
      common::MutexLock lock(groupListLock_);
      groups_ = std::make_unique<TPostProcGroups>();
    }
    try {
      configFile_->Load();
    } catch (const std::exception&) {
      // The file reads as one without keys: the log options take their defaults, so that
      // this error and what follows reach the log file.
      log_.SetLogMessage(true);
      log_.SetLogDetail(1);
      throw;
    }
    const TIniFile& file = *configFile_;

    log_.SetLogMessage(file.ReadBool(kPostProcessSection, "LogMessage", true));
    log_.SetLogDetail(file.ReadInteger(kPostProcessSection, "LogDetail", 1));
    catchUpAtStart_.store(file.ReadBool(kPostProcessSection, "CatchUpAtStart", false));
    changeLog_ = file.ReadBool(kPostProcessSection, "ChangeLog", false);
    changeLogTables_ = TChangeLogTables::Unknown;
    {
      common::MutexLock lock(metricsAddressMu_);
      metricsAddress_ = file.ReadString(kPostProcessSection, "MetricsAddress", "");
    }
    if (!file.Exists()) {
      failed = true;
      problems.push_back(common::FormatText(common::kMsgNoConfigFile, {configFileName_}));
      log_.WriteLog(problems.back());
    }
    if (std::string problem = file.Exists() ? WriteBackProblem(configFileName_) : "";
        !problem.empty()) {
      writeBackRefused = true;
      problems.push_back(std::move(problem));
      log_.WriteLogAs(common::ILog::TPriority::Warning, problems.back());
    }
    const std::string names = file.ReadString(kPostProcessSection, "GroupNames", "");
    if (file.Exists() && names.empty() &&
        file.ReadString(kPostProcessSection, "Groups", "").empty()) {
      failed = true;
      problems.push_back(common::FormatText(kMsgNoGroupList, {configFileName_}));
      log_.WriteLog(problems.back());
    }

    if (!names.empty()) {
      const std::vector<std::string> sections = SplitGroupNames(names);
      for (std::size_t i = 0; i < sections.size(); ++i) {
        auto group = std::make_unique<TPostProcGroupItem>();
        group->SectionName = sections[i];
        if (!file.HasSection(group->SectionName)) {
          problems.push_back(common::FormatText(common::kMsgNoGroupSection,
                                                {group->SectionName, group->SectionName}));
          log_.WriteLog(problems.back());
        }
        group->PPGIndex = file.ReadInteger(group->SectionName, "PPGIndex", -1);
        if (group->PPGIndex == -1) group->PPGIndex = static_cast<std::int32_t>(i) + 1;
        ReadGroupKeys(file, *group);
        groups->Add(std::move(group));
      }
    } else {
      const int count = ReadCount(file, kPostProcessSection, "Groups", kMaxGroups);
      for (int i = 1; i <= count; ++i) {
        auto group = std::make_unique<TPostProcGroupItem>();
        group->SectionName = "PostProcessGroup:" + std::to_string(i);
        group->PPGIndex = i;
        ReadGroupKeys(file, *group);
        groups->Add(std::move(group));
      }
    }
  } catch (const std::exception& e) {
    failed = true;
    problems.push_back(std::string(common::kMsgErrorPrefix) + e.what());
    log_.WriteLogAs(common::ILog::TPriority::Error, problems.back());
  }
  loadFailed_.store(failed);
  writeBackRefused_.store(writeBackRefused);
  {
    common::MutexLock lock(problemsMu_);
    problems_ = std::move(problems);
  }
  {
    common::MutexLock lock(groupListLock_);
    groups_ = std::move(groups);
  }
  log_.WriteLog(common::kMsgStartupLoaded);
}

void TConfiguration::ReadGroupKeys(const TIniFile& file, TPostProcGroupItem& group) const {
  const std::string& s = group.SectionName;
  group.FuncName = file.ReadString(s, "FuncName", "");
  group.Enabled = file.ReadBool(s, "Enabled", false);
  group.BaseTime = file.ReadTime(s, "BaseTime", 0);
  group.ProcTime = file.ReadTime(s, "ProcTime", 0);
  group.TypeInterval = file.ReadByte(s, "TypeInterval", 3);
  group.Interval = file.ReadTime(s, "Interval", 0);
  group.StartFrom = file.ReadString(s, "StartFrom", "NOW");
  group.Description = file.ReadString(s, "Description", "");
  group.Purpose = file.ReadString(s, "Purpose", "");
  group.DataType = file.ReadByte(s, "DataType", 0);
  group.Parameter = file.ReadString(s, "Parameter", "");
  group.Filter = file.ReadString(s, "Filter", "");
  group.RecheckWindows = std::max(0, ReadCount(file, s, "RecheckWindows", kMaxRecheckWindows));
  const std::string changeLogId = file.ReadString(s, "ChangeLogID", "");
  if (!changeLogId.empty()) {
    const char* end = changeLogId.data() + changeLogId.size();
    const auto [at, error] = std::from_chars(changeLogId.data(), end, group.ChangeLogID);
    if (error != std::errc() || at != end || group.ChangeLogID < 0) {
      RefuseKey(s, "ChangeLogID", changeLogId, "is not a whole number from 0");
    }
  }
  ReadCompletenessKeys(file, group);
  const int count = ReadCount(file, s, "POLLNumber", kMaxPollNumber);
  for (int n = 1; n <= count; ++n) {
    const std::string number = std::to_string(n);
    std::string poll = file.ReadString(s, "POLL" + number, "");
    if (poll.empty()) continue;
    auto entry = std::make_unique<TStationSensorInfoItem>();
    entry->KeyNumber = n;
    entry->StationID = SplitAtChar(poll, '.');
    entry->SensorName = SplitAtChar(poll, '.');
    entry->LastUpdate = file.ReadDateTime(s, "POLLUpdate" + number, 0);
    entry->ProgressOnFile = entry->LastUpdate != 0;
    entry->StartedFrom = file.ReadDateTime(s, "POLLStart" + number, 0);
    entry->StartedFromOnFile = entry->StartedFrom != 0;
    entry->DataLabel = file.ReadString(s, "POLLDataLabel" + number, "");
    entry->AltLabel = file.ReadString(s, "POLLAltLabel" + number, "");
    group.Sensors.push_back(std::move(entry));
  }
}

TIniFile& TConfiguration::OpenFileForWriting() const {
  if (configFile_ == nullptr) {
    throw common::EPostProcError(
        common::FormatText("Unable to write to %p: the file was not loaded", {configFileName_}));
  }
  return *configFile_;
}

void TConfiguration::SaveStartFrom() {
  const TPostProcGroups* groups = Groups();
  if (configFile_ == nullptr || groups == nullptr) return;
  std::vector<TIniValue> values;
  values.reserve(static_cast<std::size_t>(groups->Count()));
  for (int i = 0; i < groups->Count(); ++i) {
    const TPostProcGroupItem& group = groups->Item(i);
    values.push_back(TIniValue{group.SectionName, "StartFrom", group.StartFrom});
  }
  try {
    configFile_->WriteStrings(values);
  } catch (const std::exception&) {
    if (!WriteBackRefused()) throw;  // else the load has said why, once
  }
}

void TConfiguration::WritePollUpdate(const TPostProcGroupItem& group,
                                     const TStationSensorInfoItem& entry) {
  OpenFileForWriting().WriteDateTime(group.SectionName, PollUpdateKey(entry), entry.LastUpdate);
}

void TConfiguration::WritePollUpdates(TPostProcGroupItem& group,
                                      const std::vector<const TStationSensorInfoItem*>& entries) {
  TIniFile& file = OpenFileForWriting();
  std::vector<TIniValue> values;
  values.reserve(entries.size());
  auto add = [&](const TStationSensorInfoItem& entry) {
    values.push_back(TIniValue{group.SectionName, PollUpdateKey(entry),
                               TIniFile::DateTimeText(entry.LastUpdate)});
  };
  for (const TStationSensorInfoItem* entry : entries) add(*entry);
  // An entry given its start in memory only (LastUpdate holds no uncommitted progress: it
  // moves at each commit) gets that start on file now.
  std::vector<TStationSensorInfoItem*> started;
  for (const auto& entry : group.Sensors) {
    if (entry->StartedFrom != 0 && !entry->StartedFromOnFile) {
      values.push_back(TIniValue{group.SectionName, "POLLStart" + std::to_string(entry->KeyNumber),
                                 TIniFile::DateTimeText(entry->StartedFrom)});
      started.push_back(entry.get());
    }
    if (entry->ProgressOnFile || entry->LastUpdate == 0) continue;
    started.push_back(entry.get());
    if (std::find(entries.begin(), entries.end(), entry.get()) == entries.end()) add(*entry);
  }
  if (!group.ProgressStartFrom.empty()) {
    values.push_back(TIniValue{group.SectionName, "StartFrom", group.ProgressStartFrom});
  }
  const std::int64_t changeLogId = group.PendingChangeLogID;
  if (changeLogId > group.ChangeLogID) {
    values.push_back(TIniValue{group.SectionName, "ChangeLogID", std::to_string(changeLogId)});
  }
  file.WriteStrings(values);
  group.ChangeLogID = std::max(group.ChangeLogID, changeLogId);
  for (TStationSensorInfoItem* entry : started) {
    entry->ProgressOnFile = true;
    entry->StartedFromOnFile = entry->StartedFrom != 0;
  }
}

void TConfiguration::WriteChangeLogID(TPostProcGroupItem& group) {
  if (group.PendingChangeLogID <= group.ChangeLogID) return;
  if (configFile_ != nullptr) {
    configFile_->WriteStrings(
        {TIniValue{group.SectionName, "ChangeLogID", std::to_string(group.PendingChangeLogID)}});
  }
  group.ChangeLogID = group.PendingChangeLogID;
}

}  // namespace vnpp::config
