#pragma once

// The Revenue Cloud record ports over the Salesforce CLI (`bundle_ports`): the product bundle and
// constraint model listings through `RevenueCloudRecordCatalog`, and the ports that hand a
// `CliRecordChannels` built for the one call to the record work (document synthesis, tagging models,
// bundle and model transfers, target health check and fix); with the two file functions of the
// synthesis, `read_flat_documents` and `write_record_documents`.
//
// The channels use the API version of the request they serve, except the tagging-model listing,
// which always sends "65.0". Progress: the listings report "listingMetadata" (detail "ProductBundle"
// or "ConstraintModel"); the synthesis "retrievingMetadata" per record kind it names; the transfers
// and the fix "deployingRecords" with the record work's text; the health check "checkingTargetHealth"
// with its step counts.
//
// Failures: a listing failure is the catalogue error's mapping with the org alias attached. A
// cancelled transfer fails with kind Cancelled and "The transfer was cancelled; a request already
// sent is still applied by the target."; a cancelled health check, tagging listing or synthesis with
// the workflow's cancellation; a cancelled fix adds "The target fix was cancelled after {} of {}
// records were deleted." (or the longer sentence naming a delete request already sent). Any other
// error text of the record work is kind Operation; none of these carries an org alias.
//
// `read_flat_documents` never fails: a folder that cannot be listed reads as no documents, and an
// entry that is not a regular file (a link included: it is not followed), whose name is not valid
// UTF-8 or lacks the ending, or whose content cannot be read or is not valid UTF-8, is skipped.
// Every file is opened without blocking, so a FIFO cannot stall a compare. `write_record_documents`
// never fails either: it reports "Could not prepare the document for '{}'; the name is not a safe
// file path on this platform." for an unsafe relative path (nothing is written for it) and "Could
// not write the synthesized document for '{}'." when the folders or the file cannot be written; no
// link is followed on the way or at the file's place.
//
// Thread-safety: the ports hold only shared references; any thread, also concurrently.

#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "app/ports/bundle.hpp"
#include "app/workflow_failure.hpp"
#include "cli/gateway.hpp"
#include "progress/progress.hpp"

namespace ambrel::server::wiring {

struct WiringContext;

inline constexpr std::string_view kTaggingModelApiVersion = "65.0";
inline constexpr std::string_view kProductBundleDetail = "ProductBundle";
inline constexpr std::string_view kConstraintModelDetail = "ConstraintModel";
inline constexpr std::string_view kDefinitionTypeName = "ExpressionSetDefinition";
inline constexpr std::string_view kDefinitionVersionTypeName = "ExpressionSetDefinitionVersion";
inline constexpr std::string_view kTransferCancelled =
    "The transfer was cancelled; a request already sent is still applied by the target.";
// Filled with the records deleted, then the records chosen.
inline constexpr std::string_view kFixCancelledFormat =
    "The target fix was cancelled after {} of {} records were deleted.";
// Filled with the records deleted, the records chosen and the records of the request already sent.
inline constexpr std::string_view kFixCancelledInFlightFormat =
    "The target fix was cancelled after {} of {} records were deleted; a delete request for {} more was already sent "
    "and may have been applied by the target.";
// Filled with the relative path.
inline constexpr std::string_view kUnsafeDocumentPathFormat =
    "Could not prepare the document for '{}'; the name is not a safe file path on this platform.";
inline constexpr std::string_view kDocumentWriteFailedFormat = "Could not write the synthesized document for '{}'.";

// The documents of one flat type folder below `root`, by component name ("{name}.{suffix}-meta.xml").
std::map<std::string, std::string> read_flat_documents(const std::filesystem::path& root, std::string_view type_folder,
                                                       std::string_view suffix);

// Writes each document (relative path to text) below `root`, in key order; the messages in the order
// they arose.
std::vector<std::string> write_record_documents(const std::filesystem::path& root,
                                                const std::map<std::string, std::string>& documents);

// The folder and suffix of a type whose documents lie flat in one folder. A type that is unknown or
// not laid out so is a programming error.
std::pair<std::string_view, std::string_view> flat_document_layout(std::string_view type_api_name);

// The four document maps the synthesis reads beside the retrieved metadata.
struct SynthesisDocuments {
    std::map<std::string, std::string> source_definitions;
    std::map<std::string, std::string> target_definitions;
    std::map<std::string, std::string> source_versions;
    std::map<std::string, std::string> target_versions;
};
SynthesisDocuments read_synthesis_documents(const app::ports::RecordSynthesisRequest& request);

// The result of a finished synthesis: its messages, then those of writing the source documents below
// the source folder and the target documents below the target folder; the two reason maps unchanged.
app::RecordSynthesis record_synthesis_of(const app::ports::RecordSynthesisRequest& request,
                                         std::vector<std::string> messages,
                                         const std::map<std::string, std::string>& source_documents,
                                         const std::map<std::string, std::string>& target_documents,
                                         std::map<metadata_types::MetadataType, std::string> type_reasons,
                                         std::map<domain::ComponentKey, std::string> row_reasons);

// Progress of the transfers and the fix: "deployingRecords" with the text as detail.
std::function<void(std::string_view)> transfer_text_progress(std::shared_ptr<progress::ProgressSink> progress);
// Progress of the health check: "checkingTargetHealth" with the step, the total and the label.
std::function<void(std::string_view, std::uint32_t, std::uint32_t)> health_step_progress(
    std::shared_ptr<progress::ProgressSink> progress);

// The failure of a transfer: absent text means cancelled.
app::WorkflowFailure transfer_failure(std::optional<std::string> error);
// The failure of the health check, the tagging listing and the synthesis: absent text means cancelled.
app::WorkflowFailure record_work_failure(std::optional<std::string> error);
// The failure of a cancelled fix.
app::WorkflowFailure fix_cancelled_failure(std::uint64_t deleted, std::uint64_t chosen, std::uint64_t in_flight);

// The bundle group over the shared gateway and progress sink.
std::shared_ptr<const app::ports::BundleDependencies> make_bundle_ports(
    std::shared_ptr<const cli::SfCliGateway> gateway, std::shared_ptr<progress::ProgressSink> progress);
std::shared_ptr<const app::ports::BundleDependencies> make_bundle_ports(const WiringContext& context);

}  // namespace ambrel::server::wiring
