#pragma once

// The global value set that a picklist field uses, read from its CustomField document: the first
// non-empty valueSet/valueSetName, as written (trimmed). Reads nothing but its arguments.
//
// Failures: those of the reference parser frame (reference_parser_frame.hpp), with
// "root element must be CustomField" for a wrong top-level element.
//
// Thread-safety: pure functions; safe from any number of threads at once.

#include <expected>
#include <optional>
#include <string>
#include <string_view>

#include "metadata/field_read_error.hpp"
#include "metadata/readers/reference_parser_frame.hpp"

namespace ambrel::metadata::value_set_reader {

using reference_parser_frame::decode_text;
using reference_parser_frame::local_name_of;

// (field full name Object.Field, CustomField document text) -> the value set name, if any.
std::expected<std::optional<std::string>, FieldReadError> parse_global_value_set_reference(
    std::string_view full_name, std::string_view text);

}  // namespace ambrel::metadata::value_set_reader
