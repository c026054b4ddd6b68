#include "git/git_error.hpp"

#include <fmt/format.h>

#include "git/gateway.hpp"
#include "git/sanitize.hpp"
#include "metadata_types/name_rules.hpp"
#include "text/text.hpp"

namespace ambrel::git {

GitError GitError::unsafe_path_at(std::string_view path) {
    return {Kind::UnsafePath,
            fmt::format("{} Offending path: {}", kUnsafePathSentence, sanitize::replace_control_characters(path))};
}

GitError GitError::not_a_regular_file(std::string_view path) {
    return {Kind::UnsafePath,
            fmt::format("{} {}", kNotARegularFileSentence, sanitize::replace_control_characters(path))};
}

GitError GitError::aliased_destination(std::string_view path) {
    return {Kind::UnsafePath,
            fmt::format("{} {}", kAliasedDestinationSentence, sanitize::replace_control_characters(path))};
}

GitError GitError::undeliverable_component(std::string_view component) {
    return {Kind::UnsafePath,
            fmt::format("{} {}", kUndeliverableSentence, sanitize::replace_control_characters(component))};
}

GitError GitError::not_utf8_text(std::string_view path, std::string_view branch) {
    return {Kind::UnreadableDocument, fmt::format("{} in {} is not UTF-8 text.", sanitize::replace_control_characters(path),
                                                  sanitize::replace_control_characters(branch))};
}

GitError GitError::document_too_large(std::string_view path, std::string_view branch) {
    return {Kind::UnreadableDocument,
            metadata_types::document_too_large_message(fmt::format("{} in {}", sanitize::replace_control_characters(path),
                                                                   sanitize::replace_control_characters(branch)))};
}

GitError GitError::unparsable_manifest_paths(std::span<const std::string> refused) {
    if (refused.empty()) return {Kind::NotAnSfdxProject, std::string(kUnparsableManifestSentence)};
    return {Kind::NotAnSfdxProject, fmt::format("{} Refused package directories: {}", kUnparsableManifestSentence,
                                                sanitize::refused_directory_list(refused))};
}

GitError GitError::not_an_sfdx_project_unsafe_paths(std::span<const std::string> refused) {
    if (refused.empty()) return {Kind::NotAnSfdxProject, std::string(kMissingSfdxProjectSentence)};
    return {Kind::NotAnSfdxProject,
            fmt::format("{} {}", kNoSafePackageDirectorySentence, sanitize::refused_directory_list(refused))};
}

GitError GitError::file_system(std::string_view step, std::error_code error) {
    return {Kind::FileSystem, fmt::format("{}: {}", step, io_error_description(error))};
}

GitError GitError::from_gateway(const GitGatewayError& error) {
    switch (error.kind) {
        case GitGatewayError::Kind::StartFailed: {
            const std::string_view detail = text::trim(error.message());
            if (detail.empty()) return {Kind::GitUnusable, std::string(kGitUnusableSentence)};
            return {Kind::GitUnusable, fmt::format("{} {}", kGitUnusableSentence, detail)};
        }
        case GitGatewayError::Kind::TimedOut:
        case GitGatewayError::Kind::Cancelled:
            break;
    }
    return {Kind::CommandFailed, std::string(error.message())};
}

std::string io_error_description(std::error_code error) {
    // Short words for the common kinds; any other error reads as the system words it (never a path).
    if (error == std::errc::no_such_file_or_directory) return "not found";
    if (error == std::errc::permission_denied || error == std::errc::operation_not_permitted) {
        return "permission denied";
    }
    if (error == std::errc::file_exists) return "already exists";
    if (error == std::errc::not_a_directory) return "not a directory";
    if (error == std::errc::is_a_directory) return "is a directory";
    if (error == std::errc::directory_not_empty) return "directory not empty";
    if (error == std::errc::read_only_file_system) return "read-only file system";
    if (error == std::errc::no_space_on_device) return "storage full";
    if (error == std::errc::filename_too_long) return "file name too long";
    if (error == std::errc::too_many_symbolic_link_levels) return "filesystem loop";
    if (error == std::errc::invalid_argument) return "invalid input";
    if (error == std::errc::file_too_large) return "file too large";
    if (error == std::errc::interrupted) return "interrupted";
    if (error == std::errc::resource_unavailable_try_again) return "would block";
    if (error == std::errc::too_many_files_open || error == std::errc::too_many_files_open_in_system) {
        return "too many open files";
    }
    if (error == std::errc::cross_device_link) return "crosses devices";
    std::string system = error.message();
    return system.empty() ? std::string("other error") : system;
}

}  // namespace ambrel::git
