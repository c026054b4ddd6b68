#include "metadata/manifest_reader/manifest_reader.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "metadata/manifest/package_manifest_writer.hpp"
#include "support/test_paths.hpp"

namespace ambrel::metadata::manifest_reader {
namespace {

namespace fs = std::filesystem;
using metadata_types::MetadataType;

void write(const fs::path& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
}

std::string parse_failure(std::string_view document) {
    const auto parsed = parse_package_xml(document);
    return parsed ? std::string("(parsed)") : parsed.error().message();
}

TEST(ParsePackageXml, ReadsWhatTheWriterWritesBack) {
    const manifest::TypeSelection selection{{MetadataType::ApexClass, {"Main", "R&D"}},
                                            {MetadataType::CustomField, {"Account"}}};
    const auto parsed = parse_package_xml(manifest::PackageManifestWriter("65.0").render_types(selection));
    ASSERT_TRUE(parsed) << parsed.error().message();
    EXPECT_EQ(parsed->sections, (std::vector<ManifestSection>{{"ApexClass", {"Main", "R&D"}},
                                                              {"CustomObject", {"Account"}}}));
}

TEST(ParsePackageXml, EventTable) {
    struct Case {
        const char* what;
        std::string document;
        std::vector<ManifestSection> sections;
    };
    const std::vector<Case> cases{
        {"empty file", "", {}},
        {"declaration and comments only", "<?xml version=\"1.0\"?>\n<!-- a -->\n<!-- b -->", {}},
        {"lone self-closing root, the rest unread", "<Package/><broken", {}},
        {"no namespace", "<Package><types><members>A</members><name>ApexClass</name></types></Package>",
         {{"ApexClass", {"A"}}}},
        {"prefixed root in another namespace",
         "<m:Package xmlns:m=\"urn:x\"><m:types><m:name>Flow</m:name><m:members>F</m:members></m:types></m:Package>",
         {{"Flow", {"F"}}}},
        {"members after name, white space trimmed, empty members left out, duplicates kept, first name wins",
         "<Package><types><name> ApexClass </name><members>\n  B \n</members><members> </members><members/>"
         "<members>B</members><name>Other</name></types></Package>",
         {{"ApexClass", {"B", "B"}}}},
        {"an empty first name lets a later one count",
         "<Package><types><name>  </name><name>Flow</name></types></Package>", {{"Flow", {}}}},
        {"references, CDATA and nested text inside a capture",
         "<Package><types><members>R&amp;D&#65;&#x42;<![CDATA[<x>]]><i>n</i></members><name>ApexClass</name></types>"
         "</Package>",
         {{"ApexClass", {"R&DAB<x>n"}}}},
        {"&nbsp; outside name and members, and in a comment, is ignored",
         "<Package><!-- &nbsp; --><version>&nbsp;</version><types><other>&nbsp;</other><name>Flow</name></types>"
         "</Package>",
         {{"Flow", {}}}},
        {"name and members deeper or outside types are ignored",
         "<Package><name>X</name><types><name>Flow</name><wrap><members>deep</members></wrap></types>"
         "<version><types><name>Y</name></types></version></Package>",
         {{"Flow", {}}}},
        {"leading byte order mark and CRLF line ends",
         "\xEF\xBB\xBF<?xml version=\"1.0\"?>\r\n<Package>\r\n<types>\r\n<members>A</members>\r\n<name>Flow</name>\r\n</types>\r\n"
         "</Package>\r\n",
         {{"Flow", {"A"}}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const auto parsed = parse_package_xml(c.document);
        ASSERT_TRUE(parsed) << parsed.error().message();
        EXPECT_EQ(parsed->sections, c.sections);
    }
}

TEST(ParsePackageXml, FailureTable) {
    struct Case {
        const char* what;
        std::string document;
        std::string message;
    };
    const std::vector<Case> cases{
        {"wrong root", "<Manifest/>", "Could not parse package.xml: root element must be Package"},
        {"wrong root start", "<Manifest></Manifest>", "Could not parse package.xml: root element must be Package"},
        {"doctype before the root", "<!DOCTYPE Package><Package/>", "Could not parse package.xml: doctype is not allowed"},
        {"doctype inside", "<Package><types><name>A</name></types><!DOCTYPE x></Package>",
         "Could not parse package.xml: doctype is not allowed"},
        {"doctype after", "<Package></Package><!DOCTYPE x>", "Could not parse package.xml: doctype is not allowed"},
        {"section without name", "<Package><types><members>A</members></types></Package>",
         "Could not parse package.xml: a types section has no name"},
        {"self-closing types", "<Package><types/></Package>", "Could not parse package.xml: a types section has no name"},
        {"empty name element even after a name", "<Package><types><name>A</name><name/></types></Package>",
         "Could not parse package.xml: a types section has no name"},
        {"blank name", "<Package><types><name> </name></types></Package>",
         "Could not parse package.xml: a types section has no name"},
        {"&nbsp; inside a member", "<Package><types><members>a&nbsp;b</members><name>A</name></types></Package>",
         "Could not parse package.xml: unknown entity: nbsp"},
        {"&nbsp; inside a name", "<Package><types><name>&nbsp;</name></types></Package>",
         "Could not parse package.xml: unknown entity: nbsp"},
        {"open elements at the end", "<Package><types><name>A</name>", "Could not parse package.xml: unexpected end of document"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(parse_failure(c.document), c.message);
    }
    // The XML reader's own description for broken markup.
    const std::string mismatched = parse_failure("<Package><types></name></types></Package>");
    EXPECT_TRUE(mismatched.starts_with("Could not parse package.xml: ")) << mismatched;
    EXPECT_NE(mismatched.find("does not match"), std::string::npos) << mismatched;
}

TEST(ParsePackageXml, DeepNestingNeedsNoRecursion) {
    constexpr std::size_t kDepth = 5 * 1024 * 1024 / 8;
    std::string document = "<Package>";
    document.reserve(kDepth * 8 + 64);
    for (std::size_t i = 0; i < kDepth; ++i) document += "<a>";
    for (std::size_t i = 0; i < kDepth; ++i) document += "</a>";
    document += "</Package>";
    const auto parsed = parse_package_xml(document);
    ASSERT_TRUE(parsed) << parsed.error().message();
    EXPECT_TRUE(parsed->sections.empty());
}

TEST(ReadPackageManifest, SizeLimitIsExact) {
    ambrel::testing::TempDir dir;
    const std::string head = "<Package><types><name>Flow</name><members>F</members></types></Package>";
    const fs::path at_limit = dir.path() / "at.xml";
    const fs::path over_limit = dir.path() / "over.xml";
    write(at_limit, head + std::string(kMaxManifestBytes - head.size(), ' '));
    write(over_limit, head + std::string(kMaxManifestBytes + 1 - head.size(), ' '));
    ASSERT_EQ(fs::file_size(at_limit), 5'242'880u);
    const auto read = read_package_manifest(at_limit);
    ASSERT_TRUE(read) << read.error().message();
    EXPECT_EQ(read->sections, (std::vector<ManifestSection>{{"Flow", {"F"}}}));
    const auto refused = read_package_manifest(over_limit);
    ASSERT_FALSE(refused);
    EXPECT_EQ(refused.error().message(), "The manifest file is too large (limit 5 MB).");
}

TEST(ReadPackageManifest, RefusesWhatIsNotARegularFileAtOnce) {
    ambrel::testing::TempDir dir;
    const fs::path fifo = dir.path() / "package.xml";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    for (const fs::path& path : {fifo, fs::path("/dev/zero"), fs::path("/dev/null"), dir.path()}) {
        SCOPED_TRACE(path.string());
        const auto read = read_package_manifest(path);
        ASSERT_FALSE(read);
        EXPECT_EQ(read.error().message(), "Could not read the manifest file: not a regular file");
    }
}

TEST(ReadPackageManifest, ReadErrorsCarryTheSystemsOrTheDecodersText) {
    ambrel::testing::TempDir dir;
    const auto missing = read_package_manifest(dir.path() / "none.xml");
    ASSERT_FALSE(missing);
    EXPECT_EQ(missing.error().message(), "Could not read the manifest file: No such file or directory");

    write(dir.path() / "bad.xml", "<Package>\xff</Package>");
    const auto bad = read_package_manifest(dir.path() / "bad.xml");
    ASSERT_FALSE(bad);
    EXPECT_EQ(bad.error().message(),
              "Could not read the manifest file: invalid UTF-8 sequence of 1 byte at byte offset 9");

    write(dir.path() / "real.xml", "<Package><types><name>Flow</name><members>F</members></types></Package>");
    fs::create_symlink(dir.path() / "real.xml", dir.path() / "link.xml");
    const auto through_link = read_package_manifest(dir.path() / "link.xml");
    ASSERT_TRUE(through_link) << through_link.error().message();
    EXPECT_EQ(through_link->sections.size(), 1u);

    if (::geteuid() != 0) {
        write(dir.path() / "locked.xml", "<Package/>");
        fs::permissions(dir.path() / "locked.xml", fs::perms::none);
        const auto denied = read_package_manifest(dir.path() / "locked.xml");
        ASSERT_FALSE(denied);
        EXPECT_EQ(denied.error().message(), "Could not read the manifest file: Permission denied");
    }
}

ManifestMapping mapped(std::vector<ManifestSection> sections) {
    return map_manifest_sections(ParsedManifest{std::move(sections)});
}

TEST(MapManifestSections, Examples) {
    const MetadataType tab = *MetadataType::from_api_name("CustomTab");
    const MetadataType record_type = *MetadataType::from_api_name("RecordType");
    struct Case {
        const char* what;
        std::vector<ManifestSection> sections;
        ManifestMapping expected;
    };
    const std::vector<Case> cases{
        {"field members widen to their object; a packaged field is skipped",
         {{"CustomField", {"Account.Industry__c", "Account", "Account.ns__Score__c", "*"}}},
         {{{MetadataType::CustomField, {"Account"}}},
          {MetadataType::CustomField},
          {"Field member 'Account.Industry__c' was widened to object 'Account'.",
           "Member 'Account.ns__Score__c' is namespaced and was skipped."}}},
        {"object members go to CustomField and to their definition type",
         {{"CustomObject", {"Invoice__c", "Setting__mdt", "Alert__e", "ns__Thing__c"}}},
         {{{MetadataType::CustomField, {"Alert__e", "Invoice__c", "Setting__mdt", "ns__Thing__c"}},
           {MetadataType::CustomMetadataType, {"Setting__mdt"}},
           {MetadataType::PlatformEvent, {"Alert__e"}}},
          {},
          {}}},
        {"object wildcard",
         {{"CustomObject", {"*"}}},
         {{},
          {MetadataType::CustomField, MetadataType::CustomObject, MetadataType::CustomMetadataType,
           MetadataType::PlatformEvent},
          {}}},
        {"code members: plain, packaged and wildcard",
         {{"ApexClass", {"Util", "ns__Tools", "*", "Util"}}},
         {{{MetadataType::ApexClass, {"Util"}}},
          {MetadataType::ApexClass},
          {"Member 'ns__Tools' is namespaced and was skipped."}}},
        {"unsupported and wrongly cased types",
         {{"NoSuchType", {"A"}}, {"apexclass", {"B"}}},
         {{},
          {},
          {"Manifest type 'NoSuchType' is not supported and was skipped.",
           "Manifest type 'apexclass' is not supported and was skipped."}}},
        {"layouts, registry rows and object children",
         {{"Layout", {"Account-Account Layout", "ns__Obj__c-ns__Layout"}},
          {"CustomTab", {"Tab__c", "ns__Tab__c"}},
          {"RecordType", {"Account.Partner", "Account.ns__Partner"}},
          {"ProductBundle", {"Bundle", "ns__Bundle"}},
          {"Flow", {}}},
         {{{MetadataType::Layout, {"Account-Account Layout"}},
           {MetadataType::ProductBundle, {"Bundle"}},
           {tab, {"Tab__c"}},
           {record_type, {"Account.Partner"}}},
          {},
          {"Member 'ns__Obj__c-ns__Layout' is namespaced and was skipped.",
           "Member 'ns__Tab__c' is namespaced and was skipped.",
           "Member 'Account.ns__Partner' is namespaced and was skipped.",
           "Member 'ns__Bundle' is namespaced and was skipped."}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const ManifestMapping mapping = mapped(c.sections);
        EXPECT_EQ(mapping.selection, c.expected.selection);
        EXPECT_EQ(mapping.wildcard_types, c.expected.wildcard_types);
        EXPECT_EQ(mapping.notes, c.expected.notes);
    }
}

}  // namespace
}  // namespace ambrel::metadata::manifest_reader
