#include "data/orchestrator/orchestrator.hpp"

#include "data/registry.hpp"

namespace ambrel::data::orchestrator {

namespace {

using preparation::KeyState;
using preparation::ObjectKeyDecision;
using preparation::OrgPreparationPlan;
using preparation::OrgPreparationReport;
using preparation::PreparationOutcome;
using preparation::PreparationPorts;
using preparation::PreparationSide;
using preparation::PreparationStatus;
using progress::ProgressStage;

std::uint32_t as_count(std::size_t value) {
    return value > UINT32_MAX ? UINT32_MAX : static_cast<std::uint32_t>(value);
}

PreparationOutcome failed(std::string message) { return PreparationOutcome{PreparationStatus::Failed, 0, std::move(message)}; }

std::string_view alias_of(PreparationSide side, std::string_view source_alias, std::string_view target_alias) {
    return side == PreparationSide::Source ? source_alias : target_alias;
}

}  // namespace

std::string cancelled() { return std::string(kCancelled); }

std::expected<preparation::SchemaMap, std::string> read_schemas(PreparationPorts& ports, std::string_view org,
                                                                const domain::CancellationToken& cancel) {
    preparation::SchemaMap schemas;
    const auto total = as_count(registry::kDataObjectCount);
    std::uint32_t number = 0;
    for (const registry::DataObjectDescriptor& row : registry::DATA_OBJECTS) {
        ++number;
        if (cancel.is_cancelled()) return std::unexpected(cancelled());
        ports.report_progress(ProgressStage::InspectingOrgSchema, number, total, org);
        auto described = ports.describe(org, row.api_name, cancel);
        if (!described) return std::unexpected(described.error().message());
        if (*described) schemas.insert_or_assign(std::string(row.api_name), std::move(**described));
    }
    return schemas;
}

std::expected<OrgPreparationReport, std::string> inspect(PreparationPorts& ports, std::string_view source_alias,
                                                         std::string_view target_alias,
                                                         const domain::CancellationToken& cancel) {
    auto source = read_schemas(ports, source_alias, cancel);
    if (!source) return std::unexpected(std::move(source.error()));
    auto target = read_schemas(ports, target_alias, cancel);
    if (!target) return std::unexpected(std::move(target.error()));

    const std::vector<const registry::DataObjectDescriptor*> rows = registry::data_objects_in_load_order();
    const std::vector<ObjectKeyDecision> decisions = preparation::decide_key_states(rows, *source, *target);
    const std::vector<preparation::RecordCountQuery> queries = preparation::record_count_queries(decisions);

    preparation::CountsMap counts;
    const auto total = as_count(queries.size());
    std::uint32_t number = 0;
    for (const preparation::RecordCountQuery& query : queries) {
        ++number;
        if (cancel.is_cancelled()) return std::unexpected(cancelled());
        const std::string_view alias = alias_of(query.side, source_alias, target_alias);
        ports.report_progress(ProgressStage::CountingUnkeyedRecords, number, total, alias);
        const std::optional<std::string_view> key_field =
            query.key_field ? std::optional<std::string_view>(*query.key_field) : std::nullopt;
        auto count = ports.count_records(alias, query.object, key_field, cancel);
        if (!count) return std::unexpected(count.error().message());
        counts.insert_or_assign({std::string(query.object), query.side}, *count);
    }

    OrgPreparationReport report;
    report.plan = OrgPreparationPlan::assemble(std::string(source_alias), std::string(target_alias), decisions, counts);
    return report;
}

std::vector<ObjectKeyDecision> decisions_of(const OrgPreparationPlan& plan) {
    std::vector<ObjectKeyDecision> decisions;
    decisions.reserve(plan.objects.size());
    for (const preparation::ObjectPreparation& row : plan.objects) {
        decisions.push_back(ObjectKeyDecision{row.object_api_name, row.source_state, row.target_state});
    }
    return decisions;
}

std::expected<void, std::string> fill_side_keys(PreparationPorts& ports, std::span<const ObjectKeyDecision> decisions,
                                                PreparationSide side, std::string_view alias, Outcomes& outcomes,
                                                const domain::CancellationToken& cancel) {
    std::vector<const ObjectKeyDecision*> keyable;
    for (const ObjectKeyDecision& decision : decisions) {
        if (preparation::is_keyable(decision.source) && preparation::is_keyable(decision.target)) {
            keyable.push_back(&decision);
        }
    }
    const auto total = as_count(keyable.size());
    std::uint32_t number = 0;
    for (const ObjectKeyDecision* decision : keyable) {
        ++number;
        if (cancel.is_cancelled()) return std::unexpected(cancelled());
        std::pair<std::string, PreparationSide> key{std::string(decision->object), side};
        if (outcomes.contains(key)) continue;
        const std::string_view key_field = preparation::key_field_of(decision->state(side)).value_or(preparation::kOwnField);
        ports.report_progress(ProgressStage::FillingExternalId, number, total, decision->object);
        auto ids = ports.unkeyed_ids(alias, decision->object, key_field, cancel);
        if (!ids) {
            outcomes.emplace(std::move(key), failed(ids.error().message()));
            continue;
        }
        const preparation::KeyFillResult result = ports.fill_keys(alias, decision->object, key_field, *ids, cancel);
        using Result = preparation::KeyFillResult;
        if (std::holds_alternative<Result::NothingToFill>(result.value)) {
            outcomes.emplace(std::move(key), PreparationOutcome{PreparationStatus::Skipped, 0, std::string(kAlreadyKeyed)});
        } else if (const auto* filled = std::get_if<Result::Filled>(&result.value)) {
            outcomes.emplace(std::move(key), PreparationOutcome{PreparationStatus::Succeeded, filled->count, std::nullopt});
        } else if (const auto* failure = std::get_if<Result::Failed>(&result.value)) {
            outcomes.emplace(std::move(key), failed(failure->message));
        } else {
            return std::unexpected(cancelled());
        }
    }
    return {};
}

std::expected<OrgPreparationReport, std::string> apply(PreparationPorts& ports, std::string_view source_alias,
                                                       std::string_view target_alias,
                                                       const domain::CancellationToken& cancel) {
    auto inspected = inspect(ports, source_alias, target_alias, cancel);
    if (!inspected) return std::unexpected(std::move(inspected.error()));
    OrgPreparationReport report = std::move(*inspected);
    const std::vector<ObjectKeyDecision> decisions = decisions_of(report.plan);
    Outcomes outcomes;

    for (const PreparationSide side : {PreparationSide::Source, PreparationSide::Target}) {
        const std::string_view alias = alias_of(side, source_alias, target_alias);
        if (cancel.is_cancelled()) return std::unexpected(cancelled());
        const std::vector<std::string> fields = report.plan.fields_to_deploy(side);
        if (!fields.empty()) {
            ports.report_progress(ProgressStage::CreatingExternalIdField, std::nullopt, std::nullopt, alias);
            auto record_all = [&](const std::string& message) {
                for (const std::string& object : fields) outcomes.insert_or_assign({object, side}, failed(message));
            };
            auto profile = ports.running_user_profile(alias, cancel);
            if (!profile) {
                record_all(profile.error().message());
            } else if (auto deployed = ports.deploy_fields(alias, fields, *profile, cancel); !deployed) {
                record_all(deployed.error());
            }
        }
        if (cancel.is_cancelled()) return std::unexpected(cancelled());
        if (auto filled = fill_side_keys(ports, decisions, side, alias, outcomes, cancel); !filled) {
            return std::unexpected(std::move(filled.error()));
        }
    }

    report.outcomes = std::move(outcomes);
    report.applied = true;
    return report;
}

}  // namespace ambrel::data::orchestrator
