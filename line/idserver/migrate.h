// Copying a line's store into another one: `zq-idserver migrate --from FILE.db --to
// postgresql://...` moves an SQLite store's orders with their pools, ranges, installs, request
// identifiers and voids, and the trail of refusals, into a shared PostgreSQL database.
#pragma once

#include <iosfwd>
#include <string>

#include "store.h"

namespace idserver {

enum class MigrateResult { kDone, kRefused, kFailed };

// Copies every order of `from` into `to` in one transaction of `to`. kRefused (nothing copied,
// `error` names the order) when `to` holds an order of the same name already; kFailed when a
// store fails or the counts read back from `to` differ from those of `from` (nothing is kept
// then). Pool rows of unfinished imports are left out. Prints one line per order copied.
MigrateResult MigrateStore(Store& from, Store& to, std::ostream& out, std::string& error);

}  // namespace idserver
