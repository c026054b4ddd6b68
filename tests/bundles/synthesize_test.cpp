#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>

#include <fmt/format.h>

#include "data/bundles/document/bundle_document.hpp"
#include "data/bundles/document/model_document.hpp"
#include "data/bundles/synthesis/synthesize.hpp"
#include "data/bundles/synthesis/tagging_model_names.hpp"
#include "data/bundles/synthesis/versions.hpp"
#include "support/doubles.hpp"
#include "support/fake_record_channels.hpp"
#include "support/test_paths.hpp"

namespace ambrel::data::bundles::synthesis {
namespace {

using metadata_types::MetadataType;
using testing::FakeRecordChannels;
using testing::make_schema;
using Documents = std::map<std::string, std::string>;

const std::filesystem::path kFixtures = testing::tests_dir() / "fixtures" / "bundle_orgs";

constexpr std::string_view kExpressionSets =
    "SELECT Id, Name, ApiName, ExpressionSetDefinition.NamespacePrefix FROM ExpressionSet "
    "WHERE UsageType = 'Constraint' ORDER BY ApiName";
// Without compared fields (describes with no fields), the classification query holds "Id" and the
// parent's code only.
constexpr std::string_view kPlainClassifications =
    "SELECT Id, ParentProductClassification.Code FROM ProductClassification ORDER BY Code";
constexpr std::string_view kPlainBundles =
    "SELECT Id, BasedOn.Code FROM Product2 WHERE Type = 'Bundle' AND Name IN ({}) ORDER BY Id";
constexpr std::string_view kPlainGroups =
    "SELECT Id, ParentProduct.Name, ParentGroup.Name, ParentProductId FROM ProductComponentGroup "
    "WHERE ParentProductId IN ({})";
constexpr std::string_view kPlainComponents =
    "SELECT Id, ParentProduct.Name, ParentProductId, ChildProductId, ChildProduct.Name, ChildProduct.Type, "
    "ChildProductClassification.Code, ProductComponentGroup.Name, ProductRelationshipType.Name, "
    "ParentSellingModel.Name, ChildSellingModel.Name FROM ProductRelatedComponent WHERE ParentProductId IN ({})";
constexpr std::string_view kPlainOptions =
    "SELECT Id, Product2.Name, ProductSellingModel.Name, Product2Id FROM ProductSellingModelOption "
    "WHERE Product2Id IN ({})";
constexpr std::string_view kPlainEntries =
    "SELECT Id, Product2.Name, Pricebook2.Name, Pricebook2.IsStandard, ProductSellingModel.Name, Product2Id "
    "FROM PricebookEntry WHERE Product2Id IN ({})";
constexpr std::string_view kTags =
    "SELECT Id, ConstraintModelTag, ConstraintModelTagType, ReferenceObjectId, ExpressionSetId "
    "FROM ExpressionSetConstraintObj WHERE ReferenceObjectId IN ({})";

const std::vector<std::string> kBundleObjectNames{"Product2",
                                                  "ProductClassification",
                                                  "ProductComponentGroup",
                                                  "ProductRelatedComponent",
                                                  "ProductSellingModelOption",
                                                  "PricebookEntry"};

// A describe as an org gives it: the record id is never createable, so it is never a compared field.
schema::ObjectSchema describe_of(const std::string& object, const std::vector<std::string>& fields) {
    auto schema = make_schema(object, fields);
    schema.fields["Id"].type = "id";
    schema.fields["Id"].createable = false;
    schema.fields["Id"].updateable = false;
    return schema;
}

std::string fill(std::string_view format, std::string_view list) { return fmt::format(fmt::runtime(format), list); }

std::string call_text(const FakeRecordChannels::Call& call) {
    return fmt::format("{} {} {}", call.org, call.operation, call.detail);
}

std::vector<std::string> call_texts(const FakeRecordChannels& channels) {
    std::vector<std::string> texts;
    for (const auto& call : channels.calls()) texts.push_back(call_text(call));
    return texts;
}

// A recording stand-in for the constraint-model documents of one side.
struct ModelStepRecorder {
    struct Seen {
        std::string alias;
        bool is_source = false;
        std::set<std::string> model_names;
        std::map<std::string, std::string> expression_sets;
        friend bool operator==(const Seen&, const Seen&) = default;
    };
    std::vector<Seen> seen;
    std::optional<ChannelError> fail;
    bool write_documents = false;

