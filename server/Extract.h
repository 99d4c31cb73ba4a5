#pragma once
// Text extraction: a file's title, text, author and format, from its bytes. Plain text, Markdown
// and HTML are read here, in the service's own process; documents (PDF, Office, OpenDocument,
// EPUB, RTF, mail) go to the extractor process (Extractor.h).
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace zdxserver {

// The document's text and metadata as the index takes them, from a file's bytes. A PDF's
// pages are separated by a form feed.
struct Extracted {
    std::string title, body, author, format;
    bool textual = false;
    // When the document names its own date (a mail's Date), in seconds since 1970; else 0.
    std::int64_t date = 0;
};

// Where a file's text comes from, decided by its first bytes (and its name where they say
// little): read here, handed to the extractor, or nothing to read. `MaybeText` reads like text
// but is not UTF-8 and its name does not say text: text when the extractor's libmagic says so.
enum class Route { Text, Markdown, Html, Document, MaybeText, Other };
Route RouteOf(const std::string& fileName, std::string_view head);

// Text, Markdown and HTML files; anything else comes back with its name as the title, a format
// from its name and no text.
// `route`, when the caller knows it already (Route::Text reads any file as text, in
// Windows-1252 where it is not UTF-8).
Extracted ExtractText(const std::string& fileName, const std::string& bytes,
                      std::optional<Route> route = std::nullopt);

// An HTML document's title, author (<meta name="author">) and text, every entity decoded,
// scripts and styles left out. Bytes that are not UTF-8 are read as Windows-1252.
Extracted HtmlText(std::string_view html);

// A line of Markdown without its markup: "# A [link](u) **bold**" reads "A link bold".
std::string MarkdownPlain(std::string_view line);

// The text with every byte that is not part of a well-formed UTF-8 character replaced by U+FFFD.
std::string ValidUtf8(std::string_view text);

// Runs of blanks and line breaks as one space; a form feed (a page break) is kept.
std::string Collapse(std::string_view text);
// A document's text as it is kept: runs of blanks as one space, but a run that holds a line
// break as one line break (two for an empty line between) and one with a page break as that.
std::string CollapseKeepingLines(std::string_view text);
// The text as one line: every run of blanks, line and page breaks as one space.
std::string OneLine(std::string_view text);

// The format's name as a user knows it, for a MIME type; empty when there is none.
std::string FormatForMime(std::string_view mime);
// The format's name from a file's name, for files nothing else names ("JPG").
std::string FormatFromName(const std::string& fileName);

// The first words of a document's text, for a hit without a snippet.
std::string Summary(const std::string& body);

} // namespace zdxserver
