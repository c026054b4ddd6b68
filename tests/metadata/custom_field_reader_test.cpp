#include <string>
#include <string_view>

#include <gtest/gtest.h>

#include "metadata/custom_field_reader.hpp"

namespace ambrel::metadata::field_reader {
namespace {

constexpr std::string_view kNs = "http://soap.sforce.com/2006/04/metadata";

std::string field_document(std::string_view body) {
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<CustomField xmlns=\"" + std::string(kNs) + "\">\n" +
           std::string(body) + "\n</CustomField>\n";
}

struct ToggleCase {
    std::string_view name;
    std::string document;
    TrackingToggles expected;
};

TEST(TrackingToggles, AreTrueOnlyForTheTextTrue) {
    const ToggleCase cases[] = {
        {"history only", field_document("<trackHistory>true</trackHistory>"), {true, false}},
        {"both", field_document("<trackFeedHistory>true</trackFeedHistory><trackHistory>true</trackHistory>"),
         {true, true}},
        {"feed only", field_document("<trackHistory>false</trackHistory><trackFeedHistory>true</trackFeedHistory>"),
         {false, true}},
        {"capitalised", field_document("<trackHistory>True</trackHistory>"), {false, false}},
        {"white space and CR LF around", field_document("<trackHistory>\r\n  true \r\n</trackHistory>"),
         {true, false}},
        {"CDATA", field_document("<trackHistory><![CDATA[true]]></trackHistory>"), {true, false}},
        {"built from a reference", field_document("<trackHistory>&#116;rue</trackHistory>"), {true, false}},
        {"empty element", field_document("<trackHistory/>"), {false, false}},
        {"first occurrence wins", field_document("<trackHistory>false</trackHistory><trackHistory>true</trackHistory>"),
         {false, false}},
        {"nested deeper", field_document("<valueSet><trackHistory>true</trackHistory></valueSet>"), {false, false}},
        {"other namespace", field_document("<x:trackHistory xmlns:x='urn:x'>true</x:trackHistory>"), {false, false}},
        {"undeclared prefix", field_document("<m:trackHistory>true</m:trackHistory>"), {false, false}},
        {"prefixed in the namespace",
         "<m:CustomField xmlns:m=\"" + std::string(kNs) + "\"><m:trackHistory>true</m:trackHistory></m:CustomField>",
         {true, false}},
        {"malformed XML", field_document("<trackHistory>true</trackFeedHistory>"), {false, false}},
        {"wrong root", "<CustomObject xmlns=\"" + std::string(kNs) + "\"><trackHistory>true</trackHistory></CustomObject>",
         {false, false}},
        {"doctype", "<!DOCTYPE x>" + field_document("<trackHistory>true</trackHistory>"), {false, false}},
        {"unknown entity in the switch", field_document("<trackHistory>true&nbsp;</trackHistory>"), {false, false}},
        {"empty document", "", {false, false}},
    };
    for (const ToggleCase& c : cases) {
        EXPECT_EQ(read_tracking_toggles(c.document, "f.field-meta.xml"), c.expected) << c.name;
    }
}

TEST(ChildTexts, CollectNormalisedTextsOfTheWantedDirectChildren) {
    const std::string document = field_document(
        "<label>\r\n  First line\r\n  second&amp;line &#65;\r\n</label>\n"
        "<label>ignored</label>\n"
        "<formula><![CDATA[a < b && c]]></formula>\n"
        "<type>Text<!-- c -->Area</type>\n"
        "<defaultValue/>\n"
        "<description>&nbsp; not wanted</description>\n"
        "<valueSet><length>9</length></valueSet>\n"
        "<referenceTo> <x>Acc</x>\r<y>ount</y> </referenceTo>");
    auto texts = parse_child_texts(document, "f.xml", kReadElements);
    ASSERT_TRUE(texts) << texts.error().message();
    EXPECT_EQ(texts->at("label"), "First line\n  second&line A");
    EXPECT_EQ(texts->at("formula"), "a < b && c");
    EXPECT_EQ(texts->at("type"), "TextArea");
    EXPECT_EQ(texts->at("defaultValue"), "");
    EXPECT_EQ(texts->at("referenceTo"), "Acc\nount");
    EXPECT_FALSE(texts->contains("length"));
    EXPECT_FALSE(texts->contains("description"));
    EXPECT_EQ(texts->size(), 5u);
}

TEST(ChildTexts, ASecondRootOrARootNeverClosedIsRefused) {
    const std::string root = "<CustomField xmlns=\"" + std::string(kNs) + "\">";
    const std::string first = root + "<label>L</label></CustomField>";
    auto second = parse_child_texts(first + root + "<type>T</type></CustomField>", "f.xml", kReadElements);
    ASSERT_FALSE(second);
    EXPECT_EQ(second.error().message(),
              "Invalid custom field metadata in f.xml: element <CustomField> after the end of the root element "
              "<CustomField> at line 1, column " + std::to_string(first.size() + 1));

    const std::string open = root + "<type>T</type><scale>3";
    auto unclosed = parse_child_texts(open, "f.xml", kReadElements);
    ASSERT_FALSE(unclosed);
    EXPECT_EQ(unclosed.error().message(), "Invalid custom field metadata in f.xml: root element <CustomField> is not "
                                          "closed at line 1, column " + std::to_string(open.size() + 1));

    auto empty = parse_child_texts("  <!-- nothing -->", "f.xml", kReadElements);
    ASSERT_TRUE(empty);
    EXPECT_TRUE(empty->empty());
}

struct FailureCase {
    std::string_view name;
    std::string document;
    std::string message;
};

TEST(ChildTexts, FailWithThePathFormReason) {
    const FailureCase cases[] = {
        {"unknown entity in a wanted element", field_document("<label>a&nbsp;b</label>"),
         "Invalid custom field metadata in dir/f.xml: unknown entity: nbsp"},
        {"bad character reference", field_document("<label>&#0;</label>"),
         "Invalid custom field metadata in dir/f.xml: invalid character reference &#0;"},
        {"wrong root", "<CustomObject xmlns=\"" + std::string(kNs) + "\"/>",
         "Invalid custom field metadata in dir/f.xml: root element must be CustomField"},
        {"root outside the namespace", "<CustomField><label>x</label></CustomField>",
         "Invalid custom field metadata in dir/f.xml: root element must be CustomField"},
        {"doctype", "<!DOCTYPE CustomField>" + field_document(""),
         "Invalid custom field metadata in dir/f.xml: doctype is not allowed"},
        {"mismatched end tag", "<CustomField xmlns=\"" + std::string(kNs) + "\"><label>x</type></CustomField>",
         "Invalid custom field metadata in dir/f.xml: end tag </type> does not match start tag <label> at line 1, "
         "column 70"},
    };
    for (const FailureCase& c : cases) {
        auto texts = parse_child_texts(c.document, "dir/f.xml", kReadElements);
        ASSERT_FALSE(texts) << c.name;
        EXPECT_EQ(texts.error().message(), c.message) << c.name;
        ASSERT_NE(texts.error().invalid_form(), nullptr);
        EXPECT_EQ(texts.error().invalid_form()->path, "dir/f.xml");
    }
}

}  // namespace
}  // namespace ambrel::metadata::field_reader
