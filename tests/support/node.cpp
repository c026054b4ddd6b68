#include "support/node.hpp"

#include <unistd.h>

#include <cstdlib>

#include "support/test_paths.hpp"

namespace ambrel::testing {
namespace {

std::optional<std::filesystem::path> pinned_node() {
    const auto node = pinned_node_bin_dir() / "node";
    if (::access(node.c_str(), X_OK) == 0) return node;
    return std::nullopt;
}

}  // namespace

std::filesystem::path pinned_node_bin_dir() {
    return tests_dir().parent_path() / "tools" / "node" / "node_modules" / ".ambrel-bin";
}

std::optional<std::filesystem::path> node_executable() {
    if (auto pinned = pinned_node()) return pinned;
    return find_on_path("node");
}

std::string path_with_node(std::string_view path) {
    if (!pinned_node()) return std::string(path);
    std::string made = pinned_node_bin_dir().string();
    if (!path.empty()) made.append(":").append(path);
    return made;
}

std::string path_with_node() {
    const char* path = std::getenv("PATH");
    return path_with_node(path != nullptr ? std::string_view(path) : std::string_view());
}

}  // namespace ambrel::testing
