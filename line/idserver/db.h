// The two databases the identity store runs on, behind one small interface: an SQLite file or a
// PostgreSQL database named by any libpq connection text.
//
// Statements are written once, with SQLite's numbered parameters (?1, ?2, ...); the PostgreSQL
// connection turns them into $1, $2, ... Every value goes in and comes out as text (or NULL), so
// callers need no per-database column types. A Db is one connection and is not thread-safe.
// Failures are return values (Result::ok false, error() set); nothing throws.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace idserver {

enum class Dialect { kSqlite, kPostgres };

// A statement parameter: NULL, an integer or a text.
struct Param {
    Param() = default;  // NULL
    Param(int64_t v) : is_null(false), text(std::to_string(v)), is_int(true) {}
    Param(int v) : Param(static_cast<int64_t>(v)) {}
    Param(std::string v) : is_null(false), text(std::move(v)) {}
    Param(const char* v) : is_null(false), text(v) {}
    bool is_null = true;
    std::string text;
    bool is_int = false;
};

struct Result {
    bool ok = false;
    bool unique_violation = false;  // a unique or primary-key constraint refused the write
    bool retry = false;             // a deadlock or serialization failure: the same work may pass
    int64_t changes = 0;            // rows written by an INSERT, UPDATE or DELETE
    std::vector<std::vector<std::optional<std::string>>> rows;

    // The text of row r, column c ("" for NULL or a missing row).
    std::string Text(size_t r, size_t c) const;
    int64_t Int(size_t r, size_t c) const;
    bool Null(size_t r, size_t c) const;
};

class Db {
  public:
    virtual ~Db() = default;
    virtual Dialect dialect() const = 0;
    // One statement with parameters ?1 ... ?N.
    virtual Result Run(const std::string& sql, const std::vector<Param>& params = {}) = 0;
    // Statements without parameters, separated by semicolons.
    virtual bool Script(const std::string& sql) = 0;
    // Starts a write transaction (SQLite takes the write lock at once, waiting for it up to the
    // busy time-out); a broken PostgreSQL connection is re-established here first.
    virtual bool BeginWrite() = 0;
    virtual bool BeginRead() = 0;
    bool Commit() { return Script("COMMIT"); }
    // Rolls back and keeps the error that made the caller roll back.
    void Rollback();
    const std::string& error() const { return error_; }
    void set_error(std::string e) { error_ = std::move(e); }

  protected:
    std::string error_;
};

// True when `text` names a PostgreSQL database (a postgresql:// or postgres:// URI, or libpq
// key=value settings) rather than an SQLite file.
bool IsPostgres(const std::string& text);
// How a log line names a store: the file, or the connection text without its password.
std::string StoreName(const std::string& text);

// Opens an SQLite file (WAL, synchronous FULL, foreign keys; writers wait for each other up to
// `busy_timeout_ms`). nullptr with `error` set on failure; without `create` a missing file fails.
std::unique_ptr<Db> OpenSqlite(const std::string& path, int busy_timeout_ms, bool create,
                               std::string& error);
// Connects to PostgreSQL. nullptr with `error` set (one line) when the text is wrong, the login is
// refused or the database is missing; nothing is created then. A statement waits for another
// writer's lock up to `busy_timeout_ms`, then fails, as on SQLite.
std::unique_ptr<Db> OpenPostgres(const std::string& conninfo, int busy_timeout_ms,
                                 std::string& error);

// Copies committed WAL frames into an SQLite file without blocking writers; true for PostgreSQL.
bool CheckpointSqlite(Db& db);

}  // namespace idserver
