// CDlgTelnetTool: the telnet and maintenance tab (template 141, caption text 155).
//
// The tab's frame (connection fields, Back, password sharing, the connect-on-button pattern) is
// CTabPage's; see tabs/tab_page.h for what a caller may rely on. UI thread only.
#pragma once

#include "tabs/tab_page.h"

class CDlgTelnetTool : public CTabPage {
    Q_OBJECT
  public:
    static constexpr int kTemplateId = 141;
    static constexpr int kCaptionId = 155;

    CDlgTelnetTool();
};
