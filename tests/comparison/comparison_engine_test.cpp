#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "comparison/document_equality.hpp"
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

    const auto classes = compare(MetadataType::ApexClass, {component(MetadataType::ApexClass, "C", "<a/>")},
                                 {component(MetadataType::ApexClass, "C", "<b/>")});
    EXPECT_EQ(classes[0].change, ChangeKind::NoChange);
    EXPECT_FALSE(classes[0].definition_changed);
}

std::string object_document(std::string_view root, std::string_view inner) {
    return std::string(R"(<?xml version="1.0" encoding="UTF-8"?>)") + "\n<" + std::string(root) +
           R"( xmlns="http://soap.sforce.com/2006/04/metadata">)" + std::string(inner) + "</" + std::string(root) +
           ">\n";
}

TEST(ComparisonEngine, ObjectsAndFieldsCompareTheirDocumentsBesideTheirAttributes) {
    struct Case {
        MetadataType type;
        std::string name;
        std::string root;
    };
    const Case cases[] = {
        {MetadataType::CustomField, "Case.Status__c", "CustomField"},
        {MetadataType::CustomObject, "Invoice__c", "CustomObject"},
        {MetadataType::CustomMetadataType, "Rate__mdt", "CustomObject"},
        {MetadataType::PlatformEvent, "Order_Placed__e", "CustomObject"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.type.wire_id());
        // What the listed attributes never see: a picklist value added, a help text corrected.
        const std::string before = object_document(c.root, "<inlineHelpText>Old</inlineHelpText>");
        const std::string after = object_document(c.root, "<inlineHelpText>New</inlineHelpText>");
        const auto rows = compare(c.type, {component(c.type, c.name, after)}, {component(c.type, c.name, before)});
        ASSERT_EQ(rows.size(), 1u);
        EXPECT_EQ(rows[0].change, ChangeKind::Update);
        EXPECT_TRUE(rows[0].definition_changed);
        EXPECT_TRUE(rows[0].deployable);
        EXPECT_EQ(rows[0].own_summary(), "Definition changed");

        // The same document indented otherwise is no change.
        const std::string reindented = object_document(c.root, "\n        <inlineHelpText>Old</inlineHelpText>\n");
        const auto same = compare(c.type, {component(c.type, c.name, reindented)}, {component(c.type, c.name, before)});
        EXPECT_EQ(same[0].change, ChangeKind::NoChange);
        EXPECT_FALSE(same[0].definition_changed);
    }

    // An attribute difference and the document's together.
    MetadataComponent source = component(MetadataType::CustomField, "Case.Status__c",
                                         object_document("CustomField", "<label>B</label>"));
    MetadataComponent target = component(MetadataType::CustomField, "Case.Status__c",
                                         object_document("CustomField", "<label>A</label>"));
    source.attributes = {AttributeValue::text(std::nullopt), AttributeValue::text(std::nullopt),
                         AttributeValue::text(std::nullopt), AttributeValue::text(std::nullopt),
                         AttributeValue::number(std::nullopt), AttributeValue::number(std::nullopt),
                         AttributeValue::number(std::nullopt), AttributeValue::text("B")};
    target.attributes = source.attributes;
    target.attributes[7] = AttributeValue::text("A");
    const auto both = compare(MetadataType::CustomField, {source}, {target});
    EXPECT_EQ(both[0].change, ChangeKind::Update);
    EXPECT_TRUE(both[0].definition_changed);
    ASSERT_EQ(both[0].attribute_differences.size(), 1u);
    EXPECT_EQ(both[0].attribute_differences[0].label, "Label");
}

