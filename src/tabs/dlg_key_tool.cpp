#include "tabs/dlg_key_tool.h"

CDlgKeyTool::CDlgKeyTool() : CTabPage(PageInfo{kTemplateId, kCaptionId, 1002, true}) {}
