#pragma once

// Directory and identity services of Unix systems.

#include <cstdint>
#include <expected>
#include <filesystem>
#include <system_error>

namespace ambrel::platform_fs::unix {

// The identity of a file-system entry, by which later code checks that nothing was swapped
// underneath it. Equal only when all three numbers are.
struct FileIdentity {
    std::int64_t device = 0;
    std::uint64_t inode = 0;
    // Creation time in nanoseconds since the Unix epoch (seconds * 10^9 + nanoseconds, wrapping at 64
    // bits); 0 when the file system reports none or it lies before the epoch.
    std::uint64_t creation_time_ns = 0;

    friend bool operator==(const FileIdentity&, const FileIdentity&) = default;
};

// Creates one directory (not its parents) with mode 0700. When the path already exists as a
// directory of the effective user that others may enter, it is tightened to 0700 through a
// descriptor opened without following links; anything else that already exists (a file, a link, a
// directory of another user, an already private directory) is left alone and counts as success.
// Callers that need a private directory verify the result themselves.
std::expected<void, std::error_code> create_private_directory(const std::filesystem::path& path);

// The identity of the entry itself (a symbolic link is not followed).
std::expected<FileIdentity, std::error_code> identity_of(const std::filesystem::path& path);

}  // namespace ambrel::platform_fs::unix
