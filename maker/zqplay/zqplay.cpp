// libZQPlay: our playback library (calling protocol in src/device/ZQPlay.h).
#include <map>
#include <memory>
#include <mutex>
#include <vector>

#include "device/ZQPlay.h"
#include "player.h"

extern "C" {
#include <libavutil/log.h>
}

namespace {

struct Library {
    std::mutex mutex;
    bool prepared = false;
    ZQPLAY_HANDLE last = 0;
    std::map<ZQPLAY_HANDLE, std::shared_ptr<zqplay::Player>> players;
};

Library& Lib() {
    static Library* library = new Library;  // never destroyed: calls may come at exit
    return *library;
}

std::shared_ptr<zqplay::Player> Find(ZQPLAY_HANDLE handle) {
    Library& lib = Lib();
    std::lock_guard lock(lib.mutex);
    auto it = lib.players.find(handle);
    return it == lib.players.end() ? nullptr : it->second;
}

// Runs `action` on the instance; 0 for an unknown handle.
template <typename Action>
ZQPLAY_BOOL With(ZQPLAY_HANDLE handle, Action action) {
    auto player = Find(handle);
    if (!player)
        return 0;
    return action(*player) ? 1 : 0;
}

}  // namespace

extern "C" {

ZQPLAY_BOOL ZQPlayInitPlayLib(int32_t, int32_t, int32_t) {
    Library& lib = Lib();
    std::lock_guard lock(lib.mutex);
    if (!lib.prepared)
        av_log_set_level(AV_LOG_FATAL);  // a damaged stream is expected, not worth a line each
    lib.prepared = true;
    return 1;
}

void ZQPlayDeinitPlayLib(void) {
    std::map<ZQPLAY_HANDLE, std::shared_ptr<zqplay::Player>> left;
    {
        Library& lib = Lib();
        std::lock_guard lock(lib.mutex);
        for (auto& [handle, player] : lib.players) {
            if (player->OnOwnThread())
                return;  // from a draw callback: its thread cannot wait for itself
        }
        lib.prepared = false;
        left.swap(lib.players);
    }
    for (auto& [handle, player] : left)
        player->Stop();
}

ZQPLAY_BOOL ZQPlayIsInitialised(void) {
    Library& lib = Lib();
    std::lock_guard lock(lib.mutex);
    return lib.prepared ? 1 : 0;
}

ZQPLAY_HANDLE ZQPlayCreatePlayInstance(int32_t) {
    Library& lib = Lib();
    std::lock_guard lock(lib.mutex);
    if (!lib.prepared)
        return 0;
    do {
        ++lib.last;
    } while (lib.last == 0 || lib.players.count(lib.last) != 0);
    lib.players[lib.last] = std::make_shared<zqplay::Player>();
    return lib.last;
}

ZQPLAY_BOOL ZQPlaySetPlayWnd(ZQPLAY_HANDLE handle, ZQPLAY_HWND window) {
    return With(handle, [&](zqplay::Player& p) {
        p.SetWindow(window);
        return true;
    });
}

ZQPLAY_BOOL ZQPlayRegisterDrawFun(ZQPLAY_HANDLE handle, ZQPlayDrawCallback callback, void* user) {
    return With(handle, [&](zqplay::Player& p) {
        p.SetDrawCallback(callback, user);
        return true;
    });
}

ZQPLAY_BOOL ZQPlayRenderActualProportion(ZQPLAY_HANDLE handle, int32_t keep) {
    return With(handle, [&](zqplay::Player& p) {
        p.SetKeepProportion(keep != 0);
        return true;
    });
}

ZQPLAY_BOOL ZQPlayStartPlay(ZQPLAY_HANDLE handle) {
    return With(handle, [](zqplay::Player& p) {
        p.Start();
        return true;
    });
}

ZQPLAY_BOOL ZQPlayInputNetFrame(ZQPLAY_HANDLE handle, const uint8_t* data, int32_t length) {
    if (length <= 0)
        return 0;
    return With(handle,
                [&](zqplay::Player& p) { return p.Input(data, static_cast<std::size_t>(length)); });
}

ZQPLAY_BOOL ZQPlayGetPlayPicSize(ZQPLAY_HANDLE handle, int32_t* width, int32_t* height) {
    int32_t w = 0, h = 0;
    const ZQPLAY_BOOL known = With(handle, [&](zqplay::Player& p) {
        p.PictureSize(w, h);
        return true;
    });
    if (width != nullptr)
        *width = w;
    if (height != nullptr)
        *height = h;
    return known != 0 && width != nullptr && height != nullptr ? 1 : 0;
}

ZQPLAY_BOOL ZQPlayAdjustViewArea(ZQPLAY_HANDLE handle, int32_t left, int32_t right, int32_t top,
                                 int32_t bottom) {
    return With(handle, [&](zqplay::Player& p) { return p.SetViewArea(left, right, top, bottom); });
}

ZQPLAY_BOOL ZQPlayStopPlay(ZQPLAY_HANDLE handle) {
    return With(handle, [](zqplay::Player& p) {
        if (p.OnOwnThread())
            return false;  // from the draw callback: the thread cannot wait for itself
        p.Stop();
        return true;
    });
}

ZQPLAY_BOOL ZQPlayDestroyPlayInstance(ZQPLAY_HANDLE handle) {
    std::shared_ptr<zqplay::Player> player;
    {
        Library& lib = Lib();
        std::lock_guard lock(lib.mutex);
        auto it = lib.players.find(handle);
        if (it == lib.players.end() || it->second->OnOwnThread())
            return 0;
        player = std::move(it->second);
        lib.players.erase(it);
    }
    player->Stop();
    return 1;
}
}
