#include "search/ResultPage.h"

#include "text/Codepage.h"
#include "text/Numbers.h"
#include "text/StringTable.h"

#include <climits>
#include <cstdint>

namespace {

constexpr std::size_t kMaxNamePartChars = 255;

// The (at most two) characters after a '%', read the way strtol reads them in base 16: leading
// white space, an optional sign, then hex digits; no digits give 0. A 0x prefix would need a
// digit after it, which two characters cannot hold, so "0x" reads as 0 like any other stop.
int EscapeValue(std::string_view s) {
    std::size_t i = 0;
    const bool negative = SkipSpaceAndSign(s, i);
    int value = 0;
    for (; i < s.size() && HexDigit(s[i]) >= 0; ++i)
        value = value * 16 + HexDigit(s[i]);
    return negative ? -value : value;
}

// Splits a line at '|' into at most kMaxLineFields fields; a trailing bar adds no empty field.
int SplitFields(std::string_view line, std::array<std::string_view, kMaxLineFields>& fields) {
    int count = 0;
    std::size_t start = 0;
    while (count < kMaxLineFields) {
        const std::size_t bar = line.find('|', start);
        if (bar == std::string_view::npos) {
            if (start < line.size())
                fields[count++] = line.substr(start);
            break;
        }
        fields[count++] = line.substr(start, bar - start);
        start = bar + 1;
    }
    return count;
}

// A text field as UTF-8; on a UTF-8 page, bytes that are not UTF-8 are read as Windows-1252.
std::string PageText(std::string_view field, PageCharset charset) {
    if (charset == PageCharset::Utf8 && IsValidUtf8(field))
        return std::string(field);
    return Cp1252ToUtf8(field);
}

void ReportUser(const std::array<std::string_view, kMaxLineFields>& f, ResultSink& sink,
                PageCharset charset) {
    sink.SetSignedInUser(ReadLeadingInt(f[2]) > 0 ? PageText(f[4], charset) : std::string());
}

} // namespace

std::string DecodeField(std::string_view text, PageCharset charset) {
    std::string unbroken;
    if (text.find("=\r\n") != std::string_view::npos) {
        unbroken.reserve(text.size());
        for (std::size_t i = 0; i < text.size();) {
            if (text.compare(i, 3, "=\r\n") == 0) {
                i += 3;
                continue;
            }
            unbroken += text[i++];
        }
        text = unbroken;
    }
    std::string bytes;
    bytes.reserve(text.size());
    for (std::size_t i = 0; i < text.size();) {
        const std::size_t plain = text.find_first_of(std::string_view("%\0", 2), i);
        if (plain != i) {
            const std::size_t end = plain == std::string_view::npos ? text.size() : plain;
            bytes.append(text.substr(i, end - i));
            i = end;
            continue;
        }
        if (text[i] == '\0')
            break; // the text ends at a 0 byte
        const std::string_view escape = text.substr(i + 1, 2);
        const char c = static_cast<char>(EscapeValue(escape) & 0xFF);
        i += 1 + escape.size();
        if (c == '\0')
            break;
        bytes += c;
    }
    if (charset == PageCharset::Utf8 && IsValidUtf8(bytes))
        return bytes;
    return Ibm850ToUtf8(bytes);
}

std::string FilenameOf(std::string_view link) {
    // A drive prefix: the second character is a colon.
    const std::size_t first = Utf8PrefixBytes(link, 1);
    if (first < link.size() && link[first] == ':')
        link.remove_prefix(first + 1);
    const std::size_t slash = link.find_last_of("/\\");
    if (slash != std::string_view::npos)
        link.remove_prefix(slash + 1);
    const std::size_t dot = link.rfind('.');
    std::string_view name = link.substr(0, dot);
    std::string_view ext = dot == std::string_view::npos ? std::string_view() : link.substr(dot);
    name = name.substr(0, Utf8PrefixBytes(name, kMaxNamePartChars));
    ext = ext.substr(0, Utf8PrefixBytes(ext, kMaxNamePartChars));
    return std::string(name).append(ext);
}

int ParseResultLine(std::string_view line, ResultSink& sink, PageCharset charset) {
    if (line.empty() || line == "<html>" || line.front() == '|') {
        sink.SetHitCount(0);
        return 0;
    }
    std::array<std::string_view, kMaxLineFields> f{};
    SplitFields(line, f);
    const int code = ReadLeadingInt(f[0]);
    switch (code) {
    case 0:
        sink.SetHitCount(ReadLeadingInt(f[1]));
        ReportUser(f, sink, charset);
        return 1;
    case -1:
        sink.SetHitCount(0);
        ReportUser(f, sink, charset);
        return 1;
    case -2:
        sink.SetHitCount(0);
        return 1;
    case -3:
        sink.SetHitCount(0);
        sink.ShowMessage(PageText(f[1], charset));
        return 1;
    default:
        break;
    }

    HitRow hit;
    hit.number = code;
    const std::string link = DecodeField(f[9], charset);
    hit.fields[kTitle] = PageText(f[1], charset);
    hit.fields[kRelevance] = PageText(f[2], charset);
    hit.fields[kFilename] = FilenameOf(link);
    hit.fields[kDescription] = PageText(f[3], charset);
    hit.fields[kDate] = PageText(f[4], charset);
    hit.fields[kFormat] = PageText(f[5], charset);
    hit.fields[kLink] = link;
    hit.fields[kAuthor] = PageText(f[10], charset);
    hit.matches = PageText(f[12], charset); // the service's words of the query, when it names them

    const std::string further = PageText(f[6], charset);
    const std::string size = PageText(f[11], charset);
    std::string& tip = hit.tip;
    tip.reserve(hit.fields[kDescription].size() + hit.fields[kDate].size() +
                hit.fields[kFormat].size() + further.size() + size.size() + link.size() + 20);
    tip.append(hit.fields[kDescription]).append("\r\n");
    tip.append(hit.fields[kDate]).append("\r\n");
    tip.append(hit.fields[kFormat]).append("\r\n");
    tip.append(further).append("\r\n");
    static const std::string bytesSuffix = Text(TextId::Bytes);
    tip.append(size).append(bytesSuffix).append("\r\n");
    tip.append(link);
    sink.AppendHit(std::move(hit));
    return 1;
}
