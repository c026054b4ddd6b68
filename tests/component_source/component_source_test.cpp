#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "component_source/component_source.hpp"
#include "metadata_types/metadata_type.hpp"
#include "support/test_paths.hpp"

namespace ambrel::component_source {
namespace {

namespace fs = std::filesystem;
using domain::ComponentDifference;
using metadata_types::MetadataType;

ComponentDifference row(MetadataType type, std::string name) {
    ComponentDifference difference;
    difference.source.key = {type, std::move(name)};
    return difference;
}

class ComponentSourceTest : public ::testing::Test {
protected:
    fs::path source_root() const { return dir_.path() / "source-project"; }
    fs::path target_root() const { return dir_.path() / "target-project"; }

    void write(const fs::path& root, const std::string& relative, const std::string& content) const {
        const fs::path path = root / kProjectSourceFolder / relative;
        fs::create_directories(path.parent_path());
        std::ofstream(path, std::ios::binary) << content;
    }

    std::expected<ComponentSource, ComponentSourceError> resolve(MetadataType type, std::string_view name,
                                                                 std::optional<fs::path> override_path = {}) const {
        return resolve_component_source(rows_, "dev", "repo@main", source_root(), target_root(), type, name,
                                        override_path);
    }

    testing::TempDir dir_;
    std::vector<ComponentDifference> rows_;
};

TEST_F(ComponentSourceTest, ApexClassOnlyInTheTarget) {
    rows_ = {row(MetadataType::ApexClass, "Invoice")};
    write(target_root(), "classes/Invoice.cls", "public class Invoice {}");
    write(target_root(), "classes/Invoice.cls-meta.xml", "<ApexClass/>");
    const auto source = resolve(MetadataType::ApexClass, "Invoice");
    ASSERT_TRUE(source);
    EXPECT_EQ(*source, (ComponentSource{.source_label = "dev",
                                        .target_label = "repo@main",
                                        .source_text = std::nullopt,
                                        .target_text = "public class Invoice {}",
                                        .source_metadata_text = std::nullopt,
                                        .target_metadata_text = "<ApexClass/>"}));
}

TEST_F(ComponentSourceTest, EditedSourceBodyComesFromTheEditFile) {
    rows_ = {row(MetadataType::ApexClass, "Invoice")};
    write(source_root(), "classes/Invoice.cls", "original");
    write(source_root(), "classes/Invoice.cls-meta.xml", "<meta/>");
    const fs::path edit = dir_.path() / "edits" / "Invoice.cls";
    fs::create_directories(edit.parent_path());
    std::ofstream(edit) << "edited";
    const auto source = resolve(MetadataType::ApexClass, "Invoice", edit);
    ASSERT_TRUE(source);
    EXPECT_EQ(source->source_text, "edited");
    EXPECT_EQ(source->source_metadata_text, "<meta/>");

    const auto unreadable = resolve(MetadataType::ApexClass, "Invoice", dir_.path() / "edits" / "absent");
    ASSERT_TRUE(unreadable);
    EXPECT_EQ(unreadable->source_text, std::nullopt);
}

TEST_F(ComponentSourceTest, LayoutElementRowShowsTheWholeLayout) {
    rows_ = {row(MetadataType::Layout, "Account-Account Layout::field:Name")};
    write(source_root(), "layouts/Account-Account Layout.layout-meta.xml", "<Layout>source</Layout>");
    write(target_root(), "layouts/Account-Account Layout.layout-meta.xml", "<Layout>target</Layout>");
    const auto source = resolve(MetadataType::Layout, "Account-Account Layout::field:Name");
    ASSERT_TRUE(source);
    EXPECT_EQ(source->source_text, "<Layout>source</Layout>");
    EXPECT_EQ(source->target_text, "<Layout>target</Layout>");
    EXPECT_EQ(source->source_metadata_text, std::nullopt);
}

TEST_F(ComponentSourceTest, GenericTypeDocument) {
    const MetadataType tab = *metadata_types::generic_type_by_api_name("CustomTab");
    rows_ = {row(tab, "Invoice__c")};
    write(source_root(), "tabs/Invoice__c.tab-meta.xml", "<CustomTab/>");
    const auto source = resolve(tab, "Invoice__c");
    ASSERT_TRUE(source);
    EXPECT_EQ(source->source_text, "<CustomTab/>");
    EXPECT_EQ(source->target_text, std::nullopt);
}

TEST_F(ComponentSourceTest, BundleFilesInPathOrderWithHeaders) {
    rows_ = {row(MetadataType::LightningComponentBundle, "card")};
    write(source_root(), "lwc/card/a.js", "export default 1;\n");
    write(source_root(), "lwc/card/b/c.js", "x");
    write(source_root(), "lwc/card/empty.txt", "");
    write(source_root(), "lwc/card/bad.bin", "\xFF\xFE");
    write(dir_.path(), "secret.txt", "secret");
    fs::create_symlink(dir_.path() / kProjectSourceFolder / "secret.txt",
                       source_root() / kProjectSourceFolder / "lwc/card/linked.js");
    const auto source = resolve(MetadataType::LightningComponentBundle, "card");
    ASSERT_TRUE(source);
    EXPECT_EQ(source->source_text,
              "=== a.js ===\nexport default 1;\n\n"
              "=== b/c.js ===\nx\n\n"
              "=== empty.txt ===\n\n\n");
    EXPECT_EQ(source->target_text, std::nullopt);
    EXPECT_EQ(source->source_metadata_text, std::nullopt);
}

TEST_F(ComponentSourceTest, BundleFolderThatIsALinkIsNotRead) {
    rows_ = {row(MetadataType::AuraDefinitionBundle, "panel")};
    write(dir_.path(), "elsewhere/panel/panel.cmp", "<aura:component/>");
    fs::create_directories(source_root() / kProjectSourceFolder / "aura");
    fs::create_directory_symlink(dir_.path() / kProjectSourceFolder / "elsewhere/panel",
                                 source_root() / kProjectSourceFolder / "aura/panel");
    write(target_root(), "aura/panel/panel.cmp", "<aura:component/>");
    const auto source = resolve(MetadataType::AuraDefinitionBundle, "panel");
    ASSERT_TRUE(source);
    EXPECT_EQ(source->source_text, std::nullopt);
    EXPECT_EQ(source->target_text, "=== panel.cmp ===\n<aura:component/>\n\n");
}

TEST_F(ComponentSourceTest, ProjectFilesThatAreLinksOrNotUtf8AreAbsent) {
    rows_ = {row(MetadataType::ApexClass, "Invoice")};
    write(dir_.path(), "secret.txt", "secret");
    fs::create_directories(source_root() / kProjectSourceFolder / "classes");
    fs::create_symlink(dir_.path() / kProjectSourceFolder / "secret.txt",
                       source_root() / kProjectSourceFolder / "classes/Invoice.cls");
    write(target_root(), "classes/Invoice.cls", "bad \xC0\x80 bytes");
    fs::create_directories(target_root() / kProjectSourceFolder / "classes");
    ASSERT_EQ(::mkfifo((target_root() / kProjectSourceFolder / "classes/Invoice.cls-meta.xml").c_str(), 0600), 0);
    const auto source = resolve(MetadataType::ApexClass, "Invoice");
    ASSERT_TRUE(source);
    EXPECT_EQ(source->source_text, std::nullopt);
    EXPECT_EQ(source->target_text, std::nullopt);
    EXPECT_EQ(source->target_metadata_text, std::nullopt);
}

TEST_F(ComponentSourceTest, Refusals) {
    const MetadataType tab = *metadata_types::generic_type_by_api_name("CustomTab");
    rows_ = {
        row(MetadataType::ApexClass, "../escape"),       row(MetadataType::ApexClass, "back\\slash"),
        row(tab, "a/b"),                                  row(MetadataType::Flow, "1starts_with_digit"),
        row(MetadataType::LightningComponentBundle, ".."), row(MetadataType::CustomField, "NoDot"),
        row(MetadataType::DataRecord(15), "Widget"),     row(MetadataType::ApexClass, "Invoice"),
    };
    struct Case {
        MetadataType type;
        std::string_view name;
        ComponentSourceError::Kind kind;
    };
    using Kind = ComponentSourceError::Kind;
    const Case cases[] = {
        {MetadataType::ApexClass, "../escape", Kind::NotInComparison},
        {MetadataType::ApexClass, "back\\slash", Kind::NotInComparison},
        {tab, "a/b", Kind::NotInComparison},
        {MetadataType::Flow, "1starts_with_digit", Kind::NotInComparison},
        {MetadataType::LightningComponentBundle, "..", Kind::NotInComparison},
        {MetadataType::CustomField, "NoDot", Kind::NotInComparison},
        {MetadataType::ApexClass, "invoice", Kind::NotInComparison},
        {MetadataType::ApexTrigger, "Invoice", Kind::NotInComparison},
        {MetadataType::DataRecord(15), "Widget", Kind::UnsupportedType},
        {MetadataType::DataRecord(14), "Widget", Kind::NotInComparison},
    };
    for (const Case& c : cases) {
        const auto source = resolve(c.type, c.name);
        ASSERT_FALSE(source) << c.name;
        EXPECT_EQ(source.error().kind, c.kind) << c.name;
    }
    EXPECT_EQ(ComponentSourceError{Kind::NotInComparison}.message(),
              "The requested component is not part of the active comparison.");
    EXPECT_EQ(ComponentSourceError{Kind::UnsupportedType}.message(), "Viewing this metadata type is not supported yet.");
}

TEST(ReadBundle, MissingOrEmptyFolderHasNoText) {
    testing::TempDir dir;
    EXPECT_EQ(read_bundle(dir.path(), "lwc/none"), std::nullopt);
    fs::create_directories(dir.path() / kProjectSourceFolder / "lwc/empty/sub");
    EXPECT_EQ(read_bundle(dir.path(), "lwc/empty"), std::nullopt);
}

}  // namespace
}  // namespace ambrel::component_source
