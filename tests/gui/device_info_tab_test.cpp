// The device information tab, driven as an operator would (type, tick, choose, press, answer the
// boxes), against simulated units on loopback, with the record store in a temporary folder; and
// its check boxes across a restart of the whole station.
#include <gtest/gtest.h>

#include <QCheckBox>
#include <QComboBox>
#include <QDialog>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>
#include <cstring>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "app/main_dlg.h"
#include "app/zqtalvane_app.h"
#include "config.h"
#include "config/device_options.h"
#include "device/ZQNet.h"
#include "message_recorder.h"
#include "platform/clock.h"
#include "prompt_answerer.h"
#include "records/record_store.h"
#include "simulator.h"
#include "support/test_files.h"
#include "support/ticking_clock.h"
#include "tabs/device_info_rules.h"
#include "tabs/dlg_device_info.h"
#include "tabs/mac_rules.h"
#include "ui/controls.h"
#include "ui/shell.h"

namespace {

using Seen = PromptAnswerer::Seen;
using Tab = CDlgDeviceInfo;
constexpr int kError = 0;
constexpr int kQuestion = 1;
constexpr int kSuccess = 2;
constexpr const char* kPassword = "pw";

std::string Address(int unit) {
    return "127.0.36." + std::to_string(unit);
}

std::string Hex(const void* data, size_t size) {
    static const char* digits = "0123456789abcdef";
    std::string text;
    for (size_t i = 0; i < size; ++i) {
        const auto byte = static_cast<const uint8_t*>(data)[i];
        text += digits[byte >> 4];
        text += digits[byte & 15];
    }
    return text;
}

template <typename T>
std::string Bytes(const T& record) {
    return std::string(reinterpret_cast<const char*>(&record), sizeof record);
}

// Unit 60's extended record as the line file sets it: the list values and counts as hex, the
// texts (in Chinese where a unit's names are) by their keys.
std::string Unit60Line() {
    ZQNetExtDeviceRecord ext{};
    ext.size = sizeof ext;
    ext.fourDisk = 170;
    ext.languageConfig = 8;
    ext.language = 29;
    ext.productCode = 3;
    ext.format = 1;
    ext.angleRotation = 2;
    ext.hddGroup = 0;
    ext.esata = 1;
    ext.alarmOutputs = 16;
    ext.alarmInputs = 8;
    ext.audioChannels = 4;
    ext.minFocal = 1;
    ext.maxFocal = 0;
    ext.poePower = 300;
    return R"({"address":"127.0.36.60","password":"pw","device_kind":2,"records":{"700":")" +
           Hex(&ext, sizeof ext) +
           R"("},"main_board":"ZQ-DM-Q","product_model":"NVR-1632-4D","device_model":"网络硬盘录像机","device_name":"十六路录像机","custom_code":"CN-03","ext_serial":"SER-0060","function_code":18446744073709551615,"board_key_id":3735928559,"board_id":"BOARD-0060","device_type":3})";
}

// Recorders (kind 2) at .1 to .39, cameras (kind 4) at .40 to .49, a recorder whose records the
// line file sets at .60.
std::string UnitLines() {
    return R"({"address":"127.0.36.1","count":39,"password":"pw","device_kind":2,"mac":"00:12:41:36:00:01"}
{"address":"127.0.36.40","count":10,"password":"pw","device_kind":4,"autofocus_version":"AF-2.1","mac":"00:12:41:36:00:40"}
)" + Unit60Line() +
           "\n";
}

// Option sets: "Fisheye" and "IPC" share the product model IPC-FE500.
const char* kOptions = R"(<?xml version="1.0" encoding="UTF-8"?>
<DeviceInfo>
  <Name><NAME>NVR</NAME>
    <ProductType><ProductType>NVR-0408-P</ProductType><DeviceType>NVR0408</DeviceType><DeviceName>4CH NVR</DeviceName><FuncCode>1024</FuncCode><LangCode>EN-01</LangCode></ProductType>
    <ProductType><ProductType>NVR-0816-P</ProductType><DeviceType>NVR0816</DeviceType><DeviceName>8CH NVR</DeviceName><FuncCode>1025</FuncCode><LangCode>EN-02</LangCode></ProductType>
  </Name>
  <Name><NAME>IPC</NAME>
    <ProductType><ProductType>IPC-FE500</ProductType><DeviceType>IPCFE5</DeviceType><DeviceName>鱼眼摄像机</DeviceName><FuncCode>700</FuncCode><LangCode>CN-03</LangCode></ProductType>
  </Name>
  <Name><NAME>Fisheye</NAME>
    <ProductType><ProductType>IPC-FE500</ProductType><DeviceType>IPCFE5-F</DeviceType><DeviceName>Fisheye camera</DeviceName><FuncCode>640</FuncCode><LangCode>EN-01</LangCode></ProductType>
    <ProductType><ProductType>IPC-FE360</ProductType><DeviceType>IPCFE3</DeviceType><DeviceName>360 camera</DeviceName><FuncCode>641</FuncCode><LangCode>EN-01</LangCode></ProductType>
  </Name>
</DeviceInfo>
)";

// The items' texts a Set of every item passes with.
struct Texts {
    std::string main_board = "ZQ-DM-A";
    std::string product_model = "NVR-0408-P";
    std::string device_model = "NVR0408";
    std::string device_name = "4CH NVR";
    std::string function_code = "1024";
    std::string custom_code = "EN-01";
    std::string key_id = "0x1A";
    std::string board_id = "BRD-1";
    std::string alarm_outputs = "4";
    std::string alarm_inputs = "8";
    std::string audio = "1";
    std::string poe_power = "30";
    std::string serial;  // "SN-<unit>" unless given
};

// True when `control` is its window's focus widget (the test's window need not be active).
bool Focused(QWidget* control) {
    return control->window()->focusWidget() == control;
}

std::vector<OptionFlag> AllFlags() {
    std::vector<OptionFlag> flags;
    for (int f = 0; f < kOptionFlagCount; ++f)
        flags.push_back(static_cast<OptionFlag>(f));
    return flags;
}

class DeviceInfoTabTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        folder_ = new test_files::TempFolder;
        std::vector<unitsim::UnitConfig> units;
        std::string error;
        ASSERT_TRUE(unitsim::ParseUnitLines(UnitLines(), units, error)) << error;
        simulator_ = new unitsim::Simulator;
        ASSERT_TRUE(simulator_->Start(units, error)) << error;
        test_files::WriteFile(*folder_ / "program/DeviceInfo.xml", kOptions);
        config::LoadDeviceOptions(*folder_ / "program/");
        ASSERT_TRUE(records::OpenRecordStore(records::Store(), *folder_ / "config/"));
        platform::SetLocalClock(test_clock::Ticking);
        ZQNetInit();
    }
    static void TearDownTestSuite() {
        ZQNetRelease();
        platform::SetLocalClock(nullptr);
        records::Store().Close();
        config::LoadDeviceOptions(*folder_ / "none/");
        delete simulator_;
        delete folder_;
    }

    void SetUp() override {
        app::Shell() = app::ShellState{};
        app::Shell().text = [](int id) { return "T" + std::to_string(id); };
        window_.resize(760, 520);
        window_.show();
    }

    static unitsim::Unit& Unit(int unit) { return *simulator_->Find(Address(unit)); }
    static std::vector<uint32_t> Writes(int unit) {
        std::vector<uint32_t> codes;
        for (const auto& r : Unit(unit).State().requests) {
            if (r.write)
                codes.push_back(r.code);
        }
        return codes;
    }
    static std::vector<uint32_t> Queries(int unit) {
        std::vector<uint32_t> codes;
        for (const auto& r : Unit(unit).State().requests) {
            if (!r.write)
                codes.push_back(r.code);
        }
        return codes;
    }
    static ZQNetExtDeviceRecord WrittenExt(int unit) {
        ZQNetExtDeviceRecord r{};
        const auto written = Unit(unit).State().written;
        if (auto it = written.find(700); it != written.end() && it->second.size() == sizeof r)
            std::memcpy(&r, it->second.data(), sizeof r);
        return r;
    }

    // A device information tab for `unit`, as the main window leaves it after a double click in
    // the search view, with the device password typed.
    Tab& OpenTab(int unit) {
        tab_.reset();
        tab_ = std::make_unique<Tab>();
        EXPECT_TRUE(tab_->Create(Tab::kTemplateId, &window_));
        tab_->SetOwner(owner_.handle.handle());
        tab_->setGeometry(0, 0, 740, 500);
        tab_->show();
        tab_->SetDevice(Address(unit), 34567, "admin");
        Edit(*tab_, CTabPage::kPasswordId)->setText(kPassword);
        return *tab_;
    }

    static QLineEdit* Edit(QWidget& tab, int id) { return app::FindControl<QLineEdit>(&tab, id); }
    static QComboBox* List(QWidget& tab, int id) { return app::FindControl<QComboBox>(&tab, id); }
    static QPushButton* Button(QWidget& tab, int id) {
        return app::FindControl<QPushButton>(&tab, id);
    }
    static QCheckBox* Check(QWidget& tab, OptionFlag flag) {
        return app::FindControl<QCheckBox>(&tab, Tab::CheckBoxId(flag));
    }

    // Leaves exactly `flags` checked (the device-type flag has no box and stays as it is).
    static void CheckOnly(Tab& tab, const std::vector<OptionFlag>& flags) {
        for (int f = 0; f < kOptionFlagCount; ++f) {
            const auto flag = static_cast<OptionFlag>(f);
            if (QCheckBox* box = Check(tab, flag)) {
                box->setChecked(std::find(flags.begin(), flags.end(), flag) != flags.end());
            }
        }
    }
    static void Type(Tab& tab, const Texts& t) {
        const std::pair<int, const std::string*> fields[] = {
            {Tab::kMainBoardId, &t.main_board},
            {Tab::kDeviceModelId, &t.device_model},
            {Tab::kDeviceNameId, &t.device_name},
            {Tab::kFunctionCodeId, &t.function_code},
            {Tab::kCustomCodeId, &t.custom_code},
            {Tab::kKeyIdId, &t.key_id},
            {Tab::kBoardIdId, &t.board_id},
            {Tab::kSerialId, &t.serial},
            {Tab::kAlarmOutputsId, &t.alarm_outputs},
            {Tab::kAlarmInputsId, &t.alarm_inputs},
            {Tab::kAudioId, &t.audio},
            {Tab::kPoePowerId, &t.poe_power},
        };
        for (const auto& [id, text] : fields) {
            Edit(tab, id)->setText(QString::fromStdString(*text));
        }
        List(tab, Tab::kProductModelId)->setEditText(QString::fromStdString(t.product_model));
    }
    static void Choose(QComboBox* list, int index) {
        list->setCurrentIndex(index);
        emit list->activated(index);  // as the operator's choice with the mouse
    }
    static bool WaitIdle(Tab& tab) {
        return QTest::qWaitFor([&] { return !tab.Busy(); }, 20000);
    }
    static void PressAndWait(Tab& tab, int button) {
        QTest::mouseClick(Button(tab, button), Qt::LeftButton);
        ASSERT_TRUE(WaitIdle(tab));
        QTest::qWait(10);
    }
    static bool Recorded(const std::string& serial) {
        return records::Store().RecordExists("DeviceInfo", "SerialNum", serial);
    }

    static inline test_files::TempFolder* folder_ = nullptr;
    static inline unitsim::Simulator* simulator_ = nullptr;
    QDialog window_;
    MessageRecorder owner_;
    std::unique_ptr<Tab> tab_;
};

