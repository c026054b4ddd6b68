// The container catalogue over the real CLI gateway and the fake `sf`.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "cli/gateway.hpp"
#include "cli/resolver.hpp"
#include "deployment/fls_catalog/fls_catalog.hpp"
#include "fakes/fake_sf.hpp"
#include "support/doubles.hpp"
#include "support/programming_error.hpp"
#include "support/test_paths.hpp"

namespace ambrel {
namespace {

using deployment::fls_catalog::FlsCatalogError;
using deployment::fls_catalog::SfFlsContainerCatalog;
using domain::FlsContainer;
using domain::FlsContainerKind;
using testing::fake_sf::Answer;
using testing::fake_sf::FakeSf;
using testing::fake_sf::Scenario;
using testing::fake_sf::ScopedFakeSf;

constexpr const char* kOrg = "dana.admin@dreamhouse.standin";

std::filesystem::path standin(std::string name) { return testing::tests_dir() / "fixtures/sf-cli/standin" / name; }

Answer standin_capture(const std::string& name) {
    Answer answer;
    answer.out_file(standin(name + ".out"));
    if (std::filesystem::exists(standin(name + ".err"))) answer.err_file(standin(name + ".err"));
    std::ifstream rc(standin(name + ".rc"));
    std::int64_t code = 0;
    rc >> code;
    answer.exit_code(code);
    return answer;
}

// Records shaped like the org's plain PermissionSet answer, with a License object.
std::string plain_record(std::string id, std::string name, std::string license = "null") {
    return R"({"attributes":{"type":"PermissionSet","url":"/services/data/v65.0/sobjects/PermissionSet/)" + id +
           R"("},"Id":")" + id + R"(","Name":")" + name + R"(","NamespacePrefix":null,"IsOwnedByProfile":false,)"
           R"("ProfileId":null,"Label":")" + name + R"( Label","Profile":null,"License":)" + license + "}";
}
std::string profile_record(std::string id, std::string profile_id, std::string profile_name) {
    return R"({"attributes":{"type":"PermissionSet"},"Id":")" + id + R"(","Name":"X00ex","NamespacePrefix":null,)"
           R"("IsOwnedByProfile":true,"ProfileId":")" + profile_id +
           R"(","Label":null,"Profile":{"attributes":{"type":"Profile"},"Name":")" + profile_name +
           R"("},"License":{"attributes":{"type":"UserLicense"},"Name":"Salesforce"}})";
}
std::string query_answer(const std::vector<std::string>& records, std::string extra = "") {
    std::string joined;
    for (const auto& r : records) joined += (joined.empty() ? "" : ",") + r;
    return R"({"status":0,"result":{"records":[)" + joined + R"(],"totalSize":)" + std::to_string(records.size()) +
           R"(,"done":true)" + extra + R"(},"warnings":[]})";
}

struct Harness {
    explicit Harness(const Scenario& scenario) {
        fake.write(scenario);
        installed.emplace(fake);
        gateway.emplace(cli::SfCliExecutableResolver::for_this_process().resolve(),
                        std::make_unique<process::DefaultProcessRunner>());
        catalog.emplace(*gateway);
    }
    FakeSf fake;
    std::optional<ScopedFakeSf> installed;
    std::optional<cli::SfCliGateway> gateway;
    std::optional<SfFlsContainerCatalog> catalog;
    domain::NeverCancelled never;
};

const std::string kContainerSoql(deployment::fls_catalog::kContainerQuery);

TEST(FlsCatalog, ListsContainersFromTheQueryAndBothListings) {
    Harness h(Scenario()
                  .on_contains({kContainerSoql},
                               Answer().out(query_answer({plain_record("0PS000Z32tdRtShGCK", "dreamhouse"),
                                                          plain_record("0PS000000000002AAA", "beta",
                                                                       R"({"DeveloperName":" Lic "})"),
                                                          profile_record("0PS000000000003AAA", "00e000YTxhULc1rAGD",
                                                                         "System Administrator")})))
                  .on_contains({"PermissionSet", "--metadata-type"}, standin_capture("listmeta_permset"))
                  .on_contains({"Profile", "--metadata-type"}, standin_capture("listmeta_profile")));
    auto containers = h.catalog->containers(kOrg, h.never);
    ASSERT_TRUE(containers) << containers.error().message();
    ASSERT_EQ(containers->size(), 3u);
    EXPECT_EQ((*containers)[0].api_name, "Admin");
    EXPECT_EQ((*containers)[0].label, "System Administrator");
    EXPECT_EQ((*containers)[0].kind, FlsContainerKind::Profile);
    EXPECT_TRUE((*containers)[0].retrievable);
    EXPECT_EQ((*containers)[0].license_name, std::optional<std::string>("Salesforce"));
    EXPECT_EQ((*containers)[1].api_name, "beta");
    EXPECT_FALSE((*containers)[1].retrievable);
    EXPECT_EQ((*containers)[1].license_name, std::optional<std::string>("Lic"));
    EXPECT_EQ((*containers)[2].api_name, "dreamhouse");
    EXPECT_EQ((*containers)[2].label, "dreamhouse Label");
    EXPECT_TRUE((*containers)[2].retrievable);
    const auto calls = h.fake.calls();
    ASSERT_EQ(calls.size(), 3u);
    EXPECT_EQ(calls[0].args, (std::vector<std::string>{"data", "query", "--query", kContainerSoql, "--target-org", kOrg,
                                                       "--json"}));
    EXPECT_EQ(calls[1].args, (std::vector<std::string>{"org", "list", "metadata", "--metadata-type", "PermissionSet",
                                                       "--target-org", kOrg, "--json"}));
}

