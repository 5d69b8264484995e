#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <sys/wait.h>
#include <atomic>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <sstream>
#include <thread>

#include "admin.h"
#include "db.h"
#include "request.h"
#include "server.h"
#include "store.h"
#include "test_postgres.h"

namespace fs = std::filesystem;
using namespace idserver;

namespace {

struct TempDir {
    fs::path path;
    TempDir() {
        char tmpl[] = "/tmp/idserver_test.XXXXXX";
        path = mkdtemp(tmpl);
    }
    ~TempDir() { fs::remove_all(path); }
    std::string File(const std::string& name) const { return (path / name).string(); }
};

// One request/answer over UDP from a fresh socket to a server on `address`; "" when nothing came
// back within `seconds`.
std::string SendTo(const std::string& address, uint16_t port, const std::string& text,
                   int seconds = 3) {
    int fd = socket(AF_INET, SOCK_DGRAM, 0);
    timeval tv{seconds, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(port);
    inet_pton(AF_INET, address.c_str(), &to.sin_addr);
    sendto(fd, text.data(), text.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
    char buffer[4096];
    ssize_t n = recv(fd, buffer, sizeof buffer, 0);
    close(fd);
    return n > 0 ? std::string(buffer, static_cast<size_t>(n)) : std::string();
}

std::string Send(uint16_t port, const std::string& text) {
    return SendTo("127.0.0.2", port, text);
}

std::string Quote(const std::string& text) {
    std::string out = "\"";
    for (char c : text) {
        if (c == '"' || c == '\\')
            out += '\\';
        out += c;
    }
    return out + "\"";
}

std::string Request(const std::string& order, const std::string& type, const std::string& content,
                    const std::string& uuid, const std::string& content2 = "") {
    std::string body = "\"content\":" + Quote(content) + ",";
    if (!content2.empty())
        body += "\"content2\":" + Quote(content2) + ",";
    body += "\"current_uuid\":" + Quote(uuid) +
            ",\"last_ok_uuid\":\"\",\"order_name\":" + Quote(order) + ",\"type\":" + Quote(type);
    return "{\"body\":{" + body + "},\"msg\":\"install_res\"}\n";
}

const std::string kOk = "{\"ret\":\"ok\"}\n";
std::string Refused(const std::string& name) {
    return "{\"ret\":\"fail\",\"errs\":\"" + name + "\"}\n";
}

// A store with order "A" holding two P2P identities, a MAC range and a listed MAC.
void MakeOrder(const std::string& db, const std::string& order = "A") {
    Store store;
    ASSERT_TRUE(store.Open(db)) << store.error();
    ASSERT_TRUE(store.CreateOrder(order)) << store.error();
    int64_t added = 0;
    ASSERT_TRUE(store.ImportPool(order, "p2p_id", {"KEY1", "KEY2"}, added));
    ASSERT_TRUE(store.ImportPool(order, "mac", {"02-00-00-00-99-01"}, added));
    ASSERT_TRUE(
        store.AddMacRange(order, *ParseMac("02:00:00:00:00:00"), *ParseMac("02:00:00:00:00:FF")));
}

ServerOptions LoopbackOptions() {
    ServerOptions options;
    options.port = 0;
    return options;
}

// The stores every test below runs against: one table, one parameterised run per row.
struct StoreCase {
    const char* name;
    bool postgres;
    // A query whose one value is "ok" when the store's pool is consistent.
    const char* integrity_check;
};
const StoreCase kStores[] = {
    {"sqlite", false, "PRAGMA integrity_check"},
    {"postgres", true,
     "SELECT CASE WHEN count(*) = count(DISTINCT (order_id, type, value)) THEN 'ok' END FROM pool"},
};

class StoreTest : public ::testing::TestWithParam<StoreCase> {
  protected:
    void SetUp() override {
        if (GetParam().postgres && !SharedPostgres())
            GTEST_FAIL() << "PostgreSQL could not be started for the tests";
    }
    // A fresh, not yet created store: a file in `dir` for SQLite, an empty database for
    // PostgreSQL. The same name gives the same store within a test.
    std::string StorePath(const std::string& name) {
        auto it = stores_.find(name);
        if (it != stores_.end())
            return it->second;
        std::string path = GetParam().postgres ? SharedPostgres()->NewDatabase() : dir.File(name);
        EXPECT_FALSE(path.empty()) << SharedPostgres()->error();
        return stores_[name] = path;
    }
    // Whether anything of a store was made: the file, or the tables in the database.
    bool StoreMade(const std::string& db) {
        if (!GetParam().postgres)
            return fs::exists(db);
        std::string why;
        std::unique_ptr<Db> raw = OpenPostgres(db, 1000, why);
        return raw && raw->Run("SELECT 1 FROM pg_tables WHERE schemaname = 'public'").rows.size();
    }
    // The first value of `sql` run on the store's database, outside the Store.
    std::string Query(const std::string& db, const std::string& sql) {
        std::string why;
        std::unique_ptr<Db> raw =
            GetParam().postgres ? OpenPostgres(db, 5000, why) : OpenSqlite(db, 5000, false, why);
        EXPECT_TRUE(raw) << why;
        return raw ? raw->Run(sql).Text(0, 0) : std::string();
    }
    // Holds every table of the store against writers until the result is destroyed, as another
    // writer stuck in a long transaction would.
    std::unique_ptr<Db> Lock(const std::string& db) {
        std::string why;
        std::unique_ptr<Db> raw =
            GetParam().postgres ? OpenPostgres(db, 5000, why) : OpenSqlite(db, 5000, false, why);
        EXPECT_TRUE(raw) << why;
        const bool locked =
            raw && raw->Script(GetParam().postgres
                                   ? "BEGIN; LOCK TABLE orders, pool, mac_ranges, installs,"
                                     " requests, refusals, voids IN ACCESS EXCLUSIVE MODE"
                                   : "BEGIN EXCLUSIVE");
        EXPECT_TRUE(locked) << (raw ? raw->error() : why);
        return raw;
    }
    TempDir dir;

  private:
    std::map<std::string, std::string> stores_;
};

std::string StoreName(const ::testing::TestParamInfo<StoreCase>& info) {
    return info.param.name;
}

#define ZQ_STORE_SUITE(suite)          \
    class suite : public StoreTest {}; \
    INSTANTIATE_TEST_SUITE_P(Stores, suite, ::testing::ValuesIn(kStores), StoreName)

ZQ_STORE_SUITE(IdserverServer);
ZQ_STORE_SUITE(IdserverAdmin);
ZQ_STORE_SUITE(IdserverTrail);
ZQ_STORE_SUITE(IdserverImport);

}  // namespace

TEST(IdserverRequest, ParsesOnlyWellFormedInstallRequests) {
    InstallRequest r;
    ASSERT_TRUE(ParseInstallRequest(Request("A", "mac", "X", "U", "W"), r));
    EXPECT_EQ(r.order_name, "A");
    EXPECT_EQ(r.content2, "W");
    ASSERT_TRUE(ParseInstallRequest(Request("A", "p2p_id", "X", "U"), r));
    EXPECT_FALSE(r.content2.has_value());

    const char* bad[] = {
        "",
        "garbage",
        "[]",
        "{\"body\":{},\"msg\":\"install_res\"}",
        "{\"body\":{\"content\":\"X\",\"current_uuid\":\"U\",\"order_name\":\"A\",\"type\":\"mac\"}"
        ","
        "\"msg\":\"other\"}",
        "{\"body\":{\"content\":\"X\",\"current_uuid\":\"U\",\"order_name\":\"A\",\"type\":\"mac\"}"
        "}",
        "{\"body\":{\"content\":\"\",\"current_uuid\":\"U\",\"order_name\":\"A\",\"type\":\"mac\"},"
        "\"msg\":\"install_res\"}",
        "{\"body\":{\"content\":\"X\",\"current_uuid\":\"\",\"order_name\":\"A\",\"type\":\"mac\"},"
        "\"msg\":\"install_res\"}",
        "{\"body\":{\"content\":1,\"current_uuid\":\"U\",\"order_name\":\"A\",\"type\":\"mac\"},"
        "\"msg\":\"install_res\"}",
        "{'body':{'content':'X','current_uuid':'U','order_name':'A','type':'mac'},"
        "'msg':'install_res'}",
        "{\"body\":{\"content\":\"X\",\"current_uuid\":\"U\",\"order_name\":\"A\",\"type\":\"mac\"}"
        ","
        "\"msg\":\"install_res\"} trailing",
        "{\"body\":{\"content\":\"X\",\"current_uuid\":\"U\",\"order_name\":\"A\",\"type\":"
        "\"mac\"}",
    };
    for (const char* text : bad)
        EXPECT_FALSE(ParseInstallRequest(text, r)) << text;
    std::string deep(100000, '[');
    EXPECT_FALSE(ParseInstallRequest(deep, r));
}

TEST(IdserverMac, ParsesTheUsualFormsAndNothingElse) {
    EXPECT_EQ(ParseMac("02:ab:CD:00:00:01"), 0x02ABCD000001u);
    EXPECT_EQ(ParseMac("02-AB-CD-00-00-01"), 0x02ABCD000001u);
    EXPECT_EQ(ParseMac("02abcd000001"), 0x02ABCD000001u);
    EXPECT_EQ(MacText(0x02ABCD000001u), "02:AB:CD:00:00:01");
    for (const char* bad : {"", "02:AB:CD:00:00", "02:AB-CD:00:00:01", "0G:AB:CD:00:00:01",
                            "02:AB:CD:00:00:01:", "02abcd00000"})
        EXPECT_FALSE(ParseMac(bad).has_value()) << bad;
}

TEST_P(IdserverServer, AnswersEachInstallCase) {
    std::string db = StorePath("id.db");
    MakeOrder(db);
    Server server;
    ASSERT_TRUE(server.Start(db, LoopbackOptions())) << server.error();
    uint16_t port = server.port();

    struct Case {
        std::string request, answer;
    } cases[] = {
        {Request("A", "p2p_id", "KEY1", "U1"), kOk},
        {Request("A", "p2p_id", "KEY1", "U1"), kOk},  // repeat: the first answer was lost
        {Request("A", "p2p_id", "KEY1", "U2"), Refused("installed")},
        {Request("B", "p2p_id", "KEY2", "U3"), Refused("order_name_not_exist")},
        {Request("A", "p2p_id", "KEY9", "U4"), Refused("content_not_exist")},
        {Request("A", "serial", "KEY2", "U5"), Refused("content_not_exist")},
        // Ethernet and Wi-Fi address, from the range and from the list.
        {Request("A", "mac", "02:00:00:00:00:10+02:00:00:00:99:01", "U6", "02:00:00:00:99:01"),
         kOk},
        {Request("A", "mac", "02:00:00:00:99:01", "U7"), Refused("installed")},
        {Request("A", "mac", "02:00:00:00:01:00", "U8"), Refused("content_not_exist")},
        {Request("A", "mac", "02:00:00:00:00:11", "U9", "02:00:00:00:01:00"),
         Refused("content_not_exist")},
        {Request("A", "mac", "not a mac", "U10"), Refused("content_not_exist")},
        {"not json", Refused("req_msg_error")},
        {"{\"msg\":\"install_res\"}", Refused("req_msg_error")},
    };
    for (const Case& c : cases)
        EXPECT_EQ(Send(port, c.request), c.answer) << c.request;

    // A refused Wi-Fi address was not recorded with the refused Ethernet address.
    EXPECT_EQ(Send(port, Request("A", "mac", "02:00:00:00:00:11", "U11")), kOk);
    server.Stop();

    Store store;
    ASSERT_TRUE(store.Open(db));
    std::vector<InstallRow> rows;
    ASSERT_TRUE(store.ListInstalls("", rows));
    ASSERT_EQ(rows.size(), 4u);  // KEY1, two MACs of U6, and the last one
}

TEST_P(IdserverServer, AcceptsExactlyOneOfConcurrentInstallsOfOneIdentity) {
    std::string db = StorePath("id.db");
    MakeOrder(db);
    Server server;
    ASSERT_TRUE(server.Start(db, LoopbackOptions())) << server.error();
    const int kClients = 16;
    std::atomic<int> accepted{0}, installed{0}, other{0};
    std::vector<std::thread> clients;
    for (int i = 0; i < kClients; ++i)
        clients.emplace_back([&, i] {
            std::string answer =
                Send(server.port(), Request("A", "p2p_id", "KEY2", "UUID-" + std::to_string(i)));
            if (answer == kOk)
                ++accepted;
            else if (answer == Refused("installed"))
                ++installed;
            else
                ++other;
        });
    for (std::thread& t : clients)
        t.join();
    EXPECT_EQ(accepted, 1);
    EXPECT_EQ(installed, kClients - 1);
    EXPECT_EQ(other, 0);
}

TEST_P(IdserverServer, RestartKeepsOrdersPoolsAndInstalls) {
    std::string db = StorePath("id.db");
    MakeOrder(db);
    {
        Server server;
        ASSERT_TRUE(server.Start(db, LoopbackOptions()));
        ASSERT_EQ(Send(server.port(), Request("A", "p2p_id", "KEY1", "U1")), kOk);
    }
    Server server;
    ASSERT_TRUE(server.Start(db, LoopbackOptions()));
    EXPECT_EQ(Send(server.port(), Request("A", "p2p_id", "KEY1", "U1")), kOk);
    EXPECT_EQ(Send(server.port(), Request("A", "p2p_id", "KEY1", "U2")), Refused("installed"));
    EXPECT_EQ(Send(server.port(), Request("A", "p2p_id", "KEY2", "U3")), kOk);
    EXPECT_EQ(Send(server.port(), Request("A", "mac", "02:00:00:00:00:01", "U4")), kOk);
}

TEST_P(IdserverServer, StoresQuotesAndSqlKeywordsUnchanged) {
    std::string db = StorePath("id.db");
    const std::string order = "O'Brien\"; DROP TABLE orders; --";
    const std::string key = "K'); DELETE FROM installs; --\\\"";
    {
        Store store;
        ASSERT_TRUE(store.Open(db));
        ASSERT_TRUE(store.CreateOrder(order));
        int64_t added = 0;
        ASSERT_TRUE(store.ImportPool(order, "p2p_id", {key}, added));
        EXPECT_EQ(added, 1);
    }
    Server server;
    ASSERT_TRUE(server.Start(db, LoopbackOptions()));
    EXPECT_EQ(Send(server.port(), Request(order, "p2p_id", key, "U'1")), kOk);
    server.Stop();
    Store store;
    ASSERT_TRUE(store.Open(db));
    std::vector<InstallRow> rows;
    ASSERT_TRUE(store.ListInstalls(order, rows));
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0].order_name, order);
    EXPECT_EQ(rows[0].content, key);
    EXPECT_EQ(rows[0].uuid, "U'1");
}

