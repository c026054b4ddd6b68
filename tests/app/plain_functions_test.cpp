#include <gtest/gtest.h>

#include "data/bundles/synthesis/tagging_model_names.hpp"
#include "metadata/profile_reference_filter/custom_flag.hpp"
#include "metadata/user_permission_filter/user_permission_catalog.hpp"

namespace ambrel {
namespace {

using data::bundles::synthesis::tagging_model_names;
using metadata::profile_reference_filter::profile_custom_flag;

TEST(TaggingModelNames, ReadsEveryModelElement) {
    struct Case {
        const char* label;
        std::string text;
        std::set<std::string> names;
    };
    const Case cases[] = {
        {"none", "<ProductBundle/>", {}},
        {"two and a repeat", "<m><model>B</model><model>A</model><model>B</model></m>", {"A", "B"}},
        {"escaped ampersand", "<model>R&amp;D</model>", {"R&D"}},
        {"decoded once", "<model>&amp;lt;</model>", {"&lt;"}},
        {"all four", "<model>&quot;&lt;&gt;&amp;&apos;</model>", {"\"<>&&apos;"}},
        {"unclosed at the end", "<model>Tail", {"Tail"}},
        {"next start ends it", "<model>A<model>B</model>", {"A", "B"}},
        {"empty skipped", "<model></model><model>X</model>", {"X"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        EXPECT_EQ(tagging_model_names(c.text), c.names);
    }
}

std::string profile(std::string_view inner, std::string_view ns = "http://soap.sforce.com/2006/04/metadata") {
    return "<?xml version=\"1.0\"?>\n<Profile xmlns=\"" + std::string(ns) + "\">" + std::string(inner) + "</Profile>";
}

TEST(ProfileCustomFlag, ReadsTheLastRecognisedFlag) {
    struct Case {
        const char* label;
        std::string text;
        std::optional<bool> flag;
    };
    const Case cases[] = {
        {"true", profile("<custom>true</custom>"), true},
        {"mixed case with blanks", profile("<custom>\n TrUe \t</custom>"), true},
        {"false", profile("<custom>FALSE</custom>"), false},
        {"other word", profile("<custom>yes</custom>"), std::nullopt},
        {"absent", profile("<userLicense>x</userLicense>"), std::nullopt},
        {"last wins", profile("<custom>true</custom><custom>false</custom>"), false},
        {"unknown word keeps earlier", profile("<custom>true</custom><custom>maybe</custom>"), true},
        {"nested is not the flag", profile("<x><custom>true</custom></x>"), std::nullopt},
        {"other namespace", profile("<custom>true</custom>", "urn:other"), std::nullopt},
        {"leading marks", "\xEF\xBB\xBF\xEF\xBB\xBF" + profile("<custom>true</custom>"), true},
        {"cut off after the flag", "<Profile xmlns=\"http://soap.sforce.com/2006/04/metadata\"><custom>true</custom>", true},
        {"cdata", profile("<custom><![CDATA[true]]></custom>"), true},
        {"character reference", profile("<custom>&#116;rue</custom>"), true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        auto flag = profile_custom_flag(c.text);
        ASSERT_TRUE(flag.has_value()) << flag.error();
        EXPECT_EQ(*flag, c.flag);
    }
}

TEST(ProfileCustomFlag, FailuresAreTexts) {
    auto unknown = profile_custom_flag(profile("<custom>&nbsp;true</custom>"));
    ASSERT_FALSE(unknown.has_value());
    EXPECT_EQ(unknown.error(), "unknown entity: nbsp");
    EXPECT_FALSE(profile_custom_flag("<Profile><custom>true</other></Profile>").has_value());
}

TEST(UserPermissionCatalog, KnowsNamesWithThePrefixExactly) {
    metadata::user_permission_filter::UserPermissionCatalog catalog;
    catalog.names = {"PermissionsApiEnabled"};
    EXPECT_TRUE(catalog.knows("ApiEnabled"));
    EXPECT_FALSE(catalog.knows("apienabled"));
    EXPECT_FALSE(catalog.knows("PermissionsApiEnabled"));
}

}  // namespace
}  // namespace ambrel
