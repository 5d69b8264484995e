#include "tabs/dlg_device_info.h"

#include <QCheckBox>
#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <iterator>

#include "config/device_options.h"
#include "records/record_store.h"
#include "ui/controls.h"
#include "ui/shell.h"

namespace {

using tabs::DeviceInfoItems;
using D = tabs::DeviceInfoItems;  // short, for the item table
using tabs::FixedList;

enum class Input { kText, kEditableList, kList };

// One item of the tab: its flag, input, check box and caption, and where it stands (column and
// row of the item grid).
struct Item {
    OptionFlag flag;
    int input_id;
    int check_id;
    int label_text_id;  // language text of the caption, or -1 for `label`
    const char* label;  // the caption without a language text
    Input input;
    std::string DeviceInfoItems::*text;  // text items
    int list;                            // list items: a tabs::FixedList
    int column;
    int row;
};

// clang-format off
const Item kItems[] = {
    {kMainBoardName, 1068, 1076, 136, "", Input::kText, &D::main_board, -1, 0, 0},
    {kProductType, 1069, 1077, 137, "", Input::kEditableList, &D::product_model, -1, 0, 1},
    {kDeviceType, 1070, 1078, 138, "", Input::kText, &D::device_model, -1, 0, 2},
    {kDeviceName, 1071, 1079, 139, "", Input::kText, &D::device_name, -1, 0, 3},
    {kFunctionCode, 1080, 1082, 143, "", Input::kText, &D::function_code, -1, 0, 4},
    {kCustomType, 1085, 1086, 145, "", Input::kText, &D::custom_code, -1, 0, 5},
    {kKeyID, 1041, 1123, -1, "Key ID", Input::kText, &D::key_id, -1, 0, 6},
    {kBoardID, 1045, 1124, -1, "Board ID", Input::kText, &D::board_id, -1, 0, 7},
    {kSerialNum, 1154, 1155, 131, "", Input::kText, &D::serial, -1, 0, 8},
    {kFourDisk, 1130, 1132, 171, "", Input::kList, nullptr, tabs::kFourDiskList, 1, 0},
    {kLanguageConfig, 1146, 1147, 184, "", Input::kList, nullptr, tabs::kLanguageConfigList, 1, 1},
    {kLanguage, 1149, 1150, 185, "", Input::kList, nullptr, tabs::kLanguageList, 1, 2},
    {kProductCode, 1157, 1158, 220, "", Input::kList, nullptr, tabs::kProductCodeList, 1, 3},
    {kFormat, 1160, 1162, 221, "", Input::kList, nullptr, tabs::kFormatList, 1, 4},
    {kAngleRotation, 1174, 1163, 264, "", Input::kList, nullptr, tabs::kAngleRotationList, 1, 5},
    {kHddGroup, 1191, 1192, 287, "", Input::kList, nullptr, tabs::kHddGroupList, 1, 6},
    {kEsataenable, 1193, 1194, 288, "", Input::kList, nullptr, tabs::kEsataList, 1, 7},
    {kAlarmOutputNum, 1182, 1186, 282, "", Input::kText, &D::alarm_outputs, -1, 2, 0},
    {kAlarmInputNum, 1145, 1185, 283, "", Input::kText, &D::alarm_inputs, -1, 2, 1},
    {kAudioNum, 1144, 1183, 284, "", Input::kText, &D::audio, -1, 2, 2},
    {kPoePower, 1181, 1184, 285, "", Input::kText, &D::poe_power, -1, 2, 3},
    {kMinFoaclLength, 1214, 1211, 296, "", Input::kList, nullptr, tabs::kMinFocalList, 2, 4},
    {kMaxFoaclLength, 1215, 1210, 297, "", Input::kList, nullptr, tabs::kMaxFocalList, 2, 5},
};
// clang-format on
constexpr int kAutofocusRow = 6;  // in column 2, below the focal lengths

// The order in which select all sets the flags.
constexpr OptionFlag kSelectAllOrder[] = {
    kKeyID,          kMainBoardName, kDeviceType, kFunctionCode,   kLanguageConfig, kFourDisk,
    kProductCode,    kAngleRotation, kAudioNum,   kPoePower,       kBoardID,        kProductType,
    kDeviceName,     kCustomType,    kLanguage,   kSerialNum,      kFormat,         kHobDeviceType,
    kAlarmOutputNum, kAlarmInputNum, kHddGroup,   kMinFoaclLength, kMaxFoaclLength, kEsataenable};
static_assert(std::size(kSelectAllOrder) == kOptionFlagCount);

// Item grid, in dialog units.
constexpr int kColumnX[] = {8, 156, 304};
constexpr int kFirstRowY = 74;
constexpr int kRowStep = 18;

enum Operation { kQueryOperation, kSetOperation, kCheckOperation };

}  // namespace

