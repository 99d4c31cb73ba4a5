// The result-page parser, line by line into a recording sink: at most one row per line, every
// text valid UTF-8, the file name the last part of the link.
#include "Check.h"
#include "search/ResultPage.h"
#include "text/Codepage.h"

#include <string_view>

namespace {
struct Recorder : ResultSink {
    int rows = 0;
    void AppendHit(HitRow&& hit) override {
        ++rows;
        for (const std::string& field : hit.fields)
            FUZZ_CHECK(IsValidUtf8(field));
        FUZZ_CHECK(IsValidUtf8(hit.tip));
        // The file name is the link's last part (name and extension each cut at 255
        // characters): no folder separator, and never longer than the link.
        const std::string& link = hit.fields[kLink];
        const std::string& name = hit.fields[kFilename];
        FUZZ_CHECK(name.size() <= link.size());
        FUZZ_CHECK(name.find_first_of("/\\") == std::string::npos);
        FUZZ_CHECK(Utf8PrefixBytes(name, 510) == name.size());
    }
    void SetHitCount(int) override {}
    void SetSignedInUser(const std::string& user) override { FUZZ_CHECK(IsValidUtf8(user)); }
    void ShowMessage(const std::string& text) override { FUZZ_CHECK(IsValidUtf8(text)); }
};
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const unsigned char* data, std::size_t size) {
    std::string_view page(reinterpret_cast<const char*>(data), size);
    Recorder sink;
    while (!page.empty()) {
        const std::size_t lf = page.find('\n');
        const std::string_view line = page.substr(0, lf);
        page.remove_prefix(lf == std::string_view::npos ? page.size() : lf + 1);
        const int before = sink.rows;
        const int more = ParseResultLine(line, sink);
        FUZZ_CHECK(sink.rows - before <= 1);
        if (!more)
            break;
    }
    return 0;
}
