// The fisheye centre tab's and the lens calibration tab's operations on their own, against
// simulated cameras on loopback: what they write into a camera, what they hand to the pane, and
// the boxes they ask their prompter for; the calibration alarms through a real window handle.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "camera/fisheye_operation.h"
#include "camera/lens_calibration.h"
#include "config.h"
#include "device/ZQNet.h"
#include "simulator.h"
#include "support/logged_in_session.h"
#include "support/recording_prompter.h"

namespace {

using camera::CFisheyeOperation;
using camera::Circle;
using camera::CLensCalibration;
using SetButton = CLensCalibration::SetButton;

// A window of the platform layer without a toolkit: keeps what is posted to it.
class QueueWindow final : public platform::MessageReceiver {
  public:
    struct Message {
        unsigned message;
        std::uintptr_t wparam;
        std::intptr_t lparam;
    };
    QueueWindow() : handle_(platform::RegisterWindow(this)) {}
    ~QueueWindow() { Close(); }
    void Close() { platform::UnregisterWindow(handle_); }
    platform::WindowHandle handle() const { return handle_; }

    void OnPost(unsigned message, std::uintptr_t wparam, std::intptr_t lparam) override {
        std::lock_guard<std::mutex> lock(mutex_);
        messages_.push_back({message, wparam, lparam});
        arrived_.notify_all();
    }
    // The next message, waiting up to 10 s; false when none came.
    bool Next(Message& out) {
        std::unique_lock<std::mutex> lock(mutex_);
        if (!arrived_.wait_for(lock, std::chrono::seconds(10), [&] { return !messages_.empty(); }))
            return false;
        out = messages_.front();
        messages_.erase(messages_.begin());
        return true;
    }
    size_t Count() {
        std::lock_guard<std::mutex> lock(mutex_);
        return messages_.size();
    }

  private:
    platform::WindowHandle handle_;
    std::mutex mutex_;
    std::condition_variable arrived_;
    std::vector<Message> messages_;
};

// A logged-in connection whose alarms go to a lens calibration operation and a window.
class AlarmSession {
  public:
    AlarmSession(const std::string& address, CLensCalibration& op, platform::WindowHandle window)
        : op_(op), window_(window) {
        ZQNetConnectionRecord r{};
        r.address = address.c_str();
        r.port = 34567;
        r.user = "admin";
        r.password = "";
        r.userValue = this;
        r.statusCallback = [](int32_t status, void* user) {
            static_cast<AlarmSession*>(user)->status_ = status;
        };
        r.eventCallback = [](int32_t type, const void* data, int32_t length, void* user) {
            auto* self = static_cast<AlarmSession*>(user);
            self->op_.OnAlarm(type, data, length, self->window_);
        };
        handle_ = ZQNetConnectionStartEx(&r);
        for (int i = 0; i < 500 && status_ == 0; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        if (status_ == ZQNET_STATUS_LOGGED_IN)
            ZQNetAlarmSubscribe(handle_, 1);
    }
    ~AlarmSession() { Stop(); }
    void Stop() {
        if (handle_ != 0)
            ZQNetConnectionStop(&handle_);
        handle_ = 0;
    }
    ZQNET_HANDLE handle() const { return status_ == ZQNET_STATUS_LOGGED_IN ? handle_ : 0; }

  private:
    CLensCalibration& op_;
    platform::WindowHandle window_;
    ZQNET_HANDLE handle_ = 0;
    std::atomic<int> status_{0};
};

// Cameras 127.0.43.1 to .19 for the fisheye block, .20 to .39 for the lens calibration.
std::string Address(int unit) {
    return "127.0.43." + std::to_string(unit);
}

class CameraOperationsTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        std::vector<unitsim::UnitConfig> units;
        std::string error;
        ASSERT_TRUE(unitsim::ParseUnitLines(
            R"({"address":"127.0.43.1","count":19,"device_kind":4,"fisheye":[960,540,520]}
{"address":"127.0.43.20","count":4,"device_kind":4,"lens_calibration":true,"calibration_ms":50,"calibration_result":0}
{"address":"127.0.43.24","device_kind":4,"lens_calibration":true,"calibration_ms":50,"calibration_result":1}
{"address":"127.0.43.25","device_kind":4,"lens_calibration":true,"calibration_ms":50,"calibration_result":255}
{"address":"127.0.43.26","device_kind":4,"lens_calibration":true,"calibration_ms":50,"calibration_result":7}
{"address":"127.0.43.27","device_kind":4,"lens_calibration":true,"calibration_ms":3600000}
{"address":"127.0.43.28","device_kind":4,"lens_calibration":false})",
            units, error))
            << error;
        for (auto& u : units) {
            u.searchPort = 0;
            // Bytes the station does not use, which a write must give back as they were.
            u.fisheye.reserved1 = 0x01020304;
            u.fisheye.reserved2[0] = 0xAB;
            u.fisheye.reserved2[59] = 0xCD;
        }
        ASSERT_TRUE(simulator_.Start(units, error)) << error;
        ZQNetInit();
    }
    static void TearDownTestSuite() {
        ZQNetRelease();
        simulator_.Stop();
    }

    static unitsim::Unit& Unit(int unit) { return *simulator_.Find(Address(unit)); }
    static ZQNetFisheyeRecord Fisheye(int unit) { return Unit(unit).State().fisheye; }
    static int Writes(int unit) {
        int n = 0;
        for (const auto& r : Unit(unit).State().requests)
            n += r.write && r.code == ZQNET_PARAM_FISHEYE ? 1 : 0;
        return n;
    }

    // Starts a calibration on `unit` once its previous one has ended.
    static void StartOn(CLensCalibration& op, const LoggedInSession& session, int unit) {
        ASSERT_NE(session.handle(), 0u);
        for (int i = 0; i < 500 && Unit(unit).State().calibrating; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        ASSERT_EQ(op.Start(session.handle(), true), SetButton::kDisable);
    }

    static inline unitsim::Simulator simulator_;
};

