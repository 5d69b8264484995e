#include "tabs/dlg_telnet_tool.h"

CDlgTelnetTool::CDlgTelnetTool() : CTabPage(Spec{kTemplateId, kCaptionId, 1002, true}) {}
