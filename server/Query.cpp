#include "Query.h"

#include <algorithm>
#include <cctype>

namespace zdxserver {

namespace {

bool IsWordByte(char c) {
    const auto b = static_cast<unsigned char>(c);
    return b >= 0x80 || std::isalnum(b) || b == '_';
}

struct Token {
    enum class Kind { Word, Phrase, Open, Close, Or, Not, End } kind = Kind::End;
    std::string text;
    bool prefix = false;
    std::vector<std::string> words;
};

// The query's tokens; a '-' right before a word, phrase or group (at the start of a token)
// is a NOT; elsewhere punctuation only separates words.
std::vector<Token> Tokens(std::string_view q) {
    std::vector<Token> tokens;
    std::size_t i = 0;
    auto words = [&](std::string_view text) {
        std::vector<std::string> out;
        for (std::size_t j = 0; j < text.size();) {
            while (j < text.size() && !IsWordByte(text[j]))
                ++j;
            const std::size_t start = j;
            while (j < text.size() && IsWordByte(text[j]))
                ++j;
            if (j > start)
                out.emplace_back(text.substr(start, j - start));
        }
        return out;
    };
    while (i < q.size()) {
        const char c = q[i];
        const bool atStart = i == 0 || q[i - 1] == ' ' || q[i - 1] == '\t' || q[i - 1] == '(';
        if (c == '"') {
            const std::size_t end = q.find('"', i + 1);
            const std::string_view inside = q.substr(
                i + 1, end == std::string_view::npos ? std::string_view::npos : end - i - 1);
            tokens.push_back({Token::Kind::Phrase, {}, false, words(inside)});
            i = end == std::string_view::npos ? q.size() : end + 1;
        } else if (c == '(' || c == ')') {
            tokens.push_back({c == '(' ? Token::Kind::Open : Token::Kind::Close, {}, false, {}});
            ++i;
        } else if (c == '-' && atStart && i + 1 < q.size() &&
                   (IsWordByte(q[i + 1]) || q[i + 1] == '"' || q[i + 1] == '(')) {
            tokens.push_back({Token::Kind::Not, {}, false, {}});
            ++i;
        } else if (IsWordByte(c)) {
            const std::size_t start = i;
            while (i < q.size() && IsWordByte(q[i]))
                ++i;
            Token word{Token::Kind::Word, std::string(q.substr(start, i - start)), false, {}};
            word.prefix = i < q.size() && q[i] == '*';
            if (word.text == "OR")
                word.kind = Token::Kind::Or;
            else if (word.text == "NOT")
                word.kind = Token::Kind::Not;
            else if (word.text == "AND")
                continue; // the words are all required anyway
            tokens.push_back(std::move(word));
        } else {
            ++i;
        }
    }
    tokens.push_back({});
    return tokens;
}

class Parser {
public:
    explicit Parser(std::vector<Token> tokens) : m_tokens(std::move(tokens)) {}

    std::optional<QueryNode> Or(int depth) {
        std::vector<QueryNode> parts;
        while (true) {
            if (auto part = And(depth))
                Add(parts, std::move(*part));
            if (Peek() != Token::Kind::Or)
                break;
            ++m_at;
        }
        return Joined(QueryNode::Kind::Or, std::move(parts));
    }

private:
    Token::Kind Peek() const { return m_tokens[m_at].kind; }

    std::optional<QueryNode> And(int depth) {
        std::vector<QueryNode> parts;
        while (Peek() != Token::Kind::End && Peek() != Token::Kind::Or &&
               Peek() != Token::Kind::Close) {
            if (auto part = Unary(depth))
                Add(parts, std::move(*part));
        }
        return Joined(QueryNode::Kind::And, std::move(parts));
    }

    std::optional<QueryNode> Unary(int depth) {
        if (Peek() != Token::Kind::Not)
            return Primary(depth);
        ++m_at;
        if (Peek() == Token::Kind::End || Peek() == Token::Kind::Or || Peek() == Token::Kind::Close)
            return std::nullopt;
        auto operand = Primary(depth);
        if (!operand)
            return std::nullopt;
        QueryNode node;
        node.kind = QueryNode::Kind::Not;
        node.children.push_back(std::move(*operand));
        return node;
    }

    std::optional<QueryNode> Primary(int depth) {
        Token& token = m_tokens[m_at++];
        switch (token.kind) {
        case Token::Kind::Word:
            return Word(token.text, token.prefix);
        case Token::Kind::Phrase: {
            std::vector<std::string> words;
            for (std::string& w : token.words)
                if (Take())
                    words.push_back(std::move(w));
            if (words.empty())
                return std::nullopt;
            QueryNode node; // even of one word: quoted words match as they stand
            node.kind = QueryNode::Kind::Phrase;
            node.words = std::move(words);
            return node;
        }
        case Token::Kind::Open: {
            // A group; nested too deep, its parentheses are only separators.
            auto inner = depth < 8 ? Or(depth + 1) : std::nullopt;
            if (Peek() == Token::Kind::Close)
                ++m_at;
            return inner;
        }
        case Token::Kind::Not:
        case Token::Kind::Close:
        case Token::Kind::Or:
        case Token::Kind::End:
            break;
        }
        return std::nullopt;
    }

