// The identity server's side of the install protocol: reading a request datagram and writing
// the answer. Stateless; safe from any thread; never throws.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace idserver {

struct InstallRequest {
    std::string order_name;  // UTF-8
    std::string type;
    std::string content;
    std::optional<std::string> content2;
    std::string last_ok_uuid;
    std::string current_uuid;
    std::string
        peer;  // the sender as "address:port"; set by the server, not read from the datagram
};

// Parses one datagram. True only for a strict JSON object {"msg":"install_res","body":{...}}
// whose body holds the texts "order_name", "type", a non-empty "content" and a non-empty
// "current_uuid", and optionally the texts "content2" and "last_ok_uuid". Anything else
// (garbage, truncated or nested-too-deep text, wrong member types, duplicate members) is false.
bool ParseInstallRequest(std::string_view datagram, InstallRequest& out);

// Answer texts. An empty `errs` writes the acceptance {"ret":"ok"}; otherwise
// {"ret":"fail","errs":"<errs>"}. Each ends with a line feed.
std::string WriteAnswer(std::string_view errs);

// `text` cut to at most `max` bytes (never inside a UTF-8 character), with control characters,
// quotation marks and backslashes written as \xNN: safe in a log line or a tab-separated listing.
std::string Printable(std::string_view text, size_t max = 256);

// Result names the server answers with, beyond acceptance.
inline constexpr const char* kInstalled = "installed";
inline constexpr const char* kOrderNameNotExist = "order_name_not_exist";
inline constexpr const char* kContentNotExist = "content_not_exist";
inline constexpr const char* kDbError = "db_error";
inline constexpr const char* kServerBusy = "server_busy";
// The datagram was not an install request; nothing was recorded.
inline constexpr const char* kRequestError = "req_msg_error";
// The request identifier already belongs to an accepted request with another order, type, content
// or second identity; nothing was recorded. Identifiers are bound only by accepted requests.
inline constexpr const char* kUuidReused = "uuid_reused";

}  // namespace idserver
