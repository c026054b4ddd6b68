#include "metadata/workspace/workspace.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

#include <fmt/format.h>

#include "metadata/manifest/api_versions.hpp"
#include "platform_fs/files.hpp"
#include "text/text.hpp"

namespace ambrel::metadata::workspace {
namespace {

namespace fs = std::filesystem;

constexpr std::string_view kRootPrefix = "quillary-";
constexpr std::string_view kSourceProject = "source-project";
constexpr std::string_view kTargetProject = "target-project";
constexpr std::string_view kEdits = "edits";
constexpr std::string_view kProjectFile = "sfdx-project.json";
constexpr std::string_view kMetadataRoot = "force-app/main/default";

std::error_code errno_code() { return {errno, std::generic_category()}; }

// Compares two paths component by component (so "/a/b" and "/a//b/" agree).
bool same_components(const fs::path& left, const fs::path& right) {
    auto l = left.begin();
    auto r = right.begin();
    for (;;) {
        while (l != left.end() && l->empty()) ++l;
        while (r != right.end() && r->empty()) ++r;
        if (l == left.end() || r == right.end()) return l == left.end() && r == right.end();
        if (*l != *r) return false;
        ++l;
        ++r;
    }
}

// The parent of a normalised path, or nothing at the root or for a single relative name.
std::optional<fs::path> parent_of(const fs::path& path) {
    if (!path.has_relative_path()) return std::nullopt;
    fs::path parent = path.parent_path();
    if (parent.empty()) return std::nullopt;
    return parent;
}

std::expected<void, WorkspaceError> create_folders(const fs::path& path, std::string_view message) {
    std::error_code error;
    fs::create_directories(path, error);
    if (error) return std::unexpected(WorkspaceError::io(error, message));
    return {};
}

}  // namespace

std::string quoted_path(const fs::path& path) {
    const std::string& bytes = path.native();
    std::string out = "\"";
    std::size_t i = 0;
    while (i < bytes.size()) {
        const auto c = static_cast<unsigned char>(bytes[i]);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
            ++i;
        } else if (c == '\n') {
            out += "\\n";
            ++i;
        } else if (c == '\r') {
            out += "\\r";
            ++i;
        } else if (c == '\t') {
            out += "\\t";
            ++i;
        } else if (c < 0x20 || c == 0x7f) {
            out += fmt::format("\\u{{{:x}}}", c);
            ++i;
        } else if (c < 0x80) {
            out += static_cast<char>(c);
            ++i;
        } else {
            // A valid multi-byte character is kept (C1 controls escaped); each invalid byte in hex.
            const text::DecodedChar decoded = text::decode_at(bytes, i);
            if (!decoded.valid) {
                for (std::size_t k = 0; k < decoded.length; ++k) {
                    out += fmt::format("\\x{:02X}", static_cast<unsigned char>(bytes[i + k]));
                }
            } else if (decoded.value < 0xA0) {
                out += fmt::format("\\u{{{:x}}}", static_cast<unsigned>(decoded.value));
            } else {
                out.append(bytes, i, decoded.length);
            }
            i += decoded.length;
        }
    }
    out += '"';
    return out;
}

std::string WorkspaceError::message() const {
    struct Visitor {
        std::string operator()(const InvalidApiVersion&) const { return "API version must be numeric"; }
        std::string operator()(const NotDirectChild& value) const {
            return fmt::format("Plugin temp parent {} must be a direct child of trust anchor {}",
                               quoted_path(value.candidate), quoted_path(value.anchor));
        }
        std::string operator()(const ReplacedPath& value) const {
            return fmt::format("Refusing to use replaced workspace path {}: {}", quoted_path(value.path), value.reason);
        }
        std::string operator()(const InsecureParent& value) const {
            return fmt::format("Plugin temp parent {} is insecure: {}", quoted_path(value.path), value.reason);
        }
        std::string operator()(const Io& value) const { return value.message; }
    };
    return std::visit(Visitor{}, variant_);
}

WorkspaceTrustAnchor WorkspaceTrustAnchor::at(const fs::path& path) {
    return WorkspaceTrustAnchor(manifest::absolute_normalized(path));
}

std::expected<WorkspaceLocation, WorkspaceError> WorkspaceTrustAnchor::workspace_at(const fs::path& candidate) const {
    const fs::path normalized = manifest::absolute_normalized(candidate);
    const auto parent = parent_of(normalized);
    if (!parent || !same_components(*parent, path_)) {
        return std::unexpected(WorkspaceError(WorkspaceError::NotDirectChild{normalized, path_}));
    }
    return WorkspaceLocation(path_, normalized);
}

