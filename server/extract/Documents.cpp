#include "Documents.h"

#include "text/Codepage.h"

#include <gmime/gmime.h>
#include <libxml/parser.h>
#include <libxml/tree.h>
#include <magic.h>
#include <poppler-document.h>
#include <poppler-global.h>
#include <poppler-page.h>
#include <zip.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <memory>
#include <set>
#include <vector>

namespace zdxserver {

namespace {

bool StartsWith(std::string_view text, std::string_view prefix) {
    return text.substr(0, prefix.size()) == prefix;
}

// Appends at most what the document's text may still take.
void Append(std::string& body, std::string_view text) {
    if (body.size() < kMaxDocumentText)
        body.append(text.substr(0, kMaxDocumentText - body.size()));
}

std::string Utf8(const poppler::ustring& text) {
    const poppler::byte_array bytes = text.to_utf8();
    return std::string(bytes.begin(), bytes.end());
}

// ---- XML parts ----

struct XmlDoc {
    xmlDocPtr doc = nullptr;
    explicit XmlDoc(std::string_view xml) {
        // No network, no entity expansion (the parser's own limits hold), errors kept quiet.
        doc = xmlReadMemory(xml.data(), static_cast<int>(xml.size()), nullptr, nullptr,
                            XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING |
                                XML_PARSE_RECOVER);
    }
    ~XmlDoc() { xmlFreeDoc(doc); }
    XmlDoc(const XmlDoc&) = delete;
    XmlDoc& operator=(const XmlDoc&) = delete;
    xmlNode* Root() const { return doc ? xmlDocGetRootElement(doc) : nullptr; }
};

std::string LocalName(const xmlNode* n) {
    return n->name ? reinterpret_cast<const char*>(n->name) : "";
}

// The text of a part: paragraphs, cells and breaks apart; field codes and deleted text out.
void XmlText(const xmlNode* node, std::string& out, int depth = 0) {
    static const std::set<std::string> kBreaks = {
        "p", "h", "br", "tab", "tc", "tr", "si", "row", "line-break", "table-cell", "s", "cr"};
    static const std::set<std::string> kSkipped = {"instrText", "delText", "fldChar", "annotation",
                                                   "tracked-changes"};
    if (depth > 256)
        return;
    for (const xmlNode* n = node; n && out.size() < kMaxDocumentText; n = n->next) {
        if (n->type == XML_TEXT_NODE || n->type == XML_CDATA_SECTION_NODE) {
            if (n->content)
                Append(out, reinterpret_cast<const char*>(n->content));
            continue;
        }
        if (n->type != XML_ELEMENT_NODE)
            continue;
        const std::string name = LocalName(n);
        if (kSkipped.count(name))
            continue;
        XmlText(n->children, out, depth + 1);
        if (kBreaks.count(name))
            out += '\n';
    }
}

// The text of the first element called `localName`, anywhere in the tree.
std::string FirstText(const xmlNode* node, const char* localName, int depth = 0) {
    for (const xmlNode* n = node; n && depth < 64; n = n->next) {
        if (n->type != XML_ELEMENT_NODE)
            continue;
        if (LocalName(n) == localName) {
            std::string text;
            XmlText(n->children, text);
            return Collapse(text);
        }
        std::string inner = FirstText(n->children, localName, depth + 1);
        if (!inner.empty())
            return inner;
    }
    return {};
}

// Every element called `localName`, in document order.
void AllElements(const xmlNode* node, const char* localName, std::vector<const xmlNode*>& out,
                 int depth = 0) {
    for (const xmlNode* n = node; n && depth < 64; n = n->next) {
        if (n->type != XML_ELEMENT_NODE)
            continue;
        if (LocalName(n) == localName)
            out.push_back(n);
        AllElements(n->children, localName, out, depth + 1);
    }
}

std::string Attribute(const xmlNode* n, const char* name) {
    xmlChar* value = xmlGetProp(n, BAD_CAST name);
    std::string text = value ? reinterpret_cast<const char*>(value) : "";
    xmlFree(value);
    return text;
}

// ---- Zip containers ----

class Zip {
public:
    explicit Zip(std::string_view bytes) {
        zip_error_t error;
        zip_error_init(&error);
        zip_source_t* source = zip_source_buffer_create(bytes.data(), bytes.size(), 0, &error);
        if (source) {
            m_zip = zip_open_from_source(source, ZIP_RDONLY, &error);
            if (!m_zip)
                zip_source_free(source);
        }
        zip_error_fini(&error);
        if (!m_zip)
            throw Unreadable("not a readable zip container");
    }
    ~Zip() { zip_discard(m_zip); }
    Zip(const Zip&) = delete;
    Zip& operator=(const Zip&) = delete;

