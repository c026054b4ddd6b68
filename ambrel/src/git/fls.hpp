#pragma once

// Profiles and permission sets of a repository side: listed and read through the side's content
// reader below the package prefixes of its layout. Missing files, unsafe names and files in unexpected
// places are left out quietly; only reader failures other than a missing file stop an operation, with
// that GitError unchanged. Pure functions; safe on any thread as far as the reader is.

#include <expected>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "domain/fls.hpp"
#include "git/git_error.hpp"
#include "git/layout.hpp"
#include "git/reader.hpp"

namespace ambrel::git {

// One listed container: its kind and its name (the file name without its suffix).
struct FlsContainerFile {
    domain::FlsContainerKind kind = domain::FlsContainerKind::Profile;
    std::string name;

    friend bool operator==(const FlsContainerFile&, const FlsContainerFile&) = default;
};

using FlsContainerId = std::pair<domain::FlsContainerKind, std::string>;

namespace fls {

// "profiles/{name}.profile-meta.xml" or "permissionsets/{name}.permissionset-meta.xml"; none for an
// empty name, a name with "/" or a path that is not safe.
std::optional<std::string> container_relative_path(domain::FlsContainerKind kind, std::string_view name);

// Permission sets before profiles, each by name in byte order; a container under several prefixes once.
std::expected<std::vector<FlsContainerFile>, GitError> list_containers(const GitContentReader& reader,
                                                                      const SfdxLayout& layout);

// The documents of the requested containers found under some prefix (the first prefix in layout
// order wins).
std::expected<std::map<FlsContainerId, std::string>, GitError> read_documents(const GitContentReader& reader,
                                                                             const SfdxLayout& layout,
                                                                             std::span<const FlsContainerId> requested);

}  // namespace fls

}  // namespace ambrel::git
