#include "cli/prerequisite.hpp"

#include <optional>
#include <string>

#include <fmt/format.h>
#include <re2/re2.h>

#include "cli/gateway.hpp"
#include "support/programming_error.hpp"
#include "text/text.hpp"

namespace ambrel::cli {

namespace prerequisite {

bool contains_version_number(std::string_view text) {
    static const RE2 pattern(R"([0-9]+(?:\.[0-9]+)+)");
    support::require(pattern.ok(), "version number pattern compiles");
    return RE2::PartialMatch(text, pattern);
}

}  // namespace prerequisite

namespace {

constexpr std::string_view kNotStarted =
    "Salesforce CLI could not be started or did not return a valid version response.";
constexpr std::string_view kIncompatible =
    "Salesforce CLI returned an incompatible version response without cliVersion or version.";

// The first of result.cliVersion, result.version, cliVersion and version that is a text and not blank.
std::optional<std::string_view> version_text(const json::Value& document) {
    const json::Value* result = json::find(document, "result");
    const json::Value* scopes[] = {result != nullptr && result->is_object() ? result : nullptr, &document};
    for (const json::Value* scope : scopes) {
        if (scope == nullptr) continue;
        for (std::string_view key : {"cliVersion", "version"}) {
            const json::Value* member = json::find(*scope, key);
            if (member == nullptr) continue;
            const auto text = json::as_string(*member);
            if (text && !text::is_blank(*text)) return text;
        }
    }
    return std::nullopt;
}

}  // namespace

std::expected<void, CatalogError> SfCliPrerequisiteChecker::check(const domain::CancellationToken& token) const {
    auto answer = gateway_->execute_inner({"version"}, std::nullopt, timeout_, token, {});
    if (!answer) {
        if (answer.error().is_cancelled()) return std::unexpected(CatalogError(std::move(answer.error())));
        return std::unexpected(CatalogError::prerequisite(std::string(kNotStarted), std::move(answer.error())));
    }

    // Only a JSON integer counts as a status; the CLI's version answer carries none at all.
    std::optional<std::int64_t> status;
    if (const json::Value* member = json::find(answer->json, "status"); member != nullptr && json::is_integer(*member)) {
        status = json::as_int64(*member);
        if (!status) status = -1;  // an integer beyond int64 is not 0 either
    }
    const bool failed = status && *status != 0 ? true : answer->exit_code != 0 || answer->timed_out;
    if (failed) {
        const std::string status_text =
            status ? *json::number_text(*json::find(answer->json, "status")) : std::string("missing");
        return std::unexpected(CatalogError::prerequisite(
            fmt::format("Salesforce CLI version check failed (exit code {}, status {}, timed out: {}).",
                        answer->exit_code, status_text, answer->timed_out)));
    }

    const auto version = version_text(answer->json);
    if (version && prerequisite::contains_version_number(*version)) return {};
    return std::unexpected(CatalogError::prerequisite(std::string(kIncompatible)));
}

}  // namespace ambrel::cli
