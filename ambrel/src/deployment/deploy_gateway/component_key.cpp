#include "deployment/deploy_gateway/component_key.hpp"

#include <algorithm>
#include <variant>

#include <fmt/format.h>
#include <re2/re2.h>

#include "metadata_types/metadata_type.hpp"
#include "metadata_types/type_descriptor.hpp"
#include "text/text.hpp"

namespace ambrel::deployment::deploy_gateway {
namespace {

const re2::RE2& aggregate_object_file() {
    static const re2::RE2 compiled{
        re2::StringPiece(kAggregateObjectFilePattern.data(), kAggregateObjectFilePattern.size())};
    return compiled;
}

bool ends_with_path(std::string_view file, std::string_view path) {
    if (file == path) return true;
    return file.size() > path.size() && file.ends_with(path) && file[file.size() - path.size() - 1] == '/';
}

bool matches_path(std::string_view file, std::string_view path) {
    if (ends_with_path(file, path)) return true;
    if (path.ends_with(kMetaXmlSuffix)) {
        return ends_with_path(file, path.substr(0, path.size() - kMetaXmlSuffix.size()));
    }
    return false;
}

// A clue text that is present must be a non-blank JSON string; nullopt means "absent", an empty
// optional inside means "present but unusable".
struct Clue {
    bool present = false;
    std::optional<std::string_view> text;
};

Clue clue_of(const json::Object& object, std::string_view key) {
    const json::Value* value = json::find(object, key);
    if (value == nullptr) return {};
    auto text = json::as_string(*value);
    if (!text || text::is_blank(*text)) return {true, std::nullopt};
    return {true, *text};
}

std::string_view last_segment(std::string_view path) {
    const auto slash = path.rfind('/');
    return slash == std::string_view::npos ? path : path.substr(slash + 1);
}

std::string normalise_file_name(std::string_view file) {
    std::string out(file);
    std::replace(out.begin(), out.end(), '\\', '/');
    while (!out.empty() && out.back() == '/') out.pop_back();
    return out;
}

}  // namespace

DeployComponentKey DeployComponentKey::from_metadata_key(const MetadataComponentKey& key) {
    DeployComponentKey paths;
    auto type = metadata_types::MetadataType::from_api_name(key.type_name);
    if (!type || type->is_data_record()) return paths;
    const auto& descriptor = type->descriptor();
    const auto& format = descriptor.content_format.value;
    if (const auto* xml = std::get_if<metadata_types::ContentFormat::DecomposedXml>(&format)) {
        paths.document_path = xml->path_template.render(key.full_name);
    } else if (const auto* container = std::get_if<metadata_types::ContentFormat::ContainerDocument>(&format)) {
        paths.document_path = metadata_types::PathTemplate{container->container}.render(key.full_name);
    } else if (const auto* source = std::get_if<metadata_types::ContentFormat::SourceFile>(&format)) {
        if (!key.full_name.empty()) {
            paths.document_path = fmt::format("{}/{}.{}-meta.xml", source->directory, key.full_name, source->suffix);
            paths.body_path = fmt::format("{}/{}.{}", source->directory, key.full_name, source->suffix);
        }
    } else if (const auto* bundle = std::get_if<metadata_types::ContentFormat::Bundle>(&format)) {
        if (!key.full_name.empty()) paths.bundle_dir = fmt::format("{}/{}", bundle->directory, key.full_name);
    }
    paths.object_child = descriptor.parent_type == kCustomObjectType;
    return paths;
}

bool DeployComponentKey::matches_decomposed_file(std::string_view file) const {
    if (document_path && matches_path(file, *document_path)) return true;
    if (body_path && matches_path(file, *body_path)) return true;
    if (bundle_dir) {
        const std::string with_slash = *bundle_dir + "/";
        if (file.starts_with(with_slash)) return true;
        if (file.find("/" + with_slash) != std::string_view::npos) return true;
    }
    return false;
}

std::string_view object_before_dot(std::string_view full_name) noexcept {
    const auto dot = full_name.find('.');
    if (dot == std::string_view::npos) return {};
    return full_name.substr(0, dot);
}

void RequestedIndex::Candidates::add(const Entry* entry) {
    entries.push_back(entry);
    by_full_name.emplace_back(entry->key->full_name, entry);
    if (entry->paths.bundle_dir) bundles.push_back(entry);
    auto index_path = [&](const std::optional<std::string>& path) {
        if (!path) return;
        const std::string_view whole(*path);
        by_file_segment.emplace_back(last_segment(whole), entry);
        if (whole.ends_with(kMetaXmlSuffix)) {
            by_file_segment.emplace_back(last_segment(whole.substr(0, whole.size() - kMetaXmlSuffix.size())), entry);
        }
    };
    index_path(entry->paths.document_path);
    index_path(entry->paths.body_path);
}

void RequestedIndex::Candidates::seal() {
    auto by_name = [](const auto& a, const auto& b) { return a.first < b.first; };
    std::sort(by_full_name.begin(), by_full_name.end(), by_name);
    std::sort(by_file_segment.begin(), by_file_segment.end(), by_name);
}

RequestedIndex::RequestedIndex(const RequestedComponents& requested) {
    entries_.reserve(requested.size());
    for (const auto& key : requested) {
        Entry entry{&key, DeployComponentKey::from_metadata_key(key)};
        // Whether a key is an object child follows its type, not only CustomField's parent: a
        // failure on the whole object file may stand for a validation rule or record type too.
        if (auto type = metadata_types::MetadataType::from_api_name(key.type_name); type && !type->is_data_record()) {
            if (type->is_object_child_or_field()) entry.paths.object_child = true;
            entry.object_definition = type->is_object_definition();
        }
        entries_.push_back(std::move(entry));
    }
    for (const auto& entry : entries_) by_type_[text::to_ascii_lower(entry.key->type_name)].add(&entry);
    for (auto& [type, candidates] : by_type_) candidates.seal();
}

const RequestedIndex::Candidates* RequestedIndex::candidates_for(const json::Value* type) const {
    if (type == nullptr) {
        if (!all_) {
            all_.emplace();
            for (const auto& entry : entries_) all_->add(&entry);
            all_->seal();
        }
        return &*all_;
    }
    auto text = json::as_string(*type);
    if (!text || text::is_blank(*text)) return nullptr;
    auto found = by_type_.find(text::to_ascii_lower(*text));
    return found == by_type_.end() ? nullptr : &found->second;
}

template <class Index>
static auto equal_names(const Index& index, std::string_view name) {
    return std::equal_range(index.begin(), index.end(), std::pair<std::string_view, const void*>{name, nullptr},
                            [](const auto& a, const auto& b) { return a.first < b.first; });
}

const MetadataComponentKey* RequestedIndex::match(const json::Value& failure) const {
    const json::Object* object = json::as_object(failure);
    if (object == nullptr) return nullptr;
    const Candidates* candidates = candidates_for(json::find(*object, "componentType"));
    if (candidates == nullptr || candidates->entries.empty()) return nullptr;

    const Clue name = clue_of(*object, "fullName");
    const Clue file = clue_of(*object, "fileName");
    if ((name.present && !name.text) || (file.present && !file.text)) return nullptr;

    // Every group given must hold exactly one entry, and all the same one.
    const Entry* chosen = nullptr;
    if (name.present) {
        std::vector<const Entry*> group;
        for (auto [it, end] = equal_names(candidates->by_full_name, *name.text); it != end; ++it) {
            group.push_back(it->second);
        }
        // A bundle reports its files as "{bundle}/{file}" under the bundle's name.
        if (!candidates->bundles.empty()) {
            for (auto slash = name.text->find('/'); slash != std::string_view::npos;
                 slash = name.text->find('/', slash + 1)) {
                for (auto [it, end] = equal_names(candidates->by_full_name, name.text->substr(0, slash)); it != end;
                     ++it) {
                    const Entry* entry = it->second;
                    if (entry->paths.bundle_dir && std::find(group.begin(), group.end(), entry) == group.end()) {
                        group.push_back(entry);
                    }
                }
            }
        }
        if (group.size() != 1) return nullptr;
        chosen = group.front();
    }
    std::optional<std::string> object_condition;
    if (file.present) {
        const std::string normalised = normalise_file_name(*file.text);
        std::vector<const Entry*> group;
        auto consider = [&](const Entry* entry) {
            if (!entry->paths.matches_decomposed_file(normalised)) return;
            if (std::find(group.begin(), group.end(), entry) == group.end()) group.push_back(entry);
        };
        for (auto [it, end] = equal_names(candidates->by_file_segment, last_segment(normalised)); it != end; ++it) {
            consider(it->second);
        }
        for (const Entry* entry : candidates->bundles) consider(entry);
        if (!group.empty()) {
            // Several keys share one file (the labels file, a rules file of one object): the name
            // clue tells them apart when it picked one of them.
            if (chosen != nullptr) {
                if (std::find(group.begin(), group.end(), chosen) == group.end()) return nullptr;
            } else if (group.size() != 1) {
                return nullptr;
            } else {
                chosen = group.front();
            }
        } else {
            std::string object_name;
            if (!re2::RE2::FullMatch(normalised, aggregate_object_file(), &object_name)) return nullptr;
            object_condition = std::move(object_name);
        }
    }
    if (chosen == nullptr) return nullptr;
    if (object_condition) {
        // The whole object file stands for the object's children and for the object definition itself.
        const bool child = chosen->paths.object_child && object_before_dot(chosen->key->full_name) == *object_condition;
        const bool definition = chosen->object_definition && chosen->key->full_name == *object_condition;
        if (!child && !definition) return nullptr;
    }
    return chosen->key;
}

std::optional<MetadataComponentKey> match_exactly_one_identity(const json::Value& failure,
                                                               const RequestedComponents& requested) {
    const MetadataComponentKey* key = RequestedIndex(requested).match(failure);
    if (key == nullptr) return std::nullopt;
    return *key;
}

void insert_linked(KeyedFailures& failures, const MetadataComponentKey& key, std::string message) {
    for (auto& [existing, text] : failures) {
        if (existing == key) {
            text = std::move(message);
            return;
        }
    }
    failures.emplace_back(key, std::move(message));
}

}  // namespace ambrel::deployment::deploy_gateway
