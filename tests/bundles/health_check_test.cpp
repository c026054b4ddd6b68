#include <gtest/gtest.h>

#include <fmt/format.h>

#include "data/bundles/document/bundle_document.hpp"
#include "data/bundles/transfer/health_check.hpp"
#include "support/doubles.hpp"
#include "support/fake_record_channels.hpp"

namespace ambrel::data::bundles::transfer {
namespace {

using document::BundleDocument;
using synthesis::ChannelError;
using testing::FakeRecordChannels;
using testing::make_schema;

// One bundle B: root product B, child product P as a component of type Bundle, and a standard price
// book entry for B; three layers.
BundleDocument bundle_b() {
    BundleDocument doc;
    doc.product = {{"Description", "root"}};
    doc.child_products.push_back({"P", std::nullopt, {{"Description", "child"}}, false});
    doc.components.push_back({{identity::ComponentChildKind::Product, "P", std::nullopt},
                              "Bundle",
                              std::nullopt,
                              std::nullopt,
                              {{"Quantity", "1"}}});
    doc.price_book_entries.push_back(
        {{"B", "Standard Price Book", std::nullopt, std::nullopt}, {{"UnitPrice", "10"}}, true});
    return doc;
}

const std::string kSourceProducts = "SELECT Id, Description, Name FROM Product2 WHERE Name IN ('B', 'P')";
const std::string kTargetProducts = kSourceProducts;
const std::string kSourceComponents =
    "SELECT Id, Quantity, ParentProduct.Name, ChildProduct.Name, ChildProductClassification.Code, "
    "ProductComponentGroup.Name FROM ProductRelatedComponent WHERE ParentProduct.Name IN ('B')";
const std::string kTargetComponents =
    "SELECT Id, Quantity, ParentProduct.Name, ChildProduct.Name, ChildProductClassification.Code, "
    "ProductComponentGroup.Name, ChildProductId, ParentProductId, ProductRelationshipTypeId, ChildProduct.Id, "
    "ParentProduct.Id, ProductRelationshipType.Id FROM ProductRelatedComponent WHERE ParentProduct.Name IN ('B')";
const std::string kSourceEntries =
    "SELECT Id, UnitPrice, Product2.Name, Pricebook2.Name, ProductSellingModel.Name, CurrencyIsoCode FROM "
    "PricebookEntry WHERE Product2.Name IN ('B')";
const std::string kTargetEntries =
    "SELECT Id, UnitPrice, Product2.Name, Pricebook2.Name, ProductSellingModel.Name, CurrencyIsoCode, Pricebook2Id, "
    "Product2Id, Pricebook2.Id, Product2.Id FROM PricebookEntry WHERE Product2.Name IN ('B')";

struct World {
    FakeRecordChannels channels;
    app::ports::RecordDeployRequest request{"src", "tgt", "Source", "Target", {}, "62.0"};
    std::vector<HealthStep> steps;

    World() {
        for (const auto& org : {"src", "tgt"}) {
            channels.add_describe(org, make_schema("ProductClassification", {"Code", "Name"}));
            channels.add_describe(org, make_schema("Product2", {"Name", "Description"}, {{"BasedOnId", "BasedOn"}}));
            channels.add_describe(
                org, make_schema("ProductComponentGroup", {"Name"},
                                 {{"ParentProductId", "ParentProduct"}, {"ParentGroupId", "ParentGroup"}}));
            channels.add_describe(org, make_schema("ProductRelatedComponent", {"Quantity"},
                                                   {{"ParentProductId", "ParentProduct"},
                                                    {"ChildProductId", "ChildProduct"},
                                                    {"ChildProductClassificationId", "ChildProductClassification"},
                                                    {"ProductComponentGroupId", "ProductComponentGroup"},
                                                    {"ProductRelationshipTypeId", "ProductRelationshipType"},
                                                    {"ParentSellingModelId", "ParentSellingModel"},
                                                    {"ChildSellingModelId", "ChildSellingModel"}}));
            channels.add_describe(
                org, make_schema("ProductSellingModelOption", {},
                                 {{"Product2Id", "Product2"}, {"ProductSellingModelId", "ProductSellingModel"}}));
            channels.add_describe(org, make_schema("PricebookEntry", {"UnitPrice", "CurrencyIsoCode"},
                                                   {{"Product2Id", "Product2"},
                                                    {"Pricebook2Id", "Pricebook2"},
                                                    {"ProductSellingModelId", "ProductSellingModel"}}));
        }
        request.documents["B"] = document::write_bundle_document(bundle_b());
        catalogs(R"([{"Id":"RT1","Name":"Bundle"}])", R"([{"Id":"SM1","Name":"Monthly"}])",
                 R"([{"Id":"PB1","Name":"Standard Price Book","IsStandard":true}])");
    }

