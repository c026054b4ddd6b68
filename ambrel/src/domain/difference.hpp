#pragma once

// One row of a comparison and the texts and facts that review and deploy derive from it.

#include <cstddef>
#include <cstdint>
#include <expected>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "domain/component.hpp"
#include "domain/permission.hpp"

namespace ambrel::domain {

// Kind of change, in this order.
enum class ChangeKind : std::uint8_t {
    Add,       // "ADD": the component is missing in the target
    Update,    // "UPDATE": it differs
    NoChange,  // "NO_CHANGE"
    // "NOT_COMPARABLE": a side could not be read as it stands (its block reason says why); never
    // deployable.
    NotComparable,
};

std::string_view wire_id(ChangeKind change) noexcept;
std::optional<ChangeKind> change_kind_from_wire_id(std::string_view text) noexcept;

// What a deploy of a row carries, in this order.
enum class MetadataDeployScope : std::uint8_t {
    Full,             // "FULL": the component's metadata
    TrackingOnly,     // "TRACKING_ONLY": only the history tracking settings of a standard or
                      // packaged field
    PermissionsOnly,  // "PERMISSIONS_ONLY"
    Records,          // "RECORDS": the row stands for record data
};

std::string_view wire_id(MetadataDeployScope scope) noexcept;
std::optional<MetadataDeployScope> metadata_deploy_scope_from_wire_id(std::string_view text) noexcept;

// One differing attribute; an absent value means the side has none.
struct AttributeDifference {
    std::string label;
    std::optional<std::string> target_value;
    std::optional<std::string> source_value;

    bool operator==(const AttributeDifference&) const = default;
};

// File counts of a bundle row; a row carries one only when a count is non-zero.
struct BundleChangeCounts {
    std::uint64_t added = 0;
    std::uint64_t removed = 0;
    std::uint64_t changed = 0;

    bool any() const noexcept { return added != 0 || removed != 0 || changed != 0; }
    // "{} file(s) added", "{} removed", "{} changed" for the non-zero counts, joined with ", ".
    std::string summary_segment() const;

    bool operator==(const BundleChangeCounts&) const = default;
};

// Why a row has no document that the user may edit.
enum class DocumentEditRefusal : std::uint8_t {
    SharedDocument,  // the document is not the row's alone (layout elements, containers, bundles)
    NotDeployable,   // the row is not deployable, not a full deploy, or unchanged
    UnsafePath,      // the name renders no safe relative path
};

// One comparison row.
struct ComponentDifference {
    // The source component; its key is the row's key.
    MetadataComponent source;
    ChangeKind change = ChangeKind::Add;
    // In attribute order.
    std::vector<AttributeDifference> attribute_differences;
    std::optional<BundleChangeCounts> bundle_counts;
    // Why the row cannot be deployed, for example "Target object is missing".
    std::optional<std::string> block_reason;
    // The name of the row that needs this row (set by the dependency analysis).
    std::optional<std::string> required_by;
    bool deployable = false;
    bool body_changed = false;
    // The normalised documents differ.
    bool definition_changed = false;
    // The user replaced the source document of this row.
    bool edited = false;
    MetadataDeployScope deploy_scope = MetadataDeployScope::Full;

    const ComponentKey& key() const noexcept { return source.key; }

    // The block reason; else "Missing in target" for Add, "No metadata changes" for NoChange; for
    // Update the attribute, body, definition and bundle parts joined with "; ".
    std::string own_summary() const;
    // The own summary, "Required by {}" for an added unblocked row that something requires, or
    // "{own summary} (required by {})".
    std::string summary() const;

    // What field-level security or other permissions can be granted on for this row; none for a
    // row that is not deployable or of a type that carries no permissions.
    std::optional<PermissionSubject> permission_subject() const;
    bool can_sync_permissions() const { return permission_subject().has_value(); }

    // The relative path of the document that belongs to this row alone and may be edited.
    std::expected<std::string, DocumentEditRefusal> editable_document_path() const;
    bool source_is_editable() const { return editable_document_path().has_value(); }

    bool operator==(const ComponentDifference&) const = default;
};

// True for an absent value, or a text of at most 24 characters (Unicode scalar values) without a
// control character (U+0000–U+001F, U+007F–U+009F): such values are shown inline in a summary.
bool is_short_summary_value(const std::optional<std::string>& value);

// The number of components among the rows: element rows of one page layout count as one component
// together (a whole-layout row of that layout counts on its own).
std::size_t deployed_component_count(std::span<const ComponentDifference> rows);

}  // namespace ambrel::domain
