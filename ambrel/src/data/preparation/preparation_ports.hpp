#pragma once

// The only road from org preparation to the orgs. The service wiring implements it over the
// Salesforce CLI; tests give a recording fake. Every org argument is a CLI alias; every long operation
// takes the caller's cancellation token.

#include <cstdint>
#include <expected>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "cli/catalog_error.hpp"
#include "cli/record_keys.hpp"
#include "data/schema.hpp"
#include "domain/cancellation.hpp"
#include "progress/progress.hpp"

namespace ambrel::data::preparation {

// NothingToFill, Filled (count), Failed (message) or Cancelled (message).
using KeyFillResult = cli::KeyFillResult;

class PreparationPorts {
public:
    virtual ~PreparationPorts() = default;

    // The describe of the object; none when the org does not have it (no error).
    virtual std::expected<std::optional<schema::ObjectSchema>, cli::CatalogError> describe(
        std::string_view org, std::string_view object, const domain::CancellationToken& cancel) = 0;
    // Records whose key field is empty, or all records without a key field.
    virtual std::expected<std::uint32_t, cli::CatalogError> count_records(std::string_view org, std::string_view object,
                                                                          std::optional<std::string_view> key_field,
                                                                          const domain::CancellationToken& cancel) = 0;
    // The Ids of the records whose key field is empty.
    virtual std::expected<std::vector<std::string>, cli::CatalogError> unkeyed_ids(
        std::string_view org, std::string_view object, std::string_view key_field,
        const domain::CancellationToken& cancel) = 0;
    // The full name of the signed-in user's profile; none when it cannot be found.
    virtual std::expected<std::optional<std::string>, cli::CatalogError> running_user_profile(
        std::string_view org, const domain::CancellationToken& cancel) = 0;
    // Creates the own field on each object (a non-empty list) and grants the profile access to it.
    virtual std::expected<void, std::string> deploy_fields(std::string_view org, const std::vector<std::string>& objects,
                                                           const std::optional<std::string>& profile,
                                                           const domain::CancellationToken& cancel) = 0;
    // Writes each record's key value (its 18-character Id reversed) into the key field.
    virtual KeyFillResult fill_keys(std::string_view org, std::string_view object, std::string_view key_field,
                                    std::span<const std::string> ids, const domain::CancellationToken& cancel) = 0;
    virtual void report_progress(progress::ProgressStage stage, std::optional<std::uint32_t> current,
                                 std::optional<std::uint32_t> total, std::string_view detail) = 0;
};

}  // namespace ambrel::data::preparation
