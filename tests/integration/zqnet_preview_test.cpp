// libZQNet's live preview against simulated cameras on loopback (plain and TLS): the camera
// tabs' order of calls (start, subscribe and preview before the login outcome), status 101 then
// 202 to a notification window, whole media frames that decode to the picture's size, stopping
// and releasing while frames flow, and cameras that send bad streams.
#include <gtest/gtest.h>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/frame.h>
}

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <span>
#include <string>
#include <thread>
#include <vector>

#include "device/ZQNet.h"
#include "platform/window_message.h"
#include "protocol/media_frame.h"
#include "support/connection_reports.h"
#include "support/posted_messages.h"
#include "unit-sim/config.h"
#include "unit-sim/simulator.h"

namespace {

using namespace std::chrono_literals;
using Posted = PostedMessages::List;
using Window = PostedMessages;

constexpr unsigned kStatusMessage = 1649;
constexpr const char* kCamera = "127.0.46.1";    // 1280x960, as the line file's cameras default
constexpr const char* kSmall = "127.0.46.2";     // 320x240, for the many fault cases
constexpr const char* kRecorder = "127.0.46.3";  // no video

// The preview's data callback: keeps every block, counts calls made after it was told to stop.
struct Blocks {
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<std::vector<std::uint8_t>> blocks;
    std::size_t max_blocks = 200;
    std::size_t calls = 0;

    static int32_t OnData(const uint8_t* data, int32_t length, void* user) {
        auto* b = static_cast<Blocks*>(user);
        std::lock_guard lock(b->mutex);
        ++b->calls;
        if (b->blocks.size() < b->max_blocks)
            b->blocks.emplace_back(data, data + length);
        b->changed.notify_all();
        return 1;
    }
    std::size_t Wait(std::size_t n, std::chrono::milliseconds limit = 15s) {
        std::unique_lock lock(mutex);
        changed.wait_for(lock, limit, [&] { return calls >= n; });
        return calls;
    }
    std::size_t Calls() {
        std::lock_guard lock(mutex);
        return calls;
    }
    std::vector<zqproto::MediaFrame> Frames() {  // every block parsed (fails the test if not)
        std::lock_guard lock(mutex);
        std::vector<zqproto::MediaFrame> frames;
        for (const auto& b : blocks) {
            zqproto::MediaFrame f;
            EXPECT_TRUE(zqproto::ParseMediaFrame(b, f));
            frames.push_back(f);
        }
        return frames;
    }
};

// H.264 decoding of the blocks' payloads with libavcodec.
class Decoder {
  public:
    Decoder() {
        const AVCodec* codec = avcodec_find_decoder(AV_CODEC_ID_H264);
        context_ = avcodec_alloc_context3(codec);
        EXPECT_EQ(avcodec_open2(context_, codec, nullptr), 0);
        packet_ = av_packet_alloc();
        frame_ = av_frame_alloc();
    }
    ~Decoder() {
        av_frame_free(&frame_);
        av_packet_free(&packet_);
        avcodec_free_context(&context_);
    }
    void Feed(std::span<const std::uint8_t> payload) {
        std::vector<std::uint8_t> padded(payload.begin(), payload.end());
        padded.resize(payload.size() + AV_INPUT_BUFFER_PADDING_SIZE, 0);
        packet_->data = padded.data();
        packet_->size = static_cast<int>(payload.size());
        if (avcodec_send_packet(context_, packet_) < 0)
            return;
        while (avcodec_receive_frame(context_, frame_) == 0) {
            ++decoded;
            sizes.emplace_back(frame_->width, frame_->height);
        }
    }
    int decoded = 0;
    std::vector<std::pair<int, int>> sizes;

