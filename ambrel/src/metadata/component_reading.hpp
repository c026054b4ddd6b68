#pragma once

// The entry that reads every registry type, Product Bundles and Constraint Models
// (`read_generic_components`, which picks the object child, container child or generic reader after
// the type's content format), and the one table that says which reader serves which metadata type
// (`read_components`, bound by the service wiring as its component-reading port).
//
// `read_components` refuses a record-data type with "Revenue Cloud records are not retrieved as
// metadata." before any descriptor or file is touched; a reader's error becomes its display text.
// Asking `read_generic_components` for a record-data type is a programming error (it has no
// descriptor).
//
// Nothing here keeps state; every function may be called from any thread.

#include <expected>
#include <filesystem>
#include <string>
#include <vector>

#include "domain/component.hpp"
#include "metadata/field_read_error.hpp"
#include "metadata_types/metadata_type.hpp"

namespace ambrel::metadata {

// The message of a record-data type handed to the component-reading port.
inline constexpr std::string_view kRecordDataNotMetadataMessage = "Revenue Cloud records are not retrieved as metadata.";

// Why the components of a type could not be read: the one message of the failed operation.
struct ComponentReadingFailure {
    std::string text;
    const std::string& message() const noexcept { return text; }
    bool operator==(const ComponentReadingFailure&) const = default;
};

// The components of a registry type, a Product Bundle or a Constraint Model below `source_root`,
// read by the reader that the descriptor's content format names; its result unchanged.
std::expected<std::vector<domain::MetadataComponent>, FieldReadError> read_generic_components(
    metadata_types::MetadataType type, const std::filesystem::path& source_root);

// The components of any metadata type below `source_root` (a project's "force-app/main/default"),
// by the reader that serves the type; custom field definitions become components in their order.
std::expected<std::vector<domain::MetadataComponent>, ComponentReadingFailure> read_components(
    metadata_types::MetadataType type, const std::filesystem::path& source_root);

}  // namespace ambrel::metadata
