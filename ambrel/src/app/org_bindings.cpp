#include "app/org_bindings.hpp"

#include <fmt/format.h>

#include "app/comparison_session.hpp"
#include "metadata_types/metadata_type.hpp"
#include "support/programming_error.hpp"
#include "text/text.hpp"

namespace ambrel::app {

namespace {

constexpr std::string_view kBindingMessage =
    "{} Salesforce alias no longer resolves to the reviewed org. Run Compare Fields again.";

bool same_identity(std::string_view recorded, std::string_view listed) {
    return text::equals_ascii_case_insensitive(text::trim(recorded), text::trim(listed));
}

// Field, object, Apex class, Apex page, tab, record type.
int subject_rank(const domain::PermissionSubject& subject) {
    using S = domain::PermissionSubject;
    return std::visit(
        [](const auto& value) {
            using T = std::decay_t<decltype(value)>;
            if constexpr (std::is_same_v<T, S::Field>) return 0;
            else if constexpr (std::is_same_v<T, S::Object>) return 1;
            else if constexpr (std::is_same_v<T, S::ApexClass>) return 2;
            else if constexpr (std::is_same_v<T, S::ApexPage>) return 3;
            else if constexpr (std::is_same_v<T, S::Tab>) return 4;
            else return 5;
        },
        subject.value);
}

std::pair<std::string_view, std::string_view> subject_texts(const domain::PermissionSubject& subject) {
    using S = domain::PermissionSubject;
    return std::visit(
        [](const auto& value) -> std::pair<std::string_view, std::string_view> {
            using T = std::decay_t<decltype(value)>;
            if constexpr (std::is_same_v<T, S::Field>) return {value.object, value.field};
            else if constexpr (std::is_same_v<T, S::RecordType>) return {value.object, value.name};
            else return {value.name, std::string_view()};
        },
        subject.value);
}

std::weak_ordering compare_subjects(const domain::PermissionSubject& left, const domain::PermissionSubject& right) {
    if (auto order = subject_rank(left) <=> subject_rank(right); order != 0) return order;
    const auto [left_first, left_second] = subject_texts(left);
    const auto [right_first, right_second] = subject_texts(right);
    if (auto order = left_first <=> right_first; order != 0) return order;
    return left_second <=> right_second;
}

}  // namespace

std::expected<void, WorkflowFailure> validate_session_org_binding(std::string_view side_label,
                                                                  std::string_view recorded_alias,
                                                                  std::string_view recorded_username,
                                                                  std::string_view recorded_org_id,
                                                                  const std::vector<endpoint::OrgAlias>& aliases) {
    const endpoint::OrgAlias* match = nullptr;
    std::size_t matches = 0;
    for (const auto& alias : aliases) {
        if (alias.alias != recorded_alias) continue;
        ++matches;
        match = &alias;
    }
    const bool holds = matches == 1 && same_identity(recorded_org_id, match->org_id) &&
                       same_identity(recorded_username, match->username);
    if (holds) return {};
    return std::unexpected(
        WorkflowFailure::single(FailureKind::Validation, fmt::format(fmt::runtime(kBindingMessage), side_label)));
}

domain::SelectedPermissions associate_selected_permissions(const std::vector<domain::ComponentDifference>& rows) {
    domain::SelectedPermissions selection;
    for (const auto& row : rows) {
        auto subject = row.permission_subject();
        if (!subject) continue;
        if (const auto* field = std::get_if<domain::PermissionSubject::Field>(&subject->value)) {
            domain::FieldKey key{field->object, field->field};
            // The assertion texts are built only when they are needed: this runs once per selected row.
            const bool inserted = selection.fields.emplace(std::move(key), row.source.to_custom_field_definition()).second;
            if (!inserted)
                support::fail_precondition(fmt::format(fmt::runtime(kDuplicateSelectedField), field->object, field->field));
            continue;
        }
        auto [position, inserted] = selection.subjects.insert(std::move(*subject));
        if (!inserted)
            support::fail_precondition(fmt::format(fmt::runtime(kDuplicateSelectedSubject), position->api_name()));
    }
    return selection;
}

std::vector<ports::ContainerKey> deploying_container_names(const std::vector<domain::ComponentDifference>& rows,
                                                           metadata_types::MetadataType type,
                                                           domain::FlsContainerKind kind,
                                                           const SelectedKeys& selected) {
    std::vector<ports::ContainerKey> pairs;
    for (const auto& row : rows) {
        if (row.key().metadata_type != type || !selected.contains(row.key())) continue;
        const bool metadata_scope = row.deploy_scope == domain::MetadataDeployScope::Full ||
                                    row.deploy_scope == domain::MetadataDeployScope::TrackingOnly;
        if (!row.deployable || !metadata_scope || row.change == domain::ChangeKind::NoChange) continue;
        pairs.emplace_back(kind, row.key().name);
    }
    return pairs;
}

std::set<ports::ContainerKey> deploying_container_pairs(const ComparisonSession& session, const SelectedKeys& selected) {
    std::set<ports::ContainerKey> pairs;
    const std::pair<std::string_view, domain::FlsContainerKind> kinds[] = {
        {"PermissionSet", domain::FlsContainerKind::PermissionSet}, {"Profile", domain::FlsContainerKind::Profile}};
    for (const auto& [wire, kind] : kinds) {
        auto type = metadata_types::metadata_type_by_wire_id(wire);
        if (!type) continue;
        for (auto& pair : deploying_container_names(session.rows(), *type, kind, selected)) pairs.insert(std::move(pair));
    }
    return pairs;
}

std::weak_ordering fls_result_order(const domain::FlsResult& left, const domain::FlsResult& right) {
    if (auto order = domain::wire_id(left.container_kind) <=> domain::wire_id(right.container_kind); order != 0)
        return order;
    if (auto order = text::to_lower(left.container) <=> text::to_lower(right.container); order != 0) return order;
    if (auto order = left.container <=> right.container; order != 0) return order;
    return compare_subjects(left.subject, right.subject);
}

void sort_fls_results(std::vector<domain::FlsResult>& results) {
    // The lower-cased names are computed once per result rather than once per comparison.
    std::vector<std::pair<std::string, std::size_t>> keys;
    keys.reserve(results.size());
    for (std::size_t i = 0; i < results.size(); ++i) keys.emplace_back(text::to_lower(results[i].container), i);
    std::stable_sort(keys.begin(), keys.end(), [&](const auto& a, const auto& b) {
        const auto& left = results[a.second];
        const auto& right = results[b.second];
        if (auto order = domain::wire_id(left.container_kind) <=> domain::wire_id(right.container_kind); order != 0)
            return order < 0;
        if (auto order = a.first <=> b.first; order != 0) return order < 0;
        if (auto order = left.container <=> right.container; order != 0) return order < 0;
        return compare_subjects(left.subject, right.subject) < 0;
    });
    std::vector<domain::FlsResult> sorted;
    sorted.reserve(results.size());
    for (const auto& key : keys) sorted.push_back(std::move(results[key.second]));
    results = std::move(sorted);
}

}  // namespace ambrel::app
