// The target health check over 200 product bundle documents that share their child products (about
// 20,000 planned records: 200 bundles, 2,000 shared products, 15,000 related components, 400 groups,
// 200 selling model options, 2,200 price book entries), both orgs answered by an in-memory channel
// whose answers are built before timing. The target holds every record but one component in twenty
// (created) and one in ten with another quantity (updated). The reference is parse_bundle_document of
// the same 200 documents. Target: plan_health costs no more than 3x the reference. transfer_bundles
// over the same orgs (composite requests answered at once) is reported beside it.

#include <benchmark/benchmark.h>

#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include <fmt/format.h>

#include "app/ports/bundle.hpp"
#include "data/bundles/document/bundle_document.hpp"
#include "data/bundles/transfer/bundle_transfer.hpp"
#include "data/bundles/transfer/decide.hpp"
#include "data/bundles/transfer/health_check.hpp"
#include "data/bundles/transfer/planning.hpp"
#include "data/bundles/transfer/record_views.hpp"
#include "data/bundles/transfer/side_reads.hpp"
#include "domain/cancellation.hpp"

namespace {

namespace json = ambrel::json;
namespace schema = ambrel::data::schema;
namespace synthesis = ambrel::data::bundles::synthesis;
using namespace ambrel::data::bundles::transfer;
namespace document = ambrel::data::bundles::document;
using document::BundleDocument;
using ambrel::data::bundles::identity::ComponentChildKind;

constexpr int kBundles = 200;
constexpr int kSharedProducts = 2'000;
constexpr int kComponentsPerBundle = 75;
constexpr std::string_view kSource = "src";
constexpr std::string_view kTarget = "tgt";
constexpr std::string_view kStandardBook = "Standard Price Book";

std::string product_name(int bundle, int child) {
    return fmt::format("Product {:04}", (bundle * 37 + child) % kSharedProducts);
}

std::map<std::string, std::string> make_documents() {
    std::map<std::string, std::string> documents;
    for (int bundle = 0; bundle < kBundles; ++bundle) {
        const std::string root = fmt::format("Bundle {:03}", bundle);
        BundleDocument doc;
        doc.product = {{"Description", root + " description"}, {"ProductCode", fmt::format("B{:03}", bundle)}};
        doc.groups.push_back({"Main", std::nullopt, {{"Sequence", "1"}}});
        doc.groups.push_back({"Extras", "Main", {{"Sequence", "2"}}});
        for (int child = 0; child < kComponentsPerBundle; ++child) {
            const std::string name = product_name(bundle, child);
            doc.child_products.push_back(
                {name, std::nullopt, {{"Description", name + " description"}, {"ProductCode", name.substr(8)}}, false});
            document::FieldSet fields = {{"Quantity", std::to_string(child % 5 + 1)},
                                         {"Sequence", std::to_string(child)}};
            doc.components.push_back({{ComponentChildKind::Product, name, child % 2 == 0 ? "Main" : "Extras"},
                                      "Bundle",
                                      std::nullopt,
                                      std::nullopt,
                                      std::move(fields)});
            doc.price_book_entries.push_back(
                {{name, std::string(kStandardBook), std::nullopt, std::nullopt}, {{"UnitPrice", "10"}}, true});
        }
        doc.selling_model_options.push_back({{root, "Monthly"}, {}});
        doc.price_book_entries.push_back(
            {{root, std::string(kStandardBook), std::nullopt, std::nullopt}, {{"UnitPrice", "100"}}, true});
        documents.emplace(root, ambrel::data::bundles::document::write_bundle_document(doc));
    }
    return documents;
}

// The relationship that a reference field's value names: the field without its "Id" suffix.
std::string relationship_of(const std::string& field) { return field.substr(0, field.size() - 2); }

json::Object& nested(json::Object& row, std::string_view member) {
    auto& value = row[member];
    if (!value.is_object()) value = json::Object{};
    return value.as_object();
}

// Both orgs' records of a plan, as a query returns them, grouped by the value the read filters on.
struct Org {
    std::map<std::string, schema::ObjectSchema, std::less<>> describes;
    std::map<std::string, std::map<std::string, std::vector<json::Object>>, std::less<>> rows;
};

struct Orgs {
    Org source;
    Org target;
};

Orgs make_orgs(const TransferPlan& plan) {
    Orgs orgs;
    std::map<RecordKey, std::string> ids;
    for (std::size_t i = 0; i < plan.records.size(); ++i) {
        ids.emplace(plan.records[i].key, fmt::format("T{:08}", i));
    }
    const std::map<std::string, std::string> catalog_ids = {
        {"Bundle", "0yoRT"}, {"Monthly", "0jPSM"}, {std::string(kStandardBook), "01sPB"}};

    for (const auto layer : kLayers) {
        const std::string object(layer_object(layer));
        schema::ObjectSchema described;
        described.name = object;
        const auto add = [&](const std::string& name, bool reference) {
            schema::FieldSchema field;
            field.name = name;
            field.type = reference ? "reference" : "string";
            field.createable = true;
            field.updateable = true;
            if (reference) field.relationship_name = relationship_of(name);
            described.fields[name] = field;
        };
        add("Id", false);
        for (const auto& name : {"Name", "Code", "CurrencyIsoCode"}) add(name, false);
        for (const auto& name : layer_fields(plan.records, layer)) add(name, false);
        for (const auto& name : layer_link_fields(plan.records, layer)) add(name, true);
        orgs.source.describes.emplace(object, described);
        orgs.target.describes.emplace(object, described);
    }

    std::size_t component = 0;
    for (const auto& record : plan.records) {
        const std::string object(layer_object(record.layer()));
        json::Object row;
        row["attributes"] = json::Object{{"type", object}};
        row["Id"] = ids.at(record.key);
        const auto ref = [&](std::string_view member, const std::string& name, const std::string& id) {
            auto& inner = nested(row, member);
            inner["Name"] = name;
            inner["Id"] = id;
        };
        const auto product_id = [&](const std::string& name) { return ids.at(RecordKey::Product2{name}); };
        std::visit(
            [&](const auto& key) {
                using Key = std::decay_t<decltype(key)>;
                if constexpr (std::is_same_v<Key, RecordKey::ProductClassification>) {
                    row["Code"] = key.code;
                } else if constexpr (std::is_same_v<Key, RecordKey::Product2>) {
                    row["Name"] = key.name;
                } else if constexpr (std::is_same_v<Key, RecordKey::ProductComponentGroup>) {
                    ref("ParentProduct", key.product, product_id(key.product));
                    row["Name"] = key.name;
                } else if constexpr (std::is_same_v<Key, RecordKey::ProductRelatedComponent>) {
                    ref("ParentProduct", key.parent, product_id(key.parent));
                    ref("ChildProduct", key.child, product_id(key.child));
                    if (key.group) {
                        ref("ProductComponentGroup", *key.group,
                            ids.at(RecordKey::ProductComponentGroup{key.parent, *key.group}));
                    }
                } else if constexpr (std::is_same_v<Key, RecordKey::ProductSellingModelOption>) {
                    ref("Product2", key.product, product_id(key.product));
                    ref("ProductSellingModel", key.selling_model, catalog_ids.at(key.selling_model));
                } else {
                    ref("Product2", key.product, product_id(key.product));
                    ref("Pricebook2", key.price_book, catalog_ids.at(key.price_book));
                }
            },
            record.key.value());
        for (const auto& [field, value] : record.fields) row[field] = value;
        json::Object source_row = row;
        for (const auto& [field, key] : record.links) {
            row[field] = ids.at(key);
            nested(row, relationship_of(field))["Id"] = ids.at(key);
        }
        for (const auto& [field, catalog] : record.catalog_links) {
            const auto id = std::visit([&](const auto& c) { return catalog_ids.at(c.name); }, catalog.value());
            row[field] = id;
            nested(row, relationship_of(field))["Id"] = id;
        }
        const std::string& identity = record.key.identity();
        orgs.source.rows[object][identity].push_back(std::move(source_row));
        if (record.layer() == Layer::ProductRelatedComponent) {
            ++component;
            if (component % 20 == 0) continue;  // missing in the target: created
            if (component % 10 == 5) row["Quantity"] = "9";
        }
        orgs.target.rows[object][identity].push_back(std::move(row));
    }
    return orgs;
}

// The values of "... IN ('a', 'b')", which the bench's names never quote or escape.
std::vector<std::string> in_values(std::string_view soql) {
    std::vector<std::string> values;
    const auto open = soql.find(" IN ('");
    if (open == std::string_view::npos) return values;
    std::string_view list = soql.substr(open + 6);
    list = list.substr(0, list.rfind("')"));
    for (std::size_t start = 0;;) {
        const auto end = list.find("', '", start);
        values.emplace_back(list.substr(start, end == std::string_view::npos ? end : end - start));
        if (end == std::string_view::npos) break;
        start = end + 4;
    }
    return values;
}

// Answers from precomputed lists: every query text's rows are built by `prepare` before timing.
class MemoryChannels final : public synthesis::RecordChannels {
public:
    explicit MemoryChannels(Orgs orgs) : orgs_(std::move(orgs)) {}

