// The exported functions of libZQNet (declared in src/device/ZQNet.h).
#include <map>
#include <memory>
#include <mutex>
#include <vector>

#include "config.h"
#include "connection.h"
#include "device/ZQNet.h"
#include "platform/window_message.h"
#include "search.h"
#include "wire.h"

namespace zqnet {
namespace {

// At most this many connections are open at once; more are refused with ZQNET_STATUS_FAILED.
constexpr std::size_t kMaxConnections = 1024;

struct Library {
    std::mutex mutex;
    bool initialised = false;
    SSL_CTX* tls = nullptr;  // set while encryption is 1
    Config config;
    ZQNET_HANDLE last_handle = 0;
    ZQNET_HANDLE last_preview = 0;
    std::map<ZQNET_HANDLE, std::shared_ptr<Connection>> connections;
    std::vector<std::unique_ptr<Search>> searches;
    Workers workers;  // the connections' threads
};

Library& Lib() {
    static Library* library = new Library;  // never destroyed: callers may outlive statics
    return *library;
}

std::shared_ptr<Connection> Find(ZQNET_HANDLE handle) {
    Library& lib = Lib();
    std::lock_guard lock(lib.mutex);
    auto it = lib.connections.find(handle);
    return it == lib.connections.end() ? nullptr : it->second;
}

void ReportAtOnce(const ZQNetConnectionRecord& record, int status) {
    if (record.useNotifyWindow == 1) {
        platform::PostWindowMessage(static_cast<platform::WindowHandle>(record.notifyWindow),
                                    record.notifyMessage, static_cast<std::uintptr_t>(status), 0);
    } else if (record.statusCallback != nullptr) {
        record.statusCallback(status, record.userValue);
    }
}

using zqproto::Kind;
using zqproto::Message;

Message Make(Kind kind, std::uint32_t code = 0, std::uint32_t size = 0) {
    Message m;
    m.kind = kind;
    m.code = code;
    m.size = size;
    return m;
}

Message WithData(Message m, const void* data, std::size_t size) {
    const auto* bytes = static_cast<const std::uint8_t*>(data);
    if (size > 0)
        m.data.assign(bytes, bytes + size);
    return m;
}

// Sends a request and waits for a successful reply; copies at most `size` bytes of its data
// into `buffer` (when given).
bool CallAndCopy(ZQNET_HANDLE handle, Message request, void* buffer, std::size_t size) {
    try {
        std::shared_ptr<Connection> connection = Find(handle);
        if (connection == nullptr)
            return false;
        Message reply;
        if (!connection->Call(std::move(request), &reply) || !ReplySucceeded(reply))
            return false;
        CopyReplyData(reply, buffer, size);
        return true;
    } catch (const std::exception&) {  // out of memory
        return false;
    }
}

// A caller's buffer: present, and no larger than one frame can carry (a larger one is refused,
// not cut, since a write would otherwise lose its tail).
bool ValidBuffer(const void* buffer, std::int32_t size) {
    return buffer != nullptr && size > 0 &&
           static_cast<std::size_t>(size) <= zqproto::kMaxPayload - 4;
}

// The size of the record a short write names.
std::size_t ShortRecordSize(std::int32_t code) {
    return code == ZQNET_PARAM_SYSTEM ? sizeof(ZQNetSysParamRecord) : 0;
}

std::size_t PtzRecordSize(std::int32_t command) {
    return command == ZQNET_PTZ_FOCUS_LOCK ? sizeof(ZQNetFocusLockRecord) : 0;
}

}  // namespace
}  // namespace zqnet

using namespace zqnet;

