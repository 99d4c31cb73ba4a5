#include "Words.h"

#include "Packed.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cctype>
#include <cstdint>
#include <cstring>
#include <libstemmer.h>
#include <map>
#include <sqlite3.h>
#ifdef __SSE2__
#include <emmintrin.h>
#endif
#include <stdexcept>

namespace zdxserver {

namespace {

// Marks a stem in the index, so that a phrase's words, indexed as they stand, never match a
// stem of another word.
constexpr char kStemMark = '\x01';
// Starts a quoted query string whose words match as they stand.
constexpr char kExactMark = '=';

thread_local std::size_t t_documentLanguage = 0;
// Set by a PackedFrom: a text as stored, the text it was packed from, and its words.
thread_local std::string_view t_packed, t_packedFrom, t_tokens;
thread_local const std::function<bool(const std::string&)>* t_formHeld = nullptr;

// unicode61 with diacritics removed: the folding every word gets. Symbols (emoji among them)
// are word characters too, so that they can be searched for.
const char* const kFoldArgs[] = {"remove_diacritics", "2", "categories", "L* N* Co So"};
constexpr int kFoldArgCount = 4;

// The code point at `at` of UTF-8 text, and its length (1 for a stray byte).
char32_t CodePointAt(std::string_view text, std::size_t at, std::size_t& length) {
    const auto b = static_cast<unsigned char>(text[at]);
    length = b >= 0xF0 ? 4 : b >= 0xE0 ? 3 : b >= 0xC0 ? 2 : 1;
    if (at + length > text.size())
        length = 1;
    if (length == 1)
        return b;
    char32_t c = b & (0x3F >> (length - 1));
    for (std::size_t i = 1; i < length; ++i)
        c = (c << 6) | (static_cast<unsigned char>(text[at + i]) & 0x3F);
    return c;
}

// A character that is a word of its own: the scripts written without blanks between words
// (CJK, kana), and symbols and emoji. A query's run of them matches as a phrase of characters.
bool StandsAlone(char32_t c) {
    return c >= 0x2000 || c == 0xA6 || c == 0xA9 || c == 0xAE || c == 0xB0;
}

// Calls `piece` for the parts of a folded word: each character that stands alone, and the
// runs between them; with its byte offset in the word.
template <class Piece> int ForEachPiece(std::string_view word, Piece&& piece) {
    std::size_t runStart = 0;
    for (std::size_t at = 0; at < word.size();) {
        std::size_t length = 1;
        const char32_t c = CodePointAt(word, at, length);
        if (StandsAlone(c)) {
            int rc = SQLITE_OK;
            if (at > runStart)
                rc = piece(word.substr(runStart, at - runStart), runStart);
            if (rc == SQLITE_OK)
                rc = piece(word.substr(at, length), at);
            if (rc != SQLITE_OK)
                return rc;
            runStart = at + length;
        }
        at += length;
    }
    if (runStart == 0)
        return piece(word, 0);
    return runStart < word.size() ? piece(word.substr(runStart), runStart) : SQLITE_OK;
}

std::string StemWith(sb_stemmer* stemmer, std::string_view word) {
    const sb_symbol* stem = sb_stemmer_stem(
        stemmer, reinterpret_cast<const sb_symbol*>(word.data()), static_cast<int>(word.size()));
    if (!stem)
        return std::string(word);
    return std::string(reinterpret_cast<const char*>(stem),
                       static_cast<std::size_t>(sb_stemmer_length(stemmer)));
}

// The stems of the document words met last, a slot for each hash: most words of a text are
// among a few thousand, and stemming them again was a quarter of indexing. Slots hold their
// words in place (a map's nodes scattered over megabytes cost as much to reach as the stemming).
class StemCache {
public:
    // The word's stem ("" when the word is its own), from `stemmer` unless held.
    std::string_view Find(std::string_view word, sb_stemmer* stemmer) {
        if (word.size() > kLongest)
            return Own(StemWith(stemmer, word), word);
        std::uint32_t hash = 2166136261u; // FNV-1a
        for (const char c : word)
            hash = (hash ^ static_cast<unsigned char>(c)) * 16777619u;
        // 2 MB, taken on the first document word: most connections only search.
        if (m_slots.empty())
            m_slots.resize(32768);
        Slot& slot = m_slots[hash % m_slots.size()];
        if (slot.wordSize != word.size() || std::memcmp(slot.word, word.data(), word.size()) != 0) {
            const std::string found = StemWith(stemmer, word);
            if (found.size() > kLongest)
                return Own(found, word);
            slot.wordSize = static_cast<std::uint8_t>(word.size());
            std::memcpy(slot.word, word.data(), word.size());
            slot.stemSize = found == word ? 0 : static_cast<std::uint8_t>(found.size());
            std::memcpy(slot.stem, found.data(), slot.stemSize);
        }
        return {slot.stem, slot.stemSize};
    }

private:
    static constexpr std::size_t kLongest = 30;
    struct Slot {
        std::uint8_t wordSize = 0; // 0: empty
        std::uint8_t stemSize = 0;
        char word[kLongest];
        char stem[kLongest];
    };
    std::string_view Own(const std::string& stem, std::string_view word) {
        m_long = stem == word ? std::string() : stem;
        return m_long;
    }
    std::vector<Slot> m_slots;
    std::string m_long; // the stem of the last word too long for a slot
};

struct WordTokenizer {
    fts5_tokenizer inner{};
    Fts5Tokenizer* innerTokenizer = nullptr;
    std::vector<sb_stemmer*> stemmers;
    std::vector<StemCache> stems; // one for each stemmer
    ~WordTokenizer() {
        if (innerTokenizer)
            inner.xDelete(innerTokenizer);
        for (sb_stemmer* s : stemmers)
            sb_stemmer_delete(s);
    }
};

int CreateTokenizer(void* context, const char** args, int count, Fts5Tokenizer** out) {
    auto* api = static_cast<fts5_api*>(context);
    auto tokenizer = std::make_unique<WordTokenizer>();
    void* innerContext = nullptr;
    int rc = api->xFindTokenizer(api, "unicode61", &innerContext, &tokenizer->inner);
    if (rc == SQLITE_OK)
        rc = tokenizer->inner.xCreate(innerContext, const_cast<const char**>(kFoldArgs),
                                      kFoldArgCount, &tokenizer->innerTokenizer);
    if (rc != SQLITE_OK)
        return rc;
    for (int i = 0; i < count; ++i) {
        sb_stemmer* stemmer = sb_stemmer_new(args[i], "UTF_8");
        if (!stemmer)
            return SQLITE_ERROR;
        tokenizer->stemmers.push_back(stemmer);
    }
    tokenizer->stems.resize(tokenizer->stemmers.size());
    *out = reinterpret_cast<Fts5Tokenizer*>(tokenizer.release());
    return SQLITE_OK;
}

void DeleteTokenizer(Fts5Tokenizer* tokenizer) {
    delete reinterpret_cast<WordTokenizer*>(tokenizer);
}

struct TokenizeCall {
    WordTokenizer* tokenizer;
    void* context;
    int (*token)(void*, int, const char*, int, int, int);
    bool query;
    std::string marked; // the stem with its mark
};

int EmitMarked(TokenizeCall& call, std::string_view stem, int begin, int end) {
    call.marked.assign(1, kStemMark);
    call.marked += stem;
    return call.token(call.context, FTS5_TOKEN_COLOCATED, call.marked.data(),
                      static_cast<int>(call.marked.size()), begin, end);
}

// A document's word: as it stands, and its stem where that differs.
int DocumentWord(TokenizeCall& call, std::string_view word, int begin, int end) {
    int rc = call.token(call.context, 0, word.data(), static_cast<int>(word.size()), begin, end);
    if (rc != SQLITE_OK || call.tokenizer->stemmers.empty())
        return rc;
    const std::size_t language = std::min(t_documentLanguage, call.tokenizer->stemmers.size() - 1);
    const std::string_view stem =
        call.tokenizer->stems[language].Find(word, call.tokenizer->stemmers[language]);
    return stem.empty() ? rc : EmitMarked(call, stem, begin, end);
}

// A query's word: any word of the same stem, whether indexed as it stands or as a stem. Forms
// the index does not hold are left out: FTS5 merges the places of every form on each row.
int QueryWord(TokenizeCall& call, std::string_view word, int begin, int end) {
    std::vector<std::string> forms{std::string(word)};
    for (sb_stemmer* stemmer : call.tokenizer->stemmers) {
        const std::string stem = StemWith(stemmer, word);
        for (std::string form : {stem, kStemMark + stem})
            if (std::find(forms.begin(), forms.end(), form) == forms.end())
                forms.push_back(std::move(form));
    }
    if (t_formHeld) {
        std::vector<std::string> held;
        for (std::string& form : forms)
            if ((*t_formHeld)(form))
                held.push_back(std::move(form));
        if (!held.empty())
            forms.swap(held);
        else
            forms.resize(1); // nothing holds it: the word as it stands, which matches nothing
    }
    int rc = SQLITE_OK;
    for (std::size_t i = 0; rc == SQLITE_OK && i < forms.size(); ++i)
        rc = call.token(call.context, i ? FTS5_TOKEN_COLOCATED : 0, forms[i].data(),
                        static_cast<int>(forms[i].size()), begin, end);
    return rc;
}

int ExactWord(TokenizeCall& call, std::string_view word, int begin, int end) {
    return call.token(call.context, 0, word.data(), static_cast<int>(word.size()), begin, end);
}

// Each token of unicode61 in its pieces, handed to one of the above.
template <int (*Word)(TokenizeCall&, std::string_view, int, int)>
int EachPiece(void* context, int, const char* text, int size, int begin, int end) {
    auto& call = *static_cast<TokenizeCall*>(context);
    return ForEachPiece(
        std::string_view(text, static_cast<std::size_t>(size)),
        [&](std::string_view piece, std::size_t) { return Word(call, piece, begin, end); });
}

// DocumentTokens' record of a token: its flags, length, start and length in the text, each
// a varint (a byte for each seven bits, the last without its high bit), then its bytes.
void PutVarint(std::string& out, std::uint32_t n) {
    for (; n >= 0x80; n >>= 7)
        out += static_cast<char>(0x80 | (n & 0x7f));
    out += static_cast<char>(n);
}

std::uint32_t GetVarint(std::string_view in, std::size_t& at) {
    std::uint32_t n = 0;
    for (int shift = 0; at < in.size() && shift < 35; shift += 7) {
        const auto b = static_cast<unsigned char>(in[at++]);
        n |= static_cast<std::uint32_t>(b & 0x7f) << shift;
        if (!(b & 0x80))
            break;
    }
    return n;
}

int RecordToken(void* context, int flags, const char* token, int size, int begin, int end) {
    auto& tokens = *static_cast<std::string*>(context);
    for (const int n : {flags, size, begin, end - begin})
        PutVarint(tokens, static_cast<std::uint32_t>(n));
    tokens.append(token, static_cast<std::size_t>(size));
    return SQLITE_OK;
}

int ReplayTokens(std::string_view tokens, void* context,
                 int (*token)(void*, int, const char*, int, int, int)) {
    for (std::size_t at = 0; at < tokens.size();) {
        const auto flags = static_cast<int>(GetVarint(tokens, at));
        const std::size_t size = GetVarint(tokens, at);
        const auto begin = static_cast<int>(GetVarint(tokens, at));
        const int end = begin + static_cast<int>(GetVarint(tokens, at));
        if (size > tokens.size() - at)
            return SQLITE_CORRUPT;
        const int rc =
            token(context, flags, tokens.data() + at, static_cast<int>(size), begin, end);
        if (rc != SQLITE_OK)
            return rc;
        at += size;
    }
    return SQLITE_OK;
}

int Tokenize(Fts5Tokenizer* self, void* context, int flags, const char* text, int size,
             int (*token)(void*, int, const char*, int, int, int)) {
    auto* tokenizer = reinterpret_cast<WordTokenizer*>(self);
    TokenizeCall call{tokenizer, context, token, false, {}};
    auto* emit = &EachPiece<DocumentWord>;
    std::string unpacked;
    const std::string_view stored(text, static_cast<std::size_t>(std::max(size, 0)));
    if (flags == FTS5_TOKENIZE_DOCUMENT && !t_tokens.empty() && stored == t_packed)
        return ReplayTokens(t_tokens, context, token);
    if (!(flags & FTS5_TOKENIZE_QUERY) && IsPacked(stored)) {
        if (!t_packed.empty() && stored == t_packed) {
            text = t_packedFrom.data();
            size = static_cast<int>(t_packedFrom.size());
        } else if (UnpackText(stored, std::string::npos, unpacked)) {
            text = unpacked.data();
            size = static_cast<int>(unpacked.size());
        } else {
            return SQLITE_CORRUPT;
        }
    }
    if (flags & FTS5_TOKENIZE_QUERY) {
        const bool exact = (flags & FTS5_TOKENIZE_PREFIX) || (size > 0 && text[0] == kExactMark);
        emit = exact ? &EachPiece<ExactWord> : &EachPiece<QueryWord>;
    }
    return tokenizer->inner.xTokenize(tokenizer->innerTokenizer, &call, flags, text, size, emit);
}

// FTS5's interface for this thread outside any index, from a database in memory of its own
// (kept until the thread ends, after what was made with it).
fts5_api* ThreadFts5() {
    struct Memory {
        sqlite3* db = nullptr;
        Memory() {
            if (sqlite3_open(":memory:", &db) != SQLITE_OK) {
                sqlite3_close(db);
                throw std::runtime_error("SQLite: cannot open a database in memory");
            }
        }
        ~Memory() { sqlite3_close(db); }
    };
    thread_local Memory memory;
    return Fts5Api(memory.db);
}

// A tokenizer of unicode61 alone for this thread: folding outside a database.
class Folder {
public:
    Folder() {
        fts5_api* api = ThreadFts5();
        void* context = nullptr;
        if (api->xFindTokenizer(api, "unicode61", &context, &m_api) != SQLITE_OK ||
            m_api.xCreate(context, const_cast<const char**>(kFoldArgs), kFoldArgCount,
                          &m_tokenizer) != SQLITE_OK)
            throw std::runtime_error("SQLite: no unicode61 tokenizer");
    }
    ~Folder() {
        if (m_tokenizer)
            m_api.xDelete(m_tokenizer);
    }
    Folder(const Folder&) = delete;
    Folder& operator=(const Folder&) = delete;

