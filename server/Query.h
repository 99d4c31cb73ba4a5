#pragma once
// The query language of the service, the same on both stores, read into a tree of our own and
// written out in each engine's syntax from that tree (never the user's text as engine syntax):
//   budget plan        both words
//   "annual plan"      the words next to each other, in this order
//   budget OR travel   either (OR binds looser than the words around it)
//   -travel, NOT travel   not that word (or phrase, or group)
//   plan*              words starting with "plan" (two characters or more before the '*')
//   (a OR b) c         a group
// A query's cost is bounded: at most kMaxQueryWords words (phrase words included) and
// kMaxPrefixWords prefixes; the rest of the query is left out, extra prefixes count as words.
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace zdxserver {

inline constexpr std::size_t kMaxQueryWords = 32, kMaxPrefixWords = 8;

struct QueryNode {
    enum class Kind { Word, Phrase, And, Or, Not } kind = Kind::Word;
    std::string text;               // Word
    bool prefix = false;            // Word
    std::vector<std::string> words; // Phrase
    std::vector<QueryNode> children;
};

struct ParsedQuery {
    std::optional<QueryNode> root; // nothing: no word to search for
    std::string problem;           // what to tell the user instead of searching
};

ParsedQuery ParseQuery(std::string_view query);

// The tree as an FTS5 expression and as a PostgreSQL tsquery text.
std::string FtsSyntax(const QueryNode& node);
std::string TsQuerySyntax(const QueryNode& node);

} // namespace zdxserver
