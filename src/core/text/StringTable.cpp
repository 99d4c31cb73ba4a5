#include "text/StringTable.h"

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
    {TextId::DocumentTemplate, "ZDX\n\nZDX\n\n\nZDX.Document\nZDX Document"},
    {TextId::AllDates, "All dates"},
    {TextId::LastWeek, "Last week"},
    {TextId::LastMonth, "Last month"},
    {TextId::Last3Months, "Last 3 months"},
    {TextId::LastYear, "Last Year"},
    {TextId::Last6Months, "Last 6 months"},
    {TextId::Login, "Log in to lurvik"},
    {TextId::Logout, "Log out from lurvik"},
    {TextId::Settings, "Edit the connection settings\nSettings"},
    {TextId::AppTitle, "ZDX"},
    {TextId::IdleMessage, "Ready"},
    {TextId::FileNew, "Create a new document\nNew"},
    {TextId::FileOpen, "Open an existing document\nOpen"},
    {TextId::FileClose, "Close the active document\nClose"},
    {TextId::FileSave, "Save the active document\nSave"},
    {TextId::FileSaveAs, "Save the active document with a new name\nSave As"},
    {TextId::RecentFile1, "Open this document"},
    {TextId::EditCopy, "Copy the selection and put it on the Clipboard\nCopy"},
    {TextId::EditCut, "Cut the selection and put it on the Clipboard\nCut"},
    {TextId::EditPaste, "Insert Clipboard contents\nPaste"},
    {TextId::LoginNotSecure, "Login is not secure!"},
    {TextId::StatusCode, "Status Code %d was returned."},
    {TextId::EditUndo, "Undo the last action\nUndo"},
    {TextId::LoginFailed, "Login failed!"},
    {TextId::HeadingTitle, "Title"},
    {TextId::HeadingRelevance, "Rel %"},
    {TextId::HeadingDescription, "Description"},
    {TextId::HeadingDate, "Date"},
    {TextId::HeadingFormat, "Format"},
    {TextId::HeadingLink, "Link"},
    {TextId::HeadingAuthor, "Author"},
    {TextId::Bytes, " bytes"},
    {TextId::LogoutQuestion, "Log out?"},
    {TextId::HeadingFilename, "Filename"},
    {TextId::DocumentsFound, "%d documents found"},
    {TextId::AppAbout, "Display program information, version number and copyright\nAbout"},
    {TextId::AppExit, "Quit the application\nExit"},
    {TextId::NextPane, "Switch to the next window pane\nNext Pane"},
    {TextId::PrevPane, "Switch back to the previous window pane\nPrevious Pane"},
    {TextId::IndicatorCaps, "CAP"},
    {TextId::IndicatorNum, "NUM"},
    {TextId::IndicatorScrl, "SCRL"},
    {TextId::IndicatorAuth, "AUTH"},
    {TextId::IndicatorHits, "HITS"},
    {TextId::LaunchError, "Error %d trying to launch %s"},
    {TextId::ReallyDelete, "Really delete %s?"},
    {TextId::ViewToolbar, "Show or hide the toolbar\nToggle ToolBar"},
    {TextId::ViewStatusBar, "Show or hide the status bar\nToggle StatusBar"},
    {TextId::ViewSmallIcons, "Display items by using small icons\nSmall Icons"},
    {TextId::ViewLargeIcons, "Display items by using large icons\nLarge Icons"},
    {TextId::ViewList, "Display items in a list\nList"},
    {TextId::ViewDetails, "Display detailed information about each item in the window\nDetails"},
    {TextId::ViewLineup, "Arranges icons in a grid."},
    {TextId::ViewByname, "Sorts the icons alphabetically."},
};

constexpr bool IsSortedById() {
    for (std::size_t i = 1; i < std::size(kStrings); ++i)
        if (kStrings[i - 1].id >= kStrings[i].id)
            return false;
    return true;
}
static_assert(IsSortedById(), "the string table is searched by id and must stay sorted");

} // namespace

std::string Text(unsigned id) {
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
