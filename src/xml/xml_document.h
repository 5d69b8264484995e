// CXmlDocument: reads, navigates, edits and writes small XML files.
//
// The whole document is kept as one text in the program's encoding (UTF-8, see
// platform/codepage.h) together with an index of where each element lies in that text, so that
// reading is a single scan and an edit replaces a stretch of text and shifts the index.
// Damaged documents are tolerated: Parse() reports false, indexes what it could recognise and
// logs what it met in the result log (a text of empty XML elements, one per event, capped at
// 1000 characters).
//
// Limits of the index: a document text below 4 GiB, start tags below 4 MiB and end tags below
// 1 KiB; a longer tag is logged as damage ("first_tag_syntax") and not indexed. Edits take time
// in proportion to the number of elements.
//
// Not thread-safe: one document is used by one thread at a time. Failures are return values
// (false or an empty text); nothing throws.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

class CXmlDocument {
  public:
    // Option flags (independent bits).
    enum Flags : int {
        kIgnoreCase = 0x0008,          // compare element and attribute names without case
        kTrimWhitespace = 0x0002,      // GetText trims white space
        kCollapseWhitespace = 0x0004,  // GetText collapses runs of white space
        kUtf16LeFile = 0x0080,         // file encoding: UTF-16 little-endian with mark
        kUtf16BeFile = 0x0100,         // file encoding: UTF-16 big-endian with mark
        kUtf8Preamble = 0x0200,        // file encoding: UTF-8 with byte-order mark
        kReadingFile = 0x0010,         // document bound to a file read piece by piece (unused)
        kWritingFile = 0x0020,         // ... written piece by piece (unused)
        kAppendingFile = 0x0040,       // ... appended piece by piece (unused)
        kFileEncodingFlags = kUtf16LeFile | kUtf16BeFile | kUtf8Preamble,
    };

    // Node types of the navigation state and of the result log.
    enum NodeType : int {
        kNodeElement = 1,
        kNodeText = 2,
        kNodeCdata = 8,
        kNodeProcessingInstruction = 16,
        kNodeComment = 32,
        kNodeDocumentType = 128,
    };

    CXmlDocument();  // empty document, flags 0, empty result log
    explicit CXmlDocument(int flags);
    ~CXmlDocument();
    CXmlDocument(const CXmlDocument&);
    CXmlDocument& operator=(const CXmlDocument&);
    CXmlDocument(CXmlDocument&&) noexcept;
    CXmlDocument& operator=(CXmlDocument&&) noexcept;

    // Sets the document text (already in the program's encoding) and parses it.
    // Returns whether it is well formed.
    bool SetDoc(std::string text);
    const std::string& GetDoc() const { return doc_; }

    // Reads `path` into the document text (encoding detection and conversion), remembers the
    // file encoding flags in the option flags, and parses. Returns false when the file cannot
    // be read (the document stays empty, "file_error" is in the result log) or is not well
    // formed (the index covers what could be recognised).
    bool Load(const std::string& path);

    // Writes the document text to `path` with the file encoding flags of the option flags
    // (see WriteTextFile). False, with "file_error" in the result log, when it cannot be written.
    bool Save(const std::string& path);

    // The file-level conversions Load and Save use. `result` receives the log of this call
    // (it starts empty at each call); `flags` receives (ReadTextFile) or gives (WriteTextFile)
    // the file encoding flags. Reading: a byte-order mark decides; without one, the encoding
    // declared in the first 1024 bytes (XML declaration, HTML meta charset); without one, UTF-8
    // (texts that are not valid UTF-8 are kept byte for byte). Writing: a mark flag writes that
    // encoding with its mark; otherwise the text's declared encoding, or UTF-8. A declared
    // encoding is taken only when it writes markup as ASCII (not UTF-7 or EBCDIC, which no
    // declaration read as ASCII can be right about; UTF-16 and UTF-32 need a mark). The file is
    // written to a temporary file in the same folder and renamed over `path` (an existing
    // file's permissions are kept), so a failed write leaves the old file as it was.
    static bool ReadTextFile(const std::string& path, std::string& text, std::string* result,
                             int* flags);
    // The decoding half of ReadTextFile: the bytes of a file (mark, declared or detected
    // encoding) into the program's encoding. Appends its events to *result. Always true.
    static bool DecodeText(std::string_view bytes, std::string& text, std::string* result,
                           int* flags);
    static bool WriteTextFile(const std::string& path, const std::string& text, std::string* result,
                              int* flags);

    // Builds the element index from the document text and resets navigation. True when the
    // document has exactly one root element and no damage was found. An element whose start
    // tag is never ended ends where its first child starts (or where it was closed) and its
    // children follow it as siblings.
    bool Parse();
    bool IsWellFormed() const;

    // Navigation. FindElement searches the siblings after the current element (or, with no
    // current element, the children of the parent position from the first) for the next element
    // named `name`; an empty name matches any element. IntoElement and OutOfElement move one
    // level down and up. Each returns false and changes nothing when it cannot move.
    bool FindElement(std::string_view name = {});
    bool IntoElement();
    bool OutOfElement();
    void ResetPos();  // back to the document: parent, current and child all none

