#include "text/Codepage.h"

#include <array>
#include <cstdint>
#include <cstring>
#include <iconv.h>
#include <mutex>

namespace {

// 0x80..0x9F of Windows-1252; the rest of the upper half equals Latin-1.
constexpr char16_t kCp1252High[32] = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};

char32_t Cp1252Decode(unsigned char b) {
    if (b >= 0x80 && b < 0xA0)
        return kCp1252High[b - 0x80];
    return b;
}

int Cp1252Encode(char32_t c) {
    if (c < 0x80 || (c >= 0xA0 && c <= 0xFF))
        return static_cast<int>(c);
    for (int i = 0; i < 32; ++i)
        if (kCp1252High[i] == c)
            return 0x80 + i;
    return -1;
}

// Decodes one UTF-8 character at `i`; returns false (and advances by one byte) when the bytes
// there are not a well-formed character.
bool DecodeUtf8(std::string_view s, std::size_t& i, char32_t& out) {
    const auto b0 = static_cast<unsigned char>(s[i]);
    if (b0 < 0x80) {
        out = b0;
        ++i;
        return true;
    }
    int extra;
    char32_t c;
    char32_t min;
    if ((b0 & 0xE0) == 0xC0) {
        extra = 1, c = b0 & 0x1F, min = 0x80;
    } else if ((b0 & 0xF0) == 0xE0) {
        extra = 2, c = b0 & 0x0F, min = 0x800;
    } else if ((b0 & 0xF8) == 0xF0) {
        extra = 3, c = b0 & 0x07, min = 0x10000;
    } else {
        ++i;
        return false;
    }
    if (i + extra >= s.size()) {
        ++i;
        return false;
    }
    for (int k = 1; k <= extra; ++k) {
        const auto b = static_cast<unsigned char>(s[i + k]);
        if ((b & 0xC0) != 0x80) {
            ++i;
            return false;
        }
        c = (c << 6) | (b & 0x3F);
    }
    if (c < min || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) {
        ++i;
        return false;
    }
    i += extra + 1;
    out = c;
    return true;
}

std::array<char32_t, 128> BuildIbm850Table() {
    std::array<char32_t, 128> table{};
    iconv_t cd = iconv_open("UTF-32LE", "IBM850");
    for (int b = 0x80; b < 0x100; ++b) {
        char32_t result = 0xFFFD;
        if (cd != reinterpret_cast<iconv_t>(-1)) {
            char in = static_cast<char>(b);
            unsigned char outBuf[8] = {};
            char* inPtr = &in;
            auto* outPtr = reinterpret_cast<char*>(outBuf);
            std::size_t inLeft = 1;
            std::size_t outLeft = sizeof outBuf;
            if (iconv(cd, &inPtr, &inLeft, &outPtr, &outLeft) != static_cast<std::size_t>(-1) &&
                outLeft == 4)
                result = outBuf[0] | (outBuf[1] << 8) | (outBuf[2] << 16) |
                         (static_cast<char32_t>(outBuf[3]) << 24);
            iconv(cd, nullptr, nullptr, nullptr, nullptr);
        }
        table[b - 0x80] = result;
    }
    if (cd != reinterpret_cast<iconv_t>(-1))
        iconv_close(cd);
    return table;
}

// Position of the first byte from 0x80 on, or the size when the text is plain ASCII.
std::size_t FirstHighByte(std::string_view bytes) {
    std::size_t i = 0;
    // Eight bytes at a time: most texts are plain ASCII.
    for (; i + 8 <= bytes.size(); i += 8) {
        std::uint64_t word;
        std::memcpy(&word, bytes.data() + i, 8);
        if (word & 0x8080808080808080ull)
            break;
    }
    while (i < bytes.size() && static_cast<unsigned char>(bytes[i]) < 0x80)
        ++i;
    return i;
}

