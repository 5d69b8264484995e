#include "test_postgres.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <pwd.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>

#include "db.h"

namespace fs = std::filesystem;

namespace idserver {

namespace {

std::string FindBin() {
    if (const char* env = std::getenv("ZQ_PG_BIN"); env && *env)
        return env;
    std::vector<fs::path> found;
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator("/usr/lib/postgresql", ec))
        if (fs::exists(entry.path() / "bin" / "initdb"))
            found.push_back(entry.path() / "bin");
    // The newest version: compared as numbers, so that 9.6 comes before 15.
    std::sort(found.begin(), found.end(), [](const fs::path& a, const fs::path& b) {
        return std::atof(a.parent_path().filename().c_str()) <
               std::atof(b.parent_path().filename().c_str());
    });
    if (!found.empty())
        return found.back().string();
    const char* path = std::getenv("PATH");
    std::string dirs = path ? path : "";
    size_t start = 0;
    while (start <= dirs.size()) {
        size_t end = dirs.find(':', start);
        const std::string dir = dirs.substr(start, end - start);
        if (!dir.empty() && fs::exists(fs::path(dir) / "initdb"))
            return dir;
        if (end == std::string::npos)
            break;
        start = end + 1;
    }
    return {};
}

// A loopback port nobody listens on now.
int FreePort() {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t n = sizeof a;
    int port = 0;
    if (bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
        getsockname(fd, reinterpret_cast<sockaddr*>(&a), &n) == 0)
        port = ntohs(a.sin_port);
    close(fd);
    return port;
}

}  // namespace

TestPostgres::~TestPostgres() {
    Stop();
    if (!dir_.empty()) {
        std::error_code ec;
        fs::remove_all(dir_, ec);
    }
}

bool TestPostgres::Run(const std::string& program, const std::vector<std::string>& args) {
    const std::string path = bin_ + "/" + program;
    const std::string log = dir_ + "/" + program + ".out";
    // The child must not write out what the caller has buffered.
    std::fflush(stdout);
    std::fflush(stderr);
    pid_t child = fork();
    if (child < 0) {
        error_ = "fork failed";
        return false;
    }
    if (child == 0) {
        if (geteuid() == 0) {
            passwd* user = getpwnam("postgres");
            if (!user || setgid(user->pw_gid) != 0 || setuid(user->pw_uid) != 0)
                _exit(126);
        }
        if (!freopen(log.c_str(), "a", stdout) || !freopen(log.c_str(), "a", stderr))
            _exit(126);
        std::vector<char*> argv{const_cast<char*>(path.c_str())};
        for (const std::string& a : args)
            argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        execv(path.c_str(), argv.data());
        _exit(127);
    }
    int status = 0;
    while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    if (WIFEXITED(status) && WEXITSTATUS(status) == 0)
        return true;
    error_ = program + " failed (see " + log + ")";
    return false;
}

bool TestPostgres::Start() {
    bin_ = FindBin();
    if (bin_.empty()) {
        error_ = "no PostgreSQL binaries (install postgresql, or set ZQ_PG_BIN)";
        return false;
    }
    char tmpl[] = "/tmp/zq-postgres.XXXXXX";
    if (!mkdtemp(tmpl)) {
        error_ = "no temporary folder";
        return false;
    }
    dir_ = tmpl;
    if (geteuid() == 0) {
        passwd* user = getpwnam("postgres");
        if (!user || chown(dir_.c_str(), user->pw_uid, user->pw_gid) != 0) {
            error_ = "running as root needs the postgres user to own " + dir_;
            return false;
        }
    }
    port_ = FreePort();
    if (!Run("initdb", {"-D", dir_ + "/data", "-A", "trust", "-U", "zq", "-E", "UTF8", "--locale=C",
                        "--no-sync"}))
        return false;
    return StartServer();
}

bool TestPostgres::StartServer() {
    const std::string options = "-h 127.0.0.1 -p " + std::to_string(port_) + " -k " + dir_ +
                                " -c max_connections=200 -c shared_buffers=32MB";
    running_ = Run("pg_ctl", {"-D", dir_ + "/data", "-l", dir_ + "/server.log", "-o", options, "-w",
                              "-t", "60", "start"});
    return running_;
}

bool TestPostgres::Stop(bool immediate) {
    if (!running_)
        return true;
    running_ = false;
    return Run("pg_ctl",
               {"-D", dir_ + "/data", "-m", immediate ? "immediate" : "fast", "-w", "stop"});
}

bool TestPostgres::Restart(bool immediate) {
    return Stop(immediate) && StartServer();
}

std::string TestPostgres::Url(const std::string& name) const {
    return "postgresql://zq@127.0.0.1:" + std::to_string(port_) + "/" + name;
}

std::string TestPostgres::NewDatabase() {
    std::string why;
    std::unique_ptr<Db> admin = OpenPostgres(Url("postgres"), 5000, why);
    if (!admin) {
        error_ = why;
        return {};
    }
    const std::string name = "zq" + std::to_string(getpid()) + "_" + std::to_string(++databases_);
    if (!admin->Script("CREATE DATABASE " + name)) {
        error_ = admin->error();
        return {};
    }
    return Url(name);
}

TestPostgres* SharedPostgres() {
    static std::unique_ptr<TestPostgres> shared;
    static bool tried = false;
    if (!tried) {
        tried = true;
        shared = std::make_unique<TestPostgres>();
        if (!shared->Start()) {
            fprintf(stderr, "PostgreSQL for the tests: %s\n", shared->error().c_str());
            shared.reset();
        }
    }
    return shared.get();
}

}  // namespace idserver