  private:
    AVCodecContext* context_ = nullptr;
    AVPacket* packet_ = nullptr;
    AVFrame* frame_ = nullptr;
};

// One camera tab's side of a preview: its window, its alarms, the blocks, its handles.
struct Tab {
    Window window;
    ConnectionReports events;
    Blocks blocks;
    ZQNET_HANDLE connection = 0;
    ZQNET_HANDLE preview = 0;
};

std::int64_t NowMicroseconds() {
    return std::chrono::duration_cast<std::chrono::microseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

class PreviewTest : public ::testing::TestWithParam<int> {
  protected:
    static void SetUpTestSuite() {
        setenv("ZQNET_LOGIN_TIMEOUT_MS", "3000", 1);
        setenv("ZQNET_CALL_TIMEOUT_MS", "3000", 1);
    }
    void SetUp() override {
        // The cameras as a line file gives them.
        const std::string lines =
            std::string(R"({"address":")") + kCamera +
            R"(","device_kind":4,"lens_calibration":true,"calibration_ms":50,)"
            R"("picture":[1280,960],"fisheye":[640,480,450],"password":"pw"})"
            "\n"
            R"({"address":")" +
            kSmall +
            R"(","device_kind":4,"picture":[320,240],"password":"pw"})"
            "\n"
            R"({"address":")" +
            kRecorder + R"(","device_kind":2,"password":"pw"})";
        std::vector<unitsim::UnitConfig> units;
        std::string error;
        ASSERT_TRUE(unitsim::ParseUnitLines(lines, units, error)) << error;
        for (auto& u : units)
            u.mediaPort = u.searchPort = 0;
        ASSERT_TRUE(sim_.Start(units, error)) << error;
        ASSERT_EQ(ZQNetInit(), 1);
        ASSERT_EQ(ZQNetSetEncription(GetParam()), 1);
    }
    void TearDown() override {
        ZQNetRelease();
        sim_.Stop();
    }

    // The camera tabs' start: a notification window with message 1649, the event callback for
    // alarms; then, before the login outcome, the alarm subscription and the preview.
    void StartLikeATab(const char* address, Tab& tab, const char* password = "pw") {
        ZQNetConnectionRecord record{};
        record.address = address;
        record.port = sim_.Find(address)->config().mediaPort;
        record.user = "admin";
        record.password = password;
        record.notifyWindow = tab.window.handle;
        record.notifyMessage = kStatusMessage;
        record.userValue = &tab.events;
        record.useNotifyWindow = 1;
        record.eventCallback = ConnectionReports::OnEvent;
        tab.connection = ZQNetConnectionStartEx(&record);
        EXPECT_NE(tab.connection, 0u);
        EXPECT_EQ(ZQNetAlarmSubscribe(tab.connection, 1), 1);
        tab.preview = ZQNetStartPreview(tab.connection, &Request(tab.window, tab.blocks));
        EXPECT_NE(tab.preview, 0u);
    }
    ZQNetPreviewRequest& Request(Window& window, Blocks& blocks) {
        request_ = {};
        request_.stream = 1;
        request_.dataCallback = Blocks::OnData;
        request_.userValue = &blocks;
        request_.notifyWindow = window.handle;
        request_.notifyMessage = kStatusMessage;
        return request_;
    }
    // Waits until the unit streams to nobody.
    void ExpectStreamsEnd(const char* address) {
        for (int i = 0; i < 300 && sim_.Find(address)->State().streams != 0; ++i)
            std::this_thread::sleep_for(10ms);
        EXPECT_EQ(sim_.Find(address)->State().streams, 0);
    }

    unitsim::Simulator sim_;
    ZQNetPreviewRequest request_{};
};

INSTANTIATE_TEST_SUITE_P(Encryption, PreviewTest, ::testing::Values(0, 1));

