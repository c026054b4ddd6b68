#include "wiring/bundle_ports.hpp"

#include <fmt/format.h>
#include <system_error>
#include <variant>

#include "cli/catalogs/revenue_cloud_catalog.hpp"
#include "main/stand_in_service.hpp"
#include "metadata_types/metadata_type.hpp"
#include "metadata_types/name_rules.hpp"
#include "metadata_types/type_descriptor.hpp"
#include "platform_fs/below.hpp"
#include "platform_fs/files.hpp"
#include "support/programming_error.hpp"
#include "text/text.hpp"
#include "wiring/failure_mapping.hpp"
#include "wiring/record_channels.hpp"
#include "wiring/wiring_context.hpp"

namespace ambrel::server::wiring {
namespace {

using app::WorkflowFailure;
using app::ports::PortResult;
using app::ports::RecordDeployRequest;
using app::ports::RecordSynthesisRequest;
using app::ports::TargetFixRequest;
using cli::catalogs::SalesforceObject;
using domain::CancellationToken;

constexpr std::string_view kFlatEndingFormat = ".{}-meta.xml";

// Stands where a piece of the record work is not part of this build yet.
std::unexpected<WorkflowFailure> record_work_missing() {
    return std::unexpected(WorkflowFailure::operation(kStandInMessage));
}

class CliBundlePorts final : public app::ports::BundleDependencies {
public:
    CliBundlePorts(std::shared_ptr<const cli::SfCliGateway> gateway, std::shared_ptr<progress::ProgressSink> progress)
        : gateway_(std::move(gateway)), progress_(std::move(progress)) {}

    PortResult<std::vector<SalesforceObject>> product_bundle_listing(const std::string& org,
                                                                     const CancellationToken& token) const override {
        progress_->report(progress::ProgressStage::ListingMetadata, std::nullopt, std::nullopt, kProductBundleDetail);
        return listed(org, catalog().list_product_bundles(org, token));
    }

    PortResult<std::vector<SalesforceObject>> constraint_model_listing(const std::string& org,
                                                                       const CancellationToken& token) const override {
        progress_->report(progress::ProgressStage::ListingMetadata, std::nullopt, std::nullopt, kConstraintModelDetail);
        return listed(org, catalog().list_constraint_models(org, token));
    }

    PortResult<app::RecordSynthesis> bundle_document_synthesis(const RecordSynthesisRequest& request,
                                                               const CancellationToken& token) const override {
        if (!request.bundle_names.empty()) {
            progress_->report(progress::ProgressStage::RetrievingMetadata, std::nullopt, std::nullopt,
                              kProductBundleDetail);
        }
        CliRecordChannels channels(request.api_version, *gateway_);
        if (!request.model_names.empty()) {
            progress_->report(progress::ProgressStage::RetrievingMetadata, std::nullopt, std::nullopt,
                              kConstraintModelDetail);
        }
        const SynthesisDocuments documents = read_synthesis_documents(request);
        // Requests go to the usernames; the aliases only label the sides in messages. Joined to
        // synthesis::synthesize (channels, both sides, the names, the version, the token); its outcome
        // goes to record_synthesis_of, its error to record_work_failure.
        (void)channels;
        (void)documents;
        (void)token;
        return record_work_missing();
    }

    PortResult<std::vector<deployment::RecordRowOutcome>> product_bundle_transfer(
        const RecordDeployRequest& request, const CancellationToken& token) const override {
        CliRecordChannels channels(request.api_version, *gateway_);
        const auto progress = transfer_text_progress(progress_);
        // Joined to transfer::transfer_bundles (channels, the request, progress, token): an error goes
        // to transfer_failure, the rows are returned in order.
        (void)channels;
        (void)progress;
        (void)token;
        return record_work_missing();
    }

    PortResult<std::map<std::string, std::set<std::string>>> tagging_model_listing(
        const std::string& org, const std::set<std::string>& bundle_names,
        const CancellationToken& token) const override {
        CliRecordChannels channels(std::string(kTaggingModelApiVersion), *gateway_);
        // Joined to synthesis::tagging_models_for_bundles (channels, org, bundle names, token): an
        // error goes to record_work_failure, the map is returned unchanged.
        (void)channels;
        (void)org;
        (void)bundle_names;
        (void)token;
        return record_work_missing();
    }

