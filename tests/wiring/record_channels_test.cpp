// The record port over the CLI, the version activation and the version listing, against the fake `sf`
// answering REST requests in the CLI's "--include" form.

#include "wiring/record_channels.hpp"

#include <filesystem>
#include <fmt/format.h>
#include <optional>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "data/bundles/model_transfer/model_transfer.hpp"
#include "support/credentials.hpp"
#include "wiring/fake_cli_session.hpp"

namespace ambrel::server::wiring {
namespace {

namespace synthesis = data::bundles::synthesis;
namespace fake = ambrel::testing::fake_sf;
using app::FailureKind;
using app::WorkflowFailure;
using app::ports::ExpressionSetVersionRecord;
using synthesis::ChannelError;
using synthesis::CompositeMethod;
using testing::catalog_capture;
using testing::include_answer;
using testing::query_answer;

constexpr std::string_view kOrg = "dh";
constexpr std::string_view kVersionId = "0kE000000000001AAA";
constexpr std::string_view kUnknownOrgFailure =
    "Salesforce REST request failed on /services/data/v66.0/sobjects/ExpressionSetDefinitionVersion/"
    "<id>/ConstraintModel (Error (NamedOrgNotFoundError): Parsing --target-org No authorization "
    "information found for other. See more help with --help). Verify the selected Salesforce org is authenticated "
    "and retry.";

std::vector<std::string> rest_call(std::string path, std::string method, bool with_body) {
    std::vector<std::string> args = {"api", "request", "rest", std::move(path), "--method", std::move(method)};
    if (with_body) {
        args.push_back("--body");
        args.push_back("@BODY");
    }
    args.insert(args.end(), {"--include", "--target-org", std::string(kOrg)});
    return args;
}

// The arguments with the body file's path replaced, so they compare whole.
std::vector<std::string> without_body_path(std::vector<std::string> args) {
    for (std::string& arg : args) {
        if (arg.starts_with("@")) arg = "@BODY";
    }
    return args;
}

class RecordChannelsTest : public testing::FakeCliSession {
protected:
    CliRecordChannels channels(std::string version = "66.0") {
        return CliRecordChannels(std::move(version), *gateway_);
    }

    void answer_rest(const fake::Answer& answer) {
        scenario(fake::Scenario().orgs({std::string(kOrg)}).on_prefix({"api", "request", "rest"}, answer));
    }

