#include "metadata/permission_merger/permission_merger.hpp"

#include <fmt/format.h>

#include <algorithm>
#include <functional>
#include <iterator>

#include "metadata/metadata_namespace.hpp"
#include "support/programming_error.hpp"
#include "text/text.hpp"
#include "xml/xml.hpp"

namespace ambrel::metadata::permission_merger {
namespace {

using domain::FlsContainerKind;
using domain::FlsMode;
using domain::PermissionGrant;
using domain::PermissionSubject;

constexpr std::string_view kDoctype = "doctype is not allowed in {} '{}'";
constexpr std::string_view kCouldNotParse = "could not parse permission metadata: {}";
constexpr std::string_view kExpectedRoot = "Expected {} metadata for {} '{}'";
constexpr std::string_view kNotUtf8Output = "serialized permission metadata is not UTF-8: {}";
constexpr std::string_view kDefaultChild = "default";
constexpr std::string_view kPersonAccountDefaultChild = "personAccountDefault";
constexpr std::string_view kChildIndent = "    ";

std::string_view flag(bool value) { return value ? "true" : "false"; }

// Appends what a text, CDATA or reference event adds to a captured value; text that is not UTF-8 and
// references that cannot be resolved add nothing.
void append_value(std::string& out, const xml::Event& event) {
    switch (event.kind) {
    case xml::EventKind::Text:
        if (text::is_valid_utf8(event.raw)) out.append(event.raw);
        break;
    case xml::EventKind::CData:
        out.append(event.content);
        break;
    case xml::EventKind::GeneralRef:
    case xml::EventKind::CharRef: {
        std::string piece;
        if (xml::append_reference(piece, event)) out.append(piece);
        break;
    }
    default:
        break;
    }
}

}  // namespace

std::string PermissionMergeError::message() const {
    return std::visit(
        [](const auto& value) -> std::string {
            using T = std::decay_t<decltype(value)>;
            if constexpr (std::is_same_v<T, ModeWithoutTransfer>) {
                return std::string(kModeWithoutTransfer);
            } else if constexpr (std::is_same_v<T, IdentityMismatch>) {
                return std::string(kIdentityMismatch);
            } else {
                return value.message;
            }
        },
        value_);
}

std::string_view local_name(std::string_view name) noexcept { return xml::after_last_colon(name); }

std::string local_name_vec(std::string_view bytes) { return text::decode_lossy(local_name(bytes)); }

bool is_whitespace_text(std::string_view value) noexcept { return text::is_blank(value); }

std::size_t TargetDocument::IndexHash::operator()(const IndexKey& key) const noexcept {
    return std::hash<std::string_view>{}(key.key) ^ (key.section * 0x9e3779b97f4a7c15ULL);
}

std::string detect_indent(const TargetDocument::Items& items) {
    const TargetDocument::Item* previous = nullptr;
    for (const auto& item : items) {
        if (item.element && previous != nullptr && !previous->element && previous->is_text &&
            text::is_valid_utf8(previous->written) && is_whitespace_text(previous->written)) {
            const auto line_feed = previous->written.rfind('\n');
            if (line_feed != std::string_view::npos) return std::string(previous->written.substr(line_feed + 1));
        }
        previous = &item;
    }
    return std::string(kDefaultIndent);
}

std::vector<std::pair<std::string, std::string>> preserved_children(const TargetDocument::Item& block) {
    return block.kept;
}

std::expected<TargetDocument, std::string> TargetDocument::read(std::string_view input,
                                                                const PermissionComponentKey& key) {
    TargetDocument doc;
    doc.kind_ = key.kind();
    const std::string_view kind_name = domain::name(key.kind());

    xml::Reader reader(input);
    std::size_t depth = 0;
    bool root_started = false;
    bool root_closed = false;
    bool root_in_namespace = false;
    std::size_t prolog_end = 0;
    std::size_t epilog_begin = 0;
    // Set once an end tag is not written as "</name>": from there on the pieces are copied with their
    // end tags rewritten, and the text before it is the same in both.
    bool copying = false;
    std::string& normalized = *doc.normalized_;

    // The top-level element being read.
    std::optional<Item> open;
    bool key_done = false;
    std::optional<std::string> key_capture;
    std::optional<std::pair<std::string, std::string>> kept_capture;

    const auto start_item = [&](const xml::Event& event, std::size_t begin, std::size_t end) {
        Item item;
        item.element = true;
        item.begin = begin;
        item.end = end;
        const std::string_view local = local_name(event.name);
        if (text::is_valid_utf8(local)) {
            item.name_begin = begin + static_cast<std::size_t>(local.data() - event.raw.data());
            item.name_size = local.size();
        } else {
            item.name_storage = text::decode_lossy(local);
        }
        item.in_namespace = in_metadata_namespace(reader.resolve_element(event));
        if (item.in_namespace) item.section = permission_models::schema_for_element(local);
        return item;
    };

    for (;;) {
        auto next = reader.next();
        if (!next) return std::unexpected(fmt::format(fmt::runtime(kCouldNotParse), next.error().message()));
        const xml::Event& event = *next;
        if (event.kind == xml::EventKind::Eof) break;
        if (event.kind == xml::EventKind::DocType) {
            return std::unexpected(fmt::format(fmt::runtime(kDoctype), kind_name, key.full_name()));
        }
        if (!copying && event.kind == xml::EventKind::End && event.raw.size() != event.name.size() + 3) {
            copying = true;
            normalized.reserve(input.size());
            normalized.append(input.substr(0, event.begin));
        }
        std::size_t begin = event.begin;
        std::size_t end = event.end;
        if (copying) {
            begin = normalized.size();
            xml::write_event(normalized, event);
            end = normalized.size();
        }

        if (!root_started || root_closed) {
            if (!root_started && event.kind == xml::EventKind::Start) {
                root_started = true;
                root_in_namespace = in_metadata_namespace(reader.resolve_element(event));
                doc.root_name_ = local_name_vec(event.name);
                const auto colon = event.name.rfind(':');
                if (colon != std::string_view::npos) doc.root_prefix_ = std::string(event.name.substr(0, colon));
                prolog_end = end;
                depth = 1;
            }
            continue;
        }

        if (depth == 1) {
            if (event.kind == xml::EventKind::End) {
                root_closed = true;
                epilog_begin = begin;
                depth = 0;
                continue;
            }
            if (event.kind == xml::EventKind::Start || event.kind == xml::EventKind::Empty) {
                Item item = start_item(event, begin, end);
                if (event.kind == xml::EventKind::Empty) {
                    doc.items_.push_back(std::move(item));
                } else {
                    open = std::move(item);
                    key_done = false;
                    key_capture.reset();
                    kept_capture.reset();
                    depth = 2;
                }
                continue;
            }
            Item item;
            item.is_text = event.kind == xml::EventKind::Text;
            item.begin = begin;
            item.end = end;
            doc.items_.push_back(std::move(item));
            continue;
        }

        // Inside a top-level element.
        switch (event.kind) {
        case xml::EventKind::Start:
        case xml::EventKind::Empty: {
            if (depth == 2 && open->section != nullptr) {
                const auto child = local_name(event.name);
                const bool start = event.kind == xml::EventKind::Start;
                if (!key_done && child == open->section->key_child &&
                    in_metadata_namespace(reader.resolve_element(event))) {
                    key_done = true;
                    if (start) key_capture.emplace();
                } else if (start && open->section->section == permission_models::kRecordTypeSection &&
                           (child == kDefaultChild || child == kPersonAccountDefaultChild) &&
                           std::none_of(open->kept.begin(), open->kept.end(),
                                        [&](const auto& kept) { return kept.first == child; })) {
                    kept_capture.emplace(std::string(child), std::string());
                }
            }
            if (event.kind == xml::EventKind::Start) ++depth;
            break;
        }
        case xml::EventKind::End:
            --depth;
            if (depth == 2) {
                if (key_capture) {
                    open->key = std::string(text::trim(*key_capture));
                    key_capture.reset();
                }
                if (kept_capture) {
                    kept_capture->second = std::string(text::trim(kept_capture->second));
                    open->kept.push_back(std::move(*kept_capture));
                    kept_capture.reset();
                }
            } else if (depth == 1) {
                open->end = end;
                doc.items_.push_back(std::move(*open));
                open.reset();
            }
            break;
        default:
            if (key_capture) append_value(*key_capture, event);
            if (kept_capture) append_value(kept_capture->second, event);
            break;
        }
    }

    if (!root_started) return std::unexpected(std::string(kNoRoot));
    if (!root_closed) return std::unexpected(std::string(kRootNotClosed));
    const std::string_view expected = key.kind() == FlsContainerKind::Profile ? "Profile" : "PermissionSet";
    if (!root_in_namespace || doc.root_name_ != expected) {
        return std::unexpected(fmt::format(fmt::runtime(kExpectedRoot), expected, kind_name, key.full_name()));
    }

    const std::string_view all = copying ? std::string_view(normalized) : input;
    doc.prolog_ = all.substr(0, prolog_end);
    doc.epilog_ = all.substr(epilog_begin);
    doc.last_of_section_.assign(permission_models::permission_sections().size(), std::nullopt);
    for (auto position = doc.items_.begin(); position != doc.items_.end(); ++position) {
        position->written = all.substr(position->begin, position->end - position->begin);
        if (!position->element) continue;
        position->name = position->name_storage.empty() ? all.substr(position->name_begin, position->name_size)
                                                        : std::string_view(position->name_storage);
        if (position->section != nullptr) {
            doc.last_of_section_[position->section->section] = position;
            if (position->key) doc.index_add(position);
        }
    }
    doc.indent_ = detect_indent(doc.items_);
    return doc;
}

void TargetDocument::index_add(Position position) {
    IndexEntry& entry = index_[IndexKey{position->section->section, *position->key}];
    if (entry.count == 0) entry.position = position;
    ++entry.count;
}

TargetDocument::Position TargetDocument::insertion_point(const PermissionSectionSchema& row, std::string_view element) {
    if (const auto& last = last_of_section_[row.section]) return std::next(*last);
    const auto order = permission_models::section_order(kind_);
    const auto own = std::find(order.begin(), order.end(), element);
    const std::span<const std::string_view> later =
        own == order.end() ? std::span<const std::string_view>() : std::span(std::next(own), order.end());
    for (auto position = items_.begin(); position != items_.end(); ++position) {
        if (position->element && position->in_namespace &&
            std::find(later.begin(), later.end(), position->name) != later.end()) {
            return position;
        }
    }
    return items_.end();
}

std::string TargetDocument::element_text(std::string_view element, const PermissionSubject& subject,
                                         const PermissionGrant& grant,
                                         const std::vector<std::pair<std::string, std::string>>& kept) const {
    const std::string prefix = root_prefix_.empty() ? std::string() : root_prefix_ + ":";
    const std::string key = subject.api_name();
    std::vector<std::pair<std::string_view, std::string>> children;
    if (std::holds_alternative<PermissionSubject::Field>(subject.value)) {
        const auto access = std::get_if<PermissionGrant::FieldAccess>(&grant.value);
        const auto value = access ? *access : PermissionGrant::FieldAccess{};
        children = {{"editable", std::string(flag(value.editable))}, {"field", key},
                    {"readable", std::string(flag(value.readable))}};
    } else if (std::holds_alternative<PermissionSubject::Object>(subject.value)) {
        const auto access = std::get_if<PermissionGrant::ObjectAccess>(&grant.value);
        const auto value = access ? *access : PermissionGrant::ObjectAccess{};
        children = {{"allowCreate", std::string(flag(value.create))},
                    {"allowDelete", std::string(flag(value.remove))},
                    {"allowEdit", std::string(flag(value.edit))},
                    {"allowRead", std::string(flag(value.read))},
                    {"modifyAllRecords", std::string(flag(value.modify_all))},
                    {"object", key},
                    {"viewAllFields", std::string(flag(value.view_all_fields))},
                    {"viewAllRecords", std::string(flag(value.view_all))}};
    } else if (std::holds_alternative<PermissionSubject::Tab>(subject.value)) {
        const auto access = std::get_if<PermissionGrant::TabVisibility>(&grant.value);
        const auto level = access ? access->level : domain::TabVisibility::NotAvailable;
        children = {{"tab", key}, {"visibility", std::string(permission_models::tab_visibility_word(kind_, level))}};
    } else if (std::holds_alternative<PermissionSubject::RecordType>(subject.value)) {
        const auto access = std::get_if<PermissionGrant::Visible>(&grant.value);
        for (const auto& [name, value] : kept) children.emplace_back(name, value);
        children.emplace_back("recordType", key);
        children.emplace_back("visible", std::string(flag(access && access->visible)));
    } else {
        const auto access = std::get_if<PermissionGrant::Enabled>(&grant.value);
        children = {{permission_models::schema_for_subject(subject).key_child, key},
                    {"enabled", std::string(flag(access && access->enabled))}};
    }

    std::string out;
    out.append("<").append(prefix).append(element).append(">");
    for (const auto& [name, value] : children) {
        out.append("\n").append(indent_).append(kChildIndent);
        out.append("<").append(prefix).append(name).append(">");
        xml::append_five_entities(out, value);
        out.append("</").append(prefix).append(name).append(">");
    }
    out.append("\n").append(indent_).append("</").append(prefix).append(element).append(">");
    return out;
}

std::optional<NotTransferred> TargetDocument::replace_selected_permission(const PermissionSubject& subject,
                                                                          const PermissionGrant& grant) {
    const auto& row = permission_models::schema_for_subject(subject);
    const std::string_view element = row.element_for(kind_);
    const std::string key = subject.api_name();

    std::optional<Position> existing;
    if (const auto found = index_.find(IndexKey{row.section, key}); found != index_.end() && found->second.count == 1) {
        existing = found->second.position;
    }

    const bool record_type = std::holds_alternative<PermissionSubject::RecordType>(subject.value);
    std::vector<std::pair<std::string, std::string>> kept;
    if (record_type && existing) kept = preserved_children(**existing);

    if (record_type) {
        const auto visible = std::get_if<PermissionGrant::Visible>(&grant.value);
        if (visible && !visible->visible) {
            for (const auto& [name, value] : kept) {
                if (value != "false") return NotTransferred{NotTransferred::DefaultRecordType{}};
            }
        }
    }

    // A deploy leaves access that a document does not mention unchanged, so taking access away means
    // writing the block with every flag off; a subject without a block has no access to take.
    if (permission_models::grants_nothing(grant) && !existing) return std::nullopt;

    std::string written = element_text(element, subject, grant, kept);
    if (existing) {
        Item& item = **existing;
        item.owned = std::move(written);
        item.written = item.owned;
        item.name = element;
        item.kept = std::move(kept);
        return std::nullopt;
    }

    Item block;
    block.element = true;
    block.name = element;
    block.key = key;
    block.section = &row;
    block.in_namespace = true;
    block.kept = std::move(kept);
    block.owned = std::move(written);

    const Position chosen = insertion_point(row, element);
    Position behind = items_.begin();
    for (auto walk = chosen; walk != items_.begin();) {
        --walk;
        if (walk->element) {
            behind = std::next(walk);
            break;
        }
    }
    Item line;
    line.is_text = true;
    line.owned = "\n" + indent_;
    const auto line_position = items_.insert(behind, std::move(line));
    line_position->written = line_position->owned;
    const auto block_position = items_.insert(behind, std::move(block));
    block_position->written = block_position->owned;
    last_of_section_[row.section] = block_position;
    index_add(block_position);
    return std::nullopt;
}

std::expected<std::string, std::string> TargetDocument::serialize() const {
    std::string out;
    std::size_t size = prolog_.size() + epilog_.size();
    for (const auto& item : items_) size += item.written.size();
    out.reserve(size);
    out.append(prolog_);
    for (const auto& item : items_) out.append(item.written);
    out.append(epilog_);
    if (auto valid = text::validate_utf8(out); !valid) {
        return std::unexpected(fmt::format(fmt::runtime(kNotUtf8Output), valid.error().message()));
    }
    return out;
}

std::expected<PermissionMergeOutcome, PermissionMergeError> PermissionMetadataMerger::merge(
    const PermissionMetadataComponent& source, const PermissionMetadataComponent& target,
    const domain::SelectedPermissions& selected, FlsMode mode) const {
    if (mode == FlsMode::None) return std::unexpected(PermissionMergeError(PermissionMergeError::ModeWithoutTransfer{}));
    if (source.key != target.key) return std::unexpected(PermissionMergeError(PermissionMergeError::IdentityMismatch{}));

    auto document = TargetDocument::read(target.xml, target.key);
    if (!document) return std::unexpected(PermissionMergeError(PermissionMergeError::Document{std::move(document.error())}));

    PermissionMergeOutcome outcome;
    const auto& source_grants = source.permissions.grants;
    const auto& target_grants = target.permissions.grants;

    for (const auto& [field_key, definition] : selected.fields) {
        support::require(field_key == definition.key, kFieldKeyMismatch);
        PermissionSubject subject{PermissionSubject::Field{field_key.object_api_name, field_key.field_api_name}};
        if (definition.required) {
            outcome.required_fields.insert(std::move(subject));
            continue;
        }
        PermissionGrant source_grant{PermissionGrant::FieldAccess{}};
        if (const auto found = source_grants.find(subject); found != source_grants.end()) source_grant = found->second;
        if (auto* access = std::get_if<PermissionGrant::FieldAccess>(&source_grant.value)) {
            // A calculated field cannot be edited; reading follows from editing.
            if (definition.attributes.formula) access->editable = false;
            access->readable = access->readable || access->editable;
        }
        PermissionGrant target_grant{PermissionGrant::FieldAccess{}};
        if (const auto found = target_grants.find(subject); found != target_grants.end()) target_grant = found->second;
        PermissionGrant desired = PermissionGrant::desired(mode, source_grant, target_grant);
        outcome.desired.insert_or_assign(subject, desired);
        if (desired == target_grant) {
            outcome.unchanged.insert(std::move(subject));
        } else {
            document->replace_selected_permission(subject, desired);
        }
    }

    for (const auto& subject : selected.subjects) {
        if (const auto found = source.permissions.not_transferred.find(subject);
            found != source.permissions.not_transferred.end()) {
            outcome.not_transferred.insert_or_assign(subject, found->second);
            continue;
        }
        if (const auto found = target.permissions.not_transferred.find(subject);
            found != target.permissions.not_transferred.end()) {
            outcome.not_transferred.insert_or_assign(subject, found->second);
            continue;
        }
        PermissionGrant source_grant = permission_models::no_access_grant(subject);
        if (const auto found = source_grants.find(subject); found != source_grants.end()) source_grant = found->second;
        PermissionGrant target_grant = permission_models::no_access_grant(subject);
        if (const auto found = target_grants.find(subject); found != target_grants.end()) target_grant = found->second;
        PermissionGrant desired = PermissionGrant::desired(mode, source_grant, target_grant);
        if (desired == target_grant) {
            outcome.desired.insert_or_assign(subject, std::move(desired));
            outcome.unchanged.insert(subject);
        } else if (auto refused = document->replace_selected_permission(subject, desired)) {
            outcome.not_transferred.insert_or_assign(subject, std::move(*refused));
        } else {
            outcome.desired.insert_or_assign(subject, std::move(desired));
        }
    }

    const bool changes = std::any_of(outcome.desired.begin(), outcome.desired.end(),
                                     [&](const auto& entry) { return !outcome.unchanged.contains(entry.first); });
    if (changes) {
        auto written = document->serialize();
        if (!written) return std::unexpected(PermissionMergeError(PermissionMergeError::Document{std::move(written.error())}));
        outcome.component = PreparedPermissionComponent{target.key, std::move(*written), outcome.desired};
    }
    return outcome;
}

}  // namespace ambrel::metadata::permission_merger
