#include "git/reader.hpp"

#include <algorithm>
#include <charconv>

#include "metadata_types/name_rules.hpp"
#include "platform_fs/below.hpp"
#include "text/text.hpp"

namespace ambrel::git {
namespace {

constexpr std::string_view kAllPathsSpec = ".";
// What a lossy decoding puts in place of bytes that are not UTF-8 (U+FFFD).
constexpr std::string_view kReplacementCharacter = "\xEF\xBF\xBD";
constexpr std::string_view kWorkingTreeLabel = "the working tree";
// The mode git gives a symbolic link.
constexpr std::string_view kLinkMode = "120000";
constexpr std::string_view kBlobType = "blob";

bool holds_replacement(std::string_view name) { return name.find(kReplacementCharacter) != std::string_view::npos; }

// The space-separated words of an ls-tree entry's head ("<mode> <type> <object> <size>", the size
// padded with spaces).
std::vector<std::string_view> words_of(std::string_view meta) {
    std::vector<std::string_view> words;
    while (!meta.empty()) {
        const std::size_t space = meta.find(' ');
        if (space != 0) words.push_back(meta.substr(0, space));
        if (space == std::string_view::npos) break;
        meta.remove_prefix(space + 1);
    }
    return words;
}

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
                                   std::optional<std::string> ref, std::optional<std::string> branch)
    : gateway_(gateway),
      repository_(std::move(repository)),
      ref_(std::move(ref)),
      branch_(branch ? std::move(*branch) : ref_ ? *ref_ : std::string(kWorkingTreeLabel)) {}

GitContentReader::~GitContentReader() = default;

std::string_view GitContentReader::branch_label() const noexcept { return branch_; }

std::size_t GitContentReader::names_not_utf8() const {
    std::lock_guard lock(mutex_);
    return not_utf8_.size();
}

std::expected<void, GitGatewayError> GitContentReader::objects_locked() const {
    if (objects_) return {};
    auto started = gateway_.start_object_reader(repository_);
    if (!started) return std::unexpected(started.error());
    objects_ = std::move(*started);
    return {};
}

bool GitContentReader::name_is_utf8_locked(std::string_view decoded) const {
    if (!holds_replacement(decoded)) return true;
    // A name may hold U+FFFD itself: it is real when the ref holds a file under exactly that name. A
    // name that cannot travel on a request line is not asked for.
    if (decoded.find_first_of("\r\n") != std::string_view::npos) return false;
    if (!objects_locked()) return false;
    auto object = objects_->read(*ref_ + ":" + std::string(decoded));
    if (!object) {
        objects_.reset();
        return false;
    }
    return object->kind == GitObject::Kind::Blob;
}

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
    return list_locked(std::vector<std::string>{prefix});
}

std::expected<void, GitError> GitContentReader::list_locked(const std::vector<std::string>& prefixes) const {
    std::vector<std::string> args;
    if (ref_) {
        args = {"ls-tree", "-r", "-l", "-z", *ref_, "--"};
    } else {
        args = {"ls-files", "--cached", "--others", "--exclude-standard", "-z", "--"};
    }
    for (const std::string& prefix : prefixes) args.push_back(prefix.empty() ? std::string(kAllPathsSpec) : prefix);
    auto output = gateway_.execute(repository_, args);
    if (!output) return std::unexpected(GitError::from_gateway(output.error()));
    if (output->exit_code != 0) {
        const std::filesystem::path paths[] = {repository_};
        return std::unexpected(GitError::command_failed(output->diagnostic_for(paths)));
    }
    if (ref_) {
        // "<mode> SP <type> SP <object id> SP+ <size> TAB <path>"
        for_each_piece(output->stdout_text, [&](std::string_view piece) {
            const std::size_t tab = piece.find('\t');
            if (tab == std::string_view::npos) return;
            const std::vector<std::string_view> words = words_of(piece.substr(0, tab));
            std::string_view path = piece.substr(tab + 1);
            while (!path.empty() && path.back() == '\n') path.remove_suffix(1);
            if (path.empty() || words.size() < 3) return;
            if (!name_is_utf8_locked(path)) {
                not_utf8_.emplace(path);
                return;
            }
            // A link is a blob whose text is the link's target; like a submodule it is no file here.
            if (words[0] == kLinkMode || words[1] != kBlobType) {
                not_files_.emplace(path);
                return;
            }
            Entry entry{std::string(words[2]), std::nullopt};
            std::uint64_t size = 0;
            if (words.size() >= 4 &&
                std::from_chars(words[3].data(), words[3].data() + words[3].size(), size).ec == std::errc{}) {
                entry.size = size;
            }
            index_.insert_or_assign(std::string(path), std::move(entry));
        });
    } else {
        // git lists in path order, so the cursor walks each folder on the way once.
        platform_fs::below::FolderCursor cursor(repository_);
        for_each_piece(output->stdout_text, [&](std::string_view piece) {
            if (index_.contains(piece)) return;
            auto kind = cursor.entry_kind(piece);
            if (kind && *kind == platform_fs::below::EntryKind::Regular) {
                index_.emplace(std::string(piece), Entry{});
                return;
            }
            // A name that decoding changed is not on disk under the decoded name.
            if (kind && *kind == platform_fs::below::EntryKind::Missing && holds_replacement(piece)) {
                not_utf8_.emplace(piece);
            }
        });
    }
    listed_.insert(prefixes.begin(), prefixes.end());
    return {};
}

