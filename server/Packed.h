#pragma once
// A document's text as the SQLite index keeps it. A long text is packed: a byte 0, its length
// (four bytes, little-endian), its opening as it stands and the rest as one LZ4 block, so that
// a passage found in the opening is read without unpacking anything. Other texts are kept as
// they stand; none of them starts with a byte 0 (one that would is packed).
#include <cstddef>
#include <string>
#include <string_view>

namespace zdxserver {

// The bytes of a text's opening kept as they stand in its packed form.
inline constexpr std::size_t kPackedOpeningBytes = 1024;
// Where the opening starts in a packed text.
inline constexpr std::size_t kPackedHeaderBytes = 5;

std::string PackText(std::string_view text);
bool IsPacked(std::string_view stored);
// The length of the text kept as `stored`, from its first kPackedHeaderBytes bytes or more.
std::size_t TextLength(std::string_view stored);
// The first `limit` bytes (or fewer) of the text kept as `stored`; false when `stored` is not
// a packed text this could unpack.
bool UnpackText(std::string_view stored, std::size_t limit, std::string& text);
// The same for a packed text's rest, `packedRest` being what follows its opening: the bytes of
// the text from kPackedOpeningBytes on, at most `limit` of them, appended to `text`.
bool UnpackRest(std::string_view packedRest, std::size_t limit, std::string& text);

} // namespace zdxserver
