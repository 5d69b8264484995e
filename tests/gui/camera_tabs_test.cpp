// The fisheye centre tab and the lens calibration tab, driven as an operator would, against
// simulated cameras on loopback that stream live video, with the real device and playback
// libraries and the real preview pane.
#include <gtest/gtest.h>

#include <QApplication>
#include <QDialog>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>
#include <chrono>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>

#include "camera/dlg_adjust_fish_eye.h"
#include "camera/dlg_ptz.h"
#include "config.h"
#include "device/ZQNet.h"
#include "device/ZQPlay.h"
#include "message_recorder.h"
#include "prompt_answerer.h"
#include "simulator.h"
#include "support/logged_in_session.h"
#include "ui/controls.h"
#include "ui/shell.h"

namespace {

using camera::Circle;
constexpr const char* kPassword = "pw";

// Cameras 127.0.43.40 to .59 (fisheye centre tab) and .60 to .79 (lens calibration tab).
std::string Address(int unit) {
    return "127.0.43." + std::to_string(unit);
}

// The pane keeps its circle as a square in window pixels and gives it back truncated to whole
// picture pixels, so a circle put on it may come back a pixel smaller.
bool Near(const Circle& a, const Circle& b) {
    return std::abs(a.x - b.x) <= 1 && std::abs(a.y - b.y) <= 1 &&
           std::abs(a.radius - b.radius) <= 1;
}

// The circle every fisheye camera keeps at first: inside its 1280x960 picture and above the
// pane's smallest circle.
const Circle kStored{640, 480, 470};

class CameraTabsTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        std::vector<unitsim::UnitConfig> units;
        std::string error;
        ASSERT_TRUE(unitsim::ParseUnitLines(
            R"({"address":"127.0.43.40","count":15,"device_kind":4,"password":"pw","picture":[1280,960],"fisheye":[640,480,470]}
{"address":"127.0.43.55","device_kind":4,"password":"pw","picture":[1280,960],"fisheye":[1200,900,600]}
{"address":"127.0.43.56","count":4,"device_kind":4,"password":"pw","picture":[1280,960],"fisheye":[640,480,470]}
{"address":"127.0.43.60","count":4,"device_kind":4,"password":"pw","picture":[640,480],"lens_calibration":true,"calibration_ms":100}
{"address":"127.0.43.64","device_kind":4,"password":"pw","picture":[640,480],"lens_calibration":true,"calibration_ms":100,"calibration_result":1}
{"address":"127.0.43.65","device_kind":4,"password":"pw","picture":[640,480],"lens_calibration":true,"calibration_ms":100,"calibration_result":255}
{"address":"127.0.43.66","device_kind":4,"password":"pw","picture":[640,480],"lens_calibration":true,"calibration_ms":100,"calibration_result":7}
{"address":"127.0.43.67","device_kind":4,"password":"pw","picture":[640,480],"lens_calibration":false}
{"address":"127.0.43.68","count":3,"device_kind":4,"password":"pw","picture":[640,480],"lens_calibration":true,"calibration_ms":300,"calibration_result":1}
{"address":"127.0.43.71","device_kind":4,"password":"pw","picture":[640,480],"lens_calibration":true,"calibration_ms":100,"alarm_length":0}
{"address":"127.0.43.72","device_kind":4,"password":"pw","picture":[640,480],"lens_calibration":true,"calibration_ms":100,"alarm_length":24}
{"address":"127.0.43.73","device_kind":4,"password":"pw","picture":[640,480],"lens_calibration":true,"calibration_ms":100,"alarm_length":25}
{"address":"127.0.43.74","device_kind":4,"password":"pw","picture":[640,480],"lens_calibration":true,"calibration_ms":100,"calibration_result":1,"alarm_length":4000})",
            units, error))
            << error;
        for (auto& u : units)
            u.searchPort = 0;
        simulator_ = new unitsim::Simulator;
        ASSERT_TRUE(simulator_->Start(units, error)) << error;
        ZQNetInit();
        ZQPlayInitPlayLib(0, 1, 0);
    }
    static void TearDownTestSuite() {
        ZQPlayDeinitPlayLib();
        ZQNetRelease();
        delete simulator_;
    }

    void SetUp() override {
        app::Shell() = app::ShellState{};
        app::Shell().text = [](int id) { return "T" + std::to_string(id); };
        window_.resize(760, 520);
        window_.show();
    }

    static unitsim::Unit& Unit(int unit) { return *simulator_->Find(Address(unit)); }
    static Circle Stored(int unit) {
        const ZQNetFisheyeRecord r = Unit(unit).State().fisheye;
        return {r.centerX, r.centerY, r.radius};
    }

    template <class Tab>
    std::unique_ptr<Tab> NewTab(int unit) {
        auto tab = std::make_unique<Tab>();
        EXPECT_TRUE(tab->Create(Tab::kTemplateId, &window_));
        tab->SetOwner(owner_.handle.handle());
        tab->setGeometry(0, 0, 700, 440);
        tab->show();
        tab->SetDevice(Address(unit), 34567, "admin");
        Field(*tab, CTabPage::kPasswordId)->setText(kPassword);
        return tab;
    }
    static QPushButton* Button(QWidget& tab, int id) {
        return app::FindControl<QPushButton>(&tab, id);
    }
    static QLineEdit* Field(QWidget& tab, int id) { return app::FindControl<QLineEdit>(&tab, id); }
    static void Click(QWidget& tab, int id) { QTest::mouseClick(Button(tab, id), Qt::LeftButton); }
    static Circle PaneCircle(CCameraTab& tab) {
        Circle c;
        tab.Pane()->GetCircle(c.x, c.y, c.radius);
        return c;
    }
    // Waits until the pane has drawn pictures (the decoded picture's size is known).
    static bool WaitForPicture(CCameraTab& tab) {
        return QTest::qWaitFor([&] { return tab.HasPicture(); }, 20000);
    }
    // True once the fields show the pane's circle as it is now.
    static bool FieldsShowPane(CDlgAdjustFishEye& tab) {
        const Circle c = PaneCircle(tab);
        return Field(tab, CDlgAdjustFishEye::kCentreXId)
                   ->text()
                   .endsWith(QStringLiteral(", %1)").arg(c.x)) &&
               Field(tab, CDlgAdjustFishEye::kCentreYId)
                   ->text()
                   .endsWith(QStringLiteral(", %1)").arg(c.y)) &&
               Field(tab, CDlgAdjustFishEye::kShownRadiusId)
                   ->text()
                   .endsWith(QStringLiteral(", %1)").arg(c.radius));
    }
    // Waits until the pane's circle has stayed the same for a few pictures and the fields show it.
    static bool WaitSettled(CDlgAdjustFishEye& tab) {
        Circle last = PaneCircle(tab);
        int same = 0;
        return QTest::qWaitFor(
            [&] {
                QTest::qWait(40);
                const Circle now = PaneCircle(tab);
                same = now == last ? same + 1 : 0;
                last = now;
                return same >= 4 && FieldsShowPane(tab);
            },
            20000);
    }
    // Logs in and waits for the camera's circle on the pane.
    static bool LoginAndWaitForCircle(CDlgAdjustFishEye& tab, const Circle& circle) {
        Click(tab, CCameraTab::kLoginId);
        return WaitForPicture(tab) &&
               QTest::qWaitFor([&] { return Near(PaneCircle(tab), circle); }, 20000) &&
               WaitSettled(tab) && Near(PaneCircle(tab), circle);
    }
    // A point of the pane in its window coordinates, from its display circle.
    static QPoint Centre(CDlgAdjustFishEye& tab) {
        int x = 0;
        int y = 0;
        int half = 0;
        tab.Pane()->GetDisplayCircle(x, y, half);
        return QPoint(x, y) + tab.PictureOffset();
    }
    static int HalfSide(CDlgAdjustFishEye& tab) {
        int x = 0;
        int y = 0;
        int half = 0;
        tab.Pane()->GetDisplayCircle(x, y, half);
        return half;
    }
    // Logs the lens calibration tab in and waits until Set is enabled (or the picture shows,
    // for a camera that cannot calibrate).
    static bool LoginLens(CDlgPtz& tab, bool capable = true) {
        Click(tab, CCameraTab::kLoginId);
        if (!WaitForPicture(tab))
            return false;
        return !capable ||
               QTest::qWaitFor([&] { return Button(tab, CDlgPtz::kSetId)->isEnabled(); }, 10000);
    }

    static inline unitsim::Simulator* simulator_ = nullptr;
    QDialog window_;
    MessageRecorder owner_;
};