TEST_P(IdserverServer, AnswersDbErrorAndServerBusyWhileTheStoreIsLocked) {
    std::string db = StorePath("id.db");
    MakeOrder(db);
    ServerOptions options = LoopbackOptions();
    options.queue_capacity = 1;
    options.busy_timeout_ms = 1000;
    Server server;
    ASSERT_TRUE(server.Start(db, options));

    std::unique_ptr<Db> locker = Lock(db);
    ASSERT_TRUE(locker);
    const int kClients = 4;
    std::vector<std::string> answers(kClients);
    std::vector<std::thread> clients;
    for (int i = 0; i < kClients; ++i)
        clients.emplace_back([&, i] {
            // Each waits for the store's give-up, the queued one after the one before it: a
            // busy machine may take longer than the usual 3 s for the last answer.
            answers[static_cast<size_t>(i)] =
                SendTo("127.0.0.2", server.port(),
                       Request("A", "p2p_id", "KEY1", std::string("U").append(std::to_string(i))),
                       15);
        });
    for (std::thread& t : clients)
        t.join();
    locker.reset();
    int busy = 0, db_error = 0;
    for (const std::string& a : answers) {
        busy += a == Refused("server_busy");
        db_error += a == Refused("db_error");
    }
    EXPECT_GE(busy, 1);
    EXPECT_GE(db_error, 1);
    EXPECT_EQ(busy + db_error, kClients);
    // Once the lock is gone the store works again.
    EXPECT_EQ(Send(server.port(), Request("A", "p2p_id", "KEY1", "U9")), kOk);
}

