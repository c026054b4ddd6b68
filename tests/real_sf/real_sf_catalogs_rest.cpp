#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "cli/catalogs/org_catalog.hpp"
#include "cli/gateway.hpp"
#include "process/process_runner.hpp"
#include "cli/rest.hpp"
#include "domain/cancellation.hpp"
#include "real_sf/real_sf_fixture.hpp"
#include "support/test_paths.hpp"

namespace ambrel {
namespace {

using ::testing::HasSubstr;

using RealSfCatalogs = testing::RealSfTest;

TEST_F(RealSfCatalogs, RestRequestToAnUnknownAliasCarriesTheCliError) {
    const cli::SfRestChannel channel(*gateway_, std::chrono::seconds(120));
    auto response = channel.get("nosuch", "/services/data/v65.0/sobjects/Account", never_);
    ASSERT_FALSE(response);
    EXPECT_EQ(response.error().message(),
              "Salesforce REST request failed on /services/data/v65.0/sobjects/Account (Error (NamedOrgNotFoundError): "
              "Parsing --target-org No authorization information found for nosuch. See more help with --help). Verify "
              "the selected Salesforce org is authenticated and retry.");
}

TEST_F(RealSfCatalogs, OrgListWithoutOrgsIsEmpty) {
    auto orgs = cli::catalogs::OrgCatalog(nullptr, *gateway_, std::chrono::seconds(120)).list_aliases(never_);
    ASSERT_TRUE(orgs) << orgs.error().message();
    EXPECT_TRUE(orgs->empty());
}

}  // namespace
}  // namespace ambrel
