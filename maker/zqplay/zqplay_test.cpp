// libZQPlay through its calling protocol: H.264 made by the ffmpeg program, fed as media frames,
// rendered into windows of the platform layer that report their size and collect the pictures.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <map>
#include <memory>
#include <mutex>
#include <random>
#include <thread>
#include <tuple>
#include <vector>

#include "device/ZQPlay.h"
#include "platform/window_message.h"
#include "player.h"
#include "zqplay/h264_clip.h"
#include "zqplay/picture_window.h"

namespace {

using zqplay_clip::AccessUnit;
using Picture = std::shared_ptr<const platform::WindowPicture>;

// Four quadrants: red top left, green top right, blue bottom left, white bottom right; turned
// half round (white top left ... red bottom right) when `turned`.
std::string Quadrants(int width, int height, bool turned) {
    const char* colours[] = {"red", "lime", "blue", "white"};
    if (turned)
        std::reverse(std::begin(colours), std::end(colours));
    const std::string w = std::to_string(width / 2), h = std::to_string(height / 2);
    return std::string("color=c=") + colours[0] + ":s=" + std::to_string(width) + "x" +
           std::to_string(height) + ":r=25,drawbox=x=" + w + ":y=0:w=" + w + ":h=" + h +
           ":color=" + colours[1] + ":t=fill,drawbox=x=0:y=" + h + ":w=" + w + ":h=" + h +
           ":color=" + colours[2] + ":t=fill,drawbox=x=" + w + ":y=" + h + ":w=" + w + ":h=" + h +
           ":color=" + colours[3] + ":t=fill";
}

struct Clip {
    uint32_t width = 0;
    uint32_t height = 0;
    std::vector<AccessUnit> units;
};

// A quadrant clip of 10 pictures with a key frame every 5, made once per size.
const Clip& QuadrantClip(int width, int height, bool turned = false) {
    static std::map<std::tuple<int, int, bool>, Clip> clips;
    Clip& clip = clips[{width, height, turned}];
    if (clip.units.empty()) {
        clip.width = static_cast<uint32_t>(width);
        clip.height = static_cast<uint32_t>(height);
        clip.units = zqplay_clip::SplitAccessUnits(
            zqplay_clip::EncodeStream(Quadrants(width, height, turned), 10, 5));
    }
    return clip;
}

enum Colour { kRed, kGreen, kBlue, kWhite, kBlack, kMagenta };

uint32_t Pixel(const platform::WindowPicture& p, int x, int y) {
    uint32_t value;
    std::memcpy(&value, p.pixels.data() + static_cast<std::size_t>(y) * p.stride + x * 4, 4);
    return value;
}

bool Is(uint32_t pixel, Colour colour) {
    static const uint32_t rgb[] = {0xff0000, 0x00ff00, 0x0000ff, 0xffffff, 0x000000, 0xff00ff};
    if ((pixel >> 24) != 0xff)
        return false;  // every pixel is opaque
    for (int shift : {16, 8, 0}) {
        const int got = static_cast<int>((pixel >> shift) & 0xff);
        const int want = static_cast<int>((rgb[colour] >> shift) & 0xff);
        if (std::abs(got - want) > 48)
            return false;
    }
    return true;
}

using TestWindow = zqplay_clip::PictureWindow;

// What the draw callback saw; it also paints the picture's origin magenta, as an overlay would.
struct DrawLog {
    std::mutex mutex;
    int calls = 0;
    int surface_width = 0, surface_height = 0;
    int width = 0, height = 0, x = 0, y = 0;
    std::atomic<bool> stopped{false};
    std::atomic<int> after_stop{0};

