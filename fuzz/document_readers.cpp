// The document readers of our own making: the zip and XML walk of Office, OpenDocument and EPUB
// files, RTF, and the cleaning of HTML and Markdown. Whatever the bytes, they end (no crash, no
// hang), keep to the text limit and give well-formed UTF-8.
#include "Check.h"
#include "Documents.h"
#include "Extract.h"
#include "text/Codepage.h"

using namespace zdxserver;

extern "C" int LLVMFuzzerTestOneInput(const unsigned char* data, std::size_t size) {
    if (size == 0)
        return 0;
    const std::string_view bytes(reinterpret_cast<const char*>(data) + 1, size - 1);
    Extracted e;
    try {
        switch (data[0] % 4) {
        case 0:
            e = ReadZipDocument(bytes);
            break;
        case 1:
            e = ReadRtf(bytes);
            break;
        case 2:
            e = HtmlText(bytes);
            break;
        default:
            e = ExtractText("notes.md", std::string(bytes));
            break;
        }
    } catch (const Unreadable&) {
        return 0;
    }
    FUZZ_CHECK(e.body.size() <= kMaxDocumentText);
    // Text, Markdown and RTF give UTF-8 whatever they are given; HTML and XML as libxml2 does.
    FUZZ_CHECK(IsValidUtf8(e.body) && IsValidUtf8(e.title) && IsValidUtf8(e.author));
    return 0;
}