// ---------------------------------------------------------------------------------------------
// Fisheye centre tab

TEST_F(CameraTabsTest, TheCameraCircleReadOnPreviewStartShowsOnThePaneAndInTheFields) {
    auto tab = NewTab<CDlgAdjustFishEye>(40);
    ASSERT_TRUE(LoginAndWaitForCircle(*tab, kStored));
    const Circle shown = PaneCircle(*tab);
    EXPECT_TRUE(Field(*tab, CDlgAdjustFishEye::kCentreXId)
                    ->text()
                    .endsWith(QStringLiteral(", %1)").arg(shown.x)));
    EXPECT_TRUE(Field(*tab, CDlgAdjustFishEye::kCentreYId)
                    ->text()
                    .endsWith(QStringLiteral(", %1)").arg(shown.y)));
    EXPECT_TRUE(Field(*tab, CDlgAdjustFishEye::kCentreXId)->isReadOnly());
    // The pane stands 20 pixels inside the tab, 20 pixels left of the address caption.
    const QRect pane = tab->Pane()->geometry();
    EXPECT_EQ(pane.topLeft(), QPoint(20, 20));
    EXPECT_EQ(pane.bottom(), tab->height() - 21);
    EXPECT_EQ(pane.right() + 1, app::FindControl(tab.get(), 1018)->geometry().left() - 20);
    EXPECT_EQ(Unit(40).State().streams, 1);
    // The pane follows the tab's size.
    tab->resize(800, 500);
    EXPECT_EQ(tab->Pane()->geometry().bottom(), 500 - 21);
}

