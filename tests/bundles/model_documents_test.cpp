#include <gtest/gtest.h>

#include <fmt/format.h>

#include "data/bundles/document/model_document.hpp"
#include "data/bundles/synthesis/model_documents.hpp"
#include "data/bundles/synthesis/synthesize.hpp"
#include "support/doubles.hpp"
#include "support/fake_record_channels.hpp"
#include "support/test_paths.hpp"

namespace ambrel::data::bundles::synthesis {
namespace {

using testing::FakeRecordChannels;
using testing::json_object;

using Call = FakeRecordChannels::Call;

std::string versions_query(std::string_view model) {
    return fmt::format(
        "SELECT Id, DeveloperName, Status, VersionNumber, ExpressionSetDefinition.DeveloperName FROM "
        "ExpressionSetDefinitionVersion WHERE ExpressionSetDefinition.DeveloperName = '{}' ORDER BY VersionNumber",
        model);
}

std::string tags_query(std::string_view expression_set) {
    return fmt::format(
        "SELECT Id, ConstraintModelTag, ConstraintModelTagType, ReferenceObjectId, ExpressionSetId FROM "
        "ExpressionSetConstraintObj WHERE ExpressionSetId = '{}'",
        expression_set);
}

std::vector<std::string> addressee_queries(std::string_view list) {
    return {
        fmt::format("SELECT Id, Name, Type FROM Product2 WHERE Id IN ({})", list),
        fmt::format("SELECT Id, Code FROM ProductClassification WHERE Id IN ({})", list),
        fmt::format("SELECT Id, Name, ParentProduct.Name FROM ProductComponentGroup WHERE Id IN ({})", list),
        fmt::format("SELECT Id, ParentProduct.Name, ProductComponentGroup.Name, ChildProduct.Name, "
                    "ChildProductClassification.Code FROM ProductRelatedComponent WHERE Id IN ({})",
                    list),
    };
}

const std::string kSourceIds = "'01tBUNDLE', '01tGHOST', '01tLAPTOP', '0PGACC', '0PRHW', '0PRMOUSE', '11BHW'";

const std::map<std::string, std::string> kDefinitions{{"Alpha", "<ExpressionSetDefinition>alpha</ExpressionSetDefinition>"}};
const std::map<std::string, std::string> kVersionDocuments{{"Alpha_V2", "<ExpressionSetDefinitionVersion/>"}};
const std::map<std::string, std::string> kNoDocuments;

// The source org of the golden pair: two models, tags on every kind of record.
void script_source(FakeRecordChannels& channels, bool reversed_tags = false) {
    channels.answer_query_file("src", versions_query("Alpha"), "model_orgs/source_alpha_versions.json");
    channels.answer_query_file("src", versions_query("Beta"), "model_orgs/source_beta_versions.json");
    channels.answer_cml("src", "0VsA1", "constraint Alpha_V1 { a ]]> b }\n");
    channels.answer_cml("src", "0VsA2", "type Laptop; // \u00fcber <&>\n");
    channels.answer_query_file("src", tags_query("0ESA"),
                               reversed_tags ? "model_orgs/source_alpha_tags_reversed.json"
                                             : "model_orgs/source_alpha_tags.json");
    channels.answer_query_file("src", tags_query("0ESB"), "model_orgs/source_beta_tags.json");
    const auto queries = addressee_queries(kSourceIds);
    channels.answer_query_file("src", queries[0], "model_orgs/source_products.json");
    channels.answer_query_file("src", queries[1], "model_orgs/source_classifications.json");
    channels.answer_query_file("src", queries[2], "model_orgs/source_groups.json");
    channels.answer_query_file("src", queries[3], "model_orgs/source_components.json");
}

const std::map<std::string, std::string> kSourceSets{{"Alpha", "0ESA"}, {"Beta", "0ESB"}};

ModelDocumentsOutcome read_source(FakeRecordChannels& channels, const std::set<std::string>& names) {
    testing::TestToken token;
    const ModelSide side{"src", "Source", kDefinitions, kVersionDocuments, true};
    auto outcome = read_model_documents(channels, side, names, kSourceSets, token);
    EXPECT_TRUE(outcome.has_value());
    return outcome.value_or(ModelDocumentsOutcome{});
}

std::string golden(const std::string& name) {
    return testing::read_file(testing::tests_dir() / "fixtures" / "model_orgs" / name);
}

TEST(ModelDocuments, GoldenSourceDocumentsByteForByte) {
    FakeRecordChannels channels;
    script_source(channels);
    const auto outcome = read_source(channels, {"Alpha", "Beta", "Packaged"});
    EXPECT_TRUE(outcome.messages.empty());
    EXPECT_TRUE(outcome.blocked_rows.empty());
    ASSERT_EQ(outcome.documents.size(), 2U);
    EXPECT_EQ(outcome.documents.at("constraintModels/Alpha.constraintModel-meta.xml"),
              golden("Alpha.constraintModel-meta.xml"));
    EXPECT_EQ(outcome.documents.at("constraintModels/Beta.constraintModel-meta.xml"),
              golden("Beta.constraintModel-meta.xml"));

    // Every request, in order: the packaged model (no expression set here) sends nothing.
    std::vector<Call> expected{
        {"query", "src", versions_query("Alpha"), {}},
        {"read_cml", "src", "0VsA1", {}},
        {"read_cml", "src", "0VsA2", {}},
        {"query", "src", tags_query("0ESA"), {}},
        {"query", "src", versions_query("Beta"), {}},
        {"query", "src", tags_query("0ESB"), {}},
    };
    for (const auto& query : addressee_queries(kSourceIds)) expected.push_back({"query", "src", query, {}});
    EXPECT_EQ(channels.calls(), expected);
}

// The synthesis's own constraint-model step adds what the side read gives: documents into the side's,
// and a blocked row replaces the reason an earlier step gave the same row.
TEST(ModelDocuments, StandardSynthesisStepJoinsTheSideOutcome) {
    FakeRecordChannels channels;
    script_source(channels);
    const ModelDocumentsOutcome direct = read_source(channels, {"Alpha", "Beta"});

    FakeRecordChannels again;
    script_source(again);
    testing::TestToken token;
    SynthesisSide side{"src", "Source", kDefinitions, kVersionDocuments};
    const std::set<std::string> names{"Alpha", "Beta", "a/b"};
    SynthesisOutcome outcome;
    outcome.blocked_rows[{metadata_types::MetadataType::ConstraintModel, "a/b"}] = "earlier";
    std::map<std::string, std::string> documents{{"productBundles/Kit.productBundle-meta.xml", "kit"}};
    ModelSideStep step{again, side, true, names, kSourceSets, token, outcome, documents};
    ASSERT_TRUE(standard_model_documents_step(step).has_value());

    std::map<std::string, std::string> expected = direct.documents;
    expected.emplace("productBundles/Kit.productBundle-meta.xml", "kit");
    EXPECT_EQ(documents, expected);
    EXPECT_EQ(outcome.messages, std::vector<std::string>{"a/b is not a valid record row name and was skipped."});
    EXPECT_EQ(outcome.blocked_rows.at({metadata_types::MetadataType::ConstraintModel, "a/b"}), "earlier");
    EXPECT_TRUE(outcome.source_documents.empty());
}

TEST(ModelDocuments, GoldenDocumentsReadBackAndIgnoreRowOrder) {
    FakeRecordChannels channels;
    script_source(channels);
    const auto outcome = read_source(channels, {"Alpha"});
    FakeRecordChannels reversed;
    script_source(reversed, true);
    const auto again = read_source(reversed, {"Alpha"});
    EXPECT_EQ(outcome.documents, again.documents);

    const auto parsed = document::parse_model_document(outcome.documents.at(
        "constraintModels/Alpha.constraintModel-meta.xml"));
    ASSERT_TRUE(parsed.has_value()) << parsed.error().message();
    ASSERT_EQ(parsed->versions.size(), 2U);
    EXPECT_EQ(parsed->versions[0], (document::ModelVersion{"Alpha_V1", "Draft", "", "constraint Alpha_V1 { a ]]> b }\n"}));
    EXPECT_EQ(parsed->versions[1], (document::ModelVersion{"Alpha_V2", "Active", "<ExpressionSetDefinitionVersion/>",
                                                           "type Laptop; // \u00fcber <&>\n"}));
    EXPECT_EQ(parsed->definition, "<ExpressionSetDefinition>alpha</ExpressionSetDefinition>");
    // Nine rows, one a repeat of another: eight tags.
    EXPECT_EQ(parsed->tags.size(), 8U);
}

TEST(ModelDocuments, TheOtherOrgWithOtherIdsWritesTheSameDocument) {
    // The target holds Beta's records under other Ids and returns the rows in another order.
    FakeRecordChannels channels;
    channels.answer_query_json("tgt", versions_query("Beta"),
                               R"([{"DeveloperName":"Beta_V1","Status":null},{"DeveloperName":["x"]}])");
    channels.answer_query_json("tgt", tags_query("9ESB"),
                               R"([{"Id":"9x2","ConstraintModelTag":false,"ReferenceObjectId":{}},
                                   {"Id":"9x1","ConstraintModelTag":"Laptop","ConstraintModelTagType":"Product",
                                    "ReferenceObjectId":"01tOTHER"}])");
    const auto queries = addressee_queries("'01tOTHER'");
    channels.answer_query_json("tgt", queries[0], R"([{"Id":"01tOTHER","Name":"Laptop & Co \"Pro\"","Type":"Simple"}])");
    for (std::size_t i = 1; i < 4; ++i) channels.answer_query_json("tgt", queries[i], "[]");
    testing::TestToken token;
    const ModelSide side{"tgt", "Target", kNoDocuments, kNoDocuments, false};
    const auto outcome = read_model_documents(channels, side, {"Beta"}, {{"Beta", "9ESB"}}, token);
    ASSERT_TRUE(outcome.has_value());
    EXPECT_EQ(outcome->documents.at("constraintModels/Beta.constraintModel-meta.xml"),
              golden("Beta.constraintModel-meta.xml"));
}

