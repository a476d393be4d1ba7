// The readings of one station and sensor for a run of consecutive windows, read with one
// ordered query per run and handed out window by window, exactly as the window query and the
// previous-reading query (RetrieveData, RetrievePrevious) would give them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "common/DateTime.h"
#include "compute/PPDataItem.h"
#include "store/PPStatements.h"

namespace vnpp::store {

using common::TDateTime;

// True for the text of a time stamp that sorts as its time: "YYYY-MM-DD HH:MM:SS" with an
// optional fraction of a second.
bool IsSortableTimeTag(std::string_view text);
// The first or last time tag (by the database's order) of the readings of station and sensor
// whose text does not sort as its time, or empty when both do. A tag in another form (a
// number, "2026/03/14 10:15", "14.03.2026 10:15") sorts before or after every well-formed one,
// so a sensor that has such readings shows one at an end. Throws EDatabaseError.
std::string UnsortableTimeTag(TPPStatements& db, const std::string& station,
                              const std::string& sensor);
// The same for many sensors (station, sensor), kTagExtremesSlots to a statement: one result
// per sensor, in their order. Throws EDatabaseError; the results of the statements before
// the one that failed are in found.
struct TSensorKey {
  std::string_view Station;
  std::string_view Sensor;
};
void UnsortableTimeTags(TPPStatements& db, std::span<const TSensorKey> sensors,
                        std::vector<std::string>& found);

// The item's own queries, for one window. RetrieveData appends the readings with a value
// inside the item's window to Times and Values, oldest first, then calls RetrievePrevious
// when ReadPrevious is set. A value that is not a finite number is left out as a NULL value
// is, and counted in Problems. Throws EPostProcError naming a BoundaryMode outside 0..2
// before any statement runs, EDatabaseError on a database failure (what was appended before
// it stays).
void RetrieveData(TPPStatements& db, compute::TPPDataItem& item);
// Sets PrevTime and PrevValue from the newest reading before the item's StartTime; both stay
// 0 when there is none or its value is NULL (older readings are not consulted).
void RetrievePrevious(TPPStatements& db, compute::TPPDataItem& item);

struct TWindowSpan {
  TDateTime Start = 0;
  TDateTime End = 0;
};

// Window bounds are compared as the database compares the bound date-times: at the whole
// millisecond they are sent with, against the readings' exact time tags. Readings with a
// NULL value are left out of a window, while a NULL value in the newest reading before a
// window means that it has no previous reading; each of the two flag filters applies to its
// own part. Two readings of one time tag come back from the database in an order that no
// statement fixes; where such a pair could change a result, the window is read by the
// item's own queries instead, so that the outcome is theirs.
//
// Memory stays within maxRows readings, whatever the windows hold.
// Thread safety: belongs to the thread that owns the connection of db.
class TReadingCursor {
 public:
  // item carries the station, sensor, DataType, ReadPrevious and BoundaryMode; the cursor
  // fills its readings and previous reading for each window. db and item must outlive the
  // cursor. Throws EPostProcError for a BoundaryMode outside 0..2.
  TReadingCursor(TPPStatements& db, compute::TPPDataItem& item,
                 std::size_t maxRows = kDefaultMaxRows);

  // Reads the readings of windows (ascending; each starting where the one before ended) and
  // returns how many leading windows they cover completely: all, unless the row bound cut
  // the read short. 0 means that the first window alone holds more than maxRows readings;
  // read it with ReadAlone. Throws EDatabaseError.
  std::size_t Load(std::span<const TWindowSpan> windows);
  // Prepares the item (BeginWindow) for window k of the last Load, with its readings and,
  // when ReadPrevious is set, its previous reading. REQUIRES: k below what Load returned,
  // and ascending from call to call. Throws EDatabaseError.
  void Fill(std::size_t k);
  // Prepares the item for a window through RetrieveData, its own per-window queries.
  void ReadAlone(const TWindowSpan& window);

  static constexpr std::size_t kDefaultMaxRows = 16384;

 private:
  // kNull also marks a value that is no finite number (kNonFinite, kNotNumber): it is left
  // out as a NULL value is. kMisplaced: the database ordered the row's time tag apart from
  // its time (a text form the range comparisons do not sort as time).
  enum RowFlags : std::uint8_t {
    kNull = 1,
    kWindowOk = 2,
    kPreviousOk = 4,
    kNonFinite = 8,
    kNotNumber = 16,
    kMisplaced = 32,
  };
  // The newest reading that passed the previous-reading filter before the rows not yet
  // taken (frontierRow_).
  struct TPrevious {
    bool Valid = false;   // stands for every reading before the frontier
    bool HasRow = false;  // there is such a reading
    bool Tie = false;     // another such reading has the same time tag
    bool IsNull = false;
    std::int64_t Key = 0;
    TDateTime Time = 0;
    double Value = 0;
  };

  void StartPrevious(TDateTime from);
  // Reads the rows of [from, to] into keys_ .. flags_, with the time tags as text when
  // tagsAsText is set; false, with nothing counted, at the first tag in another form.
  bool ReadRange(bool tagsAsText, TDateTime from, TDateTime to);
  void AdvancePrevious(std::int64_t beforeKey);

  TPPStatements& db_;
  compute::TPPDataItem& item_;
  const std::size_t maxRows_;
  const bool twoFilters_;   // rows carry each filter's verdict
  bool exactTags_ = false;  // a tag came in a form only the driver converts

  // The rows of the last Load, oldest first.
  std::vector<std::int64_t> keys_;
  std::vector<TDateTime> times_;
  std::vector<double> values_;
  std::vector<std::uint8_t> flags_;
  // The text of the first value of the last Load that is no number (its row, or npos).
  std::size_t badRow_ = static_cast<std::size_t>(-1);
  std::string badText_;
  std::vector<TWindowSpan> windows_;
  std::vector<std::int64_t> startKeys_;
  std::vector<std::int64_t> endKeys_;
  std::int64_t loadedFromKey_ = 0;
  std::int64_t coveredUntilKey_ = 0;  // every reading below this key is in the rows
  std::size_t windowRow_ = 0;         // first row that the next window can hold
  std::size_t frontierRow_ = 0;       // first row not yet taken into previous_
  TPrevious previous_;
};

}  // namespace vnpp::store
