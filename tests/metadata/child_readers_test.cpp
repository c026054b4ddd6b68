#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "metadata/component_reading.hpp"
#include "metadata/container_child_reader.hpp"
#include "metadata/generic_reader.hpp"
#include "metadata/object_child_reader.hpp"
#include "support/source_tree.hpp"

namespace ambrel::metadata {
namespace {

using metadata_types::MetadataType;
using testing::metadata_document;
using testing::names_of;
using testing::registry_type;
using testing::SourceTree;
using ::testing::ElementsAre;
using ::testing::IsEmpty;

const std::string kRule = metadata_document("ValidationRule", "<active>true</active>");

// ---------------------------------------------------------------------------------------------
// Object children
// ---------------------------------------------------------------------------------------------

TEST(ObjectChildReader, NamesAndEntries) {
    SourceTree tree;
    tree.file("objects/Account/validationRules/Amount_Positive.validationRule-meta.xml", kRule);
    tree.file("objects/Account/validationRules/B.validationRule-meta.xml", kRule);
    tree.file("objects/Account/validationRules/.validationRule-meta.xml", kRule);
    tree.file("objects/Account/validationRules/Low.VALIDATIONRULE-meta.xml", kRule);
    tree.file("objects/Account/validationRules/Dot.ted.validationRule-meta.xml", kRule);
    tree.file("objects/Account/validationRules/ns__Rule.validationRule-meta.xml", kRule);
    tree.folder("objects/Account/validationRules/Sub.validationRule-meta.xml");
    tree.link("objects/Account/validationRules/Link.validationRule-meta.xml",
              tree.root() / "objects/Account/validationRules/B.validationRule-meta.xml");
    tree.file("objects/Contact/validationRules/A.validationRule-meta.xml", kRule);
    tree.file("objects/Contact/validationRules/B.validationRule-meta.xml", kRule);
    tree.file("objects/ns__Thing__c/validationRules/Rule.validationRule-meta.xml", kRule);
    tree.file("objects/Dotted.Object/validationRules/X.validationRule-meta.xml", kRule);
    tree.file("objects/NoRules/listViews/All.listView-meta.xml", metadata_document("ListView", ""));
    tree.file("elsewhere/R.validationRule-meta.xml", kRule);
    tree.folder("objects/LinkedRules");
    tree.link("objects/LinkedRules/validationRules", tree.root() / "elsewhere");
    tree.link("objects/LinkedObject", tree.root() / "objects/Contact");
    tree.file("objects/Bad\xFF/validationRules/R.validationRule-meta.xml", kRule);

    const auto read = ObjectChildMetadataReader::read(registry_type("ValidationRule"), tree.root());
    ASSERT_TRUE(read.has_value()) << read.error().message();
    EXPECT_THAT(names_of(*read), ElementsAre("Account.Amount_Positive", "Account.B", "Bad\xEF\xBF\xBD.R",
                                             "Contact.A", "Contact.B", "ns__Thing__c.Rule"));
    EXPECT_EQ(read->front().source_path,
              tree.root() / "objects/Account/validationRules/Amount_Positive.validationRule-meta.xml");
    EXPECT_EQ(read->front().document, kRule);
}

TEST(ObjectChildReader, FailuresAndFormat) {
    SourceTree tree;
    tree.file("objects/A/validationRules/R.validationRule-meta.xml", kRule);
    const auto bad = tree.file("objects/B/validationRules/R.validationRule-meta.xml", "<ValidationRule/>");
    const auto read = ObjectChildMetadataReader::read(registry_type("ValidationRule"), tree.root());
    ASSERT_FALSE(read.has_value());
    EXPECT_EQ(read.error(), FieldReadError::invalid(bad, "root element must be ValidationRule"));

    const auto format = ObjectChildMetadataReader::read(registry_type("FlexiPage"), tree.root());
    ASSERT_FALSE(format.has_value());
    EXPECT_EQ(format.error(), FieldReadError::invalid({}, "metadata type FlexiPage is not an object-child type"));

    const auto listing = object_child_reader::list_entries(tree.root() / "missing", "validationRules");
    ASSERT_FALSE(listing.has_value());
    EXPECT_EQ(listing.error().message(), "Could not list validationRules directory");
}

// ---------------------------------------------------------------------------------------------
// Container children
// ---------------------------------------------------------------------------------------------

std::string child(std::string_view element, std::string_view name) {
    return "<" + std::string(element) + "><fullName>" + std::string(name) + "</fullName></" + std::string(element) +
           ">";
}

TEST(ContainerChildReader, LabelsFromTheFixedDocumentOnly) {
    SourceTree tree;
    tree.file("labels/CustomLabels.labels-meta.xml",
              metadata_document("CustomLabels", child("labels", "B") + child("labels", "A") +
                                                    child("labels", "ns__Label") + "<labels><fullName> </fullName></labels>"));
    tree.file("labels/Other.labels-meta.xml", metadata_document("CustomLabels", child("labels", "C")));
    const auto read = ContainerChildMetadataReader::read(registry_type("CustomLabel"), tree.root());
    ASSERT_TRUE(read.has_value()) << read.error().message();
    ASSERT_THAT(names_of(*read), ElementsAre("A", "B"));
    EXPECT_EQ(read->front().source_path, tree.root() / "labels/CustomLabels.labels-meta.xml");
    const std::string only_a[] = {child("labels", "A")};
    EXPECT_EQ(read->front().document, container_child_reader::render_container_document("CustomLabels", only_a));
    EXPECT_THAT(read->front().attributes, IsEmpty());
}

TEST(ContainerChildReader, RulesPerObjectAndTheThreeSharingKinds) {
    SourceTree tree;
    tree.file("assignmentRules/Case.assignmentRules-meta.xml",
              metadata_document("AssignmentRules",
                                child("assignmentRule", "Standard") + child("assignmentRule", "Escalated")));
    tree.file("sharingRules/Account.sharingRules-meta.xml",
              metadata_document("SharingRules", child("sharingCriteriaRules", "Crit") +
                                                    child("sharingOwnerRules", "Own") +
                                                    child("sharingOwnerRules", "ns__Rule")));
    tree.file("sharingRules/ns__Thing__c.sharingRules-meta.xml", "not even XML <");
    tree.file("sharingRules/Blank.sharingRules-meta.xml", " \n ");
    tree.file("sharingRules/Dot.ted.sharingRules-meta.xml", "not even XML <");

    const auto rules = ContainerChildMetadataReader::read(registry_type("AssignmentRule"), tree.root());
    ASSERT_TRUE(rules.has_value()) << rules.error().message();
    EXPECT_THAT(names_of(*rules), ElementsAre("Case.Escalated", "Case.Standard"));
    EXPECT_EQ((*rules)[0].source_path, (*rules)[1].source_path);
    EXPECT_NE((*rules)[0].document, (*rules)[1].document);

    struct Case {
        std::string type;
        std::vector<std::string> names;
    };
    for (const Case& c : {Case{"SharingCriteriaRule", {"Account.Crit"}}, Case{"SharingOwnerRule", {"Account.Own"}},
                          Case{"SharingGuestRule", {}}}) {
        SCOPED_TRACE(c.type);
        const auto read = ContainerChildMetadataReader::read(registry_type(c.type), tree.root());
        ASSERT_TRUE(read.has_value()) << read.error().message();
        EXPECT_EQ(names_of(*read), c.names);
    }
}

TEST(ContainerChildReader, AnInvalidSecondDocumentFailsTheRead) {
    SourceTree tree;
    tree.file("escalationRules/A.escalationRules-meta.xml",
              metadata_document("EscalationRules", child("escalationRule", "R")));
    const auto bad = tree.file("escalationRules/B.escalationRules-meta.xml", "<!DOCTYPE x><EscalationRules/>");
    const auto read = ContainerChildMetadataReader::read(registry_type("EscalationRule"), tree.root());
    ASSERT_FALSE(read.has_value());
    EXPECT_EQ(read.error(), FieldReadError::invalid(bad, "doctype is not allowed"));

    const auto format = ContainerChildMetadataReader::read(registry_type("FlexiPage"), tree.root());
    ASSERT_FALSE(format.has_value());
    EXPECT_EQ(format.error(), FieldReadError::invalid({}, "metadata type FlexiPage is not a container-document type"));
}

// ---------------------------------------------------------------------------------------------
// Dispatch
// ---------------------------------------------------------------------------------------------

TEST(RegistryDispatch, EachFormatReachesItsReader) {
    SourceTree tree;
    tree.file("objects/Account/validationRules/R.validationRule-meta.xml", kRule);
    tree.file("labels/CustomLabels.labels-meta.xml", metadata_document("CustomLabels", child("labels", "L")));
    tree.file("flexipages/P.flexipage-meta.xml", metadata_document("FlexiPage", ""));
    tree.file("productBundles/B.productBundle-meta.xml",
              "<ProductBundle xmlns=\"" + std::string(kProductBundleNamespaceUri) + "\"/>");
    struct Case {
        MetadataType type;
        std::vector<std::string> names;
    };
    const Case cases[] = {
        {registry_type("ValidationRule"), {"Account.R"}}, {registry_type("CustomLabel"), {"L"}},
        {registry_type("FlexiPage"), {"P"}},              {MetadataType::ProductBundle, {"B"}},
        {MetadataType::ConstraintModel, {}},              {registry_type("ListView"), {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.type.wire_id());
        const auto read = read_generic_components(c.type, tree.root());
        ASSERT_TRUE(read.has_value()) << read.error().message();
        EXPECT_EQ(names_of(*read), c.names);
    }
}

}  // namespace
}  // namespace ambrel::metadata
