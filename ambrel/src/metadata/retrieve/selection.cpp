#include "metadata/retrieve/selection.hpp"

#include <fmt/format.h>
#include <re2/re2.h>

#include "metadata/namespace_policy.hpp"
#include "metadata_types/name_rules.hpp"
#include "metadata_types/type_descriptor.hpp"
#include "cli/catalog_results.hpp"
#include "text/text.hpp"

namespace ambrel::metadata::retrieve {
namespace {

using metadata_types::MetadataType;

MetadataRetrieveError invalid_name(std::string_view name) {
    return MetadataRetrieveError::invalid_input(fmt::format("Invalid Salesforce object API name: {}", name));
}

}  // namespace

const re2::RE2& OBJECT_API_NAME() {
    static const re2::RE2 pattern("^[A-Za-z][A-Za-z0-9_]*$");
    return pattern;
}

bool is_object_api_name(std::string_view name) { return metadata_types::is_object_api_name(name); }

bool has_members(const Selection& selection) {
    for (const auto& [type, names] : selection) {
        if (!names.empty()) return true;
    }
    return false;
}

Selection strip_documentless_members(const Selection& selection) {
    Selection stripped;
    for (const auto& [type, names] : selection) {
        if (type == MetadataType::ProductBundle || type == MetadataType::ConstraintModel) continue;
        std::set<std::string> kept;
        for (const std::string& name : names) {
            if (!NamespacePolicy::is_standard_tab_name(name)) kept.insert(kept.end(), name);
        }
        if (!kept.empty()) stripped.emplace(type, std::move(kept));
    }
    return stripped;
}

std::expected<void, MetadataRetrieveError> validate_inputs(std::string_view source_alias,
                                                           std::string_view target_alias,
                                                           const Selection& selection, const ObjectNames& present) {
    if (text::is_blank(source_alias)) return std::unexpected(MetadataRetrieveError::invalid_input(kSourceAliasBlank));
    if (text::is_blank(target_alias)) return std::unexpected(MetadataRetrieveError::invalid_input(kTargetAliasBlank));
    // An alias travels as one argument; a control character (a NUL above all) must never reach the CLI.
    if (text::contains_control(source_alias) || text::contains_control(target_alias)) {
        return std::unexpected(MetadataRetrieveError::invalid_input(cli::catalogs::kAliasControlRefusal));
    }
    for (const auto& [type, names] : selection) {
        for (const std::string& name : names) {
            if (!metadata_types::is_valid_member_name(type, name)) return std::unexpected(invalid_name(name));
        }
    }
    for (const std::string& name : present) {
        if (!is_object_api_name(name)) return std::unexpected(invalid_name(name));
    }
    return {};
}

bool is_object_listed(MetadataType type) {
    return type == MetadataType::CustomField || type == MetadataType::CustomObject ||
           type == MetadataType::CustomMetadataType || type == MetadataType::PlatformEvent;
}

ObjectNames selected_objects(const Selection& selection) {
    ObjectNames objects;
    for (const auto& [type, names] : selection) {
        if (is_object_listed(type)) objects.insert(names.begin(), names.end());
    }
    return objects;
}

Selection target_scoped(const Selection& selection, const ObjectNames& present) {
    Selection scoped;
    for (const auto& [type, names] : selection) {
        if (!is_object_listed(type)) {
            if (!names.empty()) scoped.emplace(type, names);
            continue;
        }
        std::set<std::string> kept;
        for (const std::string& name : names) {
            if (present.contains(name)) kept.insert(kept.end(), name);
        }
        if (!kept.empty()) scoped.emplace(type, std::move(kept));
    }
    return scoped;
}

Selection manifest_delta(const Selection& selection, const Selection& already_retrieved) {
    Selection delta;
    for (const auto& [type, names] : selection) {
        const auto done = already_retrieved.find(type);
        std::set<std::string> missing;
        for (const std::string& name : names) {
            if (done == already_retrieved.end() || !done->second.contains(name)) missing.insert(missing.end(), name);
        }
        if (!missing.empty()) delta.emplace(type, std::move(missing));
    }
    return delta;
}

bool retrieve_delta_is_empty(const Selection& already_retrieved, const Selection& selection,
                             const ObjectNames& present, RetrieveScope scope) {
    if (scope != RetrieveScope::Source) return target_scoped(selection, present).empty();
    return manifest_delta(selection, already_retrieved).empty();
}

}  // namespace ambrel::metadata::retrieve
