#include <atomic>
#include <set>
#include <map>
#include <string>
#include <tuple>
#include <vector>

#include <fmt/format.h>
#include <gtest/gtest.h>

#include "data/key_readiness/external_keys_state.hpp"
#include "data/orchestrator/orchestrator.hpp"
#include "data/preparation/key_decision.hpp"
#include "data/registry.hpp"

namespace ambrel::data::preparation {
namespace {

using progress::ProgressStage;

constexpr std::string_view kSource = "src";
constexpr std::string_view kTarget = "tgt";

schema::FieldSchema field(std::string name, bool external_id = false, bool custom = false) {
    schema::FieldSchema result;
    result.name = std::move(name);
    result.type = "string";
    result.external_id = external_id;
    result.custom = custom;
    return result;
}

schema::ObjectSchema schema_of(std::string_view object, std::vector<schema::FieldSchema> fields) {
    schema::ObjectSchema result;
    result.name = std::string(object);
    result.fields.emplace("Name", field("Name"));
    for (auto& item : fields) result.fields.insert_or_assign(item.name, std::move(item));
    return result;
}

// Cancelled from the given poll on (1-based); never when zero.
class CountingToken final : public domain::CancellationToken {
public:
    explicit CountingToken(int cancel_at = 0) : cancel_at_(cancel_at) {}
    bool is_cancelled() const override {
        const int poll = ++polls_;
        return cancel_at_ > 0 && poll >= cancel_at_;
    }
    int polls() const { return polls_.load(); }

private:
    int cancel_at_;
    mutable std::atomic<int> polls_{0};
};

// Answers from tables and records every call, in order, as one line of text.
class RecordingPorts final : public PreparationPorts {
public:
    std::map<std::string, SchemaMap, std::less<>> schemas;
    std::map<std::pair<std::string, std::string>, std::string> describe_errors;
    std::map<std::pair<std::string, std::string>, std::uint32_t> counts;
    std::map<std::string, std::string> count_errors;
    std::map<std::pair<std::string, std::string>, std::vector<std::string>> ids;
    std::map<std::pair<std::string, std::string>, std::string> id_errors;
    std::map<std::string, std::expected<std::optional<std::string>, cli::CatalogError>> profiles;
    std::map<std::string, std::string> deploy_errors;
    std::map<std::pair<std::string, std::string>, KeyFillResult> fill_results;

    std::vector<std::string> calls;
    std::vector<std::tuple<ProgressStage, std::optional<std::uint32_t>, std::optional<std::uint32_t>, std::string>> events;

    std::expected<std::optional<schema::ObjectSchema>, cli::CatalogError> describe(
        std::string_view org, std::string_view object, const domain::CancellationToken&) override {
        calls.push_back(fmt::format("describe {} {}", org, object));
        if (auto error = describe_errors.find({std::string(org), std::string(object)}); error != describe_errors.end()) {
            return std::unexpected(cli::CatalogError::Message{error->second});
        }
        const auto& org_schemas = schemas[std::string(org)];
        const auto found = org_schemas.find(object);
        if (found == org_schemas.end()) return std::optional<schema::ObjectSchema>{};
        return std::optional<schema::ObjectSchema>{found->second};
    }

    std::expected<std::uint32_t, cli::CatalogError> count_records(std::string_view org, std::string_view object,
                                                                  std::optional<std::string_view> key_field,
                                                                  const domain::CancellationToken&) override {
        calls.push_back(fmt::format("count {} {} {}", org, object, key_field.value_or("-")));
        if (auto error = count_errors.find(std::string(org)); error != count_errors.end()) {
            return std::unexpected(cli::CatalogError::Message{error->second});
        }
        const auto found = counts.find({std::string(org), std::string(object)});
        return found == counts.end() ? 0U : found->second;
    }

    std::expected<std::vector<std::string>, cli::CatalogError> unkeyed_ids(std::string_view org, std::string_view object,
                                                                           std::string_view key_field,
                                                                           const domain::CancellationToken&) override {
        calls.push_back(fmt::format("ids {} {} {}", org, object, key_field));
        const std::pair<std::string, std::string> key{std::string(org), std::string(object)};
        if (auto error = id_errors.find(key); error != id_errors.end()) {
            return std::unexpected(cli::CatalogError::Message{error->second});
        }
        const auto found = ids.find(key);
        return found == ids.end() ? std::vector<std::string>{} : found->second;
    }

