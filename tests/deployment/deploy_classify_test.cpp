// Reading deploy answers: matching failures to requested components, the classification of one
// answer, the recorded values and the text functions.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "cli/gateway.hpp"
#include "deployment/deploy_gateway/gateway.hpp"
#include "support/doubles.hpp"
#include "text/text.hpp"

#include <fmt/format.h>

namespace ambrel::deployment::deploy_gateway {
namespace {

using Result = MetadataDeployResult;
using Gateway = SfCliMetadataDeployGateway;

json::Value parse(std::string_view text) {
    auto value = json::parse(text);
    if (!value) throw std::runtime_error(value.error().message());
    return *value;
}

SfCliMetadataDeployGateway make_gateway() {
    auto state = std::make_shared<ambrel::testing::ScriptedRunner::State>();
    return SfCliMetadataDeployGateway(
        {}, std::make_shared<cli::SfCliGateway>("sf", std::make_unique<ambrel::testing::ScriptedRunner>(state)));
}

cli::CliJsonResult answer(std::string_view json, std::int32_t exit_code = 0, bool timed_out = false) {
    cli::CliJsonResult out;
    out.json = parse(json);
    out.exit_code = exit_code;
    out.timed_out = timed_out;
    return out;
}

std::optional<MetadataComponentKey> tied_key(std::string_view failure, const RequestedComponents& requested) {
    return match_exactly_one_identity(parse(failure), requested);
}

TEST(DeployFailureMatching, TableOfClues) {
    const RequestedComponents requested{{"CustomField", "Account.Foo__c"},
                                        {"CustomField", "Account.Bar__c"},
                                        {"ApexClass", "Foo"},
                                        {"ApexClass", "Shared"},
                                        {"CustomField", "Shared"},
                                        {"Profile", "Admin"},
                                        {"LightningComponentBundle", "card"},
                                        {"ValidationRule", "Account.Check"}};
    struct Case {
        const char* failure;
        std::optional<MetadataComponentKey> expected;
    };
    const Case cases[] = {
        {R"({"componentType":"customfield","fullName":"Account.Foo__c"})",
         MetadataComponentKey{"CustomField", "Account.Foo__c"}},
        {R"({"componentType":1,"fullName":"Account.Foo__c"})", std::nullopt},
        {R"({"fullName":"Shared"})", std::nullopt},
        {R"({"componentType":"ApexClass","fileName":"src\\classes\\Foo.cls"})", MetadataComponentKey{"ApexClass", "Foo"}},
        {R"({"componentType":"ApexClass","fileName":"classes/Foo.cls-meta.xml"})",
         MetadataComponentKey{"ApexClass", "Foo"}},
        {R"({"componentType":"Profile","fileName":"profiles/Admin.profile"})", MetadataComponentKey{"Profile", "Admin"}},
        {R"({"componentType":"CustomField","fullName":"Account.Foo__c","fileName":"objects/Account.object"})",
         MetadataComponentKey{"CustomField", "Account.Foo__c"}},
        {R"({"componentType":"ValidationRule","fullName":"Account.Check","fileName":"objects/Account.object"})",
         MetadataComponentKey{"ValidationRule", "Account.Check"}},
        {R"({"componentType":"CustomField","fullName":"Account.Foo__c","fileName":"objects/Contact.object"})",
         std::nullopt},
        {R"({"componentType":"CustomField","fileName":"objects/Account.object"})", std::nullopt},
        {R"({"componentType":"CustomField","fullName":"Account.Foo__c","fileName":"  "})", std::nullopt},
        {R"({"componentType":"ApexClass","fullName":"Foo","fileName":"classes/Shared.cls"})", std::nullopt},
        {R"({"componentType":"LightningComponentBundle","fileName":"x/lwc/card/card.js"})",
         MetadataComponentKey{"LightningComponentBundle", "card"}},
        {R"({"componentType":"LightningComponentBundle","fullName":"card/card.js"})",
         MetadataComponentKey{"LightningComponentBundle", "card"}},
        {R"({"componentType":"Nope","fullName":"Foo"})", std::nullopt},
        {R"({"componentType":"ApexClass"})", std::nullopt},
        {R"([1,2])", std::nullopt},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.failure);
        EXPECT_EQ(tied_key(c.failure, requested), c.expected);
    }
}

// Several requested keys share one file (all custom labels, the assignment rules of one object): the
// full name picks the one; the whole object file also stands for the object definition itself.
TEST(DeployFailureMatching, SharedFilesTieByTheirName) {
    const RequestedComponents requested{{"CustomLabel", "Greeting"},
                                        {"CustomLabel", "Farewell"},
                                        {"AssignmentRule", "Case.Standard"},
                                        {"AssignmentRule", "Case.Priority"},
                                        {"CustomObject", "Invoice__c"},
                                        {"CustomField", "Invoice__c.Amount__c"},
                                        {"CustomObject", "Order__c"}};
    struct Case {
        const char* failure;
        std::optional<MetadataComponentKey> expected;
    };
    const Case cases[] = {
        {R"({"componentType":"CustomLabel","fullName":"Greeting","fileName":"labels/CustomLabels.labels"})",
         MetadataComponentKey{"CustomLabel", "Greeting"}},
        {R"({"componentType":"CustomLabel","fullName":"Farewell","fileName":"force-app\\main\\default\\labels\\CustomLabels.labels-meta.xml"})",
         MetadataComponentKey{"CustomLabel", "Farewell"}},
        {R"({"fullName":"Greeting","fileName":"labels/CustomLabels.labels"})", MetadataComponentKey{"CustomLabel", "Greeting"}},
        {R"({"componentType":"CustomLabel","fileName":"labels/CustomLabels.labels"})", std::nullopt},
        {R"({"componentType":"CustomLabel","fullName":"Unknown","fileName":"labels/CustomLabels.labels"})", std::nullopt},
        {R"({"componentType":"AssignmentRule","fullName":"Case.Priority","fileName":"assignmentRules/Case.assignmentRules"})",
         MetadataComponentKey{"AssignmentRule", "Case.Priority"}},
        {R"({"componentType":"AssignmentRule","fullName":"Case.Priority","fileName":"labels/CustomLabels.labels"})",
         std::nullopt},
        {R"({"componentType":"CustomObject","fullName":"Invoice__c","fileName":"objects/Invoice__c.object"})",
         MetadataComponentKey{"CustomObject", "Invoice__c"}},
        {R"({"componentType":"CustomObject","fullName":"Invoice__c","fileName":"objects/Order__c.object"})", std::nullopt},
        {R"({"componentType":"CustomObject","fileName":"objects/Invoice__c.object"})", std::nullopt},
        {R"({"componentType":"CustomField","fullName":"Invoice__c.Amount__c","fileName":"objects/Invoice__c.object"})",
         MetadataComponentKey{"CustomField", "Invoice__c.Amount__c"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.failure);
        EXPECT_EQ(tied_key(c.failure, requested), c.expected);
    }
}

TEST(DeployFailureMatching, ExpectedPathsFollowTheType) {
    const auto apex = DeployComponentKey::from_metadata_key({"ApexClass", "Foo"});
    EXPECT_EQ(apex.document_path, "classes/Foo.cls-meta.xml");
    EXPECT_EQ(apex.body_path, "classes/Foo.cls");
    EXPECT_FALSE(apex.object_child);
    const auto field = DeployComponentKey::from_metadata_key({"CustomField", "Account.Rating__c"});
    EXPECT_EQ(field.document_path, "objects/Account/fields/Rating__c.field-meta.xml");
    EXPECT_TRUE(field.object_child);
    const auto unknown = DeployComponentKey::from_metadata_key({"NoSuchType", "X"});
    EXPECT_EQ(unknown, DeployComponentKey{});
    EXPECT_EQ(object_before_dot("Account.Foo"), "Account");
    EXPECT_EQ(object_before_dot("Account"), "");
    EXPECT_EQ(object_before_dot(".Foo"), "");
}

TEST(DeployFailureMatching, ALaterMessageKeepsTheFirstPosition) {
    KeyedFailures failures;
    insert_linked(failures, {"ApexClass", "A"}, "one");
    insert_linked(failures, {"ApexClass", "B"}, "two");
    insert_linked(failures, {"ApexClass", "A"}, "three");
    EXPECT_EQ(failures, (KeyedFailures{{{"ApexClass", "A"}, "three"}, {{"ApexClass", "B"}, "two"}}));
}

TEST(DeployClassification, PendingAndTerminalStates) {
    auto gateway = make_gateway();
    const RequestedComponents requested{{"ApexClass", "A"}};
    struct Case {
        const char* json;
        DeployResponse expected;
    };
    const Case cases[] = {
        {R"({"status":0,"result":{"id":"0Af000000000001AAA","done":false,"status":"Succeeded"}})",
         DeployResponse{DeployResponse::Pending{"0Af000000000001AAA"}}},
        {R"({"status":0,"result":{"id":"0Af000000000001AAA","done":true,"status":"InProgress"}})",
         DeployResponse{DeployResponse::Pending{"0Af000000000001AAA"}}},
        {R"({"status":0,"result":{"status":"Succeeded"}})", DeployResponse{Result{Result::Succeeded{"", false}}}},
        {R"({"status":0,"result":{"id":12,"done":false}})",
         DeployResponse{Result{Result::Error{std::string(kNoTerminalResult)}}}},
        {R"({"status":0,"result":{"id":"-rf","done":false}})",
         DeployResponse{Result{Result::Error{std::string(kNoTerminalResult)}}}},
        {R"({"status":0.0,"result":{"done":true,"success":true}})",
         DeployResponse{Result{Result::Failed{"Deployment rejected by the target.", {}}}}},
        {R"({"status":0,"result":{"done":true,"success":true,"details":{"componentFailures":[]}}})",
         DeployResponse{Result{Result::Succeeded{"", false}}}},
        {R"({"status":0,"result":{"done":true,"details":{"componentFailures":"x"}}})",
         DeployResponse{Result{Result::Failed{std::string(kMalformedDetails), {}}}}},
        {R"({"status":0,"result":{"done":true,"details":{"componentFailures":[{"componentType":"ApexClass","fullName":"A"},3]}}})",
         DeployResponse{Result{Result::Failed{std::string(kMalformedFailure), {}}}}},
        {R"({"status":1,"result":{"done":true,"details":{"componentFailures":{"componentType":"ApexClass","fullName":"A","problem":" ","error":"X"}}}})",
         DeployResponse{Result{Result::ComponentFailures{{{{"ApexClass", "A"}, "X"}}, "X", false, std::nullopt}}}},
        {R"({"status":1,"result":{"done":true,"details":{"componentFailures":[{"fullName":"Z","problem":"same"},{"fullName":"Y","problem":"same"}]}}})",
         DeployResponse{Result{Result::Failed{"same", {}}}}},
        {R"({"status":1,"result":{"done":true,"details":{"componentFailures":[{"fullName":"A"},{"fullName":"Y","message":"\r\n\t"}]}}})",
         DeployResponse{Result{Result::ComponentFailures{{{{"ApexClass", "A"}, std::string(kRejectedComponent)}},
                                                         std::string(kRejectedComponent), true, std::nullopt}}}},
        {R"({"name":"ClientTimeoutError","message":"m","status":1,"data":{"id":"0Af000djxqBuhqACAR"}})",
         DeployResponse{DeployResponse::Pending{"0Af000djxqBuhqACAR"}}},
        {R"({"name":"ClientTimeoutError","message":"m","status":1,"data":{"id":"001000djxqBuhqACAR"}})",
         DeployResponse{Result{Result::Error{"ClientTimeoutError: m"}}}},
        {R"({"status":1})", DeployResponse{Result{Result::Error{std::string(kNoTerminalResult)}}}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.json);
        EXPECT_EQ(gateway.classify(answer(c.json, json::as_int64(*json::find(parse(c.json), "status")).value_or(1)),
                                   requested),
                  c.expected);
    }
}

TEST(DeployClassification, ExitCodeAndTimeOutDecideSuccess) {
    auto gateway = make_gateway();
    EXPECT_EQ(gateway.classify(answer(R"({"status":0,"result":{"done":true,"success":true}})", 1), {}),
              (DeployResponse{Result{Result::Failed{"Deployment rejected by the target.", {}}}}));
    EXPECT_EQ(gateway.classify(answer(R"({"status":0,"result":{"done":false}})", 0, true), {}),
              (DeployResponse{Result{Result::Error{std::string(kCommandTimedOut)}}}));
}

TEST(DeployClassification, CoverageWarningsTieToOneApexKey) {
    auto gateway = make_gateway();
    const RequestedComponents requested{{"ApexClass", "MyClass"}, {"ApexTrigger", "Other"}};
    const auto response = gateway.classify(
        answer(R"({"status":1,"result":{"done":true,"success":false,"details":{"runTestResult":{
            "codeCoverageWarnings":[{"name":"myclass","message":"low coverage"},{"name":"Nobody"},
                                    {"message":"Average test coverage is 50%"}]}}}})",
               1),
        requested);
    EXPECT_EQ(response, (DeployResponse{Result{Result::Failed{
                            "Code coverage: myclass: low coverage; Average test coverage is 50%",
                            {{{"ApexClass", "MyClass"}, "Code coverage: low coverage"}}}}}));
}

