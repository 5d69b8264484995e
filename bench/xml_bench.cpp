// Parses a generated 10 MB document (flat and deep variants) with CXmlDocument, libxml2 and
// pugixml and prints the best of several runs for each, the ratios, and the element index's
// memory against its reservation rule (one record per 64 characters plus 8, growing by half).
#include <libxml/parser.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <functional>
#include <pugixml.hpp>
#include <string>

#include "xml/xml_document.h"

namespace {

constexpr size_t kTarget = 10u << 20;
constexpr int kRuns = 7;

// Many small records below one root, as configuration files and language tables look.
std::string Flat() {
    std::string s = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<table>\n";
    for (int i = 0; s.size() < kTarget; ++i) {
        s += "  <item id=\"" + std::to_string(i) + "\" kind='text'>Line " + std::to_string(i) +
             " &amp; more</item>\n";
    }
    s += "</table>\n";
    return s;
}

// Chains nested 200 deep, repeated.
std::string Deep() {
    std::string s = "<?xml version=\"1.0\"?>\n<root>";
    while (s.size() < kTarget) {
        for (int d = 0; d < 200; ++d)
            s += "<n d=\"" + std::to_string(d) + "\">t";
        s += "<leaf/>";
        for (int d = 0; d < 200; ++d)
            s += "</n>";
        s += '\n';
    }
    s += "</root>\n";
    return s;
}

// Best wall time of kRuns calls of `run` (seconds); `prepare` runs untimed before each.
double Best(const std::function<void()>& prepare, const std::function<bool()>& run) {
    double best = 1e9;
    for (int i = 0; i < kRuns; ++i) {
        prepare();
        auto t0 = std::chrono::steady_clock::now();
        if (!run()) {
            std::printf("  parse failed\n");
            return 0;
        }
        auto t1 = std::chrono::steady_clock::now();
        best = std::min(best, std::chrono::duration<double>(t1 - t0).count());
    }
    return best;
}

void Compare(const char* name, const std::string& text) {
    CXmlDocument doc;
    doc.SetDoc(text);
    const double ours = Best([] {}, [&] { return doc.Parse(); });

    xmlDocPtr lx = nullptr;
    const double libxml = Best(
        [&] {
            if (lx)
                xmlFreeDoc(lx);
            lx = nullptr;
        },
        [&] {
            lx = xmlReadMemory(text.data(), static_cast<int>(text.size()), nullptr, nullptr,
                               XML_PARSE_HUGE | XML_PARSE_NONET);
            return lx != nullptr;
        });
    if (lx)
        xmlFreeDoc(lx);

    std::string buffer;
    pugi::xml_document pd;
    const double pugi = Best(
        [&] {
            buffer = text;
            pd.reset();
        },
        [&] { return static_cast<bool>(pd.load_buffer_inplace(buffer.data(), buffer.size())); });

    const double mb = static_cast<double>(text.size()) / (1 << 20);
    std::printf("%s: %.1f MB, %zu elements\n", name, mb, doc.IndexSize() - 1);
    std::printf("  CXmlDocument %8.2f ms  %7.0f MB/s\n", ours * 1e3, mb / ours);
    std::printf("  libxml2      %8.2f ms  %7.0f MB/s   CXmlDocument/libxml2 = %.2f\n", libxml * 1e3,
                mb / libxml, ours / libxml);
    std::printf("  pugixml      %8.2f ms  %7.0f MB/s   CXmlDocument/pugixml = %.2f\n", pugi * 1e3,
                mb / pugi, ours / pugi);
    const size_t reserved = text.size() / 64 + 8;
    std::printf(
        "  index: %zu records used, %zu reserved = %.1f MB (first reservation %zu, "
        "bound by the rule %zu)\n",
        doc.IndexSize(), doc.IndexCapacity(),
        static_cast<double>(doc.IndexCapacity()) * 32 / (1 << 20), reserved,
        std::max(reserved, doc.IndexSize() + doc.IndexSize() / 2 + 8));
}

}  // namespace

int main() {
    xmlInitParser();
    Compare("flat", Flat());
    Compare("deep", Deep());
    xmlCleanupParser();
    return 0;
}
