#include "config/Document.h"

#include <fstream>
#include <sys/stat.h>

bool Document::OnOpenDocument(const std::string& path) {
    struct stat info {};
    if (stat(path.c_str(), &info) != 0 || S_ISDIR(info.st_mode))
        return false;
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return false;
    m_pathName = path;
    return true;
}

bool Document::OnSaveDocument(const std::string& path) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    if (!out)
        return false;
    out.close();
    if (!out)
        return false;
    m_pathName = path;
    return true;
}
