#include "Extract.h"

#include "Store.h"

#include "text/Codepage.h"

#include <libxml/HTMLparser.h>
#include <libxml/tree.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <set>

namespace zdxserver {

namespace {

std::string Lower(std::string_view text) {
    std::string out(text);
    for (char& c : out)
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    return out;
}

std::string Extension(const std::string& name) {
    const std::size_t dot = name.rfind('.');
    return dot == std::string::npos ? std::string() : Lower(name.substr(dot + 1));
}

bool StartsWith(std::string_view text, std::string_view prefix) {
    return text.substr(0, prefix.size()) == prefix;
}

std::string AsUtf8(const std::string& bytes) {
    return IsValidUtf8(bytes) ? bytes : Cp1252ToUtf8(bytes);
}

// Text a person wrote, not data: no NUL and almost no other control bytes.
bool LooksLikeText(std::string_view head) {
    std::size_t control = 0;
    for (char c : head) {
        const auto b = static_cast<unsigned char>(c);
        if (b == 0)
            return false;
        if (b < 0x20 && b != '\t' && b != '\n' && b != '\r' && b != '\f' && b != 0x1B)
            ++control;
    }
    return control * 100 <= head.size();
}

// UTF-8, allowing for a character cut off at the end of the sample.
bool IsValidUtf8Prefix(std::string_view sample) {
    std::size_t lead = sample.size();
    while (lead > 0 && sample.size() - lead < 4 &&
           (static_cast<unsigned char>(sample[lead - 1]) & 0xC0) == 0x80)
        --lead;
    if (lead > 0) {
        const auto b = static_cast<unsigned char>(sample[lead - 1]);
        const std::size_t length = b >= 0xF0 ? 4 : b >= 0xE0 ? 3 : b >= 0xC0 ? 2 : 1;
        if (sample.size() - (lead - 1) < length)
            sample = sample.substr(0, lead - 1);
    }
    return IsValidUtf8(sample);
}

// The opening lines of a mail as it is stored: header fields such as "From:", "Subject:".
bool LooksLikeMail(std::string_view head) {
    if (StartsWith(head, "From ")) // an mbox's separator line
        return head.find("\nFrom:") != std::string_view::npos ||
               head.find("\nSubject:") != std::string_view::npos;
    static const char* const kFirstFields[] = {
        "Received:",     "Return-Path:", "Message-ID:", "MIME-Version:",
        "Delivered-To:", "From:",        "Date:",       "Subject:"};
    bool first = false;
    for (const char* field : kFirstFields)
        first = first || StartsWith(head, field);
    return first &&
           (head.find("\nSubject:") != std::string_view::npos || StartsWith(head, "Subject:")) &&
           (head.find("\nFrom:") != std::string_view::npos || StartsWith(head, "From:"));
}

// The text of an HTML tree: blocks apart, inline elements joined, scripts and styles out.
// Within the head (`text` false) only the title and the author count.
void HtmlWalk(xmlNode* node, Extracted& out, bool text) {
    static const std::set<std::string> kSkipped = {"script", "style", "noscript", "template"};
    static const std::set<std::string> kBlocks = {
        "p",      "div",        "br",    "li",   "ul",         "ol",      "tr",  "td",
        "th",     "h1",         "h2",    "h3",   "h4",         "h5",      "h6",  "table",
        "dd",     "dt",         "hr",    "pre",  "section",    "article", "nav", "header",
        "footer", "blockquote", "aside", "main", "figcaption", "caption"};
    for (xmlNode* n = node; n; n = n->next) {
        if (n->type == XML_TEXT_NODE || n->type == XML_CDATA_SECTION_NODE) {
            if (n->content && text) {
                // Line breaks in the page's source are blanks; its blocks make the lines.
                std::string content(reinterpret_cast<const char*>(n->content));
                std::replace(content.begin(), content.end(), '\n', ' ');
                out.body += content;
            }
            continue;
        }
        if (n->type != XML_ELEMENT_NODE)
            continue;
        const std::string name = Lower(reinterpret_cast<const char*>(n->name));
        if (name == "title" && out.title.empty()) {
            xmlChar* text = xmlNodeGetContent(n);
            out.title = Collapse(text ? reinterpret_cast<const char*>(text) : "");
            xmlFree(text);
        } else if (name == "meta") {
            xmlChar* meta = xmlGetProp(n, BAD_CAST "name");
            xmlChar* content = xmlGetProp(n, BAD_CAST "content");
            if (meta && content && Lower(reinterpret_cast<const char*>(meta)) == "author")
                out.author = Collapse(reinterpret_cast<const char*>(content));
            xmlFree(meta);
            xmlFree(content);
        }
        if (kSkipped.count(name) || name == "title")
            continue;
        const bool block = kBlocks.count(name) > 0;
        if (block)
            out.body += '\n';
        HtmlWalk(n->children, out, text && name != "head");
        if (block)
            out.body += '\n';
    }
}

} // namespace

std::string ValidUtf8(std::string_view text) {
    if (IsValidUtf8(text))
        return std::string(text);
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size();) {
        const auto b = static_cast<unsigned char>(text[i]);
        const std::size_t length = b < 0x80 ? 1 : b >= 0xF0 ? 4 : b >= 0xE0 ? 3 : b >= 0xC0 ? 2 : 0;
        if (length > 0 && i + length <= text.size() && IsValidUtf8(text.substr(i, length))) {
            out.append(text.substr(i, length));
            i += length;
        } else {
            out += "\xEF\xBF\xBD";
            ++i;
        }
    }
    return out;
}