TEST(IdserverPoolFile, ReadsTextAndCsvPools) {
    TempDir dir;
    std::string path = dir.File("pool.csv");
    std::ofstream(path) << "# pool of order A\r\nKEY1\r\n  KEY2 , batch 7\r\n\r\n\"KEY,3\"\"\",x\n";
    std::vector<ImportEntry> entries;
    std::string error;
    ASSERT_TRUE(ReadIdentityFile(path, entries, error));
    std::vector<std::string> values;
    std::vector<size_t> lines;
    for (const ImportEntry& e : entries) {
        values.push_back(e.value);
        lines.push_back(e.line);
    }
    EXPECT_EQ(values, (std::vector<std::string>{"KEY1", "KEY2", "KEY,3\""}));
    EXPECT_EQ(lines, (std::vector<size_t>{2, 3, 5}));
    EXPECT_FALSE(ReadIdentityFile(dir.File("missing"), entries, error));
}

TEST_P(IdserverAdmin, APoolWithAKeyNoStationCouldInstallIsRefusedWhole) {
    struct Case {
        std::vector<std::string> identities;
        std::vector<std::string> keys;  // empty: refused
        const char* error;              // part of the message
    };
    const std::string k1 = "KEY-0000000000000001", k2 = "KEY-0000000000000002";
    const Case cases[] = {
        {{k1, "a=b=" + k2}, {k1, k2}, ""},
        {{k1, "KEY-000000000000001"}, {}, "line 2 \"KEY-000000000000001\": a P2P key has 20"},
        {{k1 + "="}, {}, "this one 0"},
        {{""}, {}, "line 1 is blank"},
        {{k1, "scan=" + k1}, {}, "given twice (first on line 1)"},
        {{"P2P-DEMO-0001"}, {}, "this one 13"},
    };
    for (const Case& c : cases) {
        std::vector<ImportEntry> entries, keys;
        for (size_t i = 0; i < c.identities.size(); ++i)
            entries.push_back({c.identities[i], i + 1});
        std::string error;
        EXPECT_EQ(PoolKeys(entries, keys, error), !c.keys.empty()) << error;
        std::vector<std::string> values;
        for (const ImportEntry& k : keys)
            values.push_back(k.value);
        if (!c.keys.empty()) {
            EXPECT_EQ(values, c.keys);
        }
        EXPECT_NE(error.find(c.error), std::string::npos) << error;
    }

    // The command imports nothing of such a file.
    const std::string db = StorePath("id.db"), pool = dir.File("pool.txt");
    std::ofstream(pool) << k1 << "\nP2P-DEMO-0001\n";
    std::ostringstream out, err;
    ASSERT_EQ(RunCommand({"create-order", "A", "--db", db}, out, err), 0);
    EXPECT_EQ(RunCommand({"import-pool", "A", pool, "--db", db}, out, err), 2);
    EXPECT_NE(err.str().find("nothing imported"), std::string::npos) << err.str();
    Store store;
    ASSERT_TRUE(store.Open(db));
    std::vector<OrderSummary> orders;
    ASSERT_TRUE(store.ListOrders(orders));
    ASSERT_EQ(orders.size(), 1u);
    EXPECT_EQ(orders[0].pool_p2p, 0);
}

TEST_P(IdserverAdmin, CommandsCreateImportListAndExport) {
    std::string db = StorePath("id.db");
    std::string pool = dir.File("pool.txt");
    std::ofstream(pool) << "KEY-0000000000000001\nhttp://p2p/?id=KEY-0000000000000002\n";
    auto run = [&](std::vector<std::string> args, std::string* output = nullptr) {
        args.push_back("--db");
        args.push_back(db);
        std::ostringstream out, err;
        int status = RunCommand(args, out, err);
        if (output)
            *output = out.str();
        return status;
    };
    EXPECT_EQ(run({"create-order", "Order 1"}), 0);
    EXPECT_EQ(run({"create-order", "Order 1"}), 1);
    std::string output;
    EXPECT_EQ(run({"import-pool", "Order 1", pool}, &output), 0);
    EXPECT_EQ(output, "2 of 2 identities added to \"Order 1\"\n");
    EXPECT_EQ(run({"import-pool", "Order 1", pool}, &output), 0);  // again: nothing new
    EXPECT_EQ(output, "0 of 2 identities added to \"Order 1\"\n");
    EXPECT_EQ(run({"import-pool", "No order", pool}), 2);
    EXPECT_EQ(run({"add-mac-range", "Order 1", "02:00:00:00:00:00", "02:00:00:00:00:0F"}), 0);
    EXPECT_EQ(run({"add-mac-range", "Order 1", "02:00:00:00:00:0F", "02:00:00:00:00:00"}), 2);
    EXPECT_EQ(run({"list-orders"}, &output), 0);
    EXPECT_NE(output.find("Order 1\t2\t0\t1\t0\t"), std::string::npos) << output;
    EXPECT_NE(output.find("\topen\n"), std::string::npos) << output;

    {
        Store store;
        ASSERT_TRUE(store.Open(db));
        std::vector<std::string> answers;
        InstallRequest request{"Order 1", "p2p_id", "KEY-0000000000000002", std::nullopt, "",
                               "UUID,1",  ""};
        store.InstallBatch({request}, answers);
        ASSERT_EQ(answers, std::vector<std::string>{""});
    }
    EXPECT_EQ(run({"list-installs", "Order 1"}, &output), 0);
    EXPECT_NE(output.find("\tOrder 1\tp2p_id\tKEY-0000000000000002\tUUID,1\t\n"), std::string::npos)
        << output;
    std::string csv = dir.File("out.csv");
    EXPECT_EQ(run({"export-csv", "--out", csv}), 0);
    std::ifstream in(csv);
    std::string header, line;
    std::getline(in, header);
    std::getline(in, line);
    EXPECT_EQ(header, "time,order_name,type,identity,content,content2,uuid,last_ok_uuid,sender\r");
    EXPECT_NE(
        line.find(",Order 1,p2p_id,KEY-0000000000000002,KEY-0000000000000002,,\"UUID,1\",,\r"),
        std::string::npos)
        << line;
    EXPECT_EQ(run({"frobnicate"}), 2);
    EXPECT_EQ(run({"create-order"}), 2);
}

