#include "json/json.hpp"

#include <array>
#include <charconv>
#include <cmath>
#include <cstring>
#include <limits>
#include <system_error>

#include <boost/json/error.hpp>
#include <boost/json/parse_options.hpp>
#include <boost/json/basic_parser_impl.hpp>
#include <boost/json/value_stack.hpp>

#include "json/bounded_parse.hpp"
#include "text/text.hpp"

namespace ambrel::json {

// ---------------------------------------------------------------------------------------------
// Parsing
// ---------------------------------------------------------------------------------------------

namespace {

bool is_json_space(char c) noexcept { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

std::string reason_for(const boost::system::error_code& ec) {
    namespace e = boost::json;
    if (ec == e::error::syntax) return "syntax error";
    if (ec == e::error::extra_data) return "trailing characters";
    if (ec == e::error::incomplete) return "unexpected end of input";
    if (ec == e::error::exponent_overflow) return "exponent too large";
    if (ec == e::error::too_deep) return "nesting too deep";
    if (ec == e::error::illegal_leading_surrogate || ec == e::error::illegal_trailing_surrogate)
        return "invalid surrogate escape in string";
    if (ec == e::error::expected_hex_digit) return "invalid unicode escape";
    if (ec == e::error::expected_utf16_escape) return "invalid surrogate escape in string";
    if (ec == e::error::object_too_large || ec == e::error::array_too_large ||
        ec == e::error::key_too_large || ec == e::error::string_too_large)
        return "value too large";
    return ec.message();
}

// 1-based line and column (in characters) of a byte offset.
void locate(std::string_view text, std::size_t offset, std::size_t& line, std::size_t& column) {
    line = 1;
    std::size_t line_start = 0;
    for (std::size_t i = 0; i < offset && i < text.size(); ++i) {
        if (text[i] == '\n') {
            ++line;
            line_start = i + 1;
        }
    }
    column = text::count_chars(text.substr(line_start, offset - line_start)) + 1;
}

ParseError make_error(std::string_view text, std::size_t offset, std::string reason) {
    ParseError error;
    error.reason = std::move(reason);
    error.offset = offset;
    locate(text, offset, error.line, error.column);
    return error;
}

// Boost reports some faults with a generic code; name the common ones precisely from the input.
std::string refine_reason(std::string_view text, std::size_t offset, const boost::system::error_code& ec) {
    if (ec == boost::json::error::syntax && offset < text.size()) {
        // Boost names these faults only "syntax error"; the byte at fault tells them apart.
        const auto b = static_cast<unsigned char>(text[offset]);
        if (b < 0x20) return "unexpected control character";
        if (b >= 0x80 && !text::decode_at(text, offset).valid) return "invalid UTF-8";
        if (offset > 0 && text[offset - 1] == '\\') return "invalid escape";
    }
    return reason_for(ec);
}

}  // namespace

std::string ParseError::message() const {
    return reason + " at line " + std::to_string(line) + " column " + std::to_string(column);
}

namespace {

// The handler of Boost's own `parser`, except for doubles: Boost 1.81 rounds some decimal texts to a
// neighbouring double (1000000000000000.5 reads as 1e15), so each double is read again, correctly
// rounded, from its text with std::from_chars. Objects come from value_stack::push_object, which
// keeps the last value of a duplicate name at the first one's position.
struct Handler {
    static constexpr std::size_t max_object_size = boost::json::object::max_size();
    static constexpr std::size_t max_array_size = boost::json::array::max_size();
    static constexpr std::size_t max_key_size = boost::json::string::max_size();
    static constexpr std::size_t max_string_size = boost::json::string::max_size();

    using error_code = boost::system::error_code;
    using string_view = boost::json::string_view;

    boost::json::value_stack st;
    // Earlier parts of a number split across input buffers (not used with one whole buffer, kept for
    // correctness).
    std::string number_parts;

    // The bound on values and the watched member of the caller's options.
    std::size_t max_values = std::numeric_limits<std::size_t>::max();
    WatchedMember* watched = nullptr;
    std::size_t values = 0;
    bool too_many_values = false;
    // Nesting of the value being read: 0 outside the document, 1 directly inside the top-level
    // object or array.
    std::size_t depth = 0;
    std::string key_parts;
    // The last key read directly inside the top-level object was the watched name, and its value has
    // not begun yet.
    bool at_watched = false;
    std::string string_parts;
    bool string_counted = false;

