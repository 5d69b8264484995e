#include "tabs/tab_prompter.h"

namespace tabs {

bool& SuccessFlag() {
    static bool flag = false;
    return flag;
}

}  // namespace tabs