// Converts an 8-bit code page whose lower half is ASCII, by a table for the upper half.
template <class Table> std::string UpperHalfToUtf8(std::string_view bytes, const Table& upper) {
    const std::size_t ascii = FirstHighByte(bytes);
    if (ascii == bytes.size())
        return std::string(bytes);
    std::string out;
    out.reserve(bytes.size() + (bytes.size() - ascii) / 2 + 4);
    out.append(bytes.substr(0, ascii));
    for (std::size_t i = ascii; i < bytes.size(); ++i) {
        const auto b = static_cast<unsigned char>(bytes[i]);
        if (b < 0x80)
            out += static_cast<char>(b);
        else
            AppendUtf8(out, upper(b));
    }
    return out;
}

} // namespace

void AppendUtf8(std::string& out, char32_t c) {
    if (c < 0x80) {
        out += static_cast<char>(c);
    } else if (c < 0x800) {
        out += static_cast<char>(0xC0 | (c >> 6));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        out += static_cast<char>(0xE0 | (c >> 12));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (c >> 18));
        out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    }
}

std::string Cp1252ToUtf8(std::string_view bytes) {
    return UpperHalfToUtf8(bytes, Cp1252Decode);
}

bool IsCp1252Char(char32_t c) {
    return Cp1252Encode(c) >= 0;
}

std::string Utf8ToCp1252(std::string_view utf8, bool* ok) {
    if (FirstHighByte(utf8) == utf8.size()) {
        if (ok)
            *ok = true;
        return std::string(utf8);
    }
    std::string out;
    out.reserve(utf8.size());
    bool allOk = true;
    std::size_t i = 0;
    while (i < utf8.size()) {
        char32_t c;
        int b = DecodeUtf8(utf8, i, c) ? Cp1252Encode(c) : -1;
        if (b < 0) {
            allOk = false;
            b = '?';
        }
        out += static_cast<char>(b);
    }
    if (ok)
        *ok = allOk;
    return out;
}

std::string FirstNonCp1252Char(std::string_view utf8, char32_t& code) {
    std::size_t i = FirstHighByte(utf8);
    while (i < utf8.size()) {
        const std::size_t start = i;
        char32_t c;
        if (!DecodeUtf8(utf8, i, c)) {
            code = 0xFFFD;
            return "\xEF\xBF\xBD";
        }
        if (Cp1252Encode(c) < 0) {
            code = c;
            return std::string(utf8.substr(start, i - start));
        }
    }
    code = 0;
    return {};
}

std::string Ibm850ToUtf8(std::string_view bytes) {
    static const std::array<char32_t, 128> table = BuildIbm850Table();
    return UpperHalfToUtf8(bytes, [](unsigned char b) { return table[b - 0x80]; });
}

bool IsValidUtf8(std::string_view bytes) {
    std::size_t i = 0;
    char32_t c;
    while (i < bytes.size())
        if (!DecodeUtf8(bytes, i, c))
            return false;
    return true;
}

std::string Utf16ToUtf8(std::string_view bytes, bool bigEndian) {
    std::string out;
    const std::size_t units = bytes.size() / 2;
    auto unit = [&](std::size_t k) -> char16_t {
        const auto a = static_cast<unsigned char>(bytes[2 * k]);
        const auto b = static_cast<unsigned char>(bytes[2 * k + 1]);
        return static_cast<char16_t>(bigEndian ? (a << 8 | b) : (b << 8 | a));
    };
    for (std::size_t k = 0; k < units; ++k) {
        char32_t c = unit(k);
        if (c >= 0xD800 && c <= 0xDBFF && k + 1 < units && unit(k + 1) >= 0xDC00 &&
            unit(k + 1) <= 0xDFFF) {
            c = 0x10000 + ((c - 0xD800) << 10) + (unit(k + 1) - 0xDC00);
            ++k;
        } else if (c >= 0xD800 && c <= 0xDFFF) {
            c = 0xFFFD;
        }
        AppendUtf8(out, c);
    }
    return out;
}

std::size_t Utf8PrefixBytes(std::string_view utf8, std::size_t maxChars) {
    std::size_t i = 0;
    std::size_t chars = 0;
    char32_t c;
    while (i < utf8.size() && chars < maxChars) {
        DecodeUtf8(utf8, i, c);
        ++chars;
    }
    return i;
}
