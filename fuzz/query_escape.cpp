// Query escaping: whatever the service can receive comes back whole through the service's own
// decoding, and the request line never holds a raw control byte, blank or byte from 0x80.
#include "Check.h"
#include "Protocol.h"
#include "net/FetchPage.h"
#include "search/QueryText.h"
#include "text/Codepage.h"

extern "C" int LLVMFuzzerTestOneInput(const unsigned char* data, std::size_t size) {
    // The input is read as Windows-1252 text, so that every byte is a character it can hold.
    const std::string bytes(reinterpret_cast<const char*>(data), size);
    const std::string text = Cp1252ToUtf8(bytes);
    const std::string encoded = EncodeQueryText(bytes);
    const std::string line = RequestLinePath("/s?query0=" + encoded);
    for (char c : line) {
        const auto b = static_cast<unsigned char>(c);
        FUZZ_CHECK(b > 0x20 && b < 0x7F);
    }
    const zdxserver::Params params = zdxserver::ParseTarget(line);
    const auto sent = params.GetRaw("query0");
    // '&' and '%' go out as they are (a known limit of the protocol): the round trip holds for
    // texts without them.
    if (bytes.find_first_of("&%") == std::string::npos) {
        FUZZ_CHECK(sent.has_value());
        FUZZ_CHECK(zdxserver::DecodeQueryText(*sent) == text);
    }
    FUZZ_CHECK(UnsendableTextMessage(text, ConnectionSettings{}).empty());
    return 0;
}
