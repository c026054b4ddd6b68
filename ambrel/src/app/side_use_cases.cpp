// The use cases around the compare: listings, login, the Apex test and container screens, the
// record-data checks and the quick deploy. Each polls its token first and passes port failures on
// unchanged.

#include <map>
#include <set>
#include <string>
#include <utility>
#include <variant>

#include <fmt/format.h>

#include "apex_tests/test_candidates.hpp"
#include "app/application_service.hpp"
#include "app/compare_steps.hpp"
#include "app/deploy_details.hpp"
#include "app/org_bindings.hpp"
#include "data/key_readiness/external_keys_state.hpp"
#include "data/registry.hpp"
#include "text/text.hpp"

namespace ambrel::app {

namespace {

using metadata_types::MetadataType;
using data::bundles::transfer::Layer;

constexpr std::string_view kOwnRowContainerReason = "This container is deployed as metadata by its own comparison row.";
constexpr std::string_view kRolledBackMessage =
    "Deployment failed; no components were deployed (transaction rolled back).";
constexpr std::string_view kQuickDeployNoteFormat = "{} {} [{}]: {}";
// The listing kind of constraint models among the Revenue Cloud listings.
constexpr std::uint8_t kConstraintModelListing = 1;

template <class T>
UseCaseResult<T> cancelled_failure() {
    return std::unexpected(WorkflowFailure::cancelled());
}

// The record object the health fix deletes for a layer; the first three layers are never deleted.
std::optional<std::string_view> deletable_object(Layer layer) {
    switch (layer) {
        case Layer::ProductRelatedComponent:
            return "ProductRelatedComponent";
        case Layer::ProductSellingModelOption:
            return "ProductSellingModelOption";
        case Layer::PricebookEntry:
            return "PricebookEntry";
        case Layer::ProductClassification:
        case Layer::Product2:
        case Layer::ProductComponentGroup:
            return std::nullopt;
    }
    return std::nullopt;
}

}  // namespace

UseCaseResult<std::vector<endpoint::OrgAlias>> QuillaryApplicationService::list_orgs(
    const domain::CancellationToken& token) const {
    if (token.is_cancelled()) return cancelled_failure<std::vector<endpoint::OrgAlias>>();
    return core_->org_alias_listing(token);
}

UseCaseResult<std::vector<cli::catalogs::SalesforceObject>> QuillaryApplicationService::list_source_objects(
    const endpoint::DeployEndpoint& source, MetadataType type, const domain::CancellationToken& token) const {
    using Listing = std::vector<cli::catalogs::SalesforceObject>;
    if (token.is_cancelled()) return cancelled_failure<Listing>();
    const bool record_type = type == MetadataType::ProductBundle || type == MetadataType::ConstraintModel;
    if (record_type && source.is_git()) {
        return std::unexpected(WorkflowFailure::operation(kRecordsBetweenOrgsOnlyMessage));
    }
    if (type.is_data_record()) return std::unexpected(WorkflowFailure::operation(kRecordDataSelectedMessage));
    if (source.is_git()) return git_->git_component_listing(source, type, token);
    const std::string& alias = source.org()->org.alias;
    if (text::trim(alias).empty()) {
        return std::unexpected(WorkflowFailure::single(FailureKind::Validation, kSelectSourceMessage));
    }
    const metadata_types::TypeDescriptor& descriptor = type.descriptor();
    const auto& strategy = descriptor.listing_strategy.value;
    if (std::holds_alternative<metadata_types::ListingStrategy::Objects>(strategy)) {
        return core_->object_listing(alias, alias, token);
    }
    if (const auto* metadata_api = std::get_if<metadata_types::ListingStrategy::MetadataApi>(&strategy)) {
        return core_->metadata_listing(std::string(metadata_api->type_name), alias, token);
    }
    const auto& revenue = std::get<metadata_types::ListingStrategy::RevenueCloud>(strategy);
    if (revenue.kind == kConstraintModelListing) return bundle_->constraint_model_listing(alias, token);
    return bundle_->product_bundle_listing(alias, token);
}

UseCaseResult<cli::CreatedOrgAlias> QuillaryApplicationService::create_org_alias(
    const std::string& alias, const std::string& instance_url, const std::vector<endpoint::OrgAlias>& known_aliases,
    const domain::CancellationToken& token) const {
    if (token.is_cancelled()) return cancelled_failure<cli::CreatedOrgAlias>();
    return login_->alias_login(alias, instance_url, known_aliases, token);
}

UseCaseResult<std::vector<domain::ApexTestCandidate>> QuillaryApplicationService::list_apex_tests(
    const ComparisonSession& session, const SelectedKeys& selected, const domain::CancellationToken& token) const {
    using Candidates = std::vector<domain::ApexTestCandidate>;
    if (token.is_cancelled()) return cancelled_failure<Candidates>();
    std::vector<std::string> session_names = apex_tests::session_test_names(session.rows(), selected);
    std::vector<std::string> target_names;
    // A git target has no username: the listing would refuse a blank org as a programming error, so
    // the candidates then come from the session's own classes alone.
    if (!text::trim(session.target_username()).empty()) {
        auto listed = core_->apex_class_listing(session.target_username(), token);
        if (!listed) return std::unexpected(std::move(listed.error()));
        target_names.reserve(listed->size());
        for (cli::catalogs::SalesforceObject& object : *listed) target_names.push_back(std::move(object.api_name));
    }
    if (token.is_cancelled()) return cancelled_failure<Candidates>();
    return apex_tests::collect_test_candidates(std::move(session_names), std::move(target_names));
}

UseCaseResult<std::vector<domain::FlsContainerChoice>> QuillaryApplicationService::match_fls_containers(
    const ComparisonSession& session, const SelectedKeys& selected, const domain::CancellationToken& token) const {
    if (token.is_cancelled()) return cancelled_failure<std::vector<domain::FlsContainerChoice>>();
    auto choices = core_->container_matching(session.source(), session.target(), token);
    if (!choices) return choices;
    const std::set<ports::ContainerKey> deploying = deploying_container_pairs(session, selected);
    for (domain::FlsContainerChoice& choice : *choices) {
        if (!deploying.contains(ports::ContainerKey{choice.kind, choice.api_name})) continue;
        choice.selectable = false;
        choice.block_reason = std::string(kOwnRowContainerReason);
    }
    return choices;
}

UseCaseResult<data::key_readiness::ExternalKeysState> QuillaryApplicationService::check_external_keys(
    const std::string& source_org, const std::string& target_org, const domain::CancellationToken& token) const {
    using State = data::key_readiness::ExternalKeysState;
    if (token.is_cancelled()) return cancelled_failure<State>();
    const std::set<std::string> objects = data::registry::external_id_objects();
    auto source = schema_->external_key_field_listing(source_org, objects, token);
    if (!source) return std::unexpected(std::move(source.error()));
    if (token.is_cancelled()) return cancelled_failure<State>();
    auto target = schema_->external_key_field_listing(target_org, objects, token);
    if (!target) return std::unexpected(std::move(target.error()));
    return data::key_readiness::external_keys_state(*source, *target);
}

UseCaseResult<data::bundles::transfer::HealthReport> QuillaryApplicationService::check_target_health(
    const ComparisonSession& session, const SelectedKeys& selected, const domain::CancellationToken& token) const {
    if (token.is_cancelled()) return cancelled_failure<data::bundles::transfer::HealthReport>();
    std::map<std::string, std::string> documents;
    for (const domain::ComponentDifference& row : session.rows()) {
        if (row.key().metadata_type != MetadataType::ProductBundle) continue;
        if (row.deploy_scope != domain::MetadataDeployScope::Records || !row.deployable) continue;
        if (row.change == domain::ChangeKind::NoChange || !selected.contains(row.key())) continue;
        documents.insert_or_assign(row.key().name, row.source.document);
    }
    if (documents.empty()) return data::bundles::transfer::HealthReport{};
    const ports::RecordDeployRequest request{
        .source_org = session.source_username(),
        .target_org = session.target_username(),
        .source_label = session.source_label(),
        .target_label = session.target_label(),
        .documents = std::move(documents),
        .api_version = session.api_version(),
    };
    return bundle_->target_health_planning(request, token);
}

UseCaseResult<data::bundles::transfer::FixOutcome> QuillaryApplicationService::fix_target_health(
    const ComparisonSession& session, const data::bundles::transfer::HealthReport& report,
    const std::set<std::size_t>& chosen_findings, const domain::CancellationToken& token) const {
    if (token.is_cancelled()) return cancelled_failure<data::bundles::transfer::FixOutcome>();
    ports::TargetFixRequest request{.target_org = session.target_username(), .records = {},
                                    .api_version = session.api_version()};
    for (auto& [layer, ids] : report.fixable_ids_of(chosen_findings)) {
        if (const auto object = deletable_object(layer)) request.records.emplace_back(std::string(*object), std::move(ids));
    }
    if (request.records.empty()) return data::bundles::transfer::FixOutcome{};
    return bundle_->target_record_deletion(request, token);
}

UseCaseResult<deployment::DeploymentSummary> QuillaryApplicationService::quick_deploy(
    const domain::QuickDeployTicket& ticket, const domain::CancellationToken& token) const {
    if (token.is_cancelled()) return cancelled_failure<deployment::DeploymentSummary>();
    auto answer = quick_deploy_->quick_deployment(ticket.job_id, ticket.target_org_alias, token);
    if (!answer) return std::unexpected(std::move(answer.error()));

    deployment::DeploymentSummary summary;
    for (const ports::QuickDeployComponent& component : answer->components) {
        const bool rolled_back = !answer->succeeded && component.success;
        const bool failed = rolled_back || !component.success;
        std::string message =
            rolled_back ? std::string(kRolledBackMessage)
                        : std::string(text::first_chars(core_->diagnostic_sanitizer(component.message),
                                                        kDiagnosticCharacterLimit));
        const domain::ComponentDeploymentStatus status =
            failed ? domain::ComponentDeploymentStatus::Failed : domain::ComponentDeploymentStatus::Succeeded;
        if (const auto type = MetadataType::from_api_name(component.type)) {
            summary.component_results.push_back(domain::ComponentDeploymentResult{
                .key = domain::ComponentKey{*type, component.full_name},
                .message = std::move(message),
                .operation = component.created ? domain::ChangeKind::Add : domain::ChangeKind::Update,
                .status = status,
            });
        } else {
            summary.detail_notes.trailing_notes.push_back(fmt::format(fmt::runtime(kQuickDeployNoteFormat),
                                                                      component.type, component.full_name,
                                                                      domain::wire_id(status), message));
        }
    }
    summary.deploy_mode = domain::DeployMode::AllOrNothing;
    summary.package_completed = true;
    summary.quick_deploy_performed = true;
    build_details([this](const std::string& text) { return sanitize_diagnostic(text); }, summary);
    return summary;
}

}  // namespace ambrel::app
