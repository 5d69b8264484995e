// One playback instance of libZQPlay: an input queue of media frames, a decoding thread that
// decodes them with libavcodec, scales each picture into its window with libswscale, calls the
// draw callback and hands the picture to the window.
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
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "device/ZQPlay.h"

namespace zqplay {

inline constexpr std::size_t kMaxQueuedFrames = 64;
inline constexpr std::size_t kMaxQueuedBytes = 32u << 20;

// Where the fitted picture lies in a window of `window_width` x `window_height` for a view of
// `view_width` x `view_height` picture pixels: the whole window, or (keep proportion) the largest
// centred area of the view's aspect ratio, at least 1 x 1.
struct Placement {
    int x = 0;
    int y = 0;
    int width = 0;
    int height = 0;
};
Placement PlacePicture(int window_width, int window_height, int view_width, int view_height,
                       bool keep_proportion);

class Player {
  public:
    Player();
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
    struct Decoder;
    struct Settings {
        ZQPLAY_HWND window = 0;
        ZQPlayDrawCallback callback = nullptr;
        void* user = nullptr;
        bool keep = false;
        int left = 0, right = 0, top = 0, bottom = 0;
    };

    void Run();
    void Render(Decoder& decoder);

    std::mutex control_mutex_;  // orders Start and Stop
    mutable std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<std::vector<uint8_t>> queue_;
    std::size_t queued_bytes_ = 0;
    bool running_ = false;
    bool stopping_ = false;
    bool wait_for_key_ = true;
    Settings settings_;
    int32_t picture_width_ = 0;
    int32_t picture_height_ = 0;
    std::thread thread_;
    std::thread::id thread_id_;
    std::unique_ptr<Decoder> decoder_;  // used by the decoding thread only
};

}  // namespace zqplay
