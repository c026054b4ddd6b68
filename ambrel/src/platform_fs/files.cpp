#include "platform_fs/files.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdint>

#include <fmt/format.h>

namespace ambrel::platform_fs::files {
namespace {

constexpr std::size_t kReadChunk = 65536;
// A stale temporary file of an earlier process with the same id can block one name; a few further
// numbers get past it without ever touching that file.
constexpr int kTemporaryNameAttempts = 16;

std::atomic<std::uint64_t> temporary_file_counter{0};

int fsync_retrying(int fd) noexcept {
    int result = 0;
    do {
        result = ::fsync(fd);
    } while (result != 0 && errno == EINTR);
    return result;
}

// Makes a rename durable. Some file systems refuse fsync on a directory; the new file is in place
// either way, so this is best effort.
void sync_directory(const std::filesystem::path& directory) noexcept {
    UniqueFd fd(::open(directory.empty() ? "." : directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (fd) (void)fsync_retrying(fd.get());
}

}  // namespace

UniqueFd& UniqueFd::operator=(UniqueFd&& other) noexcept {
    if (this != &other) {
        reset();
        fd_ = std::exchange(other.fd_, -1);
    }
    return *this;
}

void UniqueFd::reset() noexcept {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
}

std::error_code UniqueFd::close() noexcept {
    if (fd_ < 0) return {};
    const int result = ::close(std::exchange(fd_, -1));
    return result == 0 ? std::error_code() : last_error();
}

std::error_code last_error() noexcept { return {errno, std::generic_category()}; }

std::expected<std::string, std::error_code> read_regular_file(const std::filesystem::path& path,
                                                              std::optional<std::size_t> max_bytes,
                                                              LinkPolicy links) {
    int flags = O_RDONLY | O_CLOEXEC | O_NONBLOCK;
    if (links == LinkPolicy::NotFollowed) flags |= O_NOFOLLOW;
    UniqueFd fd(::open(path.c_str(), flags));
    if (!fd) return std::unexpected(last_error());
    return read_open_regular_file(fd.get(), max_bytes);
}

std::expected<std::string, std::error_code> read_open_regular_file(int fd, std::optional<std::size_t> max_bytes) {
    struct stat status {};
    if (::fstat(fd, &status) != 0) return std::unexpected(last_error());
    if (!S_ISREG(status.st_mode)) return std::unexpected(std::make_error_code(std::errc::invalid_argument));

    std::string bytes;
    if (status.st_size > 0) {
        std::size_t expected = static_cast<std::size_t>(status.st_size);
        if (max_bytes) expected = std::min(expected, *max_bytes + 1);
        bytes.reserve(expected);
    }
    char chunk[kReadChunk];
    for (;;) {
        std::size_t wanted = sizeof chunk;
        if (max_bytes) {
            const std::size_t room = *max_bytes + 1 - bytes.size();
            if (room == 0) break;
            wanted = std::min(wanted, room);
        }
        const ssize_t got = ::read(fd, chunk, wanted);
        if (got < 0) {
            if (errno == EINTR) continue;
            return std::unexpected(last_error());
        }
        if (got == 0) break;
        bytes.append(chunk, static_cast<std::size_t>(got));
    }
    if (max_bytes && bytes.size() > *max_bytes) {
        return std::unexpected(std::make_error_code(std::errc::file_too_large));
    }
    return bytes;
}

std::expected<UniqueFd, std::error_code> open_private_append(const std::filesystem::path& path) {
    UniqueFd fd(::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0600));
    if (!fd) return std::unexpected(last_error());
    struct stat status {};
    if (::fstat(fd.get(), &status) != 0) return std::unexpected(last_error());
    if (!S_ISREG(status.st_mode)) return std::unexpected(std::make_error_code(std::errc::invalid_argument));
    return fd;
}

std::error_code write_all(int fd, std::string_view bytes) noexcept {
    while (!bytes.empty()) {
        const ssize_t written = ::write(fd, bytes.data(), bytes.size());
        if (written < 0) {
            if (errno == EINTR) continue;
            return last_error();
        }
        if (written == 0) return std::make_error_code(std::errc::io_error);
        bytes.remove_prefix(static_cast<std::size_t>(written));
    }
    return {};
}

std::error_code write_new_private_file(const std::filesystem::path& path, std::string_view bytes) {
    UniqueFd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (!fd) return last_error();
    std::error_code error = write_all(fd.get(), bytes);
    if (std::error_code closed = fd.close(); !error) error = closed;
    if (error) ::unlink(path.c_str());
    return error;
}

std::error_code replace_durably(const std::filesystem::path& target, std::string_view bytes, mode_t mode) {
    const std::filesystem::path directory = target.parent_path();
    const std::string name = target.filename().string();
    const auto pid = static_cast<long long>(::getpid());
    std::filesystem::path temporary;
    UniqueFd fd;
    for (int attempt = 0; attempt < kTemporaryNameAttempts && !fd; ++attempt) {
        temporary = directory / fmt::format("{}.{}.{}.tmp", name, pid, temporary_file_counter.fetch_add(1));
        // Created exclusively and without following a link: the temporary name is ours alone.
        fd = UniqueFd(::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode));
        if (!fd && errno != EEXIST) return last_error();
    }
    if (!fd) return std::make_error_code(std::errc::file_exists);

