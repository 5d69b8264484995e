// The delay of a live preview from the camera to the screen: a simulated camera in this process
// streams its picture at 25 frames a second, libZQNet's preview hands every block to libZQPlay
// (ZQPlayInputNetFrame, as the camera tabs do), and libZQPlay decodes, scales and draws it into
// a window of the platform layer. The delay of a picture is the time the window receives it
// (platform::ShowWindowPicture reaching the window's receiver) less the capture time in its
// media frame (the host's wall clock when the camera sent it), both on the same clock. The
// player shows pictures in order, one per block it takes, so the n-th block taken is matched
// with the n-th picture shown; blocks the player refused are counted and printed.
//   preview_latency_bench [seconds]      (default 10, for 1280x960 and 2592x1944)
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <span>
#include <string>
#include <thread>
#include <vector>

#include "device/ZQNet.h"
#include "device/ZQPlay.h"
#include "platform/window_message.h"
#include "protocol/media_frame.h"
#include "unit-sim/config.h"
#include "unit-sim/simulator.h"
#include "unit-sim/video.h"

namespace {

constexpr double kAimMs = 100;
constexpr int kWindowWidth = 960;  // a preview pane's picture area
constexpr int kWindowHeight = 720;

std::int64_t NowMicroseconds() {
    return std::chrono::duration_cast<std::chrono::microseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

// The window: notes when each picture arrives.
class TimedWindow final : private platform::MessageReceiver {
  public:
    TimedWindow() : handle_(platform::RegisterWindow(this)) {
        platform::SetWindowClientSize(handle_, kWindowWidth, kWindowHeight);
    }
    ~TimedWindow() { platform::UnregisterWindow(handle_); }
    TimedWindow(const TimedWindow&) = delete;
    TimedWindow& operator=(const TimedWindow&) = delete;

    ZQPLAY_HWND hwnd() const { return handle_; }
    std::vector<std::int64_t> Arrivals() {
        std::lock_guard lock(mutex_);
        return arrivals_;
    }

  private:
    void OnPost(unsigned, std::uintptr_t, std::intptr_t) override {}
    void OnPicture(std::shared_ptr<const platform::WindowPicture> picture) override {
        const std::int64_t now = NowMicroseconds();
        std::lock_guard lock(mutex_);
        if (picture)
            arrivals_.push_back(now);
    }

    platform::WindowHandle handle_;
    std::mutex mutex_;
    std::vector<std::int64_t> arrivals_;
};

// The preview's data callback: hands each block to the player and notes the capture times of
// those it took.
struct Feed {
    ZQPLAY_HANDLE player = 0;
    std::mutex mutex;
    std::vector<std::int64_t> captures;
    long received = 0;
    long refused = 0;

    static int32_t OnData(const uint8_t* data, int32_t length, void* user) {
        auto* feed = static_cast<Feed*>(user);
        zqproto::MediaFrame frame;
        const bool parsed = zqproto::ParseMediaFrame(
            std::span<const uint8_t>(data, static_cast<std::size_t>(length)), frame);
        const bool taken = ZQPlayInputNetFrame(feed->player, data, length) != 0;
        std::lock_guard lock(feed->mutex);
        ++feed->received;
        if (taken && parsed)
            feed->captures.push_back(static_cast<std::int64_t>(frame.capture_us));
        else
            ++feed->refused;
        return 1;
    }
};

void OnStatus(int32_t, void*) {}

double Percentile(const std::vector<double>& sorted, double p) {
    const auto rank = static_cast<std::size_t>(std::ceil(p * static_cast<double>(sorted.size())));
    return sorted[std::clamp<std::size_t>(rank, 1, sorted.size()) - 1];
}

bool Measure(unitsim::Simulator& sim, const unitsim::UnitConfig& camera, int seconds) {
    const unitsim::PictureLook look = camera.picture();
    TimedWindow window;
    Feed feed;
    feed.player = ZQPlayCreatePlayInstance(2);
    ZQPlaySetPlayWnd(feed.player, window.hwnd());
    ZQPlayRenderActualProportion(feed.player, 1);
    ZQPlayStartPlay(feed.player);

    ZQNetConnectionRecord record{};
    record.address = camera.address.c_str();
    record.port = sim.Find(camera.address)->config().mediaPort;
    record.user = "admin";
    record.password = camera.password.c_str();
    record.statusCallback = OnStatus;
    ZQNET_HANDLE connection = ZQNetConnectionStartEx(&record);
    ZQNetPreviewRequest request{};
    request.stream = 1;
    request.dataCallback = Feed::OnData;
    request.userValue = &feed;
    ZQNET_HANDLE preview = ZQNetStartPreview(connection, &request);
    if (connection == 0 || preview == 0) {
        std::fprintf(stderr, "preview_latency_bench: the preview of %s did not start\n",
                     camera.address.c_str());
        return false;
    }
    std::this_thread::sleep_for(std::chrono::seconds(seconds));
    ZQNetStopPreview(connection, &preview);
    ZQNetConnectionStop(&connection);

    // The last blocks taken are still being shown: wait for them (a second at most).
    std::size_t taken = 0;
    {
        std::lock_guard lock(feed.mutex);
        taken = feed.captures.size();
    }
    for (int i = 0; i < 100 && window.Arrivals().size() < taken; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    ZQPlayStopPlay(feed.player);
    ZQPlayDestroyPlayInstance(feed.player);

    const std::vector<std::int64_t> shown = window.Arrivals();
    std::vector<double> delays;
    for (std::size_t i = 0; i < std::min(shown.size(), taken); ++i)
        delays.push_back(static_cast<double>(shown[i] - feed.captures[i]) / 1000.0);
    std::sort(delays.begin(), delays.end());

    std::printf("picture %dx%d, window %dx%d, %d s at %d frames/s:\n", look.width, look.height,
                kWindowWidth, kWindowHeight, seconds, look.frameRate);
    std::printf(
        "  blocks received %ld, refused by the player %ld, taken %zu, pictures shown %zu "
        "(%zu not shown)\n",
        feed.received, feed.refused, taken, shown.size(),
        taken > shown.size() ? taken - shown.size() : 0);
    if (delays.empty() || shown.size() > taken) {
        std::fprintf(stderr, "preview_latency_bench: pictures and blocks do not match\n");
        return false;
    }
    const double median = Percentile(delays, 0.5);
    std::printf(
        "  frame time stamp to picture on the screen: median %.1f ms, 95th %.1f ms, "
        "worst %.1f ms\n",
        median, Percentile(delays, 0.95), delays.back());
    std::printf("  aim: under %.0f ms at 25 frames a second; ratio median/%.0f ms: %.3f\n", kAimMs,
                kAimMs, median / kAimMs);
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    const int seconds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 10;
    // Two cameras as a line file gives them.
    const std::string lines = R"({"address":"127.0.47.1","device_kind":4,"picture":[1280,960],)"
                              R"("fisheye":[640,480,432],"password":"bench"})"
                              "\n"
                              R"({"address":"127.0.47.2","device_kind":4,"picture":[2592,1944],)"
                              R"("fisheye":[1296,972,874],"password":"bench"})";
    std::vector<unitsim::UnitConfig> cameras;
    std::string error;
    if (!unitsim::ParseUnitLines(lines, cameras, error)) {
        std::fprintf(stderr, "preview_latency_bench: %s\n", error.c_str());
        return 1;
    }
    for (auto& c : cameras)
        c.mediaPort = c.searchPort = 0;
    unitsim::Simulator sim;
    if (!sim.Start(cameras, error)) {
        std::fprintf(stderr, "preview_latency_bench: %s\n", error.c_str());
        return 1;
    }
    for (const auto& camera : cameras) {  // every loop encoded before any clock starts
        if (!unitsim::WaitLoop(camera.picture())) {
            std::fprintf(stderr, "preview_latency_bench: the %dx%d loop cannot be encoded\n",
                         camera.picture().width, camera.picture().height);
            return 1;
        }
    }
    ZQNetInit();
    ZQPlayInitPlayLib(0, 1, 0);
    bool ok = true;
    for (const auto& camera : cameras)
        ok = Measure(sim, camera, seconds) && ok;
    ZQPlayDeinitPlayLib();
    ZQNetRelease();
    sim.Stop();
    std::fflush(stdout);
    if (std::system("uptime") != 0)
        std::printf("(uptime not available)\n");
    return ok ? 0 : 1;
}
