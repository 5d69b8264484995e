#include "camera/dlg_ptz.h"

CDlgPtz::CDlgPtz() : CTabPage(PageInfo{kTemplateId, kCaptionId, 1002, true}) {}

void CDlgPtz::SetDevice(const std::string& address, int port, const std::string& user) {
    StopConnection();
    CTabPage::SetDevice(address, port, user);
}
