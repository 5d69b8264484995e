#include "identity/install.h"

#include <arpa/inet.h>
#include <json/json.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <thread>

namespace identity {

std::string FormatGuidText(const platform::Guid& g) {
    char text[40];
    std::snprintf(text, sizeof text, "%08X-%04X-%04x-%02X%02X-%02X%02X%02X%02X%02X%02X", g.data1,
                  g.data2, g.data3, g.data4[0], g.data4[1], g.data4[2], g.data4[3], g.data4[4],
                  g.data4[5], g.data4[6], g.data4[7]);
    return text;
}

std::string MakeGuidText() {
    platform::Guid guid;
    if (!platform::NewGuid(guid))
        return {};
    return FormatGuidText(guid);
}

std::string WriteInstallRequest(const InstallRequest& request) {
    // jsoncpp keeps object members in a map ordered by the bytes of their names.
    Json::Value body(Json::objectValue);
    body["content"] = request.content;
    if (request.content2)
        body["content2"] = *request.content2;
    body["current_uuid"] = request.current_uuid;
    body["last_ok_uuid"] = request.last_ok_uuid;
    body["order_name"] = request.order_name_utf8;
    body["type"] = request.type;
    Json::Value root(Json::objectValue);
    root["body"] = std::move(body);
    root["msg"] = "install_res";

    Json::StreamWriterBuilder writer;
    writer["indentation"] = "";
    writer["emitUTF8"] = true;
    std::string text = Json::writeString(writer, root);
    text += '\n';
    return text;
}

// A reply is one flat object. A value nested deeper than this (the reply object being level 1)
// makes the reply malformed, instead of the reader following brackets down to its own limit of
// 1000 levels, which a 4096-byte datagram reaches.
constexpr int kMaxReplyDepth = 8;

std::string ReadInstallReply(std::string_view reply) {
    try {
        Json::CharReaderBuilder builder;
        builder["allowSingleQuotes"] = true;
        builder["allowComments"] = true;
        builder["failIfExtra"] = false;
        builder["stackLimit"] = kMaxReplyDepth;
        std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
        Json::Value root;
        std::string errors;
        if (!reader->parse(reply.data(), reply.data() + reply.size(), &root, &errors))
            return kRspMsgError;
        if (!root.isObject())
            return kRspMsgError;
        if (root.get("ret", "").asString() == "ok")
            return {};
        std::string reason = root.get("errs", "").asString();
        // A refusal that names no reason is still a refusal, never an acceptance.
        if (reason.empty())
            return kRspMsgError;
        return reason;
    } catch (...) {
        // A member of the wrong JSON type (an object where text belongs, ...).
        return kRspMsgError;
    }
}

namespace {

struct Socket {
    int fd = -1;
    ~Socket() {
        if (fd >= 0)
            close(fd);
    }
};

using Clock = std::chrono::steady_clock;

// Milliseconds left until `deadline`, rounded up; 0 when it has passed.
int RemainingMs(Clock::time_point deadline) {
    auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left > 0 ? static_cast<int>(left) : 0;
}

// The first IPv4 datagram address of `host` and `port`, looked up by the end of `deadline`.
// A dotted address needs no lookup; a host name is looked up on a helper thread, which is left
// to finish on its own when the deadline passes first.
bool Resolve(const std::string& host, uint16_t port, Clock::time_point deadline, sockaddr_in& to) {
    to = sockaddr_in{};
    to.sin_family = AF_INET;
    to.sin_port = htons(port);
    if (inet_pton(AF_INET, host.c_str(), &to.sin_addr) == 1)
        return true;

    struct Lookup {
        std::mutex mutex;
        std::condition_variable done_cv;
        bool done = false;
        bool found = false;
        sockaddr_in address{};
    };
    auto lookup = std::make_shared<Lookup>();
    std::thread([lookup, host, port] {
        addrinfo hints{};
        hints.ai_family = AF_INET;
        hints.ai_socktype = SOCK_DGRAM;
        addrinfo* head = nullptr;
        bool found = getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &head) == 0 &&
                     head != nullptr && head->ai_family == AF_INET &&
                     head->ai_addrlen >= sizeof(sockaddr_in);
        sockaddr_in address{};
        if (found)
            std::memcpy(&address, head->ai_addr, sizeof address);
        if (head != nullptr)
            freeaddrinfo(head);
        std::lock_guard lock(lookup->mutex);
        lookup->found = found;
        lookup->address = address;
        lookup->done = true;
        lookup->done_cv.notify_all();
    }).detach();

