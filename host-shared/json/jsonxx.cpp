// jsonxx: value model, lenient parser and exact text form of the host's JSON
// documents. The parser walks a pointer over the whole text; the writer
// appends to one buffer. Both are independent of the C locale.
#include "jsonxx.h"

#include "../utf.h"

#include <algorithm>
#include <cassert>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <istream>
#include <iterator>
#include <memory>
#include <sstream>
#include <string_view>
#include <system_error>

namespace jsonxx {

namespace detail {

void assertionFailed(const char *expression, const char *file, int line)
{
    std::fprintf(stderr, "[JSONXX] expression '%s' failed at %s:%d -> ", expression, file, line);
    std::fflush(stderr);
    assert(false);
    std::abort(); // also in builds without assertions
}

Null &nullValue()
{
    static Null null;
    return null;
}

// The request parser. It reads as a character stream reader would: tokens
// skip white space and line comments, a token that does not match gives back
// what it matched, a number that does not extract goes back to where it
// began, and nothing else is given back. Reaching the end of the text before
// the outermost "}" means the parse fails, so the parser gives up at once
// when it runs out of text.
class Parser {
public:
    Parser(const char *begin, const char *end) : p_(begin), end_(end)
    {
        // Room for the members of a text made mostly of short members, so a
        // large object does not move its members as it grows.
        pending_.reserve(static_cast<std::size_t>(end - begin) / 64);
    }

    const char *position() const { return p_; }

    bool parseObject(Object &object);
    bool parseArray(Array &array);

private:
    static bool isSpace(char c)
    {
        // The classic locale's white space: space, \t, \n, \v, \f, \r.
        return c == ' ' || (c >= '\t' && c <= '\r');
    }
    bool atComment() const { return *p_ == '/' && end_ - p_ > 1 && p_[1] == '/'; }

    void skipSpace()
    {
        while (p_ != end_ && isSpace(*p_)) ++p_;
    }
    void skipComment()
    {
        while (p_ != end_ && *p_ != '\n' && *p_ != '\r') ++p_;
        skipSpace();
    }
    // Counts one level of nesting for as long as it lives.
    struct Level {
        explicit Level(unsigned &depth) : depth_(depth) { ++depth_; }
        ~Level() { --depth_; }
        Level(const Level &) = delete;
        Level &operator=(const Level &) = delete;
        unsigned &depth_;
    };

    bool giveUp()
    {
        exhausted_ = true;
        return false;
    }

    bool match(char c);
    bool match(const char *word);
    char openString();
    bool readString(char delimiter, String &out);
    int readEscapeDigits(unsigned &code);
    bool readNumber(Number &out);
    bool parseValue(Value &value);
    void storeMembers(Object &object, std::size_t first);

    // Members of the objects being read, innermost object on top. An object
    // takes its members into its map only once it is complete, in key order,
    // so a large object is sorted once instead of searched per member.
    struct Member {
        String key;
        Value value;
    };
    std::vector<Member> pending_;
    // Sort keys: 8 bytes after the prefix that all keys of the object share.
    struct Rank {
        std::uint64_t bytes;
        std::uint32_t index;
    };
    std::vector<Rank> ranks_, sorting_;
    void sortRanks(const Member *members);

