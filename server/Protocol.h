#pragma once
// What zdx-server speaks: the request parameters as the client sends them, and the result page
// the client reads (bar-separated lines, Windows-1252 texts, an IBM850-escaped link field).
#include "text/Numbers.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace zdxserver {

// The parameters of a request target "path?a=1&b=2", each value percent-decoded once (an
// invalid escape kept as it stands, '+' kept as a plus). Later values of a name are kept too.
struct Params {
    std::vector<std::pair<std::string, std::string>> items;
    std::vector<std::string> raw; // each item's value as it was sent, still escaped
    // The first value of the name, or nullopt.
    std::optional<std::string> Get(std::string_view name) const;
    // The same value as it was sent.
    std::optional<std::string> GetRaw(std::string_view name) const;
    bool Has(std::string_view name) const { return Get(name).has_value(); }
};
Params ParseTarget(std::string_view target, std::size_t maxParams = 1000);

std::string PercentDecodeOnce(std::string_view text);

// The character set of a request's texts and of its page: Windows-1252, unless the client
// asks for UTF-8 with charset=utf-8.
enum class Charset { Windows1252, Utf8 };
Charset CharsetOf(const Params& params);
// A text the client sent, as UTF-8 (bytes that are not UTF-8 read as Windows-1252).
std::string ClientText(std::string_view bytes, Charset charset);

// The query as the client sent it (`raw`, still escaped): its soft breaks removed ("=" and a
// line break that stand raw; an escaped "=" is the user's), escapes decoded, Windows-1252
// bytes to UTF-8.
std::string DecodeQueryText(std::string_view raw, Charset charset = Charset::Windows1252);

// An FTS5 expression for a query (Query.h); empty when the query has no word to search for.
std::string FtsExpression(std::string_view query);

// The path of a file the file route may serve: `root` (absolute, without a trailing '/') joined
// with `relative`, when `relative` holds no control character, is not absolute and has no
// empty or hidden component ("." and ".." included); nothing otherwise. Links are the caller's
// to refuse.
std::optional<std::string> PathUnderRoot(const std::string& root, std::string_view relative);

// A file-name pattern with '*' and '?', compared without regard to case (ASCII and Latin-1).
bool MatchFileName(std::string_view pattern, std::string_view name);

// What a Range header asks of a file of `size` bytes: the whole file (no header, another unit,
// a malformed header, or more than kMaxRanges ranges after merging: the header is ignored, as
// HTTP allows), the byte ranges (first and last byte, sorted, overlapping and adjacent ones
// merged), or nothing the file holds (416).
struct RangeRequest {
    enum class Kind { Whole, Ranges, Unsatisfiable } kind = Kind::Whole;
    std::vector<std::pair<std::uint64_t, std::uint64_t>> ranges;
};
inline constexpr std::size_t kMaxRanges = 8;
RangeRequest ParseRanges(std::string_view header, std::uint64_t size);

// A field for the page: '|' becomes '/', line breaks and tabs a blank, then Windows-1252
// bytes ('?' for what Windows-1252 cannot hold), or UTF-8.
std::string PageField(std::string_view utf8, Charset charset = Charset::Windows1252);

// The link field for a path: its IBM850 bytes (its UTF-8 bytes for a UTF-8 page), %XX for
// every byte but ASCII letters, digits, blank and / \ . - _ ~ :. nullopt when IBM850 cannot
// hold the path.
std::optional<std::string> EscapeLink(std::string_view utf8,
                                      Charset charset = Charset::Windows1252);

struct Hit {
    std::string title, description, date, format, indexName, link, author;
    std::vector<std::string> matches; // the query's words as the description holds them
    int relevance = 0;
    std::uint64_t size = 0;
};

// "0|found|signed||user" (code 0) or "-1|0|signed||user" (no search made).
std::string SummaryLine(int code, std::int64_t found, const std::string& user,
                        Charset charset = Charset::Windows1252);
std::string FailureLine(const std::string& message); // code -3
// The twelve fields, then, when the description holds words of the query, those words
// (blank-separated) in a thirteenth.
std::string HitLine(int number, const Hit& hit, Charset charset = Charset::Windows1252);
// The same line appended to a page.
void AppendHitLine(std::string& out, int number, const Hit& hit,
                   Charset charset = Charset::Windows1252);

} // namespace zdxserver
