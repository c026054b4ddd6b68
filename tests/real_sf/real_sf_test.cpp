// The gateway against the pinned real Salesforce CLI (tools/sf-cli, installed by scripts/test). It
// works offline for the version, an empty org list and errors raised before any network call. Each
// call costs about a second of Node.js start-up, so the suite runs as few as it can.

#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "cli/catalog_results.hpp"
#include "cli/gateway.hpp"
#include "cli/prerequisite.hpp"
#include "cli/resolver.hpp"
#include "real_sf/real_sf_fixture.hpp"
#include "support/test_paths.hpp"

namespace ambrel::cli {
namespace {

using ambrel::testing::ScopedVariable;

using namespace std::chrono_literals;
using ::testing::HasSubstr;
using ::testing::StartsWith;

namespace fs = std::filesystem;

using ambrel::testing::real_sf_bin;

using RealSf = ambrel::testing::RealSfTest;

TEST_F(RealSf, IsFoundThroughPathAndPassesTheVersionCheck) {
    EXPECT_EQ(gateway_->executable(), (real_sf_bin() / "sf").string());
    auto check = SfCliPrerequisiteChecker(*gateway_, 120s).check(never_);
    EXPECT_TRUE(check) << check.error().message();
}

TEST_F(RealSf, ListsNoOrgsEvenWhenTheServerInheritsForceColour) {
    // The CLI colours its JSON when FORCE_COLOR is inherited; the runner turns it off for the child.
    ScopedVariable colour("FORCE_COLOR", "1");
    auto result = gateway_->execute_inner({"org", "list", "--skip-connection-status"}, std::nullopt, 120s, never_);
    ASSERT_TRUE(result) << result.error().message();
    auto document = catalogs::require_successful_catalog_command(
        *result, "org catalog command", "Run 'sf org list --json' to verify local org authentication, then retry.");
    ASSERT_TRUE(document) << document.error().message();
    const json::Value* listing = json::find(document->get(), "result");
    ASSERT_NE(listing, nullptr);
    const json::Value* orgs = json::find(*listing, "nonScratchOrgs");
    ASSERT_NE(orgs, nullptr);
    ASSERT_TRUE(orgs->is_array());
    EXPECT_TRUE(orgs->as_array().empty());
}

TEST_F(RealSf, AQueryWithAnUnknownAliasFailsWithTheClisOwnMessage) {
    auto result = gateway_->execute_inner(
        {"data", "query", "--query", "SELECT Id FROM Account", "--target-org", "nosuch-alias"}, std::nullopt, 120s,
        never_);
    ASSERT_TRUE(result) << result.error().message();
    auto failure = catalogs::require_successful_catalog_command(
        *result, "object catalog command",
        "Verify the selected Salesforce org is authenticated and retry object loading.");
    ASSERT_FALSE(failure);
    const std::string message = failure.error().message();
    EXPECT_THAT(message, StartsWith("Salesforce CLI object catalog command failed (exit code 2, status 2, timed out: "
                                    "false). Verify the selected Salesforce org is authenticated and retry object "
                                    "loading. CLI details: NamedOrgNotFoundError: "));
    EXPECT_THAT(message, HasSubstr("No authorization information found for nosuch-alias."));
}

}  // namespace
}  // namespace ambrel::cli