    bool Has(const std::string& name) const { return zip_name_locate(m_zip, name.c_str(), 0) >= 0; }
    std::vector<std::string> Names() const {
        std::vector<std::string> names;
        const zip_int64_t count = zip_get_num_entries(m_zip, 0);
        for (zip_int64_t i = 0; i < count && i < 100000; ++i)
            if (const char* name = zip_get_name(m_zip, static_cast<zip_uint64_t>(i), 0))
                names.emplace_back(name);
        return names;
    }
    // A part, inflated up to the limits: a part that claims little and inflates to much (a zip
    // bomb) is cut where the limit is reached.
    std::string Read(const std::string& name) {
        std::string data;
        zip_file_t* file = zip_fopen(m_zip, name.c_str(), 0);
        if (!file)
            return data;
        const std::size_t limit =
            std::min(kMaxZipPart, kMaxZipTotal - std::min(kMaxZipTotal, m_read));
        char buffer[65536];
        while (data.size() < limit) {
            const zip_int64_t n = zip_fread(file, buffer, sizeof buffer);
            if (n <= 0)
                break;
            data.append(buffer,
                        std::min<std::size_t>(static_cast<std::size_t>(n), limit - data.size()));
        }
        zip_fclose(file);
        m_read += data.size();
        return data;
    }

private:
    zip_t* m_zip = nullptr;
    std::size_t m_read = 0;
};

// The number in a part's name ("ppt/slides/slide12.xml" is 12), for reading order.
long PartNumber(const std::string& name) {
    const std::size_t end = name.rfind('.');
    std::size_t start = end;
    while (start > 0 && name[start - 1] >= '0' && name[start - 1] <= '9')
        --start;
    return start == end ? 0 : std::strtol(name.c_str() + start, nullptr, 10);
}

std::vector<std::string> PartsUnder(const Zip& zip, const std::string& prefix) {
    std::vector<std::string> parts;
    for (const std::string& name : zip.Names())
        if (StartsWith(name, prefix) && name.size() > 4 &&
            name.compare(name.size() - 4, 4, ".xml") == 0 &&
            name.find('/', prefix.size()) == std::string::npos)
            parts.push_back(name);
    std::sort(parts.begin(), parts.end(), [](const std::string& a, const std::string& b) {
        return PartNumber(a) < PartNumber(b);
    });
    return parts;
}

void AddPartText(Zip& zip, const std::string& part, Extracted& e) {
    const XmlDoc doc(zip.Read(part));
    std::string text;
    XmlText(doc.Root(), text);
    Append(e.body, text);
    Append(e.body, "\n");
}

// Office Open XML: the format from the parts it has, title and author from core.xml.
void ReadOfficeOpenXml(Zip& zip, Extracted& e) {
    if (zip.Has("word/document.xml")) {
        e.format = "Word";
        for (const char* part : {"word/document.xml", "word/footnotes.xml", "word/endnotes.xml"})
            if (zip.Has(part))
                AddPartText(zip, part, e);
    } else if (zip.Has("ppt/presentation.xml")) {
        e.format = "PowerPoint";
        for (const std::string& part : PartsUnder(zip, "ppt/slides/slide"))
            AddPartText(zip, part, e);
        for (const std::string& part : PartsUnder(zip, "ppt/notesSlides/notesSlide"))
            AddPartText(zip, part, e);
    } else if (zip.Has("xl/workbook.xml")) {
        e.format = "Excel";
        if (zip.Has("xl/sharedStrings.xml"))
            AddPartText(zip, "xl/sharedStrings.xml", e);
        // Strings typed into a cell as they are ("inlineStr") stand in the sheets.
        for (const std::string& part : PartsUnder(zip, "xl/worksheets/sheet")) {
            const XmlDoc doc(zip.Read(part));
            std::vector<const xmlNode*> inline_;
            AllElements(doc.Root(), "is", inline_);
            for (const xmlNode* n : inline_) {
                std::string text;
                XmlText(n->children, text);
                Append(e.body, text + "\n");
            }
        }
    } else {
        throw Unreadable("an Office container without a document part");
    }
    if (zip.Has("docProps/core.xml")) {
        const XmlDoc core(zip.Read("docProps/core.xml"));
        e.title = FirstText(core.Root(), "title");
        e.author = FirstText(core.Root(), "creator");
    }
}

void ReadOpenDocument(Zip& zip, const std::string& mime, Extracted& e) {
    e.format = FormatForMime(mime);
    if (e.format.empty())
        e.format = "OpenDocument";
    AddPartText(zip, "content.xml", e);
    if (zip.Has("meta.xml")) {
        const XmlDoc meta(zip.Read("meta.xml"));
        e.title = FirstText(meta.Root(), "title");
        e.author = FirstText(meta.Root(), "initial-creator");
        if (e.author.empty())
            e.author = FirstText(meta.Root(), "creator");
    }
}

// A path inside the container, relative to the folder of `base`, without "." and "..".
std::string Resolve(const std::string& base, const std::string& href) {
    std::string path = base.substr(0, base.rfind('/') + 1) + href.substr(0, href.find('#'));
    std::vector<std::string> parts;
    std::size_t start = 0;
    while (start <= path.size()) {
        std::size_t end = path.find('/', start);
        if (end == std::string::npos)
            end = path.size();
        const std::string part = path.substr(start, end - start);
        if (part == "..") {
            if (!parts.empty())
                parts.pop_back();
        } else if (!part.empty() && part != ".") {
            parts.push_back(part);
        }
        start = end + 1;
    }
    std::string joined;
    for (const std::string& part : parts)
        joined += (joined.empty() ? "" : "/") + part;
    return joined;
}

// EPUB: the package file named by the container; its spine gives the reading order.
void ReadEpub(Zip& zip, Extracted& e) {
    e.format = "EPUB";
    const XmlDoc container(zip.Read("META-INF/container.xml"));
    std::vector<const xmlNode*> roots;
    AllElements(container.Root(), "rootfile", roots);
    if (roots.empty())
        throw Unreadable("an EPUB without a package file");
    const std::string opfPath = Attribute(roots.front(), "full-path");
    const XmlDoc opf(zip.Read(opfPath));
    e.title = FirstText(opf.Root(), "title");
    e.author = FirstText(opf.Root(), "creator");
    std::map<std::string, std::string> manifest;
    std::vector<const xmlNode*> items, spine;
    AllElements(opf.Root(), "item", items);
    for (const xmlNode* item : items)
        manifest[Attribute(item, "id")] = Attribute(item, "href");
    AllElements(opf.Root(), "itemref", spine);
    for (const xmlNode* ref : spine) {
        auto it = manifest.find(Attribute(ref, "idref"));
        if (it == manifest.end())
            continue;
        const Extracted chapter = HtmlText(zip.Read(Resolve(opfPath, it->second)));
        Append(e.body, chapter.body);
        Append(e.body, "\n");
        if (e.body.size() >= kMaxDocumentText)
            break;
    }
}

// ---- RTF ----

// One group's state: whether its text is left out, and where its text goes.
struct RtfGroup {
    bool skip = false;
    int unicodeSkip = 1;
    std::string* into = nullptr;
};

// The text as the index takes it: blanks collapsed, well-formed UTF-8 (a part may hold any
// bytes, and the text limit may cut a character).
Extracted& Finish(Extracted& e) {
    for (std::string* text : {&e.title, &e.author, &e.body}) // no store keeps a NUL in a text
        text->erase(std::remove(text->begin(), text->end(), '\0'), text->end());
    e.title = ValidUtf8(Collapse(e.title));
    e.author = ValidUtf8(Collapse(e.author));
    e.body = ValidUtf8(CollapseKeepingLines(e.body));
    e.textual = true;
    return e;
}

} // namespace

Extracted ReadZipDocument(std::string_view bytes) {
    Extracted e;
    Zip zip(bytes);
    std::string mime;
    if (zip.Has("mimetype")) {
        mime = zip.Read("mimetype");
        mime.erase(std::remove_if(mime.begin(), mime.end(),
                                  [](char c) { return c == '\r' || c == '\n' || c == ' '; }),
                   mime.end());
    }
    if (mime == "application/epub+zip")
        ReadEpub(zip, e);
    else if (StartsWith(mime, "application/vnd.oasis.opendocument."))
        ReadOpenDocument(zip, mime, e);
    else if (zip.Has("[Content_Types].xml"))
        ReadOfficeOpenXml(zip, e);
    else {
        e.format = "Zip archive";
        return e; // an archive: by name only
    }
    return Finish(e);
}

namespace {

// RTF read a character at a time: groups ({ }), control words (\word-12 ), escapes (\'hh),
// and the text, which goes to the body or to the title or author of \info.
class RtfReader {
public:
    explicit RtfReader(std::string_view rtf) : m_rtf(rtf) { m_e.format = "RTF"; }

