#include "signin/PasswordCells.h"

#include "text/SecureWipe.h"

#include <cstdlib>
#include <new>
#include <random>

PasswordCells::PasswordCells() : PasswordCells(std::random_device{}()) {}

PasswordCells::PasswordCells(std::uint32_t seed) {
    m_key = new unsigned char[kKeySize];
    std::mt19937 random(seed);
    for (std::size_t i = 0; i < kKeySize; ++i)
        m_key[i] = static_cast<unsigned char>(random() & 0xFF);
}

PasswordCells::~PasswordCells() {
    ClearAll();
    SecureZero(m_key, kKeySize);
    delete[] m_key;
}

void PasswordCells::ApplyMask() {
    for (std::size_t i = 0; i < m_cells.size(); ++i)
        if (m_cells[i])
            *m_cells[i] ^= m_key[i % kKeySize];
}

void PasswordCells::InsertChars(std::size_t position, const char* source, std::size_t count) {
    if (!source || count == 0 || position > m_cells.size())
        return;
    ApplyMask();
    std::size_t at = position;
    for (std::size_t k = 0; k < count; ++k) {
        auto* cell = new (std::nothrow) unsigned char(static_cast<unsigned char>(source[k]));
        if (!cell)
            continue; // the character is dropped
        m_cells.insert(m_cells.begin() + static_cast<std::ptrdiff_t>(at++), cell);
    }
    ApplyMask();
}

void PasswordCells::RemoveChars(std::size_t position, std::size_t count) {
    if (position > m_cells.size() || count > m_cells.size() - position)
        return;
    ApplyMask();
    for (std::size_t k = position; k < position + count; ++k) {
        SecureZero(m_cells[k], 1);
        delete m_cells[k];
    }
    m_cells.erase(m_cells.begin() + static_cast<std::ptrdiff_t>(position),
                  m_cells.begin() + static_cast<std::ptrdiff_t>(position + count));
    ApplyMask();
}

void PasswordCells::ClearAll() {
    for (unsigned char* cell : m_cells) {
        SecureZero(cell, 1);
        delete cell;
    }
    m_cells.clear();
}

char* PasswordCells::GetClearText() const {
    auto* text = static_cast<char*>(std::malloc(m_cells.size() + 1));
    if (!text)
        return nullptr;
    for (std::size_t i = 0; i < m_cells.size(); ++i)
        text[i] = static_cast<char>(*m_cells[i] ^ m_key[i % kKeySize]);
    text[m_cells.size()] = '\0';
    return text;
}

void PasswordCells::WipeBytes(char* text, bool whole) {
    if (!text)
        return;
    if (!whole) {
        SecureZero(text, 1);
        return;
    }
    std::size_t n = 0;
    while (text[n] != '\0')
        ++n;
    SecureZero(text, n);
}

void PasswordCells::WipeAndFree(char* text, bool whole) {
    if (!text)
        return;
    WipeBytes(text, whole);
    std::free(text);
}

void PasswordCells::WipeClearText(char* text) {
    WipeAndFree(text, true);
}
