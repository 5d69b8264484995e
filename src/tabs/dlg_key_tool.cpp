#include "tabs/dlg_key_tool.h"

CDlgKeyTool::CDlgKeyTool() : CTabPage(Spec{kTemplateId, kCaptionId, 1002, true}) {}
