// CDlgLockFocus: the lens focus lock tab (template 139, caption text 142).
//
// Set (1003) locks the camera's lens focus; Import (1179, "导入信息") sends the lens file whose
// path is in field 1199 (chosen with "..." 1008, a file dialog for an existing file) as parameter
// 871 (camera/lens_file.h). Either one disables Set until its login result has been handled and
// adds one row to list 1004 (address and port as the fields show them when the row is added).
//
// The tab's frame (connection fields, Back, password sharing, the connect-on-button pattern,
// Enter swallowed) is CTabPage's; see tabs/tab_page.h. UI thread only.
#pragma once

#include "tabs/tab_page.h"

class QTableWidget;

class CDlgLockFocus : public CTabPage {
    Q_OBJECT
  public:
    static constexpr int kTemplateId = 139;
    static constexpr int kCaptionId = 142;

    static constexpr int kHiddenId = 1064;
    static constexpr int kSetId = 1003;
    static constexpr int kGroupId = 1023;
    static constexpr int kListId = 1004;
    static constexpr int kPathId = 1199;
    static constexpr int kBrowseId = 1008;
    static constexpr int kImportId = 1179;

    enum Job { kNoJob = 0, kLockFocus = 1, kImport = 2 };

    CDlgLockFocus();

    // True from a Set or Import until its row (if any) has been added.
    bool Busy() const { return busy_; }

  protected:
    void BuildControls() override;
    void OnOperation(int operation, int login_result) override;

  private:
    void Start(Job job);
    void Browse();

    QLineEdit* path_ = nullptr;
    QTableWidget* list_ = nullptr;
    bool busy_ = false;
};
