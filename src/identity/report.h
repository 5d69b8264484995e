// Reporting an identity to the line's identity server, the way the key tab and the MAC address
// tab both do it, with the pending reports (records/record_store.h) that remember the request
// identifier of a report lost on the network.
//
// User-interface thread only (the record store is not shared between threads). Nothing throws.
// Texts are in the program's code page.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "identity/install.h"
#include "records/sql_database.h"

namespace identity {

// The server settings, as the application settings hold them (the enabled flag is decided
// when the configuration is read: a host that is empty or "127.0.0.1" means no server).
struct ServerSettings {
    std::string host;
    uint16_t port = 0;
    bool enabled = false;
    int timeout_ms = kServerTimeoutMs;  // how long a report waits for the reply
};

// One install report of a caller (a tab), which keeps `last_ok_uuid` for as long as it lives
// (empty at start).
//
// Disabled client: sends nothing and returns "" (counts as accepted). Otherwise the request
// identifier is the pending one of (order name, content), or a new one; the order name goes out
// in UTF-8. Accepted (""): the pending report is removed and `last_ok_uuid` becomes the request
// identifier. "net_error": the pending report is replaced by one with this identifier, so the
// next report of the same order and content goes out under it again; the replacement is one
// transaction, so a failed insert keeps the earlier row, and an identifier that no row holds
// then is kept in memory for the rest of the run (used as the pending one until it is stored
// by a later replacement or accepted). "uuid_reused" (the server holds the identifier for another
// request) removes the pending report, so the next report goes out under a new identifier. Any
// other result leaves the pending reports alone. Returns
// the result name of the install (see install.h); record-store failures are not reported. Blocks
// for up to `timeout_ms`.
std::string ReportInstall(CSqlDatabase& db, const ServerSettings& server, std::string& last_ok_uuid,
                          const std::string& type, const std::string& order_name,
                          const std::string& content, const std::optional<std::string>& content2,
                          int timeout_ms = kServerTimeoutMs);

}  // namespace identity
