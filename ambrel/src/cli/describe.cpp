#include "cli/describe.hpp"

#include "cli/catalog_results.hpp"
#include "cli/gateway.hpp"
#include "support/programming_error.hpp"
#include "text/text.hpp"

namespace ambrel::cli {
namespace {

constexpr std::string_view kLabel = "sobject describe command";
constexpr std::string_view kGuidance = "Check that the org is reachable and retry.";
constexpr std::string_view kNotFound = "NOT_FOUND";

bool is_success(const CliJsonResult& answer) {
    const json::Value* status = json::find(answer.json, "status");
    return status != nullptr && json::as_int64(*status) == 0 && answer.exit_code == 0 && !answer.timed_out;
}

bool says_not_found(const json::Value& document) {
    if (const json::Value* name = json::find(document, "name"); name != nullptr && json::as_string(*name) == kNotFound) {
        return true;
    }
    const json::Value* data = json::find(document, "data");
    const json::Value* code = data != nullptr ? json::find(*data, "errorCode") : nullptr;
    return code != nullptr && json::as_string(*code) == kNotFound;
}

}  // namespace

namespace describe {

std::vector<std::string> describe_arguments(std::string_view alias, std::string_view object_name) {
    return {"sobject", "describe", "--sobject", std::string(object_name), "--target-org", std::string(alias)};
}

}  // namespace describe

std::expected<std::optional<data::schema::ObjectSchema>, CatalogError> SObjectDescribeCatalog::describe(
    std::string_view alias, std::string_view object_name, const domain::CancellationToken& token) const {
    support::require(!text::is_blank(alias), "Org alias must not be blank");
    support::require(!text::is_blank(object_name), "Object name must not be blank");
    if (auto refusal = catalogs::alias_refusal(alias)) return std::unexpected(std::move(*refusal));
    // No object of any org is named with a control character; the name never reaches the CLI.
    if (text::contains_control(object_name)) return std::nullopt;

    auto answer = gateway_->execute_inner(describe::describe_arguments(alias, object_name), std::nullopt, timeout_,
                                          token);
    if (!answer) return std::unexpected(CatalogError(std::move(answer.error())));
    if (!is_success(*answer) && says_not_found(answer->json)) return std::nullopt;
    auto document = catalogs::require_successful_catalog_command(*answer, kLabel, kGuidance);
    if (!document) return std::unexpected(std::move(document.error()));

    const json::Value* result = json::find(document->get(), "result");
    if (result == nullptr || !result->is_object()) {
        return std::unexpected(
            catalogs::malformed_catalog_response(kLabel, kGuidance, "result is missing or is not an object"));
    }
    auto schema = data::schema::ObjectSchema::parse(*result);
    if (!schema) return std::unexpected(catalogs::malformed_catalog_response(kLabel, kGuidance, schema.error()));
    if (schema->name != object_name) {
        return std::unexpected(
            catalogs::malformed_catalog_response(kLabel, kGuidance, "result describes a different object"));
    }
    return std::optional(std::move(*schema));
}

}  // namespace ambrel::cli
