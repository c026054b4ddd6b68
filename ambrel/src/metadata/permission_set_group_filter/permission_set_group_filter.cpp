#include "metadata/permission_set_group_filter/permission_set_group_filter.hpp"

#include <vector>

#include <fmt/format.h>

#include "metadata/document_edits/document_edits.hpp"
#include "metadata/namespace_policy.hpp"
#include "metadata/readers/reference_parser_frame.hpp"
#include "metadata/user_permission_filter/user_permission_filter.hpp"
#include "text/text.hpp"
#include "xml/xml.hpp"

namespace ambrel::metadata::permission_set_group_filter {
namespace {

constexpr std::string_view kMemberElement = "permissionSets";
constexpr std::string_view kMutingElement = "mutingPermissionSets";
constexpr std::string_view kNote = "Kept {} of {} permission sets in this group; {} left out: {}.";

struct Reference {
    std::string name;
    std::size_t start = 0;
    std::size_t end = 0;
    bool muting = false;
};

}  // namespace

std::optional<std::string> FilteredPermissionSetGroup::message() const {
    if (left_out.empty()) return std::nullopt;
    const std::size_t kept = total > left_out.size() ? total - left_out.size() : 0;
    return fmt::format(fmt::runtime(kNote), kept, total, left_out.size(), user_permission_filter::listed_names(left_out));
}

std::expected<FilteredPermissionSetGroup, std::string> filter_permission_set_group(std::string_view document,
                                                                                   const std::set<std::string>& keep,
                                                                                   bool remove_muting,
                                                                                   bool remove_packaged) {
    const std::size_t prefix = xml::leading_bom_length(document);
    const std::string_view body = document.substr(prefix);
    xml::Reader reader(body);
    std::vector<Reference> references;
    std::optional<Reference> open;
    std::string buffer;
    std::size_t depth = 0;
    for (bool done = false; !done;) {
        auto event = reader.next();
        if (!event) return std::unexpected(event.error().message());
        switch (event->kind) {
            case xml::EventKind::Start: {
                if (depth == 1) {
                    const auto tag = document_edits::metadata_local_tag(reader, *event);
                    if (tag == kMemberElement || tag == kMutingElement) {
                        open = Reference{{}, event->begin, 0, tag == kMutingElement};
                        buffer.clear();
                    }
                }
                ++depth;
                break;
            }
            case xml::EventKind::Text:
            case xml::EventKind::GeneralRef:
            case xml::EventKind::CharRef:
                if (open) buffer += reference_parser_frame::decode_text(event->raw);
                break;
            case xml::EventKind::CData:
                if (open) buffer += reference_parser_frame::decode_text(event->content);
                break;
            case xml::EventKind::End:
                if (depth > 0) --depth;
                if (depth == 1 && open) {
                    open->name = std::string(text::trim(buffer));
                    open->end = event->end;
                    if (!open->name.empty()) references.push_back(std::move(*open));
                    open.reset();
                }
                break;
            case xml::EventKind::Eof:
                done = true;
                break;
            default:
                break;
        }
    }
    FilteredPermissionSetGroup filtered;
    std::set<std::string_view> distinct;
    std::vector<document_edits::Bounds> removed;
    for (const Reference& reference : references) {
        distinct.insert(reference.name);
        const bool stays = (reference.muting && !remove_muting) || keep.contains(reference.name) ||
                           (!remove_packaged && NamespacePolicy::is_packaged_generic_component(reference.name));
        if (stays) continue;
        filtered.left_out.insert(reference.name);
        removed.push_back({reference.start, reference.end});
    }
    std::vector<document_edits::Edit> cuts;
    for (const auto& bounds : document_edits::line_aware_cuts(body, removed)) cuts.push_back({bounds.start, bounds.end, {}});
    filtered.total = distinct.size();
    filtered.document = document_edits::apply_edits(body, std::move(cuts), document.substr(0, prefix));
    return filtered;
}

}  // namespace ambrel::metadata::permission_set_group_filter
