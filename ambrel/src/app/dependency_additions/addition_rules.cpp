#include "app/dependency_additions/addition_rules.hpp"

#include <re2/re2.h>

#include "dependency/warnings.hpp"
#include "metadata/retrieve/selection.hpp"

namespace ambrel::app {

bool is_member_name(std::string_view name) {
    return re2::RE2::PartialMatch(re2::StringPiece(name.data(), name.size()), metadata::retrieve::OBJECT_API_NAME());
}

void KeyCollector::add(metadata_types::MetadataType type, std::string_view name) {
    domain::ComponentKey key{type, std::string(name)};
    if (is_known(key)) return;
    keys_.insert(std::move(key));
}

void KeyCollector::add_object_with_definition(std::string_view object) {
    add(metadata_types::MetadataType::CustomField, object);
    if (const auto definition = dependency::object_definition_type(object)) add(*definition, object);
}

std::vector<domain::ComponentKey> KeyCollector::take() && {
    std::vector<domain::ComponentKey> keys;
    keys.reserve(keys_.size());
    while (!keys_.empty()) keys.push_back(std::move(keys_.extract(keys_.begin()).value()));
    return keys;
}

bool KeyCollector::is_known(const domain::ComponentKey& key) const {
    const auto members = selection_.find(key.metadata_type);
    return members != selection_.end() && members->second.contains(key.name);
}

}  // namespace ambrel::app
