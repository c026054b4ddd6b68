#pragma once

// Carries the selected permissions (field-level security and the other selected subjects) of a
// deploy from the source's permission containers to the target's. One run lists the containers of
// both sides (or takes the source's documents given in advance), classifies them, applies the
// user's container selection, retrieves the documents it needs, merges the selected permissions
// into each target document or builds a new permission set document, and then either deploys the
// changed documents itself through the orchestrator (`sync`) or hands them to the single-package
// deploy (`prepare`). It reports one `FlsResult` per container and subject.
//
// `merge_container_documents` serves a deploy to a git branch: it merges documents held as text and
// returns the changed texts, without listing, retrieving, deploying or reporting rows.
//
// Failures are one value, `FlsSyncFailure`: an `FlsSyncError` (texts below) and, when closing the
// retrieve workspace failed as well, that `WorkspaceError`. Texts: "Preset source permission metadata
// is missing a requested component", "Retrieved source permission metadata is missing a requested
// component", "Retrieved target permission metadata is missing a requested component", "Changed
// permission metadata did not produce a deployable component", "Created permission metadata did not
// produce a deployable component", "Permission deployment returned no state for a requested
// component", "Selected field keys must contain valid Salesforce API names", "Selected permission
// subjects must contain valid Salesforce API names", "Permission metadata full name must not be
// blank" (a repository document without a name), the reader's and the merger's texts. Caller faults
// throw support::ProgrammingError: mode NONE ("FLS synchronization requires a transfer mode"), blank
// aliases ("Source Salesforce alias must not be blank", "Target Salesforce alias must not be
// blank"), equal aliases ("Source and target Salesforce aliases must be different") and a selected
// field whose key differs from its definition ("Selected field key must match its custom field
// definition"). A failure discards every row of the run.
//
// Once the orchestrator has returned, the deploy has changed the target: its outcome is always
// reported, even when the token is cancelled afterwards or the retrieve workspace cannot be removed
// (that failure becomes the diagnostic line "Temporary permission retrieve workspace cleanup failed:
// {}" with the workspace's text).
//
// Borrows the catalogue, the batch deployer and the licence channel for its life (they must outlive
// it); shares the retriever. A run works on the calling thread and starts no thread.

#include <expected>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "deployment/fls_catalog/fls_catalog.hpp"
#include "deployment/fls_orchestrator/fls_orchestrator.hpp"
#include "deployment/fls_synchronizer/classification.hpp"
#include "deployment/permission_batch/batch_deployer.hpp"
#include "deployment/single_package/prepared_container.hpp"
#include "domain/fls.hpp"
#include "metadata/permission_merger/permission_merger.hpp"
#include "metadata/permission_retrieve/permission_retrieve_service.hpp"

namespace ambrel::deployment::fls_synchronizer {

using metadata::permission_models::PermissionMetadataComponent;
using metadata::permission_models::PreparedPermissionComponent;
using metadata::permission_retrieve::RetrievedPermissionMetadata;

inline constexpr std::string_view kModeRequired = "FLS synchronization requires a transfer mode";
inline constexpr std::string_view kBlankSourceAlias = "Source Salesforce alias must not be blank";
inline constexpr std::string_view kBlankTargetAlias = "Target Salesforce alias must not be blank";
inline constexpr std::string_view kEqualAliases = "Source and target Salesforce aliases must be different";
inline constexpr std::string_view kFieldKeyMismatch = "Selected field key must match its custom field definition";
inline constexpr std::string_view kInvalidFieldNames = "Selected field keys must contain valid Salesforce API names";
inline constexpr std::string_view kInvalidSubjectNames = "Selected permission subjects must contain valid Salesforce API names";
inline constexpr std::string_view kPresetMissing = "Preset source permission metadata is missing a requested component";
inline constexpr std::string_view kRetrievedSourceMissing = "Retrieved source permission metadata is missing a requested component";
inline constexpr std::string_view kRetrievedTargetMissing = "Retrieved target permission metadata is missing a requested component";
inline constexpr std::string_view kChangedWithoutDocument = "Changed permission metadata did not produce a deployable component";
inline constexpr std::string_view kCreatedWithoutDocument = "Created permission metadata did not produce a deployable component";
inline constexpr std::string_view kNoDeployState = "Permission deployment returned no state for a requested component";
inline constexpr std::string_view kNotSelected = "Not selected for permission transfer.";
inline constexpr std::string_view kRequiredFieldSkipped = "Required fields do not support field-level security and were skipped.";
inline constexpr std::string_view kUnrecognizedValue = "The value '{}' is not recognized, so the permission was left unchanged.";
inline constexpr std::string_view kDefaultRecordTypeKept =
    "The record type is the default one in the target container, so it cannot be hidden there; the permission was left unchanged.";
inline constexpr std::string_view kNoChangeNeeded = "The permission requires no change.";
inline constexpr std::string_view kApiNamePattern = "^[A-Za-z][A-Za-z0-9_]*$";
inline constexpr std::string_view kRetrieveCleanupFailed = "Temporary permission retrieve workspace cleanup failed: {}";

struct FlsSyncFailure {
    FlsSyncError error;
    std::optional<metadata::workspace::WorkspaceError> workspace;
    friend bool operator==(const FlsSyncFailure&, const FlsSyncFailure&) = default;
};

struct FlsPreparation {
    std::vector<single_package::PreparedFlsContainer> containers;
    // Rows decided before the deploy, in the order they were made.
    std::vector<domain::FlsResult> results;
    // Present when a retrieve ran; its workspace is still open and the caller closes it.
    std::optional<RetrievedPermissionMetadata> retrieved;
};

// The permission retrieve, as the synchroniser calls it.
class PermissionRetriever {
public:
    virtual ~PermissionRetriever() = default;
    virtual std::expected<RetrievedPermissionMetadata, metadata::retrieve::RetrieveFailure> retrieve(
        std::string_view source_alias, std::string_view target_alias, const metadata::permission_retrieve::PermissionKeys& source_keys,
        const metadata::permission_retrieve::PermissionKeys& target_keys, const std::set<domain::PermissionSubject>& subjects,
        const domain::CancellationToken& token) const = 0;
};

// The retrieve service behind the interface. Borrows the service, which must outlive it.
class ServicePermissionRetriever final : public PermissionRetriever {
public:
    explicit ServicePermissionRetriever(const metadata::permission_retrieve::PermissionMetadataRetrieveService& service)
        : service_(&service) {}
    std::expected<RetrievedPermissionMetadata, metadata::retrieve::RetrieveFailure> retrieve(
        std::string_view source_alias, std::string_view target_alias, const metadata::permission_retrieve::PermissionKeys& source_keys,
        const metadata::permission_retrieve::PermissionKeys& target_keys, const std::set<domain::PermissionSubject>& subjects,
        const domain::CancellationToken& token) const override {
        return service_->retrieve(source_alias, target_alias, source_keys, target_keys, subjects, token);
    }

private:
    const metadata::permission_retrieve::PermissionMetadataRetrieveService* service_;
};

using ContainerSelection = std::set<ContainerRef>;
using PresetDocuments = std::map<PermissionComponentKey, std::string>;

class FlsSynchronizer {
public:
    // As the service wiring builds it: the aliases, the catalogue, the retrieve service, the batch
    // deployer and the optional licence channel.
    FlsSynchronizer(std::string source_alias, std::string target_alias, const fls_catalog::FlsContainerCatalog& catalog,
                    const metadata::permission_retrieve::PermissionMetadataRetrieveService& retrieve_service,
                    permission_batch::PermissionComponentBatchDeployer& deployer,
                    const ContainerLicenseChannel* license_channel = nullptr);
    FlsSynchronizer(std::string source_alias, std::string target_alias, const fls_catalog::FlsContainerCatalog& catalog,
                    std::shared_ptr<const PermissionRetriever> retriever,
                    permission_batch::PermissionComponentBatchDeployer& deployer,
                    const ContainerLicenseChannel* license_channel = nullptr);