    PortResult<std::vector<deployment::ModelRowOutcome>> constraint_model_transfer(
        const deployment::ModelDeployRequest& request, const CancellationToken& token) const override {
        CliRecordChannels channels(request.api_version, *gateway_);
        const auto progress = transfer_text_progress(progress_);
        // Joined to model_transfer::transfer_models (channels, the target username, the documents,
        // progress, token), whose outcomes are the rows in order.
        (void)channels;
        (void)progress;
        (void)token;
        return record_work_missing();
    }

    PortResult<data::bundles::transfer::HealthReport> target_health_planning(
        const RecordDeployRequest& request, const CancellationToken& token) const override {
        CliRecordChannels channels(request.api_version, *gateway_);
        const auto progress = health_step_progress(progress_);
        // Joined to transfer::plan_health (channels, the request, a step callable passing label, step
        // and total to progress, token): an error goes to record_work_failure, the report is returned.
        (void)channels;
        (void)progress;
        (void)token;
        return record_work_missing();
    }

    PortResult<data::bundles::transfer::FixOutcome> target_record_deletion(
        const TargetFixRequest& request, const CancellationToken& token) const override {
        CliRecordChannels channels(request.api_version, *gateway_);
        const auto progress = transfer_text_progress(progress_);
        // Joined to transfer::delete_target_records (channels, the target org, the records,
        // progress, token): a cancellation's counts (deleted, total, in flight) go to
        // fix_cancelled_failure, the outcome is returned as made.
        (void)channels;
        (void)progress;
        (void)token;
        return record_work_missing();
    }

private:
    cli::catalogs::RevenueCloudRecordCatalog catalog() const {
        return cli::catalogs::RevenueCloudRecordCatalog(*gateway_, kRecordRequestTimeout);
    }

    static PortResult<std::vector<SalesforceObject>> listed(
        std::string_view org, std::expected<std::vector<SalesforceObject>, cli::CatalogError> rows) {
        if (!rows)
            return std::unexpected(WorkflowFailure::with_org_alias(catalog_to_failure(std::move(rows.error())), org));
        return std::move(*rows);
    }