    std::unique_lock lock(lookup->mutex);
    if (!lookup->done_cv.wait_until(lock, deadline, [&] { return lookup->done; }) || !lookup->found)
        return false;
    to = lookup->address;
    return true;
}

bool SameSender(const sockaddr_in& a, const sockaddr_in& b) {
    return a.sin_family == AF_INET && a.sin_addr.s_addr == b.sin_addr.s_addr &&
           a.sin_port == b.sin_port;
}

// Sends `request` and receives the server's reply into `reply`; false on any transport failure
// or when no reply from the server's address and port arrives within `timeout_ms` of the call
// (the host name lookup included). Datagrams from any other sender are dropped unread.
bool Exchange(const std::string& host, uint16_t port, const std::string& request, int timeout_ms,
              std::string& reply) {
    if (timeout_ms < 1)
        timeout_ms = 1;
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);

    Socket sock;
    sock.fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (sock.fd < 0)
        return false;

    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_addr.s_addr = htonl(INADDR_ANY);
    local.sin_port = 0;
    if (bind(sock.fd, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0)
        return false;

    sockaddr_in to{};
    if (!Resolve(host, port, deadline, to))
        return false;

    ssize_t sent = sendto(sock.fd, request.data(), request.size(), 0,
                          reinterpret_cast<sockaddr*>(&to), sizeof to);
    if (sent < 0 || static_cast<size_t>(sent) != request.size())
        return false;

    char buffer[kMaxReplyBytes];
    for (;;) {
        // The wait is measured against the deadline, so an interrupted wait does not start over.
        int wait = RemainingMs(deadline);
        if (wait == 0)
            return false;
        pollfd ready{sock.fd, POLLIN, 0};
        int events = poll(&ready, 1, wait);
        if (events < 0 && errno == EINTR)
            continue;
        if (events <= 0)
            return false;
        sockaddr_in from{};
        socklen_t from_length = sizeof from;
        // MSG_TRUNC makes recvfrom report the datagram's real length, so a longer one is seen.
        ssize_t got = recvfrom(sock.fd, buffer, sizeof buffer, MSG_TRUNC | MSG_DONTWAIT,
                               reinterpret_cast<sockaddr*>(&from), &from_length);
        if (got < 0) {
            if (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK)
                continue;
            return false;
        }
        if (!SameSender(from, to))
            continue;  // not the server's answer: it cannot accept or refuse anything
        if (got == 0 || static_cast<size_t>(got) > sizeof buffer)
            return false;
        reply.assign(buffer, static_cast<size_t>(got));
        return true;
    }
}

}  // namespace

std::string InstallToServer(const std::string& host, uint16_t port, const std::string& type,
                            const std::string& order_name_utf8, const std::string& content,
                            const std::optional<std::string>& content2,
                            const std::string& last_ok_uuid, const std::string& current_uuid,
                            int timeout_ms) {
    try {
        InstallRequest request{type,     order_name_utf8, content,
                               content2, last_ok_uuid,    current_uuid};
        std::string reply;
        if (!Exchange(host, port, WriteInstallRequest(request), timeout_ms, reply))
            return kNetError;
        return ReadInstallReply(reply);
    } catch (...) {
        // Only allocation can throw here.
        return kNetError;
    }
}

}  // namespace identity
