#pragma once

// The components that a context definition's ContextDefinition document names: the unpackaged
// custom objects of its node mappings (contextNodeMappings/object), the other context definitions
// it maps or references (mappedContextDefinition, referenceContextDefinition; less its own name,
// the standard "__stdctx" contexts and packaged names), and the fields of its attribute hydration
// details (objectName "." queryAttribute, for an unpackaged custom field). Each piece of text is
// judged where it stands, by the element that holds it and that element's parent, at any depth; a
// run of text and references is one piece with its references resolved, and a run that cannot be
// decoded (an unknown entity, say) is dropped rather than failing the parse. Comments and CDATA
// sections delimit pieces. Reads nothing but its arguments.
//
// Failures: those of the reference parser frame (reference_parser_frame.hpp), with
// "root element must be ContextDefinition" for a wrong top-level element; an unknown entity is
// never one here.
//
// Thread-safety: pure functions; safe from any number of threads at once.

#include <expected>
#include <set>
#include <string>
#include <string_view>

#include "metadata/field_read_error.hpp"
#include "metadata/readers/reference_parser_frame.hpp"

namespace ambrel::metadata::context_reader {

using reference_parser_frame::local_name_of;

struct ContextReferences {
    // Object.Field from the attribute hydration details.
    std::set<std::string> fields;
    std::set<std::string> objects;
    std::set<std::string> context_definitions;

    bool operator==(const ContextReferences&) const = default;
};

// (component full name, ContextDefinition document text).
std::expected<ContextReferences, FieldReadError> parse_context_references(std::string_view full_name,
                                                                          std::string_view text);

// At least 3 bytes, ends with "__c" and does not match PACKAGED_FIELD_PATTERN: an unpackaged
// custom object (standard objects, "__mdt", "__e" and packaged objects give false).
bool is_transferable_object(std::string_view object_api_name);

}  // namespace ambrel::metadata::context_reader