int CDlgDeviceInfo::CheckBoxId(OptionFlag flag) {
    for (const Item& item : kItems) {
        if (item.flag == flag)
            return item.check_id;
    }
    return -1;
}

CDlgDeviceInfo::CDlgDeviceInfo() : CTabPage(PageInfo{kTemplateId, kCaptionId, 1002, true}) {}

CDlgDeviceInfo::~CDlgDeviceInfo() {
    if (IsCreated()) {
        app::Settings().option_flags = flags_;
    }
}

QWidget* CDlgDeviceInfo::Control(int id) const {
    return app::FindControl(this, id);
}

void CDlgDeviceInfo::BuildControls() {
    operation_ = std::make_unique<tabs::CDeviceInfoOperation>(records::Store(), *this);
    flags_ = app::Settings().option_flags;

    option_set_ = new QComboBox(this);
    app::PlaceControl(option_set_, kOptionSetId, 8, 44, 100, 12);
    option_set_->addItem(QStringLiteral("Normal"));
    for (const auto& [name, records] : config::DeviceOptions()) {
        option_set_->addItem(QString::fromStdString(name));
    }
    auto* select_all = new QPushButton(app::Text(286), this);
    app::PlaceControl(select_all, kSelectAllId, 115, 43, 100, 14);
    query_ = new QPushButton(app::Text(32), this);
    app::PlaceControl(query_, kQueryId, 330, 43, 55, 14);
    set_ = new QPushButton(app::Text(31), this);
    app::PlaceControl(set_, kSetId, 390, 43, 55, 14);

    BuildItems();

    // The frames lie under everything they frame.
    auto* connection = new QGroupBox(app::Text(139), this);
    app::PlaceControl(connection, kConnectionGroupId, 4, 0, 274, 40);
    auto* items = new QGroupBox(app::Text(141), this);
    app::PlaceControl(items, kItemsGroupId, 4, 62, 446, 180);
    items->lower();
    connection->lower();

    AddOperationButton(query_);
    AddOperationButton(set_);
    connect(query_, &QPushButton::clicked, this, &CDlgDeviceInfo::OnQuery);
    connect(set_, &QPushButton::clicked, this, &CDlgDeviceInfo::OnSet);
    connect(select_all, &QPushButton::clicked, this, &CDlgDeviceInfo::OnSelectAll);
    connect(option_set_, &QComboBox::activated, this, &CDlgDeviceInfo::OnOptionSet);
    connect(product_model_, &QComboBox::activated, this, &CDlgDeviceInfo::OnProductModel);
}