TEST(FlsCatalog, NoRecordsMeansNoListingAndEmptyListingsAreValid) {
    Harness none(Scenario().on_contains({kContainerSoql}, Answer().out(query_answer({}))));
    auto empty = none.catalog->containers(kOrg, none.never);
    ASSERT_TRUE(empty) << empty.error().message();
    EXPECT_TRUE(empty->empty());
    EXPECT_EQ(none.fake.calls().size(), 1u);

    const std::string nothing =
        R"({"status":0,"result":[],"warnings":["No metadata found for type: PermissionSet in org: dana.admin@dreamhouse.standin."]})";
    Harness h(Scenario()
                  .on_contains({kContainerSoql}, Answer().out(query_answer({profile_record("0PS000000000003AAA",
                                                                                           "00e000YTxhULc1rAGD", "Admin")})))
                  .on_contains({"PermissionSet", "--metadata-type"}, Answer().out(nothing))
                  .on_contains({"Profile", "--metadata-type"}, standin_capture("listmeta_profile")));
    auto listed = h.catalog->containers(kOrg, h.never);
    ASSERT_TRUE(listed) << listed.error().message();
    EXPECT_EQ(listed->size(), 1u);

    const std::string warned_with_rows =
        R"({"status":0,"result":[{"type":"PermissionSet","fullName":"a"}],"warnings":["No metadata found for type: PermissionSet in org: x."]})";
    Harness other(Scenario()
                      .on_contains({kContainerSoql}, Answer().out(query_answer({plain_record("0PS000Z32tdRtShGCK", "a")})))
                      .on_contains({"PermissionSet", "--metadata-type"}, Answer().out(warned_with_rows)));
    auto refused = other.catalog->containers(kOrg, other.never);
    ASSERT_FALSE(refused);
    EXPECT_EQ(refused.error().message(), "Salesforce PermissionSet metadata inventory contains warnings");
}

TEST(FlsCatalog, FailedAnswersAreRetriedOnceWithACleanDetail) {
    struct Case {
        std::string name;
        Answer answer;
        std::string message;
        std::size_t calls;
    };
    const std::vector<Case> cases{
        {"no json", Answer().err("boom accessToken=SECRET123\n\tmore").exit_code(1),
         "Salesforce CLI returned an invalid permission-container query response. boom accessToken=\"[REDACTED]\" more", 2},
        {"malformed", Answer().out("{not json"),
         "Salesforce CLI returned an invalid permission-container query response. {not json", 2},
        {"status 0 with exit 1", Answer().out(R"({"status":0,"result":{},"message":"odd"})").exit_code(1),
         "Salesforce permission-container query failed. odd", 2},
        {"error envelope", Answer().out(R"({"status":1,"name":"ERR","message":"second"})").exit_code(1),
         "Salesforce permission-container query failed. ERR", 2},
        {"secret inside a JSON message", Answer().out(R"({"status":1,"message":"bad clientSecret=xyz, rest"})").exit_code(1),
         "Salesforce permission-container query failed. bad clientSecret=\"[REDACTED]\"", 2},
        {"unknown org", Answer::capture("listmeta"), "Salesforce permission-container query failed. NamedOrgNotFoundError", 2},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Harness h(Scenario().otherwise(c.answer));
        auto result = h.catalog->containers(kOrg, h.never);
        ASSERT_FALSE(result);
        EXPECT_EQ(result.error().kind(), FlsCatalogError::Kind::QueryFailed);
        EXPECT_EQ(result.error().message(), c.message);
        EXPECT_EQ(h.fake.calls().size(), c.calls);
    }
}

