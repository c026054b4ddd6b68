#include <filesystem>
#include <map>
#include <set>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "metadata/component_reading.hpp"
#include "support/source_tree.hpp"
#include "metadata_types/metadata_type.hpp"
#include "support/test_paths.hpp"

namespace ambrel::metadata {
namespace {

using metadata_types::MetadataType;
using testing::metadata_document;
using testing::names_of;
using testing::SourceTree;
using ::testing::Contains;
using ::testing::IsEmpty;

TEST(ComponentReading, RecordDataTypesAreRefusedBeforeAnyFileIsTouched) {
    // A folder that does not exist would make any reader answer an empty list, not this sentence.
    const auto read = read_components(MetadataType::DataRecord(0), "/nonexistent/for/sure");
    ASSERT_FALSE(read.has_value());
    EXPECT_EQ(read.error().message(), "Revenue Cloud records are not retrieved as metadata.");
}

TEST(ComponentReading, EveryFixedTypeReachesItsReader) {
    SourceTree tree;
    tree.file("objects/Account/fields/Amount__c.field-meta.xml",
              metadata_document("CustomField", "<type>Number</type><length>5</length><required>true</required>"));
    tree.file("objects/Account/Account.object-meta.xml", metadata_document("CustomObject", "<label>Account</label>"));
    tree.file("classes/Foo.cls", "class");
    tree.file("classes/Foo.cls-meta.xml", metadata_document("ApexClass", ""));
    tree.file("lwc/cmp/cmp.js", "js");
    tree.file("flows/F.flow-meta.xml", metadata_document("Flow", ""));
    tree.file("layouts/Account-Account Layout.layout-meta.xml", metadata_document("Layout", ""));
    tree.file("flexipages/P.flexipage-meta.xml", metadata_document("FlexiPage", ""));

    struct Case {
        MetadataType type;
        std::vector<std::string> names;
    };
    const Case cases[] = {
        {MetadataType::CustomField, {"Account.Amount__c"}},
        {MetadataType::CustomObject, {"Account"}},
        {MetadataType::CustomMetadataType, {"Account"}},
        {MetadataType::ApexClass, {"Foo"}},
        {MetadataType::ApexTrigger, {}},
        {MetadataType::LightningComponentBundle, {"cmp"}},
        {MetadataType::AuraDefinitionBundle, {}},
        {MetadataType::Flow, {"F"}},
        {MetadataType::Layout, {"Account-Account Layout"}},
        {*MetadataType::from_api_name("FlexiPage"), {"P"}},
        {MetadataType::ProductBundle, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.type.wire_id());
        const auto read = read_components(c.type, tree.root());
        ASSERT_TRUE(read.has_value()) << read.error().message();
        EXPECT_EQ(names_of(*read), c.names);
    }
    const auto fields = read_components(MetadataType::CustomField, tree.root());
    ASSERT_TRUE(fields.has_value());
    EXPECT_TRUE(fields->front().required);
    EXPECT_EQ(fields->front().attributes.size(), 8u);
    EXPECT_EQ(fields->front().attributes[4].number_value(), 5);
}

TEST(ComponentReading, AReaderErrorBecomesItsDisplayText) {
    SourceTree tree;
    const auto page = tree.file("flexipages/P.flexipage-meta.xml", metadata_document("CustomTab", ""));
    const auto read = read_components(*MetadataType::from_api_name("FlexiPage"), tree.root());
    ASSERT_FALSE(read.has_value());
    EXPECT_EQ(read.error().message(),
              "Invalid flexi page metadata in " + page.string() + ": root element must be FlexiPage");
}

std::string text_of(const domain::AttributeValue& value) {
    const std::string* text = value.text_value();
    return text != nullptr ? *text : std::string("(absent)");
}

std::string tooling_document(std::string_view root, std::string_view body) {
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<" + std::string(root) +
           " xmlns=\"urn:metadata.tooling.soap.sforce.com\" xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\">\n" +
           std::string(body) + "\n</" + std::string(root) + ">\n";
}

TEST(ComponentReading, DocumentsInTheToolingNamespaceReadAsMetadataApiDocuments) {
    SourceTree tree;
    const std::string sidecar = tooling_document("ApexClass", "<apiVersion>28.0</apiVersion><status>Active</status>");
    tree.file("classes/PagedResult.cls", "public class PagedResult {}");
    tree.file("classes/PagedResult.cls-meta.xml", sidecar);
    tree.file("triggers/T.trigger", "trigger T on Account (before insert) {}");
    tree.file("triggers/T.trigger-meta.xml", tooling_document("ApexTrigger", "<apiVersion>30.0</apiVersion>"));
    tree.file("objects/Account/fields/F__c.field-meta.xml", tooling_document("CustomField", "<label>F</label>"));
    tree.file("objects/Account/Account.object-meta.xml", tooling_document("CustomObject", "<label>Account</label>"));
    tree.file("flows/F.flow-meta.xml", tooling_document("Flow", "<label>Flow</label>"));
    tree.file("flexipages/P.flexipage-meta.xml", tooling_document("FlexiPage", ""));
    tree.file("labels/CustomLabels.labels-meta.xml",
              tooling_document("CustomLabels", "<labels><fullName>Greeting</fullName></labels>"));

    const auto classes = read_components(MetadataType::ApexClass, tree.root());
    ASSERT_TRUE(classes.has_value()) << classes.error().message();
    ASSERT_EQ(names_of(*classes), std::vector<std::string>{"PagedResult"});
    EXPECT_EQ(text_of(classes->front().attributes[0]), "28.0");
    EXPECT_EQ(text_of(classes->front().attributes[1]), "Active");
    // The document stays as written: it is deployed and committed byte for byte.
    EXPECT_EQ(classes->front().document, sidecar);

    struct Case {
        MetadataType type;
        std::vector<std::string> names;
    };
    const Case cases[] = {
        {MetadataType::ApexTrigger, {"T"}},
        {MetadataType::CustomField, {"Account.F__c"}},
        {MetadataType::CustomObject, {"Account"}},
        {MetadataType::Flow, {"F"}},
        {*MetadataType::from_api_name("FlexiPage"), {"P"}},
        {*MetadataType::from_api_name("CustomLabel"), {"Greeting"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.type.wire_id());
        const auto read = read_components(c.type, tree.root());
        ASSERT_TRUE(read.has_value()) << read.error().message();
        EXPECT_EQ(names_of(*read), c.names);
    }
    const auto fields = read_components(MetadataType::CustomField, tree.root());
    ASSERT_TRUE(fields.has_value());
    EXPECT_EQ(text_of(fields->front().attributes[7]), "F");
}

TEST(ComponentReading, AnInvalidDocumentIsNamedByItsOwnKind) {
    struct Case {
        MetadataType type;
        std::string file;
        std::string kind;
        std::string root;
    };
    const Case cases[] = {
        {MetadataType::ApexClass, "classes/PagedResult.cls-meta.xml", "Apex class", "ApexClass"},
        {MetadataType::ApexTrigger, "triggers/T.trigger-meta.xml", "Apex trigger", "ApexTrigger"},
        {MetadataType::ApexPage, "pages/P.page-meta.xml", "Visualforce page", "ApexPage"},
        {MetadataType::CustomField, "objects/Account/fields/F__c.field-meta.xml", "custom field", "CustomField"},
        {MetadataType::CustomObject, "objects/Account/Account.object-meta.xml", "custom object", "CustomObject"},
        {MetadataType::PlatformEvent, "objects/Account/Account.object-meta.xml", "platform event", "CustomObject"},
        {MetadataType::Flow, "flows/F.flow-meta.xml", "flow", "Flow"},
        {MetadataType::Layout, "layouts/A-A.layout-meta.xml", "page layout", "Layout"},
        {*MetadataType::from_api_name("IPAddressRange"), "IPAddressRanges/R.IPAddressRange-meta.xml",
         "IP address range", "IPAddressRange"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.type.wire_id());
        SourceTree tree;
        tree.file("classes/PagedResult.cls", "public class PagedResult {}");
        tree.file("triggers/T.trigger", "trigger T on Account (before insert) {}");
        tree.file("pages/P.page", "<apex:page/>");
        const auto path = tree.file(c.file, metadata_document("Wrong", ""));
        const auto read = read_components(c.type, tree.root());
        ASSERT_FALSE(read.has_value());
        EXPECT_EQ(read.error().message(),
                  "Invalid " + c.kind + " metadata in " + path.string() + ": root element must be " + c.root);
    }
}

TEST(ComponentReading, DocumentsThatAreNotWellFormedAreRefused) {
    const std::string ns = "http://soap.sforce.com/2006/04/metadata";
    struct Case {
        std::string name;
        std::string document;
        std::string reason;
    };
    const Case cases[] = {
        {"root never closed", "<Flow xmlns=\"" + ns + "\">\n<label>F</label>\n",
         "root element <Flow> is not closed at line 3, column 1"},
        {"end tag after the root", "<Flow xmlns=\"" + ns + "\"/>\n</label>",
         "end tag </label> has no open element at line 2, column 1"},
        {"words after the root", "<Flow xmlns=\"" + ns + "\"></Flow>\nstray",
         "text after the end of the root element <Flow> at line 2, column 1"},
        {"element after the root", "<Flow xmlns=\"" + ns + "\"></Flow>\n<label>F</label>",
         "element <label> after the end of the root element <Flow> at line 2, column 1"},
        {"second root", "<Flow xmlns=\"" + ns + "\"></Flow>\n<Flow xmlns=\"" + ns + "\"></Flow>\n",
         "element <Flow> after the end of the root element <Flow> at line 2, column 1"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        SourceTree tree;
        const auto path = tree.file("flows/F.flow-meta.xml", c.document);
        const auto read = read_components(MetadataType::Flow, tree.root());
        ASSERT_FALSE(read.has_value());
        EXPECT_EQ(read.error().message(), "Invalid flow metadata in " + path.string() + ": " + c.reason);
    }
}

TEST(ComponentReading, MissingOrLinkedTypeFoldersGiveEmptyListsForEveryType) {
    SourceTree real;
    real.file("objects/Account/Account.object-meta.xml", metadata_document("CustomObject", ""));
    real.file("objects/Account/fields/F__c.field-meta.xml", metadata_document("CustomField", ""));
    real.file("objects/Account/listViews/All.listView-meta.xml", metadata_document("ListView", ""));
    real.file("classes/Foo.cls", "class");
    real.file("classes/Foo.cls-meta.xml", metadata_document("ApexClass", ""));
    real.file("lwc/cmp/cmp.js", "js");
    real.file("flows/F.flow-meta.xml", metadata_document("Flow", ""));
    real.file("layouts/A-A.layout-meta.xml", metadata_document("Layout", ""));
    real.file("flexipages/P.flexipage-meta.xml", metadata_document("FlexiPage", ""));
    real.file("labels/CustomLabels.labels-meta.xml",
              metadata_document("CustomLabels", "<labels><fullName>L</fullName></labels>"));

    SourceTree empty;
    SourceTree linked;
    for (const auto& entry : std::filesystem::directory_iterator(real.root())) {
        linked.link(entry.path().filename(), entry.path());
    }
    for (const MetadataType type : metadata_types::all_metadata_types()) {
        SCOPED_TRACE(type.wire_id());
        const auto direct = read_components(type, real.root());
        ASSERT_TRUE(direct.has_value()) << direct.error().message();
        for (const SourceTree* tree : {&empty, &linked}) {
            const auto read = read_components(type, tree->root());
            ASSERT_TRUE(read.has_value()) << read.error().message();
            EXPECT_THAT(*read, IsEmpty());
        }
    }
}

// Every document of the corpus projects reads through its reader without error.
TEST(ComponentReading, TheCorpusReadsWithoutError) {
    const std::filesystem::path corpus = ambrel::testing::corpus_dir();
    if (!std::filesystem::is_directory(corpus)) AMBREL_SKIP_UNLESS_CI("metadata corpus missing");
    std::map<std::string, std::set<std::string>> names;  // "project/type" -> names
    for (const char* project : {"dreamhouse-lwc", "ebikes-lwc"}) {
        const std::filesystem::path root = corpus / project / "force-app/main/default";
        ASSERT_TRUE(std::filesystem::is_directory(root)) << root;
        for (const MetadataType type : metadata_types::all_metadata_types()) {
            SCOPED_TRACE(std::string(project) + " " + std::string(type.wire_id()));
            const auto read = read_components(type, root);
            ASSERT_TRUE(read.has_value()) << read.error().message();
            for (const std::string& name : names_of(*read)) {
                names[std::string(project) + "/" + std::string(type.wire_id())].insert(name);
            }
        }
    }
    EXPECT_THAT(names["dreamhouse-lwc/CustomField"], Contains("Broker__c.Email__c"));
    EXPECT_THAT(names["dreamhouse-lwc/CustomObject"], Contains("Property__c"));
    EXPECT_THAT(names["ebikes-lwc/PlatformEvent"], Contains("Manufacturing_Event__e"));
    EXPECT_THAT(names["dreamhouse-lwc/ListView"], Contains("Property__c.All"));
    EXPECT_THAT(names["dreamhouse-lwc/CompactLayout"], Contains("Property__c.Property_Compact_Layout"));
    EXPECT_THAT(names["dreamhouse-lwc/Flow"], Contains("Create_property"));
    EXPECT_THAT(names["dreamhouse-lwc/LightningComponentBundle"], Contains("paginator"));
    EXPECT_THAT(names["dreamhouse-lwc/AuraDefinitionBundle"], Contains("pageTemplate_2_7_3"));
    EXPECT_FALSE(names["dreamhouse-lwc/FlexiPage"].empty());
    EXPECT_FALSE(names["dreamhouse-lwc/CustomTab"].empty());
    EXPECT_FALSE(names["ebikes-lwc/PermissionSet"].empty());
    EXPECT_FALSE(names["ebikes-lwc/Layout"].empty());
    // The corpus keeps Apex sidecars without their bodies, so no Apex component comes out.
    EXPECT_THAT(names["dreamhouse-lwc/ApexClass"], IsEmpty());
    EXPECT_THAT(names["ebikes-lwc/ApexPage"], IsEmpty());
}

}  // namespace
}  // namespace ambrel::metadata
