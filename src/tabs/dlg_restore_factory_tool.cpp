#include "tabs/dlg_restore_factory_tool.h"

CDlgRestoreFactoryTool::CDlgRestoreFactoryTool()
    : CTabPage(PageInfo{kTemplateId, kCaptionId, 1002, true}) {}
