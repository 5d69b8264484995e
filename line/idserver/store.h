// The identity server's store, in an SQLite file or a PostgreSQL database: production orders, their
// identity pools (P2P identities and MAC lists), MAC ranges, the installs with their senders, and
// the trail: every refused request and every voided install.
//
// One Store is one connection; it is not thread-safe (the server uses it from its one worker
// thread; each admin command opens its own). Failures are return values; nothing throws.
// Several processes may open the same store: on SQLite writers wait for each other up to the busy
// time-out; on PostgreSQL the database's unique constraints decide between servers, so of
// concurrent installs of one identity through any number of servers exactly one is accepted.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "db.h"
#include "request.h"

namespace idserver {

// A MAC address as a 48-bit number, parsed from "AA:BB:CC:DD:EE:FF", "AA-BB-CC-DD-EE-FF" or
// "AABBCCDDEEFF" (any case). nullopt for anything else.
std::optional<uint64_t> ParseMac(const std::string& text);
// The canonical text "AA:BB:CC:DD:EE:FF".
std::string MacText(uint64_t mac);

// True for a multicast address (the lowest bit of the first octet), which no unit may carry.
inline bool IsMulticastMac(uint64_t mac) {
    return (mac >> 40 & 1) != 0;
}

struct OrderSummary {
    std::string name;
    int64_t pool_p2p = 0;
    int64_t pool_mac = 0;
    int64_t mac_ranges = 0;
    int64_t installs = 0;
    std::string created;
    bool closed = false;
};

// One refused request of the trail.
struct RefusalRow {
    std::string time;    // UTC, ISO 8601 (set by the store)
    std::string reason;  // the result name answered
    std::string peer;    // the sender, "address:port"
    std::string order_name;
    std::string type;
    std::string content;  // for a malformed request, the start of the datagram (printable)
    std::string content2;
    std::string uuid;
};

// One voided install of the trail.
struct VoidRow {
    std::string time;  // when it was voided, UTC
    std::string order_name;
    std::string type;
    std::string value;
    std::string uuid;
    std::string installed;  // when it had been installed
    std::string peer;       // the station that had installed it
    std::string reason;
    bool reusable = false;
};

// The counts of one identity type of an order. `pool` counts listed identities and every address
// of the ranges; `voided` the identities whose install was voided and not installed again;
// `remaining` what stations may still install (voided ones count when they were made reusable).
struct TypeStatus {
    std::string type;
    int64_t pool = 0;
    int64_t installed = 0;
    int64_t voided = 0;
    int64_t remaining = 0;
};

struct OrderStatus {
    bool closed = false;
    std::vector<TypeStatus> types;  // "p2p_id", then "mac"
};

// An identity of an import file with the number of the file line it came from.
struct ImportEntry {
    std::string value;
    size_t line = 0;
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
    std::string peer;  // the sender, "address:port" ("" for installs recorded before senders were)
};

// The trail's row for a refused request.
RefusalRow RefusalOf(const InstallRequest& request, const std::string& reason);

class Store {
  public:
    Store() = default;
    ~Store();
    Store(const Store&) = delete;
    Store& operator=(const Store&) = delete;

    // Opens the store, creating it when `create` is set, and brings its tables up to date.
    // `path` is an SQLite file (WAL journal, synchronous FULL: an answered install is on disk)
    // or, when IsPostgres(path), a libpq connection text (the database must exist; its tables are
    // made only with `create`). Without `create`, a missing file, a database without the tables or
    // a file that is not an identity store fails. False with error() set on failure; unreachable()
    // then tells a connection that failed (a wrong text, a refused login, a missing database).
    bool Open(const std::string& path, int busy_timeout_ms = 5000, bool create = true);
    void Close();
    bool unreachable() const { return unreachable_; }
    bool postgres() const { return db_ && db_->dialect() == Dialect::kPostgres; }
    // Leaves WAL checkpoints to Checkpoint(), called by another connection, so that commits never
    // wait for one.
    // (SQLite only; true on PostgreSQL, which needs neither.)
    bool DisableAutoCheckpoint();
    // Copies committed WAL frames into the database file without blocking writers.
    bool Checkpoint();
    // The database underneath, for copying a store (migrate); nullptr when closed.
    Db* db() { return db_.get(); }
    const std::string& error() const { return error_; }

    // Admin operations. False with error() set on failure (an order that exists or is missing).
    bool CreateOrder(const std::string& name);
    bool ListOrders(std::vector<OrderSummary>& out);
    // A closed order refuses installs as if it did not exist; reopening undoes that.
    bool SetOrderClosed(const std::string& order, bool closed);
    bool Status(const std::string& order, OrderStatus& out);

