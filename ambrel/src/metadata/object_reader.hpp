#pragma once

// The custom object reader (one component per object folder, for CustomObject, CustomMetadataType
// and PlatformEvent) and the child-text parser that most readers share: the texts of chosen direct
// children of a document's root, for any root name and namespace.
//
// The reader labels every component with the type it was called for; it skips folders whose whole
// name is a packaged name (PACKAGED_FIELD_PATTERN) and folders without a regular file
// "{folder}.object-meta.xml", and applies no other name rule. Failures: "Could not list metadata
// directory", "Could not read metadata directory entry", "Could not read custom object metadata"
// (message form); "metadata is not valid UTF-8: {}", "root element must be {}", "doctype is not
// allowed", "unknown entity: {}" and the XML reader's description of a syntax error (path form). The
// first failure ends a read and nothing of it is returned.
//
// Nothing here keeps state; every function may be called from any thread.

#include <expected>
#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "domain/component.hpp"
#include "metadata/custom_field_reader.hpp"
#include "metadata/field_read_error.hpp"
#include "metadata_types/metadata_type.hpp"
#include "xml/xml.hpp"

namespace ambrel::metadata {

// The component reader of the object-definition types.
class CustomObjectMetadataReader {
public:
    // One component per counted folder of "objects" below `source_root`, in byte order of the folder
    // names. A missing "objects" folder, or one that is not a real directory, gives an empty list.
    static std::expected<std::vector<domain::MetadataComponent>, FieldReadError> read(
        metadata_types::MetadataType type, const std::filesystem::path& source_root);
};

namespace object_reader {

using ChildTexts = field_reader::ChildTexts;

// "\r\n" and every remaining "\r" become "\n"; then Unicode white space is trimmed from both ends.
std::string normalize_text(std::string_view text);

// The path form with copies of the path and the reason.
FieldReadError parse_error(const std::filesystem::path& path, std::string_view reason);

// Accepts the root only in `namespace_uri` with exactly the local name `root_name`; otherwise the
// path form "root element must be {root_name}".
std::expected<void, FieldReadError> validate_root(const xml::Namespace& ns, std::string_view local_name,
                                                  std::string_view root_name, std::string_view namespace_uri,
                                                  const std::filesystem::path& path);

// The wanted name an element stands for: its local name when it is in `namespace_uri` and among
// `wanted`, else none.
std::optional<std::string> wanted_local_name(const xml::Namespace& ns, std::string_view local_name,
                                             std::string_view namespace_uri, std::span<const std::string_view> wanted);

// The same routine as field_reader::push_reference.
inline std::expected<void, FieldReadError> push_reference(std::string& buffer, const xml::Event& reference,
                                                          const std::filesystem::path& path) {
    return field_reader::push_reference(buffer, reference, path);
}

// The texts of the wanted direct children of the root: all character data of each (nested elements
// included), references resolved, normalised by normalize_text; the first occurrence of a name wins
// and an empty-element child gives the empty text. A document without elements gives an empty map.
// Fails (path form) on a wrong root, a DOCTYPE, an unknown entity inside a wanted element, malformed
// XML, a root never closed, and text or an element outside the root (a second root among them).
// `path` serves only the errors.
std::expected<ChildTexts, FieldReadError> parse_child_texts_in_namespace(std::string_view text,
                                                                         const std::filesystem::path& path,
                                                                         std::string_view root_name,
                                                                         std::string_view namespace_uri,
                                                                         std::span<const std::string_view> wanted);

// One attribute value per AttributeSpec of the type, in list order: the text of its element, or
// absent. Every value is a text.
std::vector<domain::AttributeValue> attribute_values(metadata_types::MetadataType type, const ChildTexts& texts);

// The element names of the type's AttributeSpec list.
std::vector<std::string_view> wanted_elements(metadata_types::MetadataType type);

// One object definition document, already read: parses it for the type's attributes and builds the
// component named `name`.
std::expected<domain::MetadataComponent, FieldReadError> parse_object(metadata_types::MetadataType type,
                                                                      std::string name,
                                                                      const std::filesystem::path& path,
                                                                      std::string text);

}  // namespace object_reader

}  // namespace ambrel::metadata