    std::expected<std::optional<std::string>, cli::CatalogError> running_user_profile(
        std::string_view org, const domain::CancellationToken&) override {
        calls.push_back(fmt::format("profile {}", org));
        const auto found = profiles.find(std::string(org));
        if (found == profiles.end()) return std::optional<std::string>{"Admin"};
        return found->second;
    }

    std::expected<void, std::string> deploy_fields(std::string_view org, const std::vector<std::string>& objects,
                                                   const std::optional<std::string>& profile,
                                                   const domain::CancellationToken&) override {
        calls.push_back(fmt::format("deploy {} {} {}", org, fmt::join(objects, ","), profile.value_or("-")));
        if (auto error = deploy_errors.find(std::string(org)); error != deploy_errors.end()) {
            return std::unexpected(error->second);
        }
        return {};
    }

    KeyFillResult fill_keys(std::string_view org, std::string_view object, std::string_view key_field,
                            std::span<const std::string> record_ids, const domain::CancellationToken&) override {
        calls.push_back(fmt::format("fill {} {} {} {}", org, object, key_field, record_ids.size()));
        if (auto found = fill_results.find({std::string(org), std::string(object)}); found != fill_results.end()) {
            return found->second;
        }
        if (record_ids.empty()) return KeyFillResult{KeyFillResult::NothingToFill{}};
        return KeyFillResult{KeyFillResult::Filled{static_cast<std::uint32_t>(record_ids.size())}};
    }

    void report_progress(ProgressStage stage, std::optional<std::uint32_t> current, std::optional<std::uint32_t> total,
                         std::string_view detail) override {
        events.emplace_back(stage, current, total, std::string(detail));
    }

