#include <chrono>
#include <string>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "cli/catalog_results.hpp"
#include "cli/gateway.hpp"
#include "data/permission_carrier/profile_carrier.hpp"
#include "real_sf/real_sf_fixture.hpp"

namespace ambrel {
namespace {

using ::testing::HasSubstr;
using ::testing::Not;

using RealSfProfileCarrier = testing::RealSfTest;

constexpr std::chrono::seconds kTimeout{120};

TEST_F(RealSfProfileCarrier, TheProfileListingReachesTheUnknownOrg) {
    const auto answer =
        gateway_->execute_inner(data::permission_carrier::profile_listing_arguments("nosuch"), std::nullopt, kTimeout, never_);
    ASSERT_TRUE(answer) << answer.error().message();
    const auto refused = cli::catalogs::require_successful_catalog_command(
        *answer, data::permission_carrier::kProfileListingLabel, data::permission_carrier::kGuidance);
    ASSERT_FALSE(refused);
    EXPECT_THAT(refused.error().message(), HasSubstr("NamedOrgNotFoundError"));
    EXPECT_THAT(refused.error().message(), Not(HasSubstr("Nonexistent flag")));
}

TEST_F(RealSfProfileCarrier, TheAliasListAnswersOffline) {
    const auto answer =
        gateway_->execute_inner(data::permission_carrier::alias_listing_arguments(), std::nullopt, kTimeout, never_);
    ASSERT_TRUE(answer) << answer.error().message();
    const auto document = cli::catalogs::require_successful_catalog_command(
        *answer, data::permission_carrier::kAliasListingLabel, data::permission_carrier::kGuidance);
    ASSERT_TRUE(document) << document.error().message();
    const auto user = data::permission_carrier::parse_alias_listing(document->get(), "nosuch");
    ASSERT_TRUE(user) << user.error().message();
    EXPECT_EQ(*user, std::nullopt);
}

TEST_F(RealSfProfileCarrier, AnUnknownAliasHasNoProfile) {
    const data::permission_carrier::ProfileCarrierCatalog catalog(*gateway_, kTimeout);
    const auto profile = catalog.running_user_profile_full_name("nosuch", never_);
    ASSERT_TRUE(profile) << profile.error().message();
    EXPECT_EQ(*profile, std::nullopt);
}

}  // namespace
}  // namespace ambrel
