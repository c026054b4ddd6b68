// Session assembly of a compare between two orgs over 20,000 rows, through in-memory ports: every
// selected type is read from both sides (copies of prepared components, about 1 KB of document
// each), compared by a port that matches names through a hash index, run through the row policies,
// the record-row and model steps, the dependency graph (a discovered graph in which each Apex class
// requires the previous one, and fields of added objects), the blocked rows and requested-row
// retention, and made into a session. The reference is one pass copying the same 20,000 rows.
// Target: assembly costs no more than 5x the reference, and nothing in it grows quadratically with
// rows or edges.

#include <benchmark/benchmark.h>

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <unordered_map>
#include <vector>

#include "app/application_service.hpp"
#include "domain/cancellation.hpp"
#include "metadata/workspace/workspace.hpp"
#include "platform_fs/files.hpp"

namespace {

namespace app = ambrel::app;
namespace ports = ambrel::app::ports;
using ambrel::domain::CancellationToken;
using ambrel::domain::ChangeKind;
using ambrel::domain::ComponentDifference;
using ambrel::domain::ComponentKey;
using ambrel::domain::MetadataComponent;
using ambrel::metadata_types::MetadataType;
using Components = std::vector<MetadataComponent>;

// The full compare is 20,000 rows: half Apex classes, 2,000 objects with three fields each, 2,000
// flows. Smaller runs scale every kind down alike, to show how the cost grows.
constexpr std::size_t kRows = 20'000;
constexpr std::size_t kFieldsPerObject = 3;
constexpr std::size_t kDocumentBytes = 1'000;

template <class T>
ports::PortResult<T> not_here() {
    return std::unexpected(app::WorkflowFailure::operation("not used by assembly"));
}

std::string document_of(const std::string& name) {
    std::string document = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<Document>\n";
    while (document.size() < kDocumentBytes) document += "    <label>" + name + "</label>\n";
    return document + "</Document>\n";
}

MetadataComponent component(MetadataType type, std::string name) {
    MetadataComponent result;
    result.document = document_of(name);
    result.key = ComponentKey{type, std::move(name)};
    return result;
}

// The components of both orgs, by side and type, and what the user asked for.
struct World {
    std::map<MetadataType, Components> source;
    std::map<MetadataType, Components> target;
    app::CompareSelection working;
    app::CompareSelection requested;
    ambrel::dependency::DependencyGraph discovered;
    std::size_t rows = 0;
    std::size_t bytes = 0;
};

World build_world(std::size_t rows) {
    const std::size_t classes = rows / 2;
    const std::size_t objects = rows / 10;
    const std::size_t flows = rows / 10;
    World world;
    for (std::size_t i = 0; i < classes; ++i) {
        const std::string name = "Class" + std::to_string(i);
        world.source[MetadataType::ApexClass].push_back(component(MetadataType::ApexClass, name));
        if (i % 2 == 0) {
            MetadataComponent changed = component(MetadataType::ApexClass, name);
            changed.document += "<!-- target -->";
            world.target[MetadataType::ApexClass].push_back(std::move(changed));
        }
        world.working[MetadataType::ApexClass].insert(name);
        if (i % 2 == 1) world.requested[MetadataType::ApexClass].insert(name);
        if (i > 0) {
            world.discovered.edges[ComponentKey{MetadataType::ApexClass, name}].insert(
                ComponentKey{MetadataType::ApexClass, "Class" + std::to_string(i - 1)});
        }
    }
    for (std::size_t i = 0; i < objects; ++i) {
        const std::string object = "Obj" + std::to_string(i) + "__c";
        world.source[MetadataType::CustomObject].push_back(component(MetadataType::CustomObject, object));
        world.working[MetadataType::CustomObject].insert(object);
        world.working[MetadataType::CustomField].insert(object);
        world.requested[MetadataType::CustomField].insert(object);
        for (std::size_t f = 0; f < kFieldsPerObject; ++f) {
            world.source[MetadataType::CustomField].push_back(
                component(MetadataType::CustomField, object + ".F" + std::to_string(f) + "__c"));
        }
    }
    for (std::size_t i = 0; i < flows; ++i) {
        const std::string name = "Flow" + std::to_string(i);
        world.source[MetadataType::Flow].push_back(component(MetadataType::Flow, name));
        world.target[MetadataType::Flow].push_back(component(MetadataType::Flow, name));
        world.working[MetadataType::Flow].insert(name);
        world.requested[MetadataType::Flow].insert(name);
    }
    for (const auto& [type, components] : world.source) {
        world.rows += components.size();
        for (const MetadataComponent& item : components) world.bytes += item.document.size();
    }
    return world;
}

class MemoryCorePorts final : public ports::CorePorts {
public:
    MemoryCorePorts(const World& world, std::filesystem::path source_folder)
        : world_(world), source_folder_(std::move(source_folder)) {}

