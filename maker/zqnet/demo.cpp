// zqnet-demo: finds the units the library's search targets name, logs in to each (user "admin"),
// reads its MAC record and writes and reads back its key. Uses nothing but ZQNet.h.
//   ZQNET_SEARCH_TARGETS=127.0.0.10-127.0.0.27 build/bin/zqnet-demo [password] [1 for TLS]
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "device/ZQNet.h"

namespace {

struct Search {
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<ZQNetDeviceRecord> units;
    bool ended = false;
    static int32_t OnDevice(const ZQNetDeviceRecord* device, void* user) {
        auto* s = static_cast<Search*>(user);
        std::lock_guard lock(s->mutex);
        if (device == nullptr) {
            s->ended = true;
            s->changed.notify_all();
            return 0;
        }
        s->units.push_back(*device);
        return 1;
    }
};

struct Login {
    std::mutex mutex;
    std::condition_variable changed;
    int status = 0;
    static void OnStatus(int32_t status, void* user) {
        auto* l = static_cast<Login*>(user);
        std::lock_guard lock(l->mutex);
        if (l->status == 0)
            l->status = status;
        l->changed.notify_all();
    }
};

void Work(const ZQNetDeviceRecord& unit, const char* password) {
    Login login;
    ZQNetConnectionRecord record{};
    record.address = unit.ip;
    record.port = unit.mediaPort;
    record.user = "admin";
    record.password = password;
    record.userValue = &login;
    record.statusCallback = Login::OnStatus;
    ZQNET_HANDLE handle = ZQNetConnectionStartEx(&record);
    {
        std::unique_lock lock(login.mutex);
        login.changed.wait(lock, [&] { return login.status != 0; });  // always reported
    }
    std::printf("  login: status %d\n", login.status);
    if (login.status == ZQNET_STATUS_LOGGED_IN) {
        ZQNetMacRecord mac{};
        mac.size = sizeof mac;
        ZQNetTempParamRequest query{};
        query.code = ZQNET_PARAM_MAC_QUERY;
        query.buffer = &mac;
        query.size = sizeof mac;
        if (ZQNetQueryTemporaryParam(handle, &query)) {
            std::printf("  MAC %02X:%02X:%02X:%02X:%02X:%02X module \"%.32s\" serial \"%.32s\"\n",
                        mac.mac[0], mac.mac[1], mac.mac[2], mac.mac[3], mac.mac[4], mac.mac[5],
                        mac.module, mac.serial);
        }
        ZQNetKeyRecord key{};
        key.size = sizeof key;
        std::snprintf(key.key, sizeof key.key, "DEMO-%s", unit.ip);
        ZQNetParamRequest write{};
        write.command = ZQNET_PARAM_WRITE;
        write.code = ZQNET_PARAM_KEY;
        write.buffer = &key;
        write.size = sizeof key;
        write.write = 1;
        int written = ZQNetSetParamEx(handle, &write);
        ZQNetKeyRecord back{};
        back.size = sizeof back;
        ZQNetParamRequest read{};
        read.command = ZQNET_PARAM_KEY;
        read.buffer = &back;
        read.size = sizeof back;
        int read_ok = ZQNetQueryParamEx(handle, &read);
        std::printf("  key written: %s, read back: \"%.48s\"\n", written ? "yes" : "no",
                    read_ok ? back.key : "(failed)");
    }
    if (handle != 0)
        ZQNetConnectionStop(&handle);
}

}  // namespace

int main(int argc, char** argv) {
    const char* password = argc > 1 ? argv[1] : "123456";
    if (!ZQNetInit())
        return 1;
    if (argc > 2 && !ZQNetSetEncription(std::atoi(argv[2])))
        return 1;
    Search search;
    ZQNetSearchRequest request{};
    request.callback = Search::OnDevice;
    request.userValue = &search;
    if (!ZQNetSearchDev(&request))
        return 1;
    {
        std::unique_lock lock(search.mutex);
        search.changed.wait_for(lock, std::chrono::seconds(30), [&] { return search.ended; });
    }
    std::printf("%zu units found\n", search.units.size());
    for (const ZQNetDeviceRecord& unit : search.units) {
        std::printf("%s:%d \"%.36s\" %.76s MAC %.36s\n", unit.ip, unit.mediaPort, unit.typeName,
                    unit.version, unit.mac);
        if (std::strcmp(unit.typeName, "RVMS") == 0)
            continue;  // as the station does
        Work(unit, password);
    }
    ZQNetRelease();
    return 0;
}
