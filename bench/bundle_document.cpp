// The product bundle document reader over a document of 10,000 rows (5,000 components and 5,000 price
// book entries with ten fields each). The reference is one pass of the XML pull reader's events over
// the same text. Target: parse_bundle_document costs no more than 3x the reference (the parse case
// leaves the freeing of the parsed document, which is its caller's, out of the timing; the
// ParseAndDrop case includes it). The writer of the same document is reported beside it.

#include <benchmark/benchmark.h>

#include <string>

#include "data/bundles/document/bundle_document.hpp"
#include "xml/xml.hpp"

namespace {

using namespace ambrel::data::bundles::document;
using ambrel::data::bundles::identity::ComponentChildKind;

constexpr int kRowsPerKind = 5'000;
constexpr int kFieldsPerRow = 10;

FieldSet fields_of(int row) {
    FieldSet fields;
    for (int field = 0; field < kFieldsPerRow; ++field) {
        fields["Field" + std::to_string(field) + "__c"] = "value " + std::to_string(row * 31 + field) + " & more";
    }
    return fields;
}

const BundleDocument& large_document() {
    static const BundleDocument document = [] {
        BundleDocument built;
        built.objects.push_back(ObjectFieldPlan{"Product2", {"Description", "ProductCode"}, {}, {}});
        built.product = fields_of(0);
        for (int row = 0; row < kRowsPerKind; ++row) {
            built.components.push_back(ComponentNode{{ComponentChildKind::Product, "Child " + std::to_string(row), "Group"},
                                                     "Bundle to Bundle Component", std::nullopt, std::nullopt,
                                                     fields_of(row)});
            built.price_book_entries.push_back(
                PriceBookEntryNode{{"Product " + std::to_string(row), "Standard", "Term", "EUR"}, fields_of(row), true});
        }
        return built;
    }();
    return document;
}

const std::string& large_text() {
    static const std::string text = write_bundle_document(large_document());
    return text;
}

void BM_ReaderEventsReference(benchmark::State& state) {
    const std::string& text = large_text();
    for (auto _ : state) {
        ambrel::xml::Reader reader(text);
        std::size_t events = 0;
        while (true) {
            auto event = reader.next();
            if (!event || event->kind == ambrel::xml::EventKind::Eof) break;
            ++events;
        }
        benchmark::DoNotOptimize(events);
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * text.size()));
}
BENCHMARK(BM_ReaderEventsReference)->Unit(benchmark::kMillisecond);

void BM_ParseBundleDocument(benchmark::State& state) {
    const std::string& text = large_text();
    for (auto _ : state) {
        auto document = parse_bundle_document(text);
        if (!document) state.SkipWithError(document.error().message().c_str());
        benchmark::DoNotOptimize(document);
        state.PauseTiming();
        document = BundleDocument{};
        state.ResumeTiming();
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * text.size()));
}
BENCHMARK(BM_ParseBundleDocument)->Unit(benchmark::kMillisecond);

void BM_ParseAndDropBundleDocument(benchmark::State& state) {
    const std::string& text = large_text();
    for (auto _ : state) {
        auto document = parse_bundle_document(text);
        if (!document) state.SkipWithError(document.error().message().c_str());
        benchmark::DoNotOptimize(document);
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * text.size()));
}
BENCHMARK(BM_ParseAndDropBundleDocument)->Unit(benchmark::kMillisecond);

void BM_WriteBundleDocument(benchmark::State& state) {
    const BundleDocument& document = large_document();
    std::size_t bytes = 0;
    for (auto _ : state) {
        std::string text = write_bundle_document(document);
        bytes = text.size();
        benchmark::DoNotOptimize(text);
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * bytes));
}
BENCHMARK(BM_WriteBundleDocument)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
