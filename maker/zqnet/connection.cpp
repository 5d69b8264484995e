#include "connection.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <openssl/crypto.h>

#include <algorithm>

#include "platform/window_message.h"

namespace zqnet {
namespace {

void Wake(int fd) {
    std::uint64_t one = 1;
    [[maybe_unused]] ssize_t n = write(fd, &one, sizeof one);
}

void Drain(int fd) {
    std::uint64_t count;
    [[maybe_unused]] ssize_t n = read(fd, &count, sizeof count);
}

int StatusOf(ConnectError error) {
    switch (error) {
        case ConnectError::kBadAddress:
        case ConnectError::kUnreachable:
            return ZQNET_STATUS_UNREACHABLE;
        case ConnectError::kRefused:
            return ZQNET_STATUS_REFUSED;
        case ConnectError::kTimedOut:
            return ZQNET_STATUS_TIMEOUT;
        case ConnectError::kTls:
            return ZQNET_STATUS_TLS_FAILED;
        default:
            return ZQNET_STATUS_FAILED;
    }
}

}  // namespace

std::shared_ptr<Connection> Connection::Start(const ZQNetConnectionRecord& record, SSL_CTX* tls,
                                              const Config& config, Workers& workers) {
    std::shared_ptr<Connection> c(new Connection);
    c->address_ = record.address != nullptr ? record.address : "";
    c->user_ = record.user != nullptr ? record.user : "";
    c->password_ = record.password != nullptr ? record.password : "";
    c->port_ = record.port;
    c->notify_window_ = record.notifyWindow;
    c->notify_message_ = record.notifyMessage;
    c->use_notify_window_ = record.useNotifyWindow == 1;
    c->user_value_ = record.userValue;
    c->event_callback_ = record.eventCallback;
    c->status_callback_ = record.statusCallback;
    if (tls != nullptr && SSL_CTX_up_ref(tls) == 1)
        c->tls_ = tls;  // ours until destroyed
    if (tls != nullptr && c->tls_ == nullptr)
        return nullptr;
    c->config_ = config;
    c->workers_ = &workers;
    c->wake_fd_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (c->wake_fd_ < 0)
        return nullptr;
    // The task holds the connection alive until it ends.
    if (!workers.Run([self = c] { self->Run(); }))
        return nullptr;
    return c;
}

Connection::~Connection() {
    if (wake_fd_ >= 0)
        close(wake_fd_);
    if (tls_ != nullptr)
        SSL_CTX_free(tls_);
    OPENSSL_cleanse(password_.data(), password_.size());
}

bool Connection::OnOwnThread() const {
    return thread_id_.load() == std::this_thread::get_id();
}

void Connection::Stop() {
    if (OnOwnThread()) {
        // Called from one of our own callbacks: the thread ends after it returns.
        std::lock_guard lock(mutex_);
        stopping_ = true;
    } else {
        // Waits for a callback that is running; none starts afterwards.
        std::lock_guard callbacks(callback_mutex_);
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    Wake(wake_fd_);
}

void Connection::Report(int status) {
    std::lock_guard callbacks(callback_mutex_);
    if (stopping())
        return;
    if (use_notify_window_) {
        platform::PostWindowMessage(static_cast<platform::WindowHandle>(notify_window_),
                                    notify_message_, static_cast<std::uintptr_t>(status), 0);
    } else if (status_callback_ != nullptr) {
        status_callback_(status, user_value_);
    }
}

void Connection::Run() {
    struct Finished {
        std::atomic<std::thread::id>& id;
        ~Finished() { id = std::thread::id(); }  // the worker may go on with another connection
    } finished{thread_id_};
    thread_id_ = std::this_thread::get_id();
    Clock::time_point deadline = Clock::now() + config_.login_timeout;
    ConnectError error = ConnectError::kNone;
    std::unique_ptr<Transport> transport =
        Transport::Connect(address_, port_, nullptr, deadline, wake_fd_, &error);
    int status = ZQNET_STATUS_LOGGED_IN;
    if (transport == nullptr) {
        status = StatusOf(error);
    } else if (!Login(*transport, deadline, &status)) {
        transport.reset();
    }
    if (transport != nullptr && !RequestDeferred(*transport, &status))
        transport.reset();
    if (transport == nullptr) {
        FailPending();
        if (error != ConnectError::kCancelled)
            Report(status);
        return;
    }
    {
        std::lock_guard io(io_mutex_);
        transport_ = transport.get();
    }
    Report(ZQNET_STATUS_LOGGED_IN);
    bool serving = true;
    for (auto& m : held_)
        serving = serving && HandleIncoming(m);
    held_.clear();
    if (serving)
        Serve(*transport);
    {
        std::lock_guard io(io_mutex_);
        transport_ = nullptr;
    }
    FailPending();
    transport.reset();
    Report(ZQNET_STATUS_CONNECTION_LOST);  // not when stopped: Report checks
}

void Connection::FailPending() {
    std::lock_guard lock(mutex_);
    closed_ = true;
    ready_ = false;
    if (pending_ != nullptr)
        pending_->done = true;
    changed_.notify_all();
}

namespace {

// Writes a whole frame during the login; false on a closed stream, time-out or stop.
bool SendAll(Transport& t, const std::vector<std::uint8_t>& bytes, Clock::time_point deadline,
             int cancel_fd, bool* timed_out) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        std::size_t put = 0;
        Io io = t.Write(bytes.data() + done, bytes.size() - done, &put);
        if (io == Io::kClosed)
            return false;
        if (io == Io::kWouldBlock) {
            Io w = t.Wait(t.waiting_for(), deadline, cancel_fd);
            if (w == Io::kWouldBlock)
                *timed_out = true;
            if (w != Io::kDone)
                return false;
            continue;
        }
        done += put;
    }
    return true;
}

}  // namespace

