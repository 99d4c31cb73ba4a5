#pragma once
// What a fetch fills: the result list of the window, or the table zdx-query prints.
#include "net/FetchPage.h"
#include "search/ResultPage.h"

#include <string_view>

class ResultList : public ResultSink, public PageReader {
public:
    // Forgets every tip text; a page that arrives with status 200 starts with this.
    void ClearTipMap() override = 0;
    // Removes every row; a search starts with this.
    virtual void DeleteAllItems() = 0;

    // Hands one line of a result page to the parser; 0 asks the reader to stop.
    int ParseResultLine(std::string_view line) override { return ::ParseResultLine(line, *this); }
};
