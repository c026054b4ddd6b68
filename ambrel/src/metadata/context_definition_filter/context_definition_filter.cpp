#include "metadata/context_definition_filter/context_definition_filter.hpp"

#include <variant>
#include <vector>

#include <fmt/format.h>

#include "metadata/document_edits/document_edits.hpp"
#include "metadata/metadata_namespace.hpp"
#include "metadata/readers/reference_parser_frame.hpp"
#include "metadata/user_permission_filter/user_permission_filter.hpp"
#include "text/text.hpp"
#include "xml/xml.hpp"

namespace ambrel::metadata::context_definition_filter {
namespace {

constexpr std::string_view kNodeMapping = "contextNodeMappings";
constexpr std::string_view kHydrationDetail = "contextAttrHydrationDetails";
constexpr std::string_view kObjectChild = "object";
constexpr std::string_view kObjectNameChild = "objectName";
constexpr std::string_view kQueryAttributeChild = "queryAttribute";
constexpr std::string_view kNeverOpened = "document closes an element that was never opened";
constexpr std::string_view kNotNested = "document is not properly nested";
constexpr std::string_view kNotClosed = "document is not properly closed";
constexpr std::string_view kNote = "Kept {} of {} field references and {} of {} object mappings in this context; {} left out: {}{}.";
constexpr std::string_view kChainSuffix = "; {} more removed with their hydration chain";

using Reference = std::variant<std::monostate, std::string, FieldRef>;

struct Block {
    std::optional<std::size_t> parent;
    Reference reference;
    std::size_t start = 0;
    std::size_t end = 0;
    bool node_mapping = false;
};

struct OpenElement {
    std::optional<std::size_t> block;
    std::string local_name;
    bool in_namespace = false;
};

struct PendingBlock {
    std::optional<std::size_t> parent;
    std::size_t start = 0;
    bool node_mapping = false;
    std::optional<std::string> object;
    std::optional<std::string> object_name;
    std::optional<std::string> query_attribute;
};

// UTF-8, then entity unescaping, then trimming; an undecodable piece is empty.
std::string decode(std::string_view raw) {
    return std::string(text::trim(reference_parser_frame::decode_text(raw)));
}

std::expected<std::vector<Block>, std::string> index_blocks(std::string_view body) {
    xml::Reader reader(body);
    std::vector<OpenElement> elements;
    std::vector<PendingBlock> pending;
    std::vector<std::size_t> open_blocks;
    std::vector<std::optional<Block>> blocks;
    for (;;) {
        auto event = reader.next();
        if (!event) return std::unexpected(event.error().message());
        switch (event->kind) {
            case xml::EventKind::Start: {
                OpenElement element{std::nullopt, text::decode_lossy(event->local_name()),
                                    in_metadata_namespace(reader.resolve_element(*event))};
                if (element.in_namespace && (element.local_name == kNodeMapping || element.local_name == kHydrationDetail)) {
                    const std::size_t index = blocks.size();
                    blocks.emplace_back();
                    PendingBlock block;
                    if (!open_blocks.empty()) block.parent = open_blocks.back();
                    block.start = event->begin;
                    block.node_mapping = element.local_name == kNodeMapping;
                    pending.push_back(std::move(block));
                    open_blocks.push_back(index);
                    element.block = index;
                }
                elements.push_back(std::move(element));
                break;
            }
            case xml::EventKind::Text:
            case xml::EventKind::CData: {
                if (elements.size() < 2 || pending.empty()) break;
                const OpenElement& inner = elements.back();
                const OpenElement& parent = elements[elements.size() - 2];
                if (!inner.in_namespace || !parent.block || !parent.in_namespace) break;
                std::string value = decode(event->kind == xml::EventKind::Text ? event->raw : event->content);
                if (value.empty()) break;
                PendingBlock& block = pending.back();
                if (block.node_mapping) {
                    if (inner.local_name == kObjectChild) block.object = std::move(value);
                } else if (inner.local_name == kObjectNameChild) {
                    block.object_name = std::move(value);
                } else if (inner.local_name == kQueryAttributeChild) {
                    block.query_attribute = std::move(value);
                }
                break;
            }
            case xml::EventKind::End: {
                if (elements.empty()) return std::unexpected(std::string(kNeverOpened));
                const OpenElement element = std::move(elements.back());
                elements.pop_back();
                if (!element.block) break;
                if (pending.empty()) return std::unexpected(std::string(kNotNested));
                PendingBlock block = std::move(pending.back());
                pending.pop_back();
                open_blocks.pop_back();
                Block done{block.parent, std::monostate{}, block.start, event->end, block.node_mapping};
                if (block.node_mapping) {
                    if (block.object) done.reference = std::move(*block.object);
                } else if (block.object_name && block.query_attribute) {
                    done.reference = FieldRef{std::move(*block.object_name), std::move(*block.query_attribute)};
                }
                blocks[*element.block] = std::move(done);
                break;
            }
            case xml::EventKind::Eof: {
                if (!elements.empty()) return std::unexpected(std::string(kNotClosed));
                std::vector<Block> result;
                result.reserve(blocks.size());
                for (auto& block : blocks) {
                    if (!block) return std::unexpected(std::string(kNotClosed));
                    result.push_back(std::move(*block));
                }
                return result;
            }
            default:
                break;
        }
    }
}

template <class Set>
bool contains_ascii_case_insensitive(const Set& set, std::string_view name) {
    for (const auto& entry : set) {
        if (text::equals_ascii_case_insensitive(entry, name)) return true;
    }
    return false;
}

std::size_t less_clamped(std::size_t a, std::size_t b) { return a > b ? a - b : 0; }

}  // namespace

bool ExplicitOmissions::knows_object(std::string_view object) const {
    return contains_ascii_case_insensitive(objects, object);
}

bool ExplicitOmissions::knows_field(std::string_view object, std::string_view field) const {
    for (const auto& [o, f] : fields) {
        if (text::equals_ascii_case_insensitive(o, object) && text::equals_ascii_case_insensitive(f, field)) return true;
    }
    return false;
}

std::optional<std::string> FilteredContextDefinition::message() const {
    if (left_out_objects.empty() && left_out_fields.empty()) return std::nullopt;
    std::vector<std::string> names(left_out_objects.begin(), left_out_objects.end());
    for (const auto& [object, field] : left_out_fields) names.push_back(fmt::format("{}.{}", object, field));
    const std::size_t chained = less_clamped(less_clamped(total_fields, kept_fields), left_out_fields.size()) +
                                less_clamped(less_clamped(total_objects, kept_objects), left_out_objects.size());
    const std::string suffix = chained > 0 ? fmt::format(fmt::runtime(kChainSuffix), chained) : std::string();
    return fmt::format(fmt::runtime(kNote), kept_fields, total_fields, kept_objects, total_objects,
                       left_out_objects.size() + left_out_fields.size(),
                       user_permission_filter::listed_names(names), suffix);
}

std::expected<FilteredContextDefinition, ContextDefinitionFilterError> filter_context_definition(
    std::string_view document, const cli::SchemaListing& source, const cli::SchemaListing& target,
    const ExplicitOmissions& omissions) {
    const std::size_t prefix = xml::leading_bom_length(document);
    const std::string_view body = document.substr(prefix);
    auto indexed = index_blocks(body);
    if (!indexed) return std::unexpected(ContextDefinitionFilterError(std::move(indexed.error())));
    const std::vector<Block>& blocks = *indexed;
    const std::size_t count = blocks.size();

    FilteredContextDefinition filtered;
    std::set<std::string> all_objects;
    std::set<FieldRef> all_fields;
    std::vector<bool> dropped(count, false);
    for (std::size_t i = 0; i < count; ++i) {
        if (const auto* object = std::get_if<std::string>(&blocks[i].reference)) {
            all_objects.insert(*object);
            dropped[i] = omissions.knows_object(*object) || (source.knows_object(*object) && !target.knows_object(*object));
            if (dropped[i]) filtered.left_out_objects.insert(*object);
        } else if (const auto* field = std::get_if<FieldRef>(&blocks[i].reference)) {
            all_fields.insert(*field);
            dropped[i] = omissions.knows_field(field->first, field->second) ||
                         (source.knows_field(field->first, field->second) && !target.knows_field(field->first, field->second));
            if (dropped[i]) filtered.left_out_fields.insert(*field);
        }
    }
    std::vector<bool> chain_root(count, false);
    for (std::size_t i = 0; i < count; ++i) {
        if (!dropped[i] || blocks[i].node_mapping) continue;
        std::size_t at = i;
        while (blocks[at].parent && !blocks[*blocks[at].parent].node_mapping) at = *blocks[at].parent;
        chain_root[at] = true;
    }
    std::vector<bool> removed(count, false);
    std::vector<document_edits::Bounds> removed_blocks;
    std::set<std::string> kept_objects;
    std::set<FieldRef> kept_fields;
    for (std::size_t i = 0; i < count; ++i) {
        const bool own = blocks[i].node_mapping ? dropped[i] : chain_root[i];
        const bool parent_removed = blocks[i].parent && removed[*blocks[i].parent];
        removed[i] = parent_removed || own;
        if (own && !parent_removed) removed_blocks.push_back({blocks[i].start, blocks[i].end});
        if (removed[i]) continue;
        if (const auto* object = std::get_if<std::string>(&blocks[i].reference)) kept_objects.insert(*object);
        if (const auto* field = std::get_if<FieldRef>(&blocks[i].reference)) kept_fields.insert(*field);
    }
    filtered.total_objects = all_objects.size();
    filtered.total_fields = all_fields.size();
    filtered.kept_objects = kept_objects.size();
    filtered.kept_fields = kept_fields.size();
    std::vector<document_edits::Edit> cuts;
    for (const auto& bounds : document_edits::line_aware_cuts(body, removed_blocks)) cuts.push_back({bounds.start, bounds.end, {}});
    filtered.document = document_edits::apply_edits(body, std::move(cuts), document.substr(0, prefix));
    return filtered;
}

std::expected<ContextReferenceIndex, ContextDefinitionFilterError> referenced_components(std::string_view document) {
    auto blocks = index_blocks(xml::strip_leading_boms(document));
    if (!blocks) return std::unexpected(ContextDefinitionFilterError(std::move(blocks.error())));
    ContextReferenceIndex index;
    for (auto& block : *blocks) {
        if (auto* object = std::get_if<std::string>(&block.reference)) index.objects.insert(std::move(*object));
        if (auto* field = std::get_if<FieldRef>(&block.reference)) index.fields.insert(std::move(*field));
    }
    return index;
}

std::expected<std::set<std::string>, ContextDefinitionFilterError> referenced_object_names(std::string_view document) {
    auto index = referenced_components(document);
    if (!index) return std::unexpected(std::move(index.error()));
    std::set<std::string> names = std::move(index->objects);
    for (const auto& [object, field] : index->fields) names.insert(object);
    return names;
}

}  // namespace ambrel::metadata::context_definition_filter
