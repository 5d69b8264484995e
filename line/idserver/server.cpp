#include "server.h"

#include <arpa/inet.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <vector>

namespace idserver {

Server::~Server() {
    Stop();
}

bool Server::Start(const std::string& db_path, const ServerOptions& options) {
    Stop();
    options_ = options;
    if (options_.queue_capacity == 0)
        options_.queue_capacity = 1;
    if (options_.batch_limit == 0)
        options_.batch_limit = 1;
    stopping_ = false;
    receiver_done_ = false;

    trail_.clear();
    trail_dropped_ = 0;
    if (!store_.Open(db_path, options_.busy_timeout_ms, options_.create_store) ||
        !checkpointer_.Open(db_path, options_.busy_timeout_ms) || !store_.DisableAutoCheckpoint()) {
        error_ = store_.error().empty() ? checkpointer_.error() : store_.error();
        store_.Close();
        checkpointer_.Close();
        return false;
    }
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_port = htons(options_.port);
    if (inet_pton(AF_INET, options_.address.c_str(), &local.sin_addr) != 1) {
        error_ = "not an IPv4 address: " + options_.address;
        store_.Close();
        checkpointer_.Close();
        return false;
    }
    fd_ = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    wake_fd_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    int buffer = 4 << 20;
    if (fd_ >= 0)
        setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &buffer, sizeof buffer);
    socklen_t length = sizeof local;
    if (fd_ < 0 || wake_fd_ < 0 ||
        bind(fd_, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0 ||
        getsockname(fd_, reinterpret_cast<sockaddr*>(&local), &length) != 0) {
        error_ = "cannot listen on " + options_.address + ":" + std::to_string(options_.port) +
                 ": " + std::strerror(errno);
        if (fd_ >= 0)
            close(fd_);
        if (wake_fd_ >= 0)
            close(wake_fd_);
        fd_ = wake_fd_ = -1;
        store_.Close();
        checkpointer_.Close();
        return false;
    }
    port_ = ntohs(local.sin_port);
    worker_ = std::thread(&Server::Work, this);
    receiver_ = std::thread(&Server::Receive, this);
    checkpoint_thread_ = std::thread(&Server::Checkpoints, this);
    return true;
}

void Server::Stop() {
    if (fd_ < 0)
        return;
    stopping_ = true;
    uint64_t one = 1;
    if (write(wake_fd_, &one, sizeof one) < 0) {
        // The eventfd cannot be full; the receiver also polls with a time-out.
    }
    if (receiver_.joinable())
        receiver_.join();
    {
        std::lock_guard lock(mutex_);
        receiver_done_ = true;
    }
    ready_.notify_all();
    if (worker_.joinable())
        worker_.join();
    stop_checkpoints_.notify_all();
    if (checkpoint_thread_.joinable())
        checkpoint_thread_.join();
    checkpointer_.Checkpoint();
    checkpointer_.Close();
    close(fd_);
    close(wake_fd_);
    fd_ = wake_fd_ = -1;
    store_.Close();
}

void Server::Answer(const sockaddr_in& peer, std::string_view errs) {
    std::string text = WriteAnswer(errs);
    sendto(fd_, text.data(), text.size(), MSG_DONTWAIT, reinterpret_cast<const sockaddr*>(&peer),
           sizeof peer);
}

namespace {

// Refusals of the receiver waiting for the worker; more are counted, not kept.
constexpr size_t kTrailLimit = 65536;

std::string PeerText(const sockaddr_in& peer) {
    char address[INET_ADDRSTRLEN] = "?";
    inet_ntop(AF_INET, &peer.sin_addr, address, sizeof address);
    return std::string(address) + ":" + std::to_string(ntohs(peer.sin_port));
}

}  // namespace

void Server::Remember(RefusalRow row) {
    if (trail_.size() < kTrailLimit)
        trail_.push_back(std::move(row));
    else
        ++trail_dropped_;
}

void Server::Log(const RefusalRow& row) {
    if (!options_.log)
        return;
    std::string line = "zq-idserver: refused " + row.reason + " from " + row.peer;
    if (row.reason == kRequestError) {
        line += ": \"" + row.content + "\"";
    } else {
        line += ": order \"" + Printable(row.order_name) + "\", type \"" + Printable(row.type) +
                "\", content \"" + Printable(row.content) + "\"";
        if (!row.content2.empty())
            line += ", content2 \"" + Printable(row.content2) + "\"";
        line += ", uuid \"" + Printable(row.uuid) + "\"";
    }
    options_.log(line);
}

void Server::Receive() {
    std::vector<char> buffer(65536);
    pollfd fds[2] = {{fd_, POLLIN, 0}, {wake_fd_, POLLIN, 0}};
    while (!stopping_) {
        if (poll(fds, 2, 500) < 0 && errno != EINTR)
            break;
        if (stopping_)
            break;
        // Drain what has arrived, then hand it over in one go.
        std::vector<Pending> arrived;
        // Refusals of datagrams that are no install request, handed over with the installs that
        // came before them, so that the trail keeps the order of arrival.
        std::vector<RefusalRow> malformed;
        while (arrived.size() < options_.batch_limit) {
            sockaddr_in peer{};
            socklen_t peer_length = sizeof peer;
            ssize_t n = recvfrom(fd_, buffer.data(), buffer.size(), MSG_DONTWAIT | MSG_TRUNC,
                                 reinterpret_cast<sockaddr*>(&peer), &peer_length);
            if (n < 0)
                break;
            if (peer.sin_family != AF_INET)
                continue;
            Pending pending{{}, peer};
            const std::string_view datagram(buffer.data(),
                                            std::min(buffer.size(), static_cast<size_t>(n)));
            if (static_cast<size_t>(n) > buffer.size() ||
                !ParseInstallRequest(datagram, pending.request)) {
                Answer(peer, kRequestError);
                RefusalRow row;
                row.reason = kRequestError;
                row.peer = PeerText(peer);
                row.content = Printable(datagram, 200);
                malformed.push_back(std::move(row));
                continue;
            }
            pending.request.peer = PeerText(peer);
            arrived.push_back(std::move(pending));
        }
        if (arrived.empty() && malformed.empty())
            continue;
        std::vector<const Pending*> refused;
        {
            std::lock_guard lock(mutex_);
            for (Pending& pending : arrived) {
                if (queue_.size() >= options_.queue_capacity) {
                    refused.push_back(&pending);
                    Remember(RefusalOf(pending.request, kServerBusy));
                } else {
                    queue_.push_back(std::move(pending));
                }
            }
            for (RefusalRow& row : malformed)
                Remember(std::move(row));
        }
        ready_.notify_one();
        for (const Pending* pending : refused)
            Answer(pending->peer, kServerBusy);
    }
}

void Server::Checkpoints() {
    std::unique_lock lock(mutex_);
    while (!receiver_done_) {
        stop_checkpoints_.wait_for(lock, std::chrono::milliseconds(100));
        if (receiver_done_)
            break;
        lock.unlock();
        checkpointer_.Checkpoint();
        lock.lock();
    }
}

void Server::Work() {
    std::vector<Pending> batch;
    std::vector<InstallRequest> requests;
    std::vector<std::string> answers;
    std::vector<RefusalRow> trail;
    // Refusals the store could not take yet (it failed or stayed locked): tried again with the
    // next round, or after a short wait when nothing else comes.
    std::vector<RefusalRow> unrecorded;
    size_t dropped = 0;
    auto record = [&](bool last) {
        if (!unrecorded.empty() && store_.RecordRefusals(unrecorded))
            unrecorded.clear();
        if (unrecorded.size() > kTrailLimit || (last && !unrecorded.empty())) {
            dropped += unrecorded.size();
            unrecorded.clear();
        }
        if (dropped > 0 && options_.log)
            options_.log("zq-idserver: " + std::to_string(dropped) +
                         " refusals not recorded in the store: " + store_.error());
        dropped = 0;
    };
    while (true) {
        batch.clear();
        trail.clear();
        {
            std::unique_lock lock(mutex_);
            auto ready = [&] { return !queue_.empty() || !trail_.empty() || receiver_done_; };
            if (unrecorded.empty())
                ready_.wait(lock, ready);
            else
                ready_.wait_for(lock, std::chrono::milliseconds(200), ready);
            if (queue_.empty() && trail_.empty() && receiver_done_) {
                lock.unlock();
                record(true);
                return;
            }
            while (!queue_.empty() && batch.size() < options_.batch_limit) {
                batch.push_back(std::move(queue_.front()));
                queue_.pop_front();
            }
            trail.swap(trail_);
            dropped += trail_dropped_;
            trail_dropped_ = 0;
        }
        requests.clear();
        for (Pending& pending : batch)
            requests.push_back(std::move(pending.request));
        answers.clear();
        if (!requests.empty())
            store_.InstallBatch(requests, answers);
        for (size_t i = 0; i < batch.size(); ++i)
            Answer(batch[i].peer, answers[i]);
        // The batch's own refusals are in the store already; a failed one's are added now.
        for (size_t i = 0; i < requests.size(); ++i) {
            if (answers[i] == kDbError)
                trail.push_back(RefusalOf(requests[i], kDbError));
            else if (!answers[i].empty())
                Log(RefusalOf(requests[i], answers[i]));
        }
        for (RefusalRow& row : trail) {
            Log(row);
            unrecorded.push_back(std::move(row));
        }
        record(false);
    }
}

}  // namespace idserver
