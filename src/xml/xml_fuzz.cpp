// Parses arbitrary bytes as a file's content, navigates every element, reads texts and
// attributes, edits, and checks that after edits of a well-formed document the index still
// describes the text exactly as a fresh parse does.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "xml/xml_document.h"

namespace {

std::string Walk(CXmlDocument& doc) {
    std::string out;
    doc.ResetPos();
    int depth = 0;
    while (true) {
        if (doc.FindElement()) {
            out += std::to_string(depth) + doc.GetTagName() + "[" + doc.GetText() + "]" +
                   doc.GetAttribute("a") + "\n";
            doc.IntoElement();
            ++depth;
            continue;
        }
        if (!doc.OutOfElement())
            break;
        --depth;
    }
    doc.ResetPos();
    return out;
}

// Visits every node of every level; each lies inside the text, after the one before it.
void WalkNodes(CXmlDocument& doc) {
    doc.ResetPos();
    uint32_t last_end = 0;
    while (true) {
        if (doc.FindNode()) {
            const uint64_t end = uint64_t{doc.NodeOffset()} + doc.NodeLength();
            if (doc.NodeOffset() < last_end || end > doc.GetDoc().size() || doc.NodeLength() == 0)
                std::abort();
            last_end = static_cast<uint32_t>(end);
            doc.GetText();
            doc.GetAttribute("a");
            if (doc.NodeType() == CXmlDocument::kNodeElement && doc.IntoElement())
                last_end = 0;
            continue;
        }
        if (!doc.OutOfElement())
            break;
        last_end = doc.NodeOffset() + doc.NodeLength();
    }
    doc.ResetPos();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0)
        return 0;
    const int options[] = {0, CXmlDocument::kIgnoreCase,
                           CXmlDocument::kTrimWhitespace | CXmlDocument::kCollapseWhitespace};
    const int flags = options[data[0] % 3];
    const unsigned pick = data[0] / 3;
    std::string bytes(reinterpret_cast<const char*>(data + 1), size - 1);

    std::string text;
    std::string log;
    int file_flags = 0;
    CXmlDocument::DecodeText(bytes, text, &log, &file_flags);
    if (log.size() > 2000)
        std::abort();

    CXmlDocument doc(flags | file_flags);
    const bool well_formed = doc.SetDoc(text);
    if (doc.GetResult().size() > 1000 + 200)
        std::abort();
    Walk(doc);
    const char* paths[] = {"//a", "/r/a[2]", "//*[@a='1']", "a/b", "//b[3]/*"};
    for (const char* path : paths) {
        doc.ResetPos();
        doc.FindPath(path);
        doc.GetText();
    }
    WalkNodes(doc);

    // Edit the n-th element (in document order) and one of its neighbours.
    doc.ResetPos();
    if (doc.FindPath("//*[" + std::to_string(pick % 8 + 1) + "]")) {
        doc.SetText("t<&>]]>x", (pick & 1) != 0);
        doc.SetAttribute("a", "1\"'<");
        doc.SetAttribute("a", 12345);
        doc.IntoElement();
        doc.AddElement("b", "&");
        doc.AddElement("c");
        doc.OutOfElement();
        doc.OutOfElement();
        doc.AddElement("d", "x");
    }
    const std::string edited = Walk(doc);
    if (well_formed) {
        CXmlDocument fresh(doc.GetDocFlags());
        fresh.SetDoc(doc.GetDoc());
        if (Walk(fresh) != edited)
            std::abort();
    }
    return 0;
}
