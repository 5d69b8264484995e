#include "simulator.h"

#include "config.h"

#include <json/reader.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <map>
#include <system_error>

namespace unitsim {

struct Simulator::Listener {
    enum Type { kSession, kSearch, kControl };
    int fd = -1;
    Type type = kSession;
    Unit* unit = nullptr;
};

struct Simulator::Connection {
    int fd = -1;
    int wake = -1;  // eventfd: alarms queued, or the simulator stops
    Unit* unit = nullptr;
    bool control = false;                     // a control-interface client, not a session
    std::unique_ptr<UnitSession> session;     // made on accept, then its pool thread's
    std::vector<UnitSession::Step> greeting;  // what of the greeting is left to send
    bool greeted = true;                      // false: the greeting ends the session
    std::atomic<bool> done{false};            // its pool thread has finished with it
};

namespace {

void CloseFd(int& fd) {
    if (fd >= 0)
        ::close(fd);
    fd = -1;
}

void Signal(int fd) {
    uint64_t one = 1;
    ssize_t n = ::write(fd, &one, sizeof(one));
    (void)n;
}

void Drain(int fd) {
    uint64_t value = 0;
    ssize_t n = ::read(fd, &value, sizeof(value));
    (void)n;
}

sockaddr_in Address(const std::string& text, uint16_t port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    inet_pton(AF_INET, text.c_str(), &a.sin_addr);
    return a;
}

// Binds a socket to address:port; port 0 takes a free one and writes it back.
int Bind(int type, const std::string& address, uint16_t& port, std::string& error) {
    int fd = ::socket(AF_INET, type | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        error = std::string("socket: ") + std::strerror(errno);
        return -1;
    }
    int on = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on));
    sockaddr_in a = Address(address, port);
    if (::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof(a)) != 0 ||
        (type == SOCK_STREAM && ::listen(fd, 128) != 0)) {
        error = "cannot listen on " + address + ":" + std::to_string(port) + ": " +
                std::strerror(errno);
        ::close(fd);
        return -1;
    }
    socklen_t length = sizeof(a);
    getsockname(fd, reinterpret_cast<sockaddr*>(&a), &length);
    port = ntohs(a.sin_port);
    return fd;
}

bool SendAll(int fd, SSL* ssl, const std::vector<uint8_t>& bytes) {
    size_t at = 0;
    while (at < bytes.size()) {
        if (ssl) {
            size_t written = 0;
            if (SSL_write_ex(ssl, bytes.data() + at, bytes.size() - at, &written) != 1)
                return false;
            at += written;
        } else {
            ssize_t n = ::send(fd, bytes.data() + at, bytes.size() - at, MSG_NOSIGNAL);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                return false;
            at += static_cast<size_t>(n);
        }
    }
    return true;
}

SSL_CTX* MakeTlsContext(std::string& error) {
    EVP_PKEY* key = EVP_EC_gen("P-256");
    X509* cert = X509_new();
    SSL_CTX* ctx = SSL_CTX_new(TLS_server_method());
    bool ok = key && cert && ctx;
    if (ok) {
        ASN1_INTEGER_set(X509_get_serialNumber(cert), 1);
        X509_set_version(cert, 2);
        X509_gmtime_adj(X509_getm_notBefore(cert), -3600);
        X509_gmtime_adj(X509_getm_notAfter(cert), 3650L * 86400);
        X509_set_pubkey(cert, key);
        X509_NAME* name = X509_get_subject_name(cert);
        X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                                   reinterpret_cast<const unsigned char*>("zq-unit-sim"), -1, -1,
                                   0);
        X509_set_issuer_name(cert, name);
        ok = X509_sign(cert, key, EVP_sha256()) > 0 &&
             SSL_CTX_set_min_proto_version(ctx, TLS1_3_VERSION) == 1 &&
             SSL_CTX_set_max_proto_version(ctx, TLS1_3_VERSION) == 1 &&
             SSL_CTX_use_certificate(ctx, cert) == 1 && SSL_CTX_use_PrivateKey(ctx, key) == 1 &&
             SSL_CTX_set_num_tickets(ctx, 0) == 1;  // stations do not resume sessions
    }
    X509_free(cert);
    EVP_PKEY_free(key);
    if (!ok) {
        error = "cannot make the TLS certificate";
        SSL_CTX_free(ctx);
        ERR_clear_error();
        return nullptr;
    }
    return ctx;
}

