// The profile reference filter, the user permission filter and the permission set group filter on
// documents: what they list, what they cut (and nothing else), their notes and their refusals.

#include <fstream>
#include <sstream>

#include <gtest/gtest.h>

#include "adaptation_test_support.hpp"
#include "data/schema.hpp"
#include "metadata/permission_set_group_filter/permission_set_group_filter.hpp"
#include "metadata/profile_reference_filter/profile_reference_filter.hpp"
#include "metadata/user_permission_filter/user_permission_filter.hpp"
#include "support/damage.hpp"
#include "support/test_paths.hpp"

namespace ambrel::adaptation_tests {
namespace {

namespace prf = metadata::profile_reference_filter;
namespace upf = metadata::user_permission_filter;
namespace psg = metadata::permission_set_group_filter;
using prf::ReferenceKind;
using testing::read_corpus;

const std::string kBom = "\xEF\xBB\xBF";

const std::string kProfile = document("Profile",
                                      "    <classAccesses>\n        <apexClass>Foo</apexClass>\n        <enabled>true</enabled>\n    </classAccesses>\n"
                                      "    <fieldPermissions>\n        <field>Account.Foo__c</field>\n    </fieldPermissions>\n"
                                      "    <layoutAssignments>\n        <layout>Account-Main</layout>\n        <recordType>Account.Biz</recordType>\n    </layoutAssignments>\n"
                                      "    <userPermissions>\n        <enabled>true</enabled>\n        <name>ViewSetup</name>\n    </userPermissions>\n"
                                      "    <custom>true</custom>\n");

TEST(ProfileReferenceFilter, ListsTheReferencesOfEverySectionPerKind) {
    auto references = prf::profile_references(kProfile);
    ASSERT_TRUE(references.has_value()) << references.error().message();
    const std::map<ReferenceKind, std::set<std::string>> expected = {
        {ReferenceKind::Field, {"Account.Foo__c"}},
        {ReferenceKind::ApexClass, {"Foo"}},
        {ReferenceKind::RecordType, {"Account.Biz"}},
        {ReferenceKind::Layout, {"Account-Main"}},
    };
    EXPECT_EQ(references->names, expected);
}

TEST(ProfileReferenceFilter, CutsOnlyTheMatchingSectionWithItsLine) {
    auto trim = prf::filter_profile_references(kProfile, {{ReferenceKind::ApexClass, {"Foo"}}});
    ASSERT_TRUE(trim.has_value());
    std::string expected = kProfile;
    const std::string block =
        "    <classAccesses>\n        <apexClass>Foo</apexClass>\n        <enabled>true</enabled>\n    </classAccesses>\n";
    expected.erase(expected.find(block), block.size());
    EXPECT_EQ(trim->document, expected);
    EXPECT_EQ(trim->total, 4u);
    EXPECT_EQ(trim->kept, 3u);
    EXPECT_EQ(trim->removed, (std::set<std::pair<ReferenceKind, std::string>>{{ReferenceKind::ApexClass, "Foo"}}));
}

TEST(ProfileReferenceFilter, ALayoutAssignmentLeavesWithItsRecordTypeAndCountsNowhere) {
    auto trim = prf::filter_profile_references(kProfile, {{ReferenceKind::RecordType, {"Account.Biz"}}});
    ASSERT_TRUE(trim.has_value());
    EXPECT_EQ(trim->document.find("layoutAssignments"), std::string::npos);
    EXPECT_EQ(trim->removed.size(), 1u);
    EXPECT_EQ(trim->total, 4u);
    EXPECT_EQ(trim->kept, 2u);
}

TEST(ProfileReferenceFilter, KeepsMarksCrlfAndCutsExactlyWhenTheLineIsShared) {
    struct Case {
        std::string name;
        std::string input;
        std::string expected;
    };
    const std::string field = "<fieldPermissions><field>A.B__c</field></fieldPermissions>";
    const std::string root_open = "<Profile xmlns=\"" + std::string(kNs) + "\">";
    const std::vector<Case> cases = {
        {"two marks and crlf", kBom + kBom + root_open + "\r\n  " + field + "\r\n</Profile>",
         kBom + kBom + root_open + "\r\n</Profile>"},
        {"shared line", root_open + "<custom>x</custom>" + field + "\n</Profile>", root_open + "<custom>x</custom>\n</Profile>"},
        {"block ends the text", root_open + "\n  " + field + "</Profile>", root_open + "\n</Profile>"},
        {"two consecutive lines", root_open + "\n  " + field + "\n  " + field + "\n</Profile>", root_open + "\n</Profile>"},
        {"no namespace", "<Profile>\n  " + field + "\n</Profile>", "<Profile>\n  " + field + "\n</Profile>"},
        {"empty text", "", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        auto trim = prf::filter_profile_references(c.input, {{ReferenceKind::Field, {"A.B__c"}}});
        ASSERT_TRUE(trim.has_value()) << trim.error().message();
        EXPECT_EQ(trim->document, c.expected);
    }
}

TEST(ProfileReferenceFilter, RefusesBadBlocksWithTheirSentences) {
    struct Case {
        std::string name;
        std::string body;
        std::string message;
    };
    const std::vector<Case> cases = {
        {"empty section", "<fieldPermissions/>", std::string(prf::kBlockReferenceRefusal)},
        {"empty reference", "<fieldPermissions><field/></fieldPermissions>", std::string(prf::kBlockReferenceRefusal)},
        {"blank reference", "<fieldPermissions><field>  </field></fieldPermissions>", std::string(prf::kBlockReferenceRefusal)},
        {"two references", "<fieldPermissions><field>A</field><field>B</field></fieldPermissions>",
         std::string(prf::kBlockReferenceRefusal)},
        {"two record types", "<layoutAssignments><layout>L</layout><recordType>A</recordType><recordType>B</recordType></layoutAssignments>",
         std::string(prf::kBlockReferenceRefusal)},
        {"unknown entity", "<fieldPermissions><field>A&nbsp;</field></fieldPermissions>", "unknown entity: nbsp"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        auto references = prf::profile_references(document("Profile", c.body));
        ASSERT_FALSE(references.has_value());
        EXPECT_EQ(references.error().message(), c.message);
    }
    auto unclosed = prf::profile_references("<Profile xmlns=\"" + std::string(kNs) + "\"><custom>x</custom>");
    ASSERT_FALSE(unclosed.has_value());
    EXPECT_EQ(unclosed.error().message(), prf::kRootNotClosedRefusal);
}

TEST(ProfileReferenceFilter, DecodesTrimsAndMatchesNamesExactly) {
    const std::string doc = document("Profile", "<classAccesses><apexClass>\n  A&amp;B <![CDATA[x]]>\n</apexClass></classAccesses>");
    auto references = prf::profile_references(doc);
    ASSERT_TRUE(references.has_value());
    EXPECT_EQ(references->names.at(ReferenceKind::ApexClass), std::set<std::string>{"A&B x"});
    auto trim = prf::filter_profile_references(doc, {{ReferenceKind::ApexClass, {"a&b x"}}});
    ASSERT_TRUE(trim.has_value());
    EXPECT_EQ(trim->document, doc);
}

TEST(ProfileReferenceFilter, ProblemTagsAreExact) {
    EXPECT_EQ(prf::reference_kind_for_problem_tag("customSetting"), ReferenceKind::CustomSetting);
    EXPECT_EQ(prf::reference_kind_for_problem_tag("Field"), std::nullopt);
    EXPECT_EQ(prf::reference_kind_for_problem_tag(" field"), std::nullopt);
}

TEST(ProfileReferenceFilter, CorpusPermissionSetChangesOnlyTheCutLines) {
    const std::string original = read_corpus("dreamhouse-lwc/force-app/main/default/permissionsets/dreamhouse.permissionset-meta.xml");
    ASSERT_FALSE(original.empty());
    auto unchanged = prf::filter_profile_references(original, {});
    ASSERT_TRUE(unchanged.has_value());
    EXPECT_EQ(unchanged->document, original);
    auto trim = prf::filter_profile_references(original, {{ReferenceKind::ApexClass, {"PropertyController"}}});
    ASSERT_TRUE(trim.has_value());
    const std::string block =
        "    <classAccesses>\n        <apexClass>PropertyController</apexClass>\n        <enabled>true</enabled>\n    </classAccesses>\n";
    std::string expected = original;
    ASSERT_NE(expected.find(block), std::string::npos);
    expected.erase(expected.find(block), block.size());
    EXPECT_EQ(trim->document, expected);
}

TEST(UserPermissionFilter, RemovesNamedBlocksAndWritesTheNote) {
    const std::string doc = kBom + document("PermissionSet",
                                            "    <userPermissions>\n        <enabled>true</enabled>\n        <name>ViewSetup</name>\n    </userPermissions>\n"
                                            "    <userPermissions>\n        <name>ApiEnabled</name>\n    </userPermissions>\n"
                                            "    <userPermissions>\n        <name>ViewSetup</name>\n    </userPermissions>\n");
    auto names = upf::user_permission_names(doc);
    ASSERT_TRUE(names.has_value());
    EXPECT_EQ(*names, (std::set<std::string>{"ApiEnabled", "ViewSetup"}));
    auto filtered = upf::filter_user_permissions(doc, {"ViewSetup"});
    ASSERT_TRUE(filtered.has_value());
    EXPECT_EQ(filtered->document,
              kBom + document("PermissionSet", "    <userPermissions>\n        <name>ApiEnabled</name>\n    </userPermissions>\n"));
    EXPECT_EQ(filtered->total, 2u);
    EXPECT_EQ(filtered->message(),
              "Kept 1 of 2 user permissions; left out (not among the user permissions the target org reports): ViewSetup.");
    auto nothing = upf::filter_user_permissions(doc, {});
    ASSERT_TRUE(nothing.has_value());
    EXPECT_EQ(nothing->document, doc);
    EXPECT_EQ(nothing->message(), std::nullopt);
    // Two blocks alone on one line take the line with them, as one removal of both would.
    const std::string shared = document("PermissionSet",
                                        "    <userPermissions><name>A</name></userPermissions><userPermissions><name>B"
                                        "</name></userPermissions>\n    <userPermissions><name>C</name></userPermissions>\n");
    auto both = upf::filter_user_permissions(shared, {"A", "B"});
    ASSERT_TRUE(both.has_value());
    EXPECT_EQ(both->document, document("PermissionSet", "    <userPermissions><name>C</name></userPermissions>\n"));
}

TEST(UserPermissionFilter, RefusesBlocksWithoutExactlyOneName) {
    for (const std::string body : {"<userPermissions><name> </name></userPermissions>",
                                   "<userPermissions><name>A</name><name>B</name></userPermissions>",
                                   "<userPermissions/>", "<userPermissions><name/></userPermissions>"}) {
        SCOPED_TRACE(body);
        auto names = upf::user_permission_names(document("PermissionSet", body));
        ASSERT_FALSE(names.has_value());
        EXPECT_EQ(names.error().message(), upf::kPermissionBlockRefusal);
        EXPECT_EQ(names.error().display(),
                  "Could not parse the permission set document: " + std::string(upf::kPermissionBlockRefusal));
    }
    // Cut off after a complete block: accepted (no check of the root's end).
    auto cut = upf::user_permission_names("<PermissionSet xmlns=\"" + std::string(kNs) +
                                          "\"><userPermissions><name>A</name></userPermissions>");
    ASSERT_TRUE(cut.has_value());
    EXPECT_EQ(*cut, std::set<std::string>{"A"});
}

TEST(UserPermissionFilter, ListedNamesCapAtTen) {
    std::set<std::string> names;
    for (char c = 'a'; c < 'a' + 12; ++c) names.insert(std::string(1, c));
    EXPECT_EQ(upf::listed_names(names), "a, b, c, d, e, f, g, h, i, j, ... and 2 more");
    names.erase("k");
    names.erase("l");
    EXPECT_EQ(upf::listed_names(names), "a, b, c, d, e, f, g, h, i, j");
}

TEST(UserPermissionFilter, CatalogueFromTheDescribe) {
    data::schema::ObjectSchema schema;
    const auto field = [](std::string name, std::string label) {
        data::schema::FieldSchema f;
        f.name = std::move(name);
        f.label = std::move(label);
        return f;
    };
    schema.fields.emplace("Name", field("Name", "Name"));
    schema.fields.emplace("PermissionsApiEnabled", field("PermissionsApiEnabled", "API Enabled"));
    schema.fields.emplace("PermissionsViewSetup", field("PermissionsViewSetup", "API Enabled"));
    schema.fields.emplace("PermissionsBlank", field("PermissionsBlank", "  "));
    const auto catalog = upf::user_permission_catalog(schema);
    EXPECT_EQ(catalog.names, (std::set<std::string, std::less<>>{"PermissionsApiEnabled", "PermissionsBlank", "PermissionsViewSetup"}));
    EXPECT_TRUE(catalog.knows("ViewSetup"));
    EXPECT_FALSE(catalog.knows("viewSetup"));
    ASSERT_EQ(catalog.labels.size(), 1u);
    EXPECT_EQ(catalog.labels.at("API Enabled"), "ViewSetup");
}

TEST(PermissionSetGroupFilter, KeepsAllowedMutingAndPackagedAsAsked) {
    const std::string doc = document("PermissionSetGroup",
                                     "    <permissionSets>Audit</permissionSets>\n"
                                     "    <permissionSets> Billing </permissionSets>\n"
                                     "    <mutingPermissionSets>Care</mutingPermissionSets>\n"
                                     "    <permissionSets>ns__Pkg</permissionSets>\n"
                                     "    <label>G</label><permissionSets>Billing</permissionSets>\n");
    auto org = psg::filter_permission_set_group(doc, {"Audit"}, true, true);
    ASSERT_TRUE(org.has_value());
    EXPECT_EQ(org->document, document("PermissionSetGroup", "    <permissionSets>Audit</permissionSets>\n    <label>G</label>\n"));
    EXPECT_EQ(org->total, 4u);
    EXPECT_EQ(org->message(), "Kept 1 of 4 permission sets in this group; 3 left out: Billing, Care, ns__Pkg.");
    auto repository = psg::filter_permission_set_group(doc, {"Audit"}, false, false);
    ASSERT_TRUE(repository.has_value());
    EXPECT_EQ(repository->left_out, std::set<std::string>{"Billing"});
    EXPECT_NE(repository->document.find("Care"), std::string::npos);
    EXPECT_NE(repository->document.find("ns__Pkg"), std::string::npos);
}

// Hostile documents: each filter gives a result or its refusal, never a crash or a half edit.
TEST(DocumentFilters, HostileDocumentsGiveAResultOrARefusal) {
    const std::string ns = std::string(kNs);
    std::string deep = "<Profile xmlns=\"" + ns + "\">";
    for (int i = 0; i < 100000; ++i) deep += "<a>";
    for (int i = 0; i < 100000; ++i) deep += "</a>";
    deep += "</Profile>";
    struct Case {
        std::string name;
        std::string input;
        bool accepted;
    };
    const std::vector<Case> cases = {
        {"malformed", "<Profile xmlns=\"" + ns + "\"><fieldPermissions><field>A</fieldPermissions></Profile>", false},
        {"unclosed root", "<Profile xmlns=\"" + ns + "\"><custom>true</custom>", false},
        {"billion laughs", "<?xml version=\"1.0\"?><!DOCTYPE lolz [<!ENTITY lol \"lol\"><!ENTITY lol2 \"&lol;&lol;&lol;\">]>"
                           "<Profile xmlns=\"" + ns + "\"><fieldPermissions><field>&lol2;</field></fieldPermissions></Profile>",
         false},
        {"doctype without references", "<!DOCTYPE Profile><Profile xmlns=\"" + ns + "\"></Profile>", true},
        {"cdata", "<Profile xmlns=\"" + ns + "\"><fieldPermissions><field><![CDATA[A.B__c]]></field></fieldPermissions></Profile>", true},
        {"invalid utf-8 in names", "<Profile xmlns=\"" + ns + "\"><fieldPermissions><field>A.\xFF\xFE</field></fieldPermissions></Profile>", false},
        {"nesting 100000 deep", deep, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        auto trim = prf::filter_profile_references(c.input, {{ReferenceKind::Field, {"A.B__c"}}});
        EXPECT_EQ(trim.has_value(), c.accepted) << (trim ? "" : trim.error().message());
        auto filtered = upf::filter_user_permissions(c.input, {"X"});
        if (filtered) {
            EXPECT_EQ(filtered->document, c.input);
        }
        auto group = psg::filter_permission_set_group(c.input, {}, true, true);
        (void)group;
    }
    // Invalid UTF-8 text decodes to nothing, so the block carries an empty reference.
    auto refused = prf::profile_references(cases[5].input);
    ASSERT_FALSE(refused.has_value());
    EXPECT_EQ(refused.error().message(), prf::kBlockReferenceRefusal);
    auto laughs = prf::profile_references(cases[2].input);
    ASSERT_FALSE(laughs.has_value());
    EXPECT_EQ(laughs.error().message(), "unknown entity: lol2");
}

TEST(DocumentFilters, DamagedCorpusDocumentsNeverHalfEdit) {
    const std::string original = read_corpus("ebikes-lwc/force-app/main/default/permissionsets/ebikes.permissionset-meta.xml");
    ASSERT_FALSE(original.empty());
    std::mt19937_64 random(25);
    for (int i = 0; i < 300; ++i) {
        const std::string damaged = testing::damage_document(original, random);
        auto trim = prf::filter_profile_references(damaged, {});
        if (trim) {
            EXPECT_EQ(trim->document, damaged);
        }
        auto filtered = upf::filter_user_permissions(damaged, {});
        if (filtered) {
            EXPECT_EQ(filtered->document, damaged);
        }
    }
}

}  // namespace
}  // namespace ambrel::adaptation_tests
