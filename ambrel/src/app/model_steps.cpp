// The model rows of a deploy: their expansion into ExpressionSetDefinition rows before the package,
// the fold of the definition results back onto the model rows, the activation of deployed expression
// set versions and the constraint model transfer after it.

#include <fmt/format.h>

#include <filesystem>
#include <iterator>
#include <utility>

#include "app/application_service.hpp"
#include "app/compare_steps.hpp"
#include "app/deploy_details.hpp"
#include "metadata/expression_set_version_status.hpp"
#include "metadata_types/type_descriptor.hpp"
#include "text/text.hpp"

namespace ambrel::app {

namespace {

using domain::ComponentDeploymentStatus;

constexpr std::string_view kDefinitionWireId = "ExpressionSetDefinition";
constexpr std::string_view kGitTargetMessage = "Constraint models are transferred to an org target only.";
constexpr std::string_view kTypeMissingMessage = "The ExpressionSetDefinition type is not available in this build.";
constexpr std::string_view kUnreadableMessage = "The Constraint Model document could not be read: {}.";
constexpr std::string_view kNoDefinitionMessage =
    "The comparison carries no definition document for {}; nothing was deployed.";
constexpr std::string_view kInvalidNameMessage =
    "The Constraint Model name {} is not a valid API name; nothing was deployed.";
constexpr std::string_view kNoPathMessage = "The package path of the definition {} could not be derived; nothing was deployed.";
constexpr std::string_view kAlsoSelectedMessage =
    "The Expression Set Definition {} is also selected as its own row; deploy only one of them.";
constexpr std::string_view kListingMessage = "The target's versions of {} could not be listed: {}.";
constexpr std::string_view kDeployedMessage = "Definition {} deployed.";
constexpr std::string_view kNotReportedModel = "The model transfer did not report this model.";

domain::ComponentDeploymentResult failed_result(const domain::ComponentDifference& row, std::string message) {
    return domain::ComponentDeploymentResult{row.key(), std::move(message), row.change, ComponentDeploymentStatus::Failed};
}

// The model row's folder two levels up joined with the definition's relative path.
std::string definition_path(const std::filesystem::path& model_path, const std::string& relative) {
    const auto count = static_cast<std::size_t>(std::distance(model_path.begin(), model_path.end()));
    if (count <= 2) return relative;
    return (model_path.parent_path().parent_path() / relative).string();
}

template <class... Args>
std::string format(std::string_view pattern, Args&&... args) {
    return fmt::format(fmt::runtime(pattern), std::forward<Args>(args)...);
}

}  // namespace

std::string model_versions_note(std::size_t travelling, const std::vector<std::string>& left_out) {
    const std::size_t left = left_out.size();
    const std::string names = fmt::format("{}", fmt::join(left_out, ", "));
    if (travelling == 0) {
        if (left == 0) return "No versions travel in the package.";
        if (left == 1) return format("1 version is active in the target and was left out of the package: {}.", names);
        return format("All {} versions are active in the target and were left out of the package: {}.", left, names);
    }
    if (left == 0) {
        if (travelling == 1) return "1 version travels Inactive.";
        return format("All {} versions travel Inactive.", travelling);
    }
    std::string first = travelling == 1 ? std::string("1 version travels Inactive")
                                        : format("{} versions travel Inactive", travelling);
    std::string second = left == 1 ? format("1 active in the target was left out of the package: {}.", names)
                                   : format("{} active in the target were left out of the package: {}.", left, names);
    return first + "; " + second;
}

deployment::DeploymentSummary ModelExpansion::collapse(deployment::DeploymentSummary summary) const {
    if (!models.empty()) {
        for (auto& result : summary.component_results) {
            auto entry = models.find(result.key);
            if (entry == models.end()) continue;
            const ExpandedModel& model = entry->second;
            std::string second = result.status == ComponentDeploymentStatus::Succeeded
                                     ? format(kDeployedMessage, result.key.name)
                                     : std::move(result.message);
            std::string message = model.note;
            append_row_note(message, second);
            result.key = model.model;
            result.operation = model.change;
            result.message = std::move(message);
        }
    }
    summary.component_results.insert(summary.component_results.end(), failed.begin(), failed.end());
    return summary;
}

UseCaseResult<ModelExpansion> QuillaryApplicationService::expand_model_rows(
    const ComparisonSession& session, const std::vector<domain::ComponentDifference>& model_rows,
    const std::set<domain::ComponentKey>& metadata_keys, const domain::CancellationToken& token) const {
    ModelExpansion expansion;
    if (model_rows.empty()) return expansion;
    auto fail_all = [&](std::string_view message) {
        for (const auto& row : model_rows) expansion.failed.push_back(failed_result(row, std::string(message)));
        return expansion;
    };
    if (session.target().is_git()) return fail_all(kGitTargetMessage);
    const auto definition_type = metadata_types::metadata_type_by_wire_id(kDefinitionWireId);
    if (!definition_type) return fail_all(kTypeMissingMessage);
    const auto& adaptation = deploy_adaptation();
    const std::string target_alias = session.target_label();

    for (const auto& row : model_rows) {
        const std::string& name = row.key().name;
        auto parsed = adaptation.parse_model_document(row.source.document);
        if (!parsed) {
            expansion.failed.push_back(failed_result(row, format(kUnreadableMessage, sanitize_diagnostic(parsed.error()))));
            continue;
        }
        if (text::trim(parsed->definition).empty()) {
            expansion.failed.push_back(failed_result(row, format(kNoDefinitionMessage, name)));
            continue;
        }
        if (!metadata::expression_set_version_status::is_valid_definition_name(name)) {
            expansion.failed.push_back(failed_result(row, format(kInvalidNameMessage, name)));
            continue;
        }
        auto relative = definition_type->descriptor().content_format.decomposed_path(name);
        if (!relative || !relative->has_value()) {
            expansion.failed.push_back(failed_result(row, format(kNoPathMessage, name)));
            continue;
        }
        const domain::ComponentKey definition_key{*definition_type, name};
        // The single package refuses two rows of one key, and the collapse would fold both results
        // onto the model row.
        if (metadata_keys.contains(definition_key)) {
            expansion.failed.push_back(failed_result(row, format(kAlsoSelectedMessage, name)));
            continue;
        }
        if (auto live = throw_if_cancelled(token); !live) return std::unexpected(live.error());
        auto listed = procedure_versions().expression_set_version_listing(target_alias, name, token);
        if (!listed) {
            if (listed.error().kind == FailureKind::Cancelled) return std::unexpected(std::move(listed.error()));
            expansion.failed.push_back(
                failed_result(row, format(kListingMessage, name, sanitize_diagnostic(listed.error().first_message()))));
            continue;
        }
        std::set<std::string> active;
        for (const auto& record : *listed)
            if (record.active) active.insert(record.api_name);
        auto planned = adaptation.plan_package_versions(parsed->definition, active);
        if (!planned) {
            expansion.failed.push_back(failed_result(row, format(kUnreadableMessage, sanitize_diagnostic(planned.error()))));
            continue;
        }
        domain::ComponentDifference definition;
        definition.source.key = definition_key;
        definition.source.source_path = definition_path(row.source.source_path, **relative);
        definition.source.document = std::move(planned->document);
        definition.deployable = true;
        definition.body_changed = false;
        definition.definition_changed = true;
        definition.edited = row.edited;
        definition.change = row.change;
        definition.deploy_scope = domain::MetadataDeployScope::Full;
        expansion.models.insert_or_assign(
            definition_key,
            ExpandedModel{row.key(), model_versions_note(planned->kept.size() + planned->unnamed, planned->left_out),
                          row.source.document, row.change});
        expansion.rows.push_back(std::move(definition));
    }
    return expansion;
}

namespace {

constexpr std::string_view kActivationCancelled = "Activation cancelled: {} is still active.";
constexpr std::string_view kListingSkipped =
    "Activation skipped: the target's versions could not be read ({}); {} is still active.";
constexpr std::string_view kVersionMissing = "Activation skipped: the target lists no {} after the deploy; {} is still active.";
constexpr std::string_view kAlreadyActive = "Already active in the target.";
constexpr std::string_view kDeactivationCancelled =
    "Activation cancelled after {} was deactivated; no version of {} is active now — activate one in Setup.";
constexpr std::string_view kDeactivationFailed = "Activation failed: {} could not be deactivated ({}); {} is still active.";
constexpr std::string_view kActivatedAfter = "Activated in the target; {} deactivated.";
constexpr std::string_view kActivated = "Activated in the target.";
constexpr std::string_view kActivationFailed =
    "Activation failed: {} could not be activated ({}); no version of {} is active now — activate one in Setup.";

domain::ComponentDeploymentResult* first_result_of(std::vector<domain::ComponentDeploymentResult>& results,
                                                   const domain::ComponentKey& key) {
    for (auto& result : results)
        if (result.key == key) return &result;
    return nullptr;
}

}  // namespace

void QuillaryApplicationService::activate_deployed_expression_set_versions(
    const ComparisonSession& session, const std::vector<PendingActivation>& pending,
    std::vector<domain::ComponentDeploymentResult>& results, domain::DeployMode deploy_mode,
    const domain::CancellationToken& token) const {
    if (deploy_mode != domain::DeployMode::BestEffort || pending.empty() || session.target().is_git()) return;
    if (session.target_org_class() == TargetOrgClass::Unconfirmed) return;
    if (session.target_org_class() == TargetOrgClass::Production && !session.allow_best_effort_on_production()) return;
    const std::string alias = session.target_label();
    const auto& versions = procedure_versions();

    for (const auto& activation : pending) {
        domain::ComponentDeploymentResult* result = first_result_of(results, activation.key);
        if (result == nullptr || result->status != ComponentDeploymentStatus::Succeeded) continue;
        auto note = [&](const std::string& text) { append_row_note(result->message, text); };
        if (token.is_cancelled()) {
            note(format(kActivationCancelled, activation.active_name));
            return;
        }
        auto listed = versions.expression_set_version_listing(alias, activation.definition, token);
        if (!listed) {
            if (listed.error().kind == FailureKind::Cancelled) {
                note(format(kActivationCancelled, activation.active_name));
                return;
            }
            note(format(kListingSkipped, sanitize_diagnostic(listed.error().first_message()), activation.active_name));
            continue;
        }
        const ports::ExpressionSetVersionRecord* current = nullptr;
        const ports::ExpressionSetVersionRecord* deployed = nullptr;
        for (const auto& record : *listed) {
            if (current == nullptr && record.active) current = &record;
            if (deployed == nullptr && record.api_name == activation.version) deployed = &record;
        }
        const std::string current_name = current != nullptr ? current->api_name : activation.active_name;
        if (deployed == nullptr) {
            note(format(kVersionMissing, activation.version, current_name));
            continue;
        }
        if (deployed->active) {
            note(std::string(kAlreadyActive));
            continue;
        }
        if (token.is_cancelled()) {
            note(format(kActivationCancelled, current_name));
            return;
        }
        if (current != nullptr) {
            auto deactivated =
                versions.expression_set_version_activation(alias, session.api_version(), current->id, false, token);
            if (!deactivated && deactivated.error().kind == FailureKind::Cancelled) {
                note(format(kDeactivationCancelled, current->api_name, activation.definition));
                return;
            }
            if (!deactivated) {
                note(format(kDeactivationFailed, current->api_name,
                            sanitize_diagnostic(deactivated.error().first_message()), current->api_name));
                continue;
            }
            if (token.is_cancelled()) {
                note(format(kDeactivationCancelled, current->api_name, activation.definition));
                return;
            }
        }
        auto activated = versions.expression_set_version_activation(alias, session.api_version(), deployed->id, true, token);
        if (activated) {
            note(current != nullptr ? format(kActivatedAfter, current->api_name) : std::string(kActivated));
            continue;
        }
        if (activated.error().kind == FailureKind::Cancelled) {
            note(current != nullptr ? format(kDeactivationCancelled, current->api_name, activation.definition)
                                    : format(kActivationCancelled, current_name));
            return;
        }
        note(format(kActivationFailed, activation.version, sanitize_diagnostic(activated.error().first_message()),
                    activation.definition));
    }
}

void QuillaryApplicationService::transfer_deployed_models(const ComparisonSession& session,
                                                          const ModelExpansion& expansion,
                                                          std::vector<domain::ComponentDeploymentResult>& results,
                                                          const domain::CancellationToken& token) const {
    deployment::ModelDeployRequest request;
    std::map<std::string, std::size_t> positions;
    for (const auto& [definition_key, model] : expansion.models) {
        std::size_t position = results.size();
        for (std::size_t i = 0; i < results.size(); ++i) {
            if (results[i].key == model.model) {
                position = i;
                break;
            }
        }
        if (position == results.size() || results[position].status != ComponentDeploymentStatus::Succeeded) continue;
        request.documents.insert_or_assign(model.model.name, model.document);
        positions.insert_or_assign(model.model.name, position);
    }
    if (positions.empty()) return;
    request.target_username = session.target_username();
    request.api_version = session.api_version();
    auto answered = bundle().constraint_model_transfer(request, token);
    if (!answered) {
        const std::string text = sanitize_diagnostic(answered.error().first_message());
        for (const auto& [name, position] : positions) {
            results[position].status = ComponentDeploymentStatus::Failed;
            append_row_note(results[position].message, text);
        }
        return;
    }
    std::map<std::string, const deployment::ModelRowOutcome*> outcomes;
    for (const auto& outcome : *answered) outcomes.insert_or_assign(outcome.name, &outcome);
    for (const auto& [name, position] : positions) {
        auto& result = results[position];
        auto found = outcomes.find(name);
        if (found == outcomes.end()) {
            result.status = ComponentDeploymentStatus::Failed;
            append_row_note(result.message, kNotReportedModel);
            continue;
        }
        result.status = found->second->success ? ComponentDeploymentStatus::Succeeded : ComponentDeploymentStatus::Failed;
        append_row_note(result.message, sanitize_diagnostic(found->second->message));
    }
}

}  // namespace ambrel::app
