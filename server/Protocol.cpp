#include "Protocol.h"

#include "Query.h"

#include "text/Codepage.h"
#include "text/Numbers.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <filesystem>
#include <iconv.h>
#include <mutex>
#include <vector>

namespace zdxserver {

namespace {

// Latin-1 and ASCII letters folded to lower case, for file-name patterns.
char32_t Fold(char32_t c) {
    if ((c >= 'A' && c <= 'Z') || (c >= 0xC0 && c <= 0xDE && c != 0xD7))
        return c + 32;
    return c;
}

std::u32string Decode32(std::string_view utf8) {
    std::u32string out;
    for (std::size_t i = 0; i < utf8.size();) {
        const auto b = static_cast<unsigned char>(utf8[i]);
        char32_t c = b;
        int extra = b >= 0xF0 ? 3 : b >= 0xE0 ? 2 : b >= 0xC0 ? 1 : 0;
        if (extra)
            c = b & (0x3F >> extra);
        ++i;
        for (; extra > 0 && i < utf8.size(); --extra, ++i)
            c = (c << 6) | (static_cast<unsigned char>(utf8[i]) & 0x3F);
        out += Fold(c);
    }
    return out;
}

// The link field's escaping of a path's bytes; nullopt for a NUL.
std::optional<std::string> EscapeLinkBytes(std::string_view bytes) {
    std::string out;
    for (char c : bytes) {
        const auto b = static_cast<unsigned char>(c);
        if (b == 0)
            return std::nullopt;
        if (std::isalnum(b) && b < 0x80) {
            out += c;
            continue;
        }
        switch (b) {
        case ' ':
        case '/':
        case '\\':
        case '.':
        case '-':
        case '_':
        case '~':
        case ':':
            out += c;
            break;
        default:
            AppendPercentEscape(out, b);
        }
    }
    return out;
}
} // namespace

std::optional<std::string> Params::GetRaw(std::string_view name) const {
    for (std::size_t i = 0; i < items.size(); ++i)
        if (items[i].first == name)
            return raw[i];
    return std::nullopt;
}

std::optional<std::string> Params::Get(std::string_view name) const {
    for (const auto& [key, value] : items)
        if (key == name)
            return value;
    return std::nullopt;
}

std::string PercentDecodeOnce(std::string_view text) {
    return PercentDecode(text);
}

Params ParseTarget(std::string_view target, std::size_t maxParams) {
    Params params;
    const std::size_t question = target.find('?');
    if (question == std::string_view::npos)
        return params;
    std::string_view rest = target.substr(question + 1);
    while (!rest.empty() && params.items.size() < maxParams) {
        const std::size_t amp = rest.find('&');
        const std::string_view item = rest.substr(0, amp);
        rest = amp == std::string_view::npos ? std::string_view() : rest.substr(amp + 1);
        if (item.empty())
            continue;
        const std::size_t eq = item.find('=');
        const std::string_view value =
            eq == std::string_view::npos ? std::string_view() : item.substr(eq + 1);
        params.items.emplace_back(PercentDecodeOnce(item.substr(0, eq)), PercentDecodeOnce(value));
        params.raw.emplace_back(value);
    }
    return params;
}

Charset CharsetOf(const Params& params) {
    const auto charset = params.Get("charset");
    return charset && (*charset == "utf-8" || *charset == "UTF-8") ? Charset::Utf8
                                                                   : Charset::Windows1252;
}

std::string ClientText(std::string_view bytes, Charset charset) {
    if (charset == Charset::Utf8 && IsValidUtf8(bytes))
        return std::string(bytes);
    return Cp1252ToUtf8(bytes);
}

std::string DecodeQueryText(std::string_view raw, Charset charset) {
    // The request line carries the line break of a soft break escaped (%0D%0A), or raw.
    auto softBreak = [&raw](std::size_t i) -> std::size_t {
        if (raw[i] != '=')
            return 0;
        if (raw.compare(i + 1, 2, "\r\n") == 0)
            return 3;
        if (raw.size() >= i + 7 && raw[i + 1] == '%' && raw[i + 2] == '0' &&
            (raw[i + 3] == 'D' || raw[i + 3] == 'd') && raw[i + 4] == '%' && raw[i + 5] == '0' &&
            (raw[i + 6] == 'A' || raw[i + 6] == 'a'))
            return 7;
        return 0;
    };
    std::string unbroken;
    unbroken.reserve(raw.size());
    for (std::size_t i = 0; i < raw.size();) {
        if (const std::size_t skip = softBreak(i)) {
            i += skip;
            continue;
        }
        unbroken += raw[i++];
    }
    return ClientText(PercentDecodeOnce(unbroken), charset);
}

std::string FtsExpression(std::string_view query) {
    const ParsedQuery parsed = ParseQuery(query);
    return parsed.root ? FtsSyntax(*parsed.root) : std::string();
}

std::optional<std::string> PathUnderRoot(const std::string& root, std::string_view relative) {
    if (relative.empty() || relative.front() == '/' ||
        std::any_of(relative.begin(), relative.end(),
                    [](char c) { return static_cast<unsigned char>(c) < 0x20 || c == 0x7F; }))
        return std::nullopt;
    // Each component as it stands: none empty, none hidden (".", ".." and dot files included),
    // so that nothing the scan leaves out can be named, and nothing steps out of the root.
    for (std::size_t from = 0; from <= relative.size();) {
        const std::size_t slash = std::min(relative.find('/', from), relative.size());
        const std::string_view part = relative.substr(from, slash - from);
        if (part.empty() || part.front() == '.')
            return std::nullopt;
        from = slash + 1;
    }
    return root + "/" + std::string(relative);
}

bool MatchFileName(std::string_view pattern, std::string_view name) {
    const std::u32string p = Decode32(pattern), n = Decode32(name);
    // Iterative wildcard matching with one backtrack point: linear in practice, never
    // exponential.
    std::size_t pi = 0, ni = 0, star = std::u32string::npos, mark = 0;
    while (ni < n.size()) {
        if (pi < p.size() && (p[pi] == U'?' || p[pi] == n[ni])) {
            ++pi;
            ++ni;
        } else if (pi < p.size() && p[pi] == U'*') {
            star = pi++;
            mark = ni;
        } else if (star != std::u32string::npos) {
            pi = star + 1;
            ni = ++mark;
        } else {
            return false;
        }
    }
    while (pi < p.size() && p[pi] == U'*')
        ++pi;
    return pi == p.size();
}

namespace {

// PageField's bytes appended to `out`. Printable ASCII but '|' is the same in Windows-1252
// and UTF-8 and needs no change: most fields are, and are appended as they stand.
void AppendPageField(std::string& out, std::string_view utf8, Charset charset) {
    if (std::all_of(utf8.begin(), utf8.end(),
                    [](char c) { return c >= 0x20 && c < 0x7f && c != '|'; })) {
        out += utf8;
        return;
    }
    std::string text(utf8);
    for (char& c : text) {
        if (c == '|')
            c = '/';
        else if (c == '\n' || c == '\r' || c == '\t' || c == '\f')
            c = ' ';
    }
    out += charset == Charset::Utf8 ? text : Utf8ToCp1252(text);
}

} // namespace

std::string PageField(std::string_view utf8, Charset charset) {
    std::string field;
    AppendPageField(field, utf8, charset);
    return field;
}

std::optional<std::string> EscapeLink(std::string_view utf8, Charset charset) {
    // Code page 850 holds ASCII as it is: most paths need no conversion.
    if (charset == Charset::Utf8 ||
        std::all_of(utf8.begin(), utf8.end(), [](char c) { return (c & 0x80) == 0; }))
        return EscapeLinkBytes(utf8);
    static std::mutex mutex;
    std::lock_guard<std::mutex> lock(mutex);
    static iconv_t cd = iconv_open("IBM850", "UTF-8");
    if (cd == reinterpret_cast<iconv_t>(-1))
        return std::nullopt;
    iconv(cd, nullptr, nullptr, nullptr, nullptr);
    std::string in(utf8);
    std::string bytes(in.size() * 2 + 4, '\0');
    char* inPtr = in.data();
    char* outPtr = bytes.data();
    std::size_t inLeft = in.size(), outLeft = bytes.size();
    if (iconv(cd, &inPtr, &inLeft, &outPtr, &outLeft) == static_cast<std::size_t>(-1))
        return std::nullopt;
    bytes.resize(bytes.size() - outLeft);
    return EscapeLinkBytes(bytes);
}

std::string SummaryLine(int code, std::int64_t found, const std::string& user, Charset charset) {
    return std::to_string(code) + "|" + std::to_string(found) + "|" + (user.empty() ? "0" : "1") +
           "||" + PageField(user, charset) + "\n";
}

std::string FailureLine(const std::string& message) {
    return "-3|" + PageField(message) + "\n";
}

void AppendHitLine(std::string& out, int number, const Hit& hit, Charset charset) {
    out += std::to_string(number);
    for (const std::string* field : {&hit.title, static_cast<const std::string*>(nullptr),
                                     &hit.description, &hit.date, &hit.format, &hit.indexName}) {
        out += '|';
        if (field)
            AppendPageField(out, *field, charset);
        else
            out += std::to_string(hit.relevance);
    }
    out += "|||";    // fields 7 and 8 are not used
    out += hit.link; // already escaped
    out += '|';
    AppendPageField(out, hit.author, charset);
    out += '|';
    out += std::to_string(hit.size);
    if (!hit.matches.empty()) {
        std::string words;
        for (const std::string& w : hit.matches)
            words += (words.empty() ? "" : " ") + w;
        out += '|';
        AppendPageField(out, words, charset);
    }
    out += '\n';
}

std::string HitLine(int number, const Hit& hit, Charset charset) {
    std::string line;
    AppendHitLine(line, number, hit, charset);
    return line;
}

} // namespace zdxserver