    // Runs the work once, building the answer of every query it sends.
    template <typename Work>
    void prepare(Work&& work) {
        preparing_ = true;
        work(*this);
        preparing_ = false;
    }

    synthesis::ChannelResult<std::vector<json::Object>> query(std::string_view org, std::string_view soql,
                                                              const ambrel::domain::CancellationToken&) override {
        const std::string key = std::string(org) + "\n" + std::string(soql);
        if (!preparing_) {
            // Hand over the copy armed before timing; a repeated query gets a fresh copy.
            if (const auto armed = armed_.find(key); armed != armed_.end() && !armed->second.empty()) {
                return std::move(armed->second);
            }
            return answers_.at(key);
        }
        auto& answer = answers_[key];
        answer.clear();
        if (soql == "SELECT Id, Name FROM ProductRelationshipType") {
            answer.push_back(json::Object{{"Id", "0yoRT"}, {"Name", "Bundle"}});
        } else if (soql == "SELECT Id, Name FROM ProductSellingModel") {
            answer.push_back(json::Object{{"Id", "0jPSM"}, {"Name", "Monthly"}});
        } else if (soql == "SELECT Id, Name, IsStandard FROM Pricebook2") {
            answer.push_back(json::Object{{"Id", "01sPB"}, {"Name", kStandardBook}, {"IsStandard", true}});
        } else {
            const auto from = soql.find(" FROM ") + 6;
            const auto object = soql.substr(from, soql.find(' ', from) - from);
            const Org& side = org == kSource ? orgs_.source : orgs_.target;
            const auto rows = side.rows.find(object);
            for (const auto& value : in_values(soql)) {
                if (rows == side.rows.end()) break;
                if (const auto found = rows->second.find(value); found != rows->second.end()) {
                    answer.insert(answer.end(), found->second.begin(), found->second.end());
                }
            }
        }
        return answer;
    }
    synthesis::ChannelResult<std::optional<schema::ObjectSchema>> describe(
        std::string_view org, std::string_view object, const ambrel::domain::CancellationToken&) override {
        const Org& side = org == kSource ? orgs_.source : orgs_.target;
        const auto found = side.describes.find(object);
        if (found == side.describes.end()) return std::optional<schema::ObjectSchema>{};
        return std::optional<schema::ObjectSchema>{found->second};
    }
    synthesis::ChannelResult<std::optional<std::string>> read_cml(std::string_view, std::string_view,
                                                                  const ambrel::domain::CancellationToken&) override {
        return std::optional<std::string>{};
    }
    synthesis::ChannelResult<std::vector<synthesis::CompositeOutcome>> composite(
        std::string_view, synthesis::CompositeMethod, const std::vector<json::Object>& records,
        const ambrel::domain::CancellationToken&) override {
        std::vector<synthesis::CompositeOutcome> outcomes(records.size());
        for (auto& outcome : outcomes) {
            outcome.success = true;
            outcome.id = "NEW";
        }
        return outcomes;
    }
    synthesis::ChannelResult<void> write_cml(std::string_view, std::string_view, std::string_view,
                                             const ambrel::domain::CancellationToken&) override {
        return {};
    }
    synthesis::ChannelResult<std::vector<synthesis::CompositeOutcome>> remove(
        std::string_view, const std::vector<std::string>& ids, const ambrel::domain::CancellationToken&) override {
        return std::vector<synthesis::CompositeOutcome>(ids.size(), synthesis::CompositeOutcome{{}, {}, true});
    }
    synthesis::ChannelResult<void> set_version_active(std::string_view, std::string_view, bool,
                                                      const ambrel::domain::CancellationToken&) override {
        return {};
    }

