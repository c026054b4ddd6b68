#include "deployment/git_deploy/git_deploy.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <variant>

#include <fmt/format.h>

#include "endpoint/deploy_endpoint.hpp"
#include "git/branch_name.hpp"
#include "git/inspector.hpp"
#include "git/layout.hpp"
#include "git/sanitize.hpp"
#include "metadata_types/name_rules.hpp"
#include "metadata_types/type_descriptor.hpp"
#include "platform_fs/files.hpp"
#include "text/text.hpp"

namespace ambrel::deployment::git_deploy {
namespace {

using git::GitError;
using metadata_types::ContentFormat;
using platform_fs::below::EntryKind;

// Shared by every deploy of the process: the number of the next temporary worktree.
std::atomic<std::uint64_t> worktree_seq{0};

constexpr std::string_view kProjectFile = "sfdx-project.json";
constexpr std::string_view kCommitMessage = "Quillary: {} component(s) from {}";
constexpr std::string_view kDefaultProjectFile =
    "{{\n  \"packageDirectories\": [\n    {{ \"path\": \"{}\", \"default\": true }}\n  ],\n"
    "  \"sourceApiVersion\": \"{}\"\n}}\n";
constexpr std::string_view kBareSentence = "A bare repository cannot be a deployment target.";
constexpr std::string_view kCancelledSentence = "The deployment was cancelled.";
constexpr std::string_view kNothingToCommitSentence = "The deployment produced no files to commit.";
constexpr std::string_view kSourceUnparsableSentence = "The source document of a container component could not be parsed.";
constexpr std::string_view kNoMatchingElementSentence =
    "The source document of a container component has no matching element.";
constexpr std::string_view kTargetUnparsableSentence = "The container document {} in the target branch could not be parsed.";
constexpr std::string_view kCreateWorktreeStep = "Could not create the temporary worktree";
constexpr std::string_view kCheckFileStep = "Could not check the metadata file";
constexpr std::string_view kReadFileStep = "Could not read the metadata file";
constexpr std::string_view kReadBundleStep = "Could not read the bundle directory";
constexpr std::string_view kRemoveStaleStep = "Could not remove the stale bundle file";
constexpr std::string_view kPathspecFileStep = "Could not write the pathspec file";
constexpr std::string_view kPathspecFileName = "pathspec";
constexpr std::string_view kMainDefaultFolder = "main/default/";

std::string join(std::string_view a, std::string_view b) { return fmt::format("{}/{}", a, b); }

GitError command_failed(const git::GitCommandOutput& output, const std::filesystem::path& repository,
                        const std::filesystem::path& target) {
    const std::filesystem::path paths[] = {repository, target};
    return GitError::command_failed(output.diagnostic_for(paths));
}

// The NUL-separated names of a git listing, trailing line feeds removed, empty ones dropped.
std::vector<std::string> nul_pieces(std::string_view output) {
    std::vector<std::string> pieces;
    while (!output.empty()) {
        const std::size_t end = output.find('\0');
        std::string_view piece = output.substr(0, end);
        output = end == std::string_view::npos ? std::string_view() : output.substr(end + 1);
        while (!piece.empty() && piece.back() == '\n') piece.remove_suffix(1);
        if (!piece.empty()) pieces.emplace_back(piece);
    }
    return pieces;
}

// One change to the write target, in the order the deploy makes them.
struct WriteFile {
    std::string path;  // relative to the target
    std::string content;
};
struct RemoveFile {
    std::string path;  // relative to the target
};
using Action = std::variant<WriteFile, RemoveFile>;

struct ContainerWrite {
    std::vector<git::IncomingContainerChild> children;
    std::vector<std::pair<domain::ComponentKey, domain::ChangeKind>> components;
    std::string container_type;
};

// Everything a deploy will do, computed before it does anything.
struct Plan {
    std::vector<Action> actions;
    std::set<std::string> staged;
    std::vector<domain::ComponentDeploymentResult> results;
};

domain::ComponentDeploymentResult succeeded(const domain::ComponentKey& key, domain::ChangeKind change) {
    return domain::ComponentDeploymentResult{key, {}, change, domain::ComponentDeploymentStatus::Succeeded};
}

// The entries of one folder below the root with their kinds, links never followed.
std::expected<std::vector<std::pair<std::string, EntryKind>>, std::error_code> folder_entries(
    const std::filesystem::path& root, std::string_view relative) {
    auto directory = platform_fs::below::open_directory(root, relative, false);
    if (!directory) return std::unexpected(directory.error());
    const int fd = directory->get();
    // The copy keeps close-on-exec, which a plain dup would drop.
    const int copy = ::fcntl(fd, F_DUPFD_CLOEXEC, 0);
    DIR* stream = copy < 0 ? nullptr : ::fdopendir(copy);
    if (stream == nullptr && copy >= 0) ::close(copy);
    if (stream == nullptr) return std::unexpected(platform_fs::files::last_error());
    std::vector<std::pair<std::string, EntryKind>> entries;
    std::error_code error;
    for (;;) {
        errno = 0;
        const dirent* entry = ::readdir(stream);
        if (entry == nullptr) {
            if (errno != 0) error = platform_fs::files::last_error();
            break;
        }
        const std::string name = entry->d_name;
        if (name == "." || name == "..") continue;
        struct stat status {};
        if (::fstatat(fd, name.c_str(), &status, AT_SYMLINK_NOFOLLOW) != 0) {
            error = platform_fs::files::last_error();
            break;
        }
        const EntryKind kind = S_ISLNK(status.st_mode)   ? EntryKind::Link
                               : S_ISDIR(status.st_mode) ? EntryKind::Directory
                               : S_ISREG(status.st_mode) ? EntryKind::Regular
                                                         : EntryKind::Other;
        entries.emplace_back(name, kind);
    }
    ::closedir(stream);
    if (error) return std::unexpected(error);
    return entries;
}

class Planner {
public:
    Planner(const git::GitGateway& gateway, const git::ContainerDocuments& documents, const DeployFileSystem& file_system,
            const std::filesystem::path& repository, const std::filesystem::path& target,
            std::map<std::string, std::set<std::string>>& folder_cache)
        : gateway_(gateway),
          documents_(documents),
          file_system_(file_system),
          repository_(repository),
          target_(target),
          folder_cache_(folder_cache) {}

