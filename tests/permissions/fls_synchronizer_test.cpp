// Container classification and choices, the synchroniser over in-process fakes, and the merge for
// repository targets.

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "deployment/fls_synchronizer/classification.hpp"
#include "deployment/fls_synchronizer/synchronizer.hpp"
#include "metadata/permission_reader/permission_reader.hpp"
#include "cli/gateway.hpp"
#include "fakes/fake_sf.hpp"
#include "support/doubles.hpp"
#include "support/programming_error.hpp"
#include "support/test_paths.hpp"

namespace ambrel {
namespace {

namespace fs = std::filesystem;
namespace sync = deployment::fls_synchronizer;
using deployment::deploy_gateway::MetadataComponentKey;
using deployment::deploy_gateway::MetadataDeployResult;
using deployment::fls_catalog::FlsCatalogError;
using domain::FlsContainer;
using domain::FlsContainerKind;
using domain::FlsMode;
using domain::FlsResult;
using domain::FlsResultStatus;
using domain::PermissionGrant;
using domain::PermissionSubject;
using metadata::permission_models::PermissionComponentKey;
using metadata::permission_models::PreparedPermissionComponent;

constexpr std::string_view kNs = "http://soap.sforce.com/2006/04/metadata";

FlsContainer container(std::string id, std::string api, FlsContainerKind kind = FlsContainerKind::PermissionSet,
                       std::string label = "", std::optional<std::string> prefix = std::nullopt,
                       bool retrievable = true, std::optional<std::string> license = std::nullopt) {
    FlsContainer c;
    c.id = std::move(id);
    c.api_name = api;
    c.label = label.empty() ? api : label;
    c.namespace_prefix = std::move(prefix);
    c.kind = kind;
    c.retrievable = retrievable;
    c.license_name = std::move(license);
    return c;
}

std::string document(FlsContainerKind kind, std::string_view body) {
    const std::string root = kind == FlsContainerKind::Profile ? "Profile" : "PermissionSet";
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<" + root + " xmlns=\"" + std::string(kNs) + "\">" +
           std::string(body) + "\n</" + root + ">\n";
}

std::string field_block(std::string_view field, bool editable, bool readable) {
    return std::string("\n    <fieldPermissions>\n        <editable>") + (editable ? "true" : "false") +
           "</editable>\n        <field>" + std::string(field) + "</field>\n        <readable>" +
           (readable ? "true" : "false") + "</readable>\n    </fieldPermissions>";
}

domain::SelectedPermissions select_fields(std::vector<std::pair<std::string, std::string>> fields,
                                          std::set<std::string> required = {}) {
    domain::SelectedPermissions selected;
    for (auto& [object, name] : fields) {
        domain::CustomFieldDefinition definition;
        definition.key = {object, name};
        definition.required = required.contains(name);
        selected.fields.emplace(definition.key, definition);
    }
    return selected;
}

// ---- classification ----

TEST(FlsClassification, MatchesByExactKindAndName) {
    const auto classified = sync::classify_containers(
        {container("s1", "Sales"), container("s2", "Admin", FlsContainerKind::Profile),
         container("s3", "Admin", FlsContainerKind::PermissionSet)},
        {container("t1", "sales", FlsContainerKind::PermissionSet, "Target sales"),
         container("t2", "Admin", FlsContainerKind::Profile, "System Administrator"),
         container("t3", "Admin", FlsContainerKind::PermissionSet, "Admin set")});
    ASSERT_EQ(classified.matched.size(), 2u);
    EXPECT_EQ(classified.matched[0].container.kind, FlsContainerKind::PermissionSet);
    EXPECT_EQ(classified.matched[0].container.label, "Admin set");
    EXPECT_EQ(classified.matched[1].container.label, "System Administrator");
    ASSERT_EQ(classified.created.size(), 1u);
    EXPECT_EQ(classified.created[0].api_name, "Sales");
    ASSERT_EQ(classified.ineligible.size(), 1u);
    EXPECT_EQ(classified.ineligible[0].container.api_name, "sales");
    EXPECT_EQ(classified.ineligible[0].reason,
              "Matching source permission container was not found; target access was preserved.");
}

TEST(FlsClassification, IneligibleReasons) {
    struct Case {
        std::string name;
        std::vector<FlsContainer> source;
        std::vector<FlsContainer> target;
        std::vector<std::tuple<std::string, std::string, FlsResultStatus>> expected;  // id, reason, status
    };
    const std::vector<Case> cases{
        {"ambiguous source",
         {container("s1", "A"), container("s2", "A")},
         {container("t1", "A")},
         {{"s1", "Ambiguous source permission container API name.", FlsResultStatus::Failed},
          {"s2", "Ambiguous source permission container API name.", FlsResultStatus::Failed}}},
        {"ambiguous target",
         {container("s1", "A")},
         {container("t1", "A"), container("t2", "A")},
         {{"t1", "Ambiguous target permission container API name.", FlsResultStatus::Failed},
          {"t2", "Ambiguous target permission container API name.", FlsResultStatus::Failed}}},
        {"not retrievable shows the source with the target's label",
         {container("s1", "A", FlsContainerKind::PermissionSet, "", std::nullopt, false)},
         {container("t1", "A", FlsContainerKind::PermissionSet, "T label")},
         {{"s1", "Permission container is not retrievable and was not copied.", FlsResultStatus::Skipped}}},
        {"same prefix: the source's",
         {container("s1", "ns__A", FlsContainerKind::PermissionSet, "", "ns")},
         {container("t1", "ns__A", FlsContainerKind::PermissionSet, "", "ns")},
         {{"s1", "Namespaced permission container is not copied.", FlsResultStatus::Skipped}}},
        {"two prefixes in prefix order",
         {container("s1", "X", FlsContainerKind::PermissionSet, "", "zz")},
         {container("t1", "X", FlsContainerKind::PermissionSet, "", "aa")},
         {{"t1", "Namespaced permission container is not copied.", FlsResultStatus::Skipped},
          {"s1", "Namespaced permission container is not copied.", FlsResultStatus::Skipped}}},
        {"source-only profile",
         {container("s1", "P", FlsContainerKind::Profile)},
         {},
         {{"s1", "Matching target Profile was not found; Profiles are not created.", FlsResultStatus::Skipped}}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const auto classified = sync::classify_containers(c.source, c.target);
        EXPECT_TRUE(classified.matched.empty());
        ASSERT_EQ(classified.ineligible.size(), c.expected.size());
        for (std::size_t i = 0; i < c.expected.size(); ++i) {
            EXPECT_EQ(classified.ineligible[i].container.id, std::get<0>(c.expected[i]));
            EXPECT_EQ(classified.ineligible[i].reason, std::get<1>(c.expected[i]));
            EXPECT_EQ(classified.ineligible[i].status, std::get<2>(c.expected[i]));
        }
    }
    const auto hidden = sync::classify_containers({container("s1", "A", FlsContainerKind::PermissionSet, "", std::nullopt, false)},
                                                  {container("t1", "A", FlsContainerKind::PermissionSet, "T label")});
    EXPECT_EQ(hidden.ineligible[0].container.label, "T label");
}

TEST(FlsClassification, ValidationRefusesDuplicateAndBlankValues) {
    struct Case {
        std::vector<FlsContainer> list;
        std::string message;
    };
    const std::vector<Case> cases{{{container("1", "A"), container("1", "B")}, "Duplicate FLS container Id returned by Salesforce"},
                                  {{container(" ", "A")}, "FLS container Id must not be blank"},
                                  {{container("1", "  ")}, "FLS container API name must not be blank"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.message);
        auto checked = sync::validate_containers(c.list);
        ASSERT_FALSE(checked);
        EXPECT_EQ(checked.error().text(), c.message);
    }
    EXPECT_TRUE(sync::validate_containers({container("1", "A")}));
}

class FakeLicenses final : public sync::ContainerLicenseChannel {
public:
    sync::LicenseMap source;
    std::expected<std::set<std::string>, sync::LicenseChannelFailure> target{std::set<std::string>{}};
    mutable int source_calls = 0;
    mutable int target_calls = 0;
    std::expected<sync::LicenseMap, sync::LicenseChannelFailure> source_licenses(const std::vector<sync::ContainerRef>& refs,
                                                                                const domain::CancellationToken&) const override {
        ++source_calls;
        sync::LicenseMap out;
        for (const auto& ref : refs) {
            if (auto found = source.find(ref); found != source.end()) out.insert(*found);
        }
        return out;
    }
    std::expected<std::set<std::string>, sync::LicenseChannelFailure> target_licenses(
        const domain::CancellationToken&) const override {
        ++target_calls;
        return target;
    }
};

TEST(FlsClassification, ChoicesCarryLicenceVerdicts) {
    FakeLicenses licenses;
    licenses.source = {{{FlsContainerKind::PermissionSet, "Needs"}, "Gold"}};
    licenses.target = std::set<std::string>{"Silver"};
    domain::NeverCancelled never;
    auto choices = sync::match_fls_container_choices_from(
        {container("s1", "beta"), container("s2", "Needs"), container("s3", "Blank", FlsContainerKind::PermissionSet, "",
                                                                      std::nullopt, true, " "),
         container("s4", "Prof", FlsContainerKind::Profile)},
        {container("t1", "beta", FlsContainerKind::PermissionSet, "Beta label")}, &licenses, never);
    ASSERT_TRUE(choices);
    ASSERT_EQ(choices->size(), 4u);
    EXPECT_EQ((*choices)[0].api_name, "beta");
    EXPECT_EQ((*choices)[0].label, "Beta label");
    EXPECT_EQ((*choices)[0].presence, domain::FlsContainerPresence::Existing);
    EXPECT_EQ((*choices)[1].api_name, "Blank");
    EXPECT_TRUE((*choices)[1].selectable);
    EXPECT_EQ((*choices)[2].api_name, "Needs");
    EXPECT_FALSE((*choices)[2].selectable);
    EXPECT_EQ((*choices)[2].block_reason, std::optional<std::string>("The target org does not have the license Gold."));
    EXPECT_EQ((*choices)[3].block_reason, std::optional<std::string>("Profiles are not created by the permission transfer."));
    EXPECT_EQ(licenses.target_calls, 1);

    licenses.target = std::unexpected(sync::LicenseChannelFailure{false, "no access"});
    choices = sync::match_fls_container_choices_from({container("s2", "Needs")}, {}, &licenses, never);
    ASSERT_TRUE(choices);
    EXPECT_EQ((*choices)[0].block_reason, std::optional<std::string>("The target org's licenses could not be listed: no access"));

    licenses.target = std::unexpected(sync::LicenseChannelFailure{true, ""});
    auto cancelled = sync::match_fls_container_choices_from({container("s2", "Needs")}, {}, &licenses, never);
    ASSERT_FALSE(cancelled);
    EXPECT_TRUE(cancelled.error().is_cancelled());

    auto without_channel = sync::match_fls_container_choices_from({container("s2", "Needs")}, {}, nullptr, never);
    ASSERT_TRUE(without_channel);
    EXPECT_TRUE((*without_channel)[0].selectable);
    EXPECT_TRUE(sync::match_fls_container_choices_from({}, {}, nullptr, never)->empty());
}

TEST(FlsClassification, TopLevelTextAndCreatedDocuments) {
    const std::string ns(kNs);
    const std::string doc = "<PermissionSet xmlns=\"" + ns + "\"><x><license>inner</license></x><license> Gold &amp; " +
                            "<![CDATA[skip]]>Co&#33; </license><label>L</label></PermissionSet>";
    EXPECT_EQ(sync::extract_top_level_text(doc, "license"), std::optional<std::string>("Gold & Co!"));
    EXPECT_EQ(sync::extract_top_level_text(doc, "missing"), std::nullopt);
    EXPECT_EQ(sync::extract_top_level_text("<PermissionSet><license>x</license></PermissionSet>", "license"), std::nullopt);
    EXPECT_EQ(sync::extract_top_level_text("<a:PermissionSet><a:license>x</a:license></a:PermissionSet>", "license"),
              std::nullopt);
    EXPECT_EQ(sync::extract_top_level_text("<PermissionSet xmlns=\"" + ns + "\"><license/></PermissionSet>", "license"),
              std::optional<std::string>(""));
    EXPECT_EQ(sync::source_document_license("<PermissionSet xmlns=\"" + ns + "\"><license>" + std::string(2500, 'g') +
                                            "</license></PermissionSet>"),
              std::optional<std::string>(std::string(2000, 'g')));
    EXPECT_EQ(sync::source_document_license("<PermissionSet xmlns=\"" + ns + "\"><license> </license></PermissionSet>"),
              std::nullopt);

    const std::string source = "<PermissionSet xmlns=\"" + ns + "\"><description>A &amp; &lt;b</description>"
                               "<license>Gold</license></PermissionSet>";
    EXPECT_EQ(sync::created_permission_set_document(source, "Ops"),
              "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<PermissionSet xmlns=\"" + ns +
                  "\">\n    <description>A &amp; &lt;b</description>\n    <label>Ops</label>\n"
                  "    <license>Gold</license>\n</PermissionSet>\n");
}

// ---- synchroniser ----

class FakeCatalog final : public deployment::fls_catalog::FlsContainerCatalog {
public:
    std::map<std::string, std::expected<std::vector<FlsContainer>, FlsCatalogError>> answers;
    mutable std::vector<std::string> asked;
    std::expected<std::vector<FlsContainer>, FlsCatalogError> containers(const std::string& alias,
                                                                         const domain::CancellationToken&) const override {
        asked.push_back(alias);
        return answers.at(alias);
    }
};

// Writes the documents of each side into a real temporary workspace, as the retrieve does.
class FakeRetriever final : public sync::PermissionRetriever {
public:
    explicit FakeRetriever(fs::path root)
        : location(metadata::workspace::WorkspaceTrustAnchor::at(root).workspace_at(root / "quillary").value()) {}
    std::map<PermissionComponentKey, std::string> source_docs;
    std::map<PermissionComponentKey, std::string> target_docs;
    mutable int calls = 0;
    mutable std::shared_ptr<metadata::workspace::MetadataWorkspace> last;
    mutable metadata::permission_retrieve::PermissionKeys last_source_keys;
    metadata::workspace::WorkspaceLocation location;

    std::expected<sync::RetrievedPermissionMetadata, metadata::retrieve::RetrieveFailure> retrieve(
        std::string_view, std::string_view, const metadata::permission_retrieve::PermissionKeys& source_keys,
        const metadata::permission_retrieve::PermissionKeys& target_keys, const std::set<PermissionSubject>&,
        const domain::CancellationToken&) const override {
        ++calls;
        last_source_keys = source_keys;
        auto workspace = metadata::workspace::MetadataWorkspace::create(location, "65.0").value();
        last = workspace;
        sync::RetrievedPermissionMetadata out{workspace, {}, {}};
        const auto write = [](const fs::path& dir, const PermissionComponentKey& key, const std::string& text) {
            fs::create_directories(dir);
            const auto path = dir / (key.full_name() + ".xml");
            std::ofstream(path) << text;
            return path;
        };
        for (const auto& key : source_keys) {
            if (auto found = source_docs.find(key); found != source_docs.end()) {
                out.source_files.emplace(key, write(workspace->source_project() / "docs", key, found->second));
            }
        }
        for (const auto& key : target_keys) {
            if (auto found = target_docs.find(key); found != target_docs.end()) {
                out.target_files.emplace(key, write(workspace->target_project() / "docs", key, found->second));
            }
        }
        return out;
    }
};

class RecordingDeployer final : public deployment::permission_batch::PermissionComponentBatchDeployer {
public:
    std::vector<std::vector<PreparedPermissionComponent>> batches;
    std::set<std::string> rejected;
    std::function<void()> after;
    MetadataDeployResult deploy(std::span<const PreparedPermissionComponent> components, const std::string&,
                                const domain::CancellationToken&) override {
        batches.emplace_back(components.begin(), components.end());
        if (after) after();
        MetadataDeployResult::ComponentFailures failures;
        failures.message = "overall";
        for (const auto& c : components) {
            if (rejected.contains(c.key.full_name())) {
                failures.failures.emplace_back(MetadataComponentKey{"Profile", c.key.full_name()}, "rejected " + c.key.full_name());
            }
        }
        if (failures.failures.empty()) return {MetadataDeployResult::Succeeded{"0Af", false}};
        return {failures};
    }
};

struct SyncHarness {
    SyncHarness() : retriever(std::make_shared<FakeRetriever>(dir.path())) {}
    sync::FlsSynchronizer synchronizer(const sync::ContainerLicenseChannel* channel = nullptr) {
        return sync::FlsSynchronizer("src", "tgt", catalog, retriever, deployer, channel);
    }
    testing::TempDir dir;
    FakeCatalog catalog;
    std::shared_ptr<FakeRetriever> retriever;
    RecordingDeployer deployer;
    domain::NeverCancelled never;
};

PermissionComponentKey profile(std::string name) { return PermissionComponentKey::create(FlsContainerKind::Profile, std::move(name)); }
PermissionComponentKey set(std::string name) { return PermissionComponentKey::create(FlsContainerKind::PermissionSet, std::move(name)); }

TEST(FlsSynchronizer, NothingSelectedListsNothing) {
    SyncHarness h;
    auto rows = h.synchronizer().sync({}, FlsMode::All, std::nullopt, h.never);
    ASSERT_TRUE(rows);
    EXPECT_TRUE(rows->empty());
    EXPECT_TRUE(h.catalog.asked.empty());
}

TEST(FlsSynchronizer, TargetOnlyContainersAreReportedWithoutRetrieve) {
    SyncHarness h;
    h.catalog.answers.emplace("src", std::vector<FlsContainer>{});
    h.catalog.answers.emplace("tgt", std::vector<FlsContainer>{container("t1", "Admin", FlsContainerKind::Profile)});
    auto rows = h.synchronizer().sync(select_fields({{"Account", "A__c"}, {"Account", "B__c"}}), FlsMode::All,
                                      std::nullopt, h.never);
    ASSERT_TRUE(rows);
    ASSERT_EQ(rows->size(), 2u);
    for (const auto& row : *rows) {
        EXPECT_EQ(row.status, FlsResultStatus::Skipped);
        EXPECT_EQ(row.message, "Matching source permission container was not found; target access was preserved.");
        EXPECT_EQ(row.grant, (PermissionGrant{PermissionGrant::FieldAccess{}}));
    }
    EXPECT_EQ(h.retriever->calls, 0);
    EXPECT_TRUE(h.deployer.batches.empty());
}

TEST(FlsSynchronizer, MergesDeploysAndReportsEveryContainer) {
    SyncHarness h;
    h.catalog.answers.emplace("src", std::vector<FlsContainer>{container("s1", "Admin", FlsContainerKind::Profile),
                                                               container("s2", "Ops"), container("s3", "Same", FlsContainerKind::Profile)});
    h.catalog.answers.emplace("tgt", std::vector<FlsContainer>{container("t1", "Admin", FlsContainerKind::Profile, "System Administrator"),
                                                               container("t3", "Same", FlsContainerKind::Profile)});
    const std::string granted = document(FlsContainerKind::Profile, field_block("Account.A__c", true, true));
    h.retriever->source_docs = {{profile("Admin"), granted},
                                {set("Ops"), document(FlsContainerKind::PermissionSet, "<label>Ops team</label>" +
                                                                                           field_block("Account.A__c", false, true))},
                                {profile("Same"), granted}};
    h.retriever->target_docs = {{profile("Admin"), document(FlsContainerKind::Profile, "")}, {profile("Same"), granted}};
    auto rows = h.synchronizer().sync(select_fields({{"Account", "A__c"}, {"Account", "Req__c"}}, {"Req__c"}),
                                      FlsMode::Additive, std::nullopt, h.never);
    ASSERT_TRUE(rows) << rows.error().error.text();
    ASSERT_EQ(h.deployer.batches.size(), 1u);
    ASSERT_EQ(h.deployer.batches[0].size(), 2u);
    EXPECT_EQ(h.deployer.batches[0][0].key, set("Ops"));
    EXPECT_NE(h.deployer.batches[0][0].xml.find("<label>Ops team</label>"), std::string::npos);
    EXPECT_NE(h.deployer.batches[0][1].xml.find("<field>Account.A__c</field>"), std::string::npos);
    std::vector<std::tuple<std::string, std::string, FlsResultStatus, std::string>> seen;
    for (const auto& row : *rows) seen.emplace_back(row.container, row.subject.api_name(), row.status, row.message);
    const std::vector<std::tuple<std::string, std::string, FlsResultStatus, std::string>> expected{
        {"Admin", "Account.A__c", FlsResultStatus::Updated, "Permission metadata deployed successfully."},
        {"Admin", "Account.Req__c", FlsResultStatus::Skipped,
         "Required fields do not support field-level security and were skipped."},
        {"Ops", "Account.A__c", FlsResultStatus::Updated, "Permission metadata deployed successfully."},
        {"Ops", "Account.Req__c", FlsResultStatus::Skipped,
         "Required fields do not support field-level security and were skipped."},
        {"Same", "Account.A__c", FlsResultStatus::Skipped, "The permission requires no change."},
        {"Same", "Account.Req__c", FlsResultStatus::Skipped,
         "Required fields do not support field-level security and were skipped."},
    };
    EXPECT_EQ(seen, expected);
    EXPECT_EQ((*rows)[0].container_label, "System Administrator");
    EXPECT_EQ((*rows)[4].grant, (PermissionGrant{PermissionGrant::FieldAccess{true, true}}));
    ASSERT_TRUE(h.retriever->last);
    EXPECT_TRUE(h.retriever->last->is_closed());
}

TEST(FlsSynchronizer, SelectionLicencesAndAmbiguity) {
    SyncHarness h;
    FakeLicenses licenses;
    licenses.target = std::set<std::string>{"Silver"};
    h.catalog.answers.emplace("src", std::vector<FlsContainer>{container("s1", "Admin", FlsContainerKind::Profile),
                                                               container("s2", "Gold"), container("s3", "Dup"),
                                                               container("s4", "Dup"), container("s5", "Later")});
    h.catalog.answers.emplace("tgt", std::vector<FlsContainer>{container("t1", "Admin", FlsContainerKind::Profile)});
    const std::string gold = document(FlsContainerKind::PermissionSet, "<license>Gold</license>" + field_block("Account.A__c", true, true));
    h.retriever->source_docs = {{set("Gold"), gold}};
    licenses.source = {{{FlsContainerKind::PermissionSet, "Later"}, "Gold"}};
    const sync::ContainerSelection selection{{FlsContainerKind::PermissionSet, "Gold"}};
    auto rows = h.synchronizer(&licenses).sync(select_fields({{"Account", "A__c"}}), FlsMode::All, selection, h.never);
    ASSERT_TRUE(rows) << rows.error().error.text();
    std::map<std::string, std::pair<FlsResultStatus, std::string>> by_container;
    for (const auto& row : *rows) by_container.insert_or_assign(row.container, std::pair{row.status, row.message});
    EXPECT_EQ(by_container.at("Admin"), (std::pair{FlsResultStatus::Skipped, std::string("Not selected for permission transfer.")}));
    EXPECT_EQ(by_container.at("Dup"),
              (std::pair{FlsResultStatus::Skipped, std::string("Ambiguous source permission container API name.")}));
    EXPECT_EQ(by_container.at("Gold"),
              (std::pair{FlsResultStatus::Skipped, std::string("The target org does not have the license Gold.")}));
    EXPECT_EQ(by_container.at("Later"),
              (std::pair{FlsResultStatus::Skipped, std::string("The target org does not have the license Gold.")}));
    EXPECT_TRUE(h.deployer.batches.empty());
    EXPECT_EQ(licenses.target_calls, 1);
}

TEST(FlsSynchronizer, DeployOutcomesStandEvenWhenCancelledAfterwards) {
    SyncHarness h;
    testing::TestToken token;
    h.deployer.after = [&] { token.cancel(); };
    h.deployer.rejected = {"Admin"};
    h.catalog.answers.emplace("src", std::vector<FlsContainer>{container("s1", "Admin", FlsContainerKind::Profile)});
    h.catalog.answers.emplace("tgt", std::vector<FlsContainer>{container("t1", "Admin", FlsContainerKind::Profile)});
    h.retriever->source_docs = {{profile("Admin"), document(FlsContainerKind::Profile, field_block("Account.A__c", true, true))}};
    h.retriever->target_docs = {{profile("Admin"), document(FlsContainerKind::Profile, "")}};
    auto rows = h.synchronizer().sync(select_fields({{"Account", "A__c"}}), FlsMode::All, std::nullopt, token);
    ASSERT_TRUE(rows);
    ASSERT_EQ(rows->size(), 1u);
    EXPECT_EQ((*rows)[0].status, FlsResultStatus::Failed);
    EXPECT_EQ((*rows)[0].message, "rejected Admin");
    EXPECT_TRUE(h.retriever->last->is_closed());
}

// The documents reached the org: a retrieve folder that cannot be removed is reported on standard
// error and the rows stay.
TEST(FlsSynchronizer, DeployedRowsStandWhenTheWorkspaceCannotBeRemoved) {
    SyncHarness h;
    fs::path moved;
    h.deployer.after = [&] {
        const fs::path root = h.retriever->last->root();
        moved = root.string() + "-moved";
        fs::rename(root, moved);
        fs::create_directory(root);
    };
    h.catalog.answers.emplace("src", std::vector<FlsContainer>{container("s1", "Admin", FlsContainerKind::Profile)});
    h.catalog.answers.emplace("tgt", std::vector<FlsContainer>{container("t1", "Admin", FlsContainerKind::Profile)});
    h.retriever->source_docs = {{profile("Admin"), document(FlsContainerKind::Profile, field_block("Account.A__c", true, true))}};
    h.retriever->target_docs = {{profile("Admin"), document(FlsContainerKind::Profile, "")}};
    ::testing::internal::CaptureStderr();
    auto rows = h.synchronizer().sync(select_fields({{"Account", "A__c"}}), FlsMode::All, std::nullopt, h.never);
    const std::string diagnostics = ::testing::internal::GetCapturedStderr();
    ASSERT_TRUE(rows) << rows.error().error.text();
    ASSERT_EQ(rows->size(), 1u);
    EXPECT_EQ((*rows)[0].status, FlsResultStatus::Updated);
    EXPECT_EQ((*rows)[0].message, "Permission metadata deployed successfully.");
    const fs::path root = h.retriever->last->root();
    EXPECT_NE(diagnostics.find("ambrel-server: Temporary permission retrieve workspace cleanup failed: Refusing to use "
                               "replaced workspace path"),
              std::string::npos)
        << diagnostics;
    fs::remove_all(root);
    fs::remove_all(moved);
}

TEST(FlsSynchronizer, FailuresDiscardRowsAndCloseTheWorkspace) {
    SyncHarness h;
    h.catalog.answers.emplace("src", std::vector<FlsContainer>{container("s1", "Admin", FlsContainerKind::Profile)});
    h.catalog.answers.emplace("tgt", std::vector<FlsContainer>{container("t1", "Admin", FlsContainerKind::Profile)});
    h.retriever->source_docs = {{profile("Admin"), document(FlsContainerKind::Profile, "")}};
    auto missing = h.synchronizer().sync(select_fields({{"Account", "A__c"}}), FlsMode::All, std::nullopt, h.never);
    ASSERT_FALSE(missing);
    EXPECT_EQ(missing.error().error.text(), "Retrieved target permission metadata is missing a requested component");
    EXPECT_TRUE(h.retriever->last->is_closed());

    h.retriever->target_docs = {{profile("Admin"), "<Profile/>"}};
    auto unreadable = h.synchronizer().sync(select_fields({{"Account", "A__c"}}), FlsMode::All, std::nullopt, h.never);
    ASSERT_FALSE(unreadable);
    EXPECT_EQ(unreadable.error().error.text(), "Expected Profile metadata for Profile 'Admin'");

    domain::SelectedPermissions bad;
    bad.subjects.insert({PermissionSubject::Object{"Bad-Name"}});
    auto refused = h.synchronizer().sync(bad, FlsMode::All, std::nullopt, h.never);
    ASSERT_FALSE(refused);
    EXPECT_EQ(refused.error().error.text(), "Selected permission subjects must contain valid Salesforce API names");
    auto bad_field = h.synchronizer().sync(select_fields({{"Account", "1x"}}), FlsMode::All, std::nullopt, h.never);
    ASSERT_FALSE(bad_field);
    EXPECT_EQ(bad_field.error().error.text(), "Selected field keys must contain valid Salesforce API names");

    h.catalog.answers.insert_or_assign("tgt", std::unexpected(FlsCatalogError::cancelled()));
    auto cancelled = h.synchronizer().sync(select_fields({{"Account", "A__c"}}), FlsMode::All, std::nullopt, h.never);
    ASSERT_FALSE(cancelled);
    EXPECT_TRUE(cancelled.error().error.is_cancelled());

    EXPECT_THROW((void)h.synchronizer().sync(select_fields({{"Account", "A__c"}}), FlsMode::None, std::nullopt, h.never),
                 support::ProgrammingError);
    sync::FlsSynchronizer same("Org", " org ", h.catalog, h.retriever, h.deployer);
    EXPECT_THROW((void)same.sync(select_fields({{"Account", "A__c"}}), FlsMode::All, std::nullopt, h.never),
                 support::ProgrammingError);
}

TEST(FlsSynchronizer, PrepareHandsOverDocumentsAndTheOpenWorkspace) {
    SyncHarness h;
    h.catalog.answers.emplace("src", std::vector<FlsContainer>{container("s1", "Admin", FlsContainerKind::Profile)});
    h.catalog.answers.emplace("tgt", std::vector<FlsContainer>{container("t1", "Admin", FlsContainerKind::Profile, "Sys Admin"),
                                                               container("t2", "Zed")});
    h.retriever->source_docs = {{profile("Admin"), document(FlsContainerKind::Profile, field_block("Account.A__c", false, true))}};
    h.retriever->target_docs = {{profile("Admin"), document(FlsContainerKind::Profile, "")}};
    auto prepared = h.synchronizer().prepare(select_fields({{"Account", "A__c"}}), FlsMode::All, std::nullopt, h.never);
    ASSERT_TRUE(prepared) << prepared.error().error.text();
    ASSERT_EQ(prepared->containers.size(), 1u);
    EXPECT_EQ(prepared->containers[0].full_name, "Admin");
    EXPECT_EQ(prepared->containers[0].label, "Sys Admin");
    ASSERT_EQ(prepared->containers[0].pending_grants.size(), 1u);
    EXPECT_EQ(prepared->containers[0].pending_grants[0].grant, (PermissionGrant{PermissionGrant::FieldAccess{true, false}}));
    ASSERT_EQ(prepared->results.size(), 1u);
    EXPECT_EQ(prepared->results[0].container, "Zed");
    ASSERT_TRUE(prepared->retrieved);
    EXPECT_FALSE(prepared->retrieved->workspace->is_closed());
    EXPECT_TRUE(h.deployer.batches.empty());
    EXPECT_TRUE(prepared->retrieved->workspace->close());
}

TEST(FlsSynchronizer, PresetSourceDocumentsReplaceTheSourceOrg) {
    SyncHarness h;
    h.catalog.answers.emplace("tgt", std::vector<FlsContainer>{});
    const std::string doc = document(FlsContainerKind::PermissionSet, field_block("Account.A__c", true, true));
    auto synchronizer = sync::FlsSynchronizer("", "tgt", h.catalog, h.retriever, h.deployer)
                            .with_source_documents({{set("ns__Sales"), doc}, {set("Ops"), doc}});
    auto rows = synchronizer.sync(select_fields({{"Account", "A__c"}}), FlsMode::Additive, std::nullopt, h.never);
    ASSERT_TRUE(rows) << rows.error().error.text();
    EXPECT_EQ(h.catalog.asked, std::vector<std::string>{"tgt"});
    EXPECT_EQ(h.retriever->calls, 0);
    ASSERT_EQ(rows->size(), 2u);
    EXPECT_EQ((*rows)[0].container, "ns__Sales");
    EXPECT_EQ((*rows)[0].message, "Namespaced permission container is not copied.");
    EXPECT_EQ((*rows)[1].container, "Ops");
    EXPECT_EQ((*rows)[1].status, FlsResultStatus::Updated);
}

TEST(FlsSynchronizer, RunsOverTheRealRetrieveServiceAndTheFakeCli) {
    using testing::fake_sf::Answer;
    using testing::fake_sf::FakeSf;
    using testing::fake_sf::Scenario;
    using testing::fake_sf::ScopedFakeSf;
    FakeSf fake;
    fake.write(Scenario().orgs({"src", "tgt"}).on_prefix({"project", "retrieve", "start"},
                                                       Answer().retrieve_from(testing::tests_dir() / "fixtures/retrieve/orgs")));
    ScopedFakeSf installed(fake);
    const cli::SfCliGateway gateway(testing::fake_sf::executable().string(), std::make_unique<process::DefaultProcessRunner>());
    SyncHarness h;
    const auto service = metadata::permission_retrieve::PermissionMetadataRetrieveService::create(gateway, h.retriever->location);
    h.catalog.answers.emplace("src", std::vector<FlsContainer>{container("s1", "Admin", FlsContainerKind::Profile),
                                                               container("s2", "Sales_Ops")});
    h.catalog.answers.emplace("tgt", std::vector<FlsContainer>{container("t1", "Admin", FlsContainerKind::Profile),
                                                               container("t2", "Sales_Ops")});
    const sync::FlsSynchronizer synchronizer("src", "tgt", h.catalog, service, h.deployer);
    auto rows = synchronizer.sync(select_fields({{"Account", "Rating__c"}}), FlsMode::All, std::nullopt, h.never);
    ASSERT_TRUE(rows) << rows.error().error.text();
    ASSERT_EQ(rows->size(), 2u);
    for (const auto& row : *rows) EXPECT_EQ(row.message, "The permission requires no change.");
    EXPECT_EQ(fake.calls().size(), 2u);
    EXPECT_TRUE(h.deployer.batches.empty());
    const fs::path parent = h.dir.path() / "quillary";
    EXPECT_TRUE(!fs::exists(parent) || fs::is_empty(parent));
}

// ---- repository targets ----

TEST(FlsRepositoryMerge, MergesCreatesAndSkips) {
    const std::string granted = document(FlsContainerKind::Profile, field_block("Account.A__c", true, true));
    const std::string set_doc = document(FlsContainerKind::PermissionSet, "<label>Ops team</label>" + field_block("Account.A__c", true, true));
    const sync::DocumentMap source{{{FlsContainerKind::Profile, "Admin"}, granted},
                                   {{FlsContainerKind::Profile, "NoTarget"}, granted},
                                   {{FlsContainerKind::Profile, "Same"}, granted},
                                   {{FlsContainerKind::PermissionSet, "ns__Sales"}, set_doc},
                                   {{FlsContainerKind::PermissionSet, "Ops"}, set_doc}};
    const sync::DocumentMap target{{{FlsContainerKind::Profile, "Admin"}, document(FlsContainerKind::Profile, "")},
                                   {{FlsContainerKind::Profile, "Same"}, granted}};
    auto merged = sync::merge_container_documents(source, target, select_fields({{"Account", "A__c"}}), FlsMode::Additive);
    ASSERT_TRUE(merged) << merged->size();
    ASSERT_EQ(merged->size(), 2u);
    EXPECT_TRUE(merged->contains({FlsContainerKind::Profile, "Admin"}));
    const auto& created = merged->at({FlsContainerKind::PermissionSet, "Ops"});
    EXPECT_NE(created.find("<label>Ops team</label>"), std::string::npos);
    EXPECT_NE(created.find("<field>Account.A__c</field>"), std::string::npos);

    EXPECT_TRUE(sync::merge_container_documents({}, {}, {}, FlsMode::None)->empty());
    auto none = sync::merge_container_documents(source, target, {}, FlsMode::None);
    ASSERT_FALSE(none);
    EXPECT_EQ(none.error().text(), "FLS mode does not transfer field-level security");
    auto blank = sync::merge_container_documents({{{FlsContainerKind::Profile, " "}, granted}}, {}, {}, FlsMode::All);
    ASSERT_FALSE(blank);
    EXPECT_EQ(blank.error().text(), "Permission metadata full name must not be blank");
    auto broken = sync::merge_container_documents({{{FlsContainerKind::Profile, "Admin"}, "<Profile"}}, {}, {}, FlsMode::All);
    ASSERT_FALSE(broken);
    EXPECT_TRUE(broken.error().text().starts_with("could not parse permission metadata: ")) << broken.error().text();
}

}  // namespace
}  // namespace ambrel
