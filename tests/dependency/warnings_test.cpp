#include <gtest/gtest.h>

#include <string>

#include "dependency/warnings.hpp"

namespace ambrel::dependency {
namespace {

WarningList filled(std::size_t count) {
    WarningList list;
    for (std::size_t i = 0; i < count; ++i) push_warning(list, "warning " + std::to_string(i));
    return list;
}

TEST(PushWarning, KeepsOneEntryPerText) {
    WarningList list;
    push_warning(list, "a");
    push_warning(list, "b");
    push_warning(list, "a");
    EXPECT_EQ(list, (WarningList{"a", "b"}));
}

TEST(PushWarning, FiftiethIsAppendedThenTheCounterReplacesIt) {
    WarningList list = filled(49);
    push_warning(list, "fiftieth");
    ASSERT_EQ(list.size(), 50u);
    EXPECT_EQ(list.back(), "fiftieth");

    push_warning(list, "fifty-first");
    ASSERT_EQ(list.size(), 50u);
    EXPECT_EQ(list.back(), "2 more dependency warnings were not shown.");
    EXPECT_EQ(list[48], "warning 48");

    push_warning(list, "fifty-second");
    EXPECT_EQ(list.back(), "3 more dependency warnings were not shown.");
}

TEST(PushWarning, RepeatsOfShownWarningsAreNotCountedButTheReplacedOneIs) {
    WarningList list = filled(50);
    push_warning(list, "new");
    push_warning(list, "warning 3");
    EXPECT_EQ(list.back(), "2 more dependency warnings were not shown.");
    push_warning(list, "warning 49");  // the replaced 50th warning
    EXPECT_EQ(list.back(), "3 more dependency warnings were not shown.");
    push_warning(list, "3 more dependency warnings were not shown.");
    EXPECT_EQ(list.back(), "3 more dependency warnings were not shown.");
}

TEST(PushWarning, CounterNumberRules) {
    struct Case {
        std::string last_entry;
        std::string counter;
    };
    const std::vector<Case> cases = {
        {"Item 4 more dependency warnings were not shown.", "2"},
        {"+7 more dependency warnings were not shown.", "8"},
        {"+ more dependency warnings were not shown.", "2"},
        {" more dependency warnings were not shown.", "2"},
        {"-3 more dependency warnings were not shown.", "2"},
        {"41 more dependency warnings were not shown", "2"},
        {"18446744073709551615 more dependency warnings were not shown.", "18446744073709551615"},
        {"18446744073709551616 more dependency warnings were not shown.", "2"},
    };
    for (const Case& c : cases) {
        WarningList list = filled(49);
        list.push_back(c.last_entry);
        push_warning(list, "overflow");
        EXPECT_EQ(list.back(), c.counter + " more dependency warnings were not shown.") << c.last_entry;
        EXPECT_EQ(list.size(), 50u);
    }
}

TEST(ObjectDefinitionType, BySuffixUnlessPackaged) {
    using metadata_types::MetadataType;
    struct Case {
        std::string_view name;
        std::optional<MetadataType> type;
    };
    const std::vector<Case> cases = {
        {"Invoice__c", MetadataType::CustomObject},
        {"Setting__mdt", MetadataType::CustomMetadataType},
        {"Order_Event__e", MetadataType::PlatformEvent},
        {"ns__Invoice__c", std::nullopt},
        {"ns__Setting__mdt", std::nullopt},
        {"Account", std::nullopt},
        {"Invoice__C", std::nullopt},
        {"Big__b", std::nullopt},
        {"__c", MetadataType::CustomObject},
        {"__mdt", MetadataType::CustomMetadataType},
        {"_c", std::nullopt},
        {"", std::nullopt},
    };
    for (const Case& c : cases) EXPECT_EQ(object_definition_type(c.name), c.type) << c.name;
}

}  // namespace
}  // namespace ambrel::dependency
