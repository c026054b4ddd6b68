#pragma once

// A repository path as the user typed or pasted it, turned into a path: a path that already names a
// directory is used as typed; otherwise white space and zero-width marks at both ends go, one pair of
// matching quotes around it goes, and a leading "~" or "~/" is expanded with the home directory.
// Never fails: an empty or missing result is reported by the operation that uses it. Pure apart from
// reading the environment and the file system; any thread.

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace ambrel::git::repo_path {

// HOME when it is set, valid UTF-8 and not empty; otherwise USERPROFILE under the same conditions.
std::optional<std::filesystem::path> home_directory();

// The text without leading and trailing Unicode white space and zero-width marks (U+200B, U+200C,
// U+200D, U+FEFF).
std::string trim_edge_junk(std::string_view text);

std::filesystem::path resolve_repo_path_input(std::string_view typed, const std::optional<std::filesystem::path>& home);

}  // namespace ambrel::git::repo_path
