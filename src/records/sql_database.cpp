#include "records/sql_database.h"

#include <sqlite3.h>

#include <type_traits>

namespace {

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
    return Run(statement, {}, nullptr);
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
