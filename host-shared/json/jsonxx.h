// jsonxx: the host's JSON documents. An owning value model (Value, Array,
// Object with members sorted by key), a lenient parser for request objects,
// typed presence tests and getters whose preconditions abort the process, an
// insertion chain for building responses, and the exact tab-indented text form
// in which responses are written.
#pragma once

#include <cstddef>
#include <iosfwd>
#include <map>
#include <memory>
#include <new>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

namespace jsonxx {

using String = std::string;
using Number = double;
using Boolean = bool;
struct Null {};

class Value;
class Array;
class Object;

// Containers may nest this deep (the outermost object counts as 1); a text
// that nests deeper is refused by parse(), so hostile input cannot exhaust
// the stack.
constexpr unsigned kMaxDepth = 512;

namespace detail {

// Writes "[JSONXX] expression '<expression>' failed at <file>:<line> -> " to
// standard error and stops the process as a failed assertion does.
[[noreturn]] void assertionFailed(const char *expression, const char *file, int line);

template <typename T> struct Kind; // defined for the kinds a Value can hold

class Parser;

} // namespace detail

// A violated precondition is a programming error: callers test first.
#define JSONXX_REQUIRE(condition, text)                                                            \
    do {                                                                                           \
        if (!(condition)) ::jsonxx::detail::assertionFailed(text, __FILE__, __LINE__);            \
    } while (0)

class Value {
public:
    // Kind tags, in this order; INVALID_ is the state of a fresh Value and is written as null.
    enum Type { NUMBER_, STRING_, BOOL_, NULL_, ARRAY_, OBJECT_, INVALID_ };

    Value() noexcept : type_(INVALID_) {}
    Value(const String &s) : type_(STRING_) { new (&string_) String(s); }
    Value(String &&s) noexcept : type_(STRING_) { new (&string_) String(std::move(s)); }
    Value(const char *s) : type_(STRING_) { new (&string_) String(s); }
    Value(Number n) noexcept : type_(NUMBER_), number_(n) {}
    Value(int n) noexcept : type_(NUMBER_), number_(n) {}
    // Every other arithmetic type (long, unsigned, size_t, float ...) is stored as a Number.
    template <typename T,
              typename std::enable_if<std::is_arithmetic<T>::value && !std::is_same<T, bool>::value
                                          && !std::is_same<T, int>::value
                                          && !std::is_same<T, Number>::value,
                                      int>::type = 0>
    Value(T n) noexcept : type_(NUMBER_), number_(static_cast<Number>(n))
    {}
    Value(bool b) noexcept : type_(BOOL_), bool_(b) {}
    Value(const Null &) noexcept : type_(NULL_) {}
    Value(const Array &a);
    Value(Array &&a);
    Value(const Object &o);
    Value(Object &&o);

    Value(const Value &other);
    Value(Value &&other) noexcept;
    Value &operator=(const Value &other);
    Value &operator=(Value &&other) noexcept;
    ~Value();

    // T: String, Number, Boolean, Null, Array, Object, or Value (any kind).
    template <typename T> bool is() const;
    // Precondition is<T>().
    template <typename T> T &get();
    template <typename T> const T &get() const;

    Type type() const { return type_; }
    // Frees the payload; the value becomes invalid.
    void reset() noexcept;

private:
    friend class detail::Parser;
    void moveFrom(Value &other) noexcept; // other must not be *this; leaves it invalid

    Type type_;
    union {
        Number number_;
        Boolean bool_;
        String string_;
        Array *array_;
        Object *object_;
    };
};

class Array {
public:
    Array();
    Array(const Array &other);
    Array(Array &&other) noexcept;
    Array &operator=(const Array &other);
    Array &operator=(Array &&other) noexcept;
    ~Array();

    std::size_t size() const { return values_.size(); }
    bool empty() const { return values_.empty(); }
    template <typename T> bool has(unsigned i) const;
    // Precondition has<T>(i).
    template <typename T> T &get(unsigned i);
    template <typename T> const T &get(unsigned i) const;
    const std::vector<Value *> &values() const { return values_; }

    // Appends a deep copy.
    Array &operator<<(const Value &v);
    Array &operator<<(Value &&v);

    void reset() noexcept;

private:
    friend class detail::Parser;
    std::vector<Value *> values_; // owned
};

class Object {
public:
    Object();
    Object(const Object &other);
    Object(Object &&other) noexcept;
    // Clears the target (members and pending key) and deep-copies the members.
    Object &operator=(const Object &other);
    Object &operator=(Object &&other) noexcept;
    ~Object();

