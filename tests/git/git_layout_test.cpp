#include "git/layout.hpp"

#include <fmt/format.h>
#include <gtest/gtest.h>

#include <fstream>

#include "git/fls.hpp"
#include "git_helpers.hpp"
#include "support/git_repo.hpp"
#include "support/test_paths.hpp"

namespace ambrel::git {
namespace {

using metadata_types::MetadataType;
using testing::GitRepo;
using Texts = std::vector<std::string>;

MetadataType generic(std::string_view name) {
    auto type = metadata_types::generic_type_by_api_name(name);
    EXPECT_TRUE(type) << name;
    return *type;
}

TEST(SfdxLayoutFromText, NormalisesAndRefuses) {
    struct Case {
        std::string name;
        std::string text;
        std::optional<Texts> accepted;
        Texts refused;
    };
    const Case cases[] = {
        {"blank and slash", R"({"packageDirectories":[{"path":" force-app/ "}]})", Texts{"force-app"}, {}},
        {"duplicates", R"({"packageDirectories":[{"path":"force-app"},{"path":"force-app//"}]})", Texts{"force-app"}, {}},
        {"blank before slash", R"({"packageDirectories":[{"path":"force-app /"}]})", Texts{"force-app "}, {}},
        {"one refused", R"({"packageDirectories":[{"path":"force-app"},{"path":"../outside"}]})", Texts{"force-app"},
         {}},
        {"all unsafe", R"({"packageDirectories":[{"path":"/abs"},{"path":"a\\b"},{"path":"a/./b"},{"path":"a//b"},{"path":"x\u0001y"}]})",
         std::nullopt, Texts{"/abs", "a\\b", "a/./b", "a//b", "x\x01y"}},
        {"skipped elements", R"({"packageDirectories":[{"path":3},{},"force-app",{"path":"///"},{"path":"  "}]})",
         std::nullopt, {}},
        {"object", R"({"packageDirectories":{"path":"x"}})", std::nullopt, {}},
        {"not json", "packageDirectories", std::nullopt, {}},
        {"empty array", R"({"packageDirectories":[]})", std::nullopt, {}},
        {"deeply nested", std::string(100000, '[') + std::string(100000, ']'), std::nullopt, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const ParsedSfdxProject parsed = SfdxLayout::from_text(c.text);
        if (c.accepted) {
            ASSERT_TRUE(parsed.layout);
            EXPECT_EQ(parsed.layout->package_directories, *c.accepted);
        } else {
            EXPECT_FALSE(parsed.layout);
            EXPECT_EQ(parsed.refused, c.refused);
        }
    }
    const auto one_refused =
        SfdxLayout::from_text(R"({"packageDirectories":[{"path":"force-app"},{"path":"../outside"}]})");
    EXPECT_EQ(one_refused.layout->refused_directories, Texts{"../outside"});
    EXPECT_EQ(one_refused.layout->prefixes(), Texts{"force-app/main/default"});
}

TEST(SfdxLayoutFromText, AHugeFileWithManyEntriesParses) {
    std::string text = R"({"packageDirectories":[)";
    for (int i = 0; i < 20000; ++i) text += fmt::format(R"({{"path":"app{}"}},)", i);
    text += R"({"path":"last"}], "padding":")" + std::string(4 << 20, 'x') + "\"}";
    const auto parsed = SfdxLayout::from_text(text);
    ASSERT_TRUE(parsed.layout);
    EXPECT_EQ(parsed.layout->package_directories.size(), 20001u);
}

class GitLayoutTest : public ::testing::Test {
protected:
    void SetUp() override {
        AMBREL_REQUIRE_GIT();
        repo_ = std::make_unique<GitRepo>(dir_.path(), "repo");
        const std::string a = "force-app/main/default/";
        const std::string b = "second-app/main/default/";
        repo_->write("sfdx-project.json", R"({"packageDirectories":[{"path":"force-app"},{"path":"second-app","default":true}]})");
        repo_->write(a + "classes/Foo.cls", "foo one");
        repo_->write(a + "classes/Foo.cls-meta.xml", "foo meta");
        repo_->write(a + "classes/OnlyMeta.cls-meta.xml", "meta");
        repo_->write(a + "classes/sub/Bar.cls", "bar");
        repo_->write(a + "classes/ns__Pkg.cls", "packaged");
        repo_->write(a + "lwc/myComp/myComp.js", "js");
        repo_->write(a + "lwc/myComp/sub/deep.js", "deep");
        repo_->write(a + "lwc/jsconfig.json", "{}");
        repo_->write(a + "objects/Account/fields/X__c.field-meta.xml", "field");
        repo_->write(a + "objects/Thing__c/Thing__c.object-meta.xml", "object");
        repo_->write(a + "objects/Account/validationRules/Rule_1.validationRule-meta.xml", "rule");
        repo_->write(a + "objects/Account/validationRules/Bad.Rule.validationRule-meta.xml", "rule");
        repo_->write(a + "labels/CustomLabels.labels-meta.xml",
                     "<?xml version=\"1.0\"?>\n<CustomLabels xmlns=\"http://soap.sforce.com/2006/04/metadata\">\n    <labels><fullName>Zeta</fullName></labels>\n"
                     "    <labels><fullName>Alpha</fullName></labels>\n</CustomLabels>\n");
        repo_->write(a + "labels/Other.labels-meta.xml",
                     "<CustomLabels xmlns=\"http://soap.sforce.com/2006/04/metadata\">\n<labels><fullName>Hidden</fullName></labels>\n</CustomLabels>\n");
        repo_->write(a + "sharingRules/Account.sharingRules-meta.xml",
                     "<SharingRules xmlns=\"http://soap.sforce.com/2006/04/metadata\">\n<sharingOwnerRules><fullName>Own</fullName></sharingOwnerRules>\n"
                     "<sharingCriteriaRules><fullName>Crit</fullName></sharingCriteriaRules>\n</SharingRules>\n");
        repo_->write(a + "sharingRules/Broken.sharingRules-meta.xml", "<SharingRules");
        repo_->write(a + "quickActions/Account.Do.quickAction-meta.xml", "qa");
        repo_->write(a + "profiles/Admin.profile-meta.xml", "admin one");
        repo_->write(a + "profiles/sub/Nested.profile-meta.xml", "nested");
        repo_->write(a + "profiles/.profile-meta.xml", "empty name");
        repo_->write(a + "permissionsets/b.permissionset-meta.xml", "b");
        repo_->write(a + "permissionsets/B.permissionset-meta.xml", "B");
        repo_->write(b + "classes/Foo.cls", "foo two");
        repo_->write(b + "classes/Zed.cls", "zed");
        repo_->write(b + "profiles/Admin.profile-meta.xml", "admin two");
        repo_->write("force-app/other/classes/Out.cls", "outside main/default");
        repo_->commit_all("project");
    }

    std::vector<std::string> names(const GitContentReader& reader, MetadataType type) {
        auto layout = SfdxLayout::read(reader);
        EXPECT_TRUE(layout);
        auto rows = layout::list_components(reader, *layout, type, documents_);
        EXPECT_TRUE(rows) << rows.error().message();
        std::vector<std::string> out;
        for (const auto& row : *rows) {
            EXPECT_EQ(row.label, row.api_name);
            EXPECT_EQ(row.origin, domain::ListingOrigin::Unpackaged);
            out.push_back(row.api_name);
        }
        return out;
    }

    testing::TempDir dir_;
    std::unique_ptr<GitRepo> repo_;
    test::LoggedGateway logged_;
    ContainerDocuments documents_ = metadata_container_documents();
};

TEST_F(GitLayoutTest, ListsEachTypeByItsRules) {
    struct Case {
        MetadataType type;
        Texts expected;
    };
    const Case cases[] = {
        {MetadataType::ApexClass, {"Foo", "Zed"}},
        {MetadataType::LightningComponentBundle, {"myComp"}},
        {MetadataType::CustomObject, {"Thing__c"}},
        {generic("ValidationRule"), {"Account.Rule_1"}},
        {generic("CustomLabel"), {"Alpha", "Zeta"}},
        {generic("SharingOwnerRule"), {"Account.Own"}},
        {generic("SharingCriteriaRule"), {"Account.Crit"}},
        {generic("QuickAction"), {"Account.Do"}},
        {MetadataType::ProductBundle, {}},
        {MetadataType::ConstraintModel, {}},
    };
    for (const bool from_ref : {false, true}) {
        const GitContentReader reader(logged_.gateway, repo_->path(),
                                      from_ref ? std::optional<std::string>("HEAD") : std::nullopt);
        for (const auto& c : cases) {
            SCOPED_TRACE(std::string(c.type.wire_id()) + (from_ref ? " at ref" : " in working tree"));
            EXPECT_EQ(names(reader, c.type), c.expected);
        }
    }
}

// A branch lists only names its type's member rule accepts, the rule an org selection passes: real
// names of generic types with hyphens or quotes are listed, names that would fail a compare are not,
// and those are given apart so a compare can name them.
TEST_F(GitLayoutTest, ListingSkipsNamesTheMemberRuleRefuses) {
    const std::string a = "force-app/main/default/";
    repo_->write(a + "classes/Bad-Name.cls", "x");
    repo_->write(a + "classes/Line\nFeed.cls", "x");
    repo_->write(a + "classes/Quote\"s.cls", "x");
    repo_->write(a + "lwc/a<b>/a.js", "x");
    repo_->write(a + "audience/Default_E-Bikes.audience-meta.xml", "x");
    repo_->write(a + "audience/Partner's \"VIP\" <Tier>.audience-meta.xml", "x");
    repo_->write(a + "audience/...audience-meta.xml", "x");
    repo_->write(a + "audience/Two\nLines.audience-meta.xml", "x");
    repo_->commit_all("odd names");
    for (const bool from_ref : {false, true}) {
        SCOPED_TRACE(from_ref ? "ref" : "working tree");
        const GitContentReader reader(logged_.gateway, repo_->path(),
                                      from_ref ? std::optional<std::string>("HEAD") : std::nullopt);
        EXPECT_EQ(names(reader, MetadataType::ApexClass), (Texts{"Foo", "Zed"}));
        EXPECT_EQ(names(reader, MetadataType::LightningComponentBundle), (Texts{"myComp"}));
        EXPECT_EQ(names(reader, generic("Audience")),
                  (Texts{"Default_E-Bikes", "Partner's \"VIP\" <Tier>"}));
        auto layout = SfdxLayout::read(reader);
        ASSERT_TRUE(layout);
        const auto refused = [&](MetadataType type) {
            auto listed = layout::refused_member_names(reader, *layout, type, documents_);
            EXPECT_TRUE(listed) << listed.error().message();
            return listed ? *listed : Texts{};
        };
        EXPECT_EQ(refused(MetadataType::ApexClass), (Texts{"Bad-Name", "Line\nFeed", "Quote\"s"}));
        EXPECT_EQ(refused(MetadataType::LightningComponentBundle), (Texts{"a<b>"}));
        EXPECT_EQ(refused(generic("Audience")), (Texts{"..", "Two\nLines"}));
    }
}

TEST_F(GitLayoutTest, CustomFieldListsEveryObjectFolderWithAFile) {
    const GitContentReader reader(logged_.gateway, repo_->path(), std::string("HEAD"));
    const Texts listed = names(reader, MetadataType::CustomField);
    EXPECT_NE(std::ranges::find(listed, "Account"), listed.end());
}

TEST_F(GitLayoutTest, OneCatFileChildAndOneListingOfEveryPackageDirectoryForAWholeListingAndMaterialising) {
    {
        const GitContentReader reader(logged_.gateway, repo_->path(), std::string("HEAD"));
        auto layout = SfdxLayout::read(reader);
        ASSERT_TRUE(layout);
        layout::Selection selection;
        for (MetadataType type : metadata_types::all_metadata_types()) {
            if (type.is_data_record()) continue;
            auto rows = layout::list_components(reader, *layout, type, documents_);
            ASSERT_TRUE(rows) << rows.error().message();
            for (const auto& row : *rows) selection[type].insert(row.api_name);
        }
        testing::TempDir target;
        ASSERT_TRUE(layout::materialize(reader, *layout, selection, target.path()));
    }
    // sfdx-project.json is listed on its own (reads go by listed id), then every package directory in
    // one run.
    EXPECT_EQ(logged_.count("git ls-tree"), 2u);
    EXPECT_EQ(logged_.count("git cat-file"), 1u);
    EXPECT_EQ(logged_.commands().size(), 3u);
}

TEST_F(GitLayoutTest, ReadRefusesMissingAndUnsafeProjects) {
    GitRepo other(dir_.path(), "other");
    const GitContentReader reader(logged_.gateway, other.path(), std::nullopt);
    struct Case {
        std::optional<std::string> text;
        std::string message;
    };
    const Case cases[] = {
        {std::nullopt, "The source repository is not an SFDX project (missing sfdx-project.json)."},
        {"not json", "The source repository is not an SFDX project (missing sfdx-project.json)."},
        {R"({"packageDirectories":[{"path":"/etc"},{"path":"..\\x"}]})",
         "The source repository lists package directories, but none of them is a safe relative path: etc, ..\\x"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.message);
        std::filesystem::remove(other.path() / "sfdx-project.json");
        if (c.text) other.write("sfdx-project.json", *c.text);
        auto layout = SfdxLayout::read(reader);
        ASSERT_FALSE(layout);
        EXPECT_EQ(layout.error().kind(), GitError::Kind::NotAnSfdxProject);
        EXPECT_EQ(layout.error().message(), c.message);
    }
    // A project file that is a link is not read.
    std::filesystem::remove(other.path() / "sfdx-project.json");
    other.write("real.json", R"({"packageDirectories":[{"path":"a"}]})");
    std::filesystem::create_symlink("real.json", other.path() / "sfdx-project.json");
    EXPECT_FALSE(SfdxLayout::read(reader));
}

TEST_F(GitLayoutTest, MaterialisesTheSelectedFilesOnce) {
    const GitContentReader reader(logged_.gateway, repo_->path(), std::string("HEAD"));
    auto layout = SfdxLayout::read(reader);
    ASSERT_TRUE(layout);
    testing::TempDir target;
    const layout::Selection selection{
        {MetadataType::ApexClass, {"Foo", "Missing"}},
        {MetadataType::LightningComponentBundle, {"myComp"}},
        {generic("CustomLabel"), {"Alpha", "Zeta"}},
        {MetadataType::CustomField, {"Account"}},
    };
    ASSERT_TRUE(layout::materialize(reader, *layout, selection, target.path()));
    Texts written;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(target.path())) {
        if (entry.is_regular_file()) written.push_back(entry.path().lexically_relative(target.path()).string());
    }
    std::ranges::sort(written);
    EXPECT_EQ(written, (Texts{"classes/Foo.cls", "classes/Foo.cls-meta.xml", "labels/CustomLabels.labels-meta.xml",
                              "lwc/myComp/myComp.js", "lwc/myComp/sub/deep.js",
                              "objects/Account/fields/X__c.field-meta.xml",
                              "objects/Account/validationRules/Bad.Rule.validationRule-meta.xml",
                              "objects/Account/validationRules/Rule_1.validationRule-meta.xml"}));
    // The first package directory wins.
    EXPECT_EQ(testing::read_file(target.path() / "classes/Foo.cls"), "foo one");
    EXPECT_TRUE(layout::materialize(reader, *layout, {}, target.path()));
}

TEST_F(GitLayoutTest, ACancelDuringMaterialisingStopsBeforeTheNextFile) {
    for (const std::optional<std::string>& ref : {std::optional<std::string>("HEAD"), std::optional<std::string>()}) {
        SCOPED_TRACE(ref.value_or("working tree"));
        testing::TempDir target;
        // Cancelled as soon as the first file is on disk.
        const testing::TestToken token([&target] {
            std::error_code ignored;
            return std::filesystem::exists(target.path() / "classes", ignored);
        });
        const GitGateway bound = logged_.gateway.with_token(token);
        const GitContentReader reader(bound, repo_->path(), ref);
        auto layout = SfdxLayout::read(reader);
        ASSERT_TRUE(layout);
        const layout::Selection selection{{MetadataType::ApexClass, {"Foo", "Zed"}},
                                          {MetadataType::LightningComponentBundle, {"myComp"}}};
        auto result = layout::materialize(reader, *layout, selection, target.path(), token);
        ASSERT_FALSE(result);
        EXPECT_EQ(result.error().message(), "The git command was cancelled.");
        std::size_t files = 0;
        for (const auto& entry : std::filesystem::recursive_directory_iterator(target.path())) {
            if (entry.is_regular_file()) ++files;
        }
        EXPECT_EQ(files, 1u);
    }
}

TEST_F(GitLayoutTest, MaterialisingNeverOverwritesNorFollowsALinkInTheTarget) {
    const GitContentReader reader(logged_.gateway, repo_->path(), std::string("HEAD"));
    auto layout = SfdxLayout::read(reader);
    ASSERT_TRUE(layout);
    const layout::Selection selection{{MetadataType::ApexClass, {"Foo"}}};
    {
        testing::TempDir target;
        std::filesystem::create_directories(target.path() / "classes");
        { std::ofstream(target.path() / "classes/Foo.cls") << "mine"; }
        auto result = layout::materialize(reader, *layout, selection, target.path());
        ASSERT_FALSE(result);
        EXPECT_EQ(result.error().message(),
                  "The repository contains an unsafe metadata path. Offending path: classes/Foo.cls");
        EXPECT_EQ(testing::read_file(target.path() / "classes/Foo.cls"), "mine");
    }
    {
        testing::TempDir target;
        testing::TempDir outside;
        std::filesystem::create_directory_symlink(outside.path(), target.path() / "classes");
        auto result = layout::materialize(reader, *layout, selection, target.path());
        ASSERT_FALSE(result);
        EXPECT_EQ(result.error().kind(), GitError::Kind::UnsafePath);
        EXPECT_TRUE(std::filesystem::is_empty(outside.path()));
    }
}

// A component the branch cannot give whole (a file whose path is not safe, a document that is not
// UTF-8, a name its type refuses) is skipped whole, never failing the others: a refused name with its
// warning, the others with the sentence saying why they cannot be compared; what it wrote before is
// taken out again.
TEST_F(GitLayoutTest, MaterialisingSkipsAComponentItCannotGiveWhole) {
    const std::string a = "force-app/main/default/";
    repo_->write(a + "lwc/myComp/bad\x01name.js", "x");
    repo_->write(a + "classes/Latin.cls", "public class Latin { String s = 'caf\xe9'; }");
    repo_->write(a + "classes/Latin.cls-meta.xml", "<meta/>");
    repo_->write(a + "classes/Meta.cls", "class Meta {}");
    repo_->write(a + "classes/Meta.cls-meta.xml", "<ApexClass>\xff</ApexClass>");
    repo_->commit_all("unusable");
    const GitContentReader reader(logged_.gateway, repo_->path(), std::string("HEAD"), std::string("release"));
    auto layout = SfdxLayout::read(reader);
    ASSERT_TRUE(layout);
    testing::TempDir target;
    const layout::Selection selection{
        {MetadataType::ApexClass, {"Foo", "Latin", "Meta", "Bad\nName"}},
        {MetadataType::LightningComponentBundle, {"myComp"}},
    };
    auto report = layout::materialize(reader, *layout, selection, target.path());
    ASSERT_TRUE(report) << report.error().message();
    EXPECT_EQ(report->warnings,
              (Texts{"Bad Name (ApexClass) was skipped: its name is not a valid member name of its type."}));
    using Reasons = std::map<MetadataType, std::map<std::string, std::string>>;
    EXPECT_EQ(report->unreadable,
              (Reasons{{MetadataType::ApexClass,
                        {{"Latin", "force-app/main/default/classes/Latin.cls in release is not UTF-8 text."},
                         {"Meta", "force-app/main/default/classes/Meta.cls-meta.xml in release is not UTF-8 text."}}},
                       {MetadataType::LightningComponentBundle,
                        {{"myComp",
                          "The repository contains an unsafe metadata path. Offending path: lwc/myComp/bad name.js"}}}}));
    EXPECT_EQ(report->skipped, (layout::Selection{{MetadataType::ApexClass, {"Bad\nName", "Latin", "Meta"}},
                                                  {MetadataType::LightningComponentBundle, {"myComp"}}}));
    Texts written;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(target.path())) {
        if (entry.is_regular_file()) written.push_back(entry.path().lexically_relative(target.path()).string());
    }
    std::ranges::sort(written);
    EXPECT_EQ(written, (Texts{"classes/Foo.cls", "classes/Foo.cls-meta.xml"}));
}

// The metadata folder of a new workspace project may not exist yet: it is made with its parents.
TEST_F(GitLayoutTest, MaterialisingCreatesAMissingTargetFolder) {
    const GitContentReader reader(logged_.gateway, repo_->path(), std::string("HEAD"));
    auto layout = SfdxLayout::read(reader);
    ASSERT_TRUE(layout);
    testing::TempDir parent;
    const std::filesystem::path target = parent.path() / "project" / "force-app" / "main" / "default";
    ASSERT_TRUE(layout::materialize(reader, *layout, {}, target));
    EXPECT_FALSE(std::filesystem::exists(parent.path() / "project"));
    auto report = layout::materialize(reader, *layout, {{MetadataType::ApexClass, {"Foo"}}}, target);
    ASSERT_TRUE(report) << report.error().message();
    EXPECT_EQ(testing::read_file(target / "classes/Foo.cls"), "foo one");
}

// A name that is not UTF-8 is skipped at listing on every road and counted for the compare.
TEST_F(GitLayoutTest, NamesThatAreNotUtf8AreCountedAndNeverCopied) {
    repo_->write("force-app/main/default/classes/Bad\xff" "File.cls", "class Bad {}");
    repo_->commit_all("odd name");
    for (const bool from_ref : {false, true}) {
        SCOPED_TRACE(from_ref ? "ref" : "working tree");
        const GitContentReader reader(logged_.gateway, repo_->path(),
                                      from_ref ? std::optional<std::string>("HEAD") : std::nullopt);
        auto layout = SfdxLayout::read(reader);
        ASSERT_TRUE(layout);
        EXPECT_EQ(names(reader, MetadataType::ApexClass), (Texts{"Foo", "Zed"}));
        testing::TempDir target;
        auto report = layout::materialize(reader, *layout, {{MetadataType::ApexClass, {"Foo"}}}, target.path());
        ASSERT_TRUE(report) << report.error().message();
        EXPECT_EQ(report->names_not_utf8, 1u);
        EXPECT_TRUE(report->warnings.empty());
    }
}

TEST_F(GitLayoutTest, PermissionContainers) {
    const GitContentReader reader(logged_.gateway, repo_->path(), std::nullopt);
    auto layout = SfdxLayout::read(reader);
    ASSERT_TRUE(layout);
    auto listed = fls::list_containers(reader, *layout);
    ASSERT_TRUE(listed);
    using domain::FlsContainerKind;
    EXPECT_EQ(*listed, (std::vector<FlsContainerFile>{{FlsContainerKind::PermissionSet, "B"},
                                                      {FlsContainerKind::PermissionSet, "b"},
                                                      {FlsContainerKind::Profile, "Admin"}}));
    const std::vector<FlsContainerId> requested{
        {FlsContainerKind::Profile, "Admin"}, {FlsContainerKind::Profile, "a/b"}, {FlsContainerKind::Profile, "None"}};
    auto documents = fls::read_documents(reader, *layout, requested);
    ASSERT_TRUE(documents);
    ASSERT_EQ(documents->size(), 1u);
    EXPECT_EQ(documents->at({FlsContainerKind::Profile, "Admin"}), "admin one");
    EXPECT_EQ(fls::container_relative_path(FlsContainerKind::PermissionSet, "X"),
              "permissionsets/X.permissionset-meta.xml");
    EXPECT_FALSE(fls::container_relative_path(FlsContainerKind::Profile, ""));
}

}  // namespace
}  // namespace ambrel::git
