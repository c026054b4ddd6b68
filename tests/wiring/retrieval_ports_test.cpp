// The retrieval and document-reading ports: org retrieves over the fake `sf` (command lines, progress,
// nothing left inside "quillary"), branch reads against real repositories, and the readers' handling
// of missing, unsafe and hostile files.

#include "wiring/retrieval_ports.hpp"

#include <sys/stat.h>

#include <gtest/gtest.h>

#include <fstream>

#include "adapter_context.hpp"
#include "domain/cancellation.hpp"
#include "support/doubles.hpp"
#include "support/git_repo.hpp"
#include "support/test_paths.hpp"
#include "wiring/git_ports.hpp"

namespace ambrel::server::wiring {
namespace {

namespace fs = std::filesystem;
using app::FailureKind;
using endpoint::DeployEndpoint;
using endpoint::GitBranchRef;
using metadata_types::MetadataType;
using testing::fake_sf::Answer;
using testing::fake_sf::FakeSf;
using testing::fake_sf::Scenario;
using testing::fake_sf::ScopedFakeSf;
using Names = std::vector<std::string>;

fs::path fixture_orgs() { return testing::tests_dir() / "fixtures" / "retrieve" / "orgs"; }

DeployEndpoint org_endpoint(std::string alias) {
    endpoint::OrgAlias org;
    org.alias = alias;
    org.username = alias + "@example.com";
    return DeployEndpoint{DeployEndpoint::Org{std::move(org)}};
}

DeployEndpoint git_endpoint(const fs::path& path, std::string branch) {
    return DeployEndpoint{DeployEndpoint::Git{path, GitBranchRef{std::move(branch), {}, {}, false, false}}};
}

Names keys(const DocumentMap& documents) {
    Names names;
    for (const auto& [name, text] : documents) names.push_back(name);
    return names;
}

class RetrievalPortsTest : public ::testing::Test {
protected:
    void SetUp() override {
        fake_.write(Scenario()
                        .orgs({"src", "tgt"})
                        .on_prefix({"project", "retrieve", "start"}, Answer().retrieve_from(fixture_orgs())));
    }

    std::string read_layout_text() const {
        return testing::read_file(fixture_orgs() /
                                  "src/Layout/Account-Account Layout/layouts/Account-Account Layout.layout-meta.xml");
    }

    test::AdapterContext adapter_;
    FakeSf fake_;
    ScopedFakeSf installed_{fake_};
    domain::NeverCancelled never_;
};

TEST_F(RetrievalPortsTest, AFirstRetrieveHandsOverItsWorkspaceAndAnEmptyDeltaShowsNoProgress) {
    const auto retrieval = build_metadata_retrieval(adapter_.context);
    const app::CompareSelection selection{{MetadataType::ApexClass, {"Util"}}};
    auto first = retrieval("src", "tgt", selection, {}, nullptr, metadata::retrieve::RetrieveScope::Source, "62.0", never_);
    ASSERT_TRUE(first) << first.error().detail_text();
    ASSERT_TRUE(first->workspace);
    EXPECT_EQ(first->workspace->root().parent_path(), adapter_.root / "quillary");
    EXPECT_TRUE(fs::exists(first->workspace->source_project() / "force-app/main/default/classes/Util.cls"));
    const auto calls = fake_.calls();
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].args,
              (Names{"project", "retrieve", "start", "--manifest",
                     (first->workspace->source_project() / "manifest/package.xml").string(), "--target-org", "src",
                     "--json"}));
    EXPECT_EQ(adapter_.reporter->stages(), (Names{"retrievingMetadata"}));

    const app::RetrieveContinuation continuation{first->workspace, selection};
    auto delta = retrieval("src", "tgt", selection, {}, &continuation, metadata::retrieve::RetrieveScope::Source, "62.0",
                           never_);
    ASSERT_TRUE(delta) << delta.error().detail_text();
    EXPECT_EQ(delta->workspace, first->workspace);
    EXPECT_EQ(adapter_.reporter->stages(), (Names{"retrievingMetadata"}));
    EXPECT_EQ(fake_.calls().size(), 1u);