    // The synchroniser reading the source from these documents (a previous set is dropped).
    FlsSynchronizer with_source_documents(PresetDocuments documents) &&;

    std::expected<std::vector<domain::FlsResult>, FlsSyncFailure> sync(const domain::SelectedPermissions& selected,
                                                                      domain::FlsMode mode,
                                                                      const std::optional<ContainerSelection>& selection,
                                                                      const domain::CancellationToken& token) const;
    std::expected<FlsPreparation, FlsSyncFailure> prepare(const domain::SelectedPermissions& selected, domain::FlsMode mode,
                                                          const std::optional<ContainerSelection>& selection,
                                                          const domain::CancellationToken& token) const;

private:
    struct Run;
    struct Classified;
    struct Merged;

    std::expected<void, FlsSyncError> validate(const domain::SelectedPermissions& selected) const;
    std::expected<Classified, FlsSyncError> classify_and_retrieve(Run& run) const;
    std::expected<Merged, FlsSyncError> merge_prepare(Run& run, Classified& classified) const;
    std::expected<PermissionMetadataComponent, FlsSyncError> source_component(
        const PermissionComponentKey& key, const std::optional<RetrievedPermissionMetadata>& retrieved) const;
    std::vector<domain::FlsContainer> preset_source_containers() const;

    std::optional<PresetDocuments> preset_;
    std::string source_alias_;
    std::string target_alias_;
    const fls_catalog::FlsContainerCatalog* catalog_;
    std::shared_ptr<const PermissionRetriever> retriever_;
    permission_batch::PermissionComponentBatchDeployer* deployer_;
    const ContainerLicenseChannel* license_channel_;
    metadata::permission_merger::PermissionMetadataMerger merger_;
};

// One result row.
domain::FlsResult result(const domain::FlsContainer& container, const domain::PermissionSubject& subject,
                         domain::PermissionGrant grant, domain::FlsResultStatus status, std::string message);
// One SKIPPED row with the no-access grant per subject, in order.
void add_for_every_subject(std::vector<domain::FlsResult>& rows, const domain::FlsContainer& container,
                           const std::vector<domain::PermissionSubject>& subjects, std::string_view message);

std::expected<PermissionMetadataComponent, FlsSyncError> component_from_xml(const PermissionComponentKey& key,
                                                                            std::string xml);
std::string created_permission_set_document(std::string_view source_document, std::string_view api_name);
std::string xml_escape(std::string_view text);

// (kind, full name) -> document text.
using DocumentMap = std::map<ContainerRef, std::string>;
std::expected<DocumentMap, FlsSyncError> merge_container_documents(const DocumentMap& source, const DocumentMap& target,
                                                                  const domain::SelectedPermissions& selected,
                                                                  domain::FlsMode mode);

}  // namespace ambrel::deployment::fls_synchronizer
