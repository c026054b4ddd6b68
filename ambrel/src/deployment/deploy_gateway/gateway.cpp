#include "deployment/deploy_gateway/gateway.hpp"

#include <algorithm>
#include <limits>
#include <map>
#include <set>
#include <unordered_map>
#include <unordered_set>
#include <variant>

#include <fmt/format.h>

#include "cli/gateway.hpp"
#include "metadata/manifest/api_versions.hpp"
#include "metadata_types/metadata_type.hpp"
#include "metadata_types/type_descriptor.hpp"
#include "support/programming_error.hpp"
#include "text/text.hpp"

namespace ambrel::deployment::deploy_gateway {
namespace {

using Result = MetadataDeployResult;

const json::Value& json_null() {
    static const json::Value kNull;
    return kNull;
}

// The member of an object, or the shared null when the value is no object or lacks it.
const json::Value& member(const json::Value& value, std::string_view key) {
    const json::Value* found = json::find(value, key);
    return found == nullptr ? json_null() : *found;
}

std::string trimmed_text(const json::Value& value) { return std::string(text::trim(as_text(value))); }

// An array gives its elements, one object gives itself, anything else nothing.
std::vector<const json::Value*> elements_of(const json::Value& value) {
    std::vector<const json::Value*> out;
    if (const auto* array = json::as_array(value)) {
        out.reserve(array->size());
        for (const auto& element : *array) out.push_back(&element);
    } else if (json::as_object(value) != nullptr) {
        out.push_back(&value);
    }
    return out;
}

bool is_true(const json::Value& value) { return json::as_bool(value) == std::optional<bool>(true); }

std::optional<std::string> job_id_of(const json::Value& value) {
    auto text = json::as_string(value);
    if (!text) return std::nullopt;
    const auto trimmed = text::trim(*text);
    if (!is_job_id(trimmed)) return std::nullopt;
    return std::string(trimmed);
}

// An answer whose wait ran out has no "result" but names the still-running job under "data".
std::optional<std::string> expired_wait_job_id(const json::Value& envelope) {
    if (json::find(envelope, "result") != nullptr) return std::nullopt;
    auto id = json::as_string(member(member(envelope, "data"), "id"));
    if (!id || !id->starts_with(kDeployJobPrefix) || !is_job_id(*id)) return std::nullopt;
    return std::string(*id);
}

bool is_terminal(const json::Value& result, const std::string& status_word) {
    static const std::set<std::string, std::less<>> kRunning{"queued", "pending", "canceling", "inprogress",
                                                             "in progress"};
    static const std::set<std::string, std::less<>> kFinished{"succeeded", "failed", "canceled", "cancelled",
                                                              "error"};
    const json::Value& done = member(result, "done");
    if (json::as_bool(done) == std::optional<bool>(false)) return false;
    if (kRunning.contains(status_word)) return false;
    if (is_true(done)) return true;
    if (is_true(member(result, "success"))) return true;
    return kFinished.contains(status_word);
}

std::uint32_t saturate(std::uint64_t value) {
    return static_cast<std::uint32_t>(std::min<std::uint64_t>(value, std::numeric_limits<std::uint32_t>::max()));
}

std::string not_terminal_text(std::string_view job_id) { return fmt::format(fmt::runtime(kNotTerminal), job_id); }

std::string cancelled_while_deploying(std::string_view job_id) {
    return fmt::format(fmt::runtime(kCancelledWhileDeploying),
                       job_id.empty() ? std::string() : fmt::format(fmt::runtime(kCancelledJob), job_id));
}

bool is_unspecified_manifest_row(const json::Value& element) {
    if (!text::trim(as_text(member(element, "componentType"))).empty()) return false;
    return as_text(member(element, "fullName")) == kPackageManifestRow ||
           as_text(member(element, "fileName")) == kPackageManifestRow;
}

// The code coverage warnings of a failed job: their text, and their messages tied to one requested
// Apex class or trigger each.
struct Coverage {
    std::optional<std::string> text;
    KeyedFailures keyed;
};

Coverage read_coverage(const json::Value& result, const RequestedComponents& requested) {
    std::vector<std::string> pieces;
    Coverage coverage;
    for (const json::Value* warning :
         elements_of(member(member(member(result, "details"), "runTestResult"), "codeCoverageWarnings"))) {
        const std::string message = trimmed_text(member(*warning, "message"));
        if (message.empty()) continue;
        const std::string name = trimmed_text(member(*warning, "name"));
        pieces.push_back(SfCliMetadataDeployGateway::coverage_detail(name, message));
        if (name.empty()) continue;
        const MetadataComponentKey* tied = nullptr;
        bool several = false;
        for (const auto& key : requested) {
            if ((key.type_name == "ApexClass" || key.type_name == "ApexTrigger") &&
                text::equals_ascii_case_insensitive(key.full_name, name)) {
                several = tied != nullptr;
                tied = &key;
                if (several) break;
            }
        }
        if (tied != nullptr && !several) {
            insert_linked(coverage.keyed, *tied,
                          SfCliMetadataDeployGateway::safe_text(fmt::format("Code coverage: {}", message)));
        }
    }
    if (!pieces.empty()) {
        coverage.text = SfCliMetadataDeployGateway::safe_text(fmt::format("Code coverage: {}", fmt::join(pieces, "; ")));
    }
    return coverage;
}

// Why a job with component failures was rejected as a whole: the failures, the answer's own message,
// the Apex test failures and the code coverage, those given, in this order.
std::string rejection_reason(const std::string& failures, const json::Value& envelope, const json::Value& result,
                             const RequestedComponents& requested) {
    std::vector<std::string> parts;
    for (const auto& part : {std::optional<std::string>(failures), SfCliMetadataDeployGateway::response_message(envelope),
                             SfCliMetadataDeployGateway::test_failure_detail(result),
                             read_coverage(result, requested).text}) {
        if (!part) continue;
        const auto trimmed = text::trim(*part);
        if (!trimmed.empty() && std::find(parts.begin(), parts.end(), trimmed) == parts.end()) parts.emplace_back(trimmed);
    }
    return SfCliMetadataDeployGateway::safe_text(fmt::format("{}", fmt::join(parts, "; ")));
}

}  // namespace

bool is_job_id(std::string_view text) noexcept {
    if (text.size() != 15 && text.size() != 18) return false;
    return std::all_of(text.begin(), text.end(), [](char c) {
        return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
    });
}

std::string as_text(const json::Value& value) {
    if (auto text = json::as_string(value)) return std::string(*text);
    if (auto flag = json::as_bool(value)) return *flag ? "true" : "false";
    if (auto number = json::number_text(value)) return *number;
    return {};
}

std::string join_details(std::string_view fallback, const std::vector<std::optional<std::string>>& parts) {
    std::string out;
    for (const auto& part : parts) {
        if (!part) continue;
        const auto trimmed = text::trim(*part);
        if (trimmed.empty()) continue;
        if (!out.empty()) out += ' ';
        out += trimmed;
    }
    return out.empty() ? std::string(fallback) : out;
}

Arguments start_args(const std::string& source_dir, const std::string& target_org, const DeployOptions& options) {
    // Conflicts are ignored: the system chooses what to deploy itself, and a source-tracked org would
    // otherwise refuse every deploy from a fresh project before sending anything.
    Arguments args{"project", "deploy", "start", "--source-dir", source_dir, "--target-org", target_org, "--wait",
                   std::string(kWaitMinutes), "--json", "--ignore-conflicts"};
    if (options.check_only) args.emplace_back("--dry-run");
    if (options.ignore_errors) args.emplace_back("--ignore-errors");
    // The CLI refuses a test level without tests, so an empty list sends no test flags at all.
    if (options.tests && !options.tests->empty()) {
        args.emplace_back("--test-level");
        args.emplace_back("RunSpecifiedTests");
        for (const auto& name : *options.tests) {
            args.emplace_back("--tests");
            args.push_back(name);
        }
    }
    return args;
}

Arguments report_args(const std::string& job_id, const std::string& target_org) {
    return {"project", "deploy", "report", "--job-id", job_id, "--target-org", target_org, "--wait",
            std::string(kWaitMinutes), "--json"};
}

Arguments quick_args(const std::string& job_id, const std::string& target_org) {
    return {"project", "deploy", "quick", "--job-id", job_id, "--target-org", target_org, "--wait",
            std::string(kWaitMinutes), "--json"};
}

SfCliMetadataDeployGateway::SfCliMetadataDeployGateway(DeployOptions options,
                                                       std::shared_ptr<const cli::SfCliGateway> gateway)
    : options_(std::move(options)), gateway_(std::move(gateway)) {
    if (gateway_ == nullptr) throw support::ProgrammingError("the deploy gateway needs a CLI gateway");
}

std::optional<std::pair<std::uint32_t, std::uint32_t>> SfCliMetadataDeployGateway::recorded_tests() const {
    std::lock_guard lock(tests_mutex_);
    return recorded_test_totals_;
}

std::optional<std::string> SfCliMetadataDeployGateway::recorded_test_failures() const {
    std::lock_guard lock(failure_mutex_);
    return recorded_failure_text_;
}

std::optional<std::uint64_t> SfCliMetadataDeployGateway::recorded_deployed_count() const {
    std::lock_guard lock(count_mutex_);
    return recorded_component_count_;
}

std::string SfCliMetadataDeployGateway::safe_text(std::string_view input) {
    const std::string redacted = cli::SfCliGateway::sanitize(input);
    std::string collapsed;
    collapsed.reserve(redacted.size());
    bool in_run = false;
    for (char c : redacted) {
        if (c == '\r' || c == '\n' || c == '\t') {
            if (!in_run) collapsed += ' ';
            in_run = true;
        } else {
            collapsed += c;
            in_run = false;
        }
    }
    return std::string(text::first_chars(text::trim(collapsed), kMaxTextChars));
}

std::string SfCliMetadataDeployGateway::component_message(const json::Value& failure) {
    for (std::string_view key : {"problem", "error", "message"}) {
        const std::string value = trimmed_text(member(failure, key));
        if (!value.empty()) return safe_text(value);
    }
    return std::string(kRejectedComponent);
}

std::optional<std::string> SfCliMetadataDeployGateway::response_message(const json::Value& envelope) {
    const json::Value& result = member(envelope, "result");
    for (const json::Value* candidate :
         {&member(envelope, "message"), &member(result, "errorMessage"), &member(result, "message")}) {
        const std::string value = trimmed_text(*candidate);
        if (!value.empty()) return safe_text(value);
    }
    return std::nullopt;
}

std::optional<std::string> SfCliMetadataDeployGateway::test_failure_detail(const json::Value& result) {
    std::vector<std::string> lines;
    for (const json::Value* failure : elements_of(member(member(member(result, "details"), "runTestResult"), "failures"))) {
        const std::string name = trimmed_text(member(*failure, "name"));
        const std::string method = trimmed_text(member(*failure, "methodName"));
        const std::string message = trimmed_text(member(*failure, "message"));
        std::string label = !name.empty() && !method.empty() ? fmt::format("{}.{}", name, method)
                                                              : (!name.empty() ? name : method);
        std::string line = !label.empty() && !message.empty() ? fmt::format("{}: {}", label, message)
                                                               : (!label.empty() ? label : message);
        if (!text::trim(line).empty()) lines.push_back(std::move(line));
    }
    if (lines.empty()) return std::nullopt;
    return safe_text(fmt::format("Apex test failures: {}", fmt::join(lines, "; ")));
}

std::string SfCliMetadataDeployGateway::coverage_detail(std::string_view name, std::string_view message) {
    return name.empty() ? std::string(message) : fmt::format("{}: {}", name, message);
}

void SfCliMetadataDeployGateway::record(const json::Value& result) {
    if (const json::Value* total = json::find(result, "numberTestsTotal")) {
        if (auto run = json::as_uint64(*total)) {
            std::uint64_t errors = 0;
            if (const json::Value* error_count = json::find(result, "numberTestErrors")) {
                errors = json::as_uint64(*error_count).value_or(0);
            }
            std::lock_guard lock(tests_mutex_);
            auto sum = recorded_test_totals_.value_or(std::pair<std::uint32_t, std::uint32_t>{0, 0});
            sum.first = saturate(std::uint64_t{sum.first} + saturate(*run));
            sum.second = saturate(std::uint64_t{sum.second} + saturate(errors));
            recorded_test_totals_ = sum;
        }
    }
    if (auto detail = test_failure_detail(result)) {
        std::lock_guard lock(failure_mutex_);
        recorded_failure_text_ = recorded_failure_text_ ? *recorded_failure_text_ + "\n" + *detail : *detail;
    }
    std::optional<std::uint64_t> count;
    if (const json::Value* deployed = json::find(result, "numberComponentsDeployed")) count = json::as_uint64(*deployed);
    std::lock_guard lock(count_mutex_);
    recorded_component_count_ = count;
}

DeployResponse SfCliMetadataDeployGateway::classify(const cli::CliJsonResult& answer,
                                                    const RequestedComponents& requested) {
    const json::Value& envelope = answer.json;
    const json::Value* result_member = json::find(envelope, "result");
    const json::Value& result = result_member == nullptr ? json_null() : *result_member;

    // An expired wait leaves the job running in the target; its id is the only way back to it.
    if (auto expired = expired_wait_job_id(envelope)) return {DeployResponse::Pending{std::move(*expired)}};

    const std::optional<std::string> job_id = job_id_of(member(result, "id"));
    const std::string status_word = text::to_lower(as_text(member(result, "status")));
    const bool terminal = is_terminal(result, status_word);
    if (job_id && !terminal) return {DeployResponse::Pending{*job_id}};

    record(result);

    if (!job_id && answer.timed_out) return {Result{Result::Error{std::string(kCommandTimedOut)}}};
    if (!terminal) {
        auto message = response_message(envelope);
        if (!message) return {Result{Result::Error{std::string(kNoTerminalResult)}}};
        const std::string name = safe_text(text::trim(as_text(member(envelope, "name"))));
        if (name.empty()) return {Result{Result::Error{std::move(*message)}}};
        return {Result{Result::Error{fmt::format("{}: {}", name, *message)}}};
    }

    const json::Value& failures_value = member(member(result, "details"), "componentFailures");
    const bool no_failures = failures_value.is_null() ||
                             (failures_value.is_array() && failures_value.get_array().empty());
    if (!no_failures) {
        if (!failures_value.is_array() && !failures_value.is_object()) {
            return {Result{Result::Failed{std::string(kMalformedDetails), {}}}};
        }
        const std::vector<const json::Value*> elements = elements_of(failures_value);
        for (const json::Value* element : elements) {
            const json::Object* object = json::as_object(*element);
            if (object == nullptr || object->empty()) {
                return {Result{Result::Failed{std::string(kMalformedFailure), {}}}};
            }
        }
        const RequestedIndex index(requested);
        KeyedFailures keyed;
        // The keyed entry of each tied key (keys point into the requested set), so that a repeated
        // key is found without scanning the list.
        std::unordered_map<const MetadataComponentKey*, std::size_t> position;
        bool has_unmatched = false;
        std::vector<std::string> messages;
        // Views into `messages`, which never reallocates: reserved for every element.
        messages.reserve(elements.size());
        std::unordered_set<std::string_view> seen;
        for (const json::Value* element : elements) {
            std::string message = component_message(*element);
            if (const MetadataComponentKey* key = index.match(*element)) {
                if (auto found = position.find(key); found != position.end()) {
                    keyed[found->second].second = message;
                } else {
                    position.emplace(key, keyed.size());
                    keyed.emplace_back(*key, message);
                }
            } else {
                has_unmatched = true;
            }
            if (!seen.contains(message)) {
                messages.push_back(std::move(message));
                seen.insert(messages.back());
            }
        }
        std::string overall = fmt::format("{}", fmt::join(messages, "; "));
        if (text::is_blank(overall)) overall = std::string(kRejectedComponents);
        overall = safe_text(overall);
        if (!keyed.empty()) {
            // A job that failed or was cancelled deployed nothing, whatever its failures name; a partial
            // success ("SucceededPartial") keeps the reading per component.
            std::optional<std::string> rejection;
            if (status_word == "failed" || status_word == "canceled" || status_word == "cancelled") {
                rejection = rejection_reason(overall, envelope, result, requested);
            }
            return {Result{Result::ComponentFailures{std::move(keyed), std::move(overall), has_unmatched,
                                                     std::move(rejection)}}};
        }
        return {Result{Result::Failed{std::move(overall), {}}}};
    }

    const json::Value& status = member(envelope, "status");
    const bool status_zero = json::is_integer(status) && json::as_int64(status) == std::optional<std::int64_t>(0);
    const bool succeeded = status_zero && answer.exit_code == 0 && !answer.timed_out &&
                           (is_true(member(result, "success")) ||
                            text::equals_ascii_case_insensitive(as_text(member(result, "status")), "succeeded"));
    if (succeeded) {
        return {Result{Result::Succeeded{job_id.value_or(std::string{}), is_true(member(result, "runTestsEnabled"))}}};
    }

    Coverage coverage = read_coverage(result, requested);
    std::string message =
        join_details(kRejectedByTarget, {response_message(envelope), test_failure_detail(result), coverage.text});
    return {Result{Result::Failed{std::move(message), std::move(coverage.keyed)}}};
}

std::expected<cli::CliJsonResult, std::string> SfCliMetadataDeployGateway::execute(
    const Arguments& arguments, const std::filesystem::path& working_dir, const domain::CancellationToken& token) const {
    auto answer = gateway_->execute_inner(arguments, working_dir, options_.timeout, token);
    if (answer) return std::move(*answer);
    const cli::CliError& error = answer.error();
    if (error.is_cancelled()) return std::unexpected(std::string(kCancelled));
    if (const auto* process = error.get_if<cli::CliError::Process>()) {
        std::string detail = safe_text(process->message);
        if (detail.empty()) detail = kUnknownError;
        return std::unexpected(fmt::format("{} {}", kCouldNotRun, detail));
    }
    auto unreadable = [](bool timed_out, std::string_view out, std::string_view err) {
        std::string head = fmt::format(fmt::runtime(kCliTemplate), timed_out ? kTimedOutNoJob : kMalformedJson);
        std::string detail = safe_text(err);
        if (detail.empty()) detail = safe_text(out);
        return detail.empty() ? head : fmt::format("{} {}", head, detail);
    };
    if (const auto* none = error.get_if<cli::CliError::NoJson>()) {
        return std::unexpected(unreadable(none->timed_out, none->stdout_text, none->stderr_text));
    }
    if (const auto* bad = error.get_if<cli::CliError::MalformedJson>()) {
        return std::unexpected(unreadable(bad->timed_out, bad->stdout_text, bad->stderr_text));
    }
    return std::unexpected(fmt::format("{} {}", kCouldNotRun, kUnknownError));
}

MetadataDeployResult SfCliMetadataDeployGateway::deploy(const std::filesystem::path& source_dir,
                                                        const std::filesystem::path& working_dir,
                                                        const std::string& target_org,
                                                        const RequestedComponents& requested,
                                                        const domain::CancellationToken& token) {
    if (text::is_blank(target_org)) return {Result::Error{std::string(kBlankAlias)}};
    if (requested.empty()) return {Result::Error{std::string(kNothingRequested)}};
    const auto source = metadata::manifest::absolute_normalized(source_dir);
    const auto working = metadata::manifest::absolute_normalized(working_dir);

    // A cancel that comes once the job may run in the org stops the command, not the job.
    if (!token.begin_target_change(domain::TargetChange::Sent)) return {Result::Error{std::string(kCancelled)}};
    auto started = execute(start_args(text::decode_lossy(source.string()), target_org, options_), working, token);
    if (!started) {
        if (started.error() == kCancelled) return {Result::Error{cancelled_while_deploying({})}};
        return {Result::Error{std::move(started.error())}};
    }
    DeployResponse response = classify(*started, requested);
    if (auto* complete = std::get_if<MetadataDeployResult>(&response.value)) return std::move(*complete);

    const std::string job_id = std::get<DeployResponse::Pending>(response.value).job_id;
    auto reported = execute(report_args(job_id, target_org), working, token);
    if (!reported) {
        if (reported.error() == kCancelled) return {Result::Error{cancelled_while_deploying(job_id)}};
        return {Result::Error{std::move(reported.error())}};
    }
    DeployResponse report = classify(*reported, requested);
    if (auto* complete = std::get_if<MetadataDeployResult>(&report.value)) return std::move(*complete);
    return {Result::Error{not_terminal_text(job_id)}};
}

std::optional<std::string> full_name_from_file_name(std::string_view type_name, std::string_view file_name) {
    const auto type_text = text::trim(type_name);
    const auto file_text = text::trim(file_name);
    if (type_text.empty() || file_text.empty()) return std::nullopt;
    if (auto type = metadata_types::MetadataType::from_api_name(type_text); type && !type->is_data_record()) {
        if (std::holds_alternative<metadata_types::ContentFormat::ContainerDocument>(
                type->descriptor().content_format.value)) {
            return std::nullopt;
        }
    }
    std::string path(file_text);
    std::replace(path.begin(), path.end(), '\\', '/');
    while (!path.empty() && path.back() == '/') path.pop_back();
    if (path.empty()) return std::nullopt;
    std::vector<std::string_view> segments;
    for (std::size_t start = 0;;) {
        const auto slash = path.find('/', start);
        segments.emplace_back(std::string_view(path).substr(start, slash == std::string::npos ? slash : slash - start));
        if (slash == std::string::npos) break;
        start = slash + 1;
    }
    std::string_view last = segments.back();
    if (last.ends_with(kMetaXmlSuffix)) last.remove_suffix(kMetaXmlSuffix.size());
    const std::string_view stem = last.substr(0, last.find('.'));
    if (stem.empty()) return std::nullopt;
    std::vector<std::string> candidates{std::string(stem)};
    const auto n = segments.size();
    if (n >= 2 && !segments[n - 2].empty()) candidates.push_back(fmt::format("{}.{}", segments[n - 2], stem));
    if (n >= 3 && !segments[n - 3].empty()) candidates.push_back(fmt::format("{}.{}", segments[n - 3], stem));
    std::optional<std::string> chosen;
    for (auto& candidate : candidates) {
        const auto paths = DeployComponentKey::from_metadata_key({std::string(type_text), candidate});
        if (!paths.matches_decomposed_file(path)) continue;
        if (chosen && *chosen != candidate) return std::nullopt;
        chosen = std::move(candidate);
    }
    return chosen;
}

std::expected<app::ports::QuickDeployAnswer, std::string> SfCliMetadataDeployGateway::quick_deploy(
    const std::filesystem::path& working_dir, const std::string& target_org, const std::string& job_id,
    const domain::CancellationToken& token) {
    if (text::is_blank(target_org)) return std::unexpected(std::string(kBlankAlias));
    if (text::is_blank(job_id)) return std::unexpected(std::string(kBlankJobId));
    const auto working = metadata::manifest::absolute_normalized(working_dir);
    auto answer = execute(quick_args(job_id, target_org), working, token);
    if (!answer) return std::unexpected(std::move(answer.error()));

    // A quick deploy whose wait ran out, or that answered before the job finished, is followed once
    // by a report; its rows come from the report's answer.
    const json::Value* result = json::find(answer->json, "result");
    std::optional<std::string> pending = expired_wait_job_id(answer->json);
    if (!pending && result != nullptr) {
        auto id = job_id_of(member(*result, "id"));
        if (id && !is_terminal(*result, text::to_lower(as_text(member(*result, "status"))))) pending = std::move(id);
    }
    if (pending) {
        auto report = execute(report_args(*pending, target_org), working, token);
        if (!report) return std::unexpected(std::move(report.error()));
        const json::Value& reported = member(report->json, "result");
        auto id = job_id_of(member(reported, "id"));
        if (reported.is_null() ||
            !is_terminal(reported, text::to_lower(as_text(member(reported, "status"))))) {
            if (auto message = response_message(report->json); message && reported.is_null()) {
                return std::unexpected(std::move(*message));
            }
            return std::unexpected(not_terminal_text(*pending));
        }
        answer = std::move(report);
    }

    const json::Value& result_value = member(answer->json, "result");
    const json::Value& details = member(result_value, "details");
    app::ports::QuickDeployAnswer out;
    auto add_rows = [&](std::string_view member_name, bool success) {
        const json::Value* value = json::find(details, member_name);
        if (value == nullptr) return;
        std::vector<const json::Value*> elements;
        if (const auto* array = json::as_array(*value)) {
            for (const auto& element : *array) elements.push_back(&element);
        } else if (json::as_object(*value) != nullptr) {
            elements.push_back(value);
        }
        for (const json::Value* element : elements) {
            if (success && is_unspecified_manifest_row(*element)) continue;
            app::ports::QuickDeployComponent row;
            const std::string type = trimmed_text(member(*element, "componentType"));
            const std::string full_name = trimmed_text(member(*element, "fullName"));
            const std::string file_name = trimmed_text(member(*element, "fileName"));
            row.type = type.empty() ? std::string(kUnspecifiedType) : type;
            if (!full_name.empty()) {
                row.full_name = full_name;
            } else if (auto derived = full_name_from_file_name(type, file_name)) {
                row.full_name = std::move(*derived);
            } else if (!file_name.empty()) {
                row.full_name = file_name;
            } else {
                row.full_name = std::string(kUnspecifiedComponent);
            }
            row.message = success ? std::string(kQuickSucceeded) : component_message(*element);
            row.success = success;
            row.created = is_true(member(*element, "created"));
            out.components.push_back(std::move(row));
        }
    };
    add_rows("componentSuccesses", true);
    add_rows("componentFailures", false);
    out.succeeded = is_true(member(result_value, "success"));
    if (!out.components.empty()) return out;
    // A job that deployed without reporting a component row is still a success.
    const json::Value& status = member(answer->json, "status");
    if (out.succeeded && answer->exit_code == 0 && json::is_integer(status) &&
        json::as_int64(status) == std::optional<std::int64_t>(0)) {
        return out;
    }
    return std::unexpected(join_details(kQuickRefused, {response_message(answer->json)}));
}

}  // namespace ambrel::deployment::deploy_gateway
