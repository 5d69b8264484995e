// The record store: the station's local SQLite database of every identity it has written.
//
// CSqlDatabase is the database interface; CSqliteDatabase implements it on one SQLite
// connection. Values are never pasted into statement text: the helpers below bind every value
// as a parameter, so a value holding quotes, semicolons or SQL words is stored unchanged.
//
// What callers may rely on:
// - Every operation returns false (or an empty text) on any failure: not open, a failed
//   statement, a constraint such as a second row with the same `Date` key in one second, a
//   damaged or foreign database file, a file another process holds (each statement waits for
//   it 200 ms at most). Nothing throws, nothing is logged.
// - No transaction is left open by a failed COMMIT: it is tried three times, then the
//   transaction is rolled back and the COMMIT answers false.
// - A closed database answers every lookup as "absent".
// - Not thread-safe: the station uses its database from the user-interface thread only.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

struct sqlite3;

// Rows of a query, each an ordered list of column texts (NULL as "<null>"), with a cursor.
struct CResultSet {
    std::vector<std::vector<std::string>> rows;
    size_t cursor = 0;

    // The row at the cursor, advancing the cursor; nullptr once every row has been taken.
    const std::vector<std::string>* NextRow() {
        return cursor < rows.size() ? &rows[cursor++] : nullptr;
    }
};

// A value bound to a statement parameter: a text, or a whole number (stored as a bare number,
// as the port column is).
using SqlValue = std::variant<std::string, long long>;

class CSqlDatabase {
  public:
    virtual ~CSqlDatabase() = default;
    // Opens (creating if needed) the database file. False leaves the database closed.
    virtual bool Open(const std::string& path) = 0;
    // Closes the connection if one is open; always true.
    virtual bool Close() = 0;
    // Runs a statement without parameters. True on success.
    virtual bool Execute(const std::string& statement) = 0;
    // Empties `result` (rows and cursor), then runs the statement collecting every row.
    virtual bool Query(const std::string& statement, CResultSet& result) = 0;
    // True when a table of that name exists.
    virtual bool TableExists(const std::string& name) = 0;
    // True when `table` has a row whose `column` equals `value`. Table and column must be plain
    // names (letters, digits, underscore); anything else reads as absent.
    virtual bool RecordExists(const std::string& table, const std::string& column,
                              const std::string& value) = 0;
    // The same as Execute and Query, with each '?' of the statement bound to the next value.
    virtual bool Execute(const std::string& statement, const std::vector<SqlValue>& values) = 0;
    virtual bool Query(const std::string& statement, const std::vector<SqlValue>& values,
                       CResultSet& result) = 0;
};

class CSqliteDatabase : public CSqlDatabase {
  public:
    CSqliteDatabase() = default;
    ~CSqliteDatabase() override;  // closes an open connection
    CSqliteDatabase(const CSqliteDatabase&) = delete;
    CSqliteDatabase& operator=(const CSqliteDatabase&) = delete;

    bool Open(const std::string& path) override;
    bool Close() override;
    bool Execute(const std::string& statement) override;
    bool Query(const std::string& statement, CResultSet& result) override;
    bool TableExists(const std::string& name) override;
    bool RecordExists(const std::string& table, const std::string& column,
                      const std::string& value) override;
    bool Execute(const std::string& statement, const std::vector<SqlValue>& values) override;
    bool Query(const std::string& statement, const std::vector<SqlValue>& values,
               CResultSet& result) override;

    bool IsOpen() const { return db_ != nullptr; }
    // A transaction is open on the connection.
    bool InTransaction() const;

  private:
    bool Run(const std::string& statement, const std::vector<SqlValue>& values, CResultSet* result);

    sqlite3* db_ = nullptr;
};