// Waits `ms` milliseconds, waking early only to stop (false). Alarm wake-ups are remembered.
bool Pause(int wake, int ms, const std::atomic<bool>& stopping, bool& wakePending) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    for (;;) {
        if (stopping)
            return false;
        const auto now = std::chrono::steady_clock::now();
        if (now >= until)
            return true;
        pollfd fd = {wake, POLLIN, 0};
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(until - now).count() + 1;
        if (::poll(&fd, 1, static_cast<int>(left)) > 0) {
            Drain(wake);
            wakePending = true;
        }
    }
}

Json::Value Answer(bool ok, const std::string& error = {}) {
    Json::Value v(Json::objectValue);
    v["ok"] = ok;
    if (!ok)
        v["error"] = error;
    return v;
}

}  // namespace

Simulator::Simulator() = default;

Simulator::~Simulator() {
    Stop();
}

bool Simulator::Start(std::vector<UnitConfig> units, std::string& error) {
    if (running_) {
        error = "already running";
        return false;
    }
    tls_ = MakeTlsContext(error);
    if (!tls_)
        return false;
    int pipeFds[2];
    if (::pipe2(pipeFds, O_CLOEXEC | O_NONBLOCK) != 0) {
        error = std::string("pipe: ") + std::strerror(errno);
        Stop();
        return false;
    }
    wakeRead_ = pipeFds[0];
    wakeWrite_ = pipeFds[1];
    for (UnitConfig& config : units) {
        auto session = std::make_unique<Listener>();
        auto search = std::make_unique<Listener>();
        session->fd = Bind(SOCK_STREAM, config.address, config.mediaPort, error);
        if (session->fd >= 0)
            search->fd = Bind(SOCK_DGRAM, config.address, config.searchPort, error);
        if (session->fd < 0 || search->fd < 0) {
            CloseFd(session->fd);
            running_ = true;
            Stop();
            return false;
        }
        units_.push_back(std::make_unique<Unit>(std::move(config)));
        telnet_.push_back(std::make_unique<TelnetService>(*units_.back()));
        units_.back()->SetTelnetSwitch([telnet = telnet_.back().get()](bool open) {
            if (open)
                return telnet->Open();
            telnet->Close();
            return true;
        });
        session->unit = search->unit = units_.back().get();
        session->type = Listener::kSession;
        search->type = Listener::kSearch;
        listeners_.push_back(std::move(session));
        listeners_.push_back(std::move(search));
    }
    stopping_ = false;
    running_ = true;
    loop_ = std::thread([this] { Loop(); });
    return true;
}

uint16_t Simulator::ServeControl(uint16_t port, std::string& error) {
    if (!running_ || loop_.joinable() == false) {
        error = "the simulator is not running";
        return 0;
    }
    auto control = std::make_unique<Listener>();
    control->type = Listener::kControl;
    control->fd = Bind(SOCK_STREAM, "127.0.0.1", port, error);
    if (control->fd < 0)
        return 0;
    // The loop owns the listeners; hand the new one over while it is paused.
    pause_ = true;
    Signal(wakeWrite_);
    loop_.join();
    pause_ = false;
    listeners_.push_back(std::move(control));
    loop_ = std::thread([this] { Loop(); });
    return port;
}

