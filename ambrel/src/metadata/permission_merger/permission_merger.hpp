#pragma once

// Writes the selected permissions into one target Profile or PermissionSet document. For every
// selected subject it decides the grant the target must carry (the union of source and target in
// ADDITIVE mode, the source grant in ALL mode) and replaces or inserts (at its place in the kind's
// fixed section order, on a line of its own) that subject's block; access is taken away by writing
// the block with every flag off, never by removing it, since a deploy leaves what a document omits
// unchanged. Every other part of the document is written back as it was read (end tags from their
// qualified name). It reports, subject by subject, what it decided.
//
// Failures (`PermissionMergeError`):
//   "FLS mode does not transfer field-level security"                   (mode NONE)
//   "Source and target permission components must share one identity"   (keys differ)
//   a document failure: "doctype is not allowed in {} '{}'", "could not parse permission metadata:
//   {}", "permission metadata has no root element", "permission metadata root is not closed",
//   "Expected {} metadata for {} '{}'", "serialized permission metadata is not UTF-8: {}".
// A selected field whose map key differs from its definition's key is a caller fault: it throws
// support::ProgrammingError "Selected field key must match its custom field definition".
//
// New and rewritten blocks use the prefix of the root's qualified name, so that a document binding
// the metadata namespace only through a prefix keeps every block inside it. Keys of existing blocks
// are read like the strict reader reads children (character data counts as it stands), so a block
// is always found again rather than duplicated.
//
// Stateless; a merge works on its own values and may run on any thread.

#include <cstddef>
#include <expected>
#include <list>
#include <memory>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <variant>
#include <vector>

#include "domain/fls.hpp"
#include "metadata/permission_models/permission_models.hpp"

namespace ambrel::metadata::permission_merger {

using permission_models::NotTransferred;
using permission_models::PermissionComponentKey;
using permission_models::PermissionMetadataComponent;
using permission_models::PermissionSectionSchema;
using permission_models::PreparedPermissionComponent;

inline constexpr std::string_view kModeWithoutTransfer = "FLS mode does not transfer field-level security";
inline constexpr std::string_view kIdentityMismatch = "Source and target permission components must share one identity";
inline constexpr std::string_view kFieldKeyMismatch = "Selected field key must match its custom field definition";
inline constexpr std::string_view kNoRoot = "permission metadata has no root element";
inline constexpr std::string_view kRootNotClosed = "permission metadata root is not closed";
inline constexpr std::string_view kDefaultIndent = "    ";

struct PermissionMergeOutcome {
    std::optional<PreparedPermissionComponent> component;
    std::map<domain::PermissionSubject, domain::PermissionGrant> desired;
    std::set<domain::PermissionSubject> unchanged;
    std::set<domain::PermissionSubject> required_fields;
    std::map<domain::PermissionSubject, NotTransferred> not_transferred;

    friend bool operator==(const PermissionMergeOutcome&, const PermissionMergeOutcome&) = default;
};

class PermissionMergeError {
public:
    struct ModeWithoutTransfer {
        friend bool operator==(const ModeWithoutTransfer&, const ModeWithoutTransfer&) = default;
    };
    struct IdentityMismatch {
        friend bool operator==(const IdentityMismatch&, const IdentityMismatch&) = default;
    };
    struct Document {
        std::string message;
        friend bool operator==(const Document&, const Document&) = default;
    };
    using Variant = std::variant<ModeWithoutTransfer, IdentityMismatch, Document>;

    PermissionMergeError(Variant value) : value_(std::move(value)) {}
    const Variant& variant() const noexcept { return value_; }
    std::string message() const;