    static void Draw(ZQPlaySurface* surface, int32_t width, int32_t height, void* user, int32_t x,
                     int32_t y) {
        auto* log = static_cast<DrawLog*>(user);
        if (log->stopped.load())
            ++log->after_stop;
        std::lock_guard lock(log->mutex);
        ++log->calls;
        log->surface_width = surface->width;
        log->surface_height = surface->height;
        log->width = width;
        log->height = height;
        log->x = x;
        log->y = y;
        const uint32_t magenta = 0xffff00ff;
        std::memcpy(surface->pixels + static_cast<std::size_t>(y) * surface->stride + x * 4,
                    &magenta, 4);
    }
};

class ZQPlayTest : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_EQ(ZQPlayInitPlayLib(0, 1, 0), 1); }
    void TearDown() override { ZQPlayDeinitPlayLib(); }

    // A started instance rendering into `window`, with `log` as its draw callback's user.
    ZQPLAY_HANDLE Start(TestWindow& window, DrawLog* log, int keep) {
        const ZQPLAY_HANDLE h = ZQPlayCreatePlayInstance(2);
        EXPECT_NE(h, 0u);
        EXPECT_EQ(ZQPlaySetPlayWnd(h, window.hwnd()), 1);
        EXPECT_EQ(ZQPlayRegisterDrawFun(h, log != nullptr ? &DrawLog::Draw : nullptr, log), 1);
        EXPECT_EQ(ZQPlayRenderActualProportion(h, keep), 1);
        EXPECT_EQ(ZQPlayStartPlay(h), 1);
        return h;
    }

    // Feeds the clip from access unit `from` on; the number of blocks taken.
    static int Feed(ZQPLAY_HANDLE h, const Clip& clip, std::size_t from = 0) {
        int taken = 0;
        for (std::size_t i = from; i < clip.units.size(); ++i) {
            const auto block = zqplay_clip::Block(clip.units[i], clip.width, clip.height,
                                                  static_cast<uint32_t>(i));
            taken += ZQPlayInputNetFrame(h, block.data(), static_cast<int32_t>(block.size()));
        }
        return taken;
    }

    static void Finish(ZQPLAY_HANDLE h) {
        EXPECT_EQ(ZQPlayStopPlay(h), 1);
        EXPECT_EQ(ZQPlayDestroyPlayInstance(h), 1);
    }
};

TEST(PlacePicture, FitsTheViewIntoTheWindow) {
    struct Case {
        int ww, wh, vw, vh;
        bool keep;
        zqplay::Placement want;
    } cases[] = {
        {640, 480, 320, 240, true, {0, 0, 640, 480}},     // same shape
        {800, 400, 320, 240, true, {133, 0, 533, 400}},   // wider window: bars left and right
        {300, 600, 320, 240, true, {0, 187, 300, 225}},   // taller window: bars above and below
        {401, 301, 1920, 1080, true, {0, 37, 401, 226}},  // odd sizes round to the nearest pixel
        {800, 400, 320, 240, false, {0, 0, 800, 400}},    // fill: the whole window
        {5, 1000, 1000, 1, true, {0, 499, 5, 1}},         // never thinner than a pixel
    };
    for (const Case& c : cases) {
        const zqplay::Placement got = zqplay::PlacePicture(c.ww, c.wh, c.vw, c.vh, c.keep);
        EXPECT_EQ(got.x, c.want.x) << c.ww << "x" << c.wh;
        EXPECT_EQ(got.y, c.want.y) << c.ww << "x" << c.wh;
        EXPECT_EQ(got.width, c.want.width) << c.ww << "x" << c.wh;
        EXPECT_EQ(got.height, c.want.height) << c.ww << "x" << c.wh;
    }
}

TEST_F(ZQPlayTest, ClipsAreMadeOfAccessUnitsWithKeyFramesAhead) {
    const Clip& clip = QuadrantClip(320, 240);
    ASSERT_EQ(clip.units.size(), 10u) << "is ffmpeg with libx264 installed?";
    EXPECT_TRUE(clip.units[0].key);
    EXPECT_FALSE(clip.units[1].key);
    EXPECT_TRUE(clip.units[5].key);
}

