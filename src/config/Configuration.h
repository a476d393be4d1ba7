// The main object's configuration part: the configuration file "VNPostProc.VFG" in the
// program directory, the group list loaded from it, and the progress written back to it.
// Thread safety: the processing thread loads, reads and writes. Another thread that looks at
// the group list holds GroupListLock() meanwhile; LoadConfiguration holds it while it
// replaces the list.
#pragma once

#include <atomic>
#include <memory>
#include <string>
#include <vector>

#include "common/Log.h"
#include "common/Mutex.h"
#include "common/Profile.h"
#include "config/GroupModel.h"
#include "config/IniFile.h"

namespace vnpp::config {

inline constexpr const char* kConfigFileName = "VNPostProc.VFG";
// Largest Groups and POLLNumber values loaded. A larger value is a loading failure like an
// invalid time of day: loading ends there, keeping only the groups read before.
inline constexpr int kMaxGroups = 10000;
inline constexpr int kMaxPollNumber = 100000;
// Largest RecheckWindows value loaded; a larger one fails the load in the same way.
inline constexpr int kMaxRecheckWindows = 10000;

// Whether the readings' database holds the change log's tables, as found after a load.
enum class TChangeLogTables { Unknown, Present, Missing };

class TConfiguration {
 public:
  // programDir ends with '/'. log must outlive this object.
  TConfiguration(std::string programDir, common::ILog& log);
  TConfiguration(const TConfiguration&) = delete;
  TConfiguration& operator=(const TConfiguration&) = delete;

  // Reads the file into a new group list, replacing the previous list and file accessor, and
  // sets the log options. Never throws: a failure (such as an invalid time of day, or a Groups
  // or POLLNumber above its limit) is logged as "Error 1500: <message>" and keeps the groups
  // read before the failing one. A file that exists but cannot be read sets the log options
  // to their defaults (on, detail 1) before its error is logged. A missing file is one
  // warning naming it, and so is a file without a group list (neither GroupNames nor Groups)
  // and each GroupNames entry without a section of its name. A count key (Groups, POLLNumber,
  // RecheckWindows) that is no number from 0 to its limit fails the load.
  void LoadConfiguration();
  // The last load stopped on an error or found no file or no group list: its groups are not the
  // configuration. Any thread may ask.
  bool LoadFailed() const { return loadFailed_.load(); }
  // The last load found that progress cannot be written back into the file and warned once
  // (WriteBackProblem); the writes that fail for it need no error of their own.
  bool WriteBackRefused() const { return writeBackRefused_.load(); }
  // For any thread: the warnings and the error of the last load, as logged.
  std::vector<std::string> LoadProblems() const EXCLUDES(problemsMu_) {
    common::MutexLock lock(problemsMu_);
    return problems_;
  }

  // Writes every group's StartFrom back, all in one write of the file. Nothing to do before
  // the first load. Throws EPostProcError "Unable to write to <file>: <reason>" on failure;
  // the file then keeps every old value.
  void SaveStartFrom();

  // Writes entry.LastUpdate under POLLUpdate<entry.KeyNumber> in group.SectionName.
  // Throws EPostProcError "Unable to write to <file>: <reason>" on failure.
  void WritePollUpdate(const TPostProcGroupItem& group, const TStationSensorInfoItem& entry);
  // WritePollUpdate for every entry of entries (entries of group) and for every other entry
  // of group that has a start but no progress on file yet (so that the StartFrom written
  // beside them never has to stay behind for it), and the group's ProgressStartFrom as its
  // StartFrom when it is set, in one write of the file; on failure none of them is written.
  // REQUIRES: no entry is null.
  // The group's PendingChangeLogID goes with them as its ChangeLogID when it is ahead.
  void WritePollUpdates(TPostProcGroupItem& group,
                        const std::vector<const TStationSensorInfoItem*>& entries);
  // Writes the group's PendingChangeLogID as its ChangeLogID on its own. Throws as above;
  // without a loaded file it is only kept in memory.
  void WriteChangeLogID(TPostProcGroupItem& group);

  // nullptr before the first load. Owned by this object until the next load.
  // The processing thread, the only writer of the list, reads it without the lock.
  TPostProcGroups* Groups() const NO_THREAD_SAFETY_ANALYSIS { return groups_.get(); }
  // Any other thread reads the list under GroupListLock().
  TPostProcGroups* LockedGroups() const REQUIRES(groupListLock_) { return groups_.get(); }
  const std::string& ConfigFileName() const { return configFileName_; }
  // [PostProcess] CatchUpAtStart of the last load: bring every enabled group up to the
  // present as soon as processing has started, then run on schedule.
  bool CatchUpAtStart() const { return catchUpAtStart_.load(); }
  // [PostProcess] ChangeLog of the last load: each group run first computes again the windows
  // that the change log of the readings names. Processing thread.
  bool ChangeLog() const { return changeLog_; }
  // Whether the change log's tables were found since the last load (Unknown until a
  // connection could look). Processing thread.
  TChangeLogTables ChangeLogTables() const { return changeLogTables_; }
  void SetChangeLogTables(TChangeLogTables tables) { changeLogTables_ = tables; }
  // [PostProcess] MetricsAddress of the last load: where operators' metrics are served;
  // empty for nowhere. Any thread.
  std::string MetricsAddress() const EXCLUDES(metricsAddressMu_);
  const std::string& ProgramDir() const { return programDir_; }
  bool IsConfigFileOpen() const { return configFile_ != nullptr; }
  // The accessor of the last load (for the database settings); before the first load, one
  // on which every key is absent.
  const common::IProfile& ConfigFile() const;
  common::Mutex& GroupListLock() const RETURN_CAPABILITY(groupListLock_) { return groupListLock_; }

 private:
  void ReadGroupKeys(const TIniFile& file, TPostProcGroupItem& group) const;
  TIniFile& OpenFileForWriting() const;

  // Constant after construction.
  const std::string programDir_;
  common::ILog& log_;

  std::atomic<bool> loadFailed_{false};
  std::atomic<bool> writeBackRefused_{false};
  mutable common::Mutex problemsMu_;
  std::vector<std::string> problems_ GUARDED_BY(problemsMu_);

  // Processing thread only.
  std::string configFileName_;
  std::unique_ptr<TIniFile> configFile_;
  // Written by the processing thread at a load, read by the main thread after it.
  std::atomic<bool> catchUpAtStart_{false};
  // Processing thread only.
  bool changeLog_ = false;
  TChangeLogTables changeLogTables_ = TChangeLogTables::Unknown;
  mutable common::Mutex metricsAddressMu_;
  std::string metricsAddress_ GUARDED_BY(metricsAddressMu_);

  mutable common::Mutex groupListLock_;
  // Written under groupListLock_ by the processing thread, which alone reads it without.
  std::unique_ptr<TPostProcGroups> groups_ GUARDED_BY(groupListLock_);
};

}  // namespace vnpp::config
