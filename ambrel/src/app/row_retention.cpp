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

// Kept keys with their required-by names. Only looked up, never walked in order, so a hash map
// serves; its nodes stay where they are, which the queue relies on.
using KeptMap = std::unordered_map<ComponentKey, std::optional<std::string>>;

// Borrows the rows and the edges, which must outlive it; the edges gain the object edges of step 4.
class Retention {
public:
    Retention(const std::vector<ComponentDifference>& rows, RowKeyMap& edges) : rows_(rows), edges_(edges) {
        kept_.reserve(rows.size());
    }

    void seed(const CompareSelection& requested) {
        if (rows_.empty() || requested.empty()) return;
        for (const ComponentDifference& row : rows_) {
            auto entry = requested.find(row.key().metadata_type);
            if (entry == requested.end()) continue;
            if (!entry->second.contains(std::string(lookup_name(row)))) continue;
            if (const ComponentKey* kept = keep(row.key(), std::nullopt)) queue_.push_back(kept);
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

    KeptMap& kept() { return kept_; }

private:
    // Keeps the key once: the kept key, or null when it was kept before.
    const ComponentKey* keep(const ComponentKey& key, std::optional<std::string> required_by) {
        auto [entry, inserted] = kept_.try_emplace(key, std::move(required_by));
        if (!inserted) return nullptr;
        fresh_.push_back(&entry->first);
        return &entry->first;
    }

    void index_rows() {
        for (std::size_t i = 0; i < rows_.size(); ++i) {
            const ComponentDifference& row = rows_[i];
            if (row.key().metadata_type == MetadataType::CustomField) {
                field_rows_.insert(row.key());
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
                if (const ComponentKey* kept = keep(required, taken->name)) queue_.push_back(kept);
            }
        }
    }

    void pull_in_partners(const PullInMap& pull_in) {
        for (const auto& [joining, partner] : pull_in) {
            if (kept_.contains(partner) && !kept_.contains(joining)) keep(joining, partner.name);
        }
    }

    // The fields kept since the last pass extend the per-object maps (rebuilding them from all rows
    // would give the same maps); the added object rows of the objects they touched, taken in row
    // order, join the kept rows.
    bool keep_objects_of_kept_fields() {
        std::set<std::string, std::less<>> touched;
        const std::vector<const ComponentKey*> fresh = std::exchange(fresh_, {});
        for (const ComponentKey* key : fresh) {
            if (key->metadata_type != MetadataType::CustomField || !field_rows_.contains(*key)) continue;
            const std::string_view object = object_part(key->name);
            auto smallest = smallest_field_.find(object);
            if (smallest == smallest_field_.end()) {
                smallest_field_.emplace(std::string(object), *key);
            } else if (key->name < smallest->second.name) {
                smallest->second = *key;
            }
            all_fields_[std::string(object)].push_back(*key);
            touched.emplace(object);
        }
        std::vector<std::size_t> candidates;
        for (const std::string& object : touched) {
            auto rows = object_rows_.find(object);
            if (rows != object_rows_.end()) candidates.insert(candidates.end(), rows->second.begin(), rows->second.end());
        }
        std::sort(candidates.begin(), candidates.end());
        bool kept_any = false;
        for (std::size_t index : candidates) {
            const ComponentDifference& row = rows_[index];
            const std::string& object = row.key().name;
            const ComponentKey* kept = keep(row.key(), smallest_field_.find(object)->second.name);
            if (kept == nullptr) continue;
            queue_.push_back(kept);
            for (const ComponentKey& field : all_fields_.find(object)->second) edges_[field].insert(row.key());
            kept_any = true;
        }
        return kept_any;
    }

    const std::vector<ComponentDifference>& rows_;
    RowKeyMap& edges_;
    KeptMap kept_;
    // Keys whose requirements are still to be followed; they point into kept_, whose nodes stay put.
    std::deque<const ComponentKey*> queue_;
    // Keys kept since the per-object maps were last extended.
    std::vector<const ComponentKey*> fresh_;
    std::unordered_set<ComponentKey> field_rows_;
    // Object name to the positions of the added object-definition rows of that name.
    std::map<std::string, std::vector<std::size_t>, std::less<>> object_rows_;
    std::map<std::string, ComponentKey, std::less<>> smallest_field_;
    std::map<std::string, std::vector<ComponentKey>, std::less<>> all_fields_;
};

}  // namespace

void retain_requested_rows(std::vector<ComponentDifference>& rows, const CompareSelection& requested, RowKeyMap& edges,
                           UnresolvedMap& unresolved, const PullInMap& pull_in) {
    Retention retention(rows, edges);
    retention.seed(requested);
    retention.run(pull_in);
    auto& kept = retention.kept();

    // Compacted in place: kept rows move forward over removed ones and keep their order.
    std::size_t write = 0;
    for (std::size_t read = 0; read < rows.size(); ++read) {
        auto entry = kept.find(rows[read].key());
        if (entry == kept.end()) continue;
        if (entry->second) rows[read].required_by = entry->second;
        if (write != read) rows[write] = std::move(rows[read]);
        ++write;
    }
    rows.erase(rows.begin() + static_cast<std::ptrdiff_t>(write), rows.end());

    for (auto entry = edges.begin(); entry != edges.end();) {
        if (kept.contains(entry->first)) {
            std::erase_if(entry->second, [&](const ComponentKey& key) { return !kept.contains(key); });
        }
        if (!kept.contains(entry->first) || entry->second.empty()) {
            entry = edges.erase(entry);
        } else {
            ++entry;
        }
    }
    std::erase_if(unresolved, [&](const auto& entry) { return !kept.contains(entry.first); });
}

}  // namespace ambrel::app