TEST_F(ZQPlayTest, PictureSizeIsTheDecodedSizeAndFollowsANewSize) {
    TestWindow window(320, 240);
    const ZQPLAY_HANDLE h = Start(window, nullptr, 1);
    int32_t w = -1, hh = -1;
    EXPECT_EQ(ZQPlayGetPlayPicSize(h, &w, &hh), 1);
    EXPECT_EQ(w, 0) << "not known before a picture";
    EXPECT_EQ(hh, 0);
    ASSERT_EQ(Feed(h, QuadrantClip(320, 240)), 10);
    ASSERT_TRUE(window.WaitForPictures(10));
    ZQPlayGetPlayPicSize(h, &w, &hh);
    EXPECT_EQ(w, 320);
    EXPECT_EQ(hh, 240);

    // The unit changes its picture size: a new decoder takes over at the new key frame.
    const std::size_t before = window.Count();
    ASSERT_EQ(Feed(h, QuadrantClip(176, 144)), 10);
    ASSERT_TRUE(window.WaitForPictures(before + 10));
    ZQPlayGetPlayPicSize(h, &w, &hh);
    EXPECT_EQ(w, 176);
    EXPECT_EQ(hh, 144);
    EXPECT_TRUE(Is(Pixel(*window.Last(), 40, 30), kRed));
    EXPECT_TRUE(Is(Pixel(*window.Last(), 280, 200), kWhite));
    Finish(h);
}

TEST_F(ZQPlayTest, DrawCallbackGetsTheFittedAreaAndTheWindowSizedSurface) {
    struct Case {
        int ww, wh, keep;
        int want_w, want_h, want_x, want_y;
    } cases[] = {
        {640, 480, 1, 640, 480, 0, 0},   {800, 400, 1, 533, 400, 133, 0},
        {300, 600, 1, 300, 225, 0, 187}, {800, 400, 0, 800, 400, 0, 0},
        {300, 600, 0, 300, 600, 0, 0},   {161, 121, 1, 161, 121, 0, 0},
    };
    const Clip& clip = QuadrantClip(320, 240);
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.ww) + "x" + std::to_string(c.wh) + " keep " +
                     std::to_string(c.keep));
        TestWindow window(c.ww, c.wh);
        DrawLog log;
        const ZQPLAY_HANDLE h = Start(window, &log, c.keep);
        Feed(h, clip, 5);
        ASSERT_TRUE(window.WaitForPictures(5));
        Finish(h);
        {
            std::lock_guard lock(log.mutex);
            EXPECT_EQ(log.calls, 5);
            EXPECT_EQ(log.surface_width, c.ww);
            EXPECT_EQ(log.surface_height, c.wh);
            EXPECT_EQ(log.width, c.want_w);
            EXPECT_EQ(log.height, c.want_h);
            EXPECT_EQ(log.x, c.want_x);
            EXPECT_EQ(log.y, c.want_y);
        }
        const Picture p = window.Last();
        ASSERT_EQ(p->width, c.ww);
        ASSERT_EQ(p->height, c.wh);
        // The overlay drawn by the callback is on the picture shown.
        EXPECT_EQ(Pixel(*p, c.want_x, c.want_y), 0xffff00ffu);
        // The quadrants lie where the fitted area says; outside it is black.
        const int qx = c.want_x + c.want_w / 4, qy = c.want_y + c.want_h / 4;
        EXPECT_TRUE(Is(Pixel(*p, qx, qy), kRed));
        EXPECT_TRUE(Is(Pixel(*p, qx + c.want_w / 2, qy), kGreen));
        EXPECT_TRUE(Is(Pixel(*p, qx, qy + c.want_h / 2), kBlue));
        EXPECT_TRUE(Is(Pixel(*p, qx + c.want_w / 2, qy + c.want_h / 2), kWhite));
        if (c.want_x > 0)
            EXPECT_TRUE(Is(Pixel(*p, c.want_x / 2, c.wh / 2), kBlack));
        if (c.want_y > 0)
            EXPECT_TRUE(Is(Pixel(*p, c.ww / 2, c.want_y / 2), kBlack));
    }
}