    ModelDocumentsStep step() {
        return [this](ModelSideStep& step) -> ChannelResult<void> {
            seen.push_back({step.side.alias, step.is_source, step.model_names, step.expression_sets_by_model});
            if (fail) return std::unexpected(*fail);
            if (write_documents) {
                for (const auto& [name, id] : step.expression_sets_by_model) {
                    step.documents[fmt::format("constraintModels/{}.constraintModel-meta.xml", name)] = id;
                }
                if (step.is_source) step.outcome.messages.push_back("model step of " + step.side.label);
            }
            return {};
        };
    }
};

SynthesisInput input_for(std::set<std::string> bundles, std::set<std::string> models = {},
                         std::string api_version = "67.0") {
    SynthesisInput input;
    input.source.alias = "src";
    input.source.label = "Source org";
    input.target.alias = "tgt";
    input.target.label = "Target org";
    input.bundle_names = std::move(bundles);
    input.model_names = std::move(models);
    input.api_version = std::move(api_version);
    return input;
}

// Describes of every bundle and model object without fields, in both orgs unless left out.
void describe_all(FakeRecordChannels& channels, const std::set<std::pair<std::string, std::string>>& missing = {}) {
    std::vector<std::string> objects = kBundleObjectNames;
    objects.push_back("ExpressionSet");
    objects.push_back("ExpressionSetConstraintObj");
    for (const std::string org : {"src", "tgt"}) {
        for (const auto& object : objects) {
            if (!missing.contains({org, object})) channels.add_describe(org, describe_of(object, {}));
        }
    }
}

std::vector<std::string> bundle_describes() {
    std::vector<std::string> calls;
    for (const auto& object : kBundleObjectNames) {
        calls.push_back("src describe " + object);
        calls.push_back("tgt describe " + object);
    }
    return calls;
}

// ---------------------------------------------------------------------------------------------
// The golden pair of orgs
// ---------------------------------------------------------------------------------------------

// Loads one org of the pair into the fake; returns the calls the org expects, in order.
std::vector<std::string> load_org(FakeRecordChannels& channels, const std::string& file, bool reverse_rows) {
    const auto parsed = json::parse(testing::read_file(kFixtures / file));
    EXPECT_TRUE(parsed.has_value()) << file;
    if (!parsed) return {};
    const json::Object& org = parsed->as_object();
    const std::string alias(*json::get_string(org, "alias"));
    for (const auto& [object, fields] : *json::get_object(org, "describes")) {
        std::vector<std::string> names;
        for (const auto& field : fields.as_array()) names.emplace_back(field.as_string());
        channels.add_describe(alias, describe_of(std::string(object), names));
    }
    std::vector<std::string> expected;
    for (const auto& element : *json::get_array(org, "calls")) {
        const json::Object& call = element.as_object();
        if (*json::get_string(call, "operation") == "describe") {
            expected.push_back(fmt::format("{} describe {}", alias, *json::get_string(call, "object")));
            continue;
        }
        const std::string soql(*json::get_string(call, "soql"));
        std::vector<json::Object> records;
        for (const auto& record : *json::get_array(call, "records")) records.push_back(record.as_object());
        if (reverse_rows) std::reverse(records.begin(), records.end());
        channels.answer_query(alias, soql, std::move(records));
        expected.push_back(fmt::format("{} query {}", alias, soql));
    }
    return expected;
}

Documents expected_documents(const std::string& side) {
    Documents documents;
    const auto folder = kFixtures / "expected" / side;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(folder)) {
        if (!entry.is_regular_file()) continue;
        documents[std::filesystem::relative(entry.path(), folder).generic_string()] = testing::read_file(entry.path());
    }
    return documents;
}

struct GoldenRun {
    FakeRecordChannels channels;
    testing::TestToken token;
    ModelStepRecorder models;
    std::vector<std::string> expected_calls;
    ChannelResult<SynthesisOutcome> outcome;

