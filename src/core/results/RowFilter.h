#pragma once
// Narrowing loaded hits without asking the service again: a row is shown when each typed word
// occurs in one of its cells, letters compared without case as the sort compares them (A-Z
// folded, other characters as they are).
#include "results/ResultTable.h"

#include <string>
#include <string_view>
#include <vector>

// The words of a filter text, split at blanks, A-Z folded to a-z; none for a blank text.
std::vector<std::string> FilterWords(std::string_view text);

// True when every word occurs in a cell of the row, or in its title when `withTitle` is set (the
// styles that show each hit's title); true for no words.
bool RowMatches(const ResultTable& table, std::size_t row, const std::vector<std::string>& words,
                bool withTitle = false);
