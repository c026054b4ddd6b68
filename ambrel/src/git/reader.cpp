#include "git/reader.hpp"

#include "platform_fs/below.hpp"
#include "text/text.hpp"

namespace ambrel::git {
namespace {

constexpr std::string_view kAllPathsSpec = ".";

// The NUL-separated names of a listing, each without its trailing line feeds; empty pieces dropped.
template <typename Visit>
void for_each_piece(std::string_view output, Visit&& visit) {
    while (!output.empty()) {
        const std::size_t end = output.find('\0');
        std::string_view piece = output.substr(0, end);
        output = end == std::string_view::npos ? std::string_view() : output.substr(end + 1);
        while (!piece.empty() && piece.back() == '\n') piece.remove_suffix(1);
        if (!piece.empty()) visit(piece);
    }
}

bool is_at_or_below(std::string_view path, std::string_view prefix) {
    if (prefix.empty()) return true;
    return path.starts_with(prefix) && (path.size() == prefix.size() || path[prefix.size()] == '/');
}

}  // namespace

GitContentReader::GitContentReader(const GitGateway& gateway, std::filesystem::path repository,
                                   std::optional<std::string> ref)
    : gateway_(gateway), repository_(std::move(repository)), ref_(std::move(ref)) {}

GitContentReader::~GitContentReader() = default;

std::expected<void, GitError> GitContentReader::check_ref() const {
    if (ref_ && (ref_->empty() || ref_->front() == '-')) {
        return std::unexpected(GitError::command_failed(std::string(kHyphenRefusedSentence)));
    }
    return {};
}

bool GitContentReader::covered_locked(std::string_view prefix) const {
    if (listed_.contains(std::string_view())) return true;
    // Only an ancestor (or the prefix itself) can cover it; walk up the prefix's folders.
    std::string_view candidate = prefix;
    for (;;) {
        if (listed_.contains(candidate)) return true;
        const std::size_t slash = candidate.rfind('/');
        if (slash == std::string_view::npos) return false;
        candidate = candidate.substr(0, slash);
    }
}

std::expected<void, GitError> GitContentReader::list_locked(const std::string& prefix) const {
    const std::string pathspec = prefix.empty() ? std::string(kAllPathsSpec) : prefix;
    std::vector<std::string> args;
    if (ref_) {
        args = {"ls-tree", "-r", "-z", *ref_, "--", pathspec};
    } else {
        args = {"ls-files", "--cached", "--others", "--exclude-standard", "-z", "--", pathspec};
    }
    auto output = gateway_.execute(repository_, args);
    if (!output) return std::unexpected(GitError::from_gateway(output.error()));
    if (output->exit_code != 0) {
        const std::filesystem::path paths[] = {repository_};
        return std::unexpected(GitError::command_failed(output->diagnostic_for(paths)));
    }
    if (ref_) {
        // "<mode> SP <type> SP <object id> TAB <path>"
        for_each_piece(output->stdout_text, [&](std::string_view piece) {
            const std::size_t tab = piece.find('\t');
            if (tab == std::string_view::npos) return;
            const std::string_view meta = piece.substr(0, tab);
            std::string_view path = piece.substr(tab + 1);
            while (!path.empty() && path.back() == '\n') path.remove_suffix(1);
            if (path.empty()) return;
            const std::size_t first_space = meta.find(' ');
            const std::size_t second_space = meta.find(' ', first_space + 1);
            std::optional<std::string> id;
            if (first_space != std::string_view::npos && second_space != std::string_view::npos &&
                meta.substr(first_space + 1, second_space - first_space - 1) == "blob") {
                id = std::string(meta.substr(second_space + 1));
            }
            index_.insert_or_assign(std::string(path), std::move(id));
        });
    } else {
        // git lists in path order, so the cursor walks each folder on the way once.
        platform_fs::below::FolderCursor cursor(repository_);
        for_each_piece(output->stdout_text, [&](std::string_view piece) {
            if (index_.contains(piece)) return;
            auto kind = cursor.entry_kind(piece);
            if (!kind || *kind != platform_fs::below::EntryKind::Regular) return;
            index_.emplace(std::string(piece), std::nullopt);
        });
    }
    listed_.insert(prefix);
    return {};
}

std::expected<void, GitError> GitContentReader::ensure_listed(std::string_view prefix) const {
    if (auto checked = check_ref(); !checked) return std::unexpected(checked.error());
    std::lock_guard lock(mutex_);
    std::string key(prefix);
    if (key == kAllPathsSpec) key.clear();
    if (covered_locked(key)) return {};
    return list_locked(key);
}

std::expected<std::vector<std::string>, GitError> GitContentReader::list_files(std::string_view prefix) const {
    if (auto checked = check_ref(); !checked) return std::unexpected(checked.error());
    std::lock_guard lock(mutex_);
    std::string key(prefix);
    if (key == kAllPathsSpec) key.clear();
    if (!covered_locked(key)) {
        if (auto listed = list_locked(key); !listed) return std::unexpected(listed.error());
    }
    std::vector<std::string> files;
    for (auto it = index_.lower_bound(std::string_view(key)); it != index_.end(); ++it) {
        if (!it->first.starts_with(key)) break;
        if (is_at_or_below(it->first, key)) files.push_back(it->first);
    }
    return files;
}

std::expected<std::string, GitError> GitContentReader::read_file(std::string_view relative_path) const {
    const GitError not_found(GitError::Kind::FileNotFound, std::string(kFileNotFoundSentence));
    if (!ref_) {
        std::lock_guard lock(mutex_);
        if (!tree_) tree_.emplace(repository_);
        auto bytes = tree_->read_file(relative_path);
        if (!bytes) {
            const std::error_code error = bytes.error();
            if (error == std::errc::not_a_directory || error == std::errc::too_many_symbolic_link_levels ||
                error == std::errc::invalid_argument) {
                return std::unexpected(GitError::not_a_regular_file(relative_path));
            }
            return std::unexpected(not_found);
        }
        if (!text::is_valid_utf8(*bytes)) return std::unexpected(not_found);
        return std::move(*bytes);
    }
    if (auto checked = check_ref(); !checked) return std::unexpected(checked.error());
    std::lock_guard lock(mutex_);
    // A request line of cat-file ends at a line feed, so a name holding one is never sent: the path is
    // listed first and read by its object id, which "show" of the ref and path would have read too.
    if (relative_path.find('\n') != std::string_view::npos && !index_.contains(relative_path)) {
        if (auto listed = list_locked(std::string(relative_path)); !listed) return std::unexpected(not_found);
    }
    std::string name;
    if (auto found = index_.find(relative_path); found != index_.end() && found->second) {
        name = *found->second;
    } else {
        name = *ref_ + ":" + std::string(relative_path);
    }
    if (!objects_) {
        auto started = gateway_.start_object_reader(repository_);
        if (!started) return std::unexpected(GitError::from_gateway(started.error()));
        objects_ = std::move(*started);
    }
    auto object = objects_->read(name);
    if (!object) {
        const GitGatewayError error = object.error();
        // A child that failed cannot answer again; the next read starts a new one.
        objects_.reset();
        return std::unexpected(GitError::from_gateway(error));
    }
    if (object->kind != GitObject::Kind::Blob) return std::unexpected(not_found);
    return text::decode_lossy(object->bytes);
}

}  // namespace ambrel::git