void Simulator::Stop() {
    if (!running_) {
        SSL_CTX_free(tls_);
        tls_ = nullptr;
        CloseFd(wakeRead_);
        CloseFd(wakeWrite_);
        return;
    }
    stopping_ = true;
    if (wakeWrite_ >= 0)
        Signal(wakeWrite_);
    if (loop_.joinable())
        loop_.join();
    {
        std::lock_guard<std::mutex> lock(connectionsMutex_);
        for (auto& c : connections_) {
            ::shutdown(c->fd, SHUT_RDWR);
            Signal(c->wake);
        }
    }
    Reap(true);
    for (auto& l : listeners_)
        CloseFd(l->fd);
    listeners_.clear();
    telnet_.clear();
    units_.clear();
    SSL_CTX_free(tls_);
    tls_ = nullptr;
    CloseFd(wakeRead_);
    CloseFd(wakeWrite_);
    running_ = false;
}

Unit* Simulator::Find(const std::string& address) {
    for (auto& u : units_) {
        if (u->config().address == address)
            return u.get();
    }
    return nullptr;
}

std::vector<Unit*> Simulator::Units() {
    std::vector<Unit*> out;
    for (auto& u : units_)
        out.push_back(u.get());
    return out;
}

void Simulator::Loop() {
    std::vector<pollfd> fds;
    fds.push_back({wakeRead_, POLLIN, 0});
    for (auto& l : listeners_)
        fds.push_back({l->fd, POLLIN, 0});
    while (!stopping_ && !pause_) {
        int n = ::poll(fds.data(), fds.size(), 20);
        if (n < 0 && errno != EINTR)
            break;
        for (auto& u : units_)
            u->Tick();
        if (n > 0) {
            if (fds[0].revents) {
                char buffer[64];
                while (::read(wakeRead_, buffer, sizeof(buffer)) > 0) {
                }
            }
            for (size_t i = 1; i < fds.size(); ++i) {
                if (!(fds[i].revents & POLLIN))
                    continue;
                Listener& l = *listeners_[i - 1];
                if (l.type == Listener::kSearch) {
                    AnswerProbe(l);
                } else {
                    Accept(l);
                }
            }
        }
        Reap(false);
    }
}

void Simulator::Accept(Listener& listener) {
    int fd = ::accept4(listener.fd, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0)
        return;
    const int noDelay = 1;  // small answers go out at once (TLS sends several records in a row)
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &noDelay, sizeof noDelay);
    auto c = std::make_unique<Connection>();
    c->fd = fd;
    c->wake = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    c->unit = listener.unit;
    if (c->wake < 0) {
        ::close(fd);
        return;
    }
    if (listener.type == Listener::kSession) {
        // The challenge goes out from here, so that the station's proof does not wait for a
        // session thread to take the connection; a delayed one is left to that thread.
        const int wake = c->wake;
        c->session = std::make_unique<UnitSession>(*c->unit, std::span<const uint8_t>(),
                                                   [wake] { Signal(wake); });
        c->greeted = c->session->Greet(c->greeting);
        if (!c->greeting.empty() && c->greeting.front().delayMs == 0) {
            std::vector<uint8_t>& bytes = c->greeting.front().bytes;
            ssize_t n = ::send(fd, bytes.data(), bytes.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
            if (n == static_cast<ssize_t>(bytes.size())) {
                c->greeting.erase(c->greeting.begin());
            } else if (n > 0) {
                bytes.erase(bytes.begin(), bytes.begin() + n);
            } else if (errno != EAGAIN && errno != EWOULDBLOCK) {
                c->greeted = false;
                c->greeting.clear();
            }
        }
    }
    Spawn(c.release(), listener.type == Listener::kControl);
}