void CDlgDeviceInfo::BuildItems() {
    auto place = [this](QWidget* input, int input_id, int check_id, const QString& caption,
                        int column, int row) {
        const int x = kColumnX[column];
        const int y = kFirstRowY + row * kRowStep;
        auto* check = new QCheckBox(this);
        app::PlaceControl(check, check_id, x, y + 1, 10, 10);
        check->setAccessibleName(caption);
        auto* label = new QLabel(caption, this);
        label->setWordWrap(true);  // a long caption takes a second line
        app::PlaceControl(label, -1, x + 12, y - 2, 60, 16);
        label->setBuddy(input);
        app::PlaceControl(input, input_id, x + 74, y, 68, 12);
        QWidget::setTabOrder(check, input);  // the check box, then its input
        return check;
    };
    for (const Item& item : kItems) {
        const QString caption =
            item.label_text_id >= 0 ? app::Text(item.label_text_id) : QString::fromUtf8(item.label);
        QWidget* input = nullptr;
        if (item.input == Input::kText) {
            input = new QLineEdit(this);
        } else {
            auto* list = new QComboBox(this);
            if (item.input == Input::kEditableList) {
                list->setEditable(true);
                list->setInsertPolicy(QComboBox::NoInsert);
                product_model_ = list;
            } else {
                const auto fixed = static_cast<FixedList>(item.list);
                for (const tabs::ListEntry& entry : tabs::ListEntries(fixed)) {
                    list->addItem(entry.text_id >= 0 ? app::Text(entry.text_id)
                                                     : QString::fromUtf8(entry.text),
                                  entry.value);
                }
                list->setCurrentIndex(0);
                lists_[fixed] = list;
            }
            input = list;
        }
        QCheckBox* check =
            place(input, item.input_id, item.check_id, caption, item.column, item.row);
        check->setChecked(flags_[item.flag]);
        checks_[item.flag] = check;
        const OptionFlag flag = item.flag;
        connect(check, &QCheckBox::toggled, this,
                [this, flag](bool checked) { OnCheckBox(flag, checked); });
    }
    // The autofocus version is only shown: its check box is always checked and never used.
    auto* autofocus = new QLineEdit(this);
    autofocus->setReadOnly(true);
    autofocus->setEnabled(false);
    QCheckBox* check =
        place(autofocus, kAutofocusId, kAutofocusCheckId, app::Text(227), 2, kAutofocusRow);
    check->setChecked(true);
    check->setEnabled(false);
}

void CDlgDeviceInfo::OnCheckBox(OptionFlag flag, bool checked) {
    flags_[flag] = checked;
    app::Settings().option_flags[flag] = checked;
}

void CDlgDeviceInfo::OnSelectAll() {
    for (OptionFlag flag : kSelectAllOrder) {
        if (checks_[flag] != nullptr) {
            checks_[flag]->setChecked(select_all_);
        } else {
            OnCheckBox(flag, select_all_);  // the device type, which has no check box
        }
    }
    select_all_ = !select_all_;
}

void CDlgDeviceInfo::OnOptionSet(int index) {
    // Emptying the list leaves the product model text as it is.
    const QString text = product_model_->currentText();
    product_model_->clear();
    product_model_->setEditText(text);
    if (index <= 0) {
        return;  // "Normal"
    }
    const config::DeviceOptionMap& options = config::DeviceOptions();
    const auto set = options.find(option_set_->itemText(index).toStdString());
    if (set == options.end() || set->second.empty()) {
        return;
    }
    for (const config::DeviceOptionRecord& record : set->second) {
        product_model_->addItem(QString::fromStdString(record.product_type));
    }
    product_model_->setCurrentIndex(0);
    ShowOptionRecord(set->second.front());
}

void CDlgDeviceInfo::OnProductModel() {
    const std::string model = product_model_->currentText().toStdString();
    if (const config::DeviceOptionRecord* record =
            tabs::OptionRecordOf(config::DeviceOptions(), model)) {
        ShowOptionRecord(*record);
    }
}

void CDlgDeviceInfo::ShowOptionRecord(const config::DeviceOptionRecord& record) {
    const std::pair<int, const std::string*> fields[] = {
        {kDeviceModelId, &record.device_type},
        {kDeviceNameId, &record.device_name},
        {kFunctionCodeId, &record.function_code},
        {kCustomCodeId, &record.language_code},
    };
    for (const auto& [id, text] : fields) {
        SetFieldText(id, *text);
    }
    product_model_->setEditText(QString::fromStdString(record.product_type));
}