    // Counts one more value; refuses it, before anything is built for it, once the bound is passed.
    bool count_value(error_code& ec) {
        if (++values <= max_values) return true;
        too_many_values = true;
        ec = boost::json::error::exception;
        return false;
    }
    // The watched member's value begins here when the key before it was the watched name.
    bool takes_watched_value() {
        const bool takes = at_watched && depth == 1;
        at_watched = false;
        return takes;
    }
    void watch_scalar(Value value, std::string_view number_text = {}) {
        watched->value = std::move(value);
        watched->number_text.assign(number_text);
    }
    bool begin_container(error_code& ec) {
        if (!count_value(ec)) return false;
        // A container is kept in the document only; the scalar seen before it no longer counts.
        if (watched != nullptr && takes_watched_value()) {
            watched->value.reset();
            watched->number_text.clear();
        }
        ++depth;
        return true;
    }

    bool on_document_begin(error_code&) { return true; }
    bool on_document_end(error_code&) { return true; }
    bool on_object_begin(error_code& ec) { return begin_container(ec); }
    bool on_object_end(std::size_t n, error_code&) {
        --depth;
        st.push_object(n);
        return true;
    }
    bool on_array_begin(error_code& ec) { return begin_container(ec); }
    bool on_array_end(std::size_t n, error_code&) {
        --depth;
        st.push_array(n);
        return true;
    }
    bool on_key_part(string_view s, std::size_t, error_code&) {
        if (watched != nullptr && depth == 1) key_parts.append(s.data(), s.size());
        st.push_chars(s);
        return true;
    }
    bool on_key(string_view s, std::size_t, error_code&) {
        if (watched != nullptr && depth == 1) {
            key_parts.append(s.data(), s.size());
            at_watched = key_parts == watched->name;
            key_parts.clear();
        }
        st.push_key(s);
        return true;
    }
    bool on_string_part(string_view s, std::size_t, error_code& ec) {
        if (!string_counted && !count_value(ec)) return false;
        string_counted = true;
        if (watched != nullptr && at_watched && depth == 1) string_parts.append(s.data(), s.size());
        st.push_chars(s);
        return true;
    }
    bool on_string(string_view s, std::size_t, error_code& ec) {
        // A string in parts was counted at its first part.
        if (!string_counted && !count_value(ec)) return false;
        string_counted = false;
        if (watched != nullptr && takes_watched_value()) {
            string_parts.append(s.data(), s.size());
            watch_scalar(Value(boost::json::string_view(string_parts.data(), string_parts.size())));
        }
        string_parts.clear();
        st.push_string(s);
        return true;
    }
    bool on_number_part(string_view s, error_code&) {
        number_parts.append(s.data(), s.size());
        return true;
    }
    // The whole source text of a number, its earlier parts included.
    std::string_view number_text(string_view s) {
        if (number_parts.empty()) return std::string_view(s.data(), s.size());
        number_parts.append(s.data(), s.size());
        return number_parts;
    }
    bool on_int64(std::int64_t i, string_view s, error_code& ec) {
        if (!count_value(ec)) return false;
        if (watched != nullptr && takes_watched_value()) watch_scalar(Value(i), number_text(s));
        number_parts.clear();
        st.push_int64(i);
        return true;
    }
    bool on_uint64(std::uint64_t u, string_view s, error_code& ec) {
        if (!count_value(ec)) return false;
        if (watched != nullptr && takes_watched_value()) watch_scalar(Value(u), number_text(s));
        number_parts.clear();
        st.push_uint64(u);
        return true;
    }
    bool on_double(double d, string_view s, error_code& ec) {
        if (!count_value(ec)) return false;
        const std::string_view number = number_text(s);
        double exact = 0;
        auto [end, from_chars_ec] = std::from_chars(number.data(), number.data() + number.size(), exact);
        // Out of range (beyond the double range, or below the smallest subnormal): keep Boost's
        // infinity or zero.
        if (from_chars_ec == std::errc() && end == number.data() + number.size()) d = exact;
        if (watched != nullptr && takes_watched_value()) watch_scalar(Value(d), number);
        number_parts.clear();
        st.push_double(d);
        return true;
    }
    bool on_bool(bool b, error_code& ec) {
        if (!count_value(ec)) return false;
        if (watched != nullptr && takes_watched_value()) watch_scalar(Value(b));
        st.push_bool(b);
        return true;
    }
    bool on_null(error_code& ec) {
        if (!count_value(ec)) return false;
        if (watched != nullptr && takes_watched_value()) watch_scalar(Value(nullptr));
        st.push_null();
        return true;
    }
    bool on_comment_part(string_view, error_code&) { return true; }
    bool on_comment(string_view, error_code&) { return true; }
};

}  // namespace

std::expected<Value, ParseError> parse(std::string_view text) {
    auto parsed = parse_bounded(text, ParseOptions{});
    if (!parsed) return std::unexpected(std::move(parsed.error().fault));
    return std::move(*parsed);
}

std::expected<Value, BoundedParseError> parse_bounded(std::string_view text, const ParseOptions& limits) {
    const auto refused = [](ParseError fault, bool too_many_values = false) {
        return std::unexpected(BoundedParseError{std::move(fault), too_many_values});
    };
    boost::json::parse_options options;
    options.max_depth = kMaxDepth;
    boost::json::basic_parser<Handler> parser(options);
    Handler& handler = parser.handler();
    handler.st.reset();
    handler.max_values = limits.max_values;
    handler.watched = limits.watched;
    if (handler.watched != nullptr) {
        handler.watched->value.reset();
        handler.watched->number_text.clear();
    }
    boost::system::error_code ec;
    const std::size_t used = parser.write_some(false, text.data(), text.size(), ec);
    if (handler.too_many_values) {
        return refused(make_error(text, used < text.size() ? used : text.size(), "too many values"), true);
    }
    if (ec) {
        if (ec == boost::json::error::incomplete) {
            const bool blank = text.find_first_not_of(" \t\r\n") == std::string_view::npos;
            return refused(make_error(text, text.size(), blank ? "empty input" : "unexpected end of input"));
        }
        const std::size_t offset = used < text.size() ? used : text.size();
        return refused(make_error(text, offset, refine_reason(text, offset, ec)));
    }
    std::size_t rest = used;
    while (rest < text.size() && is_json_space(text[rest])) ++rest;
    if (rest < text.size()) return refused(make_error(text, rest, "trailing characters"));
    return parser.handler().st.release();
}

// ---------------------------------------------------------------------------------------------
// Kinds and readers
// ---------------------------------------------------------------------------------------------

std::string_view type_word(const Value& value) noexcept {
    switch (value.kind()) {
        case boost::json::kind::null: return "null";
        case boost::json::kind::bool_: return "boolean";
        case boost::json::kind::int64:
        case boost::json::kind::uint64:
        case boost::json::kind::double_: return "number";
        case boost::json::kind::string: return "string";
        case boost::json::kind::array: return "array";
        case boost::json::kind::object: return "object";
    }
    return "null";
}

std::string_view type_word(const Value* value) noexcept { return value ? type_word(*value) : "missing"; }

bool is_integer(const Value& value) noexcept { return value.is_int64() || value.is_uint64(); }

bool is_number(const Value& value) noexcept { return value.is_number(); }

const Value* find(const Object& object, std::string_view key) noexcept { return object.if_contains(key); }

const Value* find(const Value& value, std::string_view key) noexcept {
    const Object* object = value.if_object();
    return object ? object->if_contains(key) : nullptr;
}

std::optional<std::string_view> as_string(const Value& value) noexcept {
    if (const String* s = value.if_string()) return std::string_view(s->data(), s->size());
    return std::nullopt;
}

std::optional<bool> as_bool(const Value& value) noexcept {
    if (const bool* b = value.if_bool()) return *b;
    return std::nullopt;
}

std::optional<std::int64_t> as_int64(const Value& value) noexcept {
    if (const std::int64_t* i = value.if_int64()) return *i;
    if (const std::uint64_t* u = value.if_uint64()) {
        if (*u <= static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max()))
            return static_cast<std::int64_t>(*u);
    }
    return std::nullopt;
}

std::optional<std::uint64_t> as_uint64(const Value& value) noexcept {
    if (const std::uint64_t* u = value.if_uint64()) return *u;
    if (const std::int64_t* i = value.if_int64()) {
        if (*i >= 0) return static_cast<std::uint64_t>(*i);
    }
    return std::nullopt;
}

std::optional<double> as_double(const Value& value) noexcept {
    if (const double* d = value.if_double()) return *d;
    if (const std::int64_t* i = value.if_int64()) return static_cast<double>(*i);
    if (const std::uint64_t* u = value.if_uint64()) return static_cast<double>(*u);
    return std::nullopt;
}

const Array* as_array(const Value& value) noexcept { return value.if_array(); }

const Object* as_object(const Value& value) noexcept { return value.if_object(); }

std::optional<std::string_view> get_string(const Object& object, std::string_view key) noexcept {
    const Value* v = find(object, key);
    return v ? as_string(*v) : std::nullopt;
}
std::optional<bool> get_bool(const Object& object, std::string_view key) noexcept {
    const Value* v = find(object, key);
    return v ? as_bool(*v) : std::nullopt;
}
std::optional<std::int64_t> get_int64(const Object& object, std::string_view key) noexcept {
    const Value* v = find(object, key);
    return v ? as_int64(*v) : std::nullopt;
}
std::optional<std::uint64_t> get_uint64(const Object& object, std::string_view key) noexcept {
    const Value* v = find(object, key);
    return v ? as_uint64(*v) : std::nullopt;
}
std::optional<double> get_double(const Object& object, std::string_view key) noexcept {
    const Value* v = find(object, key);
    return v ? as_double(*v) : std::nullopt;
}
const Array* get_array(const Object& object, std::string_view key) noexcept {
    const Value* v = find(object, key);
    return v ? v->if_array() : nullptr;
}
const Object* get_object(const Object& object, std::string_view key) noexcept {
    const Value* v = find(object, key);
    return v ? v->if_object() : nullptr;
}

std::string TypeMismatch::message() const {
    const bool vowel = !expected.empty() && std::string_view("aeiou").find(expected.front()) != std::string_view::npos;
    return "member '" + key + "' must be " + (vowel ? "an " : "a ") + std::string(expected) + " (found " +
           std::string(found) + ")";
}

namespace {

template <class T, class Get>
std::expected<T, TypeMismatch> read_member(const Object& object, std::string_view key, std::string_view expected,
                                           Get&& get) {
    const Value* v = find(object, key);
    if (v) {
        if (auto got = get(*v)) return T(*got);
    }
    return std::unexpected(TypeMismatch{std::string(key), expected, type_word(v)});
}

}  // namespace

std::expected<std::string_view, TypeMismatch> read_string(const Object& object, std::string_view key) {
    return read_member<std::string_view>(object, key, "string", [](const Value& v) { return as_string(v); });
}
std::expected<bool, TypeMismatch> read_bool(const Object& object, std::string_view key) {
    return read_member<bool>(object, key, "boolean", [](const Value& v) { return as_bool(v); });
}
std::expected<std::int64_t, TypeMismatch> read_int64(const Object& object, std::string_view key) {
    return read_member<std::int64_t>(object, key, "integer", [](const Value& v) { return as_int64(v); });
}
std::expected<std::uint64_t, TypeMismatch> read_uint64(const Object& object, std::string_view key) {
    return read_member<std::uint64_t>(object, key, "unsigned integer", [](const Value& v) { return as_uint64(v); });
}
std::expected<double, TypeMismatch> read_double(const Object& object, std::string_view key) {
    return read_member<double>(object, key, "number", [](const Value& v) { return as_double(v); });
}
std::expected<const Array*, TypeMismatch> read_array(const Object& object, std::string_view key) {
    return read_member<const Array*>(object, key, "array", [](const Value& v) {
        const Array* a = v.if_array();
        return a ? std::optional<const Array*>(a) : std::nullopt;
    });
}
std::expected<const Object*, TypeMismatch> read_object(const Object& object, std::string_view key) {
    return read_member<const Object*>(object, key, "object", [](const Value& v) {
        const Object* o = v.if_object();
        return o ? std::optional<const Object*>(o) : std::nullopt;
    });
}

// ---------------------------------------------------------------------------------------------
// Numbers
// ---------------------------------------------------------------------------------------------

namespace {

// Longest text of a double: sign, "0.0000" and 17 digits; or sign, 17 digits, ".", "e-324".
constexpr std::size_t kMaxDoubleText = 32;

// Writes the text of a double (see `double_text`) at `dst`, which has room for kMaxDoubleText bytes;
// returns the end.
char* format_double(double value, char* dst) {
    if (!std::isfinite(value)) {
        std::memcpy(dst, "null", 4);
        return dst + 4;
    }
    char buf[40];
    // Shortest round-trip digits in the form [-]d[.ddd]e(+|-)xx.
    const char* end = std::to_chars(buf, buf + sizeof buf, value, std::chars_format::scientific).ptr;
    const char* p = buf;
    if (*p == '-') {
        *dst++ = '-';
        ++p;
    }
    char digits[24];
    int n = 0;
    while (p < end && *p != 'e') {
        if (*p != '.') digits[n++] = *p;
        ++p;
    }
    // p is at 'e'; the exponent has a sign and at least two digits.
    const bool negative_exponent = p[1] == '-';
    int exponent = 0;
    for (const char* q = p + 2; q < end; ++q) exponent = exponent * 10 + (*q - '0');
    if (negative_exponent) exponent = -exponent;
    const auto un = static_cast<std::size_t>(n);
    if (exponent >= 0 && exponent <= 15) {
        const auto int_digits = static_cast<std::size_t>(exponent + 1);
        if (un <= int_digits) {
            std::memcpy(dst, digits, un);
            dst += un;
            std::memset(dst, '0', int_digits - un);
            dst += int_digits - un;
            *dst++ = '.';
            *dst++ = '0';
        } else {
            std::memcpy(dst, digits, int_digits);
            dst += int_digits;
            *dst++ = '.';
            std::memcpy(dst, digits + int_digits, un - int_digits);
            dst += un - int_digits;
        }
        return dst;
    }
    if (exponent < 0 && exponent >= -5) {
        *dst++ = '0';
        *dst++ = '.';
        const auto zeros = static_cast<std::size_t>(-exponent - 1);
        std::memset(dst, '0', zeros);
        dst += zeros;
        std::memcpy(dst, digits, un);
        return dst + un;
    }
    *dst++ = digits[0];
    if (n > 1) {
        *dst++ = '.';
        std::memcpy(dst, digits + 1, un - 1);
        dst += un - 1;
    }
    *dst++ = 'e';
    return std::to_chars(dst, dst + 8, exponent).ptr;
}

}  // namespace

void append_double(double value, std::string& out) {
    char buf[kMaxDoubleText];
    out.append(buf, format_double(value, buf));
}

std::string double_text(double value) {
    char buf[kMaxDoubleText];
    return std::string(buf, format_double(value, buf));
}

std::string int64_text(std::int64_t value) {
    char buf[24];
    return std::string(buf, std::to_chars(buf, buf + sizeof buf, value).ptr);
}

std::string uint64_text(std::uint64_t value) {
    char buf[24];
    return std::string(buf, std::to_chars(buf, buf + sizeof buf, value).ptr);
}

std::optional<std::string> number_text(const Value& value) {
    if (const std::int64_t* i = value.if_int64()) return int64_text(*i);
    if (const std::uint64_t* u = value.if_uint64()) return uint64_text(*u);
    if (const double* d = value.if_double()) return double_text(*d);
    return std::nullopt;
}

// ---------------------------------------------------------------------------------------------
// Writing
// ---------------------------------------------------------------------------------------------

namespace {

// Length of a well-formed UTF-8 sequence starting at s[i] (a byte >= 0x80), or 0 when it is
// ill-formed (Unicode table 3-7). The writer's hot path; text::decode_at gives the same verdict.
inline std::size_t valid_sequence_length(const unsigned char* s, std::size_t i, std::size_t n) noexcept {
    const unsigned char b0 = s[i];
    std::size_t need;
    unsigned char lo = 0x80;
    unsigned char hi = 0xBF;
    if (b0 >= 0xC2 && b0 <= 0xDF) {
        need = 1;
    } else if (b0 >= 0xE0 && b0 <= 0xEF) {
        need = 2;
        if (b0 == 0xE0) lo = 0xA0;
        if (b0 == 0xED) hi = 0x9F;
    } else if (b0 >= 0xF0 && b0 <= 0xF4) {
        need = 3;
        if (b0 == 0xF0) lo = 0x90;
        if (b0 == 0xF4) hi = 0x8F;
    } else {
        return 0;
    }
    if (i + need >= n) return 0;
    if (s[i + 1] < lo || s[i + 1] > hi) return 0;
    for (std::size_t k = 2; k <= need; ++k) {
        if ((s[i + k] & 0xC0) != 0x80) return 0;
    }
    return need + 1;
}

// True when none of the 8 bytes needs attention: all are >= 0x20, < 0x80 and neither '"' nor '\\'.
inline bool plain_word(std::uint64_t w) noexcept {
    constexpr std::uint64_t kOnes = 0x0101010101010101ULL;
    constexpr std::uint64_t kHigh = 0x8080808080808080ULL;
    const std::uint64_t below_space = (w - kOnes * 0x20) & ~w;
    const std::uint64_t q = w ^ (kOnes * '"');
    const std::uint64_t quote = (q - kOnes) & ~q;
    const std::uint64_t b = w ^ (kOnes * '\\');
    const std::uint64_t backslash = (b - kOnes) & ~b;
    return ((below_space | quote | backslash | w) & kHigh) == 0;
}

// Appends to a std::string through a raw cursor: one capacity check per token instead of one per
// byte. The string's size is fixed up by finish().
class Writer {
public:
    explicit Writer(std::string& out) : out_(out) {
        const std::size_t start = out_.size();
        grow_to(start + 256);
        cur_ = out_.data() + start;
    }
    Writer(const Writer&) = delete;
    Writer& operator=(const Writer&) = delete;

