#pragma once
// The desktop's list of recently used files (the freedesktop.org desktop bookmark spec's
// recently-used.xbel), which file dialogs elsewhere offer: an opened hit is added to it.
#include <QString>

#include <string>

// The desktop's data folder ($XDG_DATA_HOME, or ~/.local/share), where the recently used
// files and the Trash live.
QString XdgDataHome();

// Adds (or refreshes) the local file in $XDG_DATA_HOME/recently-used.xbel, as ZDX's use of it.
// A list that cannot be read as XBEL is left as it is; false then, or when it cannot be written.
bool AddToRecentlyUsed(const std::string& path);