// ---------------------------------------------------------------------------------------------
// Fisheye centre

TEST_F(CameraOperationsTest, TheCameraCircleIsReadOnPreviewStartAndNothingWhenTheQueryFails) {
    RecordingPrompter prompter;
    CFisheyeOperation op(prompter);
    {
        LoggedInSession session(Address(1));
        ASSERT_NE(session.handle(), 0u);
        EXPECT_EQ(op.ReadCameraCircle(session.handle()), (Circle{960, 540, 520}));
        // The query asks for the whole block with a first word of 0.
        const auto& requests = Unit(1).State().requests;
        ASSERT_FALSE(requests.empty());
        EXPECT_EQ(requests.back(), (unitsim::RequestLogEntry{ZQNET_PARAM_FISHEYE, false, 80, 0}));
    }
    Unit(2).SetFault(ZQNET_PARAM_FISHEYE, unitsim::Fault{.failQuery = true});
    LoggedInSession session(Address(2));
    ASSERT_NE(session.handle(), 0u);
    EXPECT_EQ(op.ReadCameraCircle(session.handle()), std::nullopt);
    EXPECT_EQ(op.ReadCameraCircle(0), std::nullopt);
    Unit(2).ClearFaults();
    EXPECT_TRUE(prompter.asked.empty());
}