    std::expected<Plan, GitError> plan(const std::vector<domain::ComponentDifference>& rows,
                                       const FlsDocuments& fls_documents) {
        if (auto project = plan_project_file(); !project) return std::unexpected(project.error());
        for (const domain::ComponentDifference& row : rows) {
            if (auto planned = plan_row(row); !planned) return std::unexpected(planned.error());
        }
        if (auto containers = plan_containers(); !containers) return std::unexpected(containers.error());
        if (auto permissions = plan_permissions(fls_documents); !permissions) {
            return std::unexpected(permissions.error());
        }
        return std::move(plan_);
    }

private:
    std::expected<void, GitError> add_write(std::string path, std::string content) {
        if (auto checked = check_destination(file_system_, target_, path, folder_cache_); !checked) {
            return std::unexpected(checked.error());
        }
        plan_.staged.insert(path);
        plan_.actions.emplace_back(WriteFile{std::move(path), std::move(content)});
        return {};
    }

    std::expected<void, GitError> plan_project_file() {
        auto text = platform_fs::below::read_file(target_, kProjectFile);
        if (!text && text.error() == std::errc::no_such_file_or_directory) {
            package_directory_ = std::string(kDefaultPackageDirectory);
            prefixes_ = {package_directory_};
            return add_write(std::string(kProjectFile),
                             fmt::format(fmt::runtime(kDefaultProjectFile), kDefaultPackageDirectory, kDefaultApiVersion));
        }
        if (!text || !text::is_valid_utf8(*text)) return std::unexpected(GitError::unparsable_manifest_paths({}));
        DefaultPackageDirectory chosen = default_package_directory(*text);
        if (!chosen.directory) return std::unexpected(GitError::unparsable_manifest_paths(chosen.refused));
        package_directory_ = *chosen.directory;
        const git::ParsedSfdxProject parsed = git::SfdxLayout::from_text(*text);
        prefixes_ = parsed.layout ? parsed.layout->package_directories : std::vector<std::string>{package_directory_};
        return {};
    }

    std::string package_prefix() const { return join(package_directory_, git::kMainDefault); }

    std::expected<void, GitError> plan_row(const domain::ComponentDifference& row) {
        const domain::MetadataComponent& source = row.source;
        const std::string& name = source.key.name;
        const metadata_types::TypeDescriptor& descriptor = source.key.metadata_type.descriptor();
        const ContentFormat& format = descriptor.content_format;
        if (const auto* container = std::get_if<ContentFormat::ContainerDocument>(&format.value)) {
            return collect_container(row, *container);
        }
        std::vector<std::pair<std::string, std::string>> files;
        if (const auto* path_template = format.decomposed_template()) {
            auto path = path_template->render(name);
            if (!path) return std::unexpected(GitError::undeliverable_component(name));
            files.emplace_back(std::move(*path), source.document);
        } else if (const auto* file = std::get_if<ContentFormat::SourceFile>(&format.value)) {
            if (name.empty()) return std::unexpected(GitError::undeliverable_component(name));
            files.emplace_back(fmt::format("{}/{}.{}-meta.xml", file->directory, name, file->suffix), source.document);
            if (source.body) files.emplace_back(fmt::format("{}/{}.{}", file->directory, name, file->suffix), source.body->text);
        } else if (std::holds_alternative<ContentFormat::Bundle>(format.value)) {
            for (const auto& [file_name, content] : source.bundle_files) {
                auto path = name.empty() || file_name.empty() ? std::nullopt : format.bundle_file_path(name, file_name);
                if (!path) return std::unexpected(GitError::undeliverable_component(name));
                files.emplace_back(std::move(*path), content);
            }
        }
        for (const auto& [path, content] : files) {
            if (!metadata_types::is_safe_relative_path_for(path, false)) {
                return std::unexpected(GitError::unsafe_path_at(path));
            }
        }
        // A component the project keeps outside main/default would get a second copy there.
        for (const auto& [path, content] : files) {
            auto elsewhere = outside_main_default(path);
            if (!elsewhere) return std::unexpected(elsewhere.error());
            if (*elsewhere) {
                plan_.results.push_back(domain::ComponentDeploymentResult{
                    source.key, fmt::format(fmt::runtime(kOutsideMainDefaultSentence), name, **elsewhere), row.change,
                    domain::ComponentDeploymentStatus::Failed});
                return {};
            }
        }
        std::set<std::string> expected;
        for (auto& [path, content] : files) {
            expected.insert(path);
            if (auto added = add_write(join(package_prefix(), path), std::move(content)); !added) {
                return std::unexpected(added.error());
            }
        }
        if (const auto* bundle = std::get_if<ContentFormat::Bundle>(&format.value); bundle != nullptr && !name.empty()) {
            const std::string bundle_path = join(bundle->directory, name);
            if (!metadata_types::is_safe_relative_path_for(bundle_path, false)) {
                return std::unexpected(GitError::unsafe_path_at(bundle_path));
            }
            if (!files.empty()) {
                if (auto stale = plan_stale_files(bundle_path, expected); !stale) return std::unexpected(stale.error());
            }
        }
        plan_.results.push_back(succeeded(source.key, row.change));
        return {};
    }