    void catalogs(std::string_view types, std::string_view models, std::string_view books) {
        channels.answer_query_json("tgt", "SELECT Id, Name FROM ProductRelationshipType", types);
        channels.answer_query_json("tgt", "SELECT Id, Name FROM ProductSellingModel", models);
        channels.answer_query_json("tgt", "SELECT Id, Name, IsStandard FROM Pricebook2", books);
    }

    synthesis::ChannelResult<HealthReport> run(const domain::CancellationToken& token) {
        return plan_health(
            channels, request, [this](const HealthStep& step) { steps.push_back(step); }, token);
    }
};

const std::string kSourceRows[] = {
    R"([{"attributes":{"type":"Product2"},"Id":"sB","Name":"B","Description":"root"},
        {"attributes":{"type":"Product2"},"Id":"sP","Name":"P","Description":"child"}])",
    R"([{"Id":"sC","Quantity":1,"ParentProduct":{"Name":"B"},"ChildProduct":{"Name":"P"},
         "ChildProductClassification":null,"ProductComponentGroup":null}])",
    R"([{"Id":"sE","UnitPrice":10,"Product2":{"Name":"B"},"Pricebook2":{"Name":"Standard Price Book"},
         "ProductSellingModel":null,"CurrencyIsoCode":null}])",
};
const std::string kHealthyProducts = R"([{"Id":"tB","Name":"B","Description":"root"},
                                          {"Id":"tP","Name":"P","Description":"child"}])";
// The component's relationship type points at a record the target does not return.
std::string component_row(std::string_view id, std::string_view relationship_type_id, bool dangling) {
    return fmt::format(R"({{"Id":"{}","Quantity":1,"ParentProduct":{{"Name":"B","Id":"tB"}},
                            "ChildProduct":{{"Name":"P","Id":"tP"}},"ParentProductId":"tB","ChildProductId":"tP",
                            "ProductRelationshipTypeId":"{}","ProductRelationshipType":{}}})",
                       id, relationship_type_id,
                       dangling ? "null" : fmt::format(R"({{"Id":"{}"}})", relationship_type_id));
}
const std::string kHealthyComponents = "[" + component_row("tC", "RT1", false) + "]";
const std::string kHealthyEntries =
    R"([{"Id":"tE","UnitPrice":10,"Product2":{"Name":"B","Id":"tB"},
         "Pricebook2":{"Name":"Standard Price Book","Id":"PB1"},
         "Product2Id":"tB","Pricebook2Id":"PB1"}])";

std::string tag_query(std::string_view list) {
    return fmt::format(
        "SELECT ReferenceObjectId, COUNT(Id) tagCount FROM ExpressionSetConstraintObj WHERE ReferenceObjectId IN "
        "({}) GROUP BY ReferenceObjectId",
        list);
}

struct Target {
    std::string products = kHealthyProducts;
    std::string components = kHealthyComponents;
    std::string entries = kHealthyEntries;
};

void answer_sides(World& world, const Target& target, std::string_view source_products = kSourceRows[0]) {
    world.channels.answer_query_json("src", kSourceProducts, source_products);
    world.channels.answer_query_json("src", kSourceComponents, kSourceRows[1]);
    world.channels.answer_query_json("src", kSourceEntries, kSourceRows[2]);
    world.channels.answer_query_json("tgt", kTargetProducts, target.products);
    world.channels.answer_query_json("tgt", kTargetComponents, target.components);
    world.channels.answer_query_json("tgt", kTargetEntries, target.entries);
}

// The target no longer lets the relationship type of a component be changed.
void relationship_type_read_only(World& world) {
    world.channels.add_describe("tgt", make_schema("ProductRelatedComponent", {"Quantity"},
                                                   {{"ParentProductId", "ParentProduct"},
                                                    {"ChildProductId", "ChildProduct"},
                                                    {"ChildProductClassificationId", "ChildProductClassification"},
                                                    {"ProductComponentGroupId", "ProductComponentGroup"},
                                                    {"ProductRelationshipTypeId", "ProductRelationshipType"},
                                                    {"ParentSellingModelId", "ParentSellingModel"},
                                                    {"ChildSellingModelId", "ChildSellingModel"}},
                                                   {"ProductRelationshipTypeId"}));
}

