#include "cli/QueryOutput.h"

#include <set>

namespace {

std::string TsvCell(std::string_view text) {
    std::string out(text);
    for (char& c : out)
        if (c == '\t' || c == '\r' || c == '\n')
            c = ' ';
    return out;
}

std::vector<std::string> JsonKeys(const std::vector<std::string>& headings) {
    std::set<std::string> used = {"hit", "tip"};
    std::vector<std::string> keys;
    for (std::size_t i = 0; i < headings.size(); ++i) {
        const std::string& h = headings[i];
        if (h.empty() || used.count(h))
            keys.push_back("column" + std::to_string(i));
        else
            keys.push_back(h);
        used.insert(keys.back());
    }
    return keys;
}

} // namespace

std::string JsonString(std::string_view text) {
    static const char kHex[] = "0123456789abcdef";
    std::string out = "\"";
    for (char c : text) {
        const auto b = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (b < 0x20) {
            out += "\\u00";
            out += kHex[b >> 4];
            out += kHex[b & 0xF];
        } else {
            out += c;
        }
    }
    return out + "\"";
}

std::string FormatTsv(const ResultTable& table, const std::vector<std::string>& headings) {
    std::string out;
    for (std::size_t i = 0; i < headings.size(); ++i)
        out.append(i ? "\t" : "").append(TsvCell(headings[i]));
    out += "\n";
    for (std::size_t r = 0; r < table.RowCount(); ++r) {
        for (std::size_t i = 0; i < headings.size(); ++i)
            out.append(i ? "\t" : "").append(TsvCell(table.Cell(r, static_cast<int>(i))));
        out += "\n";
    }
    return out;
}

std::string FormatJson(const ResultTable& table, const std::vector<std::string>& headings) {
    const std::vector<std::string> keys = JsonKeys(headings);
    std::string out;
    for (std::size_t r = 0; r < table.RowCount(); ++r) {
        const std::int32_t item = table.ItemData(r);
        out += "{\"hit\":" + std::to_string(item);
        for (std::size_t i = 0; i < keys.size(); ++i)
            out += "," + JsonString(keys[i]) + ":" + JsonString(table.Cell(r, static_cast<int>(i)));
        const std::string* tip = table.Tip(item);
        out += ",\"tip\":" + JsonString(tip ? *tip : std::string()) + "}\n";
    }
    return out;
}
