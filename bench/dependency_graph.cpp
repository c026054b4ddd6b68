// The dependency graph of a comparison and its blocked rows over 10,000 and 20,000 rows: new objects
// with text fields, lookups and roll-ups between them, validation rules, whole-layout and element
// layout rows, built from corpus documents under generated names. The reference is one pass of our
// XML pull reader over the same documents. Target: graph plus blocked rows cost no more than 8x the
// reference at 10,000 rows, and 20,000 rows take no more than 2.5x the time of 10,000.

#include <benchmark/benchmark.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include <fmt/format.h>

#include "app/dependency_graph.hpp"
#include "domain/difference.hpp"
#include "metadata_types/metadata_type.hpp"
#include "xml/xml.hpp"

namespace {

using ambrel::domain::ChangeKind;
using ambrel::domain::ComponentDifference;
using ambrel::domain::ComponentKey;
using ambrel::metadata_types::MetadataType;

// Rows made per generated object.
constexpr int kRowsPerObject = 8;

std::string read_corpus(const std::string& relative) {
    std::ifstream in(std::filesystem::path(AMBREL_CORPUS_DIR) / relative, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

std::string replace_all(std::string text, std::string_view from, std::string_view to) {
    for (std::size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size())) {
        text.replace(at, from.size(), to);
    }
    return text;
}

ComponentDifference row(MetadataType type, std::string name, std::string document, ChangeKind change = ChangeKind::Add) {
    ComponentDifference difference;
    difference.source.key = ComponentKey{type, std::move(name)};
    difference.source.document = std::move(document);
    difference.change = change;
    difference.deployable = true;
    return difference;
}

struct Input {
    std::vector<ComponentDifference> rows;
    std::set<std::string> objects;
    std::size_t bytes = 0;
};

const Input& input(int row_count) {
    static std::map<int, Input> built;
    auto found = built.find(row_count);
    if (found != built.end()) return found->second;
    const std::string base = "ebikes-lwc/force-app/main/default/";
    const std::string object_doc = read_corpus(base + "objects/Order__c/Order__c.object-meta.xml");
    const std::string lookup_doc = read_corpus(base + "objects/Order_Item__c/fields/Order__c.field-meta.xml");
    const std::string text_doc = read_corpus(base + "objects/Order__c/fields/Status__c.field-meta.xml");
    const std::string layout_doc = read_corpus(base + "layouts/Order__c-Order Layout.layout-meta.xml");
    const auto validation_rule = ambrel::metadata_types::metadata_type_by_wire_id("ValidationRule");
    Input result;
    for (int i = 0; i < row_count / kRowsPerObject; ++i) {
        const std::string object = fmt::format("Obj{}__c", i);
        const std::string previous = fmt::format("Obj{}__c", i == 0 ? 0 : i - 1);
        result.objects.insert(object);
        result.rows.push_back(row(MetadataType::CustomObject, object, object_doc));
        result.rows.push_back(row(MetadataType::CustomField, object + ".Status__c", text_doc));
        result.rows.push_back(row(MetadataType::CustomField, object + ".Parent__c",
                                  replace_all(lookup_doc, "<referenceTo>Order__c", "<referenceTo>" + previous)));
        result.rows.push_back(row(
            MetadataType::CustomField, object + ".Total__c",
            fmt::format("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<CustomField "
                        "xmlns=\"http://soap.sforce.com/2006/04/metadata\"><fullName>Total__c</fullName>"
                        "<summarizedField>{0}.Status__c</summarizedField><summaryForeignKey>{0}.Parent__c"
                        "</summaryForeignKey><summaryFilterItems><field>{0}.Status__c</field></summaryFilterItems>"
                        "<type>Summary</type></CustomField>\n",
                        previous)));
        result.rows.push_back(row(*validation_rule, object + ".Check",
                                  "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<ValidationRule "
                                  "xmlns=\"http://soap.sforce.com/2006/04/metadata\"><fullName>Check</fullName>"
                                  "<active>true</active></ValidationRule>\n"));
        const std::string layout = object + "-Order Layout";
        result.rows.push_back(row(MetadataType::Layout, layout, layout_doc, ChangeKind::Update));
        const std::string element_layout = object + "-Element Layout";
        result.rows.push_back(row(MetadataType::Layout, element_layout + "::field:Status__c", layout_doc));
        result.rows.push_back(
            row(MetadataType::Layout, element_layout + "::relatedList:Order_Item__c.Order__c", layout_doc));
    }
    for (const ComponentDifference& each : result.rows) result.bytes += each.source.document.size();
    return built.emplace(row_count, std::move(result)).first->second;
}

void BM_GraphAndBlockedRows(benchmark::State& state) {
    const Input& data = input(static_cast<int>(state.range(0)));
    for (auto _ : state) {
        ambrel::dependency::WarningList warnings;
        auto graph = ambrel::app::build_dependency_graph(data.rows, std::nullopt, data.objects, warnings);
        auto blocked = ambrel::app::blocked_dependency_rows(data.rows, warnings);
        benchmark::DoNotOptimize(graph);
        benchmark::DoNotOptimize(blocked);
    }
    state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(data.bytes));
}
BENCHMARK(BM_GraphAndBlockedRows)->Arg(10'000)->Arg(20'000)->Unit(benchmark::kMillisecond);

// One pass of the pull reader over every row's document.
void BM_ReferenceXmlPass(benchmark::State& state) {
    const Input& data = input(static_cast<int>(state.range(0)));
    for (auto _ : state) {
        std::size_t events = 0;
        for (const ComponentDifference& each : data.rows) {
            ambrel::xml::Reader reader(each.source.document);
            while (true) {
                auto event = reader.next();
                if (!event || event->kind == ambrel::xml::EventKind::Eof) break;
                ++events;
            }
        }
        benchmark::DoNotOptimize(events);
    }
    state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(data.bytes));
}
BENCHMARK(BM_ReferenceXmlPass)->Arg(10'000)->Arg(20'000)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
