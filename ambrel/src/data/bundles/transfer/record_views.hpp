#pragma once

// Small pure functions over a plan and over queried records: the chain depth of a name in a parent
// map, the per-layer field, link-field and identity views of planned records, the text of one field
// of a queried record, and the quoting of values for a SOQL IN list (the one quoting rule of every
// record read). Never fail; any thread.

#include <cstdint>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "data/bundles/transfer/plan.hpp"
#include "json/json.hpp"

namespace ambrel::data::bundles::transfer {

// The number of ancestors of `name` along `parents`; a circle counts each member once, and a parent
// without an entry of its own ends the chain.
std::uint64_t chain_depth(std::string_view name, const std::map<std::string, std::string, std::less<>>& parents);

// The field names of the layer's records, distinct and ascending.
std::vector<std::string> layer_fields(std::span<const PlannedRecord> records, Layer layer);
// The link and catalogue link field names of the layer's records, distinct and ascending.
std::vector<std::string> layer_link_fields(std::span<const PlannedRecord> records, Layer layer);
// Per layer that has records (layer order), the distinct first key members, ascending.
std::vector<std::pair<Layer, std::vector<std::string>>> layer_identities(std::span<const PlannedRecord> records);

// The member as text: a string unchanged (not trimmed), a number as `json::number_text` spells it,
// a boolean as "true" or "false"; absent when missing, null, an array or an object.
std::optional<std::string> read_field(const json::Object& record, std::string_view field);

// Each value with backslashes doubled and single quotes escaped as \', in single quotes, joined with
// ", "; empty for no values.
std::string quoted_list(std::span<const std::string> values);

}  // namespace ambrel::data::bundles::transfer
