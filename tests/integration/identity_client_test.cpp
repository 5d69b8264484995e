// The identity client against a scripted UDP server that answers what a test tells it, and
// against a real zq-idserver started from the test.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <optional>
#include <regex>
#include <sstream>
#include <thread>

#include "identity/install.h"
#include "identity/report.h"
#include "platform/clock.h"
#include "records/record_store.h"

#include <sqlite3.h>

extern char** environ;

namespace fs = std::filesystem;
using namespace identity;

namespace {

struct TempDir {
    fs::path path;
    TempDir() {
        char tmpl[] = "/tmp/identity_client_test.XXXXXX";
        path = mkdtemp(tmpl);
    }
    ~TempDir() { fs::remove_all(path); }
    std::string File(const std::string& name) const { return (path / name).string(); }
};

// A UDP server that records every datagram and answers the n-th one with the n-th scripted
// reply (nullopt or past the script: no answer).
class ScriptedServer {
  public:
    explicit ScriptedServer(const char* address = "127.0.0.3") {
        fd_ = socket(AF_INET, SOCK_DGRAM, 0);
        sockaddr_in local{};
        local.sin_family = AF_INET;
        inet_pton(AF_INET, address, &local.sin_addr);
        socklen_t length = sizeof local;
        if (bind(fd_, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0 ||
            getsockname(fd_, reinterpret_cast<sockaddr*>(&local), &length) != 0)
            ADD_FAILURE() << "cannot bind the scripted server to " << address;
        port_ = ntohs(local.sin_port);
        thread_ = std::thread([this] { Serve(); });
    }
    ~ScriptedServer() {
        stop_ = true;
        thread_.join();
        close(fd_);
    }
    uint16_t port() const { return port_; }
    void Script(std::vector<std::optional<std::string>> replies) {
        std::lock_guard lock(mutex_);
        replies_ = std::move(replies);
        next_ = 0;
    }
    std::vector<std::string> Received() {
        std::lock_guard lock(mutex_);
        return received_;
    }
    // Before each scripted reply, `text` is sent to the requester from another socket bound to
    // `address` (port 0: any free port), as a stranger on the network would.
    void Decoy(std::string address, std::string text) {
        std::lock_guard lock(mutex_);
        decoy_ = {std::move(address), std::move(text)};
    }

  private:
    void Serve() {
        std::vector<char> buffer(70000);
        while (!stop_) {
            pollfd p{fd_, POLLIN, 0};
            if (poll(&p, 1, 20) <= 0)
                continue;
            sockaddr_in peer{};
            socklen_t length = sizeof peer;
            ssize_t n = recvfrom(fd_, buffer.data(), buffer.size(), 0,
                                 reinterpret_cast<sockaddr*>(&peer), &length);
            if (n < 0)
                continue;
            std::optional<std::string> reply;
            std::optional<std::pair<std::string, std::string>> decoy;
            {
                std::lock_guard lock(mutex_);
                received_.emplace_back(buffer.data(), static_cast<size_t>(n));
                if (next_ < replies_.size())
                    reply = replies_[next_];
                ++next_;
                decoy = decoy_;
            }
            if (decoy) {
                int other = socket(AF_INET, SOCK_DGRAM, 0);
                sockaddr_in from{};
                from.sin_family = AF_INET;
                inet_pton(AF_INET, decoy->first.c_str(), &from.sin_addr);
                if (bind(other, reinterpret_cast<sockaddr*>(&from), sizeof from) != 0 ||
                    sendto(other, decoy->second.data(), decoy->second.size(), 0,
                           reinterpret_cast<sockaddr*>(&peer), length) < 0)
                    ADD_FAILURE() << "the decoy from " << decoy->first << " was not sent";
                close(other);
            }
            if (reply)
                sendto(fd_, reply->data(), reply->size(), 0, reinterpret_cast<sockaddr*>(&peer),
                       length);
        }
    }

    int fd_ = -1;
    uint16_t port_ = 0;
    std::atomic<bool> stop_{false};
    std::mutex mutex_;
    std::vector<std::optional<std::string>> replies_;
    size_t next_ = 0;
    std::vector<std::string> received_;
    std::optional<std::pair<std::string, std::string>> decoy_;
    std::thread thread_;
};

// A clock that moves on by one second at every reading, so pending rows never share a key.
class SteppingClock {
  public:
    SteppingClock() {
        platform::SetLocalClock([this] {
            platform::LocalTime t;
            t.year = 2024;
            t.month = 5;
            t.day = 6;
            int s = seconds_++;
            t.hour = s / 3600 % 24;
            t.minute = s / 60 % 60;
            t.second = s % 60;
            return t;
        });
    }
    ~SteppingClock() { platform::SetLocalClock({}); }