bool Connection::Receive(Transport& t, Clock::time_point deadline, zqproto::Message* message,
                         int* status) {
    std::uint8_t chunk[4096];
    for (;;) {
        switch (inbound_.Next(message)) {
            case Inbound::kMessage:
                return true;
            case Inbound::kBad:
                *status = ZQNET_STATUS_PROTOCOL_ERROR;
                return false;
            case Inbound::kNeedMore:
                break;
        }
        std::size_t got = 0;
        Io io = t.Read(chunk, sizeof chunk, &got);
        if (io == Io::kClosed) {
            *status = ZQNET_STATUS_CLOSED;
            return false;
        }
        if (io == Io::kWouldBlock) {
            Io w = t.Wait(t.waiting_for(), deadline, wake_fd_);
            if (w != Io::kDone) {
                *status = w == Io::kWouldBlock ? ZQNET_STATUS_TIMEOUT : ZQNET_STATUS_FAILED;
                return false;
            }
            continue;
        }
        inbound_.Feed(chunk, got);
    }
}

bool Connection::Login(Transport& t, Clock::time_point deadline, int* status) {
    zqproto::Message proof;
    proof.kind = zqproto::Kind::kLoginProof;
    proof.sequence = next_seq_++;
    proof.user = user_;
    if (zqproto::Encode(proof).empty()) {  // a user name the protocol cannot carry
        *status = ZQNET_STATUS_UNKNOWN_USER;
        return false;
    }
    // The unit greets with its challenge as soon as it has accepted, in clear in either mode.
    zqproto::Message challenge;
    if (!Receive(t, deadline, &challenge, status))
        return false;
    if (challenge.kind != zqproto::Kind::kLoginChallenge || challenge.sequence != 0) {
        *status = ZQNET_STATUS_PROTOCOL_ERROR;
        return false;
    }
    zqproto::Token binding{};
    std::span<const std::uint8_t> bound;
    if (tls_ != nullptr) {
        // Nothing else may come before the handshake: those bytes would be lost to TLS.
        if (inbound_.buffered() != 0) {
            *status = ZQNET_STATUS_PROTOCOL_ERROR;
            return false;
        }
        ConnectError error = ConnectError::kNone;
        if (!t.StartTls(tls_, deadline, wake_fd_, &error)) {
            *status = error == ConnectError::kCancelled ? ZQNET_STATUS_FAILED : StatusOf(error);
            return false;
        }
        if (!zqproto::TlsChannelBinding(t.ssl(), binding)) {
            *status = ZQNET_STATUS_TLS_FAILED;
            return false;
        }
        bound = binding;
    }
    if (!zqproto::LoginProof(password_, challenge.token, user_, bound, proof.token)) {
        *status = ZQNET_STATUS_FAILED;
        return false;
    }
    // The password is not needed any more.
    OPENSSL_cleanse(password_.data(), password_.size());
    password_.clear();
    bool timed_out = false;
    if (!SendAll(t, zqproto::Encode(proof), deadline, wake_fd_, &timed_out)) {
        *status = timed_out ? ZQNET_STATUS_TIMEOUT : ZQNET_STATUS_CLOSED;
        return false;
    }

    zqproto::Message result;
    if (!Receive(t, deadline, &result, status))
        return false;
    if (result.kind != zqproto::Kind::kLoginResult || result.sequence != proof.sequence) {
        *status = ZQNET_STATUS_PROTOCOL_ERROR;
        return false;
    }
    switch (result.code) {
        case ZQNET_STATUS_LOGGED_IN:
        case ZQNET_STATUS_UNKNOWN_USER:
        case ZQNET_STATUS_WRONG_PASSWORD:
        case ZQNET_STATUS_TOO_MANY_SESSIONS:
        case ZQNET_STATUS_LOCKED_OUT:
            *status = static_cast<int>(result.code);
            break;
        default:
            *status = ZQNET_STATUS_PROTOCOL_ERROR;
    }
    return *status == ZQNET_STATUS_LOGGED_IN;
}

