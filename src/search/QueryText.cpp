#include "search/QueryText.h"

#include "app/Codepage.h"
#include "app/ZDXApp.h"
#include "net/WebFile.h"
#include "res/StringTable.h"
#include "results/ResultView.h"

const std::array<DateRange, 6> kDateRanges = {{
    {IDS_ALL_DATES, 0, "all"},
    {IDS_LAST_WEEK, -604800, "week"},
    {IDS_LAST_MONTH, -2635200, "month"},
    {IDS_LAST_3_MONTHS, -7905600, "3months"},
    {IDS_LAST_6_MONTHS, -15768000, "6months"},
    {IDS_LAST_YEAR, -31536000, "year"},
}};

std::string EncodeQueryText(std::string_view bytes) {
    static const char kHex[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(bytes.size() * 3 / 2 + 8);
    for (char c : bytes) {
        const auto b = static_cast<unsigned char>(c);
        if (b == '\n' || b == '\r' || (b >= 0x20 && b <= 0x7E && b != '=')) {
            out += c;
        } else {
            out += '%';
            out += kHex[b >> 4];
            out += kHex[b & 0xF];
        }
        if (out.size() % 70 == 0)
            out += "=\r\n";
    }
    return out;
}

std::string BuildSearchPath(const CZDXApp& app, const SearchForm& form) {
    std::string indexes;
    for (int i = 0; i < kIndexBoxes; ++i)
        if (form.ticked[i])
            indexes += Utf8ToCp1252(app.m_index[i]) + ";";

    std::string path = Utf8ToCp1252(app.m_searchbase);
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

int RunSearch(const SearchForm& form) {
    if (theApp.m_pResultView)
        theApp.m_pResultView->DeleteAllItems();
    const std::string path = BuildSearchPath(theApp, form);
    const int status = GetWebFile(kAgentName, theApp.m_address, theApp.m_port, path);
    if (status != 200)
        theApp.SetStatusText(StringPrintf(LoadResString(IDS_STATUS_CODE).c_str(), status));
    return status;
}
