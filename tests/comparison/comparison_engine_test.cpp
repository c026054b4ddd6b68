#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "comparison/engine.hpp"
#include "metadata_types/metadata_type.hpp"

namespace ambrel::comparison {
namespace {

using domain::AttributeDifference;
using domain::AttributeValue;
using domain::BundleChangeCounts;
using domain::ChangeKind;
using domain::ComponentBody;
using domain::ComponentDifference;
using domain::MetadataComponent;
using domain::MetadataDeployScope;
using metadata_types::MetadataType;

MetadataComponent component(MetadataType type, std::string name, std::string document = "") {
    MetadataComponent result;
    result.key = {type, std::move(name)};
    result.document = std::move(document);
    result.source_path = "force-app/main/default/x";
    return result;
}

std::string field_document(bool track_history, bool track_feed_history) {
    return std::string(R"(<?xml version="1.0" encoding="UTF-8"?>)") +
           R"(<CustomField xmlns="http://soap.sforce.com/2006/04/metadata"><fullName>Industry</fullName>)" +
           "<trackHistory>" + (track_history ? "true" : "false") + "</trackHistory>" + "<trackFeedHistory>" +
           (track_feed_history ? "true" : "false") + "</trackFeedHistory></CustomField>";
}

std::vector<ComponentDifference> compare(MetadataType type, const std::vector<MetadataComponent>& source,
                                         const std::vector<MetadataComponent>& target,
                                         const std::set<std::string>& missing = {}) {
    return ComponentComparisonEngine::compare(type.descriptor(), source, target, missing);
}

TEST(ComparisonEngine, LineEndingsCountInBodiesButNotInDocuments) {
    const std::string lf = "<Flow>\n  <label>x</label>\n</Flow>\n";
    const std::string crlf = "<Flow>\r\n  <label>x</label>\r\n</Flow>\r\n";
    const auto flows = compare(MetadataType::Flow, {component(MetadataType::Flow, "Flow1", crlf)},
                               {component(MetadataType::Flow, "Flow1", lf)});
    ASSERT_EQ(flows.size(), 1u);
    EXPECT_EQ(flows[0].change, ChangeKind::NoChange);
    EXPECT_FALSE(flows[0].definition_changed);

    MetadataComponent source = component(MetadataType::ApexClass, "Invoice");
    MetadataComponent target = source;
    source.body = ComponentBody{"classes/Invoice.cls", "public class Invoice {\r\n}\r\n"};
    target.body = ComponentBody{"classes/Invoice.cls", "public class Invoice {\n}\n"};
    const auto classes = compare(MetadataType::ApexClass, {source}, {target});
    ASSERT_EQ(classes.size(), 1u);
    EXPECT_EQ(classes[0].change, ChangeKind::Update);
    EXPECT_TRUE(classes[0].body_changed);
    EXPECT_EQ(classes[0].own_summary(), "Body");
}

TEST(ComparisonEngine, BodyPresentOnOneSideOnly) {
    MetadataComponent source = component(MetadataType::ApexClass, "Invoice");
    MetadataComponent target = source;
    source.body = ComponentBody{"classes/Invoice.cls", ""};
    const auto rows = compare(MetadataType::ApexClass, {source}, {target});
    EXPECT_TRUE(rows[0].body_changed);
    const auto same = compare(MetadataType::ApexClass, {target}, {target});
    EXPECT_EQ(same[0].change, ChangeKind::NoChange);
}

TEST(ComparisonEngine, FieldOfAMissingObjectIsBlockedEvenWhenTheTargetHasIt) {
    const MetadataComponent field = component(MetadataType::CustomField, "Invoice__c.Amount__c");
    const auto rows = compare(MetadataType::CustomField, {field}, {field}, {"Invoice__c"});
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0].change, ChangeKind::Add);
    EXPECT_EQ(rows[0].block_reason, "Target object is missing");
    EXPECT_FALSE(rows[0].deployable);
    EXPECT_TRUE(rows[0].attribute_differences.empty());
    EXPECT_EQ(rows[0].bundle_counts, std::nullopt);
    EXPECT_EQ(rows[0].summary(), "Target object is missing");
    EXPECT_EQ(rows[0].source, field);
}