    // The one call made, with its body's content while it ran; the body file is gone afterwards.
    fake::RecordedCall only_call() const {
        const auto recorded = calls();
        EXPECT_EQ(recorded.size(), 1u);
        if (recorded.empty()) return {};
        for (const std::string& arg : recorded.front().args) {
            if (arg.starts_with("@")) {
                EXPECT_FALSE(std::filesystem::exists(arg.substr(1))) << arg;
            }
        }
        return recorded.front();
    }
};

TEST(RecordIds, LengthAndAlphabet) {
    struct Case {
        std::string id;
        bool valid;
    };
    const std::vector<Case> cases = {
        {"0kE000000000001", true},    {"0kE0000000000012", true},
        {"0kE00000000000123", true},  {"0kE000000000001AAA", true},
        {"0kE00000000000", false},    {"0kE000000000001AAAA", false},
        {"0kE-00000000001AA", false}, {"0kE00000000001é", false},
        {"0kE0000000 0001A", false},  {"", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.id);
        EXPECT_EQ(is_valid_record_id(c.id), c.valid);
    }
}

TEST(ConstraintModelBody, Base64OfTheBytesUnderOneMember) {
    EXPECT_EQ(data::bundles::model_transfer::cml_patch_body(""), R"({"ConstraintModel":""})");
    EXPECT_EQ(data::bundles::model_transfer::cml_patch_body("a"), R"({"ConstraintModel":"YQ=="})");
    EXPECT_EQ(data::bundles::model_transfer::cml_patch_body("ab"), R"({"ConstraintModel":"YWI="})");
    EXPECT_EQ(data::bundles::model_transfer::cml_patch_body("abc"), R"({"ConstraintModel":"YWJj"})");
    EXPECT_EQ(data::bundles::model_transfer::cml_patch_body("type Car;\n\xc3\xa9"), R"({"ConstraintModel":"dHlwZSBDYXI7CsOp"})");
}

TEST_F(RecordChannelsTest, RefusedIdsRunNothing) {
    answer_rest(catalog_capture("rest_patch_include"));
    for (std::string_view id :
         {"0kE00000000000", "0kE-0000000001AA", "0kE000000000001\xc3\xa9", "0kE000000000001AAAA"}) {
        SCOPED_TRACE(id);
        auto write = channels().write_cml(kOrg, id, "model", token_);
        ASSERT_FALSE(write);
        EXPECT_EQ(write.error(), ChannelError::failure(std::string(kDefinitionVersionIdInvalid)));

        auto active = channels().set_version_active(kOrg, id, true, token_);
        ASSERT_FALSE(active);
        EXPECT_EQ(active.error(), ChannelError::failure(std::string(kVersionIdInvalid)));

        auto port = set_expression_set_version_active(*gateway_, kOrg, "66.0", id, true, token_);
        ASSERT_FALSE(port);
        EXPECT_EQ(port.error(), WorkflowFailure::operation(kVersionIdInvalid));
    }
    EXPECT_TRUE(calls().empty());
}

TEST_F(RecordChannelsTest, WriteCmlPatchesTheVersionWithTheEncodedText) {
    answer_rest(catalog_capture("rest_patch_include"));
    for (std::string_view id : {"0kE0000000000012", "0kE00000000000123"}) {
        SCOPED_TRACE(id);
        fake_.write(fake::Scenario()
                        .orgs({std::string(kOrg)})
                        .on_prefix({"api", "request", "rest"}, catalog_capture("rest_patch_include")));
        std::filesystem::remove(fake_.record_file());
        ASSERT_TRUE(channels().write_cml(kOrg, id, "abc", token_));
        const auto call = only_call();
        EXPECT_EQ(without_body_path(call.args),
                  rest_call(fmt::format("/services/data/v66.0/sobjects/ExpressionSetDefinitionVersion/{}", id), "PATCH",
                            true));
        EXPECT_EQ(call.body_file_content, std::optional<std::optional<std::string>>(R"({"ConstraintModel":"YWJj"})"));
    }
}

TEST_F(RecordChannelsTest, ActivationSendsTheFlagAndIgnoresTheAnswerBody) {
    struct Case {
        bool active;
        fake::Answer answer;
        std::string body;
    };
    const std::vector<Case> cases = {
        {false, catalog_capture("rest_patch_include"), R"({"IsActive":false})"},
        {true, include_answer(200, R"({"unexpected":"body"})"), R"({"IsActive":true})"},
        {true, include_answer(200, "not json at all"), R"({"IsActive":true})"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.body);
        answer_rest(c.answer);
        std::filesystem::remove(fake_.record_file());
        ASSERT_TRUE(set_expression_set_version_active(*gateway_, kOrg, "64.0", kVersionId, c.active, token_));
        const auto call = only_call();
        EXPECT_EQ(without_body_path(call.args),
                  rest_call("/services/data/v64.0/sobjects/ExpressionSetVersion/0kE000000000001AAA", "PATCH", true));
        EXPECT_EQ(call.body_file_content, std::optional<std::optional<std::string>>(c.body));
    }
}

TEST_F(RecordChannelsTest, ActivationFailureCarriesTheOrgAlias) {
    answer_rest(catalog_capture("rest_get_404_include"));
    auto done = set_expression_set_version_active(*gateway_, kOrg, "66.0", kVersionId, true, token_);
    ASSERT_FALSE(done);
    EXPECT_EQ(done.error().kind, FailureKind::Operation);
    EXPECT_EQ(done.error().org_alias, std::optional<std::string>(kOrg));
    EXPECT_THAT(done.error().first_message(), ::testing::HasSubstr("HTTP 404"));

    auto channel = channels().set_version_active(kOrg, kVersionId, true, token_);
    ASSERT_FALSE(channel);
    EXPECT_EQ(channel.error(), ChannelError::failure(done.error().first_message()));
}

TEST_F(RecordChannelsTest, CompositeCreatePostsTheRecordsAndReadsEveryOutcome) {
    answer_rest(catalog_capture("rest_post_composite_include"));
    const std::vector<json::Object> records = {
        json::Object{{"attributes", json::Object{{"type", "Broker__c"}}}, {"Name", "One"}},
        json::Object{{"attributes", json::Object{{"type", "Broker__c"}}}, {"NoSuch__c", "x"}},
    };
    auto outcomes = channels().composite(kOrg, CompositeMethod::Create, records, token_);
    ASSERT_TRUE(outcomes) << outcomes.error().message.value_or("cancelled");
    ASSERT_EQ(outcomes->size(), 2u);
    EXPECT_TRUE((*outcomes)[0].success);
    EXPECT_EQ((*outcomes)[0].id, std::optional<std::string>("a00000hWjN798pqAUA"));
    EXPECT_FALSE((*outcomes)[1].success);
    ASSERT_EQ((*outcomes)[1].errors.size(), 1u);
    EXPECT_EQ((*outcomes)[1].errors[0].status_code, "INVALID_FIELD");
    EXPECT_EQ((*outcomes)[1].errors[0].fields, std::vector<std::string>{"NoSuch__c"});

    const auto call = only_call();
    EXPECT_EQ(without_body_path(call.args), rest_call("/services/data/v66.0/composite/sobjects", "POST", true));
    EXPECT_EQ(call.body_file_content,
              std::optional<std::optional<std::string>>(
                  R"({"allOrNone":false,"records":[{"attributes":{"type":"Broker__c"},"Name":"One"},)"
                  R"({"attributes":{"type":"Broker__c"},"NoSuch__c":"x"}]})"));
}

TEST_F(RecordChannelsTest, CompositeUpdatePatches) {
    answer_rest(include_answer(200, R"([{"id":"a00000000000001AAA","success":true,"errors":[]}])"));
    const std::vector<json::Object> records = {json::Object{{"Id", "a00000000000001AAA"}, {"Name", "Two"}}};
    auto outcomes = channels("65.0").composite(kOrg, CompositeMethod::Update, records, token_);
    ASSERT_TRUE(outcomes);
    EXPECT_EQ(outcomes->size(), 1u);
    EXPECT_EQ(without_body_path(only_call().args), rest_call("/services/data/v65.0/composite/sobjects", "PATCH", true));
}

TEST_F(RecordChannelsTest, UnexpectedCompositeBodies) {
    struct Case {
        std::string body;
        std::string message;
    };
    const std::vector<Case> cases = {
        {R"({"message":"refused accessToken=00Dxx!secret"})",
         R"(The record request was answered with an unexpected body (refused accessToken="[REDACTED]").)"},
        {fmt::format(R"({{"message":"{}"}})", ambrel::testing::kCredentialFailure),
         fmt::format("The record request was answered with an unexpected body ({}).",
                     ambrel::testing::kScrubbedCredentialFailure)},
        {R"([{"success":true,"errors":[]}])",
         "The record request was answered with an unexpected body: the response carries 1 outcomes for 2 records."},
        {R"("plain")",
         "The record request was answered with an unexpected body: the response body is not an array of per-record "
         "outcomes."},
    };
    const std::vector<json::Object> records = {json::Object{{"Name", "a"}}, json::Object{{"Name", "b"}}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.body);
        answer_rest(include_answer(200, c.body));
        auto outcomes = channels().composite(kOrg, CompositeMethod::Create, records, token_);
        ASSERT_FALSE(outcomes);
        EXPECT_EQ(outcomes.error(), ChannelError::failure(c.message));
    }
}

TEST_F(RecordChannelsTest, DeleteSendsTheIdsAndReadsOneOutcomePerId) {
    answer_rest(catalog_capture("rest_delete_include"));
    const std::vector<std::string> ids = {"a00000hWjN798pqAUA", "a00000000000999ZZZ"};
    auto outcomes = channels().remove(kOrg, ids, token_);
    ASSERT_TRUE(outcomes) << outcomes.error().message.value_or("cancelled");
    ASSERT_EQ(outcomes->size(), 2u);
    EXPECT_TRUE((*outcomes)[0].success);
    EXPECT_FALSE((*outcomes)[1].success);
    EXPECT_EQ((*outcomes)[1].errors.at(0).status_code, "ENTITY_IS_DELETED");
    const auto call = only_call();
    EXPECT_EQ(
        without_body_path(call.args),
        rest_call("/services/data/v66.0/composite/sobjects?ids=a00000hWjN798pqAUA,a00000000000999ZZZ&allOrNone=false",
                  "DELETE", true));
    EXPECT_EQ(call.body_file_content, std::optional<std::optional<std::string>>("{}"));
}

TEST_F(RecordChannelsTest, DeleteAnswerWithAnotherCountFails) {
    struct Case {
        std::string body;
        std::string message;
    };
    const std::vector<Case> cases = {
        {R"([{"errorCode":"INVALID_ID_FIELD","message":"bad id"}])",
         "The record delete request was answered with an unexpected body (INVALID_ID_FIELD: bad id)."},
        {R"([{"id":"a00000hWjN798pqAUA","success":true,"errors":[]}])",
         "The record delete request was answered with an unexpected body: the response carries 1 outcomes for 2 "
         "records."},
        {R"([])",
         "The record delete request was answered with an unexpected body: the response carries 0 outcomes "
         "for 2 records."},
    };
    const std::vector<std::string> ids = {"a00000hWjN798pqAUA", "a00000000000999ZZZ"};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.body);
        answer_rest(include_answer(200, c.body));
        auto outcomes = channels().remove(kOrg, ids, token_);
        ASSERT_FALSE(outcomes);
        EXPECT_EQ(outcomes.error(), ChannelError::failure(c.message));
    }
}

