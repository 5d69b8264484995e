#include "tabs/dlg_serial_num.h"

CDlgSerialNum::CDlgSerialNum() : CTabPage(PageInfo{kTemplateId, kCaptionId, 1178, true}) {}
