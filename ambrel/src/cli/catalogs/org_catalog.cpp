#include "cli/catalogs/org_catalog.hpp"

#include <algorithm>
#include <array>
#include <string>
#include <unordered_map>
#include <utility>

#include <fmt/format.h>

#include "cli/catalog_results.hpp"
#include "cli/gateway.hpp"
#include "cli/prerequisite.hpp"
#include "text/text.hpp"

namespace ambrel::cli::catalogs {
namespace {

using endpoint::OrgAlias;
using endpoint::OrgKind;

constexpr std::array<OrgKind, 5> kKindsInReadOrder = {OrgKind::NonScratch, OrgKind::Scratch, OrgKind::Sandbox,
                                                      OrgKind::DevHub, OrgKind::Other};

// "62" or "62.0": digits, optionally a point and more digits, nothing around them.
bool is_api_version(std::string_view text) noexcept {
    auto digits = [](std::string_view part) {
        return !part.empty() && std::ranges::all_of(part, [](char c) { return c >= '0' && c <= '9'; });
    };
    const std::size_t point = text.find('.');
    if (point == std::string_view::npos) return digits(text);
    return digits(text.substr(0, point)) && digits(text.substr(point + 1));
}

bool same_identity(const OrgAlias& a, const OrgAlias& b) {
    return a.username == b.username && a.org_id == b.org_id && a.instance_url == b.instance_url &&
           a.connected_status == b.connected_status;
}

}  // namespace

std::expected<std::vector<OrgAlias>, CatalogError> OrgCatalog::list_aliases(
    const domain::CancellationToken& token) const {
    if (prerequisites_ != nullptr) {
        if (auto checked = prerequisites_->check(token); !checked) return std::unexpected(std::move(checked.error()));
    }

    auto answer = gateway_->execute_inner({"org", "list", "--skip-connection-status"}, std::nullopt, timeout_, token);
    if (!answer) return std::unexpected(CatalogError(std::move(answer.error())));
    auto document = require_successful_catalog_command(*answer, kOrgCatalogLabel, kOrgCatalogGuidance);
    if (!document) return std::unexpected(std::move(document.error()));

    const json::Object* result = nullptr;
    if (const json::Value* value = json::find(document->get(), "result")) result = json::as_object(*value);
    if (result == nullptr) {
        return std::unexpected(malformed_catalog_response(
            kOrgCatalogLabel, kOrgCatalogGuidance, "result is missing or is not an object containing an org array"));
    }

    std::vector<std::pair<OrgKind, const json::Array*>> arrays;
    bool any_present = false;
    for (OrgKind kind : kKindsInReadOrder) {
        const json::Value* member = json::find(*result, endpoint::listing_array_name(kind));
        if (member == nullptr) continue;
        any_present = true;
        const json::Array* array = json::as_array(*member);
        if (array == nullptr) {
            any_present = false;
            break;
        }
        arrays.emplace_back(kind, array);
    }
    if (!any_present) {
        return std::unexpected(malformed_catalog_response(kOrgCatalogLabel, kOrgCatalogGuidance,
                                                          "result does not contain the expected org array structure"));
    }

    std::vector<OrgAlias> rows;
    // Position of each listed alias in `rows`, so that a long org list is merged in linear time.
    std::unordered_map<std::string, std::size_t> listed_at;
    for (const auto& [kind, array] : arrays) {
        for (std::size_t index = 0; index < array->size(); ++index) {
            const std::string path = fmt::format("{}[{}]", endpoint::listing_array_name(kind), index);
            const json::Object* entry = json::as_object((*array)[index]);
            if (entry == nullptr) return std::unexpected(malformed_org(path, "entry is not an object"));

            const json::Value* alias_value = json::find(*entry, "alias");
            if (alias_value == nullptr || alias_value->is_null()) continue;
            const auto alias_text = json::as_string(*alias_value);
            if (!alias_text) return std::unexpected(malformed_org(path + ".alias", "value must be text or null"));
            if (text::is_blank(*alias_text)) continue;

            OrgAlias row;
            row.alias = std::string(*alias_text);
            row.kind = kind;
            auto username = org_required_non_blank_text(*entry, "username", path);
            if (!username) return std::unexpected(std::move(username.error()));
            row.username = std::move(*username);
            auto org_id = org_required_non_blank_text(*entry, "orgId", path);
            if (!org_id) return std::unexpected(std::move(org_id.error()));
            row.org_id = std::move(*org_id);
            auto instance_url = org_optional_text(*entry, "instanceUrl", path);
            if (!instance_url) return std::unexpected(std::move(instance_url.error()));
            row.instance_url = std::move(*instance_url);
            auto connected_status = org_optional_text(*entry, "connectedStatus", path);
            if (!connected_status) return std::unexpected(std::move(connected_status.error()));
            row.connected_status = std::move(*connected_status);
            auto api_version = org_optional_text(*entry, "instanceApiVersion", path);
            if (!api_version) return std::unexpected(std::move(api_version.error()));
            if (*api_version && is_api_version(**api_version)) row.instance_api_version = std::move(*api_version);

            const auto [position, inserted] = listed_at.try_emplace(row.alias, rows.size());
            if (inserted) {
                rows.push_back(std::move(row));
                continue;
            }
            OrgAlias* listed = &rows[position->second];
            if (!same_identity(*listed, row)) {
                return std::unexpected(malformed_org("result", "duplicate alias resolves to conflicting org identities"));
            }
            if (row.kind == OrgKind::Scratch || row.kind == OrgKind::Sandbox) listed->kind = row.kind;
        }
    }

    std::vector<std::pair<std::string, OrgAlias>> keyed;
    keyed.reserve(rows.size());
    for (OrgAlias& row : rows) {
        std::string lower = text::to_lower(row.alias);
        keyed.emplace_back(std::move(lower), std::move(row));
    }
    std::ranges::stable_sort(keyed, [](const auto& a, const auto& b) {
        if (a.first != b.first) return a.first < b.first;
        return a.second.alias < b.second.alias;
    });
    std::vector<OrgAlias> sorted;
    sorted.reserve(keyed.size());
    for (auto& entry : keyed) sorted.push_back(std::move(entry.second));
    return sorted;
}

}  // namespace ambrel::cli::catalogs
