// The command lines of the record port against the real CLI: every request, those with a real
// "--body @file" included, must get as far as the CLI's unknown-org error, never a flag error.

#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "real_sf/real_sf_fixture.hpp"
#include "wiring/record_channels.hpp"

namespace ambrel {
namespace {

namespace synthesis = data::bundles::synthesis;
using ::testing::HasSubstr;
using ::testing::Not;

using RealSfRecordChannels = testing::RealSfTest;

constexpr std::string_view kOrg = "nosuch";
constexpr std::string_view kId = "0kE000000000001AAA";

void expect_unknown_org(const synthesis::ChannelError& error) {
    ASSERT_FALSE(error.is_cancelled());
    EXPECT_THAT(*error.message, HasSubstr("NamedOrgNotFoundError"));
    EXPECT_THAT(*error.message, HasSubstr("nosuch"));
    EXPECT_THAT(*error.message, Not(HasSubstr("Nonexistent flag")));
    EXPECT_THAT(*error.message, Not(HasSubstr("Unexpected argument")));
}

TEST_F(RealSfRecordChannels, EveryRequestReachesTheUnknownOrg) {
    server::wiring::CliRecordChannels channels("65.0", *gateway_);
    const std::vector<json::Object> records = {
        json::Object{{"attributes", json::Object{{"type", "Product2"}}}, {"Name", "Bike"}}};
    {
        SCOPED_TRACE("composite create");
        auto outcomes = channels.composite(kOrg, synthesis::CompositeMethod::Create, records, never_);
        ASSERT_FALSE(outcomes);
        expect_unknown_org(outcomes.error());
    }
    {
        SCOPED_TRACE("composite update");
        auto outcomes = channels.composite(kOrg, synthesis::CompositeMethod::Update, records, never_);
        ASSERT_FALSE(outcomes);
        expect_unknown_org(outcomes.error());
    }
    {
        SCOPED_TRACE("delete");
        auto outcomes = channels.remove(kOrg, {std::string(kId)}, never_);
        ASSERT_FALSE(outcomes);
        expect_unknown_org(outcomes.error());
    }
    {
        SCOPED_TRACE("write cml");
        auto written = channels.write_cml(kOrg, kId, "type Car;", never_);
        ASSERT_FALSE(written);
        expect_unknown_org(written.error());
    }
    {
        SCOPED_TRACE("read cml");
        auto text = channels.read_cml(kOrg, kId, never_);
        ASSERT_FALSE(text);
        expect_unknown_org(text.error());
    }
    {
        SCOPED_TRACE("activation");
        auto active = channels.set_version_active(kOrg, kId, true, never_);
        ASSERT_FALSE(active);
        expect_unknown_org(active.error());
    }
    {
        SCOPED_TRACE("query");
        auto rows = channels.query(kOrg, "SELECT Id FROM ExpressionSetVersion", never_);
        ASSERT_FALSE(rows);
        expect_unknown_org(rows.error());
    }
}

TEST_F(RealSfRecordChannels, VersionListingReachesTheUnknownOrgWithItsAlias) {
    auto records = server::wiring::list_expression_set_versions(*gateway_, kOrg, "Pricing_Rules", never_);
    ASSERT_FALSE(records);
    EXPECT_EQ(records.error().org_alias, std::optional<std::string>(kOrg));
    EXPECT_THAT(records.error().first_message(), HasSubstr("NamedOrgNotFoundError"));
}

}  // namespace
}  // namespace ambrel
