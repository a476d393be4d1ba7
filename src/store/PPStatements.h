// The statements of the post-process item and their texts, prepared once per connection.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>

#include "database/Odbc.h"

namespace vnpp::store {

// Result row insert and update; both carry the same thirteen named parameters.
extern const char* const InsertSQL;
extern const char* const UpdateSQL;

// The readings of a sensor inside a window, oldest first. boundaryMode picks the inclusive
// ends (0: start only, 1: end only, 2: both); dataType 1 keeps only unflagged readings.
// Throws EPostProcError naming a boundaryMode outside 0..2.
std::string WindowSQL(std::int32_t boundaryMode, std::uint8_t dataType);
// The readings of a sensor before :ENDTIME, newest first; dataType as above.
std::string PreviousSQL(std::uint8_t dataType);

// The readings of a sensor from :STARTTIME to :ENDTIME, both included, oldest first, at most
// :MAXROWS of them: a run of windows in one query, split into windows by the caller. The
// columns are TIME_TAG and ED_VALUE. With dataType 1 and withPrevious false only the rows the
// window filter keeps are returned. With dataType 1 and withPrevious true the rows either
// flag filter keeps are returned, and two more columns give each row's verdict: 1 when the
// window filter keeps it (third column) and when the previous-reading filter keeps it
// (fourth), else 0; the two filters differ in NO_CHG_FLAG and ROC_FLAG only. With tagsAsText
// the first column is the time tag's text as the database gives it (a number stays a number's
// text), for the service's own conversion.
std::string RangeSQL(std::uint8_t dataType, bool withPrevious, bool tagsAsText = false);

// The first and the last time tag of a sensor's readings in the database's own order
// (columns FIRST_TAG and LAST_TAG, read as text): two index lookups.
extern const char* const TagExtremesSQL;
// The same for `slots` sensors in one statement: parameters STATION_IDi and SENSORNAMEi for
// slot i (from 0, in that order), one row per slot with its number in SLOT. A slot bound to
// NULL matches no reading. REQUIRES: slots >= 1.
std::string TagExtremesSlotsSQL(std::size_t slots);
inline constexpr std::size_t kTagExtremesSlots = 100;

// The columns of a result row, in the order of the upserts' select lists.
inline constexpr const char* kResultColumns =
    "STATION_ID, DATA_LABEL, FUNCTION_NAME, TIME_TAG, TIME_PERIOD, PP_VALUE, FLAG1, FLAG2, "
    "FLAG3, VALUE_TIME_TAG, PROCESS_TIME_TAG, SENSORNAME, ALTERNATE_LABEL";
// The end of every result upsert: on the key, the same columns as UpdateSQL sets.
inline constexpr const char* kUpsertTail =
    " ON CONFLICT (STATION_ID, DATA_LABEL, FUNCTION_NAME, TIME_TAG, TIME_PERIOD) DO UPDATE SET "
    "PP_VALUE = EXCLUDED.PP_VALUE, FLAG1 = EXCLUDED.FLAG1, FLAG2 = EXCLUDED.FLAG2, FLAG3 = "
    "EXCLUDED.FLAG3, VALUE_TIME_TAG = EXCLUDED.VALUE_TIME_TAG, PROCESS_TIME_TAG = "
    "EXCLUDED.PROCESS_TIME_TAG, SENSORNAME = EXCLUDED.SENSORNAME, ALTERNATE_LABEL = "
    "EXCLUDED.ALTERNATE_LABEL";

// Which multi-row form of the result upsert a database takes.
enum class TUpsertDialect { None, PostgreSQL, SQLite };

// SQLite's insert of `rows` result rows of one station and sensor that updates a row whose
// key exists already, with the same values as UpdateSQL. Parameters, in order of first
// occurrence: for each row r TIME_TAGr, TIME_PERIODr, PP_VALUEr, VALUE_TIME_TAGr,
// PROCESS_TIME_TAGr and, with flags, FLAG1r and FLAG2r, then STATION_ID, DATA_LABEL,
// FUNCTION_NAME, SENSORNAME, ALTERNATE_LABEL (from position rows * UpsertRowParams(flags)).
// FLAG3, and without flags FLAG1 and FLAG2 too, are NULL: rows of groups without a
// completeness rule bind two parameters fewer each.
// REQUIRES: rows >= 1.
std::string UpsertSQL(std::size_t rows, bool flags);
inline constexpr std::size_t kUpsertKeyParams = 5;
constexpr std::size_t UpsertRowParams(bool flags) { return flags ? 7 : 5; }

// PostgreSQL's form of the same upsert for any number of rows: after the five key parameters
// come TIME_TAGS, TIME_PERIODS, PP_VALUES, VALUE_TIME_TAGS, PROCESS_TIME_TAGS and, with
// flags, FLAG1S and FLAG2S, each an array of one element per row in PostgreSQL's array text
// ("{...}"), bound as text (without flags FLAG1 and FLAG2 are NULL). The driver converts a
// dozen values per statement instead of seven per row.
std::string UpsertArraysSQL(bool flags);

// The prepared statements of one connection. Each statement is prepared on first use and
// then executed again with new values, so a long catch-up prepares each text once.
// REQUIRES: the connection stays open and outlives this object.
// Thread safety: belongs to the thread that owns the connection.
class TPPStatements {
 public:
  explicit TPPStatements(database::TConnection& connection);
  ~TPPStatements();
  TPPStatements(const TPPStatements&) = delete;
  TPPStatements& operator=(const TPPStatements&) = delete;

