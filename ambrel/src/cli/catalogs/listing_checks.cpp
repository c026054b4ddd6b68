#include "cli/catalogs/listing_checks.hpp"

#include <string>
#include <vector>

#include "cli/catalog_results.hpp"
#include "cli/gateway.hpp"

namespace ambrel::cli::catalogs {

bool is_truncated_listing(const json::Object& result, std::size_t record_count) noexcept {
    if (json::get_bool(result, "done") == false) return true;
    const json::Value* total = json::find(result, "totalSize");
    if (total == nullptr || !json::is_integer(*total)) return false;
    const auto count = json::as_uint64(*total);
    return !count || *count != record_count;
}

std::expected<json::Array, CatalogError> query_listing_records(const SfCliGateway& gateway, std::string_view soql,
                                                               std::string_view alias,
                                                               std::chrono::milliseconds timeout,
                                                               const domain::CancellationToken& token,
                                                               std::string_view label, std::string_view guidance) {
    if (auto refusal = alias_refusal(alias)) return std::unexpected(std::move(*refusal));
    auto answer = gateway.execute_inner(
        {"data", "query", "--query", std::string(soql), "--target-org", std::string(alias)}, std::nullopt, timeout,
        token);
    if (!answer) return std::unexpected(CatalogError(std::move(answer.error())));
    auto document = require_successful_catalog_command(*answer, label, guidance);
    if (!document) return std::unexpected(std::move(document.error()));

    const json::Value* result = json::find(document->get(), "result");
    const json::Object* result_object = result != nullptr ? json::as_object(*result) : nullptr;
    const json::Array* records = result_object != nullptr ? json::get_array(*result_object, "records") : nullptr;
    if (records == nullptr) {
        return std::unexpected(
            malformed_catalog_response(label, guidance, "result.records is missing or is not an array"));
    }
    if (is_truncated_listing(*result_object, records->size())) {
        return std::unexpected(malformed_catalog_response(label, guidance, kTruncatedListingDetail));
    }
    return *records;
}

}  // namespace ambrel::cli::catalogs