const std::string kDanglingTypeProblem =
    "the target's copy points at a record the target does not have in ProductRelationshipTypeId, and this update "
    "would not replace it; the target refuses every save of such a record";
const std::string kDeleteAdvice =
    "Delete it in the target; the deploy then creates it anew from the source, under a new Id.";

TEST(PlanHealth, HealthyTargetReadsWhatTheTransferReadsAndFindsNothing) {
    World world;
    answer_sides(world, Target{});
    testing::TestToken token;
    const auto report = world.run(token);
    ASSERT_TRUE(report.has_value());
    EXPECT_EQ(*report, HealthReport{});

    std::vector<std::string> sent;
    for (const auto& call : world.channels.calls()) {
        sent.push_back(call.operation + " " + call.org + " " + call.detail);
    }
    std::vector<std::string> expected;
    for (const auto* object : {"ProductClassification", "Product2", "ProductComponentGroup", "ProductRelatedComponent",
                               "ProductSellingModelOption", "PricebookEntry"}) {
        expected.push_back(fmt::format("describe tgt {}", object));
        expected.push_back(fmt::format("describe src {}", object));
    }
    for (const auto& line : {"query tgt SELECT Id, Name FROM ProductRelationshipType",
                             "query tgt SELECT Id, Name FROM ProductSellingModel",
                             "query tgt SELECT Id, Name, IsStandard FROM Pricebook2"}) {
        expected.emplace_back(line);
    }
    for (const auto& soql : {kSourceProducts, kSourceComponents, kSourceEntries}) {
        expected.push_back("query src " + soql);
    }
    for (const auto& soql : {kTargetProducts, kTargetComponents, kTargetEntries}) {
        expected.push_back("query tgt " + soql);
    }
    // Nothing to delete: no tag count is queried, and nothing is written.
    EXPECT_EQ(sent, expected);

    std::vector<std::string> labels;
    for (const auto& step : world.steps) {
        EXPECT_EQ(step.total, 25U);
        EXPECT_EQ(step.step, labels.size() + 1);
        labels.push_back(step.label);
    }
    ASSERT_EQ(labels.size(), 25U);
    EXPECT_EQ(labels[0], "the ProductClassification schema of Target");
    EXPECT_EQ(labels[11], "the PricebookEntry schema of Source");
    EXPECT_EQ(
        std::vector<std::string>(labels.begin() + 12, labels.end()),
        (std::vector<std::string>{"ProductRelationshipType records of Target", "ProductSellingModel records of Target",
                                  "Pricebook2 records of Target", "Product2 records of Source",
                                  "ProductRelatedComponent records of Source", "PricebookEntry records of Source",
                                  "Product2 records of Target", "ProductRelatedComponent records of Target",
                                  "PricebookEntry records of Target", "Product2 records of Target by key",
                                  "ProductRelatedComponent records of Target by key",
                                  "PricebookEntry records of Target by key", "constraint model tags of Target"}));
}

TEST(PlanHealth, NoPlannedRecordMeansNoReadAndNoProgress) {
    const std::vector<std::map<std::string, std::string>> cases = {{}, {{"Bad", "<not a bundle"}}};
    for (const auto& documents : cases) {
        SCOPED_TRACE(documents.size());
        World world;
        world.request.documents = documents;
        testing::TestToken token;
        const auto report = world.run(token);
        ASSERT_TRUE(report.has_value());
        EXPECT_EQ(*report, HealthReport{});
        EXPECT_TRUE(world.channels.calls().empty());
        EXPECT_TRUE(world.steps.empty());
    }
}

TEST(PlanHealth, UnreadableDocumentBesideAReadableOneGivesNoFinding) {
    World world;
    world.request.documents["A"] = "<not a bundle";
    answer_sides(world, Target{});
    testing::TestToken token;
    const auto report = world.run(token);
    ASSERT_TRUE(report.has_value());
    EXPECT_TRUE(report->findings.empty());
}

