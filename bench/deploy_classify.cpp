// Reading a deploy answer with 10,000 component failures over 10,000 requested components: the
// classification that ties every failure to its component, then the mapping to 10,000 row results,
// against parsing the same answer with our JSON reader (the reference). Target: classification and
// mapping together cost no more than 3x the parse.

#include <benchmark/benchmark.h>

#include <string>
#include <vector>

#include <fmt/format.h>

#include "cli/gateway.hpp"
#include "deployment/deploy_gateway/gateway.hpp"
#include "deployment/single_package/results.hpp"
#include "json/json.hpp"
#include "metadata_types/metadata_type.hpp"
#include "process/process_runner.hpp"

namespace {

namespace dg = ambrel::deployment::deploy_gateway;
namespace sp = ambrel::deployment::single_package;
using ambrel::metadata_types::MetadataType;

constexpr int kComponents = 10000;

const std::string& answer_text() {
    static const std::string text = [] {
        std::string failures;
        for (int i = 0; i < kComponents; ++i) {
            const bool field = i % 2 == 0;
            if (i != 0) failures += ',';
            failures += field ? fmt::format(R"({{"componentType":"CustomField","fullName":"Obj{0}__c.Field{0}__c",)"
                                            R"("fileName":"objects/Obj{0}__c/fields/Field{0}__c.field-meta.xml",)"
                                            R"("problem":"Field {0} refers to a missing object","lineNumber":3}})",
                                            i)
                              : fmt::format(R"({{"componentType":"ApexClass","fullName":"Class{0}",)"
                                            R"("fileName":"classes/Class{0}.cls","problem":"Variable does not exist: x{0}"}})",
                                            i);
        }
        return fmt::format(R"({{"status":1,"result":{{"done":true,"status":"Failed","success":false,"id":"0Af000000000001AAA",)"
                           R"("numberTestsTotal":0,"numberComponentsDeployed":0,"details":{{"componentFailures":[{}]}}}}}})",
                           failures);
    }();
    return text;
}

const std::vector<ambrel::domain::ComponentDifference>& rows() {
    static const std::vector<ambrel::domain::ComponentDifference> all = [] {
        std::vector<ambrel::domain::ComponentDifference> out(kComponents);
        for (int i = 0; i < kComponents; ++i) {
            out[i].source.key = i % 2 == 0 ? ambrel::domain::ComponentKey{MetadataType::CustomField,
                                                                            fmt::format("Obj{0}__c.Field{0}__c", i)}
                                           : ambrel::domain::ComponentKey{MetadataType::ApexClass, fmt::format("Class{}", i)};
            out[i].deployable = true;
        }
        return out;
    }();
    return all;
}

void BM_ParseAnswerReference(benchmark::State& state) {
    for (auto _ : state) {
        auto value = ambrel::json::parse(answer_text());
        benchmark::DoNotOptimize(value);
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * answer_text().size()));
}
BENCHMARK(BM_ParseAnswerReference)->Unit(benchmark::kMillisecond);

void BM_ClassifyAndMap(benchmark::State& state) {
    dg::RequestedComponents requested;
    std::vector<const ambrel::domain::ComponentDifference*> packaged;
    for (const auto& row : rows()) {
        requested.insert(sp::expected_metadata_key(row));
        packaged.push_back(&row);
    }
    dg::SfCliMetadataDeployGateway gateway(
        {}, std::make_shared<ambrel::cli::SfCliGateway>("sf", std::make_unique<ambrel::process::DefaultProcessRunner>()));
    for (auto _ : state) {
        ambrel::cli::CliJsonResult answer;
        answer.json = *ambrel::json::parse(answer_text());
        answer.exit_code = 1;
        const auto response = gateway.classify(answer, requested);
        const auto& result = std::get<dg::MetadataDeployResult>(response.value);
        auto mapped = sp::map_metadata_results(packaged, result, ambrel::domain::DeployMode::BestEffort);
        benchmark::DoNotOptimize(mapped);
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * answer_text().size()));
}
BENCHMARK(BM_ClassifyAndMap)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
