#include "store/PPStatements.h"

#include "common/Error.h"

namespace vnpp::store {

// The runs of blanks are part of the texts.
const char* const InsertSQL =
    "INSERT INTO VN_PPDATA1 (       STATION_ID,        DATA_LABEL,        FUNCTION_NAME,     "
    "   TIME_TAG,        TIME_PERIOD,        PP_VALUE,        FLAG1,        FLAG2,        "
    "FLAG3,        VALUE_TIME_TAG,        PROCESS_TIME_TAG,        SENSORNAME,        "
    "ALTERNATE_LABEL ) VALUES (        :STATION_ID,        :DATA_LABEL,        "
    ":FUNCTION_NAME,        :TIME_TAG,        :TIME_PERIOD,        :PP_VALUE,        :FLAG1, "
    "       :FLAG2,        :FLAG3,        :VALUE_TIME_TAG,        :PROCESS_TIME_TAG,        "
    ":SENSORNAME,        :ALTERNATE_LABEL ) ";

const char* const UpdateSQL =
    "UPDATE VN_PPDATA1 SET        PP_VALUE = :PP_VALUE,        FLAG1 = :FLAG1,        FLAG2 = "
    ":FLAG2,        FLAG3 = :FLAG3,        VALUE_TIME_TAG = :VALUE_TIME_TAG,        "
    "PROCESS_TIME_TAG = :PROCESS_TIME_TAG,        SENSORNAME = :SENSORNAME,        "
    "ALTERNATE_LABEL = :ALTERNATE_LABEL WHERE        STATION_ID = :STATION_ID AND       "
    "DATA_LABEL = :DATA_LABEL AND        FUNCTION_NAME = :FUNCTION_NAME AND        TIME_TAG = "
    ":TIME_TAG AND        TIME_PERIOD = :TIME_PERIOD";

const char* const TagExtremesSQL =
    "SELECT (SELECT MIN(TIME_TAG) FROM VN_DATA1 WHERE (STATION_ID = :STATION_ID) AND "
    "(SENSORNAME = :SENSORNAME)) AS FIRST_TAG, (SELECT MAX(TIME_TAG) FROM VN_DATA1 WHERE "
    "(STATION_ID = :STATION_ID) AND (SENSORNAME = :SENSORNAME)) AS LAST_TAG";

std::string TagExtremesSlotsSQL(std::size_t slots) {
  // The slot numbers are literals of the text: the rows need not come back in slot order.
  std::string sql = "WITH K (SLOT, STATION_ID, SENSORNAME) AS (VALUES ";
  for (std::size_t i = 0; i < slots; ++i) {
    const std::string n = std::to_string(i);
    if (i > 0) sql += ", ";
    sql += "(" + n + ", :STATION_ID" + n + ", :SENSORNAME" + n + ")";
  }
  sql +=
      ") SELECT K.SLOT, (SELECT MIN(D.TIME_TAG) FROM VN_DATA1 D WHERE (D.STATION_ID = "
      "K.STATION_ID) AND (D.SENSORNAME = K.SENSORNAME)) AS FIRST_TAG, (SELECT MAX(D.TIME_TAG) "
      "FROM VN_DATA1 D WHERE (D.STATION_ID = K.STATION_ID) AND (D.SENSORNAME = K.SENSORNAME)) "
      "AS LAST_TAG FROM K";
  return sql;
}

namespace {

const char* const kWindowHeads[3] = {
    "SELECT * FROM VN_DATA1 WHERE (STATION_ID = :STATION_ID) AND (SENSORNAME = :SENSORNAME) "
    "AND (:STARTTIME <= TIME_TAG) AND (TIME_TAG < :ENDTIME) ",
    "SELECT * FROM VN_DATA1 WHERE (STATION_ID = :STATION_ID) AND (SENSORNAME = :SENSORNAME) "
    "AND (:STARTTIME < TIME_TAG) AND (TIME_TAG <= :ENDTIME) ",
    "SELECT * FROM VN_DATA1 WHERE (STATION_ID = :STATION_ID) AND (SENSORNAME = :SENSORNAME) "
    "AND (:STARTTIME <= TIME_TAG) AND (TIME_TAG <= :ENDTIME) ",
};

// The newest reading before :ENDTIME. The subquery keeps the result to the readings of that
// one time tag: a row cap set on the statement is not honoured by every driver on every
// execution, and without it the whole history of the sensor came back for each window.
const char* const kPreviousHead =
    "SELECT * FROM VN_DATA1 WHERE (STATION_ID = :STATION_ID) AND (SENSORNAME = :SENSORNAME) "
    "AND (TIME_TAG = (SELECT MAX(TIME_TAG) FROM VN_DATA1 WHERE (STATION_ID = :STATION_ID) AND "
    "(SENSORNAME = :SENSORNAME) AND (TIME_TAG < :ENDTIME) ";

// The window filter tests NO_CHG_FLAG where the previous-reading filter tests ROC_FLAG.
const char* const kWindowFlagFilter =
    " AND (FLAG1 IS NULL or FLAG1 = ' ') AND (FLAG2 IS NULL or FLAG2 = ' ') AND (FLAG3 IS "
    "NULL or FLAG3 = ' ') AND (FLAG4 IS NULL or FLAG4 = ' ') AND (HIGH_HIGH_FLAG IS NULL or "
    "HIGH_HIGH_FLAG = 0) AND (HIGH_FLAG IS NULL or HIGH_FLAG = 0) AND (LOW_FLAG IS NULL or "
    "LOW_FLAG = 0) AND (LOW_LOW_FLAG IS NULL or LOW_LOW_FLAG = 0) AND (NO_CHG_FLAG IS NULL or "
    "NO_CHG_FLAG = 0)  AND (ALARM_FLAG IS NULL or ALARM_FLAG = 0) AND (STD_DEV_FLAG IS NULL or "
    "STD_DEV_FLAG = 0) AND (AVG_FLAG IS NULL or AVG_FLAG = 0) ";

const char* const kPreviousFlagFilter =
    " AND (FLAG1 IS NULL or FLAG1 = ' ') AND (FLAG2 IS NULL or FLAG2 = ' ') AND (FLAG3 IS "
    "NULL or FLAG3 = ' ') AND (FLAG4 IS NULL or FLAG4 = ' ') AND (HIGH_HIGH_FLAG IS NULL or "
    "HIGH_HIGH_FLAG = 0) AND (HIGH_FLAG IS NULL or HIGH_FLAG = 0) AND (LOW_FLAG IS NULL or "
    "LOW_FLAG = 0) AND (LOW_LOW_FLAG IS NULL or LOW_LOW_FLAG = 0) AND (ROC_FLAG IS NULL or "
    "ROC_FLAG = 0) AND (ALARM_FLAG IS NULL or ALARM_FLAG = 0) AND (STD_DEV_FLAG IS NULL or "
    "STD_DEV_FLAG = 0) AND (AVG_FLAG IS NULL or AVG_FLAG = 0) ";

// The conditions both flag filters share; the range query keeps the two that differ apart.
const char* const kCommonFlagFilter =
    " AND (FLAG1 IS NULL or FLAG1 = ' ') AND (FLAG2 IS NULL or FLAG2 = ' ') AND (FLAG3 IS "
    "NULL or FLAG3 = ' ') AND (FLAG4 IS NULL or FLAG4 = ' ') AND (HIGH_HIGH_FLAG IS NULL or "
    "HIGH_HIGH_FLAG = 0) AND (HIGH_FLAG IS NULL or HIGH_FLAG = 0) AND (LOW_FLAG IS NULL or "
    "LOW_FLAG = 0) AND (LOW_LOW_FLAG IS NULL or LOW_LOW_FLAG = 0) AND (ALARM_FLAG IS NULL or "
    "ALARM_FLAG = 0) AND (STD_DEV_FLAG IS NULL or STD_DEV_FLAG = 0) AND (AVG_FLAG IS NULL or "
    "AVG_FLAG = 0) ";
const char* const kWindowOnlyCondition = "(NO_CHG_FLAG IS NULL or NO_CHG_FLAG = 0)";
const char* const kPreviousOnlyCondition = "(ROC_FLAG IS NULL or ROC_FLAG = 0)";

const char* const kRangeWhere =
    " FROM VN_DATA1 WHERE (STATION_ID = :STATION_ID) AND (SENSORNAME = :SENSORNAME) AND "
    "(:STARTTIME <= TIME_TAG) AND (TIME_TAG <= :ENDTIME) ";

// Writes nothing; refused where the statement or the key is missing.
const char* const kUpsertProbe =
    "INSERT INTO VN_PPDATA1 (STATION_ID, DATA_LABEL, FUNCTION_NAME, TIME_TAG, TIME_PERIOD, "
    "PP_VALUE, SENSORNAME) SELECT STATION_ID, DATA_LABEL, FUNCTION_NAME, TIME_TAG, TIME_PERIOD, "
    "PP_VALUE, SENSORNAME FROM VN_PPDATA1 WHERE 1 = 0 ON CONFLICT (STATION_ID, DATA_LABEL, "
    "FUNCTION_NAME, TIME_TAG, TIME_PERIOD) DO UPDATE SET PP_VALUE = EXCLUDED.PP_VALUE";

constexpr std::uint8_t kUnflaggedOnly = 1;

void CheckBoundaryMode(std::int32_t boundaryMode) {
  if (boundaryMode < 0 || boundaryMode > 2) {
    throw common::EPostProcError("Boundary mode " + std::to_string(boundaryMode) +
                                 " is not one of 0, 1 or 2.");
  }
}

}  // namespace

std::string WindowSQL(std::int32_t boundaryMode, std::uint8_t dataType) {
  CheckBoundaryMode(boundaryMode);
  std::string sql = kWindowHeads[boundaryMode];
  if (dataType == kUnflaggedOnly) sql += kWindowFlagFilter;
  sql += " ORDER BY TIME_TAG ";
  return sql;
}

std::string PreviousSQL(std::uint8_t dataType) {
  std::string sql = kPreviousHead;
  if (dataType == kUnflaggedOnly) sql += kPreviousFlagFilter;
  sql += ")) ";
  if (dataType == kUnflaggedOnly) sql += kPreviousFlagFilter;
  sql += " ORDER BY TIME_TAG DESC";
  return sql;
}

std::string RangeSQL(std::uint8_t dataType, bool withPrevious, bool tagsAsText) {
  const bool filtered = dataType == kUnflaggedOnly;
  // As text, the time tag is the database's own text of it: a driver converts a date-time
  // column's value to its C type, and back to text when text is asked for.
  std::string sql =
      tagsAsText ? "SELECT CAST(TIME_TAG AS VARCHAR), ED_VALUE" : "SELECT TIME_TAG, ED_VALUE";
  if (filtered && withPrevious) {
    sql += std::string(", CASE WHEN ") + kWindowOnlyCondition + " THEN 1 ELSE 0 END, CASE WHEN " +
           kPreviousOnlyCondition + " THEN 1 ELSE 0 END";
  }
  sql += kRangeWhere;
  if (filtered) {
    sql += kCommonFlagFilter;
    if (withPrevious) {
      sql += std::string(" AND (") + kWindowOnlyCondition + " OR " + kPreviousOnlyCondition + ") ";
    } else {
      sql += std::string(" AND ") + kWindowOnlyCondition + " ";
    }
  }
  sql += " ORDER BY TIME_TAG LIMIT :MAXROWS";
  return sql;
}

std::string UpsertSQL(std::size_t rows, bool flags) {
  // The rows come in a WITH clause ahead of the INSERT: the SQLite driver prepares a
  // statement that begins with INSERT again on every execute, one that begins with WITH once.
  // No casts: SQLite casts by affinity (a time stamp text would become a number).
  std::string sql = flags ? "WITH V (column1, column2, column3, column4, column5, column6, "
                            "column7) AS (VALUES "
                          : "WITH V (column1, column2, column3, column4, column5) AS (VALUES ";
  for (std::size_t r = 0; r < rows; ++r) {
    const std::string n = std::to_string(r);
    if (r > 0) sql += ", ";
    sql += "(:TIME_TAG" + n + ", :TIME_PERIOD" + n + ", :PP_VALUE" + n + ", :VALUE_TIME_TAG" + n +
           ", :PROCESS_TIME_TAG" + n + (flags ? ", :FLAG1" + n + ", :FLAG2" + n : "") + ")";
  }
  sql += std::string(") INSERT INTO VN_PPDATA1 (") + kResultColumns +
         ") SELECT :STATION_ID, :DATA_LABEL, :FUNCTION_NAME, V.column1, V.column2, V.column3, " +
         (flags ? "V.column6, V.column7" : "NULL, NULL") +
         ", NULL, V.column4, V.column5, :SENSORNAME, :ALTERNATE_LABEL FROM V";
  // SQLite needs a WHERE before ON CONFLICT to read the statement as an upsert.
  sql += " WHERE 1 = 1";
  sql += kUpsertTail;
  return sql;
}

std::string UpsertArraysSQL(bool flags) {
  return std::string("INSERT INTO VN_PPDATA1 (") + kResultColumns +
         ") SELECT :STATION_ID, :DATA_LABEL, :FUNCTION_NAME, V.T, V.P, V.V, " +
         (flags ? "V.F1, V.F2" : "NULL, NULL") +
         ", NULL, V.VT, V.PT, :SENSORNAME, :ALTERNATE_LABEL FROM UNNEST(CAST(:TIME_TAGS AS "
         "TIMESTAMP[]), CAST(:TIME_PERIODS AS DOUBLE PRECISION[]), CAST(:PP_VALUES AS DOUBLE "
         "PRECISION[]), CAST(:VALUE_TIME_TAGS AS TIMESTAMP[]), CAST(:PROCESS_TIME_TAGS AS "
         "TIMESTAMP[])" +
         (flags ? ", CAST(:FLAG1S AS VARCHAR[]), CAST(:FLAG2S AS VARCHAR[])) AS V (T, P, V, VT, "
                  "PT, F1, F2)"
                : ") AS V (T, P, V, VT, PT)") +
         kUpsertTail;
}

TPPStatements::TPPStatements(database::TConnection& connection) : connection_(connection) {}

TPPStatements::~TPPStatements() = default;

database::TStatement& TPPStatements::Prepared(std::unique_ptr<database::TStatement>& slot,
                                              const std::string& sql) {
  if (!slot) slot = connection_.Prepare(sql);
  return *slot;
}

database::TStatement& TPPStatements::WindowQuery(std::int32_t boundaryMode, std::uint8_t dataType) {
  CheckBoundaryMode(boundaryMode);
  const std::size_t index =
      static_cast<std::size_t>(boundaryMode) * 2 + (dataType == kUnflaggedOnly ? 1 : 0);
  auto& slot = window_[index];
  if (!slot) {
    slot = connection_.Prepare(WindowSQL(boundaryMode, dataType));
    // Values are taken from the database's own text, so that one that is not wholly a
    // number is seen as such (a driver's conversion reads "12,5" as 12).
    slot->ReadAsText("ED_VALUE");
  }
  return *slot;
}

database::TStatement& TPPStatements::PreviousQuery(std::uint8_t dataType) {
  auto& slot = previous_[dataType == kUnflaggedOnly ? 1 : 0];
  if (!slot) {
    slot = connection_.Prepare(PreviousSQL(dataType));
    slot->ReadAsText("ED_VALUE");
  }
  return *slot;
}

database::TStatement& TPPStatements::RangeQuery(std::uint8_t dataType, bool withPrevious,
                                                bool tagsAsText) {
  const bool filtered = dataType == kUnflaggedOnly;
  auto& slot = range_[(tagsAsText ? 4 : 0) + (filtered ? 2 : 0) + (withPrevious ? 1 : 0)];
  if (!slot) {
    slot = connection_.Prepare(RangeSQL(dataType, withPrevious, tagsAsText));
    std::vector<database::TColumnType> columns = {
        tagsAsText ? database::TColumnType::TimeText : database::TColumnType::DateTime,
        database::TColumnType::Text};
    if (filtered && withPrevious) {
      columns.push_back(database::TColumnType::Double);
      columns.push_back(database::TColumnType::Double);
    }
    slot->BindColumns(columns, kRowsPerBlock);
  }
  return *slot;
}

TUpsertDialect TPPStatements::UpsertDialect() {
  if (dialect_) return *dialect_;
  TUpsertDialect dialect = TUpsertDialect::None;
  const std::string name = connection_.DbmsName();
  if (name == "PostgreSQL") dialect = TUpsertDialect::PostgreSQL;
  if (name == "SQLite") dialect = TUpsertDialect::SQLite;
  if (dialect != TUpsertDialect::None) {
    try {
      connection_.ExecuteDirect(kUpsertProbe);
    } catch (const database::EDatabaseError&) {
      // An older database, or a result table without the key: rows go one by one.
      dialect = TUpsertDialect::None;
    }
  }
  dialect_ = dialect;
  return dialect;
}

database::TStatement& TPPStatements::Upsert(std::size_t rows, bool flags) {
  auto& slot = upserts_[{rows, flags}];
  if (!slot) slot = connection_.Prepare(UpsertSQL(rows, flags));
  return *slot;
}

database::TStatement& TPPStatements::UpsertArrays(bool flags) {
  auto& slot = upsertArrays_[flags ? 1 : 0];
  if (!slot) slot = connection_.Prepare(UpsertArraysSQL(flags));
  return *slot;
}

database::TStatement& TPPStatements::Insert() { return Prepared(insert_, InsertSQL); }

database::TStatement& TPPStatements::Update() { return Prepared(update_, UpdateSQL); }

database::TStatement& TPPStatements::TagExtremes() {
  if (!tagExtremes_) {
    tagExtremes_ = connection_.Prepare(TagExtremesSQL);
    tagExtremes_->ReadAsText("FIRST_TAG");
    tagExtremes_->ReadAsText("LAST_TAG");
  }
  return *tagExtremes_;
}

database::TStatement& TPPStatements::TagExtremesSlots() {
  if (!tagExtremesSlots_) {
    tagExtremesSlots_ = connection_.Prepare(TagExtremesSlotsSQL(kTagExtremesSlots));
    tagExtremesSlots_->BindColumns(
        {database::TColumnType::Double, database::TColumnType::Text, database::TColumnType::Text},
        kTagExtremesSlots);
  }
  return *tagExtremesSlots_;
}

}  // namespace vnpp::store