    void finish() { out_.resize(static_cast<std::size_t>(cur_ - out_.data())); }

    // Makes room for n more bytes at the cursor.
    void reserve(std::size_t n) {
        if (static_cast<std::size_t>(lim_ - cur_) < n) grow(n);
    }

    void put(char c) {
        reserve(1);
        *cur_++ = c;
    }
    void put(std::string_view s) {
        reserve(s.size());
        std::memcpy(cur_, s.data(), s.size());
        cur_ += s.size();
    }
    void put_unchecked(char c) { *cur_++ = c; }

    void indent(std::size_t depth) {
        reserve(1 + depth * 2);
        *cur_++ = '\n';
        std::memset(cur_, ' ', depth * 2);
        cur_ += depth * 2;
    }

    void int64(std::int64_t v) {
        reserve(24);
        cur_ = std::to_chars(cur_, cur_ + 24, v).ptr;
    }
    void uint64(std::uint64_t v) {
        reserve(24);
        cur_ = std::to_chars(cur_, cur_ + 24, v).ptr;
    }
    void dbl(double v) {
        reserve(kMaxDoubleText);
        cur_ = format_double(v, cur_);
    }

    // Invariant while copying: room for the input bytes not yet read plus the closing quote. Plain
    // bytes and valid sequences take as many bytes out as in; escapes and replacements make room first.
    void string(std::string_view text) {
        const auto* s = reinterpret_cast<const unsigned char*>(text.data());
        const std::size_t n = text.size();
        reserve(n + 2);
        *cur_++ = '"';
        std::size_t i = 0;
        for (;;) {
            while (i + 8 <= n) {
                std::uint64_t w;
                std::memcpy(&w, s + i, 8);
                if (!plain_word(w)) break;
                std::memcpy(cur_, &w, 8);
                cur_ += 8;
                i += 8;
            }
            while (i < n && kPlain[s[i]]) *cur_++ = static_cast<char>(s[i++]);
            if (i >= n) break;
            const unsigned char b = s[i];
            if (b >= 0x80) {
                const std::size_t len = valid_sequence_length(s, i, n);
                if (len != 0) {
                    std::memcpy(cur_, s + i, len);
                    cur_ += len;
                    i += len;
                    continue;
                }
                reserve(text::kReplacementUtf8.size() + (n - i) + 1);
                std::memcpy(cur_, text::kReplacementUtf8.data(), text::kReplacementUtf8.size());
                cur_ += text::kReplacementUtf8.size();
                i += text::decode_at(text, i).length;
                continue;
            }
            reserve(6 + (n - i) + 1);
            escape(b);
            ++i;
        }
        *cur_++ = '"';
    }

private:
    static constexpr std::array<bool, 256> kPlain = [] {
        std::array<bool, 256> t{};
        for (int c = 0x20; c < 0x80; ++c) t[static_cast<std::size_t>(c)] = true;
        t['"'] = false;
        t['\\'] = false;
        return t;
    }();

