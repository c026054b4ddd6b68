#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <string_view>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "metadata/layout_model.hpp"
#include "support/test_paths.hpp"

namespace ambrel::metadata {
namespace {

namespace fs = std::filesystem;
using layout_reader::is_packaged_layout;
using layout_reader::parse_layout_model;
using ::testing::ElementsAre;

const std::string kNs = "http://soap.sforce.com/2006/04/metadata";

std::string read_text(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

void write_text(const fs::path& path, std::string_view text) {
    std::ofstream out(path, std::ios::binary);
    out << text;
}

const fs::path kFixture = ambrel::testing::tests_dir() / "fixtures/metadata/Account-Account_Layout.layout-meta.xml";

// The exact bytes of the `n`-th element starting with `open` in the text.
std::string element_text(const std::string& text, std::string_view open, std::string_view close, int n) {
    std::size_t at = 0;
    for (int i = 0; i <= n; ++i) at = text.find(open, i == 0 ? 0 : at + 1);
    return text.substr(at, text.find(close, at) + close.size() - at);
}

TEST(LayoutModel, ModelsSectionsColumnsItemsAndRelatedListsInDocumentOrder) {
    const std::string text = read_text(kFixture);
    auto model = parse_layout_model("Account-Account Layout", text, kFixture);
    ASSERT_TRUE(model) << model.error().message();
    EXPECT_EQ(model->name, "Account-Account Layout");
    ASSERT_EQ(model->sections.size(), 4u);

    const LayoutSection& first = model->sections[0];
    EXPECT_EQ(first.label, "Information");
    EXPECT_EQ(first.occurrence, 0u);
    EXPECT_EQ(first.custom_label, "false");
    EXPECT_EQ(first.detail_heading, "true");
    EXPECT_EQ(first.edit_heading, "true");
    EXPECT_EQ(first.style, "TwoColumnsTopToBottom");
    ASSERT_EQ(first.columns.size(), 3u);
    const std::string item = "<layoutItems>";
    const std::string item_end = "</layoutItems>";
    EXPECT_THAT(first.columns[0],
                ElementsAre(LayoutItem{LayoutItem::Field{"Name", element_text(text, item, item_end, 0), "Required"}},
                            LayoutItem{LayoutItem::Other{}},
                            LayoutItem{LayoutItem::Component{"AccountSummary", element_text(text, item, item_end, 2),
                                                             LayoutComponentKind::Page}}));
    EXPECT_TRUE(first.columns[1].empty());  // an empty column is kept
    EXPECT_THAT(first.columns[2],
                ElementsAre(LayoutItem{LayoutItem::Component{"Pipeline", element_text(text, item, item_end, 3),
                                                             LayoutComponentKind::Report}},
                            LayoutItem{LayoutItem::Field{"Industry__c", element_text(text, item, item_end, 4),
                                                         std::nullopt}}));

    const LayoutSection& second = model->sections[1];
    EXPECT_EQ(second.label, "Information");
    EXPECT_EQ(second.occurrence, 1u);
    EXPECT_EQ(second.style, std::nullopt);
    ASSERT_EQ(second.columns.size(), 1u);
    EXPECT_THAT(second.columns[0],
                ElementsAre(LayoutItem{LayoutItem::Field{
                    "Phone", "<layoutItems><field>Phone</field><behavior>Edit</behavior></layoutItems>", "Edit"}}));

    // Unlabelled sections share one count; an empty label element counts as no label.
    EXPECT_EQ(model->sections[2].label, "");
    EXPECT_EQ(model->sections[2].occurrence, 0u);
    EXPECT_EQ(model->sections[2].columns.size(), 1u);
    EXPECT_EQ(model->sections[3].occurrence, 1u);
    EXPECT_TRUE(model->sections[3].columns.empty());

    ASSERT_EQ(model->related_lists.size(), 2u);  // the list without a relatedList child is left out
    const RelatedListItem& contacts = model->related_lists[0];
    EXPECT_EQ(contacts.related_list, "RelatedContactList");
    EXPECT_EQ(contacts.raw, element_text(text, "<relatedLists>", "</relatedLists>", 0));
    EXPECT_THAT(contacts.fields, ElementsAre("NAME", "CONTACT.TITLE"));
    EXPECT_THAT(contacts.custom_buttons, ElementsAre("New_Thing"));
    EXPECT_THAT(contacts.exclude_buttons, ElementsAre("New", "ChangeOwner"));
    EXPECT_EQ(contacts.sort_field, "NAME");
    EXPECT_EQ(contacts.sort_order, "Asc");
    EXPECT_EQ(model->related_lists[1].related_list, "");
    EXPECT_TRUE(model->related_lists[1].fields.empty());
    EXPECT_EQ(model->related_lists[1].sort_field, std::nullopt);
}

TEST(LayoutModel, ComponentItemsAndFailures) {
    const std::string text = "<Layout xmlns=\"" + kNs +
                             "\"><layoutSections><layoutColumns>"
                             "<layoutItems><canvas> </canvas><x:page xmlns:x='urn:x'>P</x:page></layoutItems>"
                             "<layoutItems><analyticsCloudComponent>Dash</analyticsCloudComponent></layoutItems>"
                             "<layoutItems><customLink>Link</customLink><field> </field></layoutItems>"
                             "</layoutColumns></layoutSections></Layout>";
    auto model = parse_layout_model("A-B", text, "p");
    ASSERT_TRUE(model) << model.error().message();
    const auto& column = model->sections.at(0).columns.at(0);
    ASSERT_EQ(column.size(), 3u);
    EXPECT_TRUE(std::holds_alternative<LayoutItem::Other>(column[0].value));
    EXPECT_EQ(std::get<LayoutItem::Component>(column[1].value).kind, LayoutComponentKind::AnalyticsCloudComponent);
    EXPECT_EQ(std::get<LayoutItem::Component>(column[2].value).name, "Link");

    auto failed = parse_layout_model("A-B", "<Layout/>", "layouts/A-B.layout-meta.xml");
    ASSERT_FALSE(failed);
    EXPECT_EQ(failed.error().message(),
              "Invalid page layout metadata in layouts/A-B.layout-meta.xml: root element must be Layout");
}

TEST(LayoutModel, TheFirstChildOfEachComponentNameDecidesForItsKind) {
    // Many empty page elements, a later page with a name (never read: the first page decides) and
    // then a report with a name. Each kind is looked at once, so the item reads in linear time.
    std::string repeated;
    for (int i = 0; i < 3000; ++i) repeated += "<page/>";
    const std::string text = "<Layout xmlns=\"" + kNs +
                             "\"><layoutSections><layoutColumns>"
                             "<layoutItems><field></field><page>Overview</page></layoutItems>"
                             "<layoutItems>" + repeated + "<page>Late</page><report>Pipeline</report></layoutItems>"
                             "</layoutColumns></layoutSections></Layout>";
    auto model = parse_layout_model("A-B", text, "p");
    ASSERT_TRUE(model) << model.error().message();
    const auto& column = model->sections.at(0).columns.at(0);
    ASSERT_EQ(column.size(), 2u);
    const auto& page = std::get<LayoutItem::Component>(column[0].value);
    EXPECT_EQ(page.kind, LayoutComponentKind::Page);
    EXPECT_EQ(page.name, "Overview");
    const auto& report = std::get<LayoutItem::Component>(column[1].value);
    EXPECT_EQ(report.kind, LayoutComponentKind::Report);
    EXPECT_EQ(report.name, "Pipeline");
}

TEST(PackagedLayouts, LookAtThePrefixAfterTheFirstHyphenOrTheWholeName) {
    struct Case {
        std::string_view name;
        bool packaged;
    };
    const Case cases[] = {
        {"Account-Account Layout", false},
        {"Account-abcdefghijklmno__Layout", true},    // a 15-character prefix
        {"Account-abcdefghijklmnop__Layout", false},  // 16 characters are no prefix
        {"Account-a__Layout", true},
        {"Account-a_b__Layout", true},
        {"Account-1ns__Layout", false},
        {"Account-_ns__Layout", false},
        {"ns__Obj__c-Layout", false},  // a namespaced object does not make the layout packaged
        {"Account-Layout-ns__More", false},
        {"ns__Thing__c", true},
        {"Thing__c", false},
        {"Plain", false},
    };
    for (const Case& c : cases) EXPECT_EQ(is_packaged_layout(c.name), c.packaged) << c.name;
}

std::vector<std::string> names_of(const std::vector<domain::MetadataComponent>& components) {
    std::vector<std::string> names;
    for (const auto& component : components) names.push_back(component.key.name);
    return names;
}

TEST(LayoutReader, ReadsTheLayoutsFolderSortedAndSkipsWhatIsNotALayoutFile) {
    ambrel::testing::TempDir root;
    auto none = LayoutMetadataReader::read(root.path());
    ASSERT_TRUE(none);
    EXPECT_TRUE(none->empty());

    const fs::path layouts = root.path() / "layouts";
    fs::create_directory(layouts);
    const std::string valid = read_text(kFixture);
    const std::string with_bom = "\xEF\xBB\xBF" + valid;
    write_text(layouts / "Z-Last.layout-meta.xml", valid);
    write_text(layouts / "A-First.layout-meta.xml", with_bom);
    write_text(layouts / "Account-ns__Managed.layout-meta.xml", "not even XML");
    write_text(layouts / ".layout-meta.xml", "not even XML");
    write_text(layouts / "Upper-Case.LAYOUT-META.XML", "not even XML");
    write_text(layouts / "Other.txt", "not even XML");
    fs::create_directory(layouts / "Sub-Folder.layout-meta.xml");
    fs::create_symlink(layouts / "Z-Last.layout-meta.xml", layouts / "L-Link.layout-meta.xml");

    auto components = LayoutMetadataReader::read(root.path());
    ASSERT_TRUE(components) << components.error().message();
    EXPECT_THAT(names_of(*components), ElementsAre("A-First", "Z-Last"));
    const domain::MetadataComponent& first = components->at(0);
    EXPECT_EQ(first.key.metadata_type, metadata_types::MetadataType::Layout);
    EXPECT_EQ(first.document, with_bom);  // the mark stays in the component text
    EXPECT_EQ(first.source_path, layouts / "A-First.layout-meta.xml");
    EXPECT_TRUE(first.attributes.empty());
    EXPECT_FALSE(first.body.has_value());
    EXPECT_FALSE(first.required);

    // A "layouts" entry that is a link to a real folder is not read.
    ambrel::testing::TempDir linked;
    fs::create_directory_symlink(layouts, linked.path() / "layouts");
    auto through_link = LayoutMetadataReader::read(linked.path());
    ASSERT_TRUE(through_link);
    EXPECT_TRUE(through_link->empty());
}

TEST(LayoutReader, OneBadDocumentFailsTheWholeRead) {
    ambrel::testing::TempDir root;
    const fs::path layouts = root.path() / "layouts";
    fs::create_directory(layouts);
    write_text(layouts / "A-Good.layout-meta.xml", read_text(kFixture));
    write_text(layouts / "B-Bad.layout-meta.xml", "<Layout xmlns=\"" + kNs + "\"><label>");
    auto broken = LayoutMetadataReader::read(root.path());
    ASSERT_FALSE(broken);
    EXPECT_EQ(broken.error().message(), "Invalid page layout metadata in " +
                                            (layouts / "B-Bad.layout-meta.xml").string() +
                                            ": layout root is not closed");

    write_text(layouts / "B-Bad.layout-meta.xml", "<Layout xmlns=\"" + kNs + "\">\xC3(</Layout>");
    auto not_utf8 = LayoutMetadataReader::read(root.path());
    ASSERT_FALSE(not_utf8);
    ASSERT_NE(not_utf8.error().invalid_form(), nullptr);
    EXPECT_TRUE(not_utf8.error().invalid_form()->reason.starts_with("metadata is not valid UTF-8: "));

    if (::geteuid() != 0) {  // permission bits do not stop the superuser
        write_text(layouts / "B-Bad.layout-meta.xml", read_text(kFixture));
        fs::permissions(layouts / "B-Bad.layout-meta.xml", fs::perms::none);
        auto unreadable = LayoutMetadataReader::read(root.path());
        ASSERT_FALSE(unreadable);
        EXPECT_EQ(unreadable.error().message(), "Could not read layout metadata");
    }
}

TEST(LayoutReader, ReadsAndModelsTheCorpusLayouts) {
    const fs::path corpus = ambrel::testing::corpus_dir();
    std::error_code ec;
    ASSERT_TRUE(fs::is_directory(corpus, ec)) << "no corpus under " << corpus;
    std::size_t layouts_seen = 0;
    for (const auto& project : fs::directory_iterator(corpus)) {
        const fs::path source = project.path() / "force-app/main/default";
        if (!fs::is_directory(source / "layouts")) continue;
        auto components = LayoutMetadataReader::read(source);
        ASSERT_TRUE(components) << components.error().message();
        std::size_t files = 0;
        for (const auto& entry : fs::directory_iterator(source / "layouts")) {
            files += entry.path().filename().string().ends_with(".layout-meta.xml") ? 1 : 0;
        }
        EXPECT_EQ(components->size(), files) << source;
        for (const auto& component : *components) {
            auto model = parse_layout_model(component.key.name, component.document, component.source_path);
            ASSERT_TRUE(model) << model.error().message();
            EXPECT_FALSE(model->sections.empty()) << component.key.name;
            for (const auto& section : model->sections) {
                for (const auto& column : section.columns) {
                    for (const auto& item : column) {
                        if (const auto* field = std::get_if<LayoutItem::Field>(&item.value)) {
                            EXPECT_TRUE(field->raw.starts_with("<layoutItems>")) << field->raw;
                            EXPECT_TRUE(field->raw.ends_with("</layoutItems>")) << field->raw;
                        }
                    }
                }
            }
            ++layouts_seen;
        }
    }
    EXPECT_GT(layouts_seen, 0u);
}

}  // namespace
}  // namespace ambrel::metadata
