#pragma once
// zdx-query's output of the hits, written as they are parsed: tab-separated values with a
// heading line, or one JSON object per hit. Memory stays bounded whatever the page's size.
#include "config/ColumnLayout.h"
#include "search/ResultPage.h"

#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

class QueryOutput {
public:
    enum class Format { Tsv, Json };

    QueryOutput(std::FILE* out, Format format, const ColumnLayout& layout,
                std::vector<std::string> headings);

    // Writes one hit. TSV: the heading line goes before the first hit; tab, CR and LF inside a
    // cell become a blank. JSON: the headings are the keys ("column<i>" where a heading is empty
    // or repeated), plus "hit" (the hit number) and "tip" (the hit's tip text).
    void Write(const HitRow& hit);
    // Ends the output of a page that was read: TSV gets its heading line even with no hit.
    void FinishPage();
    // Hands what is buffered to the stream and flushes it. False when anything written so far
    // could not be written.
    bool Flush();
    bool Failed() const { return m_failed; }
    // The errno of the first failed write.
    int Error() const { return m_error; }

private:
    void Heading();
    void FlushWhenFull();
    void Fail();
    std::string_view Cell(const HitRow& hit, int column) const;

    std::FILE* m_out;
    Format m_format;
    ColumnLayout m_layout;
    std::vector<std::string> m_headings;
    std::vector<std::string> m_jsonKeys; // quoted, with their colon
    std::string m_buffer;
    bool m_headingWritten = false;
    bool m_failed = false;
    int m_error = 0;
};

// A JSON string literal for UTF-8 text, appended to `out`.
void AppendJsonString(std::string& out, std::string_view text);

// JSON with a line for each member and element, indented by its depth: the service's status as
// zdx-query --status prints it.
std::string IndentJson(std::string_view json);
