#include "tabs/dlg_search.h"

#include <QHeaderView>
#include <QPushButton>
#include <QTableWidget>
#include <cstring>
#include <map>
#include <mutex>

#include "platform/qt_window.h"
#include "tabs/device_list.h"
#include "tabs/result_list.h"
#include "ui/controls.h"
#include "ui/dlg_register.h"
#include "ui/shell.h"

// One search: what the callback collected, for the view that started it.
struct CDlgSearch::Search {
    std::mutex mutex;
    bool abandoned = false;  // the view has gone
    platform::WindowHandle view = 0;
    std::vector<std::unique_ptr<ZQNetDeviceRecord>> found;
};

namespace {

// The searches the library may still call back for, by the id handed to it as user value.
std::mutex g_searches_mutex;
std::map<std::uintptr_t, std::shared_ptr<void>> g_searches;
std::uintptr_t g_next_search_id = 1;

}  // namespace

CDlgSearch::CDlgSearch() = default;

CDlgSearch::~CDlgSearch() {
    if (search_) {
        std::lock_guard<std::mutex> lock(search_->mutex);
        search_->abandoned = true;
    }
}

platform::WindowHandle CDlgSearch::Handle() const {
    return handle_ ? handle_->handle() : 0;
}

bool CDlgSearch::Create(QWidget* parent, platform::WindowHandle owner) {
    setParent(parent);
    setObjectName(QString::number(kTemplateId));
    owner_ = owner;
    handle_ = std::make_unique<platform::QtWindowHandle>(this);

    std::vector<std::pair<QString, int>> columns;
    for (size_t i = 0; i < tabs::DeviceColumnHeaders().size(); ++i) {
        columns.emplace_back(QString::fromStdString(tabs::DeviceColumnHeaders()[i]),
                             tabs::DeviceColumnWidths()[i]);
    }
    list_ = tabs::CreateReportList(this, kListId, columns);
    QPalette p = list_->palette();
    for (auto group : {QPalette::Active, QPalette::Inactive, QPalette::Disabled}) {
        p.setColor(group, QPalette::Text, QColor(20, 20, 255));
    }
    list_->setPalette(p);

    search_button_ = new QPushButton(app::Text(10), this);
    app::PlaceControl(search_button_, kSearchId, 0, 0, 90, 14);
    manual_button_ = new QPushButton(app::Text(11), this);
    app::PlaceControl(manual_button_, kManualId, 0, 0, 90, 14);
    modify_button_ = new QPushButton(app::Text(182), this);
    app::PlaceControl(modify_button_, kModifyId, 0, 0, 90, 14);

    connect(search_button_, &QPushButton::clicked, this, &CDlgSearch::StartSearch);
    connect(manual_button_, &QPushButton::clicked, this, &CDlgSearch::OnManual);
    connect(modify_button_, &QPushButton::clicked, this, &CDlgSearch::OnModify);
    connect(list_->horizontalHeader(), &QHeaderView::sectionClicked, this,
            &CDlgSearch::OnHeaderClicked);
    connect(list_, &QTableWidget::cellDoubleClicked, this,
            [this](int row, int) { OnRowDoubleClicked(row); });
    initialised_ = true;
    Layout();
    return true;
}

const ZQNetDeviceRecord* CDlgSearch::RecordOfRow(int row) const {
    if (row < 0 || row >= static_cast<int>(rows_.size())) {
        return nullptr;
    }
    return rows_[static_cast<size_t>(row)];
}

void CDlgSearch::StartSearch() {
    search_button_->setEnabled(false);
    manual_button_->setEnabled(false);
    list_->setRowCount(0);
    rows_.clear();
    store_.clear();

    auto search = std::make_shared<Search>();
    search->view = Handle();
    std::uintptr_t id = 0;
    {
        std::lock_guard<std::mutex> lock(g_searches_mutex);
        id = g_next_search_id++;
        g_searches[id] = search;
    }
    search_ = search;

    ZQNetSearchRequest request;
    std::memset(&request, 0, sizeof request);
    request.callback = &CDlgSearch::SearchCallback;
    request.userValue = reinterpret_cast<void*>(id);
    request.option = 0;
    if (ZQNetSearchDev(&request) == 0) {
        // The library cannot search: end at once, with an empty list.
        {
            std::lock_guard<std::mutex> lock(g_searches_mutex);
            g_searches.erase(id);
        }
        platform::PostWindowMessage(Handle(), kSearchEndMessage, 0, 0);
    }
}

