#include <cstdlib>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "cli/catalogs/metadata_listing.hpp"
#include "cli/catalogs/object_catalog.hpp"
#include "cli/catalogs/organization_catalog.hpp"
#include "cli/catalogs/revenue_cloud_catalog.hpp"
#include "cli/describe.hpp"
#include "cli/gateway.hpp"
#include "cli/login.hpp"
#include "cli/process_runner.hpp"
#include "cli/record_keys.hpp"
#include "cli/schema_catalog.hpp"
#include "domain/cancellation.hpp"
#include "support/test_paths.hpp"

namespace ambrel {
namespace {

using ::testing::HasSubstr;
using ::testing::Not;

// The pinned real CLI with a private HOME: no org is known, so every command that names a target org
// fails on that org, after the CLI has accepted every other argument of the command line. A flag the
// CLI does not know would fail first, with "Nonexistent flag".
class RealSfCommandLines : public ::testing::Test {
protected:
    void SetUp() override {
        executable_ = testing::real_sf_dir() / "node_modules" / ".bin" / "sf";
        if (!std::filesystem::exists(executable_)) GTEST_SKIP() << "the real sf is not installed (scripts/install-real-sf)";
        home_variable_.emplace("HOME", home_.path().string());
        gateway_.emplace(executable_.string(), std::make_unique<cli::DefaultProcessRunner>());
    }

    std::filesystem::path executable_;
    testing::TempDir home_;
    std::optional<testing::ScopedVariable> home_variable_;
    std::optional<cli::SfCliGateway> gateway_;
    domain::NeverCancelled token_;
};

TEST_F(RealSfCommandLines, EveryCatalogueCommandLineIsAcceptedUpToTheUnknownOrg) {
    constexpr std::chrono::seconds kTimeout{120};
    const cli::SfCliGateway& gateway = *gateway_;
    const testing::TempDir work;
    struct Case {
        std::string name;
        std::function<std::string()> failure;
    };
    const std::vector<Case> cases = {
        {"object listing",
         [&] { return cli::catalogs::ObjectCatalog(gateway, kTimeout).list_objects("nosuch", token_).error().message(); }},
        {"metadata listing",
         [&] {
             return cli::catalogs::MetadataListingCatalog(gateway, kTimeout)
                 .list_metadata("ApexClass", "nosuch", token_)
                 .error()
                 .message();
         }},
        {"standard tabs",
         [&] {
             return cli::catalogs::MetadataListingCatalog(gateway, kTimeout)
                 .list_standard_tabs("nosuch", token_)
                 .error()
                 .message();
         }},
        {"organization",
         [&] {
             return cli::catalogs::OrganizationCatalog(gateway, kTimeout).describe("nosuch", token_).error().message();
         }},
        {"product bundles",
         [&] {
             return cli::catalogs::RevenueCloudRecordCatalog(gateway, kTimeout)
                 .list_product_bundles("nosuch", token_)
                 .error()
                 .message();
         }},
        {"object describe",
         [&] {
             return cli::SObjectDescribeCatalog(gateway, kTimeout).describe("nosuch", "Account", token_).error().message();
         }},
        {"record count",
         [&] {
             return cli::RecordKeyCatalog(gateway, kTimeout, kTimeout)
                 .count("nosuch", "Account", std::string_view("Key__c"), token_)
                 .error()
                 .message();
         }},
        {"key fill",
         [&] {
             const std::vector<std::string> ids = {"001000000000001AAA"};
             const auto result = cli::RecordKeyCatalog(gateway, kTimeout, kTimeout)
                                     .fill_keys("nosuch", "Account", "Key__c", ids, work.path(), token_);
             const auto* failed = std::get_if<cli::KeyFillResult::Failed>(&result.value);
             return failed != nullptr ? failed->message : std::string("not a failure");
         }},
        {"field listing",
         [&] {
             return cli::SfSchemaCatalog(gateway, kTimeout)
                 .object_fields("nosuch", {"Account"}, token_)
                 .error()
                 .message();
         }},
    };
    for (const Case& each : cases) {
        SCOPED_TRACE(each.name);
        const std::string failure = each.failure();
        EXPECT_THAT(failure, HasSubstr("nosuch"));
        EXPECT_THAT(failure, Not(HasSubstr("Nonexistent flag")));
    }
}

TEST_F(RealSfCommandLines, AHeadlessBrowserLoginGivesItsSentence) {
    // The CLI refuses a web login in a container before it opens anything.
    const testing::ScopedVariable container("SF_CONTAINER_MODE", "true");
    const cli::OrgLoginService login(*gateway_, std::chrono::seconds(120));
    auto created = login.create_alias("newone", "https://127.0.0.1:9/", {}, token_);
    ASSERT_FALSE(created);
    EXPECT_EQ(created.error().message(),
              "A browser login is not available in this environment. Authenticate the org in a terminal instead.");
}

}  // namespace
}  // namespace ambrel
