#include "request.h"

#include <json/json.h>

#include <memory>

namespace idserver {

namespace {

// Reads an optional text member; false when present with another JSON type.
bool TextMember(const Json::Value& object, const char* name, std::optional<std::string>& out) {
    const Json::Value* value = object.find(name, name + std::char_traits<char>::length(name));
    if (value == nullptr)
        return true;
    if (!value->isString())
        return false;
    out = value->asString();
    return true;
}

bool RequiredText(const Json::Value& object, const char* name, std::string& out) {
    std::optional<std::string> value;
    if (!TextMember(object, name, value) || !value)
        return false;
    out = std::move(*value);
    return true;
}

}  // namespace

bool ParseInstallRequest(std::string_view datagram, InstallRequest& out) {
    try {
        // One strict reader per thread, built once: building one costs more than a parse.
        thread_local std::unique_ptr<Json::CharReader> reader = [] {
            Json::CharReaderBuilder builder;
            Json::CharReaderBuilder::strictMode(&builder.settings_);
            builder["stackLimit"] = 64;
            return std::unique_ptr<Json::CharReader>(builder.newCharReader());
        }();
        Json::Value root;
        std::string errors;
        if (!reader->parse(datagram.data(), datagram.data() + datagram.size(), &root, &errors))
            return false;
        if (!root.isObject())
            return false;
        std::string msg;
        if (!RequiredText(root, "msg", msg) || msg != "install_res")
            return false;
        static const char kBody[] = "body";
        const Json::Value* body = root.find(kBody, kBody + 4);
        if (body == nullptr || !body->isObject())
            return false;

        InstallRequest request;
        std::optional<std::string> last_ok;
        if (!RequiredText(*body, "order_name", request.order_name) ||
            !RequiredText(*body, "type", request.type) ||
            !RequiredText(*body, "content", request.content) ||
            !RequiredText(*body, "current_uuid", request.current_uuid) ||
            !TextMember(*body, "content2", request.content2) ||
            !TextMember(*body, "last_ok_uuid", last_ok))
            return false;
        if (request.content.empty() || request.current_uuid.empty())
            return false;
        if (last_ok)
            request.last_ok_uuid = std::move(*last_ok);
        out = std::move(request);
        return true;
    } catch (...) {
        return false;
    }
}

std::string WriteAnswer(std::string_view errs) {
    if (errs.empty())
        return "{\"ret\":\"ok\"}\n";
    // Result names are plain identifiers chosen by the server, so no escaping is needed.
    std::string text = "{\"ret\":\"fail\",\"errs\":\"";
    text += errs;
    text += "\"}\n";
    return text;
}

std::string Printable(std::string_view text, size_t max) {
    size_t n = text.size();
    if (n > max) {
        n = max;  // never in the middle of a UTF-8 character
        while (n > 0 && (static_cast<unsigned char>(text[n]) & 0xC0) == 0x80)
            --n;
    }
    std::string out;
    for (size_t i = 0; i < n; ++i) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        if (c < 0x20 || c == 0x7F || c == '"' || c == '\\') {
            static const char kHex[] = "0123456789ABCDEF";
            out += "\\x";
            out += kHex[c >> 4];
            out += kHex[c & 15];
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}

}  // namespace idserver
