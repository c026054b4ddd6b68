#include "git/inspector.hpp"

#include <dirent.h>
#include <sys/stat.h>

#include <array>
#include <cerrno>

#include <fmt/format.h>

#include "git/branch_name.hpp"
#include "git/reader.hpp"
#include "git/sanitize.hpp"
#include "text/text.hpp"

namespace ambrel::git {
namespace {

constexpr std::string_view kProjectFile = "sfdx-project.json";
constexpr std::string_view kLocalRefPrefix = "refs/heads/";
constexpr std::string_view kRemoteRefPrefix = "refs/remotes/";
constexpr std::string_view kRemoteHead = "HEAD";
constexpr std::array<std::string_view, 5> kToolchainMarkers{
    "xcrun: error", "invalid active developer path", "missing xcrun", "no developer tools were found",
    "xcode-select: error"};

std::string with_detail(std::string_view sentence, std::string_view detail) {
    const std::string_view trimmed = text::trim(detail);
    if (trimmed.empty()) return std::string(sentence);
    return fmt::format("{} {}", sentence, trimmed);
}

GitError not_a_repository(std::string_view detail) {
    return {GitError::Kind::NotARepository, with_detail(kNotARepositorySentence, detail)};
}

std::string diagnostic_of(const GitCommandOutput& output, const std::filesystem::path& path) {
    const std::filesystem::path paths[] = {path};
    return output.diagnostic_for(paths);
}

}  // namespace

std::optional<GitError> GitRepoInspector::broken_toolchain_failure(std::string_view diagnostic) const {
    const std::string lowered = text::to_lower(diagnostic);
    bool broken = false;
    for (std::string_view marker : kToolchainMarkers) {
        if (lowered.find(marker) != std::string::npos) broken = true;
    }
    if (!broken && gateway_.is_usable()) return std::nullopt;
    return GitError(GitError::Kind::GitUnusable, with_detail(kGitUnusableSentence, diagnostic));
}

std::expected<void, GitError> GitRepoInspector::require_repository(const std::filesystem::path& path) const {
    bool readable = true;
    struct stat status {};
    if (::stat(path.c_str(), &status) != 0) {
        if (errno == ENOENT) return std::unexpected(not_a_repository(kPathMissingDetail));
        if (errno == EACCES) return std::unexpected(not_a_repository(kPermissionDeniedDetail));
    } else if (!S_ISDIR(status.st_mode)) {
        return std::unexpected(not_a_repository(kPathIsFileDetail));
    } else {
        DIR* directory = ::opendir(path.c_str());
        if (directory != nullptr) {
            ::closedir(directory);
        } else if (errno == EACCES) {
            readable = false;
        }
    }
    auto output = gateway_.execute(path, {"rev-parse", "--git-dir"});
    if (!output) return std::unexpected(GitError::from_gateway(output.error()));
    if (output->exit_code == 0) return {};
    const std::string diagnostic = diagnostic_of(*output, path);
    if (auto broken = broken_toolchain_failure(diagnostic)) return std::unexpected(std::move(*broken));
    if (readable) return std::unexpected(not_a_repository(diagnostic));
    std::string message = fmt::format("{} {}", kNotARepositorySentence, kPermissionDeniedDetail);
    if (!diagnostic.empty()) message += " " + diagnostic;
    return std::unexpected(GitError(GitError::Kind::NotARepository, std::move(message)));
}

std::expected<std::filesystem::path, GitError> GitRepoInspector::resolve_repo_root(
    const std::filesystem::path& path) const {
    auto output = gateway_.execute(path, {"rev-parse", "--show-toplevel"});
    if (!output) return std::unexpected(GitError::from_gateway(output.error()));
    if (output->exit_code == 0) {
        const std::string_view top = text::trim(output->stdout_text);
        if (top.empty()) return std::unexpected(not_a_repository({}));
        return std::filesystem::path(top);
    }
    const std::string diagnostic = diagnostic_of(*output, path);
    if (auto broken = broken_toolchain_failure(diagnostic)) return std::unexpected(std::move(*broken));
    return std::unexpected(not_a_repository(diagnostic));
}

std::expected<bool, GitError> GitRepoInspector::is_bare(const std::filesystem::path& path) const {
    auto output = gateway_.execute(path, {"rev-parse", "--is-bare-repository"});
    if (!output) return std::unexpected(GitError::from_gateway(output.error()));
    if (output->exit_code != 0) return std::unexpected(GitError::command_failed(diagnostic_of(*output, path)));
    return text::trim(output->stdout_text) == "true";
}

std::expected<std::optional<std::string>, GitError> GitRepoInspector::current_branch(
    const std::filesystem::path& path) const {
    auto output = gateway_.execute(path, {"symbolic-ref", "--short", "HEAD"});
    if (!output) return std::unexpected(GitError::from_gateway(output.error()));
    if (output->exit_code != 0) return std::optional<std::string>();
    const std::string_view name = text::trim(output->stdout_text);
    if (name.empty()) return std::optional<std::string>();
    return std::optional<std::string>(std::string(name));
}

std::vector<GitBranchInfo> inspector::parse_branches(std::string_view output,
                                                     const std::optional<std::string>& current) {
    std::vector<GitBranchInfo> branches;
    while (!output.empty()) {
        const std::size_t end = output.find('\n');
        std::string_view line = output.substr(0, end);
        output = end == std::string_view::npos ? std::string_view() : output.substr(end + 1);
        if (line.ends_with('\r')) line.remove_suffix(1);
        line = text::trim(line);
        if (line.starts_with(kLocalRefPrefix) && line.size() > kLocalRefPrefix.size()) {
            const std::string_view name = line.substr(kLocalRefPrefix.size());
            branches.push_back({std::string(name), std::nullopt, current && *current == name});
        } else if (line.starts_with(kRemoteRefPrefix)) {
            const std::string_view rest = line.substr(kRemoteRefPrefix.size());
            const std::size_t slash = rest.find('/');
            if (slash == std::string_view::npos || slash == 0 || slash + 1 == rest.size()) continue;
            if (rest.substr(slash + 1) == kRemoteHead) continue;
            branches.push_back({std::string(rest), std::string(rest.substr(0, slash)), false});
        }
    }
    return branches;
}

std::expected<std::vector<GitBranchInfo>, GitError> GitRepoInspector::branches(
    const std::filesystem::path& path, const std::optional<std::string>& current) const {
    auto output = gateway_.execute(path, {"for-each-ref", "--format=%(refname)", "refs/heads", "refs/remotes"});
    if (!output) return std::unexpected(GitError::from_gateway(output.error()));
    if (output->exit_code != 0) return std::unexpected(GitError::command_failed(diagnostic_of(*output, path)));
    return inspector::parse_branches(output->stdout_text, current);
}

std::expected<bool, GitError> GitRepoInspector::is_valid_branch_name(const std::filesystem::path& path,
                                                                     std::string_view name) const {
    // The rule first: a name git would read as an option or as a revision never reaches it.
    if (!branch_name::is_branch_name(name)) return false;
    auto output = gateway_.execute(path, {"check-ref-format", "--branch", std::string(name)});
    if (!output) return std::unexpected(GitError::from_gateway(output.error()));
    // git expands "@{-1}" and the like to another branch's name: only the name itself is a branch name.
    return output->exit_code == 0 && text::trim(output->stdout_text) == name;
}

std::expected<std::string, GitError> GitRepoInspector::verify_branch(const std::filesystem::path& path,
                                                                     std::string_view name, BranchRole role) const {
    auto valid = is_valid_branch_name(path, name);
    if (!valid) return std::unexpected(valid.error());
    if (!*valid) {
        const std::string_view sentence = role == BranchRole::New    ? kInvalidNewBranchSentence
                                          : role == BranchRole::Base ? kInvalidBaseSentence
                                                                     : kInvalidBranchSentence;
        return std::unexpected(GitError::command_failed(std::string(sentence)));
    }
    if (role == BranchRole::New) return std::string();
    std::vector<std::string_view> prefixes;
    if (role != BranchRole::Remote) prefixes.push_back(kLocalRefPrefix);
    if (role != BranchRole::Local) prefixes.push_back(kRemoteRefPrefix);
    for (const std::string_view prefix : prefixes) {
        std::string ref = fmt::format("{}{}", prefix, name);
        auto output = gateway_.execute(path, {"show-ref", "--verify", "--quiet", ref});
        if (!output) return std::unexpected(GitError::from_gateway(output.error()));
        if (output->exit_code == 0) return ref;
    }
    return std::unexpected(GitError::command_failed(
        fmt::format(fmt::runtime(kMissingBranchSentence), sanitize::replace_control_characters(name))));
}

std::expected<GitRepoInspection, GitError> GitRepoInspector::inspect(const std::filesystem::path& path) const {
    if (auto required = require_repository(path); !required) return std::unexpected(required.error());
    auto current = current_branch(path);
    if (!current) return std::unexpected(current.error());
    auto listed = branches(path, *current);
    if (!listed) return std::unexpected(listed.error());
    // On a branch the working tree counts (uncommitted files included); detached, HEAD's tree.
    const GitContentReader reader(gateway_, path, *current ? std::nullopt : std::optional<std::string>("HEAD"));
    const bool has_project = reader.read_file(kProjectFile).has_value();
    return GitRepoInspection{std::move(*listed), std::move(*current), has_project};
}

bool inspector::can_initialize_repository(const std::filesystem::path& path) {
    std::error_code error;
    if (!std::filesystem::is_directory(path, error)) return false;
    std::filesystem::path current = std::filesystem::canonical(path, error);
    if (error) return false;
    for (;;) {
        const auto is = [&](const std::filesystem::path& entry, std::filesystem::file_type type) {
            std::error_code ignored;
            return std::filesystem::symlink_status(entry, ignored).type() == type;
        };
        if (is(current / "HEAD", std::filesystem::file_type::regular) &&
            is(current / "objects", std::filesystem::file_type::directory) &&
            is(current / "refs", std::filesystem::file_type::directory)) {
            return false;
        }
        std::error_code entry_error;
        const auto dot_git = std::filesystem::symlink_status(current / ".git", entry_error);
        if (dot_git.type() != std::filesystem::file_type::not_found) return false;
        if (entry_error && entry_error != std::errc::no_such_file_or_directory) return false;
        if (!current.has_relative_path()) return true;
        current = current.parent_path();
    }
}

bool GitRepoInspector::can_initialize(const std::filesystem::path& path) const {
    return inspector::can_initialize_repository(path) && gateway_.is_usable();
}

std::expected<void, GitError> GitRepoInspector::initialize_repository(const std::filesystem::path& path) const {
    if (!inspector::can_initialize_repository(path)) {
        return std::unexpected(GitError(GitError::Kind::CannotInitialize, std::string(kCannotInitializeSentence)));
    }
    auto output = gateway_.execute(path, {"init"});
    if (!output) return std::unexpected(GitError::from_gateway(output.error()));
    if (output->exit_code != 0) {
        const std::string diagnostic = diagnostic_of(*output, path);
        if (auto broken = broken_toolchain_failure(diagnostic)) return std::unexpected(std::move(*broken));
        return std::unexpected(GitError::command_failed(diagnostic));
    }
    std::error_code error;
    if (std::filesystem::symlink_status(path / ".git", error).type() == std::filesystem::file_type::not_found) {
        return std::unexpected(GitError(GitError::Kind::CannotInitialize, std::string(kInitNotCreatedSentence)));
    }
    return {};
}

}  // namespace ambrel::git
