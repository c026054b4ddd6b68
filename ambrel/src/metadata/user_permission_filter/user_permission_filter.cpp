#include "metadata/user_permission_filter/user_permission_filter.hpp"

#include <algorithm>

#include <fmt/format.h>

#include "metadata/document_edits/document_edits.hpp"
#include "metadata/readers/reference_parser_frame.hpp"
#include "support/programming_error.hpp"
#include "text/text.hpp"
#include "xml/xml.hpp"

namespace ambrel::metadata::user_permission_filter {
namespace {

constexpr std::string_view kBlockElement = "userPermissions";
constexpr std::string_view kNameElement = "name";
constexpr std::string_view kNote =
    "Kept {} of {} user permissions; left out (not among the user permissions the target org reports): {}.";
constexpr std::string_view kMoreItem = "... and {} more";

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

void PermissionReader::refuse(std::string message) {
    if (!result_) result_.emplace(std::unexpected(std::move(message)));
}

void PermissionReader::reader_failed(const xml::Error& error) { refuse(error.message()); }

void PermissionReader::take(const xml::Reader& reader, const xml::Event& event) {
    if (result_) return;
    switch (event.kind) {
        case xml::EventKind::Start: {
            const bool watched = depth_ == 1 || (depth_ == 2 && pending_);
            const auto tag = watched ? document_edits::metadata_local_tag(reader, event) : std::nullopt;
            if (depth_ == 1 && tag == kBlockElement) {
                pending_.emplace(std::vector<std::string>{}, event.begin);
            } else if (depth_ == 2 && pending_ && tag == kNameElement) {
                capturing_ = true;
                buffer_.clear();
            }
            ++depth_;
            break;
        }
        case xml::EventKind::Empty: {
            if (depth_ != 1 && !(depth_ == 2 && pending_)) break;
            const auto tag = document_edits::metadata_local_tag(reader, event);
            if ((depth_ == 1 && tag == kBlockElement) || (depth_ == 2 && pending_ && tag == kNameElement)) {
                refuse(std::string(kPermissionBlockRefusal));
            }
            break;
        }
        case xml::EventKind::Text:
            // A piece that cannot be decoded adds nothing, as the document readers do.
            if (capturing_) reference_parser_frame::append_decoded_text(buffer_, event.raw);
            break;
        case xml::EventKind::CData:
            if (capturing_) buffer_ += text::decode_lossy(event.content);
            break;
        case xml::EventKind::GeneralRef:
        case xml::EventKind::CharRef:
            if (capturing_) {
                if (auto valid = text::validate_utf8(event.name); !valid) {
                    refuse(valid.error().message());
                } else if (auto appended = xml::append_reference(buffer_, event); !appended) {
                    refuse(appended.error().description);
                }
            }
            break;
        case xml::EventKind::End:
            if (depth_ > 0) --depth_;
            if (depth_ == 2 && capturing_) {
                if (pending_) pending_->first.emplace_back(text::trim(buffer_));
                capturing_ = false;
            } else if (depth_ == 1 && pending_) {
                if (pending_->first.size() != 1 || pending_->first.front().empty()) {
                    refuse(std::string(kPermissionBlockRefusal));
                    break;
                }
                blocks_.push_back({std::move(pending_->first.front()), pending_->second, event.end});
                pending_.reset();
            }
            break;
        case xml::EventKind::Eof:
            if (pending_) {
                refuse(std::string(kPermissionBlockRefusal));
            } else {
                result_.emplace();
            }
            break;
        default:
            break;
    }
}

std::expected<PermissionBlocks, UserPermissionFilterError> PermissionReader::result() && {
    support::require(result_.has_value(), "PermissionReader::result needs a finished reading");
    if (!*result_) return std::unexpected(UserPermissionFilterError(std::move(result_->error())));
    return std::move(blocks_);
}

std::expected<PermissionBlocks, UserPermissionFilterError> permission_blocks(std::string_view document) {
    xml::Reader reader(xml::strip_leading_boms(document));
    PermissionReader blocks;
    while (!blocks.finished()) {
        auto event = reader.next();
        if (!event) {
            blocks.reader_failed(event.error());
            break;
        }
        blocks.take(reader, *event);
    }
    return std::move(blocks).result();
}

std::set<std::string> names_of(const PermissionBlocks& blocks) {
    std::set<std::string> names;
    for (const PermissionBlock& block : blocks) names.insert(block.name);
    return names;
}

std::expected<std::set<std::string>, UserPermissionFilterError> user_permission_names(std::string_view document) {
    auto blocks = permission_blocks(document);
    if (!blocks) return std::unexpected(std::move(blocks.error()));
    return names_of(*blocks);
}

std::expected<FilteredUserPermissions, UserPermissionFilterError> filter_user_permissions(
    std::string_view document, const std::set<std::string>& remove) {
    auto blocks = permission_blocks(document);
    if (!blocks) return std::unexpected(std::move(blocks.error()));
    return filter_user_permissions(document, *blocks, remove);
}

PermissionCuts user_permission_cuts(std::string_view document, const PermissionBlocks& blocks,
                                    const std::set<std::string>& remove) {
    const std::string_view body = xml::strip_leading_boms(document);
    PermissionCuts cuts;
    std::vector<std::string_view> distinct;
    distinct.reserve(blocks.size());
    std::vector<document_edits::Bounds> removed;
    for (const PermissionBlock& block : blocks) {
        distinct.push_back(block.name);
        if (!remove.contains(block.name)) continue;
        cuts.left_out.insert(block.name);
        removed.push_back({block.start, block.end});
    }
    cuts.ranges = document_edits::line_aware_cuts(body, removed);
    std::sort(distinct.begin(), distinct.end());
    cuts.total = static_cast<std::size_t>(std::unique(distinct.begin(), distinct.end()) - distinct.begin());
    return cuts;
}

FilteredUserPermissions filter_user_permissions(std::string_view document, const PermissionBlocks& blocks,
                                                const std::set<std::string>& remove) {
    const std::size_t prefix = xml::leading_bom_length(document);
    PermissionCuts cuts = user_permission_cuts(document, blocks, remove);
    FilteredUserPermissions filtered;
    filtered.document = document_edits::apply_edits(
        document.substr(prefix), document_edits::merged_removals(cuts.ranges, {}), document.substr(0, prefix));
    filtered.left_out = std::move(cuts.left_out);
    filtered.total = cuts.total;
    return filtered;
}

std::string listed_names(const std::set<std::string>& names) { return listed(names); }

std::string listed_names(const std::vector<std::string>& names) { return listed(names); }

}  // namespace ambrel::metadata::user_permission_filter