// A job that failed or was cancelled deployed nothing although only one failure names a component; a
// partial success keeps its reading per component whatever its "success" says.
TEST(DeployClassification, AFailedJobIsAWholeRejection) {
    auto gateway = make_gateway();
    const RequestedComponents requested{{"ApexClass", "Broken"}, {"ApexClass", "Fine"}};
    const std::string failures =
        R"("componentFailures":{"componentType":"ApexClass","fullName":"Broken","fileName":"classes/Broken.cls","problem":"Variable does not exist: x"})";
    const std::string tests =
        R"("runTestResult":{"failures":[{"name":"FineTest","methodName":"run","message":"System.AssertException:\nAssertion Failed"}]})";
    struct Case {
        std::string json;
        std::int32_t exit_code;
        std::optional<std::string> rejection;
    };
    const Case cases[] = {
        {R"({"status":1,"result":{"done":true,"status":"Failed","success":false,"details":{)" + failures + "," + tests + "}}}",
         1, "Variable does not exist: x; Apex test failures: FineTest.run: System.AssertException: Assertion Failed"},
        {R"({"status":1,"result":{"done":true,"status":"Canceled","success":false,"details":{)" + failures + "}}}", 1,
         "Variable does not exist: x"},
        {R"({"status":68,"result":{"done":true,"status":"SucceededPartial","success":false,"details":{)" + failures + "}}}",
         68, std::nullopt},
        {R"({"status":68,"result":{"done":true,"status":"SucceededPartial","success":true,"details":{)" + failures + "}}}",
         68, std::nullopt},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.json);
        EXPECT_EQ(gateway.classify(answer(c.json, c.exit_code), requested),
                  (DeployResponse{Result{Result::ComponentFailures{
                      {{{"ApexClass", "Broken"}, "Variable does not exist: x"}}, "Variable does not exist: x", false,
                      c.rejection}}}));
    }
}