    void Words(std::string_view text,
               const std::function<bool(std::string_view, std::size_t, std::size_t)>& word) {
        struct Call {
            const std::function<bool(std::string_view, std::size_t, std::size_t)>* word;
        } call{&word};
        auto each = [](void* context, int, const char* token, int size, int begin, int end) {
            const auto& f = *static_cast<Call*>(context)->word;
            const std::string_view word(token, static_cast<std::size_t>(size));
            // A piece's place in the text is exact when folding kept the word's length (as it
            // does for the characters that stand alone); else the whole word's.
            const bool exact = word.size() == static_cast<std::size_t>(end - begin);
            return ForEachPiece(word, [&](std::string_view piece, std::size_t at) {
                const auto from = static_cast<std::size_t>(begin) + (exact ? at : 0);
                const auto to = exact ? from + piece.size() : static_cast<std::size_t>(end);
                return f(piece, from, to) ? SQLITE_OK : SQLITE_DONE;
            });
        };
        // The tokenizer counts in int; texts here are at most a few megabytes.
        text = text.substr(0, std::min<std::size_t>(text.size(), INT32_MAX));
        m_api.xTokenize(m_tokenizer, &call, FTS5_TOKENIZE_DOCUMENT, text.data(),
                        static_cast<int>(text.size()), each);
    }

private:
    fts5_tokenizer m_api{};
    Fts5Tokenizer* m_tokenizer = nullptr;
};

} // namespace

fts5_api* Fts5Api(sqlite3* db) {
    fts5_api* api = nullptr;
    sqlite3_stmt* statement = nullptr;
    if (sqlite3_prepare_v2(db, "SELECT fts5(?1)", -1, &statement, nullptr) == SQLITE_OK) {
        sqlite3_bind_pointer(statement, 1, &api, "fts5_api_ptr", nullptr);
        sqlite3_step(statement);
    }
    sqlite3_finalize(statement);
    if (!api)
        throw std::runtime_error("SQLite has no FTS5");
    return api;
}

bool IsStemmerLanguage(std::string_view name) {
    for (const char** l = sb_stemmer_list(); *l; ++l)
        if (name == *l)
            return true;
    return false;
}

std::string StemmerLanguages() {
    std::string names;
    for (const char** l = sb_stemmer_list(); *l; ++l)
        names += (names.empty() ? "" : ", ") + std::string(*l);
    return names;
}

void RegisterWordTokenizer(sqlite3* db) {
    fts5_api* api = Fts5Api(db);
    fts5_tokenizer tokenizer{&CreateTokenizer, &DeleteTokenizer, &Tokenize};
    if (api->xCreateTokenizer(api, "zdx", api, &tokenizer, nullptr) != SQLITE_OK)
        throw std::runtime_error("SQLite: cannot add the word tokenizer");
}

std::string TokenizerArguments(const std::vector<std::string>& languages) {
    std::string arguments = "zdx";
    for (const std::string& language : languages)
        arguments += ' ' + language; // Snowball names: letters only
    return arguments;
}

PackedFrom::PackedFrom(std::string_view stored, std::string_view text, std::string_view tokens) {
    t_packed = stored;
    t_packedFrom = text;
    t_tokens = tokens;
}

PackedFrom::~PackedFrom() {
    t_packed = {};
    t_packedFrom = {};
    t_tokens = {};
}

std::string DocumentTokens(std::string_view text, const std::vector<std::string>& languages,
                           std::size_t language) {
    // The tokenizer FTS5 would make for these languages, one for each thread and list of them.
    struct Made {
        fts5_api* api = ThreadFts5(); // whose unicode61 the tokenizers wrap
        std::map<std::vector<std::string>, Fts5Tokenizer*> tokenizers;
        ~Made() {
            for (auto& [languages, tokenizer] : tokenizers)
                DeleteTokenizer(tokenizer);
        }
    };
    thread_local Made made;
    // A text that starts as a packed one does is not one (it is stored packed, and its words
    // are taken when it is inserted); nor is one longer than the tokenizer counts.
    if (text.empty() || IsPacked(text) || text.size() > static_cast<std::size_t>(INT32_MAX))
        return {};
    Fts5Tokenizer*& tokenizer = made.tokenizers[languages];
    if (!tokenizer) {
        std::vector<const char*> args;
        for (const std::string& l : languages)
            args.push_back(l.c_str());
        if (CreateTokenizer(made.api, args.data(), static_cast<int>(args.size()), &tokenizer) !=
            SQLITE_OK)
            throw std::runtime_error("SQLite: cannot make the word tokenizer");
    }
    // Recorded into a buffer kept for the thread, then copied at its size: one allocation a
    // document.
    thread_local std::string tokens;
    tokens.clear();
    const DocumentLanguage stemmed(language);
    if (Tokenize(tokenizer, &tokens, FTS5_TOKENIZE_DOCUMENT, text.data(),
                 static_cast<int>(text.size()), &RecordToken) != SQLITE_OK)
        return {};
    std::string copy(tokens);
    if (tokens.capacity() > (4u << 20)) // after a long text
        std::string().swap(tokens);
    return copy;
}

DocumentLanguage::DocumentLanguage(std::size_t index) : m_previous(t_documentLanguage) {
    t_documentLanguage = index;
}

DocumentLanguage::~DocumentLanguage() {
    t_documentLanguage = m_previous;
}

HeldForms::HeldForms(std::function<bool(const std::string&)> held)
    : m_held(std::move(held)), m_previous(t_formHeld) {
    t_formHeld = &m_held;
}

HeldForms::~HeldForms() {
    t_formHeld = m_previous;
}

void ForEachWord(std::string_view text,
                 const std::function<bool(std::string_view, std::size_t, std::size_t)>& word) {
    thread_local Folder folder;
    folder.Words(text, word);
}

std::vector<std::string> WordPieces(std::string_view word) {
    std::vector<std::string> pieces;
    ForEachPiece(word, [&](std::string_view piece, std::size_t) {
        pieces.emplace_back(piece);
        return SQLITE_OK;
    });
    return pieces;
}

Stemmer::Stemmer(const std::string& language)
    : m_stemmer(sb_stemmer_new(language.c_str(), "UTF_8")) {
    if (!m_stemmer)
        throw std::runtime_error("no stemmer for " + language);
}

Stemmer::~Stemmer() {
    sb_stemmer_delete(m_stemmer);
}

std::string Stemmer::Stem(std::string_view folded) {
    return StemWith(m_stemmer, folded);
}

namespace {

// A word of the query that a passage may show: folded, and with its stems unless it must
// match as it stands.
struct Term {
    std::string folded;
    bool prefix = false, exact = false;
    std::vector<std::string> stems; // one a language
};

void CollectTerms(const QueryNode& node, bool exact, std::vector<Term>& terms) {
    switch (node.kind) {
    case QueryNode::Kind::Not:
        return; // an excluded word is not in a hit
    case QueryNode::Kind::Word:
    case QueryNode::Kind::Phrase: {
        const std::vector<std::string> words =
            node.kind == QueryNode::Kind::Word ? std::vector<std::string>{node.text} : node.words;
        for (const std::string& w : words)
            ForEachWord(w, [&](std::string_view folded, std::size_t, std::size_t) {
                terms.push_back({std::string(folded),
                                 node.prefix,
                                 exact || node.kind == QueryNode::Kind::Phrase,
                                 {}});
                return true;
            });
        return;
    }
    case QueryNode::Kind::And:
    case QueryNode::Kind::Or:
        for (const QueryNode& child : node.children)
            CollectTerms(child, exact, terms);
        return;
    }
}

Stemmer& StemmerFor(const std::string& language) {
    thread_local std::map<std::string, std::unique_ptr<Stemmer>> stemmers;
    auto& stemmer = stemmers[language];
    if (!stemmer)
        stemmer = std::make_unique<Stemmer>(language);
    return *stemmer;
}

struct Found {
    std::size_t begin, end, term;
};

// Byte classes for the quick scan: word bytes (ASCII letters and digits, and every byte of a
// character beyond ASCII), and ASCII lower case.
struct ByteTables {
    bool word[256] = {};
    unsigned char lower[256] = {};
    ByteTables() {
        for (int b = 0; b < 256; ++b) {
            word[b] = b >= 0x80 || (b >= '0' && b <= '9') || (b >= 'a' && b <= 'z') ||
                      (b >= 'A' && b <= 'Z');
            lower[b] = static_cast<unsigned char>(b >= 'A' && b <= 'Z' ? b - 'A' + 'a' : b);
        }
    }
};
const ByteTables kBytes;

bool IsWordByte(unsigned char b) {
    return kBytes.word[b];
}

// The first bytes of every word a term matches (its common start with its stems, up to three
// bytes), lower case; empty when they are not plain ASCII.
std::string Probe(const Term& t) {
    std::string probe = t.folded.substr(0, 3);
    for (const std::string& stem : t.stems) {
        std::size_t same = 0;
        while (same < probe.size() && same < stem.size() && probe[same] == stem[same])
            ++same;
        probe.resize(same);
    }
    for (char c : probe)
        if (!std::isalnum(static_cast<unsigned char>(c)))
            return {};
    return probe;
}

// For 16 bytes of text: a bit for each word byte, and one for each byte where a probe may start.
struct BlockBits {
    std::uint32_t word = 0, first = 0;
};

// Where a probe may start: its bytes (at most three) in either ASCII case. The test lets a few
// bytes other than letters through (they fold onto letters as upper case does); the probe is
// compared afterwards.
class ProbeStarts {
public:
    explicit ProbeStarts(const std::vector<std::string>& probes) {
        for (const std::string& probe : probes) {
            Start start{};
            std::copy_n(probe.begin(), std::min(probe.size(), start.size()), start.begin());
            if (std::find(m_starts, m_starts + m_count, start) != m_starts + m_count)
                continue;
            if (m_count == kMost) {
                m_any = true; // too many to test: every word is a candidate
                break;
            }
            m_starts[m_count++] = start;
        }
#ifdef __SSE2__
        for (std::size_t i = 0; i < m_count; ++i)
            for (std::size_t k = 0; k < 3; ++k)
                m_bytes[i][k] = _mm_set1_epi8(m_starts[i][k]);
#endif
    }

