#include "spreadsheet/biff/codepage.h"

#include <iconv.h>
#include <langinfo.h>
#include <locale.h>

#include <bit>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <mutex>

namespace Biff {
namespace {

constexpr const char* kUtf16 = std::endian::native == std::endian::little ? "UTF-16LE" : "UTF-16BE";
const iconv_t kNoHandle = reinterpret_cast<iconv_t>(-1);

std::string LocaleCodeSet() {
    locale_t loc = newlocale(LC_CTYPE_MASK, "", static_cast<locale_t>(nullptr));
    if (loc == static_cast<locale_t>(nullptr))
        loc = newlocale(LC_CTYPE_MASK, "C", static_cast<locale_t>(nullptr));
    std::string name = "UTF-8";
    if (loc != static_cast<locale_t>(nullptr)) {
        const char* set = nl_langinfo_l(CODESET, loc);
        if (set && *set)
            name = set;
        freelocale(loc);
    }
    return name;
}

struct Settings {
    std::mutex mutex;
    bool initialised = false;
    std::string ansi, oem;
    void Init() {
        if (!initialised) {
            ansi = oem = LocaleCodeSet();
            initialised = true;
        }
    }
};

Settings& TheSettings() {
    static Settings settings;
    return settings;
}

bool IsUtf8Name(std::string_view name) {
    std::string up;
    for (char c : name)
        up.push_back(static_cast<char>(std::toupper(static_cast<unsigned char>(c))));
    return up == "UTF-8" || up == "UTF8";
}

bool Known(const std::string& name) {
    if (name.empty())
        return false;
    if (IsUtf8Name(name))
        return true;
    iconv_t cd = iconv_open(kUtf16, name.c_str());
    if (cd == kNoHandle)
        return false;
    iconv_close(cd);
    return true;
}

void Utf8ToWide(std::string_view in, std::u16string& out) {
    out.clear();
    out.reserve(in.size());
    const auto* p = reinterpret_cast<const unsigned char*>(in.data());
    size_t n = in.size();
    for (size_t i = 0; i < n;) {
        unsigned char c = p[i];
        if (c < 0x80) {
            out.push_back(c);
            ++i;
            continue;
        }
        size_t len = 0;
        char32_t cp = 0;
        if (c >= 0xC2 && c <= 0xDF)
            len = 2, cp = c & 0x1F;
        else if (c >= 0xE0 && c <= 0xEF)
            len = 3, cp = c & 0x0F;
        else if (c >= 0xF0 && c <= 0xF4)
            len = 4, cp = c & 0x07;
        bool valid = len != 0 && i + len <= n;
        for (size_t k = 1; valid && k < len; ++k) {
            if ((p[i + k] & 0xC0) != 0x80)
                valid = false;
            else
                cp = (cp << 6) | (p[i + k] & 0x3F);
        }
        if (valid && ((len == 3 && cp < 0x800) || (len == 4 && (cp < 0x10000 || cp > 0x10FFFF)) ||
                      (cp >= 0xD800 && cp <= 0xDFFF)))
            valid = false;
        if (!valid) {
            out.push_back(u'?');
            ++i;
            continue;
        }
        if (cp >= 0x10000) {
            cp -= 0x10000;
            out.push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
            out.push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
        } else {
            out.push_back(static_cast<char16_t>(cp));
        }
        i += len;
    }
}

void WideToUtf8(std::u16string_view in, std::string& out) {
    out.clear();
    out.reserve(in.size());
    for (size_t i = 0; i < in.size(); ++i) {
        char32_t cp = in[i];
        if (cp < 0x80) {
            out.push_back(static_cast<char>(cp));
            continue;
        }
        if (cp >= 0xD800 && cp <= 0xDBFF && i + 1 < in.size() && in[i + 1] >= 0xDC00 &&
            in[i + 1] <= 0xDFFF) {
            cp = 0x10000 + ((cp - 0xD800) << 10) + (in[i + 1] - 0xDC00);
            ++i;
        } else if (cp >= 0xD800 && cp <= 0xDFFF) {
            out.push_back('?');
            continue;
        }
        if (cp < 0x800) {
            out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
        } else if (cp < 0x10000) {
            out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
            out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        } else {
            out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
            out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        }
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    }
}

// Runs iconv over the whole input; an unconvertible or invalid unit of `step` bytes becomes
// `question` in the output.
void Run(iconv_t cd, const char* data, size_t size, size_t step, std::string_view question,
         std::string& out) {
    out.clear();
    iconv(cd, nullptr, nullptr, nullptr, nullptr);
    char* src = const_cast<char*>(data);
    size_t left = size;
    char buf[4096];
    while (left > 0) {
        char* dst = buf;
        size_t room = sizeof buf;
        size_t r = iconv(cd, &src, &left, &dst, &room);
        out.append(buf, static_cast<size_t>(dst - buf));
        if (r != static_cast<size_t>(-1))
            break;
        if (errno == E2BIG)
            continue;
        size_t skip = left < step ? left : step;
        src += skip;
        left -= skip;
        out.append(question);
        iconv(cd, nullptr, nullptr, nullptr, nullptr);
    }
    char* dst = buf;
    size_t room = sizeof buf;
    iconv(cd, nullptr, nullptr, &dst, &room);
    out.append(buf, static_cast<size_t>(dst - buf));
}

}  // namespace

bool SetCodePages(const char* ansi, const char* oem) {
    std::string a = ansi ? ansi : "", o = oem ? oem : "";
    if ((!a.empty() && !Known(a)) || (!o.empty() && !Known(o)))
        return false;
    Settings& s = TheSettings();
    std::lock_guard<std::mutex> lock(s.mutex);
    s.Init();
    if (!a.empty())
        s.ansi = a;
    if (!o.empty())
        s.oem = o;
    return true;
}

std::string AnsiCodePage() {
    Settings& s = TheSettings();
    std::lock_guard<std::mutex> lock(s.mutex);
    s.Init();
    return s.ansi;
}

std::string OemCodePage() {
    Settings& s = TheSettings();
    std::lock_guard<std::mutex> lock(s.mutex);
    s.Init();
    return s.oem;
}

Converter::Converter(std::string code_page)
    : code_page_(std::move(code_page)),
      utf8_(IsUtf8Name(code_page_)),
      to_wide_(kNoHandle),
      from_wide_(kNoHandle),
      known_(utf8_ || Known(code_page_)) {}

Converter::~Converter() {
    if (to_wide_ != kNoHandle)
        iconv_close(static_cast<iconv_t>(to_wide_));
    if (from_wide_ != kNoHandle)
        iconv_close(static_cast<iconv_t>(from_wide_));
}

bool Converter::ok() const {
    return known_;
}

bool Converter::ToWide(std::string_view in, std::u16string& out) {
    out.clear();
    if (!known_)
        return false;
    bool ascii = true;
    for (char c : in) {
        if (static_cast<unsigned char>(c) >= 0x80) {
            ascii = false;
            break;
        }
    }
    if (ascii) {
        out.assign(in.begin(), in.end());
        return true;
    }
    if (utf8_) {
        Utf8ToWide(in, out);
        return true;
    }
    if (to_wide_ == kNoHandle)
        to_wide_ = iconv_open(kUtf16, code_page_.c_str());
    if (to_wide_ == kNoHandle)
        return false;
    static const char16_t q = u'?';
    std::string bytes;
    Run(static_cast<iconv_t>(to_wide_), in.data(), in.size(), 1,
        std::string_view(reinterpret_cast<const char*>(&q), 2), bytes);
    out.resize(bytes.size() / 2);
    for (size_t i = 0; i < out.size(); ++i) {
        char16_t u;
        std::memcpy(&u, bytes.data() + i * 2, 2);
        out[i] = u;
    }
    return true;
}

bool Converter::FromWide(std::u16string_view in, std::string& out) {
    out.clear();
    if (!known_)
        return false;
    bool ascii = true;
    for (char16_t c : in) {
        if (c >= 0x80) {
            ascii = false;
            break;
        }
    }
    if (ascii) {
        out.assign(in.begin(), in.end());
        return true;
    }
    if (utf8_) {
        WideToUtf8(in, out);
        return true;
    }
    if (from_wide_ == kNoHandle)
        from_wide_ = iconv_open(code_page_.c_str(), kUtf16);
    if (from_wide_ == kNoHandle)
        return false;
    Run(static_cast<iconv_t>(from_wide_), reinterpret_cast<const char*>(in.data()), in.size() * 2,
        2, "?", out);
    return true;
}

std::u16string Latin1ToWide(std::string_view in) {
    std::u16string out(in.size(), u'\0');
    for (size_t i = 0; i < in.size(); ++i)
        out[i] = static_cast<unsigned char>(in[i]);
    return out;
}

bool WideToLatin1(std::u16string_view in, std::string& out) {
    out.resize(in.size());
    for (size_t i = 0; i < in.size(); ++i) {
        if (in[i] > 0xFF) {
            out.clear();
            return false;
        }
        out[i] = static_cast<char>(in[i]);
    }
    return true;
}

}  // namespace Biff
