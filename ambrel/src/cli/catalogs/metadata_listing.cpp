#include "cli/catalogs/metadata_listing.hpp"

#include <algorithm>
#include <functional>
#include <optional>
#include <string>

#include <fmt/format.h>

#include "cli/catalog_results.hpp"
#include "cli/catalogs/listing_checks.hpp"
#include "cli/gateway.hpp"
#include "metadata/layout_model.hpp"
#include "metadata/namespace_policy.hpp"
#include "metadata_types/metadata_type.hpp"
#include "metadata_types/type_descriptor.hpp"
#include "support/programming_error.hpp"
#include "text/text.hpp"

namespace ambrel::cli::catalogs {
namespace {

using metadata::NamespacePolicy;
using metadata_types::MetadataType;

constexpr std::string_view kListingLabel = "metadata listing command";
constexpr std::string_view kTabLabel = "standard tab query command";
constexpr std::string_view kGuidance =
    "Verify the selected Salesforce org is authenticated and retry component loading.";


using PackagedRule = bool (*)(std::string_view);

bool code_rule(std::string_view name) { return NamespacePolicy::is_packaged_code_component(name); }
bool generic_rule(std::string_view name) { return NamespacePolicy::is_packaged_generic_component(name); }
bool object_child_rule(std::string_view name) { return NamespacePolicy::is_packaged_object_child(name); }
bool layout_rule(std::string_view name) { return metadata::layout_reader::is_packaged_layout(name); }
// Every custom object name contains "__" (its suffix), so objects need the object listing's own rule:
// a namespace prefix before the custom suffix. An org's own Broker__c is not packaged; ns__Thing__c is.
bool object_rule(std::string_view name) { return metadata::PACKAGED_FIELD_PATTERN.matches(name); }

struct TypeRules {
    PackagedRule packaged = code_rule;
    bool keeps_packaged = false;
    bool is_custom_tab = false;
};

TypeRules rules_for(std::string_view type_name) {
    TypeRules rules;
    const std::optional<MetadataType> type = MetadataType::from_api_name(type_name);
    if (!type || type->is_data_record()) return rules;
    if (*type == MetadataType::Layout) {
        rules.packaged = layout_rule;
    } else if (*type == MetadataType::CustomObject) {
        rules.packaged = object_rule;
    } else if (*type == MetadataType::CustomField) {
        // A field's full name is "Object.Field": the field part decides, as for other object children.
        rules.packaged = object_child_rule;
    } else if (type->is_generic()) {
        const auto* path_template = type->descriptor().content_format.decomposed_template();
        const bool object_child = path_template != nullptr &&
                                  std::holds_alternative<metadata_types::PathTemplate::ObjectChild>(path_template->value);
        rules.packaged = object_child ? object_child_rule : generic_rule;
        const std::string_view api_name = type->descriptor().api_name;
        rules.keeps_packaged = api_name == "CustomTab" || api_name == "RecordType";
        rules.is_custom_tab = api_name == "CustomTab";
    }
    rules.keeps_packaged = rules.keeps_packaged || *type == MetadataType::CustomField ||
                           *type == MetadataType::CustomObject || *type == MetadataType::PlatformEvent ||
                           *type == MetadataType::ApexClass || *type == MetadataType::ApexPage;
    return rules;
}

}  // namespace

std::expected<std::vector<SalesforceObject>, CatalogError> MetadataListingCatalog::list_metadata(
    std::string_view type_name, std::string_view alias, const domain::CancellationToken& token) const {
    support::require(!text::is_blank(alias), "Source alias must not be blank");
    support::require(!text::is_blank(type_name), "Metadata type must not be blank");
    if (auto refusal = alias_refusal(alias)) return std::unexpected(std::move(*refusal));

    auto answer = gateway_->execute_inner({"org", "list", "metadata", "--metadata-type", std::string(type_name),
                                           "--target-org", std::string(alias)},
                                          std::nullopt, timeout_, token);
    if (!answer) return std::unexpected(CatalogError(std::move(answer.error())));
    auto document = require_successful_catalog_command(*answer, kListingLabel, kGuidance);
    if (!document) return std::unexpected(std::move(document.error()));

    const json::Value* result = json::find(document->get(), "result");
    const json::Array* entries = result != nullptr ? json::as_array(*result) : nullptr;
    if (entries == nullptr) {
        return std::unexpected(malformed_catalog_response(kListingLabel, kGuidance,
                                                          "result is missing or is not an array of metadata entries"));
    }

    const TypeRules rules = rules_for(type_name);
    std::vector<SalesforceObject> rows;
    for (std::size_t index = 0; index < entries->size(); ++index) {
        const std::string path = fmt::format("result[{}]", index);
        const json::Object* entry = json::as_object((*entries)[index]);
        if (entry == nullptr) return std::unexpected(malformed_metadata_list(path, "entry is not an object"));
        const auto full_name = json::get_string(*entry, "fullName");
        if (!full_name || text::is_blank(*full_name)) {
            return std::unexpected(malformed_metadata_list(path + ".fullName", "value must be non-blank text"));
        }
        auto prefix = metadata_optional_text(*entry, "namespacePrefix", path);
        if (!prefix) return std::unexpected(std::move(prefix.error()));
        auto state = metadata_optional_text(*entry, "manageableState", path);
        if (!state) return std::unexpected(std::move(state.error()));

        const bool name_is_packaged = rules.packaged(*full_name);
        const bool packaged = (*prefix && !text::is_blank(**prefix)) ||
                              (*state && !text::equals_ascii_case_insensitive(**state, "unmanaged")) ||
                              name_is_packaged;
        if (packaged && !(rules.keeps_packaged && name_is_packaged)) continue;
        rows.push_back(SalesforceObject{std::string(*full_name), std::string(*full_name),
                                        packaged ? ListingOrigin::Packaged : ListingOrigin::Unpackaged});
    }

    if (rules.is_custom_tab) {
        auto tabs = list_standard_tabs(alias, token);
        if (!tabs) return std::unexpected(std::move(tabs.error()));
        for (SalesforceObject& tab : *tabs) rows.push_back(std::move(tab));
    }
    std::ranges::stable_sort(rows, std::less<>{}, &SalesforceObject::api_name);
    return rows;
}

std::expected<std::vector<SalesforceObject>, CatalogError> MetadataListingCatalog::list_standard_tabs(
    std::string_view alias, const domain::CancellationToken& token) const {
    auto listed = query_listing_records(*gateway_, kStandardTabQuery, alias, timeout_, token, kTabLabel, kGuidance);
    if (!listed) return std::unexpected(std::move(listed.error()));
    const json::Array* records = &*listed;

    std::vector<SalesforceObject> rows;
    for (std::size_t index = 0; index < records->size(); ++index) {
        const std::string path = fmt::format("result.records[{}]", index);
        const json::Object* record = json::as_object((*records)[index]);
        if (record == nullptr) {
            return std::unexpected(malformed_catalog_response(kTabLabel, kGuidance, path + " entry is not an object"));
        }
        const auto is_custom = json::get_bool(*record, "IsCustom");
        if (!is_custom) {
            return std::unexpected(malformed_catalog_response(kTabLabel, kGuidance, path + ".IsCustom must be a boolean"));
        }
        if (*is_custom) continue;
        const auto name = json::get_string(*record, "Name");
        if (!name || text::is_blank(*name)) {
            return std::unexpected(malformed_catalog_response(kTabLabel, kGuidance, path + ".Name must be non-blank text"));
        }
        if (!NamespacePolicy::is_standard_tab_name(*name)) continue;
        rows.push_back(SalesforceObject{std::string(*name), std::string(*name), ListingOrigin::StandardTab});
    }
    return rows;
}

}  // namespace ambrel::cli::catalogs
