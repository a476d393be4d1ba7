// Result rows of many windows of one station and sensor, written in few statements.
#pragma once

#include <optional>
#include <span>
#include <string>

#include "common/DateTime.h"
#include "compute/PPDataItem.h"
#include "store/PPStatements.h"

namespace vnpp::store {

using common::TDateTime;

// The columns of a result row that are the same for every window of one entry.
struct TResultKey {
  std::string StationID;
  std::string DataLabel;
  std::string FunctionName;
  std::string SensorName;
  std::string AlternateLabel;  // empty: NULL
};

// The columns that differ by window, as the item's fields after Compute.
struct TResultValues {
  TDateTime StartTime = 0;
  TDateTime EndTime = 0;
  double PPValue = 0;
  bool HasValueTime = false;
  TDateTime ValueTime = 0;
  TDateTime ProcessTime = 0;
  // FLAG1 and FLAG2 of the completeness rule; empty: NULL (FLAG3 is always NULL).
  std::string Flag1;
  std::string Flag2;
};

// The row that the item's window stores after Compute; empty when it has no result
// (no readings, or a Rejection).
std::optional<TResultValues> ResultOf(const compute::TPPDataItem& item);

// Binds the thirteen parameters of InsertSQL and UpdateSQL; FLAG3 is NULL.
void BindResultRow(database::TStatement& query, const TResultKey& key, const TResultValues& row);

// Thread safety: belongs to the thread that owns the connection of db.
class TResultWriter {
 public:
  // db must outlive the writer.
  explicit TResultWriter(TPPStatements& db) : db_(db) {}

  // Stores the rows: where the connection has the upsert, in statements of up to
  // kRowsPerStatement[0] rows (SQLite) or kRowsPerArrayStatement rows (PostgreSQL),
  // otherwise one by one as WriteOne. A row whose key exists is
  // updated. Throws EDatabaseError; what the failed statement wrote is undone, and on
  // PostgreSQL the transaction it ran in is spoiled.
  void Write(const TResultKey& key, std::span<const TResultValues> rows);
  // One row: insert, and update on a key violation. Throws EDatabaseError for every other
  // failure, unchanged.
  void WriteOne(const TResultKey& key, const TResultValues& row);

  // SQLite's statement sizes, largest first; each is prepared once per connection.
  static constexpr std::size_t kRowsPerStatement[] = {240, 48, 8, 1};
  // Rows per statement of PostgreSQL's array form.
  static constexpr std::size_t kRowsPerArrayStatement = 2000;

 private:
  // The five key parameters from position at on.
  void BindKey(database::TStatement& upsert, const TResultKey& key, std::size_t at);
  void WriteArrays(const TResultKey& key, std::span<const TResultValues> rows);

  TPPStatements& db_;
  // The array texts of WriteArrays, kept for their storage.
  std::string times_, periods_, values_, valueTimes_, processTimes_, flags1_, flags2_, stamp_;
};

}  // namespace vnpp::store