TEST_F(RecordChannelsTest, DeleteRefusesIdsOfOtherLengthsBeforeAnyRun) {
    answer_rest(catalog_capture("rest_delete_include"));
    auto outcomes = channels().remove(kOrg, {"a00000hWjN798pqAU"}, token_);
    ASSERT_FALSE(outcomes);
    EXPECT_FALSE(outcomes.error().is_cancelled());
    EXPECT_TRUE(calls().empty());
}

TEST_F(RecordChannelsTest, ReadCmlByBodyForm) {
    struct Case {
        fake::Answer answer;
        std::optional<std::string> text;
    };
    // A field's content as the CLI prints it: the server's headers, "content-length" among them, then
    // the bytes as stored and the line feed the CLI adds.
    const auto stored = [](std::string_view model) {
        return fake::Answer()
            .out("HTTP/1.1 200\nserver: StandinOrg/1.0\ncontent-type: application/octetstream\ncontent-length: " +
                 std::to_string(model.size()) + "\nsforce-limit-info: api-usage=12/15000\n" + std::string(model) +
                 "\n")
            .exit_code(0);
    };
    const std::string header_like = "seats: 4\nx-model: y\nconstraint Car { int seats; }\n";
    const std::vector<Case> cases = {
        {include_answer(200, "constraint Car { int seats; }"), "constraint Car { int seats; }"},
        // A model whose text parses as JSON comes back as stored, not as the value it reads as.
        {include_answer(200, R"("type Car;")"), R"("type Car;")"},
        {include_answer(200, "null"), "null"},
        {include_answer(200, "42"), "42"},
        {include_answer(200, R"({"attributes":{}})"), std::nullopt},
        {catalog_capture("rest_patch_include"), ""},
        // First lines that look like headers stay in the model, byte for byte.
        {stored(header_like), header_like},
        {stored("a: b"), "a: b"},
        {stored(""), ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text.value_or("(absent)"));
        answer_rest(c.answer);
        std::filesystem::remove(fake_.record_file());
        auto text = channels().read_cml(kOrg, kVersionId, token_);
        ASSERT_TRUE(text) << text.error().message.value_or("cancelled");
        EXPECT_EQ(*text, c.text);
        const auto call = only_call();
        EXPECT_EQ(call.args,
                  rest_call("/services/data/v66.0/sobjects/ExpressionSetDefinitionVersion/0kE000000000001AAA/"
                            "ConstraintModel",
                            "GET", false));
        EXPECT_FALSE(call.body_file_content.has_value());
    }
}