namespace {

std::string CollapseRuns(std::string_view text, bool keepLines) {
    std::string out;
    out.reserve(text.size());
    int lines = 0;      // line breaks in the run of blanks before the next word
    bool page = false;  // a page break in it
    bool blank = false; // any blank in it
    for (char c : text) {
        if (c == ' ' || c == '\n' || c == '\r' || c == '\t' || c == '\v' || c == '\f') {
            blank = true;
            page = page || c == '\f';
            lines += c == '\n' && keepLines;
            continue;
        }
        if (blank && !out.empty()) {
            if (page)
                out += '\f';
            else if (lines > 0)
                out.append(std::min(lines, 2), '\n');
            else
                out += ' ';
        }
        blank = page = false;
        lines = 0;
        out += c;
    }
    return out;
}

} // namespace

std::string Collapse(std::string_view text) {
    return CollapseRuns(text, false);
}

std::string CollapseKeepingLines(std::string_view text) {
    return CollapseRuns(text, true);
}

std::string OneLine(std::string_view text) {
    std::string line = Collapse(text);
    std::replace(line.begin(), line.end(), '\f', ' ');
    return line;
}

Route RouteOf(const std::string& fileName, std::string_view head) {
    const std::string extension = Extension(fileName);
    if (StartsWith(head, "%PDF-") || StartsWith(head, "PK\x03\x04") || StartsWith(head, "{\\rtf"))
        return Route::Document;
    // Text in Windows-1252 where the name says text; in UTF-8 (or ASCII) whatever the name.
    static const std::set<std::string> kTextNames = {"txt", "text",     "log", "csv",
                                                     "md",  "markdown", "htm", "html"};
    const std::string_view sample = head.substr(0, 8192);
    if (!LooksLikeText(sample))
        return Route::Other;
    if (!kTextNames.count(extension) && !IsValidUtf8Prefix(sample))
        return Route::MaybeText;
    if (extension == "eml" || extension == "mbox" || LooksLikeMail(sample))
        return Route::Document;
    if (extension == "md" || extension == "markdown")
        return Route::Markdown;
    std::string_view start = head.substr(0, 512);
    if (StartsWith(start, "\xEF\xBB\xBF"))
        start.remove_prefix(3);
    start.remove_prefix(std::min(start.size(), start.find_first_not_of(" \t\r\n")));
    const std::string opening = Lower(start.substr(0, 14));
    if (extension == "htm" || extension == "html" || extension == "xhtml" ||
        StartsWith(opening, "<!doctype html") || StartsWith(opening, "<html"))
        return Route::Html;
    return Route::Text;
}

