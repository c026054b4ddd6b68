#pragma once

// Identities of requested deploy components and the tie of one reported component failure to exactly
// one of them. A failure ties only when every clue it gives (type, full name, file name) points at
// the same single requested key; a file that several keys share (the labels file, an object's rules
// file) counts as pointing at the one its full name picks, and the whole object file at the object's
// children and its definition. Any doubt leaves it unmatched. Nothing here fails, runs a process or
// touches the file system. Stateless apart from the once-compiled object file pattern; safe from any
// thread.

#include <compare>
#include <optional>
#include <set>
#include <unordered_map>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "json/json.hpp"

namespace ambrel::deployment::deploy_gateway {

// The parent type whose children a failure on the whole object file may stand for.
inline constexpr std::string_view kCustomObjectType = "CustomObject";
// A whole object file: "objects/{object}.object" with or without "-meta.xml".
inline constexpr std::string_view kAggregateObjectFilePattern =
    R"(^(?:.*/)?objects/([A-Za-z][A-Za-z0-9_]*)\.object(?:-meta\.xml)?$)";
inline constexpr std::string_view kMetaXmlSuffix = "-meta.xml";

// One requested component: its Metadata API type name and full name, compared byte for byte.
struct MetadataComponentKey {
    std::string type_name;
    std::string full_name;

    friend bool operator==(const MetadataComponentKey&, const MetadataComponentKey&) = default;
    friend std::strong_ordering operator<=>(const MetadataComponentKey&, const MetadataComponentKey&) = default;
};

using RequestedComponents = std::set<MetadataComponentKey>;
// Keys in the order they were first tied, each once.
using KeyedFailures = std::vector<std::pair<MetadataComponentKey, std::string>>;

// Where the files of one key are expected inside a package directory.
struct DeployComponentKey {
    std::optional<std::string> document_path;
    std::optional<std::string> body_path;
    std::optional<std::string> bundle_dir;
    // The type is an object child or field, so a failure on the whole object file may be its own.
    bool object_child = false;

    // Unknown types expect no file at all.
    static DeployComponentKey from_metadata_key(const MetadataComponentKey& key);
    // The normalised file name (forward slashes, no trailing slash) is one of this key's files.
    bool matches_decomposed_file(std::string_view file) const;

    friend bool operator==(const DeployComponentKey&, const DeployComponentKey&) = default;
};

// The text before the first "."; empty when there is none or the name starts with ".".
std::string_view object_before_dot(std::string_view full_name) noexcept;

// The one requested key the failure object is tied to, or none.
std::optional<MetadataComponentKey> match_exactly_one_identity(const json::Value& failure,
                                                               const RequestedComponents& requested);

// Lookups over a requested set built once, so that many failures are matched without scanning the
// set per failure. Borrows the set, which must outlive it.
class RequestedIndex {
public:
    explicit RequestedIndex(const RequestedComponents& requested);
    RequestedIndex(const RequestedIndex&) = delete;
    RequestedIndex& operator=(const RequestedIndex&) = delete;

    // The tied key, pointing into the requested set; null when unmatched.
    const MetadataComponentKey* match(const json::Value& failure) const;

private:
    struct Entry {
        const MetadataComponentKey* key;
        DeployComponentKey paths;
        // The type keeps its definition in the object file (CustomObject and its kin), so a failure
        // on the whole object file of its own name may be its own.
        bool object_definition = false;
    };
    // Sorted (name, entry) pairs: one allocation per list and binary search, since an index is built
    // for every answer read.
    using NameIndex = std::vector<std::pair<std::string_view, const Entry*>>;
    struct Candidates {
        std::vector<const Entry*> entries;
        // Full name → entries with that full name.
        NameIndex by_full_name;
        // Last path segment of every expected file (with and without "-meta.xml") → entries, so a
        // file name is tested only against the entries that can end with it.
        NameIndex by_file_segment;
        std::vector<const Entry*> bundles;
        void add(const Entry* entry);
        void seal();
    };
    std::vector<Entry> entries_;
    // Built on first use: failures almost always name their type. The index serves one reading on
    // one thread.
    mutable std::optional<Candidates> all_;
    // Lower-cased type name → the entries of that type.
    std::unordered_map<std::string, Candidates> by_type_;
    const Candidates* candidates_for(const json::Value* type) const;
};

// Replaces the message of an equal key in place, else appends the pair.
void insert_linked(KeyedFailures& failures, const MetadataComponentKey& key, std::string message);

}  // namespace ambrel::deployment::deploy_gateway
