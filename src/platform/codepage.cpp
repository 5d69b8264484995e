#include "platform/codepage.h"

#include <iconv.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <vector>

namespace platform {
namespace {

// Every conversion goes through UTF-32LE: decoding can only meet invalid input, encoding can
// only meet characters without an equivalent, so each error is counted for what it is.
constexpr const char* kWide = "UTF-32LE";

class Iconv {
public:
    Iconv(std::string_view to, std::string_view from)
        : handle_(iconv_open(std::string(to).c_str(), std::string(from).c_str())) {}
    ~Iconv() {
        if (ok()) iconv_close(handle_);
    }
    Iconv(const Iconv&) = delete;
    Iconv& operator=(const Iconv&) = delete;
    bool ok() const { return handle_ != reinterpret_cast<iconv_t>(-1); }
    iconv_t get() const { return handle_; }

private:
    iconv_t handle_;
};

std::string Upper(std::string_view s) {
    std::string r(s);
    for (char& c : r) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return r;
}

bool IsUtf8Name(std::string_view name) {
    std::string u = Upper(name);
    return u == "UTF-8" || u == "UTF8";
}

// Decodes `in` to UTF-32 code points; invalid bytes become '?' one unit at a time.
bool Decode(std::string_view in, std::string_view from, std::u32string& out, size_t* lost) {
    out.clear();
    Iconv cd(kWide, from);
    if (!cd.ok()) return false;
    // Step width for skipping an invalid unit: 2 or 4 bytes in 16/32-bit encodings.
    std::string up = Upper(from);
    size_t step = 1;
    if (up.rfind("UTF-16", 0) == 0 || up.rfind("UCS-2", 0) == 0) step = 2;
    if (up.rfind("UTF-32", 0) == 0 || up.rfind("UCS-4", 0) == 0) step = 4;

    std::vector<char> buf(std::max<size_t>(64, in.size() * 4 + 16));
    char* src = const_cast<char*>(in.data());
    size_t src_left = in.size();
    auto flush = [&](char* end) {
        size_t n = static_cast<size_t>(end - buf.data()) / 4;
        for (size_t i = 0; i < n; ++i) {
            uint32_t v;
            std::memcpy(&v, buf.data() + i * 4, 4);
            out.push_back(static_cast<char32_t>(v));
        }
    };
    while (src_left > 0) {
        char* dst = buf.data();
        size_t dst_left = buf.size();
        size_t r = iconv(cd.get(), &src, &src_left, &dst, &dst_left);
        flush(dst);
        if (r != static_cast<size_t>(-1)) break;
        if (errno == E2BIG) continue;
        // EILSEQ (invalid sequence) or EINVAL (incomplete sequence at the end).
        size_t skip = std::min(step, src_left);
        src += skip;
        src_left -= skip;
        out.push_back(U'?');
        if (lost) ++*lost;
        iconv(cd.get(), nullptr, nullptr, nullptr, nullptr);
    }
    return true;
}

// Encodes code points into `to`; characters without an equivalent become '?'.
bool Encode(const std::u32string& in, std::string_view to, std::string& out, size_t* lost) {
    out.clear();
    Iconv cd(to, kWide);
    if (!cd.ok()) return false;
    std::string question;
    {
        Iconv q(to, "ASCII");
        if (q.ok()) {
            char qin = '?';
            char* qs = &qin;
            size_t ql = 1;
            char qbuf[8];
            char* qd = qbuf;
            size_t qdl = sizeof qbuf;
            if (iconv(q.get(), &qs, &ql, &qd, &qdl) != static_cast<size_t>(-1))
                question.assign(qbuf, static_cast<size_t>(qd - qbuf));
        }
        if (question.empty()) question.push_back('?');
    }
    std::vector<char> bytes(in.size() * 4);
    for (size_t i = 0; i < in.size(); ++i) {
        uint32_t v = static_cast<uint32_t>(in[i]);
        std::memcpy(bytes.data() + i * 4, &v, 4);
    }
    std::vector<char> buf(std::max<size_t>(64, in.size() * 4 + 16));
    char* src = bytes.data();
    size_t src_left = bytes.size();
    while (src_left > 0) {
        char* dst = buf.data();
        size_t dst_left = buf.size();
        size_t r = iconv(cd.get(), &src, &src_left, &dst, &dst_left);
        out.append(buf.data(), static_cast<size_t>(dst - buf.data()));
        if (r != static_cast<size_t>(-1)) break;
        if (errno == E2BIG) continue;
        size_t skip = std::min<size_t>(4, src_left);
        src += skip;
        src_left -= skip;
        out += question;
        if (lost) ++*lost;
        iconv(cd.get(), nullptr, nullptr, nullptr, nullptr);
    }
    // Flush any shift state (stateful encodings).
    char* dst = buf.data();
    size_t dst_left = buf.size();
    iconv(cd.get(), nullptr, nullptr, &dst, &dst_left);
    out.append(buf.data(), static_cast<size_t>(dst - buf.data()));
    return true;
}

}  // namespace

bool IsKnownEncoding(std::string_view encoding) {
    if (encoding.empty()) return false;
    Iconv cd(kWide, encoding);
    return cd.ok();
}

bool IsProgramEncoding(std::string_view encoding) { return IsUtf8Name(encoding); }

bool Convert(std::string_view in, std::string_view from, std::string_view to, std::string& out,
             size_t* lost) {
    out.clear();
    if (IsUtf8Name(from) && IsUtf8Name(to)) {
        // Still validated: invalid sequences are replaced and counted.
        if (IsValidUtf8(in)) {
            out.assign(in);
            return true;
        }
    }
    std::u32string wide;
    if (!Decode(in, from, wide, lost)) return false;
    if (!Encode(wide, to, out, lost)) {
        out.clear();
        return false;
    }
    return true;
}

bool FromEncoding(std::string_view in, std::string_view encoding, std::string& out, size_t* lost) {
    return Convert(in, encoding, kProgramEncoding, out, lost);
}

bool ToEncoding(std::string_view in, std::string_view encoding, std::string& out, size_t* lost) {
    return Convert(in, kProgramEncoding, encoding, out, lost);
}

size_t Utf8SequenceLength(std::string_view t, size_t pos) {
    if (pos >= t.size()) return 0;
    auto b = [&](size_t i) { return static_cast<unsigned char>(t[i]); };
    unsigned char c = b(pos);
    if (c < 0x80) return 1;
    size_t n;
    char32_t cp;
    if (c >= 0xC2 && c <= 0xDF) {
        n = 2;
        cp = c & 0x1F;
    } else if (c >= 0xE0 && c <= 0xEF) {
        n = 3;
        cp = c & 0x0F;
    } else if (c >= 0xF0 && c <= 0xF4) {
        n = 4;
        cp = c & 0x07;
    } else {
        return 0;
    }
    if (pos + n > t.size()) return 0;
    for (size_t i = 1; i < n; ++i) {
        if ((b(pos + i) & 0xC0) != 0x80) return 0;
        cp = (cp << 6) | (b(pos + i) & 0x3F);
    }
    if ((n == 3 && cp < 0x800) || (n == 4 && (cp < 0x10000 || cp > 0x10FFFF))) return 0;
    if (cp >= 0xD800 && cp <= 0xDFFF) return 0;
    return n;
}

bool IsValidUtf8(std::string_view text) {
    for (size_t i = 0; i < text.size();) {
        if (static_cast<unsigned char>(text[i]) < 0x80) {
            ++i;
            continue;
        }
        size_t n = Utf8SequenceLength(text, i);
        if (n == 0) return false;
        i += n;
    }
    return true;
}

bool AppendUtf8(char32_t cp, std::string& out) {
    if (cp == 0 || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
    if (cp < 0x80) {
        out.push_back(static_cast<char>(cp));
    } else if (cp < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    }
    return true;
}

std::u16string Utf8ToUtf16(std::string_view in, size_t* lost) {
    std::u16string out;
    out.reserve(in.size());
    for (size_t i = 0; i < in.size();) {
        unsigned char c = static_cast<unsigned char>(in[i]);
        if (c < 0x80) {
            out.push_back(c);
            ++i;
            continue;
        }
        size_t n = Utf8SequenceLength(in, i);
        if (n == 0) {
            out.push_back(u'?');
            if (lost) ++*lost;
            ++i;
            continue;
        }
        char32_t cp = c & (n == 2 ? 0x1F : n == 3 ? 0x0F : 0x07);
        for (size_t k = 1; k < n; ++k) cp = (cp << 6) | (static_cast<unsigned char>(in[i + k]) & 0x3F);
        if (cp >= 0x10000) {
            cp -= 0x10000;
            out.push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
            out.push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
        } else {
            out.push_back(static_cast<char16_t>(cp));
        }
        i += n;
    }
    return out;
}

std::string Utf16ToUtf8(std::u16string_view in, size_t* lost) {
    std::string out;
    out.reserve(in.size());
    for (size_t i = 0; i < in.size(); ++i) {
        char32_t cp = in[i];
        if (cp >= 0xD800 && cp <= 0xDBFF && i + 1 < in.size() && in[i + 1] >= 0xDC00 &&
            in[i + 1] <= 0xDFFF) {
            cp = 0x10000 + ((cp - 0xD800) << 10) + (in[i + 1] - 0xDC00);
            ++i;
        } else if (cp >= 0xD800 && cp <= 0xDFFF) {
            out.push_back('?');
            if (lost) ++*lost;
            continue;
        }
        if (cp == 0) {
            out.push_back('\0');
            continue;
        }
        AppendUtf8(cp, out);
    }
    return out;
}

}  // namespace platform