    // Adds identities of `type` ("p2p_id" or "mac") to the order's pool, skipping those already
    // in it. Everything is checked first; the import is refused whole, with error() naming the
    // line of the first offending entry, when an identity is given twice in the entries, is in
    // another order's pool or (for MACs) is malformed, multicast, all-zero or in another order's
    // range. MAC texts are stored in canonical form. The rows are written in transactions of
    // `batch_rows`, so installs never wait long behind an import, and become visible together
    // with the last one: an import stopped at any point (even killed) leaves none of its rows
    // visible, and the next import removes them. One import runs at a time per store.
    // `added` is the number of new identities.
    bool ImportEntries(const std::string& order, const std::string& type,
                       const std::vector<ImportEntry>& entries, int64_t& added,
                       size_t batch_rows = 2000);
    // The same for identities numbered 1, 2, ... as lines.
    bool ImportPool(const std::string& order, const std::string& type,
                    const std::vector<std::string>& values, int64_t& added);
    // Refuses (error() says why) a range with a multicast or all-zero address in it, a first
    // address above the last, or one that overlaps a range of any order.
    bool AddMacRange(const std::string& order, uint64_t first, uint64_t last);
    // Installs of one order, or of every order when `order` is empty, oldest first.
    bool ListInstalls(const std::string& order, std::vector<InstallRow>& out);

    // Voids the install of `content` (a P2P key, or a MAC address in any form) in the order:
    // every identity the same request installed is released, recorded in the trail with `reason`,
    // and may be installed again only when `reusable`. `voided` lists the identities.
    bool Void(const std::string& order, const std::string& type, const std::string& content,
              const std::string& reason, bool reusable, std::vector<std::string>& voided);

    // Voided installs of one order, or of every order when `order` is empty, oldest first.
    bool ListVoids(const std::string& order, std::vector<VoidRow>& out);

    // Adds refused requests to the trail in one transaction.
    bool RecordRefusals(const std::vector<RefusalRow>& rows);
    // Refusals of one order, or all of them when `order` is empty, oldest first.
    bool ListRefusals(const std::string& order, std::vector<RefusalRow>& out);

    // Runs a batch of installs in one transaction; answers[i] is the result name for
    // requests[i] ("" for accepted). When the store fails, the affected answers are "db_error".
    // Every other refusal is added to the trail in the same transaction.
    void InstallBatch(const std::vector<InstallRequest>& requests,
                      std::vector<std::string>& answers);

  private:
    bool Exec(const std::string& sql) { return db_->Script(sql); }
    Result Run(const std::string& sql, const std::vector<Param>& params = {});
    // Starts a write transaction; on PostgreSQL it first locks `table` against other writers
    // where a check and its write must not be split by another store's (SQLite has one writer).
    bool BeginWrite(const char* table = nullptr);
    bool Fails(const std::string& what);  // rolls back, keeping error(); returns false
    // Runs `sql` with the order name (or '' for every order) as ?1 and turns each row into `out`
    // with read(result, row); false, with `what` in the error, when the query fails.
    template <typename Row, typename Read>
    bool ListByOrder(const char* sql, const std::string& order, const char* what,
                     std::vector<Row>& out, Read read);
    bool Migrate();
    // The order's id (-1 when there is none) and whether it is closed.
    bool OrderId(const std::string& name, int64_t& id, bool* closed = nullptr);
    bool NeedOrder(const std::string& name, int64_t& id);
    // One install inside the open transaction; false when the store failed (conflict_ tells a
    // failure that the same install may pass when tried again).
    bool InstallOne(const InstallRequest& request, std::string& answer);
    bool Belongs(int64_t order_id, const std::string& type, const std::string& value,
                 bool& belongs);
    bool AddRefusal(const RefusalRow& row);
    // Import steps: the checks, the claim of the store's one import, the removal of rows of
    // imports that were stopped, and the batched inserts.
    bool CheckImport(int64_t order_id, const std::string& type, std::vector<ImportEntry>& entries);
    bool ClaimImport(int64_t order_id, const std::string& type, int64_t& import_id);
    bool RemoveStoppedImports();
    bool WriteImport(int64_t order_id, const std::string& type,
                     const std::vector<ImportEntry>& entries, int64_t import_id, size_t batch_rows,
                     int64_t& added);
    void Fail(const std::string& what);

    std::unique_ptr<Db> db_;
    std::string error_;
    bool unreachable_ = false;
    bool conflict_ = false;
};

}  // namespace idserver
