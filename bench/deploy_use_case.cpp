// The deploy use case over 20,000 selected rows through in-memory port fakes: 2,000 layout element rows
// of 200 layouts (each merged into the target's copy), 500 tracking-only fields (spliced into the
// target's copies) and 17,500 ordinary field and Apex class rows, with field-level-security mode
// ADDITIVE in Best Effort and every adaptation pass answering without change. The reference is one
// copy of those rows, which the use case must make once to work on the selection.
// Target: the deploy takes at most 6 times the reference.

#include <benchmark/benchmark.h>

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "../tests/support/fake_deploy_adaptation.hpp"
#include "../tests/support/fake_ports.hpp"
#include "app/application_service.hpp"
#include "app/comparison_session.hpp"

namespace {

using ambrel::domain::ChangeKind;
using ambrel::domain::ComponentDeploymentResult;
using ambrel::domain::ComponentDeploymentStatus;
using ambrel::domain::ComponentDifference;
using ambrel::domain::ComponentKey;
using ambrel::domain::MetadataDeployScope;
using ambrel::metadata_types::MetadataType;
namespace app = ambrel::app;

constexpr int kLayouts = 200;
constexpr int kElementsPerLayout = 10;
constexpr int kTrackingFields = 500;
constexpr int kRows = 20'000;

std::string layout_document(int fields) {
    std::string xml =
        "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<Layout xmlns=\"http://soap.sforce.com/2006/04/metadata\">\n"
        "    <layoutSections>\n        <customLabel>false</customLabel>\n        <label>Information</label>\n"
        "        <layoutColumns>\n";
    for (int i = 0; i < fields; ++i) {
        xml += "            <layoutItems>\n                <behavior>Edit</behavior>\n                <field>F" +
               std::to_string(i) + "__c</field>\n            </layoutItems>\n";
    }
    xml += "        </layoutColumns>\n        <style>OneColumn</style>\n    </layoutSections>\n</Layout>\n";
    return xml;
}

std::string field_document(bool tracked) {
    return std::string("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<CustomField "
                       "xmlns=\"http://soap.sforce.com/2006/04/metadata\">\n    <fullName>F__c</fullName>\n"
                       "    <trackHistory>") +
           (tracked ? "true" : "false") + "</trackHistory>\n    <type>Text</type>\n</CustomField>\n";
}

ComponentDifference make_row(MetadataType type, std::string name, std::string document, MetadataDeployScope scope) {
    ComponentDifference row;
    row.source.key = ComponentKey{type, std::move(name)};
    row.source.document = std::move(document);
    row.change = ChangeKind::Update;
    row.deployable = true;
    row.deploy_scope = scope;
    return row;
}

std::vector<ComponentDifference> selection_rows() {
    std::vector<ComponentDifference> rows;
    rows.reserve(kRows);
    const std::string source_layout = layout_document(kElementsPerLayout);
    for (int layout = 0; layout < kLayouts; ++layout) {
        for (int element = 0; element < kElementsPerLayout; ++element) {
            rows.push_back(make_row(MetadataType::Layout,
                                    "Obj" + std::to_string(layout) + "__c-Layout::field:F" + std::to_string(element) + "__c",
                                    source_layout, MetadataDeployScope::Full));
        }
    }
    for (int field = 0; field < kTrackingFields; ++field) {
        rows.push_back(make_row(MetadataType::CustomField, "Account.Tracked" + std::to_string(field) + "__c",
                                field_document(true), MetadataDeployScope::TrackingOnly));
    }
    const std::string plain = field_document(false);
    for (int i = 0; static_cast<int>(rows.size()) < kRows; ++i) {
        if (i % 2 == 0)
            rows.push_back(make_row(MetadataType::CustomField, "Obj" + std::to_string(i % 100) + "__c.F" + std::to_string(i) + "__c",
                                    plain, MetadataDeployScope::Full));
        else
            rows.push_back(make_row(MetadataType::ApexClass, "Class" + std::to_string(i), "<ApexClass/>",
                                    MetadataDeployScope::Full));
    }
    return rows;
}


// The core ports answering from memory without recording anything: the package succeeds row by row,
// the permission transfer reports nothing, the sanitizer keeps every text.
class LeanCorePorts final : public app::ports::CorePorts {
public:
    using Objects = std::vector<ambrel::cli::catalogs::SalesforceObject>;
    using Token = const ambrel::domain::CancellationToken&;

