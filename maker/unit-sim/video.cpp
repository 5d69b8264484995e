#include "video.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/frame.h>
#include <libavutil/log.h>
#include <libavutil/opt.h>
}

#include <algorithm>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <map>
#include <mutex>
#include <thread>

namespace unitsim {
namespace {

constexpr uint8_t kDark = 16;
constexpr uint8_t kBright = 235;

// The picture in planar YUV 4:2:0.
struct Planes {
    int width = 0;
    int height = 0;
    std::vector<uint8_t> y, u, v;

    void FillY(int x0, int y0, int x1, int y1, uint8_t value) {
        x0 = std::max(x0, 0);
        y0 = std::max(y0, 0);
        x1 = std::min(x1, width);
        y1 = std::min(y1, height);
        for (int row = y0; row < y1; ++row) {
            if (x1 > x0)
                std::memset(&y[static_cast<size_t>(row) * width + x0], value,
                            static_cast<size_t>(x1 - x0));
        }
    }
};

struct Clock {
    int x = 0;
    int y = 0;
    int radius = 8;
};

// Where the clock goes: on the image circle's centre when that is in the picture, else in the
// middle of the picture.
Clock ClockOf(const PictureLook& s) {
    Clock c;
    const bool inside =
        s.centerX >= 0 && s.centerX < s.width && s.centerY >= 0 && s.centerY < s.height;
    c.x = inside ? s.centerX : s.width / 2;
    c.y = inside ? s.centerY : s.height / 2;
    c.radius = std::max(8, std::min(s.width, s.height) / 8);
    return c;
}

// The still part: the lit, textured disc of the lens and the clock's dial.
Planes Background(const PictureLook& s) {
    Planes p;
    p.width = s.width;
    p.height = s.height;
    p.y.assign(static_cast<size_t>(s.width) * s.height, kDark);
    p.u.assign(static_cast<size_t>(s.width / 2) * (s.height / 2), 128);
    p.v.assign(p.u.size(), 128);
    const int64_t r2 = static_cast<int64_t>(s.radius) * s.radius;
    const int square = std::max(8, s.radius / 10);
    for (int row = 0; row < s.height; ++row) {
        const int64_t dy = row - s.centerY;
        uint8_t* line = &p.y[static_cast<size_t>(row) * s.width];
        for (int col = 0; col < s.width; ++col) {
            const int64_t dx = col - s.centerX;
            const int64_t d2 = dx * dx + dy * dy;
            if (s.radius <= 0 || d2 > r2)
                continue;
            // Bright in the middle, darker towards the rim (as a fisheye lens shows), checkered.
            int value = 200 - static_cast<int>(120 * d2 / r2);
            value += ((col / square + row / square) & 1) ? 14 : -14;
            line[col] = static_cast<uint8_t>(std::clamp(value, 20, 230));
        }
    }
    for (int row = 0; row < s.height / 2; ++row) {
        const int64_t dy = 2 * row - s.centerY;
        for (int col = 0; col < s.width / 2; ++col) {
            const int64_t dx = 2 * col - s.centerX;
            if (s.radius > 0 && dx * dx + dy * dy <= r2) {
                p.u[static_cast<size_t>(row) * (s.width / 2) + col] = 112;
                p.v[static_cast<size_t>(row) * (s.width / 2) + col] = 146;
            }
        }
    }
    // The dial.
    const Clock c = ClockOf(s);
    const int t = std::max(2, c.radius / 24);
    const int64_t inner = static_cast<int64_t>(c.radius - t) * (c.radius - t);
    const int64_t outer = static_cast<int64_t>(c.radius + t) * (c.radius + t);
    for (int row = std::max(0, c.y - c.radius - t); row < std::min(s.height, c.y + c.radius + t);
         ++row) {
        for (int col = std::max(0, c.x - c.radius - t); col < std::min(s.width, c.x + c.radius + t);
             ++col) {
            const int64_t dx = col - c.x, dy = row - c.y;
            const int64_t d2 = dx * dx + dy * dy;
            if (d2 >= inner && d2 <= outer)
                p.y[static_cast<size_t>(row) * s.width + col] = kBright;
        }
    }
    return p;
}

// Seven-segment digits: bits a (top), b, c, d (bottom), e, f, g (middle).
constexpr uint8_t kSegments[10] = {0x3F, 0x06, 0x5B, 0x4F, 0x66, 0x6D, 0x7D, 0x07, 0x7F, 0x6F};

void DrawDigit(Planes& p, int digit, int x, int y, int w, int h, int s) {
    const uint8_t bits = kSegments[digit];
    const int mid = y + h / 2;
    if (bits & 0x01)
        p.FillY(x, y, x + w, y + s, kBright);
    if (bits & 0x02)
        p.FillY(x + w - s, y, x + w, mid, kBright);
    if (bits & 0x04)
        p.FillY(x + w - s, mid, x + w, y + h, kBright);
    if (bits & 0x08)
        p.FillY(x, y + h - s, x + w, y + h, kBright);
    if (bits & 0x10)
        p.FillY(x, mid, x + s, y + h, kBright);
    if (bits & 0x20)
        p.FillY(x, y, x + s, mid, kBright);
    if (bits & 0x40)
        p.FillY(x, mid - s / 2, x + w, mid + s - s / 2, kBright);
}

// Frame `index` of a loop: the hand at its angle, the loop's time as "S.hh".
void DrawClock(Planes& p, const PictureLook& s, int index, int count) {
    const Clock c = ClockOf(s);
    const double angle = 2.0 * M_PI * index / count;
    const int t = std::max(2, c.radius / 20);
    const int steps = std::max(1, c.radius);
    const double ex = std::sin(angle) * c.radius * 0.9, ey = -std::cos(angle) * c.radius * 0.9;
    for (int k = 0; k <= steps; ++k) {
        const int x = c.x + static_cast<int>(ex * k / steps);
        const int y = c.y + static_cast<int>(ey * k / steps);
        p.FillY(x - t / 2, y - t / 2, x - t / 2 + t, y - t / 2 + t, kBright);
    }
    const int hundredths = index * 100 / s.frameRate;
    const int digits[3] = {(hundredths / 100) % 10, (hundredths / 10) % 10, hundredths % 10};
    const int h = std::max(10, c.radius / 2);
    const int w = h / 2;
    const int stroke = std::max(2, h / 8);
    const int gap = stroke * 2;
    const int total = 3 * w + 3 * gap;
    int x = c.x - total / 2;
    const int y = c.y + c.radius + 2 * stroke;
    p.FillY(x - gap, y - gap, x + total + gap, y + h + gap, kDark);
    for (int i = 0; i < 3; ++i) {
        DrawDigit(p, digits[i], x, y, w, h, stroke);
        x += w + gap;
        if (i == 0) {  // the decimal point
            p.FillY(x, y + h - stroke, x + stroke, y + h, kBright);
            x += gap;
        }
    }
}

bool Usable(const PictureLook& s, std::string& error) {
    if (s.width < 16 || s.height < 16 || s.width > 8192 || s.height > 8192 || s.width % 2 != 0 ||
        s.height % 2 != 0) {
        error = "a picture is 16 to 8192 pixels wide and high, in even numbers";
        return false;
    }
    if (s.frameRate < 1 || s.frameRate > 60) {
        error = "a frame rate is 1 to 60 frames a second";
        return false;
    }
    return true;
}

// Collects the packets the encoder has ready.
bool Drain(AVCodecContext* context, AVPacket* packet, VideoLoop& loop) {
    for (;;) {
        const int r = avcodec_receive_packet(context, packet);
        if (r == AVERROR(EAGAIN) || r == AVERROR_EOF)
            return true;
        if (r < 0)
            return false;
        VideoFrame f;
        f.key = (packet->flags & AV_PKT_FLAG_KEY) != 0;
        f.data.assign(packet->data, packet->data + packet->size);
        loop.frames.push_back(std::move(f));
        av_packet_unref(packet);
    }
}

// Bits of an SPS, for WithPictureSize.
class BitWriter {
  public:
    void Bit(unsigned b) {
        current_ = static_cast<uint8_t>(current_ << 1 | (b & 1));
        if (++used_ == 8) {
            bytes_.push_back(current_);
            current_ = 0;
            used_ = 0;
        }
    }
    void Bits(unsigned value, int n) {
        for (int i = n - 1; i >= 0; --i)
            Bit(value >> i);
    }
    void Ue(unsigned value) {  // Exp-Golomb
        const unsigned v = value + 1;
        int n = 0;
        while ((v >> n) > 1)
            ++n;
        Bits(0, n);
        Bits(v, n + 1);
    }
    std::vector<uint8_t> Finish() {  // the stop bit, then zeros to the byte boundary
        Bit(1);
        while (used_ != 0)
            Bit(0);
        return bytes_;
    }