  private:
    std::atomic<int> seconds_{8 * 3600};
};

const std::string kIdserver = std::string(ZQ_BINARY_DIR) + "/bin/zq-idserver";

// Runs an admin command of zq-idserver; returns its exit status.
int Admin(std::vector<std::string> args) {
    args.insert(args.begin(), kIdserver);
    std::vector<char*> argv;
    for (std::string& a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    pid_t pid = 0;
    int rc = posix_spawn(&pid, kIdserver.c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0)
        return -1;
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// zq-idserver serving `db` on `address` and a free port, stopped by the destructor.
class RealServer {
  public:
    explicit RealServer(const std::string& db, std::string address = "127.0.0.2") {
        int out[2];
        if (pipe(out) != 0)
            return;
        std::vector<std::string> args = {kIdserver,   "serve", "--db",   db,
                                         "--address", address, "--port", "0"};
        std::vector<char*> argv;
        for (std::string& a : args)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, out[1], 1);
        posix_spawn_file_actions_addclose(&actions, out[0]);
        if (posix_spawn(&pid_, kIdserver.c_str(), &actions, nullptr, argv.data(), environ) != 0)
            pid_ = -1;
        posix_spawn_file_actions_destroy(&actions);
        close(out[1]);
        // The first line names the address and port: "zq-idserver: listening on A:P, store F".
        std::string line;
        char c;
        pollfd p{out[0], POLLIN, 0};
        while (pid_ > 0 && poll(&p, 1, 10000) > 0 && read(out[0], &c, 1) == 1 && c != '\n')
            line += c;
        close(out[0]);
        std::smatch m;
        if (std::regex_search(line, m, std::regex("listening on " + address + ":([0-9]+)")))
            port_ = static_cast<uint16_t>(std::stoi(m[1]));
    }
    ~RealServer() { Stop(); }
    void Stop() {
        if (pid_ <= 0)
            return;
        kill(pid_, SIGTERM);
        int status = 0;
        waitpid(pid_, &status, 0);
        pid_ = -1;
        // A clean stop: no crash and, in sanitizer builds, no leak report.
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0)
            << "zq-idserver status " << status;
    }
    uint16_t port() const { return port_; }

  private:
    pid_t pid_ = -1;
    uint16_t port_ = 0;
};

std::string Field(const std::string& request, const std::string& name) {
    std::smatch m;
    if (!std::regex_search(request, m, std::regex("\"" + name + "\":\"([^\"]*)\"")))
        return "<none>";
    return m[1];
}

struct PendingRow {
    std::string date, order_name, content, uuid;
};
std::vector<PendingRow> PendingRows(CSqlDatabase& db) {
    CResultSet set;
    EXPECT_TRUE(db.Query("select * from server_net_error_table", set));
    std::vector<PendingRow> rows;
    for (const auto& r : set.rows)
        rows.push_back({r[0], r[1], r[2], r[3]});
    return rows;
}

class IdentityClient : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_TRUE(records::OpenRecordStore(db_, dir_.File("config/"))); }
    TempDir dir_;
    SteppingClock clock_;
    CSqliteDatabase db_;
};

const int kShortTimeoutMs = 300;

}  // namespace

