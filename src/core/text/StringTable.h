#pragma once
// The program's string table: every user-visible text that has a resource id.
#include <string>

// Ids of the string-table entries the code refers to by name. A command shares the id of its
// prompt text.
namespace TextId {
enum : unsigned {
    DocumentTemplate = 128, // document template string
    AllDates = 129,
    LastWeek = 130,
    LastMonth = 131,
    Last3Months = 132,
    LastYear = 133,
    Last6Months = 134,
    Login = 32771,
    Logout = 32772,
    Settings = 32773,
    AppTitle = 57344,
    IdleMessage = 57345,
    FileNew = 57600,
    FileOpen = 57601,
    FileClose = 57602,
    FileSave = 57603,
    FileSaveAs = 57604,
    FilePrint = 57607,
    RecentFile1 = 57616,
    EditCopy = 57634,
    EditCut = 57635,
    EditPaste = 57637,
    LoginNotSecure = 57638,
    StatusCode = 57639,
    EditUndo = 57643,
    LoginFailed = 57645,
    HeadingTitle = 57646,
    HeadingRelevance = 57647,
    HeadingDescription = 57648,
    HeadingDate = 57649,
    HeadingFormat = 57650,
    HeadingLink = 57651,
    HeadingAuthor = 57652,
    Bytes = 57654,
    LogoutQuestion = 57655,
    HeadingFilename = 57656,
    DocumentsFound = 57657,
    AppAbout = 57664,
    AppExit = 57665,
    NextPane = 57680,
    PrevPane = 57681,
    ViewToolbar = 59392,
    ViewStatusBar = 59393,
    IndicatorCaps = 59137,
    IndicatorNum = 59138,
    IndicatorScrl = 59139,
    IndicatorAuth = 59142,
    IndicatorHits = 59143,
    LaunchError = 59144,
    ReallyDelete = 59145,
    ViewSmallIcons = 59408,
    ViewLargeIcons = 59409,
    ViewList = 59410,
    ViewDetails = 59411,
    ViewLineup = 59412,
    ViewByname = 59413,
};
} // namespace TextId

// The entry with that id, or the empty text when there is none.
std::string Text(unsigned id);

// printf into a string; used with string-table formats such as "%d documents found".
std::string StringPrintf(const char* format, ...) __attribute__((format(printf, 1, 2)));
