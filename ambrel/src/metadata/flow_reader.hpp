#pragma once

// The flow reader: every "flows/{name}.flow-meta.xml" document becomes a Flow component with the
// attributes label, status, API version and process type (direct children of the root only).
//
// Flows whose name contains "__" (packaged) are skipped. Failures: "Could not list flow directory",
// "Could not read flow directory entry", "Could not read flow metadata" (message form); "metadata is
// not valid UTF-8: {}", "root element must be Flow", "doctype is not allowed", "unknown entity: {}"
// and the XML reader's description (path form). The first failure ends a read and nothing of it is
// returned.
//
// Nothing here keeps state; every function may be called from any thread.

#include <expected>
#include <filesystem>
#include <vector>

#include "domain/component.hpp"
#include "metadata/field_read_error.hpp"

namespace ambrel::metadata {

// The component reader of the Flow type.
class FlowMetadataReader {
public:
    // The flows below `source_root`, in byte order of their names. A missing "flows" folder, or one
    // that is not a real directory, gives an empty list.
    static std::expected<std::vector<domain::MetadataComponent>, FieldReadError> read(
        const std::filesystem::path& source_root);
};

}  // namespace ambrel::metadata