TEST_F(IdentityClient, SendsTheExactRequestBytes) {
    ScriptedServer server;
    server.Script({"{\"ret\":\"ok\"}", "{\"ret\":\"ok\"}"});
    ServerSettings settings{"127.0.0.3", server.port(), true};
    std::string last_ok;
    const std::string order = "\xE8\xAE\xA2\xE5\x8D\x95-7";  // a non-ASCII order name
    ASSERT_EQ(ReportInstall(db_, settings, last_ok, kTypeP2pId, order, "KEY\"1", std::nullopt,
                            kShortTimeoutMs),
              "");
    ASSERT_EQ(
        ReportInstall(db_, settings, last_ok, kTypeMac, order,
                      "02:00:00:00:00:01+02:00:00:00:00:02", "02:00:00:00:00:02", kShortTimeoutMs),
        "");
    std::vector<std::string> got = server.Received();
    ASSERT_EQ(got.size(), 2u);
    std::string first = Field(got[0], "current_uuid");
    std::string second = Field(got[1], "current_uuid");
    EXPECT_TRUE(
        std::regex_match(first, std::regex("[0-9A-F]{8}-[0-9A-F]{4}-[0-9a-f]{4}-[0-9A-F]{4}-"
                                           "[0-9A-F]{12}")))
        << first;
    EXPECT_NE(first, second);
    EXPECT_EQ(got[0], "{\"body\":{\"content\":\"KEY\\\"1\",\"current_uuid\":\"" + first +
                          "\",\"last_ok_uuid\":\"\",\"order_name\":\"" + order +
                          "\",\"type\":\"p2p_id\"},\"msg\":\"install_res\"}\n");
    EXPECT_EQ(got[1],
              "{\"body\":{\"content\":\"02:00:00:00:00:01+02:00:00:00:00:02\","
              "\"content2\":\"02:00:00:00:00:02\",\"current_uuid\":\"" +
                  second + "\",\"last_ok_uuid\":\"" + first + "\",\"order_name\":\"" + order +
                  "\",\"type\":\"mac\"},\"msg\":\"install_res\"}\n");
}

TEST_F(IdentityClient, MapsEveryKindOfReplyToItsResult) {
    ScriptedServer server;
    std::string padded = "{\"ret\":\"ok\"}";
    padded += std::string(kMaxReplyBytes - padded.size(), ' ');
    struct Case {
        const char* what;
        std::optional<std::string> reply;
        std::string result;
    } cases[] = {
        {"accepted", "{\"ret\":\"ok\"}\n", ""},
        {"nothing", std::nullopt, "net_error"},
        {"garbage", "\x01\xFFgarbage", "rsp_msg_error"},
        {"a JSON array", "[{\"ret\":\"ok\"}]", "rsp_msg_error"},
        {"single quotes", "{'ret':'fail','errs':'installed'}", "installed"},
        {"single-quoted ok", "{'ret':'ok'}", ""},
        {"a refusal without errs", "{\"ret\":\"fail\"}", "rsp_msg_error"},
        {"5000 bytes", "{\"ret\":\"ok\"}" + std::string(5000, ' '), "net_error"},
        {"exactly 4096 bytes", padded, ""},
        {"an empty datagram", "", "net_error"},
        {"server_busy", "{\"ret\":\"fail\",\"errs\":\"server_busy\"}", "server_busy"},
        {"db_error", "{\"ret\":\"fail\",\"errs\":\"db_error\"}", "db_error"},
        {"order_name_not_exist", "{\"ret\":\"fail\",\"errs\":\"order_name_not_exist\"}",
         "order_name_not_exist"},
        {"content_not_exist", "{\"ret\":\"fail\",\"errs\":\"content_not_exist\"}",
         "content_not_exist"},
        {"installed", "{\"ret\":\"fail\",\"errs\":\"installed\"}", "installed"},
        {"unknown refusal", "{\"ret\":\"fail\",\"errs\":\"no_stock\"}", "no_stock"},
    };
    for (const Case& c : cases) {
        server.Script({c.reply});
        EXPECT_EQ(InstallToServer("127.0.0.3", server.port(), kTypeP2pId, "A", "KEY", std::nullopt,
                                  "", MakeGuidText(), kShortTimeoutMs),
                  c.result)
            << c.what;
    }
    EXPECT_EQ(server.Received().size(), std::size(cases));
}