    explicit GoldenRun(bool reverse_rows) {
        const auto source_calls = load_org(channels, "source.json", reverse_rows);
        const auto target_calls = load_org(channels, "target.json", reverse_rows);
        expected_calls = bundle_describes();
        expected_calls.insert(expected_calls.end(), source_calls.begin(), source_calls.end());
        expected_calls.insert(expected_calls.end(), target_calls.begin(), target_calls.end());
        outcome = synthesize(channels, input_for({"Dock Bundle", "Laptop Kit"}), token, models.step());
    }
};

TEST(SynthesizeGolden, BothOrgsGiveTheExpectedDocumentsWithExactlyTheExpectedRequests) {
    GoldenRun run(false);
    ASSERT_TRUE(run.outcome.has_value()) << run.outcome.error().message.value_or("cancelled");
    EXPECT_EQ(call_texts(run.channels), run.expected_calls);
    EXPECT_TRUE(run.outcome->messages.empty());
    EXPECT_TRUE(run.outcome->blocked_types.empty());
    EXPECT_TRUE(run.outcome->blocked_rows.empty());
    EXPECT_EQ(run.outcome->source_documents, expected_documents("source"));
    EXPECT_EQ(run.outcome->target_documents, expected_documents("target"));
    // The packaged model is never offered to the model step.
    EXPECT_EQ(run.models.seen,
              (std::vector<ModelStepRecorder::Seen>{{"src", true, {}, {{"Laptop_Rules", "9QLs1"}}},
                                                    {"tgt", false, {}, {{"Laptop_Rules", "9QLt7"}}}}));
}

TEST(SynthesizeGolden, RowsInAnotherOrderGiveTheSameDocuments) {
    GoldenRun straight(false);
    GoldenRun reversed(true);
    ASSERT_TRUE(straight.outcome.has_value());
    ASSERT_TRUE(reversed.outcome.has_value());
    EXPECT_EQ(reversed.outcome->source_documents, straight.outcome->source_documents);
    EXPECT_EQ(reversed.outcome->target_documents, straight.outcome->target_documents);
    EXPECT_EQ(call_texts(reversed.channels), reversed.expected_calls);
}

TEST(SynthesizeGolden, DocumentsReadBackThroughTheDocumentParser) {
    GoldenRun run(false);
    ASSERT_TRUE(run.outcome.has_value());
    const auto& source = run.outcome->source_documents;
    const auto& target = run.outcome->target_documents;
    ASSERT_EQ(source.size(), 2U);
    ASSERT_EQ(target.size(), 2U);
    for (const auto* side : {&source, &target}) {
        for (const auto& [path, text] : *side) {
            SCOPED_TRACE(path);
            const auto parsed = document::parse_bundle_document(text);
            ASSERT_TRUE(parsed.has_value()) << parsed.error().message();
            EXPECT_EQ(document::write_bundle_document(*parsed), text);
        }
    }
    const auto laptop = document::parse_bundle_document(source.at("productBundles/Laptop Kit.productBundle-meta.xml"));
    ASSERT_TRUE(laptop.has_value());
    // The nested bundle is a child product marked as a bundle; the adapter is shared with the dock.
    ASSERT_EQ(laptop->child_products.size(), 2U);
    EXPECT_EQ(laptop->child_products[0].name, "Dock Bundle");
    EXPECT_TRUE(laptop->child_products[0].bundle);
    EXPECT_EQ(laptop->child_products[1].name, "Power Adapter");
    EXPECT_EQ(laptop->tagged_by, std::vector<std::string>{"Laptop_Rules"});
    // Prices: the nested bundle's own price, two currencies on the bundle, none on the adapter's
    // partner price.
    ASSERT_EQ(laptop->price_book_entries.size(), 4U);
    EXPECT_EQ(laptop->price_book_entries[0].identity.product, "Dock Bundle");
    EXPECT_EQ(laptop->price_book_entries[0].identity.currency, std::nullopt);
    EXPECT_EQ(laptop->price_book_entries[1].identity.currency, std::optional<std::string>("EUR"));
    EXPECT_EQ(laptop->price_book_entries[2].identity.currency, std::optional<std::string>("USD"));
    EXPECT_EQ(laptop->price_book_entries[2].fields.at("UnitPrice"), "1299.5");
    EXPECT_EQ(laptop->price_book_entries[3].identity.product, "Power Adapter");
    EXPECT_EQ(laptop->price_book_entries[3].identity.currency, std::nullopt);
    EXPECT_FALSE(laptop->price_book_entries[3].standard);
    const auto dock = document::parse_bundle_document(source.at("productBundles/Dock Bundle.productBundle-meta.xml"));
    ASSERT_TRUE(dock.has_value());
    EXPECT_EQ(dock->tagged_by, std::vector<std::string>{"Laptop_Rules"});
    EXPECT_EQ(tagging_model_names(source.at("productBundles/Dock Bundle.productBundle-meta.xml")),
              std::set<std::string>{"Laptop_Rules"});
    const auto target_dock = document::parse_bundle_document(target.at("productBundles/Dock Bundle.productBundle-meta.xml"));
    ASSERT_TRUE(target_dock.has_value());
    EXPECT_TRUE(target_dock->tagged_by.empty());
}

// ---------------------------------------------------------------------------------------------
// Gates, blocked types and rows
// ---------------------------------------------------------------------------------------------

TEST(Synthesize, NothingRequestedSendsNothing) {
    FakeRecordChannels channels;
    testing::TestToken token;
    ModelStepRecorder models;
    const auto outcome = synthesize(channels, input_for({}), token, models.step());
    ASSERT_TRUE(outcome.has_value());
    EXPECT_EQ(*outcome, SynthesisOutcome{});
    EXPECT_TRUE(channels.calls().empty());
    EXPECT_TRUE(models.seen.empty());
}

TEST(Synthesize, OldApiVersionBlocksBothTypesAndKeepsCaseCollisions) {
    FakeRecordChannels channels;
    testing::TestToken token;
    ModelStepRecorder models;
    const auto outcome = synthesize(channels, input_for({"ALPHA", "Alpha", "Beta"}, {"M"}, "66.0"), token, models.step());
    ASSERT_TRUE(outcome.has_value());
    EXPECT_TRUE(channels.calls().empty());
    const std::string reason = "Product bundles and constraint models need Metadata API 67.0 or later; "
                               "this comparison runs on 66.0.";
    EXPECT_EQ(outcome->messages, (std::vector<std::string>{"ProductBundle rows are blocked: " + reason,
                                                           "ConstraintModel rows are blocked: " + reason}));
    EXPECT_EQ(outcome->blocked_types, (std::map<MetadataType, std::string>{{MetadataType::ProductBundle, reason},
                                                                           {MetadataType::ConstraintModel, reason}}));
    const std::string collision = "Ambiguous product bundle name: ALPHA, Alpha";
    EXPECT_EQ(outcome->blocked_rows,
              (std::map<domain::ComponentKey, std::string>{{{MetadataType::ProductBundle, "ALPHA"}, collision},
                                                           {{MetadataType::ProductBundle, "Alpha"}, collision}}));
}

TEST(Synthesize, ApiVersionGate) {
    const std::pair<std::string, bool> cases[] = {
        {"67.0", true},  {"67", true},   {"120.0", true}, {"+67.0", true},         {"4294967295.0", true},
        {"66.0", false}, {"", false},    {"v67.0", false}, {" 67.0", false},       {"-67.0", false},
        {"+", false},    {"67a", false}, {"++67", false}, {"4294967296.0", false}, {"٦٧.0", false}};
    for (const auto& [version, supported] : cases) {
        SCOPED_TRACE(version);
        EXPECT_EQ(api_version_is_supported(version), supported);
    }
}

TEST(Synthesize, MissingPricebookEntryInBothOrgsBlocksBundlesWithTheSourceNoteOnly) {
    FakeRecordChannels channels;
    describe_all(channels, {{"src", "PricebookEntry"}, {"tgt", "PricebookEntry"}});
    channels.answer_query("src", std::string(kExpressionSets), {});
    channels.answer_query("tgt", std::string(kExpressionSets), {});
    testing::TestToken token;
    ModelStepRecorder models;
    const auto outcome = synthesize(channels, input_for({"Kit"}, {"M"}), token, models.step());
    ASSERT_TRUE(outcome.has_value());
    const std::string reason = "The object PricebookEntry does not exist in Source org.";
    EXPECT_EQ(outcome->messages, std::vector<std::string>{"ProductBundle rows are blocked: " + reason});
    EXPECT_EQ(outcome->blocked_types, (std::map<MetadataType, std::string>{{MetadataType::ProductBundle, reason}}));
    auto expected = bundle_describes();
    for (const std::string call : {"src describe ExpressionSet", "tgt describe ExpressionSet",
                                   "src describe ExpressionSetConstraintObj", "tgt describe ExpressionSetConstraintObj"}) {
        expected.push_back(call);
    }
    expected.push_back("src query " + std::string(kExpressionSets));
    expected.push_back("tgt query " + std::string(kExpressionSets));
    EXPECT_EQ(call_texts(channels), expected);
    // Constraint models are still synthesized.
    EXPECT_EQ(models.seen.size(), 2U);
}

TEST(Synthesize, MissingObjectsOfBothKindsAreNotedPerOrg) {
    FakeRecordChannels channels;
    describe_all(channels, {{"tgt", "ProductClassification"}, {"src", "Product2"}, {"src", "ExpressionSet"},
                            {"tgt", "ExpressionSet"}});
    testing::TestToken token;
    ModelStepRecorder models;
    const auto outcome = synthesize(channels, input_for({"Kit"}, {"M"}), token, models.step());
    ASSERT_TRUE(outcome.has_value());
    EXPECT_EQ(outcome->messages,
              (std::vector<std::string>{"ProductBundle rows are blocked: The object Product2 does not exist in Source "
                                        "org.; The object ProductClassification does not exist in Target org.",
                                        "ConstraintModel rows are blocked: The object ExpressionSet does not exist in "
                                        "Source org.; The object ExpressionSet does not exist in Target org."}));
    // Both types blocked: only the describes were sent, and no side work follows.
    EXPECT_EQ(channels.calls().size(), 16U);
    EXPECT_TRUE(models.seen.empty());
    EXPECT_TRUE(outcome->source_documents.empty());
}

TEST(Synthesize, MissingConstraintObjectInTargetBlocksModelsAndBundlesNameNoModels) {
    FakeRecordChannels channels;
    describe_all(channels, {{"tgt", "ExpressionSetConstraintObj"}});
    for (const std::string org : {"src", "tgt"}) {
        channels.answer_query(org, std::string(kPlainClassifications), {});
        channels.answer_query_json(org, fill(kPlainBundles, "'Kit'"), R"([{"Id":"P1","Name":"Kit"}])");
        channels.answer_query(org, fill(kPlainGroups, "'P1'"), {});
        channels.answer_query(org, fill(kPlainComponents, "'P1'"), {});
        channels.answer_query(org, fill(kPlainOptions, "'P1'"), {});
        channels.answer_query(org, fill(kPlainEntries, "'P1'"), {});
    }
    testing::TestToken token;
    ModelStepRecorder models;
    const auto outcome = synthesize(channels, input_for({"Kit"}, {"M"}), token, models.step());
    ASSERT_TRUE(outcome.has_value());
    EXPECT_EQ(outcome->messages, std::vector<std::string>{"ConstraintModel rows are blocked: The object "
                                                          "ExpressionSetConstraintObj does not exist in Target org."});
    EXPECT_TRUE(models.seen.empty());
    for (const auto& call : channels.calls()) {
        EXPECT_EQ(call.detail.find("FROM ExpressionSet"), std::string::npos) << call.detail;
    }
    ASSERT_EQ(outcome->source_documents.size(), 1U);
    ASSERT_EQ(outcome->target_documents.size(), 1U);
    EXPECT_TRUE(tagging_model_names(outcome->source_documents.begin()->second).empty());
}

TEST(Synthesize, NoExpressionSetInTheSourceWithoutModelsIsAMessage) {
    FakeRecordChannels channels;
    describe_all(channels, {{"src", "ExpressionSet"}});
    channels.answer_query("src", std::string(kPlainClassifications), {});
    channels.answer_query("tgt", std::string(kPlainClassifications), {});
    channels.answer_query_json("tgt", std::string(kExpressionSets), R"([{"Id":"ES1","ApiName":"M1"}])");
    for (const std::string org : {"src", "tgt"}) channels.answer_query(org, fill(kPlainBundles, "'Kit'"), {});
    testing::TestToken token;
    ModelStepRecorder models;
    const auto outcome = synthesize(channels, input_for({"Kit"}), token, models.step());
    ASSERT_TRUE(outcome.has_value());
    EXPECT_EQ(outcome->messages, std::vector<std::string>{
                                     "<taggedBy> is empty: the object ExpressionSet does not exist in Source org."});
    auto expected = bundle_describes();
    for (const std::string& call : std::vector<std::string>{"src query " + std::string(kPlainClassifications), "src describe ExpressionSet",
                                   "src query " + fill(kPlainBundles, "'Kit'"),
                                   "tgt query " + std::string(kPlainClassifications), "tgt describe ExpressionSet",
                                   "tgt query " + std::string(kExpressionSets), "tgt query " + fill(kPlainBundles, "'Kit'")}) {
        expected.push_back(call);
    }
    EXPECT_EQ(call_texts(channels), expected);
    // The model step still runs for both sides; the source has no expression sets to give it.
    ASSERT_EQ(models.seen.size(), 2U);
    EXPECT_TRUE(models.seen[0].expression_sets.empty());
    EXPECT_EQ(models.seen[1].expression_sets, (std::map<std::string, std::string>{{"M1", "ES1"}}));
}

TEST(Synthesize, InvalidNamesAreReportedOnceAndNeverQueried) {
    FakeRecordChannels channels;
    describe_all(channels);
    for (const std::string org : {"src", "tgt"}) {
        channels.answer_query(org, std::string(kPlainClassifications), {});
        channels.answer_query(org, std::string(kExpressionSets), {});
        channels.answer_query(org, fill(kPlainBundles, "'Good'"), {});
    }
    testing::TestToken token;
    ModelStepRecorder models;
    const std::set<std::string> names{"a/b", "back\\slash", "dots..", " lead", "trail ", "ctrl\x01", "Good"};
    const auto outcome = synthesize(channels, input_for(names), token, models.step());
    ASSERT_TRUE(outcome.has_value());
    std::vector<std::string> expected;
    for (const auto& name : names) {
        if (name != "Good") expected.push_back(name + " is not a valid record row name and was skipped.");
    }
    EXPECT_EQ(outcome->messages, expected);
    for (const auto& call : channels.calls()) {
        for (const auto& name : names) {
            if (name != "Good") {
                EXPECT_EQ(call.detail.find(name), std::string::npos) << call.detail;
            }
        }
    }
}

// One org's bundle with the given groups and components, answered on both orgs.
void answer_bundle(FakeRecordChannels& channels, const std::string& org, std::string_view groups,
                   std::string_view components) {
    channels.answer_query(org, std::string(kPlainClassifications), {});
    channels.answer_query(org, std::string(kExpressionSets), {});
    channels.answer_query_json(org, fill(kPlainBundles, "'Kit'"), R"([{"Id":"P1","Name":"Kit"}])");
    channels.answer_query_json(org, fill(kPlainGroups, "'P1'"), groups);
    channels.answer_query_json(org, fill(kPlainComponents, "'P1'"), components);
    channels.answer_query(org, fill(kPlainOptions, "'P1'"), {});
    channels.answer_query(org, fill(kPlainEntries, "'P1'"), {});
}

TEST(Synthesize, SourceAmbiguitiesBlockTheRowButKeepTheDocument) {
    struct Case {
        std::string name;
        std::string groups;
        std::string components;
        std::string reason;
    };
    const Case cases[] = {
        {"groups", R"([{"Id":"G1","Name":"Main","ParentProductId":"P1"},{"Id":"G2","Name":" Main ","ParentProductId":"P1"}])",
         "[]", "Ambiguous product component group name: Main"},
        {"components", "[]",
         R"([{"Id":"R1","ParentProductId":"P1","ChildProduct":{"Name":"X"},"ProductComponentGroup":{"Name":"G"}},
             {"Id":"R2","ParentProductId":"P1","ChildProduct":{"Name":"X"},"ProductComponentGroup":{"Name":"G"}}])",
         "Ambiguous product related component: product X in group G"},
        {"groups before components",
         R"([{"Id":"G1","Name":"Main","ParentProductId":"P1"},{"Id":"G2","Name":"Main","ParentProductId":"P1"}])",
         R"([{"Id":"R1","ParentProductId":"P1","ChildProduct":{"Name":"X"}},
             {"Id":"R2","ParentProductId":"P1","ChildProduct":{"Name":"X"}}])",
         "Ambiguous product component group name: Main"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        FakeRecordChannels channels;
        describe_all(channels);
        answer_bundle(channels, "src", c.groups, c.components);
        answer_bundle(channels, "tgt", c.groups, c.components);
        testing::TestToken token;
        ModelStepRecorder models;
        const auto outcome = synthesize(channels, input_for({"Kit"}), token, models.step());
        ASSERT_TRUE(outcome.has_value());
        EXPECT_EQ(outcome->blocked_rows,
                  (std::map<domain::ComponentKey, std::string>{{{MetadataType::ProductBundle, "Kit"}, c.reason}}));
        EXPECT_TRUE(outcome->source_documents.contains("productBundles/Kit.productBundle-meta.xml"));
        EXPECT_TRUE(outcome->target_documents.contains("productBundles/Kit.productBundle-meta.xml"));
    }
}

