// Fuzzes the unit side of a session: any bytes from a station go through the unit's frame reader,
// payload decoder and session state machine. The first byte picks how the input is cut into
// reads and whether a valid login comes first, so the fuzzer also reaches the logged-in requests.
#include "unit.h"

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace unitsim;
    if (size == 0)
        return 0;
    static Unit* unit = [] {
        UnitConfig config;
        config.password = "pw";
        config.deviceKind = 4;
        config.lensCalibration = true;
        config.calibration = std::chrono::milliseconds(0);
        config.lockout = std::chrono::milliseconds(0);
        config.maxSessions = 1000000;
        return new Unit(config);
    }();
    const uint8_t mode = data[0];
    ++data;
    --size;
    UnitSession session(*unit, {});
    std::vector<UnitSession::Step> steps;
    bool open = true;
    uint32_t sequence = 0;
    if (mode & 1) {
        // A real login, so that what follows is served as requests of a logged-in session.
        zqproto::Message start;
        start.kind = zqproto::Kind::kLoginStart;
        start.sequence = ++sequence;
        start.user = "admin";
        open = session.Receive(zqproto::Encode(start), steps);
        zqproto::Message challenge;
        zqproto::FrameReader reader;
        zqproto::Frame frame;
        if (open && steps.size() == 1 && reader.Feed(steps[0].bytes) &&
            reader.Next(frame) == zqproto::FrameReader::Status::kFrame &&
            zqproto::Decode(frame, challenge)) {
            zqproto::Message proof;
            proof.kind = zqproto::Kind::kLoginProof;
            proof.sequence = ++sequence;
            zqproto::LoginProof("pw", challenge.token, "admin", {}, proof.token);
            steps.clear();
            open = session.Receive(zqproto::Encode(proof), steps);
        }
    }
    const size_t chunk = (mode >> 1) == 0 ? size : (mode >> 1);
    for (size_t at = 0; open && at < size; at += chunk) {
        size_t n = size - at < chunk ? size - at : chunk;
        steps.clear();
        open = session.Receive(std::span<const uint8_t>(data + at, n), steps);
        for (const auto& step : steps) {
            if (step.bytes.size() > zqproto::kHeaderSize + zqproto::kMaxPayload)
                __builtin_trap();
        }
    }
    unit->Tick();
    session.TakeAlarms();
    return 0;
}
