#include "records/sql_database.h"

#include <sqlite3.h>

#include <cctype>
#include <type_traits>

namespace {

// How long a statement waits for a file another program holds (a reader's shell, a backup),
// and how often a COMMIT is tried before its transaction is rolled back.
constexpr int kBusyWaitMs = 200;
constexpr int kCommitTries = 3;

// "COMMIT" or "END" (any case, white space and one ';' around it).
bool IsCommit(const std::string& statement) {
    std::string word;
    for (char c : statement) {
        if (c == ';' || std::isspace(static_cast<unsigned char>(c)))
            continue;
        word += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    }
    return word == "COMMIT" || word == "END" || word == "COMMITTRANSACTION" ||
           word == "ENDTRANSACTION";
}

bool IsPlainName(const std::string& name) {
    if (name.empty())
        return false;
    for (char c : name) {
        bool ok =
            (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_';
        if (!ok)
            return false;
    }
    return true;
}

}  // namespace

CSqliteDatabase::~CSqliteDatabase() {
    Close();
}

bool CSqliteDatabase::Open(const std::string& path) {
    Close();
    sqlite3* db = nullptr;
    int rc =
        sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr);
    if (rc != SQLITE_OK) {
        sqlite3_close(db);  // the library may hand back a handle even on failure
        return false;
    }
    sqlite3_busy_timeout(db, kBusyWaitMs);
    db_ = db;
    return true;
}

bool CSqliteDatabase::Close() {
    if (db_ != nullptr) {
        sqlite3_close_v2(db_);
        db_ = nullptr;
    }
    return true;
}

bool CSqliteDatabase::Execute(const std::string& statement) {
    if (!IsCommit(statement) || db_ == nullptr)
        return Run(statement, {}, nullptr);
    // A COMMIT that fails (the file is busy) leaves its transaction open, and every later row
    // would go into it and be rolled back at the close: retry a few times, then roll back.
    for (int i = 0; i < kCommitTries; ++i) {
        if (Run(statement, {}, nullptr))
            return true;
        if (sqlite3_get_autocommit(db_) != 0)
            return false;  // nothing open (any more)
    }
    Run("ROLLBACK", {}, nullptr);
    return false;
}

bool CSqliteDatabase::InTransaction() const {
    return db_ != nullptr && sqlite3_get_autocommit(db_) == 0;
}

bool CSqliteDatabase::Query(const std::string& statement, CResultSet& result) {
    return Run(statement, {}, &result);
}

bool CSqliteDatabase::Execute(const std::string& statement, const std::vector<SqlValue>& values) {
    return Run(statement, values, nullptr);
}

bool CSqliteDatabase::Query(const std::string& statement, const std::vector<SqlValue>& values,
                            CResultSet& result) {
    return Run(statement, values, &result);
}

bool CSqliteDatabase::TableExists(const std::string& name) {
    CResultSet rows;
    return Query("select * from sqlite_master where type='table' and name = ?", {name}, rows) &&
           !rows.rows.empty();
}

bool CSqliteDatabase::RecordExists(const std::string& table, const std::string& column,
                                   const std::string& value) {
    if (!IsPlainName(table) || !IsPlainName(column))
        return false;
    CResultSet rows;
    return Query("select " + column + " from " + table + " where " + column + " = ?", {value},
                 rows) &&
           !rows.rows.empty();
}

// Runs every statement of `statement` in turn (the first one gets the bound values), collecting
// the rows of each into `result` when given.
bool CSqliteDatabase::Run(const std::string& statement, const std::vector<SqlValue>& values,
                          CResultSet* result) {
    if (result != nullptr) {
        result->rows.clear();
        result->cursor = 0;
    }
    if (db_ == nullptr)
        return false;

    const char* rest = statement.c_str();
    bool first = true;
    while (rest != nullptr && *rest != '\0') {
        sqlite3_stmt* stmt = nullptr;
        const char* tail = nullptr;
        if (sqlite3_prepare_v2(db_, rest, -1, &stmt, &tail) != SQLITE_OK) {
            sqlite3_finalize(stmt);
            return false;
        }
        rest = tail;
        if (stmt == nullptr)
            continue;  // only white space or a comment was left
        if (first) {
            if (static_cast<int>(values.size()) != sqlite3_bind_parameter_count(stmt)) {
                sqlite3_finalize(stmt);
                return false;
            }
            for (size_t i = 0; i < values.size(); ++i) {
                int index = static_cast<int>(i) + 1;
                int rc = std::visit(
                    [&](const auto& v) {
                        if constexpr (std::is_same_v<std::decay_t<decltype(v)>, std::string>) {
                            return sqlite3_bind_text(stmt, index, v.data(),
                                                     static_cast<int>(v.size()), SQLITE_TRANSIENT);
                        } else {
                            return sqlite3_bind_int64(stmt, index, v);
                        }
                    },
                    values[i]);
                if (rc != SQLITE_OK) {
                    sqlite3_finalize(stmt);
                    return false;
                }
            }
            first = false;
        } else if (sqlite3_bind_parameter_count(stmt) != 0) {
            sqlite3_finalize(stmt);
            return false;
        }
        int rc;
        while ((rc = sqlite3_step(stmt)) == SQLITE_ROW) {
            if (result == nullptr)
                continue;
            int columns = sqlite3_column_count(stmt);
            std::vector<std::string> row;
            row.reserve(static_cast<size_t>(columns));
            for (int c = 0; c < columns; ++c) {
                const unsigned char* text = sqlite3_column_text(stmt, c);
                if (text == nullptr) {
                    row.emplace_back("<null>");
                } else {
                    row.emplace_back(reinterpret_cast<const char*>(text),
                                     static_cast<size_t>(sqlite3_column_bytes(stmt, c)));
                }
            }
            result->rows.push_back(std::move(row));
        }
        sqlite3_finalize(stmt);
        if (rc != SQLITE_DONE)
            return false;
    }
    return true;
}
