// The identity server: answers install requests arriving as UDP datagrams, one answer datagram
// per datagram received.
//
// A receiver thread reads datagrams, answers those that are not install requests at once
// ("req_msg_error", nothing recorded) and queues the rest; when the queue is full it answers
// "server_busy". A worker thread takes everything queued, runs it as one SQLite transaction and
// answers each request after the transaction is on disk, so an answered install survives a
// crash or power loss. A third thread checkpoints the journal on its own connection, so no
// commit waits for a checkpoint. Installs are serialised: of concurrent installs of one identity
// exactly one is accepted.
//
// Every refusal goes to the store's trail with its sender (refusals of the installs in the same
// transaction; "server_busy", "req_msg_error" and "db_error" in one of their own right after) and
// to the log, one line each.
//
// Start and Stop are called from one controlling thread; the destructor stops the server.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <netinet/in.h>

#include "request.h"
#include "store.h"

namespace idserver {

inline constexpr const char* kDefaultAddress = "127.0.0.2";
inline constexpr uint16_t kDefaultPort = 9311;

struct ServerOptions {
    std::string address = kDefaultAddress;  // dotted IPv4 address to listen on
    uint16_t port = kDefaultPort;           // 0 picks a free port (see Server::port)
    size_t queue_capacity = 4096;           // requests waiting for the worker
    size_t batch_limit = 512;               // requests per transaction
    int busy_timeout_ms = 2000;             // how long a write waits for another writer
    bool create_store = false;              // make the store when the file does not exist
    // Receives one line (without line end) per refusal, from the worker thread; none when empty.
    std::function<void(const std::string&)> log;
};

class Server {
  public:
    Server() = default;
    ~Server();
    Server(const Server&) = delete;
    Server& operator=(const Server&) = delete;

    // Opens the store at `db_path`, binds the socket and starts both threads. False with error()
    // set when the store or the socket fails; nothing is left running then.
    bool Start(const std::string& db_path, const ServerOptions& options);
    // Stops both threads; requests still queued are answered first. Safe to call twice.
    void Stop();

    uint16_t port() const { return port_; }
    const std::string& error() const { return error_; }
    // After a failed Start: the PostgreSQL database could not be reached or refused the login.
    bool store_unreachable() const { return store_.unreachable(); }

  private:
    struct Pending {
        InstallRequest request;
        sockaddr_in peer;
    };
    void Receive();
    void Work();
    void Answer(const sockaddr_in& peer, std::string_view errs);
    void Checkpoints();
    // Queues a refusal of the receiver for the trail; under mutex_.
    void Remember(RefusalRow row);
    void Log(const RefusalRow& row);

    ServerOptions options_;
    Store store_;
    Store checkpointer_;
    std::string error_;
    int fd_ = -1;
    int wake_fd_ = -1;
    uint16_t port_ = 0;
    std::atomic<bool> stopping_{false};
    std::mutex mutex_;
    std::condition_variable ready_;
    std::deque<Pending> queue_;
    std::vector<RefusalRow> trail_;  // refusals of the receiver, not yet in the store
    size_t trail_dropped_ = 0;       // refusals that found trail_ full
    bool receiver_done_ = false;
    std::thread receiver_;
    std::thread worker_;
    std::thread checkpoint_thread_;
    std::condition_variable stop_checkpoints_;
};

}  // namespace idserver
