#include "comparison/engine.hpp"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <functional>
#include <unordered_map>

#include "comparison/document_equality.hpp"
#include "metadata/custom_field_reader.hpp"
#include "metadata/namespace_policy.hpp"
#include "metadata_types/metadata_type.hpp"

namespace ambrel::comparison {
namespace {

using domain::AttributeDifference;
using domain::ChangeKind;
using domain::ComponentDifference;
using domain::MetadataComponent;
using domain::MetadataDeployScope;
using metadata_types::MetadataType;
using metadata_types::TypeDescriptor;

// A component key seen through views, so that indexing the target copies no name.
struct KeyView {
    MetadataType type;
    std::string_view name;
    bool operator==(const KeyView&) const = default;
};

struct KeyViewHash {
    std::size_t operator()(const KeyView& key) const noexcept {
        const std::size_t type_hash = std::hash<MetadataType>{}(key.type);
        return std::hash<std::string_view>{}(key.name) ^ (type_hash + 0x9e3779b97f4a7c15ULL + (type_hash << 6));
    }
};

using TargetIndex = std::unordered_map<KeyView, const MetadataComponent*, KeyViewHash>;

TargetIndex index_targets(std::span<const MetadataComponent> target) {
    TargetIndex index;
    index.reserve(target.size());
    for (const MetadataComponent& component : target) {
        index.insert_or_assign(KeyView{component.key.metadata_type, component.key.name}, &component);
    }
    return index;
}

const char* next_carriage_return(const char* from, const char* end) noexcept {
    const void* found = from < end ? std::memchr(from, '\r', static_cast<std::size_t>(end - from)) : nullptr;
    return found != nullptr ? static_cast<const char*>(found) : end;
}

// One document read as a sequence of characters in which "\r\n" counts as "\n".
class NormalisedCursor {
public:
    explicit NormalisedCursor(std::string_view text) noexcept
        : at_(text.data()), end_(text.data() + text.size()), carriage_return_(next_carriage_return(at_, end_)) {}

    // Bytes before the next carriage return (which all read as themselves).
    std::size_t plain_run() const noexcept { return static_cast<std::size_t>(carriage_return_ - at_); }
    const char* position() const noexcept { return at_; }
    void skip(std::size_t count) noexcept { at_ += count; }

