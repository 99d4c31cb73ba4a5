// The service's request parsing and its file-path resolution: no accepted path leaves the
// indexed folder.
#include "Check.h"
#include "Protocol.h"
#include "Words.h"
#include "text/Codepage.h"

#include <filesystem>

extern "C" int LLVMFuzzerTestOneInput(const unsigned char* data, std::size_t size) {
    const std::string_view target(reinterpret_cast<const char*>(data), size);
    const zdxserver::Params params = zdxserver::ParseTarget(target);
    FUZZ_CHECK(params.items.size() <= 1000);
    if (auto query = params.GetRaw("query0")) {
        // The engine's syntax is ours: quotes paired, parentheses balanced, at most kMaxQueryWords
        // words.
        const std::string fts = zdxserver::FtsExpression(zdxserver::DecodeQueryText(*query));
        int depth = 0, quotes = 0;
        for (char c : fts) {
            depth += c == '(' ? 1 : c == ')' ? -1 : 0;
            quotes += c == '"';
            FUZZ_CHECK(depth >= 0);
        }
        FUZZ_CHECK(depth == 0 && quotes % 2 == 0 && quotes <= 2 * zdxserver::kMaxQueryWords);
        // A passage of the request itself for that query: within its bounds, cut at blanks
        // (whole UTF-8 characters), each matched word a part of it.
        const auto parsed = zdxserver::ParseQuery(zdxserver::DecodeQueryText(*query));
        if (parsed.root) {
            const zdxserver::Excerpt excerpt =
                zdxserver::BestExcerpt(target, *parsed.root, {"english"}, 40);
            FUZZ_CHECK(excerpt.text.size() <= target.size() + 6);
            if (IsValidUtf8(target))
                FUZZ_CHECK(IsValidUtf8(excerpt.text));
            for (const std::string& word : excerpt.matches)
                FUZZ_CHECK(!word.empty() && excerpt.text.find(word) != std::string::npos);
        }
    }
    if (auto filter = params.Get("filefilter"))
        (void)zdxserver::MatchFileName(*filter, "budget-report.PDF");
    const std::string root = "/srv/docs/handbook";
    if (auto path = zdxserver::PathUnderRoot(root, target)) {
        FUZZ_CHECK(path->compare(0, root.size() + 1, root + "/") == 0);
        const std::filesystem::path normal = std::filesystem::path(*path).lexically_normal();
        FUZZ_CHECK(normal.string().compare(0, root.size() + 1, root + "/") == 0);
        for (const auto& part : normal)
            FUZZ_CHECK(part != "..");
        for (char c : *path)
            FUZZ_CHECK(static_cast<unsigned char>(c) >= 0x20 && c != 0x7F);
    }
    return 0;
}