TEST(Synthesize, AnAmbiguousNameInTheOrgIsAddedToTheCollisionReason) {
    FakeRecordChannels channels;
    describe_all(channels);
    const std::string names = "'ALPHA', 'Alpha'";
    for (const std::string org : {"src", "tgt"}) {
        channels.answer_query(org, std::string(kPlainClassifications), {});
        channels.answer_query(org, std::string(kExpressionSets), {});
        channels.answer_query_json(org, fill(kPlainBundles, names),
                                   R"([{"Id":"P1","Name":"Alpha"},{"Id":"P2","Name":"Alpha"}])");
        channels.answer_query(org, fill(kPlainGroups, "'P1'"), {});
        channels.answer_query(org, fill(kPlainComponents, "'P1'"), {});
        channels.answer_query(org, fill(kPlainOptions, "'P1'"), {});
        channels.answer_query(org, fill(kPlainEntries, "'P1'"), {});
    }
    testing::TestToken token;
    ModelStepRecorder models;
    const auto outcome = synthesize(channels, input_for({"ALPHA", "Alpha"}), token, models.step());
    ASSERT_TRUE(outcome.has_value());
    const std::string collision = "Ambiguous product bundle name: ALPHA, Alpha";
    EXPECT_EQ(outcome->blocked_rows,
              (std::map<domain::ComponentKey, std::string>{
                  {{MetadataType::ProductBundle, "ALPHA"}, collision},
                  {{MetadataType::ProductBundle, "Alpha"},
                   collision + "; Ambiguous product bundle name: Alpha (2 records in Source org)."
                               "; Ambiguous product bundle name: Alpha (2 records in Target org)."}}));
    EXPECT_EQ(outcome->source_documents.size(), 1U);
    EXPECT_EQ(outcome->target_documents.size(), 1U);
}

