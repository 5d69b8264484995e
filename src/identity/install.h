// The identity server client: request identifiers, the install request and its reply, and the
// UDP exchange with the line's identity server.
//
// Every function here is stateless and may be called from any thread; none throws. Texts are
// byte strings in the program's code page (UTF-8 on this platform).
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "platform/guid.h"

namespace identity {

// How long an exchange waits for the server's reply; the program always uses this value.
inline constexpr int kServerTimeoutMs = 15000;
// The largest reply accepted; a longer datagram is a receive failure.
inline constexpr size_t kMaxReplyBytes = 4096;

// Result names of an install. The empty text means accepted; any other text the server sends
// in "errs" is passed on unchanged. Callers compare result names without regard to case.
inline constexpr const char* kNetError = "net_error";
inline constexpr const char* kRspMsgError = "rsp_msg_error";
inline constexpr const char* kServerBusy = "server_busy";
inline constexpr const char* kDbError = "db_error";
inline constexpr const char* kOrderNameNotExist = "order_name_not_exist";
inline constexpr const char* kContentNotExist = "content_not_exist";
inline constexpr const char* kInstalled = "installed";
// The line's server has the request identifier on record for another request (another order,
// type or content), so the request can never be accepted under it.
inline constexpr const char* kUuidReused = "uuid_reused";

// Kinds of identity.
inline constexpr const char* kTypeP2pId = "p2p_id";
inline constexpr const char* kTypeMac = "mac";

// The request identifier text of a GUID: "%08X-%04X-%04x-%02X%02X-%02X%02X%02X%02X%02X%02X"
// (36 characters; the third group in lower case, every other group in upper case).
std::string FormatGuidText(const platform::Guid& guid);

// A new request identifier from a freshly generated random GUID. Returns an empty text only if
// the system's random source fails.
std::string MakeGuidText();

struct InstallRequest {
    std::string type;                     // kTypeP2pId or kTypeMac
    std::string order_name_utf8;          // the production order name, already in UTF-8
    std::string content;                  // the identity, as typed
    std::optional<std::string> content2;  // the unit's second identity; no member when absent
    std::string last_ok_uuid;             // the caller's last accepted request identifier, or empty
    std::string current_uuid;             // this request's identifier
};

// The exact datagram text of an install request: compact JSON, the members of every object in
// ascending byte order of their names, bytes of 0x80 and above passed unchanged, followed by one
// line feed.
std::string WriteInstallRequest(const InstallRequest& request);

// The result name of a received reply (exactly the received bytes): empty when "ret" is "ok",
// "rsp_msg_error" when the bytes are not a JSON object (single quotes and comments are allowed,
// anything after the first complete value is ignored), when a value in it lies more than 8 levels
// deep (the object being level 1) or when a refusal gives no reason in "errs", otherwise the text
// of "errs".
std::string ReadInstallReply(std::string_view reply);

// One install exchange: a new IPv4 UDP socket bound to an ephemeral port, `host` resolved for
// IPv4 datagrams (first address), one datagram out, at most one datagram of at most 4096 bytes
// back from that address and port (datagrams from any other sender are ignored). Returns the
// result of ReadInstallReply, or "net_error" when any transport step fails or no reply arrives
// within `timeout_ms` (values below 1 count as 1). The bound covers the whole exchange, host
// name lookup included, and holds when a signal interrupts the wait: the calling thread is
// blocked for at most about `timeout_ms`.
std::string InstallToServer(const std::string& host, uint16_t port, const std::string& type,
                            const std::string& order_name_utf8, const std::string& content,
                            const std::optional<std::string>& content2,
                            const std::string& last_ok_uuid, const std::string& current_uuid,
                            int timeout_ms = kServerTimeoutMs);

}  // namespace identity
