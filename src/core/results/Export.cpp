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

std::string FormatExport(const ResultTable& table, const std::vector<std::uint32_t>& rows,
                         const std::vector<std::string>& headings, ExportFormat format) {
    const bool csv = format == ExportFormat::Csv;
    const char* separator = csv ? "," : "\t";
    const char* end = csv ? "\r\n" : "\n";
    std::string out;
    auto line = [&](auto cell) {
        for (std::size_t c = 0; c < headings.size(); ++c) {
            if (c)
                out += separator;
            csv ? AppendCsvField(out, cell(c)) : AppendTsvField(out, cell(c));
        }
        out += end;
    };
    line([&](std::size_t c) { return std::string_view(headings[c]); });
    for (std::uint32_t row : rows)
        line([&](std::size_t c) { return table.Cell(row, static_cast<int>(c)); });
    return out;
}

bool WriteExport(const std::string& path, const std::string& bytes, std::string& error) {
    WriteStep step;
    int number = 0;
    if (WriteFileWhole(path, bytes, 0644, step, number))
        return true;
    error = std::strerror(number);
    return false;
}
