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

std::string UnsendableTextMessage(std::string_view utf8) {
    char32_t code = 0;
    const std::string c = FirstNonCp1252Char(utf8, code);
    if (c.empty())
        return {};
    char hex[16];
    std::snprintf(hex, sizeof hex, "U+%04X", static_cast<unsigned>(code));
    return "The search service cannot receive the character " + c + " (" + hex +
           "). Please remove it.";
}

std::string UnsendableTextMessage(const SearchRequest& form) {
    std::string message = UnsendableTextMessage(form.query);
    return message.empty() ? UnsendableTextMessage(form.filename) : message;
}

std::string BuildSearchPath(const Settings& settings, const SearchRequest& form) {
    std::string indexes;
    for (int i = 0; i < kIndexBoxes; ++i)
        if (form.ticked[i])
            indexes += Utf8ToCp1252(settings.index[i]) + ";";

    std::string path = Utf8ToCp1252(settings.searchbase);
    if (!form.query.empty())
        path += "&query0=" + EncodeQueryText(Utf8ToCp1252(form.query));
    if (!form.filename.empty())
        path += "&filefilter=" + Utf8ToCp1252(form.filename);
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
    const int status =
        FetchPage(MakeFetchOptions(settings.connection, control, &sink), path, &sink);
    if (status != 200 && status != kFetchCancelled)
        sink.SetStatusText(StringPrintf(Text(TextId::StatusCode).c_str(), status));
    return status;
}