TEST_F(ZQPlayTest, ViewAreaShowsOnlyWhatRemainsOfThePicture) {
    // Margins left, right, top, bottom of a 320x240 picture in a 320x240 window kept in
    // proportion; the colours at the fitted area's quarter points and the fitted area.
    struct Case {
        int left, right, top, bottom;
        Colour top_left, top_right, bottom_left, bottom_right;
        int want_w, want_x;
    } cases[] = {
        {0, 0, 0, 0, kRed, kGreen, kBlue, kWhite, 320, 0},
        {160, 0, 120, 0, kWhite, kWhite, kWhite, kWhite, 320, 0},  // the bottom right quarter
        {160, 0, 0, 0, kGreen, kGreen, kWhite, kWhite, 160, 80},   // the right half, upright
        {0, 0, 0, 120, kRed, kGreen, kRed, kGreen, 320, 0},        // the top half, stretched
        {400, 0, 0, 0, kRed, kGreen, kBlue, kWhite, 320, 0},       // nothing left: the whole
    };
    const Clip& clip = QuadrantClip(320, 240);
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.left) + "," + std::to_string(c.right) + "," +
                     std::to_string(c.top) + "," + std::to_string(c.bottom));
        TestWindow window(320, 240);
        DrawLog log;
        const ZQPLAY_HANDLE h = Start(window, &log, c.top == 0 && c.bottom == 120 ? 0 : 1);
        EXPECT_EQ(ZQPlayAdjustViewArea(h, c.left, c.right, c.top, c.bottom), 1);
        Feed(h, clip, 5);
        ASSERT_TRUE(window.WaitForPictures(5));
        Finish(h);
        const Picture p = window.Last();
        int w, hh, x;
        {
            std::lock_guard lock(log.mutex);
            w = log.width;
            hh = log.height;
            x = log.x;
        }
        EXPECT_EQ(w, c.want_w);
        EXPECT_EQ(x, c.want_x);
        EXPECT_TRUE(Is(Pixel(*p, x + w / 4, hh / 4), c.top_left));
        EXPECT_TRUE(Is(Pixel(*p, x + 3 * w / 4, hh / 4), c.top_right));
        EXPECT_TRUE(Is(Pixel(*p, x + w / 4, 3 * hh / 4), c.bottom_left));
        EXPECT_TRUE(Is(Pixel(*p, x + 3 * w / 4, 3 * hh / 4), c.bottom_right));
    }
    const ZQPLAY_HANDLE h = ZQPlayCreatePlayInstance(2);
    EXPECT_EQ(ZQPlayAdjustViewArea(h, -1, 0, 0, 0), 0) << "negative margins are refused";
    EXPECT_EQ(ZQPlayDestroyPlayInstance(h), 1);
}