TEST(ComparisonEngine, WholeNameContainersBlockTheComponentItself) {
    const auto rows = compare(MetadataType::CustomObject, {component(MetadataType::CustomObject, "Invoice__c")}, {},
                              {"Invoice__c"});
    EXPECT_EQ(rows[0].block_reason, "Target object is missing");
    const auto other = compare(MetadataType::CustomObject, {component(MetadataType::CustomObject, "Other__c")}, {},
                               {"Invoice__c"});
    EXPECT_EQ(other[0].block_reason, std::nullopt);
    EXPECT_TRUE(other[0].deployable);
}

TEST(ComparisonEngine, DeployScopeAndAdditionsOfFields) {
    struct Case {
        const char* name;
        MetadataDeployScope scope;
        ChangeKind change_when_missing;
    };
    const Case cases[] = {
        {"Account.Industry", MetadataDeployScope::TrackingOnly, ChangeKind::NoChange},
        {"Account.ns__Score__c", MetadataDeployScope::TrackingOnly, ChangeKind::NoChange},
        {"Account.Score__c", MetadataDeployScope::Full, ChangeKind::Add},
        {"Account.Ev__e", MetadataDeployScope::Full, ChangeKind::Add},
        {"NoDot", MetadataDeployScope::Full, ChangeKind::Add},
    };
    for (const Case& c : cases) {
        const auto rows = compare(MetadataType::CustomField, {component(MetadataType::CustomField, c.name)}, {});
        ASSERT_EQ(rows.size(), 1u);
        EXPECT_EQ(rows[0].deploy_scope, c.scope) << c.name;
        EXPECT_EQ(rows[0].change, c.change_when_missing) << c.name;
        EXPECT_TRUE(rows[0].deployable) << c.name;
    }
    // Only CustomField rows take their scope from the field name.
    const auto object = compare(MetadataType::CustomObject, {component(MetadataType::CustomObject, "Account.x")}, {});
    EXPECT_EQ(object[0].deploy_scope, MetadataDeployScope::Full);
}

TEST(ComparisonEngine, StandardFieldsCompareOnlyTheirHistoryTracking) {
    MetadataComponent source = component(MetadataType::CustomField, "Account.Industry", field_document(true, false));
    MetadataComponent target = component(MetadataType::CustomField, "Account.Industry", field_document(false, false));
    source.attributes = {AttributeValue::text("Picklist")};
    target.attributes = {AttributeValue::text("Text")};
    const auto rows = compare(MetadataType::CustomField, {source}, {target});
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0].change, ChangeKind::Update);
    EXPECT_EQ(rows[0].attribute_differences, (std::vector<AttributeDifference>{{"Track History", "false", "true"}}));

    source.document = field_document(true, true);
    target.document = "<not xml";
    const auto both = compare(MetadataType::CustomField, {source}, {target});
    EXPECT_EQ(both[0].attribute_differences,
              (std::vector<AttributeDifference>{{"Track History", "false", "true"},
                                                {"Track Feed History", "false", "true"}}));

    source.document = field_document(false, false);
    const auto unchanged = compare(MetadataType::CustomField, {source}, {target});
    EXPECT_EQ(unchanged[0].change, ChangeKind::NoChange);
}

