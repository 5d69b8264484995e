// CDlgKeyTool: the key tab: writes a unit's P2P key (template 133, caption text 19).
//
// The tab's frame (connection fields, Back, password sharing, the connect-on-button pattern) is
// CTabPage's; see tabs/tab_page.h for what a caller may rely on. UI thread only.
#pragma once

#include "tabs/tab_page.h"

class CDlgKeyTool : public CTabPage {
    Q_OBJECT
  public:
    static constexpr int kTemplateId = 133;
    static constexpr int kCaptionId = 19;

    CDlgKeyTool();
};
