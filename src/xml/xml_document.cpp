#include "xml/xml_document.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <unordered_map>

#include "platform/codepage.h"
#include "xml/xml_entities.h"

namespace {

constexpr uint32_t kStartTagMask = (1u << 22) - 1;  // tag lengths: low 22 bits, start tag
constexpr uint32_t kMaxStartTag = kStartTagMask;
constexpr uint32_t kMaxEndTag = (1u << 10) - 1;  // high 10 bits, end tag
constexpr uint32_t kLevelMask = 0xFFFF;
constexpr uint32_t kFirstChild = 1u << 16;
constexpr uint32_t kUnended = 1u << 17;
constexpr uint32_t kDamaged = 1u << 18;
constexpr uint32_t kNotWellFormed = 1u << 19;  // record 0 only
constexpr size_t kPageSize = 65536;
constexpr size_t kMaxText = 0xFFFFFFFFu;  // offsets and lengths are 32-bit
constexpr size_t kLogCap = 1000;
constexpr size_t kLogNameCap = 64;  // longest tag name or message quoted in one event
constexpr size_t kDetectLength = 1024;

bool IsSpace(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

bool IsNameStart(char c) {
    unsigned char u = static_cast<unsigned char>(c);
    return (u >= 'A' && u <= 'Z') || (u >= 'a' && u <= 'z') || u == '_' || u == ':' || u >= 0x80;
}

bool IsNameChar(char c) {
    return IsNameStart(c) || (c >= '0' && c <= '9') || c == '-' || c == '.';
}

char Lower(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

bool EqualsNoCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size(); ++i) {
        if (Lower(a[i]) != Lower(b[i]))
            return false;
    }
    return true;
}

size_t FindNoCase(std::string_view text, std::string_view what, size_t from) {
    if (what.size() > text.size())
        return std::string_view::npos;
    for (size_t i = from; i + what.size() <= text.size(); ++i) {
        if (EqualsNoCase(text.substr(i, what.size()), what))
            return i;
    }
    return std::string_view::npos;
}

bool StartsWith(std::string_view text, std::string_view prefix) {
    return text.substr(0, prefix.size()) == prefix;
}

std::string_view TrimSpace(std::string_view t) {
    while (!t.empty() && IsSpace(t.front()))
        t.remove_prefix(1);
    while (!t.empty() && IsSpace(t.back()))
        t.remove_suffix(1);
    return t;
}

// Shortens a text quoted in the log without cutting a UTF-8 sequence.
std::string_view Clip(std::string_view text) {
    if (text.size() <= kLogNameCap)
        return text;
    size_t n = kLogNameCap;
    while (n > 0 && (static_cast<unsigned char>(text[n]) & 0xC0) == 0x80)
        --n;
    return text.substr(0, n);
}

void AppendAttribute(std::string& out, std::string_view name, std::string_view value) {
    out += ' ';
    out += name;
    out += "=\"";
    out += CXmlDocument::EscapeText(value, true);
    out += '"';
}

// One attribute inside a tag text: offsets into that text.
struct AttributeSpan {
    size_t name_at = 0;
    size_t name_length = 0;
    size_t value_at = 0;  // the value itself, without quotes
    size_t value_length = 0;
    size_t raw_at = 0;      // from the "=" (or the name's end when there is none) ...
    size_t raw_length = 0;  // ... to the end of the value and its closing quote
};

// Finds attribute `name` in a tag text ("<name a='1' b=2>", "<?xml version='1.0'?>").
bool FindAttribute(std::string_view tag, std::string_view name, bool ignore_case,
                   AttributeSpan& found) {
    size_t i = 1;
    if (i < tag.size() && (tag[i] == '?' || tag[i] == '!'))
        ++i;
    while (i < tag.size() && IsNameChar(tag[i]))
        ++i;  // the tag's own name
    while (i < tag.size()) {
        char c = tag[i];
        if (IsSpace(c) || c == '/' || c == '?') {
            ++i;
            continue;
        }
        if (c == '>' || c == '<')
            return false;
        AttributeSpan a;
        a.name_at = i;
        while (i < tag.size() && !IsSpace(tag[i]) && tag[i] != '=' && tag[i] != '>' &&
               tag[i] != '/' && tag[i] != '"' && tag[i] != '\'' && tag[i] != '<')
            ++i;
        a.name_length = i - a.name_at;
        if (a.name_length == 0) {  // a stray quote or "="
            ++i;
            continue;
        }
        a.raw_at = i;
        size_t j = i;
        while (j < tag.size() && IsSpace(tag[j]))
            ++j;
        if (j < tag.size() && tag[j] == '=') {
            ++j;
            while (j < tag.size() && IsSpace(tag[j]))
                ++j;
            if (j < tag.size() && (tag[j] == '"' || tag[j] == '\'')) {
                char quote = tag[j++];
                a.value_at = j;
                while (j < tag.size() && tag[j] != quote)
                    ++j;
                a.value_length = j - a.value_at;
                if (j < tag.size())
                    ++j;
            } else {
                a.value_at = j;
                while (j < tag.size() && !IsSpace(tag[j]) && tag[j] != '>')
                    ++j;
                // "<a b=c/>": the slash closes the tag
                if (j > a.value_at && tag[j - 1] == '/' && j < tag.size() && tag[j] == '>')
                    --j;
                a.value_length = j - a.value_at;
            }
            i = j;
        } else {
            a.value_at = i;
        }
        a.raw_length = i - a.raw_at;
        std::string_view n = tag.substr(a.name_at, a.name_length);
        if (ignore_case ? EqualsNoCase(n, name) : n == name) {
            found = a;
            return true;
        }
    }
    return false;
}

std::string AttributeValue(std::string_view tag, std::string_view name, bool ignore_case) {
    AttributeSpan a;
    if (!FindAttribute(tag, name, ignore_case, a))
        return {};
    return std::string(tag.substr(a.value_at, a.value_length));
}

// The encoding a text declares in its first 1024 characters: the XML declaration's
// "encoding", or an HTML meta element's charset; empty when none.
std::string DeclaredEncoding(std::string_view text) {
    text = text.substr(0, kDetectLength);
    size_t i = 0;
    while (i < text.size() && IsSpace(text[i]))
        ++i;
    if (StartsWith(text.substr(i), "<?xml") && i + 5 < text.size() &&
        (IsSpace(text[i + 5]) || text[i + 5] == '?')) {
        size_t end = text.find("?>", i);
        std::string_view decl = text.substr(i, end == std::string_view::npos ? end : end - i + 2);
        return AttributeValue(decl, "encoding", false);
    }
    for (size_t at = FindNoCase(text, "<meta", 0); at != std::string_view::npos;
         at = FindNoCase(text, "<meta", at + 5)) {
        if (at + 5 < text.size() && IsNameChar(text[at + 5]))
            continue;
        size_t end = text.find('>', at);
        std::string_view tag = text.substr(at, end == std::string_view::npos ? end : end - at + 1);
        std::string charset = AttributeValue(tag, "charset", true);
        if (!charset.empty())
            return charset;
        if (EqualsNoCase(AttributeValue(tag, "http-equiv", true), "Content-Type")) {
            std::string content = AttributeValue(tag, "content", true);
            size_t c = FindNoCase(content, "charset=", 0);
            if (c == std::string::npos)
                continue;
            c += 8;
            size_t e = c;
            while (e < content.size() && !IsSpace(content[e]) && content[e] != ';' &&
                   content[e] != '"' && content[e] != '\'')
                ++e;
            if (e > c)
                return content.substr(c, e - c);
        }
    }
    return {};
}

// UTF-16 and UTF-32 names: a declaration readable as 8-bit text cannot be right about those.
bool IsWideEncoding(std::string_view name) {
    return FindNoCase(name, "UTF-16", 0) == 0 || FindNoCase(name, "UTF16", 0) == 0 ||
           FindNoCase(name, "UTF-32", 0) == 0 || FindNoCase(name, "UCS", 0) == 0;
}

// Whether a declaration found in ASCII can be right about an encoding: it must write the
// characters of markup as those same ASCII bytes. Others (UTF-7, EBCDIC code pages) could not
// have declared themselves so, and a file written in them could not be read back.
bool WritesMarkupAsAscii(const std::string& encoding) {
    if (platform::IsProgramEncoding(encoding))
        return true;
    static const std::string kMarkup =
        "<?xml version=\"1.0\" encoding='x'?>\t\r\n<!DOCTYPE a [<!-- - -->]><a b=\"&#38;;\">"
        "<![CDATA[ ]]>/:_.0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz</a>";
    std::string written;
    return platform::ToEncoding(kMarkup, encoding, written) && written == kMarkup;
}

std::string SystemErrorText(int error) {
    char buf[256];
    std::string text = strerror_r(error, buf, sizeof buf);
    size_t nl = text.find_first_of("\r\n");
    if (nl != std::string::npos)
        text.resize(nl);
    return text;
}

char32_t LookupEntity(std::string_view name) {
    unsigned sum = 0;
    for (char c : name)
        sum += static_cast<unsigned char>(c);
    std::string_view bucket = xml_entities::kBuckets[sum % xml_entities::kBucketCount];
    size_t i = 0;
    while (i + 5 <= bucket.size()) {
        size_t length = static_cast<size_t>(bucket[i] - '0');
        char32_t cp = 0;
        for (size_t k = 1; k <= 4; ++k)
            cp = cp * 10 + static_cast<char32_t>(bucket[i + k] - '0');
        if (bucket.substr(i + 5, length) == name)
            return cp;
        i += 5 + length;
    }
    return 0;
}

// Resolves the reference starting with the ampersand at text[amp]: appends its character and
// returns the reference's length, or returns 0 (nothing appended) when it is not one.
size_t ResolveReference(std::string_view text, size_t amp, std::string& out) {
    size_t i = amp + 1;
    if (i < text.size() && text[i] == '#') {
        ++i;
        bool hex = i < text.size() && text[i] == 'x';
        if (hex)
            ++i;
        size_t digits = i;
        uint32_t cp = 0;
        while (i < text.size()) {
            char c = text[i];
            uint32_t d;
            if (c >= '0' && c <= '9') {
                d = static_cast<uint32_t>(c - '0');
            } else if (hex && c >= 'a' && c <= 'f') {
                d = static_cast<uint32_t>(c - 'a' + 10);
            } else if (hex && c >= 'A' && c <= 'F') {
                d = static_cast<uint32_t>(c - 'A' + 10);
            } else {
                break;
            }
            cp = cp > 0x10FFFF ? cp : cp * (hex ? 16 : 10) + d;
            ++i;
        }
        if (i == digits || i >= text.size() || text[i] != ';')
            return 0;
        if (!platform::AppendUtf8(cp, out))
            return 0;
        return i + 1 - amp;
    }
    size_t name = i;
    while (i < text.size() && i - name <= 8 &&
           ((text[i] >= 'a' && text[i] <= 'z') || (text[i] >= 'A' && text[i] <= 'Z') ||
            (text[i] >= '0' && text[i] <= '9')))
        ++i;
    if (i == name || i - name > 8 || i >= text.size() || text[i] != ';')
        return 0;
    char32_t cp = LookupEntity(text.substr(name, i - name));
    if (cp == 0 || !platform::AppendUtf8(cp, out))
        return 0;
    return i + 1 - amp;
}

enum class Kind { kStartTag, kEmptyTag, kEndTag, kProcessing, kComment, kCdata, kDoctype, kBad };

}  // namespace

