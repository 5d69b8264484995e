#include "tabs/dlg_talvane.h"

CDlgTalvane::CDlgTalvane() : CTabPage(PageInfo{kTemplateId, kCaptionId, 1015, true}) {}
