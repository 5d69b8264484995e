// A unit's telnet service: a plain TCP line service on the unit's own loopback address and its
// telnet port (UnitConfig::telnetPort, 23 unless configured), opened by command 349 and closed by
// command 350 or a factory reset.
//
// A client is greeted with "<type name> login: ", then asked "Password: "; the unit's one account
// logs in (three wrong tries end the connection). Logged in, it answers one line per command after
// the prompt "# ": `version` (the firmware version), `mac` (the Ethernet MAC, colon form),
// `serial` (the serial number of the MAC record), `uptime` ("up N seconds" since the service
// opened), `exit` (ends the connection); any other word gets "sh: <word>: not found". Lines may
// end in CR LF or LF; telnet option negotiation (IAC sequences) is ignored.
//
// What a caller may rely on: Open() has bound the port when it returns true (a client may connect
// at once) and is a no-op when already open; Close() ends every client connection and releases
// the port before it returns. Both are thread-safe; the unit must outlive the service.
#pragma once

#include <chrono>
#include <mutex>
#include <string>
#include <thread>

namespace unitsim {

class Unit;

class TelnetService {
  public:
    explicit TelnetService(Unit& unit) : unit_(unit) {}
    ~TelnetService() { Close(); }
    TelnetService(const TelnetService&) = delete;
    TelnetService& operator=(const TelnetService&) = delete;

    bool Open();
    void Close();

  private:
    void Serve(int listen_fd, int wake_fd);

    Unit& unit_;
    std::mutex mutex_;
    std::thread thread_;
    int wake_write_ = -1;
};

}  // namespace unitsim
