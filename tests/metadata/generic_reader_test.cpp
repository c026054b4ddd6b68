#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "metadata/component_reading.hpp"
#include "metadata/generic_reader.hpp"
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

const std::string kPage = metadata_document("FlexiPage", "<masterLabel>P</masterLabel>");

TEST(GenericReader, KeepsOnlyDocumentsWithTheExactEndingSortedByName) {
    SourceTree tree;
    tree.file("flexipages/b.flexipage-meta.xml", kPage);
    tree.file("flexipages/a.flexipage-meta.xml", kPage);
    tree.file("flexipages/.flexipage-meta.xml", kPage);          // the ending alone
    tree.file("flexipages/c.FLEXIPAGE-meta.xml", kPage);         // another letter case
    tree.file("flexipages/d.flexipage", kPage);                  // no "-meta.xml"
    tree.file("flexipages/ns__Page.flexipage-meta.xml", kPage);  // packaged
    tree.file("flexipages/Zeta.flexipage-meta.xml", kPage);
    tree.file("flexipages/alpha.flexipage-meta.xml", kPage);
    tree.file("flexipages/A_b.flexipage-meta.xml", kPage);
    tree.file("flexipages/Ab.flexipage-meta.xml", kPage);
    tree.file("flexipages/Rec.With.Dots.flexipage-meta.xml", kPage);
    tree.file("flexipages/sub.flexipage-meta.xml/x.flexipage-meta.xml", kPage);  // a folder
    tree.link("flexipages/linked.flexipage-meta.xml", tree.root() / "flexipages/a.flexipage-meta.xml");
    tree.fifo("flexipages/fifo.flexipage-meta.xml");

    const auto read = GenericMetadataReader::read(registry_type("FlexiPage"), tree.root());
    ASSERT_TRUE(read.has_value()) << read.error().message();
    EXPECT_THAT(names_of(*read), ElementsAre("A_b", "Ab", "Rec.With.Dots", "Zeta", "a", "alpha", "b"));
    const domain::MetadataComponent& first = read->front();
    EXPECT_EQ(first.key.metadata_type, registry_type("FlexiPage"));
    EXPECT_EQ(first.source_path, tree.root() / "flexipages/A_b.flexipage-meta.xml");
    EXPECT_EQ(first.document, kPage);
    EXPECT_THAT(first.attributes, IsEmpty());
    EXPECT_FALSE(first.body.has_value());
    EXPECT_FALSE(first.required);
}

TEST(GenericReader, MissingOrLinkedTypeFolderGivesNothing) {
    SourceTree tree;
    auto empty = GenericMetadataReader::read(registry_type("FlexiPage"), tree.root());
    ASSERT_TRUE(empty.has_value());
    EXPECT_THAT(*empty, IsEmpty());

    tree.file("real/a.flexipage-meta.xml", kPage);
    tree.link("flexipages", tree.root() / "real");
    auto linked = GenericMetadataReader::read(registry_type("FlexiPage"), tree.root());
    ASSERT_TRUE(linked.has_value());
    EXPECT_THAT(*linked, IsEmpty());

    SourceTree file_tree;
    file_tree.file("flexipages", "not a folder");
    auto file = GenericMetadataReader::read(registry_type("FlexiPage"), file_tree.root());
    ASSERT_TRUE(file.has_value());
    EXPECT_THAT(*file, IsEmpty());
}

struct DocumentCase {
    std::string name;
    std::string type;
    std::string document;
    std::string reason;  // empty: read
};

TEST(GenericReader, ValidatesRootNamespaceAndSyntax) {
    const std::string bundle_ns = std::string(kProductBundleNamespaceUri);
    const DocumentCase cases[] = {
        {"empty document", "FlexiPage", "", ""},
        {"white space alone", "FlexiPage", " \n\t", ""},
        {"starts with U+FEFF", "FlexiPage", "\xEF\xBB\xBF" + kPage, ""},
        {"root without namespace", "FlexiPage", "<FlexiPage><a/></FlexiPage>", "root element must be FlexiPage"},
        {"other root", "FlexiPage", metadata_document("CustomTab", ""), "root element must be FlexiPage"},
        {"doctype", "FlexiPage", "<!DOCTYPE FlexiPage>" + kPage, "doctype is not allowed"},
        {"unknown entity anywhere is no error outside wanted elements", "FlexiPage",
         metadata_document("FlexiPage", "<a>&nbsp;</a>"), ""},
        {"not UTF-8", "FlexiPage", metadata_document("FlexiPage", "<a>\xFF</a>"), "metadata is not valid UTF-8: "},
        {"malformed", "FlexiPage", metadata_document("FlexiPage", "<a></b>"), "end tag"},
        {"product bundle in the metadata namespace", "ProductBundle", metadata_document("ProductBundle", ""),
         "root element must be ProductBundle"},
        {"product bundle in its own namespace", "ProductBundle",
         "<ProductBundle xmlns=\"" + bundle_ns + "\"><name>x</name></ProductBundle>", ""},
        {"constraint model in its own namespace", "ConstraintModel",
         "<ConstraintModel xmlns=\"" + std::string(kConstraintModelNamespaceUri) + "\"/>", ""},
    };
    for (const DocumentCase& c : cases) {
        SCOPED_TRACE(c.name);
        SourceTree tree;
        const MetadataType type = c.type == "ProductBundle"     ? MetadataType::ProductBundle
                                  : c.type == "ConstraintModel" ? MetadataType::ConstraintModel
                                                                : registry_type(c.type);
        const std::string folder = c.type == "ProductBundle"     ? "productBundles/x.productBundle-meta.xml"
                                   : c.type == "ConstraintModel" ? "constraintModels/x.constraintModel-meta.xml"
                                                                 : "flexipages/x.flexipage-meta.xml";
        const auto path = tree.file(folder, c.document);
        const auto read = GenericMetadataReader::read(type, tree.root());
        if (c.reason.empty()) {
            ASSERT_TRUE(read.has_value()) << read.error().message();
            ASSERT_EQ(read->size(), 1u);
            EXPECT_EQ(read->front().document, c.document);
        } else {
            ASSERT_FALSE(read.has_value());
            const auto* invalid = read.error().invalid_form();
            ASSERT_NE(invalid, nullptr);
            EXPECT_EQ(invalid->path, path);
            EXPECT_NE(invalid->reason.find(c.reason), std::string::npos) << invalid->reason;
            if (c.reason.starts_with("root") || c.reason.starts_with("doctype")) {
                const std::string kind = c.type == "ProductBundle"     ? "product bundle"
                                         : c.type == "ConstraintModel" ? "constraint model"
                                                                       : "flexi page";
                EXPECT_EQ(read.error().message(), "Invalid " + kind + " metadata in " + path.string() + ": " + c.reason);
            }
        }
    }
}