TEST_F(RecordChannelsTest, FailuresBecomeChannelErrors) {
    answer_rest(catalog_capture("rest_get_include"));
    auto unknown = channels().read_cml("other", kVersionId, token_);
    ASSERT_FALSE(unknown);
    EXPECT_EQ(unknown.error().message, std::optional<std::string>(kUnknownOrgFailure));

    token_.cancel();
    auto cancelled = channels().read_cml(kOrg, kVersionId, token_);
    ASSERT_FALSE(cancelled);
    EXPECT_TRUE(cancelled.error().is_cancelled());
}

TEST_F(RecordChannelsTest, NoBodyFolderOutlivesARequest) {
    ambrel::testing::TempDir temp;
    const ambrel::testing::ScopedVariable tmpdir("TMPDIR", temp.path().string());
    const std::vector<json::Object> records = {json::Object{{"Name", "a"}}};
    for (const fake::Answer& answer : {catalog_capture("rest_post_composite_include"), include_answer(500, "[]", 1),
                                       include_answer(200, R"({"message":"no"})")}) {
        answer_rest(answer);
        (void)channels().composite(kOrg, CompositeMethod::Create, records, token_);
        (void)channels().write_cml(kOrg, kVersionId, "type Car;", token_);
        (void)channels().remove(kOrg, {std::string(kVersionId)}, token_);
        (void)channels().set_version_active(kOrg, kVersionId, true, token_);
    }
    const auto recorded = calls();
    ASSERT_EQ(recorded.size(), 12u);
    // The bodies did travel through the folder watched here.
    EXPECT_THAT(recorded[0].args, ::testing::Contains(::testing::StartsWith("@" + temp.path().string() + "/")));
    EXPECT_TRUE(std::filesystem::is_empty(temp.path()));
}

