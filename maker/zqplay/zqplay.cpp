// libZQPlay: our playback library (calling protocol in src/device/ZQPlay.h).
#include "device/ZQPlay.h"

#include <atomic>

namespace {
std::atomic<bool> g_prepared{false};
}  // namespace

extern "C" {

ZQPLAY_BOOL ZQPlayInitPlayLib(int32_t, int32_t, int32_t) {
    g_prepared.store(true);
    return 1;
}

void ZQPlayDeinitPlayLib(void) {
    g_prepared.store(false);
}

ZQPLAY_BOOL ZQPlayIsInitialised(void) {
    return g_prepared.load() ? 1 : 0;
}
}
