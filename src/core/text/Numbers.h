#pragma once
// Reading numbers out of text the way the C library's atoi and strtol read them.
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

// Skips leading white space and reads an optional sign, as atoi and strtol do; true for '-'.
bool SkipSpaceAndSign(std::string_view text, std::size_t& i);

// A decimal number read like atoi: leading white space, an optional sign, then digits; no
// digits give 0. Saturates at the 32-bit limits.
int ReadLeadingInt(std::string_view text);

// A whole number written out in full: an optional sign and decimal digits, nothing before or
// after, within [min, max]; nothing otherwise. The one strict reader of options and settings.
std::optional<long long> ReadWholeNumber(std::string_view text, long long min, long long max);

// The value of a hexadecimal digit, or -1.
int HexDigit(char c);

// Appends the byte as "%XX" (upper-case hexadecimal).
void AppendPercentEscape(std::string& out, unsigned char byte);
// "%XX" for every byte of a URL path that is not unreserved or '/' (UTF-8).
std::string UrlEscapePath(std::string_view utf8);
// Each "%XX" of two hex digits turned into its byte, once; anything else kept as it stands.
std::string PercentDecode(std::string_view text);
