// A logged-in libZQNet connection to a unit for tests, stopped at the end of its scope. handle()
// is 0 when the login did not succeed within 5 s.
#pragma once

#include <atomic>
#include <chrono>
#include <string>
#include <thread>

#include "device/ZQNet.h"

class LoggedInSession {
  public:
    explicit LoggedInSession(const std::string& address, const std::string& password = "",
                             int port = 34567) {
        ZQNetConnectionRecord r{};
        r.address = address.c_str();
        r.port = port;
        r.user = "admin";
        r.password = password.c_str();
        r.userValue = this;
        r.statusCallback = [](int32_t status, void* user) {
            static_cast<LoggedInSession*>(user)->status_ = status;
        };
        handle_ = ZQNetConnectionStartEx(&r);
        for (int i = 0; i < 500 && status_ == 0; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ~LoggedInSession() {
        if (handle_ != 0)
            ZQNetConnectionStop(&handle_);
    }
    LoggedInSession(const LoggedInSession&) = delete;
    LoggedInSession& operator=(const LoggedInSession&) = delete;

    ZQNET_HANDLE handle() const { return status_ == ZQNET_STATUS_LOGGED_IN ? handle_ : 0; }

  private:
    ZQNET_HANDLE handle_ = 0;
    std::atomic<int> status_{0};
};