    explicit LeanCorePorts(std::vector<ambrel::endpoint::OrgAlias> aliases) : aliases_(std::move(aliases)) {}

    app::ports::PortResult<std::vector<ambrel::endpoint::OrgAlias>> org_alias_listing(Token) const override {
        return aliases_;
    }
    app::ports::PortResult<Objects> object_listing(const std::string&, const std::string&, Token) const override {
        return Objects{};
    }
    app::ports::PortResult<Objects> metadata_listing(const std::string&, const std::string&, Token) const override {
        return Objects{};
    }
    app::ports::PortResult<Objects> apex_class_listing(const std::string&, Token) const override { return Objects{}; }
    app::ports::PortResult<app::ports::DependencyDiscovery> dependency_discovery(const std::string&,
                                                                                 const std::vector<ComponentKey>&,
                                                                                 Token) const override {
        return app::ports::DependencyDiscovery{ambrel::dependency::DependencyGraph{}};
    }
    app::ports::PortResult<app::RetrievedWorkspace> metadata_retrieval(const std::string&, const std::string&,
                                                                       const app::CompareSelection&,
                                                                       const std::set<std::string>&,
                                                                       const app::RetrieveContinuation*,
                                                                       ambrel::metadata::retrieve::RetrieveScope,
                                                                       const std::string&, Token) const override {
        return std::unexpected(app::WorkflowFailure::operation("not used"));
    }
    app::ports::PortResult<std::vector<ambrel::domain::MetadataComponent>> component_reading(
        MetadataType, const std::filesystem::path&) const override {
        return std::vector<ambrel::domain::MetadataComponent>{};
    }
    std::vector<ComponentDifference> component_comparison(const ambrel::metadata_types::TypeDescriptor&,
                                                          const std::vector<ambrel::domain::MetadataComponent>&,
                                                          const std::vector<ambrel::domain::MetadataComponent>&,
                                                          const std::set<std::string>&) const override {
        return {};
    }
    app::ports::PortResult<ambrel::deployment::single_package::SinglePackageSummary> single_package_deployment(
        const std::vector<ComponentDifference>& rows, const ambrel::domain::SelectedPermissions&,
        ambrel::domain::FlsMode, const app::ports::ContainerSelection&, ambrel::domain::DeployMode,
        const std::optional<ambrel::domain::ApexTestConfig>&, const ambrel::endpoint::DeployEndpoint&,
        const std::string&, const std::string&, Token) const override {
        ambrel::deployment::single_package::SinglePackageSummary summary;
        summary.component_results.reserve(rows.size());
        for (const auto& row : rows)
            summary.component_results.push_back(
                ComponentDeploymentResult{row.key(), "", row.change, ComponentDeploymentStatus::Succeeded});
        summary.package_completed = true;
        return summary;
    }
    app::ports::PortResult<ambrel::cli::catalogs::OrganizationDescription> org_description(const std::string&,
                                                                                           Token) const override {
        return std::unexpected(app::WorkflowFailure::operation("not used"));
    }
    app::ports::PortResult<std::vector<ambrel::domain::FlsResult>> fls_synchronization(
        const ambrel::endpoint::DeployEndpoint&, const ambrel::endpoint::DeployEndpoint&,
        const ambrel::domain::SelectedPermissions&, ambrel::domain::FlsMode, const app::ports::ContainerSelection&,
        Token) const override {
        return std::vector<ambrel::domain::FlsResult>{};
    }
    app::ports::PortResult<std::vector<ambrel::domain::FlsContainerChoice>> container_matching(
        const ambrel::endpoint::DeployEndpoint&, const ambrel::endpoint::DeployEndpoint&, Token) const override {
        return std::vector<ambrel::domain::FlsContainerChoice>{};
    }
    std::string diagnostic_sanitizer(const std::string& text) const override { return text; }

private:
    std::vector<ambrel::endpoint::OrgAlias> aliases_;
};

std::int64_t document_bytes(const std::vector<ComponentDifference>& rows) {
    std::int64_t bytes = 0;
    for (const auto& row : rows) bytes += static_cast<std::int64_t>(row.source.document.size());
    return bytes;
}

struct Scenario {
    Scenario() {
        rows = selection_rows();
        for (const auto& row : rows) selected.insert(row.key());
        app::ComparisonSession::Parts parts;
        ambrel::endpoint::OrgAlias source;
        source.alias = "src";
        source.username = "src@example.com";
        source.org_id = "00Dsrc";
        ambrel::endpoint::OrgAlias target = source;
        target.alias = "tgt";
        target.username = "tgt@example.com";
        target.org_id = "00Dtgt";
        parts.source = ambrel::endpoint::DeployEndpoint{ambrel::endpoint::DeployEndpoint::Org{source}};
        parts.target = ambrel::endpoint::DeployEndpoint{ambrel::endpoint::DeployEndpoint::Org{target}};
        parts.source_username = source.username;
        parts.target_username = target.username;
        parts.source_org_id = source.org_id;
        parts.target_org_id = target.org_id;
        parts.rows = rows;
        parts.target_org_class = app::TargetOrgClass::NonProduction;
        parts.api_version = "65.0";
        session = app::ComparisonSession::from_parts(std::move(parts));

        core = std::make_shared<LeanCorePorts>(std::vector<ambrel::endpoint::OrgAlias>{source, target});
        adaptation->keep_snapshots = false;
        std::map<std::string, std::string> layouts;
        const std::string target_layout = layout_document(1);
        for (int layout = 0; layout < kLayouts; ++layout) layouts.emplace("Obj" + std::to_string(layout) + "__c-Layout", target_layout);
        ports.target_layout_reading->script.target_layout_reading.answer_with(
            [layouts](const ambrel::endpoint::DeployEndpoint&, const std::set<std::string>&, const std::string&,
                      const ambrel::domain::CancellationToken&) {
                return app::ports::PortResult<std::map<std::string, std::string>>(layouts);
            });
        std::map<std::string, std::string> fields;
        for (int field = 0; field < kTrackingFields; ++field)
            fields.emplace("Account.Tracked" + std::to_string(field) + "__c", field_document(false));
        ports.tracking->script.target_field_reading.answer_with(
            [fields](const ambrel::endpoint::DeployEndpoint&, const std::set<std::string>&, const std::string&,
                     const ambrel::domain::CancellationToken&) {
                return app::ports::PortResult<std::map<std::string, std::string>>(fields);
            });
        adaptation->on_splice_tracking = [](std::string_view document, bool, bool) {
            return std::expected<std::string, std::string>(std::string(document));
        };
        auto built = app::QuillaryApplicationService::with_git_and_layouts(
            core, ports.git, ports.target_layout_reading, ports.permission_set_name_listing, ports.schema,
            ports.bundle);
        built = app::QuillaryApplicationService::with_tracking(std::move(built), ports.tracking);
        service = std::make_unique<app::QuillaryApplicationService>(
            app::QuillaryApplicationService::with_deploy_adaptation(std::move(built), adaptation));
    }

