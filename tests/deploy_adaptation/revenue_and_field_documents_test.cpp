// The context definition filter, release versions, expression set versions and statuses, release-
// gated tags, the tracking splice and the placeholder object on documents.

#include <fstream>
#include <sstream>

#include <gtest/gtest.h>

#include "adaptation_test_support.hpp"
#include "metadata/context_definition_filter/context_definition_filter.hpp"
#include "metadata/context_release_version/context_release_version.hpp"
#include "metadata/expression_set_definition_versions/expression_set_definition_versions.hpp"
#include "metadata/expression_set_version_status.hpp"
#include "metadata/object_placeholder/object_placeholder.hpp"
#include "metadata/release_gated_tags/release_gated_tags.hpp"
#include "metadata/tracking_merger/tracking_merger.hpp"
#include "support/test_paths.hpp"
#include "xml/xml.hpp"

namespace ambrel::adaptation_tests {
namespace {

namespace cdf = metadata::context_definition_filter;
namespace crv = metadata::context_release_version;
namespace esd = metadata::expression_set_definition_versions;
namespace esv = metadata::expression_set_version_status;
namespace rgt = metadata::release_gated_tags;
namespace tm = metadata::tracking_merger;
using testing::read_corpus;

const std::string kBom = "\xEF\xBB\xBF";

cli::SchemaListing listing(std::set<std::string> objects, std::set<std::pair<std::string, std::string>> fields) {
    cli::SchemaListing l;
    l.objects = std::move(objects);
    l.fields = std::move(fields);
    return l;
}

const std::string kContext = document(
    "ContextDefinition",
    "    <contextNodeMappings>\n        <object>Invoice__c</object>\n"
    "        <contextAttrHydrationDetails>\n            <objectName>Invoice__c</objectName>\n"
    "            <queryAttribute>Total__c</queryAttribute>\n"
    "            <contextAttrHydrationDetails>\n                <objectName>Account</objectName>\n"
    "                <queryAttribute>Region__c</queryAttribute>\n"
    "                <contextAttrHydrationDetails>\n                    <objectName>User</objectName>\n"
    "                    <queryAttribute>Deep__c</queryAttribute>\n                </contextAttrHydrationDetails>\n"
    "            </contextAttrHydrationDetails>\n        </contextAttrHydrationDetails>\n"
    "    </contextNodeMappings>\n"
    "    <contextNodeMappings>\n        <object>Account</object>\n    </contextNodeMappings>\n");

TEST(ContextDefinitionFilter, ADeepMissingFieldTakesItsWholeChain) {
    const auto source = listing({"Invoice__c", "Account", "User"},
                                {{"Invoice__c", "Total__c"}, {"Account", "Region__c"}, {"User", "Deep__c"}});
    const auto target = listing({"invoice__c", "Account", "User"}, {{"Invoice__c", "Total__c"}, {"Account", "Region__c"}});
    auto filtered = cdf::filter_context_definition(kContext, source, target, {});
    ASSERT_TRUE(filtered.has_value()) << filtered.error().message();
    EXPECT_EQ(filtered->document,
              document("ContextDefinition", "    <contextNodeMappings>\n        <object>Invoice__c</object>\n    </contextNodeMappings>\n"
                                            "    <contextNodeMappings>\n        <object>Account</object>\n    </contextNodeMappings>\n"));
    EXPECT_EQ(filtered->message(), "Kept 0 of 3 field references and 2 of 2 object mappings in this context; 1 left out: "
                                   "User.Deep__c; 2 more removed with their hydration chain.");
}

TEST(ContextDefinitionFilter, AMissingObjectLeavesWithItsMappingAndUnknownReferencesStay) {
    const auto source = listing({"Invoice__c", "Account"}, {});
    const auto target = listing({"Account"}, {});
    auto filtered = cdf::filter_context_definition(kContext, source, target, {});
    ASSERT_TRUE(filtered.has_value());
    EXPECT_EQ(filtered->left_out_objects, std::set<std::string>{"Invoice__c"});
    EXPECT_EQ(filtered->message(), "Kept 0 of 3 field references and 1 of 2 object mappings in this context; 1 left out: "
                                   "Invoice__c; 3 more removed with their hydration chain.");
    auto same = cdf::filter_context_definition(kContext, source, source, {});
    ASSERT_TRUE(same.has_value());
    EXPECT_EQ(same->document, kContext);
    EXPECT_EQ(same->message(), std::nullopt);
    cdf::ExplicitOmissions omissions;
    omissions.objects = {"ACCOUNT"};
    auto omitted = cdf::filter_context_definition(kContext, {}, {}, omissions);
    ASSERT_TRUE(omitted.has_value());
    EXPECT_EQ(omitted->left_out_objects, std::set<std::string>{"Account"});
}

TEST(ContextDefinitionFilter, RefusalsAndReferences) {
    auto unclosed = cdf::referenced_components("<ContextDefinition xmlns=\"" + std::string(kNs) +
                                               "\"><contextNodeMappings><object>A</object>");
    ASSERT_FALSE(unclosed.has_value());
    EXPECT_EQ(unclosed.error().message(), "document is not properly closed");
    auto names = cdf::referenced_object_names(kContext);
    ASSERT_TRUE(names.has_value());
    EXPECT_EQ(*names, (std::set<std::string>{"Account", "Invoice__c", "User"}));
}

TEST(ReleaseVersion, ReadsParsesAndRewritesOnlyDownwards) {
    const std::string doc = kBom + document("ContextDefinition", "    <releaseVersion> 66.0 </releaseVersion>\n"
                                                                 "    <releaseVersion>99</releaseVersion>\n");
    auto tag = crv::release_version(doc);
    ASSERT_TRUE(tag.has_value());
    ASSERT_TRUE(tag->has_value());
    EXPECT_EQ((*tag)->value, "66.0");
    EXPECT_EQ(doc.substr((*tag)->start, (*tag)->end - (*tag)->start), " 66.0 ");
    struct Case {
        std::string target;
        bool rewritten;
    };
    for (const Case& c : std::vector<Case>{{"65.0", true}, {"66", false}, {"67.0", false}, {"+65", false}, {"65..0", false},
                                           {"99999999999999999999", false}}) {
        SCOPED_TRACE(c.target);
        auto rewrite = crv::rewrite_release_version(doc, c.target);
        ASSERT_TRUE(rewrite.has_value());
        EXPECT_EQ(rewrite->has_value(), c.rewritten);
    }
    auto rewrite = crv::rewrite_release_version(doc, " 65.0 ");
    ASSERT_TRUE(rewrite.has_value() && rewrite->has_value());
    EXPECT_EQ((*rewrite)->document, kBom + document("ContextDefinition", "    <releaseVersion>65.0</releaseVersion>\n"
                                                                         "    <releaseVersion>99</releaseVersion>\n"));
    EXPECT_EQ((*rewrite)->previous, "66.0");
    EXPECT_EQ(crv::parse_release_version("01.2"), (std::vector<std::uint64_t>{1, 2}));
    auto unclosed = crv::release_version("<ContextDefinition xmlns=\"" + std::string(kNs) + "\">");
    ASSERT_FALSE(unclosed.has_value());
    EXPECT_EQ(unclosed.error().message(), crv::kNoClosingRoot);
}

const std::string kDefinition = document(
    "ExpressionSetDefinition",
    "    <label>D</label>\n"
    "    <versions>\n        <fullName>V1</fullName>\n        <status>Active</status>\n    </versions>\n"
    "\t<versions>\r\n        <fullName>V2</fullName>\n        <status>Active</status>\n    </versions>\r\n"
    "    <versions>\n        <status>Draft</status>\n    </versions>\n"
    "    <usageSubtype>RevenueCloud</usageSubtype>\n");

TEST(ExpressionSetVersions, StripsEveryBlockInOnePass) {
    auto stripped = esd::strip_versions(kDefinition);
    ASSERT_TRUE(stripped.has_value()) << stripped.error();
    EXPECT_EQ(stripped->document,
              document("ExpressionSetDefinition", "    <label>D</label>\n    <usageSubtype>RevenueCloud</usageSubtype>\n"));
    EXPECT_EQ(stripped->names, (std::vector<std::string>{"V1", "V2"}));
    EXPECT_EQ(stripped->unnamed, 1u);
}

TEST(ExpressionSetVersions, PlansARemovalFollowedByStatusRewrites) {
    auto planned = esd::plan_package_versions(kBom + kDefinition, {"V2"});
    ASSERT_TRUE(planned.has_value()) << planned.error();
    EXPECT_EQ(planned->document,
              kBom + document("ExpressionSetDefinition",
                              "    <label>D</label>\n"
                              "    <versions>\n        <fullName>V1</fullName>\n        <status>Inactive</status>\n    </versions>\n"
                              "    <versions>\n        <status>Inactive</status>\n    </versions>\n"
                              "    <usageSubtype>RevenueCloud</usageSubtype>\n"));
    EXPECT_EQ(planned->kept, std::vector<std::string>{"V1"});
    EXPECT_EQ(planned->left_out, std::vector<std::string>{"V2"});
    EXPECT_EQ(planned->unnamed, 1u);
    auto wrong = esd::version_blocks(document("PricingRecipe", ""));
    ASSERT_FALSE(wrong.has_value());
    EXPECT_EQ(wrong.error(), "the root element is `PricingRecipe`, not `ExpressionSetDefinition`");
}

TEST(ReleaseGatedTags, RemovesEveryMatchingElement) {
    const std::string doc = document("ExpressionSetDefinition", "    <usageSubtype> RevenueCloud </usageSubtype>\n"
                                                                "    <label>L</label>\n"
                                                                "    <usageSubtype>RevenueCloud</usageSubtype>\n"
                                                                "    <usageSubtype>Other</usageSubtype>\n");
    auto stripped = rgt::strip_release_gated_tag(doc, "ExpressionSetDefinition");
    ASSERT_TRUE(stripped.has_value() && stripped->has_value());
    EXPECT_EQ((*stripped)->document,
              document("ExpressionSetDefinition", "    <label>L</label>\n    <usageSubtype>Other</usageSubtype>\n"));
    EXPECT_EQ((*stripped)->removed, 2u);
    auto wrong = rgt::strip_release_gated_tag(doc, "PricingRecipe");
    ASSERT_FALSE(wrong.has_value());
    EXPECT_EQ(wrong.error(), "root element must be PricingRecipe");
    auto none = rgt::strip_release_gated_tag(doc, "Flow");
    ASSERT_TRUE(none.has_value());
    EXPECT_FALSE(none->has_value());
}

TEST(ExpressionSetStatus, RewritesOnlyAnExactActive) {
    const auto version = [](std::string status) {
        return document("ExpressionSetDefinitionVersion",
                        "    <expressionSetDefinition>Def</expressionSetDefinition>\n    <status>" + status + "</status>\n");
    };
    auto rewrite = esv::rewrite_status_inactive(version("Active"));
    ASSERT_TRUE(rewrite.has_value() && rewrite->has_value());
    EXPECT_EQ((*rewrite)->document, version("Inactive"));
    for (const std::string status : {"active", " Active", "Draft"}) {
        SCOPED_TRACE(status);
        auto none = esv::rewrite_status_inactive(version(status));
        ASSERT_TRUE(none.has_value());
        EXPECT_FALSE(none->has_value());
    }
    EXPECT_EQ(esv::definition_name(version("Active")).value(), "Def");
}

TEST(TrackingSplice, ReplacesOrInsertsBothSwitches) {
    struct Case {
        std::string name;
        std::string input;
        std::string expected;
    };
    const std::string open = "<CustomField xmlns=\"" + std::string(kNs) + "\">";
    const std::vector<Case> cases = {
        {"both present", open + "\n    <trackFeedHistory>false</trackFeedHistory>\n    <trackHistory>false</trackHistory>\n</CustomField>",
         open + "\n    <trackFeedHistory>true</trackFeedHistory>\n    <trackHistory>true</trackHistory>\n</CustomField>"},
        {"neither, before type", open + "\n    <label>L</label>\n    <type>Text</type>\n</CustomField>",
         open + "\n    <label>L</label>\n    <trackFeedHistory>true</trackFeedHistory>\n    <trackHistory>true</trackHistory>\n    <type>Text</type>\n</CustomField>"},
        {"crlf", open + "\r\n    <type>Text</type>\r\n</CustomField>",
         open + "\r\n    <trackFeedHistory>true</trackFeedHistory>\r\n    <trackHistory>true</trackHistory>\r\n    <type>Text</type>\r\n</CustomField>"},
        {"after the last", kBom + open + "\n  <fullName>F</fullName>\n  <label>L</label>\n</CustomField>",
         kBom + open + "\n  <fullName>F</fullName>\n  <label>L</label>\n  <trackFeedHistory>true</trackFeedHistory>\n  <trackHistory>true</trackHistory>\n</CustomField>"},
        {"empty root", open + "</CustomField>",
         open + "\n    <trackFeedHistory>true</trackFeedHistory>\n    <trackHistory>true</trackHistory>\n</CustomField>"},
        {"prefixed namespace", "<md:CustomField xmlns:md=\"" + std::string(kNs) + "\">\n    <md:type>Text</md:type>\n</md:CustomField>",
         "<md:CustomField xmlns:md=\"" + std::string(kNs) + "\">\n    <md:trackFeedHistory>true</md:trackFeedHistory>\n    <md:trackHistory>true</md:trackHistory>\n    <md:type>Text</md:type>\n</md:CustomField>"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        auto spliced = tm::splice_tracking(c.input, true, true);
        ASSERT_TRUE(spliced.has_value()) << spliced.error();
        EXPECT_EQ(*spliced, c.expected);
    }
    auto unclosed = tm::splice_tracking(open, true, false);
    ASSERT_FALSE(unclosed.has_value());
    EXPECT_EQ(unclosed.error(), tm::kNoClosingRoot);
}

TEST(TrackingSplice, CorpusFieldKeepsEverythingElse) {
    const std::string original = read_corpus("dreamhouse-lwc/force-app/main/default/objects/Broker__c/fields/Phone__c.field-meta.xml");
    ASSERT_FALSE(original.empty());
    auto spliced = tm::splice_tracking(original, true, false);
    ASSERT_TRUE(spliced.has_value()) << spliced.error();
    EXPECT_NE(spliced->find("<trackHistory>true</trackHistory>"), std::string::npos);
    EXPECT_NE(spliced->find("<trackFeedHistory>false</trackFeedHistory>"), std::string::npos);
    ASSERT_EQ(original.find("<trackHistory>"), std::string::npos);
    ASSERT_EQ(original.find("<trackFeedHistory>"), std::string::npos);
    // Taking out the two inserted lines gives the original bytes back.
    std::string restored = *spliced;
    for (const std::string element : {"<trackHistory>true</trackHistory>", "<trackFeedHistory>false</trackFeedHistory>"}) {
        const auto at = restored.find(element);
        const auto line_start = restored.rfind('\n', at) + 1;
        restored.erase(line_start, at + element.size() + 1 - line_start);
    }
    EXPECT_EQ(restored, original);
}

TEST(Placeholder, ObjectDocumentForEachObjectType) {
    domain::MetadataComponent component;
    component.key = ComponentKey{MetadataType::CustomObject, "Invoice__c"};
    const auto& descriptor = MetadataType::CustomObject.descriptor();
    component.attributes.resize(descriptor.attributes.size());
    for (std::size_t i = 0; i < descriptor.attributes.size(); ++i) {
        if (descriptor.attributes[i].element == "label") component.attributes[i].value = domain::AttributeValue::Text{"R&D <Lab>"};
    }
    component.document = document("CustomObject", "    <nameField>\n        <label>Name</label>\n    </nameField>\n");
    auto xml = metadata::object_placeholder::placeholder_object_xml(descriptor, component);
    ASSERT_TRUE(xml.has_value()) << xml.error();
    EXPECT_EQ(*xml, "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<CustomObject xmlns=\"" + std::string(kNs) +
                        "\">\n    <label>R&amp;D &lt;Lab&gt;</label>\n    <nameField>\n        <label>Name</label>\n    </nameField>\n</CustomObject>\n");
    component.document = document("CustomObject", "");
    auto missing = metadata::object_placeholder::placeholder_object_xml(descriptor, component);
    ASSERT_FALSE(missing.has_value());
    EXPECT_EQ(missing.error(), "Cannot create CustomObject 'Invoice__c': its source metadata has no nameField element.");
    domain::MetadataComponent event = component;
    event.key = ComponentKey{MetadataType::PlatformEvent, "Order__e"};
    event.attributes.assign(MetadataType::PlatformEvent.descriptor().attributes.size(), domain::AttributeValue{});
    auto placeholder = metadata::object_placeholder::placeholder_object_xml(MetadataType::PlatformEvent.descriptor(), event);
    ASSERT_TRUE(placeholder.has_value()) << placeholder.error();
    EXPECT_EQ(placeholder->find("nameField"), std::string::npos);
}

// A nameField written with the source root's prefix stays in the metadata namespace under the
// placeholder's unprefixed root: the root repeats the declarations the nameField uses.
TEST(Placeholder, APrefixedNameFieldKeepsItsPrefixBound) {
    domain::MetadataComponent component;
    component.key = ComponentKey{MetadataType::CustomObject, "Invoice__c"};
    const auto& descriptor = MetadataType::CustomObject.descriptor();
    component.attributes.resize(descriptor.attributes.size());
    const std::string ns(kNs);
    component.document = "<m:CustomObject xmlns:m='" + ns +
                         "' xmlns:x=\"urn:unused\">\n    <m:nameField m:kind=\"a\">\n        <m:label>Name</m:label>\n"
                         "    </m:nameField>\n</m:CustomObject>\n";
    auto xml = metadata::object_placeholder::placeholder_object_xml(descriptor, component);
    ASSERT_TRUE(xml.has_value()) << xml.error();
    EXPECT_EQ(*xml, "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<CustomObject xmlns=\"" + ns + "\" xmlns:m='" + ns +
                        "'>\n    <m:nameField m:kind=\"a\">\n        <m:label>Name</m:label>\n    </m:nameField>\n"
                        "</CustomObject>\n");
    xml::Reader reader(*xml);
    bool bound = false;
    for (auto event = reader.next(); event && event->kind != xml::EventKind::Eof; event = reader.next()) {
        if (event->kind == xml::EventKind::Start && event->local_name() == "nameField") {
            bound = reader.resolve_element(*event).is(kNs);
        }
    }
    EXPECT_TRUE(bound);
    // An empty-element nameField under a prefixed root is copied with its binding as well.
    component.document = "<m:CustomObject xmlns:m=\"" + ns + "\"><m:nameField/></m:CustomObject>";
    auto empty = metadata::object_placeholder::placeholder_object_xml(descriptor, component);
    ASSERT_TRUE(empty.has_value()) << empty.error();
    EXPECT_NE(empty->find("<CustomObject xmlns=\"" + ns + "\" xmlns:m=\"" + ns + "\">\n    <m:nameField/>\n"),
              std::string::npos)
        << *empty;
}

}  // namespace
}  // namespace ambrel::adaptation_tests

namespace ambrel::adaptation_tests {
namespace {

// Hostile documents for each revenue and field document function: a result or a refusal, never a
// crash, never an expanded entity.
TEST(RevenueDocuments, HostileDocumentsGiveAResultOrARefusal) {
    const std::string ns = std::string(kNs);
    const auto deep = [&](const std::string& root) {
        std::string text = "<" + root + " xmlns=\"" + ns + "\">";
        for (int i = 0; i < 100000; ++i) text += "<a>";
        for (int i = 0; i < 100000; ++i) text += "</a>";
        return text + "</" + root + ">";
    };
    const auto laughs = [&](const std::string& root, const std::string& child) {
        return "<!DOCTYPE r [<!ENTITY lol \"lol\"><!ENTITY lol2 \"&lol;&lol;\">]><" + root + " xmlns=\"" + ns + "\"><" +
               child + ">&lol2;</" + child + "></" + root + ">";
    };
    const auto unclosed = [&](const std::string& root) { return "<" + root + " xmlns=\"" + ns + "\"><x>1</x>"; };
    const auto malformed = [&](const std::string& root) { return "<" + root + " xmlns=\"" + ns + "\"><x></y></" + root + ">"; };
    const std::string bom_crlf_cdata = "\xEF\xBB\xBF\xEF\xBB\xBF<ContextDefinition xmlns=\"" + ns +
                                       "\">\r\n  <releaseVersion><![CDATA[70]]>66.0</releaseVersion>\r\n</ContextDefinition>";

    for (const std::string& input : {deep("ContextDefinition"), laughs("ContextDefinition", "releaseVersion"),
                                     unclosed("ContextDefinition"), malformed("ContextDefinition"), bom_crlf_cdata}) {
        auto filtered = cdf::filter_context_definition(input, {}, {}, {});
        if (filtered) {
            EXPECT_EQ(filtered->document, input);
        }
        auto rewrite = crv::rewrite_release_version(input, "65.0");
        (void)rewrite;
    }
    auto cdata = crv::rewrite_release_version(bom_crlf_cdata, "65.0");
    ASSERT_TRUE(cdata.has_value() && cdata->has_value());
    EXPECT_EQ((*cdata)->document, "\xEF\xBB\xBF\xEF\xBB\xBF<ContextDefinition xmlns=\"" + ns +
                                      "\">\r\n  <releaseVersion>65.0</releaseVersion>\r\n</ContextDefinition>");
    EXPECT_FALSE(crv::rewrite_release_version(unclosed("ContextDefinition"), "65.0").has_value());

    for (const std::string& input : {deep("ExpressionSetDefinition"), laughs("ExpressionSetDefinition", "usageSubtype"),
                                     unclosed("ExpressionSetDefinition"), malformed("ExpressionSetDefinition")}) {
        auto stripped = esd::strip_versions(input);
        if (stripped) {
            EXPECT_EQ(stripped->document, input);
        }
        auto gated = rgt::strip_release_gated_tag(input, "ExpressionSetDefinition");
        if (gated && *gated) ADD_FAILURE() << "an undecodable or absent tag was removed";
    }
    for (const std::string& input : {deep("CustomField"), laughs("CustomField", "trackHistory"), unclosed("CustomField"),
                                     malformed("CustomField")}) {
        auto spliced = tm::splice_tracking(input, true, true);
        if (spliced) {
            EXPECT_NE(spliced->find("<trackHistory>true</trackHistory>"), std::string::npos);
        }
    }
    EXPECT_FALSE(tm::splice_tracking(unclosed("CustomField"), true, true).has_value());
    // An entity the document declares is never expanded: the status reads as empty.
    auto status = esv::root_child(laughs("ExpressionSetDefinitionVersion", "status"), "status");
    ASSERT_TRUE(status.has_value() && status->has_value());
    EXPECT_EQ((*status)->text, "");
}

}  // namespace
}  // namespace ambrel::adaptation_tests
