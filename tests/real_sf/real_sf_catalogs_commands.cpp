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
#include "process/process_runner.hpp"
#include "cli/record_keys.hpp"
#include "cli/schema_catalog.hpp"
#include "domain/cancellation.hpp"
#include "real_sf/real_sf_fixture.hpp"
#include "support/test_paths.hpp"

namespace ambrel {
namespace {

using ::testing::HasSubstr;
using ::testing::Not;

// No org is known under the private HOME, so every command that names a target org fails on that org,
// after the CLI has accepted every other argument of the command line. A flag the CLI does not know
// would fail first, with "Nonexistent flag".
using RealSfCommandLines = testing::RealSfTest;

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
         [&] { return cli::catalogs::ObjectCatalog(gateway, kTimeout).list_objects("nosuch", never_).error().message(); }},
        {"metadata listing",
         [&] {
             return cli::catalogs::MetadataListingCatalog(gateway, kTimeout)
                 .list_metadata("ApexClass", "nosuch", never_)
                 .error()
                 .message();
         }},
        {"standard tabs",
         [&] {
             return cli::catalogs::MetadataListingCatalog(gateway, kTimeout)
                 .list_standard_tabs("nosuch", never_)
                 .error()
                 .message();
         }},
        {"organization",
         [&] {
             return cli::catalogs::OrganizationCatalog(gateway, kTimeout).describe("nosuch", never_).error().message();
         }},
        {"product bundles",
         [&] {
             return cli::catalogs::RevenueCloudRecordCatalog(gateway, kTimeout)
                 .list_product_bundles("nosuch", never_)
                 .error()
                 .message();
         }},
        {"object describe",
         [&] {
             return cli::SObjectDescribeCatalog(gateway, kTimeout).describe("nosuch", "Account", never_).error().message();
         }},
        {"record count",
         [&] {
             return cli::RecordKeyCatalog(gateway, kTimeout, kTimeout)
                 .count("nosuch", "Account", std::string_view("Key__c"), never_)
                 .error()
                 .message();
         }},
        {"key fill",
         [&] {
             const std::vector<std::string> ids = {"001000000000001AAA"};
             const auto result = cli::RecordKeyCatalog(gateway, kTimeout, kTimeout)
                                     .fill_keys("nosuch", "Account", "Key__c", ids, work.path(), never_);
             const auto* failed = std::get_if<cli::KeyFillResult::Failed>(&result.value);
             return failed != nullptr ? failed->message : std::string("not a failure");
         }},
        {"field listing",
         [&] {
             return cli::SfSchemaCatalog(gateway, kTimeout)
                 .object_fields("nosuch", {"Account"}, never_)
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

TEST_F(RealSfCommandLines, AFieldQueryAgainstAnUnknownOrgShowsTheCliErrorWithoutItsStack) {
    for (const bool external_keys : {false, true}) {
        SCOPED_TRACE(external_keys ? "external keys" : "object fields");
        const cli::SfSchemaCatalog catalog(*gateway_, std::chrono::seconds(120));
        const std::string failure = external_keys
                                        ? catalog.external_key_fields("nosuch", {"Account"}, never_).error().message()
                                        : catalog.object_fields("nosuch", {"Account"}, never_).error().message();
        EXPECT_THAT(failure, ::testing::StartsWith("The object-field query failed. NamedOrgNotFoundError: "));
        EXPECT_THAT(failure, HasSubstr("nosuch"));
        for (std::string_view absent : {"stack", "node_modules", " at ", "\"status\"", "{"}) {
            EXPECT_THAT(failure, Not(HasSubstr(std::string(absent))));
        }
    }
}

TEST_F(RealSfCommandLines, AHeadlessBrowserLoginGivesItsSentence) {
    // The CLI refuses a web login in a container before it opens anything.
    const testing::ScopedVariable container("SF_CONTAINER_MODE", "true");
    const cli::OrgLoginService login(*gateway_, std::chrono::seconds(120));
    auto created = login.create_alias("newone", "https://127.0.0.1:9/", {}, never_);
    ASSERT_FALSE(created);
    EXPECT_EQ(created.error().message(),
              "A browser login is not available in this environment. Authenticate the org in a terminal instead.");
}

}  // namespace
}  // namespace ambrel
