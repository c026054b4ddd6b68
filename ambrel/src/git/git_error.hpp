#pragma once

// The one error of the git repository module. Every kind carries one final message, built once from
// the fixed sentences below, and that message is what the user reads:
//   GitUnusable      "Git is not usable on this machine. Run 'git version' in a terminal and install or
//                    repair git until it prints a version." (alone or followed by a detail)
//   UnsafePath       "The repository contains an unsafe metadata path." / "... Offending path: {}",
//                    "The repository entry at this metadata path is not a regular file: {}",
//                    "The repository already contains this file under a different spelling that this
//                    filesystem treats as the same name: {}",
//                    "The plugin could not derive a repository path for this component: {}"
//   NotARepository   "The selected path is not a git repository." (alone or with a detail)
//   NotAnSfdxProject "The repository's sfdx-project.json could not be parsed." (with "Refused package
//                    directories: {}"), "The source repository lists package directories, but none of
//                    them is a safe relative path: {}", "The source repository is not an SFDX project
//                    (missing sfdx-project.json)."
//   UnreadableDocument "{path} in {branch} is not UTF-8 text.", "{path} in {branch} is larger than 10 MB,
//                    the limit for one component document."
//   FileNotFound, CommandFailed, FileSystem, CannotInitialize: sentences of their callers.
// Paths inside messages have their control characters replaced by spaces. Plain data; any thread.

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <system_error>

namespace ambrel::git {

struct GitGatewayError;

inline constexpr std::string_view kGitUnusableSentence =
    "Git is not usable on this machine. Run 'git version' in a terminal and install or repair git until it "
    "prints a version.";
inline constexpr std::string_view kUnsafePathSentence = "The repository contains an unsafe metadata path.";
inline constexpr std::string_view kNotARepositorySentence = "The selected path is not a git repository.";
inline constexpr std::string_view kNotARegularFileSentence =
    "The repository entry at this metadata path is not a regular file:";
inline constexpr std::string_view kAliasedDestinationSentence =
    "The repository already contains this file under a different spelling that this filesystem treats as the "
    "same name:";
inline constexpr std::string_view kUndeliverableSentence =
    "The plugin could not derive a repository path for this component:";
inline constexpr std::string_view kUnparsableManifestSentence =
    "The repository's sfdx-project.json could not be parsed.";
inline constexpr std::string_view kNoSafePackageDirectorySentence =
    "The source repository lists package directories, but none of them is a safe relative path:";
inline constexpr std::string_view kMissingSfdxProjectSentence =
    "The source repository is not an SFDX project (missing sfdx-project.json).";
inline constexpr std::string_view kFileNotFoundSentence = "The file does not exist in the selected branch.";
inline constexpr std::string_view kHyphenRefusedSentence =
    "A branch name must not be empty, and a branch or revision name must not start with a hyphen.";

class GitError {
public:
    enum class Kind : std::uint8_t {
        NotARepository,
        NotAnSfdxProject,
        FileNotFound,
        UnsafePath,
        CommandFailed,
        FileSystem,
        CannotInitialize,
        GitUnusable,
        // A file of the branch that is no usable text document: not UTF-8, or above the size limit.
        UnreadableDocument,
    };

    GitError(Kind kind, std::string message) : kind_(kind), message_(std::move(message)) {}

    Kind kind() const noexcept { return kind_; }
    const std::string& message() const noexcept { return message_; }

    static GitError unsafe_path_at(std::string_view path);
    static GitError not_a_regular_file(std::string_view path);
    static GitError aliased_destination(std::string_view path);
    static GitError undeliverable_component(std::string_view component);
    static GitError unparsable_manifest_paths(std::span<const std::string> refused);
    static GitError not_an_sfdx_project_unsafe_paths(std::span<const std::string> refused);
    // "{step}: {description}" with the fixed description of the error's kind.
    static GitError file_system(std::string_view step, std::error_code error);
    static GitError not_utf8_text(std::string_view path, std::string_view branch);
    static GitError document_too_large(std::string_view path, std::string_view branch);
    static GitError command_failed(std::string message) { return {Kind::CommandFailed, std::move(message)}; }
    static GitError from_gateway(const GitGatewayError& error);

    friend bool operator==(const GitError&, const GitError&) = default;

private:
    Kind kind_;
    std::string message_;
};

// The short description of a file-system error's kind that ends every FileSystem message: "not
// found", "permission denied", "already exists", "not a directory", ...; for a kind outside the table
// the system's own text of the error ("Input/output error").
std::string io_error_description(std::error_code error);

}  // namespace ambrel::git
