#pragma once

// Files below a root folder reached without following any link on the way: every folder of a
// "/"-separated relative path is opened with O_NOFOLLOW from the one before it, so a tracked link to
// a folder can never lead a read or a write outside the root. The root itself is opened following
// links (it may lie below one).
//
// Failures are `std::error_code` values of the generic category: a link, a file or anything else that
// is not a folder where a folder of the walk must be is `not_a_directory`; a link at the last
// component is `too_many_symbolic_link_levels`; another entry that is not a regular file is
// `invalid_argument`; the rest is what the operating system said. Every descriptor is close-on-exec.
// Nothing here keeps state; any thread.

#include <sys/types.h>

#include <cstddef>
#include <expected>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>

#include "platform_fs/files.hpp"

namespace ambrel::platform_fs::below {

enum class EntryKind { Missing, Regular, Directory, Link, Other };

// Opens the folder at `relative` ("" for the root itself). With `create_missing`, missing folders are
// made one level at a time with `mode` (before the umask).
std::expected<files::UniqueFd, std::error_code> open_directory(const std::filesystem::path& root,
                                                               std::string_view relative, bool create_missing,
                                                               mode_t mode = 0777);

// The kind of the entry at `relative`, its last component not followed. A missing entry (or a missing
// folder on the way) is Missing.
std::expected<EntryKind, std::error_code> entry_kind(const std::filesystem::path& root, std::string_view relative);

// Reads the whole regular file at `relative` without blocking on a FIFO; `file_too_large` past
// `max_bytes`.
std::expected<std::string, std::error_code> read_file(const std::filesystem::path& root, std::string_view relative,
                                                      std::optional<std::size_t> max_bytes = std::nullopt);

enum class WriteMode {
    // Creates the file or replaces the content of the regular file that is there.
    Replace,
    // Creates the file; an existing entry is `file_exists`.
    Exclusive,
};

// Writes the bytes to the file at `relative` (mode 0666 before the umask), creating missing folders
// one level at a time (mode 0777 before the umask). The file is opened with O_NOFOLLOW and must be
// a regular file.
std::error_code write_file(const std::filesystem::path& root, std::string_view relative, std::string_view bytes,
                           WriteMode mode);

// Writes the bytes to the file `name` in the open folder, as `write_file` does.
std::error_code write_file_at(int directory_fd, std::string_view name, std::string_view bytes, WriteMode mode);

// Removes the file at `relative` (never a folder; a link is removed as a link).
std::error_code remove_file(const std::filesystem::path& root, std::string_view relative);

// The functions above for many files below one root: the descriptor of the folder used last is kept,
// so a run of files in one folder (a sorted listing) walks the folders on the way once instead of
// once per file. Answers and errors are those of the functions above. The kept descriptor names the
// folder that was walked without following a link, even if the path is changed on disk meanwhile.
// Not thread-safe: one owner at a time.
class FolderCursor {
public:
    explicit FolderCursor(std::filesystem::path root);

    // The open folder at `relative` ("" for the root), as `open_directory` opens it; the descriptor
    // belongs to the cursor and stays valid until the next call.
    std::expected<int, std::error_code> folder(std::string_view relative, bool create_missing, mode_t mode = 0777);
    std::expected<EntryKind, std::error_code> entry_kind(std::string_view relative);
    std::expected<std::string, std::error_code> read_file(std::string_view relative,
                                                          std::optional<std::size_t> max_bytes = std::nullopt);

private:
    std::filesystem::path root_;
    // The folder `folder_fd_` names, relative to the root; meaningful only while the descriptor is open.
    std::string folder_;
    files::UniqueFd folder_fd_;
};

}  // namespace ambrel::platform_fs::below
