// The three custom field reference parsers over every custom field document of the corpus (held in
// memory), beside our XML reader walking the same bytes and resolving each element's namespace, in
// one run. Target: each parser takes at most twice the time of the walk (BM_ReferenceXmlWalk).

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <utility>
#include <vector>

#include <benchmark/benchmark.h>

#include "metadata/readers/lookup_reader.hpp"
#include "metadata/readers/rollup_reader.hpp"
#include "metadata/readers/value_set_reader.hpp"
#include "xml/xml.hpp"

namespace {

namespace fs = std::filesystem;

constexpr std::string_view kFieldSuffix = ".field-meta.xml";

struct FieldDocument {
    std::string full_name;
    std::string text;
};

// Every custom field document of the corpus, read once, outside the timed loops.
const std::vector<FieldDocument>& fields() {
    static const std::vector<FieldDocument> documents = [] {
        std::vector<FieldDocument> found;
        std::error_code ec;
        for (const auto& entry : fs::recursive_directory_iterator(fs::path(AMBREL_CORPUS_DIR), ec)) {
            const std::string file = entry.path().filename().string();
            if (!entry.is_regular_file() || !file.ends_with(kFieldSuffix)) continue;
            std::ifstream in(entry.path(), std::ios::binary);
            found.push_back({entry.path().parent_path().parent_path().filename().string() + "." +
                                 file.substr(0, file.size() - kFieldSuffix.size()),
                             std::string(std::istreambuf_iterator<char>(in), {})});
        }
        std::sort(found.begin(), found.end(),
                  [](const FieldDocument& a, const FieldDocument& b) { return a.full_name < b.full_name; });
        return found;
    }();
    return documents;
}

std::int64_t field_bytes() {
    std::int64_t total = 0;
    for (const FieldDocument& document : fields()) total += static_cast<std::int64_t>(document.text.size());
    return total;
}

template <typename Parse>
void run_parser(benchmark::State& state, Parse parse) {
    const auto& documents = fields();
    if (documents.empty()) {
        state.SkipWithError("no corpus field documents");
        return;
    }
    for (auto _ : state) {
        std::size_t parsed = 0;
        for (const FieldDocument& document : documents) {
            auto result = parse(document.full_name, document.text);
            parsed += result ? 1 : 0;
            benchmark::DoNotOptimize(result);
        }
        if (parsed != documents.size()) {
            state.SkipWithError("a corpus field document failed to parse");
            return;
        }
    }
    state.SetBytesProcessed(state.iterations() * field_bytes());
}

// Every event of every field document, each element's namespace resolved.
void BM_ReferenceXmlWalk(benchmark::State& state) {
    const auto& documents = fields();
    if (documents.empty()) {
        state.SkipWithError("no corpus field documents");
        return;
    }
    for (auto _ : state) {
        std::size_t events = 0;
        std::size_t bound = 0;
        for (const FieldDocument& document : documents) {
            ambrel::xml::Reader reader(ambrel::xml::strip_leading_boms(document.text));
            while (true) {
                auto event = reader.next();
                if (!event || event->kind == ambrel::xml::EventKind::Eof) break;
                ++events;
                if (event->kind == ambrel::xml::EventKind::Start || event->kind == ambrel::xml::EventKind::Empty) {
                    const auto ns = reader.resolve_element(*event);
                    bound += ns.uri.size() + event->local_name().size();
                }
            }
        }
        benchmark::DoNotOptimize(events);
        benchmark::DoNotOptimize(bound);
    }
    state.SetBytesProcessed(state.iterations() * field_bytes());
}
BENCHMARK(BM_ReferenceXmlWalk);

void BM_RollupReferences(benchmark::State& state) {
    run_parser(state, ambrel::metadata::rollup_reader::parse_rollup_references);
}
BENCHMARK(BM_RollupReferences);

void BM_LookupReferences(benchmark::State& state) {
    run_parser(state, ambrel::metadata::lookup_reader::parse_lookup_references);
}
BENCHMARK(BM_LookupReferences);

void BM_GlobalValueSetReference(benchmark::State& state) {
    run_parser(state, ambrel::metadata::value_set_reader::parse_global_value_set_reference);
}
BENCHMARK(BM_GlobalValueSetReference);

}  // namespace

BENCHMARK_MAIN();