    // Sixteen bytes from `p`, which has eighteen to read. SSE2 where there is, a loop
    // elsewhere.
    BlockBits Of(const unsigned char* p) const {
        BlockBits bits;
#ifdef __SSE2__
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
        const __m128i case20 = _mm_set1_epi8(0x20);
        const __m128i lower = _mm_or_si128(v, case20);      // letters to lower case
        auto within = [](__m128i x, char from, char span) { // from <= x <= from + span
            const __m128i t = _mm_sub_epi8(x, _mm_set1_epi8(from));
            return _mm_cmpeq_epi8(_mm_min_epu8(t, _mm_set1_epi8(span)), t);
        };
        const __m128i word = _mm_or_si128(_mm_or_si128(within(lower, 'a', 25), within(v, '0', 9)),
                                          _mm_cmplt_epi8(v, _mm_setzero_si128()));
        bits.word = static_cast<std::uint32_t>(_mm_movemask_epi8(word));
        if (m_any)
            return bits.first = bits.word, bits;
        const __m128i next[2] = {
            _mm_or_si128(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 1)), case20),
            _mm_or_si128(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 2)), case20)};
        const __m128i all = _mm_set1_epi8(-1);
        __m128i first = _mm_setzero_si128();
        for (std::size_t i = 0; i < m_count; ++i) {
            __m128i here = _mm_cmpeq_epi8(lower, m_bytes[i][0]);
            for (std::size_t k = 1; k < 3; ++k)
                here = _mm_and_si128(
                    here, m_starts[i][k] ? _mm_cmpeq_epi8(next[k - 1], m_bytes[i][k]) : all);
            first = _mm_or_si128(first, here);
        }
        bits.first = static_cast<std::uint32_t>(_mm_movemask_epi8(first));
