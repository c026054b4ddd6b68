#include "app/model_shells.hpp"

#include <utility>

#include <fmt/format.h>

#include "app/application_service.hpp"
#include "app/compare_steps.hpp"
#include "data/bundles/synthesis/versions.hpp"
#include "metadata/retrieve/selection.hpp"

namespace ambrel::app {

namespace {

using metadata_types::MetadataType;

constexpr std::string_view kExpressionSetDefinition = "ExpressionSetDefinition";

const std::set<std::string>& names_of(const CompareSelection& selection, MetadataType type) {
    static const std::set<std::string> kNone;
    const auto found = selection.find(type);
    return found == selection.end() ? kNone : found->second;
}

}  // namespace

CompareSelection retrieve_manifest_with_model_shells(const CompareSelection& selection) {
    CompareSelection manifest = selection;
    std::vector<std::string> shells;
    for (const std::string& name : names_of(selection, MetadataType::ConstraintModel)) {
        if (metadata::retrieve::is_object_api_name(name)) shells.push_back(name);
    }
    if (shells.empty()) return manifest;
    const auto definition = metadata_types::metadata_type_by_wire_id(kExpressionSetDefinition);
    if (!definition) return manifest;
    std::set<std::string>& into = manifest[*definition];
    for (std::string& name : shells) into.insert(std::move(name));
    return manifest;
}

std::vector<std::string> constraint_model_additions(const std::map<std::string, std::set<std::string>>& tagging,
                                                    const std::set<std::string>& selected_bundles,
                                                    const std::set<std::string>& selected_models) {
    std::vector<std::string> additions;
    for (const auto& [model, bundles] : tagging) {
        if (selected_models.contains(model)) continue;
        for (const std::string& bundle : bundles) {
            if (selected_bundles.contains(bundle)) {
                additions.push_back(model);
                break;
            }
        }
    }
    return additions;
}

std::expected<void, WorkflowFailure> QuillaryApplicationService::widen_with_tagging_models(
    const ports::BundleDependencies& bundle, CompareSelection& selection, const std::string& org,
    const std::string& label, const std::string& api_version, dependency::WarningList& warnings,
    const domain::CancellationToken& token) {
    const std::set<std::string> bundles = names_of(selection, MetadataType::ProductBundle);
    if (bundles.empty()) return {};
    if (!data::bundles::synthesis::api_version_is_supported(api_version)) return {};
    if (auto live = throw_if_cancelled(token); !live) return live;
    auto tagging = bundle.tagging_model_listing(org, bundles, token);
    if (!tagging) {
        if (tagging.error().kind == FailureKind::Cancelled) return std::unexpected(std::move(tagging.error()));
        const std::string first = tagging.error().messages.empty() ? std::string() : tagging.error().messages.front();
        dependency::push_warning(warnings, fmt::format(fmt::runtime(kTaggingListingFailedFormat), label, first));
        return {};
    }
    std::vector<std::string> additions =
        constraint_model_additions(*tagging, bundles, names_of(selection, MetadataType::ConstraintModel));
    if (additions.empty()) return {};
    std::set<std::string>& models = selection[MetadataType::ConstraintModel];
    for (std::string& model : additions) models.insert(std::move(model));
    return {};
}

UseCaseResult<RecordSynthesis> QuillaryApplicationService::synthesize_record_documents(
    const ports::BundleDependencies& bundle, const CompareSelection& selection, const endpoint::OrgAlias& source,
    const endpoint::OrgAlias& target, const std::shared_ptr<metadata::workspace::MetadataWorkspace>& workspace,
    const std::string& api_version, const domain::CancellationToken& token) {
    const std::set<std::string>& bundles = names_of(selection, MetadataType::ProductBundle);
    const std::set<std::string>& models = names_of(selection, MetadataType::ConstraintModel);
    if (bundles.empty() && models.empty()) return RecordSynthesis{};
    if (auto live = throw_if_cancelled(token); !live) return std::unexpected(std::move(live.error()));
    ports::RecordSynthesisRequest request{
        .source_username = source.username,
        .target_username = target.username,
        .source_alias = source.alias,
        .target_alias = target.alias,
        .bundle_names = bundles,
        .model_names = models,
        .api_version = api_version,
        .source_documents_folder = workspace->source_project() / kProjectMetadataFolder,
        .target_documents_folder = workspace->target_project() / kProjectMetadataFolder,
    };
    return bundle.bundle_document_synthesis(request, token);
}

}  // namespace ambrel::app