    // A word, while the query may still take one; a prefix needs two characters and a share
    // of the prefixes left.
    std::optional<QueryNode> Word(const std::string& text, bool prefix) {
        if (!Take())
            return std::nullopt;
        QueryNode node;
        node.text = text;
        node.prefix = prefix && text.size() >= 2 && m_prefixes < kMaxPrefixWords;
        m_prefixes += node.prefix ? 1 : 0;
        return node;
    }

    bool Take() {
        if (m_words >= kMaxQueryWords)
            return false;
        ++m_words;
        return true;
    }

    static bool Same(const QueryNode& a, const QueryNode& b) {
        return a.kind == b.kind && a.text == b.text && a.prefix == b.prefix && a.words == b.words &&
               a.children.size() == b.children.size() &&
               std::equal(a.children.begin(), a.children.end(), b.children.begin(), Same);
    }

    // Adds a part beside the others; a part given again ("a a", "x OR x") is left out and what
    // it took of the query's words and prefixes is given back.
    void Add(std::vector<QueryNode>& parts, QueryNode part) {
        if (std::none_of(parts.begin(), parts.end(),
                         [&](const QueryNode& p) { return Same(p, part); })) {
            parts.push_back(std::move(part));
            return;
        }
        GiveBack(part);
    }

    void GiveBack(const QueryNode& node) {
        m_words -= node.kind == QueryNode::Kind::Word ? 1 : node.words.size();
        m_prefixes -= node.prefix ? 1 : 0;
        for (const QueryNode& child : node.children)
            GiveBack(child);
    }

    static std::optional<QueryNode> Joined(QueryNode::Kind kind, std::vector<QueryNode> parts) {
        if (parts.empty())
            return std::nullopt;
        if (parts.size() == 1)
            return std::move(parts[0]);
        QueryNode node;
        node.kind = kind;
        node.children = std::move(parts);
        return node;
    }

    std::vector<Token> m_tokens;
    std::size_t m_at = 0;
    std::size_t m_words = 0, m_prefixes = 0;
};

// True when the node finds documents of its own: not an exclusion, nor made of them only.
bool Finds(const QueryNode& node) {
    switch (node.kind) {
    case QueryNode::Kind::Not:
        return false;
    case QueryNode::Kind::And:
        for (const QueryNode& child : node.children)
            if (Finds(child))
                return true;
        return false;
    case QueryNode::Kind::Or:
        for (const QueryNode& child : node.children)
            if (!Finds(child))
                return false;
        return true;
    default:
        return true;
    }
}

std::string Quoted(const std::string& word) {
    return '"' + word + '"'; // words hold no quotes
}

// A quoted string whose words match as they stand, not by their stems ('=' is never part of
// a word, so the tokenizer reads it as this mark).
std::string QuotedExact(const std::string& words) {
    return Quoted("=" + words);
}

} // namespace

ParsedQuery ParseQuery(std::string_view query) {
    ParsedQuery parsed;
    Parser parser(Tokens(query));
    parsed.root = parser.Or(0);
    if (parsed.root && !Finds(*parsed.root)) {
        parsed.root.reset();
        parsed.problem = "Please add a word to search for.";
    }
    return parsed;
}

std::string FtsSyntax(const QueryNode& node) {
    switch (node.kind) {
    case QueryNode::Kind::Word:
        return node.prefix ? QuotedExact(node.text) + "*" : Quoted(node.text);
    case QueryNode::Kind::Phrase: {
        std::string phrase;
        for (const std::string& w : node.words)
            phrase += (phrase.empty() ? "" : " ") + w;
        return QuotedExact(phrase);
    }
    case QueryNode::Kind::Or: {
        std::string out;
        for (const QueryNode& child : node.children)
            out += (out.empty() ? "(" : " OR ") + FtsSyntax(child);
        return out + ")";
    }
    case QueryNode::Kind::And: {
        // FTS5's NOT takes what stands left of it: the required parts first, then each
        // exclusion.
        std::string required, excluded;
        for (const QueryNode& child : node.children) {
            if (child.kind == QueryNode::Kind::Not)
                excluded += " NOT " + FtsSyntax(child.children[0]);
            else
                required += (required.empty() ? "" : " AND ") + FtsSyntax(child);
        }
        return "(" + required + excluded + ")";
    }
    case QueryNode::Kind::Not:
        break; // only within an And, which writes it
    }
    return {};
}

std::string TsQuerySyntax(const QueryNode& node) {
    switch (node.kind) {
    case QueryNode::Kind::Word:
        return '\'' + node.text + '\'' + (node.prefix ? ":*" : ""); // words hold no quote
    case QueryNode::Kind::Phrase: {
        std::string phrase;
        for (const std::string& w : node.words)
            phrase += (phrase.empty() ? "(" : " <-> ") + ('\'' + w + '\'');
        return phrase + ")";
    }
    case QueryNode::Kind::Not:
        return "!" + TsQuerySyntax(node.children[0]);
    case QueryNode::Kind::And:
    case QueryNode::Kind::Or: {
        const char* joint = node.kind == QueryNode::Kind::And ? " & " : " | ";
        std::string out;
        for (const QueryNode& child : node.children)
            out += (out.empty() ? "(" : joint) + TsQuerySyntax(child);
        return out + ")";
    }
    }
    return {};
}

} // namespace zdxserver