TEST(Synthesize, ABundleOnlyInTheSourceGivesOnlyASourceDocument) {
    FakeRecordChannels channels;
    describe_all(channels);
    const std::string names = "'Kit', 'Nowhere'";
    for (const std::string org : {"src", "tgt"}) {
        channels.answer_query(org, std::string(kPlainClassifications), {});
        channels.answer_query(org, std::string(kExpressionSets), {});
        channels.answer_query(org, fill(kPlainGroups, "'P1'"), {});
        channels.answer_query(org, fill(kPlainComponents, "'P1'"), {});
        channels.answer_query(org, fill(kPlainOptions, "'P1'"), {});
        channels.answer_query(org, fill(kPlainEntries, "'P1'"), {});
    }
    channels.answer_query_json("src", fill(kPlainBundles, names), R"([{"Id":"P1","Name":"Kit"}])");
    channels.answer_query("tgt", fill(kPlainBundles, names), {});
    testing::TestToken token;
    ModelStepRecorder models;
    const auto outcome = synthesize(channels, input_for({"Kit", "Nowhere"}), token, models.step());
    ASSERT_TRUE(outcome.has_value());
    EXPECT_EQ(outcome->source_documents.size(), 1U);
    EXPECT_TRUE(outcome->source_documents.contains("productBundles/Kit.productBundle-meta.xml"));
    EXPECT_TRUE(outcome->target_documents.empty());
    EXPECT_TRUE(outcome->messages.empty());
    EXPECT_TRUE(outcome->blocked_rows.empty());
}

