#include <string>
#include <vector>

#include <fmt/format.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "cli/catalog_test_support.hpp"
#include "cli/catalogs/org_catalog.hpp"
#include "cli/prerequisite.hpp"

namespace ambrel::catalogs_test {
namespace {

using cli::catalogs::OrgCatalog;
using endpoint::OrgAlias;
using endpoint::OrgKind;
using ::testing::HasSubstr;
using ::testing::Not;

constexpr std::string_view kSecret = "00D5g00000DHOUS!standin";

class OrgCatalogTest : public FakeCliTest {
protected:
    std::expected<std::vector<OrgAlias>, cli::CatalogError> list(std::string_view stdout_text, int exit_code = 0) {
        scenario(fake::Scenario().on_prefix({"org", "list"}, fake::Answer().out(std::string(stdout_text)).exit_code(exit_code)));
        return OrgCatalog(nullptr, gateway_, kTimeout).list_aliases(token_);
    }
    static std::string entry(std::string_view alias, std::string_view org_id = "00D1",
                             std::string_view extra = "") {
        return fmt::format(R"({{"alias":{},"username":"u@x","orgId":"{}","accessToken":"{}"{}}})", alias, org_id,
                           kSecret, extra);
    }
    static std::string answer(std::string_view arrays) {
        return fmt::format(R"({{"status":0,"result":{{{}}},"warnings":[]}})", arrays);
    }
};

TEST_F(OrgCatalogTest, ReadsTheRealCliAnswerOnceAndMergesItsTwoArrays) {
    scenario(fake::Scenario().on_exact({"org", "list", "--skip-connection-status", "--json"}, capture("orglist")));
    auto orgs = OrgCatalog(nullptr, gateway_, kTimeout).list_aliases(token_);
    ASSERT_TRUE(orgs) << orgs.error().message();
    ASSERT_EQ(orgs->size(), 1u);
    const OrgAlias& dh = orgs->front();
    EXPECT_EQ(dh.alias, "dh");
    EXPECT_EQ(dh.username, "dana.admin@dreamhouse.standin");
    EXPECT_EQ(dh.org_id, "00D5g00000DHOUSEEAA");
    EXPECT_EQ(dh.instance_url, "http://127.0.0.1:44587/");
    EXPECT_EQ(dh.instance_api_version, "65.0");
    EXPECT_EQ(dh.kind, OrgKind::NonScratch);
    // Detailed log, yet the token the answer carries is nowhere.
    EXPECT_THAT(all_log(), HasSubstr("\"command\":\"org list\""));
    EXPECT_THAT(all_log(), Not(HasSubstr(kSecret)));
}

TEST_F(OrgCatalogTest, CachedWithinAnOperation) {
    scenario(fake::Scenario().on_prefix({"org", "list"}, capture("orglist")));
    gateway_.cache()->begin_operation(true);
    const OrgCatalog catalog(nullptr, gateway_, kTimeout);
    ASSERT_TRUE(catalog.list_aliases(token_));
    ASSERT_TRUE(catalog.list_aliases(token_));
    EXPECT_EQ(calls().size(), 1u);
}

TEST_F(OrgCatalogTest, MergesSortsAndSkips) {
    const std::string arrays = fmt::format(
        R"("nonScratchOrgs":[{},{},{},{},{}],"sandboxes":[{}],"devHubs":[{}],"other":[])", entry(R"("beta")", "00D2"),
        entry(R"("alpha")", "00D3", R"(,"instanceApiVersion":"62.0.1")"), entry("null"), entry(R"("  ")"),
        entry(R"("Alpha")", "00D4", R"(,"instanceApiVersion":"62")"), entry(R"("beta")", "00D2"),
        entry(R"("Alpha")", "00D4"));
    auto orgs = list(answer(arrays));
    ASSERT_TRUE(orgs) << orgs.error().message();
    ASSERT_EQ(orgs->size(), 3u);
    EXPECT_EQ((*orgs)[0].alias, "Alpha");
    EXPECT_EQ((*orgs)[0].kind, OrgKind::NonScratch);  // a dev hub row does not change the kind
    EXPECT_EQ((*orgs)[0].instance_api_version, "62");
    EXPECT_EQ((*orgs)[1].alias, "alpha");
    EXPECT_EQ((*orgs)[1].instance_api_version, std::nullopt);
    EXPECT_EQ((*orgs)[2].alias, "beta");
    EXPECT_EQ((*orgs)[2].kind, OrgKind::Sandbox);
}

TEST_F(OrgCatalogTest, InvalidAnswersFailTheWholeListing) {
    constexpr std::string_view kGuidance = "Run 'sf org list --json' to verify local org authentication, then retry.";
    struct Case {
        std::string stdout_text;
        std::string detail;
    };
    const std::vector<Case> cases = {
        {R"({"status":0,"result":{}})", "result does not contain the expected org array structure"},
        {R"({"status":0,"result":[]})", "result is missing or is not an object containing an org array"},
        {R"({"status":0,"result":{"other":[],"devHubs":{}}})", "result does not contain the expected org array structure"},
        {answer(R"("other":[1])"), "other[0] entry is not an object"},
        {answer(R"("other":[{"alias":5}])"), "other[0].alias value must be text or null"},
        {answer(R"("other":[{"alias":"a","username":" ","orgId":"x"}])"), "other[0].username value must be non-blank text"},
        {answer(R"("other":[{"alias":"a","username":"u","orgId":"x","instanceApiVersion":62}])"),
         "other[0].instanceApiVersion value must be text or null"},
        {answer(fmt::format(R"("other":[{},{}])", entry(R"("a")", "00D1"), entry(R"("a")", "00D9"))),
         "result duplicate alias resolves to conflicting org identities"},
    };
    for (const Case& c : cases) {
        auto orgs = list(c.stdout_text);
        ASSERT_FALSE(orgs) << c.stdout_text;
        EXPECT_EQ(orgs.error().message(),
                  fmt::format("Salesforce CLI org catalog command returned an invalid response: {}. {}", c.detail, kGuidance));
    }
    auto empty = list(answer(R"("other":[])"));
    ASSERT_TRUE(empty);
    EXPECT_TRUE(empty->empty());
}

TEST_F(OrgCatalogTest, FailureMessagesNeverCarryTheToken) {
    const std::string failing = fmt::format(
        R"({{"status":1,"name":"AuthError","message":"refresh failed accessToken={} for org","result":{{"other":[{{"accessToken":"{}"}}]}}}})",
        kSecret, kSecret);
    auto orgs = list(failing, 1);
    ASSERT_FALSE(orgs);
    EXPECT_THAT(orgs.error().message(), HasSubstr("[REDACTED]"));
    EXPECT_THAT(orgs.error().message(), Not(HasSubstr(kSecret)));
    EXPECT_THAT(all_log(), Not(HasSubstr(kSecret)));
}

TEST_F(OrgCatalogTest, PrerequisiteCheckRunsFirst) {
    scenario(fake::Scenario().on_prefix({"version"}, fake::Answer().exit_code(1)).on_prefix({"org", "list"}, capture("orglist")));
    const cli::SfCliPrerequisiteChecker checker(gateway_, kTimeout);
    auto orgs = OrgCatalog(&checker, gateway_, kTimeout).list_aliases(token_);
    ASSERT_FALSE(orgs);
    EXPECT_NE(orgs.error().get_if<cli::CatalogError::Prerequisite>(), nullptr);
    EXPECT_EQ(calls().size(), 1u);
}

}  // namespace
}  // namespace ambrel::catalogs_test
