#pragma once
// zdx-query's output of the result rows: tab-separated values with a heading line, or one JSON
// object per hit.
#include "results/ResultTable.h"

#include <string>
#include <vector>

// TSV: the headings, then one line per row; tab, CR and LF inside a cell become a blank.
std::string FormatTsv(const ResultTable& table, const std::vector<std::string>& headings);

// JSON lines: the headings as keys ("column<i>" where a heading is empty or repeated), plus
// "hit" (the hit number) and "tip" (the tip text).
std::string FormatJson(const ResultTable& table, const std::vector<std::string>& headings);

// A JSON string literal for UTF-8 text.
std::string JsonString(std::string_view text);