TEST_F(RecordChannelsTest, ReadCmlLeavesIdChecksToThePathRules) {
    answer_rest(include_answer(200, R"("type Car;")"));
    auto text = channels().read_cml(kOrg, "0kE 000000000001", token_);
    ASSERT_FALSE(text);
    EXPECT_FALSE(text.error().is_cancelled());
    EXPECT_TRUE(calls().empty());
}

TEST_F(RecordChannelsTest, QueryAndDescribeGoThroughTheCatalogues) {
    scenario(
        fake::Scenario()
            .orgs({std::string(kOrg)})
            .on_prefix({"data", "query"}, query_answer(R"([{"Id":"01t000000000001AAA","Name":"Bike"}])", 1))
            .on_prefix({"sobject", "describe"},
                       fake::Answer()
                           .out(R"({"status":1,"name":"NOT_FOUND","message":"The requested resource does not exist"})")
                           .exit_code(1)));
    auto rows = channels().query(kOrg, "SELECT Id, Name FROM Product2", token_);
    ASSERT_TRUE(rows) << rows.error().message.value_or("cancelled");
    ASSERT_EQ(rows->size(), 1u);
    EXPECT_EQ(rows->front().at("Name"), "Bike");

    auto schema = channels().describe(kOrg, "NoSuch__c", token_);
    ASSERT_TRUE(schema) << schema.error().message.value_or("cancelled");
    EXPECT_FALSE(schema->has_value());

    const auto recorded = calls();
    ASSERT_EQ(recorded.size(), 2u);
    EXPECT_THAT(recorded[0].args,
                ::testing::IsSupersetOf(std::vector<std::string>{"SELECT Id, Name FROM Product2", std::string(kOrg)}));
    EXPECT_THAT(recorded[1].args, ::testing::IsSupersetOf(std::vector<std::string>{"NoSuch__c", std::string(kOrg)}));
}

TEST(VersionRecords, RowsReadInOrderOrFailAtTheFirstBadRow) {
    struct Case {
        std::string name;
        json::Array rows;
        std::optional<std::string> failure;
    };
    const std::vector<Case> cases = {
        {"good rows keep their texts untrimmed",
         json::Array{json::Object{{"Id", " 9QL000000000001 "}, {"ApiName", "V1"}, {"IsActive", true}},
                     json::Object{{"Id", "9QL000000000002"}, {"ApiName", "V2"}, {"IsActive", false}}},
         std::nullopt},
        {"IsActive as text", json::Array{json::Object{{"Id", "9QL"}, {"ApiName", "V1"}, {"IsActive", "true"}}},
         "The ExpressionSetVersion listing carries a record without IsActive."},
        {"IsActive missing is checked first", json::Array{json::Object{{"ApiName", "V1"}}},
         "The ExpressionSetVersion listing carries a record without IsActive."},
        {"blank Id", json::Array{json::Object{{"Id", "  "}, {"ApiName", "V1"}, {"IsActive", true}}},
         "The ExpressionSetVersion listing carries a record without Id."},
        {"ApiName not text", json::Array{json::Object{{"Id", "9QL"}, {"ApiName", 3}, {"IsActive", true}}},
         "The ExpressionSetVersion listing carries a record without ApiName."},
        {"a bad row after a good one",
         json::Array{json::Object{{"Id", "9QL"}, {"ApiName", "V1"}, {"IsActive", true}},
                     json::Object{{"Id", "9QM"}, {"IsActive", true}}},
         "The ExpressionSetVersion listing carries a record without ApiName."},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<json::Object> rows;
        for (const auto& row : c.rows) rows.push_back(row.as_object());
        auto records = parse_expression_set_version_records(rows);
        if (c.failure) {
            ASSERT_FALSE(records);
            EXPECT_EQ(records.error(), WorkflowFailure::operation(*c.failure));
        } else {
            ASSERT_TRUE(records);
            EXPECT_EQ(*records, (std::vector<ExpressionSetVersionRecord>{{" 9QL000000000001 ", "V1", true},
                                                                         {"9QL000000000002", "V2", false}}));
        }
    }
}

