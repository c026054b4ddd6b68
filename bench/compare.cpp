// The component comparison engine over 20,000 source and 20,000 target Flow components with
// documents of about 2 KB: half equal, a quarter changed, a quarter missing in the target. The
// reference is one memcmp pass over all document bytes of both sides. Target: the engine costs no
// more than 5x the reference.

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "comparison/engine.hpp"
#include "metadata_types/metadata_type.hpp"

namespace {

using ambrel::domain::AttributeValue;
using ambrel::domain::MetadataComponent;
using ambrel::metadata_types::MetadataType;

constexpr int kComponents = 20'000;

std::string flow_document(int number, std::mt19937& random) {
    std::string document = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<Flow xmlns=\"http://soap.sforce.com/2006/04/metadata\">\n";
    document += "    <apiVersion>62.0</apiVersion>\n    <label>Flow " + std::to_string(number) + "</label>\n";
    int step = 0;
    while (document.size() < 2000) {
        document += "    <assignments>\n        <name>Assign_" + std::to_string(step) + "</name>\n";
        document += "        <label>Assign value " + std::to_string(random() % 100000) + "</label>\n";
        document += "        <locationX>" + std::to_string(random() % 1000) + "</locationX>\n    </assignments>\n";
        ++step;
    }
    document += "</Flow>\n";
    return document;
}

MetadataComponent flow(std::string name, std::string document) {
    MetadataComponent component;
    component.key = {MetadataType::Flow, std::move(name)};
    component.source_path = "force-app/main/default/flows/" + component.key.name + ".flow-meta.xml";
    component.document = std::move(document);
    component.attributes = {AttributeValue::text("Flow"), AttributeValue::text("Active"), AttributeValue::text("62.0"),
                            AttributeValue::text("AutoLaunchedFlow")};
    return component;
}

struct Sides {
    std::vector<MetadataComponent> source;
    std::vector<MetadataComponent> target;
    std::size_t document_bytes = 0;  // both sides
};

// Source i is equal to its target for i % 4 in {0, 1}, changed for 2, missing in the target for 3.
const Sides& sides() {
    static const Sides built = [] {
        std::mt19937 random(42);
        Sides result;
        for (int i = 0; i < kComponents; ++i) {
            char name[32];
            std::snprintf(name, sizeof name, "Flow_%05d", (i * 7919) % kComponents);
            MetadataComponent source = flow(name, flow_document(i, random));
            const int kind = i % 4;
            if (kind != 3) {
                MetadataComponent target = source;
                if (kind == 2) target.document[target.document.size() / 2] ^= 1;
                result.target.push_back(std::move(target));
            }
            result.source.push_back(std::move(source));
        }
        // The last quarter of the target: components the source does not have.
        for (int i = 0; i < kComponents / 4; ++i) {
            result.target.push_back(flow("Target_Only_" + std::to_string(i), flow_document(i, random)));
        }
        std::shuffle(result.target.begin(), result.target.end(), random);
        for (const auto& c : result.source) result.document_bytes += c.document.size();
        for (const auto& c : result.target) result.document_bytes += c.document.size();
        return result;
    }();
    return built;
}

void BM_ReferenceMemcmp(benchmark::State& state) {
    const Sides& data = sides();
    // Equal buffers, so memcmp reads every byte of both sides.
    std::vector<std::string> source_copy;
    std::vector<std::string> target_copy;
    for (const auto& c : data.source) source_copy.push_back(c.document);
    for (const auto& c : data.target) target_copy.push_back(c.document);
    for (auto _ : state) {
        int sum = 0;
        for (std::size_t i = 0; i < data.source.size(); ++i) {
            const std::string& a = data.source[i].document;
            sum += std::memcmp(a.data(), source_copy[i].data(), a.size());
        }
        for (std::size_t i = 0; i < data.target.size(); ++i) {
            const std::string& a = data.target[i].document;
            sum += std::memcmp(a.data(), target_copy[i].data(), a.size());
        }
        benchmark::DoNotOptimize(sum);
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * static_cast<std::int64_t>(data.document_bytes));
}

void BM_CompareCopyingSource(benchmark::State& state) {
    const Sides& data = sides();
    const std::set<std::string> missing;
    const auto& descriptor = MetadataType::Flow.descriptor();
    for (auto _ : state) {
        auto rows = ambrel::comparison::ComponentComparisonEngine::compare(descriptor, data.source, data.target, missing);
        benchmark::DoNotOptimize(rows.data());
        state.PauseTiming();
        rows = {};  // releasing the rows is not part of the comparison
        state.ResumeTiming();
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * static_cast<std::int64_t>(data.document_bytes));
}

void BM_CompareMovingSource(benchmark::State& state) {
    const Sides& data = sides();
    const std::set<std::string> missing;
    const auto& descriptor = MetadataType::Flow.descriptor();
    for (auto _ : state) {
        state.PauseTiming();
        std::vector<MetadataComponent> source = data.source;
        state.ResumeTiming();
        auto rows =
            ambrel::comparison::ComponentComparisonEngine::compare(descriptor, std::move(source), data.target, missing);
        benchmark::DoNotOptimize(rows.data());
        state.PauseTiming();
        rows = {};
        state.ResumeTiming();
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * static_cast<std::int64_t>(data.document_bytes));
}

BENCHMARK(BM_ReferenceMemcmp)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_CompareCopyingSource)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_CompareMovingSource)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