TEST_F(CameraTabsTest, DraggingAHandleAndMovingTheCircleChangeTheFields) {
    auto tab = NewTab<CDlgAdjustFishEye>(41);
    ASSERT_TRUE(LoginAndWaitForCircle(*tab, kStored));
    CDlgPreview* pane = tab->Pane();
    QLineEdit* shown_radius = Field(*tab, CDlgAdjustFishEye::kShownRadiusId);
    QLineEdit* shown_x = Field(*tab, CDlgAdjustFishEye::kCentreXId);

    // The bottom handle dragged 10 pixels up: a smaller circle.
    const QString radius_before = shown_radius->text();
    const QPoint bottom = Centre(*tab) + QPoint(0, HalfSide(*tab));
    QTest::mousePress(pane, Qt::LeftButton, {}, bottom);
    QTest::mouseMove(pane, bottom - QPoint(0, 5));
    QTest::mouseMove(pane, bottom - QPoint(0, 10));
    QTest::mouseRelease(pane, Qt::LeftButton, {}, bottom - QPoint(0, 10));
    ASSERT_TRUE(WaitSettled(*tab));
    EXPECT_NE(shown_radius->text(), radius_before);
    EXPECT_LT(PaneCircle(*tab).radius, kStored.radius - 5);

    // The circle moved 4 pixels left from its centre.
    const QString x_before = shown_x->text();
    const Circle circle_before = PaneCircle(*tab);
    const QPoint centre = Centre(*tab);
    QTest::mousePress(pane, Qt::LeftButton, {}, centre);
    QTest::mouseMove(pane, centre - QPoint(2, 0));
    QTest::mouseMove(pane, centre - QPoint(4, 0));
    QTest::mouseRelease(pane, Qt::LeftButton, {}, centre - QPoint(4, 0));
    ASSERT_TRUE(WaitSettled(*tab));
    EXPECT_NE(shown_x->text(), x_before);
    EXPECT_LT(PaneCircle(*tab).x, circle_before.x - 5);
    EXPECT_TRUE(
        Near(PaneCircle(*tab), Circle{PaneCircle(*tab).x, circle_before.y, circle_before.radius}));
}

