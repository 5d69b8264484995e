// CDlgPtz: the lens calibration tab (template 148, caption text 238).
//
// The tab's frame (connection fields, Back, password sharing, the connect-on-button pattern) is
// CTabPage's; see tabs/tab_page.h for what a caller may rely on. UI thread only.
#pragma once

#include "tabs/tab_page.h"

class CDlgPtz : public CTabPage {
    Q_OBJECT
  public:
    static constexpr int kTemplateId = 148;
    static constexpr int kCaptionId = 238;

    CDlgPtz();

    // A new unit ends the session with the previous one first.
    void SetDevice(const std::string& address, int port, const std::string& user) override;
};
