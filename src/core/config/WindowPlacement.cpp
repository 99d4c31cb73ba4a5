#include "config/WindowPlacement.h"

#include <algorithm>
#include <climits>

namespace {
constexpr int kMaxSplitterWidth = 10000;
}

WindowPlacement ReadWindowPlacement(ProfileSource& source, const char* section) {
    WindowPlacement p;
    p.showCmd = source.ReadInt(section, "showCmd", kNoPlacement);
    // The minimised and maximised positions are read as the record holds them, but not used.
    for (const char* unused :
         {"ptMinPosition_x", "ptMinPosition_y", "ptMaxPosition_x", "ptMaxPosition_y"})
        source.ReadInt(section, unused, 0);
    p.normal.left = source.ReadInt(section, "rcNormalPosition_left", 0);
    p.normal.top = source.ReadInt(section, "rcNormalPosition_top", 0);
    p.normal.right = source.ReadInt(section, "rcNormalPosition_right", 0);
    p.normal.bottom = source.ReadInt(section, "rcNormalPosition_bottom", 0);
    return p;
}

void WriteWindowPlacement(WritableProfileSource& store, const char* section,
                          const WindowPlacement& p) {
    store.WriteInt(section, "showCmd", p.showCmd);
    store.WriteInt(section, "ptMinPosition_x", -1);
    store.WriteInt(section, "ptMinPosition_y", -1);
    store.WriteInt(section, "ptMaxPosition_x", -1);
    store.WriteInt(section, "ptMaxPosition_y", -1);
    store.WriteInt(section, "rcNormalPosition_left", p.normal.left);
    store.WriteInt(section, "rcNormalPosition_top", p.normal.top);
    store.WriteInt(section, "rcNormalPosition_right", p.normal.right);
    store.WriteInt(section, "rcNormalPosition_bottom", p.normal.bottom);
}

PlacementRect FitOnScreens(PlacementRect rect, const std::vector<PlacementRect>& screens,
                           int minWidth, int minHeight) {
    if (screens.empty())
        return rect;
    int maxWidth = 0, maxHeight = 0;
    for (const PlacementRect& s : screens) {
        maxWidth = std::max(maxWidth, s.Width());
        maxHeight = std::max(maxHeight, s.Height());
    }
    // Widths from the store may be negative or overflow: compute in 64 bits.
    const long long width = std::clamp<long long>(static_cast<long long>(rect.right) - rect.left,
                                                  std::min(minWidth, maxWidth), maxWidth);
    const long long height = std::clamp<long long>(static_cast<long long>(rect.bottom) - rect.top,
                                                   std::min(minHeight, maxHeight), maxHeight);
    rect.right = static_cast<int>(std::clamp<long long>(rect.left + width, INT_MIN, INT_MAX));
    rect.bottom = static_cast<int>(std::clamp<long long>(rect.top + height, INT_MIN, INT_MAX));

    // Reachable: the title bar's middle lies on some screen.
    const long long midX = (static_cast<long long>(rect.left) + rect.right) / 2;
    for (const PlacementRect& s : screens)
        if (midX >= s.left && midX < s.right && rect.top >= s.top && rect.top < s.bottom - 16)
            return rect;
    const PlacementRect& first = screens.front();
    const int w = static_cast<int>(width), h = static_cast<int>(height);
    const int left = first.left + std::max(0, (first.Width() - w) / 2);
    const int top = first.top + std::max(0, (first.Height() - h) / 2);
    return {left, top, left + w, top + h};
}

SplitterLayout ReadSplitterLayout(ProfileSource& source) {
    auto width = [&](const char* key, int def) {
        return std::clamp(source.ReadInt("Splitter", key, def), 0, kMaxSplitterWidth);
    };
    SplitterLayout layout;
    layout.cur0 = width("Splitter0Cur", 200);
    layout.min0 = width("Splitter0Min", 100);
    layout.cur1 = width("Splitter1Cur", 300);
    layout.min1 = width("Splitter1Min", 100);
    return layout;
}

void WriteSplitterLayout(WritableProfileSource& store, const SplitterLayout& layout) {
    store.WriteInt("Splitter", "Splitter0Cur", layout.cur0);
    store.WriteInt("Splitter", "Splitter0Min", layout.min0);
    store.WriteInt("Splitter", "Splitter1Cur", layout.cur1);
    store.WriteInt("Splitter", "Splitter1Min", layout.min1);
}
