#include "tabs/dlg_device_info.h"

CDlgDeviceInfo::CDlgDeviceInfo() : CTabPage(PageInfo{kTemplateId, kCaptionId, 1002, true}) {}
