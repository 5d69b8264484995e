// ZQPlay: the video playback library as the station calls it.
//
// The station includes only this header and links libZQPlay.so; any library that honours this
// calling protocol can stand in for ours. All functions have C linkage and may be called from
// any thread.
//
// A playback instance decodes the blocks of a live preview (as libZQNet's preview data callback
// hands them over) on the library's own thread, scales each picture into its window, calls the
// draw callback so the caller can draw an overlay onto the finished picture, and then hands the
// picture to the window through the platform layer (platform::ShowWindowPicture), which puts it
// on the screen on the window's own thread. Nothing of the decoding or drawing runs on the
// caller's thread.
#pragma once

#include <cstdint>

typedef int32_t ZQPLAY_BOOL;     // nonzero is success
typedef uint32_t ZQPLAY_HANDLE;  // playback instance; 0 is "none"
typedef uintptr_t ZQPLAY_HWND;   // a window handle of the station's platform layer (0: none)

// The drawing surface handed to the draw callback (its "device context"): the window-sized
// picture about to be shown, 32 bits a pixel (0xffRRGGBB in native byte order, the layout of
// QImage::Format_RGB32), rows `stride` bytes apart. The callback may draw anything into it; the
// surface is valid only during the call.
struct ZQPlaySurface {
    uint8_t* pixels;
    int32_t width;   // the window's width in pixels
    int32_t height;  // the window's height in pixels
    int32_t stride;  // bytes from one row to the next
};

// Draw callback: (surface, width and height of the area the picture is fitted into, user value,
// horizontal and vertical offset of the picture's origin in the window). Runs on the library's
// thread after each rendered picture, before the picture is shown.
typedef void (*ZQPlayDrawCallback)(ZQPlaySurface* surface, int32_t width, int32_t height,
                                   void* user, int32_t offsetX, int32_t offsetY);

extern "C" {

// Prepares the library. Called once at start-up, after ZQNetInit and before any window opens;
// the station passes 0, 1, 0 and ignores the result. A second call while prepared succeeds
// and changes nothing.
ZQPLAY_BOOL ZQPlayInitPlayLib(int32_t option1, int32_t option2, int32_t option3);

// Releases everything the library holds (instances still alive are stopped and destroyed).
// Called once at exit, before ZQNetRelease. Harmless when the library was never prepared.
void ZQPlayDeinitPlayLib(void);

// 1 while the library is prepared (between ZQPlayInitPlayLib and ZQPlayDeinitPlayLib), else 0.
// Ours only, for tests and diagnostics: the station never calls it.
ZQPLAY_BOOL ZQPlayIsInitialised(void);

// A new playback instance (the station passes 2); 0 when the library is not prepared.
ZQPLAY_HANDLE ZQPlayCreatePlayInstance(int32_t option);

// The window the instance renders into (0: render nowhere, decode only).
ZQPLAY_BOOL ZQPlaySetPlayWnd(ZQPLAY_HANDLE handle, ZQPLAY_HWND window);

// The callback called after each rendered picture (nullptr: none), with `user` handed back.
ZQPLAY_BOOL ZQPlayRegisterDrawFun(ZQPLAY_HANDLE handle, ZQPlayDrawCallback callback, void* user);

// 1: the picture keeps its proportion, centred in the window; 0: it fills the window.
ZQPLAY_BOOL ZQPlayRenderActualProportion(ZQPLAY_HANDLE handle, int32_t keep);

// Starts rendering: from now on every block put in is decoded and shown.
ZQPLAY_BOOL ZQPlayStartPlay(ZQPLAY_HANDLE handle);

// Puts one block of preview data in (copied before the call returns) and returns at once; 1 when
// it was queued for decoding; 0 when the handle is unknown, the instance is not started, or the
// block was not taken (malformed, over the size limits, the queue full, or not a key frame while
// the instance waits for one). After a refusal the instance waits for the next key frame.
ZQPLAY_BOOL ZQPlayInputNetFrame(ZQPLAY_HANDLE handle, const uint8_t* data, int32_t length);

// The decoded picture's size in pixels; 0 in either while not yet known.
ZQPLAY_BOOL ZQPlayGetPlayPicSize(ZQPLAY_HANDLE handle, int32_t* width, int32_t* height);

// Shows only what remains of the picture after cutting that many picture pixels off each side;
// all four 0 shows the whole picture.
ZQPLAY_BOOL ZQPlayAdjustViewArea(ZQPLAY_HANDLE handle, int32_t left, int32_t right, int32_t top,
                                 int32_t bottom);

// Stops decoding and rendering; no draw callback runs after the call has returned. Returns 0
// when called from the instance's own draw callback (its thread cannot wait for itself), as do
// ZQPlayDestroyPlayInstance there and ZQPlayDeinitPlayLib from any draw callback.
ZQPLAY_BOOL ZQPlayStopPlay(ZQPLAY_HANDLE handle);

// Stops and frees the instance; the handle is unknown afterwards.
ZQPLAY_BOOL ZQPlayDestroyPlayInstance(ZQPLAY_HANDLE handle);
}