#else
        for (int i = 0; i < 16; ++i) {
            bits.word |= std::uint32_t{IsWordByte(p[i])} << i;
            bits.first |= std::uint32_t{At(p + i, 3)} << i;
        }
#endif
        return bits;
    }

    // Whether a probe may start at `p`, which has `left` bytes to read.
    bool At(const unsigned char* p, std::size_t left) const {
        if (m_any)
            return true;
        for (std::size_t i = 0; i < m_count; ++i) {
            std::size_t k = 0;
            while (k < 3 && m_starts[i][k] && k < left &&
                   kBytes.lower[p[k]] == static_cast<unsigned char>(m_starts[i][k]))
                ++k;
            if (k == 3 || !m_starts[i][k])
                return true;
        }
        return false;
    }

private:
    using Start = std::array<char, 3>; // a probe's bytes, then none
    static constexpr std::size_t kMost = 32;
    Start m_starts[kMost];
    std::size_t m_count = 0;
    bool m_any = false;
#ifdef __SSE2__
    __m128i m_bytes[kMost][3];
#endif
};

} // namespace

struct PassageQuery::Terms {
    std::vector<Term> terms;         // with their stems
    std::vector<std::string> probes; // one a term
    std::vector<std::string> languages;
    std::optional<ProbeStarts> starts; // of the probes, when none is empty
    // Kept from one text to the next (a query is read on one thread at a time): the places
    // found and a word's stems in each language.
    std::vector<Found> found;
    std::vector<std::string> wordStems;
};

