#include "db.h"

#include <libpq-fe.h>
#include <sqlite3.h>
#include <unistd.h>

#include <cctype>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <map>

namespace idserver {

std::string Result::Text(size_t r, size_t c) const {
    if (r >= rows.size() || c >= rows[r].size() || !rows[r][c])
        return {};
    return *rows[r][c];
}

int64_t Result::Int(size_t r, size_t c) const {
    const std::string t = Text(r, c);
    return t.empty() ? 0 : std::strtoll(t.c_str(), nullptr, 10);
}

bool Result::Null(size_t r, size_t c) const {
    return r >= rows.size() || c >= rows[r].size() || !rows[r][c];
}

void Db::Rollback() {
    const std::string why = error_;
    Script("ROLLBACK");
    error_ = why;
}

bool IsPostgres(const std::string& text) {
    if (text.rfind("postgresql://", 0) == 0 || text.rfind("postgres://", 0) == 0)
        return true;
    // libpq's key=value form: a first word followed by "=".
    size_t i = 0;
    while (i < text.size() && std::isspace(static_cast<unsigned char>(text[i])))
        ++i;
    const size_t start = i;
    while (i < text.size() && (std::isalnum(static_cast<unsigned char>(text[i])) || text[i] == '_'))
        ++i;
    while (i < text.size() && text[i] == ' ')
        ++i;
    return i > start && i < text.size() && text[i] == '=';
}

std::string StoreName(const std::string& text) {
    if (!IsPostgres(text))
        return text;
    PQconninfoOption* options = PQconninfoParse(text.c_str(), nullptr);
    if (!options)
        return "PostgreSQL";
    std::string name = "PostgreSQL";
    for (PQconninfoOption* o = options; o->keyword; ++o) {
        const std::string key = o->keyword;
        if (o->val && *o->val &&
            (key == "host" || key == "hostaddr" || key == "port" || key == "dbname" ||
             key == "user"))
            name += " " + key + "=" + o->val;
    }
    PQconninfoFree(options);
    return name;
}

namespace {

class SqliteDb final : public Db {
  public:
    ~SqliteDb() override {
        for (auto& [sql, st] : cache_)
            sqlite3_finalize(st);
        if (db_)
            sqlite3_close(db_);
    }
    Dialect dialect() const override { return Dialect::kSqlite; }

    bool Open(const std::string& path, int busy_timeout_ms, bool create) {
        int flags = SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX | (create ? SQLITE_OPEN_CREATE : 0);
        if (sqlite3_open_v2(path.c_str(), &db_, flags, nullptr) != SQLITE_OK) {
            error_ = create ? "cannot open " + path + ": " + sqlite3_errmsg(db_)
                            : "no store " + path +
                                  " (create-order or serve --create makes one; --db names it)";
            return false;
        }
        busy_timeout_ms_ = busy_timeout_ms;
        sqlite3_busy_handler(db_, &SqliteDb::BusyWait, this);
        sqlite3_extended_result_codes(db_, 1);
        return true;
    }

    Result Run(const std::string& sql, const std::vector<Param>& params) override {
        Result result;
        sqlite3_stmt*& st = cache_[sql];
        if (!st && sqlite3_prepare_v2(db_, sql.c_str(), -1, &st, nullptr) != SQLITE_OK) {
            error_ = sqlite3_errmsg(db_);
            sqlite3_finalize(st);
            cache_.erase(sql);
            return result;
        }
        for (size_t i = 0; i < params.size(); ++i) {
            const int at = static_cast<int>(i + 1);
            if (params[i].is_null)
                sqlite3_bind_null(st, at);
            else if (params[i].is_int)
                sqlite3_bind_int64(st, at, std::strtoll(params[i].text.c_str(), nullptr, 10));
            else
                sqlite3_bind_text(st, at, params[i].text.data(),
                                  static_cast<int>(params[i].text.size()), SQLITE_TRANSIENT);
        }
        int rc;
        const int columns = sqlite3_column_count(st);
        while ((rc = sqlite3_step(st)) == SQLITE_ROW) {
            auto& row = result.rows.emplace_back();
            for (int c = 0; c < columns; ++c) {
                const unsigned char* text = sqlite3_column_text(st, c);
                if (text == nullptr)
                    row.emplace_back();
                else
                    row.emplace_back(std::string(reinterpret_cast<const char*>(text),
                                                 static_cast<size_t>(sqlite3_column_bytes(st, c))));
            }
        }
        result.ok = rc == SQLITE_DONE;
        result.unique_violation =
            rc == SQLITE_CONSTRAINT_UNIQUE || rc == SQLITE_CONSTRAINT_PRIMARYKEY;
        if (!result.ok)
            error_ = sqlite3_errmsg(db_);
        else
            result.changes = sqlite3_changes(db_);
        sqlite3_reset(st);
        sqlite3_clear_bindings(st);
        return result;
    }

