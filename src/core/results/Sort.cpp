#include "results/Sort.h"

#include "text/Numbers.h"

#include <cstring>

bool IsAllAlnum(std::string_view text) {
    for (char c : text) {
        const bool alnum =
            (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9');
        if (!alnum)
            return false;
    }
    return true;
}

SortKey PrepareSortKey(std::string_view text, std::string& arena) {
    SortKey key;
    key.alnum = IsAllAlnum(text);
    key.number = key.alnum ? ReadLeadingInt(text) : 0;
    key.length = static_cast<std::uint32_t>(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        auto b = static_cast<unsigned char>(text[i]);
        if (b >= 'A' && b <= 'Z')
            b = static_cast<unsigned char>(b + ('a' - 'A'));
        arena += static_cast<char>(b);
        if (i < 8)
            key.prefix |= static_cast<std::uint64_t>(b) << (56 - 8 * i);
    }
    return key;
}

void SetSortKeyText(SortKey& key, const std::string& arena, std::size_t offset) {
    key.folded = arena.data() + offset;
}

int CompareSortKeys(const SortKey& a, const SortKey& b, bool forward) {
    int r = 0;
    if (a.alnum && b.alnum) {
        r = (b.number > a.number) - (b.number < a.number);
    } else {
        // Case-insensitive over the shorter length: the folded bytes, unsigned.
        const std::uint32_t n = std::min(a.length, b.length);
        if (n > 0) {
            const std::uint32_t head = std::min<std::uint32_t>(n, 8);
            const std::uint64_t mask = ~0ull << (64 - 8 * head);
            const std::uint64_t pa = a.prefix & mask, pb = b.prefix & mask;
            if (pa != pb)
                r = pa < pb ? -1 : 1;
            else if (n > 8)
                r = std::memcmp(a.folded + 8, b.folded + 8, n - 8);
        }
    }
    return forward ? r : -r;
}

int CompareKeyTexts(std::string_view a, std::string_view b, bool forward) {
    std::string arena;
    SortKey ka = PrepareSortKey(a, arena);
    SortKey kb = PrepareSortKey(b, arena);
    SetSortKeyText(ka, arena, 0);
    SetSortKeyText(kb, arena, a.size());
    return CompareSortKeys(ka, kb, forward);
}