namespace zdxserver {

RangeRequest ParseRanges(std::string_view header, std::uint64_t size) {
    RangeRequest whole;
    const std::size_t equals = header.find('=');
    if (equals == std::string_view::npos || header.substr(0, equals) != "bytes")
        return whole;
    std::vector<std::pair<std::uint64_t, std::uint64_t>> ranges;
    std::string_view rest = header.substr(equals + 1);
    std::size_t count = 0;
    while (!rest.empty()) {
        const std::size_t comma = rest.find(',');
        std::string_view range = rest.substr(0, comma);
        rest = comma == std::string_view::npos ? std::string_view() : rest.substr(comma + 1);
        while (!range.empty() && range.front() == ' ')
            range.remove_prefix(1);
        while (!range.empty() && range.back() == ' ')
            range.remove_suffix(1);
        const std::size_t dash = range.find('-');
        if (dash == std::string_view::npos || ++count > 100)
            return whole;
        auto number = [](std::string_view text, std::uint64_t& value) {
            const auto [end, error] =
                std::from_chars(text.data(), text.data() + text.size(), value);
            return !text.empty() && error == std::errc() && end == text.data() + text.size();
        };
        std::uint64_t first = 0, last = 0;
        const std::string_view from = range.substr(0, dash), to = range.substr(dash + 1);
        if (from.empty()) { // the last N bytes
            if (!number(to, last))
                return whole;
            if (last == 0 || size == 0)
                continue;
            first = size - std::min(size, last);
            last = size - 1;
        } else {
            if (!number(from, first))
                return whole;
            if (to.empty())
                last = UINT64_MAX; // to the end
            else if (!number(to, last) || last < first)
                return whole;
            if (first >= size)
                continue; // past the end: not satisfiable on its own
            last = std::min(last, size - 1);
        }
        ranges.emplace_back(first, last);
    }
    if (ranges.empty())
        return {RangeRequest::Kind::Unsatisfiable, {}};
    std::sort(ranges.begin(), ranges.end());
    std::vector<std::pair<std::uint64_t, std::uint64_t>> merged;
    for (const auto& range : ranges) {
        if (!merged.empty() && range.first <= merged.back().second + 1)
            merged.back().second = std::max(merged.back().second, range.second);
        else
            merged.push_back(range);
    }
    if (merged.size() > kMaxRanges)
        return whole;
    return {RangeRequest::Kind::Ranges, std::move(merged)};
}

} // namespace zdxserver
