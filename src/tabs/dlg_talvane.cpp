#include "tabs/dlg_talvane.h"

CDlgTalvane::CDlgTalvane() : CTabPage(Spec{kTemplateId, kCaptionId, 1015, true}) {}
