#include <chrono>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "cli/gateway.hpp"
#include "dependency/dependency_catalog.hpp"
#include "metadata_types/metadata_type.hpp"
#include "real_sf/real_sf_fixture.hpp"

namespace ambrel {
namespace {

using ::testing::HasSubstr;
using ::testing::Not;

using RealSfDependencyCommandLines = testing::RealSfTest;

// The five query lines and the listing line of dependency discovery are accepted by the real CLI up
// to the unknown org; an unknown flag or a rejected query text would fail first.
TEST_F(RealSfDependencyCommandLines, EveryQueryAndTheListingAreAcceptedUpToTheUnknownOrg) {
    const dependency::DependencyCatalog catalog(*gateway_, std::chrono::seconds(120));
    const std::vector<std::string> queries = {
        "SELECT DurableId, QualifiedApiName FROM EntityDefinition WHERE QualifiedApiName IN ('Invoice__c')",
        "SELECT Id, DeveloperName, TableEnumOrId, NamespacePrefix FROM CustomField WHERE TableEnumOrId IN "
        "('01I000000000001')",
        "SELECT MetadataComponentId, MetadataComponentType, MetadataComponentName, RefMetadataComponentId, "
        "RefMetadataComponentType, RefMetadataComponentName, RefMetadataComponentNamespace FROM "
        "MetadataComponentDependency WHERE MetadataComponentId IN ('01p000000000001')",
        "SELECT Id, DeveloperName, TableEnumOrId, NamespacePrefix FROM CustomField WHERE Id IN ('00N000000000001')",
        "SELECT DurableId, QualifiedApiName FROM EntityDefinition WHERE DurableId IN ('01I000000000001')",
    };
    std::vector<std::string> failures;
    for (const std::string& query : queries) failures.push_back(catalog.query_records("nosuch", query, never_).error().message());
    failures.push_back(
        catalog.list_metadata("nosuch", metadata_types::MetadataType::ApexClass, never_).error().message());
    for (const std::string& failure : failures) {
        SCOPED_TRACE(failure);
        EXPECT_THAT(failure, HasSubstr("NamedOrgNotFoundError"));
        EXPECT_THAT(failure, HasSubstr("nosuch"));
        EXPECT_THAT(failure, Not(HasSubstr("Nonexistent flag")));
    }
}

}  // namespace
}  // namespace ambrel