    bool Script(const std::string& sql) override {
        char* message = nullptr;
        if (sqlite3_exec(db_, sql.c_str(), nullptr, nullptr, &message) == SQLITE_OK)
            return true;
        error_ = message ? message : sqlite3_errmsg(db_);
        sqlite3_free(message);
        return false;
    }
    bool BeginWrite() override { return Run("BEGIN IMMEDIATE", {}).ok; }
    bool BeginRead() override { return Run("BEGIN", {}).ok; }

    bool Checkpoint() {
        return sqlite3_wal_checkpoint_v2(db_, nullptr, SQLITE_CHECKPOINT_PASSIVE, nullptr,
                                         nullptr) == SQLITE_OK;
    }

  private:
    // SQLite's busy handler: retries every millisecond until the busy time-out, so that a writer
    // takes the lock within a millisecond of its release (SQLite's own handler sleeps up to
    // 100 ms between tries and can miss every gap between another writer's transactions).
    static int BusyWait(void* self_pointer, int count) {
        SqliteDb* self = static_cast<SqliteDb*>(self_pointer);
        const auto now = std::chrono::steady_clock::now();
        if (count == 0)
            self->busy_since_ = now;
        if (now - self->busy_since_ >= std::chrono::milliseconds(self->busy_timeout_ms_))
            return 0;
        usleep(1000);
        return 1;
    }

    sqlite3* db_ = nullptr;
    int busy_timeout_ms_ = 0;
    std::chrono::steady_clock::time_point busy_since_;
    std::map<std::string, sqlite3_stmt*> cache_;
};

// PostgreSQL's first message line, without libpq's trailing line end.
std::string FirstLine(const char* message) {
    std::string text = message ? message : "";
    const size_t end = text.find('\n');
    if (end != std::string::npos)
        text.resize(end);
    return text.empty() ? "PostgreSQL failed" : text;
}

class PostgresDb final : public Db {
  public:
    ~PostgresDb() override {
        if (conn_)
            PQfinish(conn_);
    }
    Dialect dialect() const override { return Dialect::kPostgres; }

    bool Open(const std::string& conninfo, int busy_timeout_ms) {
        busy_timeout_ms_ = busy_timeout_ms;
        // A wrong text is refused by libpq before any connection is tried.
        char* parse_error = nullptr;
        PQconninfoOption* options = PQconninfoParse(conninfo.c_str(), &parse_error);
        if (!options) {
            error_ = "not a PostgreSQL connection text: " + FirstLine(parse_error);
            PQfreemem(parse_error);
            return false;
        }
        PQconninfoFree(options);
        conn_ = PQconnectdb(conninfo.c_str());
        if (PQstatus(conn_) != CONNECTION_OK) {
            error_ = "cannot connect to PostgreSQL: " + FirstLine(PQerrorMessage(conn_));
            return false;
        }
        Quiet();
        return true;
    }