    std::vector<ComponentDifference> rows;
    app::SelectedKeys selected;
    std::shared_ptr<app::ComparisonSession> session;
    ambrel::testing::RecordingPorts ports;
    std::shared_ptr<LeanCorePorts> core;
    std::shared_ptr<ambrel::testing::RecordingDeployAdaptation> adaptation =
        std::make_shared<ambrel::testing::RecordingDeployAdaptation>();
    std::unique_ptr<app::QuillaryApplicationService> service;
};

Scenario& scenario() {
    static Scenario instance;
    return instance;
}

void BM_DeployBestEffortAdditive(benchmark::State& state) {
    Scenario& s = scenario();
    ambrel::domain::NeverCancelled token;
    for (auto _ : state) {
        auto summary = s.service->deploy(*s.session, s.selected, ambrel::domain::FlsMode::Additive, std::nullopt,
                                         ambrel::domain::DeployMode::BestEffort, std::nullopt, token);
        if (!summary || summary->component_results.size() != static_cast<std::size_t>(kRows)) {
            state.SkipWithError("the deploy did not report one result per row");
            break;
        }
        benchmark::DoNotOptimize(summary);
    }
    state.SetBytesProcessed(state.iterations() * document_bytes(s.rows));
}
BENCHMARK(BM_DeployBestEffortAdditive)->Unit(benchmark::kMillisecond);

void BM_CopyRowsReference(benchmark::State& state) {
    Scenario& s = scenario();
    for (auto _ : state) {
        std::vector<ComponentDifference> copy = s.session->rows();
        benchmark::DoNotOptimize(copy);
    }
    state.SetBytesProcessed(state.iterations() * document_bytes(s.rows));
}
BENCHMARK(BM_CopyRowsReference)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
