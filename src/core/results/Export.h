#pragma once
// Writing the shown hits to a file: the shown columns with their headings, as CSV (RFC 4180,
// UTF-8) or as tab-separated values.
#include "results/ResultTable.h"

#include <cstdint>
#include <string>
#include <vector>

enum class ExportFormat { Csv, Tsv };

// The rows (table rows, in the order given) and headings as the format writes them. CSV: a
// field holding a comma, quote, CR or LF is quoted, quotes doubled, lines end in CR LF. TSV:
// tabs and line breaks inside a cell become blanks, lines end in LF.
std::string FormatExport(const ResultTable& table, const std::vector<std::uint32_t>& rows,
                         const std::vector<std::string>& headings, ExportFormat format);

// Appends a TSV cell: tabs and line breaks inside it become blanks.
void AppendTsvField(std::string& out, std::string_view text);

// Writes the export to `path` whole or not at all. False with the reason in `error`.
bool WriteExport(const std::string& path, const std::string& bytes, std::string& error);