TEST_F(CameraTabsTest, SetWritesThePaneCircleAndClearZeroesIt) {
    PromptAnswerer answerer;
    auto tab = NewTab<CDlgAdjustFishEye>(42);
    ASSERT_TRUE(LoginAndWaitForCircle(*tab, kStored));
    // Shrink the circle a little so that Set has something new to write.
    const QPoint right = Centre(*tab) + QPoint(HalfSide(*tab), 0);
    QTest::mousePress(tab->Pane(), Qt::LeftButton, {}, right);
    QTest::mouseMove(tab->Pane(), right - QPoint(6, 0));
    QTest::mouseRelease(tab->Pane(), Qt::LeftButton, {}, right - QPoint(6, 0));
    ASSERT_TRUE(WaitSettled(*tab));
    ASSERT_LT(PaneCircle(*tab).radius, kStored.radius - 5);

    const Circle fitted = PaneCircle(*tab);
    Click(*tab, CDlgAdjustFishEye::kSetId);
    ASSERT_TRUE(QTest::qWaitFor([&] { return !answerer.Boxes().empty(); }));
    EXPECT_EQ(answerer.Boxes(), (std::vector<PromptAnswerer::Seen>{{232, 2}}));
    EXPECT_EQ(Stored(42), fitted);
    QTest::qWait(100);
    EXPECT_EQ(PaneCircle(*tab), fitted);

    answerer.Clear();
    Click(*tab, CDlgAdjustFishEye::kClearId);
    ASSERT_TRUE(QTest::qWaitFor([&] { return !answerer.Boxes().empty(); }));
    EXPECT_EQ(answerer.Boxes(), (std::vector<PromptAnswerer::Seen>{{234, 2}}));
    EXPECT_EQ(Stored(42), Circle{});
    // The circle on the screen stays where it was.
    QTest::qWait(200);
    EXPECT_EQ(PaneCircle(*tab), fitted);
}

TEST_F(CameraTabsTest, AFailedWriteShows233AndTheCameraKeepsItsCircle) {
    PromptAnswerer answerer;
    auto tab = NewTab<CDlgAdjustFishEye>(43);
    ASSERT_TRUE(LoginAndWaitForCircle(*tab, kStored));
    Unit(43).SetFault(ZQNET_PARAM_FISHEYE, unitsim::Fault{.failWrite = true});
    Click(*tab, CDlgAdjustFishEye::kSetId);
    Click(*tab, CDlgAdjustFishEye::kClearId);
    Unit(43).ClearFaults();
    EXPECT_EQ(answerer.Boxes(), (std::vector<PromptAnswerer::Seen>{{233, 0}, {235, 0}}));
    EXPECT_EQ(Stored(43), kStored);
}

// A camera that never streams: no picture, no status 202, so no circle. Set has nothing to write
// (233) and leaves the camera's circle alone; Clear still works; nothing is stuck.
TEST_F(CameraTabsTest, SetBeforeTheFirstPictureWritesNothing) {
    PromptAnswerer answerer;
    Unit(44).SetFault(unitsim::kFaultPreview, unitsim::Fault{.noStream = true});
    auto tab = NewTab<CDlgAdjustFishEye>(44);
    Click(*tab, CCameraTab::kLoginId);
    ASSERT_TRUE(QTest::qWaitFor([&] { return Unit(44).State().sessions == 1; }, 10000));
    Click(*tab, CDlgAdjustFishEye::kSetId);
    EXPECT_EQ(Stored(44), kStored);
    Click(*tab, CDlgAdjustFishEye::kClearId);
    EXPECT_EQ(answerer.Boxes(), (std::vector<PromptAnswerer::Seen>{{233, 0}, {234, 2}}));
    EXPECT_EQ(Stored(44), Circle{});
    EXPECT_EQ(PaneCircle(*tab), Circle{});
    Unit(44).ClearFaults();
    // The next Login streams and shows the (now cleared) camera's circle nowhere: the pane's own.
    Click(*tab, CCameraTab::kLoginId);
    ASSERT_TRUE(WaitForPicture(*tab));
    ASSERT_TRUE(QTest::qWaitFor([&] { return PaneCircle(*tab).radius > 0; }, 10000));
}