TEST_P(PreviewTest, CallsBeforeTheLoginTakeEffectAndFramesDecodeAtThePictureSize) {
    Tab tab;
    const std::int64_t started = NowMicroseconds();
    StartLikeATab(kCamera, tab);
    auto& [window, events, blocks, h, preview] = tab;
    EXPECT_EQ(window.Wait(2), (Posted{{kStatusMessage, ZQNET_STATUS_LOGGED_IN},
                                      {kStatusMessage, ZQNET_STATUS_PREVIEW_STARTED}}));
    ASSERT_GE(blocks.Wait(40), 40u);

    // Every block is one whole media frame of the camera's picture, numbered from 0.
    std::vector<zqproto::MediaFrame> frames = blocks.Frames();
    Decoder decoder;
    for (std::size_t i = 0; i < frames.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(frames[i].width, 1280u);
        EXPECT_EQ(frames[i].height, 960u);
        EXPECT_EQ(frames[i].number, i);
        EXPECT_EQ((frames[i].flags & zqproto::kMediaKeyFrame) != 0, i % 25 == 0);
        EXPECT_GE(static_cast<std::int64_t>(frames[i].capture_us), started);
        EXPECT_LE(static_cast<std::int64_t>(frames[i].capture_us), NowMicroseconds());
        decoder.Feed(frames[i].payload);
    }
    EXPECT_GE(decoder.decoded, static_cast<int>(frames.size()) - 2);  // a frame or two may wait
    for (auto [w, hgt] : decoder.sizes)
        ASSERT_EQ(std::make_pair(w, hgt), std::make_pair(1280, 960));

    // The alarm subscription made before the login works: the calibration's alarms arrive.
    ASSERT_EQ(ZQNetPTZControl(h, ZQNET_PTZ_LENS_CALIBRATION, nullptr), 1);
    {
        std::unique_lock lock(events.mutex);
        events.changed.wait_for(lock, 5s, [&tab] { return tab.events.events.size() >= 2; });
        ASSERT_EQ(events.events.size(), 2u);
        EXPECT_EQ(events.events[0].first, ZQNET_ALARM_LENS_CALIBRATION);
        EXPECT_EQ(events.events[0].second.size(), 56u);
        EXPECT_EQ(events.events[0].second[24], 1);
        EXPECT_EQ(events.events[1].second[24], 0);
    }

    // After the stop no block comes; the unit stops streaming.
    EXPECT_EQ(ZQNetStopPreview(h, &preview), 1);
    const std::size_t calls = blocks.Calls();
    std::this_thread::sleep_for(200ms);
    EXPECT_EQ(blocks.Calls(), calls);
    ExpectStreamsEnd(kCamera);
    EXPECT_EQ(ZQNetStopPreview(h, &preview), 0);  // gone
    EXPECT_EQ(window.Wait(2, 0ms).size(), 2u);    // nothing else was posted
    // Preview and subscription still work on the logged-in connection.
    Blocks again;
    ZQNET_HANDLE second = ZQNetStartPreview(h, &Request(window, again));
    EXPECT_NE(second, 0u);
    EXPECT_NE(second, preview);
    EXPECT_GE(again.Wait(3), 3u);
    EXPECT_EQ(again.Frames().front().number, 0u);
    EXPECT_EQ(ZQNetConnectionStop(&h), 1);
}

TEST_P(PreviewTest, EachPreviewTellsItsOwnWindowAfterTheLoginOutcome) {
    Tab tab;
    StartLikeATab(kSmall, tab);
    Window& window = tab.window;
    Window second_window;
    Blocks& one = tab.blocks;
    Blocks two, three;
    ZQNET_HANDLE same_window = ZQNetStartPreview(tab.connection, &Request(window, two));
    ZQNET_HANDLE other_window = ZQNetStartPreview(tab.connection, &Request(second_window, three));
    EXPECT_NE(same_window, 0u);
    EXPECT_NE(other_window, 0u);
    // 101 first, then one 202 for each preview, to the window of its request.
    EXPECT_EQ(window.Wait(3), (Posted{{kStatusMessage, ZQNET_STATUS_LOGGED_IN},
                                      {kStatusMessage, ZQNET_STATUS_PREVIEW_STARTED},
                                      {kStatusMessage, ZQNET_STATUS_PREVIEW_STARTED}}));
    EXPECT_EQ(second_window.Wait(1), (Posted{{kStatusMessage, ZQNET_STATUS_PREVIEW_STARTED}}));
    for (Blocks* b : {&one, &two, &three}) {
        ASSERT_GE(b->Wait(3), 3u);
        EXPECT_EQ(b->Frames().front().number, 0u);
    }
    EXPECT_EQ(sim_.Find(kSmall)->State().streams, 3);
    EXPECT_EQ(ZQNetStopPreview(tab.connection, &same_window), 1);
    const std::size_t calls = two.Calls();
    EXPECT_GE(one.Wait(one.Calls() + 5), 5u);  // the others go on
    EXPECT_EQ(two.Calls(), calls);
    EXPECT_EQ(ZQNetConnectionStop(&tab.connection), 1);
}

