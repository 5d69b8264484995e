// The device session: ConnectDevice and the callbacks that turn a login outcome into window
// message 1125 for the connecting tab.
//
// What callers may rely on:
// - ConnectDevice stops the connection the tab's handle variable holds (if any), starts a new one
//   and stores its handle (also 0) in the variable. Call it on the user-interface thread.
// - Each ConnectDevice is answered by at most one message 1125 (wParam: login result 40, 41, 42
//   or 44; lParam: that connection's login token), whichever callback of that connection comes
//   first. The library reports every started connection, so a tab that called ConnectDevice can
//   wait for that message; the token tells it from a message of a connection it has left.
// - The posted-once flag belongs to one connection: a ConnectDevice of another tab (or of the
//   same one) never takes another connection's message away. A stopped connection posts nothing
//   more, and neither does one whose token was cancelled.
// - A status code 150 (connection lost) is counted program-wide: of two in a row, the second is
//   ignored and the count starts again; the count survives from one connection to the next.
// - The callbacks may run on any thread; they only touch the flag and the counter (both
//   thread-safe) and post a message.
#pragma once

#include <cstdint>

#include "device/ZQNet.h"

// The message the callbacks post to the tab.
inline constexpr unsigned kLoginResultMessage = 1125;

// Login results (also the language-text ids of the failures).
inline constexpr int kLoginOk = 40;
inline constexpr int kLoginUnknownUser = 41;
inline constexpr int kLoginWrongPassword = 42;
inline constexpr int kLoginFailed = 44;

// A connection's login token: the user value its callbacks get and the lParam of its message
// 1125. Never 0.
using LoginToken = std::uintptr_t;

// Starts a connection to a dotted IPv4 address and port; the login result arrives as message 1125
// at `window`. Returns the new handle (0 when the library could not start one), also stored in
// *handle; the connection's login token goes into *token when one is given.
ZQNET_HANDLE ConnectDevice(const char* address, ZQNET_HANDLE* handle, int port, const char* user,
                           const char* password, ZQNET_HWND window, LoginToken* token = nullptr);

// Stops the connection in *handle if there is one and sets *handle to 0; its login result, if
// still to come, is not posted.
void StopDevice(ZQNET_HANDLE* handle);

// Gives up waiting for a connection's login result: it is not posted (for a connection the
// library never reported, whose handle may be 0).
void CancelLoginResult(LoginToken token);

// The login result of a status code: 40, 41, 42, 44, or 0 when the code is not a login outcome.
int LoginResultOfStatus(int32_t status);

// The callbacks ConnectDevice puts into the connection record; the user value is the login token.
void DeviceStatusCallback(int32_t status, void* token);
void DeviceEventCallback(int32_t type, const void* data, int32_t length, void* token);

// A fresh, clear posted-once flag for a connection whose result goes to `window` (step 2 of
// ConnectDevice): the callbacks given the returned token post once to that window.
LoginToken ArmLoginResult(ZQNET_HWND window);

// Forgets every connection still waiting and clears the code-150 counter, as at program start
// (for tests).
void ResetDeviceSessionState();