    // The target's file of the deploy's package directory that has the same path as `document_path`
    // below some folder other than main/default, from one listing of the target per deploy.
    std::expected<std::optional<std::string>, GitError> outside_main_default(const std::string& document_path) {
        if (!outside_listed_) {
            auto output = gateway_.execute(target_, {"ls-files", "--cached", "--others", "--exclude-standard", "-z",
                                                     "--", package_directory_});
            if (!output) return std::unexpected(GitError::from_gateway(output.error()));
            if (output->exit_code != 0) return std::unexpected(command_failed(*output, repository_, target_));
            const std::string inside = join(package_directory_, kMainDefaultFolder);
            for (std::string& path : nul_pieces(output->stdout_text)) {
                if (path.starts_with(inside) || !path.starts_with(package_directory_ + "/")) continue;
                const std::size_t slash = path.rfind('/');
                outside_by_file_name_.emplace(path.substr(slash + 1), std::move(path));
            }
            outside_listed_ = true;
        }
        const std::size_t slash = document_path.rfind('/');
        const std::string file_name = slash == std::string::npos ? document_path : document_path.substr(slash + 1);
        const std::string suffix = "/" + document_path;
        const auto [begin, end] = outside_by_file_name_.equal_range(file_name);
        for (auto it = begin; it != end; ++it) {
            if (it->second.ends_with(suffix)) return it->second;
        }
        return std::nullopt;
    }

    std::expected<void, GitError> plan_stale_files(const std::string& bundle_path, const std::set<std::string>& expected) {
        const std::string prefix = package_prefix();
        auto output =
            gateway_.execute(target_, {"ls-files", "--cached", "-z", "--", join(prefix, bundle_path)});
        if (!output) return std::unexpected(GitError::from_gateway(output.error()));
        if (output->exit_code != 0) return std::unexpected(command_failed(*output, repository_, target_));
        const std::vector<std::string> pieces = nul_pieces(output->stdout_text);
        const std::set<std::string> tracked(pieces.begin(), pieces.end());
        // Only a real folder is walked: a link or a file in its place removes nothing.
        const std::string bundle_directory = join(prefix, bundle_path);
        auto kind = platform_fs::below::entry_kind(target_, bundle_directory);
        if (!kind || *kind != EntryKind::Directory) return {};
        std::vector<std::string> stack{bundle_directory};
        while (!stack.empty()) {
            const std::string folder = std::move(stack.back());
            stack.pop_back();
            auto entries = folder_entries(target_, folder);
            if (!entries) return std::unexpected(GitError::file_system(kReadBundleStep, entries.error()));
            for (const auto& [entry_name, entry_kind] : *entries) {
                const std::string path = join(folder, entry_name);
                if (entry_kind == EntryKind::Link) continue;
                if (entry_kind == EntryKind::Directory) {
                    stack.push_back(path);
                    continue;
                }
                const std::string relative_name =
                    text::decode_lossy(std::string_view(path).substr(bundle_directory.size() + 1));
                const std::string candidate = join(bundle_path, relative_name);
                if (expected.contains(candidate)) continue;
                const std::string staged = join(prefix, candidate);
                if (!tracked.contains(staged)) continue;
                plan_.staged.insert(staged);
                plan_.actions.emplace_back(RemoveFile{path});
            }
        }
        return {};
    }

