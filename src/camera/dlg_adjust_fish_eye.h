// CDlgAdjustFishEye: the fisheye centre tab (template 146, caption text 231; its password field
// does not share the device password).
//
// The tab's frame (connection fields, Back, password sharing, the connect-on-button pattern) is
// CTabPage's; see tabs/tab_page.h for what a caller may rely on. UI thread only.
#pragma once

#include "tabs/tab_page.h"

class CDlgAdjustFishEye : public CTabPage {
    Q_OBJECT
  public:
    static constexpr int kTemplateId = 146;
    static constexpr int kCaptionId = 231;

    CDlgAdjustFishEye();

    // A new unit ends the session with the previous one first.
    void SetDevice(const std::string& address, int port, const std::string& user) override;
};