TEST_F(DeviceInfoTabTest, EveryItemHasItsControlCheckBoxCaptionAndFlag) {
    app::Settings().option_flags[kAudioNum] = false;
    app::Settings().option_flags[kMinFoaclLength] = false;
    Tab& tab = OpenTab(1);
    struct Item {
        int input;
        OptionFlag flag;
        const char* caption;
        bool list;
    };
    const Item items[] = {
        {1068, kMainBoardName, "T136", false}, {1069, kProductType, "T137", true},
        {1070, kDeviceType, "T138", false},    {1071, kDeviceName, "T139", false},
        {1080, kFunctionCode, "T143", false},  {1085, kCustomType, "T145", false},
        {1041, kKeyID, "Key ID", false},       {1045, kBoardID, "Board ID", false},
        {1130, kFourDisk, "T171", true},       {1146, kLanguageConfig, "T184", true},
        {1149, kLanguage, "T185", true},       {1154, kSerialNum, "T131", false},
        {1157, kProductCode, "T220", true},    {1160, kFormat, "T221", true},
        {1174, kAngleRotation, "T264", true},  {1182, kAlarmOutputNum, "T282", false},
        {1145, kAlarmInputNum, "T283", false}, {1144, kAudioNum, "T284", false},
        {1181, kPoePower, "T285", false},      {1191, kHddGroup, "T287", true},
        {1193, kEsataenable, "T288", true},    {1214, kMinFoaclLength, "T296", true},
        {1215, kMaxFoaclLength, "T297", true},
    };
    const int check_ids[] = {1076, 1077, 1078, 1079, 1082, 1086, 1123, 1124, 1132, 1147, 1150, 1155,
                             1158, 1162, 1163, 1186, 1185, 1183, 1184, 1192, 1194, 1211, 1210};
    auto label_of = [&tab](QWidget* input) -> QLabel* {
        for (QLabel* label : tab.findChildren<QLabel*>()) {
            if (label->buddy() == input)
                return label;
        }
        return nullptr;
    };
    for (size_t i = 0; i < std::size(items); ++i) {
        const Item& item = items[i];
        SCOPED_TRACE(item.input);
        QWidget* input = app::FindControl(&tab, item.input);
        ASSERT_NE(input, nullptr);
        EXPECT_EQ(qobject_cast<QComboBox*>(input) != nullptr, item.list);
        EXPECT_EQ(Tab::CheckBoxId(item.flag), check_ids[i]);
        QCheckBox* check = app::FindControl<QCheckBox>(&tab, check_ids[i]);
        ASSERT_NE(check, nullptr);
        EXPECT_EQ(check->isChecked(), item.flag != kAudioNum && item.flag != kMinFoaclLength);
        QLabel* label = label_of(input);
        ASSERT_NE(label, nullptr);
        EXPECT_EQ(label->text(), item.caption);
    }
    EXPECT_EQ(Tab::CheckBoxId(kHobDeviceType), -1);  // the device type has no box
    EXPECT_TRUE(List(tab, Tab::kProductModelId)->isEditable());
    // The autofocus version is only shown.
    EXPECT_TRUE(Edit(tab, Tab::kAutofocusId)->isReadOnly());
    EXPECT_FALSE(Edit(tab, Tab::kAutofocusId)->isEnabled());
    auto* autofocus = app::FindControl<QCheckBox>(&tab, Tab::kAutofocusCheckId);
    EXPECT_TRUE(autofocus->isChecked());
    EXPECT_FALSE(autofocus->isEnabled());
    EXPECT_EQ(label_of(Edit(tab, Tab::kAutofocusId))->text(), "T227");

    // The fixed lists: texts and stored values, the first entry selected.
    const std::map<int, std::vector<std::pair<QString, unsigned>>> lists = {
        {1130, {{"T172", 255}, {"T173", 85}, {"T174", 170}}},
        {1146,
         {{"T216", 0},
          {"T217", 1},
          {"T225", 2},
          {"T226", 3},
          {"T244", 4},
          {"T265", 5},
          {"T278", 6},
          {"T280", 7},
          {"T299", 8}}},
        {1157,
         {{"Normal", 255},
          {"Code A", 0},
          {"Code B", 1},
          {"SD", 2},
          {"Code A SD", 3},
          {"Code B SD", 4}}},
        {1160, {{"P", 0}, {"N", 1}}},
        {1174, {{"T266", 0}, {"T268", 2}}},
        {1191, {{"T314", 1}, {"T315", 0}}},
        {1193, {{"T314", 1}, {"T315", 0}}},
        {1214, {{"T298", 0}, {"4mm", 1}}},
        {1215, {{"T298", 0}}},
    };
    for (const auto& [id, entries] : lists) {
        SCOPED_TRACE(id);
        QComboBox* list = List(tab, id);
        ASSERT_EQ(list->count(), static_cast<int>(entries.size()));
        EXPECT_EQ(list->currentIndex(), 0);
        for (int i = 0; i < list->count(); ++i) {
            EXPECT_EQ(list->itemText(i), entries[static_cast<size_t>(i)].first);
            EXPECT_EQ(list->itemData(i).toUInt(), entries[static_cast<size_t>(i)].second);
        }
    }
    QComboBox* languages = List(tab, 1149);
    ASSERT_EQ(languages->count(), 30);
    for (int n = 0; n < 30; ++n) {
        EXPECT_EQ(languages->itemText(n), QString("T%1").arg(186 + n));
        EXPECT_EQ(languages->itemData(n).toInt(), n);
    }
    // The option sets in the map's order after "Normal".
    QComboBox* sets = List(tab, Tab::kOptionSetId);
    ASSERT_EQ(sets->count(), 4);
    EXPECT_EQ(sets->itemText(0), "Normal");
    EXPECT_EQ(sets->itemText(1), "Fisheye");
    EXPECT_EQ(sets->itemText(2), "IPC");
    EXPECT_EQ(sets->itemText(3), "NVR");
    EXPECT_EQ(List(tab, Tab::kProductModelId)->count(), 0);
    // Buttons and frames.
    EXPECT_EQ(Button(tab, Tab::kQueryId)->text(), "T32");
    EXPECT_EQ(Button(tab, Tab::kSetId)->text(), "T31");
    EXPECT_EQ(Button(tab, Tab::kSelectAllId)->text(), "T286");
    EXPECT_EQ(app::FindControl<QGroupBox>(&tab, Tab::kConnectionGroupId)->title(), "T139");
    EXPECT_EQ(app::FindControl<QGroupBox>(&tab, Tab::kItemsGroupId)->title(), "T141");
}

TEST_F(DeviceInfoTabTest, CheckBoxesGoBackToTheSettingsAtOnceAndWhenTheTabGoes) {
    app::Settings().option_flags[kHobDeviceType] = false;
    Tab& tab = OpenTab(1);
    EXPECT_FALSE(tab.Flags()[kHobDeviceType]);
    Check(tab, kAlarmOutputNum)->click();
    EXPECT_FALSE(app::Settings().option_flags[kAlarmOutputNum]);
    EXPECT_TRUE(app::Settings().option_flags[kAlarmInputNum]);
    // Something else changes the settings meanwhile: the tab's flags win when it goes.
    app::Settings().option_flags.fill(true);
    const std::array<bool, kOptionFlagCount> flags = tab.Flags();
    tab_.reset();
    EXPECT_EQ(app::Settings().option_flags, flags);
    EXPECT_FALSE(app::Settings().option_flags[kAlarmOutputNum]);
    EXPECT_FALSE(app::Settings().option_flags[kHobDeviceType]);
}