// Writes what is queued in out_ as far as the stream takes it; false when the stream is gone.
// Called with io_mutex_ held.
bool Connection::Flush(Transport& transport) {
    while (out_pos_ < out_.size()) {
        std::size_t put = 0;
        Io io = transport.Write(out_.data() + out_pos_, out_.size() - out_pos_, &put);
        if (io == Io::kClosed)
            return false;
        if (io == Io::kWouldBlock) {
            write_wants_read_ = transport.waiting_for() == POLLIN;
            return true;
        }
        out_pos_ += put;
        write_wants_read_ = false;
    }
    out_.clear();
    out_pos_ = 0;
    return true;
}

void Connection::Serve(Transport& transport) {
    std::uint8_t chunk[4096];
    std::vector<zqproto::Message> arrived;
    zqproto::Message message;
    // Messages that came with the login's last read are handled first.
    for (;;) {
        Inbound::Result r = inbound_.Next(&message);
        if (r == Inbound::kBad)
            return;
        if (r == Inbound::kNeedMore)
            break;
        if (!HandleIncoming(message))
            return;
    }
    for (;;) {
        if (stopping())
            return;
        short events = POLLIN;
        {
            std::lock_guard io(io_mutex_);
            if (!Flush(transport))
                return;
            // Read everything there is (this also empties TLS's own buffer).
            bool bad = false;
            for (;;) {
                std::size_t got = 0;
                Io rio = transport.Read(chunk, sizeof chunk, &got);
                if (rio == Io::kClosed)
                    return;
                if (rio == Io::kWouldBlock)
                    break;
                inbound_.Feed(chunk, got);
                for (;;) {
                    Inbound::Result r = inbound_.Next(&message);
                    if (r == Inbound::kBad)
                        bad = true;
                    if (r != Inbound::kMessage)
                        break;
                    arrived.push_back(std::move(message));
                }
                if (bad)
                    break;
            }
            if (bad)
                return;
            if (!out_.empty() && write_wants_read_ && arrived.empty()) {
                // TLS wants to read before it can write; the read above may have been enough.
                if (!Flush(transport))
                    return;
            }
            if (!out_.empty() && !write_wants_read_)
                events |= POLLOUT;
        }
        for (auto& m : arrived)
            if (!HandleIncoming(m))
                return;
        arrived.clear();
        pollfd p[2] = {{transport.fd(), events, 0}, {wake_fd_, POLLIN, 0}};
        if (poll(p, 2, -1) < 0 && errno != EINTR)
            return;
        if (p[1].revents != 0)
            Drain(wake_fd_);
    }
}

