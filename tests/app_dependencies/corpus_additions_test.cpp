// The additions over real documents of the public SFDX projects in the corpus.

#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include <gtest/gtest.h>

#include "additions_under_test.hpp"
#include "app/dependency_additions/custom_field_additions.hpp"
#include "app/dependency_additions/layout_additions.hpp"
#include "app/dependency_additions/object_additions.hpp"
#include "support/test_paths.hpp"

namespace ambrel::app::testing {
namespace {

using dependency::WarningList;
namespace fs = std::filesystem;

fs::path project_default(std::string_view project) {
    return ambrel::testing::corpus_dir() / project / "force-app" / "main" / "default";
}

// The document at `relative` below the project's default folder as a component named `name`;
// a missing file fails the test (skipped outside CI).
std::optional<MetadataComponent> read_component(MetadataType type, std::string name, std::string_view project,
                                                const fs::path& relative) {
    const fs::path path = project_default(project) / relative;
    if (!fs::is_regular_file(path)) return std::nullopt;
    MetadataComponent result = component(type, std::move(name), ambrel::testing::read_file(path));
    result.source_path = path;
    return result;
}

ComponentKey field_key(std::string_view object) { return key(MetadataType::CustomField, std::string(object)); }
ComponentKey object_key(std::string_view object) { return key(MetadataType::CustomObject, std::string(object)); }

class CorpusAdditions : public ::testing::Test {
protected:
    void SetUp() override {
        const auto field = [&](std::string_view project, std::string object, std::string name) {
            return read_component(MetadataType::CustomField, object + "." + name, project,
                                  fs::path("objects") / object / "fields" / (name + ".field-meta.xml"));
        };
        const std::optional<MetadataComponent> found[] = {
            field("ebikes-lwc", "Order_Item__c", "Order__c"),
            field("ebikes-lwc", "Case", "Product__c"),
            field("ebikes-lwc", "Order__c", "Account__c"),
            field("dreamhouse-lwc", "Property__c", "Broker__c"),
        };
        for (const auto& document : found) {
            if (!document) AMBREL_SKIP_UNLESS_CI("the metadata corpus is not in tests/corpus");
            fields_.push_back(*document);
        }
        const auto order_layout = read_component(MetadataType::Layout, "Order__c-Order Layout", "ebikes-lwc",
                                                 "layouts/Order__c-Order Layout.layout-meta.xml");
        const auto property_layout = read_component(MetadataType::Layout, "Property__c-Property Layout",
                                                    "dreamhouse-lwc",
                                                    "layouts/Property__c-Property Layout.layout-meta.xml");
        if (!order_layout || !property_layout) AMBREL_SKIP_UNLESS_CI("the metadata corpus is not in tests/corpus");
        layouts_ = {*order_layout, *property_layout};
    }

    std::vector<MetadataComponent> fields_;
    std::vector<MetadataComponent> layouts_;
};

TEST_F(CorpusAdditions, LookupsFollowCustomObjectsButNotAccount) {
    WarningList warnings;
    EXPECT_EQ(lookup_field_additions(fields_, {}, warnings),
              (Keys{field_key("Broker__c"), field_key("Order__c"), field_key("Product__c"), object_key("Broker__c"),
                    object_key("Order__c"), object_key("Product__c")}));
    EXPECT_EQ(lookup_field_additions(fields_, selection_of({field_key("Order__c"), object_key("Order__c"),
                                                            object_key("Broker__c")}),
                                     warnings),
              (Keys{field_key("Broker__c"), field_key("Product__c"), object_key("Product__c")}));
    EXPECT_TRUE(warnings.empty()) << warnings.front();
}

TEST_F(CorpusAdditions, LookupFieldsAreNoRollupsAndUseNoGlobalValueSet) {
    WarningList warnings;
    EXPECT_TRUE(rollup_field_additions(fields_, {}, warnings).empty());
    EXPECT_TRUE(global_value_set_additions(fields_, {}, warnings).empty());
    EXPECT_TRUE(warnings.empty()) << warnings.front();
}

TEST_F(CorpusAdditions, LayoutsSelectTheirObjectsAndTheRelatedListChild) {
    EXPECT_EQ(layout_field_additions(layouts_, {}),
              (Keys{field_key("Order_Item__c"), field_key("Order__c"), field_key("Property__c"),
                    object_key("Order_Item__c"), object_key("Order__c"), object_key("Property__c")}));
    EXPECT_EQ(layout_field_additions(layouts_, selection_of({field_key("Order__c"), object_key("Order__c"),
                                                             field_key("Property__c")})),
              (Keys{field_key("Order_Item__c"), object_key("Order_Item__c"), object_key("Property__c")}));
}

TEST_F(CorpusAdditions, PlatformEventFieldsRequiredByTheCatalogueSelectTheEvent) {
    const fs::path fields_folder = project_default("ebikes-lwc") / "objects" / "Manufacturing_Event__e" / "fields";
    if (!fs::is_directory(fields_folder)) AMBREL_SKIP_UNLESS_CI("the metadata corpus is not in tests/corpus");
    dependency::DependencyGraph graph;
    auto& required = graph.edges[key("ApexClass", "OrderController")];
    for (const auto& entry : fs::directory_iterator(fields_folder)) {
        const std::string file = entry.path().filename().string();
        required.insert(field_key("Manufacturing_Event__e." + file.substr(0, file.find('.'))));
    }
    ASSERT_GE(required.size(), 2u);
    EXPECT_EQ(dependency_additions(graph, {}),
              (Keys{field_key("Manufacturing_Event__e"), key(MetadataType::PlatformEvent, "Manufacturing_Event__e")}));
    EXPECT_EQ(dependency_additions(graph, selection_of({key(MetadataType::PlatformEvent, "Manufacturing_Event__e")})),
              (Keys{field_key("Manufacturing_Event__e")}));
}

}  // namespace
}  // namespace ambrel::app::testing
