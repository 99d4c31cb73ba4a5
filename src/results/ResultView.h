#pragma once
// What a fetch fills: the result list of the window, or the table zdx-query prints.
#include "search/ResultPage.h"

#include <string_view>

class IResultView : public ResultSink {
public:
    // Forgets every tip text; a page that arrives with status 200 starts with this.
    virtual void ClearTipMap() = 0;
    // Removes every row; a search starts with this.
    virtual void DeleteAllItems() = 0;

    // Hands one line of a result page to the parser; 0 asks the reader to stop.
    virtual int ParseResultLine(std::string_view line) { return ::ParseResultLine(line, *this); }
};
