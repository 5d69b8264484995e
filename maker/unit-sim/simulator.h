// The unit simulator: serves any number of simulated units (256 and more) in one process, each on
// its own loopback address: sessions on its media port (plain TCP or TLS 1.3, told apart by the
// first byte), search probes on its UDP search port (answered only to loopback senders), as
// maker/protocol/README.md describes. Tests start it in-process; zq-unit-sim wraps it.
//
// What a caller may rely on:
// - Start() binds every socket before it returns (so a unit can be reached at once) and returns
//   false with a message when any bind fails; nothing is left running then.
// - Sessions run on a pool of threads: an ended session leaves its thread idle for the next one,
//   so a new session does not wait for a thread to be made.
// - Stop() (also run by the destructor) ends every session, joins every thread and closes every
//   socket; it may be called more than once.
// - Find(), Control() and the Unit objects may be used from any thread while it runs.
// - The TLS certificate is a self-signed one made by Start().
#pragma once

#include "telnet.h"
#include "unit.h"

#include <atomic>
#include <condition_variable>
#include <deque>
#include <cstdint>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

typedef struct ssl_ctx_st SSL_CTX;

namespace unitsim {

class Simulator {
  public:
    Simulator();
    ~Simulator();
    Simulator(const Simulator&) = delete;
    Simulator& operator=(const Simulator&) = delete;

    bool Start(std::vector<UnitConfig> units, std::string& error);
    void Stop();

    // The unit at an address (dotted text), or nullptr.
    Unit* Find(const std::string& address);
    std::vector<Unit*> Units();

    // The control interface: one JSON request line in, one JSON answer line out (README.md).
    std::string Control(const std::string& line);

    // Also serves the control interface over TCP on 127.0.0.1:port (0: any free port), one JSON
    // line per request. Returns the port, or 0 with a message on failure. Call after Start().
    uint16_t ServeControl(uint16_t port, std::string& error);

  private:
    struct Listener;
    struct Connection;
    void Loop();
    void Accept(Listener& listener);
    void AnswerProbe(Listener& listener);
    void Serve(Connection* connection);
    void ServeControlClient(Connection* connection);
    void Reap(bool all);
    void Spawn(Connection* connection, bool control);
    void Work();  // a pool thread: serves queued connections until the simulator stops

    std::vector<std::unique_ptr<Unit>> units_;
    std::vector<std::unique_ptr<TelnetService>> telnet_;  // one per unit, closed until 349
    std::vector<std::unique_ptr<Listener>> listeners_;
    SSL_CTX* tls_ = nullptr;
    int wakeRead_ = -1;
    int wakeWrite_ = -1;
    std::atomic<bool> stopping_{false};
    std::atomic<bool> pause_{false};
    std::thread loop_;
    std::mutex connectionsMutex_;
    std::list<std::unique_ptr<Connection>> connections_;
    // The session threads, under connectionsMutex_.
    std::condition_variable queued_;
    std::deque<Connection*> queue_;  // accepted, not yet taken by a pool thread
    std::vector<std::thread> pool_;
    size_t idle_ = 0;
    bool running_ = false;
};

}  // namespace unitsim
