#pragma once
// A search kept as a document (a .zdxsearch file): what the form held, how the list was sorted
// and refined. The file is a small INI text in UTF-8:
//   [Search]
//   Query=budget review
//   Filename=*.pdf
//   Indexes=0 2
//   Date=month
//   SortColumn=1
//   SortOrder=descending
//   Refine=march
#include "search/QueryText.h"

#include <optional>
#include <string>
#include <string_view>

struct SavedSearch {
    SearchRequest form;
    int sortColumn = -1; // none
    bool sortAscending = true;
    std::string refine;
};

std::string FormatSavedSearch(const SavedSearch& search);
// The search a file's text holds; an empty text (as older versions saved) is an empty search;
// nothing when the text is not a saved search.
std::optional<SavedSearch> ParseSavedSearch(std::string_view text);

// The zdx-query command line that runs the same search, each argument quoted for a POSIX shell.
std::string SearchAsCommand(const SearchRequest& form);