// Set and Clear for each outcome: the box, what the pane gets, what the camera keeps.
TEST_F(CameraOperationsTest, SetAndClearWriteReadBackAndShowTheirBox) {
    enum class Op { kSet, kClear };
    struct Case {
        const char* name;
        int unit;
        Op op;
        bool previewing;
        unitsim::Fault fault;
        bool connected;
        std::string box;
        std::optional<Circle> pane;
        Circle kept;  // the camera's circle afterwards
        int writes;
    };
    const Circle mine{700, 500, 450};
    const Circle stored{960, 540, 520};
    const Case cases[] = {
        {"set", 3, Op::kSet, true, {}, true, "box 232/2", mine, mine, 1},
        {"set without preview", 4, Op::kSet, false, {}, true, "box 233/0", std::nullopt, stored, 0},
        {"set without connection",
         5,
         Op::kSet,
         true,
         {},
         false,
         "box 233/0",
         std::nullopt,
         stored,
         0},
        {"set refused",
         6,
         Op::kSet,
         true,
         {.failWrite = true},
         true,
         "box 233/0",
         std::nullopt,
         stored,
         1},
        {"set read back differs",
         7,
         Op::kSet,
         true,
         {.readBackDiffers = true, .skip = 1},
         true,
         "box 233/0",
         mine,
         mine,
         1},
        {"set read back fails",
         8,
         Op::kSet,
         true,
         {.failQuery = true, .skip = 1},
         true,
         "box 233/0",
         std::nullopt,
         mine,
         1},
        {"set first query fails",
         9,
         Op::kSet,
         true,
         {.failQuery = true, .count = 1},
         true,
         "box 233/0",
         std::nullopt,
         stored,
         0},
        {"clear", 10, Op::kClear, true, {}, true, "box 234/2", Circle{}, Circle{}, 1},
        {"clear needs no preview",
         11,
         Op::kClear,
         false,
         {},
         true,
         "box 234/2",
         Circle{},
         Circle{},
         1},
        {"clear without connection",
         12,
         Op::kClear,
         true,
         {},
         false,
         "box 235/0",
         std::nullopt,
         stored,
         0},
        {"clear refused",
         13,
         Op::kClear,
         true,
         {.failWrite = true},
         true,
         "box 235/0",
         std::nullopt,
         stored,
         1},
        {"clear read back differs",
         14,
         Op::kClear,
         true,
         {.readBackDiffers = true, .skip = 1},
         true,
         "box 235/0",
         Circle{},
         Circle{},
         1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        if (c.fault.failQuery || c.fault.failWrite || c.fault.readBackDiffers)
            Unit(c.unit).SetFault(ZQNET_PARAM_FISHEYE, c.fault);
        const ZQNetFisheyeRecord before = Fisheye(c.unit);
        RecordingPrompter prompter;
        CFisheyeOperation op(prompter);
        LoggedInSession session(Address(c.unit));
        ASSERT_NE(session.handle(), 0u);
        const ZQNET_HANDLE connection = c.connected ? session.handle() : 0;
        const Circle circle = c.unit == 15 ? Circle{} : mine;
        const std::optional<Circle> pane = c.op == Op::kSet
                                               ? op.WriteCircle(connection, c.previewing, circle)
                                               : op.ClearCircle(connection);
        Unit(c.unit).ClearFaults();
        EXPECT_EQ(prompter.asked, std::vector<std::string>{c.box});
        EXPECT_EQ(pane, c.pane);
        const ZQNetFisheyeRecord kept = Fisheye(c.unit);
        EXPECT_EQ((Circle{kept.centerX, kept.centerY, kept.radius}), c.kept);
        EXPECT_EQ(Writes(c.unit), c.writes);
        // What was written is the camera's block as read, with only the three fields changed.
        const auto written = Unit(c.unit).State().written;
        if (c.writes > 0 && !c.fault.failWrite) {
            ASSERT_EQ(written.count(ZQNET_PARAM_FISHEYE), 1u);
            const std::vector<uint8_t>& bytes = written.at(ZQNET_PARAM_FISHEYE);
            ASSERT_EQ(bytes.size(), 80u);
            const auto* old = reinterpret_cast<const uint8_t*>(&before);
            EXPECT_EQ(std::memcmp(bytes.data(), old, 8), 0);
            EXPECT_EQ(std::memcmp(bytes.data() + 20, old + 20, 60), 0);
        }
        EXPECT_EQ(kept.reserved1, 0x01020304u);
        EXPECT_EQ(kept.reserved2[0], 0xAB);
        EXPECT_EQ(kept.reserved2[59], 0xCD);
    }
}

TEST_F(CameraOperationsTest, FieldsShowWindowAndPictureValuesAndTheFirstCentreIsKeptOnce) {
    RecordingPrompter prompter;
    CFisheyeOperation op(prompter);
    // A radius typed before any notification centres the circle on (0, 0): the pane does not
    // apply a circle whose x is 0, so the circle on the screen stays where it is.
    EXPECT_EQ(op.RadiusTyped("300"), (Circle{0, 0, 300}));
    EXPECT_FALSE(op.HasFirstCentre());

    const CFisheyeOperation::FieldTexts first =
        op.OnCircleChanged(Circle{210, 160, 150}, Circle{960, 540, 520});
    EXPECT_EQ(first.x, "(210, 960)");
    EXPECT_EQ(first.y, "(160, 540)");
    EXPECT_EQ(first.radius, "(150, 520)");
    const CFisheyeOperation::FieldTexts later =
        op.OnCircleChanged(Circle{-3, 170, 140}, Circle{-10, 570, 480});
    EXPECT_EQ(later.x, "(-3, -10)");
    EXPECT_EQ(later.radius, "(140, 480)");
    // The typed radius is centred on the first centre, not on the circle as it is now.
    EXPECT_EQ(op.RadiusTyped("400"), (Circle{960, 540, 400}));
    EXPECT_EQ(op.RadiusTyped("400px"), (Circle{960, 540, 400}));
    EXPECT_EQ(op.RadiusTyped(""), std::nullopt);
    EXPECT_TRUE(prompter.asked.empty());
}

TEST_F(CameraOperationsTest, ATypedRadiusIsItsLeadingInteger) {
    const std::pair<std::string, std::optional<int>> cases[] = {
        {"", std::nullopt},
        {"0", 0},
        {"520", 520},
        {" 42", 42},
        {"12ab", 12},
        {"abc", 0},
        {"-5", -5},
        {"+7", 7},
        {"99999999999999999999", 2147483647},
        {"-99999999999999999999", -2147483647 - 1},
    };
    for (const auto& [text, value] : cases) {
        SCOPED_TRACE(text);
        EXPECT_EQ(camera::LeadingInteger(text), value);
    }
}

// ---------------------------------------------------------------------------------------------
// Lens calibration

TEST_F(CameraOperationsTest, SetIsEnabledOnLoginOnlyForACameraWithTheCapability) {
    RecordingPrompter prompter;
    CLensCalibration op(prompter);
    {
        LoggedInSession with(Address(20));
        ASSERT_NE(with.handle(), 0u);
        EXPECT_EQ(op.OnStatus(ZQNET_STATUS_LOGGED_IN, with.handle()), SetButton::kEnable);
        EXPECT_EQ(op.OnStatus(ZQNET_STATUS_PREVIEW_STARTED, with.handle()), SetButton::kUnchanged);
        EXPECT_EQ(op.OnStatus(ZQNET_STATUS_WRONG_PASSWORD, with.handle()), SetButton::kUnchanged);
    }
    LoggedInSession without(Address(28));
    ASSERT_NE(without.handle(), 0u);
    EXPECT_EQ(op.OnStatus(ZQNET_STATUS_LOGGED_IN, without.handle()), SetButton::kUnchanged);
    EXPECT_EQ(op.OnStatus(ZQNET_STATUS_LOGGED_IN, 0), SetButton::kUnchanged);
    // Pressed anyway (it cannot be, Set stays disabled): the camera refuses, nothing runs.
    EXPECT_EQ(op.Start(without.handle(), true), SetButton::kEnable);
    EXPECT_EQ(op.Running(), 0);
    EXPECT_TRUE(prompter.asked.empty());
}

// A calibration from Set to its result, for each result byte: the camera's "running" alarm
// keeps Set disabled, the final one shows the result's box and enables Set again.
TEST_F(CameraOperationsTest, EachResultCodeShowsItsBoxAndEnablesSetAgain) {
    const std::pair<int, std::string> cases[] = {
        {20, "box 239/2"}, {24, "box 240/0"}, {25, "box 291/0"}, {26, "box 239/2"}};
    for (const auto& [unit, box] : cases) {
        SCOPED_TRACE(unit);
        RecordingPrompter prompter;
        CLensCalibration op(prompter);
        QueueWindow window;
        AlarmSession session(Address(unit), op, window.handle());
        ASSERT_NE(session.handle(), 0u);
        EXPECT_EQ(op.Start(session.handle(), true), SetButton::kDisable);
        EXPECT_NE(op.Running(), 0);
        std::vector<SetButton> steps;
        QueueWindow::Message m{};
        while (steps.empty() || steps.back() == SetButton::kDisable) {
            ASSERT_TRUE(window.Next(m));
            EXPECT_EQ(m.message, CLensCalibration::kResultMessage);
            EXPECT_EQ(m.wparam, 253u);
            steps.push_back(
                op.OnResult(m.wparam, m.lparam, [&] { prompter.asked.push_back("enable"); }));
        }
        EXPECT_EQ(steps, (std::vector<SetButton>{SetButton::kDisable, SetButton::kEnable}));
        // Set is enabled before the box opens.
        EXPECT_EQ(prompter.asked, (std::vector<std::string>{"enable", box}));
        EXPECT_EQ(op.Running(), 0);
        EXPECT_EQ(op.PendingBlocks(), 0u);
    }
}

TEST_F(CameraOperationsTest, WithoutPreviewOrConnectionSetStartsNothing) {
    RecordingPrompter prompter;
    CLensCalibration op(prompter);
    LoggedInSession session(Address(21));
    ASSERT_NE(session.handle(), 0u);
    const size_t before = Unit(21).State().commands.size();
    EXPECT_EQ(op.Start(session.handle(), false), SetButton::kUnchanged);
    EXPECT_EQ(op.Start(0, true), SetButton::kUnchanged);
    EXPECT_EQ(op.Running(), 0);
    EXPECT_EQ(Unit(21).State().commands.size(), before);
}

// The alarm callback's rule: only alarm 253, only while a calibration runs; any length.
TEST_F(CameraOperationsTest, AlarmsAreCopiedZeroFilledOnlyWhileACalibrationRuns) {
    RecordingPrompter prompter;
    CLensCalibration op(prompter);
    QueueWindow window;
    std::vector<uint8_t> data(300, 0x11);
    data[24] = 0;  // finished
    data[25] = 1;  // failed

    // Before Set: ignored.
    op.OnAlarm(253, data.data(), 56, window.handle());
    EXPECT_EQ(window.Count(), 0u);

    struct Case {
        const char* name;
        int32_t type;
        int32_t length;
        bool posted;
        std::string box;  // shown when handled
    };
    const Case cases[] = {
        {"other alarm", 12, 56, false, ""},
        {"253 in the low 16 bits", 0x100FD, 56, true, "box 240/0"},
        {"longer than 56", 253, 300, true, "box 240/0"},
        {"exactly 56", 253, 56, true, "box 240/0"},
        {"26 bytes", 253, 26, true, "box 240/0"},
        {"no result byte", 253, 25, true, "box 239/2"},
        {"no running byte", 253, 24, true, "box 239/2"},
        {"one byte", 253, 1, true, "box 239/2"},
        {"empty", 253, 0, true, "box 239/2"},
        {"negative length", 253, -5, true, "box 239/2"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        prompter.asked.clear();
        // A calibration started on a camera whose own alarms do not reach this operation: the
        // alarms are fed by hand.
        LoggedInSession session(Address(22));
        ASSERT_NO_FATAL_FAILURE(StartOn(op, session, 22));
        op.OnAlarm(c.type, data.data(), c.length, window.handle());
        if (!c.posted) {
            EXPECT_EQ(window.Count(), 0u);
            op.Stop();
            continue;
        }
        QueueWindow::Message m{};
        ASSERT_TRUE(window.Next(m));
        auto* block = reinterpret_cast<const uint8_t*>(m.lparam);
        const int copied = std::max(0, std::min(c.length, 56));
        for (int i = 0; i < 56; ++i)
            ASSERT_EQ(block[i], i < copied ? data[i] : 0) << i;
        EXPECT_EQ(op.OnResult(m.wparam, m.lparam), SetButton::kEnable);
        EXPECT_EQ(prompter.asked, std::vector<std::string>{c.box});
        op.Stop();
    }
    // A null pointer with a length is taken as no data.
    LoggedInSession session(Address(22));
    ASSERT_NO_FATAL_FAILURE(StartOn(op, session, 22));
    op.OnAlarm(253, nullptr, 56, window.handle());
    QueueWindow::Message m{};
    ASSERT_TRUE(window.Next(m));
    EXPECT_EQ(op.OnResult(m.wparam, m.lparam), SetButton::kEnable);
    EXPECT_EQ(op.PendingBlocks(), 0u);
}

// The stop routine (Login, device change) during a calibration: its alarms are ignored, whether
// they come later or were already on their way; a "running" alarm handled once the flag is down
// no longer disables Set (it would stay disabled until the next Login).
TEST_F(CameraOperationsTest, AStopDuringACalibrationIgnoresItsResult) {
    RecordingPrompter prompter;
    CLensCalibration op(prompter);
    QueueWindow window;
    AlarmSession session(Address(27), op, window.handle());  // never finishes by itself
    ASSERT_NE(session.handle(), 0u);
    ASSERT_EQ(op.Start(session.handle(), true), SetButton::kDisable);
    QueueWindow::Message running{};
    ASSERT_TRUE(window.Next(running));

    ZQNetLensCalibrationAlarm final{};
    final.result = 1;
    op.OnAlarm(253, &final, sizeof final, window.handle());  // posted before the stop
    op.Stop();
    op.OnAlarm(253, &final, sizeof final, window.handle());  // after it: not posted
    EXPECT_EQ(op.OnResult(running.wparam, running.lparam), SetButton::kUnchanged);
    QueueWindow::Message late{};
    ASSERT_TRUE(window.Next(late));
    EXPECT_EQ(op.OnResult(late.wparam, late.lparam), SetButton::kUnchanged);
    EXPECT_EQ(window.Count(), 0u);
    EXPECT_TRUE(prompter.asked.empty());
    EXPECT_EQ(op.PendingBlocks(), 0u);
}

// Blocks never leak: not when the window is gone, not when the window dies with a block still
// queued (the sanitizer's leak check runs over this test), and a forged lparam is not freed.
TEST_F(CameraOperationsTest, AlarmBlocksAreFreedWhateverHappensToTheirMessage) {
    RecordingPrompter prompter;
    LoggedInSession session(Address(23));
    ZQNetLensCalibrationAlarm alarm{};
    {
        CLensCalibration op(prompter);
        ASSERT_NO_FATAL_FAILURE(StartOn(op, session, 23));
        QueueWindow gone;
        gone.Close();
        op.OnAlarm(253, &alarm, sizeof alarm, gone.handle());
        EXPECT_EQ(op.PendingBlocks(), 0u);

        QueueWindow window;
        op.OnAlarm(253, &alarm, sizeof alarm, window.handle());
        op.OnAlarm(253, &alarm, sizeof alarm, window.handle());
        EXPECT_EQ(op.PendingBlocks(), 2u);
        QueueWindow::Message m{};
        ASSERT_TRUE(window.Next(m));
        ZQNetLensCalibrationAlarm forged{};
        EXPECT_EQ(op.OnResult(253, reinterpret_cast<std::intptr_t>(&forged)),
                  SetButton::kUnchanged);
        EXPECT_EQ(op.OnResult(253, 0), SetButton::kUnchanged);
        EXPECT_EQ(op.OnResult(12, m.lparam), SetButton::kUnchanged);  // freed, nothing shown
        EXPECT_EQ(op.PendingBlocks(), 1u);
        op.Stop();
    }  // the second block is still queued: freed here
    EXPECT_TRUE(prompter.asked.empty());
}

TEST_F(CameraOperationsTest, ALostConnectionEndsAWaitingCalibrationAndDisablesSet) {
    RecordingPrompter prompter;
    CLensCalibration op(prompter);
    LoggedInSession session(Address(21));
    ASSERT_NE(session.handle(), 0u);
    ASSERT_EQ(op.Start(session.handle(), true), SetButton::kDisable);
    EXPECT_EQ(op.OnStatus(ZQNET_STATUS_CONNECTION_LOST, session.handle()), SetButton::kDisable);
    EXPECT_EQ(op.Running(), 0);
}

}  // namespace
