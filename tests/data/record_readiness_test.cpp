// Key readiness between two orgs, the fixable ids of a health report and the version readings of
// record documents.

#include <gtest/gtest.h>

#include "data/bundles/synthesis/tagging_model_names.hpp"
#include "data/bundles/synthesis/versions.hpp"
#include "data/bundles/transfer/health_report.hpp"
#include "data/key_readiness/external_keys_state.hpp"

namespace ambrel::data {
namespace {

using key_readiness::ExternalKeysState;

cli::ExternalKeyListing listing(std::map<std::string, std::set<std::string>> keys) {
    cli::ExternalKeyListing result;
    for (const auto& [object, fields] : keys) result.objects.insert(object);
    result.external_keys = std::move(keys);
    return result;
}

TEST(ExternalKeysState, DecidesByTheFirstObjectThatLacksKeys) {
    struct Case {
        const char* name;
        cli::ExternalKeyListing source;
        cli::ExternalKeyListing target;
        ExternalKeysState expected;
    };
    const std::vector<Case> cases{
        {"no objects on either side", listing({}), listing({}), ExternalKeysState::Present},
        {"own field on both", listing({{"Product2", {"QuillaryExternalId__c"}}}),
         listing({{"Product2", {"QuillaryExternalId__c"}}}), ExternalKeysState::Present},
        {"own field in the source only", listing({{"Product2", {"QuillaryExternalId__c", "Code__c"}}}),
         listing({{"Product2", {"Code__c"}}}), ExternalKeysState::Missing},
        {"a shared name", listing({{"Product2", {"Code__c"}}}), listing({{"Product2", {"Other__c", "Code__c"}}}),
         ExternalKeysState::Present},
        {"different names", listing({{"Product2", {"Code__c"}}}), listing({{"Product2", {"Key__c"}}}),
         ExternalKeysState::Missing},
        {"names differ in case", listing({{"Product2", {"Code__c"}}}), listing({{"Product2", {"code__c"}}}),
         ExternalKeysState::Missing},
        {"object only in one org", listing({{"Product2", {"Code__c"}}}), listing({{"Pricebook2", {"Key__c"}}}),
         ExternalKeysState::Present},
        {"composite-key objects never count", listing({{"ProductSellingModelOption", {"A__c"}}}),
         listing({{"ProductSellingModelOption", {"B__c"}}}), ExternalKeysState::Present},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(key_readiness::external_keys_state(c.source, c.target), c.expected);
    }
}

TEST(HealthReport, FixableIdsOfChosenFindingsByLayer) {
    using bundles::transfer::Finding;
    using bundles::transfer::Layer;
    const auto finding = [](Layer layer, bool fixable, std::optional<std::string> id) {
        Finding result;
        result.layer = layer;
        result.fixable = fixable;
        result.delete_id = std::move(id);
        return result;
    };
    bundles::transfer::HealthReport report;
    report.findings = {finding(Layer::PricebookEntry, true, "01u2"), finding(Layer::Product2, false, std::nullopt),
                       finding(Layer::ProductRelatedComponent, true, "0dS"), finding(Layer::PricebookEntry, true, "01u1"),
                       finding(Layer::PricebookEntry, true, std::nullopt)};
    const std::map<Layer, std::vector<std::string>> expected{{Layer::ProductRelatedComponent, {"0dS"}},
                                                             {Layer::PricebookEntry, {"01u2", "01u1"}}};
    EXPECT_EQ(report.fixable_ids_of({0, 1, 2, 3, 4, 17}), expected);
    EXPECT_TRUE(report.fixable_ids_of({1}).empty());
}

TEST(RecordVersions, ApiVersionGate) {
    struct Case {
        const char* version;
        bool supported;
    };
    const std::vector<Case> cases{{"67.0", true},  {"67", true},    {"120.0", true}, {"+67.0", true},
                                  {"66.0", false}, {"", false},     {"v67.0", false}, {" 67.0", false},
                                  {"-67", false},  {"++67", false}, {"4294967296.0", false}, {"+", false}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.version);
        EXPECT_EQ(bundles::synthesis::api_version_is_supported(c.version), c.supported);
    }
}

TEST(RecordVersions, VersionNamesAreReadBackWithTheFourEntities) {
    const std::string document =
        R"(<model><version name="V1" status="Active"/><version name=""/><version name="A &amp;lt; B"/>)"
        R"(<version name="V1"/><version name="tail)";
    EXPECT_EQ(bundles::synthesis::version_names_in(document),
              (std::set<std::string>{"A &lt; B", "V1", "tail"}));
    EXPECT_TRUE(bundles::synthesis::version_names_in("<version name='V1'/>").empty());
}

TEST(RecordVersions, TaggingModelsStillReadTheSameWay) {
    EXPECT_EQ(bundles::synthesis::tagging_model_names("<model>M&quot;1</model><model></model><model>M2"),
              (std::set<std::string>{"M\"1", "M2"}));
}

}  // namespace
}  // namespace ambrel::data
