#pragma once
// The document of the single-document window. It holds no data: an opened file contributes
// nothing and a saved file is empty; only its name is kept.
#include <string>

class Document {
public:
    void OnNewDocument() { m_pathName.clear(); }
    // True when the file can be read.
    bool OnOpenDocument(const std::string& path);
    // Writes the (empty) document; true on success.
    bool OnSaveDocument(const std::string& path);

    const std::string& PathName() const { return m_pathName; }

private:
    std::string m_pathName;
};
