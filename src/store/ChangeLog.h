// The change log of the readings in the readings' database (sql/*/changelog.sql):
// VN_PPTHRESHOLD, per station and sensor the latest window end any group has computed, and
// VN_PPCHANGES, the time ranges of the changes of VN_DATA1 at or before it that the triggers
// recorded. Every statement is a fixed text with bound parameters.
// Thread safety: belongs to the thread that owns the connection.
#pragma once

#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <vector>

#include "common/DateTime.h"

namespace vnpp::database {
class TConnection;
}

namespace vnpp::store {

extern const char* const ChangeLogProbeSQL;
extern const char* const ReadChangesSQL;
extern const char* const RaiseThresholdsJsonSQL;
extern const char* const RaiseThresholdsArraysSQL;
extern const char* const DeleteChangesSQL;

// One row of VN_PPCHANGES: readings of a station and sensor changed between First and Last,
// both included.
struct TChange {
  std::int64_t Id = 0;
  std::string StationID;
  std::string SensorName;
  common::TDateTime First = 0;
  common::TDateTime Last = 0;
};

// The threshold one station and sensor is raised to.
struct TThreshold {
  std::string StationID;
  std::string SensorName;
  common::TDateTime Time = 0;
};

// True when both tables can be read on connection. Call it outside a transaction: on some
// databases a refused statement spoils the transaction it runs in.
bool ChangeLogTablesExist(database::TConnection& connection);

// The script that makes the tables, for the database on connection.
std::string ChangeLogScript(database::TConnection& connection);
// What ChangeLog=1 without the tables is told: run script.
std::string ChangeLogMissingText(const std::string& script);

// The changes after id `after`, in id order, that keep() wants; lastId gets the highest id
// read (after when there is none). Throws EDatabaseError, and EPostProcError for an id that is
// no whole number.
std::vector<TChange> ReadChanges(database::TConnection& connection, std::int64_t after,
                                 const std::function<bool(const TChange&)>& keep,
                                 std::int64_t& lastId);

// Raises each station and sensor's threshold to the time given, never lowering it, in one
// transaction of its own. A station and sensor given twice takes the later time. On
// PostgreSQL it then waits (up to 30 seconds) for the transactions that were writing VN_DATA1
// meanwhile to end, so that a reading they wrote unlogged is committed before the run reads.
// The wait ends early when stop() says so. Throws EDatabaseError; nothing is then raised, or
// the wait was cut short.
void RaiseThresholds(database::TConnection& connection, std::span<const TThreshold> thresholds,
                     const std::function<bool()>& stop);

// Deletes the changes up to and including id upTo. Throws EDatabaseError.
void DeleteChanges(database::TConnection& connection, std::int64_t upTo);

}  // namespace vnpp::store
