#pragma once

// The one home of the system's POSIX file code: an owning file descriptor, reading a whole regular
// file without following a link or blocking, writing a new private file, replacing a file durably,
// and a private temporary directory that removes itself.
//
// Every descriptor opened here is close-on-exec. Failures are `std::error_code` values of the generic
// category; what is not a regular file reads as `std::errc::invalid_argument`, a file beyond the
// caller's limit as `std::errc::file_too_large`. Nothing here keeps state; every function may be called
// from any thread.

#include <sys/types.h>

#include <cstddef>
#include <expected>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>
#include <utility>

namespace ambrel::platform_fs::files {

// A file descriptor that is closed when it goes away.
class UniqueFd {
public:
    UniqueFd() = default;
    explicit UniqueFd(int fd) noexcept : fd_(fd) {}
    UniqueFd(UniqueFd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
    UniqueFd& operator=(UniqueFd&& other) noexcept;
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;
    ~UniqueFd() { reset(); }

    int get() const noexcept { return fd_; }
    explicit operator bool() const noexcept { return fd_ >= 0; }
    // Closes the descriptor now (an error of close is dropped).
    void reset() noexcept;
    // Closes the descriptor and reports what close said (a write may fail only there).
    std::error_code close() noexcept;
    // Gives the descriptor up without closing it.
    int release() noexcept { return std::exchange(fd_, -1); }

private:
    int fd_ = -1;
};

// The errno of the last failed call as an error code.
std::error_code last_error() noexcept;

// Whether a read may pass through a symbolic link at the last component of the path.
enum class LinkPolicy { NotFollowed, Followed };

// Reads the whole file. It is opened without blocking (a FIFO planted where a document should be
// cannot stall the caller), by default without following a link, and checked through the open
// descriptor to be a regular file (`invalid_argument` otherwise). With `max_bytes`, at most one byte
// more than the limit is read, and a longer file is `file_too_large`: a device whose size reads 0 or a
// growing file is never read without bound.
std::expected<std::string, std::error_code> read_regular_file(
    const std::filesystem::path& path, std::optional<std::size_t> max_bytes = std::nullopt,
    LinkPolicy links = LinkPolicy::NotFollowed);

// Reads the whole file behind an open descriptor, which must be a regular file (`invalid_argument`
// otherwise), with the same byte limit as `read_regular_file`.
std::expected<std::string, std::error_code> read_open_regular_file(int fd, std::optional<std::size_t> max_bytes);

// Opens a file for appending, creating it with mode 0600 when missing. It is opened without following
// a link and without blocking (a FIFO at the path would otherwise hold the caller until some reader
// came), and must be a regular file (`invalid_argument` otherwise).
std::expected<UniqueFd, std::error_code> open_private_append(const std::filesystem::path& path);

// Writes all bytes to the descriptor, going on after EINTR; a write of zero bytes is `io_error`.
std::error_code write_all(int fd, std::string_view bytes) noexcept;

// Creates a new file with mode 0600 that must not exist yet (a link at the path is not followed) and
// writes the bytes. A file left half-written is removed.
std::error_code write_new_private_file(const std::filesystem::path& path, std::string_view bytes);

// Replaces `target` with the bytes so that a reader sees either the old or the new content, also after
// a power loss: the bytes go to a new temporary file beside it ("{name}.{pid}.{n}.tmp", created
// exclusively without following a link, a taken name skipped), which is flushed, renamed over the
// target, and the folder flushed after (best effort: some file systems refuse it). `mode` is the
// creation mode before the umask. On failure the target is untouched and the temporary file removed.
std::error_code replace_durably(const std::filesystem::path& target, std::string_view bytes, mode_t mode = 0666);

// Creates the folders of `relative` (a relative path of plain segments) one by one below `base`, which
// must already exist: `base` itself is never created, and no segment is passed through a link (a link
// where a folder should be is `too_many_symbolic_link_levels` or `not_a_directory`). An empty, ".",
// ".." or absolute segment is `invalid_argument`. Existing folders are kept; new ones get mode 0777
// before the umask.
std::error_code create_directories_below(const std::filesystem::path& base, const std::filesystem::path& relative);

// A directory with mode 0700 and a unique name (the prefix and six random characters) that this
// object owns: it is removed with everything in it, links removed as links and never followed, when
// the object goes away, unless `remove` already did so or `detach` gave it up.
class PrivateTempDir {
public:
    // Creates the directory in `parent`, or in the system's temporary folder when none is given.
    static std::expected<PrivateTempDir, std::error_code> create(
        std::string_view prefix, const std::optional<std::filesystem::path>& parent = std::nullopt);

    PrivateTempDir(PrivateTempDir&& other) noexcept : path_(std::exchange(other.path_, {})) {}
    PrivateTempDir& operator=(PrivateTempDir&& other) noexcept;
    PrivateTempDir(const PrivateTempDir&) = delete;
    PrivateTempDir& operator=(const PrivateTempDir&) = delete;
    // Removes the directory; an error is dropped (call `remove` to see it).
    ~PrivateTempDir();

    // Empty once removed or detached.
    const std::filesystem::path& path() const noexcept { return path_; }
    // Removes the directory now and reports a failure; the object no longer owns it either way.
    std::error_code remove();
    // Gives the directory up: nothing removes it any more.
    std::filesystem::path detach() noexcept { return std::exchange(path_, {}); }

private:
    explicit PrivateTempDir(std::filesystem::path path) : path_(std::move(path)) {}

    std::filesystem::path path_;
};

}  // namespace ambrel::platform_fs::files
