#include "platform_fs/below.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace ambrel::platform_fs::below {
namespace {

using files::UniqueFd;


std::error_code os_error() { return {errno, std::generic_category()}; }

// "a/b/c" as its parent part "a/b" and its name "c".
std::pair<std::string_view, std::string_view> split_last(std::string_view relative) {
    const std::size_t slash = relative.rfind('/');
    if (slash == std::string_view::npos) return {std::string_view(), relative};
    return {relative.substr(0, slash), relative.substr(slash + 1)};
}

bool is_bad_component(std::string_view name) { return name.empty() || name == "." || name == ".."; }

std::expected<UniqueFd, std::error_code> open_child_directory(int parent, const std::string& name, bool create,
                                                              mode_t mode) {
    for (int attempt = 0; attempt < 2; ++attempt) {
        UniqueFd fd(::openat(parent, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        if (fd) return fd;
        const int error = errno;
        if (error == ELOOP || error == ENOTDIR) return std::unexpected(std::make_error_code(std::errc::not_a_directory));
        if (error != ENOENT || !create || attempt > 0) return std::unexpected(std::error_code(error, std::generic_category()));
        if (::mkdirat(parent, name.c_str(), mode) != 0 && errno != EEXIST) return std::unexpected(os_error());
    }
    return std::unexpected(std::make_error_code(std::errc::no_such_file_or_directory));
}

}  // namespace

std::expected<UniqueFd, std::error_code> open_directory(const std::filesystem::path& root, std::string_view relative,
                                                        bool create_missing, mode_t mode) {
    UniqueFd current(::open(root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!current) return std::unexpected(os_error());
    while (!relative.empty()) {
        const std::size_t slash = relative.find('/');
        const std::string_view name = relative.substr(0, slash);
        relative = slash == std::string_view::npos ? std::string_view() : relative.substr(slash + 1);
        if (is_bad_component(name)) return std::unexpected(std::make_error_code(std::errc::invalid_argument));
        auto next = open_child_directory(current.get(), std::string(name), create_missing, mode);
        if (!next) return std::unexpected(next.error());
        current = std::move(*next);
    }
    return current;
}

namespace {

// The last step of `entry_kind`, in the open parent folder.
std::expected<EntryKind, std::error_code> entry_kind_in(int parent, std::string_view name) {
    struct stat status {};
    if (::fstatat(parent, std::string(name).c_str(), &status, AT_SYMLINK_NOFOLLOW) != 0) {
        if (errno == ENOENT) return EntryKind::Missing;
        return std::unexpected(os_error());
    }
    if (S_ISREG(status.st_mode)) return EntryKind::Regular;
    if (S_ISDIR(status.st_mode)) return EntryKind::Directory;
    if (S_ISLNK(status.st_mode)) return EntryKind::Link;
    return EntryKind::Other;
}

// The last step of `read_file`, in the open parent folder.
std::expected<std::string, std::error_code> read_file_in(int parent, std::string_view name,
                                                         std::optional<std::size_t> max_bytes) {
    UniqueFd fd(::openat(parent, std::string(name).c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOFOLLOW));
    if (!fd) return std::unexpected(os_error());
    return files::read_open_regular_file(fd.get(), max_bytes);
}

}  // namespace

std::expected<EntryKind, std::error_code> entry_kind(const std::filesystem::path& root, std::string_view relative) {
    const auto [parent_part, name] = split_last(relative);
    if (is_bad_component(name)) return std::unexpected(std::make_error_code(std::errc::invalid_argument));
    auto parent = open_directory(root, parent_part, false);
    if (!parent) {
        if (parent.error() == std::errc::no_such_file_or_directory) return EntryKind::Missing;
        return std::unexpected(parent.error());
    }
    return entry_kind_in(parent->get(), name);
}

std::expected<std::string, std::error_code> read_file(const std::filesystem::path& root, std::string_view relative,
                                                      std::optional<std::size_t> max_bytes) {
    const auto [parent_part, name] = split_last(relative);
    if (is_bad_component(name)) return std::unexpected(std::make_error_code(std::errc::invalid_argument));
    auto parent = open_directory(root, parent_part, false);
    if (!parent) return std::unexpected(parent.error());
    return read_file_in(parent->get(), name, max_bytes);
}

FolderCursor::FolderCursor(std::filesystem::path root) : root_(std::move(root)) {}

std::expected<int, std::error_code> FolderCursor::folder(std::string_view relative, bool create_missing, mode_t mode) {
    if (folder_fd_ && relative == folder_) return folder_fd_.get();
    folder_fd_.reset();
    auto opened = open_directory(root_, relative, create_missing, mode);
    if (!opened) return std::unexpected(opened.error());
    folder_fd_ = std::move(*opened);
    folder_.assign(relative);
    return folder_fd_.get();
}

std::expected<EntryKind, std::error_code> FolderCursor::entry_kind(std::string_view relative) {
    const auto [parent_part, name] = split_last(relative);
    if (is_bad_component(name)) return std::unexpected(std::make_error_code(std::errc::invalid_argument));
    auto parent = folder(parent_part, false);
    if (!parent) {
        if (parent.error() == std::errc::no_such_file_or_directory) return EntryKind::Missing;
        return std::unexpected(parent.error());
    }
    return entry_kind_in(*parent, name);
}

std::expected<std::string, std::error_code> FolderCursor::read_file(std::string_view relative,
                                                                    std::optional<std::size_t> max_bytes) {
    const auto [parent_part, name] = split_last(relative);
    if (is_bad_component(name)) return std::unexpected(std::make_error_code(std::errc::invalid_argument));
    auto parent = folder(parent_part, false);
    if (!parent) return std::unexpected(parent.error());
    return read_file_in(*parent, name, max_bytes);
}

std::error_code write_file_at(int directory_fd, std::string_view name, std::string_view bytes, WriteMode mode) {
    if (is_bad_component(name) || name.find('/') != std::string_view::npos) {
        return std::make_error_code(std::errc::invalid_argument);
    }
    int flags = O_WRONLY | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC;
    if (mode == WriteMode::Exclusive) flags |= O_EXCL;
    UniqueFd fd(::openat(directory_fd, std::string(name).c_str(), flags, 0666));
    if (!fd) return os_error();
    struct stat status {};
    if (::fstat(fd.get(), &status) != 0) return os_error();
    if (!S_ISREG(status.st_mode)) return std::make_error_code(std::errc::invalid_argument);
    if (mode == WriteMode::Replace && ::ftruncate(fd.get(), 0) != 0) return os_error();
    if (std::error_code error = files::write_all(fd.get(), bytes)) return error;
    return fd.close();
}

std::error_code write_file(const std::filesystem::path& root, std::string_view relative, std::string_view bytes,
                           WriteMode mode) {
    const auto [parent_part, name] = split_last(relative);
    if (is_bad_component(name)) return std::make_error_code(std::errc::invalid_argument);
    auto parent = open_directory(root, parent_part, true);
    if (!parent) return parent.error();
    return write_file_at(parent->get(), name, bytes, mode);
}

std::error_code remove_file(const std::filesystem::path& root, std::string_view relative) {
    const auto [parent_part, name] = split_last(relative);
    if (is_bad_component(name)) return std::make_error_code(std::errc::invalid_argument);
    auto parent = open_directory(root, parent_part, false);
    if (!parent) return parent.error();
    if (::unlinkat(parent->get(), std::string(name).c_str(), 0) != 0) return os_error();
    return {};
}

}  // namespace ambrel::platform_fs::below