TEST_F(RecordChannelsTest, ListingRefusesNamesThatAreNotApiNamesBeforeAnyQuery) {
    scenario(fake::Scenario().orgs({std::string(kOrg)}).on_prefix({"data", "query"}, query_answer("[]", 0)));
    for (std::string_view name : {"1Pricing", "Pricing Rules", "Pricing'--", "", "Préx"}) {
        SCOPED_TRACE(name);
        auto records = make_procedure_version_ports(gateway_)->expression_set_version_listing(
            std::string(kOrg), std::string(name), token_);
        ASSERT_FALSE(records);
        EXPECT_EQ(records.error(), WorkflowFailure::operation(kDefinitionNameInvalid));
    }
    EXPECT_TRUE(calls().empty());
}

TEST_F(RecordChannelsTest, ListingQueriesTheVersionsOfTheDefinition) {
    scenario(
        fake::Scenario()
            .orgs({std::string(kOrg)})
            .on_prefix(
                {"data", "query"},
                query_answer(
                    R"([{"attributes":{"type":"ExpressionSetVersion"},"Id":"9QL000000000001AAA",)"
                    R"("ApiName":"Pricing_V1","IsActive":true}])",
                    1)));
    auto records = make_procedure_version_ports(gateway_)->expression_set_version_listing(std::string(kOrg),
                                                                                          "Pricing_Rules", token_);
    ASSERT_TRUE(records) << records.error().detail_text();
    EXPECT_EQ(*records, (std::vector<ExpressionSetVersionRecord>{{"9QL000000000001AAA", "Pricing_V1", true}}));
    const auto recorded = calls();
    ASSERT_EQ(recorded.size(), 1u);
    EXPECT_THAT(
        recorded[0].args,
        ::testing::Contains(
            "SELECT Id, ApiName, IsActive FROM ExpressionSetVersion WHERE ExpressionSet.ApiName = 'Pricing_Rules'"));
}

TEST_F(RecordChannelsTest, ListingFailureCarriesTheOrgAlias) {
    scenario(fake::Scenario().orgs({std::string(kOrg)}));
    auto records = make_procedure_version_ports(gateway_)->expression_set_version_listing("other", "Pricing", token_);
    ASSERT_FALSE(records);
    EXPECT_EQ(records.error().kind, FailureKind::Operation);
    EXPECT_EQ(records.error().org_alias, std::optional<std::string>("other"));

    token_.cancel();
    auto cancelled =
        make_procedure_version_ports(gateway_)->expression_set_version_listing(std::string(kOrg), "Pricing", token_);
    ASSERT_FALSE(cancelled);
    EXPECT_EQ(cancelled.error().kind, FailureKind::Cancelled);
}

TEST_F(RecordChannelsTest, ActivationPortUsesTheGivenVersion) {
    answer_rest(catalog_capture("rest_patch_include"));
    ASSERT_TRUE(make_procedure_version_ports(gateway_)->expression_set_version_activation(
        std::string(kOrg), "67.0", std::string(kVersionId), false, token_));
    const auto call = only_call();
    EXPECT_EQ(without_body_path(call.args),
              rest_call("/services/data/v67.0/sobjects/ExpressionSetVersion/0kE000000000001AAA", "PATCH", true));
    EXPECT_EQ(call.body_file_content, std::optional<std::optional<std::string>>(R"({"IsActive":false})"));
}

}  // namespace
}  // namespace ambrel::server::wiring
