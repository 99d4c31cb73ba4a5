#include "results/RowFilter.h"

namespace {

char Fold(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

// True when the folded `word` occurs in `text`, whose letters are folded as they are read.
bool ContainsFolded(std::string_view text, std::string_view word) {
    if (word.size() > text.size())
        return false;
    const char first = word[0];
    for (std::size_t i = 0; i + word.size() <= text.size(); ++i) {
        if (Fold(text[i]) != first)
            continue;
        std::size_t k = 1;
        while (k < word.size() && Fold(text[i + k]) == word[k])
            ++k;
        if (k == word.size())
            return true;
    }
    return false;
}

} // namespace

std::vector<std::string> FilterWords(std::string_view text) {
    std::vector<std::string> words;
    std::size_t i = 0;
    while (i < text.size()) {
        while (i < text.size() && (text[i] == ' ' || text[i] == '\t'))
            ++i;
        std::string word;
        while (i < text.size() && text[i] != ' ' && text[i] != '\t')
            word += Fold(text[i++]);
        if (!word.empty())
            words.push_back(std::move(word));
    }
    return words;
}

bool RowMatches(const ResultTable& table, std::size_t row, const std::vector<std::string>& words,
                bool withTitle) {
    const int columns = table.Layout().columns;
    for (const std::string& word : words) {
        bool found = withTitle && ContainsFolded(table.Title(row), word);
        for (int c = 0; c < columns && !found; ++c)
            found = ContainsFolded(table.Cell(row, c), word);
        if (!found)
            return false;
    }
    return true;
}
