// CDlgSerialNum: the serial number tab (template 137, caption text 259; its user-name field is
// 1178).
//
// The tab's frame (connection fields, Back, password sharing, the connect-on-button pattern) is
// CTabPage's; see tabs/tab_page.h for what a caller may rely on. UI thread only.
#pragma once

#include "tabs/tab_page.h"

class CDlgSerialNum : public CTabPage {
    Q_OBJECT
  public:
    static constexpr int kTemplateId = 137;
    static constexpr int kCaptionId = 259;

    CDlgSerialNum();
};
