#pragma once
// The readers of zdx-extract, the process that reads documents for the service: PDF (poppler),
// Office Open XML, OpenDocument and EPUB (libzip and libxml2), RTF, and mail (GMime). The kind
// is decided from the content (libmagic, then the container's own type).
#include "Extract.h"

#include <stdexcept>
#include <string>
#include <string_view>

namespace zdxserver {

// How much text one document may give; the rest is left out.
inline constexpr std::size_t kMaxDocumentText = 16u << 20;
// How much of one part of a zip container is read, and of all its parts together.
inline constexpr std::size_t kMaxZipPart = 16u << 20;
inline constexpr std::size_t kMaxZipTotal = 64u << 20;

// A document that cannot be read, and why ("not a PDF file", "encrypted").
struct Unreadable : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// The document's text and metadata; only the format (and no text) for a file that is not a
// document. Throws Unreadable.
Extracted ReadDocument(const std::string& fileName, std::string_view bytes);

// The format's MIME type as libmagic tells it from the first bytes.
std::string MimeTypeOf(std::string_view bytes);

// The readers on their own, for the tests and the fuzz target.
Extracted ReadZipDocument(std::string_view bytes); // Office, OpenDocument, EPUB
Extracted ReadRtf(std::string_view bytes);
Extracted ReadMail(std::string_view bytes, bool mailbox);
Extracted ReadPdf(std::string_view bytes);

} // namespace zdxserver
