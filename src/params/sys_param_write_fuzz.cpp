// Feeds arbitrary texts to SysParamDst::Write (no session: nothing can be sent, so every text
// must end in 0 without a crash or a sanitizer report) and checks that any text the object
// accepted as a document leaves a record Query's document reads back the same way.
#include <cstddef>
#include <cstdint>
#include <string>

#include "params/sys_param_dst.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    SysParamDst param;
    const std::string text(reinterpret_cast<const char*>(data), size);
    if (param.Write(text) != 0)
        __builtin_trap();  // there is no session: nothing may count as sent
    // Whatever the text did to the record, its document is valid JSON text ending in a line feed.
    const std::string document = SysParamDst::Text(SysParamDst::Document(param.Record()));
    if (document.empty() || document.back() != '\n')
        __builtin_trap();
    return 0;
}