TEST(ModelDocuments, InvalidNamesAreReportedOnTheSourceSideOnly) {
    for (const bool is_source : {true, false}) {
        SCOPED_TRACE(is_source);
        FakeRecordChannels channels;
        testing::TestToken token;
        const ModelSide side{"org", "Org", kNoDocuments, kNoDocuments, is_source};
        const std::map<std::string, std::string> sets{{"a/b", "0ES1"}, {" x", "0ES2"}, {"..", "0ES3"}};
        const auto outcome = read_model_documents(channels, side, {"a/b", " x", ".."}, sets, token);
        ASSERT_TRUE(outcome.has_value());
        EXPECT_TRUE(channels.calls().empty());
        if (is_source) {
            EXPECT_EQ(outcome->messages, (std::vector<std::string>{
                                             " x is not a valid record row name and was skipped.",
                                             ".. is not a valid record row name and was skipped.",
                                             "a/b is not a valid record row name and was skipped."}));
        } else {
            EXPECT_TRUE(outcome->messages.empty());
        }
    }
}

TEST(ModelDocuments, CmlAnsweredAsObjectBlocksOnlyThatModel) {
    FakeRecordChannels channels;
    channels.answer_query_json("tgt", versions_query("A"),
                               R"([{"Id":"v1","DeveloperName":"A_V1"},{"Id":"v2","DeveloperName":"A_V2"},
                                   {"Id":"v3","DeveloperName":"A_V3"}])");
    channels.answer_cml("tgt", "v1", "ok");
    channels.answer_cml("tgt", "v2", std::nullopt);
    channels.answer_query_json("tgt", versions_query("B"), "[]");
    channels.answer_query_json("tgt", tags_query("0ESB"), "[]");
    testing::TestToken token;
    const ModelSide side{"tgt", "Target", kNoDocuments, kNoDocuments, false};
    const auto outcome =
        read_model_documents(channels, side, {"A", "B"}, {{"A", "0ESA"}, {"B", "0ESB"}}, token);
    ASSERT_TRUE(outcome.has_value());
    EXPECT_EQ(outcome->blocked_rows,
              (std::map<domain::ComponentKey, std::string>{
                  {{metadata_types::MetadataType::ConstraintModel, "A"},
                   "The constraint model language of version A_V2 of A in Target came back as an object instead of "
                   "text."}}));
    ASSERT_EQ(outcome->documents.size(), 1U);
    // A model without versions still gets its document.
    const auto b = document::parse_model_document(outcome->documents.at("constraintModels/B.constraintModel-meta.xml"));
    ASSERT_TRUE(b.has_value());
    EXPECT_TRUE(b->versions.empty());
    EXPECT_EQ(channels.calls(), (std::vector<Call>{{"query", "tgt", versions_query("A"), {}},
                                                   {"read_cml", "tgt", "v1", {}},
                                                   {"read_cml", "tgt", "v2", {}},
                                                   {"query", "tgt", versions_query("B"), {}},
                                                   {"query", "tgt", tags_query("0ESB"), {}}}));
}

