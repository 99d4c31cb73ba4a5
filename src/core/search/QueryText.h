#pragma once
// Turning the search form into the request path, and running the search.
#include <array>
#include <cstdint>
#include <string>
#include <string_view>

#include "config/Settings.h"
#include "net/FetchPage.h"

class RequestSink;

inline constexpr int kIndexBoxes = 5;

// The date-range choices in list order: their string, the span in seconds (negative, back
// from now; 0 for all dates) and the word zdx-query takes for them.
struct DateRange {
    unsigned stringId;
    std::int32_t seconds;
    const char* word;
};
extern const std::array<DateRange, 6> kDateRanges;

// What the search form holds when Search is pressed. Texts are UTF-8.
struct SearchRequest {
    std::string query;
    std::string filename;
    std::array<bool, kIndexBoxes> ticked{};
    std::int32_t dateSeconds = 0;
};

// The message refusing a text the service cannot receive (a character outside Windows-1252),
// naming the first such character; the empty text when every character can be sent (always,
// when texts travel as UTF-8).
std::string UnsendableTextMessage(std::string_view utf8, const ConnectionSettings& connection);
// The same for the query and the file-name filter of a search.
std::string UnsendableTextMessage(const SearchRequest& form, const ConnectionSettings& connection);

// A text as the request carries it: Windows-1252 bytes, or UTF-8 as it is.
std::string WireText(std::string_view utf8, const ConnectionSettings& connection);
// What the request adds to ask for UTF-8 both ways ("&charset=utf-8"), or nothing.
std::string CharsetParameter(const ConnectionSettings& connection);

// Escapes the query's bytes: printable ASCII but '=' passes, as do CR and LF; every other byte
// becomes %XX; a soft break "=\r\n" follows whenever the output reaches a multiple of 70.
std::string EncodeQueryText(std::string_view bytes);

// The object path of a search (Windows-1252 bytes): the search base, then query0, filefilter,
// index and date, each only when set.
std::string BuildSearchPath(const Settings& settings, const SearchRequest& form);

// How a request runs, beside what it asks: its time limits, what cancels it and its log.
struct RequestControl {
    FetchTimeouts timeouts;
    const CancelToken* cancel = nullptr;
    Logger log;
};
// The fetch options of a request to `connection` that reports its progress to `status`.
FetchOptions MakeFetchOptions(const ConnectionSettings& connection, const RequestControl& control,
                              StatusPanes* status);

// False, with the reason in the message pane, when the Port setting is no TCP port (a search,
// a sign-in and a logout then send nothing).
bool PortUsable(int port, StatusPanes& panes);

// The search, with the settings it was started with: empties the sink's rows, sends the
// request, and shows "Status Code %d was returned." in the message pane for anything but 200.
// Returns the status; 0 with the reason in the message pane when the Port setting is no TCP
// port.
int RunSearch(const SearchRequest& form, const Settings& settings, RequestSink& sink,
              const RequestControl& control = {});
