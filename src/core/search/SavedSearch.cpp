#include "search/SavedSearch.h"

#include <charconv>

namespace {

// A value on one line: line breaks become blanks.
std::string OneLine(std::string text) {
    for (char& c : text)
        if (c == '\n' || c == '\r')
            c = ' ';
    return text;
}

int Number(std::string_view text, int fallback) {
    int value = fallback;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    return error == std::errc() && end == text.data() + text.size() ? value : fallback;
}

std::string ShellQuoted(const std::string& text) {
    std::string out = "'";
    for (char c : text)
        out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return out + "'";
}

} // namespace

std::string FormatSavedSearch(const SavedSearch& search) {
    std::string text = "[Search]\nQuery=" + OneLine(search.form.query) +
                       "\nFilename=" + OneLine(search.form.filename) + "\nIndexes=";
    bool first = true;
    for (int i = 0; i < kIndexBoxes; ++i)
        if (search.form.ticked[i]) {
            text += (first ? "" : " ") + std::to_string(i);
            first = false;
        }
    text += "\nDate=";
    for (const DateRange& range : kDateRanges)
        if (range.seconds == search.form.dateSeconds)
            text += range.word;
    text += "\nSortColumn=" + std::to_string(search.sortColumn) +
            "\nSortOrder=" + (search.sortAscending ? "ascending" : "descending") +
            "\nRefine=" + OneLine(search.refine) + "\n";
    return text;
}

std::optional<SavedSearch> ParseSavedSearch(std::string_view text) {
    SavedSearch search;
    // Older versions saved nothing at all: an empty search. Any other text without the section
    // is not a saved search.
    const bool blank = text.find_first_not_of(" \t\r\n") == std::string_view::npos;
    bool inSection = false, sawSection = false;
    while (!text.empty()) {
        const std::size_t end = text.find('\n');
        std::string_view line = text.substr(0, end);
        text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
        if (!line.empty() && line.back() == '\r')
            line.remove_suffix(1);
        if (line.empty() || line.front() == ';' || line.front() == '#')
            continue;
        if (line.front() == '[') {
            inSection = line == "[Search]";
            sawSection = sawSection || inSection;
            continue;
        }
        const std::size_t equals = line.find('=');
        if (!inSection || equals == std::string_view::npos)
            continue;
        const std::string_view key = line.substr(0, equals), value = line.substr(equals + 1);
        if (key == "Query")
            search.form.query = value;
        else if (key == "Filename")
            search.form.filename = value;
        else if (key == "Refine")
            search.refine = value;
        else if (key == "SortColumn")
            search.sortColumn = Number(value, -1);
        else if (key == "SortOrder")
            search.sortAscending = value != "descending";
        else if (key == "Date")
            for (const DateRange& range : kDateRanges)
                if (value == range.word)
                    search.form.dateSeconds = range.seconds;
        if (key == "Indexes")
            for (char c : value)
                if (c >= '0' && c < '0' + kIndexBoxes)
                    search.form.ticked[c - '0'] = true;
    }
    if (!sawSection && !blank)
        return std::nullopt;
    return search;
}

std::string SearchAsCommand(const SearchRequest& form) {
    std::string command = "zdx-query";
    for (int i = 0; i < kIndexBoxes; ++i)
        if (form.ticked[i])
            command += " --index " + std::to_string(i);
    for (const DateRange& range : kDateRanges)
        if (range.seconds == form.dateSeconds && range.seconds != 0)
            command += std::string(" --date ") + range.word;
    if (!form.filename.empty())
        command += " --filename " + ShellQuoted(form.filename);
    if (!form.query.empty())
        command += " -- " + ShellQuoted(form.query);
    return command;
}