    // Flushed before the rename: otherwise a power loss can leave the renamed file empty.
    std::error_code error = write_all(fd.get(), bytes);
    if (!error && fsync_retrying(fd.get()) != 0) error = last_error();
    if (std::error_code closed = fd.close(); !error) error = closed;
    if (!error && ::rename(temporary.c_str(), target.c_str()) != 0) error = last_error();
    if (error) {
        ::unlink(temporary.c_str());
        return error;
    }
    sync_directory(directory);
    return {};
}

std::error_code create_directories_below(const std::filesystem::path& base, const std::filesystem::path& relative) {
    if (relative.is_absolute()) return std::make_error_code(std::errc::invalid_argument);
    // Every segment is checked before anything is created, so a refused path leaves nothing behind.
    for (const std::filesystem::path& segment : relative) {
        const std::string name = segment.string();
        if (name.empty() || name == "." || name == ".." || name.find('/') != std::string::npos) {
            return std::make_error_code(std::errc::invalid_argument);
        }
    }
    UniqueFd current(::open(base.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!current) return last_error();
    for (const std::filesystem::path& segment : relative) {
        const std::string name = segment.string();
        if (::mkdirat(current.get(), name.c_str(), 0777) != 0 && errno != EEXIST) return last_error();
        // Opened relative to the folder already checked and without following a link, so a link planted
        // in the tree can never lead the creation outside it.
        UniqueFd next(::openat(current.get(), name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        if (!next) return last_error();
        current = std::move(next);
    }
    return {};
}

std::expected<PrivateTempDir, std::error_code> PrivateTempDir::create(
    std::string_view prefix, const std::optional<std::filesystem::path>& parent) {
    std::filesystem::path folder;
    if (parent) {
        folder = *parent;
    } else {
        std::error_code error;
        folder = std::filesystem::temp_directory_path(error);
        if (error) return std::unexpected(error);
    }
    std::string pattern = (folder / (std::string(prefix) + "XXXXXX")).string();
    // mkdtemp creates the directory with mode 0700 and draws a new name while one is taken.
    if (::mkdtemp(pattern.data()) == nullptr) return std::unexpected(last_error());
    return PrivateTempDir(std::filesystem::path(pattern));
}

PrivateTempDir& PrivateTempDir::operator=(PrivateTempDir&& other) noexcept {
    if (this != &other) {
        (void)remove();
        path_ = std::exchange(other.path_, {});
    }
    return *this;
}

PrivateTempDir::~PrivateTempDir() { (void)remove(); }

std::error_code PrivateTempDir::remove() {
    if (path_.empty()) return {};
    const std::filesystem::path path = std::exchange(path_, {});
    std::error_code error;
    // remove_all removes a link inside the tree as a link; it never descends through one.
    std::filesystem::remove_all(path, error);
    return error;
}

}  // namespace ambrel::platform_fs::files