TEST_F(ZQPlayTest, ADamagedStreamShowsAgainFromTheNextKeyFrame) {
    const Clip& clip = QuadrantClip(320, 240);
    const Clip& turned = QuadrantClip(320, 240, true);
    std::mt19937 random(16);
    auto garbage = [&](std::size_t size) {
        std::vector<uint8_t> bytes(size);
        for (auto& b : bytes)
            b = static_cast<uint8_t>(random());
        return bytes;
    };
    auto header = [&](uint32_t width, uint32_t height, bool key, std::vector<uint8_t> payload) {
        AccessUnit unit{std::move(payload), key};
        return zqplay_clip::Block(unit, width, height, 0);
    };
    std::vector<uint8_t> flipped = clip.units[0].bytes;  // a key frame with damaged slices
    for (std::size_t i = 40; i < flipped.size(); i += 7)
        flipped[i] ^= 0x5a;
    std::vector<uint8_t> truncated(
        clip.units[0].bytes.begin(),
        clip.units[0].bytes.begin() + static_cast<std::ptrdiff_t>(clip.units[0].bytes.size() / 2));
    struct Damage {
        const char* name;
        std::vector<uint8_t> block;
        bool refused;  // ZQPlayInputNetFrame returns 0 for it
    } damages[] = {
        {"garbage without a header", garbage(5000), true},
        {"a header alone", header(320, 240, true, {}), true},
        {"garbage as a key frame", header(320, 240, true, garbage(5000)), false},
        {"a truncated key frame", header(320, 240, true, truncated), false},
        {"a damaged key frame", header(320, 240, true, flipped), false},
        {"a 16384x16384 picture", header(16384, 16384, true, clip.units[0].bytes), true},
        {"a key frame under a wrong size", header(4096, 2160, true, clip.units[0].bytes), false},
        {"garbage as a following frame", header(320, 240, false, garbage(3000)), false},
    };
    TestWindow window(320, 240);
    const ZQPLAY_HANDLE h = Start(window, nullptr, 1);
    ASSERT_EQ(Feed(h, clip), 10);
    ASSERT_TRUE(window.WaitForPictures(10));
    for (const Damage& d : damages) {
        SCOPED_TRACE(d.name);
        Feed(h, clip, 0);  // a good key frame first, so damage reaches a running decoder
        EXPECT_EQ(ZQPlayInputNetFrame(h, d.block.data(), static_cast<int32_t>(d.block.size())),
                  d.refused ? 0 : 1);
        for (int i = 0; i < 3; ++i) {  // following frames of the damaged picture
            const auto block = zqplay_clip::Block(clip.units[1 + i], 320, 240, 1);
            ZQPlayInputNetFrame(h, block.data(), static_cast<int32_t>(block.size()));
        }
        // The next key frame (of a picture turned half round, to tell it apart) shows again.
        ASSERT_EQ(Feed(h, turned, 5), 5) << "the next key frame is taken";
        EXPECT_TRUE(window.WaitUntilLast([](const platform::WindowPicture& p) {
            return Is(Pixel(p, 80, 60), kWhite) && Is(Pixel(p, 240, 180), kRed);
        }));
    }
    EXPECT_EQ(ZQPlayInputNetFrame(h, nullptr, 100), 0);
    EXPECT_EQ(ZQPlayInputNetFrame(h, clip.units[0].bytes.data(), -1), 0);
    int32_t w = 0, hh = 0;
    ZQPlayGetPlayPicSize(h, &w, &hh);
    EXPECT_EQ(w, 320);
    EXPECT_EQ(hh, 240);
    Finish(h);
}

// A draw callback that holds the decoding thread until released, so the queue fills up.
struct Gate {
    std::mutex mutex;
    std::condition_variable cv;
    bool open = false;
    bool entered = false;
    static void Draw(ZQPlaySurface*, int32_t, int32_t, void* user, int32_t, int32_t) {
        auto* gate = static_cast<Gate*>(user);
        std::unique_lock lock(gate->mutex);
        gate->entered = true;
        gate->cv.notify_all();
        gate->cv.wait(lock, [&] { return gate->open; });
    }
};

TEST_F(ZQPlayTest, AFullQueueDropsUntilTheNextKeyFrame) {
    const Clip& clip = QuadrantClip(176, 144);
    TestWindow window(176, 144);
    Gate gate;
    const ZQPLAY_HANDLE h = ZQPlayCreatePlayInstance(2);
    ZQPlaySetPlayWnd(h, window.hwnd());
    ZQPlayRegisterDrawFun(h, &Gate::Draw, &gate);
    ZQPlayStartPlay(h);
    auto put = [&](std::size_t unit) {
        const auto block = zqplay_clip::Block(clip.units[unit], clip.width, clip.height, 0);
        return ZQPlayInputNetFrame(h, block.data(), static_cast<int32_t>(block.size()));
    };
    EXPECT_EQ(put(1), 0) << "a stream starts at a key frame";
    ASSERT_EQ(put(0), 1);
    {
        std::unique_lock lock(gate.mutex);
        ASSERT_TRUE(gate.cv.wait_for(lock, std::chrono::seconds(30), [&] { return gate.entered; }));
    }
    std::size_t taken = 0;
    for (std::size_t i = 0; i < zqplay::kMaxQueuedFrames; ++i)
        taken += static_cast<std::size_t>(put(1 + i % 4));
    EXPECT_EQ(taken, zqplay::kMaxQueuedFrames) << "the decoder is held: all of these wait";
    EXPECT_EQ(put(1), 0) << "full";
    EXPECT_EQ(put(2), 0) << "after a refusal, only a key frame is taken";
    EXPECT_EQ(put(5), 1) << "a key frame replaces what waits";
    EXPECT_EQ(put(6), 1);
    {
        std::lock_guard lock(gate.mutex);
        gate.open = true;
    }
    gate.cv.notify_all();
    ASSERT_TRUE(window.WaitForPictures(3)) << "the first picture, the key frame and its follower";
    Finish(h);
    EXPECT_EQ(window.Count(), 3u);
}

