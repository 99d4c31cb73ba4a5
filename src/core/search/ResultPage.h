#pragma once
// The result page: one record per line, fields separated by '|'. ParseResultLine turns a line
// into a hit row, a hit count, a signed-in user or a message; DecodeField undoes the escaping of
// the link field.
#include <array>
#include <cstdint>
#include <string>
#include <string_view>

inline constexpr int kFieldCount = 10;    // field ids 0..9 of a hit
inline constexpr int kMaxLineFields = 20; // fields a line can carry; the rest are ignored

// Field ids of a hit, as the column settings name them.
enum FieldId { kTitle = 0, kRelevance, kFilename, kDescription, kDate, kFormat, kLink, kAuthor };

// One hit, as the parser hands it on. Texts are UTF-8.
struct HitRow {
    std::array<std::string, kFieldCount> fields; // by field id; 8 and 9 stay empty
    std::int32_t number = 0;                     // the hit number: item datum and tip key
    std::string tip;                             // lines joined by CR LF
    std::string matches; // the query's words as the description holds them, blank-separated
};

// How a page's texts are written: Windows-1252 (the link field IBM850), or, when the client
// asked for it, UTF-8 throughout.
enum class PageCharset { Windows1252, Utf8 };

// What the parser writes into.
class ResultSink {
public:
    virtual ~ResultSink() = default;
    virtual void AppendHit(HitRow&& hit) = 0;
    virtual void SetHitCount(int count) = 0;
    // The user the server reports as signed in; empty when nobody is.
    virtual void SetSignedInUser(const std::string& user) = 0;
    // A failure text the user must see (code -3).
    virtual void ShowMessage(const std::string& text) = 0;
};

// Handles one line of a result page. Returns 1 when the line was handled and 0 for a stop line
// (after which the rest of the page is not read).
int ParseResultLine(std::string_view line, ResultSink& sink,
                    PageCharset charset = PageCharset::Windows1252);

// The link field's wire bytes to text: soft breaks removed, %XX escapes turned into bytes, cut
// at the first 0 byte, then read as IBM850 (or UTF-8).
std::string DecodeField(std::string_view text, PageCharset charset = PageCharset::Windows1252);

// The last path component of a link, without a drive prefix.
std::string FilenameOf(std::string_view link);
