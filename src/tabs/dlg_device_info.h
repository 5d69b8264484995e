// CDlgDeviceInfo: the device information tab (template 138, caption text 141).
//
// The tab's frame (connection fields, Back, password sharing, the connect-on-button pattern) is
// CTabPage's; see tabs/tab_page.h for what a caller may rely on. UI thread only.
#pragma once

#include "tabs/tab_page.h"

class CDlgDeviceInfo : public CTabPage {
    Q_OBJECT
  public:
    static constexpr int kTemplateId = 138;
    static constexpr int kCaptionId = 141;

    CDlgDeviceInfo();
};