Extracted HtmlText(std::string_view html) {
    Extracted e;
    // Read as UTF-8 when it is, else as Windows-1252 (as browsers read a page that says nothing).
    const std::string converted = IsValidUtf8(html) ? std::string() : Cp1252ToUtf8(html);
    const std::string_view utf8 = converted.empty() ? html : converted;
    const int options = HTML_PARSE_RECOVER | HTML_PARSE_NOERROR | HTML_PARSE_NOWARNING |
                        HTML_PARSE_NONET | HTML_PARSE_NOBLANKS;
    htmlDocPtr doc =
        htmlReadMemory(utf8.data(), static_cast<int>(utf8.size()), nullptr, "UTF-8", options);
    if (!doc)
        return e;
    HtmlWalk(xmlDocGetRootElement(doc), e, true);
    xmlFreeDoc(doc);
    e.body = CollapseKeepingLines(e.body);
    return e;
}

std::string MarkdownPlain(std::string_view line) {
    std::string text(line);
    // Headings, quotes and list marks at the start of the line.
    std::size_t start = text.find_first_not_of(" \t");
    if (start == std::string::npos)
        return {};
    text.erase(0, start);
    while (!text.empty() && (text[0] == '#' || text[0] == '>'))
        text.erase(0, 1);
    if (text.size() > 1 && (text[0] == '-' || text[0] == '+' || text[0] == '*') && text[1] == ' ')
        text.erase(0, 2);
    while (!text.empty() && (text.back() == '#' || text.back() == ' '))
        text.pop_back();
    std::string out;
    auto boundary = [](char c) {
        return c == 0 || c == ' ' || c == '\t' || std::strchr(".,;:!?()[]\"'", c) != nullptr;
    };
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        // [text](url) and ![alt](url): the text stays, the address goes.
        if (c == ']' && i + 1 < text.size() && text[i + 1] == '(') {
            const std::size_t close = text.find(')', i);
            if (close != std::string::npos) {
                i = close;
                continue;
            }
        }
        if (c == '[' || c == ']' || c == '`' ||
            (c == '!' && i + 1 < text.size() && text[i + 1] == '['))
            continue;
        if (c == '*' || c == '_') {
            // Emphasis marks stand at a word's edge; snake_case keeps its underscore.
            std::size_t run = i;
            while (run < text.size() && text[run] == c)
                ++run;
            const char before = i == 0 ? 0 : text[i - 1];
            const char after = run < text.size() ? text[run] : 0;
            if (boundary(before) || boundary(after)) {
                i = run - 1;
                continue;
            }
        }
        out += c;
    }
    return Collapse(out);
}

std::string FormatForMime(std::string_view mime) {
    static const std::map<std::string_view, const char*> kNames = {
        {"application/pdf", "PDF"},
        {"application/vnd.openxmlformats-officedocument.wordprocessingml.document", "Word"},
        {"application/msword", "Word"},
        {"application/vnd.openxmlformats-officedocument.presentationml.presentation", "PowerPoint"},
        {"application/vnd.openxmlformats-officedocument.spreadsheetml.sheet", "Excel"},
        {"application/vnd.oasis.opendocument.text", "OpenDocument Text"},
        {"application/vnd.oasis.opendocument.spreadsheet", "OpenDocument Spreadsheet"},
        {"application/vnd.oasis.opendocument.presentation", "OpenDocument Presentation"},
        {"application/epub+zip", "EPUB"},
        {"text/rtf", "RTF"},
        {"application/rtf", "RTF"},
        {"message/rfc822", "E-mail"},
        {"application/mbox", "Mailbox"},
        {"text/html", "HTML"},
        {"text/markdown", "Markdown"},
        {"text/plain", "Text"},
        {"application/zip", "Zip archive"},
        {"application/gzip", "Gzip archive"},
        {"application/x-xz", "XZ archive"},
        {"application/x-bzip2", "Bzip2 archive"},
        {"application/x-tar", "Tar archive"},
        {"image/png", "PNG image"},
        {"image/jpeg", "JPEG image"},
        {"image/gif", "GIF image"},
        {"image/svg+xml", "SVG image"},
        {"application/x-executable", "Program"},
        {"application/x-sharedlib", "Library"},
        {"application/x-pie-executable", "Program"},
    };
    auto it = kNames.find(mime);
    return it == kNames.end() ? std::string() : it->second;
}

