#pragma once
// The main window's remembered placement ("MainWindow") and splitter columns ("Splitter"), and
// the rule that keeps a stored placement reachable.
#include "config/ProfileSource.h"

#include <vector>

inline constexpr int kNoPlacement = 999;
inline constexpr int kShowNormal = 1, kShowMinimized = 2, kShowMaximized = 3;

struct PlacementRect {
    int left = 0, top = 0, right = 0, bottom = 0; // right and bottom exclusive
    int Width() const { return right - left; }
    int Height() const { return bottom - top; }
};

struct WindowPlacement {
    int showCmd = kNoPlacement;
    PlacementRect normal;
};

WindowPlacement ReadWindowPlacement(ProfileSource& source, const char* section);
void WriteWindowPlacement(WritableProfileSource& store, const char* section,
                          const WindowPlacement& p);

// A normal rectangle that lies on a screen: absurd sizes are brought within the largest screen
// and a rectangle that meets no screen is moved onto the first one.
PlacementRect FitOnScreens(PlacementRect rect, const std::vector<PlacementRect>& screens,
                           int minWidth, int minHeight);

struct SplitterLayout {
    int cur0 = 200, min0 = 100, cur1 = 300, min1 = 100;
};

// Reads the column widths; negative values become 0 and huge ones a screen's worth.
SplitterLayout ReadSplitterLayout(ProfileSource& source);
void WriteSplitterLayout(WritableProfileSource& store, const SplitterLayout& layout);
