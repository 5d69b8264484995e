#include "player.h"

#include <algorithm>
#include <cstring>

#include "platform/window_message.h"
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
constexpr int kPooledPictures = 4;

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

// The decoding thread's own state.
struct Player::Decoder {
    AVCodecContext* context = nullptr;
    AVPacket* packet = av_packet_alloc();
    AVFrame* frame = av_frame_alloc();
    AVFrame* view = av_frame_alloc();
    SwsContext* scaler = nullptr;
    uint32_t width = 0;  // the picture size the context was made for
    uint32_t height = 0;
    bool need_key = true;
    std::vector<std::shared_ptr<platform::WindowPicture>> pool;

    ~Decoder() {
        avcodec_free_context(&context);
        av_packet_free(&packet);
        av_frame_free(&frame);
        av_frame_free(&view);
        sws_freeContext(scaler);
    }

    bool Open(uint32_t picture_width, uint32_t picture_height) {
        avcodec_free_context(&context);
        width = height = 0;
        const AVCodec* codec = avcodec_find_decoder(AV_CODEC_ID_H264);
        if (codec == nullptr || packet == nullptr || frame == nullptr || view == nullptr)
            return false;
        context = avcodec_alloc_context3(codec);
        if (context == nullptr)
            return false;
        context->thread_count = 1;  // one thread per instance, no frame delay
        context->flags |= AV_CODEC_FLAG_LOW_DELAY;
        context->max_pixels = zqproto::kMaxMediaPixels;
        if (avcodec_open2(context, codec, nullptr) < 0) {
            avcodec_free_context(&context);
            return false;
        }
        width = picture_width;
        height = picture_height;
        return true;
    }

    // A window-sized picture no one else holds any more, or a new one.
    std::shared_ptr<platform::WindowPicture> Picture(int picture_width, int picture_height) {
        std::shared_ptr<platform::WindowPicture> picture;
        for (auto& pooled : pool) {
            // Only this pool hands pictures out, so a count of 1 cannot grow behind our back.
            if (pooled.use_count() == 1) {
                picture = pooled;
                break;
            }
        }
        if (!picture) {
            picture = std::make_shared<platform::WindowPicture>();
            if (pool.size() < kPooledPictures)
                pool.push_back(picture);
        }
        picture->width = picture_width;
        picture->height = picture_height;
        picture->stride = picture_width * 4;
        picture->pixels.resize(static_cast<std::size_t>(picture->stride) * picture_height);
        return picture;
    }
};

Player::Player() = default;

Player::~Player() {
    Stop();
}

void Player::SetWindow(ZQPLAY_HWND window) {
    std::lock_guard lock(mutex_);
    settings_.window = window;
}

void Player::SetDrawCallback(ZQPlayDrawCallback callback, void* user) {
    std::lock_guard lock(mutex_);
    settings_.callback = callback;
    settings_.user = user;
}

void Player::SetKeepProportion(bool keep) {
    std::lock_guard lock(mutex_);
    settings_.keep = keep;
}

bool Player::SetViewArea(int left, int right, int top, int bottom) {
    if (left < 0 || right < 0 || top < 0 || bottom < 0)
        return false;
    std::lock_guard lock(mutex_);
    settings_.left = left;
    settings_.right = right;
    settings_.top = top;
    settings_.bottom = bottom;
    return true;
}

void Player::Start() {
    std::lock_guard control(control_mutex_);
    std::lock_guard lock(mutex_);
    if (running_)
        return;
    running_ = true;
    stopping_ = false;
    wait_for_key_ = true;
    decoder_ = std::make_unique<Decoder>();
    thread_ = std::thread(&Player::Run, this);
    thread_id_ = thread_.get_id();
}

void Player::Stop() {
    std::lock_guard control(control_mutex_);
    {
        std::lock_guard lock(mutex_);
        if (!running_)
            return;
        stopping_ = true;
    }
    wake_.notify_all();
    thread_.join();
    decoder_.reset();
    std::lock_guard lock(mutex_);
    running_ = false;
    queue_.clear();
    queued_bytes_ = 0;
    thread_id_ = {};
}

bool Player::OnOwnThread() const {
    std::lock_guard lock(mutex_);
    return running_ && thread_id_ == std::this_thread::get_id();
}

void Player::PictureSize(int32_t& width, int32_t& height) const {
    std::lock_guard lock(mutex_);
    width = picture_width_;
    height = picture_height_;
}

bool Player::Input(const uint8_t* data, std::size_t length) {
    zqproto::MediaFrame header;
    const bool valid = data != nullptr && zqproto::ParseMediaFrame(std::span(data, length), header);
    const bool key = valid && (header.flags & zqproto::kMediaKeyFrame) != 0;
    {
        std::lock_guard lock(mutex_);
        if (!valid || !running_ || stopping_) {
            wait_for_key_ = true;
            return false;
        }
        if (wait_for_key_ && !key)
            return false;
    }
    // The decoder reads a little past the end of its input: keep that part zeroed.
    std::vector<uint8_t> block(length + AV_INPUT_BUFFER_PADDING_SIZE, 0);
    std::memcpy(block.data(), data, length);
    block.resize(length);  // the capacity keeps the zeroed padding

    std::lock_guard lock(mutex_);
    if (!running_ || stopping_)
        return false;
    if (queue_.size() >= kMaxQueuedFrames || queued_bytes_ + length > kMaxQueuedBytes) {
        if (!key) {
            wait_for_key_ = true;
            return false;
        }
        queue_.clear();  // the key frame starts afresh: what waits is worth nothing now
        queued_bytes_ = 0;
    }
    wait_for_key_ = false;
    queued_bytes_ += length;
    queue_.push_back(std::move(block));
    wake_.notify_one();
    return true;
}

