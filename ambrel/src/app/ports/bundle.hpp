#pragma once

// The Revenue Cloud record ports: bundle and model listings, the synthesis of record documents, the
// bundle record and model transfers, the tagging models of bundles, and the target health check and
// fix; with the request records the service builds for them. Callable from several threads at once;
// failures are WorkflowFailure values.

#include <filesystem>
#include <map>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "app/ports/port_result.hpp"
#include "app/record_synthesis.hpp"
#include "cli/catalogs/salesforce_object.hpp"
#include "data/bundles/transfer/fix_outcome.hpp"
#include "data/bundles/transfer/health_report.hpp"
#include "deployment/model_deploy_request.hpp"
#include "deployment/model_row_outcome.hpp"
#include "deployment/record_row_outcome.hpp"
#include "domain/cancellation.hpp"

namespace ambrel::app::ports {

// The bundle record transfer and the health check: both orgs, their labels and the bundle documents.
struct RecordDeployRequest {
    std::string source_org;
    std::string target_org;
    std::string source_label;
    std::string target_label;
    // Bundle name to document text.
    std::map<std::string, std::string> documents;
    std::string api_version;
    bool operator==(const RecordDeployRequest&) const = default;
};

// The records the health fix deletes, by object.
struct TargetFixRequest {
    std::string target_org;
    // (object API name, record ids), in the order given.
    std::vector<std::pair<std::string, std::vector<std::string>>> records;
    std::string api_version;
    bool operator==(const TargetFixRequest&) const = default;
};

// What the synthesis of record documents reads and where it writes them.
struct RecordSynthesisRequest {
    std::string source_username;
    std::string target_username;
    std::string source_alias;
    std::string target_alias;
    std::set<std::string> bundle_names;
    std::set<std::string> model_names;
    std::string api_version;
    std::filesystem::path source_documents_folder;
    std::filesystem::path target_documents_folder;
    bool operator==(const RecordSynthesisRequest&) const = default;
};

class BundleDependencies {
public:
    virtual ~BundleDependencies() = default;

    virtual PortResult<std::vector<cli::catalogs::SalesforceObject>> product_bundle_listing(
        const std::string& org, const domain::CancellationToken& token) const = 0;
    virtual PortResult<std::vector<cli::catalogs::SalesforceObject>> constraint_model_listing(
        const std::string& org, const domain::CancellationToken& token) const = 0;
    virtual PortResult<RecordSynthesis> bundle_document_synthesis(const RecordSynthesisRequest& request,
                                                                  const domain::CancellationToken& token) const = 0;
    virtual PortResult<std::vector<deployment::RecordRowOutcome>> product_bundle_transfer(
        const RecordDeployRequest& request, const domain::CancellationToken& token) const = 0;
    // Constraint model name to the bundle names it tags.
    virtual PortResult<std::map<std::string, std::set<std::string>>> tagging_model_listing(
        const std::string& org, const std::set<std::string>& bundle_names,
        const domain::CancellationToken& token) const = 0;
    virtual PortResult<std::vector<deployment::ModelRowOutcome>> constraint_model_transfer(
        const deployment::ModelDeployRequest& request, const domain::CancellationToken& token) const = 0;
    virtual PortResult<data::bundles::transfer::HealthReport> target_health_planning(
        const RecordDeployRequest& request, const domain::CancellationToken& token) const = 0;
    virtual PortResult<data::bundles::transfer::FixOutcome> target_record_deletion(
        const TargetFixRequest& request, const domain::CancellationToken& token) const = 0;
};

}  // namespace ambrel::app::ports
