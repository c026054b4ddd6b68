#include "platform_fs/data_directory.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdlib>

#include <fmt/format.h>

#include "text/text.hpp"

namespace ambrel::platform_fs {
namespace {

std::atomic<std::uint64_t> temporary_file_counter{0};

// A stale temporary file of an earlier process with the same id can block one name; a few further
// numbers get past it without ever touching that file.
constexpr int kTemporaryNameAttempts = 16;

std::optional<std::string> usable(const EnvironmentLookup& lookup, std::string_view name) {
    std::optional<std::string> value = lookup(name);
    if (!value || text::is_blank(*value)) return std::nullopt;
    return value;
}

bool write_all(int fd, std::string_view bytes) {
    while (!bytes.empty()) {
        const ssize_t written = ::write(fd, bytes.data(), bytes.size());
        if (written < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        if (written == 0) return false;
        bytes.remove_prefix(static_cast<std::size_t>(written));
    }
    return true;
}

int fsync_retrying(int fd) {
    int result = 0;
    do {
        result = ::fsync(fd);
    } while (result != 0 && errno == EINTR);
    return result;
}

// Makes the rename itself durable. Some file systems refuse fsync on a directory; the new file is in
// place either way, so this is best effort.
void sync_directory(const std::filesystem::path& directory) {
    const int fd = ::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return;
    fsync_retrying(fd);
    ::close(fd);
}

}  // namespace

PlatformRule current_platform_rule() noexcept {
#if defined(__APPLE__)
    return PlatformRule::MacOs;
#elif defined(_WIN32)
    return PlatformRule::Windows;
#else
    return PlatformRule::Linux;
#endif
}

std::optional<std::string> process_environment(std::string_view name) {
    const std::string key(name);
    const char* value = std::getenv(key.c_str());
    if (value == nullptr) return std::nullopt;
    std::string text(value);
    if (!text::is_valid_utf8(text)) return std::nullopt;
    return text;
}

std::optional<std::filesystem::path> data_directory_for(PlatformRule rule, const EnvironmentLookup& lookup) {
    switch (rule) {
        case PlatformRule::Linux: {
            if (auto xdg = usable(lookup, "XDG_DATA_HOME"); xdg && xdg->front() == '/') {
                return std::filesystem::path(*xdg) / kApplicationFolderName;
            }
            if (auto home = usable(lookup, "HOME")) {
                return std::filesystem::path(*home) / ".local" / "share" / kApplicationFolderName;
            }
            return std::nullopt;
        }
        case PlatformRule::MacOs:
            if (auto home = usable(lookup, "HOME")) {
                return std::filesystem::path(*home) / "Library" / "Application Support" / kApplicationFolderName;
            }
            return std::nullopt;
        case PlatformRule::Windows:
            if (auto appdata = usable(lookup, "APPDATA")) {
                return std::filesystem::path(*appdata) / kApplicationFolderName;
            }
            return std::nullopt;
    }
    return std::nullopt;
}

bool write_data_file(const std::filesystem::path& directory, std::string_view name, std::string_view contents) {
    const auto pid = static_cast<long long>(::getpid());
    std::filesystem::path temporary;
    int fd = -1;
    for (int attempt = 0; attempt < kTemporaryNameAttempts && fd < 0; ++attempt) {
        const std::uint64_t number = temporary_file_counter.fetch_add(1);
        temporary = directory / fmt::format("{}.{}.{}.tmp", name, pid, number);
        // Created exclusively and without following a link: the temporary name is ours alone.
        fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
        if (fd < 0 && errno != EEXIST) return false;
    }
    if (fd < 0) return false;

    // Flushed before the rename: otherwise a power loss can leave the renamed file empty.
    bool written = write_all(fd, contents) && fsync_retrying(fd) == 0;
    if (::close(fd) != 0) written = false;
    if (!written) {
        ::unlink(temporary.c_str());
        return false;
    }
    const std::filesystem::path target = directory / std::filesystem::path(std::string(name));
    if (::rename(temporary.c_str(), target.c_str()) != 0) {
        ::unlink(temporary.c_str());
        return false;
    }
    sync_directory(directory);
    return true;
}

}  // namespace ambrel::platform_fs