    Extracted& Read() {
        for (m_at = 0; m_at < m_rtf.size() && m_e.body.size() < kMaxDocumentText; ++m_at) {
            const char c = m_rtf[m_at];
            if (c == '{' || c == '}') {
                Flush();
                if (c == '}' && m_groups.size() > 1)
                    m_groups.pop_back();
                else if (c == '{')
                    m_groups.push_back(Inner());
            } else if (c == '\\') {
                if (++m_at >= m_rtf.size())
                    break;
                Control();
            } else if (c != '\r' && c != '\n') {
                Text(c);
            }
        }
        Flush();
        return m_e;
    }

private:
    RtfGroup Inner() const {
        RtfGroup inner = m_groups.back();
        inner.skip = inner.skip || m_groups.size() > 2000;
        return inner;
    }
    std::string& Out() { return m_groups.back().into ? *m_groups.back().into : m_e.body; }
    // Windows-1252 bytes gathered so far, as UTF-8.
    void Flush() {
        if (!m_raw.empty()) {
            Append(Out(), Cp1252ToUtf8(m_raw));
            m_raw.clear();
        }
    }
    void Emit(std::string_view text) {
        if (m_groups.back().skip)
            return;
        Flush();
        Append(Out(), text);
    }
    // A character of text; bytes past ASCII are Windows-1252, as escaped ones are.
    void Text(char c) {
        if (m_pendingSkip > 0) {
            --m_pendingSkip; // stands in for the \u character before it
            return;
        }
        if (m_groups.back().skip)
            return;
        if (m_raw.empty() && static_cast<unsigned char>(c) < 0x80)
            Append(Out(), std::string_view(&c, 1));
        else
            m_raw += c;
    }
    // After a backslash: an escape, a control symbol or a control word.
    void Control() {
        const char s = m_rtf[m_at];
        if (s == '\'' && m_at + 2 < m_rtf.size()) {
            const std::string hex(m_rtf.substr(m_at + 1, 2));
            m_at += 2;
            if (m_pendingSkip > 0)
                --m_pendingSkip;
            else if (!m_groups.back().skip)
                m_raw += static_cast<char>(std::strtol(hex.c_str(), nullptr, 16));
        } else if (!std::isalpha(static_cast<unsigned char>(s))) {
            if (s == '*') // an optional destination: left out unless it is known
                m_groups.back().skip = true;
            else if (s == '~')
                Emit(" ");
            else if (s == '\\' || s == '{' || s == '}')
                Emit(std::string(1, s));
        } else {
            Word();
        }
    }
    void Word() {
        std::size_t end = m_at;
        while (end < m_rtf.size() && std::isalpha(static_cast<unsigned char>(m_rtf[end])) &&
               end - m_at < 32)
            ++end;
        const std::string word(m_rtf.substr(m_at, end - m_at));
        std::size_t numberEnd = end;
        if (numberEnd < m_rtf.size() && m_rtf[numberEnd] == '-')
            ++numberEnd;
        while (numberEnd < m_rtf.size() &&
               std::isdigit(static_cast<unsigned char>(m_rtf[numberEnd])) && numberEnd - end < 10)
            ++numberEnd;
        const long number =
            numberEnd > end
                ? std::strtol(std::string(m_rtf.substr(end, numberEnd - end)).c_str(), nullptr, 10)
                : 0;
        m_at = numberEnd;
        if (m_at >= m_rtf.size() || m_rtf[m_at] != ' ')
            --m_at; // the delimiter belongs to what follows
        Apply(word, number);
    }
    void Apply(const std::string& word, long number) {
        static const std::set<std::string> kSkippedDestinations = {
            "fonttbl",  "colortbl",  "stylesheet", "listtable",  "listoverridetable",
            "pict",     "object",    "themedata",  "datastore",  "latentstyles",
            "rsidtbl",  "generator", "fldinst",    "xmlnstbl",   "header",
            "footer",   "filetbl",   "revtbl",     "operator",   "company",
            "keywords", "comment",   "subject",    "doccomm",    "colorschememapping",
            "mmathPr",  "bkmkstart", "bkmkend",    "nonshppict", "listtext"};
        RtfGroup& group = m_groups.back();
        if (word == "par" || word == "line" || word == "sect" || word == "page" || word == "row") {
            Emit("\n");
        } else if (word == "tab" || word == "cell") {
            Emit(" ");
        } else if (word == "u") {
            if (!group.skip) {
                Flush();
                std::string utf8;
                AppendUtf8(utf8, static_cast<char32_t>(number < 0 ? number + 65536 : number));
                Append(Out(), utf8);
            }
            m_pendingSkip = group.unicodeSkip;
        } else if (word == "uc") {
            group.unicodeSkip = static_cast<int>(std::clamp<long>(number, 0, 8));
        } else if (word == "title" || word == "author") {
            group.into = word == "title" ? &m_e.title : &m_e.author;
            group.skip = false;
        } else if (word == "info" || kSkippedDestinations.count(word)) {
            group.skip = true; // of \info only its title and author count
        }
    }

