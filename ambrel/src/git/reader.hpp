#pragma once

// `GitContentReader` reads the files of one side of a repository endpoint: either the working tree on
// disk (uncommitted files count) or one git ref, read through git without touching the working tree.
// Paths are repository-relative, "/"-separated, as git prints them.
//
// Listing runs "ls-files --cached --others --exclude-standard -z -- <prefix>" (working tree; entries
// that are not regular files, or that lie below a link, are skipped) or "ls-tree -r -z <ref> --
// <prefix>" (a ref; object ids are kept so later reads go by id, one snapshot of the ref). A reader
// keeps every listing for its life and answers a prefix at or below one already listed from its
// sorted index without running git again; answers come in byte order without duplicates.
//
// Reading from a ref goes through one long-lived "cat-file --batch" child, started on the first read
// and stopped when the reader goes away. Reading from the working tree walks every folder below the
// repository without following a link.
//
// Failures (GitError):
//   FileNotFound  "The file does not exist in the selected branch." (missing, unreadable, not UTF-8 in
//                 the working tree, not a file at the ref)
//   UnsafePath    "The repository entry at this metadata path is not a regular file: {path}" (a link,
//                 a folder or a link on the way, working tree only)
//   CommandFailed the cleaned diagnostic of a failed listing; "A branch name must not be empty, and a
//                 branch or revision name must not start with a hyphen." for a ref that git would read
//                 as an option; "The git command timed out."
//   GitUnusable   git could not be started.
//
// Thread-safety: every operation may be called from several threads; `mutex_` serialises them.
// Borrows the gateway, which must outlive it.

#include <expected>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "git/gateway.hpp"
#include "git/git_error.hpp"
#include "platform_fs/below.hpp"

namespace ambrel::git {

class GitContentReader {
public:
    GitContentReader(const GitGateway& gateway, std::filesystem::path repository, std::optional<std::string> ref);
    GitContentReader(const GitContentReader&) = delete;
    GitContentReader& operator=(const GitContentReader&) = delete;
    ~GitContentReader();

    // The files below the prefix ("" lists everything).
    std::expected<std::vector<std::string>, GitError> list_files(std::string_view prefix) const;
    std::expected<std::string, GitError> read_file(std::string_view relative_path) const;
    // Lists the prefix now (unless a listing already covers it), so that later listings at or below
    // it are answered from the index.
    std::expected<void, GitError> ensure_listed(std::string_view prefix) const;

    const std::filesystem::path& repository() const noexcept { return repository_; }
    const std::optional<std::string>& ref() const noexcept { return ref_; }

private:
    std::expected<void, GitError> check_ref() const;
    std::expected<void, GitError> list_locked(const std::string& prefix) const;
    bool covered_locked(std::string_view prefix) const;

    const GitGateway& gateway_;
    std::filesystem::path repository_;
    std::optional<std::string> ref_;

    mutable std::mutex mutex_;
    // State below is guarded by `mutex_`.
    // Every listed path, with its object id when it came from a ref and names a blob.
    mutable std::map<std::string, std::optional<std::string>, std::less<>> index_;
    // The prefixes listed so far ("" for everything).
    mutable std::set<std::string, std::less<>> listed_;
    mutable std::unique_ptr<ObjectReader> objects_;
    // Working-tree reads go through one cursor, so files of one folder read one after another walk
    // the folders on the way once.
    mutable std::optional<platform_fs::below::FolderCursor> tree_;
};

}  // namespace ambrel::git
