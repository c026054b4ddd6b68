#pragma once

// The names that an expression set document (ExpressionSetDefinition or
// ExpressionSetDefinitionVersion) gives: the decision and lookup tables of its parameters (a
// parameters element anywhere whose name is "DTName" or "LookUpApiName", whose type is "Literal"
// and whose value is not empty) and the context definitions directly under the root, less the
// standard ("__stdctx") and packaged ones. Each parameters element is judged on its own direct
// name, type and value children, at its end tag. Reads nothing but its arguments.
//
// Failures: those of the reference parser frame (reference_parser_frame.hpp), with
// "root element must be ExpressionSetDefinition or ExpressionSetDefinitionVersion" for a wrong
// top-level element.
//
// Thread-safety: pure functions; safe from any number of threads at once.

#include <expected>
#include <optional>
#include <set>
#include <string>
#include <string_view>

#include "metadata/field_read_error.hpp"
#include "metadata/readers/reference_parser_frame.hpp"

namespace ambrel::metadata::expression_set_reader {

using reference_parser_frame::decode_text;
// Also the element-name rule of the product-bundle and constraint-model documents: the part of the
// qualified name after its first ":".
using reference_parser_frame::local_name_of;

struct ExpressionSetReferences {
    std::set<std::string> decision_tables;
    std::set<std::string> context_definitions;

    bool operator==(const ExpressionSetReferences&) const = default;
};

// One parameters element being read: the trimmed texts of its name, type and value children
// (an empty child gives the empty text; a missing one leaves the member absent).
struct PendingParameters {
    std::optional<std::string> name;
    std::optional<std::string> type;
    std::optional<std::string> value;
};

// (component full name, ExpressionSetDefinition or ExpressionSetDefinitionVersion document text).
std::expected<ExpressionSetReferences, FieldReadError> parse_expression_set_references(
    std::string_view full_name, std::string_view text);

}  // namespace ambrel::metadata::expression_set_reader
