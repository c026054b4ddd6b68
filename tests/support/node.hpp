#pragma once

// The Node.js that the tests start (the pinned JSON-RPC client's scripts, and the `sf` launcher, which
// starts `node` by name), found as the scripts find it: scripts/setup installs the repository's pinned
// Node.js into tools/node when the system's is missing or too old for the pinned Salesforce CLI, and
// the scripts then put its folder first on PATH. A test binary run by hand so uses the same one as
// under scripts/test.

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace ambrel::testing {

// The folder holding the pinned Node.js's `node` once it is installed (tools/node/node_modules/.ambrel-bin).
std::filesystem::path pinned_node_bin_dir();

// The pinned Node.js when it is installed, otherwise the `node` on this process's PATH, if any.
std::optional<std::filesystem::path> node_executable();

// A PATH value for children: `path` with the pinned Node.js's folder first when it is installed.
std::string path_with_node(std::string_view path);
// This process's PATH so made.
std::string path_with_node();

}  // namespace ambrel::testing