TEST(ModelDocuments, NamesAreQuotedInQueries) {
    FakeRecordChannels channels;
    const std::string name = "O'Hara \"q\" % \u00e9t\u00e9";
    channels.answer_query_json("o", versions_query("O\\'Hara \"q\" % \u00e9t\u00e9"), "[]");
    channels.answer_query_json("o", tags_query("0E\\\\\\'S"), "[]");
    testing::TestToken token;
    const ModelSide side{"o", "O", kNoDocuments, kNoDocuments, true};
    const auto outcome = read_model_documents(channels, side, {name}, {{name, "0E\\'S"}}, token);
    ASSERT_TRUE(outcome.has_value());
    EXPECT_EQ(outcome->documents.size(), 1U);
    EXPECT_EQ(channels.calls().size(), 2U);
}

TEST(ModelDocuments, EveryFailedRequestEndsTheStep) {
    // Requests of a one-model read: versions, one CML read, tags, four addressee queries.
    for (std::size_t position = 0; position < 7; ++position) {
        for (const bool cancelled : {false, true}) {
            SCOPED_TRACE(fmt::format("{} {}", position, cancelled));
            FakeRecordChannels channels;
            channels.answer_query_json("o", versions_query("M"), R"([{"Id":"v1","DeveloperName":"M_V1"}])");
            channels.answer_cml("o", "v1", "cml");
            channels.answer_query_json("o", tags_query("0ES"), R"([{"ReferenceObjectId":"01t1"}])");
            for (const auto& query : addressee_queries("'01t1'")) channels.answer_query_json("o", query, "[]");
            const auto error = cancelled ? ChannelError::cancelled() : ChannelError::failure("boom");
            channels.fail_call(position, error);
            testing::TestToken token;
            const ModelSide side{"o", "O", kNoDocuments, kNoDocuments, true};
            const auto outcome = read_model_documents(channels, side, {"M"}, {{"M", "0ES"}}, token);
            ASSERT_FALSE(outcome.has_value());
            EXPECT_EQ(outcome.error(), error);
            EXPECT_EQ(channels.calls().size(), position + 1);
        }
    }
}

