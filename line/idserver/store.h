// The identity server's SQLite store: production orders, their identity pools (P2P identities
// and MAC lists), MAC ranges, and the installs.
//
// One Store is one connection; it is not thread-safe (the server uses it from its one worker
// thread; each admin command opens its own). Failures are return values; nothing throws.
// Several processes may open the same file: writers wait for each other up to the busy time-out.
#pragma once

#include <sqlite3.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "request.h"

namespace idserver {

// A MAC address as a 48-bit number, parsed from "AA:BB:CC:DD:EE:FF", "AA-BB-CC-DD-EE-FF" or
// "AABBCCDDEEFF" (any case). nullopt for anything else.
std::optional<uint64_t> ParseMac(const std::string& text);
// The canonical text "AA:BB:CC:DD:EE:FF".
std::string MacText(uint64_t mac);

struct OrderSummary {
    std::string name;
    int64_t pool_p2p = 0;
    int64_t pool_mac = 0;
    int64_t mac_ranges = 0;
    int64_t installs = 0;
    std::string created;
};

struct InstallRow {
    std::string time;  // UTC, ISO 8601
    std::string order_name;
    std::string type;
    std::string value;  // the identity installed (a MAC in canonical form)
    std::string content;
    std::string content2;
    std::string uuid;
    std::string last_ok_uuid;
};

class Store {
  public:
    Store() = default;
    ~Store();
    Store(const Store&) = delete;
    Store& operator=(const Store&) = delete;

    // Opens or creates the file and its tables (WAL journal, synchronous FULL: an answered
    // install is on disk). False with error() set on failure.
    bool Open(const std::string& path, int busy_timeout_ms = 5000);
    void Close();
    // Leaves WAL checkpoints to Checkpoint(), called by another connection, so that commits never
    // wait for one.
    bool DisableAutoCheckpoint();
    // Copies committed WAL frames into the database file without blocking writers.
    bool Checkpoint();
    const std::string& error() const { return error_; }

    // Admin operations. False with error() set on failure (an order that exists or is missing).
    bool CreateOrder(const std::string& name);
    bool ListOrders(std::vector<OrderSummary>& out);
    // Adds identities of `type` ("p2p_id" or "mac") to the order's pool, skipping duplicates;
    // MAC texts are stored in canonical form and a malformed one fails the whole import.
    // `added` is the number of new identities.
    bool ImportPool(const std::string& order, const std::string& type,
                    const std::vector<std::string>& values, int64_t& added);
    bool AddMacRange(const std::string& order, uint64_t first, uint64_t last);
    // Installs of one order, or of every order when `order` is empty, oldest first.
    bool ListInstalls(const std::string& order, std::vector<InstallRow>& out);

    // Runs a batch of installs in one transaction; answers[i] is the result name for
    // requests[i] ("" for accepted). When the store fails, the affected answers are "db_error".
    void InstallBatch(const std::vector<InstallRequest>& requests,
                      std::vector<std::string>& answers);

  private:
    bool Exec(const char* sql);
    bool Step(sqlite3_stmt* st);  // runs a statement without rows and resets it
    sqlite3_stmt* Prepare(const char* sql);
    bool OrderId(const std::string& name, int64_t& id);
    // One install inside the open transaction; false when SQLite failed.
    bool InstallOne(const InstallRequest& request, std::string& answer);
    bool Belongs(int64_t order_id, const std::string& type, const std::string& value,
                 bool& belongs);
    void Fail(const std::string& what);

    sqlite3* db_ = nullptr;
    std::string error_;
    struct Statements;
    Statements* st_ = nullptr;
};

}  // namespace idserver
