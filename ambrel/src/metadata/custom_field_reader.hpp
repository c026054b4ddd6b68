#pragma once

// Child-text parsing of CustomField documents and the field-history switches read from them.

#include <array>
#include <expected>
#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>

#include "metadata/field_read_error.hpp"
#include "xml/xml.hpp"

namespace ambrel::metadata::field_reader {

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