namespace {

constexpr const char* kServerAddress = "127.0.45.1";
constexpr const char* kStationAddress = "127.0.45.2";

// A station socket bound to 127.0.45.2, talking to a server on 127.0.45.1.
class Station {
  public:
    Station() {
        fd_ = socket(AF_INET, SOCK_DGRAM, 0);
        timeval tv{3, 0};
        setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
        sockaddr_in local{};
        local.sin_family = AF_INET;
        inet_pton(AF_INET, kStationAddress, &local.sin_addr);
        socklen_t length = sizeof local;
        bind(fd_, reinterpret_cast<sockaddr*>(&local), sizeof local);
        getsockname(fd_, reinterpret_cast<sockaddr*>(&local), &length);
        peer_ = std::string(kStationAddress) + ":" + std::to_string(ntohs(local.sin_port));
    }
    ~Station() { close(fd_); }
    const std::string& peer() const { return peer_; }
    // Sends one datagram without waiting for the answer.
    void Post(uint16_t port, const std::string& text) {
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_port = htons(port);
        inet_pton(AF_INET, kServerAddress, &to.sin_addr);
        sendto(fd_, text.data(), text.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
    }
    std::string Receive() {
        char buffer[4096];
        ssize_t n = recv(fd_, buffer, sizeof buffer, 0);
        return n > 0 ? std::string(buffer, static_cast<size_t>(n)) : std::string();
    }
    std::string Send(uint16_t port, const std::string& text) {
        Post(port, text);
        return Receive();
    }

  private:
    int fd_ = -1;
    std::string peer_;
};

// A server on 127.0.45.1 whose log lines are kept.
struct LoggingServer {
    Server server;
    std::mutex mutex;
    std::vector<std::string> log;
    bool Start(const std::string& db, ServerOptions options = {}) {
        options.address = kServerAddress;
        options.port = 0;
        options.log = [this](const std::string& line) {
            std::lock_guard lock(mutex);
            log.push_back(line);
        };
        return server.Start(db, options);
    }
    uint16_t port() const { return server.port(); }
};

// Runs an admin command on `db`; returns the exit status, output and messages.
struct Admin {
    explicit Admin(std::string path) : db(std::move(path)) {}
    std::string db;
    std::string out, err;
    int operator()(std::vector<std::string> args) {
        args.push_back("--db");
        args.push_back(db);
        std::ostringstream o, e;
        int status = RunCommand(args, o, e);
        out = o.str();
        err = e.str();
        return status;
    }
};

std::string Key(int i) {
    char key[32];
    std::snprintf(key, sizeof key, "KEY-%016d", i);
    return key;
}

// Writes `lines` to a file in `dir` and returns its path.
std::string WriteFile(const TempDir& dir, const std::string& name,
                      const std::vector<std::string>& lines) {
    std::string path = dir.File(name);
    std::ofstream out(path, std::ios::binary);
    for (const std::string& line : lines)
        out << line << '\n';
    return path;
}

}  // namespace

TEST_P(IdserverTrail, RecordsEverySenderAndEveryRefusalOfABurst) {
    const std::string db = StorePath("id.db");
    MakeOrder(db);
    LoggingServer s;
    ASSERT_TRUE(s.Start(db)) << s.server.error();
    Station station;
    struct Case {
        std::string request, answer, reason;
    } cases[] = {
        {Request("A", "p2p_id", "KEY1", "U1"), kOk, ""},
        {Request("A", "p2p_id", "KEY1", "U2"), Refused("installed"), "installed"},
        {Request("A", "p2p_id", "KEY9", "U3"), Refused("content_not_exist"), "content_not_exist"},
        {Request("B", "p2p_id", "KEY2", "U4"), Refused("order_name_not_exist"),
         "order_name_not_exist"},
        {Request("A", "p2p_id", "KEY2", "U1"), Refused("uuid_reused"), "uuid_reused"},
        {"not json\n\x01", Refused("req_msg_error"), "req_msg_error"},
        {Request("A", "mac", "02:00:00:00:00:10", "U5", "02:00:00:00:99:01"), kOk, ""},
    };
    // A burst: everything sent before any answer is read.
    for (const Case& c : cases)
        station.Post(s.port(), c.request);
    std::multiset<std::string> answers, expected;
    for (const Case& c : cases) {
        answers.insert(station.Receive());
        expected.insert(c.answer);
    }
    EXPECT_EQ(answers, expected);

    // "server_busy" and "db_error" while another writer holds the store.
    s.server.Stop();
    ServerOptions options;
    options.queue_capacity = 1;
    options.busy_timeout_ms = 300;
    ASSERT_TRUE(s.Start(db, options));
    std::unique_ptr<Db> locker = Lock(db);
    ASSERT_TRUE(locker);
    for (int i = 0; i < 4; ++i)
        station.Post(s.port(), Request("A", "p2p_id", "KEY2", "L" + std::to_string(i)));
    std::multiset<std::string> locked;
    for (int i = 0; i < 4; ++i)
        locked.insert(station.Receive());
    locker.reset();
    s.server.Stop();

    Store store;
    ASSERT_TRUE(store.Open(db));
    std::vector<RefusalRow> refusals;
    ASSERT_TRUE(store.ListRefusals("", refusals));
    std::multiset<std::string> reasons;
    for (const RefusalRow& r : refusals) {
        reasons.insert(r.reason);
        EXPECT_EQ(r.peer, station.peer()) << r.reason;
        if (r.reason == "installed") {
            EXPECT_EQ(r.order_name, "A");
            EXPECT_EQ(r.type, "p2p_id");
            EXPECT_EQ(r.content, "KEY1");
            EXPECT_EQ(r.uuid, "U2");
        }
        if (r.reason == "req_msg_error") {
            EXPECT_EQ(r.content, "not json\\x0A\\x01");
        }
    }
    for (const Case& c : cases) {
        if (!c.reason.empty()) {
            EXPECT_EQ(reasons.count(c.reason), 1u) << c.reason;
        }
    }
    const size_t busy = locked.count(Refused("server_busy"));
    const size_t db_error = locked.count(Refused("db_error"));
    EXPECT_GE(busy, 1u);
    EXPECT_GE(db_error, 1u);
    EXPECT_EQ(reasons.count("server_busy"), busy);
    EXPECT_EQ(reasons.count("db_error"), db_error);
    // The same refusals, one line each, in the log.
    EXPECT_EQ(s.log.size(), refusals.size());
    for (const std::string& line : s.log)
        EXPECT_NE(line.find("from " + station.peer()), std::string::npos) << line;

    std::vector<InstallRow> installs;
    ASSERT_TRUE(store.ListInstalls("A", installs));
    ASSERT_EQ(installs.size(), 3u);
    for (const InstallRow& row : installs)
        EXPECT_EQ(row.peer, station.peer());

    Admin admin(db);
    ASSERT_EQ(admin({"list-refusals", "B"}), 0);
    EXPECT_EQ(admin.out, "time\treason\tsender\torder\ttype\tcontent\tcontent2\tuuid\n" +
                             refusals[2].time + "\torder_name_not_exist\t" + station.peer() +
                             "\tB\tp2p_id\tKEY2\t\tU4\n")
        << [&] {
               std::string all;
               for (const RefusalRow& r : refusals)
                   all += r.time + " " + r.reason + " " + r.uuid + "\n";
               return all;
           }();
}

TEST_P(IdserverTrail, ARequestIdentifierBelongsToTheFirstAcceptedRequest) {
    const std::string db = StorePath("id.db");
    MakeOrder(db);
    {
        Store store;
        ASSERT_TRUE(store.Open(db));
        ASSERT_TRUE(store.CreateOrder("B"));
    }
    LoggingServer s;
    ASSERT_TRUE(s.Start(db));
    Station station;
    struct Case {
        std::string request, answer;
    } cases[] = {
        // A refused request binds nothing: its identifier is free for the next one.
        {Request("A", "p2p_id", "KEY9", "U1"), Refused("content_not_exist")},
        {Request("A", "p2p_id", "KEY1", "U1"), kOk},
        {Request("A", "p2p_id", "KEY1", "U1"), kOk},  // the same request again
        {Request("A", "p2p_id", "KEY2", "U1"), Refused("uuid_reused")},
        {Request("B", "p2p_id", "KEY1", "U1"), Refused("uuid_reused")},
        {Request("A", "mac", "KEY1", "U1"), Refused("uuid_reused")},
        {Request("A", "mac", "02:00:00:00:00:01", "U2"), kOk},
        {Request("A", "mac", "02:00:00:00:00:01", "U2", "02:00:00:00:00:02"),
         Refused("uuid_reused")},
        {Request("A", "mac", "02:00:00:00:00:01", "U2"), kOk},
        {Request("A", "p2p_id", "KEY2", "U3"), kOk},
    };
    for (const Case& c : cases)
        EXPECT_EQ(station.Send(s.port(), c.request), c.answer) << c.request;
    s.server.Stop();
    Store store;
    ASSERT_TRUE(store.Open(db));
    std::vector<InstallRow> installs;
    ASSERT_TRUE(store.ListInstalls("", installs));
    EXPECT_EQ(installs.size(), 3u);
}

TEST_P(IdserverTrail, AVoidedIdentityIsInstalledAgainOnlyWhenMadeReusable) {
    const std::string db = StorePath("id.db");
    MakeOrder(db);
    LoggingServer s;
    ASSERT_TRUE(s.Start(db));
    Station station;
    const uint16_t port = s.port();
    ASSERT_EQ(station.Send(port, Request("A", "p2p_id", "KEY1", "U1")), kOk);
    ASSERT_EQ(station.Send(port, Request("A", "mac", "02:00:00:00:00:10+02:00:00:00:99:01", "U2",
                                         "02:00:00:00:99:01")),
              kOk);

    Admin admin(db);
    EXPECT_EQ(admin({"void", "A", "p2p_id", "KEY1"}), 2);                          // no reason
    EXPECT_EQ(admin({"void", "A", "p2p_id", "KEY2", "--reason", "scrapped"}), 1);  // not installed
    EXPECT_NE(admin.err.find("KEY2 is not installed in order \"A\""), std::string::npos)
        << admin.err;
    EXPECT_EQ(admin({"void", "B", "p2p_id", "KEY1", "--reason", "scrapped"}), 1);
    ASSERT_EQ(admin({"void", "A", "p2p_id", "KEY1", "--reason", "scrapped"}), 0) << admin.err;
    EXPECT_EQ(admin.out, "voided p2p_id KEY1 of \"A\"\n");
    // Voiding one MAC address of a unit releases the unit's other one as well.
    ASSERT_EQ(admin({"void", "A", "mac", "02-00-00-00-99-01", "--reason", "rework", "--reusable"}),
              0);
    EXPECT_EQ(admin.out,
              "voided mac 02:00:00:00:00:10 of \"A\" (reusable)\n"
              "voided mac 02:00:00:00:99:01 of \"A\" (reusable)\n");

    ASSERT_EQ(admin({"status", "A"}), 0);
    // Pool: 2 keys; 256 in the range plus the listed one outside it.
    EXPECT_EQ(admin.out,
              "order \"A\" open\n"
              "type\tpool\tinstalled\tvoided\tremaining\n"
              "p2p_id\t2\t0\t1\t1\n"
              "mac\t257\t0\t2\t257\n");

    // Not reusable: refused as installed, under any identifier; reusable: installed again.
    EXPECT_EQ(station.Send(port, Request("A", "p2p_id", "KEY1", "U1")), Refused("installed"));
    EXPECT_EQ(station.Send(port, Request("A", "p2p_id", "KEY1", "U3")), Refused("installed"));
    EXPECT_EQ(station.Send(port, Request("A", "mac", "02:00:00:00:99:01", "U4")), kOk);
    EXPECT_EQ(station.Send(port, Request("A", "mac", "02:00:00:00:00:10", "U5")), kOk);
    s.server.Stop();

    ASSERT_EQ(admin({"status", "A"}), 0);
    EXPECT_NE(admin.out.find("p2p_id\t2\t0\t1\t1\nmac\t257\t2\t0\t255\n"), std::string::npos)
        << admin.out;
    ASSERT_EQ(admin({"list-voids", "A"}), 0);
    std::istringstream lines(admin.out);
    std::string header, line;
    std::getline(lines, header);
    EXPECT_EQ(header, "time\torder\ttype\tidentity\tuuid\tinstalled\tsender\treusable\treason");
    std::getline(lines, line);
    EXPECT_NE(line.find("\tA\tp2p_id\tKEY1\tU1\t"), std::string::npos) << line;
    EXPECT_NE(line.find("\t" + station.peer() + "\tno\tscrapped"), std::string::npos) << line;
    int count = 1;
    while (std::getline(lines, line))
        ++count;
    EXPECT_EQ(count, 3);
}

TEST_P(IdserverTrail, AClosedOrderRefusesInstallsUntilReopened) {
    const std::string db = StorePath("id.db");
    MakeOrder(db);
    Admin admin(db);
    ASSERT_EQ(admin({"close-order", "A"}), 0);
    EXPECT_EQ(admin.out, "order \"A\" closed\n");
    EXPECT_EQ(admin({"close-order", "Z"}), 1);
    ASSERT_EQ(admin({"list-orders"}), 0);
    EXPECT_NE(admin.out.find("\tclosed\n"), std::string::npos) << admin.out;

    LoggingServer s;
    ASSERT_TRUE(s.Start(db));
    Station station;
    EXPECT_EQ(station.Send(s.port(), Request("A", "p2p_id", "KEY1", "U1")),
              Refused("order_name_not_exist"));
    ASSERT_EQ(admin({"reopen-order", "A"}), 0);
    EXPECT_EQ(station.Send(s.port(), Request("A", "p2p_id", "KEY1", "U1")), kOk);
    ASSERT_EQ(admin({"status", "A"}), 0);
    EXPECT_EQ(admin.out.substr(0, 15), "order \"A\" open\n");
}

TEST_P(IdserverImport, RefusesWholeFilesANDNamesTheFirstOffendingLine) {
    const std::string db = StorePath("id.db");
    Admin admin(db);
    ASSERT_EQ(admin({"create-order", "A"}), 0);
    ASSERT_EQ(admin({"create-order", "B"}), 0);
    ASSERT_EQ(admin({"import-pool", "A", WriteFile(dir, "a.txt", {Key(1), Key(2)})}), 0);
    ASSERT_EQ(admin({"add-mac-range", "A", "02:00:00:00:00:00", "02:00:00:00:00:FF"}), 0);
    ASSERT_EQ(admin({"import-macs", "A", WriteFile(dir, "a-macs.txt", {"0A:00:00:00:00:01"})}), 0);

    struct Case {
        const char* command;
        std::vector<std::string> lines;
        std::string error;  // part of the message; "" for accepted
    } cases[] = {
        {"import-pool", {Key(3), "", "# note", Key(4)}, ""},
        {"import-pool", {Key(5), ", batch 7", Key(6)}, "line 2 is blank"},
        {"import-pool", {Key(5), "SHORT"}, "line 2 \"SHORT\": a P2P key has 20"},
        {"import-pool", {Key(5), Key(6), "http://x/?id=" + Key(5)}, "line 3"},
        {"import-pool",
         {Key(7), Key(2)},
         "line 2 \"" + std::string(Key(2)) + "\": already in the pool of order \"A\""},
        {"import-macs",
         {"02:10:00:00:00:01", "0a-00-00-00-00-01"},
         "line 2 \"0a-00-00-00-00-01\": already in the pool of order \"A\""},
        {"import-macs",
         {"02:10:00:00:00:01", "02:00:00:00:00:80"},
         "line 2 \"02:00:00:00:00:80\": in a MAC range of order \"A\""},
        {"import-macs",
         {"02:10:00:00:00:01", "03:00:00:00:00:01"},
         "line 2 \"03:00:00:00:00:01\": a multicast"},
        {"import-macs", {"00:00:00:00:00:00"}, "line 1 \"00:00:00:00:00:00\": the all-zero"},
        {"import-macs",
         {"02:10:00:00:00:01", "02:10:00:00:00:02", "02-10-00-00-00-01"},
         "line 3 \"02-10-00-00-00-01\": given twice (first on line 1)"},
        {"import-macs", {"nonsense"}, "line 1 \"nonsense\": not a MAC address"},
    };
    for (const Case& c : cases) {
        const std::string file = WriteFile(dir, "b.txt", c.lines);
        const int status = admin({c.command, "B", file});
        if (c.error.empty()) {
            EXPECT_EQ(status, 0) << admin.err;
            continue;
        }
        EXPECT_EQ(status, 2) << c.error;
        EXPECT_NE(admin.err.find(c.error), std::string::npos) << admin.err;
        EXPECT_NE(admin.err.find("nothing imported"), std::string::npos) << admin.err;
    }
    ASSERT_EQ(admin({"list-orders"}), 0);
    EXPECT_NE(admin.out.find("\nB\t2\t0\t0\t0\t"), std::string::npos) << admin.out;
}

TEST_P(IdserverImport, RefusesMacRangesThatNoUnitCouldCarryOrThatOverlap) {
    const std::string db = StorePath("id.db");
    Admin admin(db);
    ASSERT_EQ(admin({"create-order", "A"}), 0);
    ASSERT_EQ(admin({"create-order", "B"}), 0);
    ASSERT_EQ(admin({"add-mac-range", "A", "02:00:00:00:01:00", "02:00:00:00:01:FF"}), 0);
    struct Case {
        const char* order;
        const char* first;
        const char* last;
        const char* error;  // "" for accepted
    } cases[] = {
        {"B", "02:00:00:00:02:00", "02:00:00:00:02:FF", ""},
        {"B", "02:00:00:00:00:00", "02:00:00:00:00:FF", ""},  // touches, no overlap
        {"B", "02:00:00:00:01:FF", "02:00:00:00:01:FF",
         "overlaps 02:00:00:00:01:00 - 02:00:00:00:01:FF of order \"A\""},
        {"A", "02:00:00:00:00:80", "02:00:00:00:01:10", "overlaps 02:00:00:00:00:00"},
        {"B", "02:00:00:00:00:00", "02:00:00:00:FF:FF", "overlaps"},  // holds every other range
        {"B", "02:00:00:00:05:00", "02:00:00:00:04:00", "comes before its first"},
        {"B", "01:00:5E:00:00:01", "01:00:5E:00:00:FF", "multicast"},
        {"B", "02:FF:FF:FF:FF:FF", "04:00:00:00:00:00", "multicast"},
        {"B", "00:00:00:00:00:00", "00:00:00:00:00:10", "all-zero"},
        {"B", "02:00:00:00:00:0G", "02:00:00:00:00:10", "not a MAC address: \"02:00:00:00:00:0G\""},
        {"C", "06:00:00:00:00:00", "06:00:00:00:00:10", "no order \"C\""},
    };
    for (const Case& c : cases) {
        const int status = admin({"add-mac-range", c.order, c.first, c.last});
        if (*c.error == '\0') {
            EXPECT_EQ(status, 0) << admin.err;
            continue;
        }
        EXPECT_EQ(status, 2) << c.first;
        EXPECT_NE(admin.err.find(c.error), std::string::npos) << admin.err;
    }
    ASSERT_EQ(admin({"list-orders"}), 0);
    EXPECT_NE(admin.out.find("\nA\t0\t0\t1\t"), std::string::npos) << admin.out;
    EXPECT_NE(admin.out.find("\nB\t0\t0\t2\t"), std::string::npos) << admin.out;
}

TEST_P(IdserverImport, AKilledImportLeavesTheStoreConsistentAndTheImportWholeOrAbsent) {
    const std::string db = StorePath("id.db");
    Admin admin(db);
    ASSERT_EQ(admin({"create-order", "A"}), 0);
    constexpr int kKeys = 20000;
    std::vector<std::string> keys;
    for (int i = 0; i < kKeys; ++i)
        keys.push_back(Key(i));
    const std::string file = WriteFile(dir, "pool.txt", keys);

    auto visible = [&]() {
        Store store;
        EXPECT_TRUE(store.Open(db, 5000, false));
        std::vector<OrderSummary> orders;
        EXPECT_TRUE(store.ListOrders(orders));
        return orders.empty() ? -1 : orders[0].pool_p2p;
    };
    auto rows = [&](const char* sql) { return Query(db, sql); };
    // Kill the import at different points: while reading, while writing its batches, after.
    for (int round = 0; round < 4; ++round) {
        pid_t child = fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            std::ostringstream out, err;
            _exit(RunCommand({"import-pool", "A", file, "--db", db}, out, err));
        }
        // Wait until the import has written some rows of its own (round 0 kills at once).
        for (int i = 0; round > 0 && i < 2000; ++i) {
            if (std::stoll("0" + rows("SELECT count(*) FROM pool WHERE batch != 0")) >=
                round * 5000)
                break;
            usleep(1000);
        }
        kill(child, SIGKILL);
        int status = 0;
        waitpid(child, &status, 0);
        EXPECT_EQ(rows(GetParam().integrity_check), "ok");
        const int64_t seen = visible();
        EXPECT_TRUE(seen == 0 || seen == kKeys) << "round " << round << ": " << seen;
        if (seen == kKeys)
            break;
    }
    // The next import removes what a killed one left and adds the whole file.
    ASSERT_EQ(admin({"import-pool", "A", file}), 0) << admin.err;
    EXPECT_EQ(visible(), kKeys);
    EXPECT_EQ(rows("SELECT count(*) FROM pool"), std::to_string(kKeys));
    EXPECT_EQ(rows(GetParam().integrity_check), "ok");
}

