#pragma once

// The user permissions of Profile and PermissionSet documents: the "userPermissions" blocks (direct
// children of the root in the Metadata API namespace, each naming one permission in its "name"
// child), their removal by text edits that leave every other byte as it was, the note for a row,
// the catalogue of an org's user permissions built from the describe of its PermissionSet object,
// and the capped list formatter that the adaptation notes share.
//
// Leading byte-order marks (any number) are set aside and put back in front of a rewritten document.
// A document is refused (UserPermissionFilterError, displayed "Could not parse the permission set
// document: {}") with:
// - "a <userPermissions> block does not carry exactly one non-empty <name>";
// - "unknown entity: {name}", or the UTF-8 decoder's message for an entity name that is not UTF-8;
// - the pull reader's own error text for malformed XML.
// A DOCTYPE is never expanded. Pure functions; safe from any thread. A `PermissionReader` belongs to
// one reading on one thread.

#include <cstddef>
#include <expected>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "data/schema.hpp"
#include "metadata/document_edits/document_edits.hpp"
#include "metadata/user_permission_filter/user_permission_catalog.hpp"
#include "xml/xml.hpp"

namespace ambrel::metadata::user_permission_filter {

inline constexpr std::string_view kPermissionBlockRefusal =
    "a <userPermissions> block does not carry exactly one non-empty <name>";
inline constexpr std::string_view kPermissionSetParseMessage = "Could not parse the permission set document: {}";
// More names than this are listed as the first ones and "... and {} more".
inline constexpr std::size_t kListedNameLimit = 10;

class UserPermissionFilterError {
public:
    explicit UserPermissionFilterError(std::string message) : message_(std::move(message)) {}
    // The refusal text alone.
    const std::string& message() const noexcept { return message_; }
    // "Could not parse the permission set document: {}" with the refusal text.
    std::string display() const;
    bool operator==(const UserPermissionFilterError&) const = default;

private:
    std::string message_;
};

struct FilteredUserPermissions {
    std::string document;
    // The names whose blocks were removed.
    std::set<std::string> left_out;
    // Distinct names of the document before filtering.
    std::size_t total = 0;

    // "Kept {} of {} user permissions; left out (not among the user permissions the target org
    // reports): {}."; none when nothing was left out.
    std::optional<std::string> message() const;
    bool operator==(const FilteredUserPermissions&) const = default;
};

// The catalogue of the "Permissions…" fields of a described PermissionSet object.
UserPermissionCatalog user_permission_catalog(const data::schema::ObjectSchema& permission_set);

std::expected<std::set<std::string>, UserPermissionFilterError> user_permission_names(std::string_view document);

// One "userPermissions" block as read: its name and its byte range, counted in the document after
// its leading byte-order marks.
struct PermissionBlock {
    std::string name;
    std::size_t start = 0;
    std::size_t end = 0;

    bool operator==(const PermissionBlock&) const = default;
};
using PermissionBlocks = std::vector<PermissionBlock>;

// Collects the blocks from the events of a reading that someone else drives, so that one pass over
// a document can feed several readers. Feed it every event of the document after its byte-order
// marks, in order, then the Eof event, or `reader_failed` with the reader's fault. Once it has
// refused the document it ignores what follows.
class PermissionReader {
public:
    // `event` must be the reader's last event.
    void take(const xml::Reader& reader, const xml::Event& event);
    void reader_failed(const xml::Error& error);
    // True once the Eof event or a refusal ended the reading.
    bool finished() const noexcept { return result_.has_value(); }
    // The blocks, or the refusal; a reading that never finished is a programming error.
    std::expected<PermissionBlocks, UserPermissionFilterError> result() &&;

private:
    void refuse(std::string message);

    PermissionBlocks blocks_;
    std::optional<std::expected<void, std::string>> result_;
    // The open block's names and start; none outside blocks.
    std::optional<std::pair<std::vector<std::string>, std::size_t>> pending_;
    bool capturing_ = false;
    std::string buffer_;
    std::size_t depth_ = 0;
};

// The blocks of a document (leading byte-order marks set aside).
std::expected<PermissionBlocks, UserPermissionFilterError> permission_blocks(std::string_view document);
// The distinct names of blocks read before.
std::set<std::string> names_of(const PermissionBlocks& blocks);

std::expected<FilteredUserPermissions, UserPermissionFilterError> filter_user_permissions(
    std::string_view document, const std::set<std::string>& remove);
// What filter_user_permissions leaves out of a document whose blocks were read before (offsets after
// its byte-order marks), without writing the document.
struct PermissionCuts {
    std::set<std::string> left_out;
    // Distinct names of the document before filtering.
    std::size_t total = 0;
    // The ranges to cut, in document order, counted after the byte-order marks.
    std::vector<document_edits::Bounds> ranges;
};
PermissionCuts user_permission_cuts(std::string_view document, const PermissionBlocks& blocks,
                                    const std::set<std::string>& remove);
// The same removal over blocks read before from this very document; nothing is read again.
FilteredUserPermissions filter_user_permissions(std::string_view document, const PermissionBlocks& blocks,
                                                const std::set<std::string>& remove);

// The names joined with ", "; beyond ten, the first ten and "... and {} more".
std::string listed_names(const std::set<std::string>& names);
// The same rule over names in the given order.
std::string listed_names(const std::vector<std::string>& names);

}  // namespace ambrel::metadata::user_permission_filter