int32_t CDlgSearch::SearchCallback(const ZQNetDeviceRecord* device, void* user) {
    const auto id = reinterpret_cast<std::uintptr_t>(user);
    std::shared_ptr<Search> search;
    {
        std::lock_guard<std::mutex> lock(g_searches_mutex);
        auto it = g_searches.find(id);
        if (it == g_searches.end()) {
            return 0;
        }
        search = std::static_pointer_cast<Search>(it->second);
        if (device == nullptr) {
            g_searches.erase(it);
        }
    }
    std::lock_guard<std::mutex> lock(search->mutex);
    if (search->abandoned) {
        std::lock_guard<std::mutex> registry(g_searches_mutex);
        g_searches.erase(id);
        return 0;
    }
    if (device == nullptr) {
        platform::PostWindowMessage(search->view, kSearchEndMessage, 0, 0);
        return 0;
    }
    if (tabs::IsListedDevice(*device)) {
        search->found.push_back(std::make_unique<ZQNetDeviceRecord>(*device));
    }
    return 1;
}

bool CDlgSearch::event(QEvent* event) {
    if (event->type() == platform::WindowMessageEvent::Type()) {
        auto* message = static_cast<platform::WindowMessageEvent*>(event);
        if (message->message() == kSearchEndMessage) {
            OnSearchEnd();
        }
        return true;
    }
    return QWidget::event(event);
}

void CDlgSearch::OnSearchEnd() {
    if (search_) {
        std::lock_guard<std::mutex> lock(search_->mutex);
        store_ = std::move(search_->found);
        search_->found.clear();
    }
    search_.reset();
    search_button_->setEnabled(true);
    manual_button_->setEnabled(true);
    FillList(tabs::kSortIpAscending);
}

void CDlgSearch::FillList(int mode) {
    list_->setRowCount(0);
    rows_.clear();
    for (const auto& record : store_) {
        rows_.push_back(record.get());
    }
    tabs::SortDevices(rows_, mode);
    for (size_t i = 0; i < rows_.size(); ++i) {
        std::vector<QString> cells;
        for (const std::string& text : tabs::DeviceRowTexts(*rows_[i], static_cast<int>(i))) {
            cells.push_back(QString::fromStdString(text));
        }
        tabs::AppendRow(list_, cells);
    }
}

void CDlgSearch::OnHeaderClicked(int column) {
    if (column == 1) {
        ip_toggle_ = ip_toggle_ == 0 ? 1 : 0;
        FillList(ip_toggle_ == 0 ? tabs::kSortIpAscending : tabs::kSortIpDescending);
    } else if (column == 5) {
        if (mac_toggle_ == 1) {
            FillList(tabs::kSortMacAscending);
            mac_toggle_ = 0;
        } else {
            FillList(tabs::kSortMacDescending);
            mac_toggle_ = 1;
        }
    }
}

void CDlgSearch::OnRowDoubleClicked(int row) {
    const ZQNetDeviceRecord* record = RecordOfRow(row);
    if (record != nullptr) {
        platform::PostWindowMessage(owner_, kSelectMessage, 0,
                                    reinterpret_cast<std::intptr_t>(record));
    }
}

void CDlgSearch::OnManual() {
    platform::PostWindowMessage(owner_, kSelectMessage, 0, 0);
}

void CDlgSearch::OnModify() {
    CDlgRegister dialog(this);
    dialog.exec();
}

void CDlgSearch::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    Layout();
}

void CDlgSearch::Layout() {
    if (!initialised_) {
        return;
    }
    const int w = width();
    const int h = height();
    list_->setGeometry(10, 10, std::max(0, w - 20), std::max(0, h - 10 - 60));
    const int bw = manual_button_->width();
    const int bh = manual_button_->height();
    const int top = h - 40;
    int right = w - 10;
    for (QPushButton* b : {manual_button_, search_button_, modify_button_}) {
        b->setGeometry(right - bw, top, bw, bh);
        right -= bw + 10;
    }
}