    std::expected<void, GitError> collect_container(const domain::ComponentDifference& row,
                                                    const ContentFormat::ContainerDocument& container) {
        const std::string& name = row.source.key.name;
        auto document_path = ContentFormat{container}.decomposed_path(name);
        if (!document_path || !*document_path) return std::unexpected(GitError::undeliverable_component(name));
        const std::string path = **document_path;
        if (!metadata_types::is_safe_relative_path_for(path, false)) return std::unexpected(GitError::unsafe_path_at(path));
        if (!documents_.split) return std::unexpected(GitError::command_failed(std::string(kSourceUnparsableSentence)));
        auto children = documents_.split(row.source.document, row.source.source_path.native());
        if (!children) return std::unexpected(GitError::command_failed(std::string(kSourceUnparsableSentence)));
        const std::size_t dot = name.find('.');
        const std::string_view child_name = dot == std::string::npos ? std::string_view(name)
                                                                     : std::string_view(name).substr(dot + 1);
        const auto found = std::ranges::find_if(*children, [&](const git::ContainerChild& child) {
            return child.element == container.child_element && child.full_name == child_name;
        });
        if (found == children->end()) return std::unexpected(GitError::command_failed(std::string(kNoMatchingElementSentence)));
        auto [entry, inserted] = containers_.try_emplace(path);
        if (inserted) entry->second.container_type = std::string(container.container_type);
        entry->second.children.push_back({std::string(container.child_element), found->full_name, found->xml});
        entry->second.components.emplace_back(row.source.key, row.change);
        return {};
    }

    // The document's place: where a package directory already holds it as a regular file, else the
    // deploy's own package directory. The bool says whether it was found.
    std::pair<std::string, bool> resolve_shared_destination(std::string_view document_path) const {
        for (const std::string& directory : prefixes_) {
            const std::string candidate = join(join(directory, git::kMainDefault), document_path);
            auto kind = file_system_.entry_kind(target_, candidate);
            if (kind && *kind == EntryKind::Regular) return {candidate, true};
        }
        return {join(package_prefix(), document_path), false};
    }

    std::expected<void, GitError> plan_containers() {
        for (auto& [document_path, write] : containers_) {
            const auto [destination, found] = resolve_shared_destination(document_path);
            std::ranges::stable_sort(write.children, [](const auto& a, const auto& b) {
                return std::tie(a.element, a.full_name) < std::tie(b.element, b.full_name);
            });
            auto kind = file_system_.entry_kind(target_, destination);
            if (!kind) {
                if (kind.error() == std::errc::not_a_directory) return std::unexpected(GitError::unsafe_path_at(destination));
                return std::unexpected(GitError::file_system(kCheckFileStep, kind.error()));
            }
            std::string text;
            if (*kind == EntryKind::Missing) {
                std::vector<std::string> xml;
                for (const auto& child : write.children) xml.push_back(child.xml);
                text = documents_.render ? documents_.render(write.container_type, xml) : std::string();
            } else if (*kind == EntryKind::Regular) {
                auto existing = platform_fs::below::read_file(target_, destination);
                if (!existing) return std::unexpected(GitError::file_system(kReadFileStep, existing.error()));
                if (!text::is_valid_utf8(*existing)) {
                    return std::unexpected(GitError::file_system(kReadFileStep, std::make_error_code(std::errc::invalid_argument)));
                }
                const std::size_t slash = document_path.rfind('/');
                const std::string last = slash == std::string::npos ? document_path : document_path.substr(slash + 1);
                auto merged = documents_.merge ? documents_.merge(*existing, write.container_type, write.children, destination)
                                               : std::expected<std::string, std::string>(std::unexpected(std::string()));
                if (!merged) {
                    return std::unexpected(GitError::command_failed(fmt::format(fmt::runtime(kTargetUnparsableSentence), last)));
                }
                text = std::move(*merged);
            } else {
                return std::unexpected(not_a_regular_file_refusal(destination));
            }
            if (auto added = add_write(destination, std::move(text)); !added) return std::unexpected(added.error());
            for (const auto& [key, change] : write.components) plan_.results.push_back(succeeded(key, change));
        }
        return {};
    }

    std::expected<void, GitError> plan_permissions(const FlsDocuments& fls_documents) {
        for (const auto& [id, text] : fls_documents) {
            const auto relative = git::fls::container_relative_path(id.first, id.second);
            if (!relative) return std::unexpected(GitError::undeliverable_component(id.second));
            const auto [destination, found] = resolve_shared_destination(*relative);
            if (id.first == domain::FlsContainerKind::Profile && !found) continue;
            if (auto added = add_write(destination, text); !added) return std::unexpected(added.error());
        }
        return {};
    }