TEST(DeployClassification, RecordedValuesAccumulateAndSaturate) {
    auto gateway = make_gateway();
    EXPECT_EQ(gateway.recorded_tests(), std::nullopt);
    EXPECT_EQ(gateway.recorded_test_failures(), std::nullopt);
    EXPECT_EQ(gateway.recorded_deployed_count(), std::nullopt);
    gateway.classify(answer(R"({"status":1,"result":{"done":true,"numberTestsTotal":3,"numberTestErrors":1,
        "numberComponentsDeployed":2,"details":{"runTestResult":{"failures":{"name":"T","methodName":"m","message":"boom"}}}}})",
                            1),
                     {});
    gateway.classify(answer(R"({"status":1,"result":{"done":true,"numberTestsTotal":2,
        "details":{"runTestResult":{"failures":[{"message":"second"}]}}}})",
                            1),
                     {});
    EXPECT_EQ(gateway.recorded_tests(), (std::pair<std::uint32_t, std::uint32_t>{5, 1}));
    EXPECT_EQ(gateway.recorded_test_failures(), "Apex test failures: T.m: boom\nApex test failures: second");
    EXPECT_EQ(gateway.recorded_deployed_count(), std::nullopt);
    gateway.classify(answer(R"({"status":0,"result":{"done":true,"numberTestsTotal":99999999999,
        "numberTestErrors":-1,"numberComponentsDeployed":18446744073709551615}})"),
                     {});
    EXPECT_EQ(gateway.recorded_tests(), (std::pair<std::uint32_t, std::uint32_t>{4294967295u, 1}));
    EXPECT_EQ(gateway.recorded_deployed_count(), 18446744073709551615ull);
    // A pending answer records nothing.
    gateway.classify(answer(R"({"status":0,"result":{"id":"0Af000000000001AAA","done":false,"numberComponentsDeployed":1}})"),
                     {});
    EXPECT_EQ(gateway.recorded_deployed_count(), 18446744073709551615ull);
}

