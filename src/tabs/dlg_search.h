// CDlgSearch: the device search view (template 130), the first view of the main window.
//
// Search (button 1006, text 10) empties the list and the device store and starts a LAN search
// through ZQNetSearchDev; Search and Manual are disabled until the search ends (message 1127),
// then the list (control 1010) shows the units found in ascending IP order. Units typed "RVMS"
// are skipped. A search that finds nothing, or that the library cannot start, ends with an
// empty list and the buttons enabled.
// Double click on a row posts message 1124 (wParam 0, lParam the row's device record) to the
// parent window; Manual (1007, text 11) posts 1124 with lParam 0; Modify (1008, text 182)
// opens the operator password dialog. Clicking the "IP" header toggles ascending/descending IP
// order (the first click keeps ascending), "MAC Ver" toggles MAC order (first ascending).
//
// A record posted with 1124 stays valid until the next search of this view (or its end). The
// search callback runs on the library's thread and only appends to the search's own store; a
// search still running when the view is destroyed ends at its next callback without touching
// the view. UI thread only, except for that callback.
#pragma once

#include <QWidget>
#include <memory>
#include <vector>

#include "device/ZQNet.h"
#include "platform/window_message.h"

class QPushButton;
class QTableWidget;

namespace platform {
class QtWindowHandle;
}

class CDlgSearch : public QWidget {
    Q_OBJECT
  public:
    static constexpr int kTemplateId = 130;
    static constexpr int kSearchId = 1006;
    static constexpr int kManualId = 1007;
    static constexpr int kModifyId = 1008;
    static constexpr int kListId = 1010;
    static constexpr unsigned kSearchEndMessage = 1127;
    static constexpr unsigned kSelectMessage = 1124;

    CDlgSearch();
    ~CDlgSearch() override;

    // Creates the view as a child of `parent`; messages 1124 go to `owner`.
    bool Create(QWidget* parent, platform::WindowHandle owner);

    platform::WindowHandle Handle() const;
    // The records of the last search, in arrival order.
    const std::vector<std::unique_ptr<ZQNetDeviceRecord>>& Store() const { return store_; }
    // The record shown in list row `row`, or nullptr.
    const ZQNetDeviceRecord* RecordOfRow(int row) const;

    void StartSearch();

  protected:
    bool event(QEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

  private:
    struct Search;
    static int32_t SearchCallback(const ZQNetDeviceRecord* device, void* user);

    void OnSearchEnd();
    void FillList(int mode);
    void OnHeaderClicked(int column);
    void OnRowDoubleClicked(int row);
    void OnManual();
    void OnModify();
    void Layout();

    platform::WindowHandle owner_ = 0;
    std::unique_ptr<platform::QtWindowHandle> handle_;
    std::shared_ptr<Search> search_;  // the search running now, if any
    std::vector<std::unique_ptr<ZQNetDeviceRecord>> store_;
    std::vector<const ZQNetDeviceRecord*> rows_;  // record of each list row
    int ip_toggle_ = 1;
    int mac_toggle_ = 1;
    bool initialised_ = false;
    QTableWidget* list_ = nullptr;
    QPushButton* search_button_ = nullptr;
    QPushButton* manual_button_ = nullptr;
    QPushButton* modify_button_ = nullptr;
};