    std::vector<std::string> calls_starting(std::string_view prefix) const {
        std::vector<std::string> matching;
        for (const std::string& call : calls) {
            if (call.starts_with(prefix)) matching.push_back(call);
        }
        return matching;
    }
};

// Source: Product2 with the own field, PricebookEntry with two custom external-id fields, a category
// without key, a cost book only here, the composite option. Target: Product2 without the own field,
// the same external-id fields in the other order, the category with the own field, a tax policy only
// there, the composite option.
RecordingPorts mixed_orgs() {
    RecordingPorts ports;
    auto& source = ports.schemas[std::string(kSource)];
    source.emplace("Product2", schema_of("Product2", {field(std::string(kOwnField), true, true)}));
    source.emplace("PricebookEntry", schema_of("PricebookEntry", {field("Ext__c", true, true), field("Alt__c", true, true),
                                                                  field("Std", true, false)}));
    source.emplace("AttributeCategory", schema_of("AttributeCategory", {}));
    source.emplace("CostBook", schema_of("CostBook", {}));
    source.emplace("ProductSellingModelOption", schema_of("ProductSellingModelOption", {}));
    auto& target = ports.schemas[std::string(kTarget)];
    target.emplace("Product2", schema_of("Product2", {field("Ext__c", true, true)}));
    target.emplace("PricebookEntry", schema_of("PricebookEntry", {field("Alt__c", true, true), field("Ext__c", true, true)}));
    target.emplace("AttributeCategory", schema_of("AttributeCategory", {field(std::string(kOwnField), true, true)}));
    target.emplace("TaxPolicy", schema_of("TaxPolicy", {}));
    target.emplace("ProductSellingModelOption", schema_of("ProductSellingModelOption", {}));
    ports.counts = {{{"src", "AttributeCategory"}, 4}, {{"tgt", "Product2"}, 7}, {{"src", "PricebookEntry"}, 2}};
    ports.ids = {{{"src", "AttributeCategory"}, {"a1", "a2", "a3", "a4"}},
                 {{"src", "PricebookEntry"}, {"p1", "p2"}},
                 {{"tgt", "Product2"}, {"t1", "t2", "t3", "t4", "t5", "t6", "t7"}}};
    return ports;
}

const ObjectPreparation& row_of(const OrgPreparationPlan& plan, std::string_view object) {
    for (const ObjectPreparation& row : plan.objects) {
        if (row.object_api_name == object) return row;
    }
    throw std::runtime_error("no such row");
}

const KeyState kAbsent{KeyState::ObjectAbsent{}};
const KeyState kOwn{KeyState::OwnFieldPresent{}};
const KeyState kMissing{KeyState::FieldMissing{}};

TEST(Inspection, DecidesCountsAndReportsInOrder) {
    RecordingPorts ports = mixed_orgs();
    CountingToken token;
    const auto report = orchestrator::inspect(ports, kSource, kTarget, token);
    ASSERT_TRUE(report) << report.error();
    EXPECT_FALSE(report->applied);
    EXPECT_TRUE(report->outcomes.empty());
    const OrgPreparationPlan& plan = report->plan;
    EXPECT_EQ(plan.source_alias, "src");
    EXPECT_EQ(plan.target_alias, "tgt");
    ASSERT_EQ(plan.objects.size(), 33U);
    for (std::size_t index = 0; index < plan.objects.size(); ++index) {
        EXPECT_EQ(plan.objects[index].load_order, index + 1);
    }

    const auto& product = row_of(plan, "Product2");
    EXPECT_EQ(product.source_state, kOwn);
    EXPECT_EQ(product.target_state, kMissing);
    EXPECT_EQ(product.source_unkeyed, 0U);
    EXPECT_EQ(product.target_unkeyed, 7U);
    EXPECT_EQ(product.display_name, "Products");
    const auto& entry = row_of(plan, "PricebookEntry");
    EXPECT_EQ(entry.source_state, (KeyState{KeyState::ForeignFieldAccepted{"Alt__c"}}));
    EXPECT_EQ(entry.target_state, (KeyState{KeyState::ForeignFieldAccepted{"Alt__c"}}));
    const auto& category = row_of(plan, "AttributeCategory");
    EXPECT_EQ(category.source_state, kMissing);
    EXPECT_EQ(category.target_state, kOwn);
    const auto& cost_book = row_of(plan, "CostBook");
    EXPECT_EQ(cost_book.source_state, kMissing);
    EXPECT_EQ(cost_book.target_state, kAbsent);
    EXPECT_EQ(cost_book.source_unkeyed, std::nullopt);
    EXPECT_EQ(key_state_label(cost_book.source_state), "Quillary external ID will be created");
    const auto& tax = row_of(plan, "TaxPolicy");
    EXPECT_EQ(tax.source_state, kAbsent);
    EXPECT_EQ(tax.target_state, kMissing);
    const auto& option = row_of(plan, "ProductSellingModelOption");
    EXPECT_TRUE(std::holds_alternative<KeyState::NotCustomizable>(option.source_state.value));
    EXPECT_EQ(key_state_label(option.target_state),
              "Not customizable \u2014 matched by Product2Id + ProductSellingModelId");
    EXPECT_EQ(option.source_unkeyed, std::nullopt);

    EXPECT_EQ(plan.fields_to_deploy(PreparationSide::Source), (std::vector<std::string>{"AttributeCategory"}));
    EXPECT_EQ(plan.fields_to_deploy(PreparationSide::Target), (std::vector<std::string>{"Product2"}));
    EXPECT_EQ(plan.objects_to_fill(PreparationSide::Source),
              (std::vector<std::string>{"AttributeCategory", "PricebookEntry"}));
    EXPECT_EQ(plan.objects_to_fill(PreparationSide::Target), (std::vector<std::string>{"Product2"}));
    EXPECT_TRUE(plan.has_work());
    EXPECT_EQ(plan.summary(false), "2 external ID field(s) to create, 13 record(s) to key.");
    EXPECT_EQ(plan.summary(true), "2 external ID field(s) created, 13 record(s) keyed.");

    // 33 describes per org in registry order, then two counts per object keyable in both orgs.
    EXPECT_EQ(ports.calls_starting("describe").size(), 66U);
    EXPECT_EQ(ports.calls.front(), "describe src AttributeBasedAdjRule");
    EXPECT_EQ(ports.calls[33], "describe tgt AttributeBasedAdjRule");
    EXPECT_EQ(ports.calls_starting("count"),
              (std::vector<std::string>{"count src AttributeCategory -", "count tgt AttributeCategory QuillaryExternalId__c",
                                        "count src Product2 QuillaryExternalId__c", "count tgt Product2 -",
                                        "count src PricebookEntry Alt__c", "count tgt PricebookEntry Alt__c"}));
    EXPECT_EQ(ports.calls.size(), 72U);
    EXPECT_EQ(token.polls(), 72);

    ASSERT_EQ(ports.events.size(), 72U);
    EXPECT_EQ(ports.events[0], std::make_tuple(ProgressStage::InspectingOrgSchema, std::optional<std::uint32_t>(1),
                                               std::optional<std::uint32_t>(33), std::string("src")));
    EXPECT_EQ(ports.events[65], std::make_tuple(ProgressStage::InspectingOrgSchema, std::optional<std::uint32_t>(33),
                                                std::optional<std::uint32_t>(33), std::string("tgt")));
    EXPECT_EQ(ports.events[66], std::make_tuple(ProgressStage::CountingUnkeyedRecords, std::optional<std::uint32_t>(1),
                                                std::optional<std::uint32_t>(6), std::string("src")));
    EXPECT_EQ(ports.events[71], std::make_tuple(ProgressStage::CountingUnkeyedRecords, std::optional<std::uint32_t>(6),
                                                std::optional<std::uint32_t>(6), std::string("tgt")));
}

TEST(Inspection, FailuresEndItWithTheDisplayText) {
    {
        RecordingPorts ports = mixed_orgs();
        ports.describe_errors[{"tgt", "Product2"}] = "describe failed";
        CountingToken token;
        EXPECT_EQ(orchestrator::inspect(ports, kSource, kTarget, token).error(), "describe failed");
        EXPECT_EQ(ports.calls.back(), "describe tgt Product2");
    }
    {
        RecordingPorts ports = mixed_orgs();
        ports.count_errors["tgt"] = "count failed";
        CountingToken token;
        EXPECT_EQ(orchestrator::inspect(ports, kSource, kTarget, token).error(), "count failed");
        EXPECT_EQ(ports.calls_starting("count").size(), 2U);
    }
}

TEST(Inspection, CancellationAtEveryPollPoint) {
    for (int poll = 1; poll <= 72; ++poll) {
        SCOPED_TRACE(poll);
        RecordingPorts ports = mixed_orgs();
        CountingToken token(poll);
        const auto report = orchestrator::inspect(ports, kSource, kTarget, token);
        ASSERT_FALSE(report);
        EXPECT_EQ(report.error(), "Preparing the orgs was cancelled.");
        EXPECT_EQ(ports.calls.size(), static_cast<std::size_t>(poll - 1));
    }
}

TEST(Inspection, NothingKeyableInBothOrgsRunsNoCount) {
    RecordingPorts ports;
    ports.schemas[std::string(kSource)].emplace("Product2", schema_of("Product2", {}));
    ports.schemas[std::string(kTarget)].emplace("CostBook", schema_of("CostBook", {}));
    CountingToken token;
    const auto report = orchestrator::inspect(ports, kSource, kTarget, token);
    ASSERT_TRUE(report);
    EXPECT_TRUE(ports.calls_starting("count").empty());
    for (const auto& event : ports.events) EXPECT_NE(std::get<0>(event), ProgressStage::CountingUnkeyedRecords);
    EXPECT_FALSE(report->plan.has_work());
    EXPECT_EQ(report->plan.summary(false),
              "Revenue Cloud objects were not found in these orgs. There is nothing to prepare.");
}

TEST(Application, CreatesFieldsThenKeysSourceBeforeTarget) {
    RecordingPorts ports = mixed_orgs();
    CountingToken token;
    const auto report = orchestrator::apply(ports, kSource, kTarget, token);
    ASSERT_TRUE(report) << report.error();
    EXPECT_TRUE(report->applied);
    const std::vector<std::string> after_inspection(ports.calls.begin() + 72, ports.calls.end());
    EXPECT_EQ(after_inspection, (std::vector<std::string>{
                                    "profile src",
                                    "deploy src AttributeCategory Admin",
                                    "ids src AttributeCategory QuillaryExternalId__c",
                                    "fill src AttributeCategory QuillaryExternalId__c 4",
                                    "ids src Product2 QuillaryExternalId__c",
                                    "fill src Product2 QuillaryExternalId__c 0",
                                    "ids src PricebookEntry Alt__c",
                                    "fill src PricebookEntry Alt__c 2",
                                    "profile tgt",
                                    "deploy tgt Product2 Admin",
                                    "ids tgt AttributeCategory QuillaryExternalId__c",
                                    "fill tgt AttributeCategory QuillaryExternalId__c 0",
                                    "ids tgt Product2 QuillaryExternalId__c",
                                    "fill tgt Product2 QuillaryExternalId__c 7",
                                    "ids tgt PricebookEntry Alt__c",
                                    "fill tgt PricebookEntry Alt__c 0",
                                }));
    const PreparationOutcome skipped{PreparationStatus::Skipped, 0, "Every record already carries the external ID."};
    EXPECT_EQ(report->outcomes.size(), 6U);
    EXPECT_EQ(*report->outcome("AttributeCategory", PreparationSide::Source),
              (PreparationOutcome{PreparationStatus::Succeeded, 4, std::nullopt}));
    EXPECT_EQ(*report->outcome("Product2", PreparationSide::Source), skipped);
    EXPECT_EQ(*report->outcome("Product2", PreparationSide::Target),
              (PreparationOutcome{PreparationStatus::Succeeded, 7, std::nullopt}));
    EXPECT_EQ(report->outcome("CostBook", PreparationSide::Source), nullptr);
    EXPECT_EQ(report->outcome("ProductSellingModelOption", PreparationSide::Target), nullptr);
    EXPECT_EQ(report->plan.summary(true), "2 external ID field(s) created, 13 record(s) keyed.");

    const std::vector<std::tuple<ProgressStage, std::optional<std::uint32_t>, std::optional<std::uint32_t>, std::string>>
        tail(ports.events.begin() + 72, ports.events.end());
    ASSERT_EQ(tail.size(), 8U);
    EXPECT_EQ(tail[0], std::make_tuple(ProgressStage::CreatingExternalIdField, std::optional<std::uint32_t>(),
                                       std::optional<std::uint32_t>(), std::string("src")));
    EXPECT_EQ(tail[1], std::make_tuple(ProgressStage::FillingExternalId, std::optional<std::uint32_t>(1),
                                       std::optional<std::uint32_t>(3), std::string("AttributeCategory")));
    EXPECT_EQ(tail[4], std::make_tuple(ProgressStage::CreatingExternalIdField, std::optional<std::uint32_t>(),
                                       std::optional<std::uint32_t>(), std::string("tgt")));
}

TEST(Application, PerObjectFailuresAndProgressNumbering) {
    RecordingPorts ports = mixed_orgs();
    ports.profiles["src"] = std::unexpected(cli::CatalogError::Message{"lookup failed"});
    ports.deploy_errors["tgt"] = "deploy failed";
    ports.id_errors[{"src", "PricebookEntry"}] = "ids failed";
    ports.fill_results[{"tgt", "PricebookEntry"}] = KeyFillResult{KeyFillResult::Failed{"fill failed"}};
    CountingToken token;
    const auto report = orchestrator::apply(ports, kSource, kTarget, token);
    ASSERT_TRUE(report) << report.error();
    const auto failed = [](std::string message) {
        return PreparationOutcome{PreparationStatus::Failed, 0, std::move(message)};
    };
    EXPECT_EQ(*report->outcome("AttributeCategory", PreparationSide::Source), failed("lookup failed"));
    EXPECT_EQ(*report->outcome("PricebookEntry", PreparationSide::Source), failed("ids failed"));
    EXPECT_EQ(*report->outcome("Product2", PreparationSide::Target), failed("deploy failed"));
    EXPECT_EQ(*report->outcome("PricebookEntry", PreparationSide::Target), failed("fill failed"));
    EXPECT_TRUE(ports.calls_starting("deploy src").empty());
    EXPECT_TRUE(ports.calls_starting("ids src AttributeCategory").empty());
    EXPECT_TRUE(ports.calls_starting("ids tgt Product2").empty());

    std::vector<std::pair<std::string, std::uint32_t>> fills;
    for (const auto& [stage, current, total, detail] : ports.events) {
        if (stage == ProgressStage::FillingExternalId) fills.emplace_back(detail, *current);
    }
    EXPECT_EQ(fills, (std::vector<std::pair<std::string, std::uint32_t>>{
                         {"Product2", 2}, {"PricebookEntry", 3}, {"AttributeCategory", 1}, {"PricebookEntry", 3}}));
}

TEST(Application, NoProfileIsPassedOnAsNone) {
    RecordingPorts ports = mixed_orgs();
    ports.profiles["src"] = std::optional<std::string>{};
    CountingToken token;
    ASSERT_TRUE(orchestrator::apply(ports, kSource, kTarget, token));
    EXPECT_EQ(ports.calls_starting("deploy src"), (std::vector<std::string>{"deploy src AttributeCategory -"}));
}

TEST(Application, CancellationAtEveryPollPointAndFromTheKeyFill) {
    RecordingPorts full = mixed_orgs();
    CountingToken counting;
    ASSERT_TRUE(orchestrator::apply(full, kSource, kTarget, counting));
    // 72 polls of the inspection, then per side: one before the field step, one after it, one per object.
    EXPECT_EQ(counting.polls(), 72 + 2 * (2 + 3));
    for (int poll = 1; poll <= counting.polls(); ++poll) {
        SCOPED_TRACE(poll);
        RecordingPorts ports = mixed_orgs();
        CountingToken token(poll);
        const auto report = orchestrator::apply(ports, kSource, kTarget, token);
        ASSERT_FALSE(report);
        EXPECT_EQ(report.error(), "Preparing the orgs was cancelled.");
    }
    RecordingPorts ports = mixed_orgs();
    ports.fill_results[{"tgt", "Product2"}] = KeyFillResult{KeyFillResult::Cancelled{"stopped"}};
    CountingToken token;
    const auto report = orchestrator::apply(ports, kSource, kTarget, token);
    ASSERT_FALSE(report);
    EXPECT_EQ(report.error(), orchestrator::cancelled());
    EXPECT_EQ(ports.calls.back(), "fill tgt Product2 QuillaryExternalId__c 7");
}

TEST(Application, InspectionFailureChangesNothing) {
    RecordingPorts ports = mixed_orgs();
    ports.count_errors["src"] = "count failed";
    CountingToken token;
    EXPECT_EQ(orchestrator::apply(ports, kSource, kTarget, token).error(), "count failed");
    EXPECT_TRUE(ports.calls_starting("deploy").empty());
    EXPECT_TRUE(ports.calls_starting("fill").empty());
}

OrgPreparationPlan plan_with(std::vector<ObjectPreparation> rows) {
    return OrgPreparationPlan{"s", "t", std::move(rows)};
}

TEST(PlanSummary, Forms) {
    const auto rows_of = [](KeyState source, KeyState target, std::optional<std::uint32_t> source_count,
                            std::optional<std::uint32_t> target_count) {
        std::vector<ObjectPreparation> rows;
        for (const registry::DataObjectDescriptor* row : registry::data_objects_in_load_order()) {
            rows.push_back(ObjectPreparation{source, source_count, target, target_count, row->api_name,
                                             row->plural_label, row->load_order});
        }
        return rows;
    };
    EXPECT_EQ(plan_with(rows_of(kOwn, kOwn, 0, 0)).summary(false), "Both orgs are already prepared. Nothing to change.");
    EXPECT_EQ(plan_with(rows_of(kAbsent, kOwn, std::nullopt, std::nullopt)).summary(true),
              "Revenue Cloud objects were not found in these orgs. There is nothing to prepare.");
    // 66 counts of 2^32 - 1 would wrap a 32-bit sum.
    const OrgPreparationPlan large = plan_with(rows_of(kOwn, kOwn, UINT32_MAX, UINT32_MAX));
    EXPECT_EQ(large.summary(false), "0 external ID field(s) to create, 283467841470 record(s) to key.");
    auto mixed = rows_of(kOwn, kOwn, 0, 0);
    mixed[0].target_state = kMissing;
    mixed[1].source_state = kMissing;
    mixed[1].target_state = kMissing;
    mixed[2].source_state = kMissing;
    mixed[2].target_state = kAbsent;
    const OrgPreparationPlan plan = plan_with(mixed);
    EXPECT_EQ(plan.fields_to_deploy(PreparationSide::Source).size(), 1U);
    EXPECT_EQ(plan.fields_to_deploy(PreparationSide::Target).size(), 2U);
    EXPECT_EQ(plan.summary(false), "3 external ID field(s) to create, 0 record(s) to key.");
}

TEST(KeyStateLabel, Texts) {
    const std::pair<KeyState, std::string_view> cases[] = {
        {kAbsent, "Not present in this org"},
        {kOwn, "Quillary external ID is already in place"},
        {KeyState{KeyState::ForeignFieldAccepted{"Ext__c"}}, "Existing external ID Ext__c will be used"},
        {kMissing, "Quillary external ID will be created"},
    };
    for (const auto& [state, label] : cases) {
        SCOPED_TRACE(label);
        EXPECT_EQ(key_state_label(state), label);
    }
}

TEST(KeyDecision, CandidatesAndOwnFieldRules) {
    const auto own_like = schema_of("Product2", {field("quillaryexternalid__c", true, true), field("Std", true, false)});
    EXPECT_EQ(foreign_external_id_candidates(own_like), (std::vector<std::string>{"quillaryexternalid__c"}));
    const registry::DataObjectDescriptor& product = registry::DATA_OBJECTS[*registry::data_object_index("Product2")];
    const auto source = schema_of("Product2", {field(std::string(kOwnField), true, true), field("Ext__c", true, true)});
    const auto target = schema_of("Product2", {field("Ext__c", true, true)});
    EXPECT_EQ(decide_one(product, &source, &target), (ObjectKeyDecision{"Product2", kOwn, kMissing}));
    const auto lower = schema_of("Product2", {field("ext__c", true, true)});
    EXPECT_EQ(decide_one(product, &target, &lower), (ObjectKeyDecision{"Product2", kMissing, kMissing}));
    EXPECT_EQ(decide_one(product, nullptr, nullptr), (ObjectKeyDecision{"Product2", kAbsent, kAbsent}));
}

TEST(KeyFieldForTransfer, Choices) {
    const auto own = schema_of("Product2", {field(std::string(kOwnField), true, true)});
    const auto shared = schema_of("Product2", {field("B__c", true, true), field("A__c", true, true)});
    const auto shared_target = schema_of("Product2", {field("A__c", true, true), field("B__c", true, true)});
    const auto standard = schema_of("Product2", {field("Std", true, false)});
    EXPECT_EQ(key_field_for_transfer(shared, own), (TransferKeyField{std::string(kOwnField), true}));
    EXPECT_EQ(key_field_for_transfer(shared, shared_target), (TransferKeyField{"A__c", false}));
    EXPECT_EQ(key_field_for_transfer(standard, standard), std::nullopt);
    const auto option = schema_of("ProductSellingModelOption", {field(std::string(kOwnField), true, true)});
    EXPECT_EQ(key_field_for_transfer(option, option), std::nullopt);
}

}  // namespace
}  // namespace ambrel::data::preparation