TEST(DeployClassification, ManyFailuresDeepNestingAndSecretsStayValues) {
    auto gateway = make_gateway();
    RequestedComponents requested;
    std::string failures;
    for (int i = 0; i < 100000; ++i) {
        if (i < 1000) requested.insert({"ApexClass", fmt::format("C{}", i)});
        failures += fmt::format(R"({}{{"componentType":"ApexClass","fullName":"C{}","problem":"p{}"}})",
                                i == 0 ? "" : ",", i, i % 3);
    }
    const auto response = gateway.classify(
        answer(fmt::format(R"({{"status":1,"result":{{"done":true,"details":{{"componentFailures":[{}]}}}}}})", failures),
               1),
        requested);
    const auto& result = std::get<MetadataDeployResult>(response.value);
    const auto& tied = std::get<Result::ComponentFailures>(result.value);
    EXPECT_EQ(tied.failures.size(), 1000u);
    EXPECT_TRUE(tied.has_unmatched);
    EXPECT_EQ(tied.message, "p0; p1; p2");

    std::string deep(400, '[');
    deep += std::string(400, ']');
    const auto nested = gateway.classify(
        answer(fmt::format(R"({{"status":1,"result":{{"done":true,"details":{{"componentFailures":[{{"problem":{}}}]}}}}}})",
                           deep),
               1),
        requested);
    EXPECT_TRUE(std::holds_alternative<MetadataDeployResult>(nested.value));

    const auto secret = gateway.classify(
        answer(R"({"status":1,"result":{"done":true,"details":{"componentFailures":[{"fullName":"C1","componentType":"ApexClass",
            "problem":"bad accessToken=00Dxx!secretvalue"}]}}})",
               1),
        requested);
    const auto& keyed = std::get<Result::ComponentFailures>(std::get<MetadataDeployResult>(secret.value).value);
    EXPECT_THAT(keyed.failures.at(0).second, ::testing::Not(::testing::HasSubstr("secretvalue")));
}

