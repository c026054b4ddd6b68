#pragma once

// The SFDX project of a repository side and what is read below it. `SfdxLayout` is the part of
// sfdx-project.json the system relies on: the package directories that are safe relative paths, in
// file order, and the refused entries. `list_components` derives the members of one metadata type from
// the file paths below the package prefixes ("<package directory>/main/default"); `materialize` copies
// the files of selected components into a metadata directory on disk, in the shape of a retrieve.
//
// Failures (GitError):
//   NotAnSfdxProject "The source repository is not an SFDX project (missing sfdx-project.json)." or
//                    "The source repository lists package directories, but none of them is a safe
//                    relative path: {refused}"
//   UnsafePath       "The repository contains an unsafe metadata path. Offending path: {path}" (a file
//                    already present in the target, or a link on the way below it)
//   FileSystem       "Could not create the metadata directory: {}", "Could not write the metadata file:
//                    {}" (the description of the error's kind)
//   and the reader's failures unchanged.
// Writing below the target walks every folder without following a link (a link on the way is
// "UnsafePath" with the relative path) and creates files exclusively.
//
// Pure functions over their arguments; safe on any thread as far as the reader is.

#include <expected>
#include <filesystem>
#include <map>
#include <cstddef>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "domain/cancellation.hpp"
#include "domain/salesforce_object.hpp"
#include "git/container_documents.hpp"
#include "git/git_error.hpp"
#include "git/reader.hpp"
#include "metadata_types/metadata_type.hpp"

namespace ambrel::git {

inline constexpr std::string_view kSfdxProjectFile = "sfdx-project.json";
inline constexpr std::string_view kMainDefault = "main/default";

struct ParsedSfdxProject;

struct SfdxLayout {
    // Safe package directories, normalised, in file order, without duplicates; never empty.
    std::vector<std::string> package_directories;
    // Normalised entries that are not safe relative paths, in file order, without duplicates.
    std::vector<std::string> refused_directories;

    // The layout, or no layout and the refused entries for a file that lists no safe directory.
    static ParsedSfdxProject from_text(std::string_view text);
    static std::expected<SfdxLayout, GitError> read(const GitContentReader& reader);

    // "<package directory>/main/default" per package directory, in order.
    std::vector<std::string> prefixes() const;

    friend bool operator==(const SfdxLayout&, const SfdxLayout&) = default;
};

struct ParsedSfdxProject {
    std::optional<SfdxLayout> layout;
    // Empty when a layout results.
    std::vector<std::string> refused;
};

namespace layout {

using Selection = std::map<metadata_types::MetadataType, std::set<std::string>>;

// The members of the type found below the layout's prefixes, in byte order; packaged ones and names
// the type's member rule refuses (the rule an org selection passes) are left out.
std::expected<std::vector<domain::SalesforceObject>, GitError> list_components(
    const GitContentReader& reader, const SfdxLayout& layout, metadata_types::MetadataType type,
    const ContainerDocuments& documents);

// What a materialisation left out. A component that cannot be compared (a member name its type
// refuses, a file whose path is not safe, a document that is not UTF-8 or too large) is skipped whole:
// its files are removed again, it is named in `skipped` and its reason is one of `warnings`.
struct MaterializeReport {
    // One sentence per skipped component, in selection order.
    std::vector<std::string> warnings;
    Selection skipped;
    // The distinct names below the package directories that are not UTF-8 (never listed, never read).
    std::size_t names_not_utf8 = 0;

    friend bool operator==(const MaterializeReport&, const MaterializeReport&) = default;
};

// "{name} ({type}) was skipped: its name is not a valid member name of its type."
std::string refused_member_warning(metadata_types::MetadataType type, std::string_view name);

// Copies the files of the selected components into `target_directory` (created with its missing
// parents when the first file is written; each relative path written once, the first package
// directory winning). The first failure that is not a component's own ends the call; files written
// before it stay. A cancelled token ends the call before the next file ("The git command was cancelled.").
std::expected<MaterializeReport, GitError> materialize(const GitContentReader& reader, const SfdxLayout& layout,
                                                       const Selection& selection,
                                                       const std::filesystem::path& target_directory,
                                                       const domain::CancellationToken& token = domain::NeverCancelled{});

}  // namespace layout

}  // namespace ambrel::git