extern "C" {

ZQNET_BOOL ZQNetInit(void) {
    Library& lib = Lib();
    std::lock_guard lock(lib.mutex);
    if (lib.initialised)
        return 1;
    lib.config = ReadConfig(zqproto::kSearchPort);
    lib.initialised = true;
    return 1;
}

ZQNET_BOOL ZQNetSetEncription(int32_t mode) {
    if (mode != 0 && mode != 1)
        return 0;
    Library& lib = Lib();
    std::lock_guard lock(lib.mutex);
    if (!lib.initialised)
        return 0;
    if (mode == 0) {
        if (lib.tls != nullptr)
            SSL_CTX_free(lib.tls);  // open sessions hold their own reference
        lib.tls = nullptr;
        return 1;
    }
    if (lib.tls == nullptr)
        lib.tls = NewClientTlsContext();
    return lib.tls != nullptr ? 1 : 0;
}

ZQNET_BOOL ZQNetRelease(void) {
    Library& lib = Lib();
    std::map<ZQNET_HANDLE, std::shared_ptr<Connection>> connections;
    std::vector<std::unique_ptr<Search>> searches;
    SSL_CTX* tls = nullptr;
    {
        std::lock_guard lock(lib.mutex);
        lib.initialised = false;
        connections.swap(lib.connections);
        searches.swap(lib.searches);
        std::swap(tls, lib.tls);
    }
    for (auto& [handle, connection] : connections)
        connection->Stop();
    connections.clear();
    lib.workers.JoinAll();  // every connection's work, also of those stopped before, has ended
    searches.clear();       // stops and joins each
    if (tls != nullptr)
        SSL_CTX_free(tls);
    return 1;
}

ZQNET_HANDLE ZQNetConnectionStartEx(const ZQNetConnectionRecord* record) {
    if (record == nullptr)
        return 0;
    Library& lib = Lib();
    std::unique_lock lock(lib.mutex);
    if (!lib.initialised || record->address == nullptr || record->address[0] == '\0' ||
        lib.connections.size() >= kMaxConnections) {
        lock.unlock();
        ReportAtOnce(*record, ZQNET_STATUS_FAILED);
        return 0;
    }
    do {
        ++lib.last_handle;
    } while (lib.last_handle == 0 || lib.connections.count(lib.last_handle) != 0);
    const ZQNET_HANDLE handle = lib.last_handle;
    std::shared_ptr<Connection> connection;
    try {
        auto& slot = lib.connections[handle];
        slot = Connection::Start(*record, lib.tls, lib.config, lib.workers);
        connection = slot;
    } catch (const std::exception&) {  // out of memory
    }
    if (connection == nullptr) {
        lib.connections.erase(handle);
        lock.unlock();
        ReportAtOnce(*record, ZQNET_STATUS_FAILED);
        return 0;
    }
    return handle;
}

ZQNET_BOOL ZQNetConnectionStop(ZQNET_HANDLE* handle) {
    if (handle == nullptr || *handle == 0)
        return 0;
    std::shared_ptr<Connection> connection;
    {
        Library& lib = Lib();
        std::lock_guard lock(lib.mutex);
        auto it = lib.connections.find(*handle);
        if (it == lib.connections.end())
            return 0;
        connection = std::move(it->second);
        lib.connections.erase(it);
    }
    connection->Stop();  // its worker lets go of it when it has wound down
    return 1;
}

ZQNET_BOOL ZQNetGetDevInfo(ZQNET_HANDLE connection, void* buffer, int32_t size) {
    if (buffer == nullptr || size <= 0)
        return 0;
    return CallAndCopy(connection, Make(Kind::kGetDevInfo), buffer, static_cast<std::size_t>(size))
               ? 1
               : 0;
}

ZQNET_BOOL ZQNetQueryParamEx(ZQNET_HANDLE connection, ZQNetParamRequest* request) {
    if (request == nullptr || request->write != 0 || !ValidBuffer(request->buffer, request->size))
        return 0;
    return CallAndCopy(connection,
                       Make(Kind::kQueryParam, static_cast<std::uint32_t>(request->command),
                            static_cast<std::uint32_t>(request->size)),
                       request->buffer, static_cast<std::size_t>(request->size))
               ? 1
               : 0;
}

ZQNET_BOOL ZQNetSetParamEx(ZQNET_HANDLE connection, ZQNetParamRequest* request) {
    if (request == nullptr || !ValidBuffer(request->buffer, request->size))
        return 0;
    std::int32_t code;
    if (request->command == ZQNET_PARAM_WRITE) {
        code = request->code;
    } else if (request->command == ZQNET_PARAM_MAC_SET) {
        code = ZQNET_PARAM_MAC_SET;
    } else {
        return 0;
    }
    return CallAndCopy(connection,
                       WithData(Make(Kind::kSetParam, static_cast<std::uint32_t>(code)),
                                request->buffer, static_cast<std::size_t>(request->size)),
                       nullptr, 0)
               ? 1
               : 0;
}

ZQNET_BOOL ZQNetQueryTemporaryParam(ZQNET_HANDLE connection, ZQNetTempParamRequest* request) {
    if (request == nullptr || !ValidBuffer(request->buffer, request->size))
        return 0;
    return CallAndCopy(connection,
                       Make(Kind::kQueryParam, static_cast<std::uint32_t>(request->code),
                            static_cast<std::uint32_t>(request->size)),
                       request->buffer, static_cast<std::size_t>(request->size))
               ? 1
               : 0;
}

ZQNET_BOOL ZQNetSetParam(ZQNET_HANDLE connection, ZQNetShortParamRequest* request) {
    if (request == nullptr || request->buffer == nullptr)
        return 0;
    std::size_t size = ShortRecordSize(request->code);
    if (size == 0)
        return 0;
    return CallAndCopy(connection,
                       WithData(Make(Kind::kSetParam, static_cast<std::uint32_t>(request->code)),
                                request->buffer, size),
                       nullptr, 0)
               ? 1
               : 0;
}

ZQNET_BOOL ZQNetSimpleCmd(ZQNET_HANDLE connection, ZQNetCommandRequest* request) {
    if (request == nullptr)
        return 0;
    return CallAndCopy(connection,
                       Make(Kind::kSimpleCmd, static_cast<std::uint32_t>(request->command)),
                       nullptr, 0)
               ? 1
               : 0;
}

ZQNET_BOOL ZQNetSearchDev(ZQNetSearchRequest* request) {
    if (request == nullptr || request->callback == nullptr)
        return 0;
    Library& lib = Lib();
    std::vector<std::unique_ptr<Search>> finished;
    {
        std::lock_guard lock(lib.mutex);
        if (!lib.initialised)
            return 0;
        // Searches that have ended are joined here rather than left behind.
        for (auto it = lib.searches.begin(); it != lib.searches.end();) {
            if ((*it)->finished()) {
                finished.push_back(std::move(*it));
                it = lib.searches.erase(it);
            } else {
                ++it;
            }
        }
        try {
            lib.searches.push_back(std::make_unique<Search>(*request, lib.config));
        } catch (const std::exception&) {  // no thread or memory to be had
            return 0;
        }
    }
    return 1;
}

ZQNET_BOOL ZQNetPTZControl(ZQNET_HANDLE connection, int32_t command, void* record) {
    std::size_t size = PtzRecordSize(command);
    if (size != 0 && record == nullptr)
        return 0;
    return CallAndCopy(
               connection,
               WithData(Make(Kind::kPtz, static_cast<std::uint32_t>(command)), record, size),
               nullptr, 0)
               ? 1
               : 0;
}

ZQNET_BOOL ZQNetAlarmSubscribe(ZQNET_HANDLE connection, int32_t subscribe) {
    try {
        std::shared_ptr<Connection> c = Find(connection);
        return c != nullptr && c->Subscribe(subscribe != 0) ? 1 : 0;
    } catch (const std::exception&) {  // out of memory
        return 0;
    }
}

ZQNET_HANDLE ZQNetStartPreview(ZQNET_HANDLE connection, const ZQNetPreviewRequest* request) {
    if (request == nullptr || request->dataCallback == nullptr)
        return 0;
    try {
        std::shared_ptr<Connection> c = Find(connection);
        if (c == nullptr)
            return 0;
        ZQNET_HANDLE id;
        {
            Library& lib = Lib();
            std::lock_guard lock(lib.mutex);
            do {
                ++lib.last_preview;
            } while (lib.last_preview == 0);
            id = lib.last_preview;
        }
        return c->StartPreview(*request, id) ? id : 0;
    } catch (const std::exception&) {  // out of memory
        return 0;
    }
}

ZQNET_BOOL ZQNetStopPreview(ZQNET_HANDLE connection, ZQNET_HANDLE* preview) {
    if (preview == nullptr || *preview == 0)
        return 0;
    try {
        std::shared_ptr<Connection> c = Find(connection);
        return c != nullptr && c->StopPreview(*preview) ? 1 : 0;
    } catch (const std::exception&) {  // out of memory
        return 0;
    }
}

}  // extern "C"