TEST_P(IdserverAdmin, EveryCommandButCreateRefusesAStoreThatDoesNotExist) {
    const std::string missing = StorePath("mistyped.db");
    const std::string file = WriteFile(dir, "pool.txt", {Key(1)});
    const std::vector<std::vector<std::string>> commands = {
        {"list-orders"},
        {"status", "A"},
        {"close-order", "A"},
        {"reopen-order", "A"},
        {"import-pool", "A", file},
        {"import-macs", "A", file},
        {"add-mac-range", "A", "02:00:00:00:00:00", "02:00:00:00:00:01"},
        {"list-installs"},
        {"list-refusals"},
        {"list-voids"},
        {"void", "A", "p2p_id", Key(1), "--reason", "x"},
        {"export-csv"},
    };
    // For PostgreSQL the database exists (it is made by its administrator) but holds no store.
    const std::string no_store =
        GetParam().postgres ? "holds no zq-idserver store" : "no store " + missing;
    Admin admin(missing);
    for (const std::vector<std::string>& command : commands) {
        EXPECT_EQ(admin(command), 1) << command[0];
        EXPECT_NE(admin.err.find(no_store), std::string::npos) << admin.err;
        EXPECT_FALSE(StoreMade(missing)) << command[0];
    }
    // A file (a database) that is no store is refused and left alone.
    std::string other = WriteFile(dir, "other.db", {"hello"});
    if (GetParam().postgres) {
        other = StorePath("other.db");
        std::string why;
        std::unique_ptr<Db> raw = OpenPostgres(other, 1000, why);
        ASSERT_TRUE(raw && raw->Script("CREATE TABLE hello(x TEXT)")) << why;
    }
    Admin wrong(other);
    EXPECT_EQ(wrong({"list-orders"}), 1);
    if (GetParam().postgres) {
        EXPECT_EQ(Query(other, "SELECT count(*) FROM pg_tables WHERE schemaname = 'public'"), "1");
    }
    Server server;
    ServerOptions options;
    options.address = kServerAddress;
    options.port = 0;
    EXPECT_FALSE(server.Start(missing, options));
    EXPECT_FALSE(StoreMade(missing));
    options.create_store = true;
    EXPECT_TRUE(server.Start(missing, options)) << server.error();
    server.Stop();
    EXPECT_EQ(admin({"list-orders"}), 0);
    ASSERT_EQ(admin({"create-order", "A"}), 0);  // create-order makes a store as well
}

