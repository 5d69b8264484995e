// One connection of the library to a unit: its own thread connects, logs in, reports the login
// outcome once, then carries requests and replies and delivers the unit's alarms and live
// previews until stopped or lost.
//
// What was asked for before the login outcome (an alarm subscription, previews) is remembered
// and requested by the connection's thread right after the login, before the outcome is
// reported; a unit that breaks the connection then makes the login fail.
#pragma once

#include <openssl/ssl.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "config.h"
#include "device/ZQNet.h"
#include "protocol/protocol.h"
#include "transport.h"
#include "wire.h"
#include "workers.h"

namespace zqnet {

class Connection : public std::enable_shared_from_this<Connection> {
  public:
    // Copies what it needs of the record; the thread starts at once.
    static std::shared_ptr<Connection> Start(const ZQNetConnectionRecord& record, SSL_CTX* tls,
                                             const Config& config, Workers& workers);
    ~Connection();

    // Ends the connection: no callback starts after it has returned (a running one is waited
    // for, unless Stop is called from it). The worker winds the connection down by itself.
    void Stop();

    // Sends one request (its sequence is set here) and waits for its reply. False when the
    // connection is not logged in or is lost, the request does not fit the protocol, or no reply
    // came within the call time-out. One request is outstanding at a time; concurrent callers
    // take turns.
    bool Call(zqproto::Message request, zqproto::Message* reply);

    // Subscribes to the unit's alarms (or ends it). Before the login outcome it is remembered
    // and true; afterwards it is a request. False once the connection has failed or stopped.
    bool Subscribe(bool on);

    // Starts preview `id` (unique in the library): before the login outcome it is remembered
    // and true; afterwards it is a request, false when the unit refuses. Every whole media
    // frame of it then goes to the request's data callback on the connection's thread, and the
    // first one is preceded by status 202 posted to the request's window.
    bool StartPreview(const ZQNetPreviewRequest& request, ZQNET_HANDLE id);

    // Ends preview `id`: its callback does not run after the call has returned (a running one
    // is waited for, unless called from it). The unit is told in the background. False for an
    // unknown preview.
    bool StopPreview(ZQNET_HANDLE id);

  private:
    Connection() = default;
    void Run();
    bool Login(Transport& transport, Clock::time_point deadline, int* status);
    bool stopping();
    bool Receive(Transport& transport, Clock::time_point deadline, zqproto::Message* message,
                 int* status);
    void Serve(Transport& transport);
    bool Flush(Transport& transport);
    bool HandleIncoming(zqproto::Message& message);  // false on a protocol fault
    void HandleMedia(const zqproto::Message& piece);
    bool RequestDeferred(Transport& transport, int* status);
    bool Exchange(Transport& transport, zqproto::Message& request, int* status);
    void Report(int status);
    void FailPending();

    // Copied from the connection record.
    std::string address_, user_, password_;
    int port_ = 0;
    ZQNET_HWND notify_window_ = 0;
    std::uint32_t notify_message_ = 0;
    bool use_notify_window_ = false;
    void* user_value_ = nullptr;
    ZQNetEventCallback event_callback_ = nullptr;
    ZQNetStatusCallback status_callback_ = nullptr;
    SSL_CTX* tls_ = nullptr;
    Config config_;
    Workers* workers_ = nullptr;

    struct Preview {
        ZQNET_HANDLE id = 0;
        ZQNetPreviewDataCallback callback = nullptr;
        void* user = nullptr;
        ZQNET_HWND window = 0;
        std::uint32_t message = 0;
        std::int32_t stream = 0;
        bool started = false;      // status 202 has been posted (under mutex_)
        MediaAssembler assembler;  // the connection's thread only
    };
    static constexpr std::size_t kMaxPreviews = 16;
    // Alarms and media pieces that came before the login outcome was reported (the connection's
    // thread only), at most kMaxHeld.
    std::vector<zqproto::Message> held_;
    static constexpr std::size_t kMaxHeld = 512;

    bool OnOwnThread() const;

    std::atomic<std::thread::id> thread_id_{};  // the worker running the connection
    std::mutex callback_mutex_;                 // held while a callback runs
    int wake_fd_ = -1;                          // eventfd: new requests or stop

    struct Pending {
        std::uint32_t sequence = 0;
        zqproto::Kind reply_kind{};
        bool done = false;
        bool ok = false;
        zqproto::Message reply;
    };

    std::mutex mutex_;
    std::condition_variable changed_;
    bool stopping_ = false;
    bool ready_ = false;   // logged in and serving
    bool closed_ = false;  // lost or stopped: requests fail at once
    std::uint32_t next_seq_ = 1;
    Pending* pending_ = nullptr;  // the outstanding request
    std::map<ZQNET_HANDLE, std::shared_ptr<Preview>> previews_;
    std::vector<ZQNET_HANDLE> deferred_previews_;  // asked for before the login outcome
    int deferred_subscribe_ = -1;                  // the same for alarms: -1 none, 0 or 1
    std::mutex call_mutex_;                        // one request at a time

    // The stream, shared by the connection's thread (reads, and writes it was left) and the
    // caller of a request (writes).
    std::mutex io_mutex_;
    Transport* transport_ = nullptr;  // set while serving
    std::vector<std::uint8_t> out_;   // bytes not yet taken by the stream
    std::size_t out_pos_ = 0;
    bool write_wants_read_ = false;
    Inbound inbound_;  // used by the login, then under io_mutex_
};

}  // namespace zqnet
