#include "tabs/dlg_telnet_tool.h"

CDlgTelnetTool::CDlgTelnetTool() : CTabPage(PageInfo{kTemplateId, kCaptionId, 1002, true}) {}
