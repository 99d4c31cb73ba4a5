#pragma once
// Words as the service compares them: folded (case and diacritics, as SQLite's unicode61
// tokenizer folds them) and reduced to their Snowball stem in a language, so that "budgets"
// finds "budget". The SQLite store indexes through the "zdx" FTS5 tokenizer made here; both
// stores cut their excerpts with the same matching.
#include "Query.h"

#include <cstddef>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

struct sqlite3;
struct fts5_api;
struct sb_stemmer;

namespace zdxserver {

// True when Snowball has a stemmer of that name ("english", "german", "greek", ...).
bool IsStemmerLanguage(std::string_view name);
std::string StemmerLanguages(); // their names, comma-separated, for messages

// FTS5's interface on a connection; throws std::runtime_error when SQLite has no FTS5.
fts5_api* Fts5Api(sqlite3* db);

// Registers the FTS5 tokenizer "zdx" on a connection. Its arguments are the languages whose
// stems it writes (the first is used unless a DocumentLanguage says otherwise). A document's
// words are indexed as they stand (folded) and, where the stem differs, with the stem at the
// same place under a mark of its own. In a query, a quoted string that starts with '=' (a
// phrase, a prefix) matches the words as they stand; any other matches every word of the same
// stem in any of the languages.
void RegisterWordTokenizer(sqlite3* db);
// The argument of "tokenize=" for those languages.
std::string TokenizerArguments(const std::vector<std::string>& languages);

// A document's words as the tokenizer "zdx" with these languages hands them to FTS5, the
// document stemmed in the language numbered `language`: worked out ahead, on a thread other
// than the one that inserts the document (see PackedFrom). Empty when there are none.
std::string DocumentTokens(std::string_view text, const std::vector<std::string>& languages,
                           std::size_t language);

// While it lives, the text `stored` (packed or not, see Packed.h) inserted on this thread has
// its words taken from `text`, which it was packed from, rather than unpacked again; or, given
// the DocumentTokens of `text`, handed to FTS5 as they are.
class PackedFrom {
public:
    PackedFrom(std::string_view stored, std::string_view text, std::string_view tokens = {});
    ~PackedFrom();
    PackedFrom(const PackedFrom&) = delete;
    PackedFrom& operator=(const PackedFrom&) = delete;
};

// While it lives, documents inserted or deleted on this thread are stemmed in the tokenizer's
// language number `index`.
class DocumentLanguage {
public:
    explicit DocumentLanguage(std::size_t index);
    ~DocumentLanguage();
    DocumentLanguage(const DocumentLanguage&) = delete;
    DocumentLanguage& operator=(const DocumentLanguage&) = delete;

private:
    std::size_t m_previous;
};

// While it lives, the query words this thread's FTS5 queries parse match only the forms (the
// word as it stands, its stems) for which `held` says the index holds them.
class HeldForms {
public:
    explicit HeldForms(std::function<bool(const std::string& form)> held);
    ~HeldForms();
    HeldForms(const HeldForms&) = delete;
    HeldForms& operator=(const HeldForms&) = delete;

private:
    std::function<bool(const std::string&)> m_held;
    const std::function<bool(const std::string&)>* m_previous;
};

// Calls `word` for each word of `text`: its folded form and its byte range in `text`. Stops
// when `word` returns false.
void ForEachWord(
    std::string_view text,
    const std::function<bool(std::string_view folded, std::size_t begin, std::size_t end)>& word);

// The parts a word is matched by: each character of the scripts written without blanks
// between words (CJK, kana) and each symbol or emoji on its own, the runs between them whole.
std::vector<std::string> WordPieces(std::string_view word);
// The same as a regular expression of PostgreSQL that finds each such character.
inline constexpr const char* kStandAlonePattern =
    "([\\u2000-\\U0010FFFF\\u00A6\\u00A9\\u00AE\\u00B0])";

// A Snowball stemmer for one thread (stemmers keep state between calls).
class Stemmer {
public:
    explicit Stemmer(const std::string& language);
    ~Stemmer();
    Stemmer(const Stemmer&) = delete;
    Stemmer& operator=(const Stemmer&) = delete;
    std::string Stem(std::string_view folded);

private:
    sb_stemmer* m_stemmer = nullptr;
};

// What a hit shows of its text: the passage (about `maxBytes`) where the query's words stand
// closest together, and those words as the passage holds them.
struct Excerpt {
    std::string text;                 // empty when no word of the query is in the text
    std::vector<std::string> matches; // each distinct, in the order they first appear
};
inline constexpr std::size_t kExcerptBytes = 200;
// How much of a text is searched for that passage, and how many places of the words at most.
inline constexpr std::size_t kExcerptScanBytes = 256u << 10;
inline constexpr std::size_t kExcerptPlaces = 64;
Excerpt BestExcerpt(std::string_view body, const QueryNode& query,
                    const std::vector<std::string>& languages,
                    std::size_t maxBytes = kExcerptBytes);

// The words of a query as passages look for them (folded, stemmed), worked out once for all the
// hits of a search. It keeps its working space from one text to the next: one thread at a time.
class PassageQuery {
public:
    PassageQuery(const QueryNode& query, const std::vector<std::string>& languages);
    ~PassageQuery();
    PassageQuery(const PassageQuery&) = delete;
    PassageQuery& operator=(const PassageQuery&) = delete;
    Excerpt Best(std::string_view body, std::size_t maxBytes = kExcerptBytes) const;
    // The same passage from the opening of a text, when the opening is enough to tell: a word
    // of the query in every document is usually found near its start, and the rest of the text
    // need not be read. Nothing when the whole text is needed.
    std::optional<Excerpt> BestInOpening(std::string_view opening,
                                         std::size_t maxBytes = kExcerptBytes) const;

    // The words of the query as `text` holds them (see MatchedWords).
    std::vector<std::string> Matched(std::string_view text, std::size_t most) const;

    struct Terms;

private:
    std::unique_ptr<Terms> m_terms;
};

// The words of the query as `text` holds them, each once, in the order they first appear; at
// most `most`.
std::vector<std::string> MatchedWords(std::string_view text, const QueryNode& query,
                                      const std::vector<std::string>& languages,
                                      std::size_t most = 1000);

} // namespace zdxserver
