#include "metadata/source_folder.hpp"

#include <algorithm>

#include "metadata_types/name_rules.hpp"
#include "platform_fs/files.hpp"
#include "text/text.hpp"

namespace ambrel::metadata::source_folder {

namespace fs = std::filesystem;

EntryKind entry_kind(const fs::path& path) {
    std::error_code ec;
    const fs::file_status status = fs::symlink_status(path, ec);
    if (ec) return EntryKind::Other;
    if (fs::is_regular_file(status)) return EntryKind::RegularFile;
    if (fs::is_directory(status)) return EntryKind::Directory;
    return EntryKind::Other;
}

bool is_real_directory(const fs::path& path) { return entry_kind(path) == EntryKind::Directory; }

std::string entry_name(const fs::path& path) { return text::decode_lossy(path.filename().native()); }

std::expected<std::vector<ListedEntry>, FieldReadError> list_entries_with_kinds(const fs::path& folder,
                                                                                const ListingMessages& messages) {
    std::error_code ec;
    fs::directory_iterator it(folder, ec);
    if (ec) return std::unexpected(FieldReadError::io(messages.cannot_list, ec));
    std::vector<ListedEntry> entries;
    // A failed step ends the iteration and leaves its error in ec.
    for (; it != fs::directory_iterator(); it.increment(ec)) {
        // The listing's own entry type serves when the file system gives one (no further call); a
        // link is never resolved, and an entry whose type cannot be read counts as Other.
        std::error_code kind_error;
        EntryKind kind = EntryKind::Other;
        if (!it->is_symlink(kind_error) && !kind_error) {
            if (it->is_regular_file(kind_error) && !kind_error) {
                kind = EntryKind::RegularFile;
            } else if (!kind_error && it->is_directory(kind_error) && !kind_error) {
                kind = EntryKind::Directory;
            }
        }
        entries.push_back({it->path(), kind});
    }
    if (ec) return std::unexpected(FieldReadError::io(messages.cannot_read_entry, ec));
    return entries;
}

std::expected<std::vector<fs::path>, FieldReadError> list_entries(const fs::path& folder,
                                                                   const ListingMessages& messages) {
    auto entries = list_entries_with_kinds(folder, messages);
    if (!entries) return std::unexpected(std::move(entries.error()));
    std::vector<fs::path> paths;
    paths.reserve(entries->size());
    for (ListedEntry& entry : *entries) paths.push_back(std::move(entry.path));
    return paths;
}

void sort_candidates(std::vector<Candidate>& candidates) {
    std::stable_sort(candidates.begin(), candidates.end(), [](const Candidate& a, const Candidate& b) {
        if (a.name != b.name) return a.name < b.name;
        return a.path.native() < b.path.native();
    });
}

std::expected<std::vector<Candidate>, FieldReadError> collect(const fs::path& folder, const ListingMessages& messages,
                                                              EntryKind kind, const Selector& select) {
    std::vector<Candidate> kept;
    if (!is_real_directory(folder)) return kept;
    auto entries = list_entries_with_kinds(folder, messages);
    if (!entries) return std::unexpected(std::move(entries.error()));
    for (ListedEntry& entry : *entries) {
        if (entry.kind != kind) continue;
        std::optional<std::string> name = select(entry_name(entry.path));
        if (!name) continue;
        kept.push_back({std::move(*name), std::move(entry.path)});
    }
    sort_candidates(kept);
    return kept;
}

std::expected<std::string, FieldReadError> read_text(const fs::path& path, std::string_view cannot_read) {
    // The entry was a regular file when its folder was listed; opening it without following a link
    // and without blocking, and checking it again, keeps an entry swapped meanwhile for a link or a
    // FIFO from leading the read astray.
    // A document above the limit is refused before it is read whole.
    auto bytes = platform_fs::files::read_regular_file(path, metadata_types::kMaxComponentDocumentBytes);
    if (!bytes && bytes.error() == std::errc::file_too_large) {
        return std::unexpected(FieldReadError::io(
            metadata_types::document_too_large_message(text::decode_lossy(path.native())), bytes.error()));
    }
    if (!bytes) return std::unexpected(FieldReadError::io(std::string(cannot_read), bytes.error()));
    if (auto valid = text::validate_utf8(*bytes); !valid) {
        return std::unexpected(FieldReadError::invalid(path, "metadata is not valid UTF-8: " + valid.error().message()));
    }
    return std::move(*bytes);
}

std::optional<std::string> stem_before(std::string_view name, std::string_view ending) {
    if (name.size() <= ending.size() || !name.ends_with(ending)) return std::nullopt;
    return std::string(name.substr(0, name.size() - ending.size()));
}

}  // namespace ambrel::metadata::source_folder