    std::string_view m_rtf;
    std::size_t m_at = 0;
    Extracted m_e;
    std::vector<RtfGroup> m_groups = std::vector<RtfGroup>(1);
    std::string m_raw;     // Windows-1252 bytes not yet turned to UTF-8
    int m_pendingSkip = 0; // characters after \uN that stand in for it
};

} // namespace

Extracted ReadRtf(std::string_view rtf) {
    RtfReader reader(rtf);
    return Finish(reader.Read());
}

Extracted ReadPdf(std::string_view bytes) {
    poppler::set_debug_error_function([](const std::string&, void*) {}, nullptr);
    std::unique_ptr<poppler::document> doc(poppler::document::load_from_raw_data(
        bytes.data(), static_cast<int>(std::min<std::size_t>(bytes.size(), INT32_MAX))));
    if (!doc)
        throw Unreadable("not a readable PDF file");
    if (doc->is_locked())
        throw Unreadable("the PDF file is encrypted");
    Extracted e;
    e.format = "PDF";
    e.title = Collapse(Utf8(doc->info_key("Title")));
    e.author = Collapse(Utf8(doc->info_key("Author")));
    const int pages = doc->pages();
    for (int i = 0; i < pages && e.body.size() < kMaxDocumentText; ++i) {
        std::unique_ptr<poppler::page> page(doc->create_page(i));
        if (i > 0)
            e.body += '\f';
        if (page)
            Append(e.body, CollapseKeepingLines(Utf8(page->text())));
    }
    // Collapsing keeps the page breaks.
    return Finish(e);
}

namespace {

// The text of a mail's text parts and text attachments; HTML parts without their markup.
void MailText(GMimeMessage* message, std::string& body) {
    GMimePartIter* iter = g_mime_part_iter_new(GMIME_OBJECT(message));
    if (!g_mime_part_iter_is_valid(iter)) {
        g_mime_part_iter_free(iter);
        GMimeObject* part = g_mime_message_get_mime_part(message);
        if (part && GMIME_IS_TEXT_PART(part)) {
            char* text = g_mime_text_part_get_text(GMIME_TEXT_PART(part));
            if (text)
                Append(body, text);
            g_free(text);
        }
        return;
    }
    do {
        GMimeObject* part = g_mime_part_iter_get_current(iter);
        if (!part || !GMIME_IS_TEXT_PART(part))
            continue;
        char* text = g_mime_text_part_get_text(GMIME_TEXT_PART(part));
        if (!text)
            continue;
        GMimeContentType* type = g_mime_object_get_content_type(part);
        if (type && g_mime_content_type_is_type(type, "text", "html"))
            Append(body, HtmlText(text).body);
        else
            Append(body, text);
        Append(body, "\n");
        g_free(text);
    } while (g_mime_part_iter_next(iter) && body.size() < kMaxDocumentText);
    g_mime_part_iter_free(iter);
}

} // namespace

Extracted ReadMail(std::string_view bytes, bool mailbox) {
    static const bool initialised = [] {
        g_mime_init();
        return true;
    }();
    (void)initialised;
    Extracted e;
    e.format = mailbox ? "Mailbox" : "E-mail";
    GMimeStream* stream = g_mime_stream_mem_new_with_buffer(bytes.data(), bytes.size());
    GMimeParser* parser = g_mime_parser_new_with_stream(stream);
    g_mime_parser_set_format(parser, mailbox ? GMIME_FORMAT_MBOX : GMIME_FORMAT_MESSAGE);
    int messages = 0;
    while (!g_mime_parser_eos(parser) && e.body.size() < kMaxDocumentText) {
        GMimeMessage* message = g_mime_parser_construct_message(parser, nullptr);
        if (!message)
            break;
        const char* subject = g_mime_message_get_subject(message);
        InternetAddressList* from = g_mime_message_get_from(message);
        char* sender = from ? internet_address_list_to_string(from, nullptr, FALSE) : nullptr;
        if (messages == 0) {
            // A mail's own subject, sender and date; a mailbox keeps its file's name.
            if (!mailbox && subject)
                e.title = Collapse(subject);
            if (sender)
                e.author = Collapse(sender);
            if (GDateTime* date = g_mime_message_get_date(message); date && !mailbox)
                e.date = g_date_time_to_unix(date);
        }
        Append(e.body, subject ? subject : "");
        Append(e.body, "\n");
        Append(e.body, sender ? sender : "");
        Append(e.body, "\n");
        g_free(sender);
        MailText(message, e.body);
        g_object_unref(message);
        ++messages;
    }
    g_object_unref(parser);
    g_object_unref(stream);
    if (messages == 0)
        throw Unreadable("not a readable mail");
    return Finish(e);
}

std::string MimeTypeOf(std::string_view bytes) {
    static magic_t cookie = [] {
        magic_t m = magic_open(MAGIC_MIME_TYPE | MAGIC_NO_CHECK_COMPRESS | MAGIC_NO_CHECK_TAR);
        if (m && magic_load(m, nullptr) != 0) {
            magic_close(m);
            m = nullptr;
        }
        return m;
    }();
    if (!cookie)
        return {};
    const char* mime =
        magic_buffer(cookie, bytes.data(), std::min<std::size_t>(bytes.size(), 1u << 20));
    return mime ? mime : "";
}

Extracted ReadDocument(const std::string& fileName, std::string_view bytes) {
    const std::string mime = MimeTypeOf(bytes);
    const std::string extension = fileName.substr(fileName.rfind('.') + 1);
    Extracted e;
    if (mime == "application/pdf" || StartsWith(bytes, "%PDF-"))
        e = ReadPdf(bytes);
    else if (StartsWith(bytes, "PK\x03\x04"))
        e = ReadZipDocument(bytes);
    else if (mime == "text/rtf" || StartsWith(bytes, "{\\rtf"))
        e = ReadRtf(bytes);
    else if (mime == "application/mbox" || StartsWith(bytes, "From "))
        e = ReadMail(bytes, true);
    else if (mime == "message/rfc822" || extension == "eml")
        e = ReadMail(bytes, false);
    else {
        // Not a document: only its format, named by its content where a name is known.
        e.format = FormatForMime(mime);
        if (e.format.empty())
            e.format = FormatFromName(fileName);
        return e;
    }
    if (e.title.empty())
        e.title = fileName;
    return e;
}

} // namespace zdxserver
