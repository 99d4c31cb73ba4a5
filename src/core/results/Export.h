#pragma once
// Writing the shown hits to a file: the shown columns with their headings, as CSV (RFC 4180,
// UTF-8) or as tab-separated values.
#include "results/ResultTable.h"
#include "text/WholeFile.h"

#include <cstdint>
#include <string>
#include <vector>

enum class ExportFormat { Csv, Tsv };

// The rows (table rows, in the order given) and headings as the format writes them. CSV: a
// field holding a comma, quote, CR or LF is quoted, quotes doubled, lines end in CR LF. TSV:
// tabs and line breaks inside a cell become blanks, lines end in LF. In both, a cell that starts
// with '=', '+', '-' or '@' gets a leading "'", so that a spreadsheet shows it instead of
// running it as a formula.
std::string FormatExport(const ResultTable& table, const std::vector<std::uint32_t>& rows,
                         const std::vector<std::string>& headings, ExportFormat format);

// An export written a slice of rows at a time into a new file that replaces `path` whole when
// finished: the window stays responsive however many rows there are, and memory holds one
// slice. The file gets the umask's mode, or the mode of the file it replaces.
class ExportWriter {
public:
    ExportWriter(const std::string& path, ExportFormat format, std::vector<std::string> headings);
    // Opens the file and writes the headings; false with the reason in `error`.
    bool Begin(std::string& error);
    bool WriteRows(const ResultTable& table, const std::uint32_t* rows, std::size_t count,
                   std::string& error);
    bool Finish(std::string& error);

private:
    bool Failed(std::string& error);

    WholeFileWriter m_file;
    ExportFormat m_format;
    std::vector<std::string> m_headings;
};

// Appends a TSV cell: tabs and line breaks inside it become blanks.
void AppendTsvField(std::string& out, std::string_view text);
