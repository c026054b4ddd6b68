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

    bool on_document_begin(error_code&) { return true; }
    bool on_document_end(error_code&) { return true; }
    bool on_object_begin(error_code&) { return true; }
    bool on_object_end(std::size_t n, error_code&) {
        st.push_object(n);
        return true;
    }
    bool on_array_begin(error_code&) { return true; }
    bool on_array_end(std::size_t n, error_code&) {
        st.push_array(n);
        return true;
    }
    bool on_key_part(string_view s, std::size_t, error_code&) {
        st.push_chars(s);
        return true;
    }
    bool on_key(string_view s, std::size_t, error_code&) {
        st.push_key(s);
        return true;
    }
    bool on_string_part(string_view s, std::size_t, error_code&) {
        st.push_chars(s);
        return true;
    }
    bool on_string(string_view s, std::size_t, error_code&) {
        st.push_string(s);
        return true;
    }
    bool on_number_part(string_view s, error_code&) {
        number_parts.append(s.data(), s.size());
        return true;
    }
    bool on_int64(std::int64_t i, string_view, error_code&) {
        number_parts.clear();
        st.push_int64(i);
        return true;
    }
    bool on_uint64(std::uint64_t u, string_view, error_code&) {
        number_parts.clear();
        st.push_uint64(u);
        return true;
    }
    bool on_double(double d, string_view s, error_code&) {
        std::string_view number(s.data(), s.size());
        if (!number_parts.empty()) {
            number_parts.append(s.data(), s.size());
            number = number_parts;
        }
        double exact = 0;
        auto [end, ec] = std::from_chars(number.data(), number.data() + number.size(), exact);
        // Out of range (beyond the double range, or below the smallest subnormal): keep Boost's
        // infinity or zero.
        if (ec == std::errc() && end == number.data() + number.size()) d = exact;
        number_parts.clear();
        st.push_double(d);
        return true;
    }
    bool on_bool(bool b, error_code&) {
        st.push_bool(b);
        return true;
    }
    bool on_null(error_code&) {
        st.push_null();
        return true;
    }
    bool on_comment_part(string_view, error_code&) { return true; }
    bool on_comment(string_view, error_code&) { return true; }
};

}  // namespace