namespace {

// Calls `word` with the byte range of each run of word bytes in `text` that starts, without
// regard to ASCII case, with one of the probes, until it returns false. The text is looked at
// 16 bytes at a time: only the words that start as a probe does are read one by one.
template <class Word>
void ForEachProbedWord(std::string_view text, const std::vector<std::string>& probes,
                       const ProbeStarts& starts, Word&& word) {
    const auto* bytes = reinterpret_cast<const unsigned char*>(text.data());
    // A candidate at `at`: whether a probe starts it (a probe's bytes are ASCII letters and
    // digits, all word bytes), then the word's end. Most candidates are not read to their end.
    const auto probed = [&](std::size_t at) {
        for (const std::string& probe : probes) {
            std::size_t k = 0;
            while (k < probe.size() && at + k < text.size() &&
                   kBytes.lower[bytes[at + k]] == static_cast<unsigned char>(probe[k]))
                ++k;
            if (k == probe.size()) {
                std::size_t end = at + k;
                while (end < text.size() && IsWordByte(bytes[end]))
                    ++end;
                return word(at, end);
            }
        }
        return true;
    };
    bool inWord = false; // the byte before the block is a word byte
    std::size_t at = 0;
    for (; at + 18 <= text.size(); at += 16) {
        const BlockBits bits = starts.Of(bytes + at);
        std::uint32_t begins = bits.word & ~((bits.word << 1) | std::uint32_t{inWord});
        inWord = bits.word >> 15;
        for (begins &= bits.first; begins; begins &= begins - 1)
            if (!probed(at + static_cast<std::size_t>(std::countr_zero(begins))))
                return;
    }
    for (; at < text.size(); ++at) {
        const bool isWord = IsWordByte(bytes[at]);
        if (isWord && !inWord && starts.At(bytes + at, text.size() - at) && !probed(at))
            return;
        inWord = isWord;
    }
}

} // namespace

