// A unit's telnet service over real sockets: opened and closed by commands 349 and 350 (and a
// factory reset), the login, the shell commands a line test uses, and bad clients.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <string>

#include "simulator.h"

namespace {

constexpr const char* kAddress = "127.0.37.60";

// A line client of the service: connects, reads until an expected ending, sends lines.
class Client {
  public:
    explicit Client(uint16_t port) {
        fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(port);
        ::inet_pton(AF_INET, kAddress, &a.sin_addr);
        connected_ = ::connect(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    }
    ~Client() { ::close(fd_); }
    bool connected() const { return connected_; }

    // Everything received until the text ends with `ending` (or 3 s pass, or the peer closes).
    std::string Until(const std::string& ending) {
        std::string seen;
        const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(3);
        while (seen.size() < ending.size() ||
               seen.compare(seen.size() - ending.size(), ending.size(), ending) != 0) {
            pollfd p{fd_, POLLIN, 0};
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                end - std::chrono::steady_clock::now());
            if (left.count() <= 0 || ::poll(&p, 1, static_cast<int>(left.count())) <= 0)
                break;
            char buffer[256];
            const ssize_t n = ::recv(fd_, buffer, sizeof buffer, 0);
            if (n <= 0) {
                closed_ = true;
                break;
            }
            seen.append(buffer, static_cast<size_t>(n));
        }
        return seen;
    }
    void Send(const std::string& text) { ::send(fd_, text.data(), text.size(), MSG_NOSIGNAL); }
    bool closed() const { return closed_; }

  private:
    int fd_ = -1;
    bool connected_ = false;
    bool closed_ = false;
};

uint16_t FreePort() {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    ::inet_pton(AF_INET, kAddress, &a.sin_addr);
    socklen_t length = sizeof a;
    ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &length);
    ::close(fd);
    return ntohs(a.sin_port);
}

class TelnetServiceTest : public ::testing::Test {
  protected:
    void SetUp() override {
        unitsim::UnitConfig u;
        u.address = kAddress;
        u.mediaPort = 0;
        u.searchPort = 0;
        u.telnetPort = FreePort();
        u.password = "pw";
        u.typeName = "NVR-T";
        u.firmware = "V7.1";
        ASSERT_TRUE(unitsim::ParseMac("00:12:41:00:37:60", u.mac.mac));
        std::strcpy(u.mac.serial, "SER-T");
        std::string error;
        ASSERT_TRUE(sim_.Start({u}, error)) << error;
        unit_ = sim_.Find(kAddress);
        port_ = u.telnetPort;
    }
    // Logs in as `user` / `password`; returns what the login answered.
    static std::string Login(Client& c, const std::string& user, const std::string& password) {
        c.Send(user + "\r\n");
        EXPECT_NE(c.Until("Password: ").find("Password: "), std::string::npos);
        c.Send(password + "\r\n");
        return c.Until("# ");
    }

    unitsim::Simulator sim_;
    unitsim::Unit* unit_ = nullptr;
    uint16_t port_ = 0;
};

TEST_F(TelnetServiceTest, ListensOnlyWhileOpen) {
    EXPECT_FALSE(Client(port_).connected());
    EXPECT_EQ(unit_->Command(349), 0u);
    EXPECT_TRUE(unit_->State().telnet);
    EXPECT_EQ(unit_->Command(349), 0u);  // open twice: still one service
    {
        Client c(port_);
        ASSERT_TRUE(c.connected());
        EXPECT_EQ(c.Until("login: "), "\r\nNVR-T login: ");
        EXPECT_EQ(unit_->Command(350), 0u);
        c.Until("never");  // the open connection ends with the service
        EXPECT_TRUE(c.closed());
    }
    EXPECT_FALSE(unit_->State().telnet);
    EXPECT_FALSE(Client(port_).connected());
    EXPECT_EQ(unit_->State().commands, (std::vector<uint32_t>{349, 349, 350}));
}

TEST_F(TelnetServiceTest, AnswersTheLineTestsCommandsAfterLogin) {
    ASSERT_EQ(unit_->Command(349), 0u);
    Client c(port_);
    c.Until("login: ");
    // IAC negotiation a telnet client sends first is ignored.
    c.Send("\xff\xfd\x01\xff\xfb\x03");
    const std::string welcome = Login(c, "admin", "pw");
    EXPECT_NE(welcome.find("Welcome to NVR-T"), std::string::npos) << welcome;
    struct Case {
        std::string line;
        std::string answer;
    };
    const Case cases[] = {
        {"version", "V7.1\r\n# "},
        {"mac", "00:12:41:00:37:60\r\n# "},
        {"serial", "SER-T\r\n# "},
        {"serial extra words\r", "SER-T\r\n# "},
        {"", "# "},
        {"reboot", "sh: reboot: not found\r\n# "},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.line);
        c.Send(k.line + "\n");
        EXPECT_EQ(c.Until("# "), k.answer);
    }
    c.Send("uptime\r\n");
    EXPECT_EQ(c.Until("# ").rfind("up ", 0), 0u);
    c.Send("exit\r\n");
    EXPECT_EQ(c.Until("never"), "bye\r\n");
    EXPECT_TRUE(c.closed());
}

TEST_F(TelnetServiceTest, WrongAccountsGetThreeTriesAndBadClientsAreCutOff) {
    ASSERT_EQ(unit_->Command(349), 0u);
    {
        Client c(port_);
        c.Until("login: ");
        EXPECT_NE(Login(c, "admin", "wrong").find("Login incorrect"), std::string::npos);
        c.Until("login: ");
        EXPECT_NE(Login(c, "root", "pw").find("Login incorrect"), std::string::npos);
        c.Until("login: ");
        Login(c, "admin", "");
        c.Until("never");
        EXPECT_TRUE(c.closed());
    }
    {
        Client c(port_);  // a line longer than any command
        c.Until("login: ");
        c.Send(std::string(1000, 'x'));
        c.Until("never");
        EXPECT_TRUE(c.closed());
    }
    Client good(port_);  // the service still serves others
    good.Until("login: ");
    EXPECT_NE(Login(good, "admin", "pw").find("Welcome"), std::string::npos);
}

TEST_F(TelnetServiceTest, FactoryResetClosesItAndABusyPortFailsTheCommand) {
    ASSERT_EQ(unit_->Command(349), 0u);
    ZQNetResetRecord reset{};
    reset.size = sizeof reset;
    reset.year = 2024;
    reset.month = 1;
    reset.day = 1;
    reset.restore = 1;
    ASSERT_EQ(unit_->Set(588, {reinterpret_cast<const uint8_t*>(&reset), sizeof reset}), 0u);
    EXPECT_FALSE(unit_->State().telnet);
    EXPECT_FALSE(Client(port_).connected());

    // Something else holds the port: 349 answers "failed" and telnet stays closed.
    const int holder = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port_);
    ::inet_pton(AF_INET, kAddress, &a.sin_addr);
    ASSERT_EQ(::bind(holder, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    ASSERT_EQ(::listen(holder, 1), 0);
    EXPECT_NE(unit_->Command(349), 0u);
    EXPECT_FALSE(unit_->State().telnet);
    ::close(holder);
    EXPECT_EQ(unit_->Command(349), 0u);
    EXPECT_TRUE(Client(port_).connected());
}

}  // namespace