void Simulator::Spawn(Connection* connection, bool control) {
    connection->control = control;
    std::lock_guard<std::mutex> lock(connectionsMutex_);
    connections_.emplace_back(connection);
    queue_.push_back(connection);
    if (idle_ >= queue_.size()) {
        queued_.notify_one();
        return;
    }
    try {
        pool_.emplace_back([this] { Work(); });
    } catch (const std::system_error&) {
        // No thread to be had: the connection is dropped (an idle thread may still take it).
        if (pool_.empty()) {
            queue_.pop_back();
            connection->done = true;
        }
    }
}

void Simulator::Work() {
    // A peer that has gone makes writes fail with EPIPE instead of killing the process.
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
    std::unique_lock<std::mutex> lock(connectionsMutex_);
    for (;;) {
        ++idle_;
        queued_.wait(lock, [&] { return !queue_.empty() || stopping_; });
        --idle_;
        if (queue_.empty())
            return;  // stopping
        Connection* connection = queue_.front();
        queue_.pop_front();
        lock.unlock();
        if (!stopping_) {
            if (connection->control) {
                ServeControlClient(connection);
            } else {
                Serve(connection);
            }
        }
        connection->session.reset();  // gives the unit its session slot back at once
        lock.lock();
        connection->done = true;  // the last touch: Reap may close it from now on
    }
}

void Simulator::Reap(bool all) {
    std::list<std::unique_ptr<Connection>> finished;
    std::vector<std::thread> pool;
    {
        std::lock_guard<std::mutex> lock(connectionsMutex_);
        if (all) {
            queued_.notify_all();
            pool.swap(pool_);
        }
    }
    for (auto& t : pool)
        t.join();  // with stopping_ set, each ends after its session (which ends at once)
    {
        std::lock_guard<std::mutex> lock(connectionsMutex_);
        for (auto it = connections_.begin(); it != connections_.end();) {
            if (all || (*it)->done) {
                finished.push_back(std::move(*it));
                it = connections_.erase(it);
            } else {
                ++it;
            }
        }
        if (all)
            queue_.clear();
    }
    for (auto& c : finished) {
        c->session.reset();  // before its wake-up descriptor goes
        CloseFd(c->fd);
        CloseFd(c->wake);
    }
}

void Simulator::AnswerProbe(Listener& listener) {
    uint8_t buffer[2048];
    sockaddr_in from{};
    socklen_t length = sizeof(from);
    ssize_t n = ::recvfrom(listener.fd, buffer, sizeof(buffer), MSG_DONTWAIT,
                           reinterpret_cast<sockaddr*>(&from), &length);
    if (n <= 0 || length != sizeof(from) || (ntohl(from.sin_addr.s_addr) >> 24) != 127)
        return;
    zqproto::Message probe;
    if (!zqproto::DecodeDatagram(std::span<const uint8_t>(buffer, static_cast<size_t>(n)), probe) ||
        probe.kind != zqproto::Kind::kSearchProbe) {
        return;
    }
    ZQNetDeviceRecord record = listener.unit->DeviceRecord();
    zqproto::Message answer;
    answer.kind = zqproto::Kind::kSearchAnswer;
    answer.sequence = probe.sequence;
    const auto* p = reinterpret_cast<const uint8_t*>(&record);
    answer.data.assign(p, p + sizeof(record));
    std::vector<uint8_t> bytes = zqproto::Encode(answer);
    ::sendto(listener.fd, bytes.data(), bytes.size(), MSG_DONTWAIT,
             reinterpret_cast<sockaddr*>(&from), length);
}

