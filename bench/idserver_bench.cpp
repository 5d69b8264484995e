// Install throughput and latency of zq-idserver on loopback, next to a bare UDP echo.
//
// Several client processes each run installs one after another through the station's own
// client (InstallToServer: a new socket per exchange, one datagram out, one back), against an
// echo server that answers each datagram with itself at once (the floor of the transport) and
// against running zq-idservers (every answer given only after the install is committed): on an
// SQLite file, on a PostgreSQL database (a server of the benchmark's own, started from a
// temporary folder) through one zq-idserver, and on another through two, the clients split
// between them. Prints installs per second, the median and 99th-percentile latency of each, and
// their ratio to the echo.
//
//   idserver_bench [CLIENTS [INSTALLS_PER_CLIENT]]   (default 16 clients x 2000 installs)
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <regex>
#include <string>
#include <vector>

#include "identity/install.h"
#include "store.h"
#include "test_postgres.h"

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

struct Figures {
    double per_second = 0;
    double p50_ms = 0;
    double p99_ms = 0;
    long failed = 0;
};

std::string KeyName(int client, int i) {
    return "BENCH-" + std::to_string(client) + "-" + std::to_string(i);
}

struct Target {
    const char* host;
    uint16_t port;
};

// Forks `clients` processes that each run `count` installs against one of `targets` (client c
// the c-th, round) once the parent says go; collects each latency (microseconds) and counts
// results other than accepted when `expect_accepted`.
Figures Drive(const std::vector<Target>& targets, int clients, int count, bool expect_accepted) {
    int go[2];
    if (pipe(go) != 0)
        std::exit(1);
    std::vector<int> results;
    std::vector<pid_t> children;
    for (int c = 0; c < clients; ++c) {
        int out[2];
        if (pipe(out) != 0)
            std::exit(1);
        pid_t pid = fork();
        if (pid == 0) {
            close(go[1]);
            close(out[0]);
            char byte;
            if (read(go[0], &byte, 1) < 0)
                _exit(1);
            std::vector<uint32_t> latency;
            latency.reserve(static_cast<size_t>(count) + 1);
            uint32_t failed = 0;
            std::string last_ok;
            const Target& target = targets[static_cast<size_t>(c) % targets.size()];
            for (int i = 0; i < count; ++i) {
                std::string uuid = identity::MakeGuidText();
                Clock::time_point start = Clock::now();
                std::string result = identity::InstallToServer(
                    target.host, target.port, identity::kTypeP2pId, "BENCH", KeyName(c, i),
                    std::nullopt, last_ok, uuid, 2000);
                latency.push_back(static_cast<uint32_t>(
                    std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - start)
                        .count()));
                if (expect_accepted) {
                    if (result.empty())
                        last_ok = uuid;
                    else
                        ++failed;
                }
            }
            latency.push_back(failed);
            const char* p = reinterpret_cast<const char*>(latency.data());
            size_t left = latency.size() * sizeof(uint32_t);
            while (left > 0) {
                ssize_t n = write(out[1], p, left);
                if (n <= 0)
                    _exit(1);
                p += n;
                left -= static_cast<size_t>(n);
            }
            _exit(0);
        }
        close(out[1]);
        results.push_back(out[0]);
        children.push_back(pid);
    }
    close(go[0]);
    Clock::time_point start = Clock::now();
    for (int c = 0; c < clients; ++c)
        if (write(go[1], "g", 1) != 1)
            std::exit(1);
    close(go[1]);

    std::vector<uint32_t> all;
    Figures figures;
    for (int fd : results) {
        std::vector<uint32_t> values(static_cast<size_t>(count) + 1);
        char* p = reinterpret_cast<char*>(values.data());
        size_t left = values.size() * sizeof(uint32_t);
        while (left > 0) {
            ssize_t n = read(fd, p, left);
            if (n <= 0)
                break;
            p += n;
            left -= static_cast<size_t>(n);
        }
        close(fd);
        figures.failed += values.back();
        all.insert(all.end(), values.begin(), values.end() - 1);
    }
    double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    for (pid_t pid : children)
        waitpid(pid, nullptr, 0);
    std::sort(all.begin(), all.end());
    figures.per_second = static_cast<double>(all.size()) / seconds;
    figures.p50_ms = all[all.size() / 2] / 1000.0;
    figures.p99_ms = all[all.size() * 99 / 100] / 1000.0;
    return figures;
}

// A bare UDP echo in a child process; returns its pid, the port in *port.
pid_t StartEcho(uint16_t* port) {
    int fd = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in local{};
    local.sin_family = AF_INET;
    inet_pton(AF_INET, "127.0.0.3", &local.sin_addr);
    socklen_t length = sizeof local;
    if (bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0 ||
        getsockname(fd, reinterpret_cast<sockaddr*>(&local), &length) != 0)
        std::exit(1);
    *port = ntohs(local.sin_port);
    pid_t pid = fork();
    if (pid == 0) {
        char buffer[65536];
        while (true) {
            sockaddr_in peer{};
            socklen_t peer_length = sizeof peer;
            ssize_t n = recvfrom(fd, buffer, sizeof buffer, 0, reinterpret_cast<sockaddr*>(&peer),
                                 &peer_length);
            if (n > 0)
                sendto(fd, buffer, static_cast<size_t>(n), 0, reinterpret_cast<sockaddr*>(&peer),
                       peer_length);
        }
    }
    close(fd);
    return pid;
}

