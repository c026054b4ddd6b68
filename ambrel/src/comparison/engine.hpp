#pragma once

// The component comparison engine: one difference row per source component of one metadata type,
// telling what a deploy of the source would change in the target. Components found only in the
// target produce no row. Pure functions; safe to run on several threads at once.

#include <optional>
#include <set>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "domain/component.hpp"
#include "domain/difference.hpp"
#include "metadata_types/type_descriptor.hpp"

namespace ambrel::comparison {

// The block reason of a row whose container the target lacks.
inline constexpr std::string_view kTargetObjectMissing = "Target object is missing";

class ComponentComparisonEngine {
public:
    ComponentComparisonEngine() = delete;

    // The rows of the source components, ordered by name byte-wise (stable). The target is indexed
    // by key (a key given twice: the later component counts). `missing_containers` names the
    // objects the target lacks: a component inside one is blocked without looking at the target.
    // Each row copies its source component.
    static std::vector<domain::ComponentDifference> compare(const metadata_types::TypeDescriptor& descriptor,
                                                            std::span<const domain::MetadataComponent> source,
                                                            std::span<const domain::MetadataComponent> target,
                                                            const std::set<std::string>& missing_containers);

    // The same, moving the source components into their rows instead of copying them.
    static std::vector<domain::ComponentDifference> compare(const metadata_types::TypeDescriptor& descriptor,
                                                            std::vector<domain::MetadataComponent>&& source,
                                                            std::span<const domain::MetadataComponent> target,
                                                            const std::set<std::string>& missing_containers);
};

// The differing attributes, in the descriptor's attribute order: numeric attributes read only Number
// values (shown in decimal), text attributes only Text values (compared byte for byte); a value beyond
// the end of a side's list is absent.
std::vector<domain::AttributeDifference> compare_attributes(const metadata_types::TypeDescriptor& descriptor,
                                                            std::span<const domain::AttributeValue> source,
                                                            std::span<const domain::AttributeValue> target);

// Files added (only in the source), changed (texts differ) and removed (only in the target); none
// when all three are zero.
std::optional<domain::BundleChangeCounts> bundle_change_counts(const domain::MetadataComponent& source,
                                                               const domain::MetadataComponent& target);

// "Track History" and then "Track Feed History" when the field-history switches of the two field
// documents differ, with the values "true" / "false". An unreadable document has both switches off.
std::vector<domain::AttributeDifference> tracking_differences(const domain::MetadataComponent& source,
                                                              const domain::MetadataComponent& target);

// The container of a component: the part of the name before the first "." for the ObjectPart
// scope (custom fields); otherwise, or without a ".", the whole name. A view into `full_name`.
std::string_view container_name(const metadata_types::TypeDescriptor& descriptor, std::string_view full_name);

// True when the two documents are equal once every "\r\n" is read as "\n". Allocates nothing.
bool documents_equal_ignoring_crlf(std::string_view a, std::string_view b) noexcept;

}  // namespace ambrel::comparison
