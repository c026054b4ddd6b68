#include "json/bounded_parse.hpp"
#include "json/json.hpp"
#include "text/text.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <random>
#include <limits>
#include <optional>
#include <string>
#include <vector>

namespace json = ambrel::json;
using namespace std::string_literals;

namespace {

json::Value parse_ok(std::string_view text) {
    auto result = json::parse(text);
    EXPECT_TRUE(result.has_value()) << text << ": " << (result ? "" : result.error().message());
    return result ? std::move(*result) : json::Value();
}

json::ParseError parse_fails(std::string_view text) {
    auto result = json::parse(text);
    EXPECT_FALSE(result.has_value()) << text;
    return result ? json::ParseError{} : result.error();
}

std::string keys_of(const json::Object& o) {
    std::string out;
    for (const auto& m : o) {
        if (!out.empty()) out += ",";
        out += std::string(m.key());
    }
    return out;
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// Parsing
// ---------------------------------------------------------------------------------------------

TEST(JsonParse, OneDocumentWithSurroundingWhiteSpace) {
    EXPECT_EQ(json::write_compact(parse_ok(" \t\r\n {\"a\": [1, true, null, \"x\"]} \n")),
              R"({"a":[1,true,null,"x"]})");
    EXPECT_EQ(json::write_compact(parse_ok("\"only a string\"")), R"("only a string")");
    EXPECT_EQ(json::write_compact(parse_ok("42")), "42");
}

TEST(JsonParse, TrailingContentIsRefusedWithItsPosition) {
    auto e = parse_fails("{\"a\":1} x");
    EXPECT_EQ(e.reason, "trailing characters");
    EXPECT_EQ(e.line, 1u);
    EXPECT_EQ(e.column, 9u);
    EXPECT_EQ(e.offset, 8u);
    EXPECT_EQ(e.message(), "trailing characters at line 1 column 9");

    e = parse_fails("[1]\n\n  [2]");
    EXPECT_EQ(e.reason, "trailing characters");
    EXPECT_EQ(e.line, 3u);
    EXPECT_EQ(e.column, 3u);

    e = parse_fails("{} {}");
    EXPECT_EQ(e.column, 4u);
    e = parse_fails("1 2");
    EXPECT_EQ(e.column, 3u);
    e = parse_fails("01");
    EXPECT_EQ(e.reason, "trailing characters");
    EXPECT_EQ(e.column, 2u);
}

TEST(JsonParse, ErrorsCarryLineAndColumnInCharacters) {
    auto e = parse_fails("{\n  \"é\": 1,\n  \"b\" 2\n}");
    EXPECT_EQ(e.reason, "syntax error");
    EXPECT_EQ(e.line, 3u);
    EXPECT_EQ(e.column, 7u);
    // Columns count characters: "é" is one column although it is two bytes.
    e = parse_fails("[\"é\" x]");
    EXPECT_EQ(e.line, 1u);
    EXPECT_EQ(e.column, 6u);
    EXPECT_EQ(e.offset, 6u);
}

TEST(JsonParse, IncompleteAndEmptyInput) {
    auto e = parse_fails("[1,\n 2,");
    EXPECT_EQ(e.reason, "unexpected end of input");
    EXPECT_EQ(e.line, 2u);
    EXPECT_EQ(e.column, 4u);
    EXPECT_EQ(parse_fails("").reason, "empty input");
    EXPECT_EQ(parse_fails("  \n").reason, "empty input");
    EXPECT_EQ(parse_fails("{\"a\":").reason, "unexpected end of input");
    EXPECT_EQ(parse_fails("\"abc").reason, "unexpected end of input");
}

TEST(JsonParse, RefusesWhatJsonDoesNotAllow) {
    EXPECT_EQ(parse_fails("[1,]").reason, "syntax error");
    EXPECT_EQ(parse_fails("{\"a\":1,}").reason, "syntax error");
    EXPECT_EQ(parse_fails("NaN").reason, "syntax error");
    EXPECT_EQ(parse_fails("Infinity").reason, "syntax error");
    EXPECT_EQ(parse_fails("'a'").reason, "syntax error");
    EXPECT_EQ(parse_fails("// c\n1").reason, "syntax error");
    EXPECT_EQ(parse_fails("\"a\x01\"").reason, "unexpected control character");
    EXPECT_EQ(parse_fails("\"a\nb\"").reason, "unexpected control character");
    EXPECT_EQ(parse_fails("\"\\x\"").reason, "invalid escape");
    auto e = parse_fails("\"ok\xC3\x28\"");
    EXPECT_EQ(e.reason, "invalid UTF-8");
    EXPECT_EQ(e.offset, 3u);
    EXPECT_FALSE(json::parse("\"\xED\xA0\x80\"").has_value());  // encoded surrogate
    EXPECT_FALSE(json::parse("\"\\ud800\"").has_value());        // lone surrogate escape
    EXPECT_EQ(json::write_compact(parse_ok("\"\\ud83d\\ude00\"")), "\"\xF0\x9F\x98\x80\"");
}

TEST(JsonParse, NestingLimit) {
    const auto nested = [](std::size_t depth) { return std::string(depth, '[') + std::string(depth, ']'); };
    EXPECT_TRUE(json::parse(nested(json::kMaxDepth)).has_value());
    auto e = parse_fails(nested(json::kMaxDepth + 1));
    EXPECT_EQ(e.reason, "nesting too deep");
    EXPECT_FALSE(json::parse(nested(100000)).has_value());
}

TEST(JsonParse, ValueLimitRefusesBeforeBuilding) {
    struct Case {
        std::string text;
        std::size_t max_values;
        bool refused;
    };
    const std::vector<Case> cases = {
        {"[0,0,0]", 4, false},   {"[0,0,0]", 3, true},        {"{\"a\":[],\"b\":{}}", 3, false},
        {"{\"a\":[],\"b\":{}}", 2, true}, {"\"text\"", 1, false}, {"[\"a\\u0041\",\"b\"]", 3, false},
        {"[\"a\\u0041\",\"b\"]", 2, true}, {"[true,null,1.5,-1]", 4, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text + " within " + std::to_string(c.max_values));
        const auto parsed = json::parse_bounded(c.text, json::ParseOptions{c.max_values, nullptr});
        EXPECT_EQ(!parsed, c.refused);
        if (!parsed) {
            EXPECT_TRUE(parsed.error().too_many_values);
            EXPECT_EQ(parsed.error().fault.reason, "too many values");
        }
    }
    // Other faults are not limit refusals.
    const auto broken = json::parse_bounded("[0,", json::ParseOptions{100, nullptr});
    ASSERT_FALSE(broken);
    EXPECT_FALSE(broken.error().too_many_values);
}

TEST(JsonParse, AWatchedMemberKeepsItsSourceTextEvenWhenTheParseFails) {
    struct Case {
        std::string text;
        std::optional<json::Value> value;
        std::string number_text;
    };
    const std::vector<Case> cases = {
        {R"({"id":1e400,"x":1})", json::Value(std::numeric_limits<double>::infinity()), "1e400"},
        {R"({"id":123456789012345678901234567890})", json::Value(1.2345678901234568e29), "123456789012345678901234567890"},
        {R"({"id":-0})", json::Value(0), "-0"},
        {R"({"id":"a\u0041"})", json::Value("aA"), ""},
        {R"({"id":null})", json::Value(nullptr), ""},
        {R"({"id":[1]})", std::nullopt, ""},
        {R"({"x":{"id":5}})", std::nullopt, ""},
        {R"([{"id":5}])", std::nullopt, ""},
        {R"({"id":1,"id":true})", json::Value(true), ""},
        // Read before the limit stops the parse.
        {R"({"id":7,"params":[0,0,0,0,0,0]})", json::Value(7), "7"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        json::WatchedMember watched{"id", std::nullopt, {}};
        (void)json::parse_bounded(c.text, json::ParseOptions{5, &watched});
        EXPECT_EQ(watched.value, c.value);
        EXPECT_EQ(watched.number_text, c.number_text);
    }
}

TEST(JsonParse, DuplicateMembersLastValueWinsAtFirstPosition) {
    auto v = parse_ok(R"({"a":1,"b":2,"a":3})");
    EXPECT_EQ(json::write_compact(v), R"({"a":3,"b":2})");

    v = parse_ok(R"({"a":1,"b":2,"a":3,"c":4,"b":5,"a":6})");
    EXPECT_EQ(json::write_compact(v), R"({"a":6,"b":5,"c":4})");
    EXPECT_EQ(keys_of(v.as_object()), "a,b,c");
    EXPECT_EQ(v.as_object().size(), 3u);

    // Large objects (Boost switches to a hash table beyond a small size): same rule.
    std::string text = "{";
    for (int i = 0; i < 100; ++i) text += "\"k" + std::to_string(i) + "\":" + std::to_string(i) + ",";
    text += R"("k3":"x","k99":"y","k3":"z","new":true})";
    v = parse_ok(text);
    const json::Object& o = v.as_object();
    EXPECT_EQ(o.size(), 101u);
    auto it = o.begin();
    EXPECT_EQ(it[3].key(), "k3");
    EXPECT_EQ(it[3].value(), "z");
    EXPECT_EQ(it[99].key(), "k99");
    EXPECT_EQ(it[99].value(), "y");
    EXPECT_EQ(it[100].key(), "new");
    EXPECT_EQ(*o.if_contains("k3"), "z");

    // Nested objects keep the rule, and the replaced value may change kind.
    v = parse_ok(R"({"o":{"x":1,"y":2,"x":{"z":[1]}},"o2":[{"q":1,"q":2}]})");
    EXPECT_EQ(json::write_compact(v), R"({"o":{"x":{"z":[1]},"y":2},"o2":[{"q":2}]})");
}

TEST(JsonParse, NumberKindsAreKept) {
    EXPECT_TRUE(parse_ok("0").is_int64());
    EXPECT_TRUE(parse_ok("-5").is_int64());
    EXPECT_TRUE(parse_ok("-0").is_int64());
    EXPECT_TRUE(parse_ok("0.0").is_double());
    EXPECT_TRUE(parse_ok("4.0").is_double());
    EXPECT_TRUE(parse_ok("1e2").is_double());
    EXPECT_EQ(parse_ok("9223372036854775807").as_int64(), std::numeric_limits<std::int64_t>::max());
    EXPECT_EQ(parse_ok("-9223372036854775808").as_int64(), std::numeric_limits<std::int64_t>::min());
    auto u = parse_ok("9223372036854775808");
    ASSERT_TRUE(u.is_uint64());
    EXPECT_EQ(u.as_uint64(), 9223372036854775808ULL);
    EXPECT_TRUE(parse_ok("18446744073709551615").is_uint64());
}

TEST(JsonParse, NumbersBeyond64BitsAreDoubles) {
    auto v = parse_ok("18446744073709551616");
    ASSERT_TRUE(v.is_double());
    EXPECT_EQ(v.as_double(), 18446744073709551616.0);
    v = parse_ok("-9223372036854775809");
    ASSERT_TRUE(v.is_double());
    v = parse_ok("123456789012345678901234567890");
    ASSERT_TRUE(v.is_double());
    EXPECT_EQ(json::write_compact(v), "1.2345678901234568e29");
    // Beyond the double range: an infinite double, written back as null.
    v = parse_ok("1e400");
    ASSERT_TRUE(v.is_double());
    EXPECT_TRUE(std::isinf(v.as_double()));
    EXPECT_EQ(json::write_compact(v), "null");
}

// ---------------------------------------------------------------------------------------------
// Kinds and readers
// ---------------------------------------------------------------------------------------------

TEST(JsonKinds, TypeWords) {
    EXPECT_EQ(json::type_word(parse_ok("null")), "null");
    EXPECT_EQ(json::type_word(parse_ok("true")), "boolean");
    EXPECT_EQ(json::type_word(parse_ok("1")), "number");
    EXPECT_EQ(json::type_word(parse_ok("18446744073709551615")), "number");
    EXPECT_EQ(json::type_word(parse_ok("1.5")), "number");
    EXPECT_EQ(json::type_word(parse_ok("\"s\"")), "string");
    EXPECT_EQ(json::type_word(parse_ok("[]")), "array");
    EXPECT_EQ(json::type_word(parse_ok("{}")), "object");
    EXPECT_EQ(json::type_word(static_cast<const json::Value*>(nullptr)), "missing");
    const json::Value o = parse_ok(R"({"a":[]})");
    EXPECT_EQ(json::type_word(json::find(o, "a")), "array");
    EXPECT_EQ(json::type_word(json::find(o, "b")), "missing");
    EXPECT_EQ(json::find(parse_ok("[]"), "a"), nullptr);
}

TEST(JsonKinds, IntegerAndNumberPredicates) {
    EXPECT_TRUE(json::is_integer(parse_ok("0")));
    EXPECT_TRUE(json::is_integer(parse_ok("18446744073709551615")));
    EXPECT_FALSE(json::is_integer(parse_ok("0.0")));
    EXPECT_FALSE(json::is_integer(parse_ok("4.0")));
    EXPECT_FALSE(json::is_integer(parse_ok("\"4\"")));
    EXPECT_TRUE(json::is_number(parse_ok("4.0")));
    EXPECT_FALSE(json::is_number(parse_ok("true")));
}

TEST(JsonReaders, TypedViews) {
    const json::Value doc = parse_ok(
        R"({"s":"text","b":false,"i":-3,"u":18446744073709551615,"d":3.0,"big":9223372036854775807,)"
        R"("a":[1],"o":{"k":null},"n":null})");
    const json::Object& o = doc.as_object();
    EXPECT_EQ(json::get_string(o, "s"), "text");
    EXPECT_EQ(json::get_string(o, "b"), std::nullopt);
    EXPECT_EQ(json::get_string(o, "missing"), std::nullopt);
    EXPECT_EQ(json::get_bool(o, "b"), false);
    EXPECT_EQ(json::get_bool(o, "n"), std::nullopt);
    EXPECT_EQ(json::get_int64(o, "i"), -3);
    EXPECT_EQ(json::get_int64(o, "u"), std::nullopt);
    EXPECT_EQ(json::get_int64(o, "big"), std::numeric_limits<std::int64_t>::max());
    EXPECT_EQ(json::get_int64(o, "d"), std::nullopt);  // 3.0 is not an integer
    EXPECT_EQ(json::get_uint64(o, "u"), std::numeric_limits<std::uint64_t>::max());
    EXPECT_EQ(json::get_uint64(o, "i"), std::nullopt);
    EXPECT_EQ(json::get_uint64(o, "big"), 9223372036854775807ULL);
    EXPECT_EQ(json::get_double(o, "d"), 3.0);
    EXPECT_EQ(json::get_double(o, "i"), -3.0);
    EXPECT_EQ(json::get_double(o, "s"), std::nullopt);
    ASSERT_NE(json::get_array(o, "a"), nullptr);
    EXPECT_EQ(json::get_array(o, "a")->size(), 1u);
    EXPECT_EQ(json::get_array(o, "o"), nullptr);
    ASSERT_NE(json::get_object(o, "o"), nullptr);
    EXPECT_EQ(json::get_object(o, "a"), nullptr);
    EXPECT_EQ(json::as_string(doc), std::nullopt);
    EXPECT_NE(json::as_object(doc), nullptr);
    EXPECT_EQ(json::as_array(doc), nullptr);
    EXPECT_EQ(json::as_bool(parse_ok("true")), true);
    EXPECT_EQ(json::as_int64(parse_ok("7")), 7);
    EXPECT_EQ(json::as_uint64(parse_ok("7")), 7u);
    EXPECT_EQ(json::as_double(parse_ok("7")), 7.0);
}

TEST(JsonReaders, RequiredMembersNameWhatIsThere) {
    const json::Value doc = parse_ok(R"({"s":"x","n":null,"d":4.0,"neg":-1,"arr":[],"obj":{}})");
    const json::Object& o = doc.as_object();
    EXPECT_EQ(json::read_string(o, "s").value(), "x");

    auto e = json::read_string(o, "absent");
    ASSERT_FALSE(e);
    EXPECT_EQ(e.error().key, "absent");
    EXPECT_EQ(e.error().expected, "string");
    EXPECT_EQ(e.error().found, "missing");
    EXPECT_EQ(e.error().message(), "member 'absent' must be a string (found missing)");

    e = json::read_string(o, "n");
    EXPECT_EQ(e.error().found, "null");
    auto i = json::read_int64(o, "d");
    ASSERT_FALSE(i);
    EXPECT_EQ(i.error().found, "number");
    EXPECT_EQ(i.error().message(), "member 'd' must be an integer (found number)");
    auto u = json::read_uint64(o, "neg");
    ASSERT_FALSE(u);
    EXPECT_EQ(u.error().message(), "member 'neg' must be an unsigned integer (found number)");
    EXPECT_EQ(json::read_int64(o, "neg").value(), -1);
    EXPECT_EQ(json::read_double(o, "d").value(), 4.0);
    EXPECT_EQ(json::read_bool(o, "s").error().message(), "member 's' must be a boolean (found string)");
    EXPECT_TRUE(json::read_array(o, "arr").has_value());
    EXPECT_EQ(json::read_array(o, "obj").error().message(), "member 'obj' must be an array (found object)");
    EXPECT_TRUE(json::read_object(o, "obj").has_value());
    EXPECT_EQ(json::read_object(o, "arr").error().message(), "member 'arr' must be an object (found array)");
}

// ---------------------------------------------------------------------------------------------
// Numbers as text
// ---------------------------------------------------------------------------------------------

TEST(JsonNumbers, DoublesInShortestRoundTripFormMarkedAsDoubles) {
    EXPECT_EQ(json::double_text(0.0), "0.0");
    EXPECT_EQ(json::double_text(-0.0), "-0.0");
    EXPECT_EQ(json::double_text(1.0), "1.0");
    EXPECT_EQ(json::double_text(100.0), "100.0");
    EXPECT_EQ(json::double_text(-2.5), "-2.5");
    EXPECT_EQ(json::double_text(0.1), "0.1");
    EXPECT_EQ(json::double_text(123.456), "123.456");
    EXPECT_EQ(json::double_text(1e21), "1e21");
    EXPECT_EQ(json::double_text(1e-7), "1e-7");
    EXPECT_EQ(json::double_text(1e-6), "1e-6");
    EXPECT_EQ(json::double_text(1e-5), "0.00001");
    EXPECT_EQ(json::double_text(1.5e-5), "0.000015");
    EXPECT_EQ(json::double_text(1e15), "1000000000000000.0");
    EXPECT_EQ(json::double_text(1e16), "1e16");
    EXPECT_EQ(json::double_text(1.5e300), "1.5e300");
    EXPECT_EQ(json::double_text(2.5e-8), "2.5e-8");
    EXPECT_EQ(json::double_text(0.30000000000000004), "0.30000000000000004");
    EXPECT_EQ(json::double_text(5e-324), "5e-324");
    EXPECT_EQ(json::double_text(1.7976931348623157e308), "1.7976931348623157e308");
    EXPECT_EQ(json::double_text(std::numeric_limits<double>::quiet_NaN()), "null");
    EXPECT_EQ(json::double_text(std::numeric_limits<double>::infinity()), "null");
    EXPECT_EQ(json::double_text(-std::numeric_limits<double>::infinity()), "null");
}

TEST(JsonNumbers, DoubleTextReadsBackToTheSameValue) {
    const double samples[] = {0.1, 1.0 / 3, 2.0 / 3 * 1e10, 123456789.125, 9007199254740993.0, 1e-300,
                              4.9406564584124654e-324, 6.02214076e23, -1234.5678e-9, 1e15 + 0.5};
    for (double d : samples) {
        const std::string t = json::double_text(d);
        auto v = json::parse(t);
        ASSERT_TRUE(v) << t;
        ASSERT_TRUE(v->is_double()) << t;
        EXPECT_EQ(v->as_double(), d) << t;
    }
}

TEST(JsonNumbers, ParsedDoublesAreCorrectlyRounded) {
    // Boost 1.81's own reader gives 1e15 here; ours reads the text exactly.
    EXPECT_EQ(parse_ok("1000000000000000.5").as_double(), 1e15 + 0.5);
    EXPECT_EQ(json::number_text(parse_ok("1000000000000000.5")), "1000000000000000.5");
    EXPECT_EQ(parse_ok("2.2250738585072011e-308").as_double(), 2.2250738585072011e-308);
    EXPECT_EQ(parse_ok("0.1E+1").as_double(), 1.0);
    EXPECT_EQ(parse_ok("-1.5e-3").as_double(), -0.0015);
    // Below the smallest subnormal: zero, not an error.
    EXPECT_EQ(parse_ok("1e-400").as_double(), 0.0);
}

TEST(JsonNumbers, RandomDoublesSurviveWriteAndRead) {
    std::mt19937_64 random(20240611);
    for (int i = 0; i < 20000; ++i) {
        std::uint64_t bits = random();
        double d;
        std::memcpy(&d, &bits, sizeof d);
        if (!std::isfinite(d)) continue;
        const std::string t = json::double_text(d);
        auto v = json::parse(t);
        ASSERT_TRUE(v) << t;
        ASSERT_TRUE(v->is_double()) << t;
        ASSERT_EQ(std::memcmp(&d, &v->get_double(), sizeof d), 0) << t;
        ASSERT_EQ(json::number_text(*v), t);
    }
}

TEST(JsonNumbers, OneSpellingForEveryNumber) {
    EXPECT_EQ(json::int64_text(0), "0");
    EXPECT_EQ(json::int64_text(-42), "-42");
    EXPECT_EQ(json::int64_text(std::numeric_limits<std::int64_t>::min()), "-9223372036854775808");
    EXPECT_EQ(json::uint64_text(18446744073709551615ULL), "18446744073709551615");
    EXPECT_EQ(json::number_text(parse_ok("0")), "0");
    EXPECT_EQ(json::number_text(parse_ok("0.0")), "0.0");
    EXPECT_EQ(json::number_text(parse_ok("100")), "100");
    EXPECT_EQ(json::number_text(parse_ok("100.0")), "100.0");
    EXPECT_EQ(json::number_text(parse_ok("1E2")), "100.0");
    EXPECT_EQ(json::number_text(parse_ok("1.50")), "1.5");
    EXPECT_EQ(json::number_text(parse_ok("-0.0")), "-0.0");
    EXPECT_EQ(json::number_text(parse_ok("18446744073709551615")), "18446744073709551615");
    EXPECT_EQ(json::number_text(parse_ok("1e21")), "1e21");
    EXPECT_EQ(json::number_text(parse_ok("\"1\"")), std::nullopt);
    EXPECT_EQ(json::number_text(parse_ok("true")), std::nullopt);
    EXPECT_EQ(json::number_text(json::Value(std::numeric_limits<double>::quiet_NaN())), "null");
    std::string out = "x=";
    json::append_double(2.0, out);
    EXPECT_EQ(out, "x=2.0");
}

// ---------------------------------------------------------------------------------------------
// Writing
// ---------------------------------------------------------------------------------------------

TEST(JsonWrite, CompactRoundTrip) {
    const std::string text =
        R"({"status":0,"result":{"records":[{"Id":"001","Amount":12.5,"Zero":0.0,"Big":18446744073709551615,)"
        R"("Neg":-7,"Flag":true,"Nothing":null,"Name":"Café \"Ünï\"","Empty":{},"List":[]}],"done":true}})";
    EXPECT_EQ(json::write_compact(parse_ok(text)), text);
    std::string out = "prefix:";
    json::write_compact(parse_ok("[1,2]"), out);
    EXPECT_EQ(out, "prefix:[1,2]");
}