TEST_F(ZQPlayTest, NoDrawCallbackAfterStopOrDestroyWhileDataFlows) {
    const Clip& clip = QuadrantClip(176, 144);
    for (bool destroy_first : {false, true}) {
        SCOPED_TRACE(destroy_first ? "destroy" : "stop, then destroy");
        TestWindow window(200, 100);
        DrawLog log;
        const ZQPLAY_HANDLE h = Start(window, &log, 1);
        std::atomic<bool> feeding{true};
        std::thread feeder([&] {
            while (feeding.load())
                Feed(h, clip);
        });
        ASSERT_TRUE(window.WaitForPictures(3));
        if (!destroy_first)
            EXPECT_EQ(ZQPlayStopPlay(h), 1);
        EXPECT_EQ(ZQPlayDestroyPlayInstance(h), 1);
        log.stopped = true;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        EXPECT_EQ(Feed(h, clip), 0) << "the handle is forgotten";
        feeding = false;
        feeder.join();
        EXPECT_EQ(log.after_stop.load(), 0);
    }

    // Deinit stops and destroys what the caller left running.
    TestWindow window(200, 100);
    DrawLog log;
    const ZQPLAY_HANDLE h = Start(window, &log, 0);
    Feed(h, clip);
    ZQPlayDeinitPlayLib();
    log.stopped = true;
    EXPECT_EQ(ZQPlayIsInitialised(), 0);
    EXPECT_EQ(Feed(h, clip), 0);
    EXPECT_EQ(ZQPlayStopPlay(h), 0);
    EXPECT_EQ(log.after_stop.load(), 0);
}

TEST_F(ZQPlayTest, StoppingFromTheDrawCallbackIsRefusedInsteadOfHanging) {
    struct Self {
        ZQPLAY_HANDLE handle = 0;
        std::atomic<int> stop_result{-1};
        std::atomic<int> destroy_result{-1};
        static void Draw(ZQPlaySurface*, int32_t, int32_t, void* user, int32_t, int32_t) {
            auto* self = static_cast<Self*>(user);
            self->stop_result = ZQPlayStopPlay(self->handle);
            self->destroy_result = ZQPlayDestroyPlayInstance(self->handle);
            ZQPlayDeinitPlayLib();  // ignored here
        }
    } self;
    TestWindow window(176, 144);
    self.handle = ZQPlayCreatePlayInstance(2);
    ZQPlaySetPlayWnd(self.handle, window.hwnd());
    ZQPlayRegisterDrawFun(self.handle, &Self::Draw, &self);
    ZQPlayStartPlay(self.handle);
    Feed(self.handle, QuadrantClip(176, 144), 5);
    ASSERT_TRUE(window.WaitForPictures(1));
    EXPECT_EQ(self.stop_result.load(), 0);
    EXPECT_EQ(self.destroy_result.load(), 0);
    EXPECT_EQ(ZQPlayIsInitialised(), 1);
    Finish(self.handle);
}

