// The command line of zq-idserver: serving, and the admin commands on its store.
#pragma once

#include <iosfwd>
#include <string>
#include <vector>

#include "store.h"

namespace idserver {

// Identities from a text or CSV file, each with its line number: the first field of every line
// (CSV quoting understood), with surrounding blanks removed; empty lines and lines starting with
// '#' are skipped (a line whose first field is blank gives an empty identity). False with `error`
// set when the file cannot be read.
bool ReadIdentityFile(const std::string& path, std::vector<ImportEntry>& out, std::string& error);

// The P2P keys of a pool file as stations install them: each identity cut after its last "="
// (stations send only that part). False, with `error` naming the line, when one is blank, is not
// 20 characters after its last "=", or is given twice: a key a station could never install.
bool PoolKeys(const std::vector<ImportEntry>& identities, std::vector<ImportEntry>& keys,
              std::string& error);

// One CSV field, quoted when it holds a comma, quotation mark or line break. A field that a
// spreadsheet would run as a formula (one starting with "=", "+", "-", "@", a tab or a carriage
// return) gets a leading apostrophe, so it is shown as text.
std::string CsvField(const std::string& value);

// Runs one command line (args without the program name); returns the process exit status.
// Output goes to `out`, messages to `err`. "serve" runs until SIGINT or SIGTERM.
int RunCommand(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);

}  // namespace idserver