    // Copies every answer for the next run, so that the run itself only takes them over.
    void arm() { armed_ = answers_; }

private:
    Orgs orgs_;
    bool preparing_ = false;
    std::unordered_map<std::string, std::vector<json::Object>> armed_;
    std::unordered_map<std::string, std::vector<json::Object>> answers_;
};

struct Fixture {
    ambrel::app::ports::RecordDeployRequest request;
    std::size_t bytes = 0;
    std::size_t planned = 0;
    std::unique_ptr<MemoryChannels> channels;
};

Fixture& fixture() {
    static Fixture built = [] {
        Fixture f;
        f.request = {std::string(kSource), std::string(kTarget), "Source", "Target", make_documents(), "62.0"};
        for (const auto& [name, text] : f.request.documents) f.bytes += text.size();
        const auto plan = plan_transfer(f.request.documents);
        f.planned = plan.records.size();
        f.channels = std::make_unique<MemoryChannels>(make_orgs(plan));
        ambrel::domain::NeverCancelled token;
        f.channels->prepare([&](MemoryChannels& channels) {
            (void)plan_health(channels, f.request, [](const HealthStep&) {}, token);
            (void)transfer_bundles(channels, f.request, [](std::string_view) {}, token);
        });
        return f;
    }();
    return built;
}

void BM_ParseBundleDocumentsReference(benchmark::State& state) {
    const Fixture& f = fixture();
    for (auto _ : state) {
        std::size_t rows = 0;
        for (const auto& [name, text] : f.request.documents) {
            auto document = ambrel::data::bundles::document::parse_bundle_document(text);
            if (!document) state.SkipWithError(document.error().message().c_str());
            rows += document->components.size();
            benchmark::DoNotOptimize(document);
        }
        benchmark::DoNotOptimize(rows);
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * f.bytes));
}
BENCHMARK(BM_ParseBundleDocumentsReference)->Unit(benchmark::kMillisecond);