// A datagram from anyone but the server (another address, or the server's address with another
// port) neither accepts nor refuses: it arrives first and is ignored.
TEST_F(IdentityClient, OnlyTheServersAddressAndPortCanAnswer) {
    struct Case {
        const char* decoy_address;
        std::optional<std::string> server_reply;
        std::string result;
    } cases[] = {
        {"127.0.0.4", "{\"ret\":\"fail\",\"errs\":\"installed\"}", "installed"},
        {"127.0.0.3", "{\"ret\":\"fail\",\"errs\":\"installed\"}", "installed"},
        {"127.0.0.4", std::nullopt, "net_error"},
        {"127.0.0.3", std::nullopt, "net_error"},
        {"127.0.0.4", "{\"ret\":\"ok\"}", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.decoy_address);
        ScriptedServer server;
        server.Decoy(c.decoy_address, "{\"ret\":\"ok\"}");
        server.Script({c.server_reply});
        EXPECT_EQ(InstallToServer("127.0.0.3", server.port(), kTypeMac, "A", "02:00:00:00:00:01",
                                  std::nullopt, "", MakeGuidText(), kShortTimeoutMs),
                  c.result);
        EXPECT_EQ(server.Received().size(), 1u);
    }
}

extern "C" void IgnoreSignal(int) {}

// Signals that interrupt the wait for the reply do not start the time-out over.
TEST_F(IdentityClient, InterruptedWaitsKeepTheTimeout) {
    ScriptedServer server;
    server.Script({std::nullopt});
    struct sigaction action {};
    action.sa_handler = IgnoreSignal;  // no SA_RESTART: every signal interrupts the wait
    struct sigaction before {};
    ASSERT_EQ(sigaction(SIGUSR1, &action, &before), 0);
    const pthread_t waiting = pthread_self();
    std::atomic<bool> stop{false};
    std::thread interrupter([&] {
        for (int i = 0; i < 60 && !stop; ++i) {
            pthread_kill(waiting, SIGUSR1);
            std::this_thread::sleep_for(std::chrono::milliseconds(25));
        }
    });
    const auto start = std::chrono::steady_clock::now();
    std::string result = InstallToServer("127.0.0.3", server.port(), kTypeP2pId, "A", "KEY",
                                         std::nullopt, "", "U", kShortTimeoutMs);
    const auto waited = std::chrono::steady_clock::now() - start;
    stop = true;
    interrupter.join();
    sigaction(SIGUSR1, &before, nullptr);
    EXPECT_EQ(result, "net_error");
    EXPECT_GE(waited, std::chrono::milliseconds(kShortTimeoutMs - 10));
    EXPECT_LT(waited, std::chrono::milliseconds(kShortTimeoutMs + 500));
}

TEST_F(IdentityClient, ResolvesHostNamesForIpv4) {
    ScriptedServer server("127.0.0.1");
    server.Script({"{\"ret\":\"ok\"}"});
    EXPECT_EQ(InstallToServer("localhost", server.port(), kTypeP2pId, "A", "KEY", std::nullopt, "",
                              "U", kShortTimeoutMs),
              "");
    EXPECT_EQ(server.Received().size(), 1u);
}

