// libZQPlay against the ffmpeg program: the CPU time per decoded and drawn 1920x1080 frame
// (decode + scale into the window + draw callback + hand to the window) next to
// `ffmpeg -i in.h264 -f rawvideo -y /dev/null` decoding the same stream (CPU of the child from
// getrusage). Both sides run one after the other, several rounds, the best round of each kept.
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "device/ZQPlay.h"
#include "platform/window_message.h"
#include "zqplay/h264_clip.h"
#include "zqplay/picture_window.h"

namespace {

constexpr int kFrames = 250;  // ten seconds at 25 frames a second
constexpr int kRounds = 3;
constexpr std::size_t kInFlight = 16;  // blocks fed ahead of the pictures shown

double Seconds(const timeval& t) {
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6;
}

double CpuSeconds(const rusage& u) {
    return Seconds(u.ru_utime) + Seconds(u.ru_stime);
}

// The CPU seconds of one run of the ffmpeg program decoding `path` to raw frames with its
// default threads (or one decoding thread), or -1.
double FfmpegDecodeCpu(const std::string& path, bool one_thread) {
    const pid_t pid = fork();
    if (pid == 0) {
        execlp("ffmpeg", "ffmpeg", "-hide_banner", "-loglevel", "error", "-nostdin", "-threads",
               one_thread ? "1" : "0", "-i", path.c_str(), "-f", "rawvideo", "-y", "/dev/null",
               static_cast<char*>(nullptr));
        _exit(127);
    }
    int status = 0;
    rusage usage{};
    if (pid < 0 || wait4(pid, &status, 0, &usage) != pid || !WIFEXITED(status) ||
        WEXITSTATUS(status) != 0)
        return -1;
    return CpuSeconds(usage);
}

// An overlay as the preview pane draws one: a cross through the fitted area's centre.
void DrawCross(ZQPlaySurface* surface, int32_t width, int32_t height, void*, int32_t x, int32_t y) {
    const uint32_t red = 0xffff0000;
    const int cx = x + width / 2, cy = y + height / 2;
    for (int i = -10; i <= 10; ++i) {
        std::memcpy(surface->pixels + static_cast<std::size_t>(cy) * surface->stride +
                        static_cast<std::size_t>(cx + i) * 4,
                    &red, 4);
        std::memcpy(surface->pixels + static_cast<std::size_t>(cy + i) * surface->stride +
                        static_cast<std::size_t>(cx) * 4,
                    &red, 4);
    }
}

// The CPU seconds this process spends having libZQPlay show every block in a window of
// `width` x `height`.
double ZQPlayCpu(const std::vector<std::vector<uint8_t>>& blocks, int width, int height, int keep) {
    zqplay_clip::PictureWindow window(width, height);
    const ZQPLAY_HANDLE h = ZQPlayCreatePlayInstance(2);
    ZQPlaySetPlayWnd(h, window.hwnd());
    ZQPlayRegisterDrawFun(h, &DrawCross, nullptr);
    ZQPlayRenderActualProportion(h, keep);
    ZQPlayStartPlay(h);
    rusage before{}, after{};
    getrusage(RUSAGE_SELF, &before);
    for (std::size_t i = 0; i < blocks.size(); ++i) {
        if (i >= kInFlight)
            window.WaitForPictures(i - kInFlight + 1);
        if (ZQPlayInputNetFrame(h, blocks[i].data(), static_cast<int32_t>(blocks[i].size())) == 0) {
            std::fprintf(stderr, "block %zu refused\n", i);
            return -1;
        }
    }
    window.WaitForPictures(blocks.size());
    getrusage(RUSAGE_SELF, &after);
    ZQPlayStopPlay(h);
    ZQPlayDestroyPlayInstance(h);
    return CpuSeconds(after) - CpuSeconds(before);
}

}  // namespace

int main() {
    char path[] = "/tmp/zqplay_bench_XXXXXX";
    const int fd = mkstemp(path);
    if (fd < 0)
        return 1;
    close(fd);
    std::printf("encoding %d frames of 1920x1080 with ffmpeg (libx264 veryfast, crf 23) ...\n",
                kFrames);
    std::fflush(stdout);
    const std::vector<uint8_t> stream =
        zqplay_clip::EncodeStream("testsrc2=size=1920x1080:rate=25", kFrames, 25, 23, "veryfast");
    const auto units = zqplay_clip::SplitAccessUnits(stream);
    if (units.size() != kFrames) {
        std::fprintf(stderr, "ffmpeg made %zu access units, not %d\n", units.size(), kFrames);
        std::remove(path);
        return 1;
    }
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(stream.data()),
               static_cast<std::streamsize>(stream.size()));
    std::vector<std::vector<uint8_t>> blocks;
    for (std::size_t i = 0; i < units.size(); ++i)
        blocks.push_back(zqplay_clip::Block(units[i], 1920, 1080, static_cast<uint32_t>(i)));
    std::printf("stream: %zu bytes, %zu key frames\n", stream.size(),
                static_cast<std::size_t>(std::count_if(units.begin(), units.end(),
                                                       [](const auto& u) { return u.key; })));

    ZQPlayInitPlayLib(0, 1, 0);
    struct Window {
        int width, height, keep;
        double best = 1e9;
    } windows[] = {{1920, 1080, 1}, {800, 600, 1}};
    double ffmpeg_best = 1e9, ffmpeg_one_thread_best = 1e9;
    for (int round = 0; round < kRounds; ++round) {
        const double peer = FfmpegDecodeCpu(path, false);
        const double peer_one_thread = FfmpegDecodeCpu(path, true);
        if (peer < 0 || peer_one_thread < 0) {
            std::fprintf(stderr, "ffmpeg failed\n");
            std::remove(path);
            return 1;
        }
        ffmpeg_best = std::min(ffmpeg_best, peer);
        ffmpeg_one_thread_best = std::min(ffmpeg_one_thread_best, peer_one_thread);
        for (Window& w : windows) {
            const double ours = ZQPlayCpu(blocks, w.width, w.height, w.keep);
            if (ours < 0)
                return 1;
            w.best = std::min(w.best, ours);
        }
    }
    ZQPlayDeinitPlayLib();
    std::remove(path);

    const double peer_ms = ffmpeg_best * 1000 / kFrames;
    const double one_thread_ms = ffmpeg_one_thread_best * 1000 / kFrames;
    std::printf("CPU per 1920x1080 frame, best of %d rounds of %d frames:\n", kRounds, kFrames);
    std::printf("  ffmpeg -i in.h264 -f rawvideo -y /dev/null (decode only)   %7.3f ms\n", peer_ms);
    std::printf("  the same with -threads 1                                 %7.3f ms\n",
                one_thread_ms);
    for (const Window& w : windows) {
        const double ms = w.best * 1000 / kFrames;
        std::printf(
            "  libZQPlay decode+scale+draw+show, window %4dx%-4d       %7.3f ms  "
            "ratio %.2fx (%.2fx of -threads 1)\n",
            w.width, w.height, ms, ms / peer_ms, ms / one_thread_ms);
    }
    return 0;
}