TEST(FlsCatalog, CancellationDuringAnAttemptIsNeverRetried) {
    Harness h(Scenario().otherwise(Answer().out(R"({"status":1})").exit_code(1).sleep_ms(300)));
    testing::TestToken token([&] { return !h.fake.calls().empty(); });
    auto result = h.catalog->permission_set_names(kOrg, token);
    ASSERT_FALSE(result);
    EXPECT_TRUE(result.error().is_cancelled());
    EXPECT_EQ(h.fake.calls().size(), 1u);
    testing::TestToken already;
    already.cancel();
    auto before = h.catalog->containers(kOrg, already);
    ASSERT_FALSE(before);
    EXPECT_TRUE(before.error().is_cancelled());
    EXPECT_EQ(h.fake.calls().size(), 1u);
}

TEST(FlsCatalog, ATimedOutAnswerIsNeverASuccess) {
    FakeSf fake;
    fake.write(Scenario().otherwise(Answer().out(query_answer({})).sleep_ms(5000)));
    ScopedFakeSf installed(fake);
    const cli::SfCliGateway gateway(cli::SfCliExecutableResolver::for_this_process().resolve(),
                                    std::make_unique<process::DefaultProcessRunner>());
    const SfFlsContainerCatalog catalog(gateway, std::chrono::milliseconds(300));
    domain::NeverCancelled never;
    auto result = catalog.containers(kOrg, never);
    ASSERT_FALSE(result);
    EXPECT_EQ(result.error().kind(), FlsCatalogError::Kind::QueryFailed);
    EXPECT_TRUE(result.error().message().starts_with("Salesforce")) << result.error().message();
}

TEST(FlsCatalog, IncompleteOrMalformedAnswersGiveNoContainers) {
    struct Case {
        std::string answer;
        std::string message;
    };
    const std::string record = plain_record("0PS000Z32tdRtShGCK", "a");
    const std::vector<Case> cases{
        {R"({"status":0,"result":[]})", "Salesforce query response has no result object"},
        {R"({"status":0,"result":{"done":true,"totalSize":0}})", "Salesforce query response has no result.records"},
        {R"({"status":0,"result":{"records":[1],"done":true,"totalSize":1}})", "Salesforce query returned a non-object record"},
        {R"({"status":0,"result":{"records":"x","done":true,"totalSize":1}})", "Salesforce query returned invalid result.records"},
        {R"({"status":0,"result":{"records":[],"totalSize":0}})", "Salesforce query response has no valid result.done"},
        {R"({"status":0,"result":{"records":[],"done":true,"totalSize":-1}})",
         "Salesforce query response has no valid result.totalSize"},
        {R"({"status":0,"result":{"records":[],"done":true,"totalSize":0},"warnings":"x"})",
         "Salesforce query response has malformed warnings"},
        {R"({"status":0,"result":{"records":[)" + record + R"(],"done":true,"totalSize":3}})",
         "Salesforce permission-container query result is incomplete or truncated"},
        {R"({"status":0,"result":{"records":[)" + record + R"(],"done":false,"totalSize":1}})",
         "Salesforce permission-container query result is incomplete or truncated"},
        {R"({"status":0,"result":{"records":[)" + record + R"(],"done":true,"totalSize":1},"warnings":["w"]})",
         "Salesforce permission-container query result is incomplete or truncated"},
        {query_answer({plain_record("0PS000Z32tdRtShGCKx", "a")}), "PermissionSet record has no valid Id"},
        {query_answer({plain_record("0AB000Z32tdRtShGCK", "a")}), "PermissionSet record has no valid Id"},
        {query_answer({R"({"Id":"0PS000Z32tdRtShGCK","Name":"a","IsOwnedByProfile":false})"}),
         "Salesforce record has no NamespacePrefix field"},
        {query_answer({R"({"Id":"0PS000Z32tdRtShGCK","Name":"a","IsOwnedByProfile":false,"NamespacePrefix":5})"}),
         "Salesforce record has invalid NamespacePrefix text"},
        {query_answer({R"({"Id":"0PS000Z32tdRtShGCK","Name":"a","NamespacePrefix":null})"}),
         "Salesforce record has no valid IsOwnedByProfile boolean"},
        {query_answer({R"({"Id":"0PS000Z32tdRtShGCK","IsOwnedByProfile":true,"NamespacePrefix":null})"}),
         "Profile-owned PermissionSet record has no Profile relationship"},
        {query_answer({R"({"Id":"0PS000Z32tdRtShGCK","IsOwnedByProfile":true,"Profile":{},"NamespacePrefix":null})"}),
         "Profile-owned PermissionSet record has no Profile.Name"},
        {query_answer({R"({"Id":"0PS000Z32tdRtShGCK","IsOwnedByProfile":false,"NamespacePrefix":null})"}),
         "PermissionSet record has no Name"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.answer);
        Harness h(Scenario().otherwise(Answer().out(c.answer)));
        auto result = h.catalog->containers(kOrg, h.never);
        ASSERT_FALSE(result);
        EXPECT_EQ(result.error().message(), c.message);
    }
    Harness listing(Scenario()
                        .on_contains({kContainerSoql}, Answer().out(query_answer({record})))
                        .on_contains({"PermissionSet", "--metadata-type"}, Answer().out(R"({"status":0,"result":[]})")));
    auto result = listing.catalog->containers(kOrg, listing.never);
    ASSERT_FALSE(result);
    EXPECT_EQ(result.error().message(), "Salesforce PermissionSet metadata inventory has no warnings array");
    EXPECT_THROW((void)listing.catalog->containers("  ", listing.never), support::ProgrammingError);
}

