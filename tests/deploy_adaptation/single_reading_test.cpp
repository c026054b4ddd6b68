// The adaptation of a permission document from one reading: the cuts of both filters written at once
// give the very bytes, notes and refusals of filtering for user permissions and then reading the
// result again for references. Also the helpers this rests on: ranges judged after earlier cuts, the
// name table and the lower-cased listing index.

#include <fstream>
#include <random>
#include <sstream>

#include <gtest/gtest.h>

#include "adaptation_test_support.hpp"
#include "app/profile_adaptation.hpp"
#include "metadata/document_edits/document_edits.hpp"
#include "metadata/document_edits/name_set.hpp"
#include "metadata/profile_reference_filter/profile_reference_filter.hpp"
#include "metadata/user_permission_filter/user_permission_filter.hpp"
#include "support/damage.hpp"
#include "support/test_paths.hpp"

namespace ambrel::adaptation_tests {
namespace {

namespace prf = metadata::profile_reference_filter;
namespace upf = metadata::user_permission_filter;
namespace edits = metadata::document_edits;
using prf::ReferenceKind;
using testing::read_corpus;

const std::string kBom = "\xEF\xBB\xBF";

std::string permission(std::string_view name) {
    return "<userPermissions><enabled>true</enabled><name>" + std::string(name) + "</name></userPermissions>";
}

std::string field(std::string_view name) {
    return "<fieldPermissions><field>" + std::string(name) + "</field></fieldPermissions>";
}

// What the two filters give one after the other, each reading its own input.
struct TwoPasses {
    std::string document;
    std::optional<std::string> permission_note;
    std::optional<std::string> reference_note;
};

TwoPasses two_passes(const std::string& input, const std::set<std::string>& leave, const prf::ReferencesByKind& unknown) {
    TwoPasses out{input, std::nullopt, std::nullopt};
    if (!leave.empty()) {
        auto filtered = upf::filter_user_permissions(out.document, leave);
        EXPECT_TRUE(filtered.has_value());
        if (!filtered) return out;
        out.permission_note = filtered->message();
        out.document = filtered->document;
    }
    if (!unknown.empty()) {
        auto trim = prf::filter_profile_references(out.document, unknown);
        EXPECT_TRUE(trim.has_value());
        if (!trim) return out;
        out.reference_note = app::profile_reference_note(*trim);
        out.document = trim->document;
    }
    return out;
}

void expect_same_as_two_passes(const std::string& input, const std::set<std::string>& leave,
                               const prf::ReferencesByKind& unknown) {
    auto reading = app::read_permission_document(input);
    ASSERT_TRUE(reading.permissions.has_value()) << reading.permissions.error().message();
    ASSERT_TRUE(reading.sections.has_value()) << reading.sections.error().message();
    const TwoPasses expected = two_passes(input, leave, unknown);
    std::string document = input;
    const app::AdaptedDocument adapted =
        app::adapt_permission_document(document, *reading.permissions, *reading.sections, leave, unknown);
    EXPECT_EQ(document, expected.document);
    EXPECT_EQ(adapted.changed, !leave.empty() || !unknown.empty());
    EXPECT_EQ(adapted.permission_note, expected.permission_note);
    EXPECT_EQ(adapted.reference_note, expected.reference_note);
}

TEST(SingleReading, CutsTheSameBytesAsTheTwoFiltersInTurn) {
    const prf::ReferencesByKind unknown_field = {{ReferenceKind::Field, {"A.Gone__c"}}};
    struct Case {
        std::string name;
        std::string body;
    };
    const std::vector<Case> cases = {
        {"own lines", "    " + permission("Gone") + "\n    " + field("A.Gone__c") + "\n    " + field("A.Kept__c") + "\n"},
        {"permission then section on one line", "    " + permission("Gone") + field("A.Gone__c") + "\n  <custom>true</custom>\n"},
        {"section then permission on one line", "    " + field("A.Gone__c") + permission("Gone") + "\n  <custom>true</custom>\n"},
        {"carriage return, permission, line feed", "    " + field("A.Gone__c") + "\r" + permission("Gone") + "\n<custom>true</custom>\n"},
        {"tabs and two permissions around a section",
         "\t" + permission("Gone") + " \t" + field("A.Gone__c") + permission("Other") + "\r\n\t<custom>true</custom>\r\n"},
        {"crlf lines", "    " + permission("Gone") + "\r\n    " + field("A.Gone__c") + "\r\n    " + permission("Kept") + "\r\n"},
        {"permission kept between two cut sections",
         "  " + field("A.Gone__c") + "\n  " + permission("Kept") + "\n  " + field("A.Gone__c") + "\n"},
        {"everything on one line", permission("Gone") + field("A.Gone__c") + permission("Other") + field("A.Kept__c")},
    };
    const std::vector<std::set<std::string>> leaves = {{}, {"Gone"}, {"Gone", "Other"}};
    const std::vector<prf::ReferencesByKind> unknowns = {{}, unknown_field};
    for (const Case& c : cases) {
        for (const std::string& marks : {std::string(), kBom + kBom}) {
            const std::string input = marks + document("Profile", c.body);
            for (const auto& leave : leaves) {
                for (const auto& unknown : unknowns) {
                    SCOPED_TRACE(c.name + (marks.empty() ? "" : ", marks") + ", leaving " + std::to_string(leave.size()) +
                                 " permissions and " + std::to_string(unknown.size()) + " kinds");
                    expect_same_as_two_passes(input, leave, unknown);
                }
            }
        }
    }
}

TEST(SingleReading, AnEmptyCutLeavesTheDocumentAlone) {
    const std::string input = kBom + document("Profile", "  " + permission("Kept") + "\n");
    auto reading = app::read_permission_document(input);
    ASSERT_TRUE(reading.permissions.has_value());
    ASSERT_TRUE(reading.sections.has_value());
    std::string document = input;
    const auto adapted = app::adapt_permission_document(document, *reading.permissions, *reading.sections, {}, {});
    EXPECT_EQ(document, input);
    EXPECT_FALSE(adapted.changed);
    EXPECT_FALSE(adapted.permission_note.has_value());
    EXPECT_FALSE(adapted.reference_note.has_value());
}

// Each reading keeps the outcome it has alone, whatever the other one met first.
TEST(SingleReading, EachReadingKeepsItsOwnOutcome) {
    const std::string ns(kNs);
    const std::string open = "<Profile xmlns=\"" + ns + "\">";
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"malformed", open + field("A.B__c") + "<field>x</fieldPermissions></Profile>"},
        {"unclosed root", open + permission("Kept") + field("A.B__c")},
        {"empty permission name then malformed", open + "<userPermissions><name/></userPermissions><a></b></Profile>"},
        {"bad section then bad permission",
         open + "<fieldPermissions></fieldPermissions><userPermissions></userPermissions></Profile>"},
        {"unknown entity in a name", open + "<userPermissions><name>&nbsp;</name></userPermissions>" + field("A.&bad;") +
                                          "</Profile>"},
        {"unknown entity outside any name", open + "<description>&nbsp;</description>" + field("A.B__c") + "</Profile>"},
        {"billion laughs", "<!DOCTYPE l [<!ENTITY a \"x\"><!ENTITY b \"&a;&a;\">]>" + open + field("&b;") + "</Profile>"},
        {"cdata and a doctype", "<!DOCTYPE Profile>" + open + "<fieldPermissions><field><![CDATA[A.B__c]]></field>"
                                "</fieldPermissions>" + permission("X") + "</Profile>"},
        {"invalid utf-8", open + "<userPermissions><name>\xFF</name></userPermissions></Profile>"},
        {"well formed", document("Profile", permission("X") + field("A.B__c"))},
    };
    for (const auto& [name, input] : cases) {
        for (const std::string& marks : {std::string(), kBom, kBom + kBom + kBom}) {
            SCOPED_TRACE(name + (marks.empty() ? "" : ", marks"));
            const std::string text = marks + input;
            const auto reading = app::read_permission_document(text);
            EXPECT_EQ(reading.permissions, upf::permission_blocks(text));
            EXPECT_EQ(reading.sections, prf::reference_sections(text));
            if (reading.permissions) {
                EXPECT_EQ(upf::names_of(*reading.permissions), upf::user_permission_names(text).value());
            }
            if (reading.sections) {
                EXPECT_EQ(prf::references_of(*reading.sections), prf::profile_references(text).value());
            }
        }
    }
}