TEST_F(ZQPlayTest, UnknownHandlesAndAnUnpreparedLibraryAreRefused) {
    const Clip& clip = QuadrantClip(176, 144);
    for (ZQPLAY_HANDLE h : {0u, 12345u}) {
        SCOPED_TRACE(h);
        EXPECT_EQ(ZQPlaySetPlayWnd(h, 1), 0);
        EXPECT_EQ(ZQPlayRegisterDrawFun(h, nullptr, nullptr), 0);
        EXPECT_EQ(ZQPlayRenderActualProportion(h, 1), 0);
        EXPECT_EQ(ZQPlayStartPlay(h), 0);
        EXPECT_EQ(Feed(h, clip), 0);
        int32_t w = 7, hh = 7;
        EXPECT_EQ(ZQPlayGetPlayPicSize(h, &w, &hh), 0);
        EXPECT_EQ(w, 0);
        EXPECT_EQ(hh, 0);
        EXPECT_EQ(ZQPlayAdjustViewArea(h, 0, 0, 0, 0), 0);
        EXPECT_EQ(ZQPlayStopPlay(h), 0);
        EXPECT_EQ(ZQPlayDestroyPlayInstance(h), 0);
    }
    const ZQPLAY_HANDLE h = ZQPlayCreatePlayInstance(2);
    EXPECT_EQ(Feed(h, clip), 0) << "not started: nothing is taken";
    EXPECT_EQ(ZQPlayGetPlayPicSize(h, nullptr, nullptr), 0);
    EXPECT_EQ(ZQPlayDestroyPlayInstance(h), 1);
    EXPECT_EQ(ZQPlayDestroyPlayInstance(h), 0) << "a destroyed handle is unknown";
    const ZQPLAY_HANDLE next = ZQPlayCreatePlayInstance(2);
    EXPECT_NE(next, h) << "handles are not reused";
    ZQPlayDeinitPlayLib();
    ZQPlayDeinitPlayLib();  // harmless twice
    EXPECT_EQ(ZQPlayCreatePlayInstance(2), 0u);
    EXPECT_EQ(ZQPlayStartPlay(next), 0) << "deinit destroyed it";
}

// The renderer reuses its pictures: one the window (or anyone else) still holds is never
// written into while newest pictures are read and let go on this thread.
TEST_F(ZQPlayTest, PicturesAreReusedOnlyOnceTheirReadersHaveLetThemGo) {
    TestWindow window(400, 240);  // kept in proportion: black bars left and right
    const ZQPLAY_HANDLE h = Start(window, nullptr, 1);
    ASSERT_EQ(Feed(h, QuadrantClip(320, 240)), 10);
    ASSERT_TRUE(window.WaitForPictures(10));
    const Picture held = window.Last();
    ASSERT_TRUE(held);
    const std::vector<uint8_t> before = held->pixels;
    ASSERT_TRUE(Is(Pixel(*held, 40 + 80, 60), kRed));

    std::size_t shown = window.Count();
    uint64_t looked = 0;
    for (int round = 0; round < 6; ++round) {
        ASSERT_EQ(Feed(h, QuadrantClip(320, 240, round % 2 == 1)), 10);
        shown += 10;
        // Read each newest picture while the renderer works, then let it go.
        while (window.Count() < shown) {
            if (const Picture seen = window.Last()) {
                looked += static_cast<uint64_t>(seen->width) + seen->pixels.size() +
                          Pixel(*seen, seen->width / 2, seen->height / 2);
            }
            std::this_thread::yield();
        }
    }
    EXPECT_GT(looked, 0u);
    EXPECT_EQ(held->width, 400);
    EXPECT_TRUE(held->pixels == before) << "a picture still held was written into";
    EXPECT_TRUE(Is(Pixel(*window.Last(), 40 + 80, 60), kWhite)) << "the last round was turned";
    Finish(h);
}

TEST_F(ZQPlayTest, AnInstanceWithoutAWindowOnlyDecodes) {
    DrawLog log;
    const ZQPLAY_HANDLE h = ZQPlayCreatePlayInstance(2);
    ZQPlayRegisterDrawFun(h, &DrawLog::Draw, &log);
    ZQPlayStartPlay(h);
    Feed(h, QuadrantClip(176, 144));
    int32_t w = 0, hh = 0;
    for (int i = 0; i < 3000 && w == 0; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        ZQPlayGetPlayPicSize(h, &w, &hh);
    }
    EXPECT_EQ(w, 176);
    Finish(h);
    std::lock_guard lock(log.mutex);
    EXPECT_EQ(log.calls, 0);
}

}  // namespace
