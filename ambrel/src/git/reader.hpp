#pragma once

// `GitContentReader` reads the files of one side of a repository endpoint: either the working tree on
// disk (uncommitted files count) or one git ref, read through git without touching the working tree.
// Paths are repository-relative, "/"-separated, as git prints them.
//
// Listing runs "ls-files --cached --others --exclude-standard -z -- <prefix>" (working tree; entries
// that are not regular files, or that lie below a link, are skipped) or "ls-tree -r -l -z <ref> --
// <prefix>" (a ref; object ids and sizes are kept so later reads go by id, one snapshot of the ref;
// symbolic links and submodules are skipped as the working tree skips them). A name that is not UTF-8
// is skipped on both roads and counted (`names_not_utf8`): it could only be read or written under
// another name. A reader keeps every listing for its life and answers a prefix at or below one
// already listed from its sorted index without running git again; answers come in byte order without
// duplicates.
//
// Reading from a ref goes by the listed object id through one long-lived "cat-file --batch" child,
// started on the first read and stopped when the reader goes away; a path no listing covered yet is
// listed first. Reading from the working tree walks every folder below the repository without
// following a link. Either way the bytes come back exactly as stored, or not at all.
//
// Failures (GitError):
//   FileNotFound  "The file does not exist in the selected branch." (missing, unreadable, not a file)
//   UnsafePath    "The repository entry at this metadata path is not a regular file: {path}" (a link,
//                 a folder or a link on the way; a link or submodule at the ref)
//   UnreadableDocument "{path} in {branch} is not UTF-8 text.", "{path} in {branch} is larger than 10
//                 MB, the limit for one component document." (refused before it is read whole)
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
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "git/gateway.hpp"
#include "git/git_error.hpp"
#include "platform_fs/below.hpp"

namespace ambrel::git {

class GitContentReader {
public:
    // `branch` names the side in messages; without it the ref, or "the working tree".
    GitContentReader(const GitGateway& gateway, std::filesystem::path repository, std::optional<std::string> ref,
                     std::optional<std::string> branch = std::nullopt);
    GitContentReader(const GitContentReader&) = delete;
    GitContentReader& operator=(const GitContentReader&) = delete;
    ~GitContentReader();

    // The files below the prefix ("" lists everything).
    std::expected<std::vector<std::string>, GitError> list_files(std::string_view prefix) const;
    std::expected<std::string, GitError> read_file(std::string_view relative_path) const;
    // Lists the prefix now (unless a listing already covers it), so that later listings at or below
    // it are answered from the index.
    std::expected<void, GitError> ensure_listed(std::string_view prefix) const;
    // Reads the listed files of a ref among `paths` in one pipelined exchange, so that the next
    // `read_file` of each is answered from memory (once). Does nothing for the working tree; paths that
    // are not listed files, or larger than a component document may be, are left to `read_file`, and
    // so is everything after a failure.
    void prefetch(std::span<const std::string> paths) const;
    // Lists every prefix not yet covered with one git run, as `ensure_listed` would one by one.
    std::expected<void, GitError> ensure_listed_all(std::span<const std::string> prefixes) const;

    const std::filesystem::path& repository() const noexcept { return repository_; }
    const std::optional<std::string>& ref() const noexcept { return ref_; }
    // The name of the side in messages.
    std::string_view branch_label() const noexcept;
    // How many distinct listed names were skipped because they are not UTF-8.
    std::size_t names_not_utf8() const;

private:
    std::expected<void, GitError> check_ref() const;
    std::expected<void, GitError> list_locked(const std::string& prefix) const;
    std::expected<void, GitError> list_locked(const std::vector<std::string>& prefixes) const;
    bool covered_locked(std::string_view prefix) const;
    // Starts the object reader unless it runs already.
    std::expected<void, GitGatewayError> objects_locked() const;
    // True when the decoded name is one git really holds, false when decoding replaced its bytes.
    bool name_is_utf8_locked(std::string_view decoded) const;

    // One listed file: its object id and size when it came from a ref.
    struct Entry {
        std::optional<std::string> id;
        std::optional<std::uint64_t> size;
    };

    const GitGateway& gateway_;
    std::filesystem::path repository_;
    std::optional<std::string> ref_;
    std::string branch_;

    mutable std::mutex mutex_;
    // State below is guarded by `mutex_`.
    // Every listed regular file.
    mutable std::map<std::string, Entry, std::less<>> index_;
    // Listed entries of a ref that are not regular files (links, submodules).
    mutable std::set<std::string, std::less<>> not_files_;
    // Listed names that are not UTF-8 (as decoded).
    mutable std::set<std::string, std::less<>> not_utf8_;
    // The prefixes listed so far ("" for everything).
    mutable std::set<std::string, std::less<>> listed_;
    mutable std::unique_ptr<ObjectReader> objects_;
    // Bytes read ahead by `prefetch`, each handed out once.
    mutable std::map<std::string, std::string, std::less<>> prefetched_;
    // Working-tree reads go through one cursor, so files of one folder read one after another walk
    // the folders on the way once.
    mutable std::optional<platform_fs::below::FolderCursor> tree_;
};

}  // namespace ambrel::git