void BM_PlanHealth(benchmark::State& state) {
    Fixture& f = fixture();
    ambrel::domain::NeverCancelled token;
    std::size_t findings = 0;
    for (auto _ : state) {
        state.PauseTiming();
        f.channels->arm();
        state.ResumeTiming();
        auto report = plan_health(*f.channels, f.request, [](const HealthStep&) {}, token);
        if (!report) state.SkipWithError("the health check failed");
        findings = report ? report->findings.size() : 0;
        benchmark::DoNotOptimize(report);
    }
    state.counters["planned"] = static_cast<double>(f.planned);
    state.counters["findings"] = static_cast<double>(findings);
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * f.bytes));
}
BENCHMARK(BM_PlanHealth)->Unit(benchmark::kMillisecond);

void BM_TransferBundles(benchmark::State& state) {
    Fixture& f = fixture();
    ambrel::domain::NeverCancelled token;
    for (auto _ : state) {
        state.PauseTiming();
        f.channels->arm();
        state.ResumeTiming();
        auto rows = transfer_bundles(*f.channels, f.request, [](std::string_view) {}, token);
        if (!rows) state.SkipWithError("the transfer failed");
        benchmark::DoNotOptimize(rows);
    }
    state.counters["planned"] = static_cast<double>(f.planned);
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * f.bytes));
}
BENCHMARK(BM_TransferBundles)->Unit(benchmark::kMillisecond);

// The parts of the check, to show where its time goes: planning (which parses every document), the
// reads of both sides, and the decision of every planned record.
void BM_PartPlanTransfer(benchmark::State& state) {
    const Fixture& f = fixture();
    for (auto _ : state) {
        auto plan = plan_transfer(f.request.documents);
        benchmark::DoNotOptimize(plan);
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * f.bytes));
}
BENCHMARK(BM_PartPlanTransfer)->Unit(benchmark::kMillisecond);

struct Reads {
    TransferPlan plan;
    TransferSchemas schemas;
    TargetCatalogs catalogs;
};

Reads reads_of(Fixture& f) {
    ambrel::domain::NeverCancelled token;
    const auto ignore = [](std::string_view) {};
    Reads reads{plan_transfer(f.request.documents), {}, {}};
    reads.schemas = *read_schemas(*f.channels, kSource, "Source", kTarget, "Target", ignore, token);
    reads.catalogs = *read_catalogs(*f.channels, kTarget, "Target", ignore, token);
    return reads;
}

void BM_PartReadBothSides(benchmark::State& state) {
    Fixture& f = fixture();
    const Reads reads = reads_of(f);
    ambrel::domain::NeverCancelled token;
    const auto ignore = [](std::string_view) {};
    for (auto _ : state) {
        state.PauseTiming();
        f.channels->arm();
        state.ResumeTiming();
        auto source = read_side(*f.channels, kSource, "Source", Side::Source, reads.plan, reads.schemas, ignore, token);
        auto target = read_side(*f.channels, kTarget, "Target", Side::Target, reads.plan, reads.schemas, ignore, token);
        benchmark::DoNotOptimize(source);
        benchmark::DoNotOptimize(target);
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * f.bytes));
}
BENCHMARK(BM_PartReadBothSides)->Unit(benchmark::kMillisecond);

void BM_PartDecideEveryRecord(benchmark::State& state) {
    Fixture& f = fixture();
    const Reads reads = reads_of(f);
    ambrel::domain::NeverCancelled token;
    const auto ignore = [](std::string_view) {};
    f.channels->arm();
    const auto source =
        *read_side(*f.channels, kSource, "Source", Side::Source, reads.plan, reads.schemas, ignore, token);
    const auto target =
        *read_side(*f.channels, kTarget, "Target", Side::Target, reads.plan, reads.schemas, ignore, token);
    const KeyIndex index = index_by_key_value(target, reads.schemas);
    const TargetIds no_ids;
    for (auto _ : state) {
        std::size_t creates = 0;
        for (const auto& record : reads.plan.records) {
            const auto decision = decide(record, reads.schemas, source, target, index, no_ids, reads.catalogs);
            creates += std::holds_alternative<Decision::Create>(decision.value) ? 1 : 0;
        }
        benchmark::DoNotOptimize(creates);
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * f.bytes));
}
BENCHMARK(BM_PartDecideEveryRecord)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
