#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sqlite3.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "admin.h"
#include "request.h"
#include "server.h"
#include "store.h"

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

// One request/answer over UDP from a fresh socket; "" when nothing came back within 3 s.
std::string Send(uint16_t port, const std::string& text) {
    int fd = socket(AF_INET, SOCK_DGRAM, 0);
    timeval tv{3, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(port);
    inet_pton(AF_INET, "127.0.0.2", &to.sin_addr);
    sendto(fd, text.data(), text.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
    char buffer[4096];
    ssize_t n = recv(fd, buffer, sizeof buffer, 0);
    close(fd);
    return n > 0 ? std::string(buffer, static_cast<size_t>(n)) : std::string();
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

TEST(IdserverServer, AnswersEachInstallCase) {
    TempDir dir;
    std::string db = dir.File("id.db");
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

TEST(IdserverServer, AcceptsExactlyOneOfConcurrentInstallsOfOneIdentity) {
    TempDir dir;
    std::string db = dir.File("id.db");
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

TEST(IdserverServer, RestartKeepsOrdersPoolsAndInstalls) {
    TempDir dir;
    std::string db = dir.File("id.db");
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

TEST(IdserverServer, StoresQuotesAndSqlKeywordsUnchanged) {
    TempDir dir;
    std::string db = dir.File("id.db");
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

TEST(IdserverServer, AnswersDbErrorAndServerBusyWhileTheStoreIsLocked) {
    TempDir dir;
    std::string db = dir.File("id.db");
    MakeOrder(db);
    ServerOptions options = LoopbackOptions();
    options.queue_capacity = 1;
    options.busy_timeout_ms = 1000;
    Server server;
    ASSERT_TRUE(server.Start(db, options));

    sqlite3* locker = nullptr;
    ASSERT_EQ(sqlite3_open(db.c_str(), &locker), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(locker, "BEGIN EXCLUSIVE", nullptr, nullptr, nullptr), SQLITE_OK);
    const int kClients = 4;
    std::vector<std::string> answers(kClients);
    std::vector<std::thread> clients;
    for (int i = 0; i < kClients; ++i)
        clients.emplace_back([&, i] {
            answers[static_cast<size_t>(i)] =
                Send(server.port(), Request("A", "p2p_id", "KEY1", "U" + std::to_string(i)));
        });
    for (std::thread& t : clients)
        t.join();
    sqlite3_exec(locker, "ROLLBACK", nullptr, nullptr, nullptr);
    sqlite3_close(locker);
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

TEST(IdserverAdmin, ReadsTextAndCsvPools) {
    TempDir dir;
    std::string path = dir.File("pool.csv");
    std::ofstream(path) << "# pool of order A\r\nKEY1\r\n  KEY2 , batch 7\r\n\r\n\"KEY,3\"\"\",x\n";
    std::vector<std::string> values;
    std::string error;
    ASSERT_TRUE(ReadIdentityFile(path, values, error));
    EXPECT_EQ(values, (std::vector<std::string>{"KEY1", "KEY2", "KEY,3\""}));
    EXPECT_FALSE(ReadIdentityFile(dir.File("missing"), values, error));
}

TEST(IdserverAdmin, APoolWithAKeyNoStationCouldInstallIsRefusedWhole) {
    struct Case {
        std::vector<std::string> identities;
        std::vector<std::string> keys;  // empty: refused
        const char* error;              // part of the message
    };
    const std::string k1 = "KEY-0000000000000001", k2 = "KEY-0000000000000002";
    const Case cases[] = {
        {{k1, "a=b=" + k2}, {k1, k2}, ""},
        {{k1, "KEY-000000000000001"}, {}, "entry 2 \"KEY-000000000000001\": a P2P key has 20"},
        {{k1 + "="}, {}, "this one 0"},
        {{""}, {}, "entry 1 \"\" is blank"},
        {{k1, "scan=" + k1}, {}, "given twice"},
        {{"P2P-DEMO-0001"}, {}, "this one 13"},
    };
    for (const Case& c : cases) {
        std::vector<std::string> keys;
        std::string error;
        EXPECT_EQ(PoolKeys(c.identities, keys, error), !c.keys.empty()) << error;
        if (!c.keys.empty()) {
            EXPECT_EQ(keys, c.keys);
        }
        EXPECT_NE(error.find(c.error), std::string::npos) << error;
    }

    // The command imports nothing of such a file.
    TempDir dir;
    const std::string db = dir.File("id.db"), pool = dir.File("pool.txt");
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

TEST(IdserverAdmin, CommandsCreateImportListAndExport) {
    TempDir dir;
    std::string db = dir.File("id.db");
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
    EXPECT_EQ(run({"import-pool", "No order", pool}), 1);
    EXPECT_EQ(run({"add-mac-range", "Order 1", "02:00:00:00:00:00", "02:00:00:00:00:0F"}), 0);
    EXPECT_EQ(run({"add-mac-range", "Order 1", "02:00:00:00:00:0F", "02:00:00:00:00:00"}), 1);
    EXPECT_EQ(run({"list-orders"}, &output), 0);
    EXPECT_NE(output.find("Order 1\t2\t0\t1\t0\t"), std::string::npos) << output;

    {
        Store store;
        ASSERT_TRUE(store.Open(db));
        std::vector<std::string> answers;
        InstallRequest request{"Order 1",    "p2p_id", "KEY-0000000000000002",
                               std::nullopt, "",       "UUID,1"};
        store.InstallBatch({request}, answers);
        ASSERT_EQ(answers, std::vector<std::string>{""});
    }
    EXPECT_EQ(run({"list-installs", "Order 1"}, &output), 0);
    EXPECT_NE(output.find("\tOrder 1\tp2p_id\tKEY-0000000000000002\tUUID,1\n"), std::string::npos)
        << output;
    std::string csv = dir.File("out.csv");
    EXPECT_EQ(run({"export-csv", "--out", csv}), 0);
    std::ifstream in(csv);
    std::string header, line;
    std::getline(in, header);
    std::getline(in, line);
    EXPECT_EQ(header, "time,order_name,type,identity,content,content2,uuid,last_ok_uuid\r");
    EXPECT_NE(line.find(",Order 1,p2p_id,KEY-0000000000000002,KEY-0000000000000002,,\"UUID,1\",\r"),
              std::string::npos)
        << line;
    EXPECT_EQ(run({"frobnicate"}), 2);
    EXPECT_EQ(run({"create-order"}), 2);
}