TEST(AmbiguityIn, GroupsFirstThenComponentsRowsWithoutIdentityIgnored) {
    const auto rows = [](std::string_view text) {
        std::vector<json::Object> records;
        const auto parsed = json::parse(text);
        EXPECT_TRUE(parsed.has_value()) << text;
        if (!parsed) return records;
        for (const auto& element : parsed->as_array()) records.push_back(element.as_object());
        return records;
    };
    struct Case {
        std::string name;
        std::string groups;
        std::string components;
        std::optional<std::string> reason;
    };
    std::string many_groups = "[";
    for (int i = 0; i < 12; ++i) many_groups += fmt::format(R"({}{{"Name":"G{:02}"}},{{"Name":"G{:02}"}})", i ? "," : "", i, i);
    many_groups += "]";
    const Case cases[] = {
        {"nothing", "[]", "[]", std::nullopt},
        {"blank and non-text group names", R"([{"Name":" "},{"Name":" "},{"Name":5},{"Name":5},{}])", "[]", std::nullopt},
        {"twelve duplicated group names", many_groups, "[]",
         "Ambiguous product component group name: G00, G01, G02, G03, G04, G05, G06, G07, G08, G09 (and 2 more)"},
        {"same child in different groups", "[]",
         R"([{"ChildProduct":{"Name":"X"},"ProductComponentGroup":{"Name":"A"}},
             {"ChildProduct":{"Name":"X"},"ProductComponentGroup":{"Name":"B"}},{"ChildProduct":{"Name":"X"}}])",
         std::nullopt},
        {"classification children", "[]",
         R"([{"ChildProductClassification":{"Code":"K"}},{"ChildProductClassification":{"Code":" K "}},
             {"ChildProduct":null},{"ChildProduct":null}])",
         "Ambiguous product related component: classification K"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(ambiguity_in(rows(c.groups), rows(c.components)), c.reason);
    }
}

