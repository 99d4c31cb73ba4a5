#include "results/Export.h"

#include "text/WholeFile.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

void AppendCsvField(std::string& out, std::string_view text) {
    if (text.find_first_of(",\"\r\n") == std::string_view::npos) {
        out.append(text);
        return;
    }
    out += '"';
    for (char c : text) {
        if (c == '"')
            out += '"';
        out += c;
    }
    out += '"';
}

} // namespace

void AppendTsvField(std::string& out, std::string_view text) {
    const std::size_t start = out.size();
    out.append(text);
    for (std::size_t i = start; i < out.size(); ++i)
        if (out[i] == '\t' || out[i] == '\r' || out[i] == '\n')
            out[i] = ' ';
}

namespace {

// A cell a spreadsheet would take as a formula is written as text.
std::string_view Defused(std::string_view text, std::string& scratch) {
    if (text.empty() || (text[0] != '=' && text[0] != '+' && text[0] != '-' && text[0] != '@'))
        return text;
    scratch.assign("'").append(text);
    return scratch;
}

template <class Cell>
void AppendLine(std::string& out, std::size_t columns, ExportFormat format, Cell cell) {
    const bool csv = format == ExportFormat::Csv;
    std::string scratch;
    for (std::size_t c = 0; c < columns; ++c) {
        if (c)
            out += csv ? ',' : '\t';
        const std::string_view text = Defused(cell(c), scratch);
        csv ? AppendCsvField(out, text) : AppendTsvField(out, text);
    }
    out += csv ? "\r\n" : "\n";
}

void AppendRows(std::string& out, const ResultTable& table, const std::uint32_t* rows,
                std::size_t count, std::size_t columns, ExportFormat format) {
    for (std::size_t i = 0; i < count; ++i)
        AppendLine(out, columns, format,
                   [&](std::size_t c) { return table.Cell(rows[i], static_cast<int>(c)); });
}

} // namespace

std::string FormatExport(const ResultTable& table, const std::vector<std::uint32_t>& rows,
                         const std::vector<std::string>& headings, ExportFormat format) {
    std::string out;
    AppendLine(out, headings.size(), format,
               [&](std::size_t c) { return std::string_view(headings[c]); });
    AppendRows(out, table, rows.data(), rows.size(), headings.size(), format);
    return out;
}

ExportWriter::ExportWriter(const std::string& path, ExportFormat format,
                           std::vector<std::string> headings)
    : m_file(path, 0666, true), m_format(format), m_headings(std::move(headings)) {}

bool ExportWriter::Failed(std::string& error) {
    error = std::strerror(m_file.Error());
    return false;
}

bool ExportWriter::Begin(std::string& error) {
    if (!m_file.Open())
        return Failed(error);
    std::string out;
    AppendLine(out, m_headings.size(), m_format,
               [&](std::size_t c) { return std::string_view(m_headings[c]); });
    return m_file.Write(out) || Failed(error);
}

bool ExportWriter::WriteRows(const ResultTable& table, const std::uint32_t* rows, std::size_t count,
                             std::string& error) {
    std::string out;
    AppendRows(out, table, rows, count, m_headings.size(), m_format);
    return m_file.Write(out) || Failed(error);
}

bool ExportWriter::Finish(std::string& error) {
    return m_file.Commit() || Failed(error);
}
