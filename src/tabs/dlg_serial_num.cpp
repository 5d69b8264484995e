#include "tabs/dlg_serial_num.h"

CDlgSerialNum::CDlgSerialNum() : CTabPage(Spec{kTemplateId, kCaptionId, 1178, true}) {}