TEST(PlanHealth, ComponentThatCannotBeUpdatedIsFixableWithTagAdvice) {
    struct Case {
        std::string name;
        std::optional<std::string> tag_rows;  // absent: the query fails
        std::string fix;
    };
    const std::vector<Case> cases = {
        {"no row", "[]", kDeleteAdvice + " No constraint model tag in the target addresses it."},
        {"zero", R"([{"ReferenceObjectId":"tC","tagCount":0}])",
         kDeleteAdvice + " No constraint model tag in the target addresses it."},
        {"another record only", R"([{"ReferenceObjectId":"tX","tagCount":4}])",
         kDeleteAdvice + " No constraint model tag in the target addresses it."},
        {"one", R"([{"attributes":{"type":"AggregateResult"},"ReferenceObjectId":"tC","tagCount":1}])",
         kDeleteAdvice + " 1 constraint model tag in the target addresses it and is deleted with it; deploy the model "
                         "that carries it in the same run to recreate it."},
        {"three", R"([{"attributes":{"type":"AggregateResult"},"ReferenceObjectId":"tC","expr0":3}])",
         kDeleteAdvice + " 3 constraint model tags in the target address it and are deleted with it; deploy the "
                         "models that carry them in the same run to recreate them."},
        {"not a count", R"([{"ReferenceObjectId":"tC","tagCount":"3"}])",
         kDeleteAdvice + " The number of constraint model tags addressing it in the target is unknown; any such tag "
                         "is deleted with the record."},
        {"failed query", std::nullopt,
         kDeleteAdvice + " The number of constraint model tags addressing it in the target is unknown; any such tag "
                         "is deleted with the record."},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        World world;
        relationship_type_read_only(world);
        answer_sides(world, Target{.components = "[" + component_row("tC", "RTX", true) + "]"});
        if (c.tag_rows) {
            world.channels.answer_query_json("tgt", tag_query("'tC'"), *c.tag_rows);
        } else {
            // Every read before it: 12 describes, 3 catalogues, 6 side reads.
            world.channels.fail_call(21, ChannelError::failure("The query failed."));
        }
        testing::TestToken token;
        const auto report = world.run(token);
        ASSERT_TRUE(report.has_value());
        Finding expected;
        expected.kind = FindingKind::Unfixable;
        expected.object = "ProductRelatedComponent";
        expected.label = "ProductRelatedComponent P of B";
        expected.bundles = {"B"};
        expected.problem = kDanglingTypeProblem;
        expected.fix = c.fix;
        expected.fixable = true;
        expected.record_ids = {"tC"};
        expected.delete_id = "tC";
        expected.layer = Layer::ProductRelatedComponent;
        ASSERT_EQ(report->findings.size(), 1U);
        EXPECT_EQ(report->findings[0], expected);
        EXPECT_EQ(report->dependents, 0U);
        EXPECT_TRUE(report->fixable());
        EXPECT_EQ(report->fixable_ids_of({0}),
                  (std::map<Layer, std::vector<std::string>>{{Layer::ProductRelatedComponent, {"tC"}}}));
        EXPECT_EQ(world.channels.calls().back().detail, tag_query("'tC'"));
        EXPECT_EQ(world.steps.back(), (HealthStep{"constraint model tags of Target", 25, 25}));
    }
}

TEST(PlanHealth, CancelledTagCountCancelsTheCheck) {
    World world;
    relationship_type_read_only(world);
    answer_sides(world, Target{.components = "[" + component_row("tC", "RTX", true) + "]"});
    world.channels.fail_call(21, ChannelError::cancelled());
    testing::TestToken token;
    const auto report = world.run(token);
    ASSERT_FALSE(report.has_value());
    EXPECT_TRUE(report.error().is_cancelled());
}

TEST(PlanHealth, ComponentThatCouldNotBeCreatedAnewIsNotFixable) {
    World world;
    relationship_type_read_only(world);
    world.catalogs("[]", "[]", R"([{"Id":"PB1","Name":"Standard Price Book","IsStandard":true}])");
    answer_sides(world, Target{.components = "[" + component_row("tC", "RTX", true) + "]"});
    testing::TestToken token;
    const auto report = world.run(token);
    ASSERT_TRUE(report.has_value());
    ASSERT_EQ(report->findings.size(), 1U);
    const auto& finding = report->findings[0];
    EXPECT_EQ(finding.kind, FindingKind::Unfixable);
    EXPECT_EQ(finding.problem, kDanglingTypeProblem);
    EXPECT_EQ(finding.fix,
              "No automatic fix: the deploy could not create it anew — no product relationship type named Bundle in "
              "the target; fix the reference in the source or the target by hand.");
    EXPECT_FALSE(finding.fixable);
    EXPECT_TRUE(finding.record_ids.empty());
    EXPECT_FALSE(finding.delete_id.has_value());
    EXPECT_FALSE(report->fixable());
    EXPECT_TRUE(report->fixable_ids_of({0}).empty());
    // Nothing could be deleted, so no tag is counted; the step is still reported.
    EXPECT_TRUE(world.channels.calls_of("query").back().detail.starts_with("SELECT Id, UnitPrice"));
    EXPECT_EQ(world.steps.back().label, "constraint model tags of Target");
}