void Simulator::Serve(Connection* c) {
    UnitSession& session = *c->session;
    pollfd fds[2] = {{c->fd, POLLIN, 0}, {c->wake, POLLIN, 0}};
    bool wakePending = false;
    // The challenge goes out at once, in clear, whichever mode the station then picks (Accept
    // has sent it unless it is delayed).
    for (const auto& step : c->greeting) {
        if ((step.delayMs > 0 && !Pause(c->wake, step.delayMs, stopping_, wakePending)) ||
            !SendAll(c->fd, nullptr, step.bytes)) {
            c->greeted = false;
            break;
        }
    }
    c->greeting.clear();
    if (!c->greeted) {
        ::shutdown(c->fd, SHUT_RDWR);
        return;
    }
    // Then the first byte: 0x16 starts a TLS handshake, anything else is a plain session.
    for (;;) {
        fds[0].revents = fds[1].revents = 0;
        if (::poll(fds, 2, -1) < 0 && errno != EINTR)
            return;
        if (stopping_)
            return;
        if (fds[0].revents & (POLLIN | POLLHUP | POLLERR))
            break;
        if (fds[1].revents) {
            Drain(c->wake);  // alarms are not sent before the login anyway
            wakePending = true;
        }
    }
    uint8_t first = 0;
    if (::recv(c->fd, &first, 1, MSG_PEEK) != 1)
        return;

    SSL* ssl = nullptr;
    bool tls = first == 0x16;
    if (tls) {
        zqproto::Token binding{};
        ssl = SSL_new(tls_);
        if (!ssl || SSL_set_fd(ssl, c->fd) != 1 || SSL_accept(ssl) != 1 ||
            !zqproto::TlsChannelBinding(ssl, binding)) {
            SSL_free(ssl);
            ERR_clear_error();
            return;
        }
        session.Bind(binding);
    }
    {
        std::vector<uint8_t> buffer(zqproto::kHeaderSize + zqproto::kMaxPayload);
        bool open = true;
        // Waits for bytes or a wake-up; false when stopping.
        auto wait = [&](int ms, bool& readable) {
            readable = false;
            fds[0].revents = fds[1].revents = 0;
            int n = ::poll(fds, 2, ms);
            if (n < 0 && errno != EINTR)
                return false;
            if (fds[1].revents) {
                Drain(c->wake);
                wakePending = true;
            }
            readable = (fds[0].revents & (POLLIN | POLLHUP | POLLERR)) != 0;
            return !stopping_;
        };
        while (open && !stopping_) {
            bool readable = ssl && SSL_pending(ssl) > 0;
            if (!readable && !wakePending) {
                // Until the next media frame is due, if one streams.
                int timeout = -1;
                if (auto due = session.NextMediaDue()) {
                    const auto left = std::chrono::ceil<std::chrono::milliseconds>(
                        *due - std::chrono::steady_clock::now());
                    timeout = static_cast<int>(std::max<int64_t>(0, left.count()));
                }
                if (!wait(timeout, readable))
                    break;
            }
            if (wakePending) {
                wakePending = false;
                for (const auto& frame : session.TakeAlarms()) {
                    if (!SendAll(c->fd, ssl, frame))
                        open = false;
                }
            }
            if (open) {
                std::vector<UnitSession::Step> media;
                open = session.TakeMedia(std::chrono::steady_clock::now(), media);
                for (const auto& step : media) {
                    if (!SendAll(c->fd, ssl, step.bytes)) {
                        open = false;
                        break;
                    }
                }
            }
            if (!readable || !open)
                continue;
            size_t got = 0;
            if (ssl) {
                if (SSL_read_ex(ssl, buffer.data(), buffer.size(), &got) != 1)
                    break;
            } else {
                ssize_t n = ::recv(c->fd, buffer.data(), buffer.size(), 0);
                if (n < 0 && errno == EINTR)
                    continue;
                if (n <= 0)
                    break;
                got = static_cast<size_t>(n);
            }
            std::vector<UnitSession::Step> steps;
            open = session.Receive(std::span<const uint8_t>(buffer.data(), got), steps);
            for (const auto& step : steps) {
                if (step.delayMs > 0 && !Pause(c->wake, step.delayMs, stopping_, wakePending)) {
                    open = false;
                    break;
                }
                if (!SendAll(c->fd, ssl, step.bytes)) {
                    open = false;
                    break;
                }
            }
        }
    }
    if (ssl) {
        if (!stopping_)
            SSL_shutdown(ssl);
        SSL_free(ssl);
        ERR_clear_error();
    }
    ::shutdown(c->fd, SHUT_RDWR);
}

