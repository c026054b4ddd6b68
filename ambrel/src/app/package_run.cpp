// The package run of a deploy: layout elements collapsed into their layouts, tracking toggles spliced
// into the target's fields, then one of three roads (a git commit, a Best Effort package followed by
// the permission transfer, or one single package), and the assembly of the summary.

#include <fmt/format.h>

#include <unordered_map>
#include <unordered_set>
#include <utility>

#include "app/application_service.hpp"
#include "app/compare_steps.hpp"
#include "app/org_bindings.hpp"
#include "metadata/custom_field_reader.hpp"
#include "metadata/layout_merger.hpp"
#include "metadata/layout_model.hpp"
#include "metadata_types/name_rules.hpp"
#include "support/programming_error.hpp"

namespace ambrel::app {

namespace {

using domain::ComponentDeploymentResult;
using domain::ComponentDeploymentStatus;
using domain::ComponentDifference;

constexpr std::string_view kNotDeployedMessage = "The package was not deployed: {}";
constexpr std::string_view kLayoutUnreadableFromTarget = "Layout '{}' could not be read from the target: {}";
constexpr std::string_view kLayoutMissing = "Layout '{}' is no longer present in the target and could not be updated.";
constexpr std::string_view kLayoutUnreadable = "Layout '{}' could not be read: {}";
constexpr std::string_view kLayoutNotMerged = "Layout '{}' could not be updated: {}";
constexpr std::string_view kFieldUnreadableFromTarget = "Field '{}' could not be read from the target: {}";
constexpr std::string_view kFieldMissing =
    "Field '{}' is no longer present in the target; its tracking toggles were not deployed.";
constexpr std::string_view kFieldUnparsable = "Could not parse the target field document: {}";
constexpr std::string_view kCommitted = "Committed to {} as {}.";
constexpr std::string_view kTransferFailed = "Permission transfer failed: {}";
constexpr std::string_view kNotAttemptedTransfer =
    "Permission transfer was not attempted because the container inventory failed.";
constexpr std::string_view kTransferCancelled =
    "Cancelled during the field-level security transfer; the package itself was deployed.";
constexpr std::string_view kTransferCancelledRow = "Permission transfer was cancelled before this permission was confirmed.";
constexpr std::string_view kSelectedContainerId = "selected:{}:{}";
constexpr std::string_view kMissingDefinition = "selected field subject must have a source definition";

template <class... Args>
std::string format(std::string_view pattern, Args&&... args) {
    return fmt::format(fmt::runtime(pattern), std::forward<Args>(args)...);
}

ComponentDeploymentResult failure_of(const ComponentDifference& row, std::string message) {
    return ComponentDeploymentResult{row.key(), std::move(message), row.change, ComponentDeploymentStatus::Failed};
}

// Hash and equality through a pointer, for tables that look up values kept elsewhere.
struct PointeeHash {
    template <class T>
    std::size_t operator()(const T* value) const noexcept {
        return std::hash<T>{}(*value);
    }
};
struct PointeeEqual {
    template <class T>
    bool operator()(const T* left, const T* right) const {
        return *left == *right;
    }
};

// The grant that gives nothing for a subject of this kind.
domain::PermissionGrant empty_grant_for(const domain::PermissionSubject& subject) {
    using S = domain::PermissionSubject;
    using G = domain::PermissionGrant;
    return std::visit(
        [](const auto& value) -> G {
            using T = std::decay_t<decltype(value)>;
            if constexpr (std::is_same_v<T, S::Field>) return G{G::FieldAccess{}};
            else if constexpr (std::is_same_v<T, S::Object>) return G{G::ObjectAccess{}};
            else if constexpr (std::is_same_v<T, S::ApexClass> || std::is_same_v<T, S::ApexPage>) return G{G::Enabled{}};
            else if constexpr (std::is_same_v<T, S::Tab>) return G{G::TabVisibility{}};
            else return G{G::Visible{}};
        },
        subject.value);
}

}  // namespace

CollapsedLayoutRows collapse_layout_rows(const std::vector<const ComponentDifference*>& element_rows) {
    CollapsedLayoutRows collapsed;
    collapsed.elements.reserve(element_rows.size());
    collapsed.rows.reserve(element_rows.size());
    for (const ComponentDifference* row : element_rows) {
        auto parsed = metadata_types::parse_layout_element_name(row->key().name);
        support::require(parsed.has_value(), "a collapsed layout row must be a layout element row");
        collapsed.elements.push_back(std::move(parsed->element));
        collapsed.rows.emplace_back(row->key(), row->change);
    }
    return collapsed;
}

std::vector<ComponentDeploymentResult> spread_collapsed_results(std::vector<ComponentDeploymentResult> results,
                                                                const std::map<domain::ComponentKey, ElementRows>& expansions) {
    if (expansions.empty()) return results;
    std::vector<ComponentDeploymentResult> spread;
    spread.reserve(results.size());
    for (auto& result : results) {
        auto found = expansions.find(result.key);
        if (found == expansions.end()) {
            spread.push_back(std::move(result));
            continue;
        }
        for (const auto& [key, change] : found->second)
            spread.push_back(ComponentDeploymentResult{key, result.message, change, result.status});
    }
    return spread;
}

UseCaseResult<LayoutCollapse> QuillaryApplicationService::collapse_layouts(const ComparisonSession& session,
                                                                            std::vector<ComponentDifference> package_rows,
                                                                            const domain::CancellationToken& token) const {
    LayoutCollapse collapse;
    std::vector<std::optional<metadata_types::LayoutElementName>> parsed(package_rows.size());
    std::set<std::string> layout_names;
    for (std::size_t i = 0; i < package_rows.size(); ++i) {
        if (package_rows[i].key().metadata_type != metadata_types::MetadataType::Layout) continue;
        parsed[i] = metadata_types::parse_layout_element_name(package_rows[i].key().name);
        if (parsed[i]) layout_names.insert(parsed[i]->layout_name);
    }
    if (layout_names.empty()) {
        collapse.rows = std::move(package_rows);
        return collapse;
    }
    if (auto live = throw_if_cancelled(token); !live) return std::unexpected(live.error());
    auto documents = target_layout_reading().target_layout_reading(session.target(), layout_names,
                                                                   session.api_version(), token);
    if (!documents) {
        if (documents.error().kind == FailureKind::Cancelled) return std::unexpected(std::move(documents.error()));
        const std::string detail = sanitize_diagnostic(documents.error().first_message());
        for (std::size_t i = 0; i < package_rows.size(); ++i) {
            if (parsed[i])
                collapse.failures.push_back(
                    failure_of(package_rows[i], format(kLayoutUnreadableFromTarget, parsed[i]->layout_name, detail)));
            else
                collapse.rows.push_back(std::move(package_rows[i]));
        }
        return collapse;
    }

    // Element rows grouped by layout, layouts in order of first appearance.
    std::map<std::string, std::vector<std::size_t>> groups;
    std::vector<std::string> order;
    for (std::size_t i = 0; i < package_rows.size(); ++i) {
        if (!parsed[i]) continue;
        auto [group, first] = groups.try_emplace(parsed[i]->layout_name);
        if (first) order.push_back(parsed[i]->layout_name);
        group->second.push_back(i);
    }

    // The collapsed row of each layout that merged, under the index of its first element row.
    std::map<std::size_t, ComponentDifference> collapsed;
    for (const auto& layout : order) {
        const std::vector<std::size_t>& indices = groups.at(layout);
        std::vector<const ComponentDifference*> members;
        members.reserve(indices.size());
        for (std::size_t index : indices) members.push_back(&package_rows[index]);
        CollapsedLayoutRows elements = collapse_layout_rows(members);
        const ComponentDifference& first = *members.front();
        std::optional<std::string> problem;
        std::string merged;
        auto target = documents->find(layout);
        if (target == documents->end()) {
            problem = format(kLayoutMissing, layout);
        } else if (auto model = metadata::layout_reader::parse_layout_model(layout, first.source.document,
                                                                            first.source.source_path);
                   !model) {
            problem = format(kLayoutUnreadable, layout, model.error().message());
        } else if (auto text = metadata::layout_merger::merge_layout(target->second, *model, elements.elements); !text) {
            problem = format(kLayoutNotMerged, layout, text.error().message());
        } else {
            merged = std::move(*text);
        }
        if (problem) {
            for (const ComponentDifference* member : members) collapse.failures.push_back(failure_of(*member, *problem));
            continue;
        }
        ComponentDifference row;
        row.source = std::move(package_rows[indices.front()].source);
        row.source.key = domain::ComponentKey{metadata_types::MetadataType::Layout, layout};
        row.source.document = std::move(merged);
        row.change = domain::ChangeKind::Update;
        row.deployable = true;
        row.deploy_scope = domain::MetadataDeployScope::Full;
        collapse.expansions.emplace(row.key(), std::move(elements.rows));
        collapsed.emplace(indices.front(), std::move(row));
    }

    // One pass in place: a collapsed row stands where its layout's first element row stood among the
    // others. Compacting the list it came in avoids a second list of every row.
    std::size_t kept = 0;
    for (std::size_t i = 0; i < package_rows.size(); ++i) {
        if (!parsed[i]) {
            if (kept != i) package_rows[kept] = std::move(package_rows[i]);
            ++kept;
        } else if (auto found = collapsed.find(i); found != collapsed.end()) {
            package_rows[kept++] = std::move(found->second);
        }
    }
    package_rows.erase(package_rows.begin() + static_cast<std::ptrdiff_t>(kept), package_rows.end());
    collapse.rows = std::move(package_rows);
    return collapse;
}

UseCaseResult<TrackingSplice> QuillaryApplicationService::splice_tracking_toggles(const ComparisonSession& session,
                                                                                  std::vector<ComponentDifference> rows,
                                                                                  const domain::CancellationToken& token) const {
    TrackingSplice splice;
    std::set<std::string> field_names;
    for (const auto& row : rows)
        if (row.deploy_scope == domain::MetadataDeployScope::TrackingOnly) field_names.insert(row.key().name);
    if (field_names.empty()) {
        splice.rows = std::move(rows);
        return splice;
    }
    if (auto live = throw_if_cancelled(token); !live) return std::unexpected(live.error());
    auto documents = tracking().target_field_reading(session.target(), field_names, session.api_version(), token);
    if (!documents && documents.error().kind == FailureKind::Cancelled)
        return std::unexpected(std::move(documents.error()));
    const std::string detail = documents ? std::string() : sanitize_diagnostic(documents.error().first_message());
    // The rows are spliced in place and the failed ones erased afterwards, so no second list is built.
    std::vector<bool> failed(rows.size(), false);
    for (std::size_t i = 0; i < rows.size(); ++i) {
        ComponentDifference& row = rows[i];
        if (row.deploy_scope != domain::MetadataDeployScope::TrackingOnly) continue;
        auto fail = [&](std::string message) {
            splice.failures.push_back(failure_of(row, std::move(message)));
            failed[i] = true;
        };
        if (!documents) {
            fail(format(kFieldUnreadableFromTarget, row.key().name, detail));
            continue;
        }
        auto target = documents->find(row.key().name);
        if (target == documents->end()) {
            fail(format(kFieldMissing, row.key().name));
            continue;
        }
        const auto toggles = metadata::field_reader::read_tracking_toggles(row.source.document, row.source.source_path);
        auto spliced = deploy_adaptation().splice_tracking(target->second, toggles.track_history,
                                                           toggles.track_feed_history);
        if (!spliced) {
            fail(sanitize_diagnostic(format(kFieldUnparsable, spliced.error())));
            continue;
        }
        row.source.document = std::move(*spliced);
    }
    if (!splice.failures.empty()) {
        std::size_t index = 0;
        std::erase_if(rows, [&](const ComponentDifference&) { return failed[index++]; });
    }
    splice.rows = std::move(rows);
    return splice;
}

UseCaseResult<deployment::DeploymentSummary> QuillaryApplicationService::run_best_effort_package(
    const ComparisonSession& session, std::vector<ComponentDifference> rows_to_deploy,
    const std::vector<ComponentDifference>& permission_rows, const std::vector<domain::PermissionSubject>& subjects,
    domain::FlsMode fls_mode, const ports::ContainerSelection& containers,
    const std::optional<domain::ApexTestConfig>& tests, const domain::CancellationToken& token) const {
    auto package = core().single_package_deployment(rows_to_deploy, domain::SelectedPermissions{}, domain::FlsMode::None,
                                                    std::nullopt, domain::DeployMode::BestEffort, tests, session.source(),
                                                    session.target_username(), session.api_version(), token);
    if (!package) return std::unexpected(std::move(package.error()));
    rows_to_deploy.clear();

    deployment::DeploymentSummary summary;
    summary.component_results = std::move(package->component_results);
    for (auto& result : summary.component_results) result.message = sanitize_diagnostic(result.message);
    summary.deployed_count = package->deployed_count;
    summary.tests = package->tests;
    summary.package_completed = package->package_completed;
    summary.deploy_mode = domain::DeployMode::BestEffort;
    if (package->test_failures) summary.detail_notes.leading_notes.push_back(*package->test_failures);

    // One pass over the permission rows: each row's subject, the row of each key (for the results) and
    // the first row of each subject (for the field definitions of the transfer). The tables point into
    // the rows and into `row_subjects`, so no key or subject is copied for a lookup. The selection
    // refuses a subject that two rows share; the first such subject is kept for that refusal.
    std::vector<std::optional<domain::PermissionSubject>> row_subjects;
    row_subjects.reserve(permission_rows.size());
    for (const auto& row : permission_rows) row_subjects.push_back(row.permission_subject());
    std::unordered_map<const domain::ComponentKey*, std::size_t, PointeeHash, PointeeEqual> row_of_key;
    std::unordered_map<const domain::PermissionSubject*, std::size_t, PointeeHash, PointeeEqual> row_of_subject;
    std::optional<std::string> duplicate;
    row_of_key.reserve(permission_rows.size());
    row_of_subject.reserve(permission_rows.size());
    for (std::size_t i = 0; i < permission_rows.size(); ++i) {
        if (!row_subjects[i]) continue;
        const domain::PermissionSubject& subject = *row_subjects[i];
        if (!row_of_subject.try_emplace(&subject, i).second && !duplicate) {
            const auto* field = std::get_if<domain::PermissionSubject::Field>(&subject.value);
            duplicate = field != nullptr ? format(kDuplicateSelectedField, field->object, field->field)
                                         : format(kDuplicateSelectedSubject, subject.api_name());
        }
        // A later row of the same key gives that key's subject.
        row_of_key.insert_or_assign(&permission_rows[i].key(), i);
    }
    std::vector<const domain::PermissionSubject*> transfer;
    std::unordered_set<const domain::PermissionSubject*, PointeeHash, PointeeEqual> taken;
    taken.reserve(subjects.size() + summary.component_results.size());
    for (const auto& subject : subjects)
        if (taken.insert(&subject).second) transfer.push_back(&subject);
    for (const auto& result : summary.component_results) {
        if (result.status != ComponentDeploymentStatus::Succeeded) continue;
        auto found = row_of_key.find(&result.key);
        if (found == row_of_key.end()) continue;
        const domain::PermissionSubject* subject = &*row_subjects[found->second];
        if (taken.insert(subject).second) transfer.push_back(subject);
    }
    if (fls_mode == domain::FlsMode::None || transfer.empty()) return summary;

    if (duplicate) support::fail_precondition(std::move(*duplicate));
    domain::SelectedPermissions selection;
    for (const domain::PermissionSubject* subject : transfer) {
        if (const auto* field = std::get_if<domain::PermissionSubject::Field>(&subject->value)) {
            const auto row = row_of_subject.find(subject);
            support::require(row != row_of_subject.end(), kMissingDefinition);
            selection.fields.emplace(domain::FieldKey{field->object, field->field},
                                     permission_rows[row->second].source.to_custom_field_definition());
        } else {
            selection.subjects.insert(*subject);
        }
    }
    // One result per chosen container and subject of the transfer, for a transfer that reported none.
    auto unsettled = [&](std::string_view message) {
        if (!containers) return;
        const auto all = selection.all_subjects();
        for (const auto& [kind, name] : *containers) {
            for (const auto& subject : all) {
                summary.fls_results.push_back(domain::FlsResult{name, name, subject, std::string(message), kind,
                                                                domain::FlsResultStatus::NotAttempted,
                                                                empty_grant_for(subject)});
            }
        }
    };
    // A cancel after the package leaves the package's rows standing: they say what the org holds now.
    auto synchronised = token.is_cancelled()
                            ? UseCaseResult<std::vector<domain::FlsResult>>(std::unexpected(WorkflowFailure::cancelled()))
                            : core().fls_synchronization(session.source(), session.target(), selection, fls_mode,
                                                         containers, token);
    if (synchronised) {
        summary.fls_results = std::move(*synchronised);
    } else if (synchronised.error().kind == FailureKind::Cancelled) {
        unsettled(kTransferCancelledRow);
        if (package->package_completed) summary.detail_notes.leading_notes.emplace_back(kTransferCancelled);
    } else {
        unsettled(kNotAttemptedTransfer);
        summary.detail_notes.leading_notes.push_back(format(kTransferFailed, synchronised.error().detail_text()));
    }
    sort_fls_results(summary.fls_results);
    for (auto& result : summary.fls_results) result.message = sanitize_diagnostic(result.message);
    return summary;
}

UseCaseResult<deployment::DeploymentSummary> QuillaryApplicationService::run_deploy(
    const ComparisonSession& session, const std::vector<ComponentDifference>& rows,
    std::vector<ComponentDifference> package_rows, const std::vector<domain::PermissionSubject>& subjects,
    domain::FlsMode fls_mode, const ports::ContainerSelection& containers, domain::DeployMode deploy_mode,
    const std::optional<domain::ApexTestConfig>& tests, const domain::CancellationToken& token) const {
    if (auto bound = validate_session_org_bindings(session, token); !bound) return std::unexpected(bound.error());
    const bool org_target = session.target().is_org();
    const bool gated = deploy_mode != domain::DeployMode::BestEffort && org_target;
    auto not_deployed = [&](const std::string& message) {
        return std::unexpected(WorkflowFailure::operation(sanitize_diagnostic(format(kNotDeployedMessage, message))));
    };

    auto collapse = collapse_layouts(session, std::move(package_rows), token);
    if (!collapse) return std::unexpected(std::move(collapse.error()));
    if (gated && !collapse->failures.empty()) return not_deployed(collapse->failures.front().message);
    auto spliced = splice_tracking_toggles(session, std::move(collapse->rows), token);
    if (!spliced) return std::unexpected(std::move(spliced.error()));
    if (gated && !spliced->failures.empty()) return not_deployed(spliced->failures.front().message);

    // The permission rows are the rows themselves unless tracking toggles failed; no copy otherwise.
    std::vector<ComponentDifference> remaining_rows;
    if (!spliced->failures.empty()) {
        std::set<domain::ComponentKey> failed;
        for (const auto& failure : spliced->failures) failed.insert(failure.key);
        for (const auto& row : rows)
            if (!failed.contains(row.key())) remaining_rows.push_back(row);
    }
    const std::vector<ComponentDifference>& permission_rows = spliced->failures.empty() ? rows : remaining_rows;
    std::vector<ComponentDeploymentResult> failures = std::move(collapse->failures);
    failures.insert(failures.end(), std::make_move_iterator(spliced->failures.begin()),
                    std::make_move_iterator(spliced->failures.end()));

    deployment::DeploymentSummary summary;
    if (!org_target) {
        ports::ContainerDocuments documents;
        if (fls_mode != domain::FlsMode::None) {
            domain::SelectedPermissions selection = associate_selected_permissions(permission_rows);
            if (!selection.empty() && containers && !containers->empty()) {
                if (auto live = throw_if_cancelled(token); !live) return std::unexpected(live.error());
                std::vector<domain::FlsContainer> chosen;
                std::vector<ports::ContainerKey> pairs;
                for (const auto& [kind, name] : *containers) {
                    domain::FlsContainer container;
                    container.id = format(kSelectedContainerId, domain::name(kind), name);
                    container.api_name = name;
                    container.label = name;
                    container.kind = kind;
                    container.retrievable = true;
                    chosen.push_back(std::move(container));
                    pairs.emplace_back(kind, name);
                }
                const auto all = selection.all_subjects();
                const std::set<domain::PermissionSubject> subject_set(all.begin(), all.end());
                auto source_documents = git().container_document_reading(session.source(), chosen, subject_set, token);
                if (!source_documents) return std::unexpected(std::move(source_documents.error()));
                if (auto live = throw_if_cancelled(token); !live) return std::unexpected(live.error());
                auto target_documents = git().git_container_reading(session.target(), pairs, token);
                if (!target_documents) return std::unexpected(std::move(target_documents.error()));
                auto merged = git().container_document_merge(*source_documents, *target_documents, selection, fls_mode);
                if (!merged) return std::unexpected(std::move(merged.error()));
                documents = std::move(*merged);
            }
        }
        auto commit = git().git_commit(session.target(), spliced->rows, documents, session.source_label(), token);
        if (!commit) return std::unexpected(std::move(commit.error()));
        summary.component_results = std::move(commit->results);
        for (auto& result : summary.component_results) result.message = sanitize_diagnostic(result.message);
        summary.detail_notes.leading_notes.push_back(format(kCommitted, session.target_label(), commit->commit));
        summary.package_completed = true;
        summary.deploy_mode = domain::DeployMode::BestEffort;
    } else if (deploy_mode == domain::DeployMode::BestEffort) {
        auto best_effort = run_best_effort_package(session, std::move(spliced->rows), permission_rows, subjects, fls_mode,
                                                   containers, tests, token);
        if (!best_effort) return std::unexpected(std::move(best_effort.error()));
        summary = std::move(*best_effort);
    } else {
        domain::SelectedPermissions selection;
        if (fls_mode != domain::FlsMode::None) selection = associate_selected_permissions(permission_rows);
        auto package = core().single_package_deployment(spliced->rows, selection, fls_mode, containers, deploy_mode, tests,
                                                        session.source(), session.target_username(),
                                                        session.api_version(), token);
        if (!package) return std::unexpected(std::move(package.error()));
        summary.component_results = std::move(package->component_results);
        for (auto& result : summary.component_results) result.message = sanitize_diagnostic(result.message);
        summary.fls_results = std::move(package->fls_results);
        for (auto& result : summary.fls_results) result.message = sanitize_diagnostic(result.message);
        sort_fls_results(summary.fls_results);
        summary.quick_deploy = std::move(package->quick_deploy);
        summary.deployed_count = package->deployed_count;
        summary.tests = package->tests;
        summary.package_completed = package->package_completed;
        summary.deploy_mode = deploy_mode;
        // The Apex test failures say why a validation or an all-or-nothing deploy was refused.
        if (package->test_failures) summary.detail_notes.leading_notes.push_back(*package->test_failures);
    }

    summary.component_results = spread_collapsed_results(std::move(summary.component_results), collapse->expansions);
    summary.component_results.reserve(summary.component_results.size() + failures.size());
    for (auto& failure : failures) {
        failure.message = sanitize_diagnostic(failure.message);
        summary.component_results.push_back(std::move(failure));
    }
    return summary;
}

}  // namespace ambrel::app
