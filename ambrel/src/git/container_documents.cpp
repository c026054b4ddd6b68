#include "git/container_documents.hpp"

namespace ambrel::git {

namespace reader = metadata::container_child_reader;

ContainerDocuments metadata_container_documents() {
    ContainerDocuments documents;
    documents.parse = [](std::string_view text, std::string_view path,
                         std::string_view root) -> std::expected<std::vector<ContainerChild>, std::string> {
        auto children = reader::parse_container_document(text, path, root);
        if (!children) return std::unexpected(children.error().message());
        return std::move(*children);
    };
    documents.split = [](std::string_view text,
                         std::string_view path) -> std::expected<std::vector<ContainerChild>, std::string> {
        auto children = reader::split_container_document(text, path);
        if (!children) return std::unexpected(children.error().message());
        return std::move(*children);
    };
    documents.merge = [](std::string_view existing, std::string_view root, std::span<const IncomingContainerChild> incoming,
                         std::string_view path) -> std::expected<std::string, std::string> {
        auto merged = reader::merge_container_document(existing, root, incoming, path);
        if (!merged) return std::unexpected(merged.error().message());
        return std::move(*merged);
    };
    documents.render = [](std::string_view root, std::span<const std::string> children) {
        return reader::render_container_document(root, children);
    };
    return documents;
}

}  // namespace ambrel::git