struct CXmlDocument::Element {
    uint32_t start = 0;        // offset of the element's "<"
    uint32_t length = 0;       // to the end of its end tag (or of its empty-element tag)
    uint32_t tag_lengths = 0;  // low 22 bits: start tag; high 10 bits: end tag (0: none)
    uint32_t flags_level = 0;  // low 16 bits: level; kFirstChild, kUnended, kDamaged, ...
    uint32_t parent = 0;       // 0 for a top-level element
    uint32_t first_child = 0;
    uint32_t next = 0;  // 0 for the last child
    uint32_t prev = 0;  // for the first child: the last child

    uint32_t StartTagLength() const { return tag_lengths & kStartTagMask; }
    uint32_t EndTagLength() const { return tag_lengths >> 22; }
    void SetTagLengths(uint32_t start_tag, uint32_t end_tag) {
        tag_lengths = start_tag | (end_tag << 22);
    }
    uint32_t End() const { return start + length; }
    uint32_t ContentStart() const { return start + StartTagLength(); }
    uint32_t ContentEnd() const { return End() - EndTagLength(); }
    bool IsEmptyTag() const { return EndTagLength() == 0 && (flags_level & kUnended) == 0; }
};

struct CXmlDocument::Event {
    const char* name;
    std::string_view encoding{};
    std::string_view type{};
    std::string_view tagname{};
    std::string_view msg{};
    const char* number_name = nullptr;  // "n", "count", "length" or "offset"
    long long number = 0;
    long long offset2 = -1;
};

struct CXmlDocument::Markup {
    Kind kind;
    size_t end;  // where scanning continues
    size_t name_at = 0;
    size_t name_length = 0;
    const char* event = nullptr;  // for kBad
    const char* type = nullptr;   // for kBad
};

CXmlDocument::CXmlDocument() = default;
CXmlDocument::CXmlDocument(int flags) : flags_(flags) {}
CXmlDocument::~CXmlDocument() = default;
CXmlDocument::CXmlDocument(const CXmlDocument&) = default;
CXmlDocument& CXmlDocument::operator=(const CXmlDocument&) = default;
CXmlDocument::CXmlDocument(CXmlDocument&&) noexcept = default;
CXmlDocument& CXmlDocument::operator=(CXmlDocument&&) noexcept = default;

// ---- the element index ----

CXmlDocument::Element& CXmlDocument::Rec(uint32_t pos) {
    static_assert(sizeof(Element) == 32, "an element record is eight 32-bit fields");
    return pages_[pos >> 16][pos & 0xFFFF];
}

