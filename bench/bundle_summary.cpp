// The decisions and the report rows of a bundle transfer: `transfer::decide` for every planned record
// of 500 bundle documents (50,000 distinct planned records of ten fields, a third of them shared by
// two documents) in plan order, keeping the target Ids and outcomes as the transfer does, followed by
// `transfer::summarize` of the 500 rows; the reads of both orgs are built before timing. The reference
// is `parse_bundle_document` of the same 500 documents, once each. Target: the decisions and the
// summary together cost no more than 3x the reference. The two halves are reported beside.

#include <benchmark/benchmark.h>

#include <fmt/format.h>

#include <map>
#include <string>
#include <vector>

#include "data/bundles/document/bundle_document.hpp"
#include "data/bundles/transfer/decide.hpp"
#include "data/bundles/transfer/planning.hpp"
#include "data/bundles/transfer/summary.hpp"

namespace {

using namespace ambrel::data::bundles;
using transfer::Decision;
using transfer::RecordOutcome;

constexpr int kDocuments = 500;
constexpr int kOwnChildren = 45;
constexpr int kOwnEntries = 20;
constexpr int kSharedPool = 17'000;
constexpr int kSharedPerDocument = 68;
constexpr int kExtraFields = 6;

// Ten fields per record, as product records of real bundles carry them.
document::FieldSet fields_of(const std::string& name, int salt) {
    document::FieldSet fields = {{"Description", fmt::format("{} described {}", name, salt)},
                                 {"Family", "Hardware"},
                                 {"Name", name},
                                 {"ProductCode", fmt::format("PC-{}", salt)}};
    for (int i = 0; i < kExtraFields; ++i) {
        fields[fmt::format("Field{}__c", i)] = fmt::format("value {} of {}", i, salt);
    }
    return fields;
}

struct Fixture {
    std::map<std::string, std::string> documents;
    std::size_t bytes = 0;
    transfer::TransferPlan plan;
    transfer::TransferSchemas schemas;
    transfer::SideRecords source;
    transfer::SideRecords target;
    transfer::KeyIndex index;
    transfer::TargetCatalogs catalogs;

