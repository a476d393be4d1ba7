// The statements of the post-process item and their texts, prepared once per connection.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>

#include "database/Odbc.h"

namespace vnpp::compute {

// Result row insert and update; both carry the same thirteen named parameters.
extern const char* const InsertSQL;
extern const char* const UpdateSQL;

// The readings of a sensor inside a window, oldest first. boundaryMode picks the inclusive
// ends (0: start only, 1: end only, 2: both); dataType 1 keeps only unflagged readings.
// Throws EPostProcError naming a boundaryMode outside 0..2.
std::string WindowSQL(std::int32_t boundaryMode, std::uint8_t dataType);
// The readings of a sensor before :ENDTIME, newest first; dataType as above.
std::string PreviousSQL(std::uint8_t dataType);

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
};

}  // namespace vnpp::compute
