#pragma once

// Container documents: a root element (CustomLabels, AssignmentRules, AutoResponseRules,
// EscalationRules, SharingRules) whose direct children are components of their own, each named by
// the text of its fullName element. This unit splits such a document into its children with exact
// byte ranges, validates and splits it, renders a new document around given child texts, merges
// incoming children into an existing document by splicing only the ranges it must change, and reads
// the container-child types of a source tree as one component per child.
//
// A child counts when it is a direct child of the root in the Metadata API namespace with a fullName
// element (same namespace) directly inside it whose normalised text is not empty. Offsets count after
// the document's leading U+FEFF characters. A merge never re-serialises: every byte outside the
// replaced ranges and insertion points stays where it was.
//
// Failures (path form, with the caller's path): the XML reader's description of a syntax error,
// "unknown entity: {}", "root element must be {}", "doctype is not allowed", "document has no {}
// root element", "{} root element is not closed" (a merge into a document whose root never ends),
// "the merged container document lost or gained a child". The reader adds "Could not list {}
// directory", "Could not read {} directory entry", "Could not read component metadata" (message
// form) and "metadata type {} is not a container-document type" (path form, empty path). An offset
// given to `splice` that is beyond the text, off a character boundary or a start after the end is a
// programming error.
//
// Nothing here keeps state; every function may be called from any thread.

#include <cstddef>
#include <expected>
#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "domain/component.hpp"
#include "metadata/field_read_error.hpp"
#include "metadata_types/metadata_type.hpp"

namespace ambrel::metadata {

// The component reader of the container-child types.
class ContainerChildMetadataReader {
public:
    // One component per child of the type's kind in the type's container documents below
    // `source_root`, sorted by name; each carries a document rendered around that child alone.
    static std::expected<std::vector<domain::MetadataComponent>, FieldReadError> read(
        metadata_types::MetadataType type, const std::filesystem::path& source_root);
};

namespace container_child_reader {

// One child found in a container document.
struct ContainerChild {
    std::string element;    // local name of the child element
    std::string full_name;  // normalised text of its fullName
    std::string xml;        // its bytes from "<" to the ">" of its end tag
    std::size_t start = 0;  // offset of its "<"
    std::size_t end = 0;    // offset just after its end tag
    bool operator==(const ContainerChild&) const = default;
};

// One child to be written into a container document.
struct IncomingContainerChild {
    std::string element;
    std::string full_name;
    std::string xml;
    bool operator==(const IncomingContainerChild&) const = default;
};

// Whether the document has a root element, and its children in document order. A DOCTYPE is
// ignored here (parse_container_document refuses it).
std::expected<std::pair<bool, std::vector<ContainerChild>>, FieldReadError> split_container_document_reporting_root(
    std::string_view text, std::string_view path);

// The children of split_container_document_reporting_root alone.
std::expected<std::vector<ContainerChild>, FieldReadError> split_container_document(std::string_view text,
                                                                                    std::string_view path);

// Validates the document (root `root_name` in the Metadata API namespace, no DOCTYPE, well formed)
// and splits it. A blank text gives no children; a text without a root that is not blank fails with
// "document has no {root_name} root element".
std::expected<std::vector<ContainerChild>, FieldReadError> parse_container_document(std::string_view text,
                                                                                    std::string_view path,
                                                                                    std::string_view root_name);

// The XML declaration, the root start tag with the Metadata API namespace, each child text trimmed
// and indented by four spaces, and the root end tag, each on a line ended by "\n".
std::string render_container_document(std::string_view root_name, std::span<const std::string> child_xml);

// Writes the incoming children into the existing document: a child with the same key (element and
// full name) is replaced in place, a new one goes after the last child of its kind, before the first
// child of a kind sorting after its own, after the last child, or before the root's end tag; a blank
// text or an empty-element root is rendered anew. The result must hold exactly the existing keys and
// the incoming keys.
std::expected<std::string, FieldReadError> merge_container_document(std::string_view existing,
                                                                    std::string_view root_name,
                                                                    std::span<const IncomingContainerChild> incoming,
                                                                    std::string_view path);

// The text before `start`, then `replacement`, then the text from `end` on. Both offsets must lie on
// character boundaries within the text and start must not be after end (programming error otherwise).
std::string splice(std::string_view text, std::size_t start, std::size_t end, std::string_view replacement);

}  // namespace container_child_reader

}  // namespace ambrel::metadata
