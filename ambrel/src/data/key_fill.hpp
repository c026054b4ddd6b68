#pragma once

// The external key of a record and the small text encoders of a key fill: the CSV that the Bulk API
// upsert receives, and SOQL string literals.

#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace ambrel::data::key_fill {

// The key of a record: the characters of its 18-character Id in reverse order; none for an id of any
// other length (15-character ids included). Characters are Unicode scalar values.
std::optional<std::string> key_value_for_18_char_id(std::string_view id);

// The CSV document of a key fill: the header "Id,{field}" and one line "{id},{id reversed}" per id,
// lines ended by a single line feed, no byte-order mark. None when there are no ids, so no upsert
// runs. Every id is reversed as given (callers pass the 18-character Ids the org reported).
std::optional<std::string> key_fill_csv(std::string_view field_name, std::span<const std::string> ids);

// One CSV field: quoted, with inner quotes doubled, when the text holds a line feed, a carriage
// return, a double quote or a comma; otherwise unchanged.
std::string escape_csv(std::string_view text);

// The text for use between single quotes in SOQL: a backslash before every single quote and every
// backslash; everything else (line breaks included) unchanged. The caller adds the quotes.
std::string escape_soql_literal(std::string_view text);

}  // namespace ambrel::data::key_fill
