#include "text/Highlight.h"

#include <algorithm>

namespace {

bool IsWordByte(unsigned char b) {
    return b >= 0x80 || (b >= '0' && b <= '9') || (b >= 'a' && b <= 'z') || (b >= 'A' && b <= 'Z');
}

} // namespace

std::vector<TextSpan> MatchSpans(std::string_view text, std::string_view words) {
    std::vector<TextSpan> spans;
    for (std::size_t at = 0; at < words.size();) {
        const std::size_t end = std::min(words.find(' ', at), words.size());
        const std::string_view word = words.substr(at, end - at);
        at = end + 1;
        if (word.empty())
            continue;
        // Characters from U+2000 on (three and four bytes in UTF-8) stand alone.
        const bool alone = static_cast<unsigned char>(word.front()) >= 0xE2;
        for (std::size_t from = text.find(word); from != std::string_view::npos;
             from = text.find(word, from + 1)) {
            const std::size_t to = from + word.size();
            const bool bounded =
                alone || ((from == 0 || !IsWordByte(static_cast<unsigned char>(text[from - 1]))) &&
                          (to == text.size() || !IsWordByte(static_cast<unsigned char>(text[to]))));
            if (bounded)
                spans.push_back({from, to});
        }
    }
    std::sort(spans.begin(), spans.end(),
              [](const TextSpan& a, const TextSpan& b) { return a.begin < b.begin; });
    // Overlapping places (a word inside another) become one.
    std::vector<TextSpan> merged;
    for (const TextSpan& s : spans) {
        if (!merged.empty() && s.begin < merged.back().end)
            merged.back().end = std::max(merged.back().end, s.end);
        else
            merged.push_back(s);
    }
    return merged;
}