  private:
    std::vector<uint8_t> bytes_;
    uint8_t current_ = 0;
    int used_ = 0;
};

}  // namespace

bool EncodeLoop(const PictureLook& look, int count, VideoLoop& loop, std::string& error) {
    if (!Usable(look, error))
        return false;
    if (count < look.frameRate || count % look.frameRate != 0) {
        error = "a loop is whole seconds long";
        return false;
    }
    // libx264 tells its statistics at the default level; a simulator has no use for them.
    static std::once_flag quiet;
    std::call_once(quiet, [] {
        if (av_log_get_level() == AV_LOG_INFO)
            av_log_set_level(AV_LOG_WARNING);
    });
    const AVCodec* codec = avcodec_find_encoder_by_name("libx264");
    if (!codec) {
        error = "libavcodec has no libx264 encoder";
        return false;
    }
    AVCodecContext* context = avcodec_alloc_context3(codec);
    AVFrame* frame = av_frame_alloc();
    AVPacket* packet = av_packet_alloc();
    VideoLoop out;
    out.look = look;
    bool ok = context && frame && packet;
    if (ok) {
        context->width = look.width;
        context->height = look.height;
        context->pix_fmt = AV_PIX_FMT_YUV420P;
        context->time_base = AVRational{1, look.frameRate};
        context->framerate = AVRational{look.frameRate, 1};
        context->gop_size = look.frameRate;  // a key frame every second
        context->keyint_min = look.frameRate;
        context->max_b_frames = 0;
        context->thread_count = 1;  // a shared, small machine: one core is enough for a loop
        av_opt_set(context->priv_data, "preset", "veryfast", 0);
        av_opt_set(context->priv_data, "tune", "zerolatency", 0);
        av_opt_set(context->priv_data, "profile", "baseline", 0);
        av_opt_set(context->priv_data, "crf", "30", 0);
        av_opt_set(context->priv_data, "forced-idr", "1", 0);
        // SPS and PPS before every IDR, so that a decoder may start at any key frame.
        av_opt_set(context->priv_data, "x264-params", "repeat-headers=1:scenecut=0", 0);
        ok = avcodec_open2(context, codec, nullptr) == 0;
        if (!ok)
            error = "libx264 does not take the picture";
    }
    if (ok) {
        frame->format = AV_PIX_FMT_YUV420P;
        frame->width = look.width;
        frame->height = look.height;
        ok = av_frame_get_buffer(frame, 0) == 0;
    }
    const Planes background = ok ? Background(look) : Planes{};
    for (int i = 0; ok && i < count; ++i) {
        Planes p = background;
        DrawClock(p, look, i, count);
        ok = av_frame_make_writable(frame) == 0;
        for (int row = 0; ok && row < look.height; ++row) {
            std::memcpy(frame->data[0] + static_cast<ptrdiff_t>(row) * frame->linesize[0],
                        &p.y[static_cast<size_t>(row) * look.width],
                        static_cast<size_t>(look.width));
        }
        for (int row = 0; ok && row < look.height / 2; ++row) {
            const size_t at = static_cast<size_t>(row) * (look.width / 2);
            std::memcpy(frame->data[1] + static_cast<ptrdiff_t>(row) * frame->linesize[1], &p.u[at],
                        static_cast<size_t>(look.width / 2));
            std::memcpy(frame->data[2] + static_cast<ptrdiff_t>(row) * frame->linesize[2], &p.v[at],
                        static_cast<size_t>(look.width / 2));
        }
        frame->pts = i;
        frame->pict_type = i % look.frameRate == 0 ? AV_PICTURE_TYPE_I : AV_PICTURE_TYPE_NONE;
        ok = ok && avcodec_send_frame(context, frame) == 0 && Drain(context, packet, out);
    }
    ok = ok && avcodec_send_frame(context, nullptr) == 0 && Drain(context, packet, out);
    if (ok && (static_cast<int>(out.frames.size()) != count || !out.frames[0].key)) {
        ok = false;
        error = "the encoder gave an unexpected number of frames";
    } else if (!ok && error.empty()) {
        error = "the encoder failed";
    }
    av_packet_free(&packet);
    av_frame_free(&frame);
    avcodec_free_context(&context);
    if (ok)
        loop = std::move(out);
    return ok;
}

namespace {

// The shared loops, each encoded once on a thread of its own.
class LoopCache {
  public:
    ~LoopCache() {
        std::vector<std::thread> threads;
        {
            std::lock_guard lock(mutex_);
            threads.swap(threads_);
        }
        for (auto& t : threads)
            t.join();
    }

