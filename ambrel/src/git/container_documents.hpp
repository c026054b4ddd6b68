#pragma once

// What the repository code needs of the container-document reader (custom labels, sharing rules and
// the other documents whose components are child elements): parse a document into its children,
// split one, merge incoming children into an existing document, and render a new one. The service
// wiring binds the metadata module's reader; tests bind a small fake. Implementations must be safe to
// call from several threads.

#include <cstddef>
#include <expected>
#include <functional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "metadata/container_child_reader.hpp"

namespace ambrel::git {

using metadata::container_child_reader::ContainerChild;
using metadata::container_child_reader::IncomingContainerChild;

// Errors of the bound functions are dropped by their callers, which report sentences of their own.
struct ContainerDocuments {
    // (document text, path below "main/default", root element) -> children in document order.
    std::function<std::expected<std::vector<ContainerChild>, std::string>(std::string_view, std::string_view,
                                                                          std::string_view)>
        parse;
    // (document text, source path) -> children in document order.
    std::function<std::expected<std::vector<ContainerChild>, std::string>(std::string_view, std::string_view)> split;
    // (existing text, container type, incoming children, document path) -> merged text.
    std::function<std::expected<std::string, std::string>(std::string_view, std::string_view,
                                                          std::span<const IncomingContainerChild>, std::string_view)>
        merge;
    // (container type, child XML texts) -> new document text.
    std::function<std::string(std::string_view, std::span<const std::string>)> render;
};

// The metadata module's container-document reader behind the seam; its errors become their messages.
ContainerDocuments metadata_container_documents();

}  // namespace ambrel::git
