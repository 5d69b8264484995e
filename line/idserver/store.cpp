#include "store.h"

#include <cctype>
#include <cstdio>
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

const char* const kNow = "strftime('%Y-%m-%dT%H:%M:%fZ','now')";

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
    sqlite3_stmt* begin = nullptr;
    sqlite3_stmt* commit = nullptr;
    sqlite3_stmt* rollback = nullptr;
    sqlite3_stmt* savepoint = nullptr;
    sqlite3_stmt* release = nullptr;
    sqlite3_stmt* rollback_to = nullptr;
    ~Statements() {
        for (sqlite3_stmt* st : {order_id, pool_has, range_has, install_get, install_put, begin,
                                 commit, rollback, savepoint, release, rollback_to})
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

bool Store::Open(const std::string& path, int busy_timeout_ms) {
    Close();
    if (sqlite3_open_v2(path.c_str(), &db_,
                        SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX,
                        nullptr) != SQLITE_OK) {
        Fail("cannot open " + path);
        Close();
        return false;
    }
    sqlite3_busy_timeout(db_, busy_timeout_ms);
    sqlite3_extended_result_codes(db_, 1);
    if (!Exec("PRAGMA journal_mode=WAL;") || !Exec("PRAGMA synchronous=FULL;") ||
        !Exec("PRAGMA foreign_keys=ON;") || !Exec(kSchema)) {
        error_ = path + ": " + error_;
        Close();
        return false;
    }
    st_ = new Statements;
    const std::string put = std::string(
                                "INSERT INTO installs(type, value, order_id, uuid, last_ok_uuid, "
                                "content, content2, time) VALUES(?1, ?2, ?3, ?4, ?5, ?6, ?7, ") +
                            kNow + ")";
    if (!(st_->order_id = Prepare("SELECT id FROM orders WHERE name = ?1")) ||
        !(st_->pool_has =
              Prepare("SELECT 1 FROM pool WHERE order_id = ?1 AND type = ?2 AND value = ?3")) ||
        !(st_->range_has = Prepare("SELECT 1 FROM mac_ranges WHERE order_id = ?1 AND "
                                   "first <= ?2 AND last >= ?2 LIMIT 1")) ||
        !(st_->install_get = Prepare("SELECT uuid FROM installs WHERE type = ?1 AND value = ?2")) ||
        !(st_->install_put = Prepare(put.c_str())) || !(st_->begin = Prepare("BEGIN IMMEDIATE")) ||
        !(st_->commit = Prepare("COMMIT")) || !(st_->rollback = Prepare("ROLLBACK")) ||
        !(st_->savepoint = Prepare("SAVEPOINT one")) || !(st_->release = Prepare("RELEASE one")) ||
        !(st_->rollback_to = Prepare("ROLLBACK TO one"))) {
        Close();
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

bool Store::OrderId(const std::string& name, int64_t& id) {
    sqlite3_stmt* st = st_->order_id;
    Reset reset{st};
    Bind(st, 1, name);
    int rc = sqlite3_step(st);
    if (rc == SQLITE_ROW) {
        id = sqlite3_column_int64(st, 0);
        return true;
    }
    id = -1;
    if (rc == SQLITE_DONE)
        return true;
    Fail("order lookup");
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
        " (SELECT count(*) FROM pool WHERE order_id = o.id AND type = 'p2p_id'),"
        " (SELECT count(*) FROM pool WHERE order_id = o.id AND type = 'mac'),"
        " (SELECT count(*) FROM mac_ranges WHERE order_id = o.id),"
        " (SELECT count(*) FROM installs WHERE order_id = o.id)"
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
        out.push_back(std::move(s));
    }
    sqlite3_finalize(st);
    if (rc == SQLITE_DONE)
        return true;
    Fail("list orders");
    return false;
}

bool Store::ImportPool(const std::string& order, const std::string& type,
                       const std::vector<std::string>& values, int64_t& added) {
    added = 0;
    if (!db_)
        return false;
    if (type != "p2p_id" && type != "mac") {
        error_ = "unknown identity type \"" + type + "\"";
        return false;
    }
    if (!Exec("BEGIN IMMEDIATE"))
        return false;
    int64_t id = -1;
    bool ok = OrderId(order, id);
    if (ok && id < 0) {
        error_ = "no order \"" + order + "\"";
        ok = false;
    }
    sqlite3_stmt* st = ok ? Prepare(
                                "INSERT OR IGNORE INTO pool(order_id, type, value) "
                                "VALUES(?1, ?2, ?3)")
                          : nullptr;
    ok = ok && st;
    for (size_t i = 0; ok && i < values.size(); ++i) {
        std::string value = values[i];
        if (type == "mac") {
            std::optional<uint64_t> mac = ParseMac(value);
            if (!mac) {
                error_ = "not a MAC address: \"" + value + "\"";
                ok = false;
                break;
            }
            value = MacText(*mac);
        }
        sqlite3_bind_int64(st, 1, id);
        Bind(st, 2, type);
        Bind(st, 3, value);
        if (sqlite3_step(st) != SQLITE_DONE) {
            Fail("import");
            ok = false;
        }
        added += sqlite3_changes(db_);
        sqlite3_reset(st);
    }
    sqlite3_finalize(st);
    if (ok && Exec("COMMIT"))
        return true;
    added = 0;
    std::string why = error_;
    Exec("ROLLBACK");
    error_ = why;
    return false;
}

bool Store::AddMacRange(const std::string& order, uint64_t first, uint64_t last) {
    if (!db_)
        return false;
    if (first > last) {
        error_ = "the range's first address is above its last";
        return false;
    }
    int64_t id = -1;
    if (!OrderId(order, id))
        return false;
    if (id < 0) {
        error_ = "no order \"" + order + "\"";
        return false;
    }
    sqlite3_stmt* st = Prepare("INSERT INTO mac_ranges(order_id, first, last) VALUES(?1, ?2, ?3)");
    if (!st)
        return false;
    sqlite3_bind_int64(st, 1, id);
    sqlite3_bind_int64(st, 2, static_cast<int64_t>(first));
    sqlite3_bind_int64(st, 3, static_cast<int64_t>(last));
    int rc = sqlite3_step(st);
    sqlite3_finalize(st);
    if (rc == SQLITE_DONE)
        return true;
    Fail("add MAC range");
    return false;
}

bool Store::ListInstalls(const std::string& order, std::vector<InstallRow>& out) {
    out.clear();
    if (!db_)
        return false;
    sqlite3_stmt* st = Prepare(
        "SELECT i.time, o.name, i.type, i.value, i.content, ifnull(i.content2, ''), i.uuid,"
        " i.last_ok_uuid FROM installs i JOIN orders o ON o.id = i.order_id"
        " WHERE ?1 = '' OR o.name = ?1 ORDER BY i.time, o.name, i.type, i.value");
    if (!st)
        return false;
    Bind(st, 1, order);
    int rc;
    while ((rc = sqlite3_step(st)) == SQLITE_ROW) {
        InstallRow row;
        row.time = Column(st, 0);
        row.order_name = Column(st, 1);
        row.type = Column(st, 2);
        row.value = Column(st, 3);
        row.content = Column(st, 4);
        row.content2 = Column(st, 5);
        row.uuid = Column(st, 6);
        row.last_ok_uuid = Column(st, 7);
        out.push_back(std::move(row));
    }
    sqlite3_finalize(st);
    if (rc == SQLITE_DONE)
        return true;
    Fail("list installs");
    return false;
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
    if (!OrderId(request.order_name, order_id))
        return false;
    if (order_id < 0) {
        answer = kOrderNameNotExist;
        return true;
    }
    if (request.type != "p2p_id" && request.type != "mac") {
        answer = kContentNotExist;
        return true;
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
        if (sqlite3_step(st) != SQLITE_DONE)
            return false;
    }
    answer.clear();
    return true;
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
        if (InstallOne(requests[i], answer)) {
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
