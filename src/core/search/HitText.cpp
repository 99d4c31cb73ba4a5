#include "search/HitText.h"

#include "net/FetchPage.h"
#include "text/Codepage.h"
#include "text/Highlight.h"
#include "text/Numbers.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// The same letters, ASCII case aside.
bool SameLetter(char a, char b) {
    return std::tolower(static_cast<unsigned char>(a)) ==
           std::tolower(static_cast<unsigned char>(b));
}

// A header's value in the answer's head, or nothing.
std::string HeaderValue(std::string_view head, std::string_view name) {
    for (std::size_t at = 0; at < head.size();) {
        const std::size_t end = std::min(head.find('\n', at), head.size());
        std::string_view line = head.substr(at, end - at);
        at = end + 1;
        if (!line.empty() && line.back() == '\r')
            line.remove_suffix(1);
        if (line.size() > name.size() && line[name.size()] == ':' &&
            std::equal(name.begin(), name.end(), line.begin(), SameLetter)) {
            line.remove_prefix(name.size() + 1);
            while (!line.empty() && line.front() == ' ')
                line.remove_prefix(1);
            return std::string(line);
        }
    }
    return {};
}

// Takes the text route's answer whole, up to the preview's bytes.
class TextReader : public PageReader {
public:
    explicit TextReader(const CancelToken* cancel) : m_cancel(cancel) {}
    void ClearTips() override {}
    int ParseResultLine(std::string_view) override { return 1; }
    bool TakesRawBody() const override { return true; }
    void TakeHead(std::string_view head) override {
        const std::string words = HeaderValue(head, "X-Zdx-Matches");
        for (std::size_t at = 0; at < words.size();) {
            const std::size_t end = std::min(words.find(' ', at), words.size());
            if (end > at)
                result.matches.push_back(PercentDecode(words.substr(at, end - at)));
            at = end + 1;
        }
        result.cut = !HeaderValue(head, "X-Zdx-Text-Range").empty();
    }
    bool TakeBody(std::string_view bytes) override {
        if (m_cancel && m_cancel->Cancelled())
            return false;
        const std::size_t room = kMaxPreviewBytes - result.text.size();
        result.text.append(bytes.substr(0, room));
        if (bytes.size() > room) {
            result.cut = true;
            return false;
        }
        return true;
    }

    HitText result;

private:
    const CancelToken* m_cancel;
};

bool EndsWith(std::string_view text, std::string_view end) {
    if (text.size() < end.size())
        return false;
    return std::equal(end.begin(), end.end(), text.end() - static_cast<std::ptrdiff_t>(end.size()),
                      SameLetter);
}

bool IsUrl(std::string_view link) {
    return link.rfind("http://", 0) == 0 || link.rfind("https://", 0) == 0;
}

// A local file the preview reads itself: text, Markdown or HTML, by its name.
bool ReadsLocally(const std::string& link) {
    if (IsUrl(link) || link.empty() || link.front() != '/')
        return false;
    for (const char* end : {".txt", ".text", ".md", ".markdown", ".html", ".htm", ".log", ".csv"})
        if (EndsWith(link, end))
            return true;
    return false;
}

HitText ReadLocal(const std::string& path) {
    HitText hit;
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    struct stat info {};
    if (fd < 0 || fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        if (fd >= 0)
            close(fd);
        hit.problem = "the file cannot be read";
        return hit;
    }
    std::string bytes(
        std::min<std::size_t>(static_cast<std::size_t>(info.st_size), kMaxPreviewBytes), '\0');
    std::size_t got = 0;
    while (got < bytes.size()) {
        const ssize_t n = read(fd, bytes.data() + got, bytes.size() - got);
        if (n <= 0)
            break;
        got += static_cast<std::size_t>(n);
    }
    close(fd);
    bytes.resize(got);
    hit.cut = static_cast<std::size_t>(info.st_size) > got;
    // Text that is not UTF-8 is read as Windows-1252, as the service reads it; a character
    // cut at the end is left out.
    std::size_t whole = bytes.size();
    while (whole > 0 && whole + 4 > bytes.size() &&
           !IsValidUtf8(std::string_view(bytes).substr(0, whole)))
        --whole;
    hit.text = IsValidUtf8(std::string_view(bytes).substr(0, whole)) ? bytes.substr(0, whole)
                                                                     : Cp1252ToUtf8(bytes);
    if (EndsWith(path, ".html") || EndsWith(path, ".htm"))
        hit.text = HtmlAsText(hit.text);
    hit.ok = true;
    return hit;
}

} // namespace

std::string TextRoutePath(const std::string& link, const std::string& query,
                          const ConnectionSettings&) {
    std::string path;
    const std::size_t files = link.find("/zdx-files/");
    if (IsUrl(link) && files != std::string::npos)
        path = "zdx-text/" + link.substr(files + 11) + "?";
    else
        path = "zdx-text/?path=" + UrlEscapePath(link) + "&";
    path += "charset=utf-8";
    if (!query.empty())
        path += "&query0=" + UrlEscapePath(query);
    return path;
}