    const char *p_;
    const char *end_;
    unsigned depth_ = 0;
    // Ran out of text, nested too deep or met a lone surrogate: the whole parse fails.
    bool exhausted_ = false;
};

bool Parser::match(char c)
{
    for (;;) {
        skipSpace();
        if (p_ == end_) return giveUp();
        if (*p_ == c) {
            ++p_;
            return true;
        }
        if (!atComment()) return false;
        skipComment();
    }
}

bool Parser::match(const char *word)
{
    skipSpace();
    const char *restart = p_;
    const char *cur = word;
    while (*cur) {
        if (p_ == end_) return giveUp();
        if (*p_ == *cur) {
            ++p_;
            ++cur;
        } else if (atComment()) {
            // Comments are skipped even inside a word; only what matched is given back.
            skipComment();
            if (cur == word) restart = p_;
        } else {
            p_ = restart;
            return false;
        }
    }
    return true;
}

// Returns the delimiter of a string that starts here, or 0.
char Parser::openString()
{
    if (match('"')) return '"';
    if (p_ != end_ && *p_ == '\'') {
        ++p_;
        return '\'';
    }
    return 0;
}

static int hexDigit(char c)
{
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// Takes the four characters after "\\u" and returns how many of them, from
// the first, are hex digits (their value in `code`); -1 when fewer than four
// characters are left.
int Parser::readEscapeDigits(unsigned &code)
{
    if (end_ - p_ < 4) return -1;
    code = 0;
    int digits = 0;
    for (; digits < 4; ++digits) {
        const int d = hexDigit(p_[digits]);
        if (d < 0) break;
        code = code * 16 + static_cast<unsigned>(d);
    }
    p_ += 4;
    return digits;
}

bool Parser::readString(char delimiter, String &out)
{
    out.clear();
    // The next delimiter, and the next backslash before it, are searched for
    // again only once passed, so the text is scanned once however many
    // escapes the string has.
    const char *delimiterAt = nullptr;
    const char *backslashAt = nullptr;
    for (;;) {
        if (!delimiterAt || delimiterAt < p_) {
            delimiterAt = static_cast<const char *>(std::memchr(p_, delimiter, static_cast<std::size_t>(end_ - p_)));
            if (!delimiterAt) return giveUp();
            backslashAt = nullptr;
        }
        if (!backslashAt || backslashAt < p_) {
            backslashAt = static_cast<const char *>(std::memchr(p_, '\\', static_cast<std::size_t>(delimiterAt - p_)));
            if (!backslashAt) backslashAt = delimiterAt;
        }
        if (backslashAt == delimiterAt) {
            out.append(p_, delimiterAt);
            p_ = delimiterAt + 1;
            return true;
        }
        out.append(p_, backslashAt);
        p_ = backslashAt + 1;

        if (p_ == end_) return giveUp();
        const char e = *p_++;
        switch (e) {
        case '/':
        case '\\': out.push_back(e); break;
        case 'b': out.push_back('\b'); break;
        case 'f': out.push_back('\f'); break;
        case 'n': out.push_back('\n'); break;
        case 'r': out.push_back('\r'); break;
        case 't': out.push_back('\t'); break;
        case 'u': {
            // Four characters are taken whatever they are; their leading hex
            // digits give a code point, written as UTF-8; none give nothing.
            // A surrogate must be the high half of a pair whose low half
            // follows as a second escape: alone it has no UTF-8 form.
            unsigned code = 0;
            const int digits = readEscapeDigits(code);
            if (digits < 0) return giveUp();
            if (digits == 0) break;
            if (code >= 0xDC00 && code <= 0xDFFF) return giveUp();
            if (code >= 0xD800 && code <= 0xDBFF) {
                unsigned low = 0;
                if (end_ - p_ < 2 || p_[0] != '\\' || p_[1] != 'u') return giveUp();
                p_ += 2;
                if (readEscapeDigits(low) != 4 || low < 0xDC00 || low > 0xDFFF) return giveUp();
                code = 0x10000 + ((code - 0xD800) << 10) + (low - 0xDC00);
            }
            appendUtf8(out, code);
            break;
        }
        default:
            if (e != delimiter) out.push_back('\\');
            out.push_back(e);
            break;
        }
    }
}

// Extracts what a classic-locale stream extraction of a double accepts:
// [+-] digits [. digits] [(e|E) [+-] digits], at least one mantissa digit,
// and digits after an exponent mark. Out of range: too large fails, too small
// gives zero. Nothing is consumed on failure.
bool Parser::readNumber(Number &out)
{
    skipSpace();
    const char *start = p_;
    const char *q = p_;
    if (q != end_ && (*q == '+' || *q == '-')) ++q;
    const char *mantissa = q;
    bool mantissaDigit = false, point = false, exponent = false, exponentDigit = false;
    const char *exponentStart = nullptr;
    while (q != end_) {
        const char c = *q;
        if (c >= '0' && c <= '9') {
            (exponent ? exponentDigit : mantissaDigit) = true;
        } else if (c == '.' && !point && !exponent) {
            point = true;
        } else if ((c == 'e' || c == 'E') && !exponent && mantissaDigit) {
            exponent = true;
            exponentStart = q + 1;
            if (q + 1 != end_ && (q[1] == '+' || q[1] == '-')) ++q;
        } else {
            break;
        }
        ++q;
    }
    if (!mantissaDigit || (exponent && !exponentDigit)) return false;

    // from_chars takes a leading '-' but not '+'.
    const char *first = *start == '-' ? start : mantissa;
    double value = 0;
    const auto result = std::from_chars(first, q, value);
    if (result.ptr != q) return false;
    if (result.ec == std::errc::result_out_of_range) {
        // Decimal order of magnitude: where the first non-zero digit stands
        // relative to the point, plus the exponent (saturated).
        long order = 0;
        bool seenPoint = false, significant = false;
        for (const char *c = mantissa; c != q && *c != 'e' && *c != 'E'; ++c) {
            if (*c == '.') {
                seenPoint = true;
            } else if (!significant && *c == '0') {
                if (seenPoint) --order;
            } else {
                significant = true;
                if (!seenPoint) ++order;
            }
        }
        long exp = 0;
        if (exponentStart) {
            const char *c = exponentStart;
            const bool negative = *c == '-';
            if (*c == '+' || *c == '-') ++c;
            for (; c != q; ++c)
                if (exp < 100000) exp = exp * 10 + (*c - '0');
            if (negative) exp = -exp;
        }
        if (order + exp > 0) return false; // overflow
        value = *start == '-' ? -0.0 : 0.0;
    } else if (result.ec != std::errc()) {
        return false;
    }
    out = value;
    p_ = q;
    return true;
}

bool Parser::parseValue(Value &value)
{
    if (exhausted_) return false;
    if (const char delimiter = openString()) {
        new (&value.string_) String();
        value.type_ = Value::STRING_;
        return readString(delimiter, value.string_);
    }
    if (exhausted_) return false;
    Number number;
    if (readNumber(number)) {
        value = number;
        return true;
    }
    if (match("true")) {
        value = true;
        return true;
    }
    if (match("false")) {
        value = false;
        return true;
    }
    if (match("null")) {
        value = Null();
        return true;
    }
    if (exhausted_) return false;
    if (*p_ == ',') { // a missing value before a comma is null
        value = Null();
        return true;
    }
    if (*p_ == '[') {
        value.array_ = new Array;
        value.type_ = Value::ARRAY_;
        return parseArray(*value.array_);
    }
    value.object_ = new Object;
    value.type_ = Value::OBJECT_;
    return parseObject(*value.object_);
}

bool Parser::parseArray(Array &array)
{
    if (!match('[')) return false;
    const Level level(depth_);
    if (depth_ > kMaxDepth) return giveUp();
    if (!match(']')) {
        for (;;) {
            std::unique_ptr<Value> value(new Value);
            if (!parseValue(*value)) {
                if (exhausted_) return false;
                break; // [1,] and [1 ] end here; the failed value is dropped
            }
            array.values_.push_back(value.get());
            value.release();
            if (!match(',')) break;
        }
        if (!match(']')) return false;
    }
    return true;
}

bool Parser::parseObject(Object &object)
{
    if (!match('{')) return false;
    const Level level(depth_);
    if (depth_ > kMaxDepth) return giveUp();
    if (match('}')) return true;

    // Members of a failed object are dropped with it.
    struct Truncate {
        std::vector<Member> &members;
        std::size_t first;
        ~Truncate() { members.erase(members.begin() + static_cast<std::ptrdiff_t>(first), members.end()); }
    } truncate{pending_, pending_.size()};
    String key;
    for (;;) {
        const char delimiter = openString();
        if (!delimiter) {
            if (exhausted_ || *p_ != '}') return false;
            break; // trailing comma
        }
        if (!readString(delimiter, key)) return false;
        if (!match(':')) return false;
        Value value;
        if (!parseValue(value)) {
            if (exhausted_) return false;
            break; // {"a":} ends here; the key is dropped
        }
        pending_.push_back(Member{std::move(key), std::move(value)});
        if (!match(',')) break;
    }
    if (!match('}')) return false;
    storeMembers(object, truncate.first);
    return true;
}

// Sorts ranks_ by rank, then runs of equal ranks by key; equal keys keep
// their order in the text.
void Parser::sortRanks(const Member *members)
{
    const std::size_t count = ranks_.size();
    if (count > 64) {
        // Radix sort, least significant byte first; each pass is stable.
        sorting_.resize(count);
        std::size_t slots[256];
        for (unsigned shift = 0; shift < 64; shift += 8) {
            std::fill(std::begin(slots), std::end(slots), std::size_t(0));
            for (const Rank &r : ranks_) ++slots[(r.bytes >> shift) & 0xFF];
            if (slots[(ranks_[0].bytes >> shift) & 0xFF] == count) continue; // the same byte everywhere
            std::size_t at = 0;
            for (std::size_t &slot : slots) {
                const std::size_t n = slot;
                slot = at;
                at += n;
            }
            for (const Rank &r : ranks_) sorting_[slots[(r.bytes >> shift) & 0xFF]++] = r;
            ranks_.swap(sorting_);
        }
    } else {
        std::stable_sort(ranks_.begin(), ranks_.end(), [](const Rank &a, const Rank &b) { return a.bytes < b.bytes; });
    }
    for (std::size_t i = 0; i < count;) {
        std::size_t j = i + 1;
        while (j < count && ranks_[j].bytes == ranks_[i].bytes) ++j;
        if (j - i > 1)
            std::stable_sort(ranks_.begin() + static_cast<std::ptrdiff_t>(i),
                             ranks_.begin() + static_cast<std::ptrdiff_t>(j),
                             [members](const Rank &a, const Rank &b) {
                                 return members[a.index].key < members[b.index].key;
                             });
        i = j;
    }
}

// Moves pending_[first..] into the (empty) map of a complete object, the
// values into one block in key order. A key seen more than once keeps its
// last value.
void Parser::storeMembers(Object &object, std::size_t first)
{
    Member *members = pending_.data() + first;
    const std::size_t count = pending_.size() - first;
    if (count == 0) return;

    // Rank by the 8 bytes after the prefix that all keys share: for most
    // objects that settles the order without reading the keys again.
    std::size_t shared = members[0].key.size();
    for (std::size_t i = 1; i < count; ++i) {
        const String &k = members[i].key;
        std::size_t n = 0;
        while (n < shared && n < k.size() && k[n] == members[0].key[n]) ++n;
        shared = n;
    }
    ranks_.clear();
    ranks_.reserve(count);
    for (std::size_t i = 0; i < count; ++i) {
        const String &k = members[i].key;
        std::uint64_t bytes = 0;
        for (std::size_t b = 0; b < 8; ++b) {
            const std::size_t at = shared + b;
            bytes = bytes << 8 | (at < k.size() ? static_cast<unsigned char>(k[at]) : 0u);
        }
        ranks_.push_back(Rank{bytes, static_cast<std::uint32_t>(i)});
    }
    // Zero padding keeps the rank order consistent with the key order; equal
    // ranks fall back to the whole key, equal keys to their order in the text.
    sortRanks(members);
    std::size_t distinct = 0;
    for (std::size_t r = 0; r < count; ++r) {
        const bool later = r + 1 < count && ranks_[r + 1].bytes == ranks_[r].bytes
                           && members[ranks_[r + 1].index].key == members[ranks_[r].index].key;
        if (later)
            ranks_[r].index = UINT32_MAX; // a later value of this key follows
        else
            ++distinct;
    }

    object.block_.reset(new Value[distinct]);
    object.block_size_ = distinct;
    Value *block = object.block_.get();
    auto &map = object.value_map_;
    std::size_t slot = 0;
    for (std::size_t r = 0; r < count; ++r) {
        if (ranks_[r].index == UINT32_MAX) continue;
        Member &m = members[ranks_[r].index];
        block[slot].moveFrom(m.value);
        map.emplace_hint(map.end(), std::move(m.key), &block[slot]);
        ++slot;
    }
}

} // namespace detail

// ---------------------------------------------------------------- Value

Value::Value(const Array &a) : type_(ARRAY_), array_(new Array(a)) {}
Value::Value(Array &&a) : type_(ARRAY_), array_(new Array(std::move(a))) {}
Value::Value(const Object &o) : type_(OBJECT_), object_(new Object(o)) {}
Value::Value(Object &&o) : type_(OBJECT_), object_(new Object(std::move(o))) {}

Value::Value(const Value &other) : type_(INVALID_)
{
    switch (other.type_) {
    case NUMBER_: number_ = other.number_; break;
    case STRING_: new (&string_) String(other.string_); break;
    case BOOL_: bool_ = other.bool_; break;
    case NULL_:
    case INVALID_: break;
    case ARRAY_: array_ = new Array(*other.array_); break;
    case OBJECT_: object_ = new Object(*other.object_); break;
    default: JSONXX_REQUIRE(false, "!\"not implemented\"");
    }
    type_ = other.type_;
}

Value::Value(Value &&other) noexcept : type_(INVALID_)
{
    moveFrom(other);
}

Value &Value::operator=(const Value &other)
{
    if (this != &other) {
        Value copy(other); // other may live inside *this
        reset();
        moveFrom(copy);
    }
    return *this;
}

Value &Value::operator=(Value &&other) noexcept
{
    if (this != &other) {
        Value taken(std::move(other)); // other may live inside *this
        reset();
        moveFrom(taken);
    }
    return *this;
}

Value::~Value()
{
    reset();
}

void Value::moveFrom(Value &other) noexcept
{
    switch (other.type_) {
    case NUMBER_: number_ = other.number_; break;
    case STRING_: new (&string_) String(std::move(other.string_)); break;
    case BOOL_: bool_ = other.bool_; break;
    case ARRAY_: array_ = other.array_; break;
    case OBJECT_: object_ = other.object_; break;
    default: break;
    }
    type_ = other.type_;
    if (other.type_ == STRING_) other.string_.~String();
    other.type_ = INVALID_;
}

void Value::reset() noexcept
{
    switch (type_) {
    case STRING_: string_.~String(); break;
    case ARRAY_: delete array_; break;
    case OBJECT_: delete object_; break;
    default: break;
    }
    type_ = INVALID_;
}

// ---------------------------------------------------------------- Array

Array::Array() = default;

Array::Array(const Array &other)
{
    values_.reserve(other.values_.size());
    try {
        for (const Value *v : other.values_) values_.push_back(new Value(*v));
    } catch (...) {
        reset();
        throw;
    }
}

Array::Array(Array &&other) noexcept : values_(std::move(other.values_))
{
    other.values_.clear();
}

Array &Array::operator=(const Array &other)
{
    if (this != &other) {
        Array copy(other);
        std::swap(values_, copy.values_);
    }
    return *this;
}

Array &Array::operator=(Array &&other) noexcept
{
    if (this != &other) {
        Array taken(std::move(other));
        std::swap(values_, taken.values_);
    }
    return *this;
}

Array::~Array()
{
    reset();
}

void Array::reset() noexcept
{
    for (Value *v : values_) delete v;
    values_.clear();
}

Array &Array::operator<<(const Value &v)
{
    return *this << Value(v);
}

Array &Array::operator<<(Value &&v)
{
    std::unique_ptr<Value> owned(new Value(std::move(v)));
    values_.push_back(owned.get());
    owned.release();
    return *this;
}

// ---------------------------------------------------------------- Object

Object::Object() = default;

Object::Object(const Object &other)
{
    try {
        for (const auto &kv : other.value_map_)
            value_map_.emplace_hint(value_map_.end(), kv.first, nullptr)->second = new Value(*kv.second);
    } catch (...) {
        reset();
        throw;
    }
}

Object::Object(Object &&other) noexcept
    : value_map_(std::move(other.value_map_)), block_(std::move(other.block_)), block_size_(other.block_size_)
{
    other.value_map_.clear();
    other.block_size_ = 0;
    other.pending_key_.clear();
    other.has_pending_key_ = false;
}

Object &Object::operator=(const Object &other)
{
    if (this != &other) *this = Object(other);
    return *this;
}

Object &Object::operator=(Object &&other) noexcept
{
    if (this != &other) {
        Object taken(std::move(other)); // other may live inside *this
        reset();
        std::swap(value_map_, taken.value_map_);
        std::swap(block_, taken.block_);
        std::swap(block_size_, taken.block_size_);
    }
    return *this;
}

Object::~Object()
{
    reset();
}

bool Object::inBlock(const Value *v) const
{
    const std::less<const Value *> before;
    return block_ && !before(v, block_.get()) && before(v, block_.get() + block_size_);
}

void Object::dispose(Value *v) noexcept
{
    if (inBlock(v))
        v->reset(); // the slot stays until the block goes
    else
        delete v;
}

void Object::reset() noexcept
{
    for (auto &kv : value_map_)
        if (!inBlock(kv.second)) delete kv.second;
    value_map_.clear();
    block_.reset();
    block_size_ = 0;
    pending_key_.clear();
    has_pending_key_ = false;
}

void Object::store(const std::string &key, Value *owned)
{
    std::unique_ptr<Value> value(owned);
    auto it = value_map_.try_emplace(key, nullptr).first;
    if (it->second) dispose(it->second);
    it->second = value.release();
}

Object &Object::operator<<(const Value &v)
{
    return *this << Value(v);
}

Object &Object::operator<<(Value &&v)
{
    if (!has_pending_key_) {
        JSONXX_REQUIRE(v.is<String>(), "is<String>()");
        pending_key_ = std::move(v.get<String>());
        has_pending_key_ = true;
    } else {
        store(pending_key_, new Value(std::move(v)));
        pending_key_.clear();
        has_pending_key_ = false;
    }
    return *this;
}

bool Object::parse(const std::string &text)
{
    return parse(text.data(), text.data() + text.size());
}

bool Object::parse(const char *begin, const char *end)
{
    reset();
    detail::Parser parser(begin, end);
    const bool ok = parser.parseObject(*this);
    if (!ok) reset();
    return ok;
}

bool Object::parse(std::istream &input, Object &object)
{
    const std::streampos start = input.tellg();
    std::ostringstream buffer;
    buffer << input.rdbuf();
    const std::string text = buffer.str();

    object.reset();
    detail::Parser parser(text.data(), text.data() + text.size());
    const bool ok = parser.parseObject(object);
    if (!ok) {
        object.reset();
        return false;
    }
    if (start != std::streampos(-1)) {
        input.clear();
        input.seekg(start + std::streamoff(parser.position() - text.data()));
    }
    return true;
}

// ---------------------------------------------------------------- text form

namespace {

struct Escape {
    unsigned char length; // 0: the byte stands for itself
    char text[7];
};

const Escape *escapeTable()
{
    static const struct Table {
        Escape entries[256];
        Table() : entries()
        {
            auto set = [this](unsigned char byte, const char *text) {
                Escape &e = entries[byte];
                e.length = 0;
                while (text[e.length]) {
                    e.text[e.length] = text[e.length];
                    ++e.length;
                }
            };
            static const char hex[] = "0123456789abcdef";
            for (unsigned b = 0; b < 0x20; ++b) {
                const char text[7] = {'\\', 'u', '0', '0', hex[b >> 4], hex[b & 15], 0};
                set(static_cast<unsigned char>(b), text);
            }
            set('"', "\\\"");
            set('\\', "\\\\");
            set('/', "\\/");
            set('\b', "\\b");
            set('\f', "\\f");
            set('\n', "\\n");
            set('\r', "\\r");
            set('\t', "\\t");
        }
    } table;
    return table.entries;
}

void appendEscaped(std::string &out, const std::string &s)
{
    const Escape *table = escapeTable();
    const char *p = s.data();
    const char *end = p + s.size();
    const char *run = p;
    for (; p != end; ++p) {
        const Escape &e = table[static_cast<unsigned char>(*p)];
        if (e.length) {
            out.append(run, p);
            out.append(e.text, e.length);
            run = p + 1;
        }
    }
    out.append(run, end);
}

char *writeNumber(char *first, char *last, Number n, int digits)
{
    return std::to_chars(first, last, n, std::chars_format::general, digits).ptr;
}

// Whether a number's 16-digit text reads back as a double that is written as
// the same text again.
bool isStableText(const char *first, const char *last)
{
    Number back = 0;
    const auto read = std::from_chars(first, last, back);
    if (read.ec != std::errc() || read.ptr != last) return false;
    char again[40];
    const char *againEnd = writeNumber(again, again + sizeof again, back, 16);
    return std::string_view(first, last - first) == std::string_view(again, againEnd - again);
}

void appendNumber(std::string &out, Number n)
{
    // As "%.16g" writes it, whatever the C locale's decimal point. Sixteen
    // digits cannot always name a double: next to the largest one they round
    // beyond it, so the text would not read back at all, and next to some
    // powers of ten they name a neighbour whose own text differs, so the text
    // would change each time it is read and written. Those few numbers get 17
    // digits, which read back exactly.
    char buffer[40];
    char *end = writeNumber(buffer, buffer + sizeof buffer, n, 16);
    if (std::isfinite(n) && !isStableText(buffer, end))
        end = writeNumber(buffer, buffer + sizeof buffer, n, 17);
    out.append(buffer, end);
}

// A container's last member ends with ",\n"; the comma becomes a space.
void dropLastComma(std::string &out, std::size_t start)
{
    const std::size_t size = out.size();
    if (size - start > 2 && out[size - 2] == ',') out[size - 2] = ' ';
}

void appendValue(std::string &out, const Value &v, unsigned depth, const std::string *name);

void appendMembers(std::string &out, const Object &o, unsigned depth)
{
    for (const auto &kv : o.kv_map()) appendValue(out, *kv.second, depth, &kv.first);
}

void appendElements(std::string &out, const Array &a, unsigned depth)
{
    for (const Value *v : a.values()) appendValue(out, *v, depth, nullptr);
}

void appendValue(std::string &out, const Value &v, unsigned depth, const std::string *name)
{
    const std::size_t start = out.size();
    out.append(depth, '\t');
    if (name) {
        out.push_back('"');
        appendEscaped(out, *name);
        out.append("\": ", 3);
    }
    switch (v.type()) {
    case Value::NUMBER_: appendNumber(out, v.get<Number>()); break;
    case Value::STRING_:
        out.push_back('"');
        appendEscaped(out, v.get<String>());
        out.push_back('"');
        break;
    case Value::BOOL_: out.append(v.get<Boolean>() ? "true" : "false"); break;
    case Value::ARRAY_:
        out.append("[\n", 2);
        appendElements(out, v.get<Array>(), depth + 1);
        dropLastComma(out, start);
        out.append(depth, '\t');
        out.push_back(']');
        break;
    case Value::OBJECT_:
        out.append("{\n", 2);
        appendMembers(out, v.get<Object>(), depth + 1);
        dropLastComma(out, start);
        out.append(depth, '\t');
        out.push_back('}');
        break;
    default: out.append("null", 4); break;
    }
    out.append(",\n", 2);
}

} // namespace

std::string Object::json() const
{
    std::string out("{\n");
    appendMembers(out, *this, 1);
    dropLastComma(out, 0);
    out.append("},\n");
    dropLastComma(out, 0);
    return out;
}

} // namespace jsonxx