const CXmlDocument::Element& CXmlDocument::Rec(uint32_t pos) const {
    return pages_[pos >> 16][pos & 0xFFFF];
}

void CXmlDocument::ClearIndex() {
    pages_.clear();
    count_ = 0;
    capacity_ = 0;
}

void CXmlDocument::Reserve(size_t total) {
    while (capacity_ < total) {
        if (pages_.empty() || pages_.back().capacity() >= kPageSize)
            pages_.emplace_back();
        std::vector<Element>& page = pages_.back();
        size_t before = page.capacity();
        page.reserve(std::min(kPageSize, before + (total - capacity_)));
        capacity_ += std::min(kPageSize, page.capacity()) - before;
    }
}

uint32_t CXmlDocument::NewRecord() {
    if (count_ == capacity_)
        Reserve(capacity_ + std::max<size_t>(capacity_ / 2, 8));
    size_t pos = count_++;
    pages_[pos >> 16].emplace_back();
    return static_cast<uint32_t>(pos);
}

void CXmlDocument::EnsureIndex() {
    if (count_ > 0)
        return;
    Reserve(8);
    NewRecord();
    Rec(0).length = static_cast<uint32_t>(std::min(doc_.size(), kMaxText));
}

void CXmlDocument::AppendChild(uint32_t parent, uint32_t child) {
    Element& p = Rec(parent);
    Element& c = Rec(child);
    c.parent = parent;
    if (p.first_child == 0) {
        p.first_child = child;
        c.prev = child;
        c.flags_level |= kFirstChild;
    } else {
        Element& first = Rec(p.first_child);
        Rec(first.prev).next = child;
        c.prev = first.prev;
        first.prev = child;
    }
}

// Closes an element whose start tag was never ended: it ends where its first child starts (or
// at `closed_at` when it has none), and its children become children of its own parent,
// following it.
void CXmlDocument::CloseUnended(uint32_t pos, uint32_t closed_at) {
    Element& r = Rec(pos);
    r.flags_level |= kUnended;
    uint32_t first = r.first_child;
    r.length = (first ? Rec(first).start : closed_at) - r.start;
    r.SetTagLengths(r.StartTagLength(), 0);
    if (first == 0)
        return;
    uint32_t last = Rec(first).prev;
    for (uint32_t c = first; c != 0; c = Rec(c).next)
        Rec(c).parent = r.parent;
    Rec(first).flags_level &= ~kFirstChild;
    r.first_child = 0;
    uint32_t after = r.next;
    r.next = first;
    Rec(first).prev = pos;
    Rec(last).next = after;
    if (after != 0) {
        Rec(after).prev = last;
    } else {
        Rec(Rec(r.parent).first_child).prev = last;
    }
}

// ---- scanning ----

CXmlDocument::Markup CXmlDocument::ScanMarkup(size_t lt) const {
    const std::string& d = doc_;
    const size_t n = d.size();
    size_t i = lt + 1;
    auto bad = [&](const char* event, const char* type, size_t resume, size_t name_at = 0,
                   size_t name_length = 0) {
        return Markup{Kind::kBad, resume, name_at, name_length, event, type};
    };
    if (i >= n)
        return bad("unterminated_tag_syntax", "start_tag", n);
    char c = d[i];
    if (c == '?') {
        size_t e = d.find("?>", i + 1);
        if (e == std::string::npos)
            return bad("unterminated_tag_syntax", "processing_instruction", n);
        return Markup{Kind::kProcessing, e + 2};
    }
    if (c == '!') {
        if (d.compare(i, 3, "!--") == 0) {
            size_t e = d.find("-->", i + 3);
            if (e == std::string::npos)
                return bad("comment_tag_syntax", "comment", n);
            return Markup{Kind::kComment, e + 3};
        }
        if (d.compare(i, 8, "![CDATA[") == 0) {
            size_t e = d.find("]]>", i + 8);
            if (e == std::string::npos)
                return bad("cdata_section_syntax", "cdata_section", n);
            return Markup{Kind::kCdata, e + 3};
        }
        if (i + 8 <= n && EqualsNoCase(std::string_view(d).substr(i + 1, 7), "DOCTYPE")) {
            char quote = 0;
            int depth = 0;
            for (size_t j = i + 8; j < n; ++j) {
                char ch = d[j];
                if (quote != 0) {
                    if (ch == quote)
                        quote = 0;
                } else if (ch == '"' || ch == '\'') {
                    quote = ch;
                } else if (ch == '[') {
                    ++depth;
                } else if (ch == ']') {
                    if (depth > 0)
                        --depth;
                } else if (ch == '>' && depth == 0) {
                    return Markup{Kind::kDoctype, j + 1};
                }
            }
            return bad("doctype_tag_syntax", "document_type", n);
        }
        size_t e = d.find_first_of("<>", i + 1);
        return bad("exclamation_tag_syntax", nullptr,
                   e == std::string::npos ? n : (d[e] == '>' ? e + 1 : e));
    }
    const bool end_tag = c == '/';
    const size_t name_at = end_tag ? i + 1 : i;
    const char* type = end_tag ? "end_tag" : "start_tag";
    if (name_at >= n || !IsNameStart(d[name_at]))
        return bad("first_tag_syntax", type, lt + 1);
    size_t j = name_at + 1;
    while (j < n && IsNameChar(d[j]))
        ++j;
    const size_t name_length = j - name_at;
    if (end_tag) {
        size_t e = d.find_first_of("<>", j);
        if (e == std::string::npos)
            return bad("unterminated_tag_syntax", type, n, name_at, name_length);
        if (d[e] == '<')
            return bad("unterminated_tag_syntax", type, e, name_at, name_length);
        // An end tag too long for its 10-bit field cannot be recorded.
        if (e + 1 - lt > kMaxEndTag)
            return bad("first_tag_syntax", type, e + 1, name_at, name_length);
        return Markup{Kind::kEndTag, e + 1, name_at, name_length};
    }
    char quote = 0;
    for (; j < n; ++j) {
        char ch = d[j];
        if (ch == '<')
            return bad("unterminated_tag_syntax", type, j, name_at, name_length);
        if (quote != 0) {
            if (ch == quote)
                quote = 0;
        } else if (ch == '"' || ch == '\'') {
            quote = ch;
        } else if (ch == '>') {
            if (j + 1 - lt > kMaxStartTag)
                return bad("first_tag_syntax", type, j + 1, name_at, name_length);
            Kind kind = d[j - 1] == '/' ? Kind::kEmptyTag : Kind::kStartTag;
            return Markup{kind, j + 1, name_at, name_length};
        }
    }
    return bad("unterminated_tag_syntax", type, n, name_at, name_length);
}

std::string_view CXmlDocument::NameAt(uint32_t offset) const {
    size_t e = offset;
    while (e < doc_.size() && IsNameChar(doc_[e]))
        ++e;
    return std::string_view(doc_).substr(offset, e - offset);
}

