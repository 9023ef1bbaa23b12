// jsonxx: value model, lenient parser and exact text form of the host's JSON
// documents. The parser walks a pointer over the whole text; the writer
// appends to one buffer. Both are independent of the C locale.
#include "jsonxx.h"

#include <cassert>
#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <istream>
#include <iterator>
#include <memory>
#include <sstream>
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

// The request parser. Its rules follow the stream reader the browser side was
// written against: tokens skip white space and line comments, a token that
// does not match gives back what it matched, a number that does not extract
// goes back to where it began, and nothing else is given back. Reaching the
// end of the text before the outermost "}" means the parse fails, so the
// parser gives up at once when it runs out of text.
class Parser {
public:
    Parser(const char *begin, const char *end) : p_(begin), end_(end) {}

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
    bool readNumber(Number &out);
    bool parseValue(Value &value);

    const char *p_;
    const char *end_;
    unsigned depth_ = 0;
    bool exhausted_ = false; // ran out of text or nested too deep: the whole parse fails
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

bool Parser::readString(char delimiter, String &out)
{
    out.clear();
    for (;;) {
        const char *run = p_;
        while (p_ != end_ && *p_ != delimiter && *p_ != '\\') ++p_;
        if (p_ == end_) return giveUp();
        out.append(run, p_);
        if (*p_++ == delimiter) return true;

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
            // digits give one byte (the low 8 bits), none give nothing.
            if (end_ - p_ < 4) return giveUp();
            unsigned code = 0;
            int digits = 0;
            for (; digits < 4; ++digits) {
                const int d = hexDigit(p_[digits]);
                if (d < 0) break;
                code = code * 16 + static_cast<unsigned>(d);
            }
            p_ += 4;
            if (digits > 0) out.push_back(static_cast<char>(code & 0xFF));
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
    if (!match('}')) {
        auto &members = object.value_map_;
        String key;
        for (;;) {
            const char delimiter = openString();
            if (!delimiter) {
                if (exhausted_ || *p_ != '}') return false;
                break; // trailing comma
            }
            if (!readString(delimiter, key)) return false;
            if (!match(':')) return false;
            std::unique_ptr<Value> value(new Value);
            if (!parseValue(*value)) {
                if (exhausted_) return false;
                break; // {"a":} ends here; the key is dropped
            }
            // Keys usually come in order; the hint makes that case cheap.
            auto it = members.try_emplace(members.end(), std::move(key), nullptr);
            delete it->second; // a later duplicate replaces the earlier value
            it->second = value.release();
            if (!match(',')) break;
        }
        if (!match('}')) return false;
    }
    return true;
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

bool Array::parse(const std::string &text)
{
    return parse(text.data(), text.data() + text.size());
}

bool Array::parse(const char *begin, const char *end)
{
    reset();
    detail::Parser parser(begin, end);
    const bool ok = parser.parseArray(*this);
    if (!ok) reset();
    return ok;
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

Object::Object(Object &&other) noexcept : value_map_(std::move(other.value_map_))
{
    other.value_map_.clear();
    other.pending_key_.clear();
}

Object &Object::operator=(const Object &other)
{
    if (this != &other) {
        Object copy(other);
        std::swap(value_map_, copy.value_map_);
        pending_key_.clear();
    }
    return *this;
}

Object &Object::operator=(Object &&other) noexcept
{
    if (this != &other) {
        Object taken(std::move(other));
        std::swap(value_map_, taken.value_map_);
        pending_key_.clear();
    }
    return *this;
}

Object::~Object()
{
    reset();
}

void Object::reset() noexcept
{
    for (auto &kv : value_map_) delete kv.second;
    value_map_.clear();
    pending_key_.clear();
}

void Object::store(const std::string &key, Value *owned)
{
    std::unique_ptr<Value> value(owned);
    auto it = value_map_.try_emplace(key, nullptr).first;
    delete it->second;
    it->second = value.release();
}

Object &Object::operator<<(const Value &v)
{
    if (pending_key_.empty()) {
        JSONXX_REQUIRE(v.is<String>(), "is<String>()");
        pending_key_ = v.get<String>();
    } else {
        store(pending_key_, new Value(v));
        pending_key_.clear();
    }
    return *this;
}

Object &Object::operator<<(Value &&v)
{
    if (pending_key_.empty()) {
        JSONXX_REQUIRE(v.is<String>(), "is<String>()");
        pending_key_ = std::move(v.get<String>());
    } else {
        store(pending_key_, new Value(std::move(v)));
        pending_key_.clear();
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

void appendNumber(std::string &out, Number n)
{
    // As "%.16g" writes it, whatever the C locale's decimal point.
    char buffer[40];
    const auto result = std::to_chars(buffer, buffer + sizeof buffer, n, std::chars_format::general, 16);
    out.append(buffer, result.ptr);
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

std::string Array::json() const
{
    std::string out("[\n");
    appendElements(out, *this, 1);
    dropLastComma(out, 0);
    out.append("],\n");
    dropLastComma(out, 0);
    return out;
}

} // namespace jsonxx