void Player::Run() {
    Decoder& decoder = *decoder_;
    for (;;) {
        std::vector<uint8_t> block;
        {
            std::unique_lock lock(mutex_);
            wake_.wait(lock, [this] { return stopping_ || !queue_.empty(); });
            if (stopping_)
                return;
            block = std::move(queue_.front());
            queue_.pop_front();
            queued_bytes_ -= block.size();
        }
        zqproto::MediaFrame header;
        if (!zqproto::ParseMediaFrame(block, header))
            continue;
        const bool key = (header.flags & zqproto::kMediaKeyFrame) != 0;
        if (decoder.context == nullptr || header.width != decoder.width ||
            header.height != decoder.height) {
            // A new picture size needs a new decoder, and a decoder starts at a key frame.
            if (!key || !decoder.Open(header.width, header.height))
                continue;
            decoder.need_key = true;
        }
        if (decoder.need_key && !key)
            continue;
        decoder.need_key = false;

        AVPacket* packet = decoder.packet;
        packet->data = const_cast<uint8_t*>(header.payload.data());
        packet->size = static_cast<int>(header.payload.size());
        packet->pts = static_cast<int64_t>(header.capture_us);
        packet->flags = key ? AV_PKT_FLAG_KEY : 0;
        const int sent = avcodec_send_packet(decoder.context, packet);
        av_packet_unref(packet);
        if (sent < 0 && sent != AVERROR(EAGAIN)) {
            avcodec_flush_buffers(decoder.context);
            decoder.need_key = true;
            continue;
        }
        while (avcodec_receive_frame(decoder.context, decoder.frame) == 0) {
            if ((decoder.frame->flags & AV_FRAME_FLAG_CORRUPT) != 0 ||
                decoder.frame->decode_error_flags != 0) {
                // Show the last good picture until the next key frame.
                av_frame_unref(decoder.frame);
                avcodec_flush_buffers(decoder.context);
                decoder.need_key = true;
                break;
            }
            Render(decoder);
            av_frame_unref(decoder.frame);
        }
    }
}

void Player::Render(Decoder& decoder) {
    AVFrame* frame = decoder.frame;
    Settings settings;
    {
        std::lock_guard lock(mutex_);
        picture_width_ = frame->width;
        picture_height_ = frame->height;
        settings = settings_;
    }
    const auto window = static_cast<platform::WindowHandle>(settings.window);
    if (window == 0 || !platform::IsWindow(window))
        return;  // decode only

    int left = settings.left, right = settings.right, top = settings.top, bottom = settings.bottom;
    if (int64_t{left} + right >= frame->width || int64_t{top} + bottom >= frame->height)
        left = right = top = bottom = 0;  // nothing would remain: show the whole picture
    const int view_width = frame->width - left - right;
    const int view_height = frame->height - top - bottom;

    int window_width = view_width;  // a window that reported no size gets the view's size
    int window_height = view_height;
    platform::GetWindowClientSize(window, window_width, window_height);
    window_width = std::min<int>(window_width, zqproto::kMaxMediaSide);
    window_height = std::min<int>(window_height, zqproto::kMaxMediaSide);
    if (window_width <= 0 || window_height <= 0)
        return;

    const Placement at =
        PlacePicture(window_width, window_height, view_width, view_height, settings.keep);
    auto picture = decoder.Picture(window_width, window_height);
    FillBars(*picture, at);

    AVFrame* view = decoder.view;
    if (av_frame_ref(view, frame) < 0)
        return;
    view->crop_left = static_cast<size_t>(left);
    view->crop_right = static_cast<size_t>(right);
    view->crop_top = static_cast<size_t>(top);
    view->crop_bottom = static_cast<size_t>(bottom);
    if (av_frame_apply_cropping(view, AV_FRAME_CROP_UNALIGNED) < 0) {
        av_frame_unref(view);
        return;
    }
    decoder.scaler = sws_getCachedContext(
        decoder.scaler, view->width, view->height, static_cast<AVPixelFormat>(view->format),
        at.width, at.height, AV_PIX_FMT_RGB32, SWS_BILINEAR, nullptr, nullptr, nullptr);
    if (decoder.scaler == nullptr) {
        av_frame_unref(view);
        return;
    }
    uint8_t* target[4] = {picture->pixels.data() +
                              static_cast<std::size_t>(at.y) * picture->stride +
                              static_cast<std::size_t>(at.x) * 4,
                          nullptr, nullptr, nullptr};
    const int target_stride[4] = {picture->stride, 0, 0, 0};
    sws_scale(decoder.scaler, view->data, view->linesize, 0, view->height, target, target_stride);
    av_frame_unref(view);

    if (settings.callback != nullptr) {
        ZQPlaySurface surface{picture->pixels.data(), picture->width, picture->height,
                              picture->stride};
        settings.callback(&surface, at.width, at.height, settings.user, at.x, at.y);
    }
    platform::ShowWindowPicture(window, std::shared_ptr<const platform::WindowPicture>(picture));
}

}  // namespace zqplay