    // Clears the object, parses one object from the start of the text and
    // returns whether it was accepted. Bytes after the closing brace are
    // ignored. On failure the object is left empty.
    bool parse(const std::string &text);
    bool parse(const char *begin, const char *end);
    // Reads the object from the stream. On success a seekable stream is left
    // just after the closing brace; a stream that cannot seek is consumed to
    // its end. On failure the stream's position is unspecified.
    static bool parse(std::istream &input, Object &object);

    // T: String, Number, Boolean, Null, Array, Object, or Value (presence only).
    template <typename T> bool has(const std::string &key) const;
    // Precondition has<T>(key).
    template <typename T> T &get(const std::string &key);
    template <typename T> const T &get(const std::string &key) const;

    // Insertion chain: obj << "key" << value. With no pending key the item
    // must be a string and becomes the pending key; otherwise the item is
    // deep-copied under the pending key (replacing a member of that key) and
    // the pending key is cleared. Any string is a key, the empty one included.
    Object &operator<<(const Value &v);
    Object &operator<<(Value &&v);

    // The exact text form: tab-indented, members in key order, ends with
    // "}", a space and LF.
    std::string json() const;

    std::size_t size() const { return value_map_.size(); }
    bool empty() const { return value_map_.empty(); }
    // Members in unsigned byte-wise key order.
    const std::map<std::string, Value *> &kv_map() const { return value_map_; }
    void reset() noexcept;

private:
    friend class detail::Parser;
    void store(const std::string &key, Value *owned);
    bool inBlock(const Value *v) const;
    void dispose(Value *v) noexcept;

    // Values are owned: a parsed object keeps its members' values in one
    // block, all others are allocated one by one.
    std::map<std::string, Value *> value_map_;
    std::unique_ptr<Value[]> block_;
    std::size_t block_size_ = 0;
    std::string pending_key_;
    // Whether pending_key_ holds a key: "" is a key like any other.
    bool has_pending_key_ = false;
};

namespace detail {

template <> struct Kind<Number> {
    static constexpr Value::Type type = Value::NUMBER_;
    static constexpr const char *test = "is<Number>()";
};
template <> struct Kind<String> {
    static constexpr Value::Type type = Value::STRING_;
    static constexpr const char *test = "is<String>()";
};
template <> struct Kind<Boolean> {
    static constexpr Value::Type type = Value::BOOL_;
    static constexpr const char *test = "is<Boolean>()";
};
template <> struct Kind<Null> {
    static constexpr Value::Type type = Value::NULL_;
    static constexpr const char *test = "is<Null>()";
};
template <> struct Kind<Array> {
    static constexpr Value::Type type = Value::ARRAY_;
    static constexpr const char *test = "is<Array>()";
};
template <> struct Kind<Object> {
    static constexpr Value::Type type = Value::OBJECT_;
    static constexpr const char *test = "is<Object>()";
};

Null &nullValue();

} // namespace detail

template <typename T> bool Value::is() const
{
    if constexpr (std::is_same<T, Value>::value)
        return true;
    else
        return type_ == detail::Kind<T>::type;
}

template <typename T> T &Value::get()
{
    if constexpr (std::is_same<T, Value>::value) {
        return *this;
    } else {
        JSONXX_REQUIRE(is<T>(), detail::Kind<T>::test);
        if constexpr (std::is_same<T, Number>::value)
            return number_;
        else if constexpr (std::is_same<T, String>::value)
            return string_;
        else if constexpr (std::is_same<T, Boolean>::value)
            return bool_;
        else if constexpr (std::is_same<T, Null>::value)
            return detail::nullValue();
        else if constexpr (std::is_same<T, Array>::value)
            return *array_;
        else
            return *object_;
    }
}

template <typename T> const T &Value::get() const
{
    return const_cast<Value *>(this)->get<T>();
}

template <typename T> bool Array::has(unsigned i) const
{
    return i < values_.size() && values_[i]->is<T>();
}

template <typename T> T &Array::get(unsigned i)
{
    JSONXX_REQUIRE(has<T>(i), "has<T>(i)");
    return values_[i]->get<T>();
}

template <typename T> const T &Array::get(unsigned i) const
{
    JSONXX_REQUIRE(has<T>(i), "has<T>(i)");
    return values_[i]->get<T>();
}

template <typename T> bool Object::has(const std::string &key) const
{
    auto it = value_map_.find(key);
    return it != value_map_.end() && it->second->is<T>();
}

template <typename T> T &Object::get(const std::string &key)
{
    auto it = value_map_.find(key);
    JSONXX_REQUIRE(it != value_map_.end() && it->second->is<T>(), "has<T>(key)");
    return it->second->get<T>();
}

template <typename T> const T &Object::get(const std::string &key) const
{
    return const_cast<Object *>(this)->get<T>(key);
}

} // namespace jsonxx