TEST_F(DeviceInfoTabTest, SelectAllClearsFirstThenChecksEveryBox) {
    Tab& tab = OpenTab(1);
    for (bool expected : {false, true, false}) {
        SCOPED_TRACE(expected);
        QTest::mouseClick(Button(tab, Tab::kSelectAllId), Qt::LeftButton);
        for (int f = 0; f < kOptionFlagCount; ++f) {
            const auto flag = static_cast<OptionFlag>(f);
            EXPECT_EQ(tab.Flags()[flag], expected) << f;
            EXPECT_EQ(app::Settings().option_flags[flag], expected) << f;
            if (flag != kHobDeviceType) {
                EXPECT_EQ(Check(tab, flag)->isChecked(), expected) << f;
            }
        }
        EXPECT_TRUE(app::FindControl<QCheckBox>(&tab, Tab::kAutofocusCheckId)->isChecked());
    }
    // A single box changed by hand does not change what the next press does.
    Check(tab, kFormat)->click();
    QTest::mouseClick(Button(tab, Tab::kSelectAllId), Qt::LeftButton);
    EXPECT_TRUE(Check(tab, kFormat)->isChecked());
    EXPECT_TRUE(Check(tab, kKeyID)->isChecked());
}

TEST_F(DeviceInfoTabTest, OptionSetsAndProductModelsFillTheirItems) {
    Tab& tab = OpenTab(1);
    Texts typed;
    typed.serial = "SN-KEEP";
    Type(tab, typed);
    QComboBox* sets = List(tab, Tab::kOptionSetId);
    QComboBox* models = List(tab, Tab::kProductModelId);
    auto fields = [&tab] {
        std::vector<QString> texts;
        for (int id : {Tab::kMainBoardId, Tab::kDeviceModelId, Tab::kDeviceNameId,
                       Tab::kFunctionCodeId, Tab::kCustomCodeId, Tab::kKeyIdId, Tab::kBoardIdId,
                       Tab::kSerialId, Tab::kAlarmOutputsId, Tab::kPoePowerId}) {
            texts.push_back(Edit(tab, id)->text());
        }
        texts.push_back(List(tab, Tab::kProductModelId)->currentText());
        return texts;
    };

    Choose(sets, 1);  // Fisheye: its models, the first one's record
    ASSERT_EQ(models->count(), 2);
    EXPECT_EQ(models->itemText(0), "IPC-FE500");
    EXPECT_EQ(models->itemText(1), "IPC-FE360");
    EXPECT_EQ(models->currentIndex(), 0);
    std::vector<QString> want = {"ZQ-DM-A", "IPCFE5-F", "Fisheye camera", "640",
                                 "EN-01",   "0x1A",     "BRD-1",          "SN-KEEP",
                                 "4",       "30",       "IPC-FE500"};
    EXPECT_EQ(fields(), want);

    Choose(models, 1);  // a model of one set only
    want = {"ZQ-DM-A", "IPCFE3",  "360 camera", "641", "EN-01",    "0x1A",
            "BRD-1",   "SN-KEEP", "4",          "30",  "IPC-FE360"};
    EXPECT_EQ(fields(), want);

    // A model two sets share: the record of the set that comes last in the map's order.
    Choose(models, 0);
    want = {"ZQ-DM-A", "IPCFE5",  "鱼眼摄像机", "700", "CN-03",    "0x1A",
            "BRD-1",   "SN-KEEP", "4",          "30",  "IPC-FE500"};
    EXPECT_EQ(fields(), want);

    // "Normal" empties the product model list and changes nothing else.
    Choose(sets, 0);
    EXPECT_EQ(models->count(), 0);
    EXPECT_EQ(fields(), want);

    // A typed model of no set fills nothing.
    Choose(sets, 3);  // NVR
    EXPECT_EQ(Edit(tab, Tab::kDeviceNameId)->text(), "4CH NVR");
    models->setEditText("NO-SUCH-MODEL");
    emit models->activated(-1);
    EXPECT_EQ(Edit(tab, Tab::kDeviceNameId)->text(), "4CH NVR");
}

