#include "xml/xml_document.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <random>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;

class TempDir {
  public:
    TempDir() {
        std::string t = (fs::temp_directory_path() / "xml_test_XXXXXX").string();
        path_ = mkdtemp(t.data());
    }
    ~TempDir() {
        std::error_code ec;
        fs::remove_all(path_, ec);
    }
    std::string File(const std::string& name) const { return (fs::path(path_) / name).string(); }

  private:
    std::string path_;
};

void WriteBytes(const std::string& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary);
    out << bytes;
}

std::string ReadBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

// Little- or big-endian UTF-16 of an ASCII-and-Latin-1 text given as code units.
std::string Utf16(std::u16string_view units, bool big_endian) {
    std::string out;
    for (char16_t u : units) {
        char lo = static_cast<char>(u & 0xFF);
        char hi = static_cast<char>(u >> 8);
        out += big_endian ? hi : lo;
        out += big_endian ? lo : hi;
    }
    return out;
}

// Every element of the document in document order: level, name, attributes as written and
// text, through the public navigation only. Leaves the position at the document.
std::string Dump(CXmlDocument& doc) {
    std::string out;
    doc.ResetPos();
    int depth = 0;
    while (true) {
        if (doc.FindElement()) {
            out += std::string(static_cast<size_t>(depth), ' ') + doc.GetTagName() + " [" +
                   doc.GetText() + "]\n";
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

// ---- encodings ----

struct EncodingCase {
    const char* name;
    std::string bytes;   // the file
    std::string text;    // the document text expected
    int flags;           // file encoding flags expected
    const char* events;  // expected in the read log, in this order
    bool writes_same;    // Save writes the file back byte for byte
};

const std::u16string kUtf16Doc = u"<a>\u00E9\u4E2D</a>";  // "<a>é中</a>"
const std::string kUtf8Doc = "<a>\xC3\xA9\xE4\xB8\xAD</a>";

const EncodingCase kEncodingCases[] = {
    {"utf8 mark", "\xEF\xBB\xBF" + kUtf8Doc, kUtf8Doc, CXmlDocument::kUtf8Preamble,
     "<bom encoding=\"UTF-8\"/><read encoding=\"UTF-8\" length=\"12\"/>", true},
    {"utf16le mark", "\xFF\xFE" + Utf16(kUtf16Doc, false), kUtf8Doc, CXmlDocument::kUtf16LeFile,
     "<bom encoding=\"UTF-16LE\"/><converted_to encoding=\"UTF-8\" length=\"12\"/>"
     "<read encoding=\"UTF-16LE\" length=\"9\"/>",
     true},
    {"utf16be mark", "\xFE\xFF" + Utf16(kUtf16Doc, true), kUtf8Doc, CXmlDocument::kUtf16BeFile,
     "<bom encoding=\"UTF-16BE\"/><endian_swap encoding=\"UTF-16BE\"/>"
     "<converted_to encoding=\"UTF-8\" length=\"12\"/><read encoding=\"UTF-16BE\" length=\"9\"/>",
     true},
    {"utf16le nulls", "\xFF\xFE" + Utf16(std::u16string(u"<a>\0x</a>\0", 10), false), "<a>x</a>",
     CXmlDocument::kUtf16LeFile,
     "<bom encoding=\"UTF-16LE\"/><nulls_removed count=\"2\"/>"
     "<converted_to encoding=\"UTF-8\" length=\"8\"/><read encoding=\"UTF-16LE\" length=\"10\"/>",
     false},
    {"declared GBK", "<?xml version=\"1.0\" encoding=\"GBK\"?>\r\n<a>\xD6\xD0\xCE\xC4</a>",
     "<?xml version=\"1.0\" encoding=\"GBK\"?>\r\n<a>\xE4\xB8\xAD\xE6\x96\x87</a>", 0,
     "<converted_to encoding=\"UTF-8\" length=\"51\"/><read encoding=\"GBK\" length=\"49\"/>",
     true},
    {"declared windows-1252", "<?xml version='1.0' encoding='windows-1252'?><a>\x80\xE9</a>",
     "<?xml version='1.0' encoding='windows-1252'?><a>\xE2\x82\xAC\xC3\xA9</a>", 0,
     "<converted_to encoding=\"UTF-8\" length=\"57\"/><read encoding=\"windows-1252\"", true},
    {"html meta http-equiv",
     "<html><head><meta http-equiv=\"Content-Type\" content=\"text/html; charset=GBK\"/>"
     "</head><body>\xD6\xD0</body></html>",
     "<html><head><meta http-equiv=\"Content-Type\" content=\"text/html; charset=GBK\"/>"
     "</head><body>\xE4\xB8\xAD</body></html>",
     0, "<read encoding=\"GBK\"", true},
    {"html meta charset", "<HTML><META CHARSET=\"windows-1252\"/><p>\xE9</p></HTML>",
     "<HTML><META CHARSET=\"windows-1252\"/><p>\xC3\xA9</p></HTML>", 0,
     "<read encoding=\"windows-1252\"", true},
    {"undeclared, starts with <", kUtf8Doc, kUtf8Doc, 0, "<read encoding=\"UTF-8\" length=\"12\"/>",
     true},
    {"undeclared utf8", "\n" + kUtf8Doc, "\n" + kUtf8Doc, 0,
     "<utf8_detection encoding=\"UTF-8\"/><read encoding=\"UTF-8\" length=\"13\"/>", true},
    {"undeclared 8-bit", "\n<a>\xE9t\xE9</a>", "\n<a>\xE9t\xE9</a>", 0,
     "<utf8_detection msg=\"not UTF-8\"/><read encoding=\"UTF-8\" length=\"11\"/>", true},
    {"declared GBK, invalid bytes", "<?xml version='1.0' encoding='GBK'?><a>\xFF</a>",
     "<?xml version='1.0' encoding='GBK'?><a>?</a>", 0,
     "<conversion_loss encoding=\"GBK\" count=\"1\"/>", false},
    {"declared unknown encoding", "<?xml version='1.0' encoding='no-such-code'?><a/>",
     "<?xml version='1.0' encoding='no-such-code'?><a/>", 0, "<read encoding=\"UTF-8\"", true},
    // Encodings that do not write markup as ASCII cannot have declared themselves in ASCII, and
    // writing in them would give "+ADw-" for "<" (UTF-7): such a declaration counts for nothing.
    {"declared UTF-7", "<?xml version=\"1.0\" encoding=\"UTF-7\"?>\n<a>1+1~\xC3\xA9</a>",
     "<?xml version=\"1.0\" encoding=\"UTF-7\"?>\n<a>1+1~\xC3\xA9</a>", 0,
     "<read encoding=\"UTF-8\"", true},
    {"declared EBCDIC", "<?xml version='1.0' encoding='IBM037'?><a>b</a>",
     "<?xml version='1.0' encoding='IBM037'?><a>b</a>", 0, "<read encoding=\"UTF-8\"", true},
};

TEST(XmlFile, ReadsEveryEncodingAndWritesItBack) {
    TempDir dir;
    for (const auto& c : kEncodingCases) {
        SCOPED_TRACE(c.name);
        const std::string path = dir.File("in.xml");
        WriteBytes(path, c.bytes);
        CXmlDocument doc;
        EXPECT_TRUE(doc.Load(path)) << doc.GetResult();
        EXPECT_EQ(doc.GetDoc(), c.text);
        EXPECT_EQ(doc.GetDocFlags() & CXmlDocument::kFileEncodingFlags, c.flags);
        EXPECT_NE(doc.GetResult().find(c.events), std::string::npos) << doc.GetResult();
        EXPECT_TRUE(doc.Parse());  // a new parse keeps the reading events
        EXPECT_NE(doc.GetResult().find(c.events), std::string::npos) << doc.GetResult();

        const std::string out = dir.File("out.xml");
        ASSERT_TRUE(doc.Save(out)) << doc.GetResult();
        EXPECT_NE(doc.GetResult().find("<write encoding="), std::string::npos);
        if (c.writes_same) {
            EXPECT_EQ(ReadBytes(out), c.bytes);
        }
        CXmlDocument again;
        EXPECT_TRUE(again.Load(out));
        EXPECT_EQ(again.GetDoc(), doc.GetDoc());
        EXPECT_EQ(again.GetDocFlags(), doc.GetDocFlags());
    }
}

TEST(XmlFile, WritingLogsCharactersTheFileEncodingLacks) {
    TempDir dir;
    CXmlDocument doc;
    ASSERT_TRUE(
        doc.SetDoc("<?xml version='1.0' encoding='windows-1252'?><a>\xC3\xA9\xE4\xB8\xAD</a>"));
    ASSERT_TRUE(doc.Save(dir.File("x.xml")));
    EXPECT_NE(doc.GetResult().find("<converted_from encoding=\"windows-1252\" length=\"54\"/>"
                                   "<conversion_loss encoding=\"windows-1252\" count=\"1\"/>"),
              std::string::npos)
        << doc.GetResult();
    EXPECT_EQ(ReadBytes(dir.File("x.xml")),
              "<?xml version='1.0' encoding='windows-1252'?><a>\xE9?</a>");
}

TEST(XmlFile, FileErrorsCarryTheSystemText) {
    TempDir dir;
    struct Case {
        const char* name;
        std::string path;
        const char* event;
    };
    const Case cases[] = {
        {"missing", dir.File("none.xml"),
         "<file_error msg=\"No such file or directory\" n=\"2\"/>"},
        {"folder", dir.File(""), "<file_error msg=\"Is a directory\" n=\"21\"/>"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        CXmlDocument doc;
        EXPECT_FALSE(doc.Load(c.path));
        EXPECT_EQ(doc.GetResult(), c.event);
        EXPECT_EQ(doc.GetDoc(), "");
        EXPECT_FALSE(doc.FindElement());
    }
    CXmlDocument doc;
    ASSERT_TRUE(doc.SetDoc("<a/>"));
    EXPECT_FALSE(doc.Save(dir.File("no/such/folder.xml")));
    EXPECT_EQ(doc.GetResult(), "<file_error msg=\"No such file or directory\" n=\"2\"/>");
}

TEST(XmlFile, SaveReplacesTheFileWholeAndKeepsItsMode) {
    TempDir dir;
    const std::string path = dir.File("cfg.xml");
    WriteBytes(path, "<old/>");
    fs::permissions(path, fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
    CXmlDocument doc;
    ASSERT_TRUE(doc.SetDoc("<new/>"));
    ASSERT_TRUE(doc.Save(path));
    EXPECT_EQ(ReadBytes(path), "<new/>");
    EXPECT_EQ(fs::status(path).permissions() & fs::perms::all,
              fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
    EXPECT_EQ(std::distance(fs::directory_iterator(dir.File("")), fs::directory_iterator()), 1);
}

// ---- parsing and damage ----

TEST(XmlParse, WellFormedDocumentsLogNothing) {
    const char* cases[] = {
        "<a/>",
        ("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<!DOCTYPE a [<!ENTITY x \"y>\">]>\n"
         "<!-- c --><a b='>' c=\"&lt;\"><b/>text<![CDATA[<not/>]]><?pi x?></a>\n"),
        "<a><b><c></c></b><b/></a>",
        "<ns:a xml:lang='en'><ns:b-c.d/></ns:a>",
    };
    for (const char* text : cases) {
        SCOPED_TRACE(text);
        CXmlDocument doc;
        EXPECT_TRUE(doc.SetDoc(text));
        EXPECT_TRUE(doc.IsWellFormed());
        EXPECT_EQ(doc.GetResult(), "");
    }
}

struct DamageCase {
    const char* text;
    const char* events;  // the whole log
    const char* dump;    // what the index still covers
};

const DamageCase kDamageCases[] = {
    {"<a><b></a>", "<unended_start_tag tagname=\"b\" offset=\"3\" offset2=\"6\"/>",
     "a []\n b []\n"},
    {"<r><x>t<c/>u</r>", "<unended_start_tag tagname=\"x\" offset=\"3\" offset2=\"12\"/>",
     "r []\n x [t]\n c []\n"},
    {"<a></b></a>", "<lone_end_tag tagname=\"b\" offset=\"3\"/>", "a []\n"},
    {"", "<no_root_element/>", ""},
    {"just text", "<no_root_element/>", ""},
    {"<a/><b/>", "<root_has_sibling tagname=\"b\" offset=\"4\"/>", "a []\nb []\n"},
    {"<a>1 < 2</a>", "<first_tag_syntax type=\"start_tag\" offset=\"5\"/>", "a [1 < 2]\n"},
    {"<a></ a></a>", "<first_tag_syntax type=\"end_tag\" offset=\"3\"/>", "a [</ a>]\n"},
    {"<!DOCTYPE a [ <a/>",
     "<doctype_tag_syntax type=\"document_type\" offset=\"0\"/><no_root_element/>", ""},
    {"<a><!foo><b/></a>", "<exclamation_tag_syntax offset=\"3\"/>", "a []\n b []\n"},
    {"<a><!-- x</a>",
     "<comment_tag_syntax type=\"comment\" offset=\"3\"/>"
     "<unended_start_tag tagname=\"a\" offset=\"0\" offset2=\"13\"/>",
     "a [<!-- x</a>]\n"},
    {"<a><![CDATA[ x</a>",
     "<cdata_section_syntax type=\"cdata_section\" offset=\"3\"/>"
     "<unended_start_tag tagname=\"a\" offset=\"0\" offset2=\"18\"/>",
     "a [<![CDATA[ x</a>]\n"},
    {"<a><b x='1'</a>", "<unterminated_tag_syntax type=\"start_tag\" tagname=\"b\" offset=\"3\"/>",
     "a [<b x='1']\n"},
    {"<a><?pi </a>",
     "<unterminated_tag_syntax type=\"processing_instruction\" offset=\"3\"/>"
     "<unended_start_tag tagname=\"a\" offset=\"0\" offset2=\"12\"/>",
     "a [<?pi </a>]\n"},
    {"<a></a",
     "<unterminated_tag_syntax type=\"end_tag\" tagname=\"a\" offset=\"3\"/>"
     "<unended_start_tag tagname=\"a\" offset=\"0\" offset2=\"6\"/>",
     "a [</a]\n"},
    {"<a><b><c>x",
     "<unended_start_tag tagname=\"a\" offset=\"0\" offset2=\"10\"/>"
     "<unended_start_tag tagname=\"b\" offset=\"3\" offset2=\"10\"/>"
     "<unended_start_tag tagname=\"c\" offset=\"6\" offset2=\"10\"/>"
     "<root_has_sibling tagname=\"b\" offset=\"3\"/>",
     "a []\nb []\nc [x]\n"},
    {"<a>x<",
     "<unterminated_tag_syntax type=\"start_tag\" offset=\"4\"/>"
     "<unended_start_tag tagname=\"a\" offset=\"0\" offset2=\"5\"/>",
     "a [x<]\n"},
};

TEST(XmlParse, DamageIsLoggedAndWhatIsRecognisedStaysIndexed) {
    for (const auto& c : kDamageCases) {
        SCOPED_TRACE(c.text);
        CXmlDocument doc;
        EXPECT_FALSE(doc.SetDoc(c.text));
        EXPECT_FALSE(doc.IsWellFormed());
        EXPECT_EQ(doc.GetResult(), c.events);
        EXPECT_EQ(Dump(doc), c.dump);
    }
}

TEST(XmlParse, LogStopsAtAThousandCharacters) {
    std::string text = "<a>";
    for (int i = 0; i < 500; ++i)
        text += "</b>";
    text += "</a>";
    CXmlDocument doc;
    EXPECT_FALSE(doc.SetDoc(text));
    const std::string& log = doc.GetResult();
    EXPECT_GE(log.size(), 1000u);
    EXPECT_LT(log.size(), 1100u);
    EXPECT_EQ(log.substr(log.size() - 2), "/>");
    // Reparsing starts the parse events afresh.
    EXPECT_FALSE(doc.Parse());
    EXPECT_EQ(doc.GetResult(), log);
}

TEST(XmlParse, LogQuotesLongNamesShortenedAndEscaped) {
    CXmlDocument doc;
    EXPECT_FALSE(doc.SetDoc("<a></" + std::string(5000, 'n') + "></a>"));
    EXPECT_EQ(doc.GetResult(), "<first_tag_syntax type=\"end_tag\" tagname=\"" +
                                   std::string(64, 'n') + "\" offset=\"3\"/>");
}

TEST(XmlParse, ParseResetsNavigation) {
    CXmlDocument doc;
    ASSERT_TRUE(doc.SetDoc("<a><b/></a>"));
    ASSERT_TRUE(doc.FindElement());
    ASSERT_TRUE(doc.IntoElement());
    EXPECT_TRUE(doc.Parse());
    EXPECT_EQ(doc.ParentPos(), 0u);
    EXPECT_EQ(doc.CurrentPos(), 0u);
    EXPECT_EQ(doc.GetTagName(), "");
}

// ---- navigation ----

TEST(XmlNavigate, FindElementSearchesForwardOnly) {
    CXmlDocument doc;
    ASSERT_TRUE(doc.SetDoc("<r><DeviceInfo id='1'/><Version/><DeviceInfo id='2'/><Other/></r>"));
    ASSERT_TRUE(doc.FindElement("r"));
    ASSERT_TRUE(doc.IntoElement());
    ASSERT_TRUE(doc.FindElement("Version"));
    ASSERT_TRUE(doc.FindElement("DeviceInfo"));
    EXPECT_EQ(doc.GetAttribute("id"), "2");
    const uint32_t pos = doc.CurrentPos();
    EXPECT_FALSE(doc.FindElement("DeviceInfo"));
    EXPECT_FALSE(doc.FindElement("Version"));
    EXPECT_EQ(doc.CurrentPos(), pos);
    EXPECT_TRUE(doc.FindElement());  // any element
    EXPECT_EQ(doc.GetTagName(), "Other");
    EXPECT_EQ(doc.NodeType(), CXmlDocument::kNodeElement);
    EXPECT_FALSE(doc.FindElement());
}

TEST(XmlNavigate, IntoAndOutOfAtTheEdges) {
    CXmlDocument doc;
    ASSERT_TRUE(doc.SetDoc("<r><a><x/></a><b/></r>"));
    // At the document: nothing current, no parent.
    EXPECT_FALSE(doc.IntoElement());
    EXPECT_FALSE(doc.OutOfElement());
    EXPECT_EQ(doc.CurrentPos() | doc.ParentPos() | doc.ChildPos(), 0u);

    ASSERT_TRUE(doc.FindElement("r"));
    EXPECT_FALSE(doc.OutOfElement());  // the root has no parent element
    ASSERT_TRUE(doc.IntoElement());
    ASSERT_TRUE(doc.FindElement("a"));
    const uint32_t a = doc.CurrentPos();
    ASSERT_TRUE(doc.IntoElement());
    ASSERT_TRUE(doc.FindElement("x"));
    const uint32_t x = doc.CurrentPos();
    ASSERT_TRUE(doc.IntoElement());  // into a leaf: nothing current below it
    EXPECT_EQ(doc.ParentPos(), x);
    EXPECT_EQ(doc.CurrentPos(), 0u);
    EXPECT_FALSE(doc.FindElement());
    EXPECT_FALSE(doc.IntoElement());
    ASSERT_TRUE(doc.OutOfElement());
    EXPECT_EQ(doc.CurrentPos(), x);
    ASSERT_TRUE(doc.OutOfElement());
    EXPECT_EQ(doc.CurrentPos(), a);
    EXPECT_EQ(doc.ChildPos(), x);
    // Into again goes back to the child that was left.
    ASSERT_TRUE(doc.IntoElement());
    EXPECT_EQ(doc.CurrentPos(), x);
    ASSERT_TRUE(doc.OutOfElement());
    ASSERT_TRUE(doc.FindElement());  // continues after the element left
    EXPECT_EQ(doc.GetTagName(), "b");
    ASSERT_TRUE(doc.OutOfElement());
    EXPECT_EQ(doc.GetTagName(), "r");
    EXPECT_EQ(doc.ParentPos(), 0u);
    EXPECT_FALSE(doc.OutOfElement());
}

TEST(XmlNavigate, NamesComparedWithoutCaseOnlyWhenAsked) {
    const char* text = "<Root><ITEM Name='v'/></Root>";
    CXmlDocument exact;
    ASSERT_TRUE(exact.SetDoc(text));
    EXPECT_FALSE(exact.FindElement("root"));
    CXmlDocument loose(CXmlDocument::kIgnoreCase);
    ASSERT_TRUE(loose.SetDoc("<Root><ITEM Name='v'/></root>"));
    ASSERT_TRUE(loose.FindElement("root"));
    ASSERT_TRUE(loose.IntoElement());
    ASSERT_TRUE(loose.FindElement("item"));
    EXPECT_EQ(loose.GetAttribute("name"), "v");
    EXPECT_FALSE(exact.SetDoc("<Root></root>"));
}

// Every kind of node, at the top level and inside an element, in document order: its type, the
// stretch of document text it takes and its data.
TEST(XmlNavigate, FindNodeVisitsEveryKindOfNode) {
    using X = CXmlDocument;
    struct Node {
        int type;
        std::string raw, data;
    };
    struct Case {
        const char* name;
        std::string doc;
        const char* into;  // the element whose content is walked; null: the top level
        std::vector<Node> nodes;
    } cases[] = {
        {"top level",
         "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<!DOCTYPE r [<!ELEMENT r ANY>]>\n"
         "<!-- top -->\n<r a='1'>x</r>\n<?pi tail?>\n",
         nullptr,
         {{X::kNodeProcessingInstruction, "<?xml version=\"1.0\" encoding=\"UTF-8\"?>",
           "version=\"1.0\" encoding=\"UTF-8\""},
          {X::kNodeDocumentType, "<!DOCTYPE r [<!ELEMENT r ANY>]>", "r [<!ELEMENT r ANY>]"},
          {X::kNodeComment, "<!-- top -->", " top "},
          {X::kNodeElement, "<r a='1'>x</r>", "x"},
          {X::kNodeProcessingInstruction, "<?pi tail?>", "tail"}}},
        {"inside an element",
         "<r>text &amp; more<![CDATA[<raw>]]><!--c--><e>in</e>tail<?p d?></r>",
         "r",
         {{X::kNodeText, "text &amp; more", "text & more"},
          {X::kNodeCdata, "<![CDATA[<raw>]]>", "<raw>"},
          {X::kNodeComment, "<!--c-->", "c"},
          {X::kNodeElement, "<e>in</e>", "in"},
          {X::kNodeText, "tail", "tail"},
          {X::kNodeProcessingInstruction, "<?p d?>", "d"}}},
        {"white space between markup is no node",
         "<r>\n  <a/>\n  <!--x-->\n</r>",
         "r",
         {{X::kNodeElement, "<a/>", ""}, {X::kNodeComment, "<!--x-->", "x"}}},
        {"a stray end tag is no node",
         "<r>a</q>b</r>",
         "r",
         {{X::kNodeText, "a", "a"}, {X::kNodeText, "b", "b"}}},
        {"empty element", "<r/>", "r", {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        CXmlDocument doc;
        doc.SetDoc(c.doc);
        if (c.into) {
            ASSERT_TRUE(doc.FindElement(c.into));
            ASSERT_TRUE(doc.IntoElement());
        }
        for (const Node& n : c.nodes) {
            ASSERT_TRUE(doc.FindNode());
            EXPECT_EQ(doc.NodeType(), n.type);
            EXPECT_EQ(doc.GetDoc().substr(doc.NodeOffset(), doc.NodeLength()), n.raw);
            EXPECT_EQ(doc.GetText(), n.data);
        }
        const int type = doc.NodeType();
        const uint32_t offset = doc.NodeOffset(), length = doc.NodeLength();
        EXPECT_FALSE(doc.FindNode());
        EXPECT_EQ(doc.NodeType(), type) << "a failed search changes nothing";
        EXPECT_EQ(doc.NodeOffset(), offset);
        EXPECT_EQ(doc.NodeLength(), length);
    }
}

TEST(XmlNavigate, FindNodeByTypeAndTheProcessingInstructionsAttributes) {
    using X = CXmlDocument;
    CXmlDocument doc;
    ASSERT_TRUE(
        doc.SetDoc("<?xml-stylesheet type=\"text/xsl\" href='a&amp;b.xsl'?>"
                   "<r><a id='1'/><!--one--><b id='2'/><?cmd run='x'?><c id='3'/></r>"));
    ASSERT_TRUE(doc.FindNode(X::kNodeProcessingInstruction));
    EXPECT_EQ(doc.GetTagName(), "xml-stylesheet");
    EXPECT_EQ(doc.GetAttribute("href"), "a&b.xsl");
    EXPECT_EQ(doc.GetAttribute("type"), "text/xsl");
    EXPECT_EQ(doc.GetAttribute("missing"), "");
    EXPECT_FALSE(doc.IntoElement()) << "a processing instruction has no content to go into";
    ASSERT_TRUE(doc.FindElement("r"));  // the element after the node
    ASSERT_TRUE(doc.IntoElement());
    // Searching for comments passes the element before one; FindElement goes on after it.
    ASSERT_TRUE(doc.FindNode(X::kNodeComment));
    EXPECT_EQ(doc.GetText(), "one");
    EXPECT_EQ(doc.GetTagName(), "");
    EXPECT_EQ(doc.GetAttribute("id"), "") << "a comment has no attributes";
    EXPECT_FALSE(doc.SetText("x"));
    EXPECT_FALSE(doc.SetAttribute("id", "9"));
    EXPECT_FALSE(doc.IntoElement());
    ASSERT_TRUE(doc.FindElement());
    EXPECT_EQ(doc.GetAttribute("id"), "2");
    ASSERT_TRUE(doc.FindNode(X::kNodeProcessingInstruction | X::kNodeElement));
    EXPECT_EQ(doc.GetTagName(), "cmd");
    EXPECT_EQ(doc.GetAttribute("run"), "x");
    EXPECT_FALSE(doc.FindNode(X::kNodeComment | X::kNodeText));
    EXPECT_EQ(doc.GetTagName(), "cmd") << "a failed search changes nothing";
    ASSERT_TRUE(doc.FindNode(X::kNodeElement));
    EXPECT_EQ(doc.GetAttribute("id"), "3");
    EXPECT_EQ(doc.NodeType(), X::kNodeElement);
    // Back on an element, editing works again and the walk goes on from it.
    EXPECT_TRUE(doc.SetAttribute("id", "4"));
    EXPECT_FALSE(doc.FindNode());
    ASSERT_TRUE(doc.OutOfElement());
    EXPECT_EQ(doc.GetTagName(), "r");
    EXPECT_EQ(doc.NodeOffset(), doc.GetDoc().find("<r>"));
    doc.ResetPos();
    EXPECT_EQ(doc.NodeType(), 0);
    EXPECT_EQ(doc.NodeOffset(), 0u);
    EXPECT_EQ(doc.NodeLength(), 0u);
}

TEST(XmlNavigate, FindPath) {
    CXmlDocument doc;
    ASSERT_TRUE(
        doc.SetDoc("<r><a n='1'><b n='2'/></a><a n='3'><c><b n='4'/></c></a>"
                   "<item id='x' n='5'/><item id='y&amp;z' n='6'/></r>"));
    struct Case {
        const char* path;
        const char* n;  // attribute n of the match, nullptr for no match
    };
    const Case cases[] = {
        {"/r/a", "1"},
        {"/r/a[2]", "3"},
        {"//b", "2"},
        {"//b[2]", "4"},
        {"/r/a/c/b", "4"},
        {"//item[@id='x']", "5"},
        {"/r/item[@id=\"y&z\"]", "6"},
        {"/r/*[3]", "5"},
        {"//c/b", "4"},
        {"/r/b", nullptr},
        {"/r/a[3]", nullptr},
        {"//item[@id='q']", nullptr},
        {"/x", nullptr},
        {"", nullptr},
        {"/r/a[0]", nullptr},
        {"/r/a[", nullptr},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.path);
        doc.ResetPos();
        ASSERT_TRUE(doc.FindElement());  // somewhere to stay when nothing matches
        EXPECT_EQ(doc.FindPath(c.path), c.n != nullptr);
        EXPECT_EQ(doc.GetAttribute("n"), c.n != nullptr ? c.n : "");
    }
    // Relative paths start at the current element; the match's parent becomes the parent.
    doc.ResetPos();
    ASSERT_TRUE(doc.FindPath("/r/a[2]"));
    ASSERT_TRUE(doc.FindPath("c/b"));
    EXPECT_EQ(doc.GetAttribute("n"), "4");
    ASSERT_TRUE(doc.OutOfElement());
    EXPECT_EQ(doc.GetTagName(), "c");
}

// ---- text and references ----

TEST(XmlText, GetTextResolvesReferencesAndSkipsMarkup) {
    struct Case {
        const char* element;
        const char* text;
        int flags;
    };
    const Case cases[] = {
        {"<a>1.0 &amp; 2</a>", "1.0 & 2", 0},
        {"<a><![CDATA[x &amp; <y>]]></a>", "x &amp; <y>", 0},
        {"<a>x<!-- c -->y<?pi z?>w</a>", "xyw", 0},
        {"<a>&lt;<![CDATA[&]]>&gt;</a>", "<&>", 0},
        {"<a><b/>text</a>", "", 0},
        {"<a/>", "", 0},
        {"<a></a>", "", 0},
        {"<a>  x \r\n\t y  </a>", "  x \r\n\t y  ", 0},
        {"<a>  x \r\n\t y  </a>", "x \r\n\t y", CXmlDocument::kTrimWhitespace},
        {"<a>  x \r\n\t y  </a>", " x y ", CXmlDocument::kCollapseWhitespace},
        {"<a>  x \r\n\t y  </a>", "x y",
         CXmlDocument::kTrimWhitespace | CXmlDocument::kCollapseWhitespace},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.element);
        CXmlDocument doc(c.flags);
        ASSERT_TRUE(doc.SetDoc(c.element));
        ASSERT_TRUE(doc.FindElement());
        EXPECT_EQ(doc.GetText(), c.text);
    }
}

TEST(XmlText, MalformedReferencesStayAsTheyAre) {
    struct Case {
        const char* in;
        const char* out;
    };
    const Case cases[] = {
        {"&#65;&#x41;&#x6a;&#x6A;", "AAjj"},
        {"&#x1F600;", "\xF0\x9F\x98\x80"},
        {"&#0000000065;", "A"},
        {"&Eacute;&eacute;", "\xC3\x89\xC3\xA9"},
        {"&apos;&quot;&lt;&gt;&amp;", "'\"<>&"},
        {"&&amp;;", "&&;"},
        {"&#0;", "&#0;"},
        {"&#xD800;", "&#xD800;"},
        {"&#1114112;", "&#1114112;"},
        {"&#99999999999999999999;", "&#99999999999999999999;"},
        {"&#;&#x;&#65&#X41;&#x4G;", "&#;&#x;&#65&#X41;&#x4G;"},
        {"&amp &AMP; &Amp;", "&amp &AMP; &Amp;"},
        {"&nosuch; &thetasymx; & amp;", "&nosuch; &thetasymx; & amp;"},
        {"&;&", "&;&"},
        {"&thetasym;&frac12;&sup3;", "\xCF\x91\xC2\xBD\xC2\xB3"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.in);
        EXPECT_EQ(CXmlDocument::UnescapeText(c.in), c.out);
    }
}

// The 252 HTML 4 names as Python's standard library lists them, and apos.
std::map<std::string, char32_t> ReferenceEntities() {
    std::map<std::string, char32_t> names;
    FILE* p = popen(
        "/usr/bin/python3 -c \"import html.entities as h\n"
        "for k, v in sorted(h.name2codepoint.items()): print(k, v)\" 2>/dev/null",
        "r");
    if (p == nullptr)
        return names;
    char name[32];
    unsigned long cp;
    while (std::fscanf(p, "%31s %lu", name, &cp) == 2)
        names[name] = static_cast<char32_t>(cp);
    pclose(p);
    if (!names.empty())
        names["apos"] = 39;
    return names;
}

std::string Utf8(char32_t cp) {
    std::string s;
    if (cp < 0x80) {
        s += static_cast<char>(cp);
    } else if (cp < 0x800) {
        s += static_cast<char>(0xC0 | (cp >> 6));
        s += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        s += static_cast<char>(0xE0 | (cp >> 12));
        s += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        s += static_cast<char>(0x80 | (cp & 0x3F));
    }
    return s;
}

TEST(XmlText, EveryNamedReferenceResolvesToItsCodePoint) {
    const auto names = ReferenceEntities();
    if (names.empty())
        GTEST_SKIP() << "/usr/bin/python3 with html.entities is not available";
    ASSERT_EQ(names.size(), 253u);
    for (const auto& [name, cp] : names) {
        SCOPED_TRACE(name);
        EXPECT_EQ(CXmlDocument::UnescapeText("&" + name + ";"), Utf8(cp));
        // Letter case is part of the name: a changed case is no reference unless it is one too.
        std::string other = name;
        other[0] = static_cast<char>(std::isupper(static_cast<unsigned char>(other[0]))
                                         ? std::tolower(other[0])
                                         : std::toupper(other[0]));
        if (!names.count(other)) {
            EXPECT_EQ(CXmlDocument::UnescapeText("&" + other + ";"), "&" + other + ";");
        }
    }
}

TEST(XmlText, AttributesQuotedUnquotedAndResolved) {
    CXmlDocument doc;
    ASSERT_TRUE(doc.SetDoc("<a x=1 flag z='&lt;&#65;\"' w = \"two words\" u=v/>"));
    ASSERT_TRUE(doc.FindElement());
    struct Case {
        const char* name;
        const char* value;
    };
    const Case cases[] = {{"x", "1"}, {"flag", ""}, {"z", "<A\""}, {"w", "two words"},
                          {"u", "v"}, {"X", ""},    {"none", ""}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(doc.GetAttribute(c.name), c.value);
    }
    ASSERT_TRUE(doc.SetAttribute("x", "a'b"));
    ASSERT_TRUE(doc.SetAttribute("flag", "on"));
    ASSERT_TRUE(doc.SetAttribute("u", ""));
    EXPECT_EQ(doc.GetDoc(),
              "<a x=\"a&apos;b\" flag=\"on\" z='&lt;&#65;\"' w = \"two words\" u=\"\"/>");
    EXPECT_EQ(doc.GetAttribute("x"), "a'b");
    EXPECT_EQ(doc.GetAttribute("flag"), "on");
    EXPECT_EQ(doc.GetAttribute("w"), "two words");
}

TEST(XmlText, Escaping) {
    EXPECT_EQ(CXmlDocument::EscapeText("a<b>&\"'"), "a&lt;b&gt;&amp;\"'");
    EXPECT_EQ(CXmlDocument::EscapeText("a<b>&\"'", true), "a&lt;b&gt;&amp;&quot;&apos;");
}

// ---- editing ----

// After an edit, the index must describe the edited text exactly as a fresh parse does.
void ExpectIndexMatchesText(CXmlDocument& doc) {
    CXmlDocument fresh(doc.GetDocFlags());
    fresh.SetDoc(doc.GetDoc());
    EXPECT_EQ(Dump(doc), Dump(fresh)) << doc.GetDoc();
}

TEST(XmlEdit, SetTextExpandsAnEmptyElementAndLaterElementsKeepWorking) {
    CXmlDocument doc;
    ASSERT_TRUE(doc.SetDoc("<cfg><User>u</User><UserPassword/><Port>80</Port></cfg>"));
    ASSERT_TRUE(doc.FindElement("cfg"));
    const uint32_t cfg = doc.CurrentPos();
    ASSERT_TRUE(doc.IntoElement());
    ASSERT_TRUE(doc.FindElement("UserPassword"));
    const uint32_t pw = doc.CurrentPos();
    ASSERT_TRUE(doc.SetText("a<b&c"));
    EXPECT_EQ(doc.GetDoc(),
              "<cfg><User>u</User><UserPassword>a&lt;b&amp;c</UserPassword><Port>80</Port></cfg>");
    EXPECT_EQ(doc.CurrentPos(), pw);
    EXPECT_EQ(doc.GetText(), "a<b&c");
    ASSERT_TRUE(doc.FindElement("Port"));
    EXPECT_EQ(doc.GetText(), "80");
    ASSERT_TRUE(doc.SetText(""));  // shrinking
    EXPECT_EQ(doc.GetText(), "");
    ASSERT_TRUE(doc.OutOfElement());
    EXPECT_EQ(doc.CurrentPos(), cfg);
    EXPECT_EQ(doc.GetTagName(), "cfg");
    ExpectIndexMatchesText(doc);
    EXPECT_TRUE(doc.Parse());
}

TEST(XmlEdit, SetTextOpensEveryFormOfEmptyElementTag) {
    struct Case {
        const char* before;
        const char* after;
    };
    const Case cases[] = {
        {"<r><a/></r>", "<r><a>x</a></r>"},
        {"<r><a k='1' /></r>", "<r><a k='1' >x</a></r>"},
        {"<r><a//></r>", "<r><a>x</a></r>"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.before);
        CXmlDocument doc;
        ASSERT_TRUE(doc.SetDoc(c.before));
        ASSERT_TRUE(doc.FindPath("/r/a"));
        ASSERT_TRUE(doc.SetText("x"));
        EXPECT_EQ(doc.GetDoc(), c.after);
        EXPECT_EQ(doc.GetText(), "x");
        ExpectIndexMatchesText(doc);
    }
}

TEST(XmlEdit, SetTextRefusesElementsWithChildrenAndFilesBeingRead) {
    CXmlDocument doc;
    ASSERT_TRUE(doc.SetDoc("<a><b/></a>"));
    EXPECT_FALSE(doc.SetText("x"));  // nothing current
    ASSERT_TRUE(doc.FindElement());
    EXPECT_FALSE(doc.SetText("x"));
    ASSERT_TRUE(doc.IntoElement());
    ASSERT_TRUE(doc.FindElement());
    doc.SetDocFlags(CXmlDocument::kReadingFile);
    EXPECT_FALSE(doc.SetText("x"));
    EXPECT_EQ(doc.GetDoc(), "<a><b/></a>");
}

TEST(XmlEdit, CdataKeepsTextLiterallyEvenWithTheTerminator) {
    CXmlDocument doc;
    ASSERT_TRUE(doc.SetDoc("<a><b>old</b></a>"));
    ASSERT_TRUE(doc.FindPath("/a/b"));
    const std::string text = "x]]>y<&]]]>";
    ASSERT_TRUE(doc.SetText(text, true));
    EXPECT_EQ(doc.GetText(), text);
    EXPECT_TRUE(doc.Parse()) << doc.GetDoc();
    ASSERT_TRUE(doc.FindPath("/a/b"));
    EXPECT_EQ(doc.GetText(), text);
}

TEST(XmlEdit, EditsAnywhereKeepTheWholeIndexRight) {
    const char* text =
        "<?xml version='1.0'?>\n<r>\n <a x='1'><b>t</b><c/></a>\n <d><e/><f>g</f></d>\n "
        "<h/>\n</r>\n";
    // Each edit: a path, then what to do there.
    struct Edit {
        const char* path;
        int kind;  // 0 SetText, 1 SetAttribute, 2 AddElement inside, 3 AddElement after
        const char* a;
        const char* b;
    };
    const Edit edits[] = {
        {"/r/a/b", 0, "much longer text & more", nullptr},
        {"/r/a/c", 0, "c", nullptr},
        {"/r/a", 1, "x", "a much longer value \"quoted\""},
        {"/r/a", 1, "new", "<v>"},
        {"/r/d/e", 1, "k", "v"},
        {"/r/d", 2, "added", "text"},
        {"/r/h", 2, "in_empty", ""},
        {"/r/d/f", 0, "", nullptr},
        {"/r", 3, "top", "sibling"},
        {"/r/a/b", 0, "s", nullptr},
    };
    CXmlDocument doc;
    ASSERT_TRUE(doc.SetDoc(text));
    for (const auto& e : edits) {
        SCOPED_TRACE(e.path);
        doc.ResetPos();
        ASSERT_TRUE(doc.FindPath(e.path));
        switch (e.kind) {
            case 0:
                ASSERT_TRUE(doc.SetText(e.a));
                break;
            case 1:
                ASSERT_TRUE(doc.SetAttribute(e.a, std::string_view(e.b)));
                EXPECT_EQ(doc.GetAttribute(e.a), e.b);
                break;
            case 2:
                ASSERT_TRUE(doc.IntoElement());
                ASSERT_TRUE(doc.AddElement(e.a, e.b));
                EXPECT_EQ(doc.GetText(), e.b);
                break;
            default:
                ASSERT_TRUE(doc.AddElement(e.a, e.b));
                break;
        }
        ExpectIndexMatchesText(doc);
    }
    EXPECT_FALSE(doc.Parse());  // the top-level sibling
    EXPECT_EQ(doc.GetResult(), "<root_has_sibling tagname=\"top\" offset=\"" +
                                   std::to_string(doc.GetDoc().find("<top>")) + "\"/>");
}

TEST(XmlEdit, NumericAttributeAndAddingToAnEmptyDocument) {
    CXmlDocument log;
    ASSERT_TRUE(log.AddElement("read"));
    ASSERT_TRUE(log.SetAttribute("encoding", "UTF-8"));
    ASSERT_TRUE(log.SetAttribute("length", -1234567890123LL));
    ASSERT_TRUE(log.AddElement("write"));
    EXPECT_EQ(log.GetDoc(), "<read encoding=\"UTF-8\" length=\"-1234567890123\"/><write/>");
    EXPECT_TRUE(log.FindPath("/read[@length='-1234567890123']"));
    EXPECT_FALSE(log.AddElement("bad name"));
    EXPECT_FALSE(log.AddElement(""));
    EXPECT_FALSE(log.SetAttribute("bad=", "v"));
}

TEST(XmlEdit, WriteAndReadBackAfterEdits) {
    TempDir dir;
    const std::string path = dir.File("cfg.xml");
    WriteBytes(path, "\xFF\xFE" + Utf16(u"<cfg><Name>\u00E9</Name><Pass/></cfg>", false));
    CXmlDocument doc;
    ASSERT_TRUE(doc.Load(path));
    ASSERT_TRUE(doc.FindPath("/cfg/Pass"));
    ASSERT_TRUE(doc.SetText("\u4E2D<"));
    ASSERT_TRUE(doc.FindPath("/cfg/Name"));
    ASSERT_TRUE(doc.SetAttribute("id", 7));
    ASSERT_TRUE(doc.Save(path));
    EXPECT_EQ(ReadBytes(path),
              "\xFF\xFE" +
                  Utf16(u"<cfg><Name id=\"7\">\u00E9</Name><Pass>\u4E2D&lt;</Pass></cfg>", false));
    CXmlDocument again;
    ASSERT_TRUE(again.Load(path));
    EXPECT_EQ(again.GetDocFlags(), CXmlDocument::kUtf16LeFile);
    ASSERT_TRUE(again.FindPath("/cfg/Pass"));
    EXPECT_EQ(again.GetText(), "\u4E2D<");
    ASSERT_TRUE(again.FindPath("/cfg/Name"));
    EXPECT_EQ(again.GetAttribute("id"), "7");
}

// ---- bad input ----

TEST(XmlBadInput, EveryTruncationOfADocumentIsHandled) {
    const std::string text =
        "\xEF\xBB\xBF<?xml version='1.0'?><!DOCTYPE r [<!ENTITY e 'x'>]><r a='1' b=\"&amp;\">"
        "<!-- c --><x>t&lt;<![CDATA[c]]></x><y/><?pi?></r>";
    for (size_t n = 0; n <= text.size(); ++n) {
        CXmlDocument doc;
        const bool ok = doc.SetDoc(text.substr(0, n));
        EXPECT_EQ(ok, n == text.size()) << n;
        Dump(doc);
        EXPECT_EQ(ok, doc.IsWellFormed());
        if (!ok) {
            EXPECT_FALSE(doc.GetResult().empty()) << n;
        }
    }
}

TEST(XmlBadInput, DeepNestingAndLoneEndTagsStayLinear) {
    const size_t depth = 200000;
    std::string text;
    for (size_t i = 0; i < depth; ++i)
        text += "<a>";
    for (size_t i = 0; i < depth; ++i)
        text += "</b>";
    CXmlDocument doc;
    EXPECT_FALSE(doc.SetDoc(text));
    EXPECT_NE(doc.GetResult().find("<lone_end_tag tagname=\"b\" offset=\"600000\"/>"),
              std::string::npos);
    EXPECT_EQ(doc.IndexSize(), depth + 1);
    // Closing the outermost of a deep unended chain moves each element once.
    text = "<r>";
    for (size_t i = 0; i < depth; ++i)
        text += "<a>";
    text += "</r>";
    EXPECT_FALSE(doc.SetDoc(text));
    ASSERT_TRUE(doc.FindElement("r"));
    ASSERT_TRUE(doc.IntoElement());
    size_t children = 0;
    while (doc.FindElement("a"))
        ++children;
    EXPECT_EQ(children, depth);
}

TEST(XmlBadInput, TagsTooLongForTheIndexAreDamage) {
    // Start tags have 22 bits for their length, end tags 10.
    const std::string big = "<a><b v='" + std::string(5u << 20, 'x') + "'/><c/></a>";
    CXmlDocument doc;
    EXPECT_FALSE(doc.SetDoc(big));
    EXPECT_EQ(doc.GetResult(), "<first_tag_syntax type=\"start_tag\" tagname=\"b\" offset=\"3\"/>");
    EXPECT_EQ(Dump(doc), "a []\n c []\n");
    const std::string fits = "<a><b v='" + std::string((4u << 20) - 20, 'x') + "'/></a>";
    EXPECT_TRUE(doc.SetDoc(fits));
    ASSERT_TRUE(doc.FindPath("/a/b"));
    EXPECT_EQ(doc.GetAttribute("v").size(), (4u << 20) - 20);
}

TEST(XmlBadInput, BinaryNoiseIsHandled) {
    std::mt19937 rng(7);
    for (int round = 0; round < 200; ++round) {
        std::string text(static_cast<size_t>(rng() % 2000), '\0');
        for (char& c : text) {
            const unsigned r = rng() % 16;
            c = r < 4 ? "<>/!"[r] : r < 6 ? "'\""[r - 4] : static_cast<char>(rng());
        }
        CXmlDocument doc;
        doc.SetDoc(text);
        Dump(doc);
        EXPECT_LE(doc.GetResult().size(), 1000u + 200u);
    }
}

TEST(XmlBadInput, IndexFollowsTheReservationRule) {
    struct Case {
        std::string text;
    };
    const Case cases[] = {
        {"<r>" + std::string(100000, 'x') + "</r>"},
        {"<r>" +
         [] {
             std::string s;
             for (int i = 0; i < 50000; ++i)
                 s += "<i/>";
             return s;
         }() +
         "</r>"},
    };
    for (const auto& c : cases) {
        CXmlDocument doc;
        ASSERT_TRUE(doc.SetDoc(c.text));
        const size_t reserved = c.text.size() / 64 + 8;
        const size_t used = doc.IndexSize();
        EXPECT_GE(doc.IndexCapacity(), used);
        EXPECT_GE(doc.IndexCapacity(), reserved);
        EXPECT_LE(doc.IndexCapacity(), std::max(reserved, used + used / 2 + 8));
    }
}

}  // namespace