    const app::CompareSelection wider{{MetadataType::ApexClass, {"Util"}}, {MetadataType::Layout, {"Account-Account Layout"}}};
    auto grown = retrieval("src", "tgt", wider, {}, &continuation, metadata::retrieve::RetrieveScope::Source, "62.0", never_);
    ASSERT_TRUE(grown) << grown.error().detail_text();
    EXPECT_EQ(adapter_.reporter->stages(), (Names{"retrievingMetadata", "retrievingMetadata"}));
    EXPECT_EQ(fake_.calls().size(), 2u);
    ASSERT_TRUE(first->workspace->close());
    EXPECT_TRUE(adapter_.leftovers().empty());
}

TEST_F(RetrievalPortsTest, AFailedRetrieveLeavesNothingBehind) {
    const auto retrieval = build_metadata_retrieval(adapter_.context);
    auto failed = retrieval("nobody", "tgt", {{MetadataType::ApexClass, {"Util"}}}, {}, nullptr,
                            metadata::retrieve::RetrieveScope::Source, "62.0", never_);
    ASSERT_FALSE(failed);
    EXPECT_EQ(failed.error().kind, FailureKind::Operation);
    EXPECT_TRUE(failed.error().first_message().starts_with("Salesforce metadata retrieve failed for alias 'nobody'"))
        << failed.error().first_message();
    EXPECT_FALSE(failed.error().org_alias);
    EXPECT_TRUE(adapter_.leftovers().empty());

    testing::TestToken cancelled;
    cancelled.cancel();
    auto stopped = retrieval("src", "tgt", {{MetadataType::ApexClass, {"Util"}}}, {}, nullptr,
                             metadata::retrieve::RetrieveScope::Source, "62.0", cancelled);
    ASSERT_FALSE(stopped);
    EXPECT_EQ(stopped.error(), app::WorkflowFailure::cancelled());
    EXPECT_TRUE(adapter_.leftovers().empty());
}

TEST_F(RetrievalPortsTest, TargetDocumentsOfAnOrgComeFromAThrowAwayRetrieve) {
    const auto layouts = make_target_layout_reading(adapter_.context);
    auto documents = layouts->target_layout_reading(org_endpoint("src"), {"Account-Account Layout", "Account-Missing"},
                                                    "62.0", never_);
    ASSERT_TRUE(documents) << documents.error().detail_text();
    EXPECT_EQ(keys(*documents), (Names{"Account-Account Layout"}));
    EXPECT_EQ(documents->at("Account-Account Layout"), read_layout_text());
    EXPECT_EQ(adapter_.reporter->stages(), (Names{"retrievingMetadata"}));
    ASSERT_EQ(fake_.calls().size(), 1u);
    EXPECT_EQ(fake_.calls()[0].args.at(6), "src");
    EXPECT_TRUE(fake_.calls()[0].args.at(4).ends_with("target-project/manifest/package.xml"));
    EXPECT_TRUE(adapter_.leftovers().empty());
}

TEST_F(RetrievalPortsTest, TargetFieldsOfAnOrgAreRetrievedWithTheirObject) {
    const auto fields = make_tracking_dependencies(adapter_.context);
    auto documents = fields->target_field_reading(org_endpoint("src"), {"Account.Rating__c", "Account.Missing__c"},
                                                  "62.0", never_);
    ASSERT_TRUE(documents) << documents.error().detail_text();
    EXPECT_EQ(keys(*documents), (Names{"Account.Rating__c"}));
    EXPECT_EQ(documents->at("Account.Rating__c"),
              testing::read_file(fixture_orgs() / "src/CustomObject/Account/objects/Account/fields/Rating__c.field-meta.xml"));
    EXPECT_TRUE(adapter_.leftovers().empty());
    // A name that names no object has no document and fetches nothing.
    auto none = fields->target_field_reading(org_endpoint("src"), {"Rating__c"}, "62.0", never_);
    ASSERT_TRUE(none);
    EXPECT_TRUE(none->empty());
    EXPECT_EQ(fake_.calls().size(), 1u);
}

TEST_F(RetrievalPortsTest, ATargetReadThatFailsLeavesNothingBehind) {
    const auto layouts = make_target_layout_reading(adapter_.context);
    auto failed = layouts->target_layout_reading(org_endpoint("nobody"), {"Account-Account Layout"}, "62.0", never_);
    ASSERT_FALSE(failed);
    EXPECT_EQ(failed.error().kind, FailureKind::Operation);
    EXPECT_TRUE(adapter_.leftovers().empty());
}

