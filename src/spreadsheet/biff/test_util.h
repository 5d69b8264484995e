// Helpers for the workbook record tests: building record bytes and walking a stream.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <string>
#include <vector>

#include "spreadsheet/biff/records.h"

namespace Biff::testing {

using Bytes = std::vector<uint8_t>;

inline void Append(Bytes& out, const Bytes& more) {
    out.insert(out.end(), more.begin(), more.end());
}

inline Bytes Cat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& p : parts)
        Append(out, p);
    return out;
}
inline Bytes Cat8(const Bytes& head, const std::string& text) {
    Bytes out = head;
    out.insert(out.end(), text.begin(), text.end());
    return out;
}

// One record: code, size, data.
inline Bytes Rec(uint16_t code, const Bytes& data) {
    Bytes out;
    Put16(out, code);
    Put16(out, static_cast<uint16_t>(data.size()));
    Append(out, data);
    return out;
}

struct Field {
    int size;  // 1, 2, 4
    uint32_t value;
};
inline Bytes Le(std::initializer_list<Field> fields) {
    Bytes out;
    for (const Field& f : fields) {
        if (f.size == 1)
            Put8(out, static_cast<uint8_t>(f.value));
        else if (f.size == 2)
            Put16(out, static_cast<uint16_t>(f.value));
        else
            Put32(out, f.value);
    }
    return out;
}

struct Walked {
    uint16_t code;
    size_t offset;
    Bytes data;
};
// Splits a stream into its records (CONTINUE records stay separate).
inline std::vector<Walked> Walk(const Bytes& s) {
    std::vector<Walked> out;
    for (size_t pos = 0; pos + 4 <= s.size();) {
        size_t len = Get16(&s[pos + 2]);
        if (pos + 4 + len > s.size())
            break;
        out.push_back({Get16(&s[pos]), pos,
                       Bytes(s.begin() + static_cast<long>(pos + 4),
                             s.begin() + static_cast<long>(pos + 4 + len))});
        pos += 4 + len;
    }
    return out;
}

inline Bytes Bof(uint16_t type) {
    return Rec(0x0809, Le({{2, 0x0600}, {2, type}, {2, 0}, {2, 0}, {4, 0}, {4, 0}}));
}
inline Bytes EofRec() {
    return Rec(10, {});
}

}  // namespace Biff::testing
