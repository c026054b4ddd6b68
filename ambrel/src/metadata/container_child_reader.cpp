#include "metadata/container_child_reader.hpp"

#include <algorithm>
#include <set>

#include <fmt/format.h>

#include "metadata/generic_reader.hpp"
#include "metadata/metadata_namespace.hpp"
#include "metadata/namespace_policy.hpp"
#include "metadata/object_reader.hpp"
#include "metadata/source_folder.hpp"
#include "metadata_types/type_descriptor.hpp"
#include "support/programming_error.hpp"
#include "text/text.hpp"
#include "xml/xml.hpp"

namespace ambrel::metadata {

namespace container_child_reader {

namespace {

constexpr std::string_view kFullNameElement = "fullName";
// One level of indentation for a child written by this unit.
constexpr std::string_view kIndent = "    ";
constexpr std::string_view kDeclaration = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>";

// What a split of the body (the text after its leading U+FEFF characters) finds.
struct Split {
    bool root_seen = false;
    // Offset of the end tag of the last top-level element; none when that element is an
    // empty-element tag, was never closed, or there is none.
    std::optional<std::size_t> root_end_tag;
    // The last top-level element started and never ended.
    bool root_unclosed = false;
    std::vector<ContainerChild> children;
};

// With `keep_xml` false the children carry their ranges but no copy of their text: the merge needs
// only the ranges, and copying every child for every incoming one would copy the document each time.
std::expected<Split, FieldReadError> split_body(std::string_view body, const std::filesystem::path& path,
                                                bool keep_xml = true) {
    Split split;
    xml::Reader reader(body);
    std::size_t depth = 0;
    std::optional<std::string> child_element;
    std::size_t child_start = 0;
    std::optional<std::string> full_name;
    std::optional<std::string> capture;
    while (true) {
        auto event = reader.next();
        if (!event) return std::unexpected(object_reader::parse_error(path, event.error().message()));
        switch (event->kind) {
            case xml::EventKind::Start:
                if (depth == 0) {
                    split.root_seen = true;
                    split.root_end_tag.reset();
                } else if (depth == 1) {
                    child_element.reset();
                    full_name.reset();
                    if (in_metadata_namespace(reader.resolve_element(*event))) {
                        child_element = std::string(event->local_name());
                        child_start = event->begin;
                    }
                } else if (depth == 2 && child_element && event->local_name() == kFullNameElement &&
                           in_metadata_namespace(reader.resolve_element(*event))) {
                    capture.emplace();
                }
                ++depth;
                break;
            case xml::EventKind::Empty:
                if (depth == 0) {
                    split.root_seen = true;
                    split.root_end_tag.reset();
                } else if (depth == 2 && child_element && event->local_name() == kFullNameElement &&
                           in_metadata_namespace(reader.resolve_element(*event))) {
                    full_name.reset();
                }
                break;
            case xml::EventKind::Text:
                if (capture) capture->append(event->raw);
                break;
            case xml::EventKind::CData:
                if (capture) capture->append(event->content);
                break;
            case xml::EventKind::GeneralRef:
            case xml::EventKind::CharRef:
                if (capture) {
                    if (auto pushed = object_reader::push_reference(*capture, *event, path); !pushed) {
                        return std::unexpected(std::move(pushed.error()));
                    }
                }
                break;
            case xml::EventKind::End:
                if (depth > 0) --depth;
                if (capture) {
                    full_name = object_reader::normalize_text(*capture);
                    capture.reset();
                } else if (depth == 1) {
                    if (child_element && full_name && !full_name->empty()) {
                        const std::size_t end = reader.position();
                        std::string xml;
                        if (keep_xml) xml = body.substr(child_start, end - child_start);
                        split.children.push_back(
                            {std::move(*child_element), std::move(*full_name), std::move(xml), child_start, end});
                    }
                    child_element.reset();
                    full_name.reset();
                } else if (depth == 0) {
                    split.root_end_tag = event->begin;
                }
                break;
            case xml::EventKind::Eof:
                split.root_unclosed = depth > 0;
                return split;
            case xml::EventKind::Comment:
            case xml::EventKind::Decl:
            case xml::EventKind::PI:
            case xml::EventKind::DocType:
                break;
        }
    }
}


using ChildKey = std::pair<std::string, std::string>;

void check_splice_range(std::string_view text, std::size_t start, std::size_t end) {
    support::require(start <= end, "splice: the start offset lies after the end offset");
    support::require(end <= text.size(), "splice: an offset lies beyond the end of the text");
    support::require(text::is_char_boundary(text, start) && text::is_char_boundary(text, end),
                     "splice: an offset is not on a character boundary");
}

// The merge edits its working text where it lies instead of building a new one per child.
void splice_in_place(std::string& text, std::size_t start, std::size_t end, std::string_view replacement) {
    check_splice_range(text, start, end);
    text.replace(start, end - start, replacement);
}

}  // namespace

std::expected<std::pair<bool, std::vector<ContainerChild>>, FieldReadError> split_container_document_reporting_root(
    std::string_view text, std::string_view path) {
    auto split = split_body(xml::strip_leading_boms(text), std::filesystem::path(path));
    if (!split) return std::unexpected(std::move(split.error()));
    return std::pair{split->root_seen, std::move(split->children)};
}

std::expected<std::vector<ContainerChild>, FieldReadError> split_container_document(std::string_view text,
                                                                                    std::string_view path) {
    auto split = split_container_document_reporting_root(text, path);
    if (!split) return std::unexpected(std::move(split.error()));
    return std::move(split->second);
}

std::expected<std::vector<ContainerChild>, FieldReadError> parse_container_document(std::string_view text,
                                                                                    std::string_view path,
                                                                                    std::string_view root_name) {
    const std::filesystem::path document_path(path);
    if (auto valid = object_reader::parse_child_texts_in_namespace(text, document_path, root_name,
                                                                   kMetadataNamespaceUri, {});
        !valid) {
        return std::unexpected(std::move(valid.error()));
    }
    const std::string_view body = xml::strip_leading_boms(text);
    auto split = split_body(body, document_path);
    if (!split) return std::unexpected(std::move(split.error()));
    if (!split->root_seen && !text::is_blank(body)) {
        return std::unexpected(
            object_reader::parse_error(document_path, fmt::format("document has no {} root element", root_name)));
    }
    return std::move(split->children);
}

std::string render_container_document(std::string_view root_name, std::span<const std::string> child_xml) {
    std::string out;
    out.append(kDeclaration).append("\n");
    out.append(fmt::format("<{} xmlns=\"{}\">\n", root_name, kMetadataNamespaceUri));
    for (const std::string& child : child_xml) out.append(kIndent).append(text::trim(child)).append("\n");
    out.append(fmt::format("</{}>\n", root_name));
    return out;
}

std::string splice(std::string_view text, std::size_t start, std::size_t end, std::string_view replacement) {
    check_splice_range(text, start, end);
    std::string out;
    out.reserve(text.size() - (end - start) + replacement.size());
    out.append(text.substr(0, start)).append(replacement).append(text.substr(end));
    return out;
}

std::expected<std::string, FieldReadError> merge_container_document(std::string_view existing,
                                                                    std::string_view root_name,
                                                                    std::span<const IncomingContainerChild> incoming,
                                                                    std::string_view path) {
    const std::filesystem::path document_path(path);
    const std::size_t boms = xml::leading_bom_length(existing);
    std::string working(existing.substr(boms));

    auto existing_children = parse_container_document(working, path, root_name);
    if (!existing_children) return std::unexpected(std::move(existing_children.error()));
    std::set<ChildKey> expected_keys;
    for (const ContainerChild& child : *existing_children) expected_keys.emplace(child.element, child.full_name);
    for (const IncomingContainerChild& child : incoming) expected_keys.emplace(child.element, child.full_name);

    for (const IncomingContainerChild& child : incoming) {
        const std::string_view trimmed = text::trim(child.xml);
        // Re-read before every child: the previous splice moved every offset after it.
        auto split = split_body(working, document_path, false);
        if (!split) return std::unexpected(std::move(split.error()));
        const std::vector<ContainerChild>& children = split->children;

        const auto same_key = std::find_if(children.begin(), children.end(), [&](const ContainerChild& c) {
            return c.element == child.element && c.full_name == child.full_name;
        });
        if (same_key != children.end()) {
            splice_in_place(working, same_key->start, same_key->end, trimmed);
            continue;
        }
        const auto same_kind = std::find_if(children.rbegin(), children.rend(),
                                            [&](const ContainerChild& c) { return c.element == child.element; });
        if (same_kind != children.rend()) {
            splice_in_place(working, same_kind->end, same_kind->end, fmt::format("\n{}{}", kIndent, trimmed));
            continue;
        }
        const auto later_kind = std::find_if(children.begin(), children.end(),
                                             [&](const ContainerChild& c) { return c.element > child.element; });
        if (later_kind != children.end()) {
            splice_in_place(working, later_kind->start, later_kind->start, fmt::format("{}\n{}", trimmed, kIndent));
            continue;
        }
        if (!children.empty()) {
            const std::size_t end = children.back().end;
            splice_in_place(working, end, end, fmt::format("\n{}{}", kIndent, trimmed));
            continue;
        }
        // The root's end tag comes from the parse, so a prefixed end tag or a comment after the root
        // that mentions it cannot mislead the insertion.
        if (split->root_end_tag) {
            const std::size_t at = *split->root_end_tag;
            splice_in_place(working, at, at, fmt::format("{}{}\n", kIndent, trimmed));
            continue;
        }
        if (split->root_unclosed) {
            // Rendering anew would drop everything the open root holds.
            return std::unexpected(
                object_reader::parse_error(document_path, fmt::format("{} root element is not closed", root_name)));
        }
        // A blank text or an empty-element root: nothing of it is worth keeping.
        std::vector<std::string> all_xml;
        all_xml.reserve(incoming.size());
        for (const IncomingContainerChild& each : incoming) all_xml.push_back(each.xml);
        working = render_container_document(root_name, all_xml);
        break;
    }

    auto merged = parse_container_document(working, path, root_name);
    if (!merged) return std::unexpected(std::move(merged.error()));
    std::set<ChildKey> merged_keys;
    for (const ContainerChild& child : *merged) merged_keys.emplace(child.element, child.full_name);
    if (merged_keys != expected_keys) {
        return std::unexpected(
            object_reader::parse_error(document_path, "the merged container document lost or gained a child"));
    }
    return std::string(existing.substr(0, boms)) + working;
}

}  // namespace container_child_reader

std::expected<std::vector<domain::MetadataComponent>, FieldReadError> ContainerChildMetadataReader::read(
    metadata_types::MetadataType type, const std::filesystem::path& source_root) {
    const metadata_types::TypeDescriptor& descriptor = type.descriptor();
    const auto* format = std::get_if<metadata_types::ContentFormat::ContainerDocument>(&descriptor.content_format.value);
    if (format == nullptr) {
        return std::unexpected(
            FieldReadError::invalid({}, fmt::format("metadata type {} is not a container-document type", type.wire_id())));
    }
    const std::string folder(format->container.directory);
    const std::string ending = generic_reader::file_ending(format->container.suffix);
    const std::optional<std::string_view> fixed = format->container.fixed_container;
    const source_folder::ListingMessages messages{fmt::format("Could not list {} directory", folder),
                                                  fmt::format("Could not read {} directory entry", folder)};
    auto documents = source_folder::collect(
        source_root / folder, messages, source_folder::EntryKind::RegularFile,
        [&](std::string_view name) -> std::optional<std::string> {
            auto stem = source_folder::stem_before(name, ending);
            if (!stem || stem->find('.') != std::string::npos) return std::nullopt;
            if (fixed) {
                if (*stem != *fixed) return std::nullopt;
            } else if (NamespacePolicy::is_packaged_generic_component(*stem)) {
                return std::nullopt;
            }
            return stem;
        });
    if (!documents) return std::unexpected(std::move(documents.error()));

    std::vector<domain::MetadataComponent> components;
    for (const source_folder::Candidate& document : *documents) {
        auto text = generic_reader::read_and_validate_document_in_namespace(document.path, format->container_type,
                                                                            kMetadataNamespaceUri);
        if (!text) return std::unexpected(std::move(text.error()));
        auto split = container_child_reader::split_container_document_reporting_root(*text, document.path.native());
        if (!split) return std::unexpected(std::move(split.error()));
        for (container_child_reader::ContainerChild& child : split->second) {
            if (child.element != format->child_element) continue;
            std::string name = fixed ? std::move(child.full_name) : fmt::format("{}.{}", document.name, child.full_name);
            if (NamespacePolicy::is_packaged_generic_component(name)) continue;
            domain::MetadataComponent component;
            component.key = {type, std::move(name)};
            component.source_path = document.path;
            const std::string child_xml[] = {std::move(child.xml)};
            component.document = container_child_reader::render_container_document(format->container_type, child_xml);
            components.push_back(std::move(component));
        }
    }
    std::stable_sort(components.begin(), components.end(),
                     [](const domain::MetadataComponent& a, const domain::MetadataComponent& b) {
                         return a.key.name < b.key.name;
                     });
    return components;
}

}  // namespace ambrel::metadata