void GitContentReader::prefetch(std::span<const std::string> paths) const {
    if (!ref_ || !check_ref()) return;
    std::lock_guard lock(mutex_);
    // What an earlier read-ahead left unread (a component skipped part-way) is dropped.
    prefetched_.clear();
    std::vector<std::string_view> wanted;
    std::vector<std::string_view> ids;
    for (const std::string& path : paths) {
        const auto found = index_.find(path);
        if (found == index_.end() || !found->second.id || prefetched_.contains(path)) continue;
        if (found->second.size && *found->second.size > metadata_types::kMaxComponentDocumentBytes) continue;
        if (std::ranges::find(wanted, std::string_view(found->first)) != wanted.end()) continue;
        wanted.push_back(found->first);
        ids.push_back(*found->second.id);
    }
    if (ids.empty() || !objects_locked()) return;
    auto objects = objects_->read_all(ids);
    if (!objects) {
        // The failure is met again, and reported, by the next read.
        objects_.reset();
        return;
    }
    for (std::size_t k = 0; k < wanted.size(); ++k) {
        GitObject& object = (*objects)[k];
        if (object.kind == GitObject::Kind::Blob) prefetched_.emplace(std::string(wanted[k]), std::move(object.bytes));
    }
}

std::expected<void, GitError> GitContentReader::ensure_listed_all(std::span<const std::string> prefixes) const {
    if (auto checked = check_ref(); !checked) return std::unexpected(checked.error());
    std::lock_guard lock(mutex_);
    std::vector<std::string> missing;
    for (const std::string& prefix : prefixes) {
        std::string key = prefix == kAllPathsSpec ? std::string() : prefix;
        if (!covered_locked(key) && std::ranges::find(missing, key) == missing.end()) missing.push_back(std::move(key));
    }
    if (missing.empty()) return {};
    return list_locked(missing);
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
        auto bytes = tree_->read_file(relative_path, metadata_types::kMaxComponentDocumentBytes);
        if (!bytes) {
            const std::error_code error = bytes.error();
            if (error == std::errc::file_too_large) {
                return std::unexpected(GitError::document_too_large(relative_path, branch_));
            }
            if (error == std::errc::not_a_directory || error == std::errc::too_many_symbolic_link_levels ||
                error == std::errc::invalid_argument) {
                return std::unexpected(GitError::not_a_regular_file(relative_path));
            }
            return std::unexpected(not_found);
        }
        if (!text::is_valid_utf8(*bytes)) return std::unexpected(GitError::not_utf8_text(relative_path, branch_));
        return std::move(*bytes);
    }
    if (auto checked = check_ref(); !checked) return std::unexpected(checked.error());
    std::lock_guard lock(mutex_);
    // Reads go by the listed object id: a request line of cat-file ends at a line feed and git drops a
    // carriage return before it, so a name is never sent, and the listing tells a link from a file.
    if (!index_.contains(relative_path) && !covered_locked(relative_path)) {
        if (auto listed = list_locked(std::string(relative_path)); !listed) {
            // Only a failure to run git is the reader's; a listing that git refused (an unknown ref)
            // means the file is not there.
            const std::string& message = listed.error().message();
            if (listed.error().kind() == GitError::Kind::GitUnusable || message == kTimedOutMessage ||
                message == kCancelledMessage) {
                return std::unexpected(listed.error());
            }
            return std::unexpected(not_found);
        }
    }
    if (not_files_.contains(relative_path)) return std::unexpected(GitError::not_a_regular_file(relative_path));
    const auto found = index_.find(relative_path);
    if (found == index_.end() || !found->second.id) return std::unexpected(not_found);
    if (found->second.size && *found->second.size > metadata_types::kMaxComponentDocumentBytes) {
        return std::unexpected(GitError::document_too_large(relative_path, branch_));
    }
    if (auto ahead = prefetched_.find(relative_path); ahead != prefetched_.end()) {
        std::string bytes = std::move(ahead->second);
        prefetched_.erase(ahead);
        if (!text::is_valid_utf8(bytes)) return std::unexpected(GitError::not_utf8_text(relative_path, branch_));
        return bytes;
    }
    if (auto started = objects_locked(); !started) return std::unexpected(GitError::from_gateway(started.error()));
    auto object = objects_->read(*found->second.id);
    if (!object) {
        const GitGatewayError error = object.error();
        // A child that failed cannot answer again; the next read starts a new one.
        objects_.reset();
        return std::unexpected(GitError::from_gateway(error));
    }
    if (object->kind != GitObject::Kind::Blob) return std::unexpected(not_found);
    // The bytes go on exactly as the branch holds them: never decoded with replacements.
    if (!text::is_valid_utf8(object->bytes)) return std::unexpected(GitError::not_utf8_text(relative_path, branch_));
    return std::move(object->bytes);
}

}  // namespace ambrel::git
