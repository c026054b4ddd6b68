// Recognising packaged and standard components by name.

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "domain/difference.hpp"
#include "metadata/namespace_policy.hpp"
#include "re2/re2.h"

namespace ambrel::metadata {
namespace {

using domain::MetadataDeployScope;

TEST(PackagedFieldPattern, MatchesNamespacedCustomNamesOnly) {
    struct Case {
        std::string_view name;
        bool packaged;
    };
    const Case cases[] = {
        {"ns__Field__c", true},
        {"ns__Type__mdt", true},
        {"ns__Event__e", true},
        {"ns_2__Field__c", true},
        {"ns__Two__Parts__c", true},  // an extra "__" group after the prefix still matches
        {"ns__x__c", true},
        {"Field__c", false},
        {"ns__Field", false},
        {"ns__Field__b", false},
        {"ns____c", false},  // nothing between the prefix and the suffix
        {"1ns__Field__c", false},
        {"_ns__Field__c", false},
        {"ns__Field__c ", false},
        {"ns__Field__cc", false},
        {"ns__Fi\neld__c", false},
        {"", false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(PACKAGED_FIELD_PATTERN.matches(c.name), c.packaged) << c.name;
        EXPECT_EQ(NamespacePolicy::is_packaged_field(c.name), c.packaged) << c.name;
    }
    EXPECT_TRUE(PACKAGED_FIELD_PATTERN.regex().ok());
    EXPECT_EQ(PACKAGED_FIELD_PATTERN.regex().pattern(), std::string(PackagedFieldPattern::kText));
}

TEST(PackagedFieldPattern, ConcurrentFirstUsesShareOneExpression) {
    std::vector<const re2::RE2*> seen(8, nullptr);
    std::vector<std::thread> threads;
    for (std::size_t i = 0; i < seen.size(); ++i) {
        threads.emplace_back([&seen, i] { seen[i] = &PACKAGED_FIELD_PATTERN.regex(); });
    }
    for (auto& thread : threads) thread.join();
    for (const auto* regex : seen) EXPECT_EQ(regex, seen.front());
}

TEST(FieldDeployScope, UnpackagedCustomFieldsDeployFully) {
    struct Case {
        std::string_view name;
        MetadataDeployScope scope;
    };
    const Case cases[] = {
        {"Rating__c", MetadataDeployScope::Full},
        {"Setting__mdt", MetadataDeployScope::Full},
        {"Detail__e", MetadataDeployScope::Full},
        {"a__c", MetadataDeployScope::Full},
        {"Industry", MetadataDeployScope::TrackingOnly},
        {"Name", MetadataDeployScope::TrackingOnly},
        {"ns__Rating__c", MetadataDeployScope::TrackingOnly},
        {"Rating__b", MetadataDeployScope::TrackingOnly},
        {"Id", MetadataDeployScope::TrackingOnly},
        {"ab", MetadataDeployScope::TrackingOnly},
        {"", MetadataDeployScope::TrackingOnly},
        {"__c", MetadataDeployScope::Full},
        {"__e", MetadataDeployScope::Full},
    };
    for (const auto& c : cases) EXPECT_EQ(NamespacePolicy::field_deploy_scope(c.name), c.scope) << c.name;
}

TEST(StandardTabs, StandardPrefixThenAnIdentifier) {
    struct Case {
        std::string_view name;
        bool standard;
    };
    const Case cases[] = {
        {"standard-Account", true},
        {"standard-A", true},
        {"standard-Work_Order2", true},
        {"standard-", false},
        {"standard-1Account", false},
        {"standard-_Account", false},
        {"standard-Account-Team", false},
        {"standard-Acc ount", false},
        {"Standard-Account", false},
        {"standardAccount", false},
        {"Invoice__c", false},
        {"", false},
    };
    for (const auto& c : cases) EXPECT_EQ(NamespacePolicy::is_standard_tab_name(c.name), c.standard) << c.name;
}

TEST(PackagedComponents, CodeComponentsContainADoubleUnderscore) {
    EXPECT_TRUE(NamespacePolicy::is_packaged_code_component("ns__Helper"));
    EXPECT_TRUE(NamespacePolicy::is_packaged_code_component("__"));
    EXPECT_FALSE(NamespacePolicy::is_packaged_code_component("Helper_Class"));
    EXPECT_FALSE(NamespacePolicy::is_packaged_code_component(""));
}

TEST(PackagedComponents, GenericComponentsByPart) {
    struct Case {
        std::string_view name;
        bool generic;
        bool object_child;
    };
    const Case cases[] = {
        {"Invoice__c", false, false},
        {"Archive__x", false, false},
        {"Plain", false, false},
        {"", false, false},
        {"ns__Log__b", true, true},
        {"ns__Invoice__c", true, true},
        {"Account.ns__Rule", true, true},          // a namespaced child of a standard object
        {"ns__Invoice__c.Rule", true, false},      // the child part alone is not packaged
        {"Invoice__c.Layout", false, false},
        {"Account.Invoice__c.Rule", false, false},
        {"Case.ns__Rule__c", true, true},
        {"Setting__mdt.Default", false, false},
        {"ns__Setting__mdt.Default", true, false},
        {"Record__c__c", true, true},              // only one suffix is removed
        {"a.b.ns__X__c.d", true, true},
        {"a.b.ns__c.d", false, false},       // "ns__c" is an unpackaged custom name
        {"__c", false, false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(NamespacePolicy::is_packaged_generic_component(c.name), c.generic) << c.name;
        EXPECT_EQ(NamespacePolicy::is_packaged_object_child(c.name), c.object_child) << c.name;
    }
}

}  // namespace
}  // namespace ambrel::metadata
