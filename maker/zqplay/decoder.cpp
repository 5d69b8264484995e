#include "decoder.h"

#include <algorithm>
#include <cstring>
#include <mutex>

#include "protocol/media_frame.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/frame.h>
#include <libavutil/pixfmt.h>
#include <libswscale/swscale.h>
}

namespace zqplay {

namespace {

constexpr uint32_t kOpaqueBlack = 0xff000000u;
constexpr std::size_t kPooledPictures = 4;

void FillRect(platform::WindowPicture& picture, int x, int y, int width, int height) {
    for (int row = y; row < y + height; ++row) {
        auto* line = reinterpret_cast<uint32_t*>(picture.pixels.data() +
                                                 static_cast<std::size_t>(row) * picture.stride);
        std::fill(line + x, line + x + width, kOpaqueBlack);
    }
}

// Blackens what lies outside the placed picture.
void FillBars(platform::WindowPicture& picture, const Placement& at) {
    FillRect(picture, 0, 0, picture.width, at.y);
    FillRect(picture, 0, at.y + at.height, picture.width, picture.height - at.y - at.height);
    FillRect(picture, 0, at.y, at.x, at.height);
    FillRect(picture, at.x + at.width, at.y, picture.width - at.x - at.width, at.height);
}

}  // namespace

Placement PlacePicture(int window_width, int window_height, int view_width, int view_height,
                       bool keep_proportion) {
    Placement at{0, 0, window_width, window_height};
    if (!keep_proportion || view_width <= 0 || view_height <= 0 || window_width <= 0 ||
        window_height <= 0)
        return at;
    const int64_t ww = window_width, wh = window_height, vw = view_width, vh = view_height;
    if (ww * vh <= wh * vw)  // the width limits: bars above and below
        at.height = static_cast<int>((2 * ww * vh + vw) / (2 * vw));
    else
        at.width = static_cast<int>((2 * wh * vw + vh) / (2 * vh));
    at.width = std::clamp(at.width, 1, window_width);
    at.height = std::clamp(at.height, 1, window_height);
    at.x = (window_width - at.width) / 2;
    at.y = (window_height - at.height) / 2;
    return at;
}

FrameDecoder::FrameDecoder() : packet_(av_packet_alloc()), frame_(av_frame_alloc()) {}

FrameDecoder::~FrameDecoder() {
    avcodec_free_context(&context_);
    av_packet_free(&packet_);
    av_frame_free(&frame_);
}

void FrameDecoder::Decode(std::span<const uint8_t> block,
                          const std::function<void(const AVFrame&)>& picture) {
    zqproto::MediaFrame header;
    if (packet_ == nullptr || frame_ == nullptr || !zqproto::ParseMediaFrame(block, header))
        return;
    const bool key = (header.flags & zqproto::kMediaKeyFrame) != 0;
    if (context_ == nullptr || header.width != width_ || header.height != height_) {
        // A new picture size needs a new decoder, and a decoder starts at a key frame.
        if (!key)
            return;
        avcodec_free_context(&context_);
        width_ = height_ = 0;
        const AVCodec* codec = avcodec_find_decoder(AV_CODEC_ID_H264);
        context_ = codec != nullptr ? avcodec_alloc_context3(codec) : nullptr;
        if (context_ == nullptr)
            return;
        context_->thread_count = 1;  // one thread per instance, no frame delay
        context_->flags |= AV_CODEC_FLAG_LOW_DELAY;
        context_->max_pixels = zqproto::kMaxMediaPixels;
        if (avcodec_open2(context_, codec, nullptr) < 0) {
            avcodec_free_context(&context_);
            return;
        }
        width_ = header.width;
        height_ = header.height;
    }
    if (need_key_ && !key)
        return;
    need_key_ = false;

    // Not reference-counted: the decoder makes its own padded copy of the payload.
    packet_->data = const_cast<uint8_t*>(header.payload.data());
    packet_->size = static_cast<int>(header.payload.size());
    packet_->pts = static_cast<int64_t>(header.capture_us);
    packet_->flags = key ? AV_PKT_FLAG_KEY : 0;
    const int sent = avcodec_send_packet(context_, packet_);
    av_packet_unref(packet_);
    if (sent < 0 && sent != AVERROR(EAGAIN)) {
        avcodec_flush_buffers(context_);
        need_key_ = true;
        return;
    }
    while (avcodec_receive_frame(context_, frame_) == 0) {
        if ((frame_->flags & AV_FRAME_FLAG_CORRUPT) != 0 || frame_->decode_error_flags != 0) {
            // The window keeps the last good picture until the next key frame.
            av_frame_unref(frame_);
            avcodec_flush_buffers(context_);
            need_key_ = true;
            return;
        }
        picture(*frame_);
        av_frame_unref(frame_);
    }
}

// A picture comes back here from its last holder's thread. Its holders only read it, and the
// last one lets it go (the shared_ptr's count falling to 0 orders their reads before the
// deleter); the lock orders the deleter before the renderer's next write into the picture.
// (A use_count() of 1 seen by the renderer would order nothing: another thread may still be
// reading the picture it has just let go.)
struct PictureRenderer::Pool {
    Pool() { free.reserve(kPooledPictures); }  // so that putting one back never allocates
    std::mutex mutex;
    std::vector<std::unique_ptr<platform::WindowPicture>> free;  // at most kPooledPictures
};

PictureRenderer::PictureRenderer() : view_(av_frame_alloc()), pool_(std::make_shared<Pool>()) {}

PictureRenderer::~PictureRenderer() {
    av_frame_free(&view_);
    sws_freeContext(scaler_);
}

std::shared_ptr<platform::WindowPicture> PictureRenderer::Picture(int width, int height) {
    std::unique_ptr<platform::WindowPicture> reused;
    {
        std::lock_guard lock(pool_->mutex);
        if (!pool_->free.empty()) {
            reused = std::move(pool_->free.back());
            pool_->free.pop_back();
        }
    }
    if (!reused)
        reused = std::make_unique<platform::WindowPicture>();
    const std::weak_ptr<Pool> home = pool_;
    std::shared_ptr<platform::WindowPicture> picture(
        reused.release(), [home](platform::WindowPicture* released) {
            std::unique_ptr<platform::WindowPicture> back(released);  // freed after the lock
            if (const auto pool = home.lock()) {
                std::lock_guard lock(pool->mutex);
                if (pool->free.size() < kPooledPictures)
                    pool->free.push_back(std::move(back));
            }
        });
    picture->width = width;
    picture->height = height;
    picture->stride = width * 4;
    picture->pixels.resize(static_cast<std::size_t>(picture->stride) * height);
    return picture;
}

std::shared_ptr<platform::WindowPicture> PictureRenderer::Render(const AVFrame& frame,
                                                                 const View& view, int window_width,
                                                                 int window_height, Placement& at) {
    if (view_ == nullptr || frame.width <= 0 || frame.height <= 0)
        return nullptr;
    int left = view.left, right = view.right, top = view.top, bottom = view.bottom;
    if (left < 0 || right < 0 || top < 0 || bottom < 0 || int64_t{left} + right >= frame.width ||
        int64_t{top} + bottom >= frame.height)
        left = right = top = bottom = 0;  // nothing would remain: show the whole picture
    const int view_width = frame.width - left - right;
    const int view_height = frame.height - top - bottom;
    if (window_width < 0 || window_height < 0) {
        window_width = view_width;
        window_height = view_height;
    }
    window_width = std::min<int>(window_width, zqproto::kMaxMediaSide);
    window_height = std::min<int>(window_height, zqproto::kMaxMediaSide);
    if (window_width == 0 || window_height == 0)
        return nullptr;

    at = PlacePicture(window_width, window_height, view_width, view_height, view.keep_proportion);
    if (av_frame_ref(view_, &frame) < 0)
        return nullptr;
    view_->crop_left = static_cast<std::size_t>(left);
    view_->crop_right = static_cast<std::size_t>(right);
    view_->crop_top = static_cast<std::size_t>(top);
    view_->crop_bottom = static_cast<std::size_t>(bottom);
    std::shared_ptr<platform::WindowPicture> picture;
    const bool cropped = av_frame_apply_cropping(view_, AV_FRAME_CROP_UNALIGNED) == 0 &&
                         view_->width == view_width && view_->height == view_height;
    if (cropped) {
        scaler_ = sws_getCachedContext(
            scaler_, view_->width, view_->height, static_cast<AVPixelFormat>(view_->format),
            at.width, at.height, AV_PIX_FMT_RGB32, SWS_BILINEAR, nullptr, nullptr, nullptr);
    }
    if (cropped && scaler_ != nullptr) {
        picture = Picture(window_width, window_height);
        FillBars(*picture, at);
        uint8_t* target[4] = {picture->pixels.data() +
                                  static_cast<std::size_t>(at.y) * picture->stride +
                                  static_cast<std::size_t>(at.x) * 4,
                              nullptr, nullptr, nullptr};
        const int target_stride[4] = {picture->stride, 0, 0, 0};
        sws_scale(scaler_, view_->data, view_->linesize, 0, view_->height, target, target_stride);
    }
    av_frame_unref(view_);
    return picture;
}

}  // namespace zqplay
