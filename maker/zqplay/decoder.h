// The two steps of showing a media frame, without threads: FrameDecoder turns media frames
// (maker/protocol/media_frame.h) into pictures with libavcodec, PictureRenderer scales a
// picture's view area into a window-sized 32-bit picture with libswscale. A Player's thread
// runs both; the fuzz target runs them directly.
//
// Neither class is thread-safe: each belongs to one thread at a time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <vector>

#include "platform/window_message.h"

struct AVCodecContext;
struct AVFrame;
struct AVPacket;
struct SwsContext;

namespace zqplay {

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

class FrameDecoder {
  public:
    FrameDecoder();
    ~FrameDecoder();
    FrameDecoder(const FrameDecoder&) = delete;
    FrameDecoder& operator=(const FrameDecoder&) = delete;

    // Decodes one block and calls `picture` for every good picture it yields (the frame is
    // valid during the call only). A block that is no well-formed media frame is ignored. A new
    // picture size in a key frame's header makes a new decoder; until a key frame has started
    // the decoder (and after any damage the decoder reports) other frames are dropped, so a
    // damaged picture is never shown.
    void Decode(std::span<const uint8_t> block, const std::function<void(const AVFrame&)>& picture);

  private:
    AVCodecContext* context_ = nullptr;
    AVPacket* packet_ = nullptr;
    AVFrame* frame_ = nullptr;
    uint32_t width_ = 0;  // the picture size the context was made for
    uint32_t height_ = 0;
    bool need_key_ = true;
};

// What to show of a picture, and how.
struct View {
    int left = 0, right = 0, top = 0, bottom = 0;  // margins in picture pixels
    bool keep_proportion = false;
};

class PictureRenderer {
  public:
    PictureRenderer();
    ~PictureRenderer();
    PictureRenderer(const PictureRenderer&) = delete;
    PictureRenderer& operator=(const PictureRenderer&) = delete;

    // The part of `frame` that `view` leaves (the whole picture when the margins leave nothing)
    // scaled into a new `window_width` x `window_height` picture (each at most 8192; negative
    // sizes stand for the shown part's own size), black around the placed area, which `at`
    // receives; null when a size is 0 or the picture cannot be scaled. A picture goes back to
    // the renderer for reuse when its last holder, on any thread, lets it go (after the renderer
    // is gone it is freed instead); until then the renderer never writes into it again.
    std::shared_ptr<platform::WindowPicture> Render(const AVFrame& frame, const View& view,
                                                    int window_width, int window_height,
                                                    Placement& at);

  private:
    // The pictures nobody holds, for reuse; shared with the pictures handed out, whose last
    // holder puts them back under its lock.
    struct Pool;

    std::shared_ptr<platform::WindowPicture> Picture(int width, int height);

    AVFrame* view_ = nullptr;
    SwsContext* scaler_ = nullptr;
    std::shared_ptr<Pool> pool_;
};

}  // namespace zqplay