// ---------------------------------------------------------------------------------------------
// The model step, failures and cancellation
// ---------------------------------------------------------------------------------------------

TEST(Synthesize, TheModelStepGetsEachSideAndItsDocumentsAndMessagesArrive) {
    FakeRecordChannels channels;
    describe_all(channels);
    channels.answer_query_json("src", std::string(kExpressionSets),
                               R"([{"Id":"ES1","ApiName":"M1"},{"Id":"ES2","ApiName":"M1"},
                                   {"Id":"ES3","ApiName":"P","ExpressionSetDefinition":{"NamespacePrefix":"ns"}},
                                   {"Id":7,"ApiName":"Bad"},{"Id":"ES4","ApiName":" "},
                                   {"Id":"ES5","ApiName":"M2","ExpressionSetDefinition":{"NamespacePrefix":"  "}}])");
    channels.answer_query("tgt", std::string(kExpressionSets), {});
    testing::TestToken token;
    ModelStepRecorder models;
    models.write_documents = true;
    const auto outcome = synthesize(channels, input_for({}, {"M1", "M2"}), token, models.step());
    ASSERT_TRUE(outcome.has_value());
    EXPECT_EQ(models.seen, (std::vector<ModelStepRecorder::Seen>{
                               {"src", true, {"M1", "M2"}, {{"M1", "ES2"}, {"M2", "ES5"}}},
                               {"tgt", false, {"M1", "M2"}, {}}}));
    EXPECT_EQ(outcome->source_documents, (Documents{{"constraintModels/M1.constraintModel-meta.xml", "ES2"},
                                                    {"constraintModels/M2.constraintModel-meta.xml", "ES5"}}));
    EXPECT_TRUE(outcome->target_documents.empty());
    EXPECT_EQ(outcome->messages, std::vector<std::string>{"model step of Source org"});
    // Only models requested: no bundle object is described and no classification is read.
    EXPECT_EQ(call_texts(channels),
              (std::vector<std::string>{"src describe ExpressionSet", "tgt describe ExpressionSet",
                                        "src describe ExpressionSetConstraintObj",
                                        "tgt describe ExpressionSetConstraintObj",
                                        "src query " + std::string(kExpressionSets),
                                        "tgt query " + std::string(kExpressionSets)}));
}