void CDlgDeviceInfo::OnQuery() {
    mode_ = Mode::kQuery;
    BeginOperation(kQueryOperation);
}

void CDlgDeviceInfo::OnSet() {
    items_ = ReadItems();
    ip_ = AddressText();
    port_ = Port();
    switch (operation_->CheckBeforeSet(items_)) {
        case tabs::CDeviceInfoOperation::Check::kGo:
            mode_ = Mode::kSet;
            BeginOperation(kSetOperation);
            return;
        case tabs::CDeviceInfoOperation::Check::kStopFocusMainBoard:
            Control(kMainBoardId)->setFocus();
            return;
        case tabs::CDeviceInfoOperation::Check::kStopEmptyFunctionCode:
            qobject_cast<QLineEdit*>(Control(kFunctionCodeId))->clear();
            return;
        case tabs::CDeviceInfoOperation::Check::kStop:
            return;
    }
}

void CDlgDeviceInfo::OnOperation(int operation, int login_result) {
    using Outcome = tabs::CDeviceInfoOperation::Outcome;
    QWidget* main_board = Control(kMainBoardId);
    if (operation == kQueryOperation) {
        operation_->Query(login_result, Connection(), [this] { ShowItems(operation_->Shown()); });
        main_board->setFocus();
    } else if (operation == kCheckOperation) {
        if (operation_->ReadBack(login_result, Connection()) == Outcome::kTakenLate) {
            qobject_cast<QLineEdit*>(Control(kSerialId))->clear();
        }
    } else {
        const Outcome outcome = operation_->Set(login_result, Connection(), items_, ip_, port_);
        if (outcome == Outcome::kWritten && items_.checked[kSerialNum]) {
            auto* serial = qobject_cast<QLineEdit*>(Control(kSerialId));
            serial->clear();
            serial->setFocus();
        } else if (outcome != Outcome::kWriteFailed) {
            main_board->setFocus();
        }
        if (operation_->CheckPending()) {
            // What does the unit carry now? Asked in a session of its own, on the same unit.
            BeginOperationOn(kCheckOperation, ip_, static_cast<int>(port_));
            return;  // still busy
        }
    }
    mode_ = Mode::kNone;
}

DeviceInfoItems CDlgDeviceInfo::ReadItems() const {
    DeviceInfoItems items;
    items.checked = flags_;
    for (const Item& item : kItems) {
        if (item.input == Input::kText) {
            items.*item.text =
                qobject_cast<QLineEdit*>(Control(item.input_id))->text().toStdString();
        } else if (item.input == Input::kEditableList) {
            items.*item.text = product_model_->currentText().toStdString();
        } else {
            const QComboBox* list = lists_[item.list];
            if (list->currentIndex() >= 0) {
                items.lists[item.list] = list->currentData().toUInt();
            }
        }
    }
    items.autofocus_version = qobject_cast<QLineEdit*>(Control(kAutofocusId))->text().toStdString();
    return items;
}

void CDlgDeviceInfo::ShowItems(const DeviceInfoItems& items) {
    for (const Item& item : kItems) {
        if (item.input == Input::kText) {
            SetFieldText(item.input_id, items.*item.text);
        } else if (item.input == Input::kEditableList) {
            product_model_->setEditText(QString::fromStdString(items.*item.text));
        } else {
            const auto list = static_cast<FixedList>(item.list);
            const std::optional<int> entry =
                items.lists[list] ? tabs::EntryOfValue(list, *items.lists[list]) : std::nullopt;
            lists_[list]->setCurrentIndex(entry.value_or(-1));
        }
    }
    SetFieldText(kAutofocusId, items.autofocus_version);
}

void CDlgDeviceInfo::SetFieldText(int id, const std::string& text) {
    auto* field = qobject_cast<QLineEdit*>(Control(id));
    field->setText(QString::fromStdString(text));
    field->setCursorPosition(0);  // a text longer than the field shows its start
}