TEST(JsonWrite, StringEscaping) {
    EXPECT_EQ(json::quote("a\"b\\c/d"), R"("a\"b\\c/d")");
    EXPECT_EQ(json::quote("\b\f\n\r\t"), R"("\b\f\n\r\t")");
    EXPECT_EQ(json::quote("\x01\x1f\0"s), R"("\u0001\u001f\u0000")");
    // DEL, C1 controls, U+2028, U+2029 and other non-ASCII characters are written as UTF-8.
    EXPECT_EQ(json::quote("\x7F"), "\"\x7F\"");
    EXPECT_EQ(json::quote("\xC2\x85"), "\"\xC2\x85\"");
    EXPECT_EQ(json::quote("\xE2\x80\xA8\xE2\x80\xA9"), "\"\xE2\x80\xA8\xE2\x80\xA9\"");
    EXPECT_EQ(json::quote("日本語 é \xF0\x9F\x98\x80"), "\"日本語 é \xF0\x9F\x98\x80\"");
    // Ill-formed UTF-8 never reaches the output: each maximal subpart becomes U+FFFD.
    EXPECT_EQ(json::quote("a\xFF" "b\xE2\x82"), "\"a\xEF\xBF\xBD" "b\xEF\xBF\xBD\"");
    std::string out;
    json::append_quoted("k", out);
    EXPECT_EQ(out, "\"k\"");
    // Escaped keys too.
    json::Object o;
    o["li\nne"] = "v\t";
    EXPECT_EQ(json::write_compact(json::Value(o)), R"({"li\nne":"v\t"})");
}

