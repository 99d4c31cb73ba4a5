#include "search/QueryText.h"

#include "net/FetchPage.h"
#include "search/ResultList.h"
#include "text/Codepage.h"
#include "text/Numbers.h"
#include "text/StringTable.h"

#include <cstdio>

const std::array<DateRange, 6> kDateRanges = {{
    {TextId::AllDates, 0, "all"},
    {TextId::LastWeek, -604800, "week"},
    {TextId::LastMonth, -2635200, "month"},
    {TextId::Last3Months, -7905600, "3months"},
    {TextId::Last6Months, -15768000, "6months"},
    {TextId::LastYear, -31536000, "year"},
}};

std::string EncodeQueryText(std::string_view bytes) {
    std::string out;
    out.reserve(bytes.size() * 3 / 2 + 8);
    for (char c : bytes) {
        const auto b = static_cast<unsigned char>(c);
        if (b == '\n' || b == '\r' || (b >= 0x20 && b <= 0x7E && b != '=')) {
            out += c;
        } else {
            AppendPercentEscape(out, b);
        }
        if (out.size() % 70 == 0)
            out += "=\r\n";
    }
    return out;
}

std::string UnsendableTextMessage(std::string_view utf8, const ConnectionSettings& connection) {
    if (connection.SendsUtf8())
        return {};
    char32_t code = 0;
    const std::string c = FirstNonCp1252Char(utf8, code);
    if (c.empty())
        return {};
    char hex[16];
    std::snprintf(hex, sizeof hex, "U+%04X", static_cast<unsigned>(code));
    return "The search service cannot receive the character " + c + " (" + hex +
           "). Please remove it.";
}

std::string UnsendableTextMessage(const SearchRequest& form, const ConnectionSettings& connection) {
    std::string message = UnsendableTextMessage(form.query, connection);
    return message.empty() ? UnsendableTextMessage(form.filename, connection) : message;
}

std::string WireText(std::string_view utf8, const ConnectionSettings& connection) {
    return connection.SendsUtf8() ? std::string(utf8) : Utf8ToCp1252(utf8);
}

std::string CharsetParameter(const ConnectionSettings& connection) {
    return connection.SendsUtf8() ? std::string("&charset=") + kUtf8Charset : std::string();
}

std::string BuildSearchPath(const Settings& settings, const SearchRequest& form) {
    const ConnectionSettings& c = settings.connection;
    std::string indexes;
    for (int i = 0; i < kIndexBoxes; ++i)
        if (form.ticked[i])
            indexes += WireText(settings.index[i], c) + ";";

    std::string path = WireText(settings.searchbase, c) + CharsetParameter(c);
    if (!form.query.empty())
        path += "&query0=" + EncodeQueryText(WireText(form.query, c));
    if (!form.filename.empty())
        path += "&filefilter=" + WireText(form.filename, c);
    if (!indexes.empty())
        path += "&index=" + indexes;
    if (form.dateSeconds != 0)
        path += "&date=" + std::to_string(form.dateSeconds) + "000";
    return path;
}

FetchOptions MakeFetchOptions(const ConnectionSettings& connection, const RequestControl& control,
                              StatusPanes* status) {
    FetchOptions options;
    options.connection = connection;
    options.timeouts = control.timeouts;
    options.cancel = control.cancel;
    options.log = control.log;
    options.status = status;
    return options;
}

bool PortUsable(int port, StatusPanes& panes) {
    const std::string problem = PortProblem(port);
    if (!problem.empty())
        panes.SetStatusText(problem);
    return problem.empty();
}

int RunSearch(const SearchRequest& form, const Settings& settings, RequestSink& sink,
              const RequestControl& control) {
    sink.Clear();
    if (!PortUsable(settings.connection.port, sink))
        return 0;
    const std::string path = BuildSearchPath(settings, form);
    sink.SetPageCharset(settings.connection.SendsUtf8() ? PageCharset::Utf8
                                                        : PageCharset::Windows1252);
    const int status =
        FetchPage(MakeFetchOptions(settings.connection, control, &sink), path, &sink);
    if (status != 200 && status != kFetchCancelled)
        sink.SetStatusText(StringPrintf(Text(TextId::StatusCode).c_str(), status));
    return status;
}
