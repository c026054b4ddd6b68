#include "deployment/single_package/results.hpp"

#include <algorithm>
#include <map>
#include <unordered_map>

#include <fmt/format.h>

#include "deployment/permission_batch/permission_batch.hpp"
#include "metadata_types/type_descriptor.hpp"

namespace ambrel::deployment::single_package {
namespace {

using deploy_gateway::KeyedFailures;
using deploy_gateway::MetadataComponentKey;
using deploy_gateway::MetadataDeployResult;
using domain::ComponentDeploymentStatus;
using Result = MetadataDeployResult;

std::string_view success_text(domain::DeployMode mode) {
    return mode == domain::DeployMode::ValidateOnly ? kWouldDeploy : kDeployed;
}

using KeyView = std::pair<std::string_view, std::string_view>;

struct KeyViewHash {
    std::size_t operator()(const KeyView& key) const noexcept {
        const std::size_t type = std::hash<std::string_view>{}(key.first);
        return type ^ (std::hash<std::string_view>{}(key.second) + 0x9e3779b97f4a7c15ULL + (type << 6) + (type >> 2));
    }
};

using FailureIndex = std::unordered_map<KeyView, const std::string*, KeyViewHash>;

// The first message of each key, found without scanning the list per row. Views into `failures`.
FailureIndex index_failures(const KeyedFailures& failures) {
    FailureIndex index;
    index.reserve(failures.size());
    for (const auto& [key, message] : failures) index.try_emplace(KeyView{key.type_name, key.full_name}, &message);
    return index;
}

const std::string* find_failure(const FailureIndex& index, std::string_view type_name, std::string_view full_name) {
    auto found = index.find(KeyView{type_name, full_name});
    return found == index.end() ? nullptr : found->second;
}

const std::string* find_failure(const FailureIndex& index, const MetadataComponentKey& key) {
    return find_failure(index, key.type_name, key.full_name);
}

const std::string* find_row_failure(const FailureIndex& index, const domain::ComponentDifference& row) {
    return find_failure(index, row.key().metadata_type.descriptor().api_name, row.key().name);
}

bool is_object_scoped(const domain::ComponentDifference& row) {
    const auto type = row.key().metadata_type;
    if (type.is_data_record()) return false;
    return type.is_object_child_or_field() || type.is_object_definition();
}

std::string rejected_whole(const std::string& reason) {
    return reason.empty() ? std::string(kRejectedWhole) : fmt::format("{} {}", kRejectedWhole, reason);
}

std::string object_of(std::string_view full_name) {
    const auto dot = full_name.find('.');
    return std::string(dot == std::string_view::npos ? full_name : full_name.substr(0, dot));
}

}  // namespace

MetadataComponentKey expected_metadata_key(const domain::ComponentDifference& row) {
    return {std::string(row.key().metadata_type.descriptor().api_name), row.key().name};
}

std::vector<domain::ComponentDeploymentResult> map_metadata_results(
    std::span<const domain::ComponentDifference* const> rows, const MetadataDeployResult& result,
    domain::DeployMode mode) {
    std::vector<domain::ComponentDeploymentResult> out;
    out.reserve(rows.size());
    const KeyedFailures* failures = nullptr;
    if (const auto* tied = std::get_if<Result::ComponentFailures>(&result.value)) failures = &tied->failures;
    if (const auto* failed = std::get_if<Result::Failed>(&result.value)) failures = &failed->failures;
    const auto index = failures == nullptr ? FailureIndex{} : index_failures(*failures);

    for (const auto* row : rows) {
        domain::ComponentDeploymentResult mapped{row->key(), {}, row->change, ComponentDeploymentStatus::Failed};
        std::visit(
            [&](const auto& outcome) {
                using T = std::decay_t<decltype(outcome)>;
                if constexpr (std::is_same_v<T, Result::Succeeded>) {
                    mapped.status = ComponentDeploymentStatus::Succeeded;
                    mapped.message = success_text(mode);
                } else if constexpr (std::is_same_v<T, Result::ComponentFailures>) {
                    if (const auto* own = find_row_failure(index, *row)) {
                        mapped.message = *own;
                    } else if (mode == domain::DeployMode::AllOrNothing) {
                        mapped.message = kRolledBack;
                    } else if (outcome.rejection) {
                        mapped.message = rejected_whole(*outcome.rejection);
                    } else if (outcome.has_unmatched) {
                        mapped.message = fmt::format("{} {}", kRowUnmatched, outcome.message);
                    } else {
                        mapped.status = ComponentDeploymentStatus::Succeeded;
                        mapped.message = success_text(mode);
                    }
                } else if constexpr (std::is_same_v<T, Result::Failed>) {
                    const auto* own = find_row_failure(index, *row);
                    mapped.message = own != nullptr ? *own : outcome.message;
                } else {
                    mapped.message = outcome.message;
                }
            },
            result.value);
        out.push_back(std::move(mapped));
    }
    return out;
}

void apply_object_children_share_one_component(std::span<const domain::ComponentDifference* const> rows,
                                               std::vector<domain::ComponentDeploymentResult>& results,
                                               const KeyedFailures& failures, domain::DeployMode mode) {
    const auto index = index_failures(failures);
    std::map<std::string, std::vector<std::pair<std::string, std::string>>> rejected;
    for (const auto* row : rows) {
        if (!is_object_scoped(*row)) continue;
        if (const auto* own = find_row_failure(index, *row)) {
            rejected[object_of(row->key().name)].emplace_back(row->key().name, *own);
        }
    }
    for (auto& [object, members] : rejected) {
        std::stable_sort(members.begin(), members.end(),
                         [](const auto& a, const auto& b) { return a.first < b.first; });
    }
    const std::size_t count = std::min(results.size(), rows.size());
    for (std::size_t i = 0; i < count; ++i) {
        auto& mapped = results[i];
        if (mapped.status != ComponentDeploymentStatus::Succeeded || !is_object_scoped(*rows[i])) continue;
        auto found = rejected.find(object_of(rows[i]->key().name));
        if (found == rejected.end() || found->second.empty()) continue;
        const auto& members = found->second;
        const std::string more =
            members.size() > 1 ? fmt::format(fmt::runtime(kMoreMembers), members.size() - 1) : std::string();
        mapped.status = ComponentDeploymentStatus::Failed;
        mapped.message = fmt::format(fmt::runtime(kObjectChildren),
                                     mode == domain::DeployMode::ValidateOnly ? kWouldNotDeploy : kNotDeployed,
                                     members.front().first, more, members.front().second);
    }
}

std::vector<domain::FlsResult> map_container_results(std::span<const PreparedFlsContainer> containers,
                                                     const MetadataDeployResult& result, domain::DeployMode mode) {
    std::vector<domain::FlsResult> out;
    const KeyedFailures* failures = nullptr;
    if (const auto* tied = std::get_if<Result::ComponentFailures>(&result.value)) failures = &tied->failures;
    const auto index = failures == nullptr ? FailureIndex{} : index_failures(*failures);
    for (const auto& container : containers) {
        domain::FlsResultStatus status = domain::FlsResultStatus::Failed;
        std::string message;
        std::visit(
            [&](const auto& outcome) {
                using T = std::decay_t<decltype(outcome)>;
                if constexpr (std::is_same_v<T, Result::Succeeded>) {
                    status = domain::FlsResultStatus::Updated;
                    message = kPermissionDeployed;
                } else if constexpr (std::is_same_v<T, Result::ComponentFailures>) {
                    const auto key = permission_batch::to_metadata_component_key(
                        metadata::permission_models::PermissionComponentKey::create(container.kind,
                                                                                    container.full_name));
                    if (const auto* own = find_failure(index, key)) {
                        message = *own;
                    } else if (mode == domain::DeployMode::AllOrNothing) {
                        message = kRolledBack;
                    } else if (outcome.rejection) {
                        message = rejected_whole(*outcome.rejection);
                    } else if (outcome.has_unmatched) {
                        message = fmt::format("{} {}", kContainerUnmatched, outcome.message);
                    } else {
                        status = domain::FlsResultStatus::Updated;
                        message = kPermissionDeployed;
                    }
                } else {
                    message = outcome.message;
                }
            },
            result.value);
        for (const auto& pending : container.pending_grants) {
            out.push_back(domain::FlsResult{container.full_name, container.label, pending.subject, message,
                                            container.kind, status, pending.grant});
        }
    }
    return out;
}

}  // namespace ambrel::deployment::single_package