TEST_F(IdentityClient, ReusesTheIdentifierOfALostReportUntilItIsAccepted) {
    ScriptedServer server;
    ServerSettings settings{"127.0.0.3", server.port(), true};
    std::string last_ok;
    server.Script({std::nullopt, std::nullopt, "{\"ret\":\"ok\"}",
                   "{\"ret\":\"fail\",\"errs\":\"installed\"}"});

    EXPECT_EQ(ReportInstall(db_, settings, last_ok, kTypeP2pId, "A", "KEY1", std::nullopt,
                            kShortTimeoutMs),
              "net_error");
    std::vector<PendingRow> rows = PendingRows(db_);
    ASSERT_EQ(rows.size(), 1u);
    const std::string lost = rows[0].uuid;
    EXPECT_EQ(rows[0].order_name, "A");
    EXPECT_EQ(rows[0].content, "KEY1");
    const std::string first_date = rows[0].date;

    // Lost again: the same identifier goes out, and the row is replaced by a newer one.
    EXPECT_EQ(ReportInstall(db_, settings, last_ok, kTypeP2pId, "A", "KEY1", std::nullopt,
                            kShortTimeoutMs),
              "net_error");
    rows = PendingRows(db_);
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0].uuid, lost);
    EXPECT_GT(rows[0].date, first_date);
    EXPECT_EQ(last_ok, "");

    // Accepted under the same identifier: the row is gone and it is the last accepted one.
    EXPECT_EQ(ReportInstall(db_, settings, last_ok, kTypeP2pId, "A", "KEY1", std::nullopt,
                            kShortTimeoutMs),
              "");
    EXPECT_TRUE(PendingRows(db_).empty());
    EXPECT_EQ(last_ok, lost);

    // Another report then carries it as "last_ok_uuid"; a refusal touches no pending row.
    ASSERT_TRUE(records::AddPendingReport(db_, "A", "KEY3", "OTHER"));
    EXPECT_EQ(ReportInstall(db_, settings, last_ok, kTypeP2pId, "A", "KEY2", std::nullopt,
                            kShortTimeoutMs),
              "installed");
    EXPECT_EQ(last_ok, lost);
    rows = PendingRows(db_);
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0].uuid, "OTHER");

    std::vector<std::string> got = server.Received();
    ASSERT_EQ(got.size(), 4u);
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(Field(got[i], "current_uuid"), lost) << i;
        EXPECT_EQ(Field(got[i], "last_ok_uuid"), "") << i;
    }
    EXPECT_NE(Field(got[3], "current_uuid"), lost);
    EXPECT_EQ(Field(got[3], "last_ok_uuid"), lost);
}

TEST_F(IdentityClient, KeepsThePendingRowWhenItsReplacementFails) {
    ScriptedServer server;
    ServerSettings settings{"127.0.0.3", server.port(), true};
    std::string last_ok;
    ASSERT_TRUE(records::AddPendingReport(db_, "A", "KEY1", "KEPT"));
    // The clock stands still and another row holds its key, so the replacement's insert fails.
    platform::LocalTime next;
    platform::SetLocalClock([&] { return next; });
    ASSERT_TRUE(records::AddPendingReport(db_, "A", "OTHER", "X"));
    server.Script({std::nullopt});
    EXPECT_EQ(ReportInstall(db_, settings, last_ok, kTypeP2pId, "A", "KEY1", std::nullopt,
                            kShortTimeoutMs),
              "net_error");
    EXPECT_EQ(records::PendingReportUuid(db_, "A", "KEY1"), "KEPT");
    EXPECT_EQ(Field(server.Received().at(0), "current_uuid"), "KEPT");
}