bool CXmlDocument::NameEquals(std::string_view a, std::string_view b) const {
    return (flags_ & kIgnoreCase) ? EqualsNoCase(a, b) : a == b;
}

std::string_view CXmlDocument::StartTag(uint32_t pos) const {
    const Element& r = Rec(pos);
    return std::string_view(doc_).substr(r.start, r.StartTagLength());
}

// ---- the result log ----

void CXmlDocument::LogConversion(std::string& log, const char* name, const std::string& encoding,
                                 size_t length, const std::string& source_encoding, size_t lost) {
    AddEvent(log, {.name = name,
                   .encoding = encoding,
                   .number_name = "length",
                   .number = static_cast<long long>(length)});
    if (lost > 0) {
        AddEvent(log, {.name = "conversion_loss",
                       .encoding = source_encoding,
                       .number_name = "count",
                       .number = static_cast<long long>(lost)});
    }
}

void CXmlDocument::AddEvent(std::string& log, const Event& e) {
    if (log.size() >= kLogCap)
        return;
    log += '<';
    log += e.name;
    if (!e.encoding.empty())
        AppendAttribute(log, "encoding", Clip(e.encoding));
    if (!e.type.empty())
        AppendAttribute(log, "type", e.type);
    if (!e.tagname.empty())
        AppendAttribute(log, "tagname", Clip(e.tagname));
    if (!e.msg.empty())
        AppendAttribute(log, "msg", Clip(e.msg));
    if (e.number_name != nullptr)
        AppendAttribute(log, e.number_name, std::to_string(e.number));
    if (e.offset2 >= 0)
        AppendAttribute(log, "offset2", std::to_string(e.offset2));
    log += "/>";
}

// ---- parsing ----

bool CXmlDocument::SetDoc(std::string text) {
    doc_ = std::move(text);
    result_.clear();
    parse_log_start_ = 0;
    return Parse();
}

bool CXmlDocument::Parse() {
    result_.resize(std::min(parse_log_start_, result_.size()));
    ClearIndex();
    ResetPos();
    const size_t size = doc_.size();
    bool bad = false;
    if (size > kMaxText) {
        EnsureIndex();
        AddEvent(result_, {.name = "no_root_element", .msg = "document too large"});
        Rec(0).flags_level |= kNotWellFormed;
        return false;
    }
    Reserve(size / 64 + 8);
    NewRecord();
    Rec(0).length = static_cast<uint32_t>(size);

    struct Open {
        uint32_t pos;
        uint32_t name_length;
    };
    std::vector<Open> stack;
    // Open names with their counts, kept only once an end tag did not match the innermost
    // element, so that a lone end tag is recognised without walking the whole stack.
    std::unordered_map<std::string, uint32_t> open_names;
    bool counting = false;
    auto key = [&](std::string_view name) {
        std::string k(name);
        if (flags_ & kIgnoreCase) {
            for (char& ch : k)
                ch = Lower(ch);
        }
        return k;
    };
    auto open_name = [&](const Open& o) {
        return std::string_view(doc_).substr(Rec(o.pos).start + 1, o.name_length);
    };
    auto pop = [&]() {
        if (counting)
            --open_names[key(open_name(stack.back()))];
        stack.pop_back();
    };
    auto close_unended = [&](size_t from, uint32_t closed_at) {
        // Outermost first, so that each element moves to its new parent at most once.
        for (size_t k = from; k < stack.size(); ++k) {
            const Element& r = Rec(stack[k].pos);
            AddEvent(result_, {.name = "unended_start_tag",
                               .tagname = open_name(stack[k]),
                               .number_name = "offset",
                               .number = r.start,
                               .offset2 = closed_at});
            CloseUnended(stack[k].pos, closed_at);
        }
        while (stack.size() > from)
            pop();
    };

    const char* text = doc_.data();
    size_t pos = 0;
    while (pos < size) {
        const void* found = std::memchr(text + pos, '<', size - pos);
        if (found == nullptr)
            break;
        const size_t at = static_cast<size_t>(static_cast<const char*>(found) - text);
        const Markup m = ScanMarkup(at);
        switch (m.kind) {
            case Kind::kStartTag:
            case Kind::kEmptyTag: {
                const uint32_t e = NewRecord();
                Element& r = Rec(e);
                r.start = static_cast<uint32_t>(at);
                r.length = static_cast<uint32_t>(m.end - at);
                r.SetTagLengths(r.length, 0);
                r.flags_level = static_cast<uint32_t>(std::min<size_t>(stack.size(), kLevelMask));
                AppendChild(stack.empty() ? 0 : stack.back().pos, e);
                if (m.kind == Kind::kStartTag) {
                    stack.push_back({e, static_cast<uint32_t>(m.name_length)});
                    if (counting)
                        ++open_names[key(open_name(stack.back()))];
                }
                break;
            }
            case Kind::kEndTag: {
                const std::string_view name =
                    std::string_view(doc_).substr(m.name_at, m.name_length);
                size_t match = stack.size();
                if (!stack.empty() && NameEquals(open_name(stack.back()), name)) {
                    match = stack.size() - 1;
                } else {
                    if (!counting) {
                        for (const Open& o : stack)
                            ++open_names[key(open_name(o))];
                        counting = true;
                    }
                    auto it = open_names.find(key(name));
                    if (it != open_names.end() && it->second > 0) {
                        for (size_t k = stack.size(); k-- > 0;) {
                            if (NameEquals(open_name(stack[k]), name)) {
                                match = k;
                                break;
                            }
                        }
                    }
                }
                if (match == stack.size()) {
                    AddEvent(result_, {.name = "lone_end_tag",
                                       .tagname = name,
                                       .number_name = "offset",
                                       .number = static_cast<long long>(at)});
                    bad = true;
                    break;
                }
                if (match + 1 < stack.size()) {
                    close_unended(match + 1, static_cast<uint32_t>(at));
                    bad = true;
                }
                Element& r = Rec(stack.back().pos);
                r.length = static_cast<uint32_t>(m.end - r.start);
                r.SetTagLengths(r.StartTagLength(), static_cast<uint32_t>(m.end - at));
                pop();
                break;
            }
            case Kind::kBad: {
                AddEvent(result_,
                         {.name = m.event,
                          .type = m.type != nullptr ? std::string_view(m.type) : std::string_view(),
                          .tagname = std::string_view(doc_).substr(m.name_at, m.name_length),
                          .number_name = "offset",
                          .number = static_cast<long long>(at)});
                Rec(stack.empty() ? 0 : stack.back().pos).flags_level |= kDamaged;
                bad = true;
                break;
            }
            default:
                break;
        }
        pos = m.end;
    }
    if (!stack.empty()) {
        close_unended(0, static_cast<uint32_t>(size));
        bad = true;
    }
    const uint32_t root = Rec(0).first_child;
    if (root == 0) {
        AddEvent(result_, {.name = "no_root_element"});
        bad = true;
    } else if (Rec(root).next != 0) {
        const Element& sibling = Rec(Rec(root).next);
        AddEvent(result_, {.name = "root_has_sibling",
                           .tagname = NameAt(sibling.start + 1),
                           .number_name = "offset",
                           .number = sibling.start});
        bad = true;
    }
    if (bad)
        Rec(0).flags_level |= kNotWellFormed;
    return !bad;
}