    friend bool operator==(const PermissionMergeError&, const PermissionMergeError&) = default;

private:
    Variant value_;
};

// The part of an element name after its last ":".
std::string_view local_name(std::string_view name) noexcept;
// The same for raw bytes, decoded leniently.
std::string local_name_vec(std::string_view bytes);
// True for text that is empty or holds only white space.
bool is_whitespace_text(std::string_view text) noexcept;

// The target's text cut at its top level. Pieces that are not changed are kept as their written
// text; blocks are found through an index by (section, key), so a merge of many subjects never
// scans or shifts the whole item list per subject.
class TargetDocument {
public:
    struct Item {
        bool element = false;
        // The item's text as it will be written.
        std::string_view written;
        std::string owned;  // holds `written` for new and rewritten blocks
        // Event items: a text event (not a comment, reference and so on).
        bool is_text = false;
        // Element items: the local name (a view into the document text, a static table or
        // `name_storage`).
        std::string_view name;
        std::string name_storage;  // a name that had to be decoded leniently
        std::optional<std::string> key;
        const PermissionSectionSchema* section = nullptr;
        bool in_namespace = false;
        // Record type blocks: the `default` and `personAccountDefault` children kept on rewrite.
        std::vector<std::pair<std::string, std::string>> kept;
        // Byte ranges of an untouched item and of its name in the document text while it is read.
        std::size_t begin = 0;
        std::size_t end = 0;
        std::size_t name_begin = 0;
        std::size_t name_size = 0;
    };
    using Items = std::list<Item>;

    // Reads the target document; failures are the messages listed at the top. The document borrows
    // the text, which must outlive it.
    static std::expected<TargetDocument, std::string> read(std::string_view text, const PermissionComponentKey& key);

    std::optional<NotTransferred> replace_selected_permission(const domain::PermissionSubject& subject,
                                                              const domain::PermissionGrant& grant);
    std::expected<std::string, std::string> serialize() const;

    const std::string& indent() const noexcept { return indent_; }
    const std::string& root_name() const noexcept { return root_name_; }
    const Items& items() const noexcept { return items_; }

    TargetDocument(TargetDocument&&) noexcept = default;
    TargetDocument& operator=(TargetDocument&&) noexcept = default;

private:
    TargetDocument() = default;
    using Position = Items::iterator;
    // The key views the key of an item of the list (whose nodes never move).
    struct IndexKey {
        std::size_t section;
        std::string_view key;
        friend bool operator==(const IndexKey&, const IndexKey&) = default;
    };
    // The first element with that key and how many there are (two or more: no block is "the" one).
    struct IndexEntry {
        Position position;
        std::size_t count = 0;
    };
    struct IndexHash {
        std::size_t operator()(const IndexKey& key) const noexcept;
    };

    std::string element_text(std::string_view element, const domain::PermissionSubject& subject,
                             const domain::PermissionGrant& grant,
                             const std::vector<std::pair<std::string, std::string>>& kept) const;
    Position insertion_point(const PermissionSectionSchema& row, std::string_view element);
    void index_add(Position position);

    // Every untouched piece points into the text read, or, when an end tag of it is not written as
    // "</name>", into this copy with its end tags rewritten from their names. Held on the heap so that
    // views into it survive a move of the document.
    std::unique_ptr<std::string> normalized_ = std::make_unique<std::string>();
    std::string_view prolog_;
    std::string_view epilog_;
    Items items_;
    std::string root_name_;
    std::string root_prefix_;
    std::string indent_;
    domain::FlsContainerKind kind_ = domain::FlsContainerKind::PermissionSet;
    std::unordered_map<IndexKey, IndexEntry, IndexHash> index_;
    // Per section number: the last element item of that section, if any.
    std::vector<std::optional<Position>> last_of_section_;
};

// The indentation of top-level elements (see TargetDocument::read).
std::string detect_indent(const TargetDocument::Items& items);

// The `default` and then `personAccountDefault` children of a record type block, each the first
// direct child of that local name with a start and an end tag, its text decoded and trimmed.
std::vector<std::pair<std::string, std::string>> preserved_children(const TargetDocument::Item& block);

class PermissionMetadataMerger {
public:
    std::expected<PermissionMergeOutcome, PermissionMergeError> merge(const PermissionMetadataComponent& source,
                                                                      const PermissionMetadataComponent& target,
                                                                      const domain::SelectedPermissions& selected,
                                                                      domain::FlsMode mode) const;
};

}  // namespace ambrel::metadata::permission_merger