TEST(ComparisonEngine, AttributeComparison) {
    const auto& descriptor = MetadataType::CustomField.descriptor();
    // type, formula, defaultValue, referenceTo, length (numeric), precision, scale, label
    const std::vector<AttributeValue> source = {
        AttributeValue::text("Text"), AttributeValue::text(std::nullopt), AttributeValue::text("a"),
        AttributeValue::number(3),    AttributeValue::number(80),         AttributeValue::text("18"),
        AttributeValue::number(-2),   AttributeValue::text("Label "),
    };
    const std::vector<AttributeValue> target = {
        AttributeValue::text("Text"), AttributeValue::text(""),  AttributeValue::number(1),
        AttributeValue::text("x"),    AttributeValue::text("80"), AttributeValue::text("18"),
    };
    const auto differences = compare_attributes(descriptor, source, target);
    EXPECT_EQ(differences, (std::vector<AttributeDifference>{
                               {"Formula", "", std::nullopt},
                               {"Default Value", std::nullopt, "a"},
                               {"Reference To", "x", std::nullopt},
                               {"Length", std::nullopt, "80"},
                               {"Scale", std::nullopt, "-2"},
                               {"Label", std::nullopt, "Label "},
                           }));
    EXPECT_TRUE(compare_attributes(descriptor, source, source).empty());
    EXPECT_TRUE(compare_attributes(MetadataType::LightningComponentBundle.descriptor(), source, target).empty());
}

TEST(ComparisonEngine, AttributeDifferencesMakeAnUpdate) {
    MetadataComponent source = component(MetadataType::ApexClass, "A");
    MetadataComponent target = source;
    source.attributes = {AttributeValue::text("62.0"), AttributeValue::text("Active")};
    target.attributes = {AttributeValue::text("61.0"), AttributeValue::text("Active")};
    const auto rows = compare(MetadataType::ApexClass, {source}, {target});
    EXPECT_EQ(rows[0].change, ChangeKind::Update);
    EXPECT_EQ(rows[0].own_summary(), "API Version: 62.0 -> 61.0");
}

TEST(ComparisonEngine, BundleFileCounts) {
    MetadataComponent source = component(MetadataType::LightningComponentBundle, "card");
    MetadataComponent target = source;
    source.bundle_files = {{"card.js", "new"}, {"card.html", "<template/>"}};
    target.bundle_files = {{"card.js", "old"}, {"card.html", "<template/>"}, {"card.css", ""}};
    const auto rows = compare(MetadataType::LightningComponentBundle, {source}, {target});
    EXPECT_EQ(rows[0].change, ChangeKind::Update);
    EXPECT_EQ(rows[0].bundle_counts, (BundleChangeCounts{.added = 0, .removed = 1, .changed = 1}));

    const auto same = compare(MetadataType::LightningComponentBundle, {source}, {source});
    EXPECT_EQ(same[0].change, ChangeKind::NoChange);
    EXPECT_EQ(same[0].bundle_counts, std::nullopt);

    MetadataComponent grown = source;
    grown.bundle_files["a.svg"] = "<svg/>";
    grown.bundle_files["z.js-meta.xml"] = "<x/>";
    EXPECT_EQ(bundle_change_counts(grown, source), (BundleChangeCounts{.added = 2, .removed = 0, .changed = 0}));
}

TEST(ComparisonEngine, DocumentsCountOnlyForTypesThatCompareThem) {
    const MetadataType tab = *metadata_types::generic_type_by_api_name("CustomTab");
    const auto tabs = compare(tab, {component(tab, "T", "<a/>")}, {component(tab, "T", "<b/>")});
    EXPECT_EQ(tabs[0].change, ChangeKind::Update);
    EXPECT_TRUE(tabs[0].definition_changed);
    EXPECT_EQ(tabs[0].own_summary(), "Definition changed");

    const auto objects = compare(MetadataType::CustomObject, {component(MetadataType::CustomObject, "O__c", "<a/>")},
                                 {component(MetadataType::CustomObject, "O__c", "<b/>")});
    EXPECT_EQ(objects[0].change, ChangeKind::NoChange);
    EXPECT_FALSE(objects[0].definition_changed);
}

