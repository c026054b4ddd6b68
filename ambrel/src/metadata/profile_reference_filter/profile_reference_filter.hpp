#pragma once

// The component references of Profile and PermissionSet documents, and their removal. Thirteen
// permission sections (direct children of the root in the Metadata API namespace) each name one
// referenced component in a fixed child element ("fieldPermissions" its "field", "layoutAssignments"
// its "layout" and optionally a "recordType", ...). This unit lists those references per kind, cuts
// out every section whose reference is on a given list (every other byte stays as it was), and maps
// the element tag that a rejected deploy names in its failure text to a kind.
//
// Leading byte-order marks (any number) are set aside; offsets count after them and a rewritten
// document gets them back in front. Elements outside the Metadata API namespace are never sections.
//
// Failures (ProfileFilterError, whose message is the whole text):
// - "a block does not carry exactly one non-empty reference" (a section without its reference, with
//   two, with an empty one, with two or an empty second reference, written as an empty element, or
//   still open at the end of input);
// - "the document ended before its root element was closed";
// - "unknown entity: {name}" for a general entity other than the five predefined ones;
// - the UTF-8 decoder's message for an entity name that is not UTF-8;
// - the pull reader's own error text for malformed XML.
// A DOCTYPE is never expanded. Pure functions; safe from any thread.

#include <cstddef>
#include <cstdint>
#include <expected>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <utility>

namespace ambrel::metadata::profile_reference_filter {

// The kind of a referenced component, in this order.
enum class ReferenceKind : std::uint8_t {
    Field,
    Object,
    ApexClass,
    ApexPage,
    Tab,
    RecordType,
    Layout,
    Application,
    CustomPermission,
    Flow,
    CustomMetadataType,
    CustomSetting,
};

inline constexpr std::size_t kReferenceKindCount = 12;

// The word by which failure texts name the kind: "field", "object", "apexClass", ...
std::string_view problem_tag(ReferenceKind kind) noexcept;
// The Metadata API type name of the kind: "CustomField", "CustomObject", "ApexClass", "ApexPage",
// "CustomTab", "RecordType", "Layout", "CustomApplication", "CustomPermission", "Flow",
// "CustomMetadataType", "CustomSetting".
std::string_view metadata_type_name(ReferenceKind kind) noexcept;
// The kind of an exact problem tag (case-sensitive, untrimmed); none for any other text.
std::optional<ReferenceKind> reference_kind_for_problem_tag(std::string_view tag) noexcept;

// The names of a document per kind; a kind is present only with at least one name.
struct ProfileReferences {
    std::map<ReferenceKind, std::set<std::string>> names;

    bool is_empty() const noexcept;
    bool operator==(const ProfileReferences&) const = default;
};

// The names to remove per kind (compared exactly).
using ReferencesByKind = std::map<ReferenceKind, std::set<std::string>>;

struct ProfileTrim {
    std::string document;
    // The (kind, name) pairs whose sections were cut because of them.
    std::set<std::pair<ReferenceKind, std::string>> removed;
    // Distinct (kind, name) pairs of the whole document.
    std::size_t total = 0;
    // Distinct (kind, name) pairs of the sections that stayed.
    std::size_t kept = 0;

    bool operator==(const ProfileTrim&) const = default;
};

class ProfileFilterError {
public:
    explicit ProfileFilterError(std::string message) : message_(std::move(message)) {}
    const std::string& message() const noexcept { return message_; }
    bool operator==(const ProfileFilterError&) const = default;

private:
    std::string message_;
};

inline constexpr std::string_view kBlockReferenceRefusal = "a block does not carry exactly one non-empty reference";
inline constexpr std::string_view kRootNotClosedRefusal = "the document ended before its root element was closed";

std::expected<ProfileReferences, ProfileFilterError> profile_references(std::string_view document);

// Cuts every section that holds a reference on the list: a section on its own indented line leaves
// with its indentation and one following line ending. A reference that leaves only with its section
// (the layout of a removed layout assignment) is counted neither as removed nor as kept.
std::expected<ProfileTrim, ProfileFilterError> filter_profile_references(std::string_view document,
                                                                         const ReferencesByKind& remove);

}  // namespace ambrel::metadata::profile_reference_filter