// Sends one request from the connection's own thread before it serves (the login's phase) and
// waits for its reply, keeping alarms and media that come meanwhile for after the outcome. A reply
// that does not come within the call time-out is given up (a late one is dropped later); false when
// the connection breaks, is stopped or the unit breaks the protocol.
bool Connection::Exchange(Transport& t, zqproto::Message& request, int* status) {
    const Clock::time_point deadline = Clock::now() + config_.call_timeout;
    bool timed_out = false;
    if (!SendAll(t, zqproto::Encode(request), deadline, wake_fd_, &timed_out)) {
        *status = timed_out ? ZQNET_STATUS_TIMEOUT : ZQNET_STATUS_CLOSED;
        return false;  // a frame sent in part leaves the stream unusable
    }
    const auto reply_kind =
        static_cast<zqproto::Kind>(static_cast<std::uint16_t>(request.kind) |
                                   static_cast<std::uint16_t>(zqproto::Kind::kReplyFlag));
    for (;;) {
        zqproto::Message m;
        if (!Receive(t, deadline, &m, status))
            return *status == ZQNET_STATUS_TIMEOUT && !stopping();
        if (m.kind == reply_kind && m.sequence == request.sequence) {
            request = std::move(m);  // the reply, for the caller
            return true;
        }
        if (m.kind == zqproto::Kind::kAlarm || m.kind == zqproto::Kind::kMediaPiece) {
            // Handed on once the login outcome has been reported; a flood is cut off.
            if (held_.size() < kMaxHeld)
                held_.push_back(std::move(m));
            continue;
        }
        if (!HandleIncoming(m)) {
            *status = ZQNET_STATUS_PROTOCOL_ERROR;
            return false;
        }
    }
}

bool Connection::RequestDeferred(Transport& t, int* status) {
    for (;;) {
        zqproto::Message request;
        ZQNET_HANDLE preview = 0;
        {
            std::lock_guard lock(mutex_);
            if (stopping_)
                return false;
            if (deferred_subscribe_ >= 0) {
                request.kind = zqproto::Kind::kAlarmSubscribe;
                request.code = static_cast<std::uint32_t>(deferred_subscribe_);
                deferred_subscribe_ = -1;
            } else if (!deferred_previews_.empty()) {
                preview = deferred_previews_.front();
                deferred_previews_.erase(deferred_previews_.begin());
                auto it = previews_.find(preview);
                if (it == previews_.end())
                    continue;  // stopped meanwhile
                request.kind = zqproto::Kind::kPreviewStart;
                request.code = preview;
                request.size = static_cast<std::uint32_t>(it->second->stream);
            } else {
                ready_ = true;  // from here on, requests are the callers' own
                return true;
            }
            request.sequence = next_seq_++;
        }
        // A refusal leaves the preview without data (and without status 202).
        if (!Exchange(t, request, status))
            return false;
    }
}

bool Connection::Subscribe(bool on) {
    {
        std::lock_guard lock(mutex_);
        if (closed_ || stopping_)
            return false;
        if (!ready_) {
            deferred_subscribe_ = on ? 1 : 0;
            return true;
        }
    }
    zqproto::Message request;
    request.kind = zqproto::Kind::kAlarmSubscribe;
    request.code = on ? 1 : 0;
    zqproto::Message reply;
    return Call(std::move(request), &reply) && ReplySucceeded(reply);
}

bool Connection::StartPreview(const ZQNetPreviewRequest& r, ZQNET_HANDLE id) {
    auto p = std::make_shared<Preview>();
    p->id = id;
    p->callback = r.dataCallback;
    p->user = r.userValue;
    p->window = r.notifyWindow;
    p->message = r.notifyMessage;
    p->stream = r.stream;
    {
        std::lock_guard lock(mutex_);
        if (closed_ || stopping_ || previews_.size() >= kMaxPreviews)
            return false;
        previews_[id] = p;
        if (!ready_) {
            deferred_previews_.push_back(id);
            return true;
        }
    }
    zqproto::Message request;
    request.kind = zqproto::Kind::kPreviewStart;
    request.code = id;
    request.size = static_cast<std::uint32_t>(r.stream);
    zqproto::Message reply;
    if (Call(std::move(request), &reply) && ReplySucceeded(reply))
        return true;
    std::lock_guard lock(mutex_);
    previews_.erase(id);
    return false;
}

bool Connection::StopPreview(ZQNET_HANDLE id) {
    // Waits for a data callback that is running, unless this is it.
    std::unique_lock callbacks(callback_mutex_, std::defer_lock);
    if (!OnOwnThread())
        callbacks.lock();
    bool tell_unit = false;
    {
        std::lock_guard lock(mutex_);
        if (previews_.erase(id) == 0)
            return false;
        auto it = std::find(deferred_previews_.begin(), deferred_previews_.end(), id);
        if (it != deferred_previews_.end()) {
            deferred_previews_.erase(it);  // never asked for
        } else {
            tell_unit = ready_ && !closed_ && !stopping_;
        }
    }
    if (callbacks.owns_lock())
        callbacks.unlock();
    if (tell_unit) {
        // The caller does not wait for the unit: frames it still sends are dropped here.
        workers_->Run([self = shared_from_this(), id] {
            zqproto::Message request;
            request.kind = zqproto::Kind::kPreviewStop;
            request.code = id;
            zqproto::Message reply;
            self->Call(std::move(request), &reply);
        });
    }
    return true;
}

