// Requested-row retention and the four comparison row policies over the 20,000 rows of one compare:
// custom objects with their fields (some objects added and only reachable through their fields),
// Apex classes in dependency chains, page layout element rows and a few profiles, each row carrying a
// document of about 1 KB. Each iteration runs retention with a requested selection of about half the
// rows, then the four policies, on a fresh copy of the rows and edges made outside the measurement
// (both operations change them in place). The reference is one pass copying the same rows. Target:
// retention and policies together cost no more than 3x the reference.

#include <benchmark/benchmark.h>

#include <cstddef>
#include <string>
#include <vector>

#include "app/compare_selection.hpp"
#include "app/row_policies.hpp"
#include "app/row_retention.hpp"
#include "domain/difference.hpp"
#include "metadata_types/metadata_type.hpp"

namespace {

using ambrel::app::CompareSelection;
using ambrel::app::RowKeyMap;
using ambrel::domain::ChangeKind;
using ambrel::domain::ComponentDifference;
using ambrel::domain::ComponentKey;
using ambrel::metadata_types::MetadataType;

constexpr std::size_t kRows = 20'000;
constexpr std::size_t kDocumentBytes = 1'000;

struct Compare {
    std::vector<ComponentDifference> rows;
    CompareSelection requested;
    RowKeyMap edges;
    std::size_t bytes = 0;
};

ComponentDifference make_row(MetadataType type, std::string name, ChangeKind change, std::string document) {
    ComponentDifference row;
    row.source.key = ComponentKey{type, std::move(name)};
    row.source.document = std::move(document);
    row.change = change;
    row.deployable = true;
    return row;
}

std::string document_of(const std::string& name) {
    std::string document =
        "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<Document xmlns=\"http://soap.sforce.com/2006/04/metadata\">\n";
    while (document.size() < kDocumentBytes) document += "    <label>" + name + "</label>\n";
    return document + "</Document>\n";
}

Compare build_compare() {
    Compare compare;
    const MetadataType profile = *ambrel::metadata_types::metadata_type_by_wire_id("Profile");
    std::size_t i = 0;
    while (compare.rows.size() < kRows) {
        const std::string n = std::to_string(i);
        switch (i % 8) {
            case 0: {
                // An added object with three fields; every second one is requested through its fields only.
                const std::string object = "Obj" + n + "__c";
                compare.rows.push_back(make_row(MetadataType::CustomObject, object, ChangeKind::Add, document_of(object)));
                for (int f = 0; f < 3; ++f) {
                    const std::string field = object + ".F" + std::to_string(f) + "__c";
                    compare.rows.push_back(make_row(MetadataType::CustomField, field, ChangeKind::Add, document_of(field)));
                }
                compare.requested[MetadataType::CustomField].insert(object);
                if (i % 16 == 0) compare.requested[MetadataType::CustomObject].insert(object);
                break;
            }
            case 1:
            case 2:
            case 3: {
                const std::string name = "Class" + n;
                ComponentDifference row = make_row(MetadataType::ApexClass, name, ChangeKind::Update, document_of(name));
                row.source.body = ambrel::domain::ComponentBody{"classes/" + name + ".cls", "public class " + name + " {}"};
                compare.rows.push_back(std::move(row));
                if (i % 2 == 1) compare.requested[MetadataType::ApexClass].insert(name);
                // Each class requires the previous class and a field of a nearby object.
                if (i > 8) {
                    compare.edges[ComponentKey{MetadataType::ApexClass, name}].insert(
                        ComponentKey{MetadataType::ApexClass, "Class" + std::to_string(i - 1)});
                    compare.edges[ComponentKey{MetadataType::ApexClass, name}].insert(ComponentKey{
                        MetadataType::CustomField, "Obj" + std::to_string((i / 8) * 8) + "__c.F0__c"});
                }
                break;
            }
            case 4: {
                const std::string layout = "Account-Layout" + n;
                compare.rows.push_back(make_row(MetadataType::Layout, layout + "::field:Name", ChangeKind::Update,
                                                document_of(layout)));
                compare.rows.push_back(make_row(MetadataType::Layout, layout + "::relatedList:Cases", ChangeKind::Update,
                                                document_of(layout)));
                compare.requested[MetadataType::Layout].insert(layout);
                break;
            }
            case 5:
                compare.rows.push_back(make_row(MetadataType::CustomObject, "Standard" + n, ChangeKind::Update,
                                                document_of("Standard" + n)));
                break;
            case 6:
                if (i % 100 == 6) {
                    compare.rows.push_back(make_row(profile, "Profile" + n, ChangeKind::Add,
                                                    "<Profile xmlns=\"http://soap.sforce.com/2006/04/metadata\">"
                                                    "<custom>true</custom></Profile>"));
                } else {
                    compare.rows.push_back(make_row(MetadataType::Flow, "Flow" + n, ChangeKind::Add, document_of(n)));
                    compare.requested[MetadataType::Flow].insert("Flow" + n);
                }
                break;
            default:
                compare.rows.push_back(make_row(MetadataType::ApexTrigger, "Trigger" + n, ChangeKind::Add, document_of(n)));
                break;
        }
        ++i;
    }
    compare.rows.resize(kRows);
    for (const ComponentDifference& row : compare.rows) {
        compare.bytes += row.source.document.size() + (row.source.body ? row.source.body->text.size() : 0);
    }
    return compare;
}

const Compare& compare_fixture() {
    static const Compare compare = build_compare();
    return compare;
}

void BM_RetentionAndPolicies(benchmark::State& state) {
    const Compare& compare = compare_fixture();
    for (auto _ : state) {
        // The inputs are copied outside the measurement: both operations change them in place.
        state.PauseTiming();
        std::vector<ComponentDifference> rows = compare.rows;
        RowKeyMap edges = compare.edges;
        state.ResumeTiming();
        ambrel::app::UnresolvedMap unresolved;
        ambrel::app::retain_requested_rows(rows, compare.requested, edges, unresolved, {});
        ambrel::app::apply_object_definition_policy(rows);
        ambrel::app::apply_standard_profile_policy(rows);
        ambrel::app::apply_field_unblock_policy(rows);
        ambrel::app::apply_path_safety_policy(rows, ambrel::metadata_types::LayoutComparisonMode::Elements);
        benchmark::DoNotOptimize(rows.data());
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * compare.bytes));
}

void BM_ReferenceCopyRows(benchmark::State& state) {
    const Compare& compare = compare_fixture();
    for (auto _ : state) {
        std::vector<ComponentDifference> rows = compare.rows;
        benchmark::DoNotOptimize(rows.data());
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * compare.bytes));
}

BENCHMARK(BM_RetentionAndPolicies)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ReferenceCopyRows)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
