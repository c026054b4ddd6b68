#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "data/bundles/document/bundle_document.hpp"
#include "data/bundles/document/conventions.hpp"
#include "data/bundles/document/model_document.hpp"
#include "json/json.hpp"
#include "support/damage.hpp"
#include "support/test_paths.hpp"

namespace ambrel::data::bundles::document {
namespace {

using identity::ComponentChildKind;

std::filesystem::path golden(std::string_view name) {
    return testing::tests_dir() / "fixtures" / "record_documents" / std::string(name);
}

// Set AMBREL_WRITE_GOLDEN=1 to rewrite the golden files from the writers (then review the diff).
void expect_golden(std::string_view name, const std::string& text) {
    if (std::getenv("AMBREL_WRITE_GOLDEN") != nullptr) {
        std::ofstream(golden(name), std::ios::binary | std::ios::trunc) << text;
    }
    EXPECT_EQ(text, testing::read_file(golden(name))) << name;
}

BundleDocument full_bundle() {
    BundleDocument document;
    document.objects = {
        ObjectFieldPlan{"Product2", {"Description", "ProductCode"}, {"Only__c"}, {}},
        ObjectFieldPlan{"PricebookEntry", {}, {}, {"Target__c", "Z__c"}},
    };
    document.unresolved = {{"ProductRelatedComponent", 2}, {"PricebookEntry", 18446744073709551615ULL}};
    document.product = {{"Description", "Bike & \"gear\" <b>"}, {"ProductCode", "BK-1"}};
    document.based_on = "CL'1";
    document.classifications = {ClassificationNode{"CL1", std::nullopt, {{"Name", "Top"}}},
                                ClassificationNode{"CL2", "CL1", {}}};
    document.groups = {GroupNode{"Frame", std::nullopt, {{"Sequence", "1"}}}, GroupNode{"Wheels", "Frame", {}}};
    document.components = {
        ComponentNode{{ComponentChildKind::Product, "Wheel", "Wheels"}, "Bundle to Bundle Component", "Term", "One",
                      {{"Quantity", "2.0"}}},
        ComponentNode{{ComponentChildKind::Classification, "CL2", std::nullopt}, std::nullopt, std::nullopt,
                      std::nullopt, {}},
    };
    document.child_products = {ChildProductNode{"Wheel", "CL2", {{"ProductCode", "WH"}}, true},
                               ChildProductNode{"Bolt", std::nullopt, {}, false}};
    document.selling_model_options = {SellingModelOptionNode{{"Bike", "Term Monthly"}, {{"IsDefault", "true"}}}};
    document.price_book_entries = {
        PriceBookEntryNode{{"Bike", "Standard", std::nullopt, std::nullopt}, {{"UnitPrice", "10.5"}}, true},
        PriceBookEntryNode{{"Bike", "Partner", "Term Monthly", "EUR"}, {}, false},
    };
    document.tagged_by = {"Bike Rules", "Z & Co"};
    return document;
}

TEST(BundleDocumentWriter, EmptyDocumentMatchesTheGoldenFile) {
    expect_golden("empty.productBundle-meta.xml", write_bundle_document(BundleDocument{}));
}

TEST(BundleDocumentWriter, FullDocumentMatchesTheGoldenFileAndReadsBack) {
    const BundleDocument document = full_bundle();
    const std::string text = write_bundle_document(document);
    expect_golden("full.productBundle-meta.xml", text);
    const auto parsed = parse_bundle_document(text);
    ASSERT_TRUE(parsed) << parsed.error().message();
    EXPECT_EQ(*parsed, document);
}

TEST(ModelDocumentWriter, SortsVersionsAndTagsAndSplitsCdata) {
    ModelDocument document;
    document.name = "Bike Rules";
    document.definition = "def ]]> end";
    document.versions = {ModelVersion{"V2", "Draft", "shell ]]>", "cml ]]>]]>"},
                         ModelVersion{"V1", "Active", "", "a < b && c"},
                         ModelVersion{"V1", "Inactive", "second", ""}};
    const ModelTag tag_b{"Product", "Bike", {{"productCode", "BK"}}, std::nullopt};
    const ModelTag tag_a{"Attribute", "Color", {}, "0tX000000000001"};
    document.tags = {tag_b, tag_a, tag_b};
    const std::string text = render_model_document(document);
    expect_golden("model.constraintModel-meta.xml", text);

    const auto parsed = parse_model_document(text);
    ASSERT_TRUE(parsed) << parsed.error().message();
    EXPECT_EQ(parsed->name, "");
    EXPECT_EQ(parsed->definition, document.definition);
    ASSERT_EQ(parsed->versions.size(), 3U);
    EXPECT_EQ(parsed->versions[0], document.versions[1]);
    EXPECT_EQ(parsed->versions[1], document.versions[2]);
    EXPECT_EQ(parsed->versions[2], document.versions[0]);
    EXPECT_EQ(parsed->tags, (std::vector<ModelTag>{tag_a, tag_b}));
    EXPECT_EQ(parsed->active_version_names(), (std::vector<std::string_view>{"V1"}));
}

TEST(Conventions, EscapesTextAndAttributes) {
    EXPECT_EQ(escape_text("a<b>&\"'\t"), "a&lt;b&gt;&amp;\"'\t");
    std::string out;
    optional_attribute(out, "x", std::string("a<\"'&"));
    optional_attribute(out, "y", std::nullopt);
    EXPECT_EQ(out, " x=\"a&lt;&quot;'&amp;\"");
}

TEST(Conventions, FieldSetOfARecord) {
    const auto record = json::parse(
        R"({"Null": null, "Array": [1], "Object": {"a": 1}, "False": false, "Int": 12, "Fraction": 2.50,
            "Whole": 3.0, "Big": 1e300, "Text": "  spaced  ", "Empty": ""})");
    ASSERT_TRUE(record);
    const std::vector<std::string> names{"Null", "Missing", "Array", "Object", "False", "Int",  "Fraction",
                                         "Whole", "Big",     "Text",  "Empty",  "Int"};
    const FieldSet fields = field_set(record->as_object(), names);
    EXPECT_EQ(fields, (FieldSet{{"Big", "1e300"},
                                {"Empty", ""},
                                {"False", "false"},
                                {"Fraction", "2.5"},
                                {"Int", "12"},
                                {"Text", "  spaced  "},
                                {"Whole", "3.0"}}));
}

TEST(Conventions, NameLists) {
    const std::pair<std::string_view, std::vector<std::string>> cases[] = {
        {"", {}},
        {" \t\n", {}},
        {"A, B", {"A", "B"}},
        {"A,B", {"A,B"}},
        {" A, B ", {" A", "B "}},
        {"A, , B", {"A", "", "B"}},
        {"A, ", {"A", ""}},
    };
    for (const auto& [text, names] : cases) {
        SCOPED_TRACE(text);
        EXPECT_EQ(name_list(text), names);
    }
}

TEST(Conventions, DecodeDocumentText) {
    EXPECT_EQ(decode_document_text("a &amp; &#65;&#x42; \r\n\x01"), "a & AB \r\n\x01");
    const std::string_view refused[] = {"&nbsp;", "&#0;", "&#xD800;", "&#x110000;", "& x", "&#X41;", "\xff"};
    for (const std::string_view raw : refused) {
        SCOPED_TRACE(raw);
        const auto decoded = decode_document_text(raw);
        ASSERT_FALSE(decoded);
        EXPECT_TRUE(decoded.error().message().starts_with("text: ")) << decoded.error().message();
    }
}

constexpr std::string_view kHead = R"(<?xml version="1.0" encoding="UTF-8"?>)";

std::string bundle(std::string_view body) {
    return std::string("<ProductBundle xmlns=\"urn:quillary:revenue-cloud:product-bundle\">") + std::string(body) +
           "</ProductBundle>";
}

std::string model(std::string_view body) {
    return std::string("<ConstraintModel xmlns=\"urn:quillary:revenue-cloud:constraint-model\">") + std::string(body) +
           "</ConstraintModel>";
}

TEST(RecordDocumentReaders, FailureMessages) {
    struct Case {
        std::string name;
        std::string text;
        bool is_model;
        std::string message;
        bool prefix_only = false;
    };
    const std::vector<Case> cases = {
        {"count with a blank", bundle(R"(<schema><unresolved object="A" count=" 1"/></schema>)"), false,
         "<unresolved> has a 'count' that is not a number"},
        {"count negative", bundle(R"(<schema><unresolved object="A" count="-1"/></schema>)"), false,
         "<unresolved> has a 'count' that is not a number"},
        {"count decimal", bundle(R"(<schema><unresolved object="A" count="1.0"/></schema>)"), false,
         "<unresolved> has a 'count' that is not a number"},
        {"count sign only", bundle(R"(<schema><unresolved object="A" count="+"/></schema>)"), false,
         "<unresolved> has a 'count' that is not a number"},
        {"count above 64 bits", bundle(R"(<schema><unresolved object="A" count="18446744073709551616"/></schema>)"),
         false, "<unresolved> has a 'count' that is not a number"},
        {"count missing", bundle(R"(<schema><unresolved object="A"/></schema>)"), false,
         "<unresolved> has no 'count' attribute"},
        {"object missing", bundle(R"(<schema><unresolved count="1"/></schema>)"), false,
         "<unresolved> has no 'object' attribute"},
        {"both children", bundle(R"(<components><component childProduct="a" childClassification="b"/></components>)"),
         false, "<component> must carry exactly one of 'childProduct', 'childClassification'"},
        {"no child", bundle(R"(<components><component group="g"/></components>)"), false,
         "<component> must carry exactly one of 'childProduct', 'childClassification'"},
        {"unknown side", bundle(R"(<schema><object name="A"><omitted side="both">x</omitted></object></schema>)"),
         false, "<omitted> has an unknown side 'both'"},
        {"omitted without side", bundle(R"(<schema><object name="A"><omitted>x</omitted></object></schema>)"), false,
         "<omitted> has no 'side' attribute"},
        {"doctype", std::string(kHead) + "<!DOCTYPE x>" + bundle(""), false, "doctype is not allowed"},
        {"wrong root", "<Other xmlns=\"urn:quillary:revenue-cloud:product-bundle\"/>", false,
         "root element must be ProductBundle in the product bundle namespace"},
        {"root outside namespace", "<ProductBundle/>", false,
         "root element must be ProductBundle in the product bundle namespace"},
        {"unbound prefix root", "<p:ProductBundle/>", false,
         "root element must be ProductBundle in the product bundle namespace"},
        {"inner element outside", "<p:ProductBundle xmlns:p=\"urn:quillary:revenue-cloud:product-bundle\"><product/>"
                                  "</p:ProductBundle>",
         false, "<product> is outside the product bundle namespace"},
        {"unbound prefix inner", bundle("<q:product/>"), false, "<product> is outside the product bundle namespace"},
        {"element in a field", bundle("<product><Name><b>x</b></Name></product>"), false,
         "<b> is not expected in this document"},
        {"element in a row field",
         bundle(R"(<groups><group name="g"><Name><i/></Name></group></groups>)"), false,
         "<i> is not expected in this document"},
        {"unknown section", bundle("<extra/>"), false, "<extra> is not expected in this document"},
        {"row in wrong section", bundle(R"(<groups><classification code="c"/></groups>)"), false,
         "<classification> is not expected in this document"},
        {"second root", bundle("") + "<Other/>", false,
         "root element must be ProductBundle in the product bundle namespace"},
        {"duplicate attribute", bundle(R"(<groups><group name="a" name="b"/></groups>)"), false, "attribute: ", true},
        {"bad attribute reference", bundle(R"(<groups><group name="&nbsp;"/></groups>)"), false, "attribute: ", true},
        {"bad text utf8", bundle("<product><Name>\xff</Name></product>"), false, "text: ", true},
        {"bad cdata utf8", bundle("<product><Name><![CDATA[\xc3]]></Name></product>"), false, "text: ", true},
        {"no root", std::string(kHead) + "<!-- only -->", false, "document has no root element"},
        {"left open", "<ProductBundle xmlns=\"urn:quillary:revenue-cloud:product-bundle\"><product>", false,
         "document is not properly closed"},
        {"stray end tag", bundle("") + "</ProductBundle>", false, "document is not properly closed"},
        {"unknown entity", bundle("<product><Name>&nbsp;</Name></product>"), false, "unknown entity", true},
        {"zero char ref", bundle("<product><Name>&#0;</Name></product>"), false, "", true},
        {"model wrong root", "<ConstraintModel/>", true,
         "root element must be ConstraintModel in the constraint model namespace"},
        {"model inner outside", model("<x:definition xmlns:x=\"urn:other\"/>"), true,
         "<definition> is outside the constraint model namespace"},
        {"tag without type", model(R"(<tags><tag tag="t"/></tags>)"), true, "<tag> has no 'type' attribute"},
        {"tag without tag", model(R"(<tags><tag type="t"/></tags>)"), true, "<tag> has no 'tag' attribute"},
        {"tag twice type", model(R"(<tags><tag type="a" tag="b" type="c"/></tags>)"), true, "attribute: ", true},
        {"version without name", model(R"(<versions><version status="Active"/></versions>)"), true,
         "<version> has no 'name' attribute"},
        {"version without status", model(R"(<versions><version name="V"/></versions>)"), true,
         "<version> has no 'status' attribute"},
        {"element in tag", model(R"(<tags><tag type="a" tag="b"><x/></tag></tags>)"), true,
         "<x> is not expected in this document"},
        {"model doctype", "<!DOCTYPE ConstraintModel>" + model(""), true, "doctype is not allowed"},
    };
    for (const Case& test : cases) {
        SCOPED_TRACE(test.name);
        const std::string message = test.is_model ? parse_model_document(test.text).error().message()
                                                  : parse_bundle_document(test.text).error().message();
        if (test.prefix_only) {
            EXPECT_TRUE(message.starts_with(test.message)) << message;
            EXPECT_FALSE(message.ends_with(".")) << message;
        } else {
            EXPECT_EQ(message, test.message);
        }
    }
}

TEST(BundleDocumentReader, EdgeCasesOfTheFormat) {
    const std::string bom = "\xEF\xBB\xBF";
    const auto with_boms = parse_bundle_document(bom + bom + bundle("<product><Name>x</Name></product>"));
    ASSERT_TRUE(with_boms) << with_boms.error().message();
    EXPECT_EQ(with_boms->product, (FieldSet{{"Name", "x"}}));

    const auto document = parse_bundle_document(bundle(
        R"(<schema><object name="A"><compared/></object><object name="B"><compared>  </compared><omitted side="source"/></object>)"
        R"(<unresolved object="X" count="+007"/></schema>)"
        R"(<product><Empty/><Blank></Blank><basedOn/><basedOn>C1</basedOn></product>)"
        R"(<childProducts><childProduct name="K" bundle="True"><basedOn>C2</basedOn><Name>k</Name></childProduct></childProducts>)"
        R"(<groups><group name="G"><basedOn>field</basedOn></group></groups>)"
        R"(<priceBookEntries><priceBookEntry product="P" priceBook="B" sellingModel="" standard="1"/></priceBookEntries>)"
        R"(<taggedBy><model/><model>M</model></taggedBy><product><Second>2</Second></product>)"
        R"(<schema><object name="C"><compared>x, y</compared></object></schema>)"));
    ASSERT_TRUE(document) << document.error().message();
    ASSERT_EQ(document->objects.size(), 3U);
    EXPECT_TRUE(document->objects[0].compared.empty());
    EXPECT_TRUE(document->objects[1].compared.empty());
    EXPECT_TRUE(document->objects[1].source_only.empty());
    EXPECT_EQ(document->objects[2].compared, (std::vector<std::string>{"x", "y"}));
    EXPECT_EQ(document->unresolved, (std::vector<std::pair<std::string, std::uint64_t>>{{"X", 7}}));
    EXPECT_EQ(document->product, (FieldSet{{"Blank", ""}, {"Second", "2"}}));
    EXPECT_EQ(document->based_on, "C1");
    ASSERT_EQ(document->child_products.size(), 1U);
    EXPECT_FALSE(document->child_products[0].bundle);
    EXPECT_EQ(document->child_products[0].based_on, "C2");
    ASSERT_EQ(document->groups.size(), 1U);
    EXPECT_EQ(document->groups[0].fields, (FieldSet{{"basedOn", "field"}}));
    ASSERT_EQ(document->price_book_entries.size(), 1U);
    EXPECT_EQ(document->price_book_entries[0].identity.selling_model, "");
    EXPECT_FALSE(document->price_book_entries[0].standard);
    EXPECT_EQ(document->tagged_by, (std::vector<std::string>{"M"}));

    // An empty-element omitted with an unknown side fails nothing.
    EXPECT_TRUE(parse_bundle_document(bundle(R"(<schema><object name="A"><omitted side="x"/></object></schema>)")));
    // Attributes with a prefix answer for their local part; an attribute value's line feed reads as a blank.
    const auto prefixed = parse_bundle_document(
        "<p:ProductBundle xmlns:p=\"urn:quillary:revenue-cloud:product-bundle\"><p:groups>"
        "<p:group q:name=\"a\nb\" xmlns:q=\"urn:q\"/></p:groups></p:ProductBundle>");
    ASSERT_TRUE(prefixed) << prefixed.error().message();
    EXPECT_EQ(prefixed->groups.at(0).name, "a b");
}

TEST(ModelDocumentReader, EdgeCasesOfTheFormat) {
    const auto document = parse_model_document(model(
        R"(<definition/><versions><version name="A" status="active"/><version name="B" status="Active ">)"
        "<shell>\n <!-- dropped --><![CDATA[&amp; &]]></shell></version></versions>"
        R"(<tags><tag type="T" tag="N" unresolved="u" xmlns:k="urn:k" k:extra="e&#9;f"></tag></tags>)"));
    ASSERT_TRUE(document) << document.error().message();
    EXPECT_EQ(document->definition, "");
    EXPECT_TRUE(document->active_version_names().empty());
    ASSERT_EQ(document->versions.size(), 2U);
    EXPECT_EQ(document->versions[1].shell, "\n &amp; &");
    ASSERT_EQ(document->tags.size(), 1U);
    EXPECT_EQ(document->tags[0].unresolved, "u");
    EXPECT_EQ(document->tags[0].attributes,
              (std::vector<std::pair<std::string, std::string>>{{"k", "urn:k"}, {"extra", "e\tf"}}));
}

TEST(RecordDocuments, LineEndsAndControlCharactersReadBackByteForByte) {
    const std::string value = std::string("a\r\nb\rc\nd\te") + std::string("\0\x01\x07\x1f", 4) + "]]>";
    BundleDocument document;
    document.product = {{"Description", value}};
    document.tagged_by = {value};
    const auto parsed = parse_bundle_document(write_bundle_document(document));
    ASSERT_TRUE(parsed) << parsed.error().message();
    EXPECT_EQ(parsed->product.at("Description"), value);
    EXPECT_EQ(parsed->tagged_by, (std::vector<std::string>{value}));

    ModelDocument model_document;
    model_document.definition = value;
    model_document.versions = {ModelVersion{"V", "Active", value, value}};
    const auto parsed_model = parse_model_document(render_model_document(model_document));
    ASSERT_TRUE(parsed_model) << parsed_model.error().message();
    EXPECT_EQ(parsed_model->definition, value);
    EXPECT_EQ(parsed_model->versions.at(0).shell, value);
    EXPECT_EQ(parsed_model->versions.at(0).constraint_model, value);
}

// A text drawn from pieces that the documents must carry byte for byte.
std::string random_text(std::mt19937& random, bool attribute_safe) {
    static const std::vector<std::string> kPieces = {
        "&", "<", ">", "\"", "'", "]]>", "]]", "plain", " ", "Σίσυφος", "日本", "\xF0\x9F\x9A\xB2", ""};
    static const std::vector<std::string> kLineEnds = {"\r", "\r\n", "\n", "\t", "\x01", "\x1f"};
    std::string text;
    const int count = static_cast<int>(random() % 6);
    for (int index = 0; index < count; ++index) {
        if (!attribute_safe && random() % 4 == 0) {
            text += kLineEnds[random() % kLineEnds.size()];
        } else {
            text += kPieces[random() % kPieces.size()];
        }
    }
    return text;
}

std::optional<std::string> random_optional(std::mt19937& random, bool attribute_safe) {
    if (random() % 3 == 0) return std::nullopt;
    return random_text(random, attribute_safe);
}

FieldSet random_fields(std::mt19937& random) {
    FieldSet fields;
    const int count = static_cast<int>(random() % 4);
    for (int index = 0; index < count; ++index) {
        fields["F" + std::to_string(random() % 10) + "__c"] = random_text(random, false);
    }
    return fields;
}

std::vector<std::string> random_names(std::mt19937& random) {
    std::vector<std::string> names;
    const int count = static_cast<int>(random() % 4);
    for (int index = 0; index < count; ++index) names.push_back("N" + std::to_string(random() % 100));
    return names;
}

TEST(RecordDocuments, GeneratedDocumentsRoundTrip) {
    std::mt19937 random(20261211);
    for (int round = 0; round < 200; ++round) {
        SCOPED_TRACE(round);
        BundleDocument document;
        for (int index = 0; index < static_cast<int>(random() % 3); ++index) {
            document.objects.push_back(
                ObjectFieldPlan{random_text(random, true), random_names(random), random_names(random), random_names(random)});
            document.unresolved.emplace_back(random_text(random, true), random());
        }
        document.product = random_fields(random);
        document.based_on = random_optional(random, false);
        document.classifications.push_back({random_text(random, true), random_optional(random, true), random_fields(random)});
        document.groups.push_back({random_text(random, true), random_optional(random, true), random_fields(random)});
        document.components.push_back(
            {{random() % 2 ? ComponentChildKind::Product : ComponentChildKind::Classification, random_text(random, true),
              random_optional(random, true)},
             random_optional(random, true),
             random_optional(random, true),
             random_optional(random, true),
             random_fields(random)});
        document.child_products.push_back(
            {random_text(random, true), random_optional(random, false), random_fields(random), random() % 2 == 0});
        document.selling_model_options.push_back({{random_text(random, true), random_text(random, true)}, random_fields(random)});
        document.price_book_entries.push_back({{random_text(random, true), random_text(random, true),
                                                random_optional(random, true), random_optional(random, true)},
                                               random_fields(random),
                                               random() % 2 == 0});
        document.tagged_by = {random_text(random, false), random_text(random, false)};
        const auto parsed = parse_bundle_document(write_bundle_document(document));
        ASSERT_TRUE(parsed) << parsed.error().message();
        EXPECT_EQ(*parsed, document);

        ModelDocument model_document;
        model_document.definition = random_text(random, false);
        model_document.versions.push_back({"V", random_text(random, true), random_text(random, false), random_text(random, false)});
        model_document.tags.push_back({random_text(random, true), random_text(random, true),
                                       {{"a" + std::to_string(random() % 5), random_text(random, true)}},
                                       random_optional(random, true)});
        const auto parsed_model = parse_model_document(render_model_document(model_document));
        ASSERT_TRUE(parsed_model) << parsed_model.error().message();
        EXPECT_EQ(*parsed_model, model_document);
    }
}

}  // namespace
}  // namespace ambrel::data::bundles::document

namespace ambrel::data::bundles::document {
namespace {

// Damaged documents may be refused but never crash the readers, and whatever they accept writes back
// into a document that reads the same again.
TEST(RecordDocuments, DamagedDocumentsNeverCrashTheReaders) {
    const std::string bundle_text = testing::read_file(golden("full.productBundle-meta.xml"));
    const std::string model_text = testing::read_file(golden("model.constraintModel-meta.xml"));
    ASSERT_FALSE(bundle_text.empty());
    ASSERT_FALSE(model_text.empty());
    std::mt19937_64 random(1211);
    for (int round = 0; round < 3000; ++round) {
        SCOPED_TRACE(round);
        const auto bundle = parse_bundle_document(testing::damage_document(bundle_text, random));
        if (bundle) {
            const auto again = parse_bundle_document(write_bundle_document(*bundle));
            ASSERT_TRUE(again) << again.error().message();
        } else {
            EXPECT_FALSE(bundle.error().message().empty());
        }
        const auto model = parse_model_document(testing::damage_document(model_text, random));
        if (!model) {
            EXPECT_FALSE(model.error().message().empty());
        }
    }
}

}  // namespace
}  // namespace ambrel::data::bundles::document