    Fixture() {
        for (int d = 0; d < kDocuments; ++d) {
            document::BundleDocument doc;
            const auto root = fmt::format("Bundle {:03}", d);
            doc.product = fields_of(root, d);
            doc.objects.push_back(document::ObjectFieldPlan{"Product2", {"Description", "Family"}, {"Legacy__c"}, {}});
            std::vector<std::string> own = {root};
            for (int c = 0; c < kOwnChildren; ++c) {
                own.push_back(fmt::format("Child {:03}-{:02}", d, c));
                doc.child_products.push_back({own.back(), std::nullopt, fields_of(own.back(), c), false});
            }
            for (int s = 0; s < kSharedPerDocument; ++s) {
                const auto name = fmt::format("Shared {:05}", (d * (kSharedPool / kDocuments) + s) % kSharedPool);
                doc.child_products.push_back({name, std::nullopt, fields_of(name, 7), false});
            }
            for (int e = 0; e < kOwnEntries; ++e) {
                doc.price_book_entries.push_back(
                    {{own[e], "Standard", std::nullopt, std::nullopt}, {{"UnitPrice", fmt::format("{}.5", e)}}, true});
            }
            auto text = document::write_bundle_document(doc);
            bytes += text.size();
            documents.emplace(root, std::move(text));
        }
        plan = transfer::plan_transfer(documents);
        catalogs.standard_price_book = "01s000000000001AAA";
        for (const auto* object : {"Product2", "PricebookEntry"}) {
            auto& schema = schemas.target[object];
            schema.name = object;
            std::vector<std::string> names = {"Description", "Family", "Name", "ProductCode", "UnitPrice",
                                              "QuillaryExternalId__c"};
            for (int i = 0; i < kExtraFields; ++i) {
                names.push_back(fmt::format("Field{}__c", i));
            }
            for (const auto& field : names) {
                ambrel::data::schema::FieldSchema described;
                described.name = field;
                described.type = "string";
                described.createable = described.updateable = true;
                schema.fields[field] = described;
            }
            schemas.keys[object] = transfer::KeyField{"QuillaryExternalId__c", true};
        }
        // Every record is in the source; the target holds every other one, half of those changed.
        std::size_t n = 0;
        for (const auto& record : plan.records) {
            const auto id = fmt::format("01t{:015}", n);
            source[record.key].push_back(transfer::ExistingRecord{id, {}, std::nullopt, {}, {}});
            if (n % 2 == 0) {
                transfer::ExistingRecord copy{fmt::format("T{}", n), {}, std::string(id.rbegin(), id.rend()), {}, {}};
                for (const auto& [field, value] : record.fields) {
                    copy.values.emplace(field, n % 4 == 0 ? value : value + " old");
                }
                index[{std::string(transfer::layer_object(record.layer())), "QuillaryExternalId__c",
                       *copy.key_value}]
                    .push_back(copy);
                target[record.key].push_back(std::move(copy));
            }
            ++n;
        }
    }
};

const Fixture& fixture() {
    static const Fixture built;
    return built;
}

void BM_DecideAndSummarize(benchmark::State& state) {
    const auto& f = fixture();
    for (auto _ : state) {
        transfer::TargetIds ids;
        transfer::RecordOutcomes outcomes;
        transfer::RecordNotes notes;
        std::size_t created = 0;
        for (const auto& record : f.plan.records) {
            const auto decision =
                transfer::decide(record, f.schemas, f.source, f.target, f.index, ids, f.catalogs);
            if (std::holds_alternative<Decision::Create>(decision.value)) {
                ids.insert_or_assign(record.key, fmt::format("NEW{}", ++created));
                outcomes.insert_or_assign(record.key, RecordOutcome{RecordOutcome::Created{}});
            } else if (const auto* update = std::get_if<Decision::Update>(&decision.value)) {
                ids.insert_or_assign(record.key, update->id);
                outcomes.insert_or_assign(record.key, RecordOutcome{RecordOutcome::Updated{}});
            } else if (const auto* unchanged = std::get_if<Decision::Unchanged>(&decision.value)) {
                ids.insert_or_assign(record.key, unchanged->id);
                outcomes.insert_or_assign(record.key, RecordOutcome{RecordOutcome::Unchanged{}});
            } else {
                outcomes.insert_or_assign(record.key, RecordOutcome{RecordOutcome::Failed{"held back"}});
            }
        }
        transfer::RowOutcomes rows;
        transfer::summarize(f.documents, f.plan.records, f.schemas, outcomes, notes, 250, rows);
        benchmark::DoNotOptimize(rows);
    }
    state.counters["records"] = static_cast<double>(f.plan.records.size());
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * static_cast<std::int64_t>(f.bytes));
}
BENCHMARK(BM_DecideAndSummarize)->Unit(benchmark::kMillisecond);

void BM_SummarizeOnly(benchmark::State& state) {
    const auto& f = fixture();
    transfer::RecordOutcomes outcomes;
    for (const auto& record : f.plan.records) {
        outcomes.insert_or_assign(record.key, RecordOutcome{RecordOutcome::Created{}});
    }
    for (auto _ : state) {
        transfer::RowOutcomes rows;
        transfer::summarize(f.documents, f.plan.records, f.schemas, outcomes, {}, 250, rows);
        benchmark::DoNotOptimize(rows);
    }
}
BENCHMARK(BM_SummarizeOnly)->Unit(benchmark::kMillisecond);

void BM_DecideOnly(benchmark::State& state) {
    const auto& f = fixture();
    for (auto _ : state) {
        transfer::TargetIds ids;
        for (const auto& record : f.plan.records) {
            auto decision = transfer::decide(record, f.schemas, f.source, f.target, f.index, ids, f.catalogs);
            benchmark::DoNotOptimize(decision);
        }
    }
}
BENCHMARK(BM_DecideOnly)->Unit(benchmark::kMillisecond);

void BM_ParseDocumentsReference(benchmark::State& state) {
    const auto& f = fixture();
    for (auto _ : state) {
        for (const auto& [name, text] : f.documents) {
            auto parsed = document::parse_bundle_document(text);
            benchmark::DoNotOptimize(parsed);
        }
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * static_cast<std::int64_t>(f.bytes));
}
BENCHMARK(BM_ParseDocumentsReference)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
