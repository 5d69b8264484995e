// What one streaming simulated camera costs: the CPU time the simulator's process spends while
// libZQNet (in another process) previews one camera, per second of video, next to the peer, the
// CPU time libx264 needs to encode the same picture live (what a camera that encodes as it
// streams would spend). Also the one-time cost of encoding the shared loop.
//   camera_stream_bench [seconds]      (default 10, for 1280x960 and 2592x1944)
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

#include "device/ZQNet.h"
#include "unit-sim/simulator.h"
#include "unit-sim/video.h"

namespace {

double Seconds(const timeval& t) {
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6;
}

double CpuOf(int who) {
    rusage u{};
    getrusage(who, &u);
    return Seconds(u.ru_utime) + Seconds(u.ru_stime);
}

struct Ready {
    int port = 0;
    double cpu = 0;  // the simulator's process, loop encoded, before any preview
};

// The simulator's process: one camera, its loop encoded first; reports its port and CPU time so
// far, then serves until killed.
[[noreturn]] void ServeCamera(const unitsim::UnitConfig& camera, int out) {
    unitsim::Simulator sim;
    std::string error;
    if (!sim.Start({camera}, error)) {
        std::fprintf(stderr, "camera_stream_bench: %s\n", error.c_str());
        _exit(1);
    }
    unitsim::WaitLoop(camera.picture());
    Ready ready{sim.Units()[0]->config().mediaPort, CpuOf(RUSAGE_SELF)};
    if (write(out, &ready, sizeof ready) != sizeof ready)
        _exit(1);
    for (;;)
        pause();
}

std::atomic<long> frames{0};

int32_t OnData(const uint8_t*, int32_t, void*) {
    ++frames;
    return 1;
}

void OnStatus(int32_t, void*) {}

void Measure(int width, int height, int seconds) {
    unitsim::UnitConfig camera;
    camera.address = "127.0.40.200";
    camera.mediaPort = 0;
    camera.searchPort = 0;
    camera.password = "bench";
    camera.deviceKind = 4;
    camera.pictureWidth = width;
    camera.pictureHeight = height;
    camera.fisheye.centerX = width / 2;
    camera.fisheye.centerY = height / 2;
    camera.fisheye.radius = height * 45 / 100;
    const unitsim::PictureLook look = camera.picture();

    int fds[2];
    if (pipe(fds) != 0)
        return;
    const pid_t child = fork();
    if (child == 0) {
        close(fds[0]);
        ServeCamera(camera, fds[1]);
    }
    close(fds[1]);
    Ready ready;
    if (read(fds[0], &ready, sizeof ready) != sizeof ready) {
        std::fprintf(stderr, "camera_stream_bench: the simulator did not start\n");
        return;
    }
    close(fds[0]);

    ZQNetInit();
    ZQNetConnectionRecord record{};
    record.address = camera.address.c_str();
    record.port = ready.port;
    record.user = "admin";
    record.password = "bench";
    record.statusCallback = OnStatus;
    ZQNET_HANDLE h = ZQNetConnectionStartEx(&record);
    ZQNetPreviewRequest request{};
    request.stream = 1;
    request.dataCallback = OnData;
    frames = 0;
    ZQNET_HANDLE preview = ZQNetStartPreview(h, &request);
    std::this_thread::sleep_for(std::chrono::seconds(seconds));
    ZQNetStopPreview(h, &preview);
    ZQNetConnectionStop(&h);
    ZQNetRelease();
    const long got = frames;

    kill(child, SIGTERM);
    int status = 0;
    rusage usage{};
    wait4(child, &status, 0, &usage);
    const double streaming = Seconds(usage.ru_utime) + Seconds(usage.ru_stime) - ready.cpu;

    // The peer: libx264 encoding the same picture live, as many frames as were streamed.
    const double before = CpuOf(RUSAGE_THREAD);
    unitsim::VideoLoop live;
    std::string error;
    const int count = look.frameRate * seconds;
    if (!unitsim::EncodeLoop(look, count, live, error)) {
        std::fprintf(stderr, "camera_stream_bench: %s\n", error.c_str());
        return;
    }
    const double encoding = CpuOf(RUSAGE_THREAD) - before;
    const double loop = encoding * 2.0 / seconds;  // the shared two-second loop, once

    std::printf("%dx%d, %d s at %d frames/s: %ld frames received\n", width, height, seconds,
                look.frameRate, got);
    std::printf(
        "  simulator streaming one camera: %7.1f ms CPU per second of video (%5.2f%% of "
        "a core)\n",
        streaming * 1000 / seconds, streaming * 100 / seconds);
    std::printf(
        "  libx264 encoding it live      : %7.1f ms CPU per second of video (%5.2f%% of "
        "a core)\n",
        encoding * 1000 / seconds, encoding * 100 / seconds);
    std::printf(
        "  ratio streaming / live encoding: %.3f; the loop's one-time encoding: about "
        "%.0f ms\n",
        streaming / encoding, loop * 1000);
}

}  // namespace

int main(int argc, char** argv) {
    const int seconds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 10;
    Measure(1280, 960, seconds);
    Measure(2592, 1944, seconds);
    return 0;
}