HitText FetchHitText(const std::string& link, const std::string& query, const Settings& settings,
                     const RequestControl& control, const std::string& hitMatches) {
    if (ReadsLocally(link)) {
        HitText local = ReadLocal(link);
        if (local.ok) {
            // The words the service named for the hit, and the query's own words (as typed and
            // capitalised), leaving out the operators and what is excluded.
            std::string words = hitMatches;
            for (std::size_t at = 0; at < query.size();) {
                while (at < query.size() && !std::isalnum(static_cast<unsigned char>(query[at])) &&
                       static_cast<unsigned char>(query[at]) < 0x80 && query[at] != '-')
                    ++at;
                const bool excluded = at < query.size() && query[at] == '-';
                const std::size_t start = at;
                while (at < query.size() &&
                       (std::isalnum(static_cast<unsigned char>(query[at])) ||
                        static_cast<unsigned char>(query[at]) >= 0x80 || query[at] == '-'))
                    ++at;
                std::string w = query.substr(start, at - start);
                if (excluded || w.empty() || w == "OR" || w == "NOT" || w == "AND")
                    continue;
                std::string capital = w;
                capital[0] = static_cast<char>(std::toupper(static_cast<unsigned char>(w[0])));
                words += " " + w + " " + capital;
            }
            for (std::size_t at = 0; at < words.size();) {
                const std::size_t end = std::min(words.find(' ', at), words.size());
                const std::string w = words.substr(at, end - at);
                if (!w.empty() &&
                    std::find(local.matches.begin(), local.matches.end(), w) == local.matches.end())
                    local.matches.push_back(w);
                at = end + 1;
            }
            return local;
        }
    }
    TextReader reader(control.cancel);
    const int status = FetchPage(MakeFetchOptions(settings.connection, control, nullptr),
                                 TextRoutePath(link, query, settings.connection), &reader);
    HitText& hit = reader.result;
    hit.ok = status == 200;
    if (status == 404)
        hit.problem = "the service holds no text for this file";
    else if (status == 401)
        hit.problem = "please sign in first";
    else if (status == kFetchCancelled)
        hit.problem = "the request was cancelled";
    else if (!hit.ok)
        hit.problem = "the service answered " + std::to_string(status);
    return hit;
}

PreviewMarks MarkPreview(std::string_view text, const std::vector<std::string>& words) {
    PreviewMarks marks;
    for (std::size_t at = text.find('\f'); at != std::string_view::npos;
         at = text.find('\f', at + 1))
        marks.pageStarts.push_back(at + 1);
    for (std::size_t w = 0; w < words.size(); ++w)
        for (const TextSpan& s : MatchSpans(text, words[w]))
            marks.places.push_back({s.begin, s.end, w});
    std::sort(marks.places.begin(), marks.places.end(),
              [](const auto& a, const auto& b) { return a.begin < b.begin; });
    // A place inside another (a word that holds another) is left out.
    std::vector<PreviewMarks::Place> apart;
    for (const auto& p : marks.places)
        if (apart.empty() || p.begin >= apart.back().end)
            apart.push_back(p);
    if (apart.size() > kMaxPreviewMarks)
        apart.resize(kMaxPreviewMarks);
    marks.places = std::move(apart);
    return marks;
}

void BreakLongLines(std::string& text, std::size_t most) {
    std::size_t lineStart = 0, lastBlank = std::string::npos;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c == '\n' || c == '\f') {
            lineStart = i + 1;
            lastBlank = std::string::npos;
            continue;
        }
        if (i - lineStart >= most && lastBlank != std::string::npos) {
            text[lastBlank] = '\n';
            lineStart = lastBlank + 1;
            lastBlank = std::string::npos;
        }
        if (c == ' ' || c == '\t')
            lastBlank = i;
    }
}

std::vector<std::string> PageViewerCommand(std::string_view viewer, const std::string& path,
                                           int page) {
    std::string name(viewer), extension = path.substr(std::min(path.size(), path.rfind('.')));
    for (std::string* text : {&name, &extension})
        for (char& c : *text)
            c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    const std::string number = std::to_string(std::max(1, page));
    if (extension != ".pdf")
        return {};
    // Evince's -p is the page's label, which front matter numbered i, ii, ... makes differ
    // from its place; --page-index is the place.
    if (name.find("evince") != std::string::npos)
        return {"evince", "--page-index=" + number, path};
    if (name.find("okular") != std::string::npos)
        return {"okular", "-p", number, path};
    return {};
}

std::string HtmlAsText(std::string_view html) {
    std::string out;
    out.reserve(html.size());
    for (std::size_t i = 0; i < html.size();) {
        if (html[i] == '<') {
            // Scripts and styles go with their content.
            for (const char* skipped : {"script", "style"}) {
                const std::string open = std::string("<") + skipped;
                if (html.size() - i >= open.size() &&
                    std::equal(open.begin(), open.end(),
                               html.begin() + static_cast<std::ptrdiff_t>(i), [](char a, char b) {
                                   return a == std::tolower(static_cast<unsigned char>(b));
                               })) {
                    const std::size_t close = html.find(std::string("</") + skipped, i);
                    i = close == std::string_view::npos ? html.size() : close;
                }
            }
            const std::size_t end = html.find('>', i);
            i = end == std::string_view::npos ? html.size() : end + 1;
            if (out.empty() || out.back() != ' ')
                out += ' ';
            continue;
        }
        if (html[i] == '&') {
            const std::size_t semi = html.find(';', i);
            const std::string_view entity =
                semi == std::string_view::npos ? std::string_view() : html.substr(i, semi - i + 1);
            const char* plain = entity == "&amp;"    ? "&"
                                : entity == "&lt;"   ? "<"
                                : entity == "&gt;"   ? ">"
                                : entity == "&quot;" ? "\""
                                : entity == "&nbsp;" ? " "
                                : entity == "&#39;"  ? "'"
                                                     : nullptr;
            if (plain) {
                out += plain;
                i = semi + 1;
                continue;
            }
        }
        out += html[i++];
    }
    return out;
}