TEST(ModelDocuments, ReferencedIdsAreReadInChunksOf200) {
    FakeRecordChannels channels;
    std::string rows = "[";
    std::vector<std::string> ids;
    for (int i = 0; i < 450; ++i) {
        ids.push_back(fmt::format("01t{:04}", i));
        rows += fmt::format("{}{{\"ReferenceObjectId\":\"{}\",\"ConstraintModelTag\":\"t\","
                            "\"ConstraintModelTagType\":\"Product\"}}",
                            i == 0 ? "" : ",", ids.back());
    }
    rows += "]";
    // Half the Ids are tagged by a second model: each Id is still read once.
    std::string second = "[";
    for (int i = 0; i < 450; i += 2) {
        second += fmt::format("{}{{\"ReferenceObjectId\":\"{}\"}}", i == 0 ? "" : ",", ids[static_cast<std::size_t>(i)]);
    }
    second += "]";
    channels.answer_query_json("o", versions_query("M"), "[]");
    channels.answer_query_json("o", versions_query("N"), "[]");
    channels.answer_query_json("o", tags_query("0ES1"), rows);
    channels.answer_query_json("o", tags_query("0ES2"), second);
    std::vector<std::string> chunks;
    for (std::size_t start = 0; start < ids.size(); start += 200) {
        std::string list;
        for (std::size_t i = start; i < std::min(ids.size(), start + 200); ++i) {
            list += fmt::format("{}'{}'", i == start ? "" : ", ", ids[i]);
        }
        chunks.push_back(list);
        for (const auto& query : addressee_queries(list)) channels.answer_query_json("o", query, "[]");
    }
    // The record named by the last chunk's product query.
    channels.answer_query_json("o", addressee_queries(chunks[2])[0],
                               R"([{"Id":"01t0449","Name":"Last","Type":"Bundle"}])");
    testing::TestToken token;
    const ModelSide side{"o", "O", kNoDocuments, kNoDocuments, true};
    const auto outcome = read_model_documents(channels, side, {"M", "N"}, {{"M", "0ES1"}, {"N", "0ES2"}}, token);
    ASSERT_TRUE(outcome.has_value());
    const auto queries = channels.calls_of("query");
    ASSERT_EQ(queries.size(), 4U + 12U);
    for (std::size_t chunk = 0; chunk < 3; ++chunk) {
        const auto expected = addressee_queries(chunks[chunk]);
        for (std::size_t i = 0; i < 4; ++i) EXPECT_EQ(queries[4 + chunk * 4 + i].detail, expected[i]);
    }
    const auto m = document::parse_model_document(outcome->documents.at("constraintModels/M.constraintModel-meta.xml"));
    ASSERT_TRUE(m.has_value());
    const auto last = std::find_if(m->tags.begin(), m->tags.end(), [](const auto& tag) { return !tag.unresolved; });
    ASSERT_NE(last, m->tags.end());
    EXPECT_EQ(last->attributes, (std::vector<std::pair<std::string, std::string>>{{"productBundle", "Last"}}));
}

