#pragma once
// The typed password, kept out of the edit control: one heap cell per character, each masked
// (XOR) with a 32-byte key by its position. Every insertion or removal unmasks all cells first
// and masks them again afterwards, since a character's key byte depends on its position.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

class PasswordCells {
public:
    static constexpr std::size_t kKeySize = 32;

    // The key comes from the system's random source...
    PasswordCells();
    // ...or, for tests, from a generator seeded with `seed`.
    explicit PasswordCells(std::uint32_t seed);
    ~PasswordCells();
    PasswordCells(const PasswordCells&) = delete;
    PasswordCells& operator=(const PasswordCells&) = delete;

    // Inserts `count` bytes at `position` (nothing when the position is past the end).
    void InsertChars(std::size_t position, const char* source, std::size_t count);
    // Removes `count` cells from `position` on, wiping them (nothing when out of range).
    void RemoveChars(std::size_t position, std::size_t count);
    // XORs every cell with its key byte: masks, or unmasks what was masked.
    void ApplyMask();
    // Wipes and frees every cell.
    void ClearAll();

    // A new zero-terminated copy of the clear password (Windows-1252 bytes), or nullptr when
    // it cannot be allocated. Release it with WipeClearText.
    char* GetClearText() const;
    static void WipeClearText(char* text);

    // Zeroes the bytes up to the terminator (whole) or the first byte only, then frees them.
    static void WipeAndFree(char* text, bool whole);
    // The zeroing part of WipeAndFree.
    static void WipeBytes(char* text, bool whole);

    std::size_t Count() const { return m_cells.size(); }
    // What the cells hold, masked; for tests.
    unsigned char MaskedByte(std::size_t i) const { return *m_cells[i]; }
    unsigned char KeyByte(std::size_t i) const { return m_key[i % kKeySize]; }

private:
    unsigned char* m_key = nullptr;
    std::vector<unsigned char*> m_cells;
};
