#include "store.h"

#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <map>
#include <set>

namespace idserver {

namespace {

const char* const kSchema =
    "CREATE TABLE IF NOT EXISTS orders("
    " id INTEGER PRIMARY KEY, name TEXT NOT NULL UNIQUE, created TEXT NOT NULL);"
    "CREATE TABLE IF NOT EXISTS pool("
    " order_id INTEGER NOT NULL REFERENCES orders(id), type TEXT NOT NULL, value TEXT NOT NULL,"
    " PRIMARY KEY(order_id, type, value)) WITHOUT ROWID;"
    "CREATE TABLE IF NOT EXISTS mac_ranges("
    " order_id INTEGER NOT NULL REFERENCES orders(id), first INTEGER NOT NULL,"
    " last INTEGER NOT NULL);"
    "CREATE INDEX IF NOT EXISTS mac_ranges_order ON mac_ranges(order_id, first);"
    "CREATE TABLE IF NOT EXISTS installs("
    " type TEXT NOT NULL, value TEXT NOT NULL, order_id INTEGER NOT NULL REFERENCES orders(id),"
    " uuid TEXT NOT NULL, last_ok_uuid TEXT NOT NULL, content TEXT NOT NULL, content2 TEXT,"
    " time TEXT NOT NULL, PRIMARY KEY(type, value)) WITHOUT ROWID;"
    "CREATE INDEX IF NOT EXISTS installs_order ON installs(order_id, time);";

// What the trail, the corrections and the batched imports add to the first tables. A pool row
// with `batch` 0 was added before imports were batched; any other row belongs to the import of
// that id and counts only once that import is "done".
const char* const kSchemaVersion1 =
    "ALTER TABLE orders ADD COLUMN closed INTEGER NOT NULL DEFAULT 0;"
    "ALTER TABLE pool ADD COLUMN batch INTEGER NOT NULL DEFAULT 0;"
    "ALTER TABLE installs ADD COLUMN peer TEXT NOT NULL DEFAULT '';"
    "CREATE INDEX pool_value ON pool(type, value);"
    "CREATE INDEX pool_batch ON pool(batch) WHERE batch != 0;"
    "CREATE TABLE imports("
    " id INTEGER PRIMARY KEY, order_id INTEGER NOT NULL REFERENCES orders(id), type TEXT NOT NULL,"
    " state TEXT NOT NULL, pid INTEGER NOT NULL, started TEXT NOT NULL,"
    " rows INTEGER NOT NULL DEFAULT 0);"
    "CREATE TABLE requests("
    " uuid TEXT PRIMARY KEY, order_id INTEGER NOT NULL, type TEXT NOT NULL, content TEXT NOT NULL,"
    " content2 TEXT) WITHOUT ROWID;"
    "INSERT OR IGNORE INTO requests SELECT uuid, order_id, type, content, content2 FROM installs;"
    "CREATE TABLE refusals("
    " id INTEGER PRIMARY KEY, time TEXT NOT NULL, reason TEXT NOT NULL, peer TEXT NOT NULL,"
    " order_name TEXT NOT NULL, type TEXT NOT NULL, content TEXT NOT NULL,"
    " content2 TEXT NOT NULL, uuid TEXT NOT NULL);"
    "CREATE INDEX refusals_order ON refusals(order_name, id);"
    "CREATE TABLE voids("
    " id INTEGER PRIMARY KEY, time TEXT NOT NULL, order_id INTEGER NOT NULL REFERENCES orders(id),"
    " type TEXT NOT NULL, value TEXT NOT NULL, uuid TEXT NOT NULL, content TEXT NOT NULL,"
    " content2 TEXT, installed TEXT NOT NULL, peer TEXT NOT NULL, reason TEXT NOT NULL,"
    " reusable INTEGER NOT NULL);"
    "CREATE INDEX voids_value ON voids(type, value, id);"
    "PRAGMA user_version = 1;";

// The pause between two transactions of an import.
constexpr useconds_t kImportPauseUs = 3000;

const char* const kNow = "strftime('%Y-%m-%dT%H:%M:%fZ','now')";

// A pool row `p` that counts: not part of an import still running or stopped on the way.
#define ZQ_VISIBLE \
    "(p.batch = 0 OR EXISTS (SELECT 1 FROM imports i WHERE i.id = p.batch AND i.state = 'done'))"

bool ProcessAlive(int64_t pid) {
    return pid > 0 && (kill(static_cast<pid_t>(pid), 0) == 0 || errno == EPERM);
}

// Resets a statement when leaving a scope, so every path leaves it reusable.
struct Reset {
    sqlite3_stmt* st;
    ~Reset() {
        sqlite3_reset(st);
        sqlite3_clear_bindings(st);
    }
};

void Bind(sqlite3_stmt* st, int i, const std::string& text) {
    sqlite3_bind_text(st, i, text.data(), static_cast<int>(text.size()), SQLITE_TRANSIENT);
}

std::string Column(sqlite3_stmt* st, int i) {
    const unsigned char* text = sqlite3_column_text(st, i);
    if (text == nullptr)
        return {};
    return std::string(reinterpret_cast<const char*>(text),
                       static_cast<size_t>(sqlite3_column_bytes(st, i)));
}

int HexDigit(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return -1;
}

// The identities one request claims: the content (for MACs "ETH" or "ETH+WIFI") and content2.
std::vector<std::string> Claims(const InstallRequest& request) {
    std::vector<std::string> parts;
    if (request.type == "mac") {
        size_t start = 0;
        while (true) {
            size_t plus = request.content.find('+', start);
            parts.push_back(request.content.substr(start, plus - start));
            if (plus == std::string::npos)
                break;
            start = plus + 1;
        }
    } else {
        parts.push_back(request.content);
    }
    if (request.content2)
        parts.push_back(*request.content2);
    return parts;
}

}  // namespace

std::optional<uint64_t> ParseMac(const std::string& text) {
    std::string hex;
    if (text.size() == 17) {
        char sep = text[2];
        if (sep != ':' && sep != '-')
            return std::nullopt;
        for (size_t i = 0; i < 17; ++i) {
            if (i % 3 == 2) {
                if (text[i] != sep)
                    return std::nullopt;
            } else {
                hex += text[i];
            }
        }
    } else if (text.size() == 12) {
        hex = text;
    } else {
        return std::nullopt;
    }
    uint64_t mac = 0;
    for (char c : hex) {
        int d = HexDigit(c);
        if (d < 0)
            return std::nullopt;
        mac = mac << 4 | static_cast<uint64_t>(d);
    }
    return mac;
}

std::string MacText(uint64_t mac) {
    char text[18];
    std::snprintf(text, sizeof text, "%02X:%02X:%02X:%02X:%02X:%02X",
                  static_cast<unsigned>(mac >> 40 & 0xFF), static_cast<unsigned>(mac >> 32 & 0xFF),
                  static_cast<unsigned>(mac >> 24 & 0xFF), static_cast<unsigned>(mac >> 16 & 0xFF),
                  static_cast<unsigned>(mac >> 8 & 0xFF), static_cast<unsigned>(mac & 0xFF));
    return text;
}

struct Store::Statements {
    sqlite3_stmt* order_id = nullptr;
    sqlite3_stmt* pool_has = nullptr;
    sqlite3_stmt* range_has = nullptr;
    sqlite3_stmt* install_get = nullptr;
    sqlite3_stmt* install_put = nullptr;
    sqlite3_stmt* request_get = nullptr;
    sqlite3_stmt* request_put = nullptr;
    sqlite3_stmt* void_get = nullptr;
    sqlite3_stmt* refusal_put = nullptr;
    sqlite3_stmt* begin = nullptr;
    sqlite3_stmt* commit = nullptr;
    sqlite3_stmt* rollback = nullptr;
    sqlite3_stmt* savepoint = nullptr;
    sqlite3_stmt* release = nullptr;
    sqlite3_stmt* rollback_to = nullptr;
    ~Statements() {
        for (sqlite3_stmt* st :
             {order_id, pool_has, range_has, install_get, install_put, request_get, request_put,
              void_get, refusal_put, begin, commit, rollback, savepoint, release, rollback_to})
            sqlite3_finalize(st);
    }
};

Store::~Store() {
    Close();
}

void Store::Close() {
    delete st_;
    st_ = nullptr;
    if (db_)
        sqlite3_close(db_);
    db_ = nullptr;
}

void Store::Fail(const std::string& what) {
    error_ = what;
    if (db_) {
        error_ += ": ";
        error_ += sqlite3_errmsg(db_);
    }
}

bool Store::Exec(const char* sql) {
    char* message = nullptr;
    if (sqlite3_exec(db_, sql, nullptr, nullptr, &message) == SQLITE_OK)
        return true;
    error_ = message ? message : sqlite3_errmsg(db_);
    sqlite3_free(message);
    return false;
}

bool Store::Step(sqlite3_stmt* st) {
    int rc = sqlite3_step(st);
    sqlite3_reset(st);
    return rc == SQLITE_DONE;
}

sqlite3_stmt* Store::Prepare(const char* sql) {
    sqlite3_stmt* st = nullptr;
    if (sqlite3_prepare_v2(db_, sql, -1, &st, nullptr) != SQLITE_OK) {
        Fail("prepare");
        sqlite3_finalize(st);
        return nullptr;
    }
    return st;
}

bool Store::Open(const std::string& path, int busy_timeout_ms, bool create) {
    Close();
    int flags = SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX | (create ? SQLITE_OPEN_CREATE : 0);
    if (sqlite3_open_v2(path.c_str(), &db_, flags, nullptr) != SQLITE_OK) {
        error_ = create ? "cannot open " + path + ": " + sqlite3_errmsg(db_)
                        : "no store " + path +
                              " (create-order or serve --create makes one; --db names it)";
        Close();
        return false;
    }
    busy_timeout_ms_ = busy_timeout_ms;
    sqlite3_busy_handler(db_, &Store::BusyWait, this);
    sqlite3_extended_result_codes(db_, 1);
    if (!create) {
        // Checked before anything is written, so another SQLite file stays untouched.
        sqlite3_stmt* st = Prepare("SELECT 1 FROM sqlite_master WHERE name = 'orders'");
        bool store = st && sqlite3_step(st) == SQLITE_ROW;
        sqlite3_finalize(st);
        if (!store) {
            error_ = path + " is not a zq-idserver store";
            Close();
            return false;
        }
    }
    if (!Exec("PRAGMA journal_mode=WAL;") || !Exec("PRAGMA synchronous=FULL;") ||
        !Exec("PRAGMA foreign_keys=ON;") || !Exec(kSchema) || !Migrate()) {
        error_ = path + ": " + error_;
        Close();
        return false;
    }
    st_ = new Statements;
    const std::string put = std::string(
                                "INSERT INTO installs(type, value, order_id, uuid, last_ok_uuid, "
                                "content, content2, peer, time) VALUES(?1, ?2, ?3, ?4, ?5, ?6, ?7, "
                                "?8, ") +
                            kNow + ")";
    const std::string refusal_put =
        std::string(
            "INSERT INTO refusals(reason, peer, order_name, type, content, content2, uuid, time) "
            "VALUES(?1, ?2, ?3, ?4, ?5, ?6, ?7, ") +
        kNow + ")";
    if (!(st_->order_id = Prepare("SELECT id, closed FROM orders WHERE name = ?1")) ||
        !(st_->pool_has = Prepare("SELECT 1 FROM pool p WHERE order_id = ?1 AND type = ?2 AND "
                                  "value = ?3 AND " ZQ_VISIBLE)) ||
        !(st_->range_has = Prepare("SELECT 1 FROM mac_ranges WHERE order_id = ?1 AND "
                                   "first <= ?2 AND last >= ?2 LIMIT 1")) ||
        !(st_->install_get = Prepare("SELECT uuid FROM installs WHERE type = ?1 AND value = ?2")) ||
        !(st_->install_put = Prepare(put.c_str())) ||
        !(st_->request_get =
              Prepare("SELECT order_id, type, content, content2 FROM requests WHERE uuid = ?1")) ||
        !(st_->request_put = Prepare("INSERT OR IGNORE INTO requests(uuid, order_id, type, "
                                     "content, content2) VALUES(?1, ?2, ?3, ?4, ?5)")) ||
        !(st_->void_get = Prepare("SELECT reusable FROM voids WHERE type = ?1 AND value = ?2 "
                                  "ORDER BY id DESC LIMIT 1")) ||
        !(st_->refusal_put = Prepare(refusal_put.c_str())) ||
        !(st_->begin = Prepare("BEGIN IMMEDIATE")) || !(st_->commit = Prepare("COMMIT")) ||
        !(st_->rollback = Prepare("ROLLBACK")) || !(st_->savepoint = Prepare("SAVEPOINT one")) ||
        !(st_->release = Prepare("RELEASE one")) ||
        !(st_->rollback_to = Prepare("ROLLBACK TO one"))) {
        Close();
        return false;
    }
    return true;
}

int Store::BusyWait(void* store, int count) {
    Store* self = static_cast<Store*>(store);
    const auto now = std::chrono::steady_clock::now();
    if (count == 0)
        self->busy_since_ = now;
    if (now - self->busy_since_ >= std::chrono::milliseconds(self->busy_timeout_ms_))
        return 0;
    usleep(1000);
    return 1;
}

bool Store::Migrate() {
    auto version = [&](int64_t& v) {
        sqlite3_stmt* st = Prepare("PRAGMA user_version");
        bool ok = st && sqlite3_step(st) == SQLITE_ROW;
        v = ok ? sqlite3_column_int64(st, 0) : -1;
        sqlite3_finalize(st);
        return ok;
    };
    int64_t v = -1;
    if (!version(v))
        return false;
    if (v >= 1)
        return true;
    // Another process may be bringing the same file up to date: decide inside the transaction.
    if (!Exec("BEGIN IMMEDIATE"))
        return false;
    if (!version(v) || (v < 1 && !Exec(kSchemaVersion1)) || !Exec("COMMIT")) {
        std::string why = error_;
        Exec("ROLLBACK");
        error_ = why;
        return false;
    }
    return true;
}

bool Store::DisableAutoCheckpoint() {
    return db_ && Exec("PRAGMA wal_autocheckpoint=0;");
}

bool Store::Checkpoint() {
    return db_ && sqlite3_wal_checkpoint_v2(db_, nullptr, SQLITE_CHECKPOINT_PASSIVE, nullptr,
                                            nullptr) == SQLITE_OK;
}

bool Store::OrderId(const std::string& name, int64_t& id, bool* closed) {
    sqlite3_stmt* st = st_->order_id;
    Reset reset{st};
    Bind(st, 1, name);
    int rc = sqlite3_step(st);
    if (rc == SQLITE_ROW) {
        id = sqlite3_column_int64(st, 0);
        if (closed)
            *closed = sqlite3_column_int64(st, 1) != 0;
        return true;
    }
    id = -1;
    if (rc == SQLITE_DONE)
        return true;
    Fail("order lookup");
    return false;
}

bool Store::NeedOrder(const std::string& name, int64_t& id) {
    if (!OrderId(name, id))
        return false;
    if (id >= 0)
        return true;
    error_ = "no order \"" + name + "\"";
    return false;
}

bool Store::CreateOrder(const std::string& name) {
    if (!db_)
        return false;
    if (name.empty()) {
        error_ = "an order needs a name";
        return false;
    }
    sqlite3_stmt* st = Prepare(
        (std::string("INSERT INTO orders(name, created) VALUES(?1, ") + kNow + ")").c_str());
    if (!st)
        return false;
    Bind(st, 1, name);
    int rc = sqlite3_step(st);
    sqlite3_finalize(st);
    if (rc == SQLITE_DONE)
        return true;
    if (rc == SQLITE_CONSTRAINT_UNIQUE) {
        error_ = "order \"" + name + "\" exists already";
        return false;
    }
    Fail("create order");
    return false;
}

bool Store::ListOrders(std::vector<OrderSummary>& out) {
    out.clear();
    if (!db_)
        return false;
    sqlite3_stmt* st = Prepare(
        "SELECT name, created,"
        " (SELECT count(*) FROM pool p WHERE order_id = o.id AND type = 'p2p_id' AND " ZQ_VISIBLE
        "),"
        " (SELECT count(*) FROM pool p WHERE order_id = o.id AND type = 'mac' AND " ZQ_VISIBLE
        "),"
        " (SELECT count(*) FROM mac_ranges WHERE order_id = o.id),"
        " (SELECT count(*) FROM installs WHERE order_id = o.id), closed"
        " FROM orders o ORDER BY id");
    if (!st)
        return false;
    int rc;
    while ((rc = sqlite3_step(st)) == SQLITE_ROW) {
        OrderSummary s;
        s.name = Column(st, 0);
        s.created = Column(st, 1);
        s.pool_p2p = sqlite3_column_int64(st, 2);
        s.pool_mac = sqlite3_column_int64(st, 3);
        s.mac_ranges = sqlite3_column_int64(st, 4);
        s.installs = sqlite3_column_int64(st, 5);
        s.closed = sqlite3_column_int64(st, 6) != 0;
        out.push_back(std::move(s));
    }
    sqlite3_finalize(st);
    if (rc == SQLITE_DONE)
        return true;
    Fail("list orders");
    return false;
}

bool Store::SetOrderClosed(const std::string& order, bool closed) {
    if (!db_)
        return false;
    sqlite3_stmt* st = Prepare("UPDATE orders SET closed = ?1 WHERE name = ?2");
    if (!st)
        return false;
    sqlite3_bind_int(st, 1, closed ? 1 : 0);
    Bind(st, 2, order);
    int rc = sqlite3_step(st);
    sqlite3_finalize(st);
    if (rc != SQLITE_DONE) {
        Fail(closed ? "close order" : "reopen order");
        return false;
    }
    if (sqlite3_changes(db_) == 0) {
        error_ = "no order \"" + order + "\"";
        return false;
    }
    return true;
}

bool Store::Status(const std::string& order, OrderStatus& out) {
    out = OrderStatus{};
    if (!db_)
        return false;
    int64_t id = -1;
    if (!OrderId(order, id, &out.closed))
        return false;
    if (id < 0) {
        error_ = "no order \"" + order + "\"";
        return false;
    }
    // One read transaction, so that the counts agree with each other.
    if (!Exec("BEGIN"))
        return false;
    bool ok = true;
    auto count = [&](const char* sql, const std::string& type, int column = 0) -> int64_t {
        sqlite3_stmt* st = ok ? Prepare(sql) : nullptr;
        if (!st) {
            ok = false;
            return 0;
        }
        sqlite3_bind_int64(st, 1, id);
        Bind(st, 2, type);
        int64_t n = 0;
        if (sqlite3_step(st) == SQLITE_ROW)
            n = sqlite3_column_int64(st, column);
        else
            ok = false;
        sqlite3_finalize(st);
        return n;
    };
    const char* const kVoided =
        "SELECT count(*), ifnull(sum(v.reusable), 0) FROM voids v WHERE v.order_id = ?1 AND"
        " v.type = ?2 AND v.id = (SELECT max(id) FROM voids w WHERE w.type = v.type AND"
        " w.value = v.value) AND NOT EXISTS (SELECT 1 FROM installs i WHERE i.type = v.type AND"
        " i.value = v.value)";
    for (const char* type : {"p2p_id", "mac"}) {
        TypeStatus t;
        t.type = type;
        t.pool = count(
            "SELECT count(*) FROM pool p WHERE order_id = ?1 AND type = ?2 AND " ZQ_VISIBLE, type);
        if (t.type == "mac" && ok) {
            // Every address of the ranges, plus the listed ones that no range holds.
            std::vector<std::pair<uint64_t, uint64_t>> ranges;
            sqlite3_stmt* st = Prepare("SELECT first, last FROM mac_ranges WHERE order_id = ?1");
            ok = st != nullptr;
            if (st) {
                sqlite3_bind_int64(st, 1, id);
                while (sqlite3_step(st) == SQLITE_ROW) {
                    ranges.emplace_back(static_cast<uint64_t>(sqlite3_column_int64(st, 0)),
                                        static_cast<uint64_t>(sqlite3_column_int64(st, 1)));
                    t.pool += sqlite3_column_int64(st, 1) - sqlite3_column_int64(st, 0) + 1;
                }
                sqlite3_finalize(st);
            }
            st = ok ? Prepare(
                          "SELECT value FROM pool p WHERE order_id = ?1 AND type = 'mac' "
                          "AND " ZQ_VISIBLE)
                    : nullptr;
            ok = st != nullptr;
            if (st) {
                sqlite3_bind_int64(st, 1, id);
                while (sqlite3_step(st) == SQLITE_ROW) {
                    const uint64_t mac = ParseMac(Column(st, 0)).value_or(0);
                    t.pool -= std::any_of(ranges.begin(), ranges.end(), [&](const auto& r) {
                        return r.first <= mac && mac <= r.second;
                    });
                }
                sqlite3_finalize(st);
            }
        }
        t.installed =
            count("SELECT count(*) FROM installs WHERE order_id = ?1 AND type = ?2", type);
        t.voided = count(kVoided, type);
        const int64_t reusable = count(kVoided, type, 1);
        t.remaining = std::max<int64_t>(0, t.pool - t.installed - t.voided + reusable);
        out.types.push_back(t);
    }
    Exec("COMMIT");
    if (!ok)
        Fail("order status");
    return ok;
}

bool Store::ImportPool(const std::string& order, const std::string& type,
                       const std::vector<std::string>& values, int64_t& added) {
    std::vector<ImportEntry> entries;
    for (size_t i = 0; i < values.size(); ++i)
        entries.push_back({values[i], i + 1});
    return ImportEntries(order, type, entries, added);
}

bool Store::ImportEntries(const std::string& order, const std::string& type,
                          const std::vector<ImportEntry>& entries, int64_t& added,
                          size_t batch_rows) {
    added = 0;
    if (!db_)
        return false;
    if (type != "p2p_id" && type != "mac") {
        error_ = "unknown identity type \"" + type + "\"";
        return false;
    }
    int64_t id = -1;
    if (!NeedOrder(order, id))
        return false;
    int64_t import_id = -1;
    if (!ClaimImport(id, type, import_id))
        return false;
    std::vector<ImportEntry> checked = entries;
    bool ok = RemoveStoppedImports() && CheckImport(id, type, checked) &&
              WriteImport(id, type, checked, import_id, batch_rows == 0 ? 1 : batch_rows, added);
    if (ok)
        return true;
    // Nothing of a refused or failed import becomes visible; its rows go now, or with the next
    // import when the store still fails.
    added = 0;
    const std::string why = error_;
    sqlite3_stmt* st = Prepare("UPDATE imports SET state = 'stopped' WHERE id = ?1");
    if (st) {
        sqlite3_bind_int64(st, 1, import_id);
        sqlite3_step(st);
        sqlite3_finalize(st);
    }
    RemoveStoppedImports();
    error_ = why;
    return false;
}

bool Store::ClaimImport(int64_t order_id, const std::string& type, int64_t& import_id) {
    if (!Exec("BEGIN IMMEDIATE"))
        return false;
    bool ok = true;
    sqlite3_stmt* st = Prepare("SELECT id, pid FROM imports WHERE state = 'running'");
    std::vector<int64_t> stopped;
    ok = st != nullptr;
    while (ok && sqlite3_step(st) == SQLITE_ROW) {
        const int64_t pid = sqlite3_column_int64(st, 1);
        if (ProcessAlive(pid)) {
            error_ = "another import is running (process " + std::to_string(pid) +
                     "); try again when it has finished";
            ok = false;
        } else {
            stopped.push_back(sqlite3_column_int64(st, 0));
        }
    }
    sqlite3_finalize(st);
    for (int64_t stop : stopped) {
        if (!ok)
            break;
        st = Prepare("UPDATE imports SET state = 'stopped' WHERE id = ?1");
        ok = st != nullptr;
        if (ok) {
            sqlite3_bind_int64(st, 1, stop);
            ok = sqlite3_step(st) == SQLITE_DONE;
            sqlite3_finalize(st);
        }
    }
    if (ok) {
        st = Prepare((std::string("INSERT INTO imports(order_id, type, state, pid, started) VALUES("
                                  "?1, ?2, 'running', ?3, ") +
                      kNow + ")")
                         .c_str());
        ok = st != nullptr;
        if (ok) {
            sqlite3_bind_int64(st, 1, order_id);
            Bind(st, 2, type);
            sqlite3_bind_int64(st, 3, getpid());
            ok = sqlite3_step(st) == SQLITE_DONE;
            if (!ok)
                Fail("start import");
            sqlite3_finalize(st);
            import_id = sqlite3_last_insert_rowid(db_);
        }
    }
    if (ok && Exec("COMMIT"))
        return true;
    const std::string why = error_;
    Exec("ROLLBACK");
    error_ = why;
    return false;
}

bool Store::RemoveStoppedImports() {
    std::vector<int64_t> stopped;
    sqlite3_stmt* st = Prepare("SELECT id FROM imports WHERE state = 'stopped'");
    if (!st)
        return false;
    while (sqlite3_step(st) == SQLITE_ROW)
        stopped.push_back(sqlite3_column_int64(st, 0));
    sqlite3_finalize(st);
    sqlite3_stmt* remove = Prepare(
        "DELETE FROM pool WHERE (order_id, type, value) IN (SELECT order_id, type, value"
        " FROM pool WHERE batch = ?1 LIMIT 2000)");
    sqlite3_stmt* done = Prepare("UPDATE imports SET state = 'removed' WHERE id = ?1");
    bool ok = remove && done;
    for (int64_t id : stopped) {
        // In short transactions, so that installs do not wait behind a large removal.
        int changed = 1;
        while (ok && changed > 0) {
            ok = Exec("BEGIN IMMEDIATE");
            sqlite3_bind_int64(remove, 1, id);
            ok = ok && Step(remove);
            changed = sqlite3_changes(db_);
            if (ok && changed == 0) {
                sqlite3_bind_int64(done, 1, id);
                ok = Step(done);
            }
            ok = ok && Exec("COMMIT");
            if (!ok) {
                Fail("remove a stopped import");
                const std::string why = error_;
                Exec("ROLLBACK");
                error_ = why;
            }
            usleep(kImportPauseUs);
        }
    }
    sqlite3_finalize(remove);
    sqlite3_finalize(done);
    return ok;
}

bool Store::CheckImport(int64_t order_id, const std::string& type,
                        std::vector<ImportEntry>& entries) {
    // Messages quote each line's identity as written.
    std::vector<std::string> written;
    for (const ImportEntry& e : entries)
        written.push_back(Printable(e.value, 80));
    auto at = [&](const ImportEntry& e) {
        return "line " + std::to_string(e.line) + " \"" + written[&e - entries.data()] + "\"";
    };
    std::map<std::string, size_t> seen;
    for (ImportEntry& e : entries) {
        if (type == "mac") {
            std::optional<uint64_t> mac = ParseMac(e.value);
            if (!mac) {
                error_ = at(e) + ": not a MAC address";
                return false;
            }
            if (*mac == 0 || IsMulticastMac(*mac)) {
                error_ = at(e) + (*mac == 0 ? ": the all-zero address" : ": a multicast address") +
                         " is no unit's address";
                return false;
            }
            e.value = MacText(*mac);
        }
        auto [first, fresh] = seen.emplace(e.value, e.line);
        if (!fresh) {
            error_ = at(e) + ": given twice (first on line " + std::to_string(first->second) + ")";
            return false;
        }
    }
    // Reads only: the server goes on answering meanwhile.
    sqlite3_stmt* other_pool = Prepare(
        "SELECT o.name FROM pool p JOIN orders o ON o.id = p.order_id WHERE p.type = ?1"
        " AND p.value = ?2 AND p.order_id != ?3 AND " ZQ_VISIBLE " LIMIT 1");
    sqlite3_stmt* other_range = Prepare(
        "SELECT o.name FROM mac_ranges r JOIN orders o ON o.id = r.order_id WHERE"
        " r.order_id != ?1 AND r.first <= ?2 AND r.last >= ?2 LIMIT 1");
    const bool began = other_pool && other_range && Exec("BEGIN");
    bool ok = began;
    for (size_t i = 0; ok && i < entries.size(); ++i) {
        const ImportEntry& e = entries[i];
        Bind(other_pool, 1, type);
        Bind(other_pool, 2, e.value);
        sqlite3_bind_int64(other_pool, 3, order_id);
        int rc = sqlite3_step(other_pool);
        if (rc == SQLITE_ROW)
            error_ = at(e) + ": already in the pool of order \"" + Column(other_pool, 0) + "\"";
        else if (rc != SQLITE_DONE)
            Fail("check import");
        sqlite3_reset(other_pool);
        ok = rc == SQLITE_DONE;
        if (ok && type == "mac") {
            sqlite3_bind_int64(other_range, 1, order_id);
            sqlite3_bind_int64(other_range, 2, static_cast<int64_t>(*ParseMac(e.value)));
            rc = sqlite3_step(other_range);
            if (rc == SQLITE_ROW)
                error_ = at(e) + ": in a MAC range of order \"" + Column(other_range, 0) + "\"";
            else if (rc != SQLITE_DONE)
                Fail("check import");
            sqlite3_reset(other_range);
            ok = rc == SQLITE_DONE;
        }
    }
    if (began)
        Exec("COMMIT");
    sqlite3_finalize(other_pool);
    sqlite3_finalize(other_range);
    return ok;
}

bool Store::WriteImport(int64_t order_id, const std::string& type,
                        const std::vector<ImportEntry>& entries, int64_t import_id,
                        size_t batch_rows, int64_t& added) {
    sqlite3_stmt* st =
        Prepare("INSERT OR IGNORE INTO pool(order_id, type, value, batch) VALUES(?1, ?2, ?3, ?4)");
    if (!st)
        return false;
    bool ok = true;
    for (size_t begin = 0; ok && begin < entries.size(); begin += batch_rows) {
        ok = Exec("BEGIN IMMEDIATE");
        const size_t end = std::min(entries.size(), begin + batch_rows);
        for (size_t i = begin; ok && i < end; ++i) {
            sqlite3_bind_int64(st, 1, order_id);
            Bind(st, 2, type);
            Bind(st, 3, entries[i].value);
            sqlite3_bind_int64(st, 4, import_id);
            ok = Step(st);
            if (ok)
                added += sqlite3_changes(db_);
            else
                Fail("import");
        }
        if (ok && !Exec("COMMIT"))
            ok = false;
        // A gap in which a waiting install takes the lock (it tries every millisecond).
        if (ok)
            usleep(kImportPauseUs);
    }
    sqlite3_finalize(st);
    if (ok) {
        // The one write that makes the whole import count.
        st = Prepare("UPDATE imports SET state = 'done', rows = ?2 WHERE id = ?1");
        if (!st)
            return false;
        sqlite3_bind_int64(st, 1, import_id);
        sqlite3_bind_int64(st, 2, added);
        ok = sqlite3_step(st) == SQLITE_DONE;
        sqlite3_finalize(st);
        if (!ok)
            Fail("finish import");
    } else {
        const std::string why = error_;
        Exec("ROLLBACK");
        error_ = why;
    }
    return ok;
}

bool Store::AddMacRange(const std::string& order, uint64_t first, uint64_t last) {
    if (!db_)
        return false;
    if (first > last) {
        error_ = "the range's last address " + MacText(last) + " comes before its first " +
                 MacText(first);
        return false;
    }
    if (first == 0) {
        error_ = "the range holds the all-zero address, which is no unit's address";
        return false;
    }
    if (IsMulticastMac(first) || IsMulticastMac(last) || first >> 40 != last >> 40) {
        error_ = "the range " + MacText(first) + " - " + MacText(last) +
                 " holds multicast addresses (an odd first octet), which are no unit's address";
        return false;
    }
    if (!Exec("BEGIN IMMEDIATE"))
        return false;
    int64_t id = -1;
    bool ok = NeedOrder(order, id);
    sqlite3_stmt* st =
        ok ? Prepare(
                 "SELECT o.name, r.first, r.last FROM mac_ranges r JOIN orders o ON o.id ="
                 " r.order_id WHERE r.first <= ?2 AND r.last >= ?1 ORDER BY r.first LIMIT 1")
           : nullptr;
    if (st) {
        sqlite3_bind_int64(st, 1, static_cast<int64_t>(first));
        sqlite3_bind_int64(st, 2, static_cast<int64_t>(last));
        int rc = sqlite3_step(st);
        if (rc == SQLITE_ROW) {
            error_ = "the range overlaps " +
                     MacText(static_cast<uint64_t>(sqlite3_column_int64(st, 1))) + " - " +
                     MacText(static_cast<uint64_t>(sqlite3_column_int64(st, 2))) + " of order \"" +
                     Column(st, 0) + "\"";
            ok = false;
        } else if (rc != SQLITE_DONE) {
            Fail("add MAC range");
            ok = false;
        }
        sqlite3_finalize(st);
    }
    ok = ok && st;
    st = ok ? Prepare("INSERT INTO mac_ranges(order_id, first, last) VALUES(?1, ?2, ?3)") : nullptr;
    if (st) {
        sqlite3_bind_int64(st, 1, id);
        sqlite3_bind_int64(st, 2, static_cast<int64_t>(first));
        sqlite3_bind_int64(st, 3, static_cast<int64_t>(last));
        ok = sqlite3_step(st) == SQLITE_DONE;
        if (!ok)
            Fail("add MAC range");
        sqlite3_finalize(st);
    }
    if (ok && st && Exec("COMMIT"))
        return true;
    const std::string why = error_;
    Exec("ROLLBACK");
    error_ = why;
    return false;
}

template <typename Row, typename Read>
bool Store::ListByOrder(const char* sql, const std::string& order, const char* what,
                        std::vector<Row>& out, Read read) {
    out.clear();
    if (!db_)
        return false;
    sqlite3_stmt* st = Prepare(sql);
    if (!st)
        return false;
    Bind(st, 1, order);
    int rc;
    while ((rc = sqlite3_step(st)) == SQLITE_ROW)
        out.push_back(read(st));
    sqlite3_finalize(st);
    if (rc == SQLITE_DONE)
        return true;
    Fail(what);
    return false;
}

bool Store::ListInstalls(const std::string& order, std::vector<InstallRow>& out) {
    return ListByOrder(
        "SELECT i.time, o.name, i.type, i.value, i.content, ifnull(i.content2, ''), i.uuid,"
        " i.last_ok_uuid, i.peer FROM installs i JOIN orders o ON o.id = i.order_id"
        " WHERE ?1 = '' OR o.name = ?1 ORDER BY i.time, o.name, i.type, i.value",
        order, "list installs", out, [](sqlite3_stmt* st) {
            InstallRow row;
            row.time = Column(st, 0);
            row.order_name = Column(st, 1);
            row.type = Column(st, 2);
            row.value = Column(st, 3);
            row.content = Column(st, 4);
            row.content2 = Column(st, 5);
            row.uuid = Column(st, 6);
            row.last_ok_uuid = Column(st, 7);
            row.peer = Column(st, 8);
            return row;
        });
}

bool Store::Void(const std::string& order, const std::string& type, const std::string& content,
                 const std::string& reason, bool reusable, std::vector<std::string>& voided) {
    voided.clear();
    if (!db_)
        return false;
    if (reason.empty()) {
        error_ = "a void needs a reason";
        return false;
    }
    std::string value = content;
    if (type == "mac") {
        std::optional<uint64_t> mac = ParseMac(content.substr(0, content.find('+')));
        if (!mac) {
            error_ = "not a MAC address: \"" + content + "\"";
            return false;
        }
        value = MacText(*mac);
    } else if (type != "p2p_id") {
        error_ = "unknown identity type \"" + type + "\"";
        return false;
    }
    if (!Exec("BEGIN IMMEDIATE"))
        return false;
    int64_t id = -1;
    bool ok = NeedOrder(order, id);
    std::string uuid;
    if (ok) {
        sqlite3_stmt* st =
            Prepare("SELECT uuid FROM installs WHERE type = ?1 AND value = ?2 AND order_id = ?3");
        ok = st != nullptr;
        if (ok) {
            Bind(st, 1, type);
            Bind(st, 2, value);
            sqlite3_bind_int64(st, 3, id);
            int rc = sqlite3_step(st);
            if (rc == SQLITE_ROW) {
                uuid = Column(st, 0);
            } else {
                ok = false;
                if (rc == SQLITE_DONE)
                    error_ = value + " is not installed in order \"" + order + "\"";
                else
                    Fail("void");
            }
            sqlite3_finalize(st);
        }
    }
    // Every identity of the unit's request goes: a scrapped unit releases all of them.
    const char* const kSteps[] = {
        "SELECT value FROM installs WHERE order_id = ?1 AND type = ?2 AND uuid = ?3 ORDER BY value",
        "INSERT INTO voids(time, order_id, type, value, uuid, content, content2, installed, peer,"
        " reason, reusable) SELECT strftime('%Y-%m-%dT%H:%M:%fZ','now'), order_id, type, value,"
        " uuid, content, content2, time, peer, ?4, ?5 FROM installs WHERE order_id = ?1 AND"
        " type = ?2 AND uuid = ?3",
        "DELETE FROM installs WHERE order_id = ?1 AND type = ?2 AND uuid = ?3",
    };
    for (const char* sql : kSteps) {
        sqlite3_stmt* st = ok ? Prepare(sql) : nullptr;
        if (!st) {
            ok = false;
            break;
        }
        sqlite3_bind_int64(st, 1, id);
        Bind(st, 2, type);
        Bind(st, 3, uuid);
        if (sqlite3_bind_parameter_count(st) >= 5) {
            Bind(st, 4, reason);
            sqlite3_bind_int(st, 5, reusable ? 1 : 0);
        }
        int rc;
        while ((rc = sqlite3_step(st)) == SQLITE_ROW)
            voided.push_back(Column(st, 0));
        sqlite3_finalize(st);
        if (rc != SQLITE_DONE) {
            Fail("void");
            ok = false;
        }
    }
    if (ok && Exec("COMMIT"))
        return true;
    voided.clear();
    const std::string why = error_;
    Exec("ROLLBACK");
    error_ = why;
    return false;
}

bool Store::ListVoids(const std::string& order, std::vector<VoidRow>& out) {
    return ListByOrder(
        "SELECT v.time, o.name, v.type, v.value, v.uuid, v.installed, v.peer, v.reason, v.reusable"
        " FROM voids v JOIN orders o ON o.id = v.order_id WHERE ?1 = '' OR o.name = ?1"
        " ORDER BY v.id",
        order, "list voids", out, [](sqlite3_stmt* st) {
            VoidRow row{Column(st, 0), Column(st, 1), Column(st, 2),
                        Column(st, 3), Column(st, 4), Column(st, 5),
                        Column(st, 6), Column(st, 7), sqlite3_column_int(st, 8) != 0};
            return row;
        });
}

bool Store::AddRefusal(const RefusalRow& row) {
    sqlite3_stmt* st = st_->refusal_put;
    Reset reset{st};
    Bind(st, 1, row.reason);
    Bind(st, 2, row.peer);
    Bind(st, 3, row.order_name);
    Bind(st, 4, row.type);
    Bind(st, 5, row.content);
    Bind(st, 6, row.content2);
    Bind(st, 7, row.uuid);
    return sqlite3_step(st) == SQLITE_DONE;
}

bool Store::RecordRefusals(const std::vector<RefusalRow>& rows) {
    if (!db_)
        return false;
    if (rows.empty())
        return true;
    if (!Step(st_->begin)) {
        Fail("record refusals");
        return false;
    }
    for (const RefusalRow& row : rows) {
        if (!AddRefusal(row)) {
            Fail("record refusals");
            Step(st_->rollback);
            return false;
        }
    }
    if (Step(st_->commit))
        return true;
    Fail("record refusals");
    Step(st_->rollback);
    return false;
}

bool Store::ListRefusals(const std::string& order, std::vector<RefusalRow>& out) {
    return ListByOrder(
        "SELECT time, reason, peer, order_name, type, content, content2, uuid FROM refusals"
        " WHERE ?1 = '' OR order_name = ?1 ORDER BY id",
        order, "list refusals", out, [](sqlite3_stmt* st) {
            RefusalRow row;
            row.time = Column(st, 0);
            row.reason = Column(st, 1);
            row.peer = Column(st, 2);
            row.order_name = Column(st, 3);
            row.type = Column(st, 4);
            row.content = Column(st, 5);
            row.content2 = Column(st, 6);
            row.uuid = Column(st, 7);
            return row;
        });
}

bool Store::Belongs(int64_t order_id, const std::string& type, const std::string& value,
                    bool& belongs) {
    belongs = false;
    sqlite3_stmt* st = st_->pool_has;
    {
        Reset reset{st};
        sqlite3_bind_int64(st, 1, order_id);
        Bind(st, 2, type);
        Bind(st, 3, value);
        int rc = sqlite3_step(st);
        if (rc == SQLITE_ROW) {
            belongs = true;
            return true;
        }
        if (rc != SQLITE_DONE)
            return false;
    }
    if (type != "mac")
        return true;
    st = st_->range_has;
    Reset reset{st};
    sqlite3_bind_int64(st, 1, order_id);
    sqlite3_bind_int64(st, 2, static_cast<int64_t>(*ParseMac(value)));
    int rc = sqlite3_step(st);
    belongs = rc == SQLITE_ROW;
    return rc == SQLITE_ROW || rc == SQLITE_DONE;
}

bool Store::InstallOne(const InstallRequest& request, std::string& answer) {
    int64_t order_id = -1;
    bool closed = false;
    if (!OrderId(request.order_name, order_id, &closed))
        return false;
    if (order_id < 0 || closed) {
        answer = kOrderNameNotExist;
        return true;
    }
    if (request.type != "p2p_id" && request.type != "mac") {
        answer = kContentNotExist;
        return true;
    }
    // A request identifier belongs to the one accepted request that used it first.
    {
        sqlite3_stmt* st = st_->request_get;
        Reset reset{st};
        Bind(st, 1, request.current_uuid);
        int rc = sqlite3_step(st);
        if (rc == SQLITE_ROW) {
            const bool same_content2 = sqlite3_column_type(st, 3) == SQLITE_NULL
                                           ? !request.content2
                                           : request.content2 && *request.content2 == Column(st, 3);
            if (sqlite3_column_int64(st, 0) != order_id || Column(st, 1) != request.type ||
                Column(st, 2) != request.content || !same_content2) {
                answer = kUuidReused;
                return true;
            }
        } else if (rc != SQLITE_DONE) {
            return false;
        }
    }
    // Every claimed identity must belong to the order.
    std::set<std::string> values;
    for (const std::string& claim : Claims(request)) {
        std::string value = claim;
        if (request.type == "mac") {
            std::optional<uint64_t> mac = ParseMac(claim);
            if (!mac) {
                answer = kContentNotExist;
                return true;
            }
            value = MacText(*mac);
        }
        bool belongs = false;
        if (!Belongs(order_id, request.type, value, belongs))
            return false;
        if (!belongs) {
            answer = kContentNotExist;
            return true;
        }
        values.insert(value);
    }
    // Installed under another request identifier: refused. Under this one: a repeat.
    std::vector<std::string> fresh;
    for (const std::string& value : values) {
        sqlite3_stmt* st = st_->install_get;
        Reset reset{st};
        Bind(st, 1, request.type);
        Bind(st, 2, value);
        int rc = sqlite3_step(st);
        if (rc == SQLITE_ROW) {
            if (Column(st, 0) != request.current_uuid) {
                answer = kInstalled;
                return true;
            }
        } else if (rc == SQLITE_DONE) {
            fresh.push_back(value);
        } else {
            return false;
        }
    }
    // A voided identity is installed again only when it was made reusable.
    for (const std::string& value : fresh) {
        sqlite3_stmt* st = st_->void_get;
        Reset reset{st};
        Bind(st, 1, request.type);
        Bind(st, 2, value);
        int rc = sqlite3_step(st);
        if (rc == SQLITE_ROW && sqlite3_column_int64(st, 0) == 0) {
            answer = kInstalled;
            return true;
        }
        if (rc != SQLITE_ROW && rc != SQLITE_DONE)
            return false;
    }
    for (const std::string& value : fresh) {
        sqlite3_stmt* st = st_->install_put;
        Reset reset{st};
        Bind(st, 1, request.type);
        Bind(st, 2, value);
        sqlite3_bind_int64(st, 3, order_id);
        Bind(st, 4, request.current_uuid);
        Bind(st, 5, request.last_ok_uuid);
        Bind(st, 6, request.content);
        if (request.content2)
            Bind(st, 7, *request.content2);
        else
            sqlite3_bind_null(st, 7);
        Bind(st, 8, request.peer);
        if (sqlite3_step(st) != SQLITE_DONE)
            return false;
    }
    if (!fresh.empty()) {
        sqlite3_stmt* st = st_->request_put;
        Reset reset{st};
        Bind(st, 1, request.current_uuid);
        sqlite3_bind_int64(st, 2, order_id);
        Bind(st, 3, request.type);
        Bind(st, 4, request.content);
        if (request.content2)
            Bind(st, 5, *request.content2);
        else
            sqlite3_bind_null(st, 5);
        if (sqlite3_step(st) != SQLITE_DONE)
            return false;
    }
    answer.clear();
    return true;
}

RefusalRow RefusalOf(const InstallRequest& request, const std::string& reason) {
    RefusalRow row;
    row.reason = reason;
    row.peer = request.peer;
    row.order_name = request.order_name;
    row.type = request.type;
    row.content = request.content;
    row.content2 = request.content2.value_or("");
    row.uuid = request.current_uuid;
    return row;
}

void Store::InstallBatch(const std::vector<InstallRequest>& requests,
                         std::vector<std::string>& answers) {
    answers.assign(requests.size(), kDbError);
    if (!db_ || requests.empty())
        return;
    if (!Step(st_->begin))
        return;
    for (size_t i = 0; i < requests.size(); ++i) {
        if (!Step(st_->savepoint))
            break;
        std::string answer;
        if (InstallOne(requests[i], answer) &&
            (answer.empty() || AddRefusal(RefusalOf(requests[i], answer)))) {
            answers[i] = answer;
        } else {
            answers[i] = kDbError;
            Step(st_->rollback_to);
        }
        Step(st_->release);
    }
    if (!Step(st_->commit)) {
        Step(st_->rollback);
        answers.assign(requests.size(), kDbError);
    }
}

}  // namespace idserver
