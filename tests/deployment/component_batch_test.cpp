// The package component writer over real temporary folders: paths from type and name only, checked
// sources, exclusive files, container documents last and hostile file-system cases.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include "deployment/component_batch/component_batch.hpp"
#include "metadata_types/metadata_type.hpp"
#include "support/source_tree.hpp"

namespace ambrel::deployment::component_batch {
namespace {

using ambrel::testing::metadata_document;
using ambrel::testing::SourceTree;
using metadata_types::MetadataType;

std::string read(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

MetadataType type(std::string_view api_name) { return *MetadataType::from_api_name(api_name); }

struct PackageWriter : ::testing::Test {
    SourceTree source;
    SourceTree out;
    std::filesystem::path package() const { return out.root() / "force-app"; }
    std::filesystem::path written(std::string_view relative) const {
        return package() / "main/default" / std::string(relative);
    }

    domain::MetadataComponent component(MetadataType metadata_type, std::string name, std::string relative,
                                        std::string document) const {
        domain::MetadataComponent c;
        c.key = {metadata_type, std::move(name)};
        c.document = std::move(document);
        c.source_path = source.file("force-app/main/default/" + relative, c.document);
        return c;
    }
    domain::MetadataComponent apex(std::string name, std::string body_path) const {
        auto c = component(MetadataType::ApexClass, name, "classes/" + name + ".cls-meta.xml",
                           metadata_document("ApexClass", "<apiVersion>60.0</apiVersion>"));
        c.body = domain::ComponentBody{body_path, "public class " + name + " {}"};
        return c;
    }
};

TEST_F(PackageWriter, WritesDocumentsAndBodiesAtTheirTypePaths) {
    const auto field = component(MetadataType::CustomField, "Account.Foo__c", "objects/Account/fields/Foo__c.field-meta.xml",
                                 metadata_document("CustomField", "<fullName>Foo__c</fullName>"));
    const auto cls = apex("Mine", "classes/Mine.cls");
    ASSERT_TRUE(package_metadata_components({field, cls}, package()));
    EXPECT_EQ(read(written("objects/Account/fields/Foo__c.field-meta.xml")), field.document);
    EXPECT_EQ(read(written("classes/Mine.cls-meta.xml")), cls.document);
    EXPECT_EQ(read(written("classes/Mine.cls")), "public class Mine {}");
    EXPECT_TRUE(package_metadata_components({}, package()));
}

TEST_F(PackageWriter, ABodyRecordedElsewhereIsRefusedAfterItsDocument) {
    EXPECT_EQ(package_metadata_components({apex("Mine", "classes/Other.cls")}, package()).error(),
              "Component body destination path does not match the selected component");
    EXPECT_TRUE(std::filesystem::exists(written("classes/Mine.cls-meta.xml")));
    EXPECT_FALSE(std::filesystem::exists(written("classes/Other.cls")));
}

TEST_F(PackageWriter, AnExistingDestinationIsNeverOverwrittenFollowedOrBlockedOn) {
    const auto cls = apex("Mine", "classes/Mine.cls");
    struct Case {
        const char* name;
        std::function<void()> plant;
    };
    const Case cases[] = {
        {"file", [&] { out.file("force-app/main/default/classes/Mine.cls-meta.xml", "old"); }},
        {"dangling link", [&] { out.link("force-app/main/default/classes/Mine.cls-meta.xml", "/nonexistent/x"); }},
        {"fifo", [&] { out.fifo("force-app/main/default/classes/Mine.cls-meta.xml"); }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::filesystem::remove_all(package());
        c.plant();
        const auto result = package_metadata_components({cls}, package());
        ASSERT_FALSE(result);
        EXPECT_EQ(result.error(), std::make_error_code(std::errc::file_exists).message());
    }
    EXPECT_FALSE(std::filesystem::exists("/nonexistent/x"));
}

TEST_F(PackageWriter, TwoComponentsOnOnePathKeepTheFirstFile) {
    const auto first = apex("Mine", "classes/Mine.cls");
    auto second = first;
    second.document = metadata_document("ApexClass", "<apiVersion>61.0</apiVersion>");
    second.body.reset();
    EXPECT_EQ(package_metadata_components({first, second}, package()).error(),
              std::make_error_code(std::errc::file_exists).message());
    EXPECT_EQ(read(written("classes/Mine.cls-meta.xml")), first.document);
}

TEST_F(PackageWriter, HostileNamesAndSourcesAreRefused) {
    auto good = apex("Mine", "classes/Mine.cls");
    struct Case {
        const char* label;
        domain::MetadataComponent component;
        std::string message;
    };
    auto with_name = [&](std::string name) {
        auto c = good;
        c.key.name = std::move(name);
        return c;
    };
    auto blank = good;
    blank.document = " \n";
    auto elsewhere = good;
    elsewhere.source_path = source.file("force-app/main/default/other/Mine.cls-meta.xml", good.document);
    auto renamed = good;
    renamed.source_path = source.file("force-app/main/default/classes/Yours.cls-meta.xml", good.document);
    auto no_source = good;
    no_source.source_path = source.root() / "force-app/main/default/classes/Missing/Mine.cls-meta.xml";
    const Case cases[] = {
        {"dot dot", with_name(".."), "Invalid Salesforce component API name"},
        {"slash", with_name("a/b"), "Invalid Salesforce component API name"},
        {"backslash", with_name("a\\b"), "Component destination path is not a safe relative path: classes/a\\b.cls-meta.xml"},
        {"control", with_name("a\x01" "b"), "Component destination path is not a safe relative path: classes/a\x01" "b.cls-meta.xml"},
        {"huge", with_name(std::string(1 << 20, 'a')), "Invalid Salesforce component API name"},
        {"blank", blank, "Component metadata snapshot is empty"},
        {"other folder", elsewhere, "Component metadata source path does not match the selected component"},
        {"other file", renamed, "Component metadata source filename does not match the selected component"},
        {"missing folder", no_source, "Component metadata source path does not match the selected component"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        std::filesystem::remove_all(package());
        const auto result = package_metadata_components({c.component}, package());
        ASSERT_FALSE(result);
        // Long names may fail on the path first; either refusal keeps them out.
        if (std::string_view(c.label) == "huge") {
            EXPECT_FALSE(result.error().empty());
        } else {
            EXPECT_EQ(result.error(), c.message);
        }
    }
}

TEST_F(PackageWriter, LinkedSourcesAreRefused) {
    const auto real = apex("Mine", "classes/Mine.cls");
    // A source file that is a link.
    auto linked_file = real;
    source.link("b/force-app/main/default/classes/Mine.cls-meta.xml", real.source_path);
    linked_file.source_path = source.root() / "b/force-app/main/default/classes/Mine.cls-meta.xml";
    EXPECT_EQ(package_metadata_components({linked_file}, package()).error(),
              "Component metadata source is not a regular file");
    // A source folder that is a link.
    auto linked_folder = real;
    source.folder("c/force-app/main/default");
    source.link("c/force-app/main/default/classes", real.source_path.parent_path());
    linked_folder.source_path = source.root() / "c/force-app/main/default/classes/Mine.cls-meta.xml";
    std::filesystem::remove_all(package());
    EXPECT_EQ(package_metadata_components({linked_folder}, package()).error(),
              "Component metadata source ancestry is not a regular metadata path");
}

TEST_F(PackageWriter, ContainerChildrenShareOneDocumentWrittenLastAndSorted) {
    const std::string rules = metadata_document(
        "AssignmentRules",
        "<assignmentRule><fullName>A</fullName><active>true</active></assignmentRule>"
        "<assignmentRule><fullName>B</fullName><active>false</active></assignmentRule>");
    const auto b = component(type("AssignmentRule"), "Case.B", "assignmentRules/Case.assignmentRules-meta.xml", rules);
    const auto a = component(type("AssignmentRule"), "Case.A", "assignmentRules/Case.assignmentRules-meta.xml", rules);
    ASSERT_TRUE(package_metadata_components({b, a}, package()));
    const std::string document = read(written("assignmentRules/Case.assignmentRules-meta.xml"));
    EXPECT_LT(document.find("<fullName>A</fullName>"), document.find("<fullName>B</fullName>"));
    EXPECT_THAT(document, ::testing::StartsWith("<?xml"));

    auto missing = a;
    missing.key.name = "Case.C";
    std::filesystem::remove_all(package());
    EXPECT_EQ(package_metadata_components({missing}, package()).error(),
              "Component metadata snapshot has no matching element");
}

TEST_F(PackageWriter, ALabelGoesToTheFixedDocument) {
    const std::string labels = metadata_document(
        "CustomLabels", "<labels><fullName>Greeting</fullName><value>Hi</value></labels>");
    const auto label = component(type("CustomLabel"), "Greeting", "labels/CustomLabels.labels-meta.xml", labels);
    ASSERT_TRUE(package_metadata_components({label}, package()));
    EXPECT_THAT(read(written("labels/CustomLabels.labels-meta.xml")), ::testing::HasSubstr("<value>Hi</value>"));
}

TEST_F(PackageWriter, BundlesWriteOnlyTheirFiles) {
    domain::MetadataComponent bundle;
    bundle.key = {MetadataType::LightningComponentBundle, "card"};
    bundle.bundle_files = {{"card.js", "export default class {}"}, {"card.js-meta.xml", "<x/>"}};
    ASSERT_TRUE(package_metadata_components({bundle}, package()));
    EXPECT_EQ(read(written("lwc/card/card.js")), "export default class {}");

    auto hyphen = bundle;
    hyphen.key.name = "my-card";
    EXPECT_EQ(package_metadata_components({hyphen}, package()).error(), "Invalid Salesforce component API name");
    auto empty = bundle;
    empty.key.name = "empty";
    empty.bundle_files.clear();
    EXPECT_EQ(package_metadata_components({empty}, package()).error(), "Component bundle snapshot is empty");
    auto unsafe = bundle;
    unsafe.key.name = "other";
    unsafe.bundle_files = {{"../escape.js", "x"}};
    EXPECT_THAT(package_metadata_components({unsafe}, package()).error(),
                ::testing::StartsWith("Component destination path is not a safe relative path: "));
    EXPECT_FALSE(std::filesystem::exists(written("lwc/escape.js")));
}

TEST_F(PackageWriter, NamingRules) {
    const auto& field = MetadataType::CustomField.descriptor();
    EXPECT_TRUE(valid_component_full_name(field, "Account.Foo__c"));
    EXPECT_FALSE(valid_component_full_name(field, ""));
    EXPECT_FALSE(valid_component_full_name(field, "Account..Foo"));
    EXPECT_FALSE(valid_component_full_name(field, "Account.Foo."));
    EXPECT_FALSE(valid_component_full_name(field, "1Account.Foo"));
    EXPECT_TRUE(valid_component_full_name(type("Profile").descriptor(), "Custom: Sales Profile"));
}

TEST_F(PackageWriter, NewFilesAreCreatedWithTheUsualModeUnderTheMask) {
    const mode_t old = ::umask(022);
    const auto path = out.root() / "new.txt";
    EXPECT_FALSE(write_new_file(path, "abc"));
    ::umask(old);
    struct stat info {};
    ASSERT_EQ(::stat(path.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0644u);
    EXPECT_TRUE(write_new_file(path, "again"));
    EXPECT_TRUE(component_batch::is_regular_file(path));
    EXPECT_FALSE(component_batch::is_regular_file(out.root()));
    EXPECT_FALSE(component_batch::is_regular_file(out.root() / "none"));
}

}  // namespace
}  // namespace ambrel::deployment::component_batch