TEST(JsonWrite, RandomBytesAlwaysGiveValidJsonThatReadsBackAsTheLossyText) {
    std::mt19937 random(7);
    // Bytes biased towards the interesting ones: controls, quotes, backslashes, UTF-8 lead and
    // continuation bytes.
    const unsigned char pool[] = {0x00, 0x01, 0x1F, 0x20, 'a', 'z', '"', '\\', '/', 0x7F, 0x80, 0x8F, 0x9F,
                                  0xA0, 0xBF, 0xC0, 0xC2, 0xDF, 0xE0, 0xE2, 0xED, 0xEF, 0xF0, 0xF4, 0xF5, 0xFF};
    for (int round = 0; round < 5000; ++round) {
        std::string s;
        const int length = static_cast<int>(random() % 40);
        for (int i = 0; i < length; ++i) {
            s.push_back(static_cast<char>(random() % 3 == 0 ? pool[random() % sizeof pool] : 0x20 + random() % 0x5F));
        }
        const std::string quoted = json::quote(s);
        auto v = json::parse(quoted);
        ASSERT_TRUE(v) << quoted << ": " << v.error().message();
        ASSERT_TRUE(v->is_string());
        ASSERT_EQ(std::string_view(v->get_string()), ambrel::text::decode_lossy(s)) << quoted;
    }
}