TEST(PlanHealth, MissingRelationshipTypeBlocksTheComponentToCreate) {
    World world;
    world.catalogs(R"([{"Id":"RT9","Name":"Option"}])", "[]",
                   R"([{"Id":"PB1","Name":"Standard Price Book","IsStandard":true}])");
    answer_sides(world, Target{.components = "[]"});
    testing::TestToken token;
    const auto report = world.run(token);
    ASSERT_TRUE(report.has_value());
    Finding expected;
    expected.kind = FindingKind::MissingCatalog;
    expected.object = "ProductRelationshipType";
    expected.label = "product relationship type Bundle";
    expected.bundles = {"B"};
    expected.problem = "no product relationship type named Bundle in the target; blocks 1 records of 1 bundles";
    expected.fix =
        "No automatic fix: the plugin never creates a relationship type, a selling model or a price book; create it "
        "in the target by hand.";
    expected.layer = Layer::ProductRelatedComponent;
    EXPECT_EQ(report->findings, std::vector<Finding>{expected});
    EXPECT_EQ(report->dependents, 0U);
}

TEST(PlanHealth, DuplicateKeysInTheTargetOrTheSource) {
    struct Case {
        std::string name;
        std::string source_products;
        Target target;
        Finding finding;
        std::uint64_t dependents;
    };
    const std::string fix =
        "No automatic fix: pick the right record and remove or rename the other in the target by hand; this deploy "
        "refuses the row.";
    const std::vector<Case> cases = {
        {"two target copies of the child product", kSourceRows[0],
         Target{.products = R"([{"Id":"tB","Name":"B","Description":"root"},{"Id":"tP2","Name":"P"},
                                 {"Id":"tP1","Name":"P"}])",
                .components = "[]"},
         Finding{FindingKind::Duplicate,
                 "Product2",
                 "Product2 P",
                 {"B"},
                 "Product2 P matches 2 records in the target",
                 fix,
                 false,
                 {"tP1", "tP2"},
                 std::nullopt,
                 Layer::Product2},
         // The component to create waits on P.
         1},
        {"two source records of the root product",
         R"([{"Id":"sB1","Name":"B","Description":"root"},{"Id":"sB2","Name":"B"},
             {"Id":"sP","Name":"P","Description":"child"}])",
         Target{.products = kHealthyProducts, .components = "[]", .entries = "[]"},
         Finding{FindingKind::Duplicate,
                 "Product2",
                 "Product2 B",
                 {"B"},
                 "Product2 B matches 2 records in the source",
                 fix,
                 false,
                 {},
                 std::nullopt,
                 Layer::Product2},
         // The component and the price book entry to create wait on B.
         2},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        World world;
        answer_sides(world, c.target, c.source_products);
        testing::TestToken token;
        const auto report = world.run(token);
        ASSERT_TRUE(report.has_value());
        EXPECT_EQ(report->findings, std::vector<Finding>{c.finding});
        EXPECT_EQ(report->dependents, c.dependents);
        EXPECT_TRUE(report->fixable_ids_of({0}).empty());
    }
}

TEST(PlanHealth, ReadFailureEndsTheCheckUnchanged) {
    struct Case {
        std::size_t call;
        ChannelError error;
    };
    // A describe, a catalogue, the source side, the target side.
    const std::vector<Case> cases = {
        {0, ChannelError::failure("The org is not reachable.")},
        {13, ChannelError::failure("")},
        {15, ChannelError::cancelled()},
        {19, ChannelError::failure("Target read failed.")},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.call);
        World world;
        answer_sides(world, Target{});
        world.channels.fail_call(c.call, c.error);
        testing::TestToken token;
        const auto report = world.run(token);
        ASSERT_FALSE(report.has_value());
        EXPECT_EQ(report.error(), c.error);
        EXPECT_EQ(world.channels.calls().size(), c.call + 1);
    }
}

