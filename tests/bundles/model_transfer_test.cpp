#include <gtest/gtest.h>

#include <fmt/format.h>

#include "data/bundles/document/model_document.hpp"
#include "data/bundles/model_transfer/model_transfer.hpp"
#include "support/doubles.hpp"
#include "support/fake_record_channels.hpp"
#include "support/test_paths.hpp"

namespace ambrel::data::bundles::model_transfer {
namespace {

using document::ModelDocument;
using document::ModelTag;
using document::ModelVersion;
using synthesis::ChannelError;
using testing::FakeRecordChannels;
using testing::json_object;

using Call = FakeRecordChannels::Call;

std::string expression_set_query(std::string_view model) {
    return fmt::format("SELECT Id FROM ExpressionSet WHERE ApiName = '{}' AND UsageType = 'Constraint'", model);
}
std::string definition_versions_query(std::string_view model) {
    return fmt::format(
        "SELECT Id, DeveloperName FROM ExpressionSetDefinitionVersion WHERE ExpressionSetDefinition.DeveloperName = "
        "'{}'",
        model);
}
std::string versions_query(std::string_view model) {
    return fmt::format("SELECT Id, ApiName, IsActive FROM ExpressionSetVersion WHERE ExpressionSet.ApiName = '{}'",
                       model);
}

const std::string kCancelledBefore = "The transfer was cancelled before this model's tags, CML and activation.";
const std::string kEmptyTags = "Tags: 0 created, 0 already present, 0 without addressee in the target, 0 skipped.";

std::string fixture(const std::string& name) {
    return testing::read_file(testing::tests_dir() / "fixtures" / "model_orgs" / name);
}

struct Progress {
    std::vector<std::string> seen;
    model_transfer::Progress callable() {
        return [this](std::string_view model) { seen.emplace_back(model); };
    }
};

TEST(TransferModels, GoldenModelsIntoTheTarget) {
    FakeRecordChannels channels;
    channels.answer_query_file("tgt", expression_set_query("Alpha"), "model_orgs/target_alpha_expression_set.json");
    channels.answer_query_file("tgt", expression_set_query("Beta"), "model_orgs/target_beta_expression_set.json");
    const std::vector<std::string> name_queries{
        "SELECT Id, Name FROM Product2 WHERE Name IN ('Laptop & Co \"Pro\"', 'Office Bundle')",
        "SELECT Id, Code FROM ProductClassification WHERE Code IN ('HW<1>')",
        "SELECT Id, Name, ParentProduct.Name FROM ProductComponentGroup WHERE ParentProduct.Name IN ('Office Bundle')",
        "SELECT Id, ParentProduct.Name, ProductComponentGroup.Name, ChildProduct.Name, ChildProductClassification.Code "
        "FROM ProductRelatedComponent WHERE ParentProduct.Name IN ('Office Bundle')",
    };
    const std::string existing_query =
        "SELECT ReferenceObjectId, ConstraintModelTag, ConstraintModelTagType FROM ExpressionSetConstraintObj WHERE "
        "ExpressionSetId = '0ESTA'";
    channels.answer_query_file("tgt", name_queries[0], "model_orgs/target_products.json");
    channels.answer_query_file("tgt", name_queries[1], "model_orgs/target_classifications.json");
    channels.answer_query_file("tgt", name_queries[2], "model_orgs/target_groups.json");
    channels.answer_query_file("tgt", name_queries[3], "model_orgs/target_components.json");
    channels.answer_query_file("tgt", existing_query, "model_orgs/target_alpha_existing_tags.json");
    channels.answer_query_file("tgt", definition_versions_query("Alpha"),
                               "model_orgs/target_alpha_definition_versions.json");
    channels.answer_cml("tgt", "0VT1", "constraint Alpha_V1 { a ]]> b }\n");
    channels.answer_query_file("tgt", versions_query("Alpha"), "model_orgs/target_alpha_versions.json");

    const std::map<std::string, std::string> models{
        {"Alpha", fixture("Alpha.constraintModel-meta.xml")},
        {"Beta", fixture("Beta.constraintModel-meta.xml")},
        {"Broken", "<ProductBundle/>"},
    };
    Progress progress;
    testing::TestToken token;
    const auto outcomes = transfer_models(channels, "tgt", models, progress.callable(), token);
    EXPECT_EQ(progress.seen, (std::vector<std::string>{"Alpha", "Beta", "Broken"}));
    ASSERT_EQ(outcomes.size(), 3U);
    EXPECT_EQ(outcomes[0],
              (ModelOutcome{"Alpha",
                            "Tags: 5 created, 1 already present, 0 without addressee in the target, 2 skipped "
                            "(Product Ghost → unresolved in the source; Product NoRef → unrecognized addressee). "
                            "CML: 1 written, 1 unchanged, 0 refused. Activated in the target; Alpha_V1 deactivated. "
                            "REST calls in this transfer: 14.",
                            false}));
    EXPECT_EQ(outcomes[1],
              (ModelOutcome{"Beta",
                            "The target lists 2 ExpressionSet records for Beta after the deploy; tags, CML and "
                            "activation were not attempted. REST calls in this transfer: 1.",
                            false}));
    EXPECT_EQ(outcomes[2].name, "Broken");
    EXPECT_FALSE(outcomes[2].success);
    EXPECT_EQ(outcomes[2].message,
              fmt::format("The Constraint Model document could not be read: {}.",
                          document::parse_model_document("<ProductBundle/>").error().message()));

    const auto body = [](std::string_view reference, std::string_view tag, std::string_view type) {
        return fmt::format(
            R"({{"attributes":{{"type":"ExpressionSetConstraintObj"}},"ExpressionSetId":"0ESTA",)"
            R"("ReferenceObjectId":"{}","ConstraintModelTag":"{}","ConstraintModelTagType":"{}"}})",
            reference, tag, type);
    };
    const std::vector<Call> expected{
        {"query", "tgt", expression_set_query("Alpha"), {}},
        {"query", "tgt", name_queries[0], {}},
        {"query", "tgt", name_queries[1], {}},
        {"query", "tgt", name_queries[2], {}},
        {"query", "tgt", name_queries[3], {}},
        {"query", "tgt", existing_query, {}},
        {"composite",
         "tgt",
         "POST",
         {body("11BT1", "Hardware", "Classification"), body("0PRT2", "AnyHW", "Component"),
          body("0PRT1", "Mouse", "Component"), body("0PGT1", "Accessories", "Group"),
          body("01tT2", "Bundle", "Product")}},
        {"query", "tgt", definition_versions_query("Alpha"), {}},
        {"read_cml", "tgt", "0VT1", {}},
        {"read_cml", "tgt", "0VT2", {}},
        {"write_cml", "tgt", "0VT2", {"type Laptop; // \u00fcber <&>\n"}},
        {"query", "tgt", versions_query("Alpha"), {}},
        {"set_version_active", "tgt", "9VT1", {"false"}},
        {"set_version_active", "tgt", "9VT2", {"true"}},
        {"query", "tgt", expression_set_query("Beta"), {}},
    };
    EXPECT_EQ(channels.calls(), expected);
}

// A model with the given versions and tags, as its document text.
std::string document_text(std::vector<ModelVersion> versions, std::vector<ModelTag> tags = {}) {
    ModelDocument document;
    document.versions = std::move(versions);
    document.tags = std::move(tags);
    return document::render_model_document(document);
}

// The target holds M's ExpressionSet and the version V1 whose CML equals the document's.
void script_model(FakeRecordChannels& channels, std::string_view model = "M") {
    channels.answer_query_json("tgt", expression_set_query(model), R"([{"Id":"0ES"}])");
    channels.answer_query_json("tgt", definition_versions_query(model),
                               R"([{"Id":"0V0","DeveloperName":"V0"},{"Id":"0V1","DeveloperName":"V1"}])");
    channels.answer_cml("tgt", "0V1", "cml");
}

const std::string kOneActive = document_text({{"V1", "Active", "", "cml"}});

TEST(TransferModels, ActivationTextsAndSuccess) {
    struct Case {
        std::string name;
        std::string document;
        std::string rows;
        // Position of a failed call among all calls, and its text.
        std::optional<std::size_t> failing;
        std::string activation;
        bool success;
        std::vector<Call> changes;
    };
    const std::string both = R"([{"Id":"9V0","ApiName":"V0","IsActive":true},{"Id":"9V1","ApiName":"V1","IsActive":false}])";
    const std::string none_active = R"([{"Id":"9V1","ApiName":"V1","IsActive":false}])";
    const Call deactivate{"set_version_active", "tgt", "9V0", {"false"}};
    const Call activate{"set_version_active", "tgt", "9V1", {"true"}};
    const std::vector<Case> cases{
        {"nothing active in the source", document_text({{"V1", "Draft", "", "cml"}}), "", std::nullopt,
         "No version is active in the source; the target's activity was left as it is.", true, {}},
        {"two active", document_text({{"V0", "Active", "", "x"}, {"V1", "Active", "", "cml"}}), "", std::nullopt,
         "Activation skipped: the document marks 2 versions active.", true, {}},
        {"already active", kOneActive, R"([{"Id":"9V1","ApiName":" V1 ","IsActive":true}])", std::nullopt,
         "Already active in the target.", true, {}},
        {"activated", kOneActive, none_active, std::nullopt, "Activated in the target.", true, {activate}},
        {"activated replacing", kOneActive, both, std::nullopt, "Activated in the target; V0 deactivated.", true,
         {deactivate, activate}},
        {"text flag is no flag", kOneActive,
         R"([{"Id":"9V0","ApiName":"V0","IsActive":"true"},{"Id":"9V1","ApiName":"V1","IsActive":false}])",
         std::nullopt, "Activated in the target.", true, {activate}},
        {"query failed", kOneActive, "[]", 3U, "Activation skipped: the target's versions could not be read (boom).",
         false, {}},
        {"missing while another is active", kOneActive, R"([{"Id":"9V0","ApiName":"V0","IsActive":true}])",
         std::nullopt, "Activation skipped: the target lists no V1 after the deploy; V0 is still active.", false, {}},
        {"missing", kOneActive, R"([{"Id":"9V0","ApiName":"V0","IsActive":false},{"Id":"","ApiName":"V1","IsActive":false}])",
         std::nullopt, "Activation skipped: the target lists no V1 after the deploy.", false, {}},
        {"deactivation failed", kOneActive, both, 4U,
         "Activation failed: V0 could not be deactivated (boom); V0 is still active.", false, {deactivate}},
        {"activation failed", kOneActive, both, 5U,
         "Activation failed: V1 could not be activated (boom); no version of M is active now — activate one in Setup.",
         false, {deactivate, activate}},
    };
    for (const auto& test : cases) {
        SCOPED_TRACE(test.name);
        FakeRecordChannels channels;
        script_model(channels);
        if (!test.rows.empty()) channels.answer_query_json("tgt", versions_query("M"), test.rows);
        if (test.failing) channels.fail_call(*test.failing, ChannelError::failure("boom"));
        testing::TestToken token;
        const auto outcomes = transfer_models(channels, "tgt", {{"M", test.document}}, {}, token);
        ASSERT_EQ(outcomes.size(), 1U);
        const std::size_t read_calls = test.name == "two active" ? 5 : 3;
        const std::size_t calls = read_calls + (test.rows.empty() && !test.failing ? 0 : 1) + test.changes.size();
        const std::string cml = test.name == "two active" ? "CML: 1 written, 1 unchanged, 0 refused."
                                                           : "CML: 0 written, 1 unchanged, 0 refused.";
        EXPECT_EQ(outcomes[0], (ModelOutcome{"M",
                                             fmt::format("{} {} {} REST calls in this transfer: {}.", kEmptyTags, cml,
                                                         test.activation, calls),
                                             test.success}));
        EXPECT_EQ(channels.calls_of("set_version_active"), test.changes);
    }
}

TEST(TransferModels, VersionWithRefusedCmlIsNeverActivated) {
    struct Case {
        std::string name;
        std::string versions;
        std::optional<std::size_t> failing;
        std::string cml;
        std::vector<std::string> notes;
    };
    const std::vector<Case> cases{
        {"not in the target", R"([{"Id":"0V0","DeveloperName":"V0"}])", std::nullopt,
         "CML: 0 written, 0 unchanged, 1 refused (V1 → version V1 is not in the target after the deploy).", {}},
        {"listing failed", "[]", 1U,
         "CML: 0 written, 0 unchanged, 1 refused (V1 → the target's versions could not be listed).", {"List failed."}},
        {"read failed", R"([{"Id":"0V1","DeveloperName":"V1"}])", 2U,
         "CML: 0 written, 0 unchanged, 1 refused (V1 → List failed.).", {}},
        {"write failed", R"([{"Id":"0V1","DeveloperName":"V1"}])", 3U,
         "CML: 0 written, 0 unchanged, 1 refused (V1 → List failed.).", {}},
    };
    for (const auto& test : cases) {
        SCOPED_TRACE(test.name);
        FakeRecordChannels channels;
        channels.answer_query_json("tgt", expression_set_query("M"), R"([{"Id":"0ES"}])");
        channels.answer_query_json("tgt", definition_versions_query("M"), test.versions);
        if (test.failing) channels.fail_call(*test.failing, ChannelError::failure("List failed."));
        const auto outcomes = transfer_models(channels, "tgt", {{"M", document_text({{"V1", "Active", "", "new"}})}},
                                              {}, domain::NeverCancelled{});
        ASSERT_EQ(outcomes.size(), 1U);
        EXPECT_FALSE(outcomes[0].success);
        std::string report = fmt::format(
            "{} {} Activation skipped: the CML of V1 was not written; the target's activity was left as it is. REST "
            "calls in this transfer: {}.",
            kEmptyTags, test.cml, channels.calls().size());
        for (const auto& note : test.notes) report += " " + note;
        EXPECT_EQ(outcomes[0].message, report);
        // No activation query or version change.
        EXPECT_TRUE(channels.calls_of("set_version_active").empty());
        EXPECT_NE(channels.calls().back().detail, versions_query("M"));
    }
}

TEST(TransferModels, CmlStepWritesOnlyWhatDiffers) {
    FakeRecordChannels channels;
    channels.answer_query_json("tgt", expression_set_query("M"), R"([{"Id":"0ES"}])");
    // A later duplicate name wins; blank or wrongly typed rows are skipped.
    channels.answer_query_json("tgt", definition_versions_query("M"),
                               R"([{"Id":"old","DeveloperName":"Same"},{"Id":" new ","DeveloperName":" Same "},
                                   {"Id":"0VD","DeveloperName":"Differs"},{"Id":"0VB","DeveloperName":"   "},
                                   {"Id":5,"DeveloperName":"Missing"}])");
    channels.answer_cml("tgt", "new", "same text");
    channels.answer_cml("tgt", "0VD", "other text");
    const auto document =
        document_text({{"Same", "Draft", "", "same text"}, {"Differs", "Draft", "", "text"}, {"Missing", "Draft", "", ""}});
    const auto outcomes = transfer_models(channels, "tgt", {{"M", document}}, {}, domain::NeverCancelled{});
    ASSERT_EQ(outcomes.size(), 1U);
    EXPECT_EQ(outcomes[0].message,
              kEmptyTags +
                  " CML: 1 written, 1 unchanged, 1 refused (Missing → version Missing is not in the target after the "
                  "deploy). No version is active in the source; the target's activity was left as it is. REST calls in "
                  "this transfer: 5.");
    EXPECT_FALSE(outcomes[0].success);
    // The document orders versions by name: Differs, Missing, Same.
    EXPECT_EQ(channels.calls(), (std::vector<Call>{{"query", "tgt", expression_set_query("M"), {}},
                                                   {"query", "tgt", definition_versions_query("M"), {}},
                                                   {"read_cml", "tgt", "0VD", {}},
                                                   {"write_cml", "tgt", "0VD", {"text"}},
                                                   {"read_cml", "tgt", "new", {}}}));
}

TEST(TransferModels, ExpressionSetLookUps) {
    struct Case {
        std::string name;
        std::string rows;
        bool fails;
        std::string message;
    };
    const std::vector<Case> cases{
        {"blank Id", R"([{"Id":"  "},{"Id":7},{"Id":null}])", false,
         "The target lists no ExpressionSet for M after the deploy; tags, CML and activation were not attempted. REST "
         "calls in this transfer: 1."},
        {"failed", "[]", true,
         "The target's ExpressionSet for M could not be read: No access.; tags, CML and activation were not attempted. "
         "REST calls in this transfer: 1."},
        {"found, nothing to do", R"([{"Id":" 0ES "}])", false,
         kEmptyTags +
             " CML: 0 written, 0 unchanged, 0 refused. No version is active in the source; the target's activity was "
             "left as it is. REST calls in this transfer: 1."},
    };
    for (const auto& test : cases) {
        SCOPED_TRACE(test.name);
        FakeRecordChannels channels;
        channels.answer_query_json("tgt", expression_set_query("M"), test.rows);
        if (test.fails) channels.fail_call(0, ChannelError::failure("No access."));
        const auto outcomes = transfer_models(channels, "tgt", {{"M", document_text({})}}, {}, domain::NeverCancelled{});
        ASSERT_EQ(outcomes.size(), 1U);
        EXPECT_EQ(outcomes[0], (ModelOutcome{"M", test.message, test.name == "found, nothing to do"}));
        EXPECT_EQ(channels.calls().size(), 1U);
    }
}

TEST(TransferModels, ModelNamesAreQuoted) {
    FakeRecordChannels channels;
    channels.answer_query_json("tgt", expression_set_query("O\\'Hara"), "[]");
    const auto outcomes =
        transfer_models(channels, "tgt", {{"O'Hara", document_text({})}}, {}, domain::NeverCancelled{});
    ASSERT_EQ(outcomes.size(), 1U);
    EXPECT_EQ(channels.calls().size(), 1U);
}

TEST(TransferModels, NoModelsNoRequest) {
    FakeRecordChannels channels;
    Progress progress;
    EXPECT_TRUE(transfer_models(channels, "tgt", {}, progress.callable(), domain::NeverCancelled{}).empty());
    EXPECT_TRUE(progress.seen.empty());
    EXPECT_TRUE(channels.calls().empty());
}

TEST(TransferModels, CancelledFromTheStart) {
    FakeRecordChannels channels;
    Progress progress;
    testing::TestToken token;
    token.cancel();
    const auto outcomes =
        transfer_models(channels, "tgt", {{"beta", "not a document"}, {"Alpha", kOneActive}}, progress.callable(), token);
    EXPECT_EQ(outcomes, (std::vector<ModelOutcome>{{"Alpha", kCancelledBefore, false}, {"beta", kCancelledBefore, false}}));
    EXPECT_TRUE(progress.seen.empty());
    EXPECT_TRUE(channels.calls().empty());
    // The flag stops polling: one poll for the first model only.
    EXPECT_EQ(token.polls(), 1);
}

TEST(TransferModels, CancellationAtEveryPoint) {
    // Polls in order (the fake polls once per request as well): models 1, model 2, ExpressionSet 3,
    // version list 4 and 5, CML read 6 and 7, activation query 8 and 9, change 10, deactivation 11,
    // after it 12, activation 13; the second model's first poll is 14.
    const std::string after_cml = "The transfer was cancelled after the CML; activation was not attempted.";
    const std::string after_deactivation =
        "Activation cancelled after V0 was deactivated; no version of M is active now — activate one in Setup.";
    const std::vector<std::string> texts{
        kCancelledBefore,
        kCancelledBefore,
        kCancelledBefore,
        "The transfer was cancelled after the tags; CML and activation were not attempted.",
        "The transfer was cancelled after the tags; CML and activation were not attempted.",
        "The transfer was cancelled during the CML; activation was not attempted.",
        "The transfer was cancelled during the CML; activation was not attempted.",
        after_cml,
        after_cml,
        "Activation cancelled: V0 is still active.",
        after_deactivation,
        after_deactivation,
        after_deactivation,
        "Activated in the target; V0 deactivated.",
    };
    for (std::size_t allowed = 0; allowed < texts.size(); ++allowed) {
        SCOPED_TRACE(allowed);
        FakeRecordChannels channels;
        script_model(channels);
        channels.answer_query_json("tgt", versions_query("M"),
                                   R"([{"Id":"9V0","ApiName":"V0","IsActive":true},{"Id":"9V1","ApiName":"V1","IsActive":false}])");
        testing::CountdownToken token(allowed);
        Progress progress;
        const auto outcomes = transfer_models(channels, "tgt", {{"M", kOneActive}, {"N", kOneActive}},
                                              progress.callable(), token);
        ASSERT_EQ(outcomes.size(), 2U);
        EXPECT_FALSE(outcomes[0].success && allowed < 13);
        if (allowed < 7) {
            EXPECT_EQ(outcomes[0].message, texts[allowed]);
        } else {
            // From the activation step on the model keeps its whole report.
            EXPECT_TRUE(outcomes[0].message.starts_with(kEmptyTags + " CML: 0 written, 1 unchanged, 0 refused. " +
                                                        texts[allowed] + " REST calls in this transfer: "))
                << outcomes[0].message;
        }
        EXPECT_EQ(outcomes[1], (ModelOutcome{"N", kCancelledBefore, false}));
        EXPECT_EQ(progress.seen, allowed == 0 ? std::vector<std::string>{} : std::vector<std::string>{"M"});
    }
}

TEST(TransferModels, TwelveSkippedTagsAreListedTenAndTheRest) {
    FakeRecordChannels channels;
    channels.answer_query_json("tgt", expression_set_query("M"), R"([{"Id":"0ES"}])");
    channels.answer_query_json(
        "tgt",
        "SELECT ReferenceObjectId, ConstraintModelTag, ConstraintModelTagType FROM ExpressionSetConstraintObj WHERE "
        "ExpressionSetId = '0ES'",
        "[]");
    std::vector<ModelTag> tags;
    for (int i = 0; i < 12; ++i) tags.push_back(ModelTag{"Product", fmt::format("t{:02}", i), {}, "01t"});
    const auto outcomes = transfer_models(channels, "tgt", {{"M", document_text({}, tags)}}, {}, domain::NeverCancelled{});
    ASSERT_EQ(outcomes.size(), 1U);
    std::string list;
    for (int i = 0; i < 10; ++i) list += fmt::format("{}Product t{:02} → unresolved in the source", i ? "; " : "", i);
    EXPECT_TRUE(outcomes[0].message.starts_with(fmt::format(
        "Tags: 0 created, 0 already present, 0 without addressee in the target, 12 skipped ({}; and 2 more). ", list)))
        << outcomes[0].message;
    EXPECT_FALSE(outcomes[0].success);
}

TEST(NamedList, Cases) {
    NamedReasons pairs;
    EXPECT_EQ(named_list(pairs), "");
    pairs.emplace_back("a", "b");
    EXPECT_EQ(named_list(pairs), "a → b");
    for (int i = 0; i < 9; ++i) pairs.emplace_back(fmt::format("n{}", i), "v");
    EXPECT_EQ(named_list(pairs).find("more"), std::string::npos);
    pairs.emplace_back("x", "y");
    pairs.emplace_back("z", "w");
    EXPECT_TRUE(named_list(pairs).ends_with("n8 → v; and 2 more"));
}

TEST(CmlPatchBody, Base64OfTheBytes) {
    const std::vector<std::pair<std::string, std::string>> cases{
        {"", ""},           {"f", "Zg=="},         {"fo", "Zm8="},     {"foo", "Zm9v"},
        {"foob", "Zm9vYg=="}, {"fooba", "Zm9vYmE="}, {"foobar", "Zm9vYmFy"}, {"\xfb\xff", "+/8="},
        {std::string("\0\n", 2), "AAo="},
    };
    for (const auto& [bytes, encoded] : cases) {
        SCOPED_TRACE(encoded);
        EXPECT_EQ(cml_patch_body(bytes), fmt::format(R"({{"ConstraintModel":"{}"}})", encoded));
    }
}

TEST(RuntimeVersions, RowsAndVersionMap) {
    const std::vector<std::pair<std::string, std::optional<RuntimeVersion>>> cases{
        {R"({"Id":" 9V ","ApiName":" V ","IsActive":true})", RuntimeVersion{"9V", "V", true}},
        {R"({"Id":"9V","ApiName":"V","IsActive":"true"})", std::nullopt},
        {R"({"Id":"9V","ApiName":"V"})", std::nullopt},
        {R"({"Id":["9V"],"ApiName":"V","IsActive":false})", std::nullopt},
        {R"({"Id":"9V","ApiName":" ","IsActive":false})", std::nullopt},
        {R"({"Id":"9V","ApiName":null,"IsActive":false})", std::nullopt},
    };
    for (const auto& [row, expected] : cases) {
        SCOPED_TRACE(row);
        EXPECT_EQ(runtime_version(json_object(row)), expected);
    }
    EXPECT_EQ(version_map({json_object(R"({"Id":"a","DeveloperName":"V"})"), json_object(R"({"Id":"b","DeveloperName":"V"})"),
                           json_object(R"({"Id":"c","DeveloperName":1})"), json_object(R"({"Id":"","DeveloperName":"W"})")}),
              (std::map<std::string, std::string>{{"V", "b"}}));
}

}  // namespace
}  // namespace ambrel::data::bundles::model_transfer
