// Link-field decoding: UTF-8 out, never a NUL byte (the field ends at the first one).
#include "Check.h"
#include "search/ResultPage.h"
#include "text/Codepage.h"

extern "C" int LLVMFuzzerTestOneInput(const unsigned char* data, std::size_t size) {
    const std::string text =
        DecodeField(std::string_view(reinterpret_cast<const char*>(data), size));
    FUZZ_CHECK(IsValidUtf8(text));
    FUZZ_CHECK(text.find('\0') == std::string::npos);
    FUZZ_CHECK(text.size() <= 3 * size); // IBM850 bytes take at most three bytes in UTF-8
    const std::string name = FilenameOf(text);
    FUZZ_CHECK(name.size() <= text.size());
    return 0;
}
