// The command line of zq-idserver: serving, and the admin commands on its store.
#pragma once

#include <iosfwd>
#include <string>
#include <vector>

namespace idserver {

// Identities from a text or CSV file: the first field of every line (CSV quoting understood),
// with surrounding blanks removed; empty lines and lines starting with '#' are skipped.
// False with `error` set when the file cannot be read.
bool ReadIdentityFile(const std::string& path, std::vector<std::string>& out, std::string& error);

// The P2P keys of a pool file as stations install them: each identity cut after its last "="
// (stations send only that part). False, with `error` naming the entry, when one is blank, is not
// 20 characters after its last "=", or is given twice: a key a station could never install.
bool PoolKeys(const std::vector<std::string>& identities, std::vector<std::string>& keys,
              std::string& error);

// One CSV field, quoted when it holds a comma, quotation mark or line break.
std::string CsvField(const std::string& value);

// Runs one command line (args without the program name); returns the process exit status.
// Output goes to `out`, messages to `err`. "serve" runs until SIGINT or SIGTERM.
int RunCommand(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);

}  // namespace idserver
