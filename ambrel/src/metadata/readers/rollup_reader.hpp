#pragma once

// The fields that a roll-up summary field is built on, read from its CustomField document: the
// summary foreign key, the summarised field and the fields of its summary filter items. Only
// references of the form Object.Field whose field part names an unpackaged custom field are kept;
// anything else is dropped without a message. Reads nothing but its arguments.
//
// Failures: those of the reference parser frame (reference_parser_frame.hpp), with
// "root element must be CustomField" for a wrong top-level element.
//
// Thread-safety: pure functions; safe from any number of threads at once.

#include <expected>
#include <optional>
#include <set>
#include <string>
#include <string_view>

#include "metadata/field_read_error.hpp"
#include "metadata/readers/reference_parser_frame.hpp"

namespace ambrel::metadata::rollup_reader {

using reference_parser_frame::decode_text;
using reference_parser_frame::local_name_of;

struct RollupReferences {
    // summaryForeignKey: the last valid value.
    std::optional<std::string> summary_foreign_key;
    // summarizedField: the last valid value.
    std::optional<std::string> summarized_field;
    // summaryFilterItems/field.
    std::set<std::string> filter_fields;

    bool operator==(const RollupReferences&) const = default;
};

// (field full name Object.Field, CustomField document text).
std::expected<RollupReferences, FieldReadError> parse_rollup_references(std::string_view full_name,
                                                                        std::string_view text);

// A trimmed value that names an unpackaged custom field as Object.Field: a non-empty object part
// before the first ".", a field part after it without a further ".", ending in "__c" and not a
// packaged field name. Shared with the lookup filter rule.
bool is_custom_field_reference(std::string_view value);

}  // namespace ambrel::metadata::rollup_reader