TEST_P(PreviewTest, StopOrReleaseWhileFramesFlow) {
    {
        SCOPED_TRACE("ZQNetConnectionStop");
        Tab tab;
        StartLikeATab(kSmall, tab);
        auto& [window, events, blocks, h, preview] = tab;
        ASSERT_GE(blocks.Wait(5), 5u);
        EXPECT_EQ(ZQNetConnectionStop(&h), 1);
        const std::size_t calls = blocks.Calls();
        std::this_thread::sleep_for(200ms);
        EXPECT_EQ(blocks.Calls(), calls);
        EXPECT_EQ(ZQNetStopPreview(h, &preview), 0);  // the connection is gone
        ExpectStreamsEnd(kSmall);
        // Nothing after the stop, not even "connection lost".
        EXPECT_EQ(window.Wait(3, 100ms).size(), 2u);
    }
    {
        SCOPED_TRACE("ZQNetRelease");
        Tab small, large;
        StartLikeATab(kSmall, small);
        StartLikeATab(kCamera, large);
        Blocks& one = small.blocks;
        Blocks& two = large.blocks;
        ASSERT_GE(one.Wait(5), 5u);
        ASSERT_GE(two.Wait(5), 5u);
        const auto t0 = std::chrono::steady_clock::now();
        EXPECT_EQ(ZQNetRelease(), 1);
        EXPECT_LT(std::chrono::steady_clock::now() - t0, 2s);
        const std::size_t calls = one.Calls() + two.Calls();
        std::this_thread::sleep_for(200ms);
        EXPECT_EQ(one.Calls() + two.Calls(), calls);
        ExpectStreamsEnd(kSmall);
        ExpectStreamsEnd(kCamera);
        ASSERT_EQ(ZQNetInit(), 1);
        ASSERT_EQ(ZQNetSetEncription(GetParam()), 1);
    }
    {
        SCOPED_TRACE("a preview stopped before the login outcome is never asked for");
        Tab tab;
        StartLikeATab(kSmall, tab);
        auto& [window, events, blocks, h, preview] = tab;
        EXPECT_EQ(ZQNetStopPreview(h, &preview), 1);
        EXPECT_EQ(window.Wait(1), (Posted{{kStatusMessage, ZQNET_STATUS_LOGGED_IN}}));
        std::this_thread::sleep_for(200ms);
        EXPECT_EQ(blocks.Calls(), 0u);
        EXPECT_EQ(window.Wait(2, 0ms).size(), 1u);
        EXPECT_EQ(sim_.Find(kSmall)->State().streams, 0);
        ZQNetConnectionStop(&h);
    }
}

TEST_P(PreviewTest, RefusedAndUnusableRequests) {
    // A recorder streams nothing: the remembered preview gets no 202; a later one is refused.
    Tab tab;
    StartLikeATab(kRecorder, tab);
    auto& [window, events, blocks, h, preview] = tab;
    EXPECT_EQ(window.Wait(1), (Posted{{kStatusMessage, ZQNET_STATUS_LOGGED_IN}}));
    EXPECT_EQ(ZQNetStartPreview(h, &Request(window, blocks)), 0u);
    ZQNetDeviceInfo info{};
    EXPECT_EQ(ZQNetGetDevInfo(h, &info, sizeof info), 1);  // the connection goes on
    EXPECT_EQ(window.Wait(2, 100ms).size(), 1u);
    EXPECT_EQ(blocks.Calls(), 0u);
    ZQNetConnectionStop(&h);

    ZQNetPreviewRequest no_callback = Request(window, blocks);
    no_callback.dataCallback = nullptr;
    EXPECT_EQ(ZQNetStartPreview(h, &Request(window, blocks)), 0u);  // stopped connection
    EXPECT_EQ(ZQNetStartPreview(0, &Request(window, blocks)), 0u);
    EXPECT_EQ(ZQNetStartPreview(h, nullptr), 0u);
    EXPECT_EQ(ZQNetStopPreview(h, nullptr), 0);
    ZQNET_HANDLE none = 0;
    EXPECT_EQ(ZQNetStopPreview(h, &none), 0);

    // A failed login: the remembered preview and subscription come to nothing.
    Tab failed;
    StartLikeATab(kSmall, failed, "wrong");
    EXPECT_EQ(failed.window.Wait(1), (Posted{{kStatusMessage, ZQNET_STATUS_WRONG_PASSWORD}}));
    EXPECT_EQ(ZQNetAlarmSubscribe(failed.connection, 1), 0);
    EXPECT_EQ(ZQNetStartPreview(failed.connection, &no_callback), 0u);
    EXPECT_EQ(ZQNetStartPreview(failed.connection, &Request(failed.window, failed.blocks)), 0u);
    EXPECT_EQ(ZQNetStopPreview(failed.connection, &failed.preview), 1);
    EXPECT_EQ(failed.blocks.Calls(), 0u);
    ZQNetConnectionStop(&failed.connection);
}

