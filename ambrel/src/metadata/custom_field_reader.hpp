#pragma once

// The custom field reader: every "objects/{object}/fields/{field}.field-meta.xml" document of a source
// tree becomes one CustomFieldDefinition (names from the folder and file names, never from the
// document); the child-text parsing of CustomField documents; and the field-history switches.
//
// The reader applies no namespace rule: fields of packaged objects and packaged fields are read like
// all others. Links are never followed; entries that are not directories (object folders, "fields")
// or regular files (field documents) are skipped. Failures: "Could not list metadata directory",
// "Could not read metadata directory entry", "Could not read custom field metadata" (message form);
// "metadata is not valid UTF-8: {}", "root element must be CustomField", "doctype is not allowed",
// "unknown entity: {}", "invalid {element}: {reason}", "invalid required flag: {}" and the XML
// reader's description of a syntax error (path form). The first failure ends a read and nothing of
// it is returned.
//
// Nothing here keeps state; every function may be called from any thread.

#include <array>
#include <cstdint>
#include <expected>
#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "domain/component.hpp"

#include "metadata/field_read_error.hpp"
#include "xml/xml.hpp"

namespace ambrel::metadata {

// The component reader of the CustomField type.
class CustomFieldMetadataReader {
public:
    // The definitions of every object folder of "objects" below `source_root`: object folders in
    // byte order of their names, and within each its field documents in byte order. A missing
    // "objects" folder, or one that is not a real directory, gives an empty list.
    static std::expected<std::vector<domain::CustomFieldDefinition>, FieldReadError> read(
        const std::filesystem::path& source_root);
    // The definitions of one object folder, named `object_name`; a folder without a real "fields"
    // directory gives none.
    static std::expected<std::vector<domain::CustomFieldDefinition>, FieldReadError> read_object_directory(
        const std::filesystem::path& object_folder, std::string_view object_name);
};

}  // namespace ambrel::metadata

namespace ambrel::metadata::field_reader {

// The file-name ending of a field document.
inline constexpr std::string_view kFieldEnding = ".field-meta.xml";

// The direct children of a CustomField root that the field reader and the tracking toggles read,
// in this fixed order: the reader takes the first nine, the toggles the last two.
inline constexpr std::array<std::string_view, 11> kWantedElements = {
    "type",  "formula", "defaultValue", "referenceTo",  "length",           "precision",
    "scale", "label",   "required",     "trackHistory", "trackFeedHistory",
};
inline constexpr std::span<const std::string_view> kReadElements{kWantedElements.data(), 9};
inline constexpr std::span<const std::string_view> kTrackingElements{kWantedElements.data() + 9, 2};

// Element local name -> normalised text of its first occurrence. For lookups only.
using ChildTexts = std::unordered_map<std::string, std::string>;

// The two field-history switches of one field document.
struct TrackingToggles {
    bool track_history = false;       // "trackHistory"
    bool track_feed_history = false;  // "trackFeedHistory"
    bool operator==(const TrackingToggles&) const = default;
};

// The paths of every entry of the folder in listing order; "Could not list metadata directory" or
// "Could not read metadata directory entry" (message form).
std::expected<std::vector<std::filesystem::path>, FieldReadError> list_entries(const std::filesystem::path& folder);

// The optional integer of `element`: absent without an entry; otherwise an optional sign and ASCII
// digits fitting 32 bits, else the path form "invalid {element}: {reason}" with "cannot parse integer
// from empty string", "invalid digit found in string", "number too large to fit in target type" or
// "number too small to fit in target type".
std::expected<std::optional<std::int32_t>, FieldReadError> parse_optional_i32(const ChildTexts& texts,
                                                                              std::string_view element,
                                                                              const std::filesystem::path& path);

// Appends what an entity or character reference stands for: a character reference's character,
// or one of the five predefined entities. Any other name fails with "unknown entity: {}"; a
// malformed character reference with the XML reader's description (path form, with `path`).
std::expected<void, FieldReadError> push_reference(std::string& buffer, const xml::Event& reference,
                                                   const std::filesystem::path& path);

// Accepts only a root "CustomField" in the Metadata API namespace; otherwise the path form
// "root element must be CustomField".
std::expected<void, FieldReadError> validate_root(const xml::Namespace& ns, std::string_view local_name,
                                                  const std::filesystem::path& path);

// The wanted name an element stands for: its local name when it is in the Metadata API namespace
// and among `wanted`, else none.
std::optional<std::string> wanted_local_name(const xml::Namespace& ns, std::string_view local_name,
                                             std::span<const std::string_view> wanted);

// The texts of the wanted direct children of a CustomField document: all character data of each
// (nested elements included), references resolved, "\r\n" and "\r" made "\n", trimmed of Unicode
// white space; the first occurrence of a name wins, an empty-element child gives the empty text.
// A document that ends with elements still open gives what was collected (without the open
// capture). Fails (path form) on a wrong root, a DOCTYPE, an unknown entity inside a wanted
// element, or malformed XML. `path` serves only the errors.
std::expected<ChildTexts, FieldReadError> parse_child_texts(std::string_view text,
                                                            const std::filesystem::path& path,
                                                            std::span<const std::string_view> wanted);

// The switches "trackHistory" and "trackFeedHistory": each true exactly when its element's text is
// "true". Never fails: a document that cannot be parsed gives both false.
TrackingToggles read_tracking_toggles(std::string_view text, const std::filesystem::path& path);

}  // namespace ambrel::metadata::field_reader
