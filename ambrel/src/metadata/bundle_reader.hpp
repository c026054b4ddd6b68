#pragma once

// The bundle reader: Lightning web components ("lwc") and Aura components ("aura"), each a folder
// whose regular text files, at any depth, become the component's bundle files keyed by their
// "/"-separated path inside the bundle. A bundle carries no attributes and no document text.
//
// Only folders named like BUNDLE_NAME and without "__" (packaged) are bundles; a bundle without any
// regular file is skipped. Inside a bundle, links and other entries that are neither folders nor
// regular files are skipped, and so are names that would make an unsafe relative path (".." or "."
// segments, backslashes, control characters). Folders are walked with an explicit stack, so depth
// is unbounded; links are never followed, so the walk cannot loop. A type of another content format
// gives an empty list. Failures: "Could not list bundle directory", "Could not read bundle directory
// entry", "Could not list bundle contents", "Could not read bundle entry", "Could not read bundle
// file" (message form); "metadata is not valid UTF-8: {}" with the file's path (path form). The first
// failure ends a read and nothing of it is returned.
//
// Nothing here keeps state; every function may be called from any thread.

#include <expected>
#include <filesystem>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "domain/component.hpp"
#include "metadata/field_read_error.hpp"
#include "metadata_types/metadata_type.hpp"

namespace re2 {
class RE2;
}

namespace ambrel::metadata {

// The component reader of LightningComponentBundle and AuraDefinitionBundle.
class BundleReader {
public:
    // The bundles of the type's folder below `source_root`, in byte order of their names. A missing
    // type folder, or one that is not a real directory, gives an empty list.
    static std::expected<std::vector<domain::MetadataComponent>, FieldReadError> read(
        metadata_types::MetadataType type, const std::filesystem::path& source_root);
};

namespace bundle_reader {

// "^[A-Za-z][A-Za-z0-9_]*$": the name of a bundle folder. Compiled once, on first use, and shared by
// all threads.
class BundleNamePattern {
public:
    static constexpr std::string_view kText = "^[A-Za-z][A-Za-z0-9_]*$";

    const re2::RE2& regex() const;
    // The whole name matches.
    bool matches(std::string_view name) const;
};

inline constexpr BundleNamePattern BUNDLE_NAME{};

// Path inside the bundle -> whole text of the file.
using BundleFiles = std::map<std::string, std::string>;

// Adds every regular file of `folder` and of all its subfolders to `files`, under `prefix` ("" for the
// bundle folder itself). On an error the walk stops; what was added stays, and the caller drops it.
std::expected<void, FieldReadError> collect_bundle_files(const std::filesystem::path& folder,
                                                         const std::string& prefix, BundleFiles& files);

}  // namespace bundle_reader

}  // namespace ambrel::metadata
