#pragma once
// Text extraction: a file's title, text, author and format, from its bytes.
#include <string>

namespace zdxserver {

// The document's text and metadata as the index takes them, from a file's bytes.
struct Extracted {
    std::string title, body, author, format;
    bool textual = false;
};
Extracted ExtractText(const std::string& fileName, const std::string& bytes);

// The first words of a document's text, for a hit without a snippet.
std::string Summary(const std::string& body);

} // namespace zdxserver
