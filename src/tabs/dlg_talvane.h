// CDlgTalvane: the MAC address tab: writes a unit's Ethernet MAC address and module name (template
// 131, caption text 18; its user-name field is 1015).
//
// The tab's frame (connection fields, Back, password sharing, the connect-on-button pattern) is
// CTabPage's; see tabs/tab_page.h for what a caller may rely on. UI thread only.
#pragma once

#include "tabs/tab_page.h"

class CDlgTalvane : public CTabPage {
    Q_OBJECT
  public:
    static constexpr int kTemplateId = 131;
    static constexpr int kCaptionId = 18;

    CDlgTalvane();
};
