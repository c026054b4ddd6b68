#pragma once

// Writes the component snapshots of one package into the package directory of a temporary SFDX
// project, below "main/default". Every path comes from the component's type and full name alone: a
// snapshot's own idea of where it lives is only checked (its source file must sit at the same
// relative position, reached without links), never used. Files are created exclusively and must be
// regular files afterwards, so nothing present is ever overwritten, followed or blocked on.
// Container children are collected and their documents written last, children sorted by element
// then full name. It never removes anything: on failure the caller drops the whole project.
//
// Failures are returned as messages, exactly: "Bundle metadata types are not yet supported",
// "Component metadata destination path could not be derived", "Component destination path is not a
// safe relative path: {path}", "Invalid Salesforce component API name", "Component metadata source
// filename does not match the selected component", "Component metadata source path does not match
// the selected component", "Component metadata source ancestry is not a regular metadata path",
// "Component metadata source is not a regular file", "Component metadata snapshot is empty",
// "Component metadata snapshot could not be parsed", "Component metadata snapshot has no matching
// element", "Component bundle snapshot is empty", "Component bundle destination path could not be
// derived", "Component bundle destination has no parent", "Packaged component bundle file is not a
// regular file", "Component metadata destination has no parent", "Packaged component metadata is not
// a regular file", "Component body destination path could not be derived", "Component body
// destination path does not match the selected component", "Component body destination has no
// parent", "Packaged component body is not a regular file", or the operating system's text of an
// I/O error.
//
// Thread-safety: no shared state but the once-compiled name pattern; runs on the caller's thread.

#include <expected>
#include <filesystem>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include "domain/component.hpp"
#include "metadata_types/type_descriptor.hpp"

namespace re2 {
class RE2;
}

namespace ambrel::deployment::component_batch {

inline constexpr std::string_view kApiNamePattern = "^[A-Za-z][A-Za-z0-9_]*$";
// Every packaged file lands below this folder of the package directory.
inline constexpr std::string_view kMainDefault = "main/default";
// Files are created with these permission bits before the process mask.
inline constexpr unsigned kNewFileMode = 0666;

inline constexpr std::string_view kBundleUnsupported = "Bundle metadata types are not yet supported";
inline constexpr std::string_view kNoDestination = "Component metadata destination path could not be derived";
inline constexpr std::string_view kUnsafePath = "Component destination path is not a safe relative path";
inline constexpr std::string_view kInvalidName = "Invalid Salesforce component API name";
inline constexpr std::string_view kSourceNameMismatch =
    "Component metadata source filename does not match the selected component";
inline constexpr std::string_view kSourcePathMismatch =
    "Component metadata source path does not match the selected component";
inline constexpr std::string_view kSourceAncestry = "Component metadata source ancestry is not a regular metadata path";
inline constexpr std::string_view kSourceNotRegular = "Component metadata source is not a regular file";
inline constexpr std::string_view kSnapshotEmpty = "Component metadata snapshot is empty";
inline constexpr std::string_view kSnapshotUnparsed = "Component metadata snapshot could not be parsed";
inline constexpr std::string_view kNoMatchingElement = "Component metadata snapshot has no matching element";
inline constexpr std::string_view kBundleEmpty = "Component bundle snapshot is empty";
inline constexpr std::string_view kNoBundlePath = "Component bundle destination path could not be derived";
inline constexpr std::string_view kBundleNoParent = "Component bundle destination has no parent";
inline constexpr std::string_view kBundleNotRegular = "Packaged component bundle file is not a regular file";
inline constexpr std::string_view kDocumentNoParent = "Component metadata destination has no parent";
inline constexpr std::string_view kDocumentNotRegular = "Packaged component metadata is not a regular file";
inline constexpr std::string_view kNoBodyPath = "Component body destination path could not be derived";
inline constexpr std::string_view kBodyMismatch = "Component body destination path does not match the selected component";
inline constexpr std::string_view kBodyNoParent = "Component body destination has no parent";
inline constexpr std::string_view kBodyNotRegular = "Packaged component body is not a regular file";

// "^[A-Za-z][A-Za-z0-9_]*$", compiled once.
const re2::RE2& api_name();

// Writes every component below "main/default" of the package directory; the first failure ends it.
std::expected<void, std::string> package_metadata_components(const std::vector<domain::MetadataComponent>& components,
                                                             const std::filesystem::path& package_dir);

// The checked relative path of the component's metadata document.
std::expected<std::string, std::string> verify_component_destination(const metadata_types::TypeDescriptor& descriptor,
                                                                      const domain::MetadataComponent& component);

// The naming rule of the type.
bool valid_component_full_name(const metadata_types::TypeDescriptor& descriptor, std::string_view full_name);

// Creates the file (nothing may exist at the path, links included), mode 0666 before the mask, and
// writes all bytes.
std::error_code write_new_file(const std::filesystem::path& path, std::string_view bytes);

// The path's own metadata (a link is not followed) says regular file; any error gives false.
bool is_regular_file(const std::filesystem::path& path) noexcept;

}  // namespace ambrel::deployment::component_batch
