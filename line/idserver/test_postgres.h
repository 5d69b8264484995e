// A PostgreSQL server of a test's own: initdb into a temporary folder, started with pg_ctl on a
// free loopback port (and a Unix socket in the same folder), stopped and removed at the end. So
// tests and benchmarks need no PostgreSQL service running.
//
// The binaries are found at run time: $ZQ_PG_BIN, else the newest /usr/lib/postgresql/*/bin,
// else initdb on PATH. Run as root, the server runs as the "postgres" user (PostgreSQL refuses
// root). Methods are called from one thread; failures are return values with error() set.
#pragma once

#include <string>
#include <vector>

namespace idserver {

class TestPostgres {
  public:
    TestPostgres() = default;
    ~TestPostgres();
    TestPostgres(const TestPostgres&) = delete;
    TestPostgres& operator=(const TestPostgres&) = delete;

    // Creates the cluster and starts it. False when PostgreSQL is not installed or fails.
    bool Start();
    // Stops the server ("immediate" is an abrupt stop, as a crash would be) and starts it again on
    // the same port and data.
    bool Stop(bool immediate = false);
    bool Restart(bool immediate);
    // Makes a new empty database and returns its connection text ("" on failure).
    std::string NewDatabase();
    // The connection text of database `name` (which need not exist).
    std::string Url(const std::string& name) const;
    int port() const { return port_; }
    const std::string& error() const { return error_; }

  private:
    bool Run(const std::string& program, const std::vector<std::string>& args);
    bool StartServer();

    std::string bin_, dir_, error_;
    int port_ = 0;
    int databases_ = 0;
    bool running_ = false;
};

// One server for the whole test program, started on first use (nullptr when it cannot start).
TestPostgres* SharedPostgres();

}  // namespace idserver
