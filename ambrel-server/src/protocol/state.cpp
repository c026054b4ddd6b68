#include "protocol/state.hpp"

#include <string>

#include "cli/login.hpp"
#include "cli/rest_paths.hpp"
#include "data/bundles/transfer/health_report.hpp"
#include "protocol/records.hpp"

namespace ambrel::protocol {
namespace {

using namespace workflow;

template <class... Fs>
struct Overloaded : Fs... {
    using Fs::operator()...;
};

json::Value optional_text(const std::optional<std::string>& text) {
    return text ? json::Value(*text) : json::Value(nullptr);
}

json::Value optional_endpoint(const std::optional<endpoint::DeployEndpoint>& endpoint) {
    return endpoint ? endpoint_to_value(*endpoint) : json::Value(nullptr);
}

json::Value optional_deploy_mode(const std::optional<domain::DeployMode>& mode) {
    return mode ? json::Value(domain::wire_id(*mode)) : json::Value(nullptr);
}

json::Array strings(const std::vector<std::string>& texts) {
    json::Array array;
    array.reserve(texts.size());
    for (const auto& text : texts) array.emplace_back(text);
    return array;
}

json::Array orgs_of(const std::vector<endpoint::OrgAlias>& orgs) {
    json::Array array;
    array.reserve(orgs.size());
    for (const auto& org : orgs) array.push_back(org_to_value(org));
    return array;
}

json::Array components_of(const std::vector<cli::catalogs::SalesforceObject>& objects) {
    json::Array array;
    array.reserve(objects.size());
    for (const auto& object : objects) array.push_back(object_to_value(object));
    return array;
}

// The keys the selection screen and the screen on the way back to it share, up to "manifest".
template <class Screen>
void selection_keys(json::Object& body, const Screen& screen) {
    body["orgs"] = orgs_of(screen.orgs);
    body["source"] = optional_endpoint(screen.source);
    body["target"] = optional_endpoint(screen.target);
    body["metadataTypes"] = metadata_types_to_value();
    body["metadataCategories"] = metadata_categories_to_value();
    body["currentType"] = screen.current_type.wire_id();
    body["components"] = components_of(screen.components);
    body["manifest"] = manifest_to_value(screen.manifest);
}

std::string_view external_keys_wire_id(ExternalKeyStatus status) {
    switch (status) {
        case ExternalKeyStatus::Checking: return "checking";
        case ExternalKeyStatus::Present: return "present";
        case ExternalKeyStatus::Missing: return "missing";
        case ExternalKeyStatus::Unavailable: return "unavailable";
    }
    return "unavailable";
}

std::string_view finding_kind_wire_id(data::bundles::transfer::FindingKind kind) {
    switch (kind) {
        case data::bundles::transfer::FindingKind::Unfixable: return "unfixable";
        case data::bundles::transfer::FindingKind::Duplicate: return "duplicate";
        case data::bundles::transfer::FindingKind::MissingCatalog: return "missingCatalog";
    }
    return "unfixable";
}

bool target_allows_best_effort(const app::ComparisonSession& session) {
    if (session.target().is_git()) return false;
    if (session.target_org_class() == app::TargetOrgClass::Production) {
        return session.allow_best_effort_on_production();
    }
    return true;
}

// The session keys that most deploy screens open with.
void session_keys(json::Object& body, const app::ComparisonSession& session, bool with_target) {
    body["sessionId"] = session.id();
    body["sourceAlias"] = session.source_label();
    body["targetAlias"] = session.target_label();
    if (with_target) body["target"] = endpoint_to_value(session.target());
}

json::Value target_base_url(const app::ComparisonSession& session) {
    const auto* org = std::get_if<endpoint::DeployEndpoint::Org>(&session.target().value);
    if (org == nullptr || !org->org.instance_url) return nullptr;
    const auto accepted = cli::login::validate_instance_url(*org->org.instance_url);
    if (!accepted) return nullptr;
    std::string_view url = *accepted;
    while (!url.empty() && url.back() == '/') url.remove_suffix(1);
    if (url.empty()) return nullptr;
    return json::Value(url);
}

json::Value finding_to_value(const data::bundles::transfer::Finding& finding, std::size_t index) {
    json::Object object;
    object["index"] = static_cast<std::uint64_t>(index);
    object["kind"] = finding_kind_wire_id(finding.kind);
    object["object"] = finding.object;
    object["label"] = finding.label;
    object["bundles"] = strings(finding.bundles);
    object["problem"] = finding.problem;
    object["fix"] = finding.fix;
    object["fixable"] = finding.fixable;
    json::Array ids;
    for (const auto& id : finding.record_ids) {
        if (cli::rest::is_valid_record_id(id)) ids.emplace_back(id);
    }
    object["recordIds"] = std::move(ids);
    return object;
}

json::Value container_to_value(const domain::FlsContainerChoice& choice, const std::optional<ContainerSet>& scenario) {
    json::Object object;
    object["kind"] = domain::wire_id(choice.kind);
    object["apiName"] = choice.api_name;
    object["label"] = choice.label;
    object["presence"] = domain::wire_id(choice.presence);
    object["selectable"] = choice.selectable;
    object["blockReason"] = optional_text(choice.block_reason);
    object["preselected"] = container_preselected(choice, scenario);
    return object;
}

json::Value test_candidates_to_value(const std::vector<domain::ApexTestCandidate>& candidates) {
    json::Array array;
    for (const auto& candidate : candidates) {
        json::Object object;
        object["name"] = candidate.name;
        object["origin"] = domain::wire_id(candidate.origin);
        object["preselected"] = candidate.preselected;
        array.push_back(std::move(object));
    }
    return array;
}

json::Value summary_to_value(const deployment::DeploymentSummary& summary) {
    json::Object object;
    json::Array components;
    for (const auto& result : summary.component_results) components.push_back(component_result_to_value(result));
    object["fieldResults"] = std::move(components);
    json::Array fls;
    for (const auto& result : summary.fls_results) fls.push_back(fls_result_to_value(result));
    object["flsResults"] = std::move(fls);
    object["sanitizedDetails"] = summary.details;
    object["deployMode"] = domain::wire_id(summary.deploy_mode);
    if (summary.tests) {
        json::Object tests;
        tests["run"] = summary.tests->first;
        tests["failed"] = summary.tests->second;
        object["testsSummary"] = std::move(tests);
    } else {
        object["testsSummary"] = nullptr;
    }
    object["quickDeployAvailable"] = summary.quick_deploy.has_value();
    object["quickDeploy"] = summary.quick_deploy_performed;
    return object;
}

}  // namespace

bool container_preselected(const domain::FlsContainerChoice& choice, const std::optional<ContainerSet>& scenario) {
    if (!scenario) return choice.selectable;
    if (!choice.selectable) return false;
    return scenario->contains(std::pair{choice.kind, choice.api_name});
}

json::Object state_body_to_value(const WorkflowState& state) {
    // Room for the largest body and "activeOperation", so the object never grows member by member.
    constexpr std::size_t kMostBodyMembers = 16;
    json::Object body;
    body.reserve(kMostBodyMembers);
    body["kind"] = wire_name(kind_of(state));
    std::visit(
        Overloaded{
            [](const LoadingOrgsState&) {},
            [&](const SelectingState& s) {
                selection_keys(body, s);
                body["errorMessage"] = optional_text(s.error_message);
                if (s.import_summary) {
                    json::Object summary;
                    summary["imported"] = s.import_summary->imported;
                    summary["warnings"] = strings(s.import_summary->warnings);
                    body["importSummary"] = std::move(summary);
                } else {
                    body["importSummary"] = nullptr;
                }
                body["orgPreparation"] =
                    s.org_preparation ? org_preparation_to_value(*s.org_preparation) : json::Value(nullptr);
                body["externalKeys"] =
                    s.external_keys ? json::Value(external_keys_wire_id(*s.external_keys)) : json::Value(nullptr);
            },
            [&](const ReturningToSelectionState& s) { selection_keys(body, s); },
            [&](const LoadingComponentsState& s) {
                body["orgs"] = orgs_of(s.orgs);
                body["source"] = endpoint_to_value(s.source);
                body["target"] = optional_endpoint(s.target);
            },
            [&](const ComparingState& s) {
                body["source"] = endpoint_to_value(s.source);
                body["target"] = endpoint_to_value(s.target);
                body["manifest"] = manifest_to_value(s.manifest);
            },
            [&](const ReviewingState& s) {
                const auto& session = *s.session;
                session_keys(body, session, true);
                body["differences"] =
                    differences_to_value(s.rows, session.dependency_edges(), session.unresolved_dependencies(),
                                         session.cascade_children(), session.target().is_org());
                body["errorMessage"] = optional_text(s.error_message);
                body["dependencyWarnings"] = strings(session.warnings());
                if (s.scenario) {
                    json::Object scenario;
                    scenario["selected"] = component_keys_to_value(s.scenario->selected);
                    scenario["flsMode"] =
                        s.scenario->fls_mode ? json::Value(domain::wire_id(*s.scenario->fls_mode)) : json::Value(nullptr);
                    scenario["deployMode"] = optional_deploy_mode(s.scenario->deploy_mode);
                    scenario["unmatched"] = strings(s.scenario->unmatched);
                    body["scenarioPreselection"] = std::move(scenario);
                } else {
                    body["scenarioPreselection"] = nullptr;
                }
                body["targetAllowsBestEffort"] = target_allows_best_effort(session);
                body["selectionRequiresBestEffort"] = session.selection_requires_best_effort(nullptr);
            },
            [&](const SelectingTestsState& s) {
                const auto& session = *s.session;
                session_keys(body, session, true);
                body["flsMode"] = domain::wire_id(s.fls_mode);
                body["selectedCount"] = static_cast<std::uint64_t>(s.selection.size());
                body["candidates"] = test_candidates_to_value(s.candidates);
                body["scenarioDeployMode"] = optional_deploy_mode(s.scenario_deploy_mode);
                body["targetAllowsBestEffort"] = target_allows_best_effort(session);
                body["selectionRequiresBestEffort"] = session.selection_requires_best_effort(&s.selection);
                body["selectionCarriesPermissionSubjects"] =
                    session.selection_carries_permission_subjects(&s.selection);
            },
            [&](const SelectingFlsContainersState& s) {
                const auto& session = *s.session;
                session_keys(body, session, true);
                body["selected"] = component_keys_to_value(s.selection);
                body["flsMode"] = domain::wire_id(s.fls_mode);
                json::Array containers;
                for (const auto& choice : s.choices) {
                    containers.push_back(container_to_value(choice, s.scenario_containers));
                }
                body["containers"] = std::move(containers);
                body["scenarioUnmatchedContainers"] = strings(s.scenario_unmatched_containers);
                body["scenarioDeployMode"] = optional_deploy_mode(s.scenario_deploy_mode);
                body["targetAllowsBestEffort"] = target_allows_best_effort(session);
                body["selectionRequiresBestEffort"] = session.selection_requires_best_effort(&s.selection);
            },
            [&](const TargetHealthState& s) {
                const auto& session = *s.session;
                session_keys(body, session, true);
                body["selected"] = component_keys_to_value(s.selection);
                body["flsMode"] = domain::wire_id(s.fls_mode);
                body["deployMode"] = domain::wire_id(s.deploy_mode);
                json::Array findings;
                for (std::size_t index = 0; index < s.report.findings.size(); ++index) {
                    findings.push_back(finding_to_value(s.report.findings[index], index));
                }
                body["findings"] = std::move(findings);
                body["dependents"] = s.report.dependents;
                body["fixable"] = s.report.fixable();
                body["fixRefusals"] = strings(s.fix_refusals);
                body["targetAllowsBestEffort"] = target_allows_best_effort(session);
                body["selectionRequiresBestEffort"] = session.selection_requires_best_effort(&s.selection);
                body["targetBaseUrl"] = target_base_url(session);
            },
            [&](const DeployingState& s) {
                session_keys(body, *s.session, false);
                body["selected"] = component_keys_to_value(s.selection);
                body["flsMode"] = domain::wire_id(s.fls_mode);
                body["deployMode"] = domain::wire_id(s.deploy_mode);
            },
            [&](const QuickDeployingState& s) { body["targetAlias"] = s.target_alias; },
            [&](const ResultsState& s) { body["summary"] = summary_to_value(s.summary); },
            [&](const ErrorState& s) {
                body["message"] = s.message;
                body["details"] = optional_text(s.details);
            },
        },
        state);
    return body;
}

json::Value state_to_value(const WorkflowState& state, std::optional<ActiveOperation> active_operation) {
    json::Object body = state_body_to_value(state);
    if (active_operation) {
        json::Object operation;
        operation["operationId"] = active_operation->second;
        operation["kind"] = active_operation->first;
        body["activeOperation"] = std::move(operation);
    }
    return body;
}

}  // namespace ambrel::protocol