TEST(DeployTexts, SafeTextCollapsesTrimsAndCuts) {
    EXPECT_EQ(Gateway::safe_text("  a\r\n\tb\n\nc  "), "a b c");
    EXPECT_EQ(Gateway::safe_text(""), "");
    const std::string long_text(2500, 'x');
    EXPECT_EQ(Gateway::safe_text(long_text), std::string(2000, 'x'));
    std::string accents;
    for (int i = 0; i < 2100; ++i) accents += "\xC3\xA9";
    EXPECT_EQ(text::count_chars(Gateway::safe_text(accents)), 2000u);
}

TEST(DeployTexts, AsTextKeepsNumbersExact) {
    EXPECT_EQ(as_text(parse("\"x\"")), "x");
    EXPECT_EQ(as_text(parse("true")), "true");
    EXPECT_EQ(as_text(parse("12345678901234567890")), "12345678901234567890");
    EXPECT_EQ(as_text(parse("-9007199254740993")), "-9007199254740993");
    EXPECT_EQ(as_text(parse("null")), "");
    EXPECT_EQ(as_text(parse("[1]")), "");
    EXPECT_EQ(as_text(parse("{}")), "");
}

TEST(DeployTexts, JoinDetailsAndMessages) {
    EXPECT_EQ(join_details("fallback", {std::nullopt, std::string(" "), std::string(" a "), std::string("b")}), "a b");
    EXPECT_EQ(join_details("fallback", {}), "fallback");
    EXPECT_EQ(Gateway::component_message(parse(R"({"problem":" "})")), "Salesforce rejected this metadata component.");
    EXPECT_EQ(Gateway::response_message(parse(R"({"message":" ","result":{"errorMessage":"e\nf"}})")), "e f");
    EXPECT_EQ(Gateway::response_message(parse(R"({"status":1})")), std::nullopt);
    EXPECT_EQ(Gateway::test_failure_detail(parse(R"({"details":{"runTestResult":{"failures":[]}}})")), std::nullopt);
    EXPECT_EQ(Gateway::test_failure_detail(parse(R"({"details":{"runTestResult":{"failures":[{"name":"N"}]}}})")),
              "Apex test failures: N");
}

TEST(DeployCommands, LinesAndJobIds) {
    EXPECT_TRUE(is_job_id("0Af000000000001"));
    EXPECT_TRUE(is_job_id("0Af000000000001AAA"));
    EXPECT_FALSE(is_job_id("0Af00000000001"));
    EXPECT_FALSE(is_job_id("-Af000000000001"));
    EXPECT_FALSE(is_job_id("0Af00000000000\xC3\xA9"));
    DeployOptions options;
    options.tests = std::vector<std::string>{};
    EXPECT_EQ(start_args("/p", "dh", options),
              (Arguments{"project", "deploy", "start", "--source-dir", "/p", "--target-org", "dh", "--wait", "30",
                         "--json", "--ignore-conflicts"}));
}

TEST(QuickDeployNames, FullNamesFromFileNames) {
    struct Case {
        const char* type;
        const char* file;
        std::optional<std::string> expected;
    };
    const Case cases[] = {
        {"ApexClass", "classes/Foo.cls", "Foo"},
        {"CustomField", "objects/Account/fields/Rating__c.field-meta.xml", "Account.Rating__c"},
        {"CustomLabel", "labels/CustomLabels.labels-meta.xml", std::nullopt},
        {"", "classes/Foo.cls", std::nullopt},
        {"ApexClass", "///", std::nullopt},
        {"ApexClass", "classes/.cls", std::nullopt},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.file);
        EXPECT_EQ(full_name_from_file_name(c.type, c.file), c.expected);
    }
}

}  // namespace
}  // namespace ambrel::deployment::deploy_gateway