bool CXmlDocument::IsWellFormed() const {
    return count_ > 0 && (Rec(0).flags_level & kNotWellFormed) == 0 && Rec(0).first_child != 0;
}

// ---- navigation ----

void CXmlDocument::ResetPos() {
    parent_ = current_ = child_ = 0;
    node_type_ = 0;
    node_offset_ = node_length_ = 0;
}

bool CXmlDocument::OnOtherNode() const {
    return node_type_ != 0 && node_type_ != kNodeElement;
}

bool CXmlDocument::FindNode(int types) {
    if (count_ == 0)
        return false;
    const uint32_t level_start = parent_ != 0 ? Rec(parent_).ContentStart() : 0;
    const uint32_t level_end =
        parent_ != 0 ? Rec(parent_).ContentEnd() : static_cast<uint32_t>(doc_.size());
    size_t p = OnOtherNode()   ? node_offset_ + node_length_
               : current_ != 0 ? Rec(current_).End()
                               : level_start;
    // The element children of the level in document order, from the first one at or after p.
    uint32_t next_element = Rec(parent_).first_child;
    while (next_element != 0 && Rec(next_element).start < p)
        next_element = Rec(next_element).next;
    uint32_t passed = current_;  // the last element passed over
    while (p < level_end) {
        while (next_element != 0 && Rec(next_element).start < p)
            next_element = Rec(next_element).next;
        int type = 0;
        size_t end;
        if (next_element != 0 && Rec(next_element).start == p) {
            const uint32_t e = next_element;
            next_element = Rec(e).next;
            if (types == 0 || (types & kNodeElement)) {
                current_ = e;
                child_ = 0;
                node_type_ = kNodeElement;
                node_offset_ = node_length_ = 0;
                return true;
            }
            passed = e;
            p = std::max<size_t>(Rec(e).End(), p + 1);
            continue;
        }
        if (doc_[p] != '<') {
            end = doc_.find('<', p);
            if (end == std::string::npos || end > level_end)
                end = level_end;
            bool blank = true;
            for (size_t i = p; i < end && blank; ++i)
                blank = IsSpace(doc_[i]);
            type = blank ? 0 : kNodeText;  // white space between markup is no node
        } else {
            const Markup m = ScanMarkup(p);
            end = std::min<size_t>(std::max(m.end, p + 1), level_end);
            switch (m.kind) {
                case Kind::kProcessing:
                    type = kNodeProcessingInstruction;
                    break;
                case Kind::kComment:
                    type = kNodeComment;
                    break;
                case Kind::kCdata:
                    type = kNodeCdata;
                    break;
                case Kind::kDoctype:
                    type = kNodeDocumentType;
                    break;
                default:
                    // A stray end tag or damaged markup: no node (an element whose record
                    // exists was met above).
                    break;
            }
        }
        if (type != 0 && (types == 0 || (types & type))) {
            current_ = passed;
            child_ = 0;
            node_type_ = type;
            node_offset_ = static_cast<uint32_t>(p);
            node_length_ = static_cast<uint32_t>(end - p);
            return true;
        }
        p = end;
    }
    return false;
}

uint32_t CXmlDocument::NodeOffset() const {
    if (OnOtherNode())
        return node_offset_;
    return node_type_ == kNodeElement && current_ != 0 ? Rec(current_).start : 0;
}

uint32_t CXmlDocument::NodeLength() const {
    if (OnOtherNode())
        return node_length_;
    return node_type_ == kNodeElement && current_ != 0 ? Rec(current_).length : 0;
}

std::string CXmlDocument::NodeData() const {
    const std::string_view node = std::string_view(doc_).substr(node_offset_, node_length_);
    auto inner = [&](size_t open, size_t close) {
        return node.size() >= open + close ? node.substr(open, node.size() - open - close)
                                           : std::string_view();
    };
    switch (node_type_) {
        case kNodeText:
            return UnescapeText(node);
        case kNodeCdata:
            return std::string(inner(9, 3));
        case kNodeComment:
            return std::string(inner(4, 3));
        case kNodeDocumentType:
            return std::string(TrimSpace(inner(9, 1)));
        case kNodeProcessingInstruction: {
            size_t i = 2;
            while (i < node.size() && IsNameChar(node[i]))
                ++i;
            return std::string(TrimSpace(inner(i, 2)));
        }
        default:
            return {};
    }
}

bool CXmlDocument::FindElement(std::string_view name) {
    if (count_ == 0)
        return false;
    uint32_t c = current_ != 0 ? Rec(current_).next : Rec(parent_).first_child;
    for (; c != 0; c = Rec(c).next) {
        if (name.empty() || NameEquals(NameAt(Rec(c).start + 1), name)) {
            current_ = c;
            child_ = 0;
            node_type_ = kNodeElement;
            return true;
        }
    }
    return false;
}

bool CXmlDocument::IntoElement() {
    if (current_ == 0 || OnOtherNode())
        return false;
    parent_ = current_;
    current_ = child_;
    child_ = 0;
    node_type_ = current_ != 0 ? kNodeElement : 0;
    return true;
}

bool CXmlDocument::OutOfElement() {
    if (parent_ == 0)
        return false;
    child_ = current_;
    current_ = parent_;
    parent_ = Rec(parent_).parent;
    node_type_ = kNodeElement;
    node_offset_ = node_length_ = 0;
    return true;
}

std::string CXmlDocument::GetTagName() const {
    if (node_type_ == kNodeProcessingInstruction)
        return std::string(NameAt(node_offset_ + 2));
    if (current_ == 0 || OnOtherNode())
        return {};
    return std::string(NameAt(Rec(current_).start + 1));
}

std::string CXmlDocument::GetAttribute(std::string_view name) const {
    std::string_view tag;
    if (node_type_ == kNodeProcessingInstruction)
        tag = std::string_view(doc_).substr(node_offset_, node_length_);
    else if (current_ != 0 && !OnOtherNode())
        tag = StartTag(current_);
    else
        return {};
    AttributeSpan a;
    if (!FindAttribute(tag, name, (flags_ & kIgnoreCase) != 0, a))
        return {};
    return UnescapeText(tag.substr(a.value_at, a.value_length));
}

