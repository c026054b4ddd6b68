#include "cli/catalogs/object_catalog.hpp"

#include <optional>
#include <string>

#include <fmt/format.h>

#include "cli/catalog_results.hpp"
#include "cli/catalogs/listing_checks.hpp"
#include "cli/gateway.hpp"
#include "metadata/namespace_policy.hpp"
#include "support/programming_error.hpp"
#include "text/text.hpp"

namespace ambrel::cli::catalogs {
namespace {

constexpr std::string_view kLabel = "object catalog command";
constexpr std::string_view kGuidance = "Verify the selected Salesforce org is authenticated and retry object loading.";

struct ValidatedObjectRecord {
    std::string api_name;
    std::optional<std::string> label;
    bool is_customizable = false;
    bool namespaced = false;
};

std::expected<ValidatedObjectRecord, CatalogError> validate(const json::Value& value, const std::string& path) {
    const json::Object* record = json::as_object(value);
    if (record == nullptr) return std::unexpected(malformed_object(path, "entry is not an object"));
    ValidatedObjectRecord out;
    const auto name = json::get_string(*record, "QualifiedApiName");
    if (!name || text::is_blank(*name)) {
        return std::unexpected(malformed_object(path + ".QualifiedApiName", "value must be non-blank text"));
    }
    out.api_name = std::string(*name);
    auto label = object_required_nullable_text(*record, "Label", path);
    if (!label) return std::unexpected(std::move(label.error()));
    out.label = std::move(*label);
    auto prefix = object_required_nullable_text(*record, "NamespacePrefix", path);
    if (!prefix) return std::unexpected(std::move(prefix.error()));
    out.namespaced = *prefix && !text::is_blank(**prefix);
    const auto customizable = json::get_bool(*record, "IsCustomizable");
    if (!customizable) return std::unexpected(malformed_object(path + ".IsCustomizable", "value must be boolean"));
    out.is_customizable = *customizable;
    return out;
}

}  // namespace

std::expected<std::vector<SalesforceObject>, CatalogError> ObjectCatalog::list_objects(
    std::string_view alias, const domain::CancellationToken& token) const {
    support::require(!text::is_blank(alias), "Source alias must not be blank");

    auto listed = query_listing_records(*gateway_, kObjectListingQuery, alias, timeout_, token, kLabel, kGuidance);
    if (!listed) return std::unexpected(std::move(listed.error()));
    const json::Array* records = &*listed;

    std::vector<SalesforceObject> rows;
    for (std::size_t index = 0; index < records->size(); ++index) {
        auto record = validate((*records)[index], fmt::format("result.records[{}]", index));
        if (!record) return std::unexpected(std::move(record.error()));
        if (!record->is_customizable) continue;
        SalesforceObject row;
        row.label = record->label && !text::is_blank(*record->label) ? *record->label : record->api_name;
        row.origin = record->namespaced || metadata::PACKAGED_FIELD_PATTERN.matches(record->api_name)
                         ? ListingOrigin::Packaged
                         : ListingOrigin::Unpackaged;
        row.api_name = std::move(record->api_name);
        rows.push_back(std::move(row));
    }
    return rows;
}

}  // namespace ambrel::cli::catalogs