TEST(PlanHealth, TargetWithoutALayerObjectEndsTheCheck) {
    World world;
    FakeRecordChannels channels;
    channels.add_describe("tgt", make_schema("ProductClassification", {"Code"}));
    channels.add_describe("src", make_schema("ProductClassification", {"Code"}));
    testing::TestToken token;
    const auto report = plan_health(
        channels, world.request, [](const HealthStep&) {}, token);
    ASSERT_FALSE(report.has_value());
    EXPECT_EQ(report.error().message, "The object Product2 does not exist in Target.");
}

// Three bundles: B with a group chain G0 → G1 holding child product P and a Yearly option; C based on
// a classification outside the plan; D with a Yearly option.
std::map<std::string, std::string> three_bundles() {
    BundleDocument b;
    b.product = {{"Description", "root"}};
    b.groups.push_back({"G0", std::nullopt, {}});
    b.groups.push_back({"G1", "G0", {}});
    b.child_products.push_back({"P", std::nullopt, {}, false});
    b.components.push_back(
        {{identity::ComponentChildKind::Product, "P", "G1"}, "Bundle", std::nullopt, std::nullopt, {}});
    b.selling_model_options.push_back({{"B", "Yearly"}, {}});
    BundleDocument c;
    c.product = {{"Description", "root"}};
    c.based_on = "CL";
    BundleDocument d;
    d.product = {{"Description", "root"}};
    d.selling_model_options.push_back({{"D", "Yearly"}, {}});
    return {{"B", document::write_bundle_document(b)},
            {"C", document::write_bundle_document(c)},
            {"D", document::write_bundle_document(d)}};
}

