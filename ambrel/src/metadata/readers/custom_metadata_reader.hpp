#pragma once

// What a custom metadata record depends on: its type, named from the record's full name
// (Type.Record gives Type__mdt), and the unpackaged custom fields of that type that its values
// fill in (values/field), each recorded as Type__mdt.Field__c. Reads nothing but its arguments.
//
// Failures (path form, the record's full name as the path):
//   "a custom metadata record name must be Type.Record" for a full name without ".", or with an
//   empty part before or after its first "." (checked before the document is read);
//   those of the reference parser frame (reference_parser_frame.hpp), with
//   "root element must be CustomMetadata" for a wrong top-level element.
//
// Thread-safety: pure functions; safe from any number of threads at once.

#include <expected>
#include <set>
#include <string>
#include <string_view>

#include "metadata/field_read_error.hpp"
#include "metadata/readers/reference_parser_frame.hpp"

namespace ambrel::metadata::custom_metadata_reader {

using reference_parser_frame::decode_text;
using reference_parser_frame::local_name_of;

// Callers recognise a malformed record name by the words "must be Type.Record".
inline constexpr std::string_view kMalformedRecordName = "a custom metadata record name must be Type.Record";

struct CustomMetadataReferences {
    // The type part of the full name followed by "__mdt".
    std::string type_object_name;
    // type object name, ".", field name.
    std::set<std::string> fields;

    bool operator==(const CustomMetadataReferences&) const = default;
};

// (record full name Type.Record, CustomMetadata document text).
std::expected<CustomMetadataReferences, FieldReadError> parse_custom_metadata_references(
    std::string_view full_name, std::string_view text);

// The path form with the record full name as the path and the message as the reason.
FieldReadError parse_error(std::string_view full_name, std::string_view message);

}  // namespace ambrel::metadata::custom_metadata_reader
