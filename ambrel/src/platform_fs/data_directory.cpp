#include "platform_fs/data_directory.hpp"

#include <cstdlib>

#include "platform_fs/files.hpp"
#include "text/text.hpp"

namespace ambrel::platform_fs {
namespace {

std::optional<std::string> usable(const EnvironmentLookup& lookup, std::string_view name) {
    std::optional<std::string> value = lookup(name);
    if (!value || text::is_blank(*value)) return std::nullopt;
    return value;
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
    return !files::replace_durably(directory / std::filesystem::path(std::string(name)), contents);
}

}  // namespace ambrel::platform_fs
