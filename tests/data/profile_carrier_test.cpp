#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "cli/catalog_test_support.hpp"
#include "data/permission_carrier/profile_carrier.hpp"
#include "json/json.hpp"

namespace ambrel::data::permission_carrier {
namespace {

namespace fake = testing::fake_sf;

constexpr std::string_view kUser = "dana.admin@dreamhouse.standin";

fake::Answer standin(std::string_view name) { return fake::Answer::capture("standin/" + std::string(name)); }

std::vector<std::string> command_words(const fake::RecordedCall& call) {
    std::vector<std::string> words;
    for (const std::string& arg : call.args) {
        if (arg.starts_with("-")) break;
        words.push_back(arg);
    }
    return words;
}

class ProfileCarrierTest : public catalogs_test::FakeCliTest {
protected:
    std::expected<std::optional<std::string>, cli::CatalogError> lookup(std::string_view alias) {
        const ProfileCarrierCatalog catalog(gateway_, catalogs_test::kTimeout);
        return catalog.running_user_profile_full_name(alias, token_);
    }

    std::vector<std::vector<std::string>> commands() const {
        std::vector<std::vector<std::string>> result;
        for (const auto& call : calls()) result.push_back(command_words(call));
        return result;
    }

    fake::Scenario standard(std::string_view orglist, std::string_view listing = "listmeta_profile") {
        return fake::Scenario()
            .on_prefix({"org", "list", "metadata"}, standin(listing))
            .on_prefix({"org", "list"}, standin(orglist))
            .on_prefix({"alias", "list"}, standin("alias_list"))
            .on_prefix({"data", "query"}, standin("q_profileid"));
    }
};

using Commands = std::vector<std::vector<std::string>>;
const std::vector<std::string> kOrgList{"org", "list"};
const std::vector<std::string> kAliasList{"alias", "list"};
const std::vector<std::string> kQuery{"data", "query"};
const std::vector<std::string> kListing{"org", "list", "metadata"};

TEST_F(ProfileCarrierTest, FindsTheProfileThroughTheListedAlias) {
    scenario(standard("orglist"));
    const auto profile = lookup("dh");
    ASSERT_TRUE(profile) << profile.error().message();
    EXPECT_EQ(*profile, "Admin");
    EXPECT_EQ(commands(), (Commands{kOrgList, kQuery, kListing}));
    const auto listing = calls().back().args;
    EXPECT_EQ(listing, (std::vector<std::string>{"org", "list", "metadata", "--metadata-type", "Profile", "--target-org",
                                                 "dh", "--json"}));
    bool queried_user = false;
    const auto recorded = calls();
    for (const std::string& arg : recorded[1].args) {
        queried_user |= arg == "SELECT ProfileId FROM User WHERE Username = 'dana.admin@dreamhouse.standin' LIMIT 1";
    }
    EXPECT_TRUE(queried_user);
}

TEST_F(ProfileCarrierTest, AnOlderAliasIsFoundThroughTheAliasList) {
    scenario(standard("orglist_two_aliases"));
    const auto profile = lookup("dh");
    ASSERT_TRUE(profile) << profile.error().message();
    EXPECT_EQ(*profile, "Admin");
    EXPECT_EQ(commands(), (Commands{kOrgList, kAliasList, kQuery, kListing}));
    EXPECT_EQ(calls()[1].args, (std::vector<std::string>{"alias", "list", "--json"}));
}

TEST_F(ProfileCarrierTest, AUserNameNamesTheOrgToo) {
    scenario(standard("orglist_two_aliases"));
    const auto profile = lookup(kUser);
    ASSERT_TRUE(profile) << profile.error().message();
    EXPECT_EQ(*profile, "Admin");
    EXPECT_EQ(commands(), (Commands{kOrgList, kQuery, kListing}));
}

TEST_F(ProfileCarrierTest, AnUnknownAliasHasNoProfile) {
    scenario(standard("orglist"));
    const auto profile = lookup("nosuch");
    ASSERT_TRUE(profile) << profile.error().message();
    EXPECT_EQ(*profile, std::nullopt);
    EXPECT_EQ(commands(), (Commands{kOrgList, kAliasList}));
}

TEST_F(ProfileCarrierTest, AnEmptyListingHasNoProfile) {
    scenario(standard("orglist", "listmeta_empty"));
    const auto profile = lookup("dh");
    ASSERT_TRUE(profile) << profile.error().message();
    EXPECT_EQ(*profile, std::nullopt);
}

TEST_F(ProfileCarrierTest, ARefusedListingIsTheListingFailure) {
    scenario(fake::Scenario()
                 .on_prefix({"org", "list", "metadata"}, fake::Answer::capture("listmeta"))
                 .on_prefix({"org", "list"}, standin("orglist"))
                 .on_prefix({"data", "query"}, standin("q_profileid")));
    const auto profile = lookup("dh");
    ASSERT_FALSE(profile);
    const std::string message = profile.error().message();
    EXPECT_TRUE(message.starts_with("Salesforce CLI profile listing command failed (exit code 2, status 2, timed out: "
                                    "false). Check that the org is reachable and retry."))
        << message;
    EXPECT_NE(message.find("NamedOrgNotFoundError"), std::string::npos) << message;
}

TEST_F(ProfileCarrierTest, AFailedAliasListIsTheAliasListingFailure) {
    scenario(fake::Scenario()
                 .on_prefix({"org", "list"}, standin("orglist"))
                 .on_prefix({"alias", "list"},
                            fake::Answer().exit_code(1).out(R"({"status":1,"name":"Boom","message":"broken"})")));
    const auto profile = lookup("other");
    ASSERT_FALSE(profile);
    EXPECT_TRUE(profile.error().message().starts_with("Salesforce CLI alias listing command failed (exit code 1, status 1"))
        << profile.error().message();
    EXPECT_NE(profile.error().message().find("Check that the org is reachable and retry."), std::string::npos);
}

json::Value parse(std::string_view text) {
    auto value = json::parse(text);
    EXPECT_TRUE(value);
    return value ? *value : json::Value();
}

TEST(ProfileListing, ParsesEntries) {
    const auto entries = parse_profile_listing(parse(
        R"({"result": [{"fullName": " Admin ", "id": "00e1"}, {"fullName": "  "}, {"fullName": 5},
                      {"fullName": "NoId", "id": " "}, {"fullName": "NumberId", "id": 7}, "text"]})"));
    ASSERT_TRUE(entries);
    EXPECT_EQ(*entries, (std::vector<ProfileListingEntry>{
                            {" Admin ", "00e1"}, {"NoId", std::nullopt}, {"NumberId", std::nullopt}}));
    const auto refused = parse_profile_listing(parse(R"({"result": {"fullName": "Admin"}})"));
    ASSERT_FALSE(refused);
    EXPECT_EQ(refused.error().message(),
              "Salesforce CLI profile listing command returned an invalid response: result is missing or is not an "
              "array of metadata entries. Check that the org is reachable and retry.");
    EXPECT_EQ(profile_listing_arguments("dh"),
              (std::vector<std::string>{"org", "list", "metadata", "--metadata-type", "Profile", "--target-org", "dh"}));
}

TEST(ProfileListing, MatchesTheFirst15Characters) {
    const std::vector<ProfileListingEntry> entries = {
        {"NoId", std::nullopt},
        {"Admin", "00e000YTxhULc1r"},
        {"Second", "00e000YTxhULc1rXYZ"},
        {"Odd%Name", "00e000000000009AAA"},
    };
    EXPECT_EQ(profile_full_name_for_id(entries, "00e000YTxhULc1rAGD"), "Admin");
    EXPECT_EQ(profile_full_name_for_id(std::span(entries).subspan(2), "00e000YTxhULc1r"), "Second");
    EXPECT_EQ(profile_full_name_for_id(entries, "00e000000000009"), std::nullopt);
    EXPECT_EQ(profile_full_name_for_id(entries, "00e999999999999"), std::nullopt);
}

TEST(AliasListing, TakesTheValueOfTheExactAlias) {
    const json::Value answer = parse(R"({"status":0,"result":[{"alias":"DH","value":"x"},{"alias":"dh","value":"u@x"}]})");
    EXPECT_EQ(*parse_alias_listing(answer, "dh"), "u@x");
    EXPECT_EQ(*parse_alias_listing(answer, "d"), std::nullopt);
    EXPECT_FALSE(parse_alias_listing(parse(R"({"status":0,"result":{}})"), "dh"));
}

}  // namespace
}  // namespace ambrel::data::permission_carrier
