#include "store/ReadingCursor.h"

#include <algorithm>
#include <limits>

#include "common/Error.h"
#include "compute/ReadingValue.h"
#include "database/Odbc.h"

namespace vnpp::store {

bool IsSortableTimeTag(std::string_view text) {
  // "YYYY-MM-DD HH:MM:SS": digits except at the separators.
  constexpr std::string_view kForm = "0000-00-00 00:00:00";
  if (text.size() < kForm.size()) return false;
  for (std::size_t i = 0; i < kForm.size(); ++i) {
    const bool digit = text[i] >= '0' && text[i] <= '9';
    if (kForm[i] == '0' ? !digit : text[i] != kForm[i]) return false;
  }
  std::string_view rest = text.substr(kForm.size());
  if (rest.empty()) return true;
  if (rest.size() < 2 || rest[0] != '.') return false;
  for (const char c : rest.substr(1)) {
    if (c < '0' || c > '9') return false;
  }
  return true;
}

std::string UnsortableTimeTag(TPPStatements& db, const std::string& station,
                              const std::string& sensor) {
  database::TStatement& query = db.TagExtremes();
  query.BindText("STATION_ID", station);
  query.BindText("SENSORNAME", sensor);
  database::TCursorGuard guard(query);
  query.Execute();
  if (!query.Fetch()) return {};
  for (const char* column : {"FIRST_TAG", "LAST_TAG"}) {
    if (query.IsNull(column)) continue;
    std::string text = query.GetText(column);
    if (!IsSortableTimeTag(text)) return text;
  }
  return {};
}

void UnsortableTimeTags(TPPStatements& db, std::span<const TSensorKey> sensors,
                        std::vector<std::string>& found) {
  found.clear();
  found.reserve(sensors.size());
  database::TStatement& query = db.TagExtremesSlots();
  for (std::size_t from = 0; from < sensors.size(); from += kTagExtremesSlots) {
    const std::size_t count = std::min(kTagExtremesSlots, sensors.size() - from);
    for (std::size_t i = 0; i < kTagExtremesSlots; ++i) {
      if (i < count) {
        query.BindTextAt(2 * i, sensors[from + i].Station);
        query.BindTextAt(2 * i + 1, sensors[from + i].Sensor);
      } else {
        query.BindNullAt(2 * i, database::TParamType::Text);
        query.BindNullAt(2 * i + 1, database::TParamType::Text);
      }
    }
    std::vector<std::string> tags(count);
    database::TCursorGuard guard(query);
    query.Execute();
    for (std::size_t rows; (rows = query.FetchBlock()) > 0;) {
      for (std::size_t r = 0; r < rows; ++r) {
        const double slot = query.DoubleAt(0, r);
        if (query.IsNullAt(0, r) || !(slot >= 0 && slot < static_cast<double>(count))) continue;
        std::string& tag = tags[static_cast<std::size_t>(slot)];
        for (std::size_t column : {1, 2}) {
          if (!tag.empty() || query.IsNullAt(column, r)) continue;
          // A text cut at the block's width is no time stamp either; its beginning is shown.
          const std::string_view text = query.TextAt(column, r);
          if (!IsSortableTimeTag(text)) tag = text;
        }
      }
    }
    for (std::string& tag : tags) found.push_back(std::move(tag));
  }
}

void RetrieveData(TPPStatements& db, compute::TPPDataItem& item) {
  database::TStatement& query = db.WindowQuery(item.BoundaryMode, item.DataType);
  query.BindText("STATION_ID", item.StationID);
  query.BindText("SENSORNAME", item.SensorName);
  query.BindDateTime("STARTTIME", item.StartTime);
  query.BindDateTime("ENDTIME", item.EndTime);
  {
    database::TCursorGuard guard(query);
    query.Execute();
    while (query.Fetch()) {
      if (query.IsNull("ED_VALUE")) continue;
      const TDateTime tag = query.GetDateTime("TIME_TAG");
      if (tag < item.StartTime || tag > item.EndTime) {
        item.NoteMisplaced(tag);
        continue;
      }
      double value = 0;
      if (!item.TakeValue(query.GetText("ED_VALUE"), tag, false, value)) continue;
      item.Times.push_back(tag);
      item.Values.push_back(value);
    }
  }
  if (item.ReadPrevious) RetrievePrevious(db, item);
}

void RetrievePrevious(TPPStatements& db, compute::TPPDataItem& item) {
  database::TStatement& query = db.PreviousQuery(item.DataType);
  query.BindText("STATION_ID", item.StationID);
  query.BindText("SENSORNAME", item.SensorName);
  // ENDTIME carries the start of the window: the readings strictly before it.
  query.BindDateTime("ENDTIME", item.StartTime);
  database::TCursorGuard guard(query);
  query.Execute();
  item.PrevTime = 0;
  item.PrevValue = 0;
  if (query.Fetch() && !query.IsNull("ED_VALUE")) {
    const TDateTime tag = query.GetDateTime("TIME_TAG");
    // A value that is no finite number counts as NULL, here without a count: the reading
    // is counted where a window holds it.
    const compute::TReadingValue v = compute::ParseReadingValue(query.GetText("ED_VALUE"));
    if (v.Kind == compute::TValueKind::Number) {
      item.PrevValue = v.Value;
      item.PrevTime = tag;
    }
  }
}

namespace {

constexpr std::uint8_t kUnflaggedOnly = 1;

}  // namespace

TReadingCursor::TReadingCursor(TPPStatements& db, compute::TPPDataItem& item, std::size_t maxRows)
    : db_(db),
      item_(item),
      maxRows_(maxRows > 0 ? maxRows : 1),
      twoFilters_(item.DataType == kUnflaggedOnly && item.ReadPrevious) {
  // The same refusal as the window statement gives.
  (void)WindowSQL(item.BoundaryMode, item.DataType);
}

void TReadingCursor::StartPrevious(TDateTime from) {
  // The item's own query gives the newest reading before the first window; the rows read
  // from then on carry it forward.
  const TDateTime start = item_.StartTime;
  item_.StartTime = from;
  try {
    RetrievePrevious(db_, item_);
  } catch (...) {
    item_.StartTime = start;
    throw;
  }
  item_.StartTime = start;
  previous_ = TPrevious{};
  previous_.Valid = true;
  if (item_.PrevTime > 0) {
    previous_.HasRow = true;
    // Below every key of the rows to come, so that no later reading counts as its twin.
    previous_.Key = std::numeric_limits<std::int64_t>::min();
    previous_.Time = item_.PrevTime;
    previous_.Value = item_.PrevValue;
  }
}

void TReadingCursor::AdvancePrevious(std::int64_t beforeKey) {
  for (; frontierRow_ < keys_.size() && keys_[frontierRow_] < beforeKey; ++frontierRow_) {
    const std::uint8_t f = flags_[frontierRow_];
    if ((f & kPreviousOk) == 0 || (f & kMisplaced) != 0) continue;
    const std::int64_t key = keys_[frontierRow_];
    previous_.Tie = previous_.HasRow && previous_.Key == key;
    previous_.HasRow = true;
    previous_.Key = key;
    previous_.IsNull = (f & kNull) != 0;
    previous_.Time = times_[frontierRow_];
    previous_.Value = values_[frontierRow_];
  }
}

bool TReadingCursor::ReadRange(bool tagsAsText, TDateTime from, TDateTime to) {
  const std::int64_t fromKey = common::CalendarMicros(from);
  const std::int64_t toKey = common::CalendarMicros(to);
  keys_.clear();
  times_.clear();
  values_.clear();
  flags_.clear();
  badRow_ = static_cast<std::size_t>(-1);
  badText_.clear();
  const auto misplaced = item_.Problems.Misplaced;
  const TDateTime misplacedTime = item_.Problems.MisplacedTime;

  database::TStatement& query = db_.RangeQuery(item_.DataType, item_.ReadPrevious, tagsAsText);
  query.BindText("STATION_ID", item_.StationID);
  query.BindText("SENSORNAME", item_.SensorName);
  query.BindDateTime("STARTTIME", from);
  query.BindDateTime("ENDTIME", to);
  query.BindInteger("MAXROWS", static_cast<std::int64_t>(maxRows_));
  database::TCursorGuard guard(query);
  query.Execute();
  std::int64_t lastKey = fromKey;
  for (std::size_t n; (n = query.FetchBlock()) > 0;) {
    for (std::size_t r = 0; r < n; ++r) {
      database::TTimeTag tag;
      if (!tagsAsText) {
        tag = query.TimeTagAt(0, r);
      } else if (!query.TimeTextAt(0, r, tag)) {
        item_.Problems.Misplaced = misplaced;
        item_.Problems.MisplacedTime = misplacedTime;
        return false;
      }
      std::uint8_t f = 0;
      double value = 0;
      if (query.IsNullAt(1, r)) {
        f |= kNull;
      } else {
        bool truncated = false;
        const std::string_view text = query.TextAt(1, r, &truncated);
        const compute::TReadingValue v =
            truncated ? compute::TReadingValue{} : compute::ParseReadingValue(text);
        if (v.Kind == compute::TValueKind::Number) {
          value = v.Value;
        } else if (v.Kind == compute::TValueKind::NonFinite) {
          f |= kNull | kNonFinite;
        } else {
          f |= kNull | kNotNumber;
          if (badText_.empty()) {
            badRow_ = keys_.size();
            badText_ = std::string(text) + (truncated ? "..." : "");
          }
        }
      }
      if (tag.Micros < fromKey || tag.Micros > toKey || tag.Micros < lastKey) {
        // Left out of every window and of the previous reading, as the per-window
        // statements leave it out of the window its time lies in.
        f |= kMisplaced;
        item_.NoteMisplaced(tag.Value);
      } else {
        lastKey = tag.Micros;
      }
      if (twoFilters_) {
        if (query.DoubleAt(2, r) != 0) f |= kWindowOk;
        if (query.DoubleAt(3, r) != 0) f |= kPreviousOk;
      } else {
        f |= kWindowOk | kPreviousOk;
      }
      keys_.push_back(tag.Micros);
      times_.push_back(tag.Value);
      values_.push_back(value);
      flags_.push_back(f);
    }
  }
  return true;
}

std::size_t TReadingCursor::Load(std::span<const TWindowSpan> windows) {
  if (windows.empty()) return 0;
  const TDateTime from = windows.front().Start;
  const TDateTime to = windows.back().End;
  const std::int64_t fromKey = common::CalendarMicros(from);
  const std::int64_t toKey = common::CalendarMicros(to);

  bool startPrevious = false;
  if (item_.ReadPrevious) {
    if (previous_.Valid && fromKey >= loadedFromKey_ && fromKey <= coveredUntilKey_) {
      AdvancePrevious(fromKey);
    } else {
      startPrevious = true;
    }
  }
  windowRow_ = 0;
  frontierRow_ = 0;
  previous_.Valid = previous_.Valid && !startPrevious;
  if (startPrevious) StartPrevious(from);

  // The time tags come as text and are converted here; a tag in any other form than the
  // one converted here sends this and every later read of the cursor to the driver's own
  // conversion, which reads it as the database means it.
  if (!exactTags_) exactTags_ = !ReadRange(true, from, to);
  if (exactTags_) ReadRange(false, from, to);

  windows_.assign(windows.begin(), windows.end());
  startKeys_.clear();
  endKeys_.clear();
  for (const TWindowSpan& w : windows_) {
    startKeys_.push_back(common::CalendarMicros(w.Start));
    endKeys_.push_back(common::CalendarMicros(w.End));
  }
  loadedFromKey_ = fromKey;
  std::size_t complete = windows_.size();
  if (keys_.size() >= maxRows_) {
    // Cut short: every reading below the last key is here, those at it perhaps not all.
    const std::int64_t lastKey = keys_.back();
    coveredUntilKey_ = lastKey;
    complete = 0;
    while (complete < windows_.size() && (item_.BoundaryMode == 0 ? endKeys_[complete] <= lastKey
                                                                  : endKeys_[complete] < lastKey)) {
      ++complete;
    }
  } else {
    coveredUntilKey_ = toKey + 1;
  }
  return complete;
}

void TReadingCursor::Fill(std::size_t k) {
  const TWindowSpan& w = windows_[k];
  const std::int64_t startKey = startKeys_[k];
  const std::int64_t endKey = endKeys_[k];
  item_.BeginWindow(w.Start, w.End);
  if (item_.ReadPrevious) AdvancePrevious(startKey);

  const std::int32_t mode = item_.BoundaryMode;
  // Mode 0 takes [start, end), 1 (start, end], 2 [start, end].
  while (windowRow_ < keys_.size() &&
         ((flags_[windowRow_] & kMisplaced) != 0 ||
          (mode == 1 ? keys_[windowRow_] <= startKey : keys_[windowRow_] < startKey))) {
    ++windowRow_;
  }
  bool tie = false;
  bool haveLast = false;
  std::int64_t lastKey = 0;
  for (std::size_t i = windowRow_; i < keys_.size(); ++i) {
    const std::uint8_t f = flags_[i];
    if ((f & kMisplaced) != 0) continue;
    if (mode == 0 ? keys_[i] >= endKey : keys_[i] > endKey) break;
    if ((f & kWindowOk) == 0) continue;
    if ((f & kNull) != 0) {
      if ((f & kNonFinite) != 0) {
        ++item_.Problems.NonFinite;
      } else if ((f & kNotNumber) != 0) {
        if (item_.Problems.NotNumber++ == 0) {
          item_.Problems.Example = i == badRow_ ? badText_ : std::string();
          item_.Problems.ExampleTime = times_[i];
        }
      }
      continue;
    }
    if (haveLast && keys_[i] == lastKey) tie = true;
    haveLast = true;
    lastKey = keys_[i];
    item_.Times.push_back(times_[i]);
    item_.Values.push_back(values_[i]);
  }
  if (tie) {
    item_.Times.clear();
    item_.Values.clear();
    RetrieveData(db_, item_);
    return;
  }
  if (!item_.ReadPrevious) return;
  if (previous_.Tie) {
    RetrievePrevious(db_, item_);
  } else if (previous_.HasRow && !previous_.IsNull) {
    item_.PrevTime = previous_.Time;
    item_.PrevValue = previous_.Value;
  }
}

void TReadingCursor::ReadAlone(const TWindowSpan& window) {
  item_.BeginWindow(window.Start, window.End);
  RetrieveData(db_, item_);
  previous_.Valid = false;
}

}  // namespace vnpp::store