std::string CXmlDocument::GetText() const {
    if (OnOtherNode())
        return NodeData();
    if (current_ == 0)
        return {};
    const Element& r = Rec(current_);
    if (r.first_child != 0)
        return {};
    const size_t end = r.ContentEnd();
    std::string out;
    size_t p = r.ContentStart();
    while (p < end) {
        size_t lt = doc_.find('<', p);
        if (lt == std::string::npos || lt > end)
            lt = end;
        out += UnescapeText(std::string_view(doc_).substr(p, lt - p));
        if (lt >= end)
            break;
        const Markup m = ScanMarkup(lt);
        const size_t next = std::min(std::max(m.end, lt + 1), end);
        if (m.kind == Kind::kCdata) {
            const size_t cdata_end = std::min(m.end - 3, end);
            if (cdata_end > lt + 9)
                out.append(doc_, lt + 9, cdata_end - (lt + 9));
        } else if (m.kind == Kind::kBad) {
            out.append(doc_, lt, next - lt);  // not markup after all: kept as it stands
        }
        p = next;
    }
    if (flags_ & kCollapseWhitespace) {
        std::string collapsed;
        bool space = false;
        for (char c : out) {
            if (IsSpace(c)) {
                if (!space)
                    collapsed += ' ';
                space = true;
            } else {
                collapsed += c;
                space = false;
            }
        }
        out.swap(collapsed);
    }
    if (flags_ & kTrimWhitespace) {
        size_t b = 0;
        size_t e = out.size();
        while (b < e && IsSpace(out[b]))
            ++b;
        while (e > b && IsSpace(out[e - 1]))
            --e;
        out = out.substr(b, e - b);
    }
    return out;
}

// ---- references and escaping ----

std::string CXmlDocument::UnescapeText(std::string_view text) {
    size_t amp = text.find('&');
    if (amp == std::string_view::npos)
        return std::string(text);
    std::string out(text.substr(0, amp));
    out.reserve(text.size());
    for (size_t i = amp; i < text.size();) {
        if (text[i] != '&') {
            out += text[i++];
            continue;
        }
        size_t used = ResolveReference(text, i, out);
        if (used == 0) {
            out += '&';
            ++i;
        } else {
            i += used;
        }
    }
    return out;
}

std::string CXmlDocument::EscapeText(std::string_view text, bool attribute) {
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        switch (c) {
            case '&':
                out += "&amp;";
                break;
            case '<':
                out += "&lt;";
                break;
            case '>':
                out += "&gt;";
                break;
            case '"':
                if (attribute) {
                    out += "&quot;";
                } else {
                    out += c;
                }
                break;
            case '\'':
                if (attribute) {
                    out += "&apos;";
                } else {
                    out += c;
                }
                break;
            default:
                out += c;
        }
    }
    return out;
}

// ---- editing ----

// Replaces `old_length` characters at `at` by `text`. `owner` is the innermost element holding
// the change (0: the document): it and every enclosing element grow or shrink by the
// difference, and every element starting after the replaced stretch moves by it.
bool CXmlDocument::ReplaceText(uint32_t at, uint32_t old_length, std::string_view text,
                               uint32_t owner) {
    const long long delta = static_cast<long long>(text.size()) - old_length;
    if (static_cast<long long>(doc_.size()) + delta > static_cast<long long>(kMaxText))
        return false;
    doc_.replace(at, old_length, text);
    auto moved = [delta](uint32_t v) {
        return static_cast<uint32_t>(static_cast<long long>(v) + delta);
    };
    const uint32_t old_end = at + old_length;
    for (size_t p = 1; p < count_; ++p) {
        Element& e = Rec(static_cast<uint32_t>(p));
        if (e.start >= old_end && p != owner)
            e.start = moved(e.start);
    }
    for (uint32_t p = owner; p != 0; p = Rec(p).parent)
        Rec(p).length = moved(Rec(p).length);
    Rec(0).length = static_cast<uint32_t>(doc_.size());
    return true;
}

// "<a/>" becomes "<a></a>" (every slash before the ">" goes: "<a//>" would stay empty).
bool CXmlDocument::OpenEmptyElement(uint32_t pos) {
    const Element r = Rec(pos);
    const std::string_view name = NameAt(r.start + 1);
    const std::string_view tag = StartTag(pos);
    if (name.size() + 3 > kMaxEndTag || tag.size() < 3)
        return false;
    uint32_t slashes = 0;
    while (slashes + 2 < tag.size() && tag[tag.size() - 2 - slashes] == '/')
        ++slashes;
    std::string tail = "></";
    tail += name;
    tail += '>';
    const uint32_t at = r.start + r.StartTagLength() - 1 - slashes;
    if (!ReplaceText(at, slashes + 1, tail, pos))
        return false;
    Rec(pos).SetTagLengths(r.StartTagLength() - slashes, static_cast<uint32_t>(name.size() + 3));
    return true;
}

bool CXmlDocument::SetText(std::string_view text, bool cdata) {
    if ((flags_ & kReadingFile) || current_ == 0 || OnOtherNode())
        return false;
    if (Rec(current_).first_child != 0)
        return false;
    std::string content;
    if (cdata) {
        content = "<![CDATA[";
        for (size_t i = 0; i < text.size();) {
            if (text.substr(i, 3) == "]]>") {
                content += "]]]]><![CDATA[>";
                i += 3;
            } else {
                content += text[i++];
            }
        }
        content += "]]>";
    } else {
        content = EscapeText(text);
    }
    if (Rec(current_).IsEmptyTag() && !OpenEmptyElement(current_))
        return false;
    const Element& r = Rec(current_);
    return ReplaceText(r.ContentStart(), r.ContentEnd() - r.ContentStart(), content, current_);
}

bool CXmlDocument::AddElement(std::string_view name, std::string_view text) {
    if ((flags_ & kReadingFile) || name.empty() || !IsNameStart(name[0]) ||
        name.size() + 3 > kMaxEndTag)
        return false;
    for (char c : name) {
        if (!IsNameChar(c))
            return false;
    }
    EnsureIndex();
    const uint32_t parent = parent_;
    if (parent != 0 && Rec(parent).IsEmptyTag() && !OpenEmptyElement(parent))
        return false;
    uint32_t at;
    const uint32_t first = Rec(parent).first_child;
    if (first != 0) {
        at = Rec(Rec(first).prev).End();
    } else if (parent != 0) {
        at = Rec(parent).ContentEnd();
    } else {
        at = static_cast<uint32_t>(doc_.size());
    }
    std::string markup = "<";
    markup += name;
    uint32_t start_tag;
    uint32_t end_tag = 0;
    if (text.empty()) {
        markup += "/>";
        start_tag = static_cast<uint32_t>(markup.size());
    } else {
        markup += '>';
        start_tag = static_cast<uint32_t>(markup.size());
        markup += EscapeText(text);
        markup += "</";
        markup += name;
        markup += '>';
        end_tag = static_cast<uint32_t>(name.size() + 3);
    }
    if (!ReplaceText(at, 0, markup, parent))
        return false;
    const uint32_t e = NewRecord();
    Element& r = Rec(e);
    r.start = at;
    r.length = static_cast<uint32_t>(markup.size());
    r.SetTagLengths(start_tag, end_tag);
    r.flags_level =
        parent == 0 ? 0
                    : std::min<uint32_t>((Rec(parent).flags_level & kLevelMask) + 1, kLevelMask);
    AppendChild(parent, e);
    current_ = e;
    child_ = 0;
    node_type_ = kNodeElement;
    return true;
}