// zq-idserver serving `db` on `address` and a free port.
pid_t StartIdserver(const std::string& db, const char* address, uint16_t* port) {
    std::string program = std::string(ZQ_BINARY_DIR) + "/bin/zq-idserver";
    std::vector<std::string> args = {program,     "serve", "--db",   db,
                                     "--address", address, "--port", "0"};
    std::vector<char*> argv;
    for (std::string& a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    int out[2];
    if (pipe(out) != 0)
        std::exit(1);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_addclose(&actions, out[0]);
    pid_t pid = -1;
    if (posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), environ) != 0) {
        std::fprintf(stderr, "idserver_bench: cannot start %s\n", program.c_str());
        std::exit(1);
    }
    posix_spawn_file_actions_destroy(&actions);
    close(out[1]);
    std::string line;
    char c;
    pollfd p{out[0], POLLIN, 0};
    while (poll(&p, 1, 10000) > 0 && read(out[0], &c, 1) == 1 && c != '\n')
        line += c;
    close(out[0]);
    std::smatch m;
    if (!std::regex_search(line, m, std::regex(":([0-9]+), store"))) {
        std::fprintf(stderr, "idserver_bench: zq-idserver did not start: %s\n", line.c_str());
        std::exit(1);
    }
    *port = static_cast<uint16_t>(std::stoi(m[1]));
    return pid;
}

// A store holding order "BENCH" with every key the clients install.
bool MakeStore(const std::string& db, int clients, int count) {
    idserver::Store store;
    std::vector<std::string> keys;
    for (int c = 0; c < clients; ++c)
        for (int i = 0; i < count; ++i)
            keys.push_back(KeyName(c, i));
    int64_t added = 0;
    if (store.Open(db) && store.CreateOrder("BENCH") &&
        store.ImportPool("BENCH", "p2p_id", keys, added))
        return true;
    std::fprintf(stderr, "idserver_bench: %s\n", store.error().c_str());
    return false;
}

// Installs through one zq-idserver per address, all on `db`.
Figures Serve(const std::string& db, const std::vector<const char*>& addresses, int clients,
              int count) {
    std::vector<Target> targets;
    std::vector<pid_t> servers;
    for (const char* address : addresses) {
        uint16_t port = 0;
        servers.push_back(StartIdserver(db, address, &port));
        targets.push_back({address, port});
    }
    Figures figures = Drive(targets, clients, count, true);
    for (pid_t server : servers) {
        kill(server, SIGTERM);
        waitpid(server, nullptr, 0);
    }
    return figures;
}

}  // namespace

int main(int argc, char** argv) {
    int clients = argc > 1 ? std::atoi(argv[1]) : 16;
    int count = argc > 2 ? std::atoi(argv[2]) : 2000;
    if (clients < 1 || count < 1) {
        std::fprintf(stderr, "usage: idserver_bench [CLIENTS [INSTALLS_PER_CLIENT]]\n");
        return 2;
    }
    char tmpl[] = "/tmp/idserver_bench.XXXXXX";
    std::filesystem::path dir = mkdtemp(tmpl);
    const std::string file = (dir / "bench.db").string();
    idserver::TestPostgres pg;
    if (!pg.Start()) {
        std::fprintf(stderr, "idserver_bench: PostgreSQL: %s\n", pg.error().c_str());
        return 1;
    }
    const std::string one = pg.NewDatabase(), two = pg.NewDatabase();
    if (!MakeStore(file, clients, count) || !MakeStore(one, clients, count) ||
        !MakeStore(two, clients, count))
        return 1;

    uint16_t echo_port = 0;
    pid_t echo = StartEcho(&echo_port);
    Figures floor = Drive({{"127.0.0.3", echo_port}}, clients, count, false);
    kill(echo, SIGKILL);
    waitpid(echo, nullptr, 0);

    Figures sqlite = Serve(file, {"127.0.0.2"}, clients, count);
    Figures pg_one = Serve(one, {"127.0.0.2"}, clients, count);
    Figures pg_two = Serve(two, {"127.0.0.2", "127.0.0.4"}, clients, count);
    std::filesystem::remove_all(dir);

    std::printf("idserver_bench: %d client processes x %d installs each, loopback\n", clients,
                count);
    std::printf("%-40s %12s %9s %9s %8s %9s\n", "", "per second", "p50 ms", "p99 ms", "refused",
                "p99/echo");
    auto row = [&](const char* name, const Figures& f) {
        std::printf("%-40s %12.0f %9.3f %9.3f %8ld %9.2f\n", name, f.per_second, f.p50_ms, f.p99_ms,
                    f.failed, f.p99_ms / floor.p99_ms);
    };
    row("zq-idserver, SQLite (durable installs)", sqlite);
    row("zq-idserver, PostgreSQL, one server", pg_one);
    row("zq-idserver, PostgreSQL, two servers", pg_two);
    std::printf("%-40s %12.0f %9.3f %9.3f %8s %9s\n", "bare UDP echo (same client)",
                floor.per_second, floor.p50_ms, floor.p99_ms, "-", "1.00");
    std::printf("ratio to echo throughput: SQLite %.2f, PostgreSQL one server %.2f, two %.2f\n",
                sqlite.per_second / floor.per_second, pg_one.per_second / floor.per_second,
                pg_two.per_second / floor.per_second);
    bool met = sqlite.per_second >= 5000 && sqlite.p99_ms < 5 && sqlite.failed == 0;
    std::printf("aim (SQLite) >= 5000 installs/s with p99 < 5 ms and none refused: %s\n",
                met ? "met" : "NOT met");
    return 0;
}
