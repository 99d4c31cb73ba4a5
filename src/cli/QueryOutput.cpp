#include "cli/QueryOutput.h"

#include "results/Export.h"

#include <algorithm>
#include <cerrno>
#include <set>

namespace {

constexpr std::size_t kFlushBytes = 64 * 1024;

} // namespace

void AppendJsonString(std::string& out, std::string_view text) {
    static const char kHex[] = "0123456789abcdef";
    out += '"';
    std::size_t plain = 0; // start of the run of bytes that need no escape
    for (std::size_t i = 0; i < text.size(); ++i) {
        const auto b = static_cast<unsigned char>(text[i]);
        if (b >= 0x20 && b != '"' && b != '\\')
            continue;
        out.append(text.substr(plain, i - plain));
        plain = i + 1;
        if (b == '"' || b == '\\') {
            out += '\\';
            out += static_cast<char>(b);
        } else {
            out += "\\u00";
            out += kHex[b >> 4];
            out += kHex[b & 0xF];
        }
    }
    out.append(text.substr(plain));
    out += '"';
}

QueryOutput::QueryOutput(std::FILE* out, Format format, const ColumnLayout& layout,
                         std::vector<std::string> headings)
    : m_out(out), m_format(format), m_layout(layout), m_headings(std::move(headings)) {
    std::set<std::string> used = {"hit", "tip"};
    for (std::size_t i = 0; i < m_headings.size(); ++i) {
        const std::string& h = m_headings[i];
        const std::string key = h.empty() || used.count(h) ? "column" + std::to_string(i) : h;
        used.insert(key);
        std::string quoted = ",";
        AppendJsonString(quoted, key);
        m_jsonKeys.push_back(quoted + ":");
    }
    m_buffer.reserve(kFlushBytes + 4096);
}

std::string_view QueryOutput::Cell(const HitRow& hit, int column) const {
    if (column >= m_layout.columns)
        return {};
    const int field = m_layout.field[column];
    return field >= 0 && field < kFieldCount ? std::string_view(hit.fields[field])
                                             : std::string_view();
}

void QueryOutput::Heading() {
    if (m_headingWritten || m_format != Format::Tsv)
        return;
    m_headingWritten = true;
    for (std::size_t i = 0; i < m_headings.size(); ++i) {
        if (i)
            m_buffer += '\t';
        AppendTsvField(m_buffer, m_headings[i]);
    }
    m_buffer += '\n';
}

void QueryOutput::Write(const HitRow& hit) {
    const int columns = static_cast<int>(m_headings.size());
    if (m_format == Format::Tsv) {
        Heading();
        for (int i = 0; i < columns; ++i) {
            if (i)
                m_buffer += '\t';
            AppendTsvField(m_buffer, Cell(hit, i));
        }
        m_buffer += '\n';
    } else {
        m_buffer += "{\"hit\":" + std::to_string(hit.number);
        for (int i = 0; i < columns; ++i) {
            m_buffer += m_jsonKeys[static_cast<std::size_t>(i)];
            AppendJsonString(m_buffer, Cell(hit, i));
        }
        m_buffer += ",\"tip\":";
        AppendJsonString(m_buffer, hit.tip);
        // The words of the query the description holds, as the service names them.
        m_buffer += ",\"matches\":[";
        std::size_t count = 0;
        for (std::size_t at = 0; at < hit.matches.size();) {
            const std::size_t end = std::min(hit.matches.find(' ', at), hit.matches.size());
            if (end > at) {
                m_buffer += count++ ? "," : "";
                AppendJsonString(m_buffer, std::string_view(hit.matches).substr(at, end - at));
            }
            at = end + 1;
        }
        m_buffer += "]}\n";
    }
    FlushWhenFull();
}

void QueryOutput::FinishPage() {
    Heading();
}

void QueryOutput::FlushWhenFull() {
    if (m_buffer.size() < kFlushBytes)
        return;
    if (!m_failed && std::fwrite(m_buffer.data(), 1, m_buffer.size(), m_out) != m_buffer.size())
        Fail();
    m_buffer.clear();
}

void QueryOutput::Fail() {
    if (!m_failed)
        m_error = errno;
    m_failed = true;
}

bool QueryOutput::Flush() {
    if (!m_failed && !m_buffer.empty() &&
        std::fwrite(m_buffer.data(), 1, m_buffer.size(), m_out) != m_buffer.size())
        Fail();
    m_buffer.clear();
    if (std::fflush(m_out) != 0 || std::ferror(m_out))
        Fail();
    return !m_failed;
}

std::string IndentJson(std::string_view json) {
    std::string out;
    int depth = 0;
    bool inString = false, escaped = false;
    auto newline = [&] {
        out += '\n' + std::string(static_cast<std::size_t>(2 * std::max(0, depth)), ' ');
    };
    for (std::size_t i = 0; i < json.size(); ++i) {
        const char c = json[i];
        if (inString) {
            out += c;
            inString = escaped || c != '"';
            escaped = !escaped && c == '\\';
            continue;
        }
        switch (c) {
        case '"':
            inString = true;
            out += c;
            break;
        case '{':
        case '[':
            out += c;
            // An empty object or array stays on its line.
            if (i + 1 < json.size() && (json[i + 1] == '}' || json[i + 1] == ']')) {
                out += json[++i];
                break;
            }
            ++depth;
            newline();
            break;
        case '}':
        case ']':
            --depth;
            newline();
            out += c;
            break;
        case ',':
            out += c;
            newline();
            break;
        case ':':
            out += ": ";
            break;
        case '\n':
        case ' ':
            break;
        default:
            out += c;
        }
    }
    return out + "\n";
}