bool CXmlDocument::SetAttribute(std::string_view name, std::string_view value) {
    if ((flags_ & kReadingFile) || current_ == 0 || OnOtherNode() || name.empty() ||
        !IsNameStart(name[0]))
        return false;
    for (char c : name) {
        if (!IsNameChar(c))
            return false;
    }
    const Element r = Rec(current_);
    const std::string_view tag = StartTag(current_);
    std::string text;
    uint32_t at;
    uint32_t old_length;
    AttributeSpan a;
    if (FindAttribute(tag, name, (flags_ & kIgnoreCase) != 0, a)) {
        text = "=\"" + EscapeText(value, true) + "\"";
        at = r.start + static_cast<uint32_t>(a.raw_at);
        old_length = static_cast<uint32_t>(a.raw_length);
    } else {
        AppendAttribute(text, name, value);
        const bool empty = tag.size() >= 2 && tag[tag.size() - 2] == '/';
        at = r.start + static_cast<uint32_t>(tag.size() - (empty ? 2 : 1));
        old_length = 0;
    }
    const long long start_tag = static_cast<long long>(r.StartTagLength()) +
                                static_cast<long long>(text.size()) - old_length;
    if (start_tag > kMaxStartTag)
        return false;
    if (!ReplaceText(at, old_length, text, current_))
        return false;
    Rec(current_).SetTagLengths(static_cast<uint32_t>(start_tag), r.EndTagLength());
    return true;
}

bool CXmlDocument::SetAttribute(std::string_view name, long long value) {
    return SetAttribute(name, std::string_view(std::to_string(value)));
}

// ---- paths ----

// Matches the path (starting with "/", "//" or a step name) against the children (or, after
// "//", the descendants) of `context`; `found` receives the first match in document order.
bool CXmlDocument::FindPathStep(std::string_view path, uint32_t context, uint32_t& found) const {
    bool descendants = false;
    if (StartsWith(path, "//")) {
        descendants = true;
        path.remove_prefix(2);
    } else if (StartsWith(path, "/")) {
        path.remove_prefix(1);
    }
    size_t step_end = 0;
    int brackets = 0;
    while (step_end < path.size() && (brackets > 0 || path[step_end] != '/')) {
        if (path[step_end] == '[')
            ++brackets;
        if (path[step_end] == ']' && brackets > 0)
            --brackets;
        ++step_end;
    }
    const std::string_view step = path.substr(0, step_end);
    const std::string_view rest = path.substr(step_end);
    const size_t bracket = step.find('[');
    std::string_view name = step.substr(0, bracket);
    if (name == "*")
        name = {};
    if (step.empty())
        return false;
    long long index = 0;  // 0: every match
    std::string_view attribute;
    std::string attribute_value;
    bool test_attribute = false;
    if (bracket != std::string_view::npos) {
        if (step.back() != ']')
            return false;
        std::string_view predicate = step.substr(bracket + 1, step.size() - bracket - 2);
        if (StartsWith(predicate, "@")) {
            const size_t eq = predicate.find('=');
            if (eq == std::string_view::npos || eq + 2 >= predicate.size() + 0 ||
                (predicate[eq + 1] != '\'' && predicate[eq + 1] != '"') ||
                predicate.back() != predicate[eq + 1])
                return false;
            attribute = predicate.substr(1, eq - 1);
            attribute_value = predicate.substr(eq + 2, predicate.size() - eq - 3);
            test_attribute = true;
        } else {
            if (predicate.empty() || predicate.size() > 9)
                return false;
            for (char c : predicate) {
                if (c < '0' || c > '9')
                    return false;
                index = index * 10 + (c - '0');
            }
            if (index == 0)
                return false;
        }
    }
    long long count = 0;
    uint32_t c = Rec(context).first_child;
    while (c != 0) {
        const Element& e = Rec(c);
        bool match = name.empty() || NameEquals(NameAt(e.start + 1), name);
        if (match && test_attribute) {
            AttributeSpan a;
            const std::string_view tag = StartTag(c);
            match = FindAttribute(tag, attribute, (flags_ & kIgnoreCase) != 0, a) &&
                    UnescapeText(tag.substr(a.value_at, a.value_length)) == attribute_value;
        }
        if (match && (index == 0 || ++count == index)) {
            if (rest.empty()) {
                found = c;
                return true;
            }
            if (FindPathStep(rest, c, found))
                return true;
            if (index != 0)
                return false;
        }
        // Next candidate: the next sibling, or in document order below `context`.
        if (descendants && e.first_child != 0) {
            c = e.first_child;
            continue;
        }
        uint32_t p = c;
        c = 0;
        while (p != context && p != 0) {
            if (Rec(p).next != 0) {
                c = Rec(p).next;
                break;
            }
            p = descendants ? Rec(p).parent : context;
        }
    }
    return false;
}

bool CXmlDocument::FindPath(std::string_view path) {
    if (count_ == 0 || path.empty())
        return false;
    const uint32_t context = StartsWith(path, "/") ? 0 : (current_ != 0 ? current_ : parent_);
    uint32_t found = 0;
    if (!FindPathStep(path, context, found))
        return false;
    current_ = found;
    parent_ = Rec(found).parent;
    child_ = 0;
    node_type_ = kNodeElement;
    return true;
}

// ---- files ----

void CXmlDocument::FileErrorEvent(std::string& log, int error) {
    AddEvent(
        log,
        {.name = "file_error", .msg = SystemErrorText(error), .number_name = "n", .number = error});
}

bool CXmlDocument::ReadTextFile(const std::string& path, std::string& text, std::string* result,
                                int* flags) {
    std::string log;
    int file_flags = 0;
    text.clear();
    auto finish = [&](bool ok) {
        if (result != nullptr)
            *result = std::move(log);
        if (flags != nullptr)
            *flags = file_flags;
        return ok;
    };
    std::string raw;
    {
        FILE* f = std::fopen(path.c_str(), "rb");
        if (f == nullptr) {
            FileErrorEvent(log, errno);
            return finish(false);
        }
        char buf[65536];
        size_t got;
        bool too_large = false;
        while ((got = std::fread(buf, 1, sizeof buf, f)) > 0) {
            if (raw.size() + got > kMaxText) {
                too_large = true;
                break;
            }
            raw.append(buf, got);
        }
        const int error = std::ferror(f) ? errno : 0;
        const bool failed = std::ferror(f) != 0;
        std::fclose(f);
        if (too_large || failed) {
            FileErrorEvent(log, too_large ? EFBIG : (error != 0 ? error : EIO));
            return finish(false);
        }
    }
    return finish(DecodeText(raw, text, &log, &file_flags));
}