    std::shared_ptr<const cli::SfCliGateway> gateway_;
    std::shared_ptr<progress::ProgressSink> progress_;
};

}  // namespace

std::map<std::string, std::string> read_flat_documents(const std::filesystem::path& root, std::string_view type_folder,
                                                       std::string_view suffix) {
    const std::string ending = fmt::format(fmt::runtime(kFlatEndingFormat), suffix);
    std::map<std::string, std::string> documents;
    std::error_code error;
    std::filesystem::directory_iterator entries(root / std::filesystem::path(std::string(type_folder)), error);
    if (error) return documents;
    for (auto it = entries; it != std::filesystem::directory_iterator(); it.increment(error)) {
        if (error) break;
        const std::string file_name = it->path().filename().string();
        if (!text::is_valid_utf8(file_name) || file_name.size() <= ending.size() || !file_name.ends_with(ending)) {
            continue;
        }
        // Opened without blocking and without following a link: only a regular file is a document.
        auto content = platform_fs::files::read_regular_file(it->path());
        if (!content || !text::is_valid_utf8(*content)) continue;
        documents.emplace(file_name.substr(0, file_name.size() - ending.size()), std::move(*content));
    }
    return documents;
}

std::vector<std::string> write_record_documents(const std::filesystem::path& root,
                                                const std::map<std::string, std::string>& documents) {
    std::vector<std::string> messages;
    for (const auto& [relative, content] : documents) {
        if (!metadata_types::is_safe_relative_path_for(relative, false)) {
            messages.push_back(fmt::format(fmt::runtime(kUnsafeDocumentPathFormat), relative));
            continue;
        }
        std::error_code error;
        std::filesystem::create_directories(root, error);
        if (!error) {
            error = platform_fs::below::write_file(root, relative, content, platform_fs::below::WriteMode::Replace);
        }
        if (error) messages.push_back(fmt::format(fmt::runtime(kDocumentWriteFailedFormat), relative));
    }
    return messages;
}

std::pair<std::string_view, std::string_view> flat_document_layout(std::string_view type_api_name) {
    const auto type = metadata_types::MetadataType::from_api_name(type_api_name);
    if (!type) support::fail_precondition(fmt::format("{} is not a known metadata type", type_api_name));
    const metadata_types::PathTemplate* path = type->descriptor().content_format.decomposed_template();
    const auto* flat =
        path == nullptr ? nullptr : std::get_if<metadata_types::PathTemplate::DirectorySuffix>(&path->value);
    if (flat == nullptr)
        support::fail_precondition(fmt::format("{} descriptor is not PathTemplate::Flat", type_api_name));
    return {flat->directory, flat->suffix};
}

SynthesisDocuments read_synthesis_documents(const RecordSynthesisRequest& request) {
    const auto [definition_folder, definition_suffix] = flat_document_layout(kDefinitionTypeName);
    const auto [version_folder, version_suffix] = flat_document_layout(kDefinitionVersionTypeName);
    return SynthesisDocuments{
        read_flat_documents(request.source_documents_folder, definition_folder, definition_suffix),
        read_flat_documents(request.target_documents_folder, definition_folder, definition_suffix),
        read_flat_documents(request.source_documents_folder, version_folder, version_suffix),
        read_flat_documents(request.target_documents_folder, version_folder, version_suffix),
    };
}

app::RecordSynthesis record_synthesis_of(const RecordSynthesisRequest& request, std::vector<std::string> messages,
                                         const std::map<std::string, std::string>& source_documents,
                                         const std::map<std::string, std::string>& target_documents,
                                         std::map<metadata_types::MetadataType, std::string> type_reasons,
                                         std::map<domain::ComponentKey, std::string> row_reasons) {
    for (std::string& message : write_record_documents(request.source_documents_folder, source_documents)) {
        messages.push_back(std::move(message));
    }
    for (std::string& message : write_record_documents(request.target_documents_folder, target_documents)) {
        messages.push_back(std::move(message));
    }
    return app::RecordSynthesis{std::move(messages), std::move(type_reasons), std::move(row_reasons)};
}

std::function<void(std::string_view)> transfer_text_progress(std::shared_ptr<progress::ProgressSink> progress) {
    return [progress = std::move(progress)](std::string_view text) {
        progress->report(progress::ProgressStage::DeployingRecords, std::nullopt, std::nullopt, text);
    };
}

std::function<void(std::string_view, std::uint32_t, std::uint32_t)> health_step_progress(
    std::shared_ptr<progress::ProgressSink> progress) {
    return [progress = std::move(progress)](std::string_view label, std::uint32_t step, std::uint32_t total) {
        progress->report(progress::ProgressStage::CheckingTargetHealth, step, total, label);
    };
}

WorkflowFailure transfer_failure(std::optional<std::string> error) {
    if (!error) return WorkflowFailure::single(app::FailureKind::Cancelled, kTransferCancelled);
    return WorkflowFailure::single(app::FailureKind::Operation, *error);
}

WorkflowFailure record_work_failure(std::optional<std::string> error) {
    if (!error) return WorkflowFailure::cancelled();
    return WorkflowFailure::single(app::FailureKind::Operation, *error);
}

WorkflowFailure fix_cancelled_failure(std::uint64_t deleted, std::uint64_t chosen, std::uint64_t in_flight) {
    WorkflowFailure failure = WorkflowFailure::cancelled();
    failure.add_suppressed(in_flight != 0
                               ? fmt::format(fmt::runtime(kFixCancelledInFlightFormat), deleted, chosen, in_flight)
                               : fmt::format(fmt::runtime(kFixCancelledFormat), deleted, chosen));
    return failure;
}

std::shared_ptr<const app::ports::BundleDependencies> make_bundle_ports(
    std::shared_ptr<const cli::SfCliGateway> gateway, std::shared_ptr<progress::ProgressSink> progress) {
    return std::make_shared<CliBundlePorts>(std::move(gateway), std::move(progress));
}

std::shared_ptr<const app::ports::BundleDependencies> make_bundle_ports(const WiringContext& context) {
    return make_bundle_ports(context.sf, context.progress);
}

}  // namespace ambrel::server::wiring