std::string project_manifest_text(std::string_view api_version) {
    return fmt::format(
        "{{\n"
        "  \"packageDirectories\": [{{\"path\": \"force-app\", \"default\": true}}],\n"
        "  \"name\": \"quillary-temp\",\n"
        "  \"namespace\": \"\",\n"
        "  \"sourceApiVersion\": \"{}\"\n"
        "}}\n",
        api_version);
}

std::expected<void, WorkspaceError> write_project_manifest(const fs::path& project, std::string_view api_version) {
    if (auto made = create_folders(project, "Could not create project root"); !made) return made;
    const fs::path file = project / kProjectFile;
    // One write of the whole text; an existing file (or a link in its place) is replaced as an entry.
    if (const std::error_code error = platform_fs::files::replace_durably(file, project_manifest_text(api_version))) {
        return std::unexpected(WorkspaceError::io(error, "Could not write sfdx-project.json"));
    }
    return {};
}

std::expected<void, WorkspaceError> create_project_root(const fs::path& project, std::string_view api_version) {
    if (auto made = create_folders(project / kMetadataRoot, "Could not create project metadata root"); !made) {
        return made;
    }
    return write_project_manifest(project, api_version);
}

std::expected<void, WorkspaceError> create_edits_root(const fs::path& path) {
    return create_folders(path, "Could not create workspace edits root");
}

std::expected<void, WorkspaceError> verify_private_parent(const fs::path& path) {
    struct stat status {};
    if (::lstat(path.c_str(), &status) != 0) {
        return std::unexpected(WorkspaceError::io(errno_code(), "Could not inspect plugin temp parent"));
    }
    if (!S_ISDIR(status.st_mode)) {
        return std::unexpected(
            WorkspaceError(WorkspaceError::InsecureParent{path, "plugin temp parent is not a regular directory"}));
    }
    if ((status.st_mode & 022) != 0) {
        return std::unexpected(WorkspaceError(
            WorkspaceError::InsecureParent{path, "plugin temp parent must be writable only by its owner"}));
    }
    if (status.st_uid != ::geteuid()) {
        return std::unexpected(
            WorkspaceError(WorkspaceError::InsecureParent{path, "plugin temp parent is not owned by the current user"}));
    }
    return {};
}

std::expected<platform_fs::unix::FileIdentity, WorkspaceError> identity(const fs::path& path) {
    auto found = platform_fs::unix::identity_of(path);
    if (!found) return std::unexpected(WorkspaceError::io(found.error(), "Could not read filesystem identity"));
    return *found;
}

struct MetadataWorkspace::Parts {
    fs::path root;
    fs::path trust_anchor;
    fs::path plugin_temp_parent;
    platform_fs::unix::FileIdentity anchor_identity;
    platform_fs::unix::FileIdentity parent_identity;
    platform_fs::unix::FileIdentity root_identity;
};

MetadataWorkspace::MetadataWorkspace(Parts parts)
    : root_(parts.root),
      source_project_(parts.root / kSourceProject),
      target_project_(parts.root / kTargetProject),
      edits_(parts.root / kEdits),
      trust_anchor_(std::move(parts.trust_anchor)),
      plugin_temp_parent_(std::move(parts.plugin_temp_parent)),
      anchor_identity_(parts.anchor_identity),
      parent_identity_(parts.parent_identity),
      root_identity_(parts.root_identity) {}

MetadataWorkspace::~MetadataWorkspace() { (void)close(); }

