#include "platform_fs/unix.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>

namespace ambrel::platform_fs::unix {
namespace {

constexpr mode_t kGroupOrOtherBits = 0077;

std::error_code last_error() { return {errno, std::generic_category()}; }

std::uint64_t nanoseconds_since_epoch(std::int64_t seconds, std::uint32_t nanoseconds) {
    if (seconds < 0) return 0;
    return static_cast<std::uint64_t>(seconds) * 1'000'000'000ULL + nanoseconds;
}

}  // namespace

std::expected<void, std::error_code> create_private_directory(const std::filesystem::path& path) {
    if (::mkdir(path.c_str(), 0700) == 0) return {};
    if (errno != EEXIST) return std::unexpected(last_error());

    struct stat entry {};
    if (::lstat(path.c_str(), &entry) != 0) return std::unexpected(last_error());
    if ((entry.st_mode & kGroupOrOtherBits) == 0 || !S_ISDIR(entry.st_mode) || entry.st_uid != ::geteuid()) {
        return {};
    }

    // Tightened through a descriptor, so a directory swapped for a link meanwhile is never touched.
    const int fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) return std::unexpected(last_error());
    struct stat opened {};
    if (::fstat(fd, &opened) != 0) {
        const std::error_code error = last_error();
        ::close(fd);
        return std::unexpected(error);
    }
    if (opened.st_uid == ::geteuid() && (opened.st_mode & kGroupOrOtherBits) != 0) {
        if (::fchmod(fd, 0700) != 0) {
            const std::error_code error = last_error();
            ::close(fd);
            return std::unexpected(error);
        }
    }
    ::close(fd);
    return {};
}

std::expected<FileIdentity, std::error_code> identity_of(const std::filesystem::path& path) {
#if defined(__APPLE__)
    struct stat entry {};
    if (::lstat(path.c_str(), &entry) != 0) return std::unexpected(last_error());
    return FileIdentity{
        .device = static_cast<std::int64_t>(entry.st_dev),
        .inode = static_cast<std::uint64_t>(entry.st_ino),
        .creation_time_ns = nanoseconds_since_epoch(entry.st_birthtimespec.tv_sec,
                                                    static_cast<std::uint32_t>(entry.st_birthtimespec.tv_nsec)),
    };
#else
    struct statx entry {};
    if (::statx(AT_FDCWD, path.c_str(), AT_SYMLINK_NOFOLLOW, STATX_BASIC_STATS | STATX_BTIME, &entry) != 0) {
        return std::unexpected(last_error());
    }
    FileIdentity identity{
        .device = static_cast<std::int64_t>(makedev(entry.stx_dev_major, entry.stx_dev_minor)),
        .inode = entry.stx_ino,
        .creation_time_ns = 0,
    };
    if ((entry.stx_mask & STATX_BTIME) != 0) {
        identity.creation_time_ns = nanoseconds_since_epoch(entry.stx_btime.tv_sec, entry.stx_btime.tv_nsec);
    }
    return identity;
#endif
}

}  // namespace ambrel::platform_fs::unix