namespace {

// Where `body` holds words of the query: their places, in order, with the term of each. With
// `early`, the reading ends once a passage of maxBytes holds every term, or after
// kExcerptPlaces places. With `openingEnded`, `body` is the opening of a text: whether the
// reading ended before the opening did; words that only the slow way finds are left to the
// whole text.
const std::vector<Found>& FindPlaces(std::string_view body, PassageQuery::Terms& query,
                                     std::size_t maxBytes, bool early, std::size_t scanBytes,
                                     bool* openingEnded = nullptr) {
    const std::vector<Term>& terms = query.terms;
    const std::vector<std::string>& languages = query.languages;
    // Where the text holds a word of the query. A word is stemmed only when it starts as a
    // stem does: most words of a text are never stemmed.
    std::vector<Found>& found = query.found;
    found.clear();
    std::vector<std::string>& wordStems = query.wordStems;
    wordStems.resize(languages.size());
    // Once a passage holds every word of the query, one a little further on can do no better
    // on that count: the rest of the text is not read. Nor is it after kExcerptPlaces places
    // of the words: the passage is the best among those.
    std::size_t stopAt = std::string_view::npos;
    const std::uint64_t every =
        terms.size() >= 64 ? ~std::uint64_t{0} : (std::uint64_t{1} << terms.size()) - 1;
    const auto complete = [&](std::size_t end) {
        std::uint64_t seen = 0;
        for (auto f = found.rbegin(); f != found.rend() && f->begin + maxBytes >= end; ++f)
            if ((seen |= std::uint64_t{1} << (f->term % 64)) == every)
                return true;
        return false;
    };
    const auto check = [&](std::string_view w, std::size_t begin, std::size_t end) {
        if (begin > stopAt) {
            if (openingEnded)
                *openingEnded = true;
            return false;
        }
        for (std::string& stem : wordStems)
            stem.clear();
        for (std::size_t i = 0; i < terms.size(); ++i) {
            const Term& t = terms[i];
            bool match = w == t.folded || (t.prefix && w.starts_with(t.folded));
            for (std::size_t l = 0; !match && l < t.stems.size(); ++l) {
                const std::string& stem = t.stems[l];
                // Stemmers change a word's ending only: a word whose stem this is starts
                // with all of it but its last character.
                if (stem.empty() || !w.starts_with(std::string_view(stem).substr(
                                        0, std::max<std::size_t>(1, stem.size() - 1))))
                    continue;
                if (wordStems[l].empty())
                    wordStems[l] = StemmerFor(languages[l]).Stem(w);
                match = wordStems[l] == stem;
            }
            if (match) {
                found.push_back({begin, end, i});
                if (early && stopAt == std::string_view::npos &&
                    (complete(end) || found.size() == kExcerptPlaces))
                    stopAt = end + maxBytes;
                break;
            }
        }
        return true;
    };
    const std::string_view scanned = body.substr(0, std::min(body.size(), scanBytes));
    // Only the words that start as a word of the query does are read one by one, when those
    // starts are plain ASCII; the whole text when that finds nothing (a letter with a
    // diacritic at a word's start, say).
    if (query.starts)
        ForEachProbedWord(
            scanned, query.probes, *query.starts, [&](std::size_t begin, std::size_t end) {
                // A word of ASCII letters and digits folds to its lower case, as unicode61 has it.
                const std::string_view raw = scanned.substr(begin, end - begin);
                if (std::all_of(raw.begin(), raw.end(),
                                [](char c) { return static_cast<unsigned char>(c) < 0x80; })) {
                    std::string lower(raw);
                    for (char& c : lower)
                        c = static_cast<char>(kBytes.lower[static_cast<unsigned char>(c)]);
                    return check(lower, begin, end);
                }
                bool more = true;
                ForEachWord(scanned.substr(begin, end - begin),
                            [&](std::string_view w, std::size_t b, std::size_t e) {
                                return more = check(w, begin + b, begin + e);
                            });
                return more;
            });
    if (found.empty() && !openingEnded)
        ForEachWord(scanned, check);
    return found;
}

} // namespace

