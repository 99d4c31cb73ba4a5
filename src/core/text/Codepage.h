#pragma once
// Conversions between the 8-bit code pages the service and the settings files use and the
// UTF-8 the program keeps its texts in.
#include <cstddef>
#include <string>
#include <string_view>

// Windows-1252 bytes to UTF-8. The five bytes Windows-1252 leaves undefined (0x81, 0x8D, 0x8F,
// 0x90, 0x9D) become U+0081 and so on, as Windows converts them.
std::string Cp1252ToUtf8(std::string_view bytes);

// UTF-8 to Windows-1252 bytes. A character Windows-1252 cannot hold becomes '?' (and so does a
// broken UTF-8 sequence); `ok`, when given, is cleared in that case.
std::string Utf8ToCp1252(std::string_view utf8, bool* ok = nullptr);

// True when the UTF-8 character can be written in Windows-1252.
bool IsCp1252Char(char32_t c);

// The first character of a UTF-8 text that Windows-1252 cannot hold, as UTF-8 bytes, with its
// code point in `code` (U+FFFD for a broken sequence); the empty text when there is none.
std::string FirstNonCp1252Char(std::string_view utf8, char32_t& code);

// IBM850 (the OEM code page of the link field) bytes to UTF-8.
std::string Ibm850ToUtf8(std::string_view bytes);

// True when the bytes are well-formed UTF-8 (no overlong forms, no surrogates).
bool IsValidUtf8(std::string_view bytes);

// UTF-16 (little- or big-endian, no byte-order mark) to UTF-8; unpaired surrogates become U+FFFD.
std::string Utf16ToUtf8(std::string_view bytes, bool bigEndian);

// The byte length of the first `maxChars` characters of a UTF-8 text (the whole text when it is
// shorter), so that a cut never splits a character.
std::size_t Utf8PrefixBytes(std::string_view utf8, std::size_t maxChars);

// Appends the UTF-8 form of a code point.
void AppendUtf8(std::string& out, char32_t c);