struct RenderCase {
    std::string name;
    std::string row;
    document::ModelTag expected;
};

TEST(RenderTag, Cases) {
    const AddresseeAttributes addressees{
        {"01tA", {{"product", "A"}}},
        {"0PRE", {}},
    };
    const std::vector<RenderCase> cases{
        {"named", R"({"ConstraintModelTag":" t ","ConstraintModelTagType":"Product","ReferenceObjectId":" 01tA "})",
         {"Product", "t", {{"product", "A"}}, std::nullopt}},
        {"not found", R"({"ConstraintModelTag":"t","ConstraintModelTagType":"Product","ReferenceObjectId":"01tZ"})",
         {"Product", "t", {}, "01tZ"}},
        {"entry without pairs", R"({"ConstraintModelTag":"t","ConstraintModelTagType":"Component","ReferenceObjectId":"0PRE"})",
         {"Component", "t", {}, "0PRE"}},
        {"no reference", R"({"ConstraintModelTag":"t","ConstraintModelTagType":"Product","ReferenceObjectId":null})",
         {"Product", "t", {}, std::nullopt}},
        {"wrong types", R"({"ConstraintModelTag":1,"ConstraintModelTagType":["x"],"ReferenceObjectId":{"a":1}})",
         {"", "", {}, std::nullopt}},
        {"blank", R"({"ConstraintModelTag":"  ","ConstraintModelTagType":"","ReferenceObjectId":"  "})",
         {"", "", {}, std::nullopt}},
    };
    for (const auto& test : cases) {
        SCOPED_TRACE(test.name);
        EXPECT_EQ(render_tag(json_object(test.row), addressees), test.expected);
    }
}

}  // namespace
}  // namespace ambrel::data::bundles::synthesis