// A report lost on the network whose pending row cannot be stored (another row was added within
// the same second) keeps its identifier: the repeat goes out under it, a later row stores it,
// and its acceptance makes it the last accepted one.
TEST_F(IdentityClient, ALostReportKeepsItsIdentifierWhenItsRowCannotBeStored) {
    ScriptedServer server;
    ServerSettings settings{"127.0.0.3", server.port(), true};
    std::string last_ok;
    platform::LocalTime now;
    now.year = 2024;
    now.month = 5;
    now.day = 7;
    platform::SetLocalClock([&] { return now; });
    ASSERT_TRUE(records::AddPendingReport(db_, "A", "OTHER", "X"));  // holds this second's key
    server.Script({std::nullopt, std::nullopt, std::nullopt, "{\"ret\":\"ok\"}"});
    const std::string order = "order of the unstored report";

    EXPECT_EQ(ReportInstall(db_, settings, last_ok, kTypeP2pId, order, "KEY1", std::nullopt,
                            kShortTimeoutMs),
              "net_error");
    EXPECT_EQ(records::PendingReportUuid(db_, order, "KEY1"), "");
    EXPECT_EQ(ReportInstall(db_, settings, last_ok, kTypeP2pId, order, "KEY1", std::nullopt,
                            kShortTimeoutMs),
              "net_error");
    now.second = 1;  // the next second: now the row can be stored
    EXPECT_EQ(ReportInstall(db_, settings, last_ok, kTypeP2pId, order, "KEY1", std::nullopt,
                            kShortTimeoutMs),
              "net_error");
    std::vector<std::string> got = server.Received();
    ASSERT_EQ(got.size(), 3u);
    const std::string lost = Field(got[0], "current_uuid");
    EXPECT_EQ(Field(got[1], "current_uuid"), lost);
    EXPECT_EQ(Field(got[2], "current_uuid"), lost);
    EXPECT_EQ(records::PendingReportUuid(db_, order, "KEY1"), lost);

    EXPECT_EQ(ReportInstall(db_, settings, last_ok, kTypeP2pId, order, "KEY1", std::nullopt,
                            kShortTimeoutMs),
              "");
    EXPECT_EQ(Field(server.Received().at(3), "current_uuid"), lost);
    EXPECT_EQ(last_ok, lost);
    EXPECT_EQ(records::PendingReportUuid(db_, order, "KEY1"), "");
    // Accepted, the identifier is forgotten: the next report of the same content is a new one.
    server.Script({std::nullopt});
    EXPECT_EQ(ReportInstall(db_, settings, last_ok, kTypeP2pId, order, "KEY1", std::nullopt,
                            kShortTimeoutMs),
              "net_error");
    EXPECT_NE(Field(server.Received().at(4), "current_uuid"), lost);
}

// Another program reads the record store (an engineer's shell, a backup) while a report is lost:
// the pending row's COMMIT cannot take the file. It must not leave its transaction open, or every
// later row would go into it and be rolled back at the close.
TEST_F(IdentityClient, AReaderOfTheStoreNeverLeavesATransactionOpenBehindALostReport) {
    ScriptedServer server;
    ServerSettings settings{"127.0.0.3", server.port(), true};
    std::string last_ok;
    sqlite3* reader = nullptr;
    ASSERT_EQ(sqlite3_open(dir_.File("config/ZQTalvane.db").c_str(), &reader), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(reader, "begin; select count(*) from MacAddress;", nullptr, nullptr,
                           nullptr),
              SQLITE_OK);
    server.Script({std::nullopt, std::nullopt});
    EXPECT_EQ(ReportInstall(db_, settings, last_ok, kTypeP2pId, "A", "KEY1", std::nullopt,
                            kShortTimeoutMs),
              "net_error");
    EXPECT_FALSE(db_.InTransaction());
    sqlite3_exec(reader, "commit;", nullptr, nullptr, nullptr);
    sqlite3_close(reader);

    // The operator goes on: the next unit's serial number is recorded and survives the close.
    ASSERT_TRUE(records::AddSerialNumber(db_, "SN-AFTER-THE-READER", "A"));
    // The lost report keeps its identifier in memory; its repeat stores the pending row.
    EXPECT_EQ(ReportInstall(db_, settings, last_ok, kTypeP2pId, "A", "KEY1", std::nullopt,
                            kShortTimeoutMs),
              "net_error");
    const std::string lost = Field(server.Received().at(0), "current_uuid");
    EXPECT_EQ(Field(server.Received().at(1), "current_uuid"), lost);
    db_.Close();
    ASSERT_TRUE(records::OpenRecordStore(db_, dir_.File("config/")));
    EXPECT_TRUE(records::SerialNumberKnown(db_, "SN-AFTER-THE-READER", "A"));
    EXPECT_EQ(records::PendingReportUuid(db_, "A", "KEY1"), lost);
}