namespace ambrel::data::key_readiness {
namespace {

cli::ExternalKeyListing listing(std::map<std::string, std::set<std::string>> keys) {
    cli::ExternalKeyListing result;
    for (const auto& [object, fields] : keys) result.objects.insert(object);
    result.external_keys = std::move(keys);
    return result;
}

TEST(ExternalKeysState, Readiness) {
    const std::string own(preparation::kOwnField);
    struct Case {
        std::string name;
        cli::ExternalKeyListing source;
        cli::ExternalKeyListing target;
        ExternalKeysState state;
    };
    const std::vector<Case> cases = {
        {"no objects", listing({}), listing({}), ExternalKeysState::Present},
        {"own field in both", listing({{"Product2", {own}}}), listing({{"product2", {own}}}), ExternalKeysState::Present},
        {"own field in the source only", listing({{"Product2", {own}}, {"CostBook", {own}}}),
         listing({{"Product2", {}}, {"CostBook", {own}}}), ExternalKeysState::Missing},
        {"different foreign fields", listing({{"Product2", {"A__c"}}}), listing({{"Product2", {"B__c"}}}),
         ExternalKeysState::Missing},
        {"shared foreign field", listing({{"Product2", {"A__c", "Std"}}}), listing({{"Product2", {"Std"}}}),
         ExternalKeysState::Present},
        {"letter case differs", listing({{"Product2", {"A__c"}}}), listing({{"Product2", {"a__c"}}}),
         ExternalKeysState::Missing},
        {"object in one org only", listing({{"Product2", {}}}), listing({{"CostBook", {own}}}), ExternalKeysState::Present},
        {"composite-key object ignored", listing({{"ProductSellingModelOption", {}}}),
         listing({{"ProductSellingModelOption", {}}}), ExternalKeysState::Present},
    };
    for (const Case& test : cases) {
        SCOPED_TRACE(test.name);
        EXPECT_EQ(external_keys_state(test.source, test.target), test.state);
    }
}

}  // namespace
}  // namespace ambrel::data::key_readiness
