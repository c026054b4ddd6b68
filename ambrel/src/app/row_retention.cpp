#include "app/row_retention.hpp"

#include <algorithm>
#include <cstddef>
#include <deque>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <unordered_map>
#include <unordered_set>
#include <variant>

#include "app/key_address.hpp"
#include "comparison/engine.hpp"
#include "metadata_types/type_descriptor.hpp"

namespace ambrel::app {

namespace {

using domain::ComponentDifference;
using domain::ComponentKey;
using metadata_types::MetadataType;

constexpr std::string_view kLayoutElementSeparator = "::";

std::string_view lookup_name(const ComponentDifference& row) {
    const std::string_view name = row.key().name;
    if (row.key().metadata_type == MetadataType::Layout) return name.substr(0, name.find(kLayoutElementSeparator));
    return comparison::container_name(row.key().metadata_type.descriptor(), name);
}

bool is_object_definition(const MetadataType& type) {
    const metadata_types::PathTemplate* path_template = type.descriptor().content_format.decomposed_template();
    return path_template != nullptr &&
           std::holds_alternative<metadata_types::PathTemplate::ObjectDefinition>(path_template->value);
}

std::string_view object_part(std::string_view field_name) {
    const std::size_t dot = field_name.find('.');
    return dot == std::string_view::npos ? std::string_view() : field_name.substr(0, dot);
}

// Keys are held by address while the walk runs: every key it meets lives in the rows, the edges or the
// pull-in map, none of which moves or loses an element until the walk is over, so no key is copied.

// Kept keys with the name of the key they were kept for (null for requested rows). Only looked up,
// never walked in order, so a hash map serves.
using KeptMap = std::unordered_map<const ComponentKey*, const std::string*, KeyAddressHash, KeyAddressEqual>;

// Borrows the rows and the edges, which must outlive it and keep their elements in place while it
// runs; the edges gain the object edges of the fields step.
class Retention {
public:
    Retention(const std::vector<ComponentDifference>& rows, RowKeyMap& edges) : rows_(rows), edges_(edges) {
        kept_.reserve(rows.size());
    }

    void seed(const CompareSelection& requested) {
        if (rows_.empty() || requested.empty()) return;
        // The names are looked up by std::string; one buffer serves every lookup.
        std::string probe;
        for (const ComponentDifference& row : rows_) {
            auto entry = requested.find(row.key().metadata_type);
            if (entry == requested.end()) continue;
            probe.assign(lookup_name(row));
            if (!entry->second.contains(probe)) continue;
            if (keep(row.key(), nullptr)) queue_.push_back(&row.key());
        }
    }

    void run(const PullInMap& pull_in) {
        index_rows();
        bool again = true;
        while (again) {
            follow_requirements();
            pull_in_partners(pull_in);
            again = keep_objects_of_kept_fields();
        }
    }

    // The entry of a kept key, or null.
    const KeptMap::value_type* find(const ComponentKey& key) const {
        auto entry = kept_.find(&key);
        return entry == kept_.end() ? nullptr : &*entry;
    }
    bool is_kept(const ComponentKey& key) const { return kept_.contains(&key); }

private:
    // Keeps the key once; false when it was kept before.
    bool keep(const ComponentKey& key, const std::string* required_by) {
        if (!kept_.try_emplace(&key, required_by).second) return false;
        fresh_.push_back(&key);
        return true;
    }

    void index_rows() {
        for (std::size_t i = 0; i < rows_.size(); ++i) {
            const ComponentDifference& row = rows_[i];
            if (row.key().metadata_type == MetadataType::CustomField) {
                field_rows_.insert(&row.key());
            } else if (row.change == domain::ChangeKind::Add && is_object_definition(row.key().metadata_type)) {
                object_rows_[row.key().name].push_back(i);
            }
        }
    }

    void follow_requirements() {
        while (!queue_.empty()) {
            const ComponentKey* taken = queue_.front();
            queue_.pop_front();
            auto requirements = edges_.find(*taken);
            if (requirements == edges_.end()) continue;
            for (const ComponentKey& required : requirements->second) {
                if (keep(required, &taken->name)) queue_.push_back(&required);
            }
        }
    }

    void pull_in_partners(const PullInMap& pull_in) {
        for (const auto& [joining, partner] : pull_in) {
            if (kept_.contains(&partner) && !kept_.contains(&joining)) keep(joining, &partner.name);
        }
    }