TEST(ComponentReadingPort, ReadsATypeAndRefusesRecordData) {
    testing::TempDir dir;
    const fs::path classes = dir.path() / "classes";
    fs::create_directories(classes);
    std::ofstream(classes / "Util.cls") << "public class Util {}";
    std::ofstream(classes / "Util.cls-meta.xml") << "<ApexClass xmlns=\"http://soap.sforce.com/2006/04/metadata\"/>";
    const auto reading = build_component_reading();
    auto components = reading(MetadataType::ApexClass, dir.path());
    ASSERT_TRUE(components) << components.error().detail_text();
    ASSERT_EQ(components->size(), 1u);
    EXPECT_EQ(components->at(0).key.name, "Util");
    auto records = reading(MetadataType::DataRecord(0), dir.path());
    ASSERT_FALSE(records);
    EXPECT_EQ(records.error(), app::WorkflowFailure::operation("Revenue Cloud records are not retrieved as metadata."));
}

TEST(WorkspaceDocuments, MissingUnsafeAndHostileFilesAreLeftOut) {
    testing::TempDir dir;
    const fs::path layouts = dir.path() / "force-app/main/default/layouts";
    fs::create_directories(layouts);
    std::ofstream(layouts / "A-A.layout-meta.xml") << "<Layout/>";
    std::ofstream(dir.path() / "secret.txt") << "outside";
    fs::create_symlink(dir.path() / "secret.txt", layouts / "L-Link.layout-meta.xml");
    ASSERT_EQ(::mkfifo((layouts / "F-Fifo.layout-meta.xml").c_str(), 0600), 0);
    std::ofstream(layouts / "N-Bad.layout-meta.xml") << std::string("\xff\xfe", 2);
    const DocumentMap documents = read_workspace_documents(
        dir.path(), {"A-A", "B-B", "L-Link", "F-Fifo", "N-Bad", "../x", "/abs"}, MetadataType::Layout);
    EXPECT_EQ(keys(documents), (Names{"A-A"}));
    EXPECT_EQ(documents.at("A-A"), "<Layout/>");
}

class BranchDocumentsTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (!testing::isolate_git_environment()) AMBREL_SKIP_UNLESS_CI("git is not installed");
    }
    test::AdapterContext adapter_;
    domain::NeverCancelled never_;
};

TEST_F(BranchDocumentsTest, TheFirstPackageDirectoryHoldingADocumentWins) {
    testing::GitRepo repo(adapter_.dir.path(), "repo");
    repo.write("sfdx-project.json", R"({"packageDirectories":[{"path":"first"},{"path":"second","default":true}]})");
    repo.write("first/main/default/objects/Account/fields/Both__c.field-meta.xml", "first both");
    repo.write("second/main/default/objects/Account/fields/Both__c.field-meta.xml", "second both");
    repo.write("second/main/default/objects/Account/fields/Only__c.field-meta.xml", "second only");
    repo.write("first/main/default/x.field-meta.xml", "unsafe");
    repo.commit_all("fields");
    const auto fields = make_tracking_dependencies(adapter_.context);
    auto documents = fields->target_field_reading(git_endpoint(repo.path(), repo.branch()),
                                                  {"Account.Both__c", "Account.Only__c", "Account.None__c", "../x"},
                                                  "62.0", never_);
    ASSERT_TRUE(documents) << documents.error().detail_text();
    EXPECT_EQ(*documents, (DocumentMap{{"Account.Both__c", "first both"}, {"Account.Only__c", "second only"}}));
    EXPECT_TRUE(adapter_.reporter->events().empty());
}

TEST_F(BranchDocumentsTest, ABranchThatIsNotAnSfdxProjectHasNoDocuments) {
    testing::GitRepo repo(adapter_.dir.path(), "plain");
    repo.write("force-app/main/default/layouts/A-A.layout-meta.xml", "<Layout/>");
    repo.commit_all("no project file");
    const auto layouts = make_target_layout_reading(adapter_.context);
    auto documents = layouts->target_layout_reading(git_endpoint(repo.path(), repo.branch()), {"A-A"}, "62.0", never_);
    ASSERT_TRUE(documents) << documents.error().detail_text();
    EXPECT_TRUE(documents->empty());
    auto missing = layouts->target_layout_reading(git_endpoint(adapter_.dir.path() / "absent", "main"), {"A-A"}, "62.0",
                                                  never_);
    ASSERT_FALSE(missing);
    EXPECT_EQ(missing.error().kind, FailureKind::Operation);
}

}  // namespace
}  // namespace ambrel::server::wiring