bool CXmlDocument::DecodeText(std::string_view bytes, std::string& text, std::string* result,
                              int* flags) {
    std::string local_log;
    std::string& log = result != nullptr ? *result : local_log;
    int file_flags = 0;
    text.clear();
    auto finish = [&](bool ok) {
        if (flags != nullptr)
            *flags = file_flags;
        return ok;
    };
    std::string encoding;
    bool utf16 = false;
    bool big_endian = false;
    struct Mark {
        std::string_view bytes;
        const char* encoding;
        int flag;
    };
    static const Mark kMarks[] = {{"\xEF\xBB\xBF", "UTF-8", kUtf8Preamble},
                                  {"\xFF\xFE", "UTF-16LE", kUtf16LeFile},
                                  {"\xFE\xFF", "UTF-16BE", kUtf16BeFile}};
    for (const Mark& m : kMarks) {
        if (StartsWith(bytes, m.bytes)) {
            encoding = m.encoding;
            file_flags = m.flag;
            utf16 = m.flag != kUtf8Preamble;
            big_endian = m.flag == kUtf16BeFile;
            bytes.remove_prefix(m.bytes.size());
            AddEvent(log, {.name = "bom", .encoding = encoding});
            break;
        }
    }
    if (encoding.empty()) {
        std::string declared = DeclaredEncoding(bytes.substr(0, kDetectLength));
        if (!declared.empty() && !IsWideEncoding(declared) && WritesMarkupAsAscii(declared)) {
            encoding = declared;
        } else if (!bytes.empty() && bytes[0] == '<') {
            encoding = "UTF-8";
        }
    }
    if (utf16) {
        std::u16string units;
        units.reserve(bytes.size() / 2);
        size_t nulls = 0;
        const size_t unit_count = bytes.size() / 2;
        for (size_t i = 0; i + 1 < bytes.size(); i += 2) {
            const auto b0 = static_cast<unsigned char>(bytes[i]);
            const auto b1 = static_cast<unsigned char>(bytes[i + 1]);
            const char16_t u = big_endian ? static_cast<char16_t>(b0 << 8 | b1)
                                          : static_cast<char16_t>(b1 << 8 | b0);
            if (u == 0) {
                ++nulls;
            } else {
                units.push_back(u);
            }
        }
        if (nulls > 0) {
            AddEvent(log, {.name = "nulls_removed",
                           .number_name = "count",
                           .number = static_cast<long long>(nulls)});
        }
        if (big_endian)
            AddEvent(log, {.name = "endian_swap", .encoding = encoding});
        size_t lost = bytes.size() % 2;  // a final odd byte is no character
        text = platform::Utf16ToUtf8(units, &lost);
        LogConversion(log, "converted_to", platform::kProgramEncoding, text.size(), encoding, lost);
        AddEvent(log, {.name = "read",
                       .encoding = encoding,
                       .number_name = "length",
                       .number = static_cast<long long>(unit_count)});
        return finish(true);
    }
    if (encoding.empty()) {
        if (platform::IsValidUtf8(bytes)) {
            encoding = "UTF-8";
            AddEvent(log, {.name = "utf8_detection", .encoding = encoding});
        } else {
            encoding = platform::kProgramEncoding;
            AddEvent(log, {.name = "utf8_detection", .msg = "not UTF-8"});
        }
    }
    if (platform::IsProgramEncoding(encoding)) {
        text.assign(bytes);
    } else {
        size_t lost = 0;
        platform::FromEncoding(bytes, encoding, text, &lost);
        LogConversion(log, "converted_to", platform::kProgramEncoding, text.size(), encoding, lost);
    }
    AddEvent(log, {.name = "read",
                   .encoding = encoding,
                   .number_name = "length",
                   .number = static_cast<long long>(bytes.size())});
    return finish(true);
}

bool CXmlDocument::WriteTextFile(const std::string& path, const std::string& text,
                                 std::string* result, int* flags) {
    std::string log;
    auto finish = [&](bool ok) {
        if (result != nullptr)
            *result = std::move(log);
        return ok;
    };
    const int file_flags = flags != nullptr ? (*flags & kFileEncodingFlags) : 0;
    std::string encoding;
    std::string bytes;
    if (file_flags & kUtf8Preamble) {
        encoding = "UTF-8";
        bytes = "\xEF\xBB\xBF";
    } else if (file_flags & kUtf16LeFile) {
        encoding = "UTF-16LE";
        bytes = "\xFF\xFE";
    } else if (file_flags & kUtf16BeFile) {
        encoding = "UTF-16BE";
        bytes = "\xFE\xFF";
    } else {
        encoding = DeclaredEncoding(text);
        if (IsWideEncoding(encoding)) {
            // Only a mark makes a UTF-16 file readable again.
            encoding = "UTF-16LE";
            bytes = "\xFF\xFE";
        } else if (encoding.empty() || !WritesMarkupAsAscii(encoding)) {
            encoding = "UTF-8";
        }
    }
    if (platform::IsProgramEncoding(encoding)) {
        bytes += text;
    } else {
        std::string converted;
        size_t lost = 0;
        platform::ToEncoding(text, encoding, converted, &lost);
        LogConversion(log, "converted_from", encoding, converted.size(), encoding, lost);
        bytes += converted;
    }

    // Written beside the target and renamed over it, so that a crash never leaves a torn file.
    static std::atomic<unsigned> serial{0};
    std::string temp;
    int fd = -1;
    for (int attempt = 0; attempt < 100 && fd < 0; ++attempt) {
        temp = path + "." + std::to_string(getpid()) + "." + std::to_string(serial++) + ".tmp";
        fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd < 0 && errno != EEXIST)
            break;
    }
    if (fd < 0) {
        FileErrorEvent(log, errno);
        return finish(false);
    }
    struct stat old_file;
    if (::stat(path.c_str(), &old_file) == 0)
        ::fchmod(fd, old_file.st_mode & 07777);
    size_t done = 0;
    int error = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            error = errno;
            break;
        }
        done += static_cast<size_t>(n);
    }
    if (error == 0 && ::fsync(fd) != 0)
        error = errno;
    if (::close(fd) != 0 && error == 0)
        error = errno;
    if (error == 0 && ::rename(temp.c_str(), path.c_str()) != 0)
        error = errno;
    if (error != 0) {
        ::unlink(temp.c_str());
        FileErrorEvent(log, error);
        return finish(false);
    }
    AddEvent(log, {.name = "write",
                   .encoding = encoding,
                   .number_name = "length",
                   .number = static_cast<long long>(bytes.size())});
    return finish(true);
}

bool CXmlDocument::Load(const std::string& path) {
    std::string text;
    int file_flags = 0;
    const bool ok = ReadTextFile(path, text, &result_, &file_flags);
    flags_ = (flags_ & ~kFileEncodingFlags) | file_flags;
    parse_log_start_ = result_.size();
    doc_ = std::move(text);
    if (!ok) {
        doc_.clear();
        ClearIndex();
        ResetPos();
        return false;
    }
    return Parse();
}

bool CXmlDocument::Save(const std::string& path) {
    int file_flags = flags_ & kFileEncodingFlags;
    const bool ok = WriteTextFile(path, doc_, &result_, &file_flags);
    parse_log_start_ = 0;
    return ok;
}
