#pragma once

// Reading a package manifest (package.xml) that the user imports, and mapping its `types` sections
// onto this system's metadata types.
//
// `read_package_manifest` reads at most 5,242,880 bytes of a regular file (a link is followed; a FIFO
// or a device is refused at once, without blocking), checks that they are UTF-8 and parses them with
// `parse_package_xml`. The parse is namespace-blind (elements count by local name), ignores what it
// does not know, expands no entity (a DOCTYPE is refused) and walks any depth without recursion.
// `map_manifest_sections` never fails: whatever the system cannot use becomes a note.
//
// Errors (`ManifestReadError`), with their display texts:
//   Read:     "Could not read the manifest file: {}" (the system's description, "not a regular file",
//             or the description of the first invalid UTF-8 sequence)
//   TooLarge: "The manifest file is too large (limit 5 MB)."
//   Parse:    "Could not parse package.xml: {}" with "root element must be Package", "doctype is not
//             allowed", "a types section has no name", "unknown entity: {}", "unexpected end of
//             document" or the XML reader's description
// Notes of the mapping:
//   "Member '{}' is namespaced and was skipped."
//   "Field member '{}' was widened to object '{}'."
//   "Manifest type '{}' is not supported and was skipped."
// Pure functions; safe on any thread.

#include <cstddef>
#include <expected>
#include <filesystem>
#include <map>
#include <set>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "metadata_types/metadata_type.hpp"

namespace ambrel::metadata::manifest_reader {

// The largest manifest that is read.
inline constexpr std::size_t kMaxManifestBytes = 5'242'880;
inline constexpr std::string_view kNotARegularFile = "not a regular file";

// One `types` element: its first non-empty name and its non-empty members, trimmed, in document order.
struct ManifestSection {
    std::string name;
    std::vector<std::string> members;

    friend bool operator==(const ManifestSection&, const ManifestSection&) = default;
};

struct ParsedManifest {
    std::vector<ManifestSection> sections;

    friend bool operator==(const ParsedManifest&, const ParsedManifest&) = default;
};

class ManifestReadError {
public:
    struct Read {
        std::string detail;
        friend bool operator==(const Read&, const Read&) = default;
    };
    struct TooLarge {
        friend bool operator==(const TooLarge&, const TooLarge&) = default;
    };
    struct Parse {
        std::string reason;
        friend bool operator==(const Parse&, const Parse&) = default;
    };
    using Variant = std::variant<Read, TooLarge, Parse>;

    template <class T>
        requires std::is_constructible_v<Variant, T&&>
    ManifestReadError(T&& value) : variant_(std::forward<T>(value)) {}

    const Variant& variant() const noexcept { return variant_; }
    template <class T>
    const T* get_if() const noexcept {
        return std::get_if<T>(&variant_);
    }
    std::string message() const;

    friend bool operator==(const ManifestReadError&, const ManifestReadError&) = default;

private:
    Variant variant_;
};

struct ManifestMapping {
    // Only types with at least one selected name.
    std::map<metadata_types::MetadataType, std::set<std::string>> selection;
    // Types for which every component is asked for (a member "*").
    std::set<metadata_types::MetadataType> wildcard_types;
    // Full sentences, in the order in which they arose.
    std::vector<std::string> notes;

    friend bool operator==(const ManifestMapping&, const ManifestMapping&) = default;
};

std::expected<ParsedManifest, ManifestReadError> read_package_manifest(const std::filesystem::path& path);

std::expected<ParsedManifest, ManifestReadError> parse_package_xml(std::string_view document);

// The local name as text; a `Parse` error with the decoder's description when it is not UTF-8.
std::expected<std::string, ManifestReadError> local_name(std::string_view bytes);

ManifestMapping map_manifest_sections(const ParsedManifest& manifest);

}  // namespace ambrel::metadata::manifest_reader
