#pragma once
// Which hit field each display column of the result list shows, as the List settings say.
#include <array>

inline constexpr int kMaxDisplayColumns = 10;

// Which field each display column shows; -1 shows nothing.
struct ColumnLayout {
    int columns = 0;
    std::array<int, kMaxDisplayColumns> field{};
};
