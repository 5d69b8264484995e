// One playback instance of libZQPlay: an input queue of media frames and a thread that decodes
// them (FrameDecoder), scales each picture into its window (PictureRenderer), calls the draw
// callback and hands the picture to the window.
//
// What a caller may rely on:
// - Every member function is thread-safe. Input() copies the block and returns at once.
// - The queue holds at most kMaxQueuedFrames frames and kMaxQueuedBytes bytes. A block that does
//   not fit, or that is refused, makes the instance drop every following block until the next
//   key frame (a key frame that finds the queue full replaces what is queued).
// - After Stop() returns, the thread is joined and the draw callback is never called again until
//   the next Start(). Stop() and the destructor must not be called from the draw callback.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <thread>
#include <vector>

#include "decoder.h"
#include "device/ZQPlay.h"

namespace zqplay {

inline constexpr std::size_t kMaxQueuedFrames = 64;
inline constexpr std::size_t kMaxQueuedBytes = 32u << 20;

class Player {
  public:
    Player() = default;
    ~Player();
    Player(const Player&) = delete;
    Player& operator=(const Player&) = delete;

    void SetWindow(ZQPLAY_HWND window);
    void SetDrawCallback(ZQPlayDrawCallback callback, void* user);
    void SetKeepProportion(bool keep);
    // False for negative margins.
    bool SetViewArea(int left, int right, int top, int bottom);
    void Start();
    void Stop();
    // True when the block was queued for decoding.
    bool Input(const uint8_t* data, std::size_t length);
    void PictureSize(int32_t& width, int32_t& height) const;
    // True when called on this instance's decoding thread (from its draw callback).
    bool OnOwnThread() const;

  private:
    void Run();
    void Show(const AVFrame& frame, PictureRenderer& renderer);

    std::mutex control_mutex_;  // orders Start and Stop
    mutable std::mutex mutex_;  // guards everything below
    std::condition_variable wake_;
    std::deque<std::vector<uint8_t>> queue_;
    std::size_t queued_bytes_ = 0;
    bool running_ = false;
    bool stopping_ = false;
    bool wait_for_key_ = true;
    ZQPLAY_HWND window_ = 0;
    ZQPlayDrawCallback callback_ = nullptr;
    void* user_ = nullptr;
    View view_;
    int32_t picture_width_ = 0;
    int32_t picture_height_ = 0;
    std::thread thread_;
    std::thread::id thread_id_;
};

}  // namespace zqplay