// Every way a Set can end, each on a unit of its own.
TEST_F(DeviceInfoTabTest, SetsEndAsTheOperatorExpects) {
    struct Case {
        const char* name;
        int unit;
        std::vector<OptionFlag> flags;
        std::function<void(Texts&)> texts;
        std::vector<Seen> boxes;
        std::vector<uint32_t> writes;  // codes the unit received, in order
        bool recorded;                 // a DeviceInfo row with the serial number afterwards
        std::function<void(Tab&, const unitsim::UnitState&)> check = {};
        std::function<void()> arrange = {};
        std::map<int, int> answers = {};
    };
    auto none = [](Texts&) {};
    auto main_board = [](const char* text) { return [text](Texts& t) { t.main_board = text; }; };
    auto recorded_serial = [](const char* serial) {
        return [serial] {
            ASSERT_TRUE(records::InsertDeviceRow(records::Store(), "DeviceInfo", "127.0.0.1", 1,
                                                 {"", "", "", "", "", "", serial}));
        };
    };
    const Case cases[] = {
        {"video format alone", 1, {kFormat}, none, {{140, kError}}, {}, false},
        {"nothing checked", 2, {}, none, {{140, kError}}, {}, false},
        {"lower-case prefix on a recorder",
         3,
         {kMainBoardName},
         main_board("zq-dm-B"),
         {{48, kSuccess}},
         {700},
         true,
         [](Tab&, const unitsim::UnitState& s) {
             EXPECT_STREQ(s.ext.mainBoard, "zq-dm-B");
             EXPECT_EQ(s.ext.mask, 0x1u);
         }},
        {"small last letter",
         4,
         {kMainBoardName},
         main_board("ZQ-DM-b"),
         {{151, kError}},
         {},
         false,
         [](Tab& tab, const unitsim::UnitState& s) {
             EXPECT_EQ(s.logins, 0);  // refused before login
             EXPECT_TRUE(Focused(Edit(tab, Tab::kMainBoardId)));
         }},
        {"camera prefix on a recorder",
         5,
         {kMainBoardName},
         main_board("ZQ-CM-B"),
         {{151, kError}},
         {},
         false,
         [](Tab& tab, const unitsim::UnitState& s) {
             EXPECT_EQ(s.logins, 1);  // refused after login
             EXPECT_TRUE(Focused(Edit(tab, Tab::kMainBoardId)));
         }},
        {"camera prefix on a camera",
         40,
         {kMainBoardName},
         main_board("zq-CM-C"),
         {{48, kSuccess}},
         {700},
         true},
        {"recorder prefix on a camera",
         41,
         {kMainBoardName},
         main_board("ZQ-DM-C"),
         {{151, kError}},
         {},
         false},
        {"function code 12abc",
         6,
         {kFunctionCode},
         [](Texts& t) { t.function_code = "12abc"; },
         {{48, kSuccess}},
         {700},
         true,
         [](Tab&, const unitsim::UnitState& s) {
             EXPECT_EQ(Bytes(s.ext.functionCode), std::string("\x0c\0\0\0\0\0\0\0", 8));
             EXPECT_EQ(s.ext.mask, 0x80u);
         }},
        {"function code abc",
         7,
         {kFunctionCode},
         [](Texts& t) { t.function_code = "abc"; },
         {{144, kError}},
         {},
         false,
         [](Tab& tab, const unitsim::UnitState&) {
             EXPECT_TRUE(Edit(tab, Tab::kFunctionCodeId)->text().isEmpty());
         }},
        {"key ID 0xFFFFFFFF",
         8,
         {kMainBoardName, kKeyID, kBoardID},
         [](Texts& t) { t.key_id = "0xFFFFFFFF"; },
         {{48, kSuccess}},
         {700, 582},
         true,
         [](Tab&, const unitsim::UnitState& s) {
             EXPECT_EQ(s.board.keyId, 4294967295u);
             EXPECT_EQ(tabs::FieldText(s.board.boardId, 16), "BRD-1");
             EXPECT_EQ(s.board.deviceType, 0);  // the device-type flag with the index at start
             EXPECT_EQ(s.ext.mask, 0x1u);
         }},
        {"key ID without 0x",
         9,
         {kMainBoardName, kKeyID},
         [](Texts& t) { t.key_id = "FFFFFFFF"; },
         {{123, kError}},
         {},
         false},
        {"key ID beyond 32 bits",
         10,
         {kMainBoardName, kKeyID},
         [](Texts& t) { t.key_id = "0x100000000"; },
         {{123, kError}},
         {},
         false},
        {"key ID without board ID",
         11,
         {kMainBoardName, kKeyID},
         [](Texts& t) { t.board_id = ""; },
         {{48, kSuccess}},
         {700, 582},
         true,
         [](Tab&, const unitsim::UnitState& s) {
             EXPECT_EQ(s.board.keyId, 0x1Au);
             EXPECT_EQ(Bytes(s.board.boardId), std::string(16, '\0'));
         }},
        {"board ID without key ID",
         12,
         {kBoardID},
         [](Texts& t) { t.key_id = ""; },
         {{48, kSuccess}},
         {700, 582},
         true,
         [](Tab&, const unitsim::UnitState& s) {
             EXPECT_EQ(s.board.keyId, 0u);
             EXPECT_EQ(s.ext.mask, 0u);
         }},
        {"maximum focal length alone",
         13,
         {kMaxFoaclLength},
         none,
         {{48, kSuccess}},
         {700},
         true,
         [](Tab&, const unitsim::UnitState& s) {
             EXPECT_EQ(s.ext.mask, 0x400000u);  // as the unit keeps it
             ZQNetExtDeviceRecord sent{};
             std::memcpy(&sent, s.written.at(700).data(), sizeof sent);
             EXPECT_EQ(sent.mask, 0x400000u);
         }},
        {"serial number recorded, OK",
         14,
         {kSerialNum},
         [](Texts& t) { t.serial = "SN-TWICE-1"; },
         {{135, kQuestion}, {48, kSuccess}},
         {700},
         true,
         [](Tab& tab, const unitsim::UnitState& s) {
             EXPECT_EQ(tabs::FieldText(s.ext.serial, 32), "SN-TWICE-1");
             EXPECT_TRUE(Edit(tab, Tab::kSerialId)->text().isEmpty());
             EXPECT_TRUE(Focused(Edit(tab, Tab::kSerialId)));
         },
         recorded_serial("SN-TWICE-1")},
        {"serial number recorded, Cancel",
         15,
         {kSerialNum},
         [](Texts& t) { t.serial = "SN-TWICE-2"; },
         {{135, kQuestion}},
         {},
         true,
         [](Tab&, const unitsim::UnitState& s) { EXPECT_EQ(s.logins, 0); },
         recorded_serial("SN-TWICE-2"),
         {{135, CMyMessageBox::kIdCancel}}},
        {"board ID of 17 characters",
         16,
         {kBoardID},
         [](Texts& t) { t.board_id = "0123456789ABCDEFG"; },
         {{122, kError}},
         {},
         false},
        {"alarm outputs out of range",
         17,
         {kAlarmOutputNum},
         [](Texts& t) { t.alarm_outputs = "256"; },
         {{149, kError}},
         {},
         false},
        {"PoE power not a number",
         18,
         {kPoePower},
         [](Texts& t) { t.poe_power = "lots"; },
         {{149, kError}},
         {},
         false},
        {"every item",
         19,
         AllFlags(),
         none,
         {{48, kSuccess}},
         {700, 582},
         true,
         [](Tab& tab, const unitsim::UnitState& s) {
             EXPECT_EQ(s.ext.mask, 0x7FFFF9u);
             EXPECT_EQ(s.ext.poePower, 30);
             EXPECT_EQ(s.ext.fourDisk, 255);
             EXPECT_EQ(s.ext.productCode, 255);
             EXPECT_STREQ(s.ext.deviceName, "4CH NVR");
             EXPECT_TRUE(Focused(Edit(tab, Tab::kSerialId)));
         }},
        {"extended record refused",
         20,
         {kMainBoardName, kKeyID, kBoardID},
         none,
         {{49, kError}},
         {700},
         false,
         {},
         [] { Unit(20).SetFault(700, {.failWrite = true, .count = 1}); }},
        {"board record refused",
         21,
         {kMainBoardName, kKeyID, kBoardID},
         none,
         {{49, kError}},
         {700, 582},
         true,
         {},
         [] { Unit(21).SetFault(582, {.failWrite = true, .count = 1}); }},
        {"kind unreadable with the main board checked",
         22,
         {kMainBoardName},
         none,
         {{49, kError}},
         {},
         false,
         {},
         [] { Unit(22).SetFault(unitsim::kFaultDevInfo, {.failQuery = true, .count = 1}); }},
        {"kind unreadable without the main board",
         23,
         {kMaxFoaclLength},
         none,
         {{48, kSuccess}},
         {700},
         true,
         {},
         [] { Unit(23).SetFault(unitsim::kFaultDevInfo, {.failQuery = true, .count = 1}); }},
        {"the unit drops the write",
         24,
         {kMainBoardName},
         none,
         {{49, kError}},
         {700},
         false,
         {},
         [] { Unit(24).SetFault(700, {.drop = true, .count = 1}); }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Tab& tab = OpenTab(c.unit);
        if (c.arrange)
            c.arrange();
        Texts texts;
        texts.serial = "SN-" + std::to_string(c.unit);
        c.texts(texts);
        Type(tab, texts);
        CheckOnly(tab, c.flags);
        PromptAnswerer answerer;
        for (const auto& [id, answer] : c.answers)
            answerer.AnswerWith(id, answer);
        const int logins = Unit(c.unit).State().logins;
        PressAndWait(tab, Tab::kSetId);
        EXPECT_EQ(answerer.Boxes(), c.boxes);
        EXPECT_EQ(Writes(c.unit), c.writes);
        EXPECT_EQ(Recorded(texts.serial), c.recorded);
        if (c.check) {
            unitsim::UnitState state = Unit(c.unit).State();
            state.logins -= logins;
            c.check(tab, state);
        }
        EXPECT_TRUE(Button(tab, Tab::kQueryId)->isEnabled());
        EXPECT_TRUE(Button(tab, Tab::kSetId)->isEnabled());
    }
}

TEST_F(DeviceInfoTabTest, AFailedLoginShowsItsTextAndWritesNothing) {
    for (int button : {Tab::kSetId, Tab::kQueryId}) {
        SCOPED_TRACE(button);
        Tab& tab = OpenTab(25);
        Type(tab, Texts{.serial = "SN-25"});
        Edit(tab, CTabPage::kPasswordId)->setText("wrong");
        PromptAnswerer answerer;
        PressAndWait(tab, button);
        EXPECT_EQ(answerer.Boxes(), (std::vector<Seen>{{42, kError}}));
        EXPECT_TRUE(Unit(25).State().requests.empty());
        EXPECT_TRUE(Focused(Edit(tab, Tab::kMainBoardId)));
        EXPECT_EQ(Edit(tab, Tab::kMainBoardId)->text(), "ZQ-DM-A");  // nothing shown
        EXPECT_FALSE(Recorded("SN-25"));
    }
}

TEST_F(DeviceInfoTabTest, AQueryShowsEveryFieldOfAUnitSetFromTheLineFile) {
    Tab& tab = OpenTab(60);
    CheckOnly(tab, {});
    PromptAnswerer answerer;
    PressAndWait(tab, Tab::kQueryId);
    EXPECT_EQ(answerer.Boxes(), (std::vector<Seen>{{46, kSuccess}}));
    const std::map<int, QString> texts = {
        {Tab::kMainBoardId, "ZQ-DM-Q"},
        {Tab::kDeviceModelId, "网络硬盘录像机"},
        {Tab::kDeviceNameId, "十六路录像机"},
        {Tab::kFunctionCodeId, "18446744073709551615"},
        {Tab::kCustomCodeId, "CN-03"},
        {Tab::kKeyIdId, "0xdeadbeef"},
        {Tab::kBoardIdId, "BOARD-0060"},
        {Tab::kSerialId, "SER-0060"},
        {Tab::kAlarmOutputsId, "16"},
        {Tab::kAlarmInputsId, "8"},
        {Tab::kAudioId, "4"},
        {Tab::kPoePowerId, "300"},
        {Tab::kAutofocusId, ""},
    };
    for (const auto& [id, text] : texts) {
        EXPECT_EQ(Edit(tab, id)->text(), text) << id;
    }
    EXPECT_EQ(List(tab, Tab::kProductModelId)->currentText(), "NVR-1632-4D");
    const std::map<int, QString> selected = {
        {Tab::kFourDiskId, "T174"}, {Tab::kLanguageConfigId, "T299"},
        {Tab::kLanguageId, "T215"}, {Tab::kProductCodeId, "Code A SD"},
        {Tab::kFormatId, "N"},      {Tab::kAngleRotationId, "T268"},
        {Tab::kHddGroupId, "T315"}, {Tab::kEsataId, "T314"},
        {Tab::kMinFocalId, "4mm"},  {Tab::kMaxFocalId, "T298"},
    };
    for (const auto& [id, text] : selected) {
        EXPECT_EQ(List(tab, id)->currentText(), text) << id;
    }
    EXPECT_TRUE(Focused(Edit(tab, Tab::kMainBoardId)));
    EXPECT_EQ(tab.Operation().DeviceTypeIndexValue(), 3);
    // A recorder has no focus record: only 700 and 582 were asked for; nothing was written.
    EXPECT_EQ(Queries(60), (std::vector<uint32_t>{700, 582}));
    EXPECT_TRUE(Writes(60).empty());

    // The device type the Query found goes into the next board record.
    CheckOnly(tab, {kMainBoardName, kKeyID, kBoardID});
    Edit(tab, Tab::kSerialId)->setText("SER-0060-B");
    answerer.Clear();
    PressAndWait(tab, Tab::kSetId);
    EXPECT_EQ(answerer.Boxes(), (std::vector<Seen>{{48, kSuccess}}));
    const ZQNetBoardRecord board = Unit(60).State().board;
    EXPECT_EQ(board.deviceType, 3);
    EXPECT_EQ(board.keyId, 0xdeadbeefu);
    EXPECT_EQ(tabs::FieldText(board.boardId, 16), "BOARD-0060");
    // Without the device-type flag the board record says "none".
    tab_.reset();
    app::Settings().option_flags[kHobDeviceType] = false;
    Tab& again = OpenTab(60);
    CheckOnly(again, {kMainBoardName, kKeyID});
    Edit(again, Tab::kMainBoardId)->setText("ZQ-DM-Q");
    Edit(again, Tab::kKeyIdId)->setText("0x1");
    PressAndWait(again, Tab::kSetId);
    EXPECT_EQ(Unit(60).State().board.deviceType, 255);
}

TEST_F(DeviceInfoTabTest, AQueryOfACameraShowsItsAutofocusVersionAndWhatItWasWritten) {
    Tab& tab = OpenTab(42);
    Texts texts;
    texts.main_board = "ZQ-CM-K";
    texts.device_model = "球机";
    texts.device_name = "四百万\"球机\"";
    texts.serial = "SN-42";
    Type(tab, texts);
    CheckOnly(tab, {kMainBoardName, kDeviceType, kDeviceName, kSerialNum, kFormat, kPoePower,
                    kMaxFoaclLength, kAngleRotation});
    Choose(List(tab, Tab::kFormatId), 1);
    Choose(List(tab, Tab::kAngleRotationId), 1);
    PromptAnswerer answerer;
    PressAndWait(tab, Tab::kSetId);
    // Every field empty before the read-back, so that what is shown is what was read.
    for (int id : {Tab::kMainBoardId, Tab::kDeviceModelId, Tab::kDeviceNameId, Tab::kSerialId,
                   Tab::kPoePowerId}) {
        Edit(tab, id)->clear();
    }
    Choose(List(tab, Tab::kFormatId), 0);
    Choose(List(tab, Tab::kAngleRotationId), 0);
    PressAndWait(tab, Tab::kQueryId);
    EXPECT_EQ(answerer.Boxes(), (std::vector<Seen>{{48, kSuccess}, {46, kSuccess}}));
    EXPECT_EQ(Edit(tab, Tab::kMainBoardId)->text(), "ZQ-CM-K");
    EXPECT_EQ(Edit(tab, Tab::kDeviceModelId)->text(), "球机");
    EXPECT_EQ(Edit(tab, Tab::kDeviceNameId)->text(), "四百万\"球机\"");
    EXPECT_EQ(Edit(tab, Tab::kSerialId)->text(), "SN-42");
    EXPECT_EQ(Edit(tab, Tab::kPoePowerId)->text(), "30");
    EXPECT_EQ(Edit(tab, Tab::kAutofocusId)->text(), "AF-2.1");
    EXPECT_EQ(List(tab, Tab::kFormatId)->currentText(), "N");
    EXPECT_EQ(List(tab, Tab::kAngleRotationId)->currentText(), "T268");
    // The unit answers the mask it was written with; the camera's focus record was read first.
    EXPECT_EQ(tab.Operation().ExtRecord().mask,
              0x1u | 0x10 | 0x20 | 0x800 | 0x2000 | 0x4000 | 0x40000 | 0x400000);
    EXPECT_EQ(Queries(42), (std::vector<uint32_t>{803, 700, 582}));
}

TEST_F(DeviceInfoTabTest, AFailedQueryShowsWhatTheRecordsHold) {
    struct Case {
        const char* name;
        int unit;
        int32_t fault_code;
        std::vector<uint32_t> queries;
        QString main_board;  // shown afterwards
        QString key_id;
    };
    const Case cases[] = {
        {"board record unreadable", 26, 582, {700, 582}, "ZQ-DM-R", "0x0"},
        {"extended record unreadable", 27, 700, {700}, "", "0x0"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Tab& tab = OpenTab(c.unit);
        Edit(tab, Tab::kMainBoardId)->setText("ZQ-DM-R");
        CheckOnly(tab, {kMainBoardName, kKeyID});
        Edit(tab, Tab::kKeyIdId)->setText("0x77");
        {
            PromptAnswerer answerer;
            PressAndWait(tab, Tab::kSetId);  // the unit holds ZQ-DM-R and key ID 0x77
        }
        Unit(c.unit).ClearRequestLog();
        Unit(c.unit).SetFault(c.fault_code, {.failQuery = true, .count = 1});
        PromptAnswerer answerer;
        PressAndWait(tab, Tab::kQueryId);
        EXPECT_EQ(answerer.Boxes(), (std::vector<Seen>{{47, kError}}));
        EXPECT_EQ(Queries(c.unit), c.queries);
        EXPECT_EQ(Edit(tab, Tab::kMainBoardId)->text(), c.main_board);
        EXPECT_EQ(Edit(tab, Tab::kKeyIdId)->text(), c.key_id);
        // The station stays usable: the next Query reads the unit.
        answerer.Clear();
        PressAndWait(tab, Tab::kQueryId);
        EXPECT_EQ(answerer.Boxes(), (std::vector<Seen>{{46, kSuccess}}));
        EXPECT_EQ(Edit(tab, Tab::kKeyIdId)->text(), "0x77");
    }
}

// Long texts, quotes and non-ASCII in every text item, counts that are not numbers: a box before
// any device work, or exactly the record the Part builds (texts cut whole characters at a time).
TEST_F(DeviceInfoTabTest, BadInputGetsABoxOrExactlyTheRecordAskedFor) {
    const std::vector<OptionFlag> text_items = {kMainBoardName, kProductType, kDeviceType,
                                                kDeviceName,    kCustomType,  kFunctionCode,
                                                kSerialNum,     kKeyID,       kBoardID};
    auto text_record = [](const char* main, const std::string& product, const std::string& model,
                          const std::string& name, const std::string& custom, uint64_t function,
                          const std::string& serial) {
        ZQNetExtDeviceRecord r{};
        r.size = 1032;
        r.mask = 0x1 | 0x8 | 0x10 | 0x20 | 0x40 | 0x80 | 0x800;
        std::memcpy(r.mainBoard, main, std::strlen(main));
        std::memcpy(r.productModel, product.data(), product.size());
        std::memcpy(r.deviceModel, model.data(), model.size());
        std::memcpy(r.deviceName, name.data(), name.size());
        std::memcpy(r.customCode, custom.data(), custom.size());
        for (int i = 0; i < 8; ++i)
            r.functionCode[i] = static_cast<uint8_t>(function >> (8 * i));
        std::memcpy(r.serial, serial.data(), serial.size());
        return r;
    };
    std::string thirty_chinese;
    for (int i = 0; i < 30; ++i)
        thirty_chinese += "设";
    struct Case {
        const char* name;
        int unit;
        Texts texts;
        std::vector<OptionFlag> flags;
        std::vector<Seen> boxes;
        std::optional<ZQNetExtDeviceRecord> record;  // what the unit received
        std::optional<ZQNetBoardRecord> board = {};
    };
    ZQNetBoardRecord long_board{};
    long_board.size = 32;
    long_board.keyId = 1;
    std::memcpy(long_board.boardId, "BBBBBBBBBBBBBBBB", 16);
    long_board.deviceType = 0;
    ZQNetBoardRecord quoted_board{};
    quoted_board.size = 32;
    quoted_board.keyId = 0x1f;
    std::memcpy(quoted_board.boardId, "板'\"", 5);
    quoted_board.deviceType = 0;
    const Case cases[] = {
        {"texts longer than their fields",
         30,
         {.main_board = "ZQ-DM-" + std::string(30, 'A'),
          .product_model = std::string(100, 'P'),
          .device_model = thirty_chinese,
          .device_name = std::string(50, 'N'),
          .function_code = "99999999999999999999",  // beyond 64 bits
          .custom_code = std::string(50, 'C'),
          .key_id = "0x0000000000000001",
          .board_id = std::string(16, 'B'),
          .serial = std::string(40, 'S')},
         text_items,
         {{144, kError}},
         std::nullopt},
        {"texts longer than their fields, function code in range",
         31,
         {.main_board = "ZQ-DM-" + std::string(30, 'A'),
          .product_model = std::string(100, 'P'),
          .device_model = thirty_chinese,
          .device_name = std::string(50, 'N'),
          .function_code = "18446744073709551615xyz",
          .custom_code = std::string(50, 'C'),
          .key_id = "0x0000000000000001",
          .board_id = std::string(16, 'B'),
          .serial = std::string(40, 'S')},
         text_items,
         {{48, kSuccess}},
         text_record("ZQ-DM-AAAAAAAAA", std::string(63, 'P'), thirty_chinese.substr(0, 30),
                     std::string(31, 'N'), std::string(31, 'C'), UINT64_MAX, std::string(32, 'S')),
         long_board},
        {"quotes and non-ASCII in every text item",
         32,
         {.main_board = "ZQ-DM-'\"é板Z",
          .product_model = "产品'\"; drop table DeviceInfo; --",
          .device_model = "型号\"'",
          .device_name = "名称 'x'",
          .function_code = "7'",
          .custom_code = "语言'\"",
          .key_id = "0x1f",
          .board_id = "板'\"",
          .serial = "序列'\"号"},
         text_items,
         {{48, kSuccess}},
         text_record("ZQ-DM-'\"é板Z", "产品'\"; drop table DeviceInfo; --", "型号\"'", "名称 'x'",
                     "语言'\"", 7, "序列'\"号"),
         quoted_board},
        {"a main board that ends in a capital only beyond its field",
         33,
         {.main_board = "ZQ-DM-abcdefghiJ", .serial = "SN-33"},
         {kMainBoardName},
         {{151, kError}},
         std::nullopt},
        {"a board ID of six Chinese characters (18 bytes)",
         34,
         {.board_id = "板卡板卡板卡", .serial = "SN-34"},
         {kBoardID},
         {{122, kError}},
         std::nullopt},
        {"counts that are not numbers",
         35,
         {.alarm_outputs = "many", .serial = "SN-35"},
         {kAlarmOutputNum, kAlarmInputNum},
         {{149, kError}},
         std::nullopt},
        {"a negative count",
         36,
         {.alarm_inputs = "-1", .serial = "SN-36"},
         {kAlarmInputNum},
         {{149, kError}},
         std::nullopt},
        {"PoE power beyond 16 bits",
         37,
         {.poe_power = "70000", .serial = "SN-37"},
         {kPoePower},
         {{149, kError}},
         std::nullopt},
        {"blanks for a function code",
         38,
         {.function_code = "   ", .serial = "SN-38"},
         {kFunctionCode},
         {{144, kError}},
         std::nullopt},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Tab& tab = OpenTab(c.unit);
        Type(tab, c.texts);
        CheckOnly(tab, c.flags);
        PromptAnswerer answerer;
        PressAndWait(tab, Tab::kSetId);
        EXPECT_EQ(answerer.Boxes(), c.boxes);
        const unitsim::UnitState state = Unit(c.unit).State();
        if (!c.record) {
            EXPECT_EQ(state.logins, 0);
            EXPECT_TRUE(state.requests.empty());
            continue;
        }
        ASSERT_EQ(state.written.count(700), 1u);
        EXPECT_EQ(std::string(state.written.at(700).begin(), state.written.at(700).end()),
                  Bytes(*c.record));
        ASSERT_EQ(state.written.count(582), 1u);
        EXPECT_EQ(std::string(state.written.at(582).begin(), state.written.at(582).end()),
                  Bytes(*c.board));
        // The row holds the texts as typed, quotes and all.
        CResultSet rows;
        ASSERT_TRUE(records::Store().Query("select * from DeviceInfo where SerialNum = ?",
                                           {c.texts.serial}, rows));
        ASSERT_EQ(rows.rows.size(), 1u);
        const std::vector<std::string> want = {Address(c.unit),      "34567",
                                               c.texts.main_board,   c.texts.product_model,
                                               c.texts.device_model, c.texts.device_name,
                                               c.texts.key_id,       c.texts.board_id,
                                               c.texts.serial};
        EXPECT_EQ(std::vector<std::string>(rows.rows[0].begin() + 1, rows.rows[0].end()), want);
        EXPECT_TRUE(records::Store().TableExists("DeviceInfo"));
    }
}

// The whole station: a check box changed in the tab is in Systemcfg.xml after the program ends,
// and only that element changed; the next start shows it so.
TEST(DeviceInfoStation, AChangedCheckBoxSurvivesARestartChangingOnlyItsElement) {
    test_files::TempFolder config;
    const std::string folder = config.path() + "/Talvane Config/";
    auto run = [&](const std::function<void(CZQTalvaneDlg&)>& body) {
        CZQTalvaneApp app({ZQ_BINARY_DIR "/bin/", folder});
        app.on_step = [&](const char*, CZQTalvaneDlg* main) {
            if (main != nullptr) {
                EXPECT_TRUE(QTest::qWaitForWindowExposed(main));
                body(*main);
                main->close();
            }
        };
        const char* args[] = {"ZQTalvane", "--no-splash"};
        EXPECT_EQ(app.Run(2, args), 0);
    };
    run([](CZQTalvaneDlg&) {});  // the first start copies the template
    const std::string before = test_files::ReadFile(folder + "Systemcfg.xml");
    ASSERT_NE(before.find("<AlarmOutputNum>1</AlarmOutputNum>"), std::string::npos);
    run([](CZQTalvaneDlg& main) {
        auto* tab = main.findChild<CDlgDeviceInfo*>();
        ASSERT_NE(tab, nullptr);
        QCheckBox* box = app::FindControl<QCheckBox>(tab, 1186);
        EXPECT_TRUE(box->isChecked());
        box->click();
    });
    std::string want = before;
    const std::string from = "<AlarmOutputNum>1</AlarmOutputNum>";
    want.replace(want.find(from), from.size(), "<AlarmOutputNum>0</AlarmOutputNum>");
    EXPECT_EQ(test_files::ReadFile(folder + "Systemcfg.xml"), want);
    run([](CZQTalvaneDlg& main) {
        auto* tab = main.findChild<CDlgDeviceInfo*>();
        ASSERT_NE(tab, nullptr);
        EXPECT_FALSE(app::FindControl<QCheckBox>(tab, 1186)->isChecked());
        EXPECT_TRUE(app::FindControl<QCheckBox>(tab, 1185)->isChecked());
        EXPECT_FALSE(app::Settings().option_flags[kAlarmOutputNum]);
    });
}

}  // namespace
