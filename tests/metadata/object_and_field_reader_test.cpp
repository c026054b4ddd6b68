#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "metadata/custom_field_reader.hpp"
#include "metadata/object_reader.hpp"
#include "support/source_tree.hpp"
#include "metadata/source_folder.hpp"

namespace ambrel::metadata {
namespace {

using metadata_types::MetadataType;
using testing::attribute_texts;
using testing::metadata_document;
using testing::names_of;
using testing::SourceTree;
using ::testing::ElementsAre;
using ::testing::IsEmpty;

std::string object_document(std::string_view body) { return metadata_document("CustomObject", body); }
std::string field_document(std::string_view body) { return metadata_document("CustomField", body); }

// ---------------------------------------------------------------------------------------------
// The shared child-text parser
// ---------------------------------------------------------------------------------------------

TEST(ChildTextsInNamespace, RootNamespaceAndWantedSetAreParameters) {
    const std::vector<std::string_view> wanted = {"label", "status"};
    const auto texts = object_reader::parse_child_texts_in_namespace(
        "<Flow xmlns=\"urn:x\"><label> A </label><status/><other>o</other><status>late</status></Flow>", "p", "Flow",
        "urn:x", wanted);
    ASSERT_TRUE(texts.has_value()) << texts.error().message();
    EXPECT_EQ(texts->at("label"), "A");
    EXPECT_EQ(texts->at("status"), "");
    EXPECT_FALSE(texts->contains("other"));

    const auto wrong = object_reader::parse_child_texts_in_namespace(metadata_document("Flow", ""), "p.xml", "Flow",
                                                                     "urn:x", wanted);
    ASSERT_FALSE(wrong.has_value());
    EXPECT_EQ(wrong.error(), FieldReadError::invalid("p.xml", "root element must be Flow"));
}

TEST(ChildTextsInNamespace, NormalisationAndReferences) {
    EXPECT_EQ(object_reader::normalize_text("\r\n a\r\nb\rc \u3000"), "a\nb\nc");
    EXPECT_EQ(object_reader::normalize_text(""), "");
    const std::vector<std::string_view> wanted = {"label"};
    const auto texts = object_reader::parse_child_texts_in_namespace(
        object_document("<label><![CDATA[<b>]]>&amp;&#65;<x>nested</x></label>"), "p", "CustomObject",
        testing::kMetadataNs, wanted);
    ASSERT_TRUE(texts.has_value());
    EXPECT_EQ(texts->at("label"), "<b>&Anested");
    EXPECT_EQ(object_reader::parse_error("p", "why"), FieldReadError::invalid("p", "why"));
}

// ---------------------------------------------------------------------------------------------
// Custom object reader
// ---------------------------------------------------------------------------------------------

TEST(CustomObjectReader, AttributeOrderOfTheThreeTypes) {
    SourceTree tree;
    tree.file("objects/Thing__mdt/Thing__mdt.object-meta.xml",
              object_document("<visibility>Public</visibility><label>Thing</label><description>\r\n d1\r\n d2 "
                              "</description><enableHistory>true</enableHistory><enableHistory>false</enableHistory>"
                              "<eventType>HighVolume</eventType>"));
    struct Case {
        MetadataType type;
        std::vector<std::string> values;
    };
    const std::string a = "<absent>";
    const Case cases[] = {
        {MetadataType::CustomObject,
         {"Thing", a, "d1\n d2", a, a, "true", a, a, a, a, a, a, a, a, a, a, a, a, "Public", a}},
        {MetadataType::CustomMetadataType, {"Thing", a, "d1\n d2", "Public"}},
        {MetadataType::PlatformEvent, {"Thing", a, "d1\n d2", a, "HighVolume", a}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.type.wire_id());
        const auto read = CustomObjectMetadataReader::read(c.type, tree.root());
        ASSERT_TRUE(read.has_value()) << read.error().message();
        ASSERT_EQ(read->size(), 1u);
        EXPECT_EQ(read->front().key.metadata_type, c.type);
        EXPECT_EQ(attribute_texts(read->front()), c.values);
        EXPECT_EQ(read->front().source_path, tree.root() / "objects/Thing__mdt/Thing__mdt.object-meta.xml");
    }
}

TEST(CustomObjectReader, FoldersNamesAndSkips) {
    SourceTree tree;
    const std::string plain = object_document("<label/>");
    for (const char* name : {"alpha", "Zeta", "Ab", "A_b", "Account", "Mine__c", "ns__Pkg__c", "ns__Pkg__mdt",
                             "ns__Evt__e", "Dotted.Name"}) {
        tree.file(std::string("objects/") + name + "/" + name + ".object-meta.xml", plain);
    }
    tree.file("objects/Other/Wrong.object-meta.xml", plain);   // definition named after another folder
    tree.folder("objects/Dir/Dir.object-meta.xml");              // definition is a folder
    tree.file("real/Real.object-meta.xml", plain);
    tree.folder("objects/Linked");
    tree.link("objects/Linked/Linked.object-meta.xml", tree.root() / "real/Real.object-meta.xml");
    tree.link("objects/LinkedFolder", tree.root() / "objects/Account");
    tree.file("objects/loose.object-meta.xml", plain);
    tree.fifo("objects/Fifo/Fifo.object-meta.xml");

    const auto read = CustomObjectMetadataReader::read(MetadataType::CustomObject, tree.root());
    ASSERT_TRUE(read.has_value()) << read.error().message();
    EXPECT_THAT(names_of(*read), ElementsAre("A_b", "Ab", "Account", "Dotted.Name", "Mine__c", "Zeta", "alpha"));
    EXPECT_EQ(attribute_texts(read->front())[0], "");  // empty label: empty text, not absent
}

TEST(CustomObjectReader, ErrorsEndTheRead) {
    SourceTree none;
    auto empty = CustomObjectMetadataReader::read(MetadataType::CustomObject, none.root());
    ASSERT_TRUE(empty.has_value());
    EXPECT_THAT(*empty, IsEmpty());

    SourceTree tree;
    tree.file("objects/A/A.object-meta.xml", object_document(""));
    const auto bad = tree.file("objects/B/B.object-meta.xml", field_document(""));
    tree.file("objects/C/C.object-meta.xml", object_document(""));
    const auto read = CustomObjectMetadataReader::read(MetadataType::CustomObject, tree.root());
    ASSERT_FALSE(read.has_value());
    EXPECT_EQ(read.error(), FieldReadError::invalid(bad, "root element must be CustomObject"));
}

// ---------------------------------------------------------------------------------------------
// Custom field reader
// ---------------------------------------------------------------------------------------------

TEST(ParseOptionalI32, Reasons) {
    struct Case {
        std::optional<std::string> text;
        std::optional<std::int32_t> value;
        std::string reason;
    };
    const Case cases[] = {
        {std::nullopt, std::nullopt, ""},
        {"255", 255, ""},
        {"+7", 7, ""},
        {"-2147483648", INT32_MIN, ""},
        {"2147483647", INT32_MAX, ""},
        {"007", 7, ""},
        {"", std::nullopt, "invalid length: cannot parse integer from empty string"},
        {"2.5", std::nullopt, "invalid length: invalid digit found in string"},
        {"-", std::nullopt, "invalid length: invalid digit found in string"},
        {"+", std::nullopt, "invalid length: invalid digit found in string"},
        {"1 2", std::nullopt, "invalid length: invalid digit found in string"},
        {"\xD9\xA3", std::nullopt, "invalid length: invalid digit found in string"},
        {"2147483648", std::nullopt, "invalid length: number too large to fit in target type"},
        {"99999999999999999999", std::nullopt, "invalid length: number too large to fit in target type"},
        {"-2147483649", std::nullopt, "invalid length: number too small to fit in target type"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text.value_or("<none>"));
        field_reader::ChildTexts texts;
        if (c.text) texts.emplace("length", *c.text);
        const auto parsed = field_reader::parse_optional_i32(texts, "length", "f.xml");
        if (c.reason.empty()) {
            ASSERT_TRUE(parsed.has_value());
            EXPECT_EQ(*parsed, c.value);
        } else {
            ASSERT_FALSE(parsed.has_value());
            EXPECT_EQ(parsed.error(), FieldReadError::invalid("f.xml", c.reason));
        }
    }
}

TEST(CustomFieldReader, ReadsDefinitionsInNameOrder) {
    SourceTree tree;
    tree.file("objects/Account/fields/Amount__c.field-meta.xml",
              field_document("<type>Number</type><precision> 18 </precision><scale>\n2\n</scale><label>A&amp;B</label>"
                             "<label>second</label><required>true</required><formula><![CDATA[a < b]]></formula>"
                             "<defaultValue/><referenceTo>Contact</referenceTo>"));
    tree.file("objects/Account/fields/.field-meta.xml", field_document(""));
    tree.file("objects/Account/fields/Other.FIELD-meta.xml", field_document(""));
    tree.file("objects/Account/fields/Other.txt", "x");
    tree.file("objects/Account/fields/Empty__c.field-meta.xml", "");
    tree.link("objects/Account/fields/Linked__c.field-meta.xml",
              tree.root() / "objects/Account/fields/Empty__c.field-meta.xml");
    tree.fifo("objects/Account/fields/Fifo__c.field-meta.xml");
    tree.file("objects/account/fields/lower__c.field-meta.xml", field_document("<label>\r\n l1\r\n l2\r\n</label>"));
    tree.file("objects/ns__Pkg__c/fields/ns__F__c.field-meta.xml", field_document(""));
    tree.folder("objects/NoFields");
    tree.file("objects/Contact/fields", "a file, not a folder");
    tree.link("objects/Linked", tree.root() / "objects/Account");

    const auto read = CustomFieldMetadataReader::read(tree.root());
    ASSERT_TRUE(read.has_value()) << read.error().message();
    std::vector<std::string> keys;
    for (const auto& definition : *read) {
        keys.push_back(definition.key.object_api_name + "." + definition.key.field_api_name);
    }
    EXPECT_THAT(keys, ElementsAre("Account.", "Account.Amount__c", "Account.Empty__c", "account.lower__c",
                                  "ns__Pkg__c.ns__F__c"));
    const domain::CustomFieldDefinition& amount = (*read)[1];
    EXPECT_EQ(amount.attributes.field_type, "Number");
    EXPECT_EQ(amount.attributes.precision, 18);
    EXPECT_EQ(amount.attributes.scale, 2);
    EXPECT_EQ(amount.attributes.length, std::nullopt);
    EXPECT_EQ(amount.attributes.label, "A&B");
    EXPECT_EQ(amount.attributes.formula, "a < b");
    EXPECT_EQ(amount.attributes.default_value, "");
    EXPECT_EQ(amount.attributes.reference_to, "Contact");
    EXPECT_TRUE(amount.required);
    EXPECT_EQ(amount.source_path, tree.root() / "objects/Account/fields/Amount__c.field-meta.xml");
    const domain::CustomFieldDefinition& empty = (*read)[2];
    EXPECT_EQ(empty.attributes, domain::FieldAttributes{});
    EXPECT_FALSE(empty.required);
    EXPECT_EQ((*read)[3].attributes.label, "l1\n l2");
}

TEST(CustomFieldReader, DocumentFailures) {
    struct Case {
        std::string name;
        std::string document;
        std::string reason;
    };
    const Case cases[] = {
        {"required in capitals", field_document("<required>TRUE</required>"), "invalid required flag: TRUE"},
        {"empty length", field_document("<length></length>"), "invalid length: cannot parse integer from empty string"},
        {"scale 2.5", field_document("<scale>2.5</scale>"), "invalid scale: invalid digit found in string"},
        {"precision too large", field_document("<precision>3000000000</precision>"),
         "invalid precision: number too large to fit in target type"},
        {"wrong root", object_document(""), "root element must be CustomField"},
        {"no namespace", "<CustomField/>", "root element must be CustomField"},
        {"doctype", "<!DOCTYPE CustomField>" + field_document(""), "doctype is not allowed"},
        {"unknown entity in a wanted element", field_document("<label>&nbsp;</label>"), "unknown entity: nbsp"},
        {"not UTF-8", field_document("<label>\xC3</label>"), "metadata is not valid UTF-8: "},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        SourceTree tree;
        tree.file("objects/A/fields/Good__c.field-meta.xml", field_document(""));
        const auto path = tree.file("objects/B/fields/Bad__c.field-meta.xml", c.document);
        tree.file("objects/C/fields/Good__c.field-meta.xml", field_document(""));
        const auto read = CustomFieldMetadataReader::read(tree.root());
        ASSERT_FALSE(read.has_value());
        const auto* invalid = read.error().invalid_form();
        ASSERT_NE(invalid, nullptr);
        EXPECT_EQ(invalid->path, path);
        EXPECT_TRUE(invalid->reason.starts_with(c.reason)) << invalid->reason;
    }
    SourceTree tree;
    tree.file("objects/A/fields/F.field-meta.xml", field_document("<valueSet><label>&nbsp;</label></valueSet>"));
    EXPECT_TRUE(CustomFieldMetadataReader::read(tree.root()).has_value());
}

TEST(SourceFolder, AFileSwappedForAFifoLinkOrFolderReadsAsUnreadableWithoutBlocking) {
    SourceTree tree;
    tree.fifo("fields/F.field-meta.xml");
    tree.file("real.txt", "x");
    tree.link("fields/L.field-meta.xml", tree.root() / "real.txt");
    tree.folder("fields/D.field-meta.xml");
    for (const char* name : {"F", "L", "D"}) {
        SCOPED_TRACE(name);
        const auto text = source_folder::read_text(tree.root() / "fields" / (std::string(name) + ".field-meta.xml"),
                                                   "Could not read custom field metadata");
        ASSERT_FALSE(text.has_value());
        EXPECT_EQ(text.error().invalid_form(), nullptr);
        EXPECT_EQ(text.error().message(), "Could not read custom field metadata");
    }
    const auto bom = tree.file("bom.xml", "\xEF\xBB\xBFx");
    EXPECT_EQ(source_folder::read_text(bom, "m"), "\xEF\xBB\xBFx");
}

}  // namespace
}  // namespace ambrel::metadata