    // Enlarges the string without filling the new bytes: they are written before finish() keeps them.
    void grow_to(std::size_t size) {
        out_.resize_and_overwrite(size, [](char*, std::size_t n) { return n; });
        lim_ = out_.data() + out_.size();
    }

    [[gnu::noinline]] void grow(std::size_t n) {
        const auto used = static_cast<std::size_t>(cur_ - out_.data());
        std::size_t size = out_.size() * 2;
        if (size < used + n) size = used + n;
        grow_to(size);
        cur_ = out_.data() + used;
    }

    // Writes the escape of b; the caller has made room for 6 bytes.
    void escape(unsigned char b) {
        *cur_++ = '\\';
        switch (b) {
            case '"': *cur_++ = '"'; return;
            case '\\': *cur_++ = '\\'; return;
            case '\b': *cur_++ = 'b'; return;
            case '\f': *cur_++ = 'f'; return;
            case '\n': *cur_++ = 'n'; return;
            case '\r': *cur_++ = 'r'; return;
            case '\t': *cur_++ = 't'; return;
            default: {
                static constexpr char kHex[] = "0123456789abcdef";
                *cur_++ = 'u';
                *cur_++ = '0';
                *cur_++ = '0';
                *cur_++ = kHex[b >> 4];
                *cur_++ = kHex[b & 0xF];
                return;
            }
        }
    }

