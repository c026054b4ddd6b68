#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <fmt/format.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "cli/catalog_test_support.hpp"
#include "cli/record_keys.hpp"

namespace ambrel::catalogs_test {
namespace {

using cli::KeyFillResult;
using cli::RecordKeyCatalog;
namespace record_keys = cli::record_keys;

constexpr std::string_view kInvalid =
    "Salesforce CLI record query returned an invalid response: {}. Check that the org is reachable and retry.";
constexpr std::string_view kUnsafe = "An object or field name is not a valid Salesforce API name, so no record query was run.";

std::string invalid(std::string_view detail) { return fmt::format(fmt::runtime(kInvalid), detail); }

std::string read_text(const std::filesystem::path& file) {
    std::ifstream in(file, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

class RecordKeysTest : public FakeCliTest {
protected:
    RecordKeyCatalog catalog() const { return {gateway_, kTimeout, kTimeout}; }
    std::vector<std::string> queries() const {
        std::vector<std::string> out;
        for (const auto& call : calls()) out.push_back(call.args.at(3));
        return out;
    }
    ambrel::testing::TempDir work_;
};

TEST_F(RecordKeysTest, Counts) {
    scenario(fake::Scenario().on_prefix({"data", "query"}, capture("q_count")));
    EXPECT_EQ(catalog().count("dh", "Account", std::nullopt, token_).value(), 3u);
    EXPECT_EQ(catalog().count("dh", "Account", "QuillaryExternalId__c", token_).value(), 3u);
    EXPECT_EQ(queries(), (std::vector<std::string>{"SELECT COUNT() FROM Account",
                                                   "SELECT COUNT() FROM Account WHERE QuillaryExternalId__c = null"}));
    for (std::string_view total : {"4294967296", "-1", "3.0", "\"3\""}) {
        scenario(fake::Scenario().on_prefix(
            {"data", "query"}, fake::Answer().out(fmt::format(R"({{"status":0,"result":{{"records":[],"totalSize":{},"done":true}}}})", total))));
        EXPECT_EQ(catalog().count("dh", "Account", std::nullopt, token_).error().message(),
                  invalid("totalSize is missing or is not a count"))
            << total;
    }
}

TEST_F(RecordKeysTest, NamesThatAreNotApiNamesNeverReachAQuery) {
    scenario(fake::Scenario().otherwise(capture("q_count")));
    for (std::string_view name : {"O'Brien__c", "Has Space", "Caf\u00e9__c", "Account WHERE Id != null"}) {
        EXPECT_EQ(catalog().count("dh", name, std::nullopt, token_).error().message(), kUnsafe) << name;
        EXPECT_EQ(catalog().count("dh", "Account", name, token_).error().message(), kUnsafe) << name;
        EXPECT_EQ(catalog().unkeyed_ids("dh", name, "Key__c", token_).error().message(), kUnsafe) << name;
    }
    const std::vector<std::string> ids = {"a01000000000001AAA"};
    const auto fill = catalog().fill_keys("dh", "../escape", "Key__c", ids, work_.path(), token_);
    EXPECT_EQ(fill, (KeyFillResult{KeyFillResult::Failed{
                        "The external ID could not be filled in for ../escape. the object or key field name is not a valid "
                        "Salesforce API name"}}));
    EXPECT_TRUE(calls().empty());
    EXPECT_TRUE(std::filesystem::is_empty(work_.path()));
}

TEST_F(RecordKeysTest, UnkeyedIdsAreWholeOrAnError) {
    scenario(fake::Scenario().on_prefix({"data", "query"}, capture("q_ids")));
    auto ids = catalog().unkeyed_ids("dh", "Property__c", "Key__c", token_);
    ASSERT_TRUE(ids) << ids.error().message();
    ASSERT_FALSE(ids->empty());
    EXPECT_EQ(ids->front(), "a01000000000001AAA");
    EXPECT_EQ(queries().at(0), "SELECT Id FROM Property__c WHERE Key__c = null ORDER BY Id");

    const std::string truncated =
        invalid("result is a truncated listing (done is false or totalSize does not match the returned records)");
    const std::vector<std::pair<fake::Answer, std::string>> cases = {
        {query_answer(R"([{"Id":"a1"}])", 50001, false), truncated},
        {query_answer(R"([{"Id":"a1"}])", 2), truncated},
        {query_answer(R"([{"Id":"a1"},{"Name":"x"}])", 2), invalid("a record carries no Id")},
        {fake::Answer().out(R"({"status":0,"result":{"totalSize":0}})"), invalid("records is missing or is not an array")},
        {fake::Answer().out(R"({"status":0,"result":[]})"), invalid("result is missing or is not an object")},
    };
    for (const auto& [answer, message] : cases) {
        scenario(fake::Scenario().on_prefix({"data", "query"}, answer));
        auto failed = catalog().unkeyed_ids("dh", "Property__c", "Key__c", token_);
        ASSERT_FALSE(failed) << message;
        EXPECT_EQ(failed.error().message(), message);
    }
    scenario(fake::Scenario().on_prefix({"data", "query"}, query_answer("[]", 0)));
    EXPECT_EQ(catalog().unkeyed_ids("dh", "Property__c", "Key__c", token_).value(), std::vector<std::string>{});
}

TEST_F(RecordKeysTest, RunningUserProfileEscapesTheUserName) {
    scenario(fake::Scenario().on_prefix({"data", "query"}, capture("q_profileid")));
    auto profile = catalog().running_user_profile_id("dh", "o'brien \u00e9\\x@example.com", token_);
    ASSERT_TRUE(profile) << profile.error().message();
    EXPECT_EQ(*profile, std::optional<std::string>("00e000YTxhULc1rAGD"));
    EXPECT_EQ(queries().at(0),
              "SELECT ProfileId FROM User WHERE Username = 'o\\'brien \u00e9\\\\x@example.com' LIMIT 1");
    scenario(fake::Scenario().on_prefix({"data", "query"}, query_answer("[]", 0)));
    auto none = catalog().running_user_profile_id("dh", "u@x", token_);
    ASSERT_TRUE(none);
    EXPECT_EQ(*none, std::nullopt);
}

TEST_F(RecordKeysTest, FillWritesTheCsvAndUpsertsIt) {
    scenario(fake::Scenario().on_prefix({"data", "upsert", "bulk"}, capture("bulk_upsert_ok")));
    const std::vector<std::string> ids = {"a01000000000001AAA", "a01000000000002AAA", "a01000000000003AAA"};
    const std::filesystem::path folder = work_.path() / "keyfill";
    const auto result = catalog().fill_keys("dh", "Property__c", "Key__c", ids, folder, token_);
    EXPECT_EQ(result, (KeyFillResult{KeyFillResult::Filled{3}}));
    const std::filesystem::path csv = folder / "Property__c-keys.csv";
    EXPECT_EQ(read_text(csv), "Id,Key__c\na01000000000001AAA,AAA10000000000010a\na01000000000002AAA,AAA20000000000010a\n"
                              "a01000000000003AAA,AAA30000000000010a\n");
    const auto call = calls().at(0);
    EXPECT_EQ(call.args, (std::vector<std::string>{"data", "upsert", "bulk", "--sobject", "Property__c", "--external-id", "Id",
                                                   "--file", csv.string(), "--line-ending", "LF", "--column-delimiter",
                                                   "COMMA", "--wait", "10", "--target-org", "dh", "--json"}));
    EXPECT_EQ(std::filesystem::path(call.cwd), folder);

    EXPECT_EQ(catalog().fill_keys("dh", "Property__c", "Key__c", {}, work_.path() / "none", token_),
              (KeyFillResult{KeyFillResult::NothingToFill{}}));
    EXPECT_FALSE(std::filesystem::exists(work_.path() / "none"));
}

TEST_F(RecordKeysTest, FailedJobReportsItsReasons) {
    const std::string failed_csv =
        "\"Id\",\"sf__Error\",\"Key__c\"\n"
        "a1,\"DUPLICATE_VALUE:duplicate value found, \"\"Key__c\"\" twice\",k1\n"
        "a2,INVALID_FIELD:bad,k2\r\n"
        "a3,\"DUPLICATE_VALUE:duplicate value found, \"\"Key__c\"\" twice\",k3\n"
        "\n"
        "a4,  ,k4\n"
        "a5,\"REQUIRED:multi\nline\",k5\n"
        "a6,FOURTH,k6\n";
    scenario(fake::Scenario()
                 .on_prefix({"data", "upsert", "bulk"}, capture("bulk_upsert_recfail"))
                 .on_prefix({"data", "bulk", "results"}, capture("bulk_results")
                                                              .file("${arg:--job-id}-failed-records.csv", failed_csv)));
    const std::vector<std::string> ids = {"a01000000000001AAA"};
    const auto result = catalog().fill_keys("dh", "Property__c", "Key__c", ids, work_.path(), token_);
    EXPECT_EQ(result, (KeyFillResult{KeyFillResult::Failed{
                          "The external ID could not be filled in for Property__c. Job finished being processed but failed "
                          "to process 1 records. DUPLICATE_VALUE:duplicate value found, \"Key__c\" twice INVALID_FIELD:bad "
                          "REQUIRED:multi\nline"}}));
    const auto recorded = calls();
    ASSERT_EQ(recorded.size(), 2u);
    EXPECT_EQ(recorded[1].args, (std::vector<std::string>{"data", "bulk", "results", "--job-id", "750000pQG1K1NkrAMF",
                                                          "--target-org", "dh", "--json"}));
}

TEST_F(RecordKeysTest, AFailedRecordsFileThatIsNotTextGivesNoReasons) {
    // The results command leaves the file in place; here it holds bytes that are not UTF-8.
    {
        std::ofstream out(work_.path() / "750000pQG1K1NkrAMF-failed-records.csv", std::ios::binary);
        out << "\"Id\",\"sf__Error\"\na1,\"BAD\xff\xfe VALUE\"\n";
    }
    scenario(fake::Scenario()
                 .on_prefix({"data", "upsert", "bulk"}, capture("bulk_upsert_recfail"))
                 .on_prefix({"data", "bulk", "results"}, capture("bulk_results")));
    const std::vector<std::string> ids = {"a01000000000001AAA"};
    const std::string message =
        "The external ID could not be filled in for Property__c. Job finished being processed but failed to process "
        "1 records.";
    EXPECT_EQ(catalog().fill_keys("dh", "Property__c", "Key__c", ids, work_.path(), token_),
              (KeyFillResult{KeyFillResult::Failed{message}}));
    EXPECT_EQ(calls().size(), 2u);
}

TEST_F(RecordKeysTest, JobIdsThatAreNotLettersAndDigitsAreNeverUsed) {
    for (std::string_view job : {"../../etc/passwd", "--target-org", "", "750 1"}) {
        scenario(fake::Scenario()
                     .on_prefix({"data", "upsert", "bulk"},
                                fake::Answer()
                                    .out(fmt::format(R"({{"status":1,"name":"FailedRecordDetailsError","message":"failed","data":{{"jobId":"{}"}}}})",
                                                     job))
                                    .exit_code(1))
                     .on_prefix({"data", "bulk", "results"}, fake::Answer().out(R"({"status":0})")));
        const std::vector<std::string> ids = {"a01000000000001AAA"};
        EXPECT_EQ(catalog().fill_keys("dh", "Property__c", "Key__c", ids, work_.path(), token_),
                  (KeyFillResult{KeyFillResult::Failed{"The external ID could not be filled in for Property__c. failed"}}))
            << job;
        EXPECT_EQ(calls().size(), 1u) << job;
        std::filesystem::remove(fake_.record_file());
    }
}

TEST_F(RecordKeysTest, FailureMessagesWithoutJob) {
    const std::vector<std::string> ids = {"a01000000000001AAA"};
    const std::vector<std::pair<fake::Answer, std::string>> cases = {
        {capture("bulk_upsert_badfield"),
         "The external ID could not be filled in for Property__c. Job failed to be processed due to:\n\nInvalidBatch : "
         "Field name not found : NoSuchField__c"},
        {fake::Answer().out(R"({"status":1,"message":""})").exit_code(1), "The external ID could not be filled in for Property__c."},
        {fake::Answer().out(R"({"status":1,"message":7})").exit_code(1),
         "The external ID could not be filled in for Property__c. the bulk job did not complete"},
        {fake::Answer().exit_code(1),
         "The external ID could not be filled in for Property__c. Salesforce CLI returned no JSON (exit code 1, timed out: false)"},
    };
    for (const auto& [answer, message] : cases) {
        scenario(fake::Scenario().on_prefix({"data", "upsert", "bulk"}, answer));
        EXPECT_EQ(catalog().fill_keys("dh", "Property__c", "Key__c", ids, work_.path(), token_),
                  (KeyFillResult{KeyFillResult::Failed{message}}));
    }
    token_.cancel();
    EXPECT_EQ(catalog().fill_keys("dh", "Property__c", "Key__c", ids, work_.path(), token_),
              (KeyFillResult{KeyFillResult::Cancelled{"Salesforce CLI command was cancelled before start"}}));
}

TEST(RecordKeysCsv, SplittingAndReasons) {
    EXPECT_EQ(record_keys::split_csv_line("a,\"b, \"\"c\"\"\",d"), (std::vector<std::string>{"a", "b, \"c\"", "d"}));
    EXPECT_EQ(record_keys::split_csv_line(""), (std::vector<std::string>{""}));
    EXPECT_EQ(record_keys::split_csv_line("a,"), (std::vector<std::string>{"a", ""}));
    EXPECT_EQ(record_keys::split_csv_records("h\r\n\"x\ny\"\n\nlast"), (std::vector<std::string>{"h", "\"x\ny\"", "", "last"}));
    EXPECT_EQ(record_keys::truncate_reason(std::string(200, 'e')), std::string(200, 'e'));
    EXPECT_EQ(record_keys::truncate_reason(std::string(201, 'e')), std::string(200, 'e') + "\u2026");
    EXPECT_TRUE(record_keys::is_valid_job_id("750000pQG1K1NkrAMF"));
    EXPECT_FALSE(record_keys::is_valid_job_id("750-1"));
    EXPECT_EQ(record_keys::fill_failure("X", "  "), "The external ID could not be filled in for X.");
}

}  // namespace
}  // namespace ambrel::catalogs_test
