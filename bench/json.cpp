// JSON reading and writing on a large CLI-like document: an `sf data query --json` answer with 5,000
// records, built here. Our parse and writers beside Boost.JSON's own parse and serializer (the
// references). Target: our compact writer costs no more than 1.5x Boost's serializer.

#include <benchmark/benchmark.h>

#include <string>

#include <boost/json/parse.hpp>
#include <boost/json/serialize.hpp>

#include "json/json.hpp"

namespace {

namespace bj = boost::json;

// An answer of `sf data query --json` for 5,000 Account records, with the kinds a real one holds:
// attributes objects, ids, texts with non-ASCII characters and escapes, integers, doubles, booleans
// and nulls.
const bj::value& query_answer() {
    static const bj::value answer = [] {
        bj::array records;
        records.reserve(5000);
        for (int i = 0; i < 5000; ++i) {
            const std::string id = "001Ki00000" + std::to_string(1000000 + i) + "AAB";
            bj::object record;
            record["attributes"] = bj::object{{"type", "Account"}, {"url", "/services/data/v65.0/sobjects/Account/" + id}};
            record["Id"] = id;
            record["Name"] = "Compte n\u00b0" + std::to_string(i) + " \u2014 Soci\u00e9t\u00e9 G\u00e9n\u00e9rale";
            record["AccountNumber"] = "CD" + std::to_string(355000 + i * 7);
            record["Description"] = "Line one of the \"description\"\nLine two\twith a tab; path C:\\\\data";
            record["AnnualRevenue"] = 1250000.75 + i * 13.1;
            record["NumberOfEmployees"] = 120 + i;
            record["Rating"] = i % 3 == 0 ? bj::value("Hot") : bj::value(nullptr);
            record["IsDeleted"] = false;
            record["Probability"] = (i % 10) / 10.0;
            record["CreatedDate"] = "2024-03-1" + std::to_string(i % 10) + "T08:15:30.000+0000";
            record["Owner"] = bj::object{{"attributes", bj::object{{"type", "User"}, {"url", "/services/data/v65.0/sobjects/User/005Ki000001"}}},
                                         {"Name", "J\u00fcrgen M\u00fcller"}};
            records.emplace_back(std::move(record));
        }
        bj::object result;
        result["records"] = std::move(records);
        result["totalSize"] = 5000;
        result["done"] = true;
        bj::object root;
        root["status"] = 0;
        root["result"] = std::move(result);
        root["warnings"] = bj::array();
        return bj::value(std::move(root));
    }();
    return answer;
}

const std::string& query_text() {
    static const std::string text = ambrel::json::write_compact(query_answer());
    return text;
}

void BM_Parse(benchmark::State& state) {
    const std::string& text = query_text();
    for (auto _ : state) {
        auto value = ambrel::json::parse(text);
        benchmark::DoNotOptimize(value);
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * static_cast<std::int64_t>(text.size()));
}
BENCHMARK(BM_Parse)->Unit(benchmark::kMillisecond);

void BM_ReferenceBoostParse(benchmark::State& state) {
    const std::string& text = query_text();
    for (auto _ : state) {
        auto value = bj::parse(text);
        benchmark::DoNotOptimize(value);
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * static_cast<std::int64_t>(text.size()));
}
BENCHMARK(BM_ReferenceBoostParse)->Unit(benchmark::kMillisecond);

void BM_WriteCompact(benchmark::State& state) {
    const bj::value& value = query_answer();
    std::size_t bytes = 0;
    for (auto _ : state) {
        std::string out = ambrel::json::write_compact(value);
        bytes = out.size();
        benchmark::DoNotOptimize(out);
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * static_cast<std::int64_t>(bytes));
}
BENCHMARK(BM_WriteCompact)->Unit(benchmark::kMillisecond);

void BM_WritePretty(benchmark::State& state) {
    const bj::value& value = query_answer();
    std::size_t bytes = 0;
    for (auto _ : state) {
        std::string out = ambrel::json::write_pretty(value);
        bytes = out.size();
        benchmark::DoNotOptimize(out);
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * static_cast<std::int64_t>(bytes));
}
BENCHMARK(BM_WritePretty)->Unit(benchmark::kMillisecond);

void BM_ReferenceBoostSerialize(benchmark::State& state) {
    const bj::value& value = query_answer();
    std::size_t bytes = 0;
    for (auto _ : state) {
        std::string out = bj::serialize(value);
        bytes = out.size();
        benchmark::DoNotOptimize(out);
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * static_cast<std::int64_t>(bytes));
}
BENCHMARK(BM_ReferenceBoostSerialize)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
