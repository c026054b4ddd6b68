#pragma once

// What a relationship field refers to, read from its CustomField document: the objects named by
// its referenceTo elements (as written, trimmed) and the fields that its lookup filter items test,
// kept only as Object.Field references to unpackaged custom fields; a filter field on the source
// record ("$Source." in any letter case) is dropped. Reads nothing but its arguments.
//
// Failures: those of the reference parser frame (reference_parser_frame.hpp), with
// "root element must be CustomField" for a wrong top-level element.
//
// Thread-safety: pure functions; safe from any number of threads at once.

#include <expected>
#include <set>
#include <string>
#include <string_view>

#include "metadata/field_read_error.hpp"
#include "metadata/readers/reference_parser_frame.hpp"

namespace ambrel::metadata::lookup_reader {

using reference_parser_frame::decode_text;
using reference_parser_frame::local_name_of;

struct LookupReferences {
    // referenceTo values as written (trimmed).
    std::set<std::string> referenced_objects;
    // lookupFilter/filterItems/field values that name unpackaged custom fields.
    std::set<std::string> filter_fields;

    bool operator==(const LookupReferences&) const = default;
};

// (field full name Object.Field, CustomField document text).
std::expected<LookupReferences, FieldReadError> parse_lookup_references(std::string_view full_name,
                                                                        std::string_view text);

}  // namespace ambrel::metadata::lookup_reader
