// ZQPlay: the video playback library as the station calls it.
//
// The station includes only this header and links libZQPlay.so; any library that honours this
// calling protocol can stand in for ours. All functions have C linkage and may be called from
// any thread. This version carries the start-up and shutdown calls; the preview functions come
// with the live preview pane.
#pragma once

#include <cstdint>

typedef int32_t ZQPLAY_BOOL;  // nonzero is success

extern "C" {

// Prepares the library. Called once at start-up, after ZQNetInit and before any window opens;
// the station passes 0, 1, 0 and ignores the result. A second call while prepared succeeds
// and changes nothing.
ZQPLAY_BOOL ZQPlayInitPlayLib(int32_t option1, int32_t option2, int32_t option3);

// Releases everything the library holds. Called once at exit, before ZQNetRelease. Harmless
// when the library was never prepared.
void ZQPlayDeinitPlayLib(void);

// 1 while the library is prepared (between ZQPlayInitPlayLib and ZQPlayDeinitPlayLib), else 0.
// Ours only, for tests and diagnostics: the station never calls it.
ZQPLAY_BOOL ZQPlayIsInitialised(void);
}
