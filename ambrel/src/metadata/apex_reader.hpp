#pragma once

// The Apex body reader: Apex classes, Apex triggers and Visualforce pages, each a source body
// ("classes/Foo.cls") with a metadata sidecar beside it ("classes/Foo.cls-meta.xml"). A component
// carries the sidecar as its document and attributes, and the body with its "/"-separated path
// relative to the source folder.
//
// Bodies whose stem contains "__" (packaged) are skipped, and so is a body without a regular-file
// sidecar, silently. A type of another content format gives an empty list. Failures: "Could not
// list Apex source directory", "Could not read Apex directory entry", "Could not read Apex source
// body", "Could not read Apex metadata sidecar" (message form); "metadata is not valid UTF-8: {}" for
// the body or the sidecar, and the sidecar's "root element must be {}", "doctype is not allowed",
// "unknown entity: {}" and the XML reader's description (path form). The first failure ends a read
// and nothing of it is returned.
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

// The component reader of ApexClass, ApexTrigger and ApexPage.
class ApexBodyReader {
public:
    // The components of the type's folder below `source_root`, in byte order of their names. A
    // missing type folder, or one that is not a real directory, gives an empty list.
    static std::expected<std::vector<domain::MetadataComponent>, FieldReadError> read(
        metadata_types::MetadataType type, const std::filesystem::path& source_root);
};

namespace apex_reader {

// The whole file as UTF-8 text; `message` is the message form of a failed read.
std::expected<std::string, FieldReadError> read_text(const std::filesystem::path& path, std::string_view message);

}  // namespace apex_reader

}  // namespace ambrel::metadata
