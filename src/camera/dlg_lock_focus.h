// CDlgLockFocus: the lens focus lock tab (template 139, caption text 142).
//
// The tab's frame (connection fields, Back, password sharing, the connect-on-button pattern) is
// CTabPage's; see tabs/tab_page.h for what a caller may rely on. UI thread only.
#pragma once

#include "tabs/tab_page.h"

class CDlgLockFocus : public CTabPage {
    Q_OBJECT
  public:
    static constexpr int kTemplateId = 139;
    static constexpr int kCaptionId = 142;

    CDlgLockFocus();
};