    const git::GitGateway& gateway_;
    const git::ContainerDocuments& documents_;
    const DeployFileSystem& file_system_;
    const std::filesystem::path& repository_;
    const std::filesystem::path& target_;
    std::map<std::string, std::set<std::string>>& folder_cache_;
    std::string package_directory_;
    std::vector<std::string> prefixes_;
    std::map<std::string, ContainerWrite> containers_;
    // Files of the package directory outside main/default by file name; listed on first use.
    bool outside_listed_ = false;
    std::multimap<std::string, std::string> outside_by_file_name_;
    Plan plan_;
};

// The entries of "status --porcelain=v1 -z --ignored=matching": the changed paths (both names of a
// rename or copy) and the ignored ones (an ignored folder ends with "/").
struct StatusPaths {
    std::set<std::string> changed;
    std::vector<std::string> ignored;
};

StatusPaths status_paths(std::string_view output) {
    StatusPaths paths;
    std::vector<std::string_view> pieces;
    while (!output.empty()) {
        const std::size_t end = output.find('\0');
        pieces.push_back(output.substr(0, end));
        output = end == std::string_view::npos ? std::string_view() : output.substr(end + 1);
    }
    for (std::size_t i = 0; i < pieces.size(); ++i) {
        const std::string_view entry = pieces[i];
        if (entry.size() < 4) continue;
        if (entry.starts_with("!! ")) {
            paths.ignored.emplace_back(entry.substr(3));
            continue;
        }
        paths.changed.emplace(entry.substr(3));
        if ((entry[0] == 'R' || entry[0] == 'C') && i + 1 < pieces.size()) paths.changed.emplace(pieces[++i]);
    }
    return paths;
}

// The first staged path that git ignores: listed itself, or below a listed ignored folder.
std::optional<std::string> first_ignored(const std::set<std::string>& staged, const std::vector<std::string>& ignored) {
    for (const std::string& path : staged) {
        for (const std::string& entry : ignored) {
            if (path == entry || (entry.ends_with('/') && path.starts_with(entry))) return path;
        }
    }
    return std::nullopt;
}

// Runs git with the fixed leading arguments and the paths, as many commands as the argument budget
// needs, so that no command line passes the system's limit.
std::expected<void, GitError> run_in_batches(const git::GitGateway& gateway, const std::filesystem::path& repository,
                                             const std::filesystem::path& target,
                                             const std::vector<std::string>& leading,
                                             const std::vector<std::string>& paths, std::size_t budget) {
    for (std::size_t begin = 0; begin < paths.size();) {
        std::vector<std::string> args = leading;
        std::size_t bytes = 0;
        std::size_t end = begin;
        while (end < paths.size() && (end == begin || bytes + paths[end].size() + 1 <= budget)) {
            bytes += paths[end].size() + 1;
            args.push_back(paths[end++]);
        }
        auto output = gateway.execute(target, args);
        if (!output) return std::unexpected(GitError::from_gateway(output.error()));
        if (output->exit_code != 0) return std::unexpected(command_failed(*output, repository, target));
        begin = end;
    }
    return {};
}

// What the user's working tree held at each path a deploy changes there, taken just before the change,
// so that a deploy failing before its commit leaves the files and the index as it found them.
class WorkingTreeSnapshot {
public:
    WorkingTreeSnapshot(const git::GitGateway& gateway, const std::filesystem::path& target, std::size_t budget)
        : gateway_(gateway), target_(target), budget_(budget) {}

    // Records the file (its content, or that it is missing, and the folders on its way that are missing).
    void record(std::string_view relative) {
        Entry entry{std::string(relative), std::nullopt, {}};
        if (auto content = platform_fs::below::read_file(target_, relative)) entry.content = std::move(*content);
        if (!entry.content) {
            std::size_t slash = relative.find('/');
            bool missing = false;
            while (slash != std::string_view::npos) {
                const std::string folder(relative.substr(0, slash));
                if (!missing) {
                    auto kind = platform_fs::below::entry_kind(target_, folder);
                    missing = kind && *kind == EntryKind::Missing;
                }
                if (missing) entry.created_folders.push_back(folder);
                slash = relative.find('/', slash + 1);
            }
        }
        entries_.push_back(std::move(entry));
    }

    // Puts every recorded file back, removes the folders the deploy made, and gives the paths' index
    // entries back their committed state (the dirty check made sure they had it). Best effort: a
    // failed step does not stop the others.
    void restore(const std::vector<std::string>& staged) const {
        for (auto entry = entries_.rbegin(); entry != entries_.rend(); ++entry) {
            if (entry->content) {
                (void)platform_fs::below::write_file(target_, entry->path, *entry->content,
                                                     platform_fs::below::WriteMode::Replace);
            } else {
                (void)platform_fs::below::remove_file(target_, entry->path);
            }
            for (auto folder = entry->created_folders.rbegin(); folder != entry->created_folders.rend(); ++folder) {
                std::error_code ignored;
                std::filesystem::remove(target_ / *folder, ignored);
            }
        }
        auto head = gateway_.execute(target_, {"rev-parse", "--verify", "--quiet", "HEAD"});
        if (!head) return;
        const std::vector<std::string> leading =
            head->exit_code == 0 ? std::vector<std::string>{"reset", "--quiet", "--"}
                                 : std::vector<std::string>{"rm", "--cached", "--quiet", "--ignore-unmatch", "--"};
        (void)run_in_batches(gateway_, target_, target_, leading, staged, budget_);
    }

private:
    struct Entry {
        std::string path;
        std::optional<std::string> content;
        // Outermost first.
        std::vector<std::string> created_folders;
    };