TEST_P(IdserverAdmin, ExportNeutralisesFormulaCellsAndWritesAByteOrderMarkForExcel) {
    const std::pair<std::string, std::string> cells[] = {
        {"=HYPERLINK(\"x\")", "\"'=HYPERLINK(\"\"x\"\")\""},
        {"+1", "'+1"},
        {"-1", "'-1"},
        {"@SUM(A1)", "'@SUM(A1)"},
        {"\tx", "'\tx"},
        {"\rx", "\"'\rx\""},
        {"PO-1=2", "PO-1=2"},
        {"a,b", "\"a,b\""},
        {"", ""},
    };
    for (const auto& [cell, field] : cells)
        EXPECT_EQ(CsvField(cell), field) << cell;

    const std::string db = StorePath("id.db");
    const std::string order = "=1+2 订单";
    MakeOrder(db, order);
    {
        Store store;
        ASSERT_TRUE(store.Open(db));
        std::vector<std::string> answers;
        InstallRequest request{order, "p2p_id", "KEY1", std::nullopt, "-2", "@U1", "127.0.45.2:1"};
        store.InstallBatch({request}, answers);
        ASSERT_EQ(answers, std::vector<std::string>{""});
    }
    Admin admin(db);
    const std::string csv = dir.File("out.csv");
    ASSERT_EQ(admin({"export-csv", "--out", csv, "--excel"}), 0);
    std::ifstream in(csv, std::ios::binary);
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_EQ(text.substr(0, 8), "\xEF\xBB\xBFtime,");
    EXPECT_NE(text.find(",'=1+2 订单,p2p_id,KEY1,KEY1,,'@U1,'-2,127.0.45.2:1\r\n"),
              std::string::npos)
        << text;
    ASSERT_EQ(admin({"export-csv"}), 0);
    EXPECT_EQ(admin.out.substr(0, 5), "time,");
}

// Several servers on one PostgreSQL database, and the faults they must survive.
namespace {

class IdserverShared : public ::testing::Test {
  protected:
    void SetUp() override {
        pg = SharedPostgres();
        if (!pg)
            GTEST_FAIL() << "PostgreSQL could not be started for the tests";
        db = pg->NewDatabase();
        ASSERT_FALSE(db.empty()) << pg->error();
        Store store;
        ASSERT_TRUE(store.Open(db)) << store.error();
        ASSERT_TRUE(store.CreateOrder("A")) << store.error();
        int64_t added = 0;
        ASSERT_TRUE(store.ImportPool("A", "p2p_id", Keys(kKeys), added)) << store.error();
    }
    static std::vector<std::string> Keys(int n) {
        std::vector<std::string> keys;
        for (int i = 0; i < n; ++i)
            keys.push_back(Key(i));
        return keys;
    }
    // Every install of the store: identity -> request identifier.
    std::map<std::string, std::string> Installs() {
        Store store;
        EXPECT_TRUE(store.Open(db, 5000, false)) << store.error();
        std::vector<InstallRow> rows;
        EXPECT_TRUE(store.ListInstalls("A", rows)) << store.error();
        std::map<std::string, std::string> out;
        for (const InstallRow& row : rows)
            out[row.value] = row.uuid;
        return out;
    }
    static ServerOptions On(const char* address) {
        ServerOptions options;
        options.address = address;
        options.port = 0;
        return options;
    }

