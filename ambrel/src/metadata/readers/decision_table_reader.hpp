#pragma once

// The components that a decision table's DecisionTable document names: the unpackaged custom
// objects among its source object and its parameters' domain objects, and the unpackaged custom
// fields that its parameters (fieldName, of the parameter's domain object or else of the source
// object) and its source criteria (sourceFieldName, of the source object) name, as Object.Field.
// Parameters are grouped per decisionTableParameters element and judged only at the end of the
// document, when the source object is known. Reads nothing but its arguments.
//
// Failures: those of the reference parser frame (reference_parser_frame.hpp), with
// "root element must be DecisionTable" for a wrong top-level element.
//
// Thread-safety: pure functions; safe from any number of threads at once.

#include <expected>
#include <set>
#include <string>
#include <string_view>

#include "metadata/field_read_error.hpp"
#include "metadata/readers/reference_parser_frame.hpp"

namespace ambrel::metadata::decision_table_reader {

using reference_parser_frame::decode_text;

struct DecisionTableReferences {
    // Object.Field.
    std::set<std::string> fields;
    std::set<std::string> objects;

    bool operator==(const DecisionTableReferences&) const = default;
};

// (component full name, DecisionTable document text).
std::expected<DecisionTableReferences, FieldReadError> parse_decision_table_references(
    std::string_view full_name, std::string_view text);

// Adds object "." field when the field name holds no ".", is at least 3 bytes long, ends with
// "__c" and does not match PACKAGED_FIELD_PATTERN; the object name is not tested.
void insert_field(std::set<std::string>& fields, std::string object, std::string field);

}  // namespace ambrel::metadata::decision_table_reader