std::string FormatFromName(const std::string& fileName) {
    std::string upper = Extension(fileName);
    for (char& c : upper)
        if (c >= 'a' && c <= 'z')
            c = static_cast<char>(c - 'a' + 'A');
    return upper.empty() ? "File" : upper;
}

// The opening of a text, cut at a character boundary; page and line breaks read as blanks.
std::string Summary(const std::string& body) {
    std::size_t n = std::min<std::size_t>(body.size(), 160);
    while (n > 0 && n < body.size() && (static_cast<unsigned char>(body[n]) & 0xC0) == 0x80)
        --n;
    return OneLine(std::string_view(body).substr(0, n));
}

Extracted ExtractText(const std::string& fileName, const std::string& bytes,
                      std::optional<Route> known) {
    Extracted e;
    e.title = fileName;
    const Route route = known ? *known : RouteOf(fileName, bytes);
    if (route == Route::Document || route == Route::Other || route == Route::MaybeText ||
        bytes.find('\0') != std::string::npos) {
        e.format = FormatFromName(fileName);
        return e; // indexed by name only, unless the extractor reads it
    }
    const std::string text = AsUtf8(bytes.substr(0, kMaxTextBytes));
    e.textual = true;
    if (route == Route::Html) {
        Extracted html = HtmlText(text);
        html.format = "HTML";
        html.textual = true;
        if (html.title.empty())
            html.title = fileName;
        return html;
    }
    std::string body = text;
    e.format = route == Route::Markdown ? "Markdown" : "Text";
    if (route == Route::Markdown) {
        // Front matter may name the author; the first heading is the title.
        if (body.rfind("---\n", 0) == 0) {
            const std::size_t end = body.find("\n---", 4);
            if (end != std::string::npos) {
                const std::string front = body.substr(4, end - 4);
                const std::size_t author = front.find("author:");
                if (author != std::string::npos)
                    e.author =
                        Collapse(front.substr(author + 7, front.find('\n', author) - author - 7));
                body = body.substr(std::min(body.size(), end + 4));
            }
        }
        std::string plain;
        bool titled = false;
        for (std::size_t line = 0; line < body.size();) {
            std::size_t end = body.find('\n', line);
            if (end == std::string::npos)
                end = body.size();
            const std::string_view row(body.data() + line, end - line);
            if (!titled && StartsWith(row, "# ")) {
                e.title = MarkdownPlain(row);
                titled = !e.title.empty();
            }
            plain += MarkdownPlain(row);
            plain += '\n';
            line = end + 1;
        }
        e.body = CollapseKeepingLines(plain);
        if (e.title.empty())
            e.title = fileName;
        return e;
    }
    // A short first line followed by more text reads as the title.
    const std::size_t start = body.find_first_not_of(" \t\r\n");
    const std::size_t end = start == std::string::npos ? start : body.find('\n', start);
    if (end != std::string::npos && end - start <= 80) {
        const std::string first = Collapse(body.substr(start, end - start));
        if (!first.empty() && body.find_first_not_of(" \t\r\n", end) != std::string::npos)
            e.title = first;
    }
    std::replace(body.begin(), body.end(), '\f', ' ');
    e.body = CollapseKeepingLines(body);
    return e;
}

} // namespace zdxserver
