// Container names, message forms and deploy keys of permission containers, and the placeholder
// object document.

#include <gtest/gtest.h>

#include "deployment/permission_batch/permission_batch.hpp"
#include "metadata/object_placeholder/object_placeholder.hpp"
#include "metadata_types/metadata_type.hpp"
#include "support/source_tree.hpp"

namespace ambrel::deployment::permission_batch {
namespace {

TEST(PermissionContainerNames, Table) {
    struct Case {
        std::string name;
        bool accepted;
    };
    const Case cases[] = {
        {"Sales Team", true}, {"Vente\xC3\xA9", true}, {" Sales", false}, {"a/b", false}, {"a:b", false},
        {".", false},         {"..", false},           {"ns__Ops", false}, {"", false},   {"a\x7F", false},
        {"a\xC2\x85", false}, {"a*b", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(!validate_full_name(c.name).has_value(), c.accepted);
    }
    EXPECT_EQ(validate_full_name("a/b"), "IllegalArgumentException");
}

TEST(PermissionContainerNames, MessagesAndKeys) {
    EXPECT_EQ(append_kind("Failed.", " "), "Failed. Unexpected failure");
    EXPECT_EQ(append_kind(std::string(2500, 'x'), "IOException").size(), 2000u);
    using metadata::permission_models::PermissionComponentKey;
    EXPECT_EQ(to_metadata_component_key(PermissionComponentKey::create(domain::FlsContainerKind::Profile, "Admin")),
              (deploy_gateway::MetadataComponentKey{"Profile", "Admin"}));
    EXPECT_EQ(
        to_metadata_component_key(PermissionComponentKey::create(domain::FlsContainerKind::PermissionSet, "Sales")),
        (deploy_gateway::MetadataComponentKey{"PermissionSet", "Sales"}));
}

TEST(PlaceholderObject, AttributesSettingsAndNameFields) {
    using metadata::object_placeholder::attribute_text;
    using metadata::object_placeholder::placeholder_object_xml;
    using metadata_types::MetadataType;
    EXPECT_EQ(attribute_text(domain::AttributeValue::number(-3)), "-3");
    EXPECT_EQ(attribute_text(domain::AttributeValue::number(std::nullopt)), std::nullopt);
    EXPECT_EQ(attribute_text(domain::AttributeValue::text("  ")), std::nullopt);
    EXPECT_EQ(attribute_text(domain::AttributeValue::text(" a ")), " a ");

    domain::MetadataComponent object;
    object.key = {MetadataType::CustomObject, "Invoice__c"};
    object.document = ambrel::testing::metadata_document("CustomObject", "<fields><nameField/></fields><nameField/>");
    const auto& descriptor = MetadataType::CustomObject.descriptor();
    auto empty_tag = placeholder_object_xml(descriptor, object);
    ASSERT_TRUE(empty_tag) << empty_tag.error();
    EXPECT_NE(empty_tag->find("    <nameField/>\n"), std::string::npos);

    object.document = "<CustomObject><nameField>";
    EXPECT_EQ(placeholder_object_xml(descriptor, object).error(),
              "Cannot create CustomObject 'Invoice__c': its source metadata has no nameField element.");

    // A custom setting keeps four elements and needs no name field.
    std::vector<domain::AttributeValue> values(descriptor.attributes.size(), domain::AttributeValue::text("v"));
    for (std::size_t i = 0; i < descriptor.attributes.size(); ++i) {
        if (descriptor.attributes[i].element == "customSettingsType") values[i] = domain::AttributeValue::text("List");
    }
    object.attributes = values;
    auto setting = placeholder_object_xml(descriptor, object);
    ASSERT_TRUE(setting) << setting.error();
    EXPECT_EQ(std::count(setting->begin(), setting->end(), '\n'), 2 + 4 + 1);

    domain::MetadataComponent bundle;
    bundle.key = {MetadataType::LightningComponentBundle, "card"};
    EXPECT_EQ(placeholder_object_xml(MetadataType::LightningComponentBundle.descriptor(), bundle).error(),
              "Cannot create LightningComponentBundle 'card': its metadata form has no XML document.");
}

}  // namespace
}  // namespace ambrel::deployment::permission_batch
