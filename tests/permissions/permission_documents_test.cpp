// The permission document model, the strict reader and the merger.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "metadata/permission_merger/permission_merger.hpp"
#include "metadata/permission_models/permission_models.hpp"
#include "metadata/permission_reader/permission_reader.hpp"
#include "support/programming_error.hpp"
#include "support/test_paths.hpp"

namespace ambrel {
namespace {

using domain::FlsContainerKind;
using domain::FlsMode;
using domain::PermissionGrant;
using domain::PermissionSubject;
using metadata::permission_merger::PermissionMetadataMerger;
using metadata::permission_models::NotTransferred;
using metadata::permission_models::PermissionComponentKey;
using metadata::permission_models::PermissionMetadataComponent;
using metadata::permission_reader::parse_permission_metadata;

constexpr std::string_view kNs = "http://soap.sforce.com/2006/04/metadata";

PermissionComponentKey profile_key(std::string name = "Admin") {
    return PermissionComponentKey::create(FlsContainerKind::Profile, std::move(name));
}
PermissionComponentKey set_key(std::string name = "Ops") {
    return PermissionComponentKey::create(FlsContainerKind::PermissionSet, std::move(name));
}

std::string profile(std::string_view body) {
    return std::string("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<Profile xmlns=\"") + std::string(kNs) + "\">" +
           std::string(body) + "</Profile>\n";
}
std::string permission_set(std::string_view body) {
    return std::string("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<PermissionSet xmlns=\"") + std::string(kNs) +
           "\">" + std::string(body) + "</PermissionSet>\n";
}

std::string field_block(std::string_view field, bool editable, bool readable) {
    return std::string("\n    <fieldPermissions>\n        <editable>") + (editable ? "true" : "false") +
           "</editable>\n        <field>" + std::string(field) + "</field>\n        <readable>" +
           (readable ? "true" : "false") + "</readable>\n    </fieldPermissions>";
}

PermissionSubject field(std::string object, std::string name) {
    return {PermissionSubject::Field{std::move(object), std::move(name)}};
}

TEST(PermissionModels, KeysKeepSpacesAndRefuseBlankNames) {
    EXPECT_EQ(PermissionComponentKey::create(FlsContainerKind::Profile, " A ").full_name(), " A ");
    for (std::string blank : {"", "   ", "\t\n"}) {
        SCOPED_TRACE(blank);
        try {
            (void)PermissionComponentKey::create(FlsContainerKind::Profile, blank);
            FAIL() << "no error";
        } catch (const support::ProgrammingError& error) {
            EXPECT_STREQ(error.what(), "Permission metadata full name must not be blank");
        }
    }
    EXPECT_LT(set_key("Zed"), profile_key("Alpha"));
    EXPECT_LT(profile_key("Admin"), profile_key("admin"));
}

TEST(PermissionModels, SchemaRowsByElementName) {
    using metadata::permission_models::schema_for_element;
    ASSERT_NE(schema_for_element("tabVisibilities"), nullptr);
    EXPECT_EQ(schema_for_element("tabVisibilities"), schema_for_element("tabSettings"));
    EXPECT_EQ(schema_for_element("tabSettings")->section, 4u);
    EXPECT_EQ(schema_for_element("FieldPermissions"), nullptr);
    EXPECT_EQ(schema_for_element("userPermissions"), nullptr);
    EXPECT_EQ(metadata::permission_models::tab_visibility_word(FlsContainerKind::Profile, domain::TabVisibility::Available),
              "DefaultOff");
    EXPECT_EQ(
        metadata::permission_models::tab_visibility_word(FlsContainerKind::PermissionSet, domain::TabVisibility::Available),
        "Available");
}

TEST(PermissionReader, ReadsEverySection) {
    const std::string text = profile(
        field_block("Account.Rating__c", true, false) +
        "<objectPermissions><object>Account</object><allowRead>true</allowRead></objectPermissions>"
        "<classAccesses><apexClass>Svc</apexClass><enabled> true </enabled></classAccesses>"
        "<pageAccesses><apexPage>Pg</apexPage></pageAccesses>"
        "<tabVisibilities><tab>standard-Account</tab><visibility>DefaultOn</visibility></tabVisibilities>"
        "<recordTypeVisibilities><default>true</default><recordType>Account.Big</recordType><visible>true</visible>"
        "</recordTypeVisibilities>"
        "<userPermissions><name>ApiEnabled</name><enabled>true</enabled></userPermissions>"
        "<layoutAssignments><fieldPermissions><field>bad</field></fieldPermissions></layoutAssignments>");
    auto parsed = parse_permission_metadata(text, profile_key());
    ASSERT_TRUE(parsed) << parsed.error();
    EXPECT_EQ(parsed->grants.size(), 6u);
    EXPECT_EQ(parsed->grants.at(field("Account", "Rating__c")), (PermissionGrant{PermissionGrant::FieldAccess{true, true}}));
    PermissionGrant::ObjectAccess read_only;
    read_only.read = true;
    EXPECT_EQ(parsed->grants.at({PermissionSubject::Object{"Account"}}), (PermissionGrant{read_only}));
    EXPECT_EQ(parsed->grants.at({PermissionSubject::ApexClass{"Svc"}}), (PermissionGrant{PermissionGrant::Enabled{true}}));
    EXPECT_EQ(parsed->grants.at({PermissionSubject::ApexPage{"Pg"}}), (PermissionGrant{PermissionGrant::Enabled{false}}));
    EXPECT_EQ(parsed->grants.at({PermissionSubject::Tab{"standard-Account"}}),
              (PermissionGrant{PermissionGrant::TabVisibility{domain::TabVisibility::Visible}}));
    EXPECT_EQ(parsed->grants.at({PermissionSubject::RecordType{"Account", "Big"}}),
              (PermissionGrant{PermissionGrant::Visible{true}}));
}

TEST(PermissionReader, AcceptsPrefixedNamespaceAndSelfClosingRoot) {
    const std::string prefixed = std::string("<m:PermissionSet xmlns:m=\"") + std::string(kNs) +
                                 "\"><m:classAccesses><m:apexClass>A</m:apexClass><m:enabled>true</m:enabled>"
                                 "</m:classAccesses></m:PermissionSet>";
    auto parsed = parse_permission_metadata(prefixed, set_key());
    ASSERT_TRUE(parsed) << parsed.error();
    EXPECT_EQ(parsed->grants.size(), 1u);
    auto empty = parse_permission_metadata(std::string("<Profile xmlns=\"") + std::string(kNs) + "\"/>", profile_key());
    ASSERT_TRUE(empty) << empty.error();
    EXPECT_TRUE(empty->grants.empty());
}

TEST(PermissionReader, UnrecognisedTabWordsAreReportedNotFailed) {
    auto parsed = parse_permission_metadata(
        profile("<tabSettings><tab>Tab1</tab><visibility>Visible</visibility></tabSettings>"), profile_key());
    ASSERT_TRUE(parsed) << parsed.error();
    EXPECT_TRUE(parsed->grants.empty());
    EXPECT_EQ(parsed->not_transferred.at({PermissionSubject::Tab{"Tab1"}}),
              (NotTransferred{NotTransferred::UnrecognizedValue{"Visible"}}));
    auto none = parse_permission_metadata(permission_set("<tabSettings><tab>T</tab></tabSettings>"), set_key());
    ASSERT_TRUE(none) << none.error();
    EXPECT_EQ(none->grants.at({PermissionSubject::Tab{"T"}}), (PermissionGrant{PermissionGrant::TabVisibility{}}));
}

TEST(PermissionReader, FailuresNameTheDocument) {
    struct Case {
        std::string text;
        bool profile;
        std::string message;
    };
    const std::string ns(kNs);
    const std::vector<Case> cases{
        {"", true, "Expected Profile metadata for Profile 'Admin'"},
        {"<?xml version=\"1.0\"?><!-- only a comment -->", true, "Expected Profile metadata for Profile 'Admin'"},
        {"<Profile></Profile>", true, "Expected Profile metadata for Profile 'Admin'"},
        {"<PermissionSet xmlns=\"" + ns + "\"/>", true, "Expected Profile metadata for Profile 'Admin'"},
        {"<Profile xmlns=\"" + ns + "\"><fieldPermissions><editable>true</editable>", true,
         "could not parse permission metadata: the document ended before its root element was closed"},
        {"<!DOCTYPE x [<!ENTITY a \"b\">]><Profile xmlns=\"" + ns + "\"/>", true, "doctype is not allowed in Profile 'Admin'"},
        {profile(field_block("Account.A__c", true, true).substr(0, 60) + "<readable>true</readable></fieldPermissions>"),
         true, "Expected exactly one 'field' element in fieldPermissions"},
        {profile("<fieldPermissions><editable>true</editable><field>A.B</field></fieldPermissions>"), true,
         "Expected exactly one 'readable' element in fieldPermissions"},
        {profile("<fieldPermissions><editable>True</editable><field>A.B</field><readable>true</readable></fieldPermissions>"),
         true, "Invalid 'editable' Boolean in Profile 'Admin'"},
        {profile("<fieldPermissions><editable>1</editable><field>A.B</field><readable>true</readable></fieldPermissions>"),
         true, "Invalid 'editable' Boolean in Profile 'Admin'"},
        {profile(field_block("Account", true, true)), true, "Invalid fieldPermissions field key in Profile 'Admin'"},
        {profile(field_block("A.B.C", true, true)), true, "Invalid fieldPermissions field key in Profile 'Admin'"},
        {profile(field_block("A.", true, true)), true, "Invalid fieldPermissions field key in Profile 'Admin'"},
        {profile(field_block("A.B_", true, true)), true, "Invalid fieldPermissions field key in Profile 'Admin'"},
        {profile("<objectPermissions><object>Account</object></objectPermissions>"
                 "<objectPermissions><object>Account</object></objectPermissions>"),
         true, "Duplicate objectPermissions entry for Account in Profile 'Admin'"},
        {permission_set("<tabSettings><tab>T</tab><visibility>Bogus</visibility></tabSettings>"
                        "<tabSettings><tab>T</tab><visibility>None</visibility></tabSettings>"),
         false, "Duplicate tabSettings entry for T in PermissionSet 'Ops'"},
        {profile("<tabSettings><tab>T</tab><visibility>Hidden</visibility><visibility>Hidden</visibility></tabSettings>"),
         true, "Expected at most one 'visibility' element"},
        {profile("<classAccesses><apexClass>1Bad</apexClass></classAccesses>"), true,
         "Invalid classAccesses name in Profile 'Admin'"},
        {profile("<tabSettings><tab>bad-name</tab></tabSettings>"), true, "Invalid tabVisibilities name in Profile 'Admin'"},
        {profile("<classAccesses><apexClass>A&nbsp;</apexClass></classAccesses>"), true, "unknown entity: nbsp"},
        {profile("<classAccesses/>"), true, "Expected exactly one 'apexClass' element in classAccesses"},
        {profile("<objectPermissions><object>A</object><allowRead>true</allowRead><allowRead>true</allowRead>"
                 "</objectPermissions>"),
         true, "Expected at most one 'allowRead' element"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        auto parsed = parse_permission_metadata(c.text, c.profile ? profile_key() : set_key());
        ASSERT_FALSE(parsed);
        EXPECT_EQ(parsed.error(), c.message);
    }
    auto bad_syntax = parse_permission_metadata(profile("<a></b>"), profile_key());
    ASSERT_FALSE(bad_syntax);
    EXPECT_TRUE(bad_syntax.error().starts_with("could not parse permission metadata: ")) << bad_syntax.error();
}

TEST(PermissionReader, IgnoredElementsAreNotLookedAt) {
    auto parsed = parse_permission_metadata(profile("<userPermissions><name>A&nbsp;</name></userPermissions>"),
                                            profile_key());
    ASSERT_TRUE(parsed) << parsed.error();
}

TEST(PermissionReader, DeepNestingAndLargeDocumentsNeverCrash) {
    std::string deep = std::string("<Profile xmlns=\"") + std::string(kNs) + "\">";
    for (int i = 0; i < 100'000; ++i) deep += "<a>";
    for (int i = 0; i < 100'000; ++i) deep += "</a>";
    deep += "</Profile>";
    EXPECT_TRUE(parse_permission_metadata(deep, profile_key()));
    std::string big;
    for (int i = 0; big.size() < 10'000'000; ++i) big += field_block("Account.F" + std::to_string(i) + "__c", false, true);
    auto parsed = parse_permission_metadata(profile(big), profile_key());
    ASSERT_TRUE(parsed) << parsed.error();
    EXPECT_GT(parsed->grants.size(), 50'000u);
}

TEST(PermissionReader, ReadsFilesAndRefusesInvalidUtf8) {
    testing::TempDir dir;
    const auto path = dir.path() / "Admin.profile-meta.xml";
    {
        std::FILE* file = std::fopen(path.c_str(), "wb");
        ASSERT_NE(file, nullptr);
        const std::string text = profile("<description>\xff</description>");
        std::fwrite(text.data(), 1, text.size(), file);
        std::fclose(file);
    }
    metadata::permission_reader::PermissionMetadataReader reader;
    auto read = reader.read(path, profile_key());
    ASSERT_FALSE(read);
    EXPECT_TRUE(read.error().starts_with("permission metadata is not valid UTF-8: ")) << read.error();
    auto missing = reader.read(dir.path() / "none.xml", profile_key());
    ASSERT_FALSE(missing);
    EXPECT_TRUE(missing.error().starts_with("Could not read permission metadata: ")) << missing.error();
}

TEST(PermissionReader, CorpusPermissionSetsReadStrictly) {
    std::size_t read = 0;
    if (!std::filesystem::exists(testing::corpus_dir())) AMBREL_SKIP_UNLESS_CI("corpus missing");
    for (const auto& entry : std::filesystem::recursive_directory_iterator(testing::corpus_dir())) {
        const auto name = entry.path().filename().string();
        const std::string suffix = ".permissionset-meta.xml";
        if (!name.ends_with(suffix)) continue;
        SCOPED_TRACE(entry.path().string());
        metadata::permission_reader::PermissionMetadataReader reader;
        auto component = reader.read(entry.path(), set_key(name.substr(0, name.size() - suffix.size())));
        ASSERT_TRUE(component) << component.error();
        ++read;
    }
    EXPECT_GT(read, 0u);
}

// ---- merger ----

PermissionMetadataComponent component(PermissionComponentKey key, std::string xml) {
    auto parsed = parse_permission_metadata(xml, key);
    EXPECT_TRUE(parsed) << parsed.error();
    return {key, {}, std::move(xml), parsed ? *parsed : metadata::permission_models::ParsedPermissions{}};
}

domain::SelectedPermissions select_field(std::string object, std::string name, bool required = false,
                                         bool formula = false) {
    domain::SelectedPermissions selected;
    domain::CustomFieldDefinition definition;
    definition.key = {object, name};
    definition.required = required;
    if (formula) definition.attributes.formula = "1";
    selected.fields.emplace(definition.key, definition);
    return selected;
}

TEST(PermissionMerger, RefusesModeNoneAndForeignKeys) {
    PermissionMetadataMerger merger;
    const auto source = component(set_key("Admin"), permission_set(""));
    const auto target = component(profile_key("Admin"), profile(""));
    auto none = merger.merge(source, target, {}, FlsMode::None);
    ASSERT_FALSE(none);
    EXPECT_EQ(none.error().message(), "FLS mode does not transfer field-level security");
    auto mismatch = merger.merge(source, target, {}, FlsMode::All);
    ASSERT_FALSE(mismatch);
    EXPECT_EQ(mismatch.error().message(), "Source and target permission components must share one identity");
    const auto self_closing = component(profile_key(), std::string("<Profile xmlns=\"") + std::string(kNs) + "\"/>");
    auto no_root = merger.merge(self_closing, self_closing, {}, FlsMode::All);
    ASSERT_FALSE(no_root);
    EXPECT_EQ(no_root.error().message(), "permission metadata has no root element");
}

TEST(PermissionMerger, AdditiveKeepsUnionAllRewrites) {
    PermissionMetadataMerger merger;
    const auto source = component(profile_key(), profile(field_block("Account.A__c", false, true) + "\n"));
    const auto target = component(profile_key(), profile(field_block("Account.A__c", true, true) + "\n"));
    const auto selected = select_field("Account", "A__c");
    auto additive = merger.merge(source, target, selected, FlsMode::Additive);
    ASSERT_TRUE(additive);
    EXPECT_FALSE(additive->component);
    EXPECT_EQ(additive->unchanged, std::set<PermissionSubject>{field("Account", "A__c")});
    auto all = merger.merge(source, target, selected, FlsMode::All);
    ASSERT_TRUE(all);
    ASSERT_TRUE(all->component);
    EXPECT_EQ(all->component->xml, profile(field_block("Account.A__c", false, true) + "\n"));
}

// A deploy leaves access that the document omits in place, so a revoked field keeps its block with
// both flags off.
TEST(PermissionMerger, RevokesWithFlagsOffInsertsAndKeepsTheRest) {
    PermissionMetadataMerger merger;
    const std::string rest =
        "\n    <!-- keep me -->\n    <userLicense>Salesforce</userLicense>\n";
    const auto source = component(profile_key(), profile(field_block("Account.B__c", true, true) + rest));
    const auto target = component(profile_key(), profile(field_block("Account.A__c", false, true) + rest));
    auto selected = select_field("Account", "A__c");
    selected.fields.merge(select_field("Account", "B__c").fields);
    auto merged = merger.merge(source, target, selected, FlsMode::All);
    ASSERT_TRUE(merged);
    ASSERT_TRUE(merged->component);
    EXPECT_EQ(merged->component->xml,
              profile(field_block("Account.A__c", false, false) + field_block("Account.B__c", true, true) + rest));
    EXPECT_EQ(merged->desired.at(field("Account", "A__c")), (PermissionGrant{PermissionGrant::FieldAccess{}}));
}

TEST(PermissionMerger, RevokesEveryKindByWritingItsFlagsOff) {
    PermissionMetadataMerger merger;
    struct Case {
        PermissionSubject subject;
        std::string granted;
        std::string revoked;
    };
    const std::vector<Case> cases{
        {{PermissionSubject::Object{"Account"}},
         "\n    <objectPermissions>\n        <allowCreate>true</allowCreate>\n        <allowDelete>true</allowDelete>\n"
         "        <allowEdit>true</allowEdit>\n        <allowRead>true</allowRead>\n"
         "        <modifyAllRecords>true</modifyAllRecords>\n        <object>Account</object>\n"
         "        <viewAllFields>true</viewAllFields>\n        <viewAllRecords>true</viewAllRecords>\n    </objectPermissions>",
         "\n    <objectPermissions>\n        <allowCreate>false</allowCreate>\n        <allowDelete>false</allowDelete>\n"
         "        <allowEdit>false</allowEdit>\n        <allowRead>false</allowRead>\n"
         "        <modifyAllRecords>false</modifyAllRecords>\n        <object>Account</object>\n"
         "        <viewAllFields>false</viewAllFields>\n        <viewAllRecords>false</viewAllRecords>\n    </objectPermissions>"},
        {{PermissionSubject::ApexClass{"Svc"}},
         "\n    <classAccesses><apexClass>Svc</apexClass><enabled>true</enabled></classAccesses>",
         "\n    <classAccesses>\n        <apexClass>Svc</apexClass>\n        <enabled>false</enabled>\n    </classAccesses>"},
        {{PermissionSubject::ApexPage{"Pg"}},
         "\n    <pageAccesses>\n        <apexPage>Pg</apexPage>\n        <enabled>true</enabled>\n    </pageAccesses>",
         "\n    <pageAccesses>\n        <apexPage>Pg</apexPage>\n        <enabled>false</enabled>\n    </pageAccesses>"},
    };
    const std::string rest = "\n    <userLicense>Salesforce</userLicense>\n";
    for (const auto& c : cases) {
        SCOPED_TRACE(c.subject.api_name());
        domain::SelectedPermissions selected;
        selected.subjects.insert(c.subject);
        const auto source = component(profile_key(), profile(rest));
        const auto target = component(profile_key(), profile(c.granted + rest));
        auto merged = merger.merge(source, target, selected, FlsMode::All);
        ASSERT_TRUE(merged) << merged.error().message();
        ASSERT_TRUE(merged->component);
        EXPECT_EQ(merged->component->xml, profile(c.revoked + rest));
        auto reread = parse_permission_metadata(merged->component->xml, profile_key());
        ASSERT_TRUE(reread) << reread.error();
        EXPECT_EQ(reread->grants.at(c.subject), metadata::permission_models::no_access_grant(c.subject));
        // Without a block in the target there is no access to take away, and nothing is written.
        const auto bare = component(profile_key(), profile(rest));
        auto untouched = merger.merge(source, bare, selected, FlsMode::All);
        ASSERT_TRUE(untouched);
        EXPECT_FALSE(untouched->component);
    }
}

TEST(PermissionMerger, PlacesNewSectionsByTheOrderTable) {
    PermissionMetadataMerger merger;
    domain::SelectedPermissions selected;
    selected.subjects.insert({PermissionSubject::Object{"Account"}});
    PermissionGrant::ObjectAccess read;
    read.read = true;
    const auto source = component(profile_key(), profile("<objectPermissions><allowRead>true</allowRead><object>Account</object></objectPermissions>"));
    const auto target = component(profile_key(), profile("\n    <classAccesses><apexClass>A</apexClass><enabled>true</enabled></classAccesses>\n    <userLicense>Salesforce</userLicense>\n"));
    auto merged = merger.merge(source, target, selected, FlsMode::Additive);
    ASSERT_TRUE(merged);
    ASSERT_TRUE(merged->component);
    EXPECT_EQ(merged->component->xml,
              profile("\n    <classAccesses><apexClass>A</apexClass><enabled>true</enabled></classAccesses>\n"
                      "    <objectPermissions>\n        <allowCreate>false</allowCreate>\n        <allowDelete>false</allowDelete>\n"
                      "        <allowEdit>false</allowEdit>\n        <allowRead>true</allowRead>\n"
                      "        <modifyAllRecords>false</modifyAllRecords>\n        <object>Account</object>\n"
                      "        <viewAllFields>false</viewAllFields>\n        <viewAllRecords>false</viewAllRecords>\n"
                      "    </objectPermissions>\n    <userLicense>Salesforce</userLicense>\n"));
    EXPECT_EQ(merged->desired.at({PermissionSubject::Object{"Account"}}), (PermissionGrant{read}));
}

TEST(PermissionMerger, RequiredAndFormulaFields) {
    PermissionMetadataMerger merger;
    const auto source = component(profile_key(), profile(field_block("Account.A__c", true, true)));
    const auto target = component(profile_key(), profile(""));
    auto required = merger.merge(source, target, select_field("Account", "A__c", true), FlsMode::All);
    ASSERT_TRUE(required);
    EXPECT_EQ(required->required_fields, std::set<PermissionSubject>{field("Account", "A__c")});
    EXPECT_FALSE(required->component);
    auto formula = merger.merge(source, target, select_field("Account", "A__c", false, true), FlsMode::All);
    ASSERT_TRUE(formula);
    ASSERT_TRUE(formula->component);
    EXPECT_NE(formula->component->xml.find("<editable>false</editable>"), std::string::npos);
    EXPECT_EQ(formula->desired.at(field("Account", "A__c")), (PermissionGrant{PermissionGrant::FieldAccess{true, false}}));
}

TEST(PermissionMerger, TabsAndRecordTypesAreRewrittenNotRemoved) {
    PermissionMetadataMerger merger;
    domain::SelectedPermissions selected;
    selected.subjects.insert({PermissionSubject::Tab{"T"}});
    selected.subjects.insert({PermissionSubject::Tab{"Absent"}});
    selected.subjects.insert({PermissionSubject::RecordType{"Account", "Big"}});
    selected.subjects.insert({PermissionSubject::RecordType{"Account", "Small"}});
    const auto source = component(set_key(), permission_set(""));
    const auto target = component(
        set_key(), permission_set("\n    <recordTypeVisibilities><default>true</default><recordType>Account.Big</recordType>"
                                  "<visible>true</visible></recordTypeVisibilities>"
                                  "\n    <recordTypeVisibilities><default>false</default><recordType>Account.Small</recordType>"
                                  "<visible>true</visible></recordTypeVisibilities>"
                                  "\n    <tabSettings><tab>T</tab><visibility>Visible</visibility></tabSettings>\n"));
    auto merged = merger.merge(source, target, selected, FlsMode::All);
    ASSERT_TRUE(merged);
    EXPECT_EQ(merged->not_transferred.at({PermissionSubject::RecordType{"Account", "Big"}}),
              (NotTransferred{NotTransferred::DefaultRecordType{}}));
    ASSERT_TRUE(merged->component);
    const std::string& xml = merged->component->xml;
    EXPECT_NE(xml.find("<tab>T</tab>\n        <visibility>None</visibility>"), std::string::npos) << xml;
    EXPECT_EQ(xml.find("Absent"), std::string::npos) << xml;
    EXPECT_NE(xml.find("<default>false</default>\n        <recordType>Account.Small</recordType>\n        "
                       "<visible>false</visible>"),
              std::string::npos)
        << xml;
}

TEST(PermissionMerger, CDataKeysAreFoundAndPrefixedDocumentsStayInTheNamespace) {
    PermissionMetadataMerger merger;
    domain::SelectedPermissions selected;
    selected.subjects.insert({PermissionSubject::ApexClass{"Svc"}});
    selected.subjects.insert({PermissionSubject::ApexPage{"Pg"}});
    const std::string ns(kNs);
    const std::string target_text = "<m:Profile xmlns:m=\"" + ns +
                                    "\">\n  <m:classAccesses><m:apexClass><![CDATA[Svc]]></m:apexClass>"
                                    "<m:enabled>false</m:enabled></m:classAccesses>\n</m:Profile>";
    const auto target = component(profile_key(), target_text);
    const auto source = component(profile_key(), profile("<classAccesses><apexClass>Svc</apexClass><enabled>true</enabled>"
                                                         "</classAccesses><pageAccesses><apexPage>Pg</apexPage>"
                                                         "<enabled>true</enabled></pageAccesses>"));
    auto merged = merger.merge(source, target, selected, FlsMode::All);
    ASSERT_TRUE(merged);
    ASSERT_TRUE(merged->component);
    EXPECT_EQ(merged->component->xml,
              "<m:Profile xmlns:m=\"" + ns +
                  "\">\n  <m:classAccesses>\n      <m:apexClass>Svc</m:apexClass>\n      <m:enabled>true</m:enabled>\n"
                  "  </m:classAccesses>\n  <m:pageAccesses>\n      <m:apexPage>Pg</m:apexPage>\n"
                  "      <m:enabled>true</m:enabled>\n  </m:pageAccesses>\n</m:Profile>");
    auto reread = parse_permission_metadata(merged->component->xml, profile_key());
    ASSERT_TRUE(reread) << reread.error();
    EXPECT_EQ(reread->grants.size(), 2u);
}

TEST(PermissionMerger, EndTagsWithSpacesAreWrittenFromTheirNames) {
    PermissionMetadataMerger merger;
    domain::SelectedPermissions selected;
    selected.subjects.insert({PermissionSubject::ApexClass{"B"}});
    const std::string ns(kNs);
    const std::string target_text = "<Profile xmlns=\"" + ns +
                                    "\">\n    <classAccesses><apexClass>A</apexClass ><enabled>true</enabled></classAccesses >"
                                    "\n    <custom>true</custom  >\n</Profile >\n";
    const auto target = component(profile_key(), target_text);
    const auto source = component(profile_key(), profile("<classAccesses><apexClass>B</apexClass><enabled>true</enabled>"
                                                         "</classAccesses>"));
    auto merged = merger.merge(source, target, selected, FlsMode::Additive);
    ASSERT_TRUE(merged);
    ASSERT_TRUE(merged->component);
    EXPECT_EQ(merged->component->xml,
              "<Profile xmlns=\"" + ns +
                  "\">\n    <classAccesses><apexClass>A</apexClass><enabled>true</enabled></classAccesses>"
                  "\n    <classAccesses>\n        <apexClass>B</apexClass>\n        <enabled>true</enabled>\n"
                  "    </classAccesses>\n    <custom>true</custom>\n</Profile>\n");
}

TEST(PermissionMerger, HostileTargetsGiveTheirErrorNeverAPartialDocument) {
    PermissionMetadataMerger merger;
    domain::SelectedPermissions selected;
    selected.subjects.insert({PermissionSubject::ApexClass{"B"}});
    const auto source = component(profile_key(), profile("<classAccesses><apexClass>B</apexClass><enabled>true</enabled>"
                                                         "</classAccesses>"));
    const std::string ns(kNs);
    struct Case {
        std::string text;
        std::string message;
    };
    const std::vector<Case> cases{
        {"<!DOCTYPE Profile [<!ENTITY x \"y\">]><Profile xmlns=\"" + ns + "\"></Profile>", "doctype is not allowed in Profile 'Admin'"},
        {"<Profile xmlns=\"" + ns + "\"><a>", "permission metadata root is not closed"},
        {"<!-- nothing -->", "permission metadata has no root element"},
        {"<Profile xmlns=\"" + ns + "\"><!-- \xff --></Profile>", "serialized permission metadata is not UTF-8: "},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        const PermissionMetadataComponent target{profile_key(), {}, c.text, {}};
        auto merged = merger.merge(source, target, selected, FlsMode::All);
        ASSERT_FALSE(merged);
        EXPECT_TRUE(merged.error().message().starts_with(c.message)) << merged.error().message();
    }
    // An unknown entity in a key adds nothing, so the block is not found and a new one is added.
    const PermissionMetadataComponent odd{profile_key(), {}, "<Profile xmlns=\"" + ns +
        "\"><classAccesses><apexClass>B&odd;</apexClass><enabled>false</enabled></classAccesses></Profile>", {}};
    auto merged = merger.merge(source, odd, selected, FlsMode::All);
    ASSERT_TRUE(merged) << merged.error().message();
    ASSERT_TRUE(merged->component);
    // A 10 MB target merges like any other.
    std::string big;
    for (int i = 0; big.size() < 10'000'000; ++i) big += field_block("Account.F" + std::to_string(i) + "__c", false, true);
    const auto large = component(profile_key(), profile(big));
    auto large_merge = merger.merge(source, large, selected, FlsMode::All);
    ASSERT_TRUE(large_merge);
    ASSERT_TRUE(large_merge->component);
    EXPECT_GT(large_merge->component->xml.size(), 10'000'000u);
}

TEST(PermissionMerger, CorpusMergeWithoutChangeYieldsNothing) {
    if (!std::filesystem::exists(testing::corpus_dir())) AMBREL_SKIP_UNLESS_CI("corpus missing");
    const auto path = testing::corpus_dir() / "dreamhouse-lwc/force-app/main/default/permissionsets/dreamhouse.permissionset-meta.xml";
    metadata::permission_reader::PermissionMetadataReader reader;
    auto doc = reader.read(path, set_key("dreamhouse"));
    ASSERT_TRUE(doc) << doc.error();
    domain::SelectedPermissions selected;
    for (const auto& [subject, grant] : doc->permissions.grants) {
        if (std::holds_alternative<PermissionSubject::Field>(subject.value)) continue;
        selected.subjects.insert(subject);
    }
    PermissionMetadataMerger merger;
    auto same = merger.merge(*doc, *doc, selected, FlsMode::All);
    ASSERT_TRUE(same);
    EXPECT_FALSE(same->component);
    // Taking one class's access away changes only that block, which stays with its flag off.
    auto target = *doc;
    auto source = *doc;
    PermissionSubject changed;
    for (const auto& [subject, grant] : source.permissions.grants) {
        if (std::holds_alternative<PermissionSubject::ApexClass>(subject.value)) changed = subject;
    }
    if (!std::holds_alternative<PermissionSubject::ApexClass>(changed.value)) GTEST_SKIP() << "no class block";
    source.permissions.grants.erase(changed);
    auto merged = merger.merge(source, target, selected, FlsMode::All);
    ASSERT_TRUE(merged);
    ASSERT_TRUE(merged->component);
    auto reread = parse_permission_metadata(merged->component->xml, target.key);
    ASSERT_TRUE(reread) << reread.error();
    auto expected = target.permissions.grants;
    expected.insert_or_assign(changed, PermissionGrant{PermissionGrant::Enabled{false}});
    EXPECT_EQ(reread->grants, expected);
}

}  // namespace
}  // namespace ambrel