  // All throw EDatabaseError when the database refuses the text; WindowQuery also throws
  // EPostProcError for a boundaryMode outside 0..2.
  database::TStatement& WindowQuery(std::int32_t boundaryMode, std::uint8_t dataType);
  database::TStatement& PreviousQuery(std::uint8_t dataType);
  database::TStatement& Insert();
  database::TStatement& Update();
  database::TStatement& TagExtremes();
  // TagExtremesSlotsSQL with kTagExtremesSlots slots, its columns bound for block reads.
  database::TStatement& TagExtremesSlots();

  // The range query of RangeSQL, its columns bound for block reads. With tagsAsText the time
  // tag comes as the database's text (TColumnType::TimeText), else converted by the driver.
  database::TStatement& RangeQuery(std::uint8_t dataType, bool withPrevious,
                                   bool tagsAsText = false);
  // Rows per block of a range query.
  static constexpr std::size_t kRowsPerBlock = 256;

  // The dialect of the result upsert on this connection: found out on the first call by the
  // database's name and one statement that writes nothing, so that a result table without
  // the key, or a database without the statement, gets None. Call it outside a transaction:
  // on some databases a refused statement spoils the transaction it runs in.
  TUpsertDialect UpsertDialect();
  // The prepared upsert of `rows` rows. REQUIRES: UpsertDialect() is SQLite.
  database::TStatement& Upsert(std::size_t rows, bool flags);
  // The prepared statement of UpsertArraysSQL. REQUIRES: UpsertDialect() is PostgreSQL.
  database::TStatement& UpsertArrays(bool flags);

 private:
  database::TStatement& Prepared(std::unique_ptr<database::TStatement>& slot,
                                 const std::string& sql);

  database::TConnection& connection_;
  // Indexed by boundary mode * 2 + (dataType == 1).
  std::array<std::unique_ptr<database::TStatement>, 6> window_;
  // Indexed by (dataType == 1).
  std::array<std::unique_ptr<database::TStatement>, 2> previous_;
  std::unique_ptr<database::TStatement> insert_;
  std::unique_ptr<database::TStatement> update_;
  std::unique_ptr<database::TStatement> tagExtremes_;
  std::unique_ptr<database::TStatement> tagExtremesSlots_;
  // Indexed by tagsAsText * 4 + (dataType == 1) * 2 + withPrevious.
  std::array<std::unique_ptr<database::TStatement>, 8> range_;
  std::optional<TUpsertDialect> dialect_;
  // By rows and flags.
  std::map<std::pair<std::size_t, bool>, std::unique_ptr<database::TStatement>> upserts_;
  std::array<std::unique_ptr<database::TStatement>, 2> upsertArrays_;  // by flags
};

}  // namespace vnpp::store