    // The next character (-1 at the end), consumed.
    int take() noexcept {
        if (at_ == end_) return -1;
        int character = static_cast<unsigned char>(*at_);
        if (*at_ == '\r' && at_ + 1 < end_ && at_[1] == '\n') {
            character = '\n';
            at_ += 2;
        } else {
            ++at_;
        }
        if (at_ > carriage_return_) carriage_return_ = next_carriage_return(at_, end_);
        return character;
    }

private:
    const char* at_;
    const char* end_;
    const char* carriage_return_;
};

bool bodies_equal(const MetadataComponent& source, const MetadataComponent& target) {
    if (!source.body || !target.body) return !source.body && !target.body;
    return source.body->text == target.body->text;
}

MetadataDeployScope deploy_scope_of(const MetadataComponent& component) {
    if (component.key.metadata_type != MetadataType::CustomField) return MetadataDeployScope::Full;
    const std::string_view name = component.key.name;
    const std::size_t dot = name.find('.');
    if (dot == std::string_view::npos) return MetadataDeployScope::Full;
    return metadata::NamespacePolicy::field_deploy_scope(name.substr(dot + 1));
}

std::optional<std::string> text_at(std::span<const domain::AttributeValue> values, std::size_t position) {
    if (position >= values.size()) return std::nullopt;
    if (const std::string* text = values[position].text_value()) return *text;
    return std::nullopt;
}

std::optional<std::int64_t> number_at(std::span<const domain::AttributeValue> values, std::size_t position) {
    if (position >= values.size()) return std::nullopt;
    return values[position].number_value();
}

std::optional<std::string> decimal(std::optional<std::int64_t> value) {
    if (!value) return std::nullopt;
    return std::to_string(*value);
}

// Fills every part of the row except its source component, which the caller copies or moves in
// last (the comparison reads the component first).
void fill_row(ComponentDifference& row, const TypeDescriptor& descriptor, const MetadataComponent& source,
              const TargetIndex& targets, const std::set<std::string>& missing_containers) {
    row.deploy_scope = deploy_scope_of(source);
    row.required_by = std::nullopt;
    row.edited = false;

    if (!missing_containers.empty() &&
        missing_containers.contains(std::string(container_name(descriptor, source.key.name)))) {
        row.change = ChangeKind::Add;
        row.block_reason = std::string(kTargetObjectMissing);
        row.deployable = false;
        return;
    }

    row.deployable = true;
    const auto found = targets.find(KeyView{source.key.metadata_type, source.key.name});
    if (found == targets.end()) {
        row.change = row.deploy_scope == MetadataDeployScope::TrackingOnly ? ChangeKind::NoChange : ChangeKind::Add;
        return;
    }

    const MetadataComponent& target = *found->second;
    row.attribute_differences = row.deploy_scope == MetadataDeployScope::TrackingOnly
                                    ? tracking_differences(source, target)
                                    : compare_attributes(descriptor, source.attributes, target.attributes);
    row.body_changed = !bodies_equal(source, target);
    row.bundle_counts = bundle_change_counts(source, target);
    // A standard or packaged field deploys its tracking switches alone, so nothing else of its
    // document is a change.
    row.definition_changed = descriptor.compares_document && row.deploy_scope == MetadataDeployScope::Full &&
                             !documents_equal(source.document, target.document);
    const bool changed = !row.attribute_differences.empty() || row.body_changed || row.definition_changed ||
                         row.bundle_counts.has_value();
    row.change = changed ? ChangeKind::Update : ChangeKind::NoChange;
}

std::vector<std::size_t> name_order(std::span<const MetadataComponent> source) {
    std::vector<std::size_t> order(source.size());
    for (std::size_t i = 0; i < order.size(); ++i) order[i] = i;
    std::stable_sort(order.begin(), order.end(),
                     [&source](std::size_t a, std::size_t b) { return source[a].key.name < source[b].key.name; });
    return order;
}

}  // namespace

std::vector<ComponentDifference> ComponentComparisonEngine::compare(const TypeDescriptor& descriptor,
                                                                    std::span<const MetadataComponent> source,
                                                                    std::span<const MetadataComponent> target,
                                                                    const std::set<std::string>& missing_containers) {
    // Every row owns a copy of its source component; copying up front lets one loop serve both forms.
    return compare(descriptor, std::vector<MetadataComponent>(source.begin(), source.end()), target,
                   missing_containers);
}

std::vector<ComponentDifference> ComponentComparisonEngine::compare(const TypeDescriptor& descriptor,
                                                                    std::vector<MetadataComponent>&& source,
                                                                    std::span<const MetadataComponent> target,
                                                                    const std::set<std::string>& missing_containers) {
    const TargetIndex targets = index_targets(target);
    std::vector<ComponentDifference> rows(source.size());
    const std::vector<std::size_t> order = name_order(source);
    for (std::size_t position = 0; position < order.size(); ++position) {
        MetadataComponent& component = source[order[position]];
        fill_row(rows[position], descriptor, component, targets, missing_containers);
        rows[position].source = std::move(component);
    }
    source.clear();
    return rows;
}

std::vector<AttributeDifference> compare_attributes(const TypeDescriptor& descriptor,
                                                    std::span<const domain::AttributeValue> source,
                                                    std::span<const domain::AttributeValue> target) {
    std::vector<AttributeDifference> differences;
    for (std::size_t position = 0; position < descriptor.attributes.size(); ++position) {
        const metadata_types::AttributeSpec& attribute = descriptor.attributes[position];
        if (attribute.numeric) {
            const auto source_number = number_at(source, position);
            const auto target_number = number_at(target, position);
            if (source_number != target_number) {
                differences.push_back({std::string(attribute.label), decimal(target_number), decimal(source_number)});
            }
        } else {
            auto source_text = text_at(source, position);
            auto target_text = text_at(target, position);
            if (source_text != target_text) {
                differences.push_back({std::string(attribute.label), std::move(target_text), std::move(source_text)});
            }
        }
    }
    return differences;
}

std::optional<domain::BundleChangeCounts> bundle_change_counts(const MetadataComponent& source,
                                                               const MetadataComponent& target) {
    domain::BundleChangeCounts counts;
    // Both maps are ordered by file name: one merge walk.
    auto s = source.bundle_files.begin();
    auto t = target.bundle_files.begin();
    while (s != source.bundle_files.end() || t != target.bundle_files.end()) {
        if (t == target.bundle_files.end() || (s != source.bundle_files.end() && s->first < t->first)) {
            ++counts.added;
            ++s;
        } else if (s == source.bundle_files.end() || t->first < s->first) {
            ++counts.removed;
            ++t;
        } else {
            if (s->second != t->second) ++counts.changed;
            ++s;
            ++t;
        }
    }
    if (!counts.any()) return std::nullopt;
    return counts;
}

std::vector<AttributeDifference> tracking_differences(const MetadataComponent& source,
                                                      const MetadataComponent& target) {
    using metadata::field_reader::read_tracking_toggles;
    const auto source_toggles = read_tracking_toggles(source.document, source.source_path);
    const auto target_toggles = read_tracking_toggles(target.document, target.source_path);
    const auto flag_text = [](bool flag) { return std::string(flag ? "true" : "false"); };
    std::vector<AttributeDifference> differences;
    if (source_toggles.track_history != target_toggles.track_history) {
        differences.push_back(
            {"Track History", flag_text(target_toggles.track_history), flag_text(source_toggles.track_history)});
    }
    if (source_toggles.track_feed_history != target_toggles.track_feed_history) {
        differences.push_back({"Track Feed History", flag_text(target_toggles.track_feed_history),
                               flag_text(source_toggles.track_feed_history)});
    }
    return differences;
}

std::string_view container_name(const TypeDescriptor& descriptor, std::string_view full_name) {
    if (descriptor.container_scope != metadata_types::ContainerScope::ObjectPart) return full_name;
    return full_name.substr(0, full_name.find('.'));
}

bool documents_equal_ignoring_crlf(std::string_view a, std::string_view b) noexcept {
    if (a.size() == b.size() && (a.empty() || std::memcmp(a.data(), b.data(), a.size()) == 0)) return true;
    NormalisedCursor left(a);
    NormalisedCursor right(b);
    while (true) {
        const std::size_t run = std::min(left.plain_run(), right.plain_run());
        if (run != 0) {
            if (std::memcmp(left.position(), right.position(), run) != 0) return false;
            left.skip(run);
            right.skip(run);
        }
        const int l = left.take();
        if (l != right.take()) return false;
        if (l == -1) return true;
    }
}

}  // namespace ambrel::comparison
