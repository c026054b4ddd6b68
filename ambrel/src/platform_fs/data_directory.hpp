#pragma once

// The per-user data directory of the system and the atomic replacement of a file in it.

#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace ambrel::platform_fs {

// Which convention locates the per-user data folder.
enum class PlatformRule { Linux, MacOs, Windows };

// The folder of the system below the per-user data folder.
inline constexpr std::string_view kApplicationFolderName = "quillary";

// Reads one environment variable: its value, or none when it is unset (or unusable).
using EnvironmentLookup = std::function<std::optional<std::string>(std::string_view name)>;

// The rule of the platform this program was built for.
PlatformRule current_platform_rule() noexcept;

// The process environment: none for a variable that is unset or whose value is not valid UTF-8.
std::optional<std::string> process_environment(std::string_view name);

// The data directory of the system for the current user, or none when the environment gives none.
// Creates nothing.
// - Linux: XDG_DATA_HOME/quillary when XDG_DATA_HOME is not blank and begins with "/"; else
//   HOME/.local/share/quillary when HOME is not blank.
// - macOS: HOME/Library/Application Support/quillary when HOME is not blank.
// - Windows: APPDATA/quillary when APPDATA is not blank.
// Values are used untrimmed; "blank" means empty or only white space.
std::optional<std::filesystem::path> data_directory_for(PlatformRule rule, const EnvironmentLookup& lookup);

// Replaces directory/name with exactly `contents`, atomically: the contents go to a new temporary
// file beside it ("{name}.{pid}.{n}.tmp"), which is flushed to disk and then renamed over the target,
// so a reader (or a reboot) sees either the old file or the new one. True on success; every failure
// gives false and leaves no temporary file behind.
bool write_data_file(const std::filesystem::path& directory, std::string_view name, std::string_view contents);

}  // namespace ambrel::platform_fs
