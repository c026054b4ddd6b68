#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "metadata/apex_reader.hpp"
#include "metadata/bundle_reader.hpp"
#include "metadata/flow_reader.hpp"
#include "metadata_types/name_rules.hpp"
#include "support/source_tree.hpp"

namespace ambrel::metadata {
namespace {

using metadata_types::MetadataType;
using testing::attribute_texts;
using testing::metadata_document;
using testing::names_of;
using testing::SourceTree;
using ::testing::ElementsAre;
using ::testing::IsEmpty;

const std::string kClassSidecar = metadata_document("ApexClass", "<apiVersion>65.0</apiVersion><status>Active</status>");

// ---------------------------------------------------------------------------------------------
// Apex bodies
// ---------------------------------------------------------------------------------------------

TEST(ApexBodyReader, PairsBodiesWithRegularFileSidecars) {
    SourceTree tree;
    tree.file("classes/Foo.cls", "public class Foo {}");
    tree.file("classes/Foo.cls-meta.xml", kClassSidecar);
    tree.file("classes/Bar.cls", "no sidecar");
    tree.file("classes/ns__Util.cls", "packaged");
    tree.file("classes/ns__Util.cls-meta.xml", kClassSidecar);
    tree.file("classes/.cls", "ending alone");
    tree.file("classes/.cls-meta.xml", kClassSidecar);
    tree.file("classes/Up.CLS", "other case");
    tree.file("classes/Up.CLS-meta.xml", kClassSidecar);
    tree.folder("classes/Dir.cls");
    tree.file("classes/Baz.cls-meta.xml", kClassSidecar);  // no body
    tree.file("classes/Linked.cls", "body");
    tree.link("classes/Linked.cls-meta.xml", tree.root() / "classes/Foo.cls-meta.xml");
    tree.file("real.cls", "x");
    tree.link("classes/LinkBody.cls", tree.root() / "real.cls");
    tree.file("classes/LinkBody.cls-meta.xml", kClassSidecar);
    tree.fifo("classes/Fifo.cls");
    for (const char* name : {"Zeta", "alpha", "A_b", "Ab"}) {
        tree.file(std::string("classes/") + name + ".cls", name);
        tree.file(std::string("classes/") + name + ".cls-meta.xml", metadata_document("ApexClass", "<status/>"));
    }

    const auto read = ApexBodyReader::read(MetadataType::ApexClass, tree.root());
    ASSERT_TRUE(read.has_value()) << read.error().message();
    EXPECT_THAT(names_of(*read), ElementsAre("A_b", "Ab", "Foo", "Zeta", "alpha"));
    const domain::MetadataComponent& foo = (*read)[2];
    EXPECT_EQ(foo.key.metadata_type, MetadataType::ApexClass);
    EXPECT_EQ(attribute_texts(foo), (std::vector<std::string>{"65.0", "Active"}));
    EXPECT_EQ(foo.source_path, tree.root() / "classes/Foo.cls-meta.xml");
    EXPECT_EQ(foo.document, kClassSidecar);
    ASSERT_TRUE(foo.body.has_value());
    EXPECT_EQ(foo.body->path, "classes/Foo.cls");
    EXPECT_EQ(foo.body->text, "public class Foo {}");
    EXPECT_EQ(attribute_texts((*read)[0]), (std::vector<std::string>{"<absent>", ""}));
}

TEST(ApexBodyReader, BodyPathsOfTriggersAndPages) {
    SourceTree tree;
    tree.file("triggers/T.trigger", "trigger T on Account (before insert) {}");
    tree.file("triggers/T.trigger-meta.xml", metadata_document("ApexTrigger", "<apiVersion>60.0</apiVersion>"));
    tree.file("pages/P.page", "<apex:page/>");
    tree.file("pages/P.page-meta.xml", metadata_document("ApexPage", "<label>P</label>"));
    const auto triggers = ApexBodyReader::read(MetadataType::ApexTrigger, tree.root());
    ASSERT_TRUE(triggers.has_value()) << triggers.error().message();
    ASSERT_EQ(triggers->size(), 1u);
    EXPECT_EQ(triggers->front().body->path, "triggers/T.trigger");
    EXPECT_EQ(attribute_texts(triggers->front()), (std::vector<std::string>{"60.0", "<absent>"}));
    const auto pages = ApexBodyReader::read(MetadataType::ApexPage, tree.root());
    ASSERT_TRUE(pages.has_value()) << pages.error().message();
    ASSERT_EQ(pages->size(), 1u);
    EXPECT_EQ(pages->front().body->path, "pages/P.page");
    EXPECT_EQ(attribute_texts(pages->front()), (std::vector<std::string>{"<absent>", "P"}));
    // A type of another format is no error: nothing to read.
    const auto other = ApexBodyReader::read(MetadataType::Flow, tree.root());
    ASSERT_TRUE(other.has_value());
    EXPECT_THAT(*other, IsEmpty());
}

TEST(ApexBodyReader, Failures) {
    {
        SourceTree tree;
        tree.file("classes/A.cls", "x");
        const auto sidecar = tree.file("classes/A.cls-meta.xml", metadata_document("ApexTrigger", ""));
        const auto read = ApexBodyReader::read(MetadataType::ApexClass, tree.root());
        ASSERT_FALSE(read.has_value());
        EXPECT_EQ(read.error(), FieldReadError::invalid(sidecar, "root element must be ApexClass").of_kind("Apex class"));
    }
    {
        SourceTree tree;
        const auto body = tree.file("classes/A.cls", "caf\xE9");
        tree.file("classes/A.cls-meta.xml", kClassSidecar);
        const auto read = ApexBodyReader::read(MetadataType::ApexClass, tree.root());
        ASSERT_FALSE(read.has_value());
        ASSERT_NE(read.error().invalid_form(), nullptr);
        EXPECT_EQ(read.error().invalid_form()->path, body);
        EXPECT_TRUE(read.error().message().starts_with("Invalid Apex class metadata in " + body.string() +
                                                       ": metadata is not valid UTF-8: "));
    }
    {
        // A document above the limit is refused with the file's name before it is read whole.
        SourceTree tree;
        const auto body = tree.file("classes/Huge.cls", std::string(metadata_types::kMaxComponentDocumentBytes + 1, 'a'));
        tree.file("classes/Huge.cls-meta.xml", kClassSidecar);
        const auto read = ApexBodyReader::read(MetadataType::ApexClass, tree.root());
        ASSERT_FALSE(read.has_value());
        EXPECT_EQ(read.error().message(), body.string() + " is larger than 10 MB, the limit for one component document.");
    }
    SourceTree tree;
    tree.fifo("classes/F.cls");
    const auto fifo = apex_reader::read_text(tree.root() / "classes/F.cls", "Could not read Apex source body");
    ASSERT_FALSE(fifo.has_value());
    EXPECT_EQ(fifo.error().message(), "Could not read Apex source body");
}

// ---------------------------------------------------------------------------------------------
// Bundles
// ---------------------------------------------------------------------------------------------

TEST(BundleReader, OnlyNamedBundlesWithFiles) {
    SourceTree tree;
    tree.file("lwc/jsconfig.json", "{}");
    tree.file("lwc/myCmp/myCmp.js", "export default class {}");
    tree.file("lwc/myCmp/myCmp.js-meta.xml", "<LightningComponentBundle/>");
    tree.file("lwc/myCmp/__tests__/myCmp.test.js", "test");
    tree.file("lwc/myCmp/A.js", "A");
    tree.file("lwc/myCmp/a.js", "a");
    tree.file("lwc/myCmp/sub/x.js", "x");
    tree.file("lwc/2fa/x.js", "x");
    tree.file("lwc/my-cmp/x.js", "x");
    tree.file("lwc/ns__widget/x.js", "x");
    tree.folder("lwc/emptyCmp/sub/deeper");
    tree.file("outside/x.js", "x");
    tree.link("lwc/linkOnly/x.js", tree.root() / "outside/x.js");
    tree.link("lwc/linkedBundle", tree.root() / "lwc/myCmp");
    tree.file("lwc/odd/back\\slash.js", "x");
    tree.file("lwc/odd/ctrl\x01.js", "x");
    tree.file("lwc/odd/ok.js", "ok");
    tree.fifo("lwc/odd/pipe.js");

    const auto read = BundleReader::read(MetadataType::LightningComponentBundle, tree.root());
    ASSERT_TRUE(read.has_value()) << read.error().message();
    ASSERT_THAT(names_of(*read), ElementsAre("myCmp", "odd"));
    const domain::MetadataComponent& cmp = (*read)[0];
    std::vector<std::string> keys;
    for (const auto& [key, text] : cmp.bundle_files) keys.push_back(key);
    EXPECT_THAT(keys, ElementsAre("A.js", "__tests__/myCmp.test.js", "a.js", "myCmp.js", "myCmp.js-meta.xml",
                                  "sub/x.js"));
    EXPECT_EQ(cmp.bundle_files.at("a.js"), "a");
    EXPECT_EQ(cmp.source_path, tree.root() / "lwc/myCmp");
    EXPECT_TRUE(cmp.document.empty());
    EXPECT_THAT(cmp.attributes, IsEmpty());
    EXPECT_EQ((*read)[1].bundle_files, (bundle_reader::BundleFiles{{"ok.js", "ok"}}));
}

TEST(BundleReader, DeepFoldersAndFailures) {
    SourceTree tree;
    std::filesystem::path deep = "aura/deep";
    for (int i = 0; i < 200; ++i) deep /= "d";
    tree.file(deep / "leaf.txt", "leaf");
    const auto read = BundleReader::read(MetadataType::AuraDefinitionBundle, tree.root());
    ASSERT_TRUE(read.has_value()) << read.error().message();
    ASSERT_EQ(read->size(), 1u);
    ASSERT_EQ(read->front().bundle_files.size(), 1u);
    EXPECT_TRUE(read->front().bundle_files.begin()->first.ends_with("/d/d/leaf.txt"));

    const auto image = tree.file("aura/pic/logo.png", "\x89PNG\r\n\x1A\n\xFF");
    const auto failed = BundleReader::read(MetadataType::AuraDefinitionBundle, tree.root());
    ASSERT_FALSE(failed.has_value());
    ASSERT_NE(failed.error().invalid_form(), nullptr);
    EXPECT_EQ(failed.error().invalid_form()->path, image);

    bundle_reader::BundleFiles files;
    const auto missing = bundle_reader::collect_bundle_files(tree.root() / "nothing", "", files);
    ASSERT_FALSE(missing.has_value());
    EXPECT_EQ(missing.error().message(), "Could not list bundle contents");
    EXPECT_TRUE(bundle_reader::BUNDLE_NAME.matches("a_1"));
    EXPECT_FALSE(bundle_reader::BUNDLE_NAME.matches("1a"));
    EXPECT_FALSE(bundle_reader::BUNDLE_NAME.matches("a-b"));
}

// ---------------------------------------------------------------------------------------------
// Flows
// ---------------------------------------------------------------------------------------------

TEST(FlowReader, NamesEntriesAndAttributes) {
    SourceTree tree;
    const std::string flow = metadata_document(
        "Flow", "<decisions><label>inner</label></decisions><status>Active</status><label>Alpha</label>"
                "<apiVersion>65.0</apiVersion><status>Obsolete</status>");
    tree.file("flows/Alpha.flow-meta.xml", flow);
    tree.file("flows/ns__Beta.flow-meta.xml", flow);
    tree.file("flows/Gamma.flow", flow);
    tree.folder("flows/Delta.flow-meta.xml");
    tree.file("flows/.flow-meta.xml", flow);
    tree.file("flows/Zeta.flow-meta.xml", "\xEF\xBB\xBF" + flow);
    tree.file("flows/alpha.flow-meta.xml", flow);
    tree.link("flows/Link.flow-meta.xml", tree.root() / "flows/Alpha.flow-meta.xml");
    const auto read = FlowMetadataReader::read(tree.root());
    ASSERT_TRUE(read.has_value()) << read.error().message();
    EXPECT_THAT(names_of(*read), ElementsAre("Alpha", "Zeta", "alpha"));
    EXPECT_EQ(attribute_texts(read->front()), (std::vector<std::string>{"Alpha", "Active", "65.0", "<absent>"}));
    EXPECT_EQ((*read)[1].document, "\xEF\xBB\xBF" + flow);
    EXPECT_EQ((*read)[1].key.metadata_type, MetadataType::Flow);
}

TEST(FlowReader, Failures) {
    SourceTree linked;
    linked.file("real/A.flow-meta.xml", metadata_document("Flow", ""));
    linked.link("flows", linked.root() / "real");
    const auto empty = FlowMetadataReader::read(linked.root());
    ASSERT_TRUE(empty.has_value());
    EXPECT_THAT(*empty, IsEmpty());

    SourceTree tree;
    for (const char* name : {"A", "B", "D", "E"}) {
        tree.file(std::string("flows/") + name + ".flow-meta.xml", metadata_document("Flow", ""));
    }
    const auto bad = tree.file("flows/C.flow-meta.xml", "<Flow><label>x</label></Flow>");
    const auto read = FlowMetadataReader::read(tree.root());
    ASSERT_FALSE(read.has_value());
    EXPECT_EQ(read.error(), FieldReadError::invalid(bad, "root element must be Flow"));
}

}  // namespace
}  // namespace ambrel::metadata
