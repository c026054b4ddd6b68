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
// A DOCTYPE is never expanded. Pure functions; safe from any thread. A `SectionReader` belongs to
// one reading on one thread.

#include <cstddef>
#include <cstdint>
#include <expected>
#include <map>
#include <optional>
#include <set>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "metadata/document_edits/document_edits.hpp"
#include "xml/xml.hpp"

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

// One permission section as read: its references in document order and its byte range, counted in
// the document after its leading byte-order marks.
struct ReferenceSection {
    std::vector<std::pair<ReferenceKind, std::string>> references;
    std::size_t start = 0;
    std::size_t end = 0;

    bool operator==(const ReferenceSection&) const = default;
};
using ReferenceSections = std::vector<ReferenceSection>;

// Collects the sections from the events of a reading that someone else drives, so that one pass
// over a document can feed several readers. Feed it every event of the document after its
// byte-order marks, in order, then the Eof event, or `reader_failed` with the reader's fault. Once
// it has refused the document it ignores what follows.
class SectionReader {
public:
    // `event` must be the reader's last event.
    void take(const xml::Reader& reader, const xml::Event& event);
    void reader_failed(const xml::Error& error);
    // True once the Eof event or a refusal ended the reading.
    bool finished() const noexcept { return result_.has_value(); }
    // The sections, or the refusal; a reading that never finished is a programming error.
    std::expected<ReferenceSections, ProfileFilterError> result() &&;

private:
    void refuse(std::string message);
    void finish_section(std::size_t end);

    ReferenceSections sections_;
    std::optional<std::expected<void, std::string>> result_;
    // The rule of the open section (its place in the table of sections), none outside sections.
    std::optional<std::size_t> rule_;
    std::size_t section_start_ = 0;
    std::vector<std::pair<ReferenceKind, std::string>> pending_;
    std::optional<ReferenceKind> capture_;
    std::string buffer_;
    std::size_t depth_ = 0;
};

// The sections of a document (leading byte-order marks set aside).
std::expected<ReferenceSections, ProfileFilterError> reference_sections(std::string_view document);
// The references per kind of sections read before.
ProfileReferences references_of(const ReferenceSections& sections);

// Cuts every section that holds a reference on the list: a section on its own indented line leaves
// with its indentation and one following line ending. A reference that leaves only with its section
// (the layout of a removed layout assignment) is counted neither as removed nor as kept.
std::expected<ProfileTrim, ProfileFilterError> filter_profile_references(std::string_view document,
                                                                         const ReferencesByKind& remove);
// The same cut over sections read before from this very document (offsets after its byte-order
// marks); nothing is read again. `removed_first` (same counting, sorted, disjoint, none overlapping
// a section) leave the document too, as if they had been cut before it was read: the result is the
// same bytes as cutting them, reading the remaining document and cutting its sections.
ProfileTrim filter_profile_references(std::string_view document, const ReferenceSections& sections,
                                      const ReferencesByKind& remove,
                                      std::span<const document_edits::Bounds> removed_first = {});
// The same without writing the document: the trim (its document left empty) and the removals, the
// `removed_first` ranges among them, ready for document_edits (offsets after the byte-order marks).
struct ReferenceCuts {
    ProfileTrim trim;
    std::vector<document_edits::Edit> removals;
};
ReferenceCuts profile_reference_cuts(std::string_view document, const ReferenceSections& sections,
                                     const ReferencesByKind& remove,
                                     std::span<const document_edits::Bounds> removed_first = {});

}  // namespace ambrel::metadata::profile_reference_filter
