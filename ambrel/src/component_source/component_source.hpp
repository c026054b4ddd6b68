#pragma once

// The raw source of one compared component, side by side: the documents of the source and the
// target (and the metadata sidecars of source-file types), read from the two retrieved SFDX projects
// of the comparison's workspace. Reading is best effort: a side without the file has no text.

#include <expected>
#include <filesystem>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "domain/difference.hpp"
#include "metadata_types/metadata_type.hpp"

namespace ambrel::component_source {

// The folder below each project root that holds its metadata; derived paths are relative to it.
inline constexpr std::string_view kProjectSourceFolder = "force-app/main/default";

struct ComponentSource {
    std::string source_label{};
    std::string target_label{};
    std::optional<std::string> source_text{};
    std::optional<std::string> target_text{};
    std::optional<std::string> source_metadata_text{};
    std::optional<std::string> target_metadata_text{};

    bool operator==(const ComponentSource&) const = default;
};

struct ComponentSourceError {
    enum class Kind : std::uint8_t {
        // No row matches, or no safe path can be derived for it.
        NotInComparison,
        // The type's files give no single document to show (record-data types among them).
        UnsupportedType,
    };
    Kind kind = Kind::NotInComparison;

    // "The requested component is not part of the active comparison." or
    // "Viewing this metadata type is not supported yet."
    std::string message() const;

    bool operator==(const ComponentSourceError&) const = default;
};

// The texts of the first row whose key is (type, name), names compared exactly. A layout element
// row ("{layout}::…") shows the whole layout document; a bundle shows all its files; a source-file
// type also shows its "-meta.xml" sidecar. When `source_override` is given (the user's edited
// source document) the source text comes from that file; the sidecar never does.
std::expected<ComponentSource, ComponentSourceError> resolve_component_source(
    std::span<const domain::ComponentDifference> rows, std::string_view source_label, std::string_view target_label,
    const std::filesystem::path& source_project_root, const std::filesystem::path& target_project_root,
    metadata_types::MetadataType metadata_type, std::string_view name,
    const std::optional<std::filesystem::path>& source_override);

// The whole file below the project's source folder as UTF-8 text; none when it is missing, is not
// a regular file (a symbolic link is not followed), cannot be read, is larger than the component
// document limit (it is then never read whole) or is not valid UTF-8.
std::optional<std::string> read_component(const std::filesystem::path& project_root, std::string_view relative_path);

// Every file of a bundle folder below the project's source folder, in byte order of their relative
// paths, each as "=== {path} ===\n", its text, a line feed when the text does not end with one, and
// a blank line. None when the folder is not a directory (a link to one does not count) or holds no
// readable file.
std::optional<std::string> read_bundle(const std::filesystem::path& project_root, std::string_view folder);

// Adds the regular files below `folder` to `texts`, keyed by "{prefix}/{relative path}" (no prefix
// when it is empty). Links, unsafe names and files that are not valid UTF-8 are skipped.
void collect_bundle_texts(const std::filesystem::path& folder, std::string_view prefix,
                          std::map<std::string, std::string>& texts);

}  // namespace ambrel::component_source
