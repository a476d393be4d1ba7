// "VNPPSvc -check": everything a start of processing would meet, reported at once.
#pragma once

#include <ostream>
#include <string>
#include <vector>

namespace vnpp::host {

// Loads the configuration of programDir as a start of processing does, connects to its
// database and looks at what the service needs there and on disk. Every problem is one line
// on out, then one summary line. Returns 0 when there is none, else 1.
int RunCheck(const std::string& programDir, std::ostream& out);

// The columns of an index definition as PostgreSQL's pg_indexes writes it ("CREATE INDEX x ON
// public.t USING btree (a, b DESC)" gives A, B), upper case; empty when there are none.
std::vector<std::string> IndexDefinitionColumns(const std::string& definition);

}  // namespace vnpp::host