std::expected<Value, ParseError> parse(std::string_view text) {
    boost::json::parse_options options;
    options.max_depth = kMaxDepth;
    boost::json::basic_parser<Handler> parser(options);
    parser.handler().st.reset();
    boost::system::error_code ec;
    const std::size_t used = parser.write_some(false, text.data(), text.size(), ec);
    if (ec) {
        if (ec == boost::json::error::incomplete) {
            const bool blank = text.find_first_not_of(" \t\r\n") == std::string_view::npos;
            return std::unexpected(
                make_error(text, text.size(), blank ? "empty input" : "unexpected end of input"));
        }
        const std::size_t offset = used < text.size() ? used : text.size();
        return std::unexpected(make_error(text, offset, refine_reason(text, offset, ec)));
    }
    std::size_t rest = used;
    while (rest < text.size() && is_json_space(text[rest])) ++rest;
    if (rest < text.size()) return std::unexpected(make_error(text, rest, "trailing characters"));
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

void append_double(double value, std::string& out) {
    if (!std::isfinite(value)) {
        out.append("null");
        return;
    }
    char buf[64];
    auto [end, ec] = std::to_chars(buf, buf + sizeof buf, value, std::chars_format::scientific);
    (void)ec;  // 64 bytes always hold a shortest double.
    // buf holds [-]d[.ddd]e(+|-)xx
    const char* p = buf;
    if (*p == '-') {
        out.push_back('-');
        ++p;
    }
    char digits[24];
    int n = 0;
    const char* e = p;
    while (e < end && *e != 'e') {
        if (*e != '.') digits[n++] = *e;
        ++e;
    }
    int exponent = 0;
    std::from_chars(e + 1 + (e[1] == '+' ? 1 : 0), end, exponent);
    if (exponent >= -5 && exponent <= 15) {
        if (exponent >= 0) {
            const int int_digits = exponent + 1;
            if (n <= int_digits) {
                out.append(digits, static_cast<std::size_t>(n));
                out.append(static_cast<std::size_t>(int_digits - n), '0');
                out.append(".0");
            } else {
                out.append(digits, static_cast<std::size_t>(int_digits));
                out.push_back('.');
                out.append(digits + int_digits, static_cast<std::size_t>(n - int_digits));
            }
        } else {
            out.append("0.");
            out.append(static_cast<std::size_t>(-exponent - 1), '0');
            out.append(digits, static_cast<std::size_t>(n));
        }
        return;
    }
    out.push_back(digits[0]);
    if (n > 1) {
        out.push_back('.');
        out.append(digits + 1, static_cast<std::size_t>(n - 1));
    }
    out.push_back('e');
    char ebuf[8];
    auto [eend, eec] = std::to_chars(ebuf, ebuf + sizeof ebuf, exponent);
    (void)eec;
    out.append(ebuf, eend);
}

std::string double_text(double value) {
    std::string out;
    append_double(value, out);
    return out;
}

std::string int64_text(std::int64_t value) {
    char buf[24];
    auto [end, ec] = std::to_chars(buf, buf + sizeof buf, value);
    (void)ec;
    return std::string(buf, end);
}

std::string uint64_text(std::uint64_t value) {
    char buf[24];
    auto [end, ec] = std::to_chars(buf, buf + sizeof buf, value);
    (void)ec;
    return std::string(buf, end);
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

// 0: copy; 1: needs an escape; 2: first byte of a non-ASCII sequence (validated).
constexpr std::array<unsigned char, 256> kByteClass = [] {
    std::array<unsigned char, 256> t{};
    for (int i = 0; i < 0x20; ++i) t[static_cast<std::size_t>(i)] = 1;
    t['"'] = 1;
    t['\\'] = 1;
    for (int i = 0x80; i < 0x100; ++i) t[static_cast<std::size_t>(i)] = 2;
    return t;
}();

void append_escape(unsigned char b, std::string& out) {
    switch (b) {
        case '"': out.append("\\\""); return;
        case '\\': out.append("\\\\"); return;
        case '\b': out.append("\\b"); return;
        case '\f': out.append("\\f"); return;
        case '\n': out.append("\\n"); return;
        case '\r': out.append("\\r"); return;
        case '\t': out.append("\\t"); return;
        default: {
            static constexpr char kHex[] = "0123456789abcdef";
            const char esc[6] = {'\\', 'u', '0', '0', kHex[b >> 4], kHex[b & 0xF]};
            out.append(esc, 6);
            return;
        }
    }
}

void append_integer(std::int64_t value, std::string& out) {
    char buf[24];
    auto [end, ec] = std::to_chars(buf, buf + sizeof buf, value);
    (void)ec;
    out.append(buf, end);
}

void append_unsigned(std::uint64_t value, std::string& out) {
    char buf[24];
    auto [end, ec] = std::to_chars(buf, buf + sizeof buf, value);
    (void)ec;
    out.append(buf, end);
}

void append_scalar(const Value& value, std::string& out) {
    switch (value.kind()) {
        case boost::json::kind::null: out.append("null"); return;
        case boost::json::kind::bool_: out.append(value.get_bool() ? "true" : "false"); return;
        case boost::json::kind::int64: append_integer(value.get_int64(), out); return;
        case boost::json::kind::uint64: append_unsigned(value.get_uint64(), out); return;
        case boost::json::kind::double_: append_double(value.get_double(), out); return;
        case boost::json::kind::string: {
            const String& s = value.get_string();
            append_quoted(std::string_view(s.data(), s.size()), out);
            return;
        }
        default: return;
    }
}

void write_compact_to(const Value& value, std::string& out) {
    switch (value.kind()) {
        case boost::json::kind::array: {
            const Array& a = value.get_array();
            out.push_back('[');
            bool first = true;
            for (const Value& element : a) {
                if (!first) out.push_back(',');
                first = false;
                write_compact_to(element, out);
            }
            out.push_back(']');
            return;
        }
        case boost::json::kind::object: {
            const Object& o = value.get_object();
            out.push_back('{');
            bool first = true;
            for (const auto& member : o) {
                if (!first) out.push_back(',');
                first = false;
                append_quoted(std::string_view(member.key().data(), member.key().size()), out);
                out.push_back(':');
                write_compact_to(member.value(), out);
            }
            out.push_back('}');
            return;
        }
        default: append_scalar(value, out); return;
    }
}

void new_line(std::size_t depth, std::string& out) {
    out.push_back('\n');
    out.append(depth * 2, ' ');
}

void write_pretty_to(const Value& value, std::size_t depth, std::string& out) {
    switch (value.kind()) {
        case boost::json::kind::array: {
            const Array& a = value.get_array();
            if (a.empty()) {
                out.append("[]");
                return;
            }
            out.push_back('[');
            bool first = true;
            for (const Value& element : a) {
                if (!first) out.push_back(',');
                first = false;
                new_line(depth + 1, out);
                write_pretty_to(element, depth + 1, out);
            }
            new_line(depth, out);
            out.push_back(']');
            return;
        }
        case boost::json::kind::object: {
            const Object& o = value.get_object();
            if (o.empty()) {
                out.append("{}");
                return;
            }
            out.push_back('{');
            bool first = true;
            for (const auto& member : o) {
                if (!first) out.push_back(',');
                first = false;
                new_line(depth + 1, out);
                append_quoted(std::string_view(member.key().data(), member.key().size()), out);
                out.append(": ");
                write_pretty_to(member.value(), depth + 1, out);
            }
            new_line(depth, out);
            out.push_back('}');
            return;
        }
        default: append_scalar(value, out); return;
    }
}

}  // namespace

void append_quoted(std::string_view s, std::string& out) {
    out.push_back('"');
    std::size_t i = 0;
    std::size_t run_start = 0;
    const std::size_t n = s.size();
    while (i < n) {
        const auto b = static_cast<unsigned char>(s[i]);
        const unsigned char cls = kByteClass[b];
        if (cls == 0) {
            ++i;
            continue;
        }
        if (cls == 1) {
            out.append(s.data() + run_start, i - run_start);
            append_escape(b, out);
            ++i;
            run_start = i;
            continue;
        }
        const text::DecodedChar d = text::decode_at(s, i);
        if (d.valid) {
            i += d.length;
            continue;
        }
        out.append(s.data() + run_start, i - run_start);
        out.append(text::kReplacementUtf8);
        i += d.length;
        run_start = i;
    }
    out.append(s.data() + run_start, n - run_start);
    out.push_back('"');
}

std::string quote(std::string_view text) {
    std::string out;
    out.reserve(text.size() + 2);
    append_quoted(text, out);
    return out;
}

void write_compact(const Value& value, std::string& out) { write_compact_to(value, out); }

std::string write_compact(const Value& value) {
    std::string out;
    write_compact_to(value, out);
    return out;
}

void write_pretty(const Value& value, std::string& out) { write_pretty_to(value, 0, out); }

std::string write_pretty(const Value& value) {
    std::string out;
    write_pretty_to(value, 0, out);
    return out;
}

}  // namespace ambrel::json
