#include "params/param_base.h"

std::string CParamBase::Query(const std::string&) {
    return "err";
}

std::string CParamBase::Query(int) {
    return "err";
}

std::string CParamBase::Query() {
    return "err";
}

int CParamBase::Write(const std::string&) {
    return 1;
}

int CParamBase::Write(int, const std::string&) {
    return 1;
}