TEST_F(IdentityClient, StoresQuotesAndSqlKeywordsInPendingRowsUnchanged) {
    ScriptedServer server;
    ServerSettings settings{"127.0.0.3", server.port(), true};
    std::string last_ok;
    const std::string order = "O'Brien'; DROP TABLE server_net_error_table; -- \xE8\xAE\xA2";
    const std::string content = "K'1\" OR '1'='1";
    server.Script({std::nullopt});
    EXPECT_EQ(ReportInstall(db_, settings, last_ok, kTypeP2pId, order, content, std::nullopt,
                            kShortTimeoutMs),
              "net_error");
    std::vector<PendingRow> rows = PendingRows(db_);
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0].order_name, order);
    EXPECT_EQ(rows[0].content, content);
    EXPECT_EQ(records::PendingReportUuid(db_, order, content), rows[0].uuid);
    EXPECT_EQ(records::PendingReportUuid(db_, order, "K'1"), "");
    EXPECT_TRUE(records::RemovePendingReports(db_, order, content));
    EXPECT_TRUE(PendingRows(db_).empty());
}

TEST_F(IdentityClient, DisabledClientSendsNothing) {
    ScriptedServer server("127.0.0.1");
    server.Script({"{\"ret\":\"fail\",\"errs\":\"installed\"}"});
    std::string last_ok = "BEFORE";
    for (const char* host : {"127.0.0.1", ""}) {
        EXPECT_EQ(ReportInstall(db_, {host, server.port(), false}, last_ok, kTypeMac, "A",
                                "02:00:00:00:00:01", std::nullopt, kShortTimeoutMs),
                  "")
            << host;
    }
    EXPECT_TRUE(server.Received().empty());
    EXPECT_EQ(last_ok, "BEFORE");
    EXPECT_TRUE(PendingRows(db_).empty());
}