// A radius typed before the pane has told anything centres the circle on (0, 0), which the pane
// does not take: the camera's circle shows as it is. Later the typed radius is centred on the
// first centre the tab saw.
TEST_F(CameraTabsTest, ARadiusTypedBeforeAnyNotificationDoesNotMoveTheCircle) {
    auto tab = NewTab<CDlgAdjustFishEye>(45);
    Click(*tab, CCameraTab::kLoginId);
    QTest::keyClicks(Field(*tab, CDlgAdjustFishEye::kRadiusId), "300");
    ASSERT_FALSE(tab->Operation().HasFirstCentre());
    ASSERT_TRUE(WaitForPicture(*tab));
    ASSERT_TRUE(QTest::qWaitFor([&] { return Near(PaneCircle(*tab), kStored); }, 20000));
    QTest::qWait(200);
    EXPECT_TRUE(Near(PaneCircle(*tab), kStored));

    // The first centre was the first circle the pane showed: the middle of the picture.
    ASSERT_TRUE(tab->Operation().HasFirstCentre());
    QLineEdit* radius = Field(*tab, CDlgAdjustFishEye::kRadiusId);
    radius->clear();
    QTest::keyClicks(radius, "460");
    ASSERT_TRUE(QTest::qWaitFor(
        [&] {
            return Near(PaneCircle(*tab), Circle{640, 480, 460});
        },
        10000));
    // Login empties the field.
    Click(*tab, CCameraTab::kLoginId);
    EXPECT_TRUE(radius->text().isEmpty());
}

// A camera whose stored circle lies outside its picture: the pane keeps its own circle, and the
// operator can fit and write one.
TEST_F(CameraTabsTest, ACircleOutsideThePictureLeavesThePaneUsable) {
    PromptAnswerer answerer;
    auto tab = NewTab<CDlgAdjustFishEye>(55);
    Click(*tab, CCameraTab::kLoginId);
    ASSERT_TRUE(WaitForPicture(*tab));
    ASSERT_TRUE(QTest::qWaitFor([&] { return Unit(55).State().streams == 1; }));
    QTest::qWait(300);  // the 202 and its read have been handled
    const Circle shown = PaneCircle(*tab);
    EXPECT_GT(shown.radius, 0);
    EXPECT_LE(shown.x + shown.radius, 1280);
    EXPECT_LE(shown.y + shown.radius, 960);
    Click(*tab, CDlgAdjustFishEye::kSetId);
    EXPECT_EQ(answerer.MessageIds(), std::vector<int>{232});
    EXPECT_EQ(Stored(55), PaneCircle(*tab));
}

// A camera that drops the connection in the middle of the preview: the last picture stays, Set
// and Clear say they failed, and Login brings the preview back.
TEST_F(CameraTabsTest, ACameraThatDropsMidPreviewLeavesTheTabUsable) {
    PromptAnswerer answerer;
    Unit(46).SetFault(unitsim::kFaultPreview, unitsim::Fault{.count = 1, .dropAfter = 30});
    auto tab = NewTab<CDlgAdjustFishEye>(46);
    Click(*tab, CCameraTab::kLoginId);
    ASSERT_TRUE(WaitForPicture(*tab));
    ASSERT_TRUE(QTest::qWaitFor([&] { return Unit(46).State().sessions == 0; }, 20000));
    Click(*tab, CDlgAdjustFishEye::kSetId);
    Click(*tab, CDlgAdjustFishEye::kClearId);
    EXPECT_EQ(answerer.MessageIds(), (std::vector<int>{233, 235}));
    EXPECT_EQ(Stored(46), kStored);
    ASSERT_TRUE(LoginAndWaitForCircle(*tab, kStored));
}

