#pragma once
// What a fetch fills: the result list of the window, or the table zdx-query prints.
#include "config/Application.h"
#include "net/FetchPage.h"
#include "search/ResultPage.h"

#include <string_view>

class ResultList : public ResultSink, public PageReader {
public:
    // Forgets every tip text; a page that arrives with status 200 starts with this.
    void ClearTips() override = 0;
    // Removes every row; a search starts with this.
    virtual void Clear() = 0;

    // Hands one line of a result page to the parser; 0 asks the reader to stop.
    int ParseResultLine(std::string_view line) override {
        return ::ParseResultLine(line, *this, m_charset);
    }
    // How the pages read from now on are written (the request asked for it).
    void SetPageCharset(PageCharset charset) { m_charset = charset; }

private:
    PageCharset m_charset = PageCharset::Windows1252;
};

// What a request reports to: the rows and texts of its page, and its status texts. Each
// request is handed one of its own.
class RequestSink : public ResultList, public StatusPanes {
public:
    void SetHitCount(int count) override = 0;
};