TEST(JsonWrite, NonFiniteDoublesAreNull) {
    json::Array a;
    a.emplace_back(std::numeric_limits<double>::quiet_NaN());
    a.emplace_back(std::numeric_limits<double>::infinity());
    a.emplace_back(-std::numeric_limits<double>::infinity());
    a.emplace_back(-0.0);
    EXPECT_EQ(json::write_compact(json::Value(a)), "[null,null,null,-0.0]");
    EXPECT_EQ(json::write_pretty(json::Value(a)), "[\n  null,\n  null,\n  null,\n  -0.0\n]");
}

TEST(JsonWrite, PrettyLayoutByteForByte) {
    const json::Value v = parse_ok(R"({
        "version": 4, "screen": "REVIEWING", "capturedAt": 1700000000000,
        "source": {"kind": "org", "alias": "dev"}, "target": null,
        "comparisonManifest": {"ApexClass": ["A", "B"], "Flow": []},
        "deploySelection": {},
        "apexTests": ["a\"b", "Tést\n"],
        "ratio": 0.5, "zero": 0.0, "deep": [[], [{}], [[1, 2]]]
    })");
    const std::string expected =
        "{\n"
        "  \"version\": 4,\n"
        "  \"screen\": \"REVIEWING\",\n"
        "  \"capturedAt\": 1700000000000,\n"
        "  \"source\": {\n"
        "    \"kind\": \"org\",\n"
        "    \"alias\": \"dev\"\n"
        "  },\n"
        "  \"target\": null,\n"
        "  \"comparisonManifest\": {\n"
        "    \"ApexClass\": [\n"
        "      \"A\",\n"
        "      \"B\"\n"
        "    ],\n"
        "    \"Flow\": []\n"
        "  },\n"
        "  \"deploySelection\": {},\n"
        "  \"apexTests\": [\n"
        "    \"a\\\"b\",\n"
        "    \"Tést\\n\"\n"
        "  ],\n"
        "  \"ratio\": 0.5,\n"
        "  \"zero\": 0.0,\n"
        "  \"deep\": [\n"
        "    [],\n"
        "    [\n"
        "      {}\n"
        "    ],\n"
        "    [\n"
        "      [\n"
        "        1,\n"
        "        2\n"
        "      ]\n"
        "    ]\n"
        "  ]\n"
        "}";
    EXPECT_EQ(json::write_pretty(v), expected);
    // Pretty output parses back to the same document.
    EXPECT_EQ(json::write_compact(parse_ok(json::write_pretty(v))), json::write_compact(v));
}

TEST(JsonWrite, PrettyScalarsAndEmptyContainers) {
    EXPECT_EQ(json::write_pretty(parse_ok("{}")), "{}");
    EXPECT_EQ(json::write_pretty(parse_ok("[]")), "[]");
    EXPECT_EQ(json::write_pretty(parse_ok("\"x\"")), "\"x\"");
    EXPECT_EQ(json::write_pretty(parse_ok("1.0")), "1.0");
    std::string out = "x";
    json::write_pretty(parse_ok("[1]"), out);
    EXPECT_EQ(out, "x[\n  1\n]");
}

TEST(JsonWrite, DeepValuesWithinTheLimit) {
    const std::string nested = std::string(json::kMaxDepth, '[') + std::string(json::kMaxDepth, ']');
    const json::Value v = parse_ok(nested);
    EXPECT_EQ(json::write_compact(v), nested);
    EXPECT_EQ(json::write_pretty(v).size(), json::write_pretty(v).size());
}