    // The fields kept since the last pass extend the per-object maps (rebuilding them from all rows
    // would give the same maps); the added object rows of the objects they touched, taken in row
    // order, join the kept rows.
    bool keep_objects_of_kept_fields() {
        // Views into kept keys' names, which stay in place while the walk runs.
        std::set<std::string_view> touched;
        const std::vector<const ComponentKey*> fresh = std::exchange(fresh_, {});
        for (const ComponentKey* key : fresh) {
            if (key->metadata_type != MetadataType::CustomField || !field_rows_.contains(key)) continue;
            const std::string_view object = object_part(key->name);
            auto smallest = smallest_field_.find(object);
            if (smallest == smallest_field_.end()) {
                smallest_field_.emplace(std::string(object), key);
            } else if (key->name < smallest->second->name) {
                smallest->second = key;
            }
            auto fields = all_fields_.find(object);
            if (fields == all_fields_.end()) {
                fields = all_fields_.emplace(std::string(object), std::vector<const ComponentKey*>{}).first;
            }
            fields->second.push_back(key);
            touched.insert(object);
        }
        std::vector<std::size_t> candidates;
        for (std::string_view object : touched) {
            auto rows = object_rows_.find(object);
            if (rows != object_rows_.end()) {
                candidates.insert(candidates.end(), rows->second.begin(), rows->second.end());
            }
        }
        std::sort(candidates.begin(), candidates.end());
        bool kept_any = false;
        for (std::size_t index : candidates) {
            const ComponentDifference& row = rows_[index];
            const std::string& object = row.key().name;
            if (!keep(row.key(), &smallest_field_.find(object)->second->name)) continue;
            queue_.push_back(&row.key());
            for (const ComponentKey* field : all_fields_.find(object)->second) edges_[*field].insert(row.key());
            kept_any = true;
        }
        return kept_any;
    }

    const std::vector<ComponentDifference>& rows_;
    RowKeyMap& edges_;
    KeptMap kept_;
    // Keys whose requirements are still to be followed.
    std::deque<const ComponentKey*> queue_;
    // Keys kept since the per-object maps were last extended.
    std::vector<const ComponentKey*> fresh_;
    std::unordered_set<const ComponentKey*, KeyAddressHash, KeyAddressEqual> field_rows_;
    // Object name to the positions of the added object-definition rows of that name.
    std::map<std::string, std::vector<std::size_t>, std::less<>> object_rows_;
    std::map<std::string, const ComponentKey*, std::less<>> smallest_field_;
    std::map<std::string, std::vector<const ComponentKey*>, std::less<>> all_fields_;
};

}  // namespace

void retain_requested_rows(std::vector<ComponentDifference>& rows, const CompareSelection& requested, RowKeyMap& edges,
                           UnresolvedMap& unresolved, const PullInMap& pull_in) {
    Retention retention(rows, edges);
    retention.seed(requested);
    retention.run(pull_in);

    // Every decision is taken while the keys the walk points at are still in place; only then are rows
    // moved and edges erased.
    std::vector<char> keep_row(rows.size(), 0);
    for (std::size_t i = 0; i < rows.size(); ++i) {
        const auto* entry = retention.find(rows[i].key());
        if (entry == nullptr) continue;
        keep_row[i] = 1;
        if (entry->second != nullptr) rows[i].required_by = *entry->second;
    }
    std::vector<RowKeyMap::iterator> dropped_entries;
    std::vector<std::pair<RowKeyMap::iterator, std::set<ComponentKey>::iterator>> dropped_requirements;
    for (auto entry = edges.begin(); entry != edges.end(); ++entry) {
        if (!retention.is_kept(entry->first)) {
            dropped_entries.push_back(entry);
            continue;
        }
        std::size_t dropped = 0;
        for (auto required = entry->second.begin(); required != entry->second.end(); ++required) {
            if (retention.is_kept(*required)) continue;
            dropped_requirements.emplace_back(entry, required);
            ++dropped;
        }
        if (dropped == entry->second.size()) dropped_entries.push_back(entry);
    }
    std::vector<UnresolvedMap::iterator> dropped_unresolved;
    for (auto entry = unresolved.begin(); entry != unresolved.end(); ++entry) {
        if (!retention.is_kept(entry->first)) dropped_unresolved.push_back(entry);
    }

    // Compacted in place: kept rows move forward over removed ones and keep their order.
    std::size_t write = 0;
    for (std::size_t read = 0; read < rows.size(); ++read) {
        if (keep_row[read] == 0) continue;
        if (write != read) rows[write] = std::move(rows[read]);
        ++write;
    }
    rows.erase(rows.begin() + static_cast<std::ptrdiff_t>(write), rows.end());
    for (auto& [entry, required] : dropped_requirements) entry->second.erase(required);
    for (auto entry : dropped_entries) edges.erase(entry);
    for (auto entry : dropped_unresolved) unresolved.erase(entry);
}

}  // namespace ambrel::app
