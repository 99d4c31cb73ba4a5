#pragma once
// The document of the single-document window: a saved search (search/SavedSearch.h). This
// keeps its file's name; the window reads and writes the search.
#include <string>

class Document {
public:
    void OnNewDocument() { m_pathName.clear(); }
    void SetPathName(const std::string& path) { m_pathName = path; }
    const std::string& PathName() const { return m_pathName; }

private:
    std::string m_pathName;
};