TEST(ComparisonEngine, StandardAndPackagedFieldsKeepTheTrackingComparisonAlone) {
    for (const std::string name : {"Account.Industry", "Account.ns__Score__c"}) {
        SCOPED_TRACE(name);
        std::string source = field_document(false, false);
        std::string target = source;
        source.insert(source.find("</CustomField>"), "<description>Changed</description>");
        const auto rows = compare(MetadataType::CustomField, {component(MetadataType::CustomField, name, source)},
                                  {component(MetadataType::CustomField, name, target)});
        EXPECT_EQ(rows[0].deploy_scope, MetadataDeployScope::TrackingOnly);
        EXPECT_EQ(rows[0].change, ChangeKind::NoChange);
        EXPECT_FALSE(rows[0].definition_changed);
    }
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

TEST(ComparisonEngine, DocumentsEqualReadsEventsNotFormatting) {
    struct Case {
        std::string_view what;
        std::string_view a;
        std::string_view b;
        bool equal;
    };
    const Case cases[] = {
        {"byte-equal", "<a>x</a>", "<a>x</a>", true},
        {"indentation", "<a>\n    <b>x</b>\n    <c/>\n</a>\n", "<a><b>x</b><c/></a>", true},
        {"tabs and line ends", "<a>\r\n\t<b>x</b>\r\n</a>", "<a>\n  <b>x</b>\n</a>", true},
        {"declaration spelling", "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<a/>",
         "<?xml version='1.0'  encoding='utf-8' ?><a/>", true},
        {"declaration absent", "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<a/>", "<a/>", true},
        {"leading byte-order mark", "\xEF\xBB\xBF<a/>", "<a/>", true},
        {"empty-element tag", "<a><b/></a>", "<a><b></b></a>", true},
        {"space inside tags", "<a  x=\"1\"\n   y='2' ><b /></a >", "<a x=\"1\" y=\"2\"><b/></a>", true},
        {"attribute references", "<a x=\"&amp;&#65;\"/>", "<a x=\"&#38;A\"/>", true},
        {"text references", "<a>it&apos;s &lt;b&gt;</a>", "<a>it's &lt;b></a>", true},
        {"line ends inside text", "<a>x\r\ny\rz</a>", "<a>x\ny\nz</a>", true},
        {"white space alone in an element", "<a><l> </l></a>", "<a><l></l></a>", true},
        {"attribute order", "<a x=\"1\" y=\"2\"/>", "<a y=\"2\" x=\"1\"/>", false},
        {"attribute value", "<a x=\"1\"/>", "<a x=\"2\"/>", false},
        {"attribute name", "<a x=\"1\"/>", "<a z=\"1\"/>", false},
        {"attribute added", "<a x=\"1\"/>", "<a x=\"1\" y=\"1\"/>", false},
        {"element name", "<a><b/></a>", "<a><c/></a>", false},
        {"prefix", "<p:a xmlns:p=\"u\"/>", "<a xmlns=\"u\"/>", false},
        {"text", "<a><b>x</b></a>", "<a><b>y</b></a>", false},
        {"white space around text", "<a> x</a>", "<a>x</a>", false},
        {"a character reference to a carriage return", "<a>x&#13;y</a>", "<a>x\ny</a>", false},
        {"CDATA against text", "<a><![CDATA[x]]></a>", "<a>x</a>", false},
        {"CDATA content", "<a><![CDATA[x]]></a>", "<a><![CDATA[y]]></a>", false},
        {"comment", "<a><!-- x --></a>", "<a><!-- y --></a>", false},
        {"comment added", "<a><!-- x --></a>", "<a></a>", false},
        {"processing instruction", "<a><?p x?></a>", "<a><?p y?></a>", false},
        {"element added", "<a><b/></a>", "<a><b/><b/></a>", false},
        {"not well formed, equal but for line ends", "<a>\r\n<b>", "<a>\n<b>", true},
        {"not well formed, indented", "<a>\n  <b>", "<a><b>", false},
        {"second root, indented", "<a/>\n<b/>", "<a/><b/>", false},
        {"text after the root, indented", "<a/>\nx", "<a/>x", false},
        {"syntax error, indented", "<a>\n  <b></c></a>", "<a><b></c></a>", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(documents_equal(c.a, c.b), c.equal);
        EXPECT_EQ(documents_equal(c.b, c.a), c.equal);
    }
}

}  // namespace
}  // namespace ambrel::comparison
