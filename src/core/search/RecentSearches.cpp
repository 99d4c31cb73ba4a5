#include "search/RecentSearches.h"

#include "text/WholeFile.h"

#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <sys/stat.h>

namespace {

std::string Field(std::string text) {
    for (char& c : text)
        if (c == '\t' || c == '\n' || c == '\r')
            c = ' ';
    return text;
}

// Makes each missing folder of the path (owner only).
bool MakeFolders(const std::string& folder) {
    for (std::size_t slash = folder.find('/', 1);; slash = folder.find('/', slash + 1)) {
        const std::string part = folder.substr(0, slash);
        if (mkdir(part.c_str(), 0700) != 0 && errno != EEXIST)
            return false;
        if (slash == std::string::npos)
            return true;
    }
}

} // namespace

std::string RecentSearches::DefaultPath() {
    const char* state = std::getenv("XDG_STATE_HOME");
    if (state && state[0] == '/')
        return std::string(state) + "/zdx/history";
    const char* home = std::getenv("HOME");
    return std::string(home ? home : "") + "/.local/state/zdx/history";
}

bool RecentSearches::Load(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return false;
    m_entries.clear();
    std::string line;
    while (std::getline(in, line) && m_entries.size() < kSize) {
        std::vector<std::string> fields;
        std::istringstream split(line);
        for (std::string field; std::getline(split, field, '\t');)
            fields.push_back(field);
        fields.resize(4);
        SearchRequest search;
        search.query = fields[0];
        search.filename = fields[1];
        for (char c : fields[2])
            if (c >= '0' && c < '0' + kIndexBoxes)
                search.ticked[c - '0'] = true;
        for (const DateRange& range : kDateRanges)
            if (fields[3] == range.word)
                search.dateSeconds = range.seconds;
        if (!search.query.empty() && !Find(search.query))
            m_entries.push_back(std::move(search));
    }
    return true;
}

bool RecentSearches::Save(const std::string& path) const {
    std::string text;
    for (const SearchRequest& search : m_entries) {
        text += Field(search.query) + '\t' + Field(search.filename) + '\t';
        for (int i = 0; i < kIndexBoxes; ++i)
            if (search.ticked[i])
                text += std::to_string(i);
        text += '\t';
        for (const DateRange& range : kDateRanges)
            if (range.seconds == search.dateSeconds && range.seconds != 0)
                text += range.word;
        text += '\n';
    }
    const std::size_t slash = path.rfind('/');
    if (slash != std::string::npos && slash > 0 && !MakeFolders(path.substr(0, slash)))
        return false;
    WriteStep step = WriteStep::Create;
    int error = 0;
    return WriteFileWhole(path, text, 0600, step, error);
}

void RecentSearches::Add(const SearchRequest& search) {
    if (search.query.find_first_not_of(" \t") == std::string::npos)
        return;
    std::erase_if(m_entries, [&](const SearchRequest& s) { return s.query == search.query; });
    m_entries.insert(m_entries.begin(), search);
    if (m_entries.size() > kSize)
        m_entries.resize(kSize);
}

std::vector<std::string> RecentSearches::Queries() const {
    std::vector<std::string> queries;
    for (const SearchRequest& search : m_entries)
        queries.push_back(search.query);
    return queries;
}

const SearchRequest* RecentSearches::Find(const std::string& query) const {
    for (const SearchRequest& search : m_entries)
        if (search.query == query)
            return &search;
    return nullptr;
}