// A new unit, Back and the tab's end each stop the preview and the connection at the camera.
TEST_F(CameraTabsTest, DeviceChangeBackAndDestructionStopThePreview) {
    auto tab = NewTab<CDlgAdjustFishEye>(47);
    ASSERT_TRUE(LoginAndWaitForCircle(*tab, kStored));
    tab->SetDevice(Address(48), 34567, "admin");
    EXPECT_EQ(tab->PlayHandle(), 0u);
    EXPECT_EQ(tab->CameraConnection(), 0u);
    EXPECT_EQ(PaneCircle(*tab), Circle{});
    ASSERT_TRUE(QTest::qWaitFor([&] { return Unit(47).State().sessions == 0; }, 10000));
    EXPECT_EQ(app::FindControl<QLineEdit>(tab.get(), 1001)->text(), "34567");

    ASSERT_TRUE(LoginAndWaitForCircle(*tab, kStored));
    EXPECT_EQ(Unit(48).State().streams, 1);
    Click(*tab, CTabPage::kBackId);
    EXPECT_EQ(tab->CameraConnection(), 0u);
    ASSERT_TRUE(QTest::qWaitFor([&] { return Unit(48).State().sessions == 0; }, 10000));
    ASSERT_TRUE(QTest::qWaitFor([&] { return !owner_.messages.empty(); }));
    EXPECT_EQ(owner_.messages.back(), (std::pair<unsigned, std::uintptr_t>{1124, 5}));

    Click(*tab, CCameraTab::kLoginId);
    ASSERT_TRUE(WaitForPicture(*tab));
    tab.reset();
    ASSERT_TRUE(QTest::qWaitFor([&] { return Unit(48).State().sessions == 0; }, 10000));
    QTest::qWait(100);  // messages posted to the gone tab are dropped
}

// The fisheye tab keeps its password to itself; the lens calibration tab shares it. Enter in
// either does nothing.
TEST_F(CameraTabsTest, OnlyTheLensCalibrationTabSharesThePassword) {
    auto fisheye = NewTab<CDlgAdjustFishEye>(49);
    auto lens = NewTab<CDlgPtz>(60);
    for (CCameraTab* tab : std::initializer_list<CCameraTab*>{fisheye.get(), lens.get()}) {
        owner_.messages.clear();
        app::Settings().device_password = "before";
        QLineEdit* password = Field(*tab, CTabPage::kPasswordId);
        password->setFocus();
        QTest::keyClicks(password, "x");
        QTest::keyClick(password, Qt::Key_Return);
        Field(*tab, 1002)->setFocus();
        QApplication::processEvents();
        const bool shares = tab == lens.get();
        EXPECT_EQ(app::Settings().device_password, shares ? "pwx" : "before");
        EXPECT_EQ(owner_.messages.size(), shares ? 1u : 0u);
        EXPECT_EQ(tab->PreviewHandle(), 0u);  // Enter started nothing
    }
}

// ---------------------------------------------------------------------------------------------
// Lens calibration tab

TEST_F(CameraTabsTest, EachResultCodeShowsItsBoxAndSetIsEnabledAgain) {
    const std::pair<int, PromptAnswerer::Seen> cases[] = {
        {60, {239, 2}}, {64, {240, 0}}, {65, {291, 0}}, {66, {239, 2}}, {74, {240, 0}}};
    for (const auto& [unit, box] : cases) {
        SCOPED_TRACE(unit);
        PromptAnswerer answerer;
        auto tab = NewTab<CDlgPtz>(unit);
        QPushButton* set = Button(*tab, CDlgPtz::kSetId);
        EXPECT_FALSE(set->isEnabled());
        ASSERT_TRUE(LoginLens(*tab));
        Click(*tab, CDlgPtz::kSetId);
        EXPECT_FALSE(set->isEnabled());
        ASSERT_TRUE(QTest::qWaitFor([&] { return !answerer.Boxes().empty(); }, 10000));
        QTest::qWait(50);
        EXPECT_EQ(answerer.Boxes(), std::vector<PromptAnswerer::Seen>{box});
        EXPECT_TRUE(set->isEnabled());
        EXPECT_EQ(tab->Calibration().Running(), 0);
        EXPECT_EQ(Unit(unit).State().commands.back(), 108u);
    }
}

TEST_F(CameraTabsTest, WithoutTheCapabilitySetStaysDisabled) {
    auto tab = NewTab<CDlgPtz>(67);
    ASSERT_TRUE(LoginLens(*tab, false));
    QTest::qWait(300);
    EXPECT_FALSE(Button(*tab, CDlgPtz::kSetId)->isEnabled());
    // The controls without behaviour are there, hidden.
    for (int id : {CDlgPtz::kThicknessId, CDlgPtz::kComputeId, CDlgPtz::kCalibrateId, 1064}) {
        ASSERT_NE(app::FindControl(tab.get(), id), nullptr) << id;
        EXPECT_FALSE(app::FindControl(tab.get(), id)->isVisible()) << id;
    }
}

