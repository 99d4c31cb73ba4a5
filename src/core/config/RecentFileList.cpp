#include "config/RecentFileList.h"

std::string RecentFileList::MenuText(std::size_t index, const std::string& path) {
    const std::size_t slash = path.find_last_of('/');
    const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
    std::string text = "&";
    text += std::to_string(index + 1);
    text += ' ';
    for (char c : name) {
        if (c == '&')
            text += '&'; // shown as one '&', not as a mnemonic
        text += c;
    }
    return text;
}