    const git::GitGateway& gateway_;
    const std::filesystem::path& target_;
    std::size_t budget_;
    std::vector<Entry> entries_;
};

}  // namespace

GitDeployOrchestrator::GitDeployOrchestrator(const git::GitGateway& gateway, std::filesystem::path base_directory,
                                             const git::ContainerDocuments& documents, std::size_t argument_budget,
                                             std::shared_ptr<const DeployFileSystem> file_system)
    : gateway_(gateway),
      base_directory_(std::move(base_directory)),
      documents_(documents),
      argument_budget_(std::max<std::size_t>(argument_budget, 1)),
      file_system_(std::move(file_system)) {}

std::expected<bool, GitError> GitDeployOrchestrator::local_branch_exists(const std::filesystem::path& repository,
                                                                         std::string_view name) const {
    auto output = gateway_.execute(repository, {"rev-parse", "--verify", "--quiet", fmt::format("refs/heads/{}", name)});
    if (!output) return std::unexpected(GitError::from_gateway(output.error()));
    return output->exit_code == 0;
}

std::expected<GitDeploySummary, GitError> GitDeployOrchestrator::write_and_commit(
    const std::filesystem::path& repository, const std::filesystem::path& target,
    const std::vector<domain::ComponentDifference>& rows, const FlsDocuments& fls_documents,
    std::string_view source_label, bool guard_uncommitted) const {
    std::map<std::string, std::set<std::string>> folder_cache;
    Planner planner(gateway_, documents_, *file_system_, repository, target, folder_cache);
    auto plan = planner.plan(rows, fls_documents);
    if (!plan) return std::unexpected(plan.error());
    if (plan->staged.empty()) return std::unexpected(GitError::command_failed(std::string(kNothingToCommitSentence)));

    if (guard_uncommitted) {
        // The folders every destination lies in (the project file stands alone), each once.
        std::set<std::string> pathspecs{std::string(kProjectFile)};
        for (const std::string& path : plan->staged) {
            const std::size_t cut = path.find("/main/default/");
            pathspecs.insert(cut == std::string::npos ? path : path.substr(0, cut + std::string_view("/main/default").size()));
        }
        std::vector<std::string> args{"status", "--porcelain=v1", "-z", "--untracked-files=all", "--ignored=matching", "--"};
        args.insert(args.end(), pathspecs.begin(), pathspecs.end());
        auto status = gateway_.execute(target, args);
        if (!status) return std::unexpected(GitError::from_gateway(status.error()));
        if (status->exit_code != 0) return std::unexpected(command_failed(*status, repository, target));
        const StatusPaths paths = status_paths(status->stdout_text);
        if (auto ignored = first_ignored(plan->staged, paths.ignored)) {
            return std::unexpected(GitError::command_failed(
                fmt::format(fmt::runtime(kIgnoredDestinationSentence), git::sanitize::replace_control_characters(*ignored),
                            endpoint::repo_directory_name(repository))));
        }
        std::vector<std::string> dirty;
        for (const std::string& path : paths.changed) {
            if (plan->staged.contains(path)) dirty.push_back(path);
        }
        if (!dirty.empty()) {
            return std::unexpected(GitError::command_failed(
                fmt::format(fmt::runtime(kDirtyDestinationsSentence), git::sanitize::refused_directory_list(dirty))));
        }
    }

    const std::vector<std::string> staged(plan->staged.begin(), plan->staged.end());
    // In the user's own working tree every change is recorded first, so a failure before the commit can
    // be undone; a temporary worktree is removed whole instead. The undo runs even after a cancel.
    const git::GitGateway cleanup_gateway = gateway_.without_token();
    std::optional<WorkingTreeSnapshot> snapshot;
    if (guard_uncommitted) snapshot.emplace(cleanup_gateway, target, argument_budget_);
    const auto undone = [&](GitError error) -> std::unexpected<GitError> {
        if (snapshot) snapshot->restore(staged);
        return std::unexpected(std::move(error));
    };
    for (Action& action : plan->actions) {
        if (auto* write = std::get_if<WriteFile>(&action)) {
            if (snapshot) snapshot->record(write->path);
            if (auto written = write_regular_file(*file_system_, target, write->path, write->content, folder_cache);
                !written) {
                return undone(written.error());
            }
        } else {
            const auto& removal = std::get<RemoveFile>(action);
            if (snapshot) snapshot->record(removal.path);
            if (std::error_code error = platform_fs::below::remove_file(target, removal.path)) {
                return undone(GitError::file_system(kRemoveStaleStep, error));
            }
        }
    }

    std::size_t total_bytes = 0;
    for (const std::string& path : staged) total_bytes += path.size() + 1;
    if (auto added = run_in_batches(gateway_, repository, target, {"add", "--"}, staged, argument_budget_); !added) {
        return undone(added.error());
    }

    const auto written = std::ranges::count_if(plan->results, [](const domain::ComponentDeploymentResult& result) {
        return result.status == domain::ComponentDeploymentStatus::Succeeded;
    });
    const std::string message = fmt::format(fmt::runtime(kCommitMessage), written, source_label);
    std::vector<std::string> commit_args{"commit", "--no-gpg-sign", "-m", message};
    std::optional<platform_fs::files::PrivateTempDir> pathspec_dir;
    if (total_bytes <= argument_budget_) {
        commit_args.emplace_back("--");
        commit_args.insert(commit_args.end(), staged.begin(), staged.end());
    } else {
        auto created = platform_fs::files::PrivateTempDir::create("quillary-pathspec-");
        if (!created) return undone(GitError::file_system(kPathspecFileStep, created.error()));
        pathspec_dir = std::move(*created);
        std::string content;
        for (const std::string& path : staged) {
            content += path;
            content += '\0';
        }
        const std::filesystem::path file = pathspec_dir->path() / kPathspecFileName;
        if (std::error_code error = platform_fs::files::write_new_private_file(file, content)) {
            return undone(GitError::file_system(kPathspecFileStep, error));
        }
        commit_args.push_back(fmt::format("--pathspec-from-file={}", text::decode_lossy(file.native())));
        commit_args.emplace_back("--pathspec-file-nul");
    }
    auto committed = gateway_.execute(target, commit_args);
    if (pathspec_dir) (void)pathspec_dir->remove();
    if (!committed) return undone(GitError::from_gateway(committed.error()));
    if (committed->exit_code != 0) return undone(command_failed(*committed, repository, target));

    auto head = gateway_.execute(target, {"rev-parse", "HEAD"});
    if (!head) return std::unexpected(GitError::from_gateway(head.error()));
    if (head->exit_code != 0) return std::unexpected(command_failed(*head, repository, target));
    return GitDeploySummary{std::string(text::trim(head->stdout_text)), std::move(plan->results)};
}

namespace {

// The folder of the worktree (other than `own`) that has the local branch checked out, from "worktree
// list --porcelain -z".
std::optional<std::string> checked_out_elsewhere(std::string_view listing, std::string_view branch_ref,
                                                 const std::filesystem::path& own) {
    std::string worktree;
    while (!listing.empty()) {
        const std::size_t end = listing.find('\0');
        const std::string_view line = listing.substr(0, end);
        listing = end == std::string_view::npos ? std::string_view() : listing.substr(end + 1);
        if (line.starts_with("worktree ")) {
            worktree = std::string(line.substr(9));
        } else if (line.starts_with("branch ") && line.substr(7) == branch_ref) {
            std::error_code error;
            if (!std::filesystem::equivalent(worktree, own, error)) return worktree;
        }
    }
    return std::nullopt;
}

}  // namespace

std::expected<GitDeploySummary, GitError> GitDeployOrchestrator::deploy_with_fls(
    const std::filesystem::path& repository, const endpoint::GitBranchRef& branch,
    const std::vector<domain::ComponentDifference>& rows, const FlsDocuments& fls_documents,
    std::string_view source_label, const domain::CancellationToken& token) const {
    const git::GitRepoInspector inspector(gateway_);
    if (auto required = inspector.require_repository(repository); !required) return std::unexpected(required.error());
    auto bare = inspector.is_bare(repository);
    if (!bare) return std::unexpected(bare.error());
    if (*bare) return std::unexpected(GitError::command_failed(std::string(kBareSentence)));
    const std::string local_name(branch.local_name());
    // Every name reaches git as an argument: the rule refuses options and revision syntax before git runs.
    const auto refused = [](std::string_view sentence) { return std::unexpected(GitError::command_failed(std::string(sentence))); };
    if (!git::branch_name::is_branch_name(local_name)) {
        return refused(branch.create ? git::kInvalidNewBranchSentence : git::kInvalidBranchSentence);
    }
    if (!branch.create && !git::branch_name::is_branch_name(branch.name)) return refused(git::kInvalidBranchSentence);
    if (branch.create && branch.base && !git::branch_name::is_branch_name(*branch.base)) {
        return refused(git::kInvalidBaseSentence);
    }
    if (branch.create) {
        if (auto valid = inspector.verify_branch(repository, local_name, git::BranchRole::New); !valid) {
            return std::unexpected(valid.error());
        }
    }
    // From here on the branch is written: a cancel can no longer stop the deploy half-way.
    if (!token.begin_target_change(domain::TargetChange::Unstoppable)) {
        return std::unexpected(GitError::command_failed(std::string(kCancelledSentence)));
    }

    auto identity = gateway_.execute(repository, {"var", "GIT_AUTHOR_IDENT"});
    if (!identity) return std::unexpected(GitError::from_gateway(identity.error()));
    if (identity->exit_code != 0) {
        return std::unexpected(GitError::command_failed(
            fmt::format(fmt::runtime(kNoAuthorIdentitySentence), endpoint::repo_directory_name(repository))));
    }

    auto head = gateway_.execute(repository, {"rev-parse", "--verify", "--quiet", "HEAD"});
    if (!head) return std::unexpected(GitError::from_gateway(head.error()));
    const std::filesystem::path scrub[] = {repository};
    const std::string branch_ref = fmt::format("refs/heads/{}", local_name);
    // The commit must have landed on the branch: a commit that no branch holds is not a deploy.
    const auto on_branch = [&](std::expected<GitDeploySummary, GitError> summary) -> std::expected<GitDeploySummary, GitError> {
        if (!summary) return summary;
        auto tip = gateway_.without_token().execute(repository, {"rev-parse", "--verify", "--quiet", branch_ref});
        if (!tip) return std::unexpected(GitError::from_gateway(tip.error()));
        if (tip->exit_code != 0 || text::trim(tip->stdout_text) != summary->commit) {
            return std::unexpected(GitError::command_failed(fmt::format(fmt::runtime(kCommitNotOnBranchSentence),
                                                                        summary->commit,
                                                                        git::sanitize::replace_control_characters(local_name),
                                                                        summary->commit)));
        }
        return summary;
    };

    if (head->exit_code != 0) {
        // A refused or failed first commit must leave HEAD where it pointed before.
        auto previous = gateway_.execute(repository, {"symbolic-ref", "--quiet", "HEAD"});
        if (!previous) return std::unexpected(GitError::from_gateway(previous.error()));
        const std::string previous_ref(previous->exit_code == 0 ? text::trim(previous->stdout_text) : std::string_view());
        auto pointed = gateway_.execute(repository, {"symbolic-ref", "HEAD", branch_ref});
        if (!pointed) return std::unexpected(GitError::from_gateway(pointed.error()));
        if (pointed->exit_code != 0) return std::unexpected(GitError::command_failed(pointed->diagnostic_for(scrub)));
        auto summary = on_branch(write_and_commit(repository, repository, rows, fls_documents, source_label, true));
        if (!summary && previous_ref.starts_with("refs/heads/") && previous_ref != branch_ref) {
            (void)gateway_.without_token().execute(repository, {"symbolic-ref", "HEAD", previous_ref});
        }
        return summary;
    }

    // Where the commit starts and whether a local branch is made for it.
    std::string start_point;
    bool local_exists = false;
    if (branch.create) {
        auto exists = local_branch_exists(repository, local_name);
        if (!exists) return std::unexpected(exists.error());
        local_exists = *exists;
        start_point = "HEAD";
        if (branch.base) {
            auto base = inspector.verify_branch(repository, *branch.base, git::BranchRole::Base);
            if (!base) return std::unexpected(base.error());
            start_point = std::move(*base);
        }
    } else {
        auto found = inspector.verify_branch(repository, branch.name,
                                             branch.remote ? git::BranchRole::Remote : git::BranchRole::Local);
        if (!found) return std::unexpected(found.error());
        start_point = std::move(*found);
        auto exists = local_branch_exists(repository, local_name);
        if (!exists) return std::unexpected(exists.error());
        local_exists = *exists;
    }

    if (!branch.create && local_exists) {
        // The repository says which branch is checked out now; the request's flag may be stale.
        auto current = inspector.current_branch(repository);
        if (!current) return std::unexpected(current.error());
        if (*current == local_name) {
            return on_branch(write_and_commit(repository, repository, rows, fls_documents, source_label, true));
        }
        auto worktrees = gateway_.execute(repository, {"worktree", "list", "--porcelain", "-z"});
        if (!worktrees) return std::unexpected(GitError::from_gateway(worktrees.error()));
        if (worktrees->exit_code == 0) {
            if (auto elsewhere = checked_out_elsewhere(worktrees->stdout_text, branch_ref, repository)) {
                return std::unexpected(GitError::command_failed(
                    fmt::format(fmt::runtime(kCheckedOutElsewhereSentence), git::sanitize::replace_control_characters(local_name),
                                git::sanitize::replace_control_characters(*elsewhere))));
            }
        }
    }

    const std::filesystem::path directory =
        base_directory_ / fmt::format("{}-{}-{}", kWorktreeNamePrefix, ::getpid(), worktree_seq.fetch_add(1));
    std::error_code ignored;
    std::filesystem::remove_all(directory, ignored);
    std::error_code created_error;
    std::filesystem::create_directories(directory.parent_path(), created_error);
    if (created_error) return std::unexpected(GitError::file_system(kCreateWorktreeStep, created_error));

    const std::string directory_text = text::decode_lossy(directory.native());
    std::vector<std::string> args;
    std::optional<std::string> created_branch;
    if (local_exists && !branch.create) {
        args = {"worktree", "add", directory_text, local_name};
    } else {
        // A new branch, or the local branch of a remote-tracking one: both are this deploy's own.
        args = {"worktree", "add", "-b", local_name, directory_text, start_point};
        if (!local_exists) created_branch = local_name;
    }
    // Runs even after a cancel: nothing of the deploy may stay behind.
    const git::GitGateway cleanup = gateway_.without_token();
    const auto clean_up = [&](bool failed) {
        (void)cleanup.execute(repository, {"worktree", "remove", "--force", directory_text});
        std::error_code removal;
        std::filesystem::remove_all(directory, removal);
        (void)cleanup.execute(repository, {"worktree", "prune"});
        if (failed && created_branch) (void)cleanup.execute(repository, {"branch", "-D", *created_branch});
    };
    auto added = gateway_.execute(repository, args);
    if (!added) {
        clean_up(true);
        return std::unexpected(GitError::from_gateway(added.error()));
    }
    if (added->exit_code != 0) {
        // A failing hook after the checkout leaves the worktree and the new branch behind.
        clean_up(true);
        const std::filesystem::path paths[] = {repository, directory};
        return std::unexpected(GitError::command_failed(added->diagnostic_for(paths)));
    }
    auto outcome = on_branch(write_and_commit(repository, directory, rows, fls_documents, source_label, false));
    clean_up(!outcome.has_value());
    return outcome;
}

}  // namespace ambrel::deployment::git_deploy
