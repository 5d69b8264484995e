#include "camera/dlg_lock_focus.h"

CDlgLockFocus::CDlgLockFocus() : CTabPage(Spec{kTemplateId, kCaptionId, 1002, true}) {}
