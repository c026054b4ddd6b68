#include "metadata/manifest/package_manifest_writer.hpp"

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "metadata/manifest/permission_manifest_writer.hpp"
#include "metadata/permission_models/permission_component_key.hpp"
#include "support/programming_error.hpp"
#include "support/test_paths.hpp"

namespace ambrel::metadata::manifest {
namespace {

namespace fs = std::filesystem;
using domain::FlsContainerKind;
using domain::PermissionSubject;
using metadata_types::MetadataType;
using permission_models::PermissionComponentKey;

std::string lines(std::initializer_list<std::string_view> texts) {
    std::string out;
    for (std::string_view text : texts) {
        out += text;
        out += '\n';
    }
    return out;
}

constexpr std::string_view kDeclaration = R"(<?xml version="1.0" encoding="UTF-8"?>)";
constexpr std::string_view kRoot = R"(<Package xmlns="http://soap.sforce.com/2006/04/metadata">)";

MetadataType generic(std::string_view api_name) { return *MetadataType::from_api_name(api_name); }

TEST(PackageManifestWriter, RendersTheWorkedExampleByteForByte) {
    const TypeSelection selection{{MetadataType::ApexClass, {"Main", "R&D"}},
                                  {MetadataType::CustomField, {"Contact", "Account"}},
                                  {MetadataType::PlatformEvent, {"Order_Event__e"}}};
    EXPECT_EQ(PackageManifestWriter("65.0").render_types(selection),
              lines({kDeclaration, kRoot, "    <types>", "        <members>Main</members>",
                     "        <members>R&amp;D</members>", "        <name>ApexClass</name>", "    </types>",
                     "    <types>", "        <members>Account</members>", "        <members>Contact</members>",
                     "        <members>Order_Event__e</members>", "        <name>CustomObject</name>", "    </types>",
                     "    <version>65.0</version>", "</Package>"}));
}

TEST(PackageManifestWriter, Table) {
    struct Case {
        const char* what;
        TypeSelection selection;
        std::string version;
        std::string expected;
    };
    const std::vector<Case> cases{
        {"empty selection", {}, "65.0", lines({kDeclaration, kRoot, "    <version>65.0</version>", "</Package>"})},
        {"a type without names keeps its name line",
         {{MetadataType::ApexPage, {}}},
         "65.0",
         lines({kDeclaration, kRoot, "    <types>", "        <name>ApexPage</name>", "    </types>",
                "    <version>65.0</version>", "</Package>"})},
        {"names sorted by bytes",
         {{MetadataType::ApexClass, {"alpha", "Zeta", "Ab", "A_b"}}},
         "65.0",
         lines({kDeclaration, kRoot, "    <types>", "        <members>A_b</members>", "        <members>Ab</members>",
                "        <members>Zeta</members>", "        <members>alpha</members>", "        <name>ApexClass</name>",
                "    </types>", "    <version>65.0</version>", "</Package>"})},
        {"CustomField and CustomObject merge, each name once",
         {{MetadataType::CustomField, {"Account", "Zed__c"}}, {MetadataType::CustomObject, {"Account", "Bee__c"}}},
         "65.0",
         lines({kDeclaration, kRoot, "    <types>", "        <members>Account</members>",
                "        <members>Bee__c</members>", "        <members>Zed__c</members>",
                "        <name>CustomObject</name>", "    </types>", "    <version>65.0</version>", "</Package>"})},
        {"types sorted by package.xml name, generic rows by their own name",
         {{MetadataType::Layout, {"Account-Account Layout"}}, {generic("CustomTab"), {"Tab__c"}},
          {MetadataType::ApexTrigger, {"T"}}},
         "65.0",
         lines({kDeclaration, kRoot, "    <types>", "        <members>T</members>", "        <name>ApexTrigger</name>",
                "    </types>", "    <types>", "        <members>Tab__c</members>", "        <name>CustomTab</name>",
                "    </types>", "    <types>", "        <members>Account-Account Layout</members>",
                "        <name>Layout</name>", "    </types>", "    <version>65.0</version>", "</Package>"})},
        {"escaping of the five characters, a line feed kept, the version escaped",
         {{MetadataType::ApexClass, {"a<b>\"c'&amp;", "x\ny"}}},
         "6<5",
         lines({kDeclaration, kRoot, "    <types>", "        <members>a&lt;b&gt;&quot;c&apos;&amp;amp;</members>",
                "        <members>x\ny</members>", "        <name>ApexClass</name>", "    </types>",
                "    <version>6&lt;5</version>", "</Package>"})},
        {"special characters in every position of long names",
         {{MetadataType::ApexClass, {"abcdefg>hij", "abcdefgh<", "abcdefghijklmno'", "\"bcdefghijklmnopq", "plain_name_long"}}},
         "65.0",
         lines({kDeclaration, kRoot, "    <types>", "        <members>&quot;bcdefghijklmnopq</members>",
                "        <members>abcdefg&gt;hij</members>", "        <members>abcdefgh&lt;</members>",
                "        <members>abcdefghijklmno&apos;</members>", "        <members>plain_name_long</members>",
                "        <name>ApexClass</name>", "    </types>", "    <version>65.0</version>", "</Package>"})},
        {"record-data types are left out",
         {{MetadataType::DataRecord(0), {"Row"}}, {MetadataType::ApexClass, {"A"}}},
         "65.0",
         lines({kDeclaration, kRoot, "    <types>", "        <members>A</members>", "        <name>ApexClass</name>",
                "    </types>", "    <version>65.0</version>", "</Package>"})},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(PackageManifestWriter(c.version).render_types(c.selection), c.expected);
    }
}

TEST(EscapeXml, EscapesExactlyFiveCharacters) {
    EXPECT_EQ(escape_xml(""), "");
    EXPECT_EQ(escape_xml("\"&'<>"), "&quot;&amp;&apos;&lt;&gt;");
    EXPECT_EQ(escape_xml("\t\x01 é &amp;"), "\t\x01 é &amp;amp;");
}

PermissionComponentKey key(FlsContainerKind kind, std::string name) {
    return PermissionComponentKey::create(kind, std::move(name));
}

TEST(PermissionComponentKey, OrdersByKindThenNameBytesAndRefusesABlankName) {
    const auto profile_a = key(FlsContainerKind::Profile, "A");
    const auto set_z = key(FlsContainerKind::PermissionSet, "z");
    EXPECT_LT(set_z, profile_a);
    EXPECT_LT(key(FlsContainerKind::Profile, "Ab"), key(FlsContainerKind::Profile, "a"));
    EXPECT_LT(key(FlsContainerKind::Profile, "Ad"), key(FlsContainerKind::Profile, "Admin"));
    EXPECT_EQ(key(FlsContainerKind::Profile, " Admin ").full_name(), " Admin ");
    for (const char* blank : {"", "   ", "\t\n", "\xE3\x80\x80"}) {
        SCOPED_TRACE(blank);
        try {
            (void)key(FlsContainerKind::Profile, blank);
            ADD_FAILURE() << "no programming error";
        } catch (const support::ProgrammingError& error) {
            EXPECT_STREQ(error.what(), "Permission metadata full name must not be blank");
        }
    }
}

TEST(PermissionManifestWriter, OnlyAValidVersionMakesAWriter) {
    for (const char* bad : {"", "65.0.1", " 65.0", "65.0\n", "v65"}) {
        SCOPED_TRACE(bad);
        EXPECT_FALSE(PermissionManifestWriter::create(bad));
    }
    EXPECT_TRUE(PermissionManifestWriter::create("65"));
    EXPECT_TRUE(PermissionManifestWriter::create("60.10"));
}

TEST(PermissionManifestWriter, Table) {
    struct Case {
        const char* what;
        std::vector<PermissionComponentKey> containers;
        std::set<PermissionSubject> subjects;
        std::string expected;
    };
    const std::vector<Case> cases{
        {"both empty", {}, {}, lines({kDeclaration, kRoot, "    <version>65.0</version>", "</Package>"})},
        {"containers only, permission sets before profiles, names sorted and unique",
         {key(FlsContainerKind::Profile, "Admin"), key(FlsContainerKind::PermissionSet, "R&D"),
          key(FlsContainerKind::Profile, "Admin"), key(FlsContainerKind::Profile, "Analyst")},
         {},
         lines({kDeclaration, kRoot, "    <types>", "        <members>R&amp;D</members>",
                "        <name>PermissionSet</name>", "    </types>", "    <types>",
                "        <members>Admin</members>", "        <members>Analyst</members>", "        <name>Profile</name>",
                "    </types>", "    <version>65.0</version>", "</Package>"})},
        {"subjects only: no container elements",
         {},
         {PermissionSubject{PermissionSubject::Field{"Account", "Rating__c"}},
          PermissionSubject{PermissionSubject::Field{"Contact", "Rating__c"}},
          PermissionSubject{PermissionSubject::Field{"Account", "Rating__c"}},
          PermissionSubject{PermissionSubject::Tab{"standard-Account"}}},
         lines({kDeclaration, kRoot, "    <types>", "        <members>Account.Rating__c</members>",
                "        <members>Contact.Rating__c</members>", "        <name>CustomField</name>", "    </types>",
                "    <types>", "        <members>standard-Account</members>", "        <name>CustomTab</name>",
                "    </types>", "    <version>65.0</version>", "</Package>"})},
        {"every subject type in byte order, then PermissionSet and Profile after RecordType",
         {key(FlsContainerKind::Profile, "Admin"), key(FlsContainerKind::PermissionSet, "Ops")},
         {PermissionSubject{PermissionSubject::RecordType{"Account", "Partner"}},
          PermissionSubject{PermissionSubject::Object{"Account"}}, PermissionSubject{PermissionSubject::ApexPage{"P"}},
          PermissionSubject{PermissionSubject::ApexClass{"C"}}},
         lines({kDeclaration, kRoot, "    <types>", "        <members>C</members>", "        <name>ApexClass</name>",
                "    </types>", "    <types>", "        <members>P</members>", "        <name>ApexPage</name>",
                "    </types>", "    <types>", "        <members>Account</members>",
                "        <name>CustomObject</name>", "    </types>", "    <types>",
                "        <members>Account.Partner</members>", "        <name>RecordType</name>", "    </types>",
                "    <types>", "        <members>Ops</members>", "        <name>PermissionSet</name>", "    </types>",
                "    <types>", "        <members>Admin</members>", "        <name>Profile</name>", "    </types>",
                "    <version>65.0</version>", "</Package>"})},
    };
    const auto writer = PermissionManifestWriter::create("65.0");
    ASSERT_TRUE(writer);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(writer->render_with_subjects(c.containers, c.subjects), c.expected);
    }
}

TEST(PermissionManifestWriter, WritesARelativePathUnderTheCurrentFolderAndReplacesAFile) {
    ambrel::testing::TempDir dir;
    const fs::path previous = fs::current_path();
    fs::current_path(dir.path());
    const auto writer = PermissionManifestWriter::create("65.0");
    const std::vector<PermissionComponentKey> keys{key(FlsContainerKind::Profile, "Admin")};
    const auto first = writer->write_with_subjects("a/../manifest/package.xml", keys, {});
    const auto second = writer->write_with_subjects("manifest/package.xml", {}, {});
    fs::current_path(previous);
    ASSERT_TRUE(first && second);
    EXPECT_EQ(*first, fs::canonical(dir.path()) / "manifest" / "package.xml");
    EXPECT_TRUE(first->is_absolute());
    EXPECT_EQ(ambrel::testing::read_file(*first), writer->render_with_subjects({}, {}));
}

TEST(PermissionManifestWriter, ReportsAParentThatCannotBeMadeAndAFileThatCannotBeWritten) {
    ambrel::testing::TempDir dir;
    const auto writer = PermissionManifestWriter::create("65.0");
    { std::ofstream(dir.path() / "file") << "x"; }
    const auto parent = writer->write_with_subjects(dir.path() / "file" / "manifest" / "package.xml", {}, {});
    ASSERT_FALSE(parent);
    EXPECT_EQ(parent.error().message, "Could not create permission manifest parent directory");
    EXPECT_TRUE(parent.error().error);
    fs::create_directories(dir.path() / "taken" / "package.xml");
    const auto written = writer->write_with_subjects(dir.path() / "taken" / "package.xml", {}, {});
    ASSERT_FALSE(written);
    EXPECT_EQ(written.error().message, "Could not write permission manifest");
}

}  // namespace
}  // namespace ambrel::metadata::manifest
