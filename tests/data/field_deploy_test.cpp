#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "data/field_deploy/field_deploy.hpp"
#include "data/field_package/field_package.hpp"
#include "support/doubles.hpp"
#include "support/test_paths.hpp"

namespace ambrel::data::field_deploy {
namespace {

namespace fs = std::filesystem;
namespace gateway = deployment::deploy_gateway;

fs::path golden(std::string_view name) { return testing::tests_dir() / "fixtures" / "record_documents" / std::string(name); }

void expect_golden(std::string_view name, const std::string& text) {
    if (std::getenv("AMBREL_WRITE_GOLDEN") != nullptr) {
        std::ofstream(golden(name), std::ios::binary | std::ios::trunc) << text;
    }
    EXPECT_EQ(text, testing::read_file(golden(name))) << name;
}

// Answers with a fixed result and records what it was asked.
class FakeDeployGateway final : public gateway::MetadataDeployGateway {
public:
    gateway::MetadataDeployResult result{gateway::MetadataDeployResult::Succeeded{"0Af1", false}};
    int calls = 0;
    fs::path source_dir;
    fs::path working_dir;
    std::string org;
    gateway::RequestedComponents requested;
    // Files below the source folder when the deploy was asked for.
    std::set<std::string> files;

    gateway::MetadataDeployResult deploy(const fs::path& source, const fs::path& working, const std::string& target_org,
                                         const gateway::RequestedComponents& components,
                                         const domain::CancellationToken&) override {
        ++calls;
        source_dir = source;
        working_dir = working;
        org = target_org;
        requested = components;
        for (const auto& entry : fs::recursive_directory_iterator(source)) {
            if (entry.is_regular_file()) files.insert(fs::relative(entry.path(), source).generic_string());
        }
        return result;
    }
    std::optional<std::pair<std::uint32_t, std::uint32_t>> recorded_tests() const override { return std::nullopt; }
    std::optional<std::string> recorded_test_failures() const override { return std::nullopt; }
    std::optional<std::uint64_t> recorded_deployed_count() const override { return std::nullopt; }
};

TEST(FieldPackage, DocumentsMatchTheGoldenFiles) {
    expect_golden("external_id.field-meta.xml", field_package::external_id_field_document());
    expect_golden("external_id.profile-meta.xml",
                  field_package::profile_field_permissions_document({"Product2", "AttributeCategory", "Product2"}));
    EXPECT_EQ(field_package::escape_xml("a&<>\"'é"), "a&amp;&lt;&gt;&quot;&apos;é");
}

TEST(FieldDeploy, WritesThePackageAndDeploysTheRequestedSet) {
    testing::TempDir root;
    fs::create_directories(root.path() / "force-app" / "leftover");
    std::ofstream(root.path() / "force-app" / "leftover" / "old.txt") << "old";
    FakeDeployGateway fake;
    PreparationFieldDeployer deployer(fake);
    testing::TestToken token;
    const auto deployed = deployer.deploy(root.path() / "." / "sub" / "..", "dh", {"Product2", "PricebookEntry", "Product2"},
                                          std::string("Custom: Sales Profile"), "65.0", token);
    ASSERT_TRUE(deployed) << deployed.error();
    EXPECT_EQ(fake.calls, 1);
    EXPECT_EQ(fake.org, "dh");
    EXPECT_EQ(fake.working_dir, root.path());
    EXPECT_EQ(fake.source_dir, root.path() / "force-app");
    EXPECT_EQ(fake.files, (std::set<std::string>{"objects/PricebookEntry/fields/QuillaryExternalId__c.field-meta.xml",
                                                 "objects/Product2/fields/QuillaryExternalId__c.field-meta.xml",
                                                 "profiles/Custom: Sales Profile.profile-meta.xml"}));
    EXPECT_EQ(fake.requested, (gateway::RequestedComponents{{"CustomField", "PricebookEntry.QuillaryExternalId__c"},
                                                            {"CustomField", "Product2.QuillaryExternalId__c"},
                                                            {"Profile", "Custom: Sales Profile"}}));
    EXPECT_EQ(testing::read_file(root.path() / "force-app/objects/Product2/fields/QuillaryExternalId__c.field-meta.xml"),
              field_package::external_id_field_document());
    EXPECT_EQ(testing::read_file(root.path() / "force-app/profiles/Custom: Sales Profile.profile-meta.xml"),
              field_package::profile_field_permissions_document({"PricebookEntry", "Product2"}));
    EXPECT_TRUE(fs::exists(root.path() / "sfdx-project.json"));
    EXPECT_FALSE(fs::exists(root.path() / "force-app" / "leftover"));
}

TEST(FieldDeploy, RefusalsAndEarlyAnswers) {
    struct Case {
        std::string name;
        std::vector<std::string> objects;
        std::optional<std::string> profile;
        bool cancelled;
        std::optional<std::string> error;
    };
    const std::vector<Case> cases = {
        {"no objects", {}, std::nullopt, true, std::nullopt},
        {"cancelled", {"Product2"}, std::string("Admin"), true, "Salesforce metadata deployment was cancelled."},
        {"no profile", {"Product2"}, std::nullopt, false, std::string(kMissingProfile)},
        {"dot dot object", {"Product2", ".."}, std::string("Admin"), false,
         "Preparation package destination path is not a safe relative path. Offending path: "
         "objects/../fields/QuillaryExternalId__c.field-meta.xml"},
        {"backslash object", {"A\\B"}, std::string("Admin"), false,
         "Preparation package destination path is not a safe relative path. Offending path: "
         "objects/A\\B/fields/QuillaryExternalId__c.field-meta.xml"},
        {"control object", {"A\x01"}, std::string("Admin"), false,
         "Preparation package destination path is not a safe relative path. Offending path: "
         "objects/A /fields/QuillaryExternalId__c.field-meta.xml"},
        {"control profile", {"Product2"}, std::string("Ad\nmin"), false,
         "Preparation package destination path is not a safe relative path. Offending path: profiles/Ad min.profile-meta.xml"},
        {"slash profile", {"Product2"}, std::string("../x"), false,
         "Preparation package destination path is not a safe relative path. Offending path: profiles/../x.profile-meta.xml"},
    };
    for (const Case& test : cases) {
        SCOPED_TRACE(test.name);
        testing::TempDir root;
        FakeDeployGateway fake;
        PreparationFieldDeployer deployer(fake);
        testing::TestToken token;
        token.set(test.cancelled);
        const auto deployed = deployer.deploy(root.path(), "dh", test.objects, test.profile, "65.0", token);
        if (test.error) {
            ASSERT_FALSE(deployed);
            EXPECT_EQ(deployed.error(), *test.error);
        } else {
            EXPECT_TRUE(deployed);
        }
        EXPECT_EQ(fake.calls, 0);
        EXPECT_TRUE(fs::is_empty(root.path()));
    }
}

TEST(FieldDeploy, GatewayResultsBecomeCreationFailures) {
    using Result = gateway::MetadataDeployResult;
    const gateway::MetadataComponentKey key{"CustomField", "Product2.QuillaryExternalId__c"};
    const std::pair<Result, std::string> cases[] = {
        {Result{Result::ComponentFailures{{{key, "Field is taken\n"}, {key, "second"}}, "overall", false, std::nullopt}},
         "The external ID field could not be created in this org. Field is taken"},
        {Result{Result::ComponentFailures{{}, "overall message", false, std::nullopt}},
         "The external ID field could not be created in this org. overall message"},
        {Result{Result::Failed{"  \t ", {}}}, "The external ID field could not be created in this org."},
        {Result{Result::Failed{"failed", {{key, "coverage"}}}},
         "The external ID field could not be created in this org. coverage"},
        {Result{Result::Error{"Salesforce CLI returned malformed or missing JSON.\x1b[0m"}},
         "The external ID field could not be created in this org. Salesforce CLI returned malformed or missing JSON. [0m"},
    };
    for (const auto& [result, message] : cases) {
        SCOPED_TRACE(message);
        testing::TempDir root;
        FakeDeployGateway fake;
        fake.result = result;
        PreparationFieldDeployer deployer(fake);
        testing::TestToken token;
        const auto deployed = deployer.deploy(root.path(), "dh", {"Product2"}, std::string("Admin"), "65.0", token);
        ASSERT_FALSE(deployed);
        EXPECT_EQ(deployed.error(), message);
    }
}

TEST(FieldDeploy, CancelledAfterWritingDeploysNothing) {
    testing::TempDir root;
    FakeDeployGateway fake;
    PreparationFieldDeployer deployer(fake);
    int polls = 0;
    testing::TestToken token([&polls] { return ++polls >= 2; });
    const auto deployed = deployer.deploy(root.path(), "dh", {"Product2"}, std::string("Admin"), "65.0", token);
    EXPECT_EQ(deployed.error(), "Salesforce metadata deployment was cancelled.");
    EXPECT_EQ(fake.calls, 0);
    EXPECT_TRUE(fs::exists(root.path() / "force-app/profiles/Admin.profile-meta.xml"));
}

TEST(FieldDeploy, AnUnwritablePackageFolderIsAPackagingFailure) {
    testing::TempDir root;
    FakeDeployGateway fake;
    PreparationFieldDeployer deployer(fake);
    testing::TestToken token;
    // A file where the project folder must be: the manifest cannot be written.
    const auto blocked = root.path() / "blocked";
    std::ofstream(blocked) << "a file, not a folder";
    const auto deployed = deployer.deploy(blocked, "dh", {"Product2"}, std::string("Admin"), "65.0", token);
    EXPECT_EQ(deployed.error(), "The external ID field package could not be written on this machine.");
    EXPECT_EQ(fake.calls, 0);
}

TEST(FieldDeploy, ALinkedPackageFolderIsReplacedNotFollowed) {
    testing::TempDir root;
    testing::TempDir outside;
    std::ofstream(outside.path() / "keep.txt") << "keep";
    fs::create_directory_symlink(outside.path(), root.path() / "force-app");
    FakeDeployGateway fake;
    PreparationFieldDeployer deployer(fake);
    testing::TestToken token;
    ASSERT_TRUE(deployer.deploy(root.path(), "dh", {"Product2"}, std::string("Admin"), "65.0", token));
    EXPECT_TRUE(fs::exists(outside.path() / "keep.txt"));
    EXPECT_FALSE(fs::is_symlink(root.path() / "force-app"));
    EXPECT_FALSE(fs::exists(outside.path() / "objects"));
}

}  // namespace
}  // namespace ambrel::data::field_deploy
