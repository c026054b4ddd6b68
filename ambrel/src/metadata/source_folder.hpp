#pragma once

// The one folder walk of the component readers: a type folder is examined with the entry's own
// metadata (a symbolic link is never followed, so a link to a folder counts as absent), its entries
// are listed, the candidates a reader keeps are collected and sorted by name in byte order (then by
// path) before any document is read, and each document is read whole, without following a link or
// blocking, and checked to be UTF-8.
//
// Failures: listing a folder fails with the caller's fixed "could not list" message, reading one of
// its entries with the caller's "could not read entry" message (message form; the operating-system
// error travels as the cause); a document that cannot be read (also one swapped for a link, a FIFO
// or a folder after the listing) fails with the caller's fixed message; bytes that are not UTF-8 give
// the path form "metadata is not valid UTF-8: {}" with the decoder's description.
//
// Nothing here keeps state; every function may be called from any thread.

#include <expected>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "metadata/field_read_error.hpp"

namespace ambrel::metadata::source_folder {

// What an entry is, read from the entry itself.
enum class EntryKind { RegularFile, Directory, Other };

// The fixed messages of one reader's listing errors.
struct ListingMessages {
    std::string cannot_list;        // failing to open the folder
    std::string cannot_read_entry;  // failing to read one of its entries
};

// One kept entry: the name the reader derived from it and the entry's path.
struct Candidate {
    std::string name;
    std::filesystem::path path;
    bool operator==(const Candidate&) const = default;
};

// The kind of the entry at `path` without following a link; Other when its metadata cannot be read.
EntryKind entry_kind(const std::filesystem::path& path);

// True when the path itself is a directory (a link to one is not).
bool is_real_directory(const std::filesystem::path& path);

// The final name of a path as text, invalid UTF-8 replaced; empty when the path has none.
std::string entry_name(const std::filesystem::path& path);

// One listed entry with its kind, read from the entry itself (a link is Other).
struct ListedEntry {
    std::filesystem::path path;
    EntryKind kind = EntryKind::Other;
};

// Every entry of the folder with its kind, in listing order.
std::expected<std::vector<ListedEntry>, FieldReadError> list_entries_with_kinds(const std::filesystem::path& folder,
                                                                                const ListingMessages& messages);

// The paths of every entry of the folder, in listing order, unsorted and unfiltered.
std::expected<std::vector<std::filesystem::path>, FieldReadError> list_entries(const std::filesystem::path& folder,
                                                                                const ListingMessages& messages);

// Decides whether an entry of the wanted kind is kept: the candidate name, or none to skip it.
using Selector = std::function<std::optional<std::string>(std::string_view entry_name)>;

// The entries of `kind` in `folder` that `select` keeps, sorted by name (byte order), then by path.
// A folder that is missing or not a real directory gives an empty list.
std::expected<std::vector<Candidate>, FieldReadError> collect(const std::filesystem::path& folder,
                                                              const ListingMessages& messages, EntryKind kind,
                                                              const Selector& select);

// Sorts by name (byte order), then by path; stable.
void sort_candidates(std::vector<Candidate>& candidates);

// The whole file as UTF-8 text; `cannot_read` is the message of a failed read.
std::expected<std::string, FieldReadError> read_text(const std::filesystem::path& path, std::string_view cannot_read);

// The name less `ending` when it ends with it (bytes, case-sensitive) and is longer; none otherwise.
std::optional<std::string> stem_before(std::string_view name, std::string_view ending);

}  // namespace ambrel::metadata::source_folder
