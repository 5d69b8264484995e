// How long installs wait behind a large pool import on a running zq-idserver.
//
// A store gets an order "LINE" with a pool for the installs and an order "BULK"; zq-idserver
// serves it on 127.0.0.2. Several client threads then run installs one after another through the
// station's own client (InstallToServer), first with nothing else going on (the peer: what an
// install costs on this machine right now), then while `zq-idserver import-pool BULK FILE` adds a
// pool file of 600 000 lines in another process. Prints, for both, the number of installs, the
// median, 99th percentile and worst install time and the refusals ("db_error" and others), and
// the ratio of the worst and 99th percentile times during the import to those without it.
//
//   idserver_import_bench [LINES [CLIENTS]]   (default 600000 lines, 4 client threads)
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <poll.h>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <mutex>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "identity/install.h"

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

const std::string kProgram = std::string(ZQ_BINARY_DIR) + "/bin/zq-idserver";

// Starts zq-idserver with `args`; its standard output goes to `out_fd` when not -1.
pid_t Spawn(std::vector<std::string> args, int out_fd) {
    args.insert(args.begin(), kProgram);
    std::vector<char*> argv;
    for (std::string& a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (out_fd >= 0)
        posix_spawn_file_actions_adddup2(&actions, out_fd, 1);
    pid_t pid = -1;
    if (posix_spawn(&pid, kProgram.c_str(), &actions, nullptr, argv.data(), environ) != 0) {
        std::fprintf(stderr, "idserver_import_bench: cannot start %s\n", kProgram.c_str());
        std::exit(1);
    }
    posix_spawn_file_actions_destroy(&actions);
    return pid;
}

int Run(const std::vector<std::string>& args) {
    int status = 0;
    waitpid(Spawn(args, -1), &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

pid_t StartServer(const std::string& db, uint16_t* port) {
    int out[2];
    if (pipe(out) != 0)
        std::exit(1);
    pid_t pid = Spawn({"serve", "--db", db, "--port", "0"}, out[1]);
    close(out[1]);
    std::string line;
    char c;
    pollfd p{out[0], POLLIN, 0};
    while (poll(&p, 1, 10000) > 0 && read(out[0], &c, 1) == 1 && c != '\n')
        line += c;
    // Keep reading (and dropping) the server's log so that it never blocks on a full pipe.
    std::thread([fd = out[0]] {
        char buffer[4096];
        while (read(fd, buffer, sizeof buffer) > 0) {
        }
        close(fd);
    }).detach();
    std::smatch m;
    if (!std::regex_search(line, m, std::regex(":([0-9]+), store"))) {
        std::fprintf(stderr, "idserver_import_bench: zq-idserver did not start: %s\n",
                     line.c_str());
        std::exit(1);
    }
    *port = static_cast<uint16_t>(std::stoi(m[1]));
    return pid;
}

std::string LineKey(int i) {
    char key[32];
    std::snprintf(key, sizeof key, "INSTALL-%012d", i);
    return key;
}

struct Figures {
    size_t installs = 0;
    double p50_ms = 0, p99_ms = 0, worst_ms = 0;
    long db_error = 0, other = 0;
};

// Client threads install keys of order LINE one after another until `done` says stop.
class Clients {
  public:
    Clients(uint16_t port, int threads) : port_(port), threads_(threads) {}

    Figures Run(const std::function<bool(size_t installs)>& done) {
        std::vector<uint32_t> latency;
        std::mutex mutex;
        std::atomic<bool> stop{false};
        Figures figures;
        std::vector<std::thread> threads;
        for (int t = 0; t < threads_; ++t)
            threads.emplace_back([&] {
                std::string last_ok;
                std::vector<uint32_t> mine;
                long db_error = 0, other = 0;
                while (!stop) {
                    std::string uuid = identity::MakeGuidText();
                    const std::string key = LineKey(next_++);
                    Clock::time_point start = Clock::now();
                    std::string result = identity::InstallToServer(
                        "127.0.0.2", port_, identity::kTypeP2pId, "LINE", key, std::nullopt,
                        last_ok, uuid, identity::kServerTimeoutMs);
                    mine.push_back(static_cast<uint32_t>(
                        std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - start)
                            .count()));
                    if (result.empty())
                        last_ok = uuid;
                    else if (result == identity::kDbError)
                        ++db_error;
                    else
                        ++other;
                    count_++;
                }
                std::lock_guard lock(mutex);
                latency.insert(latency.end(), mine.begin(), mine.end());
                figures.db_error += db_error;
                figures.other += other;
            });
        count_ = 0;
        while (!done(count_))
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        stop = true;
        for (std::thread& t : threads)
            t.join();
        std::sort(latency.begin(), latency.end());
        figures.installs = latency.size();
        if (!latency.empty()) {
            figures.p50_ms = latency[latency.size() / 2] / 1000.0;
            figures.p99_ms = latency[latency.size() * 99 / 100] / 1000.0;
            figures.worst_ms = latency.back() / 1000.0;
        }
        return figures;
    }

  private:
    uint16_t port_;
    int threads_;
    std::atomic<int> next_{0};
    std::atomic<size_t> count_{0};
};

void Print(const char* name, const Figures& f) {
    std::printf("%-30s %9zu %9.3f %9.3f %10.3f %9ld %7ld\n", name, f.installs, f.p50_ms, f.p99_ms,
                f.worst_ms, f.db_error, f.other);
}

}  // namespace

int main(int argc, char** argv) {
    const int lines = argc > 1 ? std::atoi(argv[1]) : 600000;
    const int clients = argc > 2 ? std::atoi(argv[2]) : 4;
    if (lines < 1 || clients < 1) {
        std::fprintf(stderr, "usage: idserver_import_bench [LINES [CLIENTS]]\n");
        return 2;
    }
    char tmpl[] = "/tmp/idserver_import_bench.XXXXXX";
    std::filesystem::path dir = mkdtemp(tmpl);
    const std::string db = (dir / "bench.db").string();
    const std::string line_pool = (dir / "line.txt").string();
    const std::string bulk_pool = (dir / "bulk.txt").string();
    {
        std::ofstream out(line_pool);
        for (int i = 0; i < 200000; ++i)
            out << LineKey(i) << '\n';
        std::ofstream bulk(bulk_pool);
        char key[32];
        for (int i = 0; i < lines; ++i) {
            std::snprintf(key, sizeof key, "IMPORT-%013d", i);
            bulk << key << '\n';
        }
    }
    if (Run({"create-order", "LINE", "--db", db}) != 0 ||
        Run({"create-order", "BULK", "--db", db}) != 0 ||
        Run({"import-pool", "LINE", line_pool, "--db", db}) != 0) {
        std::fprintf(stderr, "idserver_import_bench: preparing the store failed\n");
        return 1;
    }

    uint16_t port = 0;
    pid_t server = StartServer(db, &port);
    Clients line(port, clients);
    Figures quiet = line.Run([](size_t installs) { return installs >= 4000; });

    Clock::time_point start = Clock::now();
    pid_t import = Spawn({"import-pool", "BULK", bulk_pool, "--db", db}, -1);
    int status = 0;
    bool finished = false;
    Figures busy = line.Run([&](size_t) {
        if (waitpid(import, &status, WNOHANG) == import)
            finished = true;
        return finished;
    });
    const double import_s = std::chrono::duration<double>(Clock::now() - start).count();
    kill(server, SIGTERM);
    waitpid(server, nullptr, 0);
    std::filesystem::remove_all(dir);

    std::printf(
        "idserver_import_bench: %d client threads installing; import of %d lines took "
        "%.1f s (exit %d)\n",
        clients, lines, import_s, WIFEXITED(status) ? WEXITSTATUS(status) : -1);
    std::printf("%-30s %9s %9s %9s %10s %9s %7s\n", "", "installs", "p50 ms", "p99 ms", "worst ms",
                "db_error", "other");
    Print("installs alone (peer)", quiet);
    Print("installs during the import", busy);
    std::printf("ratio during import / alone: p99 %.2f, worst %.2f\n", busy.p99_ms / quiet.p99_ms,
                busy.worst_ms / quiet.worst_ms);
    return 0;
}
