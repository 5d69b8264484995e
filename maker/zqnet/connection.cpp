#include "connection.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

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
                                              const Config& config) {
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
    c->tls_ = tls;
    c->config_ = config;
    c->wake_fd_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (c->wake_fd_ < 0) return nullptr;
    // The thread holds the connection alive until it ends.
    c->thread_ = std::thread([self = c] { self->Run(); });
    return c;
}

Connection::~Connection() {
    if (thread_.joinable()) thread_.detach();  // only when the last reference was the thread's
    if (wake_fd_ >= 0) close(wake_fd_);
}

void Connection::Stop() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    Wake(wake_fd_);
    if (!thread_.joinable()) return;
    if (thread_.get_id() == std::this_thread::get_id()) {
        thread_.detach();  // called from our own callback: the thread ends after it returns
    } else {
        thread_.join();
    }
}

void Connection::Report(int status) {
    {
        std::lock_guard lock(mutex_);
        if (stopping_) return;
    }
    if (use_notify_window_) {
        platform::PostWindowMessage(static_cast<platform::WindowHandle>(notify_window_),
                                    notify_message_, static_cast<std::uintptr_t>(status), 0);
    } else if (status_callback_ != nullptr) {
        status_callback_(status, user_value_);
    }
}

void Connection::Run() {
    Clock::time_point deadline = Clock::now() + config_.login_timeout;
    ConnectError error = ConnectError::kNone;
    std::unique_ptr<Transport> transport =
        Transport::Connect(address_, port_, tls_, deadline, wake_fd_, &error);
    int status = ZQNET_STATUS_LOGGED_IN;
    if (transport == nullptr) {
        status = StatusOf(error);
    } else if (!Login(*transport, deadline, &status)) {
        transport.reset();
    }
    if (transport == nullptr) {
        FailPending();
        if (error != ConnectError::kCancelled) Report(status);
        return;
    }
    {
        std::lock_guard lock(mutex_);
        ready_ = true;
    }
    Report(ZQNET_STATUS_LOGGED_IN);
    Serve(*transport);
    FailPending();
    transport.reset();
    Report(ZQNET_STATUS_CONNECTION_LOST);  // not when stopped: Report checks
}

void Connection::FailPending() {
    std::lock_guard lock(mutex_);
    closed_ = true;
    ready_ = false;
    for (auto& [seq, pending] : pending_) pending->done = true;
    outgoing_.clear();
    changed_.notify_all();
}

void Connection::Serve(Transport& transport) {
    std::vector<std::uint8_t> out;
    std::size_t out_pos = 0;
    std::uint8_t chunk[16384];
    bool write_wants_read = false;
    for (;;) {
        {
            std::lock_guard lock(mutex_);
            if (stopping_) return;
            while (!outgoing_.empty()) {
                if (out_pos == out.size()) {
                    out.clear();
                    out_pos = 0;
                }
                out.insert(out.end(), outgoing_.front().begin(), outgoing_.front().end());
                outgoing_.pop_front();
            }
        }
        // Write what is queued.
        while (out_pos < out.size()) {
            std::size_t put = 0;
            Io io = transport.Write(out.data() + out_pos, out.size() - out_pos, &put);
            if (io == Io::kClosed) return;
            if (io == Io::kWouldBlock) {
                write_wants_read = transport.waiting_for() == POLLIN;
                break;
            }
            out_pos += put;
            write_wants_read = false;
        }
        // Read everything there is (this also empties TLS's own buffer).
        for (;;) {
            std::size_t got = 0;
            Io io = transport.Read(chunk, sizeof chunk, &got);
            if (io == Io::kClosed) return;
            if (io == Io::kWouldBlock) break;
            reader_.Feed(chunk, got);
            Frame frame;
            for (;;) {
                FrameReader::Result r = reader_.Next(&frame);
                if (r == FrameReader::kBad) return;
                if (r == FrameReader::kNeedMore) break;
                if (!HandleIncoming(frame)) return;
            }
            if (out_pos < out.size() && write_wants_read) break;  // retry the write first
        }
        short events = POLLIN;
        if (out_pos < out.size() && !write_wants_read) events |= POLLOUT;
        pollfd p[2] = {{transport.fd(), events, 0}, {wake_fd_, POLLIN, 0}};
        if (poll(p, 2, -1) < 0 && errno != EINTR) return;
        if (p[1].revents != 0) Drain(wake_fd_);
    }
}

bool Connection::HandleIncoming(Frame& frame) {
    if (IsAlarm(frame)) {
        std::int32_t type = 0;
        const std::uint8_t* data = nullptr;
        std::size_t length = 0;
        if (!DecodeAlarm(frame, &type, &data, &length)) return false;
        if (event_callback_ != nullptr && !stopping())
            event_callback_(type, data, static_cast<std::int32_t>(length), user_value_);
        return true;
    }
    std::lock_guard lock(mutex_);
    auto it = pending_.find(frame.seq);
    if (it == pending_.end()) {
        // A late reply to a request that timed out is dropped; a reply to nothing ever sent is
        // a fault of the unit.
        return frame.seq != 0 && frame.seq < next_seq_;
    }
    Pending* p = it->second;
    if (frame.kind != p->reply_kind) return false;
    p->reply = std::move(frame);
    p->ok = true;
    p->done = true;
    pending_.erase(it);
    changed_.notify_all();
    return true;
}

bool Connection::stopping() {
    std::lock_guard lock(mutex_);
    return stopping_;
}

bool Connection::Call(const Request& request, Frame* reply) {
    Pending p;
    p.reply_kind = ReplyKindOf(request.kind);
    std::unique_lock lock(mutex_);
    if (!ready_ || closed_ || stopping_) return false;
    std::uint32_t seq = next_seq_++;
    outgoing_.push_back(EncodeFrame(request.kind, seq, request.body));
    pending_[seq] = &p;
    lock.unlock();
    Wake(wake_fd_);
    lock.lock();
    changed_.wait_for(lock, config_.call_timeout, [&] { return p.done; });
    pending_.erase(seq);
    if (!p.ok) return false;
    *reply = std::move(p.reply);
    return true;
}

}  // namespace zqnet