namespace {

// With `opening`, `body` is the opening of a longer text: nothing is cut when the passage may
// depend on what follows it.
std::optional<Excerpt> CutExcerpt(std::string_view body, bool opening, PassageQuery::Terms& query,
                                  std::size_t maxBytes) {
    bool ended = false;
    const std::vector<Found>& found =
        FindPlaces(body, query, maxBytes, true, kExcerptScanBytes, opening ? &ended : nullptr);
    Excerpt excerpt;
    if (found.empty() && !opening)
        return excerpt;
    // The reading must have ended at a word past the places it keeps (every one of them is
    // then whole), and the passage with its context must end before the opening does.
    const auto lastEnd = [&] {
        std::size_t end = 0;
        for (const Found& f : found)
            end = std::max(end, f.end);
        return end;
    };
    if (opening && (!ended || lastEnd() + maxBytes >= body.size()))
        return std::nullopt;
    // The window of at most maxBytes with the most different words of the query, then the most
    // words. It slides on, counting how often each word is in it and how many different ones.
    std::size_t bestFirst = 0, bestLast = 0, bestScore = 0;
    std::uint16_t inWindow[64] = {}; // a query has at most kMaxQueryWords words
    std::size_t distinct = 0;
    for (std::size_t first = 0, next = 0; first < found.size(); ++first) {
        const auto take = [&](std::size_t k) { distinct += inWindow[found[k].term % 64]++ == 0; };
        if (next <= first)
            take(next++);
        while (next < found.size() && found[next].end - found[first].begin <= maxBytes)
            take(next++);
        const std::size_t score = distinct * found.size() + (next - first);
        if (score > bestScore) {
            bestScore = score;
            bestFirst = first;
            bestLast = next - 1;
        }
        distinct -= --inWindow[found[first].term % 64] == 0;
    }
    // Around it, as much text as fits, cut at blanks.
    const std::size_t from = found[bestFirst].begin, to = found[bestLast].end;
    const std::size_t room = maxBytes > to - from ? maxBytes - (to - from) : 0;
    std::size_t start = from - std::min(from, room / 2);
    std::size_t stop = std::min(body.size(), to + (room - (from - start)));
    if (stop == body.size())
        start = from - std::min(from, room - (stop - to));
    auto isBlank = [](char c) { return c == ' ' || c == '\f' || c == '\n' || c == '\t'; };
    if (start > 0) {
        std::size_t k = start;
        while (k < from && !isBlank(body[k - 1]))
            ++k;
        start = k;
    }
    if (stop < body.size()) {
        std::size_t k = stop;
        while (k > to && !isBlank(body[k]))
            --k;
        stop = k;
    }
    // One space for each run of blanks (an empty line between paragraphs, say).
    std::string& text = excerpt.text;
    text.reserve(stop - start + 6);
    if (start > 0)
        text = "...";
    for (std::size_t k = start; k < stop;) {
        std::size_t run = k;
        while (run < stop && !isBlank(body[run]))
            ++run;
        text.append(body.data() + k, run - k);
        if (run == stop)
            break;
        text += ' ';
        for (k = run + 1; k < stop && isBlank(body[k]);)
            ++k;
    }
    if (stop < body.size())
        text += "...";
    for (const Found& f : found) {
        if (f.begin < start || f.end > stop)
            continue;
        std::string word(body.substr(f.begin, f.end - f.begin));
        if (std::find(excerpt.matches.begin(), excerpt.matches.end(), word) ==
            excerpt.matches.end())
            excerpt.matches.push_back(std::move(word));
    }
    return excerpt;
}

} // namespace

