#pragma once

// ambrel::json: parsing a text that comes from outside (a request frame) with a bound on what the
// parse may cost, and a look at one member that survives a refusal, so a caller can still answer the
// request it refuses. Same rules as `parse` otherwise.

#include <cstddef>
#include <expected>
#include <limits>
#include <optional>
#include <string>
#include <string_view>

#include "json/json.hpp"

namespace ambrel::json {

// What a parse saw of one member of the top-level object; kept even when the parse then fails.
struct WatchedMember {
    // The member's name.
    std::string name;
    // Its last value when that was a string, number, boolean or null (absent when the member was not
    // seen, or its last value was an array or object).
    std::optional<Value> value;
    // The source text of that value when it was a number, exactly as written ("1e400", "-0", 40 digits).
    std::string number_text;
};

struct ParseOptions {
    // Values (scalars, arrays and objects alike, the document included) beyond this count are refused
    // the moment the count passes it, before the refused value is built, so the memory a parse takes is
    // bounded by the count rather than by what the text could unfold to.
    std::size_t max_values = std::numeric_limits<std::size_t>::max();
    // The member to watch; not watched when null.
    WatchedMember* watched = nullptr;
};

struct BoundedParseError {
    // The fault; its reason is "too many values" for a text refused for passing the bound.
    ParseError fault;
    // The text was refused for passing `ParseOptions::max_values` (it may be valid JSON).
    bool too_many_values = false;
};

// `parse` with a bound on values and a watched member.
std::expected<Value, BoundedParseError> parse_bounded(std::string_view text, const ParseOptions& options);

}  // namespace ambrel::json
