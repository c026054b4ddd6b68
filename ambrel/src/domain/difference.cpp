#include "domain/difference.hpp"

#include <array>
#include <unordered_set>

#include <fmt/format.h>
#include <fmt/ranges.h>

#include "metadata_types/name_rules.hpp"
#include "metadata_types/type_descriptor.hpp"
#include "text/text.hpp"

namespace ambrel::domain {

namespace {

using metadata_types::MetadataType;

// Inline summary values are short enough to read at a glance.
constexpr std::size_t kShortSummaryChars = 24;

std::string_view value_or_null(const std::optional<std::string>& value) {
    return value ? std::string_view(*value) : std::string_view("null");
}

std::string update_summary(const ComponentDifference& row) {
    std::vector<std::string> parts;
    parts.reserve(row.attribute_differences.size() + 3);
    for (const AttributeDifference& difference : row.attribute_differences) {
        if (is_short_summary_value(difference.target_value) &&
            is_short_summary_value(difference.source_value)) {
            parts.push_back(fmt::format("{}: {} -> {}", difference.label,
                                        value_or_null(difference.source_value),
                                        value_or_null(difference.target_value)));
        } else {
            parts.push_back(difference.label);
        }
    }
    if (row.body_changed) parts.emplace_back("Body");
    if (row.definition_changed) parts.emplace_back("Definition changed");
    if (row.bundle_counts && row.bundle_counts->any()) {
        parts.push_back(row.bundle_counts->summary_segment());
    }
    return fmt::format("{}", fmt::join(parts, "; "));
}

// The object and the member of a name "{object}.{member}", split at the first ".".
std::optional<std::pair<std::string, std::string>> object_and_member(std::string_view name) {
    const auto parts = metadata_types::split_once_dot(name);
    if (!parts) return std::nullopt;
    return std::pair{std::string(parts->first), std::string(parts->second)};
}

}  // namespace

std::string_view wire_id(ChangeKind change) noexcept {
    switch (change) {
        case ChangeKind::Add: return "ADD";
        case ChangeKind::Update: return "UPDATE";
        case ChangeKind::NoChange: return "NO_CHANGE";
        case ChangeKind::NotComparable: return "NOT_COMPARABLE";
    }
    return "NO_CHANGE";
}

std::optional<ChangeKind> change_kind_from_wire_id(std::string_view text) noexcept {
    for (ChangeKind change : {ChangeKind::Add, ChangeKind::Update, ChangeKind::NoChange, ChangeKind::NotComparable}) {
        if (wire_id(change) == text) return change;
    }
    return std::nullopt;
}

std::string_view wire_id(MetadataDeployScope scope) noexcept {
    switch (scope) {
        case MetadataDeployScope::Full: return "FULL";
        case MetadataDeployScope::TrackingOnly: return "TRACKING_ONLY";
        case MetadataDeployScope::PermissionsOnly: return "PERMISSIONS_ONLY";
        case MetadataDeployScope::Records: return "RECORDS";
    }
    return "FULL";
}

std::optional<MetadataDeployScope> metadata_deploy_scope_from_wire_id(std::string_view text) noexcept {
    for (MetadataDeployScope scope :
         {MetadataDeployScope::Full, MetadataDeployScope::TrackingOnly,
          MetadataDeployScope::PermissionsOnly, MetadataDeployScope::Records}) {
        if (wire_id(scope) == text) return scope;
    }
    return std::nullopt;
}

std::string BundleChangeCounts::summary_segment() const {
    std::vector<std::string> parts;
    if (added != 0) parts.push_back(fmt::format("{} file(s) added", added));
    if (removed != 0) parts.push_back(fmt::format("{} removed", removed));
    if (changed != 0) parts.push_back(fmt::format("{} changed", changed));
    return fmt::format("{}", fmt::join(parts, ", "));
}

bool is_short_summary_value(const std::optional<std::string>& value) {
    if (!value) return true;
    return !text::has_more_chars_than(*value, kShortSummaryChars) && !text::contains_control(*value);
}

std::string ComponentDifference::own_summary() const {
    if (block_reason) return *block_reason;
    switch (change) {
        case ChangeKind::Add: return "Missing in target";
        case ChangeKind::NoChange: return "No metadata changes";
        case ChangeKind::NotComparable: return "Not comparable";
        case ChangeKind::Update: break;
    }
    return update_summary(*this);
}

std::string ComponentDifference::summary() const {
    if (!required_by) return own_summary();
    if (!block_reason && change == ChangeKind::Add) return fmt::format("Required by {}", *required_by);
    return fmt::format("{} (required by {})", own_summary(), *required_by);
}

std::optional<PermissionSubject> ComponentDifference::permission_subject() const {
    if (!deployable) return std::nullopt;
    const MetadataType type = key().metadata_type;
    const std::string& name = key().name;
    switch (type.kind()) {
        case MetadataType::Kind::CustomField:
            if (auto parts = object_and_member(name)) {
                return PermissionSubject{
                    PermissionSubject::Field{std::move(parts->first), std::move(parts->second)}};
            }
            return std::nullopt;
        case MetadataType::Kind::CustomObject:
        case MetadataType::Kind::PlatformEvent:
            return PermissionSubject{PermissionSubject::Object{name}};
        case MetadataType::Kind::ApexClass: return PermissionSubject{PermissionSubject::ApexClass{name}};
        case MetadataType::Kind::ApexPage: return PermissionSubject{PermissionSubject::ApexPage{name}};
        case MetadataType::Kind::Generic: {
            const std::string_view api_name = type.wire_id();
            if (api_name == "CustomTab") return PermissionSubject{PermissionSubject::Tab{name}};
            if (api_name == "RecordType") {
                if (auto parts = object_and_member(name)) {
                    return PermissionSubject{PermissionSubject::RecordType{
                        std::move(parts->first), std::move(parts->second)}};
                }
            }
            return std::nullopt;
        }
        default: return std::nullopt;
    }
}

std::expected<std::string, DocumentEditRefusal> ComponentDifference::editable_document_path() const {
    const ComponentKey& row_key = key();
    if (row_key.name.find("::") != std::string::npos) {
        return std::unexpected(DocumentEditRefusal::SharedDocument);
    }
    // Record-data rows have no descriptor and no document of their own.
    if (row_key.metadata_type.is_data_record()) {
        return std::unexpected(DocumentEditRefusal::SharedDocument);
    }
    const metadata_types::ContentFormat& format = row_key.metadata_type.descriptor().content_format;
    const bool own_document =
        std::holds_alternative<metadata_types::ContentFormat::DecomposedXml>(format.value) ||
        std::holds_alternative<metadata_types::ContentFormat::SourceFile>(format.value);
    if (!own_document) return std::unexpected(DocumentEditRefusal::SharedDocument);
    if (!deployable || deploy_scope != MetadataDeployScope::Full || change == ChangeKind::NoChange) {
        return std::unexpected(DocumentEditRefusal::NotDeployable);
    }
    std::optional<std::string> path = format.edited_document_path(row_key.name);
    if (!path || !metadata_types::is_safe_relative_path(*path)) {
        return std::unexpected(DocumentEditRefusal::UnsafePath);
    }
    return std::move(*path);
}

std::size_t deployed_component_count(std::span<const ComponentDifference> rows) {
    std::size_t count = 0;
    std::unordered_set<std::string> counted_layouts;
    for (const ComponentDifference& row : rows) {
        if (row.key().metadata_type == MetadataType::Layout) {
            if (auto element = metadata_types::parse_layout_element_name(row.key().name)) {
                if (counted_layouts.insert(std::string(element->layout_name)).second) ++count;
                continue;
            }
        }
        ++count;
    }
    return count;
}

}  // namespace ambrel::domain