    std::shared_ptr<const VideoLoop> Get(const PictureLook& look, bool wait, bool* failed) {
        std::unique_lock lock(mutex_);
        auto [it, added] = entries_.try_emplace(look);
        Entry& e = it->second;
        if (added) {
            try {
                threads_.emplace_back([this, look] { Encode(look); });
            } catch (const std::exception&) {
                e.done = e.failed = true;
            }
        }
        if (wait)
            done_.wait(lock, [&] { return e.done; });
        if (failed)
            *failed = e.failed;
        return e.loop;
    }

  private:
    struct Entry {
        bool done = false;
        bool failed = false;
        std::shared_ptr<const VideoLoop> loop;
    };

    void Encode(PictureLook look) {
        auto loop = std::make_shared<VideoLoop>();
        std::string error;
        const bool ok = EncodeLoop(look, 2 * look.frameRate, *loop, error);
        if (!ok) {
            std::fprintf(stderr, "zq-unit-sim: no video for %dx%d: %s\n", look.width, look.height,
                         error.c_str());
        }
        std::lock_guard lock(mutex_);
        Entry& e = entries_[look];
        e.done = true;
        e.failed = !ok;
        if (ok)
            e.loop = std::move(loop);
        done_.notify_all();
    }

    std::mutex mutex_;
    std::condition_variable done_;
    std::map<PictureLook, Entry> entries_;
    std::vector<std::thread> threads_;
};

LoopCache& Cache() {
    static LoopCache cache;
    return cache;
}

}  // namespace

std::shared_ptr<const VideoLoop> TryLoop(const PictureLook& look, bool* failed) {
    return Cache().Get(look, false, failed);
}

std::shared_ptr<const VideoLoop> WaitLoop(const PictureLook& look) {
    return Cache().Get(look, true, nullptr);
}

std::vector<uint8_t> WithPictureSize(std::span<const uint8_t> frame, int width, int height) {
    // The new SPS: constrained baseline, level 5.1, the size in macroblocks, nothing else.
    BitWriter w;
    w.Bits(66, 8);    // profile_idc
    w.Bits(0xC0, 8);  // constraint_set0 and 1
    w.Bits(51, 8);    // level_idc
    w.Ue(0);          // seq_parameter_set_id
    w.Ue(0);          // log2_max_frame_num_minus4
    w.Ue(2);          // pic_order_cnt_type
    w.Ue(1);          // max_num_ref_frames
    w.Bit(0);         // gaps_in_frame_num_value_allowed_flag
    w.Ue(static_cast<unsigned>(std::max(1, width / 16) - 1));
    w.Ue(static_cast<unsigned>(std::max(1, height / 16) - 1));
    w.Bit(1);  // frame_mbs_only_flag
    w.Bit(1);  // direct_8x8_inference_flag
    w.Bit(0);  // frame_cropping_flag
    w.Bit(0);  // vui_parameters_present_flag
    std::vector<uint8_t> sps = {0, 0, 0, 1, 0x67};
    int zeros = 0;
    for (uint8_t b : w.Finish()) {  // with emulation prevention
        if (zeros >= 2 && b <= 3) {
            sps.push_back(3);
            zeros = 0;
        }
        sps.push_back(b);
        zeros = b == 0 ? zeros + 1 : 0;
    }

    // Cut the access unit at its start codes; the SPS (type 7) gives way to the new one.
    std::vector<size_t> starts;  // where each start code begins
    std::vector<size_t> payloads;
    for (size_t i = 0; i + 2 < frame.size(); ++i) {
        if (frame[i] == 0 && frame[i + 1] == 0 && frame[i + 2] == 1) {
            starts.push_back(i > 0 && frame[i - 1] == 0 ? i - 1 : i);
            payloads.push_back(i + 3);
            i += 2;
        }
    }
    std::vector<uint8_t> out;
    bool replaced = false;
    for (size_t n = 0; n < starts.size(); ++n) {
        const size_t end = n + 1 < starts.size() ? starts[n + 1] : frame.size();
        if (payloads[n] < frame.size() && (frame[payloads[n]] & 0x1F) == 7) {
            out.insert(out.end(), sps.begin(), sps.end());
            replaced = true;
        } else {
            out.insert(out.end(), frame.begin() + static_cast<ptrdiff_t>(starts[n]),
                       frame.begin() + static_cast<ptrdiff_t>(end));
        }
    }
    if (!replaced)
        return std::vector<uint8_t>(frame.begin(), frame.end());
    return out;
}

}  // namespace unitsim
