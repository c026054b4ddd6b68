#pragma once

// The object child reader: the types that live in an object's folder, one document per child
// ("objects/{object}/{child folder}/{child}.{suffix}-meta.xml"): business processes, compact
// layouts, field sets, indexes, list views, record types, sharing reasons, validation rules and web
// links. Components are named "{object}.{child}".
//
// Object folders whose name holds a "." and child files whose stem holds one are skipped, and so are
// children that NamespacePolicy::is_packaged_object_child calls packaged. Failures: "Could not list
// {} directory" and "Could not read {} directory entry" with "objects" or the child folder's name,
// "Could not read component metadata" (message form); "metadata type {} is not an object-child type"
// with an empty path for a type of another content format, and the document errors of the generic
// reader (path form). The first failure ends a read and nothing of it is returned.
//
// Nothing here keeps state; every function may be called from any thread.

#include <expected>
#include <filesystem>
#include <string_view>
#include <vector>

#include "domain/component.hpp"
#include "metadata/field_read_error.hpp"
#include "metadata_types/metadata_type.hpp"

namespace ambrel::metadata {

// The component reader of the object-child types.
class ObjectChildMetadataReader {
public:
    // The components of every object's child folder below `source_root`, sorted by full name. A
    // missing "objects" folder, or one that is not a real directory, gives an empty list.
    static std::expected<std::vector<domain::MetadataComponent>, FieldReadError> read(
        metadata_types::MetadataType type, const std::filesystem::path& source_root);
};

namespace object_child_reader {

// The paths of the folder's entries in listing order (unsorted, unfiltered); "Could not list {label}
// directory" or "Could not read {label} directory entry" (message form).
std::expected<std::vector<std::filesystem::path>, FieldReadError> list_entries(const std::filesystem::path& folder,
                                                                                std::string_view label);

}  // namespace object_child_reader

}  // namespace ambrel::metadata