TEST(GenericReader, PackagedProductBundleNamesAreRead) {
    SourceTree tree;
    tree.file("productBundles/ns__Bundle.productBundle-meta.xml",
              "<ProductBundle xmlns=\"" + std::string(kProductBundleNamespaceUri) + "\"/>");
    const auto read = GenericMetadataReader::read(MetadataType::ProductBundle, tree.root());
    ASSERT_TRUE(read.has_value()) << read.error().message();
    EXPECT_THAT(names_of(*read), ElementsAre("ns__Bundle"));
}

TEST(GenericReader, TheThirdOfFiveInvalidFailsTheWholeRead) {
    SourceTree tree;
    for (const char* name : {"a", "b", "d", "e"}) tree.file(std::string("tabs/") + name + ".tab-meta.xml",
                                                            metadata_document("CustomTab", ""));
    const auto bad = tree.file("tabs/c.tab-meta.xml", metadata_document("FlexiPage", ""));
    const auto read = GenericMetadataReader::read(registry_type("CustomTab"), tree.root());
    ASSERT_FALSE(read.has_value());
    EXPECT_EQ(read.error(), FieldReadError::invalid(bad, "root element must be CustomTab").of_kind("custom tab"));
}

TEST(GenericReader, WrongContentFormatIsAPathFormErrorWithAnEmptyPath) {
    SourceTree tree;
    const auto read = GenericMetadataReader::read(MetadataType::CustomField, tree.root());
    ASSERT_FALSE(read.has_value());
    EXPECT_EQ(read.error(),
              FieldReadError::invalid({}, "metadata type CustomField is not a single-XML-file type").of_kind("custom field"));
    EXPECT_EQ(read.error().message(),
              "Invalid custom field metadata in : metadata type CustomField is not a single-XML-file type");
}

TEST(GenericReader, UnlistableFolderAndUnreadableDocumentGiveTheFixedMessages) {
    if (testing::running_as_root()) GTEST_SKIP() << "permissions do not bind root";
    SourceTree tree;
    tree.file("flexipages/a.flexipage-meta.xml", kPage);
    std::filesystem::permissions(tree.root() / "flexipages/a.flexipage-meta.xml", std::filesystem::perms::none);
    auto unreadable = GenericMetadataReader::read(registry_type("FlexiPage"), tree.root());
    ASSERT_FALSE(unreadable.has_value());
    EXPECT_EQ(unreadable.error().message(), "Could not read component metadata");

    std::filesystem::permissions(tree.root() / "flexipages", std::filesystem::perms::none);
    auto unlistable = GenericMetadataReader::read(registry_type("FlexiPage"), tree.root());
    std::filesystem::permissions(tree.root() / "flexipages", std::filesystem::perms::owner_all);
    ASSERT_FALSE(unlistable.has_value());
    EXPECT_EQ(unlistable.error().message(), "Could not list flexipages directory");
}

TEST(GenericReader, ADocumentSwappedForAFifoOrLinkIsUnreadableWithoutBlocking) {
    SourceTree tree;
    tree.fifo("flexipages/F.flexipage-meta.xml");
    const auto page = tree.file("P.flexipage-meta.xml", kPage);
    tree.link("flexipages/L.flexipage-meta.xml", page);
    for (const char* name : {"F", "L"}) {
        SCOPED_TRACE(name);
        const auto read = generic_reader::read_and_validate_document_in_namespace(
            tree.root() / "flexipages" / (std::string(name) + ".flexipage-meta.xml"), "FlexiPage", testing::kMetadataNs);
        ASSERT_FALSE(read.has_value());
        EXPECT_EQ(read.error().message(), "Could not read component metadata");
    }
    // The listing itself skips both without opening them.
    const auto listed = GenericMetadataReader::read(registry_type("FlexiPage"), tree.root());
    ASSERT_TRUE(listed.has_value());
    EXPECT_THAT(*listed, IsEmpty());
}

TEST(GenericReader, NamesThatAreNotUtf8AreReadWithReplacements) {
    SourceTree tree;
    tree.file("flexipages/a\xFF.flexipage-meta.xml", kPage);
    const auto read = GenericMetadataReader::read(registry_type("FlexiPage"), tree.root());
    ASSERT_TRUE(read.has_value()) << read.error().message();
    EXPECT_THAT(names_of(*read), ElementsAre("a\xEF\xBF\xBD"));
}

}  // namespace
}  // namespace ambrel::metadata
