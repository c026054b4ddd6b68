// The deploy use case: entry checks, the selection and its edited documents, the adaptation passes,
// the row groups, the org bindings, the model expansion, the product bundle records, the package run,
// and everything after it up to the details text.

#include "app/deploy_use_case.hpp"

#include <fmt/format.h>

#include <algorithm>
#include <utility>

#include "app/application_service.hpp"
#include "app/compare_steps.hpp"
#include "app/deploy_details.hpp"
#include "app/org_bindings.hpp"
#include "support/programming_error.hpp"
#include "text/text.hpp"

namespace ambrel::app {

namespace {

using domain::ChangeKind;
using domain::ComponentDeploymentResult;
using domain::ComponentDeploymentStatus;
using domain::ComponentDifference;
using domain::MetadataDeployScope;

constexpr std::string_view kMissingObject = "Missing target object '{}': select its object row or deselect its fields.";
constexpr std::string_view kNotDeployedMessage = "The package was not deployed: {}";
constexpr std::string_view kNameClaimed =
    "Another selected row already claims the name \"{}\"; only one record row per name can be transferred.";
constexpr std::string_view kBundleNotReported = "The record transfer did not report this bundle.";
constexpr std::string_view kBundlesBeforeFailure = "Product bundle rows processed before the package failed:";

bool is_changed(const ComponentDifference& row) {
    return row.change == ChangeKind::Add || row.change == ChangeKind::Update;
}

bool is_metadata_row(const ComponentDifference& row) {
    return (row.deploy_scope == MetadataDeployScope::Full || row.deploy_scope == MetadataDeployScope::TrackingOnly) &&
           row.deployable && is_changed(row);
}

bool is_record_row_of(const ComponentDifference& row, metadata_types::MetadataType type) {
    return row.key().metadata_type == type && row.deploy_scope == MetadataDeployScope::Records && row.deployable &&
           is_changed(row);
}

// The first failed result among the passes that cannot leave rows behind.
const ComponentDeploymentResult* first_blocking_failure(const DeployPassRecords& records) {
    for (const FailedResults* failed : {&records.permission_set_groups.failed, &records.release_versions.failed,
                                        &records.context_definitions.failed, &records.definitions.failed}) {
        if (!failed->empty()) return &failed->front();
    }
    return nullptr;
}

std::optional<WorkflowFailure> mode_refusal(const ComparisonSession& session, const SelectedKeys& selected,
                                            domain::DeployMode mode) {
    if (mode == domain::DeployMode::BestEffort) {
        if (session.target_org_class() == TargetOrgClass::Production && !session.allow_best_effort_on_production())
            return WorkflowFailure::single(FailureKind::Validation, kProductionBestEffortRefusal);
        return std::nullopt;
    }
    for (const auto& row : session.rows()) {
        if (row.deploy_scope == MetadataDeployScope::Records && row.deployable && is_changed(row) &&
            selected.contains(row.key()))
            return WorkflowFailure::single(FailureKind::Validation, kRecordsNeedBestEffort);
    }
    // A validation must not change anything, and a git target would receive a commit.
    if (mode == domain::DeployMode::ValidateOnly && session.target().is_git())
        return WorkflowFailure::single(FailureKind::Validation, kGitValidateRefusal);
    return std::nullopt;
}

}  // namespace

WorkflowFailure close_preserving_session(const ComparisonSession& session, WorkflowFailure failure) {
    if (auto closed = session.close(); !closed) {
        for (const auto& message : closed.error().messages) failure.add_suppressed(message);
    }
    return failure;
}

std::expected<void, WorkflowFailure> validate_object_prerequisites(const ComparisonSession& session,
                                                                   const SelectedKeys& selected) {
    std::map<std::string, domain::ComponentKey> created;
    for (const auto& row : session.rows()) {
        const auto type = row.key().metadata_type;
        const bool object_definition = type == metadata_types::MetadataType::CustomObject ||
                                       type == metadata_types::MetadataType::CustomMetadataType ||
                                       type == metadata_types::MetadataType::PlatformEvent;
        if (object_definition && row.change == ChangeKind::Add && row.deployable) created.emplace(row.key().name, row.key());
    }
    // Without an object that the deploy creates, no field can miss one.
    if (created.empty()) return {};
    std::set<std::string> missing;
    for (const auto& key : selected) {
        if (key.metadata_type != metadata_types::MetadataType::CustomField) continue;
        const std::string object = key.name.substr(0, key.name.find('.'));
        auto found = created.find(object);
        if (found != created.end() && !selected.contains(found->second)) missing.insert(object);
    }
    if (missing.empty()) return {};
    std::vector<std::string> sentences;
    for (const auto& object : missing) sentences.push_back(fmt::format(fmt::runtime(kMissingObject), object));
    return std::unexpected(
        WorkflowFailure::single(FailureKind::Validation, fmt::format("{}", fmt::join(sentences, " "))));
}

QuillaryApplicationService QuillaryApplicationService::with_deploy_adaptation(
    QuillaryApplicationService service, std::shared_ptr<const ports::DeployAdaptation> adaptation) {
    support::require(adaptation != nullptr, "the deploy adaptation group is required");
    service.deploy_adaptation_ = std::move(adaptation);
    return service;
}

const ports::DeployAdaptation& QuillaryApplicationService::deploy_adaptation() const {
    if (deploy_adaptation_ == nullptr) return *ports::DeployAdaptation::standard();
    return *deploy_adaptation_;
}

UseCaseResult<void> QuillaryApplicationService::validate_session_org_bindings(const ComparisonSession& session,
                                                                               const domain::CancellationToken& token) const {
    if (auto live = throw_if_cancelled(token); !live) return live;
    const auto* source = session.source().org();
    const auto* target = session.target().org();
    if (source != nullptr || target != nullptr) {
        auto aliases = core().org_alias_listing(token);
        if (!aliases) return std::unexpected(std::move(aliases.error()));
        if (source != nullptr) {
            auto bound = validate_session_org_binding(kSourceSideLabel, source->org.alias, session.source_username(),
                                                      session.source_org_id(), *aliases);
            if (!bound) return bound;
        }
        if (target != nullptr) {
            auto bound = validate_session_org_binding(kTargetSideLabel, target->org.alias, session.target_username(),
                                                      session.target_org_id(), *aliases);
            if (!bound) return bound;
        }
    }
    return throw_if_cancelled(token);
}

UseCaseResult<deployment::DeploymentSummary> QuillaryApplicationService::deploy(
    const ComparisonSession& session, const SelectedKeys& selected, domain::FlsMode fls_mode,
    const ports::ContainerSelection& containers, domain::DeployMode deploy_mode,
    const std::optional<domain::ApexTestConfig>& tests, const domain::CancellationToken& token) const {
    auto fail = [&](WorkflowFailure failure) -> UseCaseResult<deployment::DeploymentSummary> {
        return std::unexpected(close_preserving_session(session, std::move(failure)));
    };
    if (auto refusal = mode_refusal(session, selected, deploy_mode)) return fail(std::move(*refusal));
    if (auto ready = validate_object_prerequisites(session, selected); !ready) return fail(std::move(ready.error()));

    // Selection: copies of the selected deployable rows, unchanged ones only when permissions travel.
    std::vector<ComponentDifference> rows;
    rows.reserve(std::min(selected.size(), session.rows().size()));
    for (const auto& row : session.rows()) {
        if (!row.deployable || !selected.contains(row.key())) continue;
        if (is_changed(row) || fls_mode != domain::FlsMode::None) rows.push_back(row);
    }
    if (auto applied = session.apply_source_overrides(rows); !applied)
        return fail(WorkflowFailure::operation(applied.error().message()));

    // The passes, in this order; each sees the rows as the previous ones left them.
    const auto& adaptation = deploy_adaptation();
    DeployPassRecords records;
    auto groups = adaptation.filter_permission_set_groups(*this, session, rows, token);
    if (!groups) return fail(std::move(groups.error()));
    records.permission_set_groups = std::move(*groups);
    auto release_versions = adaptation.filter_context_release_versions(*this, session, rows, token);
    if (!release_versions) return fail(std::move(release_versions.error()));
    records.release_versions = std::move(*release_versions);
    auto context_definitions = adaptation.filter_context_definitions(*this, session, rows, token);
    if (!context_definitions) return fail(std::move(context_definitions.error()));
    records.context_definitions = std::move(*context_definitions);
    // Permission sets and profiles are trimmed only where a rejected one cannot stop the package.
    if (deploy_mode == domain::DeployMode::BestEffort) {
        auto permission_sets = adaptation.filter_permission_sets(*this, session, rows, records.catalogs, token);
        if (!permission_sets) return fail(std::move(permission_sets.error()));
        records.permission_sets = std::move(*permission_sets);
        auto profiles = adaptation.filter_profiles(*this, session, rows, records.catalogs, token);
        if (!profiles) return fail(std::move(profiles.error()));
        records.profiles = std::move(*profiles);
    }
    auto status = adaptation.filter_expression_set_version_status(*this, session, rows, deploy_mode, token);
    if (!status) return fail(std::move(status.error()));
    records.version_status = std::move(*status);
    records.definitions = adaptation.filter_expression_set_definitions(core(), session, rows);
    if (deploy_mode != domain::DeployMode::BestEffort && session.target().is_org()) {
        if (const auto* blocking = first_blocking_failure(records)) {
            return fail(WorkflowFailure::operation(
                sanitize_diagnostic(fmt::format(fmt::runtime(kNotDeployedMessage), blocking->message))));
        }
    }

    std::vector<ComponentDifference> package_rows;
    package_rows.reserve(rows.size());
    std::vector<const ComponentDifference*> bundle_rows;
    std::vector<ComponentDifference> model_rows;
    for (const auto& row : rows) {
        if (is_metadata_row(row)) package_rows.push_back(row);
        else if (is_record_row_of(row, metadata_types::MetadataType::ProductBundle)) bundle_rows.push_back(&row);
        else if (is_record_row_of(row, metadata_types::MetadataType::ConstraintModel)) model_rows.push_back(row);
    }

    if (auto bound = validate_session_org_bindings(session, token); !bound) return fail(std::move(bound.error()));
    // Only a model row can clash with a metadata row's key.
    std::set<domain::ComponentKey> metadata_keys;
    if (!model_rows.empty())
        for (const auto& row : package_rows) metadata_keys.insert(row.key());
    auto expansion = expand_model_rows(session, model_rows, metadata_keys, token);
    if (!expansion) return fail(std::move(expansion.error()));
    model_rows.clear();
    package_rows.insert(package_rows.end(), std::make_move_iterator(expansion->rows.begin()),
                        std::make_move_iterator(expansion->rows.end()));
    expansion->rows.clear();

    std::vector<ComponentDeploymentResult> bundle_results;
    if (!bundle_rows.empty()) {
        std::vector<const ComponentDifference*> sorted = bundle_rows;
        std::stable_sort(sorted.begin(), sorted.end(),
                         [](const auto* left, const auto* right) { return left->key() < right->key(); });
        std::map<std::string, const ComponentDifference*> claims;
        for (const auto* row : sorted) claims.try_emplace(row->key().name, row);
        ports::RecordDeployRequest request;
        request.source_org = session.source_username();
        request.target_org = session.target_username();
        request.source_label = session.source_label();
        request.target_label = session.target_label();
        for (const auto& [name, row] : claims) request.documents.emplace(name, row->source.document);
        request.api_version = session.api_version();
        auto transferred = bundle().product_bundle_transfer(request, token);
        if (!transferred && transferred.error().kind == FailureKind::Cancelled)
            return fail(std::move(transferred.error()));
        std::map<std::string, const deployment::RecordRowOutcome*> outcomes;
        if (transferred)
            for (const auto& outcome : *transferred) outcomes.insert_or_assign(outcome.name, &outcome);
        const std::string failure_text =
            transferred ? std::string() : sanitize_diagnostic(transferred.error().first_message());
        for (const auto* row : bundle_rows) {
            ComponentDeploymentResult result{row->key(), {}, row->change, ComponentDeploymentStatus::Failed};
            const std::string& name = row->key().name;
            if (!transferred) {
                result.message = failure_text;
            } else if (claims.at(name) != row) {
                result.message = fmt::format(fmt::runtime(kNameClaimed), name);
            } else if (auto found = outcomes.find(name); found != outcomes.end()) {
                result.status = found->second->success ? ComponentDeploymentStatus::Succeeded
                                                       : ComponentDeploymentStatus::Failed;
                result.message = sanitize_diagnostic(found->second->message);
            } else {
                result.status = ComponentDeploymentStatus::NotAttempted;
                result.message = std::string(kBundleNotReported);
            }
            bundle_results.push_back(std::move(result));
        }
    }

    std::vector<domain::PermissionSubject> subjects;
    for (const auto& row : rows) {
        if (row.change != ChangeKind::NoChange) continue;
        if (auto subject = row.permission_subject()) subjects.push_back(std::move(*subject));
    }
    ports::ContainerSelection run_containers;
    if (containers) {
        const auto pairs = deploying_container_pairs(session, selected);
        run_containers.emplace();
        for (const auto& pair : *containers)
            if (!pairs.contains(pair)) run_containers->insert(pair);
    }
    auto run = run_deploy(session, rows, std::move(package_rows), subjects, fls_mode, run_containers, deploy_mode, tests,
                          token);
    if (!run) {
        WorkflowFailure failure = std::move(run.error());
        if (!bundle_results.empty()) {
            std::string listing(kBundlesBeforeFailure);
            for (const auto& result : bundle_results)
                listing += fmt::format("\n{}: {} — {}", result.key.name, domain::name(result.status), result.message);
            failure.add_suppressed(listing);
        }
        return fail(std::move(failure));
    }

    // After the package: the model rows folded back, the bundle rows first, then the pass records and
    // their retries in a fixed order.
    deployment::DeploymentSummary summary = expansion->collapse(std::move(*run));
    // A cancel that came once the package had gone to the target ends the deploy on what the package
    // did: no retry sends anything after it (activation and model transfer stop on the token).
    if (token.is_cancelled()) summary.package_completed = false;
    if (!bundle_results.empty()) {
        bundle_results.reserve(bundle_results.size() + summary.component_results.size());
        std::move(summary.component_results.begin(), summary.component_results.end(), std::back_inserter(bundle_results));
        summary.component_results = std::move(bundle_results);
    }
    // One snapshot object serves the three moments below: each take replaces the one before, which
    // no step uses any more by then.
    MessageSnapshots snapshots;
    const MessageSnapshot& first_snapshot = snapshots.take(summary.component_results);
    // Each row's notes and, once a retry trimmed it, its latest document, for the unexpected-error
    // retries at the end.
    RetriedRows retried;
    const auto apply = [&summary, &retried](const auto& record) {
        record.apply(summary);
        retried.add_notes(record.notes);
    };
    apply(records.permission_sets);
    adaptation.retry_rejected_permission_sets(*this, session, rows, summary, deploy_mode, records.permission_sets.notes,
                                              first_snapshot, records.catalogs, retried, token);
    apply(records.profiles);
    adaptation.retry_rejected_profiles(*this, session, rows, summary, deploy_mode, records.profiles.notes, first_snapshot,
                                       records.catalogs, retried, token);
    apply(records.permission_set_groups);
    adaptation.retry_rejected_permission_set_groups(*this, session, rows, summary, deploy_mode,
                                                    records.permission_set_groups.target_names, retried, token);
    const MessageSnapshot& second_snapshot = snapshots.take(summary.component_results);
    apply(records.release_versions);
    apply(records.context_definitions);
    adaptation.retry_rejected_context_definitions(
        *this, session, rows, summary, deploy_mode, records.context_definitions.source_listing,
        records.context_definitions.target_listing, records.context_definitions.documents_before_filter,
        second_snapshot, records.release_versions.notes, retried, token);
    apply(records.version_status);
    apply(records.definitions);
    const MessageSnapshot& third_snapshot = snapshots.take(summary.component_results);
    const std::size_t redeployed =
        adaptation.retry_unexpected_errors(*this, session, rows, summary, deploy_mode, third_snapshot, retried, token);
    adaptation.retry_unexpected_errors_isolated(*this, session, rows, summary, deploy_mode, redeployed, retried, token);
    activate_deployed_expression_set_versions(session, records.version_status.pending_activations,
                                              summary.component_results, deploy_mode, token);
    transfer_deployed_models(session, *expansion, summary.component_results, token);

    // The target already changed: a failing close must not hide the summary (or a validation's ticket).
    if (auto closed = session.close(); !closed) {
        summary.detail_notes.trailing_notes.push_back(
            fmt::format(fmt::runtime(kCloseFailedNote), sanitize_diagnostic(closed.error().detail_text())));
    }
    build_details([this](const std::string& text) { return sanitize_diagnostic(text); }, summary);
    return summary;
}

}  // namespace ambrel::app
