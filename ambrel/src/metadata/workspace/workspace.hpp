#pragma once

// The private temporary SFDX workspace. Below the front end's workspace root (the trust anchor) lies
// the private folder "quillary" (the plugin temp parent, mode 0700, owned by the user); each workspace
// is a folder "quillary-XXXXXX" in it holding "source-project" and "target-project" (each with its
// "sfdx-project.json" and "force-app/main/default") and an empty "edits" folder.
//
// Creation records the identities (device, inode, creation time) of the anchor, the parent and the
// root; `close` removes the root only after checking all three again, never follows a link (a root
// replaced by a link loses the link, never its target) and refuses to touch a parent that stopped
// being private. Failures are `WorkspaceError` values with fixed display texts:
//   "API version must be numeric"
//   "Plugin temp parent {} must be a direct child of trust anchor {}"
//   "Refusing to use replaced workspace path {}: {}"
//   "Plugin temp parent {} is insecure: {}"
//   and the fixed messages of `Io` ("Could not create workspace root", …).
// Paths in messages are quoted, with quotes, backslashes and control characters escaped.
//
// A workspace is shared (std::shared_ptr) between the operation that made it and the objects using
// it; `close` may be called from any thread and any number of times, and the last release closes it
// as a last resort, dropping an error.

#include <atomic>
#include <expected>
#include <filesystem>
#include <memory>
#include <string>
#include <string_view>
#include <system_error>
#include <variant>

#include "platform_fs/unix.hpp"

namespace ambrel::metadata::workspace {

class WorkspaceError {
public:
    struct InvalidApiVersion {
        friend bool operator==(const InvalidApiVersion&, const InvalidApiVersion&) = default;
    };
    struct NotDirectChild {
        std::filesystem::path candidate;
        std::filesystem::path anchor;
        friend bool operator==(const NotDirectChild&, const NotDirectChild&) = default;
    };
    struct ReplacedPath {
        std::filesystem::path path;
        std::string reason;
        friend bool operator==(const ReplacedPath&, const ReplacedPath&) = default;
    };
    struct InsecureParent {
        std::filesystem::path path;
        std::string reason;
        friend bool operator==(const InsecureParent&, const InsecureParent&) = default;
    };
    // The operating system's error stays in the value but is not shown.
    struct Io {
        std::error_code error;
        std::string message;
        friend bool operator==(const Io&, const Io&) = default;
    };
    using Variant = std::variant<InvalidApiVersion, NotDirectChild, ReplacedPath, InsecureParent, Io>;

    WorkspaceError(Variant value) : variant_(std::move(value)) {}
    static WorkspaceError io(std::error_code error, std::string_view message) {
        return WorkspaceError(Io{error, std::string(message)});
    }

    const Variant& variant() const noexcept { return variant_; }
    template <class T>
    const T* get_if() const noexcept {
        return std::get_if<T>(&variant_);
    }
    // The display text.
    std::string message() const;

    friend bool operator==(const WorkspaceError&, const WorkspaceError&) = default;

private:
    Variant variant_;
};

// Where workspaces may be created: the plugin temp parent, a direct child of the anchor. Made only by
// `WorkspaceTrustAnchor::workspace_at`.
class WorkspaceLocation {
public:
    const std::filesystem::path& trust_anchor() const noexcept { return trust_anchor_; }
    const std::filesystem::path& plugin_temp_parent() const noexcept { return plugin_temp_parent_; }

private:
    friend class WorkspaceTrustAnchor;
    WorkspaceLocation(std::filesystem::path anchor, std::filesystem::path parent)
        : trust_anchor_(std::move(anchor)), plugin_temp_parent_(std::move(parent)) {}

    std::filesystem::path trust_anchor_;
    std::filesystem::path plugin_temp_parent_;
};

// The folder the front end names as its workspace root: absolute and lexically normalised, not
// resolved through links; it need not exist yet.
class WorkspaceTrustAnchor {
public:
    static WorkspaceTrustAnchor at(const std::filesystem::path& path);

    // The location for a candidate parent folder, which must (once normalised) be a direct child of
    // the anchor; otherwise `NotDirectChild`.
    std::expected<WorkspaceLocation, WorkspaceError> workspace_at(const std::filesystem::path& candidate) const;

    const std::filesystem::path& path() const noexcept { return path_; }

private:
    explicit WorkspaceTrustAnchor(std::filesystem::path path) : path_(std::move(path)) {}
    std::filesystem::path path_;
};

class MetadataWorkspace {
public:
    // Creates one workspace, writing `api_version` into both project files. Nothing is touched before
    // the version is checked; a failure after the root was made removes the root again.
    static std::expected<std::shared_ptr<MetadataWorkspace>, WorkspaceError> create(const WorkspaceLocation& location,
                                                                                    std::string_view api_version);

    MetadataWorkspace(const MetadataWorkspace&) = delete;
    MetadataWorkspace& operator=(const MetadataWorkspace&) = delete;
    // Closes the workspace as a last resort; an error is dropped.
    ~MetadataWorkspace();

    // Removes the workspace after re-checking the identities. Exactly one caller does the work; a
    // caller that comes while it runs, or after it succeeded, succeeds at once. A failure leaves the
    // workspace open, so a later close tries again.
    std::expected<void, WorkspaceError> close() const;

    const std::filesystem::path& root() const noexcept { return root_; }
    const std::filesystem::path& source_project() const noexcept { return source_project_; }
    const std::filesystem::path& target_project() const noexcept { return target_project_; }
    const std::filesystem::path& edits() const noexcept { return edits_; }
    bool is_closed() const noexcept { return closed_.load(); }

private:
    struct Parts;
    explicit MetadataWorkspace(Parts parts);

    std::expected<void, WorkspaceError> close_checked() const;

    std::filesystem::path root_;
    std::filesystem::path source_project_;
    std::filesystem::path target_project_;
    std::filesystem::path edits_;
    std::filesystem::path trust_anchor_;
    std::filesystem::path plugin_temp_parent_;
    platform_fs::unix::FileIdentity anchor_identity_;
    platform_fs::unix::FileIdentity parent_identity_;
    platform_fs::unix::FileIdentity root_identity_;
    mutable std::atomic<bool> closed_{false};
};

// Creates the project folder (with missing parents) and writes its six-line "sfdx-project.json"
// named "quillary-temp" with the given API version (written unchanged). Failures: `Io` "Could not
// create project root", "Could not write sfdx-project.json".
std::expected<void, WorkspaceError> write_project_manifest(const std::filesystem::path& project,
                                                           std::string_view api_version);
// Creates "force-app/main/default" below the project folder ("Could not create project metadata
// root"), then writes the project file.
std::expected<void, WorkspaceError> create_project_root(const std::filesystem::path& project,
                                                        std::string_view api_version);
// Creates the edits folder with missing parents ("Could not create workspace edits root").
std::expected<void, WorkspaceError> create_edits_root(const std::filesystem::path& path);
// The privacy test of the plugin temp parent: a real directory (not a link), without group or other
// write permission, owned by the effective user.
std::expected<void, WorkspaceError> verify_private_parent(const std::filesystem::path& path);
// The identity of the entry itself ("Could not read filesystem identity").
std::expected<platform_fs::unix::FileIdentity, WorkspaceError> identity(const std::filesystem::path& path);

// The exact text of a temporary project file.
std::string project_manifest_text(std::string_view api_version);

// A path in the quoted form used in messages.
std::string quoted_path(const std::filesystem::path& path);

}  // namespace ambrel::metadata::workspace