    // `senders` threads that start at one moment; sender s sends request(s, i) for every i below
    // `count`, one after another, through `first` when s is even and `second` when it is odd.
    // Returns answers[s][i].
    static std::vector<std::vector<std::string>> OfferAtOnce(
        Server& first, Server& second, int senders, int count,
        const std::function<std::string(int, int)>& request) {
        std::vector<std::vector<std::string>> answers(static_cast<size_t>(senders),
                                                      std::vector<std::string>(count));
        std::atomic<int> waiting{senders};
        std::vector<std::thread> threads;
        for (int s = 0; s < senders; ++s)
            threads.emplace_back([&, s] {
                const bool even = s % 2 == 0;
                --waiting;
                while (waiting > 0) {
                }
                for (int i = 0; i < count; ++i)
                    answers[s][i] = SendTo(even ? "127.0.0.2" : "127.0.0.3",
                                           even ? first.port() : second.port(), request(s, i));
            });
        for (std::thread& t : threads)
            t.join();
        return answers;
    }

    static constexpr int kKeys = 200;
    TestPostgres* pg = nullptr;
    std::string db;
};

// A zq-idserver process serving `db` on `address`; killed (SIGKILL) when destroyed unless stopped.
struct ServeProcess {
    pid_t pid = -1;
    uint16_t port = 0;
    bool Start(const std::string& db, const char* address) {
        int out[2];
        if (pipe(out) != 0)
            return false;
        pid = fork();
        if (pid == 0) {
            dup2(out[1], STDOUT_FILENO);
            close(out[0]);
            close(out[1]);
            execl(ZQ_IDSERVER_PATH, ZQ_IDSERVER_PATH, "serve", "--db", db.c_str(), "--address",
                  address, "--port", "0", static_cast<char*>(nullptr));
            _exit(127);
        }
        close(out[1]);
        // The first line names the port: "zq-idserver: listening on A:P, store ...".
        std::string line;
        char c;
        while (read(out[0], &c, 1) == 1 && c != '\n')
            line += c;
        close(out[0]);  // later log lines go nowhere; the server ignores SIGPIPE
        const size_t colon = line.find(':', line.find(address));
        if (line.find("listening") == std::string::npos || colon == std::string::npos)
            return false;
        port = static_cast<uint16_t>(std::stoi(line.substr(colon + 1)));
        return true;
    }
    void Kill() {
        if (pid > 0) {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
        }
        pid = -1;
    }
    ~ServeProcess() { Kill(); }
};

}  // namespace

TEST_F(IdserverShared, TwoServersAcceptEachIdentityOfferedByEightSendersAtOnceExactlyOnce) {
    Server first, second;
    ASSERT_TRUE(first.Start(db, On("127.0.0.2"))) << first.error();
    ASSERT_TRUE(second.Start(db, On("127.0.0.3"))) << second.error();
    constexpr int kSenders = 8;
    const std::vector<std::string> keys = Keys(kKeys);
    // Every sender offers every identity, in the same order, through its server.
    const auto answers = OfferAtOnce(first, second, kSenders, kKeys, [&](int s, int k) {
        return Request("A", "p2p_id", keys[k], "S" + std::to_string(s) + "-" + std::to_string(k));
    });
    std::map<std::string, std::string> installs = Installs();
    EXPECT_EQ(installs.size(), static_cast<size_t>(kKeys));
    for (int k = 0; k < kKeys; ++k) {
        int accepted = 0, refused = 0;
        for (int s = 0; s < kSenders; ++s) {
            if (answers[s][k] == kOk) {
                ++accepted;
                EXPECT_EQ(installs[keys[k]], "S" + std::to_string(s) + "-" + std::to_string(k));
                // A repeat through the other server is a repeat as on one server.
                const bool even = s % 2 == 0;
                EXPECT_EQ(
                    SendTo(even ? "127.0.0.3" : "127.0.0.2", even ? second.port() : first.port(),
                           Request("A", "p2p_id", keys[k],
                                   "S" + std::to_string(s) + "-" + std::to_string(k))),
                    kOk);
            } else {
                refused += answers[s][k] == Refused("installed");
            }
        }
        EXPECT_EQ(accepted, 1) << keys[k];
        EXPECT_EQ(refused, kSenders - 1) << keys[k];
    }
}

TEST_F(IdserverShared, ServersAnswerDbErrorWhilePostgresRestartsAndServeAgainAfterwards) {
    Server first, second;
    ASSERT_TRUE(first.Start(db, On("127.0.0.2"))) << first.error();
    ASSERT_TRUE(second.Start(db, On("127.0.0.3"))) << second.error();
    const std::vector<std::string> keys = Keys(kKeys);
    std::vector<std::string> answers(kKeys);
    std::atomic<int> sent{0};
    std::thread sender([&] {
        for (int k = 0; k < kKeys; ++k) {
            const bool even = k % 2 == 0;
            answers[k] =
                SendTo(even ? "127.0.0.2" : "127.0.0.3", even ? first.port() : second.port(),
                       Request("A", "p2p_id", keys[k], "R" + std::to_string(k)), 10);
            ++sent;
            usleep(5000);
        }
    });
    while (sent < kKeys / 4)
        usleep(1000);
    ASSERT_TRUE(pg->Stop(true)) << pg->error();
    // While the database is away the servers keep answering.
    const std::string away = Send(first.port(), Request("A", "p2p_id", "KEY-X", "AWAY"));
    sleep(1);
    ASSERT_TRUE(pg->Restart(false)) << pg->error();
    sender.join();
    EXPECT_EQ(away, Refused("db_error"));

    // Every "ok" is in the store; every other answer is db_error and recorded nothing of its own.
    std::map<std::string, std::string> installs = Installs();
    int ok = 0, db_error = 0;
    for (int k = 0; k < kKeys; ++k) {
        if (answers[k] == kOk) {
            ++ok;
            EXPECT_EQ(installs[keys[k]], "R" + std::to_string(k)) << keys[k];
        } else {
            ++db_error;
            EXPECT_EQ(answers[k], Refused("db_error")) << keys[k];
        }
    }
    EXPECT_GT(ok, 0);
    // Both servers serve again without a restart of their own; the refused ones go through now.
    for (int k = 0; k < kKeys; ++k) {
        if (answers[k] == kOk)
            continue;
        const bool even = k % 2 == 0;
        EXPECT_EQ(SendTo(even ? "127.0.0.2" : "127.0.0.3", even ? first.port() : second.port(),
                         Request("A", "p2p_id", keys[k], "R" + std::to_string(k))),
                  kOk)
            << keys[k];
    }
    EXPECT_EQ(Installs().size(), static_cast<size_t>(kKeys));
}

TEST_F(IdserverShared, EveryInstallAServerKilledMidBurstAnsweredOkIsInTheDatabase) {
    ServeProcess victim, survivor;
    ASSERT_TRUE(victim.Start(db, "127.0.0.2"));
    ASSERT_TRUE(survivor.Start(db, "127.0.0.3"));
    const std::vector<std::string> keys = Keys(kKeys);
    constexpr int kSenders = 4;
    std::vector<std::string> answers(kKeys);
    std::atomic<int> answered{0};
    std::atomic<bool> killed{false};
    std::vector<std::thread> senders;
    for (int s = 0; s < kSenders; ++s)
        senders.emplace_back([&, s] {
            for (int k = s; k < kKeys && !killed; k += kSenders) {
                answers[k] = SendTo("127.0.0.2", victim.port,
                                    Request("A", "p2p_id", keys[k], "K" + std::to_string(k)), 1);
                answered += answers[k] == kOk;
            }
        });
    while (answered < kKeys / 3)
        usleep(500);
    victim.Kill();
    killed = true;
    for (std::thread& t : senders)
        t.join();
    std::map<std::string, std::string> installs = Installs();
    int ok = 0;
    for (int k = 0; k < kKeys; ++k) {
        if (answers[k] != kOk)
            continue;
        ++ok;
        EXPECT_EQ(installs[keys[k]], "K" + std::to_string(k)) << keys[k];
    }
    EXPECT_GE(ok, kKeys / 3);
    EXPECT_LT(ok, kKeys);
    // The stations repeat what went unanswered through the other server: all of it is accepted,
    // and what was accepted stays accepted under its one identifier.
    for (int k = 0; k < kKeys; ++k)
        EXPECT_EQ(SendTo("127.0.0.3", survivor.port,
                         Request("A", "p2p_id", keys[k], "K" + std::to_string(k))),
                  kOk)
            << keys[k];
    EXPECT_EQ(Installs().size(), static_cast<size_t>(kKeys));
}

