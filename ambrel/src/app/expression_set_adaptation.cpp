#include "app/expression_set_adaptation.hpp"

#include <set>
#include <variant>

#include <fmt/format.h>

#include "app/compare_steps.hpp"
#include "app/row_notes.hpp"
#include "metadata/expression_set_definition_versions/expression_set_definition_versions.hpp"
#include "metadata/expression_set_version_status.hpp"
#include "metadata/manifest/api_versions.hpp"
#include "metadata/release_gated_tags/release_gated_tags.hpp"
#include "text/text.hpp"

namespace ambrel::app {
namespace {

namespace esv = metadata::expression_set_version_status;
namespace esd = metadata::expression_set_definition_versions;
using domain::ComponentKey;

constexpr std::string_view kVersionWireId = "ExpressionSetDefinitionVersion";
constexpr std::string_view kDefinitionWireId = "ExpressionSetDefinition";

using VersionListing = std::variant<std::vector<ports::ExpressionSetVersionRecord>, std::string>;

}  // namespace

UseCaseResult<ExpressionSetVersionStatusFiltering> filter_expression_set_version_status(
    const QuillaryApplicationService& service, const ComparisonSession& session,
    std::vector<domain::ComponentDifference>& rows, domain::DeployMode mode, const domain::CancellationToken& token) {
    ExpressionSetVersionStatusFiltering filtering;
    const bool class_allows = session.target_org_class() == TargetOrgClass::NonProduction ||
                              (session.target_org_class() == TargetOrgClass::Production &&
                               session.allow_best_effort_on_production());
    const auto type = metadata_types::metadata_type_by_wire_id(kVersionWireId);
    if (mode != domain::DeployMode::BestEffort || !session.target().is_org() || !class_allows || !type) return filtering;
    if (std::none_of(rows.begin(), rows.end(), [&](const auto& row) { return takes_part(row, *type); })) {
        return filtering;
    }
    std::map<std::string, VersionListing> listings;
    std::set<ComponentKey> failed_keys;
    const auto fail = [&](const domain::ComponentDifference& row, const std::string& error) {
        filtering.failed.push_back(
            profile_failure(row, fmt::format(fmt::runtime(kVersionUnreadable), service.sanitize_diagnostic(error))));
        failed_keys.insert(row.key());
    };
    for (auto& row : rows) {
        if (!takes_part(row, *type)) continue;
        auto status = esv::root_child(row.source.document, "status");
        if (!status) {
            fail(row, status.error().message());
            continue;
        }
        if (!*status || (*status)->text != esv::kActiveStatus) continue;
        auto definition = esv::definition_name(row.source.document);
        if (!definition) {
            fail(row, definition.error().message());
            continue;
        }
        if (!*definition) {
            filtering.notes.insert_or_assign(row.key(), std::string(kStatusNoDefinition));
            continue;
        }
        const std::string& name = **definition;
        if (!esv::is_valid_definition_name(name)) {
            filtering.notes.insert_or_assign(row.key(), std::string(kStatusInvalidName));
            continue;
        }
        auto cached = listings.find(name);
        if (cached == listings.end()) {
            if (auto cancelled = throw_if_cancelled(token); !cancelled) return std::unexpected(cancelled.error());
            auto listed = service.procedure_versions().expression_set_version_listing(session.target_username(), name, token);
            if (!listed && listed.error().kind == FailureKind::Cancelled) return std::unexpected(std::move(listed.error()));
            VersionListing entry = listed ? VersionListing(std::move(*listed))
                                          : VersionListing(service.sanitize_diagnostic(listed.error().first_message()));
            cached = listings.emplace(name, std::move(entry)).first;
        }
        if (const auto* error = std::get_if<std::string>(&cached->second)) {
            filtering.notes.insert_or_assign(row.key(), fmt::format(fmt::runtime(kStatusListingFailed), *error));
            continue;
        }
        std::vector<const ports::ExpressionSetVersionRecord*> active;
        for (const auto& record : std::get<std::vector<ports::ExpressionSetVersionRecord>>(cached->second)) {
            if (record.active) active.push_back(&record);
        }
        if (active.empty()) continue;
        if (active.size() > 1) {
            filtering.notes.insert_or_assign(row.key(), fmt::format(fmt::runtime(kStatusSeveralActive), active.size(), name));
            continue;
        }
        if (active.front()->api_name == row.key().name) continue;
        auto rewrite = esv::rewrite_status_inactive(row.source.document);
        if (!rewrite) {
            fail(row, rewrite.error().message());
            continue;
        }
        if (!*rewrite) continue;
        row.source.document = std::move((*rewrite)->document);
        filtering.notes.insert_or_assign(row.key(), fmt::format(fmt::runtime(kStatusRewritten), active.front()->api_name));
        filtering.pending_activations.push_back(
            PendingActivation{row.key(), name, row.key().name, active.front()->id, active.front()->api_name});
    }
    remove_rows(rows, failed_keys);
    return filtering;
}

std::string release_gated_failure_text(const ports::CorePorts& sanitizer, const ComponentKey& key,
                                       std::string_view error) {
    const std::string detail(text::first_chars(sanitizer.diagnostic_sanitizer(std::string(error)), kDiagnosticCharacterLimit));
    return fmt::format(fmt::runtime(kGatedFailure), key.metadata_type.descriptor().singular_label, key.name, detail);
}

ExpressionSetDefinitionFiltering filter_expression_set_definitions(const ports::CorePorts& sanitizer,
                                                                   const ComparisonSession& session,
                                                                   std::vector<domain::ComponentDifference>& rows) {
    ExpressionSetDefinitionFiltering filtering;
    const auto definition_type = metadata_types::metadata_type_by_wire_id(kDefinitionWireId);
    const auto version_type = metadata_types::metadata_type_by_wire_id(kVersionWireId);
    if (!session.target().is_org() || !definition_type || !version_type) return filtering;

    std::map<std::string, std::vector<std::string>> package_versions;
    for (const auto& row : rows) {
        if (row.key().metadata_type != *version_type || !deploys_metadata(row, true)) continue;
        auto definition = esv::definition_name(row.source.document);
        if (definition && *definition) package_versions[**definition].push_back(row.key().name);
    }
    const auto api_version = metadata::manifest::parse_api_version(session.api_version());
    const bool gate_closed = api_version && api_version->first < kReleaseGateMajor;

    std::set<ComponentKey> failed_keys;
    for (auto& row : rows) {
        if (row.key().metadata_type.is_data_record()) continue;
        const std::string_view api_name = row.key().metadata_type.descriptor().api_name;
        const bool gated_root = metadata::release_gated_tags::gated_tag_for(api_name).has_value();
        if ((row.key().metadata_type != *definition_type && !gated_root) || !deploys_metadata(row, false)) continue;
        std::vector<std::string> pieces;
        std::string document = row.source.document;
        const auto fail = [&](std::string_view error) {
            filtering.failed.push_back(profile_failure(row, release_gated_failure_text(sanitizer, row.key(), error)));
            failed_keys.insert(row.key());
        };
        const auto versions = package_versions.find(row.key().name);
        if (row.key().metadata_type == *definition_type && row.change == domain::ChangeKind::Add &&
            versions != package_versions.end()) {
            auto stripped = esd::strip_versions(document);
            if (!stripped) {
                fail(stripped.error());
                continue;
            }
            const std::size_t removed = stripped->names.size() + stripped->unnamed;
            if (removed > 0) {
                const std::set<std::string> in_package(versions->second.begin(), versions->second.end());
                std::vector<std::string> others;
                for (const auto& name : stripped->names) {
                    if (!in_package.contains(name)) others.push_back(name);
                }
                std::string piece = fmt::format(fmt::runtime(kShellNote), removed, capped_names(versions->second));
                const std::size_t other_count = others.size() + stripped->unnamed;
                piece += other_count > 0 ? fmt::format(fmt::runtime(kShellOthers), other_count, capped_names(others))
                                         : std::string(".");
                pieces.push_back(std::move(piece));
                document = std::move(stripped->document);
            }
        }
        if (gated_root && gate_closed) {
            auto stripped = metadata::release_gated_tags::strip_release_gated_tag(document, api_name);
            if (!stripped) {
                fail(stripped.error());
                continue;
            }
            if (*stripped) {
                pieces.push_back(fmt::format(fmt::runtime(kGatedTagNote), (*stripped)->element, (*stripped)->value,
                                             session.api_version(), kReleaseGateMajor, kReleaseGateMinor));
                document = std::move((*stripped)->document);
            }
        }
        if (pieces.empty()) continue;
        std::string note = pieces.front();
        for (std::size_t i = 1; i < pieces.size(); ++i) note += " " + pieces[i];
        filtering.notes.insert_or_assign(row.key(), std::move(note));
        row.source.document = std::move(document);
    }
    remove_rows(rows, failed_keys);
    return filtering;
}

}  // namespace ambrel::app
