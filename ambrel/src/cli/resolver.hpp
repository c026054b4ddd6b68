#pragma once

// Finding the `sf` executable: the directories of PATH, the CLI's per-user install directory under
// HOME, then a few fixed install locations; the first regular file with an execute bit wins.

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace ambrel::cli {

enum class Platform { MacOs, Linux, Windows };

// The platform this program was built for (the resolver's fixed locations and naming follow it).
Platform current_platform() noexcept;

struct SfCliExecutableResolver {
    // The fixed install locations, tried last.
    std::vector<std::filesystem::path> system_candidates;
    // The values of PATH and HOME; absent when the variable is not set.
    std::optional<std::string> path;
    std::optional<std::string> home;
    // Unix naming ("sf", PATH separated by ':') or Windows naming ("sf.exe", "sf.cmd", "sf.bat",
    // "sf", separated by ';').
    bool is_unix = true;

    // The fixed install locations of a platform, in the order they are tried.
    static std::vector<std::filesystem::path> default_system_candidates(Platform platform);

    // A resolver over this process's PATH and HOME and the locations of the build's platform.
    static SfCliExecutableResolver for_this_process();

    // The absolute path of the first candidate that is a regular file with an execute bit (links
    // followed for the check, the link's own path returned), or "sf" when none qualifies, so that the
    // operating system's own search decides. Never fails.
    std::string resolve() const;

    // The pieces of PATH that are not blank, untrimmed, in order.
    std::vector<std::string> path_directories() const;

    // HOME joined with the per-user install directory and each executable name; empty without HOME.
    std::vector<std::filesystem::path> user_install_candidates() const;
};

}  // namespace ambrel::cli