TEST(ComparisonEngine, RowsFollowNamesByteWiseKeepingInputOrderOfEqualNames) {
    const MetadataType tab = *metadata_types::generic_type_by_api_name("CustomTab");
    const std::vector<MetadataComponent> source = {
        component(tab, "b", "1"), component(tab, "a", "2"), component(tab, "B", "3"),
        component(tab, "a", "4"), component(tab, "ab", "5"),
    };
    const auto rows = compare(tab, source, {});
    std::vector<std::string> order;
    for (const auto& row : rows) order.push_back(row.key().name + "/" + row.source.document);
    EXPECT_EQ(order, (std::vector<std::string>{"B/3", "a/2", "a/4", "ab/5", "b/1"}));
}

TEST(ComparisonEngine, TheLaterOfTwoTargetsWithOneKeyCounts) {
    const MetadataType tab = *metadata_types::generic_type_by_api_name("CustomTab");
    const auto rows =
        compare(tab, {component(tab, "T", "<b/>")}, {component(tab, "T", "<a/>"), component(tab, "T", "<b/>")});
    EXPECT_EQ(rows[0].change, ChangeKind::NoChange);
}

TEST(ComparisonEngine, TargetOnlyComponentsAndEmptySourceGiveNoRows) {
    const MetadataType tab = *metadata_types::generic_type_by_api_name("CustomTab");
    EXPECT_TRUE(compare(tab, {}, {component(tab, "T")}).empty());
    const auto rows = compare(tab, {component(tab, "A")}, {component(tab, "Z")});
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0].change, ChangeKind::Add);
    EXPECT_TRUE(rows[0].deployable);
    EXPECT_EQ(rows[0].summary(), "Missing in target");
}

TEST(ComparisonEngine, MovingTheSourceGivesTheSameRows) {
    const MetadataType tab = *metadata_types::generic_type_by_api_name("CustomTab");
    std::vector<MetadataComponent> source = {component(tab, "b", "<x/>"), component(tab, "a", "<y/>")};
    const std::vector<MetadataComponent> target = {component(tab, "a", "<y/>")};
    const auto copied = ComponentComparisonEngine::compare(tab.descriptor(), source, target, {});
    const auto moved = ComponentComparisonEngine::compare(tab.descriptor(), std::move(source), target, {});
    EXPECT_EQ(copied, moved);
}

TEST(ComparisonEngine, ContainerName) {
    const auto& field = MetadataType::CustomField.descriptor();
    const auto& object = MetadataType::CustomObject.descriptor();
    EXPECT_EQ(container_name(field, "Account.Score__c"), "Account");
    EXPECT_EQ(container_name(field, "A.b.c"), "A");
    EXPECT_EQ(container_name(field, "NoDot"), "NoDot");
    EXPECT_EQ(container_name(object, "Account.Score__c"), "Account.Score__c");
}

TEST(ComparisonEngine, DocumentsEqualIgnoringCrlf) {
    struct Case {
        std::string_view a;
        std::string_view b;
        bool equal;
    };
    const Case cases[] = {
        {"", "", true},
        {"a\r\nb", "a\nb", true},
        {"a\nb", "a\r\nb", true},
        {"\r\n\r\n", "\n\n", true},
        {"a\r\n", "a\n", true},
        {"a\rb", "a\nb", false},
        {"a\r", "a", false},
        {"a\r", "a\r", true},
        {"a\r\r\nb", "a\r\nb", false},
        {"a\r\r\nb", "a\r\nb\r\n", false},
        {"a\r\r\nb", "a\r\nb", false},
        {"x\r\ny\r\nz", "x\ny\r\nz", true},
        {"a\r\nb", "a\r\nc", false},
        {"abc", "abd", false},
        {"abc", "ab", false},
        {"ab\r\n", "ab", false},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(documents_equal_ignoring_crlf(c.a, c.b), c.equal) << testing::PrintToString(c.a) << " vs "
                                                                    << testing::PrintToString(c.b);
        EXPECT_EQ(documents_equal_ignoring_crlf(c.b, c.a), c.equal);
    }
}

}  // namespace
}  // namespace ambrel::comparison