void Simulator::ServeControlClient(Connection* c) {
    std::string pending;
    char buffer[4096];
    pollfd fds[2] = {{c->fd, POLLIN, 0}, {c->wake, POLLIN, 0}};
    while (!stopping_) {
        fds[0].revents = fds[1].revents = 0;
        if (::poll(fds, 2, -1) < 0 && errno != EINTR)
            break;
        if (stopping_)
            break;
        if (!fds[0].revents)
            continue;
        ssize_t n = ::recv(c->fd, buffer, sizeof(buffer), 0);
        if (n <= 0)
            break;
        pending.append(buffer, static_cast<size_t>(n));
        size_t end;
        while ((end = pending.find('\n')) != std::string::npos) {
            std::string answer = Control(pending.substr(0, end)) + "\n";
            pending.erase(0, end + 1);
            if (!SendAll(c->fd, nullptr, std::vector<uint8_t>(answer.begin(), answer.end())))
                return;
        }
        if (pending.size() > 65536) {
            std::string answer = ToLine(Answer(false, "request line too long")) + "\n";
            SendAll(c->fd, nullptr, std::vector<uint8_t>(answer.begin(), answer.end()));
            break;
        }
    }
    ::shutdown(c->fd, SHUT_RDWR);
}

std::string Simulator::Control(const std::string& line) {
    Json::CharReaderBuilder builder;
    std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
    Json::Value request;
    std::string why;
    if (!reader->parse(line.data(), line.data() + line.size(), &request, &why) ||
        !request.isObject() || !request["cmd"].isString()) {
        return ToLine(Answer(false, "a request is a JSON object with a \"cmd\" text"));
    }
    const std::string cmd = request["cmd"].asString();
    if (cmd == "list") {
        Json::Value answer = Answer(true);
        Json::Value list(Json::arrayValue);
        for (auto& u : units_) {
            Json::Value item(Json::objectValue);
            item["address"] = u->config().address;
            item["media_port"] = u->config().mediaPort;
            item["search_port"] = u->config().searchPort;
            item["type_name"] = u->config().typeName;
            list.append(item);
        }
        answer["units"] = list;
        return ToLine(answer);
    }
    Unit* unit = request["unit"].isString() ? Find(request["unit"].asString()) : nullptr;
    if (!unit)
        return ToLine(Answer(false, "no such unit"));
    if (cmd == "state") {
        Json::Value answer = Answer(true);
        answer["state"] = StateToJson(unit->State());
        return ToLine(answer);
    }
    if (cmd == "fault") {
        Fault fault;
        if (!request["code"].isInt())
            return ToLine(Answer(false, "\"code\" must be an integer"));
        if (!ParseFault(request, fault, why))
            return ToLine(Answer(false, why));
        unit->SetFault(request["code"].asInt(), fault);
        return ToLine(Answer(true));
    }
    if (cmd == "silent_login") {
        if (!request["silent"].isBool())
            return ToLine(Answer(false, "\"silent\" must be true or false"));
        unit->SetSilentLogin(request["silent"].asBool());
        return ToLine(Answer(true));
    }
    if (cmd == "lens_calibration") {
        LensCalibration lens = unit->State().lens;
        if (!ParseLensCalibration(request, lens, why))
            return ToLine(Answer(false, why));
        unit->SetLensCalibration(lens);
        return ToLine(Answer(true));
    }
    if (cmd == "clear_faults") {
        unit->ClearFaults();
        return ToLine(Answer(true));
    }
    if (cmd == "clear_log") {
        unit->ClearRequestLog();
        return ToLine(Answer(true));
    }
    return ToLine(Answer(false, "unknown cmd \"" + cmd + "\""));
}

}  // namespace unitsim