std::expected<std::shared_ptr<MetadataWorkspace>, WorkspaceError> MetadataWorkspace::create(
    const WorkspaceLocation& location, std::string_view api_version) {
    if (!manifest::is_api_version(api_version)) {
        return std::unexpected(WorkspaceError(WorkspaceError::InvalidApiVersion{}));
    }
    std::error_code error;
    const fs::path anchor = fs::canonical(location.trust_anchor(), error);
    if (error) return std::unexpected(WorkspaceError::io(error, "Could not resolve workspace trust anchor"));
    auto anchor_identity = identity(anchor);
    if (!anchor_identity) return std::unexpected(anchor_identity.error());

    const fs::path name = location.plugin_temp_parent().filename();
    if (name.empty() || name == "." || name == "..") {
        return std::unexpected(WorkspaceError(WorkspaceError::NotDirectChild{location.plugin_temp_parent(), anchor}));
    }
    const fs::path candidate = anchor / name;
    if (const auto parent = parent_of(candidate); !parent || !same_components(*parent, anchor)) {
        return std::unexpected(WorkspaceError(WorkspaceError::NotDirectChild{candidate, anchor}));
    }
    if (auto made = platform_fs::unix::create_private_directory(candidate); !made) {
        return std::unexpected(WorkspaceError::io(made.error(), "Could not create plugin temp parent"));
    }
    auto anchor_again = identity(anchor);
    if (!anchor_again) return std::unexpected(anchor_again.error());
    if (*anchor_again != *anchor_identity) {
        return std::unexpected(
            WorkspaceError(WorkspaceError::ReplacedPath{anchor, "trust anchor identity changed during preparation"}));
    }
    if (auto private_parent = verify_private_parent(candidate); !private_parent) {
        return std::unexpected(private_parent.error());
    }
    auto parent_identity = identity(candidate);
    if (!parent_identity) return std::unexpected(parent_identity.error());

    auto made_root = platform_fs::files::PrivateTempDir::create(kRootPrefix, candidate);
    if (!made_root) return std::unexpected(WorkspaceError::io(made_root.error(), "Could not create workspace root"));
    // Until the workspace exists, the owner removes the root on every failure below.
    const fs::path root = made_root->path();
    auto root_identity = identity(root);
    if (!root_identity) return std::unexpected(root_identity.error());
    if (auto source = create_project_root(root / kSourceProject, api_version); !source) {
        return std::unexpected(source.error());
    }
    if (auto target = create_project_root(root / kTargetProject, api_version); !target) {
        return std::unexpected(target.error());
    }
    if (auto edits = create_edits_root(root / kEdits); !edits) return std::unexpected(edits.error());

    (void)made_root->detach();
    return std::shared_ptr<MetadataWorkspace>(new MetadataWorkspace(
        Parts{root, anchor, candidate, *anchor_identity, *parent_identity, *root_identity}));
}

std::expected<void, WorkspaceError> MetadataWorkspace::close() const {
    bool expected = false;
    if (!closed_.compare_exchange_strong(expected, true)) return {};
    auto closed = close_checked();
    if (!closed) closed_.store(false);
    return closed;
}

std::expected<void, WorkspaceError> MetadataWorkspace::close_checked() const {
    auto anchor = identity(trust_anchor_);
    if (!anchor) return std::unexpected(anchor.error());
    if (*anchor != anchor_identity_) {
        return std::unexpected(WorkspaceError(WorkspaceError::ReplacedPath{trust_anchor_, "trust anchor identity changed"}));
    }
    if (const auto parent = parent_of(plugin_temp_parent_); !parent || !same_components(*parent, trust_anchor_)) {
        return std::unexpected(WorkspaceError(WorkspaceError::NotDirectChild{plugin_temp_parent_, trust_anchor_}));
    }
    auto parent = identity(plugin_temp_parent_);
    if (!parent) return std::unexpected(parent.error());
    if (*parent != parent_identity_) {
        return std::unexpected(
            WorkspaceError(WorkspaceError::ReplacedPath{plugin_temp_parent_, "plugin temp parent identity changed"}));
    }
    if (auto private_parent = verify_private_parent(plugin_temp_parent_); !private_parent) {
        return std::unexpected(private_parent.error());
    }

    struct stat status {};
    if (::lstat(root_.c_str(), &status) != 0) {
        if (errno == ENOENT) return {};
        return std::unexpected(WorkspaceError::io(errno_code(), "Could not inspect workspace root"));
    }
    if (S_ISDIR(status.st_mode)) {
        auto root = identity(root_);
        if (!root) return std::unexpected(root.error());
        if (*root != root_identity_) {
            return std::unexpected(WorkspaceError(WorkspaceError::ReplacedPath{root_, "workspace root identity changed"}));
        }
        std::error_code error;
        // remove_all removes links inside the tree as links and never descends through them.
        fs::remove_all(root_, error);
        if (error) return std::unexpected(WorkspaceError::io(error, "Could not remove workspace root"));
        return {};
    }
    if (S_ISLNK(status.st_mode)) {
        if (::unlink(root_.c_str()) != 0) {
            return std::unexpected(WorkspaceError::io(errno_code(), "Could not remove workspace root symlink"));
        }
        return {};
    }
    return std::unexpected(WorkspaceError(WorkspaceError::ReplacedPath{root_, "workspace root is not a directory"}));
}

}  // namespace ambrel::metadata::workspace