TEST(Synthesize, AFailureAnywhereEndsTheCallWithoutAnOutcome) {
    const ChannelError errors[] = {ChannelError::failure("The org is unreachable."), ChannelError::failure(""),
                                   ChannelError::cancelled()};
    for (const auto& error : errors) {
        // Each position of the golden run's requests, and the model step of each side.
        const std::size_t positions[] = {0, 5, 12, 13, 16, 20, 25};
        for (const std::size_t position : positions) {
            SCOPED_TRACE(fmt::format("{} at {}", error.message.value_or("cancelled"), position));
            FakeRecordChannels channels;
            load_org(channels, "source.json", false);
            load_org(channels, "target.json", false);
            channels.fail_call(position, error);
            testing::TestToken token;
            ModelStepRecorder models;
            const auto outcome = synthesize(channels, input_for({"Dock Bundle", "Laptop Kit"}), token, models.step());
            ASSERT_FALSE(outcome.has_value());
            EXPECT_EQ(outcome.error(), error);
            EXPECT_EQ(channels.calls().size(), position + 1);
        }
        SCOPED_TRACE("model step");
        FakeRecordChannels channels;
        load_org(channels, "source.json", false);
        load_org(channels, "target.json", false);
        testing::TestToken token;
        ModelStepRecorder models;
        models.fail = error;
        const auto outcome = synthesize(channels, input_for({"Dock Bundle", "Laptop Kit"}), token, models.step());
        ASSERT_FALSE(outcome.has_value());
        EXPECT_EQ(outcome.error(), error);
        EXPECT_EQ(models.seen.size(), 1U);
    }
}

TEST(Synthesize, ACancelledTokenFailsTheFirstRequest) {
    FakeRecordChannels channels;
    describe_all(channels);
    testing::TestToken token;
    token.cancel();
    ModelStepRecorder models;
    const auto outcome = synthesize(channels, input_for({"Kit"}, {"M"}), token, models.step());
    ASSERT_FALSE(outcome.has_value());
    EXPECT_TRUE(outcome.error().is_cancelled());
    EXPECT_EQ(channels.calls().size(), 1U);
}

// ---------------------------------------------------------------------------------------------
// Names read back from written documents
// ---------------------------------------------------------------------------------------------

TEST(NamesReadBack, TaggingModelNamesOfAWrittenBundleDocument) {
    document::BundleDocument bundle;
    bundle.product["Name"] = "Kit";
    bundle.tagged_by = {"A&B", "Plain", "say \"q\"", "x<y>z", "&amp;lt;", "it's", "Ünï"};
    const std::string text = document::write_bundle_document(bundle);
    EXPECT_EQ(tagging_model_names(text), std::set<std::string>(bundle.tagged_by.begin(), bundle.tagged_by.end()));
}

TEST(NamesReadBack, VersionNamesOfAWrittenModelDocument) {
    document::ModelDocument model;
    model.versions = {{"V1 & <2>", "Active", "", ""}, {"say \"q\"", "Draft", "", ""}, {"&quot;", "Draft", "", ""},
                      {"V1 & <2>", "Draft", "", ""}, {"it's", "Draft", "", ""}};
    const std::string text = document::render_model_document(model);
    EXPECT_EQ(version_names_in(text), (std::set<std::string>{"V1 & <2>", "say \"q\"", "&quot;", "it's"}));
}

TEST(NamesReadBack, EdgeCasesOfTheTextReading) {
    EXPECT_TRUE(version_names_in("<ConstraintModel/>").empty());
    EXPECT_EQ(version_names_in(R"(<version name="A"/><version name="A"/><version name=""/>)"),
              std::set<std::string>{"A"});
    EXPECT_EQ(tagging_model_names("<model>A &amp; B</model><model></model><model>Tail"),
              (std::set<std::string>{"A & B", "Tail"}));
    // Decoding is one pass: an escaped ampersand before "lt;" stays the reference's text.
    EXPECT_EQ(tagging_model_names("<model>&amp;lt;</model>"), std::set<std::string>{"&lt;"});
}

}  // namespace
}  // namespace ambrel::data::bundles::synthesis
