#include "camera/dlg_lock_focus.h"

CDlgLockFocus::CDlgLockFocus() : CTabPage(PageInfo{kTemplateId, kCaptionId, 1002, true}) {}
