// The command line, as NUL-separated tokens: a settings-file path is at most 255 characters
// without double quotes, and at most ten tokens are kept.
#include "Check.h"
#include "config/Application.h"
#include "text/Codepage.h"

extern "C" int LLVMFuzzerTestOneInput(const unsigned char* data, std::size_t size) {
    std::vector<std::string> tokens;
    std::string token;
    for (std::size_t i = 0; i < size; ++i) {
        if (data[i] == 0) {
            tokens.push_back(token);
            token.clear();
        } else {
            token += static_cast<char>(data[i]);
        }
    }
    tokens.push_back(token);
    Application app;
    ParseArguments(tokens, app);
    FUZZ_CHECK(app.m_iniFile.find('"') == std::string::npos);
    FUZZ_CHECK(Utf8PrefixBytes(app.m_iniFile, kMaxIniPathChars) == app.m_iniFile.size());
    // Tokens past the tenth are not looked at.
    for (std::size_t i = 0; i < static_cast<std::size_t>(kMaxArgs); ++i)
        FUZZ_CHECK(app.m_args[i] == (i < tokens.size() ? tokens[i] : std::string()));
    FUZZ_CHECK(app.m_logEnabled == 0 || app.m_logEnabled == 1);
    return 0;
}
