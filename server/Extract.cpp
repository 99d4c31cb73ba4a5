#include "Extract.h"

#include "Store.h"

#include "text/Codepage.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <map>
#include <set>

namespace zdxserver {

namespace {

std::string Lower(std::string text) {
    for (char& c : text)
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    return text;
}

std::string Extension(const std::string& name) {
    const std::size_t dot = name.rfind('.');
    return dot == std::string::npos ? std::string() : Lower(name.substr(dot + 1));
}

std::string AsUtf8(const std::string& bytes) {
    return IsValidUtf8(bytes) ? bytes : Cp1252ToUtf8(bytes);
}

std::string Collapse(const std::string& text) {
    std::string out;
    bool blank = false;
    for (char c : text) {
        const bool space = c == ' ' || c == '\n' || c == '\r' || c == '\t' || c == '\f';
        if (space) {
            blank = !out.empty();
            continue;
        }
        if (blank)
            out += ' ';
        blank = false;
        out += c;
    }
    return out;
}

// The text between <tag ...> and </tag>, case-insensitive, or empty.
std::string Element(const std::string& html, const std::string& lowerHtml, const char* tag) {
    const std::string open = std::string("<") + tag;
    std::size_t at = lowerHtml.find(open);
    if (at == std::string::npos)
        return {};
    at = lowerHtml.find('>', at);
    const std::size_t end = lowerHtml.find(std::string("</") + tag, at);
    if (at == std::string::npos || end == std::string::npos)
        return {};
    return html.substr(at + 1, end - at - 1);
}

std::string DecodeEntities(const std::string& text) {
    static const std::pair<const char*, const char*> kEntities[] = {
        {"&amp;", "&"}, {"&lt;", "<"},   {"&gt;", ">"},  {"&quot;", "\""},
        {"&#39;", "'"}, {"&nbsp;", " "}, {"&apos;", "'"}};
    std::string out;
    for (std::size_t i = 0; i < text.size();) {
        bool replaced = false;
        if (text[i] == '&')
            for (const auto& [entity, value] : kEntities)
                if (text.compare(i, std::strlen(entity), entity) == 0) {
                    out += value;
                    i += std::strlen(entity);
                    replaced = true;
                    break;
                }
        if (!replaced)
            out += text[i++];
    }
    return out;
}

std::string StripTags(const std::string& html) {
    std::string lower = Lower(html);
    std::string out;
    std::size_t i = 0;
    while (i < html.size()) {
        if (html[i] != '<') {
            out += html[i++];
            continue;
        }
        // Scripts and styles hold no text for a reader.
        for (const char* skip : {"script", "style"}) {
            if (lower.compare(i + 1, std::strlen(skip), skip) == 0) {
                const std::size_t end = lower.find(std::string("</") + skip, i);
                i = end == std::string::npos ? html.size() : end;
                break;
            }
        }
        const std::size_t close = html.find('>', i);
        i = close == std::string::npos ? html.size() : close + 1;
        out += ' ';
    }
    return DecodeEntities(out);
}

std::string FormatOf(const std::string& extension) {
    static const std::map<std::string, std::string> kFormats = {
        {"txt", "Text"}, {"text", "Text"}, {"md", "Markdown"}, {"markdown", "Markdown"},
        {"htm", "HTML"}, {"html", "HTML"}, {"pdf", "PDF"},     {"csv", "CSV"},
        {"log", "Text"}, {"doc", "Word"},  {"docx", "Word"},   {"odt", "OpenDocument"}};
    auto it = kFormats.find(extension);
    if (it != kFormats.end())
        return it->second;
    std::string upper = extension;
    for (char& c : upper)
        if (c >= 'a' && c <= 'z')
            c = static_cast<char>(c - 'a' + 'A');
    return upper.empty() ? "File" : upper;
}

} // namespace

// The opening of a text, cut at a character boundary.
std::string Summary(const std::string& body) {
    std::size_t n = std::min<std::size_t>(body.size(), 160);
    while (n > 0 && n < body.size() && (static_cast<unsigned char>(body[n]) & 0xC0) == 0x80)
        --n;
    return body.substr(0, n);
}

Extracted ExtractText(const std::string& fileName, const std::string& bytes) {
    Extracted e;
    const std::string extension = Extension(fileName);
    e.format = FormatOf(extension);
    e.title = fileName;
    static const std::set<std::string> kText = {"txt", "text", "md", "markdown", "csv", "log"};
    const bool html = extension == "htm" || extension == "html";
    if (!html && !kText.count(extension))
        return e; // indexed by name only
    if (bytes.find('\0') != std::string::npos)
        return e; // binary after all
    const std::string text = AsUtf8(bytes.substr(0, kMaxTextBytes));
    e.textual = true;
    if (html) {
        const std::string lower = Lower(text);
        const std::string title = Collapse(DecodeEntities(Element(text, lower, "title")));
        if (!title.empty())
            e.title = title;
        // <meta name="author" content="...">
        const std::size_t meta = lower.find("name=\"author\"");
        if (meta != std::string::npos) {
            const std::size_t content = lower.find("content=\"", lower.rfind('<', meta));
            if (content != std::string::npos) {
                const std::size_t end = text.find('"', content + 9);
                if (end != std::string::npos)
                    e.author =
                        Collapse(DecodeEntities(text.substr(content + 9, end - content - 9)));
            }
        }
        e.body = Collapse(StripTags(text));
        return e;
    }
    std::string body = text;
    if (extension == "md" || extension == "markdown") {
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
        std::size_t line = 0;
        while (line < body.size()) {
            const std::size_t end = body.find('\n', line);
            const std::string row = body.substr(line, end == std::string::npos ? end : end - line);
            if (row.rfind("# ", 0) == 0) {
                e.title = Collapse(row.substr(2));
                break;
            }
            if (end == std::string::npos)
                break;
            line = end + 1;
        }
    }
    if (extension == "txt" || extension == "text") {
        // A short first line followed by more text reads as the title.
        const std::size_t start = body.find_first_not_of(" \t\r\n");
        const std::size_t end = start == std::string::npos ? start : body.find('\n', start);
        if (end != std::string::npos && end - start <= 80) {
            const std::string first = Collapse(body.substr(start, end - start));
            if (!first.empty() && body.find_first_not_of(" \t\r\n", end) != std::string::npos)
                e.title = first;
        }
    }
    e.body = Collapse(body);
    return e;
}

} // namespace zdxserver
