#include "cli/resolver.hpp"

#include <sys/stat.h>

#include <cstdlib>
#include <set>
#include <string_view>
#include <system_error>

#include "text/text.hpp"

namespace ambrel::cli {

namespace {

std::vector<std::string_view> executable_names(bool is_unix) {
    if (is_unix) return {"sf"};
    return {"sf.exe", "sf.cmd", "sf.bat", "sf"};
}

std::optional<std::string> environment_value(const char* name) {
    const char* value = std::getenv(name);
    if (value == nullptr) return std::nullopt;
    return std::string(value);
}

// Absolute, with "." components and repeated separators dropped; ".." stays and links are not
// resolved.
std::optional<std::filesystem::path> absolute_candidate(const std::filesystem::path& candidate) {
    std::filesystem::path base;
    if (candidate.is_relative()) {
        std::error_code error;
        base = std::filesystem::current_path(error);
        if (error) return std::nullopt;
    }
    const std::filesystem::path joined = base / candidate;
    std::filesystem::path out;
    for (const auto& part : joined) {
        if (part.empty() || part == ".") continue;
        out /= part;
    }
    return out;
}

bool is_executable_file(const std::filesystem::path& candidate) {
    struct stat info {};
    if (::stat(candidate.c_str(), &info) != 0) return false;
    return S_ISREG(info.st_mode) && (info.st_mode & (S_IXUSR | S_IXGRP | S_IXOTH)) != 0;
}

}  // namespace

Platform current_platform() noexcept {
#if defined(__APPLE__)
    return Platform::MacOs;
#elif defined(_WIN32)
    return Platform::Windows;
#else
    return Platform::Linux;
#endif
}

std::vector<std::filesystem::path> SfCliExecutableResolver::default_system_candidates(Platform platform) {
    switch (platform) {
        case Platform::MacOs:
            return {"/opt/homebrew/bin/sf", "/usr/local/bin/sf"};
        case Platform::Linux:
            return {"/usr/local/bin/sf", "/snap/bin/sf"};
        case Platform::Windows:
            return {};
    }
    return {};
}

SfCliExecutableResolver SfCliExecutableResolver::for_this_process() {
    const Platform platform = current_platform();
    return SfCliExecutableResolver{
        .system_candidates = default_system_candidates(platform),
        .path = environment_value("PATH"),
        .home = environment_value("HOME"),
        .is_unix = platform != Platform::Windows,
    };
}

std::vector<std::string> SfCliExecutableResolver::path_directories() const {
    std::vector<std::string> out;
    if (!path) return out;
    const char separator = is_unix ? ':' : ';';
    std::string_view rest = *path;
    while (true) {
        const std::size_t end = rest.find(separator);
        const std::string_view piece = rest.substr(0, end);
        if (!text::is_blank(piece)) out.emplace_back(piece);
        if (end == std::string_view::npos) break;
        rest.remove_prefix(end + 1);
    }
    return out;
}

std::vector<std::filesystem::path> SfCliExecutableResolver::user_install_candidates() const {
    std::vector<std::filesystem::path> out;
    if (!home) return out;
    const std::filesystem::path directory =
        is_unix ? std::filesystem::path(*home) / ".local" / "share" / "sf" / "client" / "bin"
                : std::filesystem::path(*home) / "AppData" / "Local" / "sf" / "client" / "bin";
    for (std::string_view name : executable_names(is_unix)) out.push_back(directory / name);
    return out;
}

std::string SfCliExecutableResolver::resolve() const {
    std::vector<std::filesystem::path> candidates;
    const auto names = executable_names(is_unix);
    for (const auto& directory : path_directories()) {
        for (std::string_view name : names) candidates.push_back(std::filesystem::path(directory) / name);
    }
    for (auto& candidate : user_install_candidates()) candidates.push_back(std::move(candidate));
    candidates.insert(candidates.end(), system_candidates.begin(), system_candidates.end());

    std::set<std::string> seen;
    for (const auto& candidate : candidates) {
        if (candidate.empty()) continue;
        const auto absolute = absolute_candidate(candidate);
        if (!absolute) continue;
        if (!seen.insert(absolute->native()).second) continue;
        if (is_executable_file(*absolute)) return text::decode_lossy(absolute->native());
    }
    return "sf";
}

}  // namespace ambrel::cli
