#pragma once

// The generic metadata reader: every type whose components are single XML documents in one type
// folder ("{folder}/{name}.{suffix}-meta.xml"): Product Bundles, Constraint Models and the registry
// types with the directory-and-suffix template. Its document step also builds the components of the
// object child reader, and its validating read serves the container child reader.
//
// Product Bundle and Constraint Model roots must lie in their Revenue Cloud namespaces, every other
// root in the Metadata API namespace. Names that NamespacePolicy calls packaged are skipped (never
// for Product Bundles and Constraint Models). Failures: "Could not list {folder} directory", "Could
// not read {folder} directory entry", "Could not read component metadata" (message form);
// "metadata type {} is not a single-XML-file type" with an empty path for a type of another content
// format, "metadata is not valid UTF-8: {}", "root element must be {}", "doctype is not allowed",
// "unknown entity: {}" and the XML reader's description of a syntax error (path form). The first
// failure ends a read and nothing of it is returned.
//
// Nothing here keeps state; every function may be called from any thread.

#include <expected>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "domain/component.hpp"
#include "metadata/field_read_error.hpp"
#include "metadata_types/metadata_type.hpp"

namespace ambrel::metadata {

// The namespace of Product Bundle documents written into the workspace.
inline constexpr std::string_view kProductBundleNamespaceUri = "urn:quillary:revenue-cloud:product-bundle";
// The namespace of Constraint Model documents written into the workspace.
inline constexpr std::string_view kConstraintModelNamespaceUri = "urn:quillary:revenue-cloud:constraint-model";

// The component reader of the single-document types.
class GenericMetadataReader {
public:
    // The components of the type's folder below `source_root`, sorted by name. A missing type
    // folder, or one that is not a real directory, gives an empty list.
    static std::expected<std::vector<domain::MetadataComponent>, FieldReadError> read(
        metadata_types::MetadataType type, const std::filesystem::path& source_root);
};

namespace generic_reader {

// The namespace the type's root element must be bound to.
std::string_view root_namespace(metadata_types::MetadataType type);

// Reads the document, checks it is UTF-8 with the root `root_name` in `namespace_uri`, and returns
// its text unchanged.
std::expected<std::string, FieldReadError> read_and_validate_document_in_namespace(const std::filesystem::path& path,
                                                                                  std::string_view root_name,
                                                                                  std::string_view namespace_uri);

// One component of `type` named `name` from the document at `path`, without attribute values.
std::expected<domain::MetadataComponent, FieldReadError> parse_generic_document(metadata_types::MetadataType type,
                                                                               std::string name,
                                                                               const std::filesystem::path& path,
                                                                               std::string_view root_name);

// "." + suffix + "-meta.xml".
std::string file_ending(std::string_view suffix);

}  // namespace generic_reader

}  // namespace ambrel::metadata
