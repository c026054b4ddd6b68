#include "metadata/retrieve/retrieve_command.hpp"

#include <sys/stat.h>

#include <algorithm>
#include <optional>
#include <system_error>

#include "cli/catalog_results.hpp"
#include "metadata/manifest/api_versions.hpp"
#include "text/text.hpp"

namespace ambrel::metadata::retrieve {
namespace {

constexpr std::string_view kOutputFolder = "force-app/main/default";

MetadataRetrieveError failed(std::string_view alias, std::optional<std::int64_t> status, std::string stdout_text,
                             std::string stderr_text, std::optional<std::string> detail, std::int32_t exit_code,
                             bool timed_out) {
    return MetadataRetrieveError::Failed{status,      std::string(alias), std::move(stdout_text), std::move(stderr_text),
                                         std::move(detail), exit_code,          timed_out};
}

// The status when it is an integer that fits a signed 64-bit value.
std::optional<std::int64_t> integer_status(const json::Value& answer) {
    const json::Value* status = json::find(answer, "status");
    if (status == nullptr || !json::is_integer(*status)) return std::nullopt;
    return json::as_int64(*status);
}

// The error envelope's "{name}: {message}", cleaned; none for any other answer.
std::optional<std::string> envelope_detail(const cli::CliJsonResult& result) {
    const auto detail = cli::catalogs::json_error_detail(result.stdout_text);
    if (!detail) return std::nullopt;
    return clean_cli_text(*detail);
}

// The org's own verdict on a retrieve that the CLI answered with status 0: none when it did not fail.
std::optional<std::string> unsuccessful_retrieve_detail(const json::Value& answer) {
    const json::Value* result = json::find(answer, "result");
    if (result == nullptr || !result->is_object()) return std::nullopt;
    bool unsuccessful = false;
    if (const json::Value* success = json::find(*result, "success")) {
        if (json::as_bool(*success) == false) unsuccessful = true;
    }
    if (const json::Value* status = json::find(*result, "status")) {
        if (const auto state = json::as_string(*status)) {
            unsuccessful = unsuccessful || std::ranges::find(kUnsuccessfulRetrieveStates, *state) !=
                                               std::end(kUnsuccessfulRetrieveStates);
        }
    }
    if (!unsuccessful) return std::nullopt;
    if (const json::Value* message = json::find(*result, "errorMessage")) {
        if (const auto text = json::as_string(*message); text && !text::is_blank(*text)) {
            std::string cleaned = clean_cli_text(*text);
            if (!text::is_blank(cleaned)) return cleaned;
        }
    }
    return std::string(kRetrieveDidNotSucceed);
}

bool has_output(const std::filesystem::path& folder) {
    struct stat status {};
    if (::lstat(folder.c_str(), &status) != 0 || !S_ISDIR(status.st_mode)) return false;
    std::error_code error;
    const std::filesystem::directory_iterator entries(folder, error);
    return !error && entries != std::filesystem::directory_iterator();
}

}  // namespace

std::filesystem::path manifest_path_of(const std::filesystem::path& project) {
    return manifest::absolute_normalized(project / "manifest" / "package.xml");
}

std::vector<std::string> retrieve_arguments(const std::filesystem::path& manifest_path, std::string_view alias) {
    return {"project", "retrieve", "start", "--manifest", text::decode_lossy(manifest_path.native()),
            "--target-org", std::string(alias), "--json"};
}

std::string clean_cli_text(std::string_view text) {
    const std::string cleaned = text::replace_control_characters(cli::SfCliGateway::sanitize(text));
    return std::string(text::first_chars(cleaned, kMaxCliTextChars));
}

std::expected<void, MetadataRetrieveError> judge_retrieve_run(
    std::string_view alias, const std::expected<cli::CliJsonResult, cli::CliError>& outcome) {
    if (!outcome) {
        const cli::CliError& error = outcome.error();
        if (error.is_cancelled()) return std::unexpected(MetadataRetrieveError::Cancelled{});
        if (error.get_if<cli::CliError::Process>() != nullptr) {
            return std::unexpected(MetadataRetrieveError::CouldNotRun{std::string(alias), error.message()});
        }
        std::string stdout_text;
        std::string stderr_text;
        std::int32_t exit_code = 0;
        bool timed_out = false;
        if (const auto* none = error.get_if<cli::CliError::NoJson>()) {
            stdout_text = none->stdout_text;
            stderr_text = none->stderr_text;
            exit_code = none->exit_code;
            timed_out = none->timed_out;
        } else if (const auto* malformed = error.get_if<cli::CliError::MalformedJson>()) {
            stdout_text = malformed->stdout_text;
            stderr_text = malformed->stderr_text;
            exit_code = malformed->exit_code;
            timed_out = malformed->timed_out;
        }
        if (exit_code != 0 || timed_out) {
            return std::unexpected(failed(alias, std::nullopt, std::move(stdout_text), std::move(stderr_text),
                                          std::string(kMalformedOrMissingJson), exit_code, timed_out));
        }
        return std::unexpected(
            MetadataRetrieveError::InvalidResponse{std::string(alias), std::string(kMalformedOrMissingJson)});
    }

    const cli::CliJsonResult& result = *outcome;
    const auto status = integer_status(result.json);
    if (!status) {
        if (result.exit_code != 0 || result.timed_out) {
            return std::unexpected(failed(alias, std::nullopt, result.stdout_text, result.stderr_text,
                                          envelope_detail(result), result.exit_code, result.timed_out));
        }
        return std::unexpected(MetadataRetrieveError::InvalidResponse{std::string(alias), std::string(kStatusMissing)});
    }
    if (*status != 0 || result.exit_code != 0 || result.timed_out) {
        return std::unexpected(failed(alias, status, result.stdout_text, result.stderr_text, envelope_detail(result),
                                      result.exit_code, result.timed_out));
    }
    // The CLI answers a retrieve that failed in the org with status 0 and exit code 0; without this
    // test a failed target retrieve would look like an empty org.
    if (auto detail = unsuccessful_retrieve_detail(result.json)) {
        return std::unexpected(failed(alias, status, result.stdout_text, result.stderr_text, std::move(detail),
                                      result.exit_code, result.timed_out));
    }
    return {};
}

std::vector<std::string> retrieve_problems(const json::Value& answer) {
    std::vector<std::string> problems;
    const json::Value* result = json::find(answer, "result");
    const json::Value* messages = result == nullptr ? nullptr : json::find(*result, "messages");
    if (messages == nullptr) return problems;
    auto take = [&](const json::Value& element) {
        const json::Value* problem = json::find(element, "problem");
        if (problem == nullptr) return;
        const auto text = json::as_string(*problem);
        if (text && !text->empty()) problems.push_back(clean_cli_text(*text));
    };
    if (messages->is_object()) {
        take(*messages);
    } else if (const json::Array* elements = json::as_array(*messages)) {
        for (const json::Value& element : *elements) take(element);
    }
    return problems;
}

std::expected<cli::CliJsonResult, cli::CliError> run_retrieve_command(const cli::SfCliGateway& gateway,
                                                                      std::string_view alias,
                                                                      const std::filesystem::path& project,
                                                                      std::chrono::milliseconds timeout,
                                                                      const domain::CancellationToken& token) {
    return gateway.execute_inner(retrieve_arguments(manifest_path_of(project), alias), project, timeout, token);
}

std::expected<void, MetadataRetrieveError> retrieve_one(const cli::SfCliGateway& gateway, std::string_view alias,
                                                        const std::filesystem::path& project,
                                                        std::chrono::milliseconds timeout,
                                                        const domain::CancellationToken& token, bool output_required) {
    const auto outcome = run_retrieve_command(gateway, alias, project, timeout, token);
    if (auto judged = judge_retrieve_run(alias, outcome); !judged) return judged;
    if (!output_required) return {};
    const std::filesystem::path output = manifest::absolute_normalized(project / kOutputFolder);
    if (has_output(output)) return {};
    return std::unexpected(MetadataRetrieveError::NoOutput{std::string(alias), output, retrieve_problems(outcome->json)});
}

}  // namespace ambrel::metadata::retrieve
