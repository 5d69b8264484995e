#include "telnet.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <list>
#include <vector>

#include "unit.h"

namespace unitsim {

namespace {

constexpr size_t kMaxLine = 256;
constexpr int kLoginTries = 3;

struct Client {
    enum class Stage { kUser, kPassword, kShell };
    int fd = -1;
    Stage stage = Stage::kUser;
    std::string line;
    std::string user;
    int tries = 0;
    int iac = 0;  // bytes of a telnet option sequence still to skip
};

void Send(int fd, const std::string& text) {
    size_t at = 0;
    while (at < text.size()) {
        const ssize_t n = ::send(fd, text.data() + at, text.size() - at, MSG_NOSIGNAL);
        if (n <= 0)
            return;
        at += static_cast<size_t>(n);
    }
}

std::string Text(const char* field, size_t size) {
    return std::string(field, strnlen(field, size));
}

}  // namespace

bool TelnetService::Open() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (thread_.joinable())
        return true;
    const UnitConfig& config = unit_.config();
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return false;
    int one = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(config.telnetPort);
    int pipe_fds[2];
    if (::inet_pton(AF_INET, config.address.c_str(), &a.sin_addr) != 1 ||
        ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || ::listen(fd, 16) != 0 ||
        ::pipe2(pipe_fds, O_CLOEXEC) != 0) {
        ::close(fd);
        return false;
    }
    wake_write_ = pipe_fds[1];
    thread_ = std::thread([this, fd, wake = pipe_fds[0]] { Serve(fd, wake); });
    return true;
}

void TelnetService::Close() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!thread_.joinable())
        return;
    const char byte = 0;
    [[maybe_unused]] ssize_t n = ::write(wake_write_, &byte, 1);
    thread_.join();
    ::close(wake_write_);
    wake_write_ = -1;
}

void TelnetService::Serve(int listen_fd, int wake_fd) {
    const auto opened = std::chrono::steady_clock::now();
    const UnitConfig& config = unit_.config();
    const std::string greeting = "\r\n" + config.typeName + " login: ";
    std::list<Client> clients;

    // Answers one complete line of a client; false when the connection must end.
    auto answer = [&](Client& c, const std::string& line) {
        switch (c.stage) {
            case Client::Stage::kUser:
                c.user = line;
                c.stage = Client::Stage::kPassword;
                Send(c.fd, "Password: ");
                return true;
            case Client::Stage::kPassword:
                if (c.user == config.user && line == config.password) {
                    c.stage = Client::Stage::kShell;
                    Send(c.fd, "\r\nWelcome to " + config.typeName + "\r\n# ");
                    return true;
                }
                if (++c.tries >= kLoginTries) {
                    Send(c.fd, "\r\nLogin incorrect\r\n");
                    return false;
                }
                c.stage = Client::Stage::kUser;
                Send(c.fd, "\r\nLogin incorrect\r\n" + greeting);
                return true;
            case Client::Stage::kShell:
                break;
        }
        const std::string word = line.substr(0, line.find(' '));
        const UnitState state = unit_.State();
        std::string reply;
        if (word == "exit") {
            Send(c.fd, "bye\r\n");
            return false;
        } else if (word == "version") {
            reply = config.firmware;
        } else if (word == "mac") {
            reply = FormatMac(state.mac.mac);
        } else if (word == "serial") {
            reply = Text(state.mac.serial, sizeof state.mac.serial);
        } else if (word == "uptime") {
            const auto up = std::chrono::duration_cast<std::chrono::seconds>(
                std::chrono::steady_clock::now() - opened);
            reply = "up " + std::to_string(up.count()) + " seconds";
        } else if (!word.empty()) {
            reply = "sh: " + word + ": not found";
        }
        Send(c.fd, word.empty() ? "# " : reply + "\r\n# ");
        return true;
    };

    // Takes a client's bytes; false when the connection must end.
    auto receive = [&](Client& c) {
        char buffer[512];
        const ssize_t n = ::recv(c.fd, buffer, sizeof buffer, 0);
        if (n <= 0)
            return false;
        for (ssize_t i = 0; i < n; ++i) {
            const auto b = static_cast<unsigned char>(buffer[i]);
            if (c.iac > 0) {
                --c.iac;
                continue;
            }
            if (b == 255) {  // IAC and its command and option
                c.iac = 2;
            } else if (b == '\n') {
                std::string line;
                line.swap(c.line);
                if (!line.empty() && line.back() == '\r')
                    line.pop_back();
                if (!answer(c, line))
                    return false;
            } else if (b != 0) {
                if (c.line.size() >= kMaxLine)
                    return false;  // no line of this service is that long
                c.line.push_back(static_cast<char>(b));
            }
        }
        return true;
    };

    for (;;) {
        std::vector<pollfd> fds = {{wake_fd, POLLIN, 0}, {listen_fd, POLLIN, 0}};
        for (const Client& c : clients)
            fds.push_back({c.fd, POLLIN, 0});
        if (::poll(fds.data(), fds.size(), -1) < 0 && errno != EINTR)
            break;
        if (fds[0].revents != 0)
            break;
        auto it = clients.begin();
        for (size_t i = 2; i < fds.size(); ++i, ++it) {
            if (fds[i].revents != 0 && !receive(*it)) {
                ::close(it->fd);
                it->fd = -1;
            }
        }
        clients.remove_if([](const Client& c) { return c.fd < 0; });
        if (fds[1].revents != 0) {
            const int fd = ::accept4(listen_fd, nullptr, nullptr, SOCK_CLOEXEC);
            if (fd >= 0) {
                Client client;
                client.fd = fd;
                clients.push_back(std::move(client));
                Send(fd, greeting);
            }
        }
    }
    for (const Client& c : clients)
        ::close(c.fd);
    ::close(listen_fd);
    ::close(wake_fd);
}

}  // namespace unitsim
