// The comparison's dependency graph, delta pairs, blocked rows and layout candidates, over real
// corpus documents and small fixtures.

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include <fmt/format.h>
#include <gtest/gtest.h>

#include "additions_under_test.hpp"
#include "app/delta_dependency_pairs.hpp"
#include "app/dependency_graph.hpp"
#include "domain/difference.hpp"
#include "support/test_paths.hpp"

namespace ambrel::app::testing {
namespace {

using ambrel::testing::read_corpus;
using domain::ChangeKind;
using domain::ComponentDifference;
using domain::MetadataDeployScope;

ComponentDifference row(ComponentKey k, std::string text, ChangeKind change = ChangeKind::Add, bool deployable = true,
                        MetadataDeployScope scope = MetadataDeployScope::Full) {
    ComponentDifference difference;
    difference.source.key = std::move(k);
    difference.source.document = std::move(text);
    difference.change = change;
    difference.deployable = deployable;
    difference.deploy_scope = scope;
    return difference;
}

std::string lookup_field(std::string_view field, std::string_view target) {
    return document("CustomField", fmt::format("<fullName>{}</fullName><referenceTo>{}</referenceTo><type>Lookup</type>",
                                               field, target));
}

std::string plain_field(std::string_view field) {
    return document("CustomField", fmt::format("<fullName>{}</fullName><type>Text</type>", field));
}

const std::string kEbikes = "ebikes-lwc/force-app/main/default/";

TEST(BuildDependencyGraph, NoRowsGiveNoEdgesAndTheCataloguesUnresolvedCopy) {
    dependency::DependencyGraph analysis;
    analysis.unresolved[key(MetadataType::Flow, "A")] = {{"Flow 2nd", "Flow 2nd: x"}};
    dependency::WarningList warnings;
    const auto without = build_dependency_graph({}, std::nullopt, {}, warnings);
    EXPECT_TRUE(without.edges.empty());
    EXPECT_TRUE(without.unresolved.empty());
    const auto with = build_dependency_graph({}, analysis, {}, warnings);
    EXPECT_TRUE(with.edges.empty());
    EXPECT_EQ(with.unresolved, analysis.unresolved);
    EXPECT_TRUE(warnings.empty());
}

TEST(BuildDependencyGraph, CorpusLookupsRequireTheNewObjectAndItsNewFields) {
    const auto order_item_order =
        row(key(MetadataType::CustomField, "Order_Item__c.Order__c"),
            read_corpus(kEbikes + "objects/Order_Item__c/fields/Order__c.field-meta.xml"));
    const auto order_object = row(key(MetadataType::CustomObject, "Order__c"),
                                  read_corpus(kEbikes + "objects/Order__c/Order__c.object-meta.xml"));
    const auto order_status = row(key(MetadataType::CustomField, "Order__c.Status__c"),
                                  read_corpus(kEbikes + "objects/Order__c/fields/Status__c.field-meta.xml"));
    const auto case_product = row(key(MetadataType::CustomField, "Case.Product__c"),
                                  read_corpus(kEbikes + "objects/Case/fields/Product__c.field-meta.xml"),
                                  ChangeKind::Update);
    const auto broker = row(key(MetadataType::CustomField, "Property__c.Broker__c"),
                            read_corpus("dreamhouse-lwc/force-app/main/default/objects/Property__c/fields/"
                                        "Broker__c.field-meta.xml"));
    const auto broker_object = row(key(MetadataType::CustomObject, "Broker__c"), document("CustomObject", ""));
    const std::vector rows{order_item_order, order_object, order_status, case_product, broker, broker_object};
    dependency::WarningList warnings;
    const auto graph = build_dependency_graph(rows, std::nullopt, {"Order__c"}, warnings);

    RowKeyMap expected;
    expected[order_item_order.key()] = {order_object.key(), order_status.key()};
    expected[order_status.key()] = {order_object.key()};
    expected[broker.key()] = {broker_object.key()};
    EXPECT_EQ(graph.edges, expected);
    // Case.Product__c looks up Product__c, which has no row.
    ASSERT_EQ(warnings.size(), 1u) << fmt::format("{}", fmt::join(warnings, "\n"));
    EXPECT_EQ(warnings[0],
              "Custom Field 'Case.Product__c' references components that have no row in this comparison and were not "
              "followed: CustomObject Product__c.");
}

TEST(BuildDependencyGraph, NewFieldsRequireTheirObjectOnlyWhenItIsNewAndRetrieved) {
    struct Case {
        std::string_view name;
        ChangeKind object_change;
        std::set<std::string> retrieved;
        bool edge;
    };
    const Case cases[] = {
        {"new object retrieved", ChangeKind::Add, {"Invoice__c"}, true},
        {"updated object", ChangeKind::Update, {"Invoice__c"}, false},
        {"target lists it", ChangeKind::Add, {}, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::vector rows{row(key(MetadataType::CustomField, "Invoice__c.Total__c"), plain_field("Total__c")),
                               row(key(MetadataType::CustomObject, "Invoice__c"), "", c.object_change)};
        dependency::WarningList warnings;
        const auto graph = build_dependency_graph(rows, std::nullopt, c.retrieved, warnings);
        EXPECT_EQ(graph.edges.size(), c.edge ? 1u : 0u);
    }
    // A standard object never gets an object edge.
    const std::vector rows{row(key(MetadataType::CustomField, "Account.Total__c"), plain_field("Total__c"))};
    dependency::WarningList warnings;
    EXPECT_TRUE(build_dependency_graph(rows, std::nullopt, {"Account"}, warnings).edges.empty());
}

TEST(BuildDependencyGraph, ValidationRulesRequireTheirNewObjectAndItsNewFields) {
    for (const ChangeKind change : {ChangeKind::Add, ChangeKind::Update}) {
        SCOPED_TRACE(domain::wire_id(change));
        const auto rule = row(key("ValidationRule", "Invoice__c.Check"), document("ValidationRule", ""));
        const auto field = row(key(MetadataType::CustomField, "Invoice__c.Total__c"), plain_field("Total__c"));
        const auto object = row(key(MetadataType::CustomObject, "Invoice__c"), "", change);
        const std::vector rows{rule, field, object};
        dependency::WarningList warnings;
        const auto graph = build_dependency_graph(rows, std::nullopt, {}, warnings);
        if (change == ChangeKind::Add) {
            ASSERT_TRUE(graph.edges.contains(rule.key()));
            EXPECT_EQ(graph.edges.at(rule.key()), (std::set{field.key(), object.key()}));
        } else {
            EXPECT_FALSE(graph.edges.contains(rule.key()));
        }
    }
}

TEST(BuildDependencyGraph, ALookupToItsOwnObjectGetsNoFieldEdges) {
    const auto self = row(key(MetadataType::CustomField, "Invoice__c.Parent__c"), lookup_field("Parent__c", "Invoice__c"));
    const auto other = row(key(MetadataType::CustomField, "Order__c.Invoice__c"), lookup_field("Invoice__c", "Invoice__c"));
    const auto total = row(key(MetadataType::CustomField, "Invoice__c.Total__c"), plain_field("Total__c"));
    const auto object = row(key(MetadataType::CustomObject, "Invoice__c"), "");
    const std::vector rows{self, other, total, object};
    dependency::WarningList warnings;
    const auto graph = build_dependency_graph(rows, std::nullopt, {}, warnings);
    EXPECT_EQ(graph.edges.at(self.key()), std::set{object.key()});
    EXPECT_EQ(graph.edges.at(other.key()), (std::set{self.key(), total.key(), object.key()}));
}

TEST(BuildDependencyGraph, CatalogueEdgesOnlyPointAtNewRowsAndNeverAtThemselves) {
    const auto flow = row(key(MetadataType::Flow, "Main"), "", ChangeKind::Update);
    const auto added = row(key(MetadataType::ApexClass, "Added"), "");
    const auto updated = row(key(MetadataType::ApexClass, "Updated"), "", ChangeKind::Update);
    dependency::DependencyGraph analysis;
    analysis.edges[flow.key()] = {added.key(), updated.key(), key(MetadataType::ApexClass, "Absent"), flow.key()};
    analysis.edges[key(MetadataType::Flow, "NotARow")] = {added.key()};
    const std::vector rows{flow, added, updated};
    dependency::WarningList warnings;
    const auto graph = build_dependency_graph(rows, analysis, {}, warnings);
    RowKeyMap expected;
    expected[flow.key()] = {added.key()};
    EXPECT_EQ(graph.edges, expected);
}

TEST(BuildDependencyGraph, MissingReferencesListTheFirstTenAndCountTheRest) {
    const auto lookups = [&](ChangeKind change) {
        return row(key(MetadataType::CustomField, "Order__c.Ref__c"), lookup_field("Ref__c", "Missing__c"), change);
    };
    for (const ChangeKind change : {ChangeKind::NoChange, ChangeKind::Update, ChangeKind::Add}) {
        SCOPED_TRACE(domain::wire_id(change));
        dependency::WarningList warnings;
        const std::vector one{lookups(change)};
        build_dependency_graph(one, std::nullopt, {}, warnings);
        if (change == ChangeKind::NoChange) {
            EXPECT_TRUE(warnings.empty());
        } else {
            ASSERT_EQ(warnings.size(), 1u);
            EXPECT_EQ(warnings[0],
                      "Custom Field 'Order__c.Ref__c' references components that have no row in this comparison and "
                      "were not followed: CustomObject Missing__c.");
        }
    }
    // Eleven lookups' worth of missing objects on one custom metadata record's fields.
    std::string values;
    for (int i = 0; i < 11; ++i) {
        values += fmt::format("<values><field>F{:02}__c</field><value>x</value></values>", i);
    }
    const std::vector many{row(key("CustomMetadata", "Rate.Standard"), document("CustomMetadata", values))};
    dependency::WarningList warnings;
    build_dependency_graph(many, std::nullopt, {}, warnings);
    ASSERT_EQ(warnings.size(), 1u) << fmt::format("{}", fmt::join(warnings, "\n"));
    EXPECT_EQ(warnings[0],
              "Custom Metadata Record 'Rate.Standard' references components that have no row in this comparison "
              "and were not followed: CustomField Rate__mdt.F00__c, CustomField Rate__mdt.F01__c, CustomField "
              "Rate__mdt.F02__c, CustomField Rate__mdt.F03__c, CustomField Rate__mdt.F04__c, CustomField "
              "Rate__mdt.F05__c, CustomField Rate__mdt.F06__c, CustomField Rate__mdt.F07__c, CustomField "
              "Rate__mdt.F08__c, CustomField Rate__mdt.F09__c (and 2 more).");
}

TEST(BuildDependencyGraph, PackagedReferencesAreNeverReported) {
    const std::vector rows{
        row(key(MetadataType::CustomField, "Order__c.Ref__c"), lookup_field("Ref__c", "ns__Missing__c"))};
    dependency::WarningList warnings;
    build_dependency_graph(rows, std::nullopt, {}, warnings);
    EXPECT_TRUE(warnings.empty());
}

TEST(BuildDependencyGraph, DeltaPairsAdmitDeployableUpdates) {
    struct Case {
        std::string_view name;
        ChangeKind change;
        bool deployable;
        MetadataDeployScope scope;
        bool edge;
    };
    const Case cases[] = {
        {"update deployable", ChangeKind::Update, true, MetadataDeployScope::Full, true},
        {"not deployable", ChangeKind::Update, false, MetadataDeployScope::Full, false},
        {"permissions only", ChangeKind::Update, true, MetadataDeployScope::PermissionsOnly, false},
        {"no change", ChangeKind::NoChange, true, MetadataDeployScope::Full, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const auto field =
            row(key(MetadataType::CustomField, "Order__c.Ref__c"),
                document("CustomField", "<fullName>Ref__c</fullName><summarizedField>Line__c.Amount__c"
                                        "</summarizedField><type>Summary</type>"));
        const auto amount = row(key(MetadataType::CustomField, "Line__c.Amount__c"), plain_field("Amount__c"), c.change,
                                c.deployable, c.scope);
        const std::vector rows{field, amount};
        dependency::WarningList warnings;
        const auto graph = build_dependency_graph(rows, std::nullopt, {}, warnings);
        EXPECT_EQ(graph.edges.contains(field.key()), c.edge);
        const auto blocked = blocked_dependency_rows(rows, warnings);
        const bool is_blocked = c.change != ChangeKind::NoChange && !c.edge;
        EXPECT_EQ(blocked.contains(amount.key()), is_blocked);
        if (is_blocked) {
            EXPECT_EQ(blocked.at(amount.key()), field.key());
        }
    }
}

TEST(BuildDependencyGraph, UnparsableCustomFieldGivesOneWarning) {
    std::string deep;
    for (int i = 0; i < 100'000; ++i) deep += "<a>";
    const std::pair<std::string_view, std::string> cases[] = {
        {"malformed", "<CustomField><oops"},
        {"deeply nested", document("CustomField", deep)},
        {"entity declaration", "<?xml version=\"1.0\"?><!DOCTYPE x [<!ENTITY e \"eeeeeeeeee\">]>"
                               "<CustomField xmlns=\"http://soap.sforce.com/2006/04/metadata\">&e;&e;</CustomField>"},
        {"not xml", std::string(1 << 20, '\xff')},
    };
    for (const auto& [name, text] : cases) {
        SCOPED_TRACE(name);
        const std::vector rows{row(key(MetadataType::CustomField, "Order__c.Ref__c"), text)};
        dependency::WarningList warnings;
        EXPECT_TRUE(build_dependency_graph(rows, std::nullopt, {}, warnings).edges.empty());
        EXPECT_TRUE(blocked_dependency_rows(rows, warnings).empty());
        EXPECT_EQ(warnings, dependency::WarningList{"Could not parse custom field 'Order__c.Ref__c'; its dependencies "
                                                    "were not followed."});
    }
}

// The one-pass form must give what the two calls give, warnings included: the delta warnings come
// twice, which past the warning cap raises the hidden-warnings count twice.
TEST(AnalyseDependencies, GivesWhatTheGraphAndBlockedRowsGiveInTwoCalls) {
    const auto blocked = row(key(MetadataType::CustomField, "Line__c.Amount__c"), plain_field("Amount__c"),
                             ChangeKind::Update, false);
    const auto summary = row(key(MetadataType::CustomField, "Order__c.Total__c"),
                             document("CustomField", "<fullName>Total__c</fullName><summarizedField>Line__c.Amount__c"
                                                     "</summarizedField><type>Summary</type>"));
    const auto lookup = row(key(MetadataType::CustomField, "Order__c.Ref__c"), lookup_field("Ref__c", "Missing__c"));
    const auto added_object = row(key(MetadataType::CustomObject, "Line__c"), "<CustomObject/>");
    const auto new_field = row(key(MetadataType::CustomField, "Line__c.New__c"), plain_field("New__c"));
    const auto unparsable = [](int i) {
        return row(key(MetadataType::CustomField, fmt::format("Bad{:03}__c.F__c", i)), "<CustomField><oops");
    };
    dependency::DependencyGraph catalogue;
    catalogue.edges[summary.key()].insert(added_object.key());
    catalogue.unresolved[lookup.key()] = {{"Flow 2nd", "Flow 2nd: x"}};

    struct Case {
        std::string_view name;
        int unparsable_rows;
    };
    for (const Case c : {Case{"under the warning cap", 3}, Case{"past the warning cap", 70}}) {
        SCOPED_TRACE(c.name);
        std::vector rows{blocked, summary, lookup, added_object, new_field};
        for (int i = 0; i < c.unparsable_rows; ++i) rows.push_back(unparsable(i));
        dependency::WarningList two_calls{"earlier warning"};
        const ComparisonDependencyGraph graph = build_dependency_graph(rows, catalogue, {"Line__c"}, two_calls);
        const PullInMap pull_in = blocked_dependency_rows(rows, two_calls);
        dependency::WarningList one_pass{"earlier warning"};
        const DependencyAnalysis analysed = analyse_dependencies(rows, catalogue, {"Line__c"}, one_pass);
        EXPECT_EQ(analysed.graph, graph);
        EXPECT_EQ(analysed.blocked, pull_in);
        EXPECT_EQ(one_pass, two_calls);
        EXPECT_FALSE(pull_in.empty());
        EXPECT_FALSE(graph.edges.empty());
    }
}

TEST(BlockedDependencyRows, ARowNamingItselfIsNotBlockedByItself) {
    // A lookup filter naming its own field, on a row that cannot deploy.
    const auto field =
        row(key(MetadataType::CustomField, "Order__c.Ref__c"),
            document("CustomField", "<fullName>Ref__c</fullName><lookupFilter><filterItems><field>Order__c.Ref__c"
                                    "</field><operation>equals</operation></filterItems></lookupFilter>"
                                    "<referenceTo>Order__c</referenceTo><type>Lookup</type>"),
            ChangeKind::Update, false);
    const std::vector rows{field};
    dependency::WarningList warnings;
    EXPECT_TRUE(blocked_dependency_rows(rows, warnings).empty());
}

TEST(BlockedDependencyRows, TheFirstPairNamesTheRequiringRow) {
    const auto blocked = row(key(MetadataType::CustomField, "Line__c.Amount__c"), plain_field("Amount__c"),
                             ChangeKind::Add, true, MetadataDeployScope::PermissionsOnly);
    const auto summary = [](std::string name) {
        return row(key(MetadataType::CustomField, std::move(name)),
                   document("CustomField", "<fullName>X__c</fullName><summarizedField>Line__c.Amount__c"
                                           "</summarizedField><type>Summary</type>"));
    };
    const std::vector rows{summary("B__c.X__c"), summary("A__c.X__c"), blocked};
    dependency::WarningList warnings;
    const PullInMap result = blocked_dependency_rows(rows, warnings);
    PullInMap expected{{blocked.key(), key(MetadataType::CustomField, "B__c.X__c")}};
    EXPECT_EQ(result, expected);
}

TEST(DeltaDependencyPairs, ChildBundlesComeFromTheReaderGiven) {
    const auto bundle = row(key(MetadataType::ProductBundle, "Bike"), "doc");
    const auto wheel = row(key(MetadataType::ProductBundle, "Wheel"), "");
    const auto broken = row(key(MetadataType::ProductBundle, "Broken"), "broken");
    const std::vector rows{bundle, wheel, broken};
    const ChildBundleReader reader = [](std::string_view text) -> std::optional<std::vector<ChildProduct>> {
        if (text == "broken") return std::nullopt;
        if (text != "doc") return std::vector<ChildProduct>{};
        return std::vector<ChildProduct>{{"Wheel", true}, {"Bike", true}, {"Bolt", false}, {"Seat", true},
                                         {"Seat", true}};
    };
    dependency::WarningList warnings;
    const auto pairs = delta_dependency_pairs(rows, warnings, reader);
    EXPECT_EQ(pairs, (std::vector<DependencyPair>{{bundle.key(), wheel.key()}}));
    EXPECT_EQ(warnings,
              (dependency::WarningList{"Product bundle Bike contains bundle Seat, which is not in this comparison.",
                                       "Could not parse Product Bundle 'Broken'; its dependencies were not "
                                       "followed."}));
    dependency::WarningList none;
    EXPECT_TRUE(delta_dependency_pairs(rows, none, ChildBundleReader{}).empty());
    EXPECT_TRUE(none.empty());
}

TEST(DeltaDependencyPairs, ChildBundlesAreReadFromBundleDocumentsByDefault) {
    const std::string document =
        "<ProductBundle xmlns=\"urn:quillary:revenue-cloud:product-bundle\"><childProducts>"
        "<childProduct name=\"Wheel\" bundle=\"true\"></childProduct><childProduct name=\"Bolt\"/>"
        "<childProduct name=\"Seat\" bundle=\"true\"/></childProducts></ProductBundle>";
    const auto bundle = row(key(MetadataType::ProductBundle, "Bike"), document);
    const auto wheel = row(key(MetadataType::ProductBundle, "Wheel"), "<ProductBundle/>");
    const std::vector rows{bundle, wheel};
    dependency::WarningList warnings;
    const auto pairs = delta_dependency_pairs(rows, warnings);
    EXPECT_EQ(pairs, (std::vector<DependencyPair>{{bundle.key(), wheel.key()}}));
    EXPECT_EQ(warnings,
              (dependency::WarningList{"Product bundle Bike contains bundle Seat, which is not in this comparison.",
                                       "Could not parse Product Bundle 'Wheel'; its dependencies were not "
                                       "followed."}));
}

TEST(DeltaDependencyPairs, NamedComponentsPassTheNameTest) {
    const std::pair<std::string_view, std::size_t> cases[] = {
        {"Colors", 1}, {"ns__Colors", 0}, {"Bad-Name", 0}};
    for (const auto& [value_set, count] : cases) {
        SCOPED_TRACE(value_set);
        const std::vector rows{row(key(MetadataType::CustomField, "Order__c.Color__c"),
                                   document("CustomField", fmt::format("<fullName>Color__c</fullName><valueSet>"
                                                                       "<valueSetName>{}</valueSetName></valueSet>",
                                                                       value_set)))};
        dependency::WarningList warnings;
        EXPECT_EQ(delta_dependency_pairs(rows, warnings).size(), count);
    }
}

TEST(LayoutElementDependencies, AWholeLayoutListsItsItemsThenItsRelatedLists) {
    const std::string text = document(
        "Layout",
        "<layoutSections><layoutColumns><layoutItems><field>Region__c</field></layoutItems><layoutItems><field>Name"
        "</field></layoutItems></layoutColumns></layoutSections><relatedLists><fields>Name</fields><fields>Level__c"
        "</fields><relatedList>Contact.Account__c</relatedList><sortField>Level__c</sortField></relatedLists>"
        "<relatedLists><relatedList>RelatedContactList</relatedList></relatedLists>");
    LayoutModelCache cache;
    const auto candidates = layout_element_dependencies(row(key(MetadataType::Layout, "Account-Account Layout"), text),
                                                        cache);
    EXPECT_EQ(candidates, (std::vector<LayoutDependencyCandidate>{
                              {"Account", "Region__c"}, {"Account", "Name"}, {"Contact", "Account__c"},
                              {"Contact", "Level__c"}}));
}

TEST(LayoutElementDependencies, ElementRowsAndTheModelCache) {
    const std::string text = read_corpus(kEbikes + "layouts/Order__c-Order Layout.layout-meta.xml");
    LayoutModelCache cache;
    // A field element needs no document at all.
    EXPECT_EQ(layout_element_dependencies(row(key(MetadataType::Layout, "Invoice__c-Invoice Layout::field:Total__c"),
                                              "not xml"),
                                          cache),
              (std::vector<LayoutDependencyCandidate>{{"Invoice__c", "Total__c"}}));
    EXPECT_TRUE(cache.empty());
    const auto related = [&](std::string_view element, std::string document_text) {
        return layout_element_dependencies(
            row(key(MetadataType::Layout, fmt::format("Order__c-Order Layout::relatedList:{}", element)),
                std::move(document_text)),
            cache);
    };
    EXPECT_EQ(related("Order_Item__c.Order__c", text),
              (std::vector<LayoutDependencyCandidate>{{"Order_Item__c", "Order__c"}}));
    // The second row of the layout reuses the first row's model.
    EXPECT_EQ(related("Order_Item__c.Order__c", "not xml"),
              (std::vector<LayoutDependencyCandidate>{{"Order_Item__c", "Order__c"}}));
    EXPECT_TRUE(related("Nothing.Here__c", text).empty());
    EXPECT_EQ(cache.size(), 1u);
    // A failure is cached too: a later good document of that layout is not parsed.
    EXPECT_TRUE(layout_element_dependencies(row(key(MetadataType::Layout, "Broken__c-Broken"), "<Layout"), cache)
                    .empty());
    EXPECT_TRUE(layout_element_dependencies(row(key(MetadataType::Layout, "Broken__c-Broken"), text), cache).empty());
    // No "-" in the layout name.
    EXPECT_TRUE(layout_element_dependencies(row(key(MetadataType::Layout, "NoDash"), text), cache).empty());
}

TEST(BuildDependencyGraph, CorpusLayoutsRequireTheirNewCustomFields) {
    const auto layout = row(key(MetadataType::Layout, "Product_Family__c-Product Family Layout"),
                            read_corpus(kEbikes + "layouts/Product_Family__c-Product Family Layout.layout-meta.xml"),
                            ChangeKind::Update);
    const auto family = row(key(MetadataType::CustomField, "Product__c.Product_Family__c"),
                            read_corpus(kEbikes + "objects/Product__c/fields/Product_Family__c.field-meta.xml"));
    const std::vector rows{layout, family};
    dependency::WarningList warnings;
    const auto graph = build_dependency_graph(rows, std::nullopt, {}, warnings);
    ASSERT_TRUE(graph.edges.contains(layout.key()));
    EXPECT_TRUE(graph.edges.at(layout.key()).contains(family.key()));
}

TEST(BuildDependencyGraph, NamedReferencesOfOtherTypes) {
    const auto group = row(key("PermissionSetGroup", "Sales"),
                           document("PermissionSetGroup", "<permissionSets>Edit</permissionSets><mutingPermissionSets>"
                                                          "ns__Packaged</mutingPermissionSets>"));
    const auto edit = row(key("PermissionSet", "Edit"), "");
    const auto packaged = row(key("PermissionSet", "ns__Packaged"), "");
    const auto version = row(key("ExpressionSetDefinitionVersion", "Price_V1"),
                             document("ExpressionSetDefinitionVersion",
                                      "<expressionSetDefinition>Price</expressionSetDefinition>"));
    const auto definition = row(key("ExpressionSetDefinition", "Price"), document("ExpressionSetDefinition", ""));
    const auto blocked_version = row(key("ExpressionSetDefinitionVersion", "Blocked_V1"),
                                     document("ExpressionSetDefinitionVersion",
                                              "<expressionSetDefinition>Blocked</expressionSetDefinition>"));
    const auto blocked_definition = row(key("ExpressionSetDefinition", "Blocked"), document("ExpressionSetDefinition", ""),
                                       ChangeKind::Update, false);
    const auto invalid_version = row(key("ExpressionSetDefinitionVersion", "Odd_V1"),
                                     document("ExpressionSetDefinitionVersion",
                                              "<expressionSetDefinition>Odd-Name</expressionSetDefinition>"));
    const auto link = row(key("DecisionTableDatasetLink", "Link"),
                          document("DecisionTableDatasetLink", "<sourceObject>Rate__c</sourceObject>"));
    const auto rate = row(key(MetadataType::CustomObject, "Rate__c"), "");
    const auto rate_field = row(key(MetadataType::CustomField, "Rate__c.Value__c"), plain_field("Value__c"));
    const auto broken_group = row(key("PermissionSetGroup", "Broken"), "<PermissionSetGroup");
    const std::vector rows{group, edit, packaged, version, definition, blocked_version, blocked_definition,
                           invalid_version, link, rate, rate_field, broken_group};
    dependency::WarningList warnings;
    const auto graph = build_dependency_graph(rows, std::nullopt, {}, warnings);
    EXPECT_EQ(graph.edges.at(group.key()), (std::set{edit.key(), packaged.key()}));
    EXPECT_EQ(graph.edges.at(version.key()), std::set{definition.key()});
    EXPECT_FALSE(graph.edges.contains(blocked_version.key()));
    EXPECT_FALSE(graph.edges.contains(invalid_version.key()));
    EXPECT_EQ(graph.edges.at(link.key()), (std::set{rate_field.key(), rate.key()}));
    EXPECT_EQ(warnings,
              (dependency::WarningList{
                  "Could not parse Permission Set Group 'Broken'; its dependencies were not followed.",
                  "Expression Set Definition name 'Odd-Name' referenced by 'Odd_V1' is not a valid member name; it "
                  "was not followed."}));
}

TEST(BuildDependencyGraph, UnknownWireIdsDisableTheirSteps) {
    static constexpr std::string_view kGroup = "PermissionSetGroup";
    const auto group = row(key("PermissionSetGroup", "Sales"),
                           document("PermissionSetGroup", "<permissionSets>Edit</permissionSets>"));
    const std::vector rows{group, row(key("PermissionSet", "Edit"), "")};
    dependency::WarningList warnings;
    EXPECT_TRUE(build_dependency_graph(rows, std::nullopt, {}, warnings, {}, lookup_without<kGroup>).edges.empty());
    EXPECT_FALSE(build_dependency_graph(rows, std::nullopt, {}, warnings).edges.empty());
}

TEST(BuildDependencyGraph, LayoutCandidatesMustBeUnpackagedCustomFields) {
    const auto layout = [](std::string element) {
        return row(key(MetadataType::Layout, "Invoice__c-Invoice Layout::field:" + element), "");
    };
    const std::vector rows{layout("Total__c"), layout("ns__Total__c"), layout("Name"), layout("__c"),
                           row(key(MetadataType::CustomField, "Invoice__c.Total__c"), plain_field("Total__c")),
                           row(key(MetadataType::CustomField, "Invoice__c.ns__Total__c"), plain_field("ns__Total__c")),
                           row(key(MetadataType::CustomField, "Invoice__c.__c"), plain_field("__c"))};
    dependency::WarningList warnings;
    const auto graph = build_dependency_graph(rows, std::nullopt, {}, warnings);
    // Only the length and the suffix are tested: "__c" passes, a packaged or standard name does not.
    RowKeyMap expected;
    expected[rows[0].key()] = {rows[4].key()};
    expected[rows[3].key()] = {rows[6].key()};
    EXPECT_EQ(graph.edges, expected);
}

}  // namespace
}  // namespace ambrel::app::testing
