#include "Store.h"

#include <algorithm>

namespace zdxserver {

bool DocumentStore::HasIndex(const std::string& name) const {
    for (const auto& f : Folders())
        if (f.name == name)
            return true;
    return false;
}

} // namespace zdxserver

namespace zdxserver {

std::vector<std::string> LanguagesOf(const std::vector<IndexedFolder>& folders) {
    std::vector<std::string> languages;
    for (const auto& f : folders)
        if (std::find(languages.begin(), languages.end(), f.language) == languages.end())
            languages.push_back(f.language);
    if (languages.empty())
        languages.push_back(kDefaultLanguage);
    return languages;
}

} // namespace zdxserver