    std::string& out_;
    char* cur_ = nullptr;
    char* lim_ = nullptr;
};

void write_scalar(const Value& value, Writer& w) {
    switch (value.kind()) {
        case boost::json::kind::null: w.put("null"); return;
        case boost::json::kind::bool_: w.put(value.get_bool() ? std::string_view("true") : "false"); return;
        case boost::json::kind::int64: w.int64(value.get_int64()); return;
        case boost::json::kind::uint64: w.uint64(value.get_uint64()); return;
        case boost::json::kind::double_: w.dbl(value.get_double()); return;
        case boost::json::kind::string: {
            const String& s = value.get_string();
            w.string(std::string_view(s.data(), s.size()));
            return;
        }
        default: return;
    }
}

void write_compact_to(const Value& value, Writer& w) {
    switch (value.kind()) {
        case boost::json::kind::array: {
            const Array& a = value.get_array();
            w.put('[');
            bool first = true;
            for (const Value& element : a) {
                if (!first) w.put(',');
                first = false;
                write_compact_to(element, w);
            }
            w.put(']');
            return;
        }
        case boost::json::kind::object: {
            const Object& o = value.get_object();
            w.put('{');
            bool first = true;
            for (const auto& member : o) {
                if (!first) w.put(',');
                first = false;
                w.string(std::string_view(member.key().data(), member.key().size()));
                w.put(':');
                write_compact_to(member.value(), w);
            }
            w.put('}');
            return;
        }
        default: write_scalar(value, w); return;
    }
}

void write_pretty_to(const Value& value, std::size_t depth, Writer& w) {
    switch (value.kind()) {
        case boost::json::kind::array: {
            const Array& a = value.get_array();
            if (a.empty()) {
                w.put("[]");
                return;
            }
            w.put('[');
            bool first = true;
            for (const Value& element : a) {
                if (!first) w.put(',');
                first = false;
                w.indent(depth + 1);
                write_pretty_to(element, depth + 1, w);
            }
            w.indent(depth);
            w.put(']');
            return;
        }
        case boost::json::kind::object: {
            const Object& o = value.get_object();
            if (o.empty()) {
                w.put("{}");
                return;
            }
            w.put('{');
            bool first = true;
            for (const auto& member : o) {
                if (!first) w.put(',');
                first = false;
                w.indent(depth + 1);
                w.string(std::string_view(member.key().data(), member.key().size()));
                w.put(": ");
                write_pretty_to(member.value(), depth + 1, w);
            }
            w.indent(depth);
            w.put('}');
            return;
        }
        default: write_scalar(value, w); return;
    }
}

}  // namespace

void append_quoted(std::string_view text, std::string& out) {
    Writer w(out);
    w.string(text);
    w.finish();
}

std::string quote(std::string_view text) {
    std::string out;
    append_quoted(text, out);
    return out;
}

void write_compact(const Value& value, std::string& out) {
    Writer w(out);
    write_compact_to(value, w);
    w.finish();
}

std::string write_compact(const Value& value) {
    std::string out;
    write_compact(value, out);
    return out;
}

void write_pretty(const Value& value, std::string& out) {
    Writer w(out);
    write_pretty_to(value, 0, w);
    w.finish();
}

std::string write_pretty(const Value& value) {
    std::string out;
    write_pretty(value, out);
    return out;
}

}  // namespace ambrel::json
