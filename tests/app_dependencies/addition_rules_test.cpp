// The rules every addition shares: known keys, member names, objects with their definitions.

#include <algorithm>
#include <string>
#include <string_view>

#include <gtest/gtest.h>

#include "additions_under_test.hpp"
#include "app/dependency_additions/addition_rules.hpp"
#include "app/dependency_additions/custom_field_additions.hpp"

namespace ambrel::app::testing {
namespace {

TEST(KeyCollector, AKeyIsKnownOnlyUnderTheSameTypeAndTheSameBytes) {
    // Two generic types: the index is part of the type.
    const MetadataType first_generic = type_of("GlobalValueSet");
    const MetadataType second_generic = type_of("PermissionSet");
    const CompareSelection selection =
        selection_of({key(first_generic, "Utils"), key(MetadataType::CustomField, "Invoice__c")});
    KeyCollector keys(selection);
    keys.add(first_generic, "Utils");
    keys.add(first_generic, "utils");
    keys.add(second_generic, "Utils");
    keys.add(MetadataType::CustomObject, "Invoice__c");
    keys.add(MetadataType::CustomField, "Invoice__c");
    keys.add(MetadataType::CustomField, "Invoice__c ");
    keys.add(first_generic, "utils");
    Keys expected{key(first_generic, "utils"), key(second_generic, "Utils"),
                  key(MetadataType::CustomField, "Invoice__c "),
                  key(MetadataType::CustomObject, "Invoice__c")};
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(std::move(keys).take(), expected);
}

TEST(KeyCollector, ObjectsComeWithTheirDefinition) {
    const std::pair<std::string_view, Keys> cases[] = {
        {"Invoice__c", {key(MetadataType::CustomField, "Invoice__c"), key(MetadataType::CustomObject, "Invoice__c")}},
        {"Rate__mdt",
         {key(MetadataType::CustomField, "Rate__mdt"), key(MetadataType::CustomMetadataType, "Rate__mdt")}},
        {"Alert__e", {key(MetadataType::CustomField, "Alert__e"), key(MetadataType::PlatformEvent, "Alert__e")}},
        {"Account", {key(MetadataType::CustomField, "Account")}},
        {"ns__Invoice__c", {key(MetadataType::CustomField, "ns__Invoice__c")}},
        {"Invoice__C", {key(MetadataType::CustomField, "Invoice__C")}},
    };
    for (const auto& [object, expected] : cases) {
        SCOPED_TRACE(object);
        const CompareSelection empty;
        KeyCollector keys(empty);
        keys.add_object_with_definition(object);
        EXPECT_EQ(std::move(keys).take(), expected);
    }
}

TEST(IsMemberName, AnAsciiLetterThenLettersDigitsOrUnderscores) {
    const std::pair<std::string_view, bool> cases[] = {
        {"Invoice__c", true}, {"A", true},        {"a1_", true},       {"", false},
        {"1A", false},        {"_A", false},      {"A-B", false},      {"A B", false},
        {"A.B", false},       {"A/B", false},     {"A\n", false},      {"\nA", false},
        {"A'", false},        {"\xC3\x84pfel", false}, {std::string_view("A\0B", 3), false},
    };
    for (const auto& [name, valid] : cases) {
        SCOPED_TRACE(name);
        EXPECT_EQ(is_member_name(name), valid);
    }
    EXPECT_TRUE(is_member_name(std::string(100000, 'A')));
}

TEST(AdditionWarnings, FollowDocumentOrderBeforeNameOrder) {
    const auto field = [](std::string name, std::string_view value_set) {
        return component(MetadataType::CustomField, std::move(name),
                         document("CustomField", fmt::format("<valueSet><valueSetName>{}</valueSetName></valueSet>",
                                                             value_set)));
    };
    const std::vector<MetadataComponent> documents{field("Zed.F__c", "Zed-1"), field("Abc.F__c", "Abc-1")};
    dependency::WarningList warnings{"an earlier warning"};
    EXPECT_TRUE(global_value_set_additions(documents, {}, warnings).empty());
    EXPECT_EQ(warnings,
              (dependency::WarningList{
                  "an earlier warning",
                  "Global value set name 'Zed-1' referenced by 'Zed.F__c' is not a valid member name; it was not "
                  "followed.",
                  "Global value set name 'Abc-1' referenced by 'Abc.F__c' is not a valid member name; it was not "
                  "followed."}));
}

}  // namespace
}  // namespace ambrel::app::testing