TEST(PlanHealth, FindingsInKindOrderWithDependentsThroughBlockedChains) {
    World world;
    world.request.documents = three_bundles();
    world.catalogs(R"([{"Id":"RT1","Name":"Bundle"}])", R"([{"Id":"SM1","Name":"Monthly"}])", "[]");
    auto& channels = world.channels;
    channels.answer_query_json(
        "src", "SELECT Id, Description, Name FROM Product2 WHERE Name IN ('B', 'C', 'D', 'P')",
        R"([{"Id":"sB","Name":"B","Description":"root"},{"Id":"sC","Name":"C","Description":"root"},
                                   {"Id":"sD","Name":"D","Description":"root"},{"Id":"sP","Name":"P"}])");
    channels.answer_query_json(
        "src", "SELECT Id, ParentProduct.Name, Name FROM ProductComponentGroup WHERE ParentProduct.Name IN ('B')",
        R"([{"Id":"sG0","Name":"G0","ParentProduct":{"Name":"B"}},
            {"Id":"sG1","Name":"G1","ParentProduct":{"Name":"B"}}])");
    channels.answer_query_json(
        "src",
        "SELECT Id, ParentProduct.Name, ChildProduct.Name, ChildProductClassification.Code, ProductComponentGroup.Name "
        "FROM ProductRelatedComponent WHERE ParentProduct.Name IN ('B')",
        R"([{"Id":"sX","ParentProduct":{"Name":"B"},"ChildProduct":{"Name":"P"},
             "ProductComponentGroup":{"Name":"G1"}}])");
    channels.answer_query_json(
        "src",
        "SELECT Id, Product2.Name, ProductSellingModel.Name FROM ProductSellingModelOption WHERE Product2.Name IN "
        "('B', 'D')",
        R"([{"Id":"sO1","Product2":{"Name":"B"},"ProductSellingModel":{"Name":"Yearly"}},
            {"Id":"sO2","Product2":{"Name":"D"},"ProductSellingModel":{"Name":"Yearly"}}])");
    channels.answer_query_json(
        "tgt", "SELECT Id, Description, Name, BasedOnId, BasedOn.Id FROM Product2 WHERE Name IN ('B', 'C', 'D', 'P')",
        R"([{"Id":"tB","Name":"B","Description":"root"},
            {"Id":"tC","Name":"C","Description":"root","BasedOnId":"0ZX","BasedOn":null},
            {"Id":"tD","Name":"D","Description":"root"},{"Id":"tP","Name":"P"}])");
    // Two copies of G0 under B; G1 is missing.
    channels.answer_query_json(
        "tgt",
        "SELECT Id, ParentProduct.Name, Name, ParentGroupId, ParentProductId, ParentGroup.Id, ParentProduct.Id FROM "
        "ProductComponentGroup WHERE ParentProduct.Name IN ('B')",
        R"([{"Id":"tG0b","Name":"G0","ParentProduct":{"Name":"B","Id":"tB"},"ParentProductId":"tB"},
            {"Id":"tG0a","Name":"G0","ParentProduct":{"Name":"B","Id":"tB"},"ParentProductId":"tB"}])");
    channels.answer_query_json(
        "tgt",
        "SELECT Id, ParentProduct.Name, ChildProduct.Name, ChildProductClassification.Code, "
        "ProductComponentGroup.Name, "
        "ChildProductId, ParentProductId, ProductComponentGroupId, ProductRelationshipTypeId, ChildProduct.Id, "
        "ParentProduct.Id, ProductComponentGroup.Id, ProductRelationshipType.Id FROM ProductRelatedComponent WHERE "
        "ParentProduct.Name IN ('B')",
        "[]");
    channels.answer_query_json(
        "tgt",
        "SELECT Id, Product2.Name, ProductSellingModel.Name, Product2Id, ProductSellingModelId, Product2.Id, "
        "ProductSellingModel.Id FROM ProductSellingModelOption WHERE Product2.Name IN ('B', 'D')",
        "[]");
    testing::TestToken token;
    const auto report = world.run(token);
    ASSERT_TRUE(report.has_value());
    ASSERT_EQ(report->findings.size(), 3U);

    const auto& product = report->findings[0];
    EXPECT_EQ(product, (Finding{FindingKind::Unfixable,
                                "Product2",
                                "Product2 C",
                                {"C"},
                                "the target's copy points at a record the target does not have in BasedOnId, and the "
                                "reference did not resolve in the target, so this update could not replace it; the "
                                "target refuses every save of such a record",
                                "No automatic fix: deleting this record would take its own children with it, and it "
                                "may hold data outside the Revenue Cloud configuration; fix or delete it in the target "
                                "by hand.",
                                false,
                                {},
                                std::nullopt,
                                Layer::Product2}));
    EXPECT_EQ(report->findings[1],
              (Finding{FindingKind::Duplicate,
                       "ProductComponentGroup",
                       "ProductComponentGroup G0 of B",
                       {"B"},
                       "ProductComponentGroup G0 of B matches 2 records in the target",
                       "No automatic fix: pick the right record and remove or rename the other in the target by hand; "
                       "this deploy refuses the row.",
                       false,
                       {"tG0a", "tG0b"},
                       std::nullopt,
                       Layer::ProductComponentGroup}));
    EXPECT_EQ(report->findings[2],
              (Finding{FindingKind::MissingCatalog,
                       "ProductSellingModel",
                       "product selling model Yearly",
                       {"B", "D"},
                       "no product selling model named Yearly in the target; blocks 2 records of 2 bundles",
                       "No automatic fix: the plugin never creates a relationship type, a selling model or a price "
                       "book; create it in the target by hand.",
                       false,
                       {},
                       std::nullopt,
                       Layer::ProductSellingModelOption}));
    // G1 waits on the duplicate G0, and the component waits on G1.
    EXPECT_EQ(report->dependents, 2U);
    EXPECT_FALSE(report->fixable());
    // Nothing fixable, so no tag count; four layers.
    EXPECT_EQ(channels.calls_of("query").size(), 11U);
    ASSERT_FALSE(world.steps.empty());
    EXPECT_EQ(world.steps.back(), (HealthStep{"constraint model tags of Target", 28, 28}));
}

TEST(PlanHealth, FixableIdsOfTheChosenFindings) {
    World world;
    relationship_type_read_only(world);
    // Two target copies of the price book entry beside the component that cannot be updated.
    answer_sides(world, Target{.components = "[" + component_row("tC", "RTX", true) + "]",
                               .entries = R"([{"Id":"tE2","UnitPrice":10,"Product2":{"Name":"B","Id":"tB"},
                                               "Pricebook2":{"Name":"Standard Price Book","Id":"PB1"}},
                                              {"Id":"tE1","UnitPrice":10,"Product2":{"Name":"B","Id":"tB"},
                                               "Pricebook2":{"Name":"Standard Price Book","Id":"PB1"}}])"});
    world.channels.answer_query_json("tgt", tag_query("'tC'"), "[]");
    testing::TestToken token;
    const auto report = world.run(token);
    ASSERT_TRUE(report.has_value());
    ASSERT_EQ(report->findings.size(), 2U);
    EXPECT_EQ(report->findings[1].kind, FindingKind::Duplicate);
    EXPECT_EQ(report->findings[1].record_ids, (std::vector<std::string>{"tE1", "tE2"}));
    EXPECT_EQ(report->fixable_ids_of({0, 1, 5}),
              (std::map<Layer, std::vector<std::string>>{{Layer::ProductRelatedComponent, {"tC"}}}));
    EXPECT_TRUE(report->fixable_ids_of({1}).empty());
}