TEST(FlsCatalog, LicenceNames) {
    const std::string psl(deployment::fls_catalog::kPermissionSetLicenseQuery);
    const std::string users(deployment::fls_catalog::kUserLicenseQuery);
    Harness h(Scenario()
                  .on_contains({psl}, Answer().out(query_answer({})))
                  .on_contains({users}, Answer().out(query_answer({R"({"Name":" Salesforce "})", R"({"Name":"Chatter"})"}))));
    auto names = h.catalog->license_names(kOrg, h.never);
    ASSERT_TRUE(names) << names.error().message();
    EXPECT_EQ(*names, (std::set<std::string>{"Chatter", "Salesforce"}));
    EXPECT_EQ(h.fake.calls().size(), 2u);

    Harness no_users(Scenario().otherwise(Answer().out(query_answer({}))));
    auto refused = no_users.catalog->license_names(kOrg, no_users.never);
    ASSERT_FALSE(refused);
    EXPECT_EQ(refused.error().message(), "Salesforce license query returned no records");

    Harness invalid_type(Scenario().on_contains({psl}, standin_capture("q_psl")));
    auto failed = invalid_type.catalog->license_names(kOrg, invalid_type.never);
    ASSERT_FALSE(failed);
    EXPECT_EQ(failed.error().message(), "Salesforce license query failed. INVALID_TYPE");
    EXPECT_EQ(invalid_type.fake.calls().size(), 2u);

    auto blank = h.catalog->license_names(" ", h.never);
    ASSERT_FALSE(blank);
    EXPECT_EQ(blank.error().message(), "The target org username is empty, so its licenses cannot be listed.");
}

TEST(FlsCatalog, PermissionSetNames) {
    std::string namespaced = plain_record("0PS000000000005AAA", "Sales_Ops");
    namespaced.replace(namespaced.find("\"NamespacePrefix\":null"), 22, "\"NamespacePrefix\":\"ns\"");
    Harness h(Scenario().on_contains(
        {kContainerSoql},
        Answer().out(query_answer({plain_record("0PS000Z32tdRtShGCK", "b"), plain_record("0PS000000000002AAA", "b"),
                                   namespaced, profile_record("0PS000000000003AAA", "00e000YTxhULc1rAGD", "Admin")}))));
    auto names = h.catalog->permission_set_names(kOrg, h.never);
    ASSERT_TRUE(names) << names.error().message();
    EXPECT_EQ(*names, (std::vector<std::string>{"b", "ns__Sales_Ops"}));
    auto blank = h.catalog->permission_set_names("", h.never);
    ASSERT_FALSE(blank);
    EXPECT_EQ(blank.error().message(), "The target org username is empty, so its Permission Sets cannot be listed.");
}

TEST(FlsCatalog, UnknownOrgListingFailsAfterTwoRuns) {
    Harness h(Scenario()
                  .on_contains({kContainerSoql}, Answer().out(query_answer({plain_record("0PS000Z32tdRtShGCK", "a")})))
                  .on_contains({"--metadata-type"}, Answer::capture("listmeta")));
    auto result = h.catalog->containers(kOrg, h.never);
    ASSERT_FALSE(result);
    EXPECT_EQ(result.error().message(), "Salesforce PermissionSet metadata inventory failed. NamedOrgNotFoundError");
    EXPECT_EQ(h.fake.calls().size(), 3u);
}

}  // namespace
}  // namespace ambrel