TEST(SingleReading, DamagedCorpusDocumentsCutAsTheTwoFiltersDo) {
    const std::string original =
        read_corpus("ebikes-lwc/force-app/main/default/permissionsets/ebikes.permissionset-meta.xml");
    ASSERT_FALSE(original.empty());
    std::mt19937_64 random(2525);
    std::size_t compared = 0;
    for (int i = 0; i < 200; ++i) {
        SCOPED_TRACE(i);
        const std::string damaged = i == 0 ? original : testing::damage_document(original, random);
        const auto reading = app::read_permission_document(damaged);
        if (!reading.permissions || !reading.sections) continue;
        // Leave every other name and every other reference.
        std::set<std::string> leave;
        bool take = true;
        for (const std::string& name : upf::names_of(*reading.permissions)) {
            if (take) leave.insert(name);
            take = !take;
        }
        prf::ReferencesByKind unknown;
        for (const auto& [kind, names] : prf::references_of(*reading.sections).names) {
            for (const std::string& name : names) {
                if (take) unknown[kind].insert(name);
                take = !take;
            }
        }
        expect_same_as_two_passes(damaged, leave, unknown);
        ++compared;
    }
    EXPECT_GT(compared, 0U);
}

TEST(DocumentEdits, LineAwareBoundsAfterEarlierCuts) {
    const std::string text = "a\n  <x/>  <y/>\r<z/>\nb";
    // The element <y/> at [10, 14), once "  <x/>" [2, 8) and "<z/>" [15, 19) are cut.
    const std::vector<edits::Bounds> removed = {{2, 8}, {15, 19}};
    EXPECT_EQ(edits::line_aware_bounds_after(text, removed, 10, 14), (edits::Bounds{2, 20}));
    EXPECT_EQ(edits::line_aware_bounds(text, 10, 14), (edits::Bounds{10, 14}));
    EXPECT_EQ(edits::line_aware_bounds(text, 4, 8), (edits::Bounds{2, 8}));
    const std::vector<edits::Edit> merged = edits::merged_removals(removed, std::vector<edits::Bounds>{{2, 20}});
    EXPECT_EQ(merged, (std::vector<edits::Edit>{{2, 20, {}}}));
    EXPECT_EQ(edits::apply_edits(text, merged), "a\nb");
    EXPECT_THROW((void)edits::merged_removals(removed, std::vector<edits::Bounds>{{5, 12}}), support::ProgrammingError);
}