TEST(PlanHealth, PriceBookEntryFoundOnlyByKeyIsFixable) {
    World world;
    const std::string own = "QuillaryExternalId__c";
    world.channels.add_describe("src", make_schema("PricebookEntry", {"UnitPrice", "CurrencyIsoCode", own},
                                                   {{"Product2Id", "Product2"},
                                                    {"Pricebook2Id", "Pricebook2"},
                                                    {"ProductSellingModelId", "ProductSellingModel"}}));
    // The target does not let an entry's product change, as orgs do.
    world.channels.add_describe("tgt", make_schema("PricebookEntry", {"UnitPrice", "CurrencyIsoCode", own},
                                                   {{"Product2Id", "Product2"},
                                                    {"Pricebook2Id", "Pricebook2"},
                                                    {"ProductSellingModelId", "ProductSellingModel"}},
                                                   {"Product2Id"}));
    auto& channels = world.channels;
    channels.answer_query_json("src", kSourceProducts, kSourceRows[0]);
    channels.answer_query_json("src", kSourceComponents, kSourceRows[1]);
    channels.answer_query_json(
        "src",
        "SELECT Id, QuillaryExternalId__c, UnitPrice, Product2.Name, Pricebook2.Name, ProductSellingModel.Name, "
        "CurrencyIsoCode FROM PricebookEntry WHERE Product2.Name IN ('B')",
        R"([{"Id":"01u000000000001AAA","UnitPrice":10,"Product2":{"Name":"B"},
             "Pricebook2":{"Name":"Standard Price Book"}}])");
    channels.answer_query_json("tgt", kTargetProducts, kHealthyProducts);
    channels.answer_query_json("tgt", kTargetComponents, kHealthyComponents);
    // The target's copy points at a product the target no longer has, so its natural key cannot be read.
    const std::string copy = R"([{"Id":"tE","QuillaryExternalId__c":"AAA100000000000u10","UnitPrice":10,
                                   "Product2":null,"Product2Id":"01tGONE",
                                   "Pricebook2":{"Name":"Standard Price Book","Id":"PB1"},
                                   "Pricebook2Id":"PB1"}])";
    channels.answer_query_json(
        "tgt",
        "SELECT Id, QuillaryExternalId__c, UnitPrice, Product2.Name, Pricebook2.Name, ProductSellingModel.Name, "
        "CurrencyIsoCode, Pricebook2Id, Product2Id, Pricebook2.Id, Product2.Id FROM PricebookEntry WHERE Product2.Name "
        "IN ('B')",
        copy);
    channels.answer_query_json(
        "tgt",
        "SELECT Id, QuillaryExternalId__c, UnitPrice, Pricebook2Id, Product2Id, Pricebook2.Id, Product2.Id FROM "
        "PricebookEntry WHERE QuillaryExternalId__c IN ('AAA100000000000u10')",
        copy);
    channels.answer_query_json("tgt", tag_query("'tE'"),
                               R"([{"attributes":{"type":"AggregateResult"},"ReferenceObjectId":"tE","tagCount":3}])");
    testing::TestToken token;
    const auto report = world.run(token);
    ASSERT_TRUE(report.has_value());
    ASSERT_EQ(report->findings.size(), 1U);
    EXPECT_EQ(report->findings[0],
              (Finding{FindingKind::Unfixable,
                       "PricebookEntry",
                       "PricebookEntry B in Standard Price Book",
                       {"B"},
                       "the target's copy points at a record the target does not have in Product2Id, and this update "
                       "would not replace it; the target refuses every save of such a record",
                       kDeleteAdvice + " 3 constraint model tags in the target address it and are deleted with it; "
                                       "deploy the models that carry them in the same run to recreate them.",
                       true,
                       {"tE"},
                       "tE",
                       Layer::PricebookEntry}));
    EXPECT_EQ(report->fixable_ids_of({0}),
              (std::map<Layer, std::vector<std::string>>{{Layer::PricebookEntry, {"tE"}}}));
}

}  // namespace
}  // namespace ambrel::data::bundles::transfer
