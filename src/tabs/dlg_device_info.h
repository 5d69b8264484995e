// CDlgDeviceInfo: the device information tab (template 138, caption text 141): writes a unit's
// model and capability data and reads it back.
//
// The window holds the items: for each a check box, a caption label (the input's buddy) and an
// input (text field or list), the option-set list 1171, Query 1007, Set 1003 and select all
// 1008. What Query and Set do on a login result is tabs::CDeviceInfoOperation's
// (tabs/device_info_operation.h); the rules are in tabs/device_info_rules.h. The frame
// (connection fields, Back, password sharing, the connect-on-button pattern, Enter) is CTabPage's;
// see tabs/tab_page.h.
//
// What a caller may rely on:
// - The 24 option flags come from the application settings when the tab is created (one check
//   box each, but the device-type flag, which has none); each change of a check box goes back to
//   the settings at once, and all 24 go back when the tab is destroyed.
// - The option sets are those of config::DeviceOptions() when the tab is created.
// - Query and Set are disabled from the press of either until the login result arrives; select
//   all and Back stay enabled. Every outcome is a box; the tab has no result list.
// UI thread only.
#pragma once

#include <QString>
#include <array>
#include <memory>
#include <optional>
#include <string>

#include "config/device_options.h"
#include "tabs/device_info_operation.h"
#include "tabs/tab_page.h"

class QCheckBox;
class QComboBox;

class CDlgDeviceInfo : public CTabPage {
    Q_OBJECT
  public:
    static constexpr int kTemplateId = 138;
    static constexpr int kCaptionId = 141;

    // Control ids.
    static constexpr int kMainBoardId = 1068;
    static constexpr int kProductModelId = 1069;  // editable list
    static constexpr int kDeviceModelId = 1070;
    static constexpr int kDeviceNameId = 1071;
    static constexpr int kFunctionCodeId = 1080;
    static constexpr int kCustomCodeId = 1085;
    static constexpr int kKeyIdId = 1041;
    static constexpr int kBoardIdId = 1045;
    static constexpr int kFourDiskId = 1130;
    static constexpr int kLanguageConfigId = 1146;
    static constexpr int kLanguageId = 1149;
    static constexpr int kSerialId = 1154;
    static constexpr int kProductCodeId = 1157;
    static constexpr int kFormatId = 1160;
    static constexpr int kAngleRotationId = 1174;
    static constexpr int kAlarmOutputsId = 1182;
    static constexpr int kAlarmInputsId = 1145;
    static constexpr int kAudioId = 1144;
    static constexpr int kPoePowerId = 1181;
    static constexpr int kHddGroupId = 1191;
    static constexpr int kEsataId = 1193;
    static constexpr int kMinFocalId = 1214;
    static constexpr int kMaxFocalId = 1215;
    static constexpr int kAutofocusId = 1166;       // read-only
    static constexpr int kAutofocusCheckId = 1167;  // always checked, disabled
    static constexpr int kOptionSetId = 1171;
    static constexpr int kQueryId = 1007;
    static constexpr int kSetId = 1003;
    static constexpr int kSelectAllId = 1008;
    static constexpr int kConnectionGroupId = 1083;
    static constexpr int kItemsGroupId = 1084;

    // The check box of an option flag (none for the device-type flag).
    static int CheckBoxId(OptionFlag flag);

    CDlgDeviceInfo();
    ~CDlgDeviceInfo() override;

    const tabs::CDeviceInfoOperation& Operation() const { return *operation_; }
    // True from a press of Query or Set until its outcome has been shown (or its checks stopped
    // it).
    bool Busy() const { return mode_ != Mode::kNone; }
    // The option flags as the tab holds them now.
    const std::array<bool, kOptionFlagCount>& Flags() const { return flags_; }

  protected:
    void BuildControls() override;
    void OnOperation(int operation, int login_result) override;

  private:
    enum class Mode { kNone, kQuery, kSet };

    void BuildItems();
    void OnQuery();
    void OnSet();
    void OnSelectAll();
    void OnOptionSet(int index);
    void OnProductModel();
    // Product model, device model, device name, function code and language code of a record.
    void ShowOptionRecord(const config::DeviceOptionRecord& record);
    void OnCheckBox(OptionFlag flag, bool checked);
    tabs::DeviceInfoItems ReadItems() const;
    void ShowItems(const tabs::DeviceInfoItems& items);
    QWidget* Control(int id) const;
    void SetFieldText(int id, const std::string& text);

    std::unique_ptr<tabs::CDeviceInfoOperation> operation_;
    Mode mode_ = Mode::kNone;
    // The items, address and port as they were when Set was pressed.
    tabs::DeviceInfoItems items_;
    std::string ip_;
    long long port_ = 0;
    std::array<bool, kOptionFlagCount> flags_{};
    bool select_all_ = false;  // what the next press of select all sets the check boxes to
    std::array<QCheckBox*, kOptionFlagCount> checks_{};
    std::array<QComboBox*, tabs::kFixedListCount> lists_{};
    QComboBox* product_model_ = nullptr;
    QComboBox* option_set_ = nullptr;
    QPushButton* query_ = nullptr;
    QPushButton* set_ = nullptr;
};
