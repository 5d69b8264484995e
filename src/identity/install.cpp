#include "identity/install.h"

#include <json/json.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <memory>

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

struct AddressList {
    addrinfo* head = nullptr;
    ~AddressList() {
        if (head)
            freeaddrinfo(head);
    }
};

// Sends `request` and receives one reply into `reply`; false on any transport failure.
bool Exchange(const std::string& host, uint16_t port, const std::string& request, int timeout_ms,
              std::string& reply) {
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

    if (timeout_ms < 1)
        timeout_ms = 1;
    timeval tv{};
    tv.tv_sec = timeout_ms / 1000;
    tv.tv_usec = static_cast<suseconds_t>(timeout_ms % 1000) * 1000;
    if (setsockopt(sock.fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv) != 0)
        return false;

    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_DGRAM;
    AddressList addresses;
    if (getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &addresses.head) != 0 ||
        addresses.head == nullptr)
        return false;

    const addrinfo* to = addresses.head;
    ssize_t sent = sendto(sock.fd, request.data(), request.size(), 0, to->ai_addr, to->ai_addrlen);
    if (sent < 0 || static_cast<size_t>(sent) != request.size())
        return false;

    char buffer[kMaxReplyBytes];
    ssize_t got;
    do {
        // MSG_TRUNC makes recv report the datagram's real length, so a longer one is detected.
        got = recv(sock.fd, buffer, sizeof buffer, MSG_TRUNC);
    } while (got < 0 && errno == EINTR);
    if (got <= 0 || static_cast<size_t>(got) > sizeof buffer)
        return false;
    reply.assign(buffer, static_cast<size_t>(got));
    return true;
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