    // Node navigation: moves to the next node of the current level (after the current node, or
    // from the start of the parent's content when there is none) whose type is in `types` (a set
    // of NodeType bits; 0 for any): an element, a text (character data with something besides
    // white space; white space alone between markup is no node), a CDATA section, a processing
    // instruction, a comment or a document type declaration. Damaged markup and stray end tags are
    // no nodes. An element found becomes the current element, as with FindElement. On another
    // node NodeType(), NodeOffset() and NodeLength() give its type and where it lies in the
    // document text; GetText() gives its data (a text with references resolved, a CDATA section's
    // or a comment's content, a processing instruction's or a document type's content after its
    // name), GetTagName() a processing instruction's target and GetAttribute() its
    // pseudo-attributes (<?xml-stylesheet href="a.xsl"?>); FindElement then continues with the
    // element after the node. While the current node is not an element, IntoElement, SetText and
    // SetAttribute return false. False, nothing changed, when no such node follows.
    bool FindNode(int types = 0);

    // The current element's tag name, attribute (references resolved; empty when absent) and
    // text (references resolved, CDATA taken literally, comments and processing instructions
    // left out; empty when the element has child elements). For other nodes see FindNode.
    std::string GetTagName() const;
    std::string GetAttribute(std::string_view name) const;
    std::string GetText() const;

    // Replaces the content of the current element (which must have no child elements) by the
    // escaped text; an empty-element tag becomes a start and end tag. With `cdata`, the text is
    // written as a CDATA section. Every later and enclosing element's position is adjusted.
    bool SetText(std::string_view text, bool cdata = false);

    // Adds an element at the end of the current level (after the last sibling) and makes it
    // current; with `text`, it holds that text. False for a name that is no XML name.
    bool AddElement(std::string_view name, std::string_view text = {});
    // Sets (adds or replaces) an attribute of the current element; the value is escaped.
    // False when nothing is current or the name is no XML name.
    bool SetAttribute(std::string_view name, std::string_view value);
    bool SetAttribute(std::string_view name, long long value);
    // Finds by path: "/a/b" from the root, "//b" anywhere below, "a[2]" the second match,
    // "a[@id='x']" by attribute value, "*" any name; relative paths match below the current
    // element (or, with none, below the parent position). The first match in document order
    // becomes current and its parent the parent; without a match nothing changes.
    bool FindPath(std::string_view path);

    int GetDocFlags() const { return flags_; }
    void SetDocFlags(int flags) { flags_ = flags; }
    // The result log: after Load, the events of reading the file followed by those of parsing;
    // after SetDoc, the events of its parse; after Parse, Load's reading events (when the text
    // came from Load) and the events of this parse; after Save, the events of writing.
    const std::string& GetResult() const { return result_; }

    // The element index: records in use (the document's own record 0 included) and records
    // reserved; each record takes 32 bytes.
    size_t IndexSize() const { return count_; }
    size_t IndexCapacity() const { return capacity_; }

    // Positions of the navigation state (0 for none); stable across edits.
    uint32_t ParentPos() const { return parent_; }
    uint32_t CurrentPos() const { return current_; }
    uint32_t ChildPos() const { return child_; }
    int NodeType() const { return node_type_; }
    // The current node's place in the document text: for an element its start and total length;
    // 0 when there is no current node.
    uint32_t NodeOffset() const;
    uint32_t NodeLength() const;

    // Resolves the character and entity references of a text (numeric and the 253 named ones).
    static std::string UnescapeText(std::string_view text);
    // Escapes for element content (& < >) or, with `attribute`, also " and '.
    static std::string EscapeText(std::string_view text, bool attribute = false);

  private:
    struct Element;  // one record of the element index (32 bytes), defined in the implementation
    struct Event;
    struct Markup;

    Element& Rec(uint32_t pos);
    const Element& Rec(uint32_t pos) const;
    uint32_t NewRecord();
    void Reserve(size_t total);
    void EnsureIndex();
    void ClearIndex();
    void AppendChild(uint32_t parent, uint32_t child);
    void CloseUnended(uint32_t pos, uint32_t closed_at);
    Markup ScanMarkup(size_t lt) const;
    std::string_view NameAt(uint32_t offset) const;
    bool NameEquals(std::string_view a, std::string_view b) const;
    std::string_view StartTag(uint32_t pos) const;
    bool ReplaceText(uint32_t at, uint32_t old_length, std::string_view text, uint32_t self);
    bool OpenEmptyElement(uint32_t pos);
    bool OnOtherNode() const;  // the current node is not an element
    std::string NodeData() const;
    bool FindPathStep(std::string_view path, uint32_t context, uint32_t& found) const;
    static void AddEvent(std::string& log, const Event& event);
    // A conversion event (`name` with the resulting encoding and length) and, when characters
    // were lost, a "conversion_loss" event naming the other side's encoding.
    static void LogConversion(std::string& log, const char* name, const std::string& encoding,
                              size_t length, const std::string& source_encoding, size_t lost);
    static void FileErrorEvent(std::string& log, int error);

    std::string doc_;
    std::string result_;
    size_t parse_log_start_ = 0;  // where the events of the last parse begin in result_
    int flags_ = 0;
    uint32_t parent_ = 0;
    uint32_t current_ = 0;
    uint32_t child_ = 0;
    int node_type_ = 0;
    uint32_t node_offset_ = 0;  // the current node when it is not an element
    uint32_t node_length_ = 0;
    // The element index: pages of up to 65 536 records; position = page << 16 | slot.
    std::vector<std::vector<Element>> pages_;
    size_t count_ = 0;     // records in use, record 0 (the document) included
    size_t capacity_ = 0;  // records reserved
};