    Result Run(const std::string& sql, const std::vector<Param>& params) override {
        Result result;
        if (PQstatus(conn_) != CONNECTION_OK) {
            error_ = "the connection to PostgreSQL is lost";
            return result;
        }
        const std::string& text = Translated(sql);
        std::vector<const char*> values;
        for (const Param& p : params)
            values.push_back(p.is_null ? nullptr : p.text.c_str());
        // Each statement is prepared once per connection (a new connection prepares again).
        auto [prepared, fresh] = prepared_.emplace(sql, std::string());
        if (fresh) {
            prepared->second = "s" + std::to_string(prepared_.size());
            PGresult* made = PQprepare(conn_, prepared->second.c_str(), text.c_str(), 0, nullptr);
            const bool ok = PQresultStatus(made) == PGRES_COMMAND_OK;
            if (!ok) {
                error_ = FirstLine(made ? PQresultErrorMessage(made) : PQerrorMessage(conn_));
                prepared_.erase(prepared);
            }
            PQclear(made);
            if (!ok)
                return result;
        }
        PGresult* res =
            PQexecPrepared(conn_, prepared->second.c_str(), static_cast<int>(values.size()),
                           values.data(), nullptr, nullptr, 0);
        const ExecStatusType status = PQresultStatus(res);
        result.ok = status == PGRES_COMMAND_OK || status == PGRES_TUPLES_OK;
        if (result.ok) {
            const int n = PQntuples(res), columns = PQnfields(res);
            for (int r = 0; r < n; ++r) {
                auto& row = result.rows.emplace_back();
                for (int c = 0; c < columns; ++c) {
                    if (PQgetisnull(res, r, c))
                        row.emplace_back();
                    else
                        row.emplace_back(std::string(PQgetvalue(res, r, c),
                                                     static_cast<size_t>(PQgetlength(res, r, c))));
                }
            }
            const char* changed = PQcmdTuples(res);
            result.changes = changed && *changed ? std::strtoll(changed, nullptr, 10) : 0;
        } else {
            const char* state = PQresultErrorField(res, PG_DIAG_SQLSTATE);
            const std::string code = state ? state : "";
            result.unique_violation = code == "23505";
            result.retry = code == "40001" || code == "40P01";
            error_ = FirstLine(res ? PQresultErrorMessage(res) : PQerrorMessage(conn_));
        }
        PQclear(res);
        return result;
    }

    bool Script(const std::string& sql) override {
        if (PQstatus(conn_) != CONNECTION_OK) {
            error_ = "the connection to PostgreSQL is lost";
            return false;
        }
        PGresult* res = PQexec(conn_, sql.c_str());
        const ExecStatusType status = PQresultStatus(res);
        const bool ok = status == PGRES_COMMAND_OK || status == PGRES_TUPLES_OK;
        if (!ok)
            error_ = FirstLine(res ? PQresultErrorMessage(res) : PQerrorMessage(conn_));
        PQclear(res);
        return ok;
    }

    bool BeginWrite() override { return Reconnect() && Script("BEGIN"); }
    bool BeginRead() override {
        return Reconnect() && Script("BEGIN ISOLATION LEVEL REPEATABLE READ READ ONLY");
    }

  private:
    // A server outlives a restart of PostgreSQL: the connection is made again before the next
    // transaction, and stays broken (every statement failing) while the database is away.
    bool Reconnect() {
        if (PQstatus(conn_) == CONNECTION_OK)
            return true;
        PQreset(conn_);
        prepared_.clear();
        if (PQstatus(conn_) != CONNECTION_OK) {
            error_ = "cannot connect to PostgreSQL: " + FirstLine(PQerrorMessage(conn_));
            return false;
        }
        Quiet();
        return true;
    }
    // Notices stay out of the log; lock waits end as SQLite's busy time-out does.
    void Quiet() {
        const std::string settings = "SET client_min_messages = warning; SET lock_timeout = " +
                                     std::to_string(busy_timeout_ms_);
        PGresult* res = PQexec(conn_, settings.c_str());
        PQclear(res);
    }
    // ?N becomes $N outside quoted texts.
    const std::string& Translated(const std::string& sql) {
        auto [it, fresh] = translated_.emplace(sql, std::string());
        if (!fresh)
            return it->second;
        std::string& out = it->second;
        bool quoted = false;
        for (char c : sql) {
            if (c == '\'')
                quoted = !quoted;
            out += (!quoted && c == '?') ? '$' : c;
        }
        return out;
    }

    PGconn* conn_ = nullptr;
    int busy_timeout_ms_ = 0;
    std::map<std::string, std::string> translated_;
    std::map<std::string, std::string> prepared_;  // statement -> its name on this connection
};

}  // namespace

std::unique_ptr<Db> OpenSqlite(const std::string& path, int busy_timeout_ms, bool create,
                               std::string& error) {
    auto db = std::make_unique<SqliteDb>();
    if (db->Open(path, busy_timeout_ms, create))
        return db;
    error = db->error();
    return nullptr;
}

std::unique_ptr<Db> OpenPostgres(const std::string& conninfo, int busy_timeout_ms,
                                 std::string& error) {
    auto db = std::make_unique<PostgresDb>();
    if (db->Open(conninfo, busy_timeout_ms))
        return db;
    error = db->error();
    return nullptr;
}

bool CheckpointSqlite(Db& db) {
    if (db.dialect() != Dialect::kSqlite)
        return true;
    return static_cast<SqliteDb&>(db).Checkpoint();
}

}  // namespace idserver
