// The settings-file reader over any bytes (UTF-8, UTF-16 with a mark, Windows-1252): every
// value at most 255 characters of valid UTF-8 without NUL, and numbers read without trouble.
#include "Check.h"
#include "config/SettingsFile.h"
#include "text/Codepage.h"

extern "C" int LLVMFuzzerTestOneInput(const unsigned char* data, std::size_t size) {
    SettingsFile file =
        SettingsFile::FromBytes(std::string_view(reinterpret_cast<const char*>(data), size));
    for (const char* section : {"Settings", "Indexes", "List", ""})
        for (const char* key : {"Address", "Port", "Index0", "Columns", "Heading0", "x", ""}) {
            const std::string value = file.ReadString(section, key, "");
            FUZZ_CHECK(IsValidUtf8(value));
            FUZZ_CHECK(value.find('\0') == std::string::npos);
            FUZZ_CHECK(Utf8PrefixBytes(value, SettingsFile::kMaxValueChars) == value.size());
            (void)file.ReadInt(section, key, 7);
        }
    return 0;
}