// A calibration the tab did not start (another station's): its alarms are ignored.
TEST_F(CameraTabsTest, AnAlarmBeforeSetIsIgnored) {
    PromptAnswerer answerer;
    auto tab = NewTab<CDlgPtz>(61);
    ASSERT_TRUE(LoginLens(*tab));
    {
        LoggedInSession other(Address(61), kPassword);
        ASSERT_NE(other.handle(), 0u);
        ASSERT_EQ(ZQNetPTZControl(other.handle(), ZQNET_PTZ_LENS_CALIBRATION, nullptr), 1);
        ASSERT_TRUE(QTest::qWaitFor([&] { return !Unit(61).State().calibrating; }, 10000));
    }
    QTest::qWait(200);
    EXPECT_TRUE(answerer.Boxes().empty());
    EXPECT_TRUE(Button(*tab, CDlgPtz::kSetId)->isEnabled());
}

// Alarm data shorter than the running byte (or than the result byte) counts as a finished,
// successful calibration: one box 239 at the first alarm; the camera's real result after it is
// ignored.
TEST_F(CameraTabsTest, ShortAlarmDataCountsAsFinishedAndSuccessful) {
    for (int unit : {71, 72, 73}) {
        SCOPED_TRACE(unit);
        PromptAnswerer answerer;
        auto tab = NewTab<CDlgPtz>(unit);
        ASSERT_TRUE(LoginLens(*tab));
        Click(*tab, CDlgPtz::kSetId);
        ASSERT_TRUE(QTest::qWaitFor([&] { return !answerer.Boxes().empty(); }, 10000));
        ASSERT_TRUE(QTest::qWaitFor([&] { return !Unit(unit).State().calibrating; }, 10000));
        QTest::qWait(200);
        EXPECT_EQ(answerer.Boxes(), (std::vector<PromptAnswerer::Seen>{{239, 2}}));
        EXPECT_TRUE(Button(*tab, CDlgPtz::kSetId)->isEnabled());
        EXPECT_EQ(tab->Calibration().PendingBlocks(), 0u);
    }
}

// Login, or a new unit, during a calibration: its final alarm is not shown and nothing is stuck.
TEST_F(CameraTabsTest, LoginOrADeviceChangeDuringACalibrationIgnoresItsResult) {
    {
        PromptAnswerer answerer;
        auto tab = NewTab<CDlgPtz>(68);
        ASSERT_TRUE(LoginLens(*tab));
        Click(*tab, CDlgPtz::kSetId);
        ASSERT_NE(tab->Calibration().Running(), 0);
        ASSERT_TRUE(LoginLens(*tab));  // Set is enabled again by the new login
        EXPECT_EQ(tab->Calibration().Running(), 0);
        ASSERT_TRUE(QTest::qWaitFor([&] { return !Unit(68).State().calibrating; }, 10000));
        QTest::qWait(200);
        EXPECT_TRUE(answerer.Boxes().empty());
        EXPECT_TRUE(Button(*tab, CDlgPtz::kSetId)->isEnabled());
    }
    PromptAnswerer answerer;
    auto tab = NewTab<CDlgPtz>(69);
    ASSERT_TRUE(LoginLens(*tab));
    Click(*tab, CDlgPtz::kSetId);
    tab->SetDevice(Address(70), 34567, "admin");
    EXPECT_FALSE(Button(*tab, CDlgPtz::kSetId)->isEnabled());
    EXPECT_EQ(tab->PlayHandle(), 0u);
    ASSERT_TRUE(QTest::qWaitFor([&] { return Unit(69).State().sessions == 0; }, 10000));
    ASSERT_TRUE(QTest::qWaitFor([&] { return !Unit(69).State().calibrating; }, 10000));
    QTest::qWait(200);
    EXPECT_TRUE(answerer.Boxes().empty());
    EXPECT_FALSE(Button(*tab, CDlgPtz::kSetId)->isEnabled());
    ASSERT_TRUE(LoginLens(*tab));
    EXPECT_EQ(Unit(70).State().streams, 1);
}

}  // namespace
