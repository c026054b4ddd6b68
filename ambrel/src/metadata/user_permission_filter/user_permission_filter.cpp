#include "metadata/user_permission_filter/user_permission_filter.hpp"

#include <fmt/format.h>

#include "metadata/document_edits/document_edits.hpp"
#include "metadata/readers/reference_parser_frame.hpp"
#include "text/text.hpp"
#include "xml/xml.hpp"

namespace ambrel::metadata::user_permission_filter {
namespace {

constexpr std::string_view kBlockElement = "userPermissions";
constexpr std::string_view kNameElement = "name";
constexpr std::string_view kNote =
    "Kept {} of {} user permissions; left out (not among the user permissions the target org reports): {}.";
constexpr std::string_view kMoreItem = "... and {} more";

struct UserPermission {
    std::string name;
    std::size_t start = 0;
    std::size_t end = 0;
};

std::expected<std::vector<UserPermission>, std::string> index_permissions(std::string_view body) {
    const auto refuse = [] { return std::unexpected(std::string(kPermissionBlockRefusal)); };
    xml::Reader reader(body);
    std::vector<UserPermission> blocks;
    std::optional<std::pair<std::vector<std::string>, std::size_t>> pending;
    bool capturing = false;
    std::string buffer;
    std::size_t depth = 0;
    for (;;) {
        auto event = reader.next();
        if (!event) return std::unexpected(event.error().message());
        switch (event->kind) {
            case xml::EventKind::Start: {
                const bool watched = depth == 1 || (depth == 2 && pending);
                const auto tag = watched ? document_edits::metadata_local_tag(reader, *event) : std::nullopt;
                if (depth == 1 && tag == kBlockElement) {
                    pending.emplace(std::vector<std::string>{}, event->begin);
                } else if (depth == 2 && pending && tag == kNameElement) {
                    capturing = true;
                    buffer.clear();
                }
                ++depth;
                break;
            }
            case xml::EventKind::Empty: {
                if (depth != 1 && !(depth == 2 && pending)) break;
                const auto tag = document_edits::metadata_local_tag(reader, *event);
                if ((depth == 1 && tag == kBlockElement) || (depth == 2 && pending && tag == kNameElement)) {
                    return refuse();
                }
                break;
            }
            case xml::EventKind::Text:
                if (capturing) buffer += reference_parser_frame::decode_text(event->raw);
                break;
            case xml::EventKind::CData:
                if (capturing) buffer += text::decode_lossy(event->content);
                break;
            case xml::EventKind::GeneralRef:
            case xml::EventKind::CharRef:
                if (capturing) {
                    if (auto valid = text::validate_utf8(event->name); !valid) {
                        return std::unexpected(valid.error().message());
                    }
                    if (auto appended = xml::append_reference(buffer, *event); !appended) {
                        return std::unexpected(appended.error().description);
                    }
                }
                break;
            case xml::EventKind::End:
                if (depth > 0) --depth;
                if (depth == 2 && capturing) {
                    if (pending) pending->first.emplace_back(text::trim(buffer));
                    capturing = false;
                } else if (depth == 1 && pending) {
                    if (pending->first.size() != 1 || pending->first.front().empty()) return refuse();
                    blocks.push_back({std::move(pending->first.front()), pending->second, event->end});
                    pending.reset();
                }
                break;
            case xml::EventKind::Eof:
                if (pending) return refuse();
                return blocks;
            default:
                break;
        }
    }
}

template <class Names>
std::string listed(const Names& names) {
    std::string out;
    std::size_t count = 0;
    for (const std::string& name : names) {
        if (count == kListedNameLimit) break;
        if (count != 0) out += ", ";
        out += name;
        ++count;
    }
    if (names.size() > kListedNameLimit) {
        out += ", ";
        out += fmt::format(fmt::runtime(kMoreItem), names.size() - kListedNameLimit);
    }
    return out;
}

}  // namespace

std::string UserPermissionFilterError::display() const {
    return fmt::format(fmt::runtime(kPermissionSetParseMessage), message_);
}

std::optional<std::string> FilteredUserPermissions::message() const {
    if (left_out.empty()) return std::nullopt;
    const std::size_t kept_count = total > left_out.size() ? total - left_out.size() : 0;
    return fmt::format(fmt::runtime(kNote), kept_count, total, listed_names(left_out));
}

UserPermissionCatalog user_permission_catalog(const data::schema::ObjectSchema& permission_set) {
    UserPermissionCatalog catalog;
    for (const auto& [name, field] : permission_set.fields) {
        if (!name.starts_with(kPermissionFieldPrefix)) continue;
        catalog.names.insert(name);
        if (!text::is_blank(field.label)) {
            catalog.labels.insert_or_assign(field.label, name.substr(kPermissionFieldPrefix.size()));
        }
    }
    return catalog;
}

std::expected<std::set<std::string>, UserPermissionFilterError> user_permission_names(std::string_view document) {
    auto blocks = index_permissions(xml::strip_leading_boms(document));
    if (!blocks) return std::unexpected(UserPermissionFilterError(std::move(blocks.error())));
    std::set<std::string> names;
    for (UserPermission& block : *blocks) names.insert(std::move(block.name));
    return names;
}

std::expected<FilteredUserPermissions, UserPermissionFilterError> filter_user_permissions(
    std::string_view document, const std::set<std::string>& remove) {
    const std::size_t prefix = xml::leading_bom_length(document);
    const std::string_view body = document.substr(prefix);
    auto blocks = index_permissions(body);
    if (!blocks) return std::unexpected(UserPermissionFilterError(std::move(blocks.error())));
    FilteredUserPermissions filtered;
    std::set<std::string_view> distinct;
    std::vector<document_edits::Edit> cuts;
    for (const UserPermission& block : *blocks) {
        distinct.insert(block.name);
        if (!remove.contains(block.name)) continue;
        filtered.left_out.insert(block.name);
        const auto bounds = document_edits::line_aware_bounds(body, block.start, block.end);
        cuts.push_back({bounds.start, bounds.end, {}});
    }
    filtered.total = distinct.size();
    filtered.document = document_edits::apply_edits(body, std::move(cuts), document.substr(0, prefix));
    return filtered;
}

std::string listed_names(const std::set<std::string>& names) { return listed(names); }

std::string listed_names(const std::vector<std::string>& names) { return listed(names); }

}  // namespace ambrel::metadata::user_permission_filter
