#include "player.h"

#include "platform/window_message.h"
#include "protocol/media_frame.h"

extern "C" {
#include <libavutil/frame.h>
}

namespace zqplay {

Player::~Player() {
    Stop();
}

void Player::SetWindow(ZQPLAY_HWND window) {
    std::lock_guard lock(mutex_);
    window_ = window;
}

void Player::SetDrawCallback(ZQPlayDrawCallback callback, void* user) {
    std::lock_guard lock(mutex_);
    callback_ = callback;
    user_ = user;
}

void Player::SetKeepProportion(bool keep) {
    std::lock_guard lock(mutex_);
    view_.keep_proportion = keep;
}

bool Player::SetViewArea(int left, int right, int top, int bottom) {
    if (left < 0 || right < 0 || top < 0 || bottom < 0)
        return false;
    std::lock_guard lock(mutex_);
    view_.left = left;
    view_.right = right;
    view_.top = top;
    view_.bottom = bottom;
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
    std::vector<uint8_t> block(data, data + length);  // copied outside the lock

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
    FrameDecoder decoder;
    PictureRenderer renderer;
    const auto show = [&](const AVFrame& frame) { Show(frame, renderer); };
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
        decoder.Decode(block, show);
    }
}

void Player::Show(const AVFrame& frame, PictureRenderer& renderer) {
    ZQPLAY_HWND window;
    ZQPlayDrawCallback callback;
    void* user;
    View view;
    {
        std::lock_guard lock(mutex_);
        picture_width_ = frame.width;
        picture_height_ = frame.height;
        window = window_;
        callback = callback_;
        user = user_;
        view = view_;
    }
    const auto handle = static_cast<platform::WindowHandle>(window);
    if (handle != window || handle == 0 || !platform::IsWindow(handle))
        return;      // decode only
    int width = -1;  // a window that reported no size gets the shown part's own size
    int height = -1;
    if (!platform::GetWindowClientSize(handle, width, height))
        width = height = -1;
    Placement at;
    auto picture = renderer.Render(frame, view, width, height, at);
    if (!picture)
        return;
    if (callback != nullptr) {
        ZQPlaySurface surface{picture->pixels.data(), picture->width, picture->height,
                              picture->stride};
        callback(&surface, at.width, at.height, user, at.x, at.y);
    }
    platform::ShowWindowPicture(handle, std::shared_ptr<const platform::WindowPicture>(picture));
}

}  // namespace zqplay
