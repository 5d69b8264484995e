#include "camera/dlg_adjust_fish_eye.h"

CDlgAdjustFishEye::CDlgAdjustFishEye() : CTabPage(PageInfo{kTemplateId, kCaptionId, 1002, false}) {}

void CDlgAdjustFishEye::SetDevice(const std::string& address, int port, const std::string& user) {
    StopConnection();
    CTabPage::SetDevice(address, port, user);
}
