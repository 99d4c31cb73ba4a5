#pragma once
// The program's string table: every user-visible text that has a resource id.
#include <string>

// Resource ids of the string-table entries the code refers to by name.
enum StringId : unsigned {
    IDR_MAINFRAME = 128, // document template string
    IDS_ALL_DATES = 129,
    IDS_LAST_WEEK = 130,
    IDS_LAST_MONTH = 131,
    IDS_LAST_3_MONTHS = 132,
    IDS_LAST_YEAR = 133,
    IDS_LAST_6_MONTHS = 134,
    ID_LOGIN = 32771,
    ID_LOGOUT = 32772,
    ID_SETTINGS = 32773,
    AFX_IDS_APP_TITLE = 57344,
    AFX_IDS_IDLEMESSAGE = 57345,
    ID_FILE_NEW = 57600,
    ID_FILE_OPEN = 57601,
    ID_FILE_CLOSE = 57602,
    ID_FILE_SAVE = 57603,
    ID_FILE_SAVE_AS = 57604,
    ID_FILE_PRINT = 57607,
    ID_FILE_MRU_FILE1 = 57616,
    ID_EDIT_COPY = 57634,
    ID_EDIT_CUT = 57635,
    ID_EDIT_PASTE = 57637,
    IDS_LOGIN_NOT_SECURE = 57638,
    IDS_STATUS_CODE = 57639,
    ID_EDIT_UNDO = 57643,
    IDS_LOGIN_FAILED = 57645,
    IDS_HEADING_TITLE = 57646,
    IDS_HEADING_REL = 57647,
    IDS_HEADING_DESCRIPTION = 57648,
    IDS_HEADING_DATE = 57649,
    IDS_HEADING_FORMAT = 57650,
    IDS_HEADING_LINK = 57651,
    IDS_HEADING_AUTHOR = 57652,
    IDS_BYTES = 57654,
    IDS_LOGOUT_QUESTION = 57655,
    IDS_HEADING_FILENAME = 57656,
    IDS_DOCUMENTS_FOUND = 57657,
    ID_APP_ABOUT = 57664,
    ID_APP_EXIT = 57665,
    ID_NEXT_PANE = 57680,
    ID_PREV_PANE = 57681,
    ID_VIEW_TOOLBAR = 59392,
    ID_VIEW_STATUS_BAR = 59393,
    ID_INDICATOR_CAPS = 59137,
    ID_INDICATOR_NUM = 59138,
    ID_INDICATOR_SCRL = 59139,
    ID_INDICATOR_AUTH = 59142,
    ID_INDICATOR_HITS = 59143,
    IDS_LAUNCH_ERROR = 59144,
    IDS_REALLY_DELETE = 59145,
    ID_VIEW_SMALLICON = 59408,
    ID_VIEW_LARGEICON = 59409,
    ID_VIEW_LIST = 59410,
    ID_VIEW_DETAILS = 59411,
    ID_VIEW_LINEUP = 59412,
    ID_VIEW_BYNAME = 59413,
};

// The entry with that id, or the empty text when there is none.
std::string LoadResString(unsigned id);

// printf into a string; used with string-table formats such as "%d documents found".
std::string StringPrintf(const char* format, ...) __attribute__((format(printf, 1, 2)));
