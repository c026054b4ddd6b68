#pragma once

// The variable pieces of the SOQL texts that record reads send: one value escaped for a single-quoted
// literal (`soql_quote`), the body of an IN clause (`id_list`) and the field list of a SELECT built
// from an object's field plan (`select_list`). The quoting rule lives once, in
// `transfer::quoted_list`; these functions use it. Pure; never fail; any thread. Nothing is trimmed,
// deduplicated or reordered.

#include <span>
#include <string>
#include <string_view>

#include "data/bundles/document/field_plan.hpp"

namespace ambrel::data::bundles::synthesis {

// Backslashes doubled, then a backslash before every single quote; the caller adds the quotes.
std::string soql_quote(std::string_view value);

// Each value quoted and enclosed in single quotes, joined with ", "; empty for no values.
std::string id_list(std::span<const std::string> values);

// "Id", then the compared fields of the first plan whose object is exactly `object`, then `extra`,
// joined with ", ".
std::string select_list(std::span<const document::ObjectFieldPlan> plans, std::string_view object,
                        std::span<const std::string> extra);

}  // namespace ambrel::data::bundles::synthesis