    ports::PortResult<std::vector<ambrel::endpoint::OrgAlias>> org_alias_listing(const CancellationToken&) const override {
        return not_here<std::vector<ambrel::endpoint::OrgAlias>>();
    }
    ports::PortResult<std::vector<ambrel::cli::catalogs::SalesforceObject>> object_listing(
        const std::string&, const std::string&, const CancellationToken&) const override {
        return not_here<std::vector<ambrel::cli::catalogs::SalesforceObject>>();
    }
    ports::PortResult<std::vector<ambrel::cli::catalogs::SalesforceObject>> metadata_listing(
        const std::string&, const std::string&, const CancellationToken&) const override {
        return not_here<std::vector<ambrel::cli::catalogs::SalesforceObject>>();
    }
    ports::PortResult<std::vector<ambrel::cli::catalogs::SalesforceObject>> apex_class_listing(
        const std::string&, const CancellationToken&) const override {
        return not_here<std::vector<ambrel::cli::catalogs::SalesforceObject>>();
    }
    ports::PortResult<ports::DependencyDiscovery> dependency_discovery(const std::string&,
                                                                       const std::vector<ComponentKey>&,
                                                                       const CancellationToken&) const override {
        return not_here<ports::DependencyDiscovery>();
    }
    ports::PortResult<app::RetrievedWorkspace> metadata_retrieval(const std::string&, const std::string&,
                                                                  const app::CompareSelection&,
                                                                  const std::set<std::string>&,
                                                                  const app::RetrieveContinuation*,
                                                                  ambrel::metadata::retrieve::RetrieveScope,
                                                                  const std::string&,
                                                                  const CancellationToken&) const override {
        return not_here<app::RetrievedWorkspace>();
    }
    ports::PortResult<Components> component_reading(MetadataType type,
                                                    const std::filesystem::path& folder) const override {
        const auto& side = folder == source_folder_ ? world_.source : world_.target;
        const auto found = side.find(type);
        return found == side.end() ? Components{} : found->second;
    }
    std::vector<ComponentDifference> component_comparison(const ambrel::metadata_types::TypeDescriptor&,
                                                          const Components& source, const Components& target,
                                                          const std::set<std::string>&) const override {
        std::unordered_map<std::string_view, const MetadataComponent*> by_name;
        by_name.reserve(target.size());
        for (const MetadataComponent& item : target) by_name.emplace(item.key.name, &item);
        std::vector<ComponentDifference> rows;
        rows.reserve(source.size());
        for (const MetadataComponent& item : source) {
            ComponentDifference row;
            row.source = item;
            row.deployable = true;
            const auto found = by_name.find(item.key.name);
            row.change = found == by_name.end()                        ? ChangeKind::Add
                         : found->second->document == item.document ? ChangeKind::NoChange
                                                                    : ChangeKind::Update;
            rows.push_back(std::move(row));
        }
        return rows;
    }
    ports::PortResult<ambrel::deployment::single_package::SinglePackageSummary> single_package_deployment(
        const std::vector<ComponentDifference>&, const ambrel::domain::SelectedPermissions&, ambrel::domain::FlsMode,
        const ports::ContainerSelection&, ambrel::domain::DeployMode, const std::optional<ambrel::domain::ApexTestConfig>&,
        const ambrel::endpoint::DeployEndpoint&, const std::string&, const std::string&,
        const CancellationToken&) const override {
        return not_here<ambrel::deployment::single_package::SinglePackageSummary>();
    }
    ports::PortResult<ambrel::cli::catalogs::OrganizationDescription> org_description(
        const std::string&, const CancellationToken&) const override {
        return not_here<ambrel::cli::catalogs::OrganizationDescription>();
    }
    ports::PortResult<std::vector<ambrel::domain::FlsResult>> fls_synchronization(
        const ambrel::endpoint::DeployEndpoint&, const ambrel::endpoint::DeployEndpoint&,
        const ambrel::domain::SelectedPermissions&, ambrel::domain::FlsMode, const ports::ContainerSelection&,
        const CancellationToken&) const override {
        return not_here<std::vector<ambrel::domain::FlsResult>>();
    }
    ports::PortResult<std::vector<ambrel::domain::FlsContainerChoice>> container_matching(
        const ambrel::endpoint::DeployEndpoint&, const ambrel::endpoint::DeployEndpoint&,
        const CancellationToken&) const override {
        return not_here<std::vector<ambrel::domain::FlsContainerChoice>>();
    }
    std::string diagnostic_sanitizer(const std::string& text) const override { return text; }

private:
    const World& world_;
    std::filesystem::path source_folder_;
};

// The port groups that assembly never reaches.
class NoGit final : public ports::GitDependencies {
public:
    ports::PortResult<std::vector<ambrel::cli::catalogs::SalesforceObject>> git_component_listing(
        const ambrel::endpoint::DeployEndpoint&, MetadataType, const CancellationToken&) const override {
        return not_here<std::vector<ambrel::cli::catalogs::SalesforceObject>>();
    }
    ports::PortResult<ports::GitMaterialization> git_materialization(const ambrel::endpoint::DeployEndpoint&,
                                                                     const app::CompareSelection&,
                                                                     const std::filesystem::path&, bool,
                                                                     const CancellationToken&) const override {
        return not_here<ports::GitMaterialization>();
    }
    ports::PortResult<std::shared_ptr<ambrel::metadata::workspace::MetadataWorkspace>> workspace_creation()
        const override {
        return not_here<std::shared_ptr<ambrel::metadata::workspace::MetadataWorkspace>>();
    }
    ports::PortResult<ambrel::deployment::git_deploy::GitDeploySummary> git_commit(
        const ambrel::endpoint::DeployEndpoint&, const std::vector<ComponentDifference>&,
        const ports::ContainerDocuments&, const std::string&, const CancellationToken&) const override {
        return not_here<ambrel::deployment::git_deploy::GitDeploySummary>();
    }
    ports::PortResult<ambrel::git::GitRepoInspection> repo_inspection(const std::filesystem::path&) const override {
        return not_here<ambrel::git::GitRepoInspection>();
    }
    bool repo_init_check(const std::filesystem::path&) const override { return false; }
    ports::PortResult<ambrel::git::GitRepoInspection> repo_initialization(const std::filesystem::path&) const override {
        return not_here<ambrel::git::GitRepoInspection>();
    }
    ports::PortResult<std::vector<ports::FlsContainerFile>> git_container_listing(
        const ambrel::endpoint::DeployEndpoint&, const CancellationToken&) const override {
        return not_here<std::vector<ports::FlsContainerFile>>();
    }
    ports::PortResult<ports::ContainerDocuments> git_container_reading(const ambrel::endpoint::DeployEndpoint&,
                                                                       const std::vector<ports::ContainerKey>&,
                                                                       const CancellationToken&) const override {
        return not_here<ports::ContainerDocuments>();
    }
    ports::PortResult<ports::ContainerDocuments> container_document_merge(const ports::ContainerDocuments&,
                                                                          const ports::ContainerDocuments&,
                                                                          const ambrel::domain::SelectedPermissions&,
                                                                          ambrel::domain::FlsMode) const override {
        return not_here<ports::ContainerDocuments>();
    }
    ports::PortResult<ports::ContainerDocuments> container_document_reading(
        const ambrel::endpoint::DeployEndpoint&, const std::vector<ambrel::domain::FlsContainer>&,
        const std::set<ambrel::domain::PermissionSubject>&, const CancellationToken&) const override {
        return not_here<ports::ContainerDocuments>();
    }
    ports::PortResult<ports::GitTargetCheck> git_target_validation(const ambrel::endpoint::DeployEndpoint&) const override {
        return not_here<ports::GitTargetCheck>();
    }
};

class NoLayouts final : public ports::TargetLayoutReading {
public:
    ports::PortResult<std::map<std::string, std::string>> target_layout_reading(const ambrel::endpoint::DeployEndpoint&,
                                                                                const std::set<std::string>&,
                                                                                const std::string&,
                                                                                const CancellationToken&) const override {
        return not_here<std::map<std::string, std::string>>();
    }
};

class NoPermissionSets final : public ports::PermissionSetNameListing {
public:
    ports::PortResult<std::set<std::string>> permission_set_name_listing(const std::string&,
                                                                         const CancellationToken&) const override {
        return not_here<std::set<std::string>>();
    }
};

class NoSchema final : public ports::SchemaDependencies {
public:
    ports::PortResult<ambrel::cli::SchemaListing> object_field_listing(const std::string&, const std::set<std::string>&,
                                                                       const CancellationToken&) const override {
        return not_here<ambrel::cli::SchemaListing>();
    }
    ports::PortResult<ambrel::metadata::user_permission_filter::UserPermissionCatalog> user_permission_listing(
        const std::string&, const CancellationToken&) const override {
        return not_here<ambrel::metadata::user_permission_filter::UserPermissionCatalog>();
    }
    ports::PortResult<ambrel::cli::ExternalKeyListing> external_key_field_listing(
        const std::string&, const std::set<std::string>&, const CancellationToken&) const override {
        return not_here<ambrel::cli::ExternalKeyListing>();
    }
};

class NoBundles final : public ports::BundleDependencies {
public:
    using Listing = std::vector<ambrel::cli::catalogs::SalesforceObject>;
    ports::PortResult<Listing> product_bundle_listing(const std::string&, const CancellationToken&) const override {
        return not_here<Listing>();
    }
    ports::PortResult<Listing> constraint_model_listing(const std::string&, const CancellationToken&) const override {
        return not_here<Listing>();
    }
    ports::PortResult<app::RecordSynthesis> bundle_document_synthesis(const ports::RecordSynthesisRequest&,
                                                                      const CancellationToken&) const override {
        return not_here<app::RecordSynthesis>();
    }
    ports::PortResult<std::vector<ambrel::deployment::RecordRowOutcome>> product_bundle_transfer(
        const ports::RecordDeployRequest&, const CancellationToken&) const override {
        return not_here<std::vector<ambrel::deployment::RecordRowOutcome>>();
    }
    ports::PortResult<std::map<std::string, std::set<std::string>>> tagging_model_listing(
        const std::string&, const std::set<std::string>&, const CancellationToken&) const override {
        return not_here<std::map<std::string, std::set<std::string>>>();
    }
    ports::PortResult<std::vector<ambrel::deployment::ModelRowOutcome>> constraint_model_transfer(
        const ambrel::deployment::ModelDeployRequest&, const CancellationToken&) const override {
        return not_here<std::vector<ambrel::deployment::ModelRowOutcome>>();
    }
    ports::PortResult<ambrel::data::bundles::transfer::HealthReport> target_health_planning(
        const ports::RecordDeployRequest&, const CancellationToken&) const override {
        return not_here<ambrel::data::bundles::transfer::HealthReport>();
    }
    ports::PortResult<ambrel::data::bundles::transfer::FixOutcome> target_record_deletion(
        const ports::TargetFixRequest&, const CancellationToken&) const override {
        return not_here<ambrel::data::bundles::transfer::FixOutcome>();
    }
};

ambrel::endpoint::OrgAlias sandbox(std::string alias, std::string username, std::string org_id) {
    ambrel::endpoint::OrgAlias org;
    org.alias = std::move(alias);
    org.username = std::move(username);
    org.org_id = std::move(org_id);
    org.kind = ambrel::endpoint::OrgKind::Sandbox;
    return org;
}

const World& world_fixture(std::size_t rows) {
    static std::map<std::size_t, World> worlds;
    auto found = worlds.find(rows);
    if (found == worlds.end()) found = worlds.emplace(rows, build_world(rows)).first;
    return found->second;
}

void BM_SessionAssembly(benchmark::State& state) {
    const World& world = world_fixture(static_cast<std::size_t>(state.range(0)));
    auto anchor = ambrel::platform_fs::files::PrivateTempDir::create("bench-assembly-");
    if (!anchor) {
        state.SkipWithError("no temporary folder");
        return;
    }
    const auto location = ambrel::metadata::workspace::WorkspaceTrustAnchor::at(anchor->path())
                              .workspace_at(anchor->path() / "quillary");
    auto workspace = location ? ambrel::metadata::workspace::MetadataWorkspace::create(*location, "65.0")
                              : std::unexpected(location.error());
    if (!workspace) {
        state.SkipWithError("no workspace");
        return;
    }
    const app::RetrievedWorkspace retrieved{*workspace, {}};
    auto core = std::make_shared<MemoryCorePorts>(world, (*workspace)->source_project() / app::kProjectMetadataFolder);
    const auto service = app::QuillaryApplicationService::with_git_and_layouts(
        core, std::make_shared<NoGit>(), std::make_shared<NoLayouts>(), std::make_shared<NoPermissionSets>(),
        std::make_shared<NoSchema>(), std::make_shared<NoBundles>());
    const auto source = sandbox("src", "src@example.com", "00DSRC");
    const auto target = sandbox("tgt", "tgt@example.com", "00DTGT");
    ambrel::domain::NeverCancelled token;
    std::size_t kept = 0;
    for (auto _ : state) {
        auto session = service.build_session("src", "tgt", source, target, world.working, world.requested, retrieved,
                                             world.discovered, {}, ambrel::metadata_types::LayoutComparisonMode::Whole,
                                             "65.0", {}, false, false, token);
        if (!session) {
            state.SkipWithError("assembly failed");
            break;
        }
        kept = (*session)->rows().size();
        benchmark::DoNotOptimize(session->get());
    }
    state.counters["rows_read"] = static_cast<double>(world.rows);
    state.counters["rows_kept"] = static_cast<double>(kept);
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * world.bytes));
    (void)(*workspace)->close();
}

void BM_ReferenceCopyRows(benchmark::State& state) {
    const World& world = world_fixture(static_cast<std::size_t>(state.range(0)));
    std::vector<ComponentDifference> rows;
    for (const auto& [type, components] : world.source) {
        for (const MetadataComponent& item : components) {
            ComponentDifference row;
            row.source = item;
            rows.push_back(std::move(row));
        }
    }
    for (auto _ : state) {
        std::vector<ComponentDifference> copy = rows;
        benchmark::DoNotOptimize(copy.data());
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * world.bytes));
}

BENCHMARK(BM_SessionAssembly)->Arg(kRows / 4)->Arg(kRows)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ReferenceCopyRows)->Arg(kRows / 4)->Arg(kRows)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
