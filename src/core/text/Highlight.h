#pragma once
// Where a text holds the words a search matched, so that they can be shown in bold: the service
// names the words as the text holds them (after the hit's twelve fields), and each is found
// here as a whole word.
#include <cstddef>
#include <string_view>
#include <vector>

struct TextSpan {
    std::size_t begin = 0, end = 0; // bytes of the text
    bool operator==(const TextSpan&) const = default;
};

// The places of the blank-separated `words` in `text`, in order and apart. A word matches where
// no letter or digit stands right before or after it, except a character that is a word of its
// own (CJK, symbols), which matches wherever it stands.
std::vector<TextSpan> MatchSpans(std::string_view text, std::string_view words);
