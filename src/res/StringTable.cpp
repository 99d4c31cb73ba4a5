#include "res/StringTable.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <iterator>

namespace {

struct Entry {
    unsigned id;
    const char* text;
};

// Sorted by id. Command prompts hold the fly-by text, a line feed, and the tool tip.
constexpr Entry kStrings[] = {
    {IDR_MAINFRAME, "ZDX\n\nZDX\n\n\nZDX.Document\nZDX Document"},
    {IDS_ALL_DATES, "All dates"},
    {IDS_LAST_WEEK, "Last week"},
    {IDS_LAST_MONTH, "Last month"},
    {IDS_LAST_3_MONTHS, "Last 3 months"},
    {IDS_LAST_YEAR, "Last Year"},
    {IDS_LAST_6_MONTHS, "Last 6 months"},
    {ID_LOGIN, "Log in to lurvik"},
    {ID_LOGOUT, "Log out from lurvik"},
    {ID_SETTINGS, "Edit the connection settings\nSettings"},
    {AFX_IDS_APP_TITLE, "ZDX"},
    {AFX_IDS_IDLEMESSAGE, "Ready"},
    {ID_FILE_NEW, "Create a new document\nNew"},
    {ID_FILE_OPEN, "Open an existing document\nOpen"},
    {ID_FILE_CLOSE, "Close the active document\nClose"},
    {ID_FILE_SAVE, "Save the active document\nSave"},
    {ID_FILE_SAVE_AS, "Save the active document with a new name\nSave As"},
    {ID_FILE_MRU_FILE1, "Open this document"},
    {ID_EDIT_COPY, "Copy the selection and put it on the Clipboard\nCopy"},
    {ID_EDIT_CUT, "Cut the selection and put it on the Clipboard\nCut"},
    {ID_EDIT_PASTE, "Insert Clipboard contents\nPaste"},
    {IDS_LOGIN_NOT_SECURE, "Login is not secure!"},
    {IDS_STATUS_CODE, "Status Code %d was returned."},
    {ID_EDIT_UNDO, "Undo the last action\nUndo"},
    {IDS_LOGIN_FAILED, "Login failed!"},
    {IDS_HEADING_TITLE, "Title"},
    {IDS_HEADING_REL, "Rel %"},
    {IDS_HEADING_DESCRIPTION, "Description"},
    {IDS_HEADING_DATE, "Date"},
    {IDS_HEADING_FORMAT, "Format"},
    {IDS_HEADING_LINK, "Link"},
    {IDS_HEADING_AUTHOR, "Author"},
    {IDS_BYTES, " bytes"},
    {IDS_LOGOUT_QUESTION, "Log out?"},
    {IDS_HEADING_FILENAME, "Filename"},
    {IDS_DOCUMENTS_FOUND, "%d documents found"},
    {ID_APP_ABOUT, "Display program information, version number and copyright\nAbout"},
    {ID_APP_EXIT, "Quit the application\nExit"},
    {ID_NEXT_PANE, "Switch to the next window pane\nNext Pane"},
    {ID_PREV_PANE, "Switch back to the previous window pane\nPrevious Pane"},
    {ID_INDICATOR_CAPS, "CAP"},
    {ID_INDICATOR_NUM, "NUM"},
    {ID_INDICATOR_SCRL, "SCRL"},
    {ID_INDICATOR_AUTH, "AUTH"},
    {ID_INDICATOR_HITS, "HITS"},
    {IDS_LAUNCH_ERROR, "Error %d trying to launch %s"},
    {IDS_REALLY_DELETE, "Really delete %s?"},
    {ID_VIEW_TOOLBAR, "Show or hide the toolbar\nToggle ToolBar"},
    {ID_VIEW_STATUS_BAR, "Show or hide the status bar\nToggle StatusBar"},
    {ID_VIEW_SMALLICON, "Display items by using small icons\nSmall Icons"},
    {ID_VIEW_LARGEICON, "Display items by using large icons\nLarge Icons"},
    {ID_VIEW_LIST, "Display items in a list\nList"},
    {ID_VIEW_DETAILS, "Display detailed information about each item in the window\nDetails"},
    {ID_VIEW_LINEUP, "Arranges icons in a grid."},
    {ID_VIEW_BYNAME, "Sorts the icons alphabetically."},
};

constexpr bool IsSortedById() {
    for (std::size_t i = 1; i < std::size(kStrings); ++i)
        if (kStrings[i - 1].id >= kStrings[i].id)
            return false;
    return true;
}
static_assert(IsSortedById(), "the string table is searched by id and must stay sorted");

} // namespace

std::string LoadResString(unsigned id) {
    auto it = std::lower_bound(std::begin(kStrings), std::end(kStrings), id,
                               [](const Entry& e, unsigned key) { return e.id < key; });
    if (it == std::end(kStrings) || it->id != id)
        return {};
    return it->text;
}

std::string StringPrintf(const char* format, ...) {
    va_list args;
    va_start(args, format);
    va_list copy;
    va_copy(copy, args);
    const int size = std::vsnprintf(nullptr, 0, format, copy);
    va_end(copy);
    std::string out;
    if (size > 0) {
        out.resize(static_cast<std::size_t>(size));
        std::vsnprintf(out.data(), out.size() + 1, format, args);
    }
    va_end(args);
    return out;
}
