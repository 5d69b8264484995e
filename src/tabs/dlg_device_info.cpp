#include "tabs/dlg_device_info.h"

CDlgDeviceInfo::CDlgDeviceInfo() : CTabPage(Spec{kTemplateId, kCaptionId, 1002, true}) {}