PassageQuery::PassageQuery(const QueryNode& query, const std::vector<std::string>& languages)
    : m_terms(std::make_unique<Terms>()) {
    CollectTerms(query, false, m_terms->terms);
    for (Term& t : m_terms->terms) {
        if (!t.exact && !t.prefix)
            for (const std::string& language : languages)
                t.stems.push_back(StemmerFor(language).Stem(t.folded));
        m_terms->probes.push_back(Probe(t));
    }
    m_terms->languages = languages;
    const std::vector<std::string>& probes = m_terms->probes;
    if (std::none_of(probes.begin(), probes.end(), [](const auto& p) { return p.empty(); }))
        m_terms->starts.emplace(probes);
}

PassageQuery::~PassageQuery() = default;

Excerpt PassageQuery::Best(std::string_view body, std::size_t maxBytes) const {
    return *CutExcerpt(body, false, *m_terms, maxBytes);
}

std::optional<Excerpt> PassageQuery::BestInOpening(std::string_view opening,
                                                   std::size_t maxBytes) const {
    return CutExcerpt(opening, true, *m_terms, maxBytes);
}

Excerpt BestExcerpt(std::string_view body, const QueryNode& query,
                    const std::vector<std::string>& languages, std::size_t maxBytes) {
    return PassageQuery(query, languages).Best(body, maxBytes);
}

std::vector<std::string> PassageQuery::Matched(std::string_view text, std::size_t most) const {
    std::vector<std::string> words;
    for (const Found& f : FindPlaces(text, *m_terms, kExcerptBytes, false, text.size())) {
        std::string word(text.substr(f.begin, f.end - f.begin));
        if (std::find(words.begin(), words.end(), word) == words.end()) {
            words.push_back(std::move(word));
            if (words.size() == most)
                break;
        }
    }
    return words;
}

std::vector<std::string> MatchedWords(std::string_view text, const QueryNode& query,
                                      const std::vector<std::string>& languages, std::size_t most) {
    return PassageQuery(query, languages).Matched(text, most);
}

} // namespace zdxserver
