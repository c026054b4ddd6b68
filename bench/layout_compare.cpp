// Page layouts compared element by element: two layouts of 2,000 (and 4,000) field placements each,
// the target holding the same fields in another order, with 20 changed behaviors, 10 fields only in
// the source and 50 related lists of which 5 differ (35 rows at both sizes). The reference is parsing
// both layouts into their models, which every comparison must do; the matching of each source field
// with the first target placement of that name goes through a first-occurrence map, so the
// comparison keeps a fixed ratio to the reference as the layouts grow.

#include <benchmark/benchmark.h>

#include <algorithm>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "comparison/layout.hpp"
#include "metadata/layout_model.hpp"
#include "metadata_types/metadata_type.hpp"

namespace {

using ambrel::domain::MetadataComponent;
using ambrel::metadata_types::MetadataType;

struct Placement {
    std::string field;
    std::string behavior;
};

std::string layout_document(const std::vector<Placement>& placements, int related_lists, bool source_side) {
    std::string xml =
        "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<Layout xmlns=\"http://soap.sforce.com/2006/04/metadata\">\n";
    constexpr std::size_t kPerSection = 40;
    for (std::size_t start = 0; start < placements.size(); start += kPerSection) {
        xml += "    <layoutSections>\n        <customLabel>false</customLabel>\n        <label>Section " +
               std::to_string(start / kPerSection) + "</label>\n";
        for (int column = 0; column < 2; ++column) {
            xml += "        <layoutColumns>\n";
            for (std::size_t i = start + static_cast<std::size_t>(column);
                 i < std::min(start + kPerSection, placements.size()); i += 2) {
                xml += "            <layoutItems>\n                <behavior>" + placements[i].behavior +
                       "</behavior>\n                <field>" + placements[i].field +
                       "</field>\n            </layoutItems>\n";
            }
            xml += "        </layoutColumns>\n";
        }
        xml += "        <style>TwoColumnsTopToBottom</style>\n    </layoutSections>\n";
    }
    for (int list = 0; list < related_lists; ++list) {
        xml += "    <relatedLists>\n        <fields>NAME</fields>\n        <fields>CREATED_DATE</fields>\n";
        xml += "        <relatedList>Related_" + std::to_string(list) + "__r</relatedList>\n";
        xml += std::string("        <sortOrder>") + (source_side && list % 10 == 0 ? "Desc" : "Asc") +
               "</sortOrder>\n    </relatedLists>\n";
    }
    xml += "</Layout>\n";
    return xml;
}

struct Pair {
    MetadataComponent source;
    MetadataComponent target;
    std::size_t bytes = 0;
};

MetadataComponent layout(std::string document) {
    MetadataComponent component;
    component.key = {MetadataType::Layout, "Account-Account Layout"};
    component.source_path = "force-app/main/default/layouts/Account-Account Layout.layout-meta.xml";
    component.document = std::move(document);
    return component;
}

const Pair& layouts(int items) {
    static std::map<int, Pair> built;
    auto found = built.find(items);
    if (found != built.end()) return found->second;
    std::mt19937 random(7);
    std::vector<Placement> source;
    for (int i = 0; i < items; ++i) {
        source.push_back({"Field_" + std::to_string(i) + "__c", i % 3 == 0 ? "Required" : "Edit"});
    }
    std::vector<Placement> target(source.begin(), source.end() - 10);  // 10 fields only in the source
    std::shuffle(target.begin(), target.end(), random);
    for (int i = 0; i < 20; ++i) target[static_cast<std::size_t>(i) * 7].behavior = "Readonly";
    constexpr int related_lists = 50;
    Pair pair{layout(layout_document(source, related_lists, true)), layout(layout_document(target, related_lists, false))};
    pair.bytes = pair.source.document.size() + pair.target.document.size();
    return built.emplace(items, std::move(pair)).first->second;
}

void BM_ReferenceParseBothLayouts(benchmark::State& state) {
    const Pair& pair = layouts(static_cast<int>(state.range(0)));
    for (auto _ : state) {
        auto source = ambrel::comparison::layout::parse(pair.source);
        auto target = ambrel::comparison::layout::parse(pair.target);
        benchmark::DoNotOptimize(source);
        benchmark::DoNotOptimize(target);
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * static_cast<std::int64_t>(pair.bytes));
}

void BM_CompareLayouts(benchmark::State& state) {
    const Pair& pair = layouts(static_cast<int>(state.range(0)));
    const std::vector<MetadataComponent> source = {pair.source};
    const std::vector<MetadataComponent> target = {pair.target};
    std::size_t rows = 0;
    for (auto _ : state) {
        auto result = ambrel::comparison::layout::compare_layouts(source, target);
        rows = result.rows.size();
        benchmark::DoNotOptimize(result);
    }
    state.counters["rows"] = static_cast<double>(rows);
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * static_cast<std::int64_t>(pair.bytes));
}

BENCHMARK(BM_ReferenceParseBothLayouts)->Arg(2000)->Arg(4000)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_CompareLayouts)->Arg(2000)->Arg(4000)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