// Cameras that send bad streams: whole, well-formed media frames reach the callback, nothing
// else; nothing crashes or hangs, and a lost connection is reported.
TEST_P(PreviewTest, BadStreamsGiveOnlyWholeWellFormedFrames) {
    struct Case {
        const char* name;
        unitsim::Fault fault;
        bool preview_starts;   // status 202 comes
        std::size_t wait_for;  // blocks to wait for
        std::size_t at_most;   // blocks that may come at all (0: any number)
        bool lost;             // the connection is lost (status 150)
    } cases[] = {
        {"the start is refused", {.failWrite = true}, false, 0, 0, false},
        {"never streams", {.noStream = true}, false, 0, 0, false},
        {"stops in the middle of a frame", {.stopAfter = 3}, true, 3, 3, false},
        {"drops the connection mid-preview", {.dropAfter = 3}, true, 3, 3, true},
        {"truncated frames", {.truncate = true}, true, 6, 0, false},
        {"garbage", {.garbage = true}, true, 4, 0, false},
        {"16384x16384 pictures", {.hugePicture = true}, true, 30, 0, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        sim_.Find(kSmall)->SetFault(unitsim::kFaultPreview, c.fault);
        Tab tab;
        StartLikeATab(kSmall, tab);
        auto& [window, events, blocks, h, preview] = tab;
        Posted expected = {{kStatusMessage, ZQNET_STATUS_LOGGED_IN}};
        if (c.preview_starts)
            expected.emplace_back(kStatusMessage, ZQNET_STATUS_PREVIEW_STARTED);
        if (c.lost)
            expected.emplace_back(kStatusMessage, ZQNET_STATUS_CONNECTION_LOST);
        EXPECT_EQ(window.Wait(expected.size()), expected);
        EXPECT_GE(blocks.Wait(c.wait_for), c.wait_for);
        std::this_thread::sleep_for(300ms);  // room for anything that should not come
        EXPECT_EQ(window.Wait(expected.size() + 1, 0ms), expected);
        if (c.at_most != 0)
            EXPECT_EQ(blocks.Calls(), c.at_most);
        if (!c.preview_starts)
            EXPECT_EQ(blocks.Calls(), 0u);
        Decoder decoder;
        for (const zqproto::MediaFrame& f : blocks.Frames()) {
            EXPECT_EQ(f.width, 320u);
            EXPECT_EQ(f.height, 240u);
            if (c.fault.truncate || c.fault.garbage)
                EXPECT_EQ(f.number % 2, 0u) << f.number;  // the odd ones were cut or random
            decoder.Feed(f.payload);
        }
        for (auto [w, hgt] : decoder.sizes)
            EXPECT_EQ(std::make_pair(w, hgt), std::make_pair(320, 240));
        if (c.fault.hugePicture) {  // the first key frame is gone, the second is there
            auto frames = blocks.Frames();
            ASSERT_FALSE(frames.empty());
            EXPECT_EQ(frames.front().number, 1u);
            EXPECT_EQ(frames[24].number, 25u);
        }
        if (!c.lost) {
            ZQNetDeviceInfo info{};
            EXPECT_EQ(ZQNetGetDevInfo(h, &info, sizeof info), 1);  // the session goes on
        }
        EXPECT_EQ(ZQNetStopPreview(h, &preview), 1);
        EXPECT_EQ(ZQNetConnectionStop(&h), 1);
        sim_.Find(kSmall)->ClearFaults();
        ExpectStreamsEnd(kSmall);
    }
}

}  // namespace
