#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "cli/catalogs/org_catalog.hpp"
#include "cli/gateway.hpp"
#include "cli/process_runner.hpp"
#include "cli/rest.hpp"
#include "domain/cancellation.hpp"
#include "support/test_paths.hpp"

namespace ambrel {
namespace {

using ::testing::HasSubstr;

// The pinned real CLI, run with a private HOME so that no org or setting of the machine is seen.
class RealSfCatalogs : public ::testing::Test {
protected:
    void SetUp() override {
        executable_ = testing::real_sf_dir() / "node_modules" / ".bin" / "sf";
        if (!std::filesystem::exists(executable_)) GTEST_SKIP() << "the real sf is not installed (scripts/install-real-sf)";
        const char* home = std::getenv("HOME");
        if (home != nullptr) saved_home_ = home;
        ::setenv("HOME", home_.path().c_str(), 1);
        gateway_.emplace(executable_.string(), std::make_unique<cli::DefaultProcessRunner>());
    }
    void TearDown() override {
        if (saved_home_) {
            ::setenv("HOME", saved_home_->c_str(), 1);
        } else {
            ::unsetenv("HOME");
        }
    }

    std::filesystem::path executable_;
    testing::TempDir home_;
    std::optional<std::string> saved_home_;
    std::optional<cli::SfCliGateway> gateway_;
    domain::NeverCancelled token_;
};

TEST_F(RealSfCatalogs, RestRequestToAnUnknownAliasCarriesTheCliError) {
    const cli::SfRestChannel channel(*gateway_, std::chrono::seconds(120));
    auto response = channel.get("nosuch", "/services/data/v65.0/sobjects/Account", token_);
    ASSERT_FALSE(response);
    EXPECT_EQ(response.error().message(),
              "Salesforce REST request failed on /services/data/v65.0/sobjects/Account (Error (NamedOrgNotFoundError): "
              "Parsing --target-org No authorization information found for nosuch. See more help with --help). Verify "
              "the selected Salesforce org is authenticated and retry.");
}

TEST_F(RealSfCatalogs, OrgListWithoutOrgsIsEmpty) {
    auto orgs = cli::catalogs::OrgCatalog(nullptr, *gateway_, std::chrono::seconds(120)).list_aliases(token_);
    ASSERT_TRUE(orgs) << orgs.error().message();
    EXPECT_TRUE(orgs->empty());
}

}  // namespace
}  // namespace ambrel
