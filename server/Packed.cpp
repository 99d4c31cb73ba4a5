#include "Packed.h"

#include <lz4.h>

#include <algorithm>
#include <cstdint>
#include <stdexcept>

namespace zdxserver {

namespace {

// Shorter texts gain too little to be worth unpacking.
constexpr std::size_t kPackFrom = 2 * kPackedOpeningBytes;

} // namespace

std::string PackText(std::string_view text) {
    if ((text.size() < kPackFrom && (text.empty() || text[0] != '\0')) ||
        text.size() > static_cast<std::size_t>(LZ4_MAX_INPUT_SIZE))
        return std::string(text);
    const std::size_t opening = std::min(text.size(), kPackedOpeningBytes);
    const std::string_view rest = text.substr(opening);
    const int bound = LZ4_compressBound(static_cast<int>(rest.size()));
    std::string packed(kPackedHeaderBytes + opening + static_cast<std::size_t>(bound), '\0');
    const auto length = static_cast<std::uint32_t>(text.size());
    for (std::size_t i = 0; i < 4; ++i)
        packed[1 + i] = static_cast<char>((length >> (8 * i)) & 0xff);
    std::copy(text.begin(), text.begin() + static_cast<std::ptrdiff_t>(opening),
              packed.begin() + kPackedHeaderBytes);
    const int size = LZ4_compress_default(rest.data(), packed.data() + kPackedHeaderBytes + opening,
                                          static_cast<int>(rest.size()), bound);
    if (size <= 0) // not with room for the bound; a text kept in part would be lost
        throw std::runtime_error("LZ4 could not pack a text");
    packed.resize(kPackedHeaderBytes + opening + static_cast<std::size_t>(size));
    return packed;
}

bool IsPacked(std::string_view stored) {
    return stored.size() >= kPackedHeaderBytes && stored[0] == '\0';
}

std::size_t TextLength(std::string_view stored) {
    if (!IsPacked(stored))
        return stored.size();
    std::uint32_t length = 0;
    for (std::size_t i = 0; i < 4; ++i)
        length |= static_cast<std::uint32_t>(static_cast<unsigned char>(stored[1 + i])) << (8 * i);
    return length;
}

bool UnpackRest(std::string_view packedRest, std::size_t limit, std::string& text) {
    const std::size_t start = text.size();
    text.resize(start + limit);
    const int size = LZ4_decompress_safe_partial(packedRest.data(), text.data() + start,
                                                 static_cast<int>(packedRest.size()),
                                                 static_cast<int>(limit), static_cast<int>(limit));
    text.resize(start + static_cast<std::size_t>(std::max(size, 0)));
    return size >= 0;
}

bool UnpackText(std::string_view stored, std::size_t limit, std::string& text) {
    text.clear();
    if (!IsPacked(stored))
        return false;
    const std::size_t whole = TextLength(stored);
    const std::size_t opening = std::min(whole, kPackedOpeningBytes);
    if (stored.size() < kPackedHeaderBytes + opening)
        return false;
    const std::size_t length = std::min(whole, limit);
    text.assign(stored.substr(kPackedHeaderBytes, std::min(opening, length)));
    return length <= opening ||
           (UnpackRest(stored.substr(kPackedHeaderBytes + opening), length - opening, text) &&
            text.size() == length);
}

} // namespace zdxserver
