#include "metadata/bundle_reader.hpp"

#include <algorithm>

#include <re2/re2.h>

#include "metadata/namespace_policy.hpp"
#include "metadata/source_folder.hpp"
#include "metadata_types/name_rules.hpp"
#include "metadata_types/type_descriptor.hpp"

namespace ambrel::metadata {

namespace bundle_reader {

namespace {

const source_folder::ListingMessages& content_messages() {
    static const source_folder::ListingMessages messages{"Could not list bundle contents",
                                                         "Could not read bundle entry"};
    return messages;
}

// One entry of a bundle folder under its path relative to the bundle.
struct BundleEntry {
    std::string relative;
    std::filesystem::path path;
    source_folder::EntryKind kind;
};

// One folder of the walk: its entries, sorted, and how far they have been taken.
struct OpenFolder {
    std::string prefix;
    std::vector<BundleEntry> entries;
    std::size_t next = 0;
};

// The entries of a folder, gathered whole before any is used, sorted by path.
std::expected<OpenFolder, FieldReadError> open_folder(const std::filesystem::path& folder, std::string prefix) {
    auto listed = source_folder::list_entries_with_kinds(folder, content_messages());
    if (!listed) return std::unexpected(std::move(listed.error()));
    std::sort(listed->begin(), listed->end(),
              [](const source_folder::ListedEntry& a, const source_folder::ListedEntry& b) { return a.path < b.path; });
    OpenFolder open{std::move(prefix), {}, 0};
    open.entries.reserve(listed->size());
    for (source_folder::ListedEntry& entry : *listed) {
        std::string name = source_folder::entry_name(entry.path);
        std::string relative = open.prefix.empty() ? std::move(name) : open.prefix + "/" + name;
        open.entries.push_back({std::move(relative), std::move(entry.path), entry.kind});
    }
    return open;
}

}  // namespace

const re2::RE2& BundleNamePattern::regex() const {
    static const re2::RE2 compiled{re2::StringPiece(kText.data(), kText.size())};
    return compiled;
}

bool BundleNamePattern::matches(std::string_view name) const {
    return re2::RE2::FullMatch(re2::StringPiece(name.data(), name.size()), regex());
}

std::expected<void, FieldReadError> collect_bundle_files(const std::filesystem::path& folder,
                                                         const std::string& prefix, BundleFiles& files) {
    // Depth-first in the order a recursive walk would take, with the open folders on a stack of our
    // own: a bundle nested deeper than the thread's stack allows is still read.
    std::vector<OpenFolder> stack;
    auto top = open_folder(folder, prefix);
    if (!top) return std::unexpected(std::move(top.error()));
    stack.push_back(std::move(*top));
    while (!stack.empty()) {
        OpenFolder& current = stack.back();
        if (current.next == current.entries.size()) {
            stack.pop_back();
            continue;
        }
        BundleEntry& entry = current.entries[current.next++];
        if (!metadata_types::is_safe_relative_path_for(entry.relative, false)) continue;
        switch (entry.kind) {
            case source_folder::EntryKind::Directory: {
                auto below = open_folder(entry.path, entry.relative);
                if (!below) return std::unexpected(std::move(below.error()));
                stack.push_back(std::move(*below));  // `current` is not used after this
                break;
            }
            case source_folder::EntryKind::RegularFile: {
                auto text = source_folder::read_text(entry.path, "Could not read bundle file");
                if (!text) return std::unexpected(std::move(text.error()));
                files.insert_or_assign(std::move(entry.relative), std::move(*text));
                break;
            }
            case source_folder::EntryKind::Other: break;
        }
    }
    return {};
}

}  // namespace bundle_reader

std::expected<std::vector<domain::MetadataComponent>, FieldReadError> BundleReader::read(
    metadata_types::MetadataType type, const std::filesystem::path& source_root) {
    std::vector<domain::MetadataComponent> components;
    const metadata_types::TypeDescriptor& descriptor = type.descriptor();
    const auto* format = std::get_if<metadata_types::ContentFormat::Bundle>(&descriptor.content_format.value);
    if (format == nullptr) return components;

    static const source_folder::ListingMessages kMessages{"Could not list bundle directory",
                                                          "Could not read bundle directory entry"};
    auto bundles = source_folder::collect(source_root / format->directory, kMessages, source_folder::EntryKind::Directory,
                                          [](std::string_view name) -> std::optional<std::string> {
                                              if (!bundle_reader::BUNDLE_NAME.matches(name) ||
                                                  NamespacePolicy::is_packaged_code_component(name)) {
                                                  return std::nullopt;
                                              }
                                              return std::string(name);
                                          });
    if (!bundles) return std::unexpected(std::move(bundles.error()));
    for (source_folder::Candidate& bundle : *bundles) {
        bundle_reader::BundleFiles files;
        if (auto walked = bundle_reader::collect_bundle_files(bundle.path, "", files); !walked) {
            return std::unexpected(std::move(walked.error()));
        }
        if (files.empty()) continue;
        domain::MetadataComponent component;
        component.key = {type, std::move(bundle.name)};
        component.source_path = bundle.path;
        component.bundle_files = std::move(files);
        components.push_back(std::move(component));
    }
    return components;
}

}  // namespace ambrel::metadata
