// CDlgRestoreFactoryTool: the factory reset tab (template 135, caption text 22).
//
// The tab's frame (connection fields, Back, password sharing, the connect-on-button pattern) is
// CTabPage's; see tabs/tab_page.h for what a caller may rely on. UI thread only.
#pragma once

#include "tabs/tab_page.h"

class CDlgRestoreFactoryTool : public CTabPage {
    Q_OBJECT
  public:
    static constexpr int kTemplateId = 135;
    static constexpr int kCaptionId = 22;

    CDlgRestoreFactoryTool();
};