TEST_F(IdentityClient, WorksWithTheLineIdentityServer) {
    const std::string idb = dir_.File("idserver.db");
    const std::string order = "\xE8\xAE\xA2\xE5\x8D\x95 A'1";
    const std::string pool = dir_.File("pool.csv");
    std::ofstream(pool) << "KEY1-000000000000001,first\nscan=KEY2-000000000000001,second\n"
                        << "KEY3-000000000000001,third\n";
    ASSERT_EQ(Admin({"create-order", order, "--db", idb}), 0);
    ASSERT_EQ(Admin({"import-pool", order, pool, "--db", idb}), 0);
    ASSERT_EQ(
        Admin({"add-mac-range", order, "02:00:00:00:00:00", "02:00:00:00:00:FF", "--db", idb}), 0);

    auto server = std::make_unique<RealServer>(idb);
    ASSERT_NE(server->port(), 0);
    ServerSettings settings{"127.0.0.2", server->port(), true};
    std::string last_ok;
    auto report = [&](const std::string& order_name, const std::string& content,
                      std::optional<std::string> content2 = std::nullopt) {
        return ReportInstall(
            db_, settings, last_ok,
            content2 || content.find(':') != std::string::npos ? kTypeMac : kTypeP2pId, order_name,
            content, content2, kShortTimeoutMs);
    };

    EXPECT_EQ(report(order, "KEY1-000000000000001"), "");
    const std::string first = last_ok;
    EXPECT_EQ(report(order, "KEY1-000000000000001"), "installed");
    EXPECT_EQ(last_ok, first);
    EXPECT_EQ(report("no such order", "KEY2-000000000000001"), "order_name_not_exist");
    EXPECT_EQ(report(order, "KEY9-000000000000001"), "content_not_exist");
    EXPECT_EQ(report(order, "02:00:00:00:00:10+02:00:00:00:00:11", "02:00:00:00:00:11"), "");
    EXPECT_EQ(report(order, "02:00:00:00:00:11"), "installed");

    // The server took a report whose answer was lost: repeating it under its pending identifier
    // is accepted, not refused as a duplicate.
    const std::string lost = MakeGuidText();
    ASSERT_EQ(InstallToServer("127.0.0.2", server->port(), kTypeP2pId, order,
                              "KEY2-000000000000001", std::nullopt, "", lost, kShortTimeoutMs),
              "");
    ASSERT_TRUE(records::AddPendingReport(db_, order, "KEY2-000000000000001", lost));
    EXPECT_EQ(report(order, "KEY2-000000000000001"), "");
    EXPECT_EQ(last_ok, lost);
    EXPECT_TRUE(PendingRows(db_).empty());

    // No server: "net_error" and a pending row; after a restart the same identifier is accepted
    // and every earlier install is still on record.
    server->Stop();
    EXPECT_EQ(report(order, "KEY3-000000000000001"), "net_error");
    const std::string pending = records::PendingReportUuid(db_, order, "KEY3-000000000000001");
    ASSERT_FALSE(pending.empty());
    server = std::make_unique<RealServer>(idb);
    settings.port = server->port();
    EXPECT_EQ(report(order, "KEY3-000000000000001"), "");
    EXPECT_EQ(last_ok, pending);
    EXPECT_EQ(report(order, "KEY1-000000000000001"), "installed");
    EXPECT_EQ(report(order, "KEY2-000000000000001"), "installed");
    EXPECT_EQ(report(order, "02:00:00:00:00:10"), "installed");
    server->Stop();

    // The server's record shows each identity under the identifier it was accepted with.
    const std::string csv = dir_.File("installs.csv");
    ASSERT_EQ(Admin({"export-csv", order, "--out", csv, "--db", idb}), 0);
    std::ifstream in(csv);
    std::stringstream text;
    text << in.rdbuf();
    EXPECT_NE(text.str().find(",p2p_id,KEY1-000000000000001,KEY1-000000000000001,," + first + ","),
              std::string::npos)
        << text.str();
    EXPECT_NE(text.str().find(",p2p_id,KEY2-000000000000001,KEY2-000000000000001,," + lost + ","),
              std::string::npos);
    EXPECT_NE(
        text.str().find(",p2p_id,KEY3-000000000000001,KEY3-000000000000001,," + pending + ","),
        std::string::npos);
}

TEST_F(IdentityClient, AnIdentifierTheServerHoldsForAnotherRequestIsReplacedByANewOne) {
    const std::string idb = dir_.File("idserver.db");
    const std::string pool = dir_.File("pool.txt");
    std::ofstream(pool) << "KEY1-000000000000001\nKEY2-000000000000001\n";
    ASSERT_EQ(Admin({"create-order", "A", "--db", idb}), 0);
    ASSERT_EQ(Admin({"import-pool", "A", pool, "--db", idb}), 0);
    RealServer server(idb, "127.0.45.3");
    ASSERT_NE(server.port(), 0);
    ServerSettings settings{"127.0.45.3", server.port(), true};
    std::string last_ok;
    ASSERT_EQ(ReportInstall(db_, settings, last_ok, kTypeP2pId, "A", "KEY1-000000000000001",
                            std::nullopt, kShortTimeoutMs),
              "");
    const std::string taken = last_ok;
    // A pending report of another key under that identifier (a record store copied from another
    // workstation, say) is refused and dropped, and the next try goes out under a new one.
    ASSERT_TRUE(records::AddPendingReport(db_, "A", "KEY2-000000000000001", taken));
    EXPECT_EQ(ReportInstall(db_, settings, last_ok, kTypeP2pId, "A", "KEY2-000000000000001",
                            std::nullopt, kShortTimeoutMs),
              "uuid_reused");
    EXPECT_TRUE(PendingRows(db_).empty());
    EXPECT_EQ(ReportInstall(db_, settings, last_ok, kTypeP2pId, "A", "KEY2-000000000000001",
                            std::nullopt, kShortTimeoutMs),
              "");
    EXPECT_NE(last_ok, taken);
}
