#pragma once
// Sorting the result list by a column. Pairs of purely alphanumeric texts compare as numbers,
// larger first; any other pair compares alphabetically over the shorter length, ignoring case.
// That comparison is not a strict weak ordering, so rows are sorted with a merge sort of our
// own, whose accesses stay in bounds whatever the comparison answers and which keeps rows that
// compare equal in their order.
#include <algorithm>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

// True when every byte is an ASCII letter or digit (also for the empty text).
bool IsAllAlnum(std::string_view text);

// Compares two rows' key texts (Windows-1252 bytes): negative when the first goes before the
// second. With `forward` false the result is reversed.
int CompareKeyTexts(std::string_view a, std::string_view b, bool forward);

// A key text prepared once per sort: its bytes with A-Z folded to a-z (kept by the caller), the
// first eight of them as a number for a quick first comparison, and its value as a number.
struct SortKey {
    std::uint64_t prefix = 0; // folded bytes 0..7, big-endian, zero-padded
    const char* folded = nullptr;
    std::uint32_t length = 0;
    std::int32_t number = 0;
    bool alnum = true;
    std::uint32_t row = 0; // the row this key sorts
};

// Appends the folded bytes of `text` to `arena` and describes them; `folded` is left for the
// caller to point into the arena once the arena is complete.
SortKey PrepareSortKey(std::string_view text, std::string& arena);
void SetSortKeyText(SortKey& key, const std::string& arena, std::size_t offset);

int CompareSortKeys(const SortKey& a, const SortKey& b, bool forward);

// Sorts stably with `compare(x, y)` returning <0, 0 or >0; any answers keep it in bounds.
template <class T, class Compare> void StableMergeSort(std::vector<T>& items, Compare compare) {
    const std::size_t n = items.size();
    std::vector<T> buffer(n);
    for (std::size_t width = 1; width < n; width *= 2) {
        for (std::size_t lo = 0; lo < n; lo += 2 * width) {
            const std::size_t mid = std::min(lo + width, n);
            const std::size_t hi = std::min(lo + 2 * width, n);
            std::size_t i = lo, j = mid, k = lo;
            while (i < mid && j < hi)
                buffer[k++] = compare(items[j], items[i]) < 0 ? items[j++] : items[i++];
            while (i < mid)
                buffer[k++] = items[i++];
            while (j < hi)
                buffer[k++] = items[j++];
        }
        items.swap(buffer);
    }
}