TEST_F(IdserverShared, MigrateCopiesAnSqliteStoreWholeAndRefusesATargetHoldingItsOrders) {
    TempDir dir;
    const std::string file = dir.File("line.db");
    MakeOrder(file, "L1");
    {
        Server server;
        ASSERT_TRUE(server.Start(file, LoopbackOptions())) << server.error();
        EXPECT_EQ(Send(server.port(), Request("L1", "p2p_id", "KEY1", "U1")), kOk);
        EXPECT_EQ(Send(server.port(), Request("L1", "p2p_id", "KEY1", "U2")), Refused("installed"));
        EXPECT_EQ(Send(server.port(), Request("L1", "mac", "02:00:00:00:00:10+02:00:00:00:00:11",
                                              "U3", "02:00:00:00:00:11")),
                  kOk);
        EXPECT_EQ(Send(server.port(), Request("L1", "p2p_id", "KEY2", "U4")), kOk);
    }
    Admin line(file);
    ASSERT_EQ(line({"void", "L1", "p2p_id", "KEY2", "--reason", "scrapped", "--reusable"}), 0)
        << line.err;
    ASSERT_EQ(line({"close-order", "L1"}), 0);
    const std::string target = pg->NewDatabase();
    std::ostringstream out, err;
    ASSERT_EQ(RunCommand({"migrate", "--from", file, "--to", target}, out, err), 0) << err.str();

    // What every listing shows is the same in both stores.
    Admin copy(target);
    for (const char* listing : {"list-orders", "list-installs", "list-voids", "list-refusals"}) {
        ASSERT_EQ(line({listing}), 0) << listing;
        ASSERT_EQ(copy({listing}), 0) << listing << copy.err;
        EXPECT_EQ(copy.out, line.out) << listing;
    }
    ASSERT_EQ(line({"status", "L1"}), 0);
    ASSERT_EQ(copy({"status", "L1"}), 0);
    EXPECT_EQ(copy.out, line.out);
    // The copied request identifiers still bind: a repeat is "ok", a reuse is refused.
    ASSERT_EQ(copy({"reopen-order", "L1"}), 0);
    Server server;
    ASSERT_TRUE(server.Start(target, LoopbackOptions())) << server.error();
    EXPECT_EQ(Send(server.port(), Request("L1", "p2p_id", "KEY1", "U1")), kOk);
    EXPECT_EQ(Send(server.port(), Request("L1", "p2p_id", "KEY2", "U1")), Refused("uuid_reused"));
    server.Stop();

    // A second copy into the same target is refused and changes nothing.
    ASSERT_EQ(copy({"list-installs"}), 0);
    const std::string before = copy.out;
    std::ostringstream out2, err2;
    EXPECT_EQ(RunCommand({"migrate", "--from", file, "--to", target}, out2, err2), 2);
    EXPECT_NE(err2.str().find("holds order \"L1\" already"), std::string::npos) << err2.str();
    ASSERT_EQ(copy({"list-installs"}), 0);
    EXPECT_EQ(copy.out, before);
}

TEST_F(IdserverShared, AWrongOrUnreachableDatabaseIsOneLineAndStatusTwoAndCreatesNothing) {
    const std::string port = std::to_string(pg->port());
    struct Case {
        std::string db, message;
    } cases[] = {
        {"postgresql://zq@127.0.0.1:" + port + "/db?nonsense=1", "not a PostgreSQL connection"},
        {"host=127.0.0.1 port=" + port + " dbname", "not a PostgreSQL connection"},
        {"postgresql://nobody@127.0.0.1:" + port + "/postgres", "role \"nobody\" does not exist"},
        {"postgresql://zq@127.0.0.1:" + port + "/missing_db", "database \"missing_db\" does not"},
        {"postgresql://zq@127.0.0.1:1/postgres", "cannot connect to PostgreSQL"},
    };
    const std::vector<std::vector<std::string>> commands = {
        {"create-order", "A"},
        {"list-orders"},
        {"status", "A"},
        {"serve", "--port", "0"},
        {"serve", "--create", "--port", "0"},
    };
    TempDir dir;
    const std::string source = dir.File("line.db");
    MakeOrder(source);
    const std::string databases = "SELECT count(*) FROM pg_database";
    Store probe;
    ASSERT_TRUE(probe.Open(db));
    const std::string count = probe.db()->Run(databases).Text(0, 0);
    for (const Case& c : cases) {
        for (std::vector<std::string> args : commands) {
            args.push_back("--db");
            args.push_back(c.db);
            std::ostringstream out, err;
            EXPECT_EQ(RunCommand(args, out, err), 2) << c.db << " " << args[0];
            const std::string message = err.str();
            EXPECT_NE(message.find(c.message), std::string::npos) << message;
            EXPECT_EQ(std::count(message.begin(), message.end(), '\n'), 1) << message;
        }
        std::ostringstream out, err;
        EXPECT_EQ(RunCommand({"migrate", "--from", source, "--to", c.db}, out, err), 2) << c.db;
        EXPECT_NE(err.str().find(c.message), std::string::npos) << err.str();
    }
    EXPECT_EQ(probe.db()->Run(databases).Text(0, 0), count);
}

TEST_F(IdserverShared, ARequestIdentifierOfferedWithOtherKeysThroughTwoServersAtOnceBindsOnce) {
    Server first, second;
    ASSERT_TRUE(first.Start(db, On("127.0.0.2"))) << first.error();
    ASSERT_TRUE(second.Start(db, On("127.0.0.3"))) << second.error();
    // kKeys / kSenders identifiers, each offered by every sender with a key of its own.
    constexpr int kSenders = 8, kUuids = kKeys / kSenders;
    const std::vector<std::string> keys = Keys(kKeys);
    const auto answers = OfferAtOnce(first, second, kSenders, kUuids, [&](int s, int u) {
        return Request("A", "p2p_id", keys[u * kSenders + s], "SHARED-" + std::to_string(u));
    });
    std::map<std::string, std::string> installs = Installs();
    EXPECT_EQ(installs.size(), static_cast<size_t>(kUuids));
    for (int u = 0; u < kUuids; ++u) {
        int accepted = 0, reused = 0;
        for (int s = 0; s < kSenders; ++s) {
            accepted += answers[s][u] == kOk;
            reused += answers[s][u] == Refused("uuid_reused");
        }
        EXPECT_EQ(accepted, 1) << u;
        EXPECT_EQ(reused, kSenders - 1) << u;
    }
}

TEST_P(IdserverImport, ASecondImportIsRefusedWhileTheFirstRuns) {
    const std::string db = StorePath("id.db");
    Admin admin(db);
    ASSERT_EQ(admin({"create-order", "A"}), 0);
    constexpr int kKeys = 40000;
    std::vector<std::string> keys;
    for (int i = 0; i < kKeys; ++i)
        keys.push_back(Key(i));
    const std::string file = WriteFile(dir, "pool.txt", keys);
    const std::string other = WriteFile(dir, "other.txt", {Key(kKeys + 1)});
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        std::ostringstream out, err;
        _exit(RunCommand({"import-pool", "A", file, "--db", db}, out, err));
    }
    // Once the first has claimed the store's import, it is running (checking, then writing).
    bool running = false;
    for (int i = 0; i < 20000 && !running; ++i) {
        running =
            std::stoll("0" + Query(db, "SELECT count(*) FROM imports WHERE state = 'running'")) > 0;
        if (!running)
            usleep(500);
    }
    EXPECT_TRUE(running);
    const int second = admin({"import-pool", "A", other});
    int status = -1;
    // Judged only when the first was still running all the while.
    if (waitpid(child, &status, WNOHANG) == 0) {
        EXPECT_EQ(second, 2);
        EXPECT_NE(admin.err.find("another import is running"), std::string::npos) << admin.err;
        waitpid(child, &status, 0);
    }
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    // The first import is whole; the second goes through now (or went through already).
    ASSERT_EQ(admin({"import-pool", "A", other}), 0) << admin.err;
    ASSERT_EQ(admin({"status", "A"}), 0);
    EXPECT_NE(admin.out.find("p2p_id\t" + std::to_string(kKeys + 1) + "\t"), std::string::npos)
        << admin.out;
}