// Several elements cut at once leave what cutting them one by one from the last to the first leaves:
// two elements alone on one line take the line with them instead of leaving it empty.
TEST(DocumentEdits, LineAwareCutsMatchCuttingFromTheLastToTheFirst) {
    struct Case {
        std::string name;
        std::string text;
        std::vector<std::string> elements;  // each cut once, found in order
        std::string expected;
    };
    const std::vector<Case> cases = {
        {"two on one line", "<r>\n  <a/><b/>\n  <c/>\n</r>", {"<a/>", "<b/>"}, "<r>\n  <c/>\n</r>"},
        {"three on one line, CRLF", "<r>\r\n\t<a/><b/><c/>\r\n</r>", {"<a/>", "<b/>", "<c/>"}, "<r>\r\n</r>"},
        {"a kept one between", "<r>\n  <a/><k/><b/>\n</r>", {"<a/>", "<b/>"}, "<r>\n<k/>\n</r>"},
        {"one per line", "<r>\n  <a/>\n  <b/>\n</r>", {"<a/>", "<b/>"}, "<r>\n</r>"},
        {"after text", "<r>x<a/><b/>\n</r>", {"<a/>", "<b/>"}, "<r>x\n</r>"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<edits::Bounds> elements;
        std::size_t from = 0;
        for (const std::string& element : c.elements) {
            const std::size_t at = c.text.find(element, from);
            ASSERT_NE(at, std::string::npos);
            elements.push_back({at, at + element.size()});
            from = at + element.size();
        }
        std::vector<edits::Edit> at_once;
        for (const auto& cut : edits::line_aware_cuts(c.text, elements)) at_once.push_back({cut.start, cut.end, {}});
        EXPECT_EQ(edits::apply_edits(c.text, at_once), c.expected);
        std::string one_by_one = c.text;
        for (auto element = elements.rbegin(); element != elements.rend(); ++element) {
            const auto cut = edits::line_aware_bounds(one_by_one, element->start, element->end);
            one_by_one.erase(cut.start, cut.end - cut.start);
        }
        EXPECT_EQ(one_by_one, c.expected);
    }
}

TEST(DocumentEdits, RemovalInPlaceWritesWhatACopyWould) {
    const std::string text = kBom + "0123456789";
    struct Case {
        std::string name;
        std::vector<edits::Edit> removals;
    };
    const std::vector<Case> cases = {
        {"nothing", {}},
        {"the start", {{0, 2, {}}}},
        {"the end", {{8, 10, {}}}},
        {"everything", {{0, 10, {}}}},
        {"several, unordered", {{7, 9, {}}, {1, 3, {}}, {4, 4, {}}}},
        {"touching", {{2, 4, {}}, {4, 6, {}}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::string in_place = text;
        edits::remove_in_place(in_place, kBom.size(), c.removals);
        EXPECT_EQ(in_place, edits::apply_edits(std::string_view(text).substr(kBom.size()), c.removals, kBom));
    }
    std::string refused = text;
    EXPECT_THROW(edits::remove_in_place(refused, kBom.size(), {{1, 5, {}}, {3, 6, {}}}), support::ProgrammingError);
    EXPECT_THROW(edits::remove_in_place(refused, kBom.size(), {{1, 2, "x"}}), support::ProgrammingError);
    EXPECT_THROW(edits::remove_in_place(refused, kBom.size(), {{1, 11, {}}}), support::ProgrammingError);
    // A cut inside a character is refused before anything moves.
    std::string accented = "a\xC3\xA9" "b";
    EXPECT_THROW(edits::remove_in_place(accented, 0, {{0, 2, {}}}), support::ProgrammingError);
    EXPECT_EQ(accented, "a\xC3\xA9" "b");
}

TEST(DocumentEdits, NameSetFindsNamesPerTagAndGrows) {
    std::vector<std::string> names;
    for (int i = 0; i < 1000; ++i) names.push_back("Name" + std::to_string(i));
    edits::NameSet set(4);
    for (const std::string& name : names) EXPECT_TRUE(set.insert(name, 1));
    EXPECT_FALSE(set.insert(names.front(), 1));
    EXPECT_TRUE(set.insert(names.front(), 2));
    EXPECT_EQ(set.size(), 1001U);
    for (const std::string& name : names) EXPECT_TRUE(set.contains(name, 1));
    EXPECT_FALSE(set.contains("Name1000", 1));
    EXPECT_FALSE(set.contains(names.back(), 2));
    EXPECT_TRUE(set.insert(""));
    EXPECT_TRUE(set.contains(""));
}

TEST(SchemaIndexTest, KnowsNamesWhateverTheirAsciiCase) {
    cli::SchemaListing listing;
    const std::string long_field(300, 'F');
    listing.objects = {"Account", "Émoi__c"};
    listing.fields = {{"Account", "Name"}, {"Account", long_field}, {"Émoi__c", "Étage__c"}};
    const app::SchemaIndex index(listing);
    EXPECT_TRUE(index.knows_object("ACCOUNT"));
    EXPECT_TRUE(index.knows_object("Émoi__C"));
    EXPECT_FALSE(index.knows_object("émoi__c"));
    EXPECT_FALSE(index.knows_object("Contact"));
    EXPECT_TRUE(index.knows_field("account", "NAME"));
    EXPECT_TRUE(index.knows_field("Account", std::string(300, 'f')));
    EXPECT_FALSE(index.knows_field("Account", std::string(299, 'f')));
    EXPECT_TRUE(index.knows_field("ÉMOI__c", "Étage__c"));
    EXPECT_FALSE(index.knows_field("Account", "Étage__c"));
    // The object and the field are told apart, not joined into one name.
    EXPECT_FALSE(index.knows_field("AccountN", "ame"));
}

}  // namespace
}  // namespace ambrel::adaptation_tests