void Connection::HandleMedia(const zqproto::Message& piece) {
    std::shared_ptr<Preview> p;
    {
        std::lock_guard lock(mutex_);
        auto it = previews_.find(piece.code);
        if (it == previews_.end())
            return;  // a stream stopped or never started here: its frames are dropped
        p = it->second;
    }
    if (!p->assembler.Add(piece.size, piece.offset, piece.data))
        return;
    std::lock_guard callbacks(callback_mutex_);
    bool first = false;
    {
        std::lock_guard lock(mutex_);
        if (stopping_ || previews_.count(p->id) == 0)
            return;
        first = !p->started;
        p->started = true;
    }
    if (first && p->window != 0) {
        platform::PostWindowMessage(static_cast<platform::WindowHandle>(p->window), p->message,
                                    static_cast<std::uintptr_t>(ZQNET_STATUS_PREVIEW_STARTED), 0);
    }
    std::span<const std::uint8_t> block = p->assembler.block();
    p->callback(block.data(), static_cast<std::int32_t>(block.size()), p->user);
}

bool Connection::HandleIncoming(zqproto::Message& message) {
    if (message.kind == zqproto::Kind::kMediaPiece) {
        if (message.sequence != 0)
            return false;
        HandleMedia(message);
        return true;
    }
    if (message.kind == zqproto::Kind::kAlarm) {
        if (message.sequence != 0)
            return false;
        std::lock_guard callbacks(callback_mutex_);
        if (event_callback_ != nullptr && !stopping())
            event_callback_(static_cast<std::int32_t>(message.code), message.data.data(),
                            static_cast<std::int32_t>(message.data.size()), user_value_);
        return true;
    }
    if (!zqproto::IsReply(message.kind))
        return false;  // a unit sends only replies and alarms
    std::unique_lock lock(mutex_);
    if (pending_ == nullptr || message.sequence != pending_->sequence) {
        // A late reply to a request that has timed out is dropped; any other reply is a fault.
        return message.sequence != 0 && message.sequence < next_seq_ &&
               (pending_ == nullptr || message.sequence < pending_->sequence);
    }
    if (message.kind != pending_->reply_kind)
        return false;
    pending_->reply = std::move(message);
    pending_->ok = true;
    pending_->done = true;
    pending_ = nullptr;
    lock.unlock();
    changed_.notify_all();  // unlocked, so that the woken caller need not wait for the lock
    return true;
}

bool Connection::stopping() {
    std::lock_guard lock(mutex_);
    return stopping_;
}

bool Connection::Call(zqproto::Message request, zqproto::Message* reply) {
    std::lock_guard turn(call_mutex_);
    Pending p;
    p.reply_kind =
        static_cast<zqproto::Kind>(static_cast<std::uint16_t>(request.kind) |
                                   static_cast<std::uint16_t>(zqproto::Kind::kReplyFlag));
    std::unique_lock lock(mutex_);
    if (!ready_ || closed_ || stopping_)
        return false;
    request.sequence = next_seq_;
    std::vector<std::uint8_t> bytes = zqproto::Encode(request);
    if (bytes.empty())
        return false;
    ++next_seq_;
    p.sequence = request.sequence;
    pending_ = &p;
    lock.unlock();
    {
        // The caller writes the request itself; what the stream does not take at once is left
        // to the connection's thread.
        std::lock_guard io(io_mutex_);
        out_.insert(out_.end(), bytes.begin(), bytes.end());
        if (transport_ == nullptr || !Flush(*transport_) || !out_.empty())
            Wake(wake_fd_);
    }
    lock.lock();
    changed_.wait_for(lock, config_.call_timeout, [&] { return p.done; });
    if (pending_ == &p)
        pending_ = nullptr;
    if (!p.ok)
        return false;
    *reply = std::move(p.reply);
    return true;
}

}  // namespace zqnet
