// Install throughput and latency of zq-idserver on loopback, next to a bare UDP echo.
//
// Several client processes each run installs one after another through the station's own
// client (InstallToServer: a new socket per exchange, one datagram out, one back), against an
// echo server that answers each datagram with itself at once (the floor of the transport) and
// against a running zq-idserver (every answer given only after the install is on disk). Prints
// installs per second, the median and 99th-percentile latency of each, and their ratio.
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

// Forks `clients` processes that each run `count` installs against host:port once the parent
// says go; collects each latency (microseconds) and counts results other than `expected`.
Figures Drive(const char* host, uint16_t port, int clients, int count, bool expect_accepted) {
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
            for (int i = 0; i < count; ++i) {
                std::string uuid = identity::MakeGuidText();
                Clock::time_point start = Clock::now();
                std::string result =
                    identity::InstallToServer(host, port, identity::kTypeP2pId, "BENCH",
                                              KeyName(c, i), std::nullopt, last_ok, uuid, 2000);
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

// zq-idserver serving `db` on 127.0.0.2 and a free port.
pid_t StartIdserver(const std::string& db, uint16_t* port) {
    std::string program = std::string(ZQ_BINARY_DIR) + "/bin/zq-idserver";
    std::vector<std::string> args = {program, "serve", "--db", db, "--port", "0"};
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
    std::string db = (dir / "bench.db").string();
    {
        idserver::Store store;
        std::vector<std::string> keys;
        for (int c = 0; c < clients; ++c)
            for (int i = 0; i < count; ++i)
                keys.push_back(KeyName(c, i));
        int64_t added = 0;
        if (!store.Open(db) || !store.CreateOrder("BENCH") ||
            !store.ImportPool("BENCH", "p2p_id", keys, added)) {
            std::fprintf(stderr, "idserver_bench: %s\n", store.error().c_str());
            return 1;
        }
    }

    uint16_t echo_port = 0;
    pid_t echo = StartEcho(&echo_port);
    Figures floor = Drive("127.0.0.3", echo_port, clients, count, false);
    kill(echo, SIGKILL);
    waitpid(echo, nullptr, 0);

    uint16_t port = 0;
    pid_t server = StartIdserver(db, &port);
    Figures installs = Drive("127.0.0.2", port, clients, count, true);
    kill(server, SIGTERM);
    waitpid(server, nullptr, 0);
    std::filesystem::remove_all(dir);

    std::printf("idserver_bench: %d client processes x %d installs each, loopback\n", clients,
                count);
    std::printf("%-34s %12s %9s %9s %8s\n", "", "per second", "p50 ms", "p99 ms", "refused");
    std::printf("%-34s %12.0f %9.3f %9.3f %8ld\n", "zq-idserver (durable installs)",
                installs.per_second, installs.p50_ms, installs.p99_ms, installs.failed);
    std::printf("%-34s %12.0f %9.3f %9.3f %8s\n", "bare UDP echo (same client)", floor.per_second,
                floor.p50_ms, floor.p99_ms, "-");
    std::printf("ratio zq-idserver / echo: throughput %.2f, p99 latency %.2f\n",
                installs.per_second / floor.per_second, installs.p99_ms / floor.p99_ms);
    bool met = installs.per_second >= 5000 && installs.p99_ms < 5 && installs.failed == 0;
    std::printf("aim >= 5000 installs/s with p99 < 5 ms and none refused: %s\n",
                met ? "met" : "NOT met");
    return 0;
}
