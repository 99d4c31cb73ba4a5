#pragma once
// A hit's text for the preview: from the service's text route (/zdx-text/), which also names
// the words of the query as the text holds them, or read from the file itself when the link is
// a local text, Markdown or HTML file.
#include "config/Settings.h"
#include "search/QueryText.h"

#include <string>
#include <vector>

inline constexpr std::size_t kMaxPreviewBytes = 4u << 20;

struct HitText {
    bool ok = false;
    std::string text;                 // UTF-8; PDF pages apart by a form feed
    std::vector<std::string> matches; // the query's words as the text holds them
    bool cut = false;                 // the text goes on past what is here
    std::string problem;              // why there is no text, for the user
};

// The path (from the server's root) of the text route for a hit's link: the file route's URL
// with its route changed, or the route with the path as a parameter for a path link. `query`
// (UTF-8) asks for its words.
std::string TextRoutePath(const std::string& link, const std::string& query,
                          const ConnectionSettings& connection);

// The text of the hit with `link`: a local text, Markdown or HTML file is read directly (its
// matched words are then `hitMatches`, the blank-separated words the service named for the
// hit, and the query's words), any other link asks the service. Ends early when `control`'s
// token is cancelled.
HitText FetchHitText(const std::string& link, const std::string& query, const Settings& settings,
                     const RequestControl& control, const std::string& hitMatches = "");

// Where the preview marks the matched words: each place (bytes of the text) with the number
// of its word in `words` (a colour each), in order and apart; and where each page after the
// first starts (after a form feed).
struct PreviewMarks {
    struct Place {
        std::size_t begin = 0, end = 0;
        std::size_t word = 0;
    };
    std::vector<Place> places;
    std::vector<std::size_t> pageStarts;
};
inline constexpr std::size_t kMaxPreviewMarks = 10000;
PreviewMarks MarkPreview(std::string_view text, const std::vector<std::string>& words);

// Lines of more than `most` bytes broken at their last blank before each `most` bytes (a blank
// becomes a line break, so every place in the text stays where it is): a view lays a text out
// a line at a time, and one line of a megabyte takes it a second.
inline constexpr std::size_t kPreviewLineBytes = 2000;
void BreakLongLines(std::string& text, std::size_t most = kPreviewLineBytes);

// The command that opens the PDF file at `path` at `page` (1 for the first) in `viewer`, the
// desktop file that the desktop opens PDF files with, when that viewer is known to take a page
// ("org.gnome.Evince.desktop", "okularApplication_pdf.desktop"); empty for any other viewer
// or file.
std::vector<std::string> PageViewerCommand(std::string_view viewer, const std::string& path,
                                           int page);

// HTML as plain text: tags, scripts and styles left out, the common entities decoded.
std::string HtmlAsText(std::string_view html);
