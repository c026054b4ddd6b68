// Dependency discovery over a real SfCliGateway whose runner answers by argv: the replayed answers
// of the CLI, chunks and waves, the row cap, wrong shapes, failures and cancellation.

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <mutex>
#include <sstream>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include <fmt/format.h>
#include <gtest/gtest.h>

#include "cli/gateway.hpp"
#include "dependency/dependency_catalog.hpp"
#include "dependency/id_index.hpp"
#include "domain/cancellation.hpp"
#include "metadata_types/metadata_type.hpp"
#include "progress/progress.hpp"
#include "fakes/fake_sf.hpp"
#include "process/process_runner.hpp"
#include "support/doubles.hpp"
#include "support/programming_error.hpp"
#include "support/test_paths.hpp"

namespace ambrel::dependency {
namespace {

using namespace std::chrono_literals;
using domain::ComponentKey;
using metadata_types::MetadataType;
using Outcome = std::expected<process::ProcessOutput, process::ProcessError>;

constexpr std::string_view kDependencySoql = "FROM MetadataComponentDependency WHERE MetadataComponentId IN ";
constexpr std::string_view kEntityByName = "FROM EntityDefinition WHERE QualifiedApiName IN ";
constexpr std::string_view kFieldsOfObjects = "FROM CustomField WHERE TableEnumOrId IN ";
constexpr std::string_view kFieldsById = "FROM CustomField WHERE Id IN ";
constexpr std::string_view kEntityByDurableId = "FROM EntityDefinition WHERE DurableId IN ";

std::string read_file(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    EXPECT_TRUE(in.good()) << path;
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// A replayed answer of the CLI kept beside the tests.
Outcome capture(std::string_view name) {
    const auto base = testing::tests_dir() / "fixtures" / "sf-cli";
    const auto folder = std::filesystem::exists(base / "standin" / fmt::format("{}.out", name)) ? base / "standin" : base;
    const std::string rc = read_file(folder / fmt::format("{}.rc", name));
    return testing::ScriptedRunner::output(read_file(folder / fmt::format("{}.out", name)), std::stoi(rc),
                                           read_file(folder / fmt::format("{}.err", name)));
}

Outcome answer(std::string_view json_text) { return testing::ScriptedRunner::output(std::string{json_text}); }

// {"status":0,"result":{"records":[...],"totalSize":N}} from record texts.
Outcome records_answer(const std::vector<std::string>& records, std::optional<std::string> total = std::nullopt) {
    return answer(fmt::format(R"({{"status":0,"result":{{"records":[{}],"totalSize":{}}}}})",
                              fmt::join(records, ","), total.value_or(std::to_string(records.size()))));
}

std::string soql_of(const std::vector<std::string>& arguments) {
    const auto at = std::find(arguments.begin(), arguments.end(), "--query");
    return at == arguments.end() || at + 1 == arguments.end() ? std::string{} : *(at + 1);
}

bool is_query(const std::vector<std::string>& arguments, std::string_view fragment) {
    return soql_of(arguments).find(fragment) != std::string::npos;
}

// The values quoted inside the query's parentheses.
std::vector<std::string> values_of(const std::vector<std::string>& arguments) {
    const std::string soql = soql_of(arguments);
    std::vector<std::string> values;
    std::size_t at = soql.find('(');
    while ((at = soql.find('\'', at)) != std::string::npos) {
        const std::size_t end = soql.find('\'', at + 1);
        values.push_back(soql.substr(at + 1, end - at - 1));
        at = end + 1;
    }
    return values;
}

// Answers by argv, records every call and the most calls in flight at once.
class ArgvRunner final : public process::ProcessRunner {
public:
    using Answer = std::function<Outcome(const std::vector<std::string>&, const domain::CancellationToken&)>;
    struct State {
        std::mutex mutex;
        Answer answer;
        std::vector<std::vector<std::string>> calls;
        std::vector<std::optional<std::filesystem::path>> directories;
        std::vector<std::vector<process::EnvironmentPair>> environments;
        std::atomic<int> in_flight{0};
        std::atomic<int> most_in_flight{0};
    };
    explicit ArgvRunner(std::shared_ptr<State> state) : state_(std::move(state)) {}

    Outcome run(const std::vector<std::string>& arguments, const std::optional<std::filesystem::path>& directory,
                std::chrono::milliseconds timeout, const domain::CancellationToken& token) const override {
        return run_with_env(arguments, directory, timeout, token, {});
    }
    Outcome run_with_env(const std::vector<std::string>& arguments,
                         const std::optional<std::filesystem::path>& directory, std::chrono::milliseconds,
                         const domain::CancellationToken& token,
                         const std::vector<process::EnvironmentPair>& environment) const override {
        const int now = ++state_->in_flight;
        int most = state_->most_in_flight.load();
        while (now > most && !state_->most_in_flight.compare_exchange_weak(most, now)) {
        }
        Answer answer;
        {
            const std::lock_guard lock(state_->mutex);
            state_->calls.push_back(arguments);
            state_->directories.push_back(directory);
            state_->environments.push_back(environment);
            answer = state_->answer;
        }
        Outcome outcome = answer(arguments, token);
        --state_->in_flight;
        return outcome;
    }

private:
    std::shared_ptr<State> state_;
};

class RecordingReporter final : public progress::ProgressReporter {
public:
    void report(progress::ProgressEvent event) override {
        const std::lock_guard lock(mutex_);
        events_.push_back(std::move(event));
    }
    std::vector<progress::ProgressEvent> events(progress::ProgressStage stage) const {
        const std::lock_guard lock(mutex_);
        std::vector<progress::ProgressEvent> chosen;
        for (const auto& event : events_) {
            if (event.stage == stage) chosen.push_back(event);
        }
        return chosen;
    }
    std::size_t size() const {
        const std::lock_guard lock(mutex_);
        return events_.size();
    }

private:
    mutable std::mutex mutex_;
    std::vector<progress::ProgressEvent> events_;
};

struct Harness {
    std::shared_ptr<ArgvRunner::State> state = std::make_shared<ArgvRunner::State>();
    cli::SfCliGateway gateway{"sf", std::make_unique<ArgvRunner>(state)};
    std::shared_ptr<RecordingReporter> reporter = std::make_shared<RecordingReporter>();
    DependencyCatalog catalog = make_catalog();

    explicit Harness(ArgvRunner::Answer answer) { state->answer = std::move(answer); }

    DependencyCatalog make_catalog() {
        auto sink = progress::ProgressSink::create(reporter);
        sink->set_operation_id(1);
        return DependencyCatalog(gateway, 120s).with_progress(sink);
    }
    std::vector<std::vector<std::string>> calls_matching(std::string_view fragment) const {
        const std::lock_guard lock(state->mutex);
        std::vector<std::vector<std::string>> chosen;
        for (const auto& call : state->calls) {
            if (is_query(call, fragment)) chosen.push_back(call);
        }
        return chosen;
    }
    std::size_t call_count() const {
        const std::lock_guard lock(state->mutex);
        return state->calls.size();
    }
};

// Apex classes C0000… listed with ids 01p0000000C0000…; dependency queries answered by `dependencies`.
Harness listed_classes_harness(std::function<Outcome(const std::vector<std::string>&)> dependencies) {
    return Harness([dependencies](const std::vector<std::string>& arguments, const domain::CancellationToken&) {
        if (std::find(arguments.begin(), arguments.end(), "--metadata-type") != arguments.end()) {
            std::vector<std::string> entries;
            for (int i = 0; i < 1000; ++i) {
                entries.push_back(fmt::format(R"({{"fullName":"C{:04}","id":"01p00000000{:04}AAA"}})", i, i));
            }
            return answer(fmt::format(R"({{"status":0,"result":[{}]}})", fmt::join(entries, ",")));
        }
        return dependencies(arguments);
    });
}

std::vector<ComponentKey> classes(int count) {
    std::vector<ComponentKey> keys;
    for (int i = 0; i < count; ++i) keys.push_back({MetadataType::ApexClass, fmt::format("C{:04}", i)});
    return keys;
}

DependencyGraph graph_of(const std::expected<DiscoveryOutcome, cli::CatalogError>& outcome) {
    EXPECT_TRUE(outcome.has_value()) << (outcome ? "" : outcome.error().message());
    if (!outcome) return {};
    const auto* graph = std::get_if<DependencyGraph>(&*outcome);
    EXPECT_NE(graph, nullptr) << (graph ? "" : std::get<std::string>(*outcome));
    return graph ? *graph : DependencyGraph{};
}

std::string disabled_of(const std::expected<DiscoveryOutcome, cli::CatalogError>& outcome) {
    EXPECT_TRUE(outcome.has_value()) << (outcome ? "" : outcome.error().message());
    if (!outcome) return {};
    const auto* text = std::get_if<std::string>(&*outcome);
    EXPECT_NE(text, nullptr);
    return text ? *text : std::string{};
}

TEST(DependencyDiscovery, AnEmptySelectionRunsNothing) {
    Harness harness([](const auto&, const auto&) { return answer("{}"); });
    const auto outcome = harness.catalog.discover("org", {}, domain::NeverCancelled{});
    EXPECT_EQ(graph_of(outcome), DependencyGraph{});
    EXPECT_EQ(harness.call_count(), 0u);
    EXPECT_EQ(harness.reporter->size(), 0u);
}

TEST(DependencyDiscovery, ABlankAliasIsAProgrammingError) {
    Harness harness([](const auto&, const auto&) { return answer("{}"); });
    const std::vector keys{ComponentKey{MetadataType::ApexClass, "A"}};
    try {
        (void)harness.catalog.discover(" \t", keys, domain::NeverCancelled{});
        FAIL() << "no error";
    } catch (const support::ProgrammingError& error) {
        EXPECT_STREQ(error.what(), "Source alias must not be blank");
    }
}

TEST(DependencyDiscovery, ReplayedAnswersBuildTheGraph) {
    Harness harness([](const std::vector<std::string>& arguments, const domain::CancellationToken&) {
        if (std::find(arguments.begin(), arguments.end(), "--metadata-type") != arguments.end()) {
            return capture("listmeta_apexclass");
        }
        if (is_query(arguments, kEntityByName)) return capture("qt_entity_ids");
        if (is_query(arguments, kFieldsOfObjects)) return capture("qt_customfield");
        if (is_query(arguments, kDependencySoql)) return capture("qt_mcd");
        if (is_query(arguments, kFieldsById)) return capture("qt_cf_ids");
        if (is_query(arguments, kEntityByDurableId)) return capture("qt_entity_durable");
        return capture("listmeta_empty");
    });
    const std::vector keys{ComponentKey{MetadataType::ApexClass, "PropertyController"},
                           ComponentKey{MetadataType::CustomField, "Property__c.Address__c"},
                           ComponentKey{MetadataType::CustomObject, "Broker__c"},
                           ComponentKey{MetadataType::ApexClass, "Unknown"}};
    const DependencyGraph graph = graph_of(harness.catalog.discover("dana", keys, domain::NeverCancelled{}));

    DependencyGraph expected;
    expected.edges[{MetadataType::ApexClass, "PropertyController"}] = {
        {MetadataType::ApexClass, "PagedResult"}, {MetadataType::CustomObject, "Property__c"}};
    EXPECT_EQ(graph, expected);

    const auto entity = harness.calls_matching(kEntityByName);
    ASSERT_EQ(entity.size(), 1u);
    EXPECT_EQ(entity[0], (std::vector<std::string>{"sf",
                             "data", "query", "--query",
                             "SELECT DurableId, QualifiedApiName FROM EntityDefinition WHERE QualifiedApiName IN "
                             "('Broker__c', 'Property__c')",
                             "--use-tooling-api", "--target-org", "dana", "--json"}));
    const auto fields = harness.calls_matching(kFieldsOfObjects);
    ASSERT_EQ(fields.size(), 1u);
    EXPECT_EQ(soql_of(fields[0]), "SELECT Id, DeveloperName, TableEnumOrId, NamespacePrefix FROM CustomField WHERE "
                                  "TableEnumOrId IN ('01I000EvsmfMgDi')");
    const auto dependencies = harness.calls_matching(kDependencySoql);
    ASSERT_EQ(dependencies.size(), 1u);
    // The ids of PropertyController, Property__c.Address__c and Broker__c, in selection order.
    EXPECT_EQ(values_of(dependencies[0]),
              (std::vector<std::string>{"01p000J6jcOiY4k", "00N0003N4itpW7x", "01I000EiECQyqBE"}));
    // Every reference was known: no referenced-field or referenced-object query.
    EXPECT_TRUE(harness.calls_matching(kFieldsById).empty());
    EXPECT_TRUE(harness.calls_matching(kEntityByDurableId).empty());
    {
        const std::lock_guard lock(harness.state->mutex);
        for (std::size_t at = 0; at < harness.state->calls.size(); ++at) {
            EXPECT_FALSE(harness.state->directories[at].has_value());
            // Only the gateway's fixed variables: nothing of the catalogue's own.
            for (const auto& [name, value] : harness.state->environments[at]) {
                EXPECT_TRUE(name.starts_with("SF_") || name == "FORCE_COLOR") << name;
            }
        }
        const auto listing = std::find_if(harness.state->calls.begin(), harness.state->calls.end(), [](const auto& c) {
            return std::find(c.begin(), c.end(), "--metadata-type") != c.end();
        });
        ASSERT_NE(listing, harness.state->calls.end());
        EXPECT_EQ(*listing, (std::vector<std::string>{"sf", "org", "list", "metadata", "--metadata-type", "ApexClass",
                                                      "--target-org", "dana", "--json"}));
    }
    // Three id chunks announced (objects, field objects, one type), all finished.
    const auto resolving = harness.reporter->events(progress::ProgressStage::ResolvingDependencyIds);
    ASSERT_EQ(resolving.size(), 3u);
    EXPECT_EQ(resolving.back().current, 3u);
    EXPECT_EQ(resolving.back().total, 3u);
    EXPECT_EQ(harness.catalog.id_chunks(), (IdChunkCount{3, 3}));
}

TEST(DependencyDiscovery, ChunksRunInWavesOfAtMostFour) {
    struct Case {
        int ids;
        std::size_t queries;
        std::vector<std::uint32_t> totals;
    };
    const Case cases[] = {{201, 2, {2, 2}}, {1000, 5, {5, 5, 5, 5, 5}}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.ids);
        Harness harness = listed_classes_harness([](const auto&) { return records_answer({}); });
        const auto keys = classes(c.ids);
        EXPECT_EQ(graph_of(harness.catalog.discover("org", keys, domain::NeverCancelled{})), DependencyGraph{});
        const auto queries = harness.calls_matching(kDependencySoql);
        EXPECT_EQ(queries.size(), c.queries);
        std::size_t values = 0;
        for (const auto& query : queries) {
            EXPECT_LE(values_of(query).size(), 200u);
            values += values_of(query).size();
        }
        EXPECT_EQ(values, static_cast<std::size_t>(c.ids));
        EXPECT_LE(harness.state->most_in_flight.load(), 4);
        std::vector<std::uint32_t> totals;
        for (const auto& event : harness.reporter->events(progress::ProgressStage::QueryingDependencies)) {
            totals.push_back(event.total.value_or(0));
        }
        EXPECT_EQ(totals, c.totals);
    }
}

TEST(DependencyDiscovery, ACappedChunkIsQueriedAgainAsItsTwoHalves) {
    struct Case {
        std::string_view name;
        std::string total;
        std::size_t records;
        bool capped;
    };
    const Case cases[] = {
        {"count at the cap", "2000", 0, true},
        {"true total beside the capped records", "2345", 2000, true},
        {"one below", "1999", 0, false},
        {"one above", "2001", 0, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Harness harness = listed_classes_harness([&](const std::vector<std::string>& arguments) {
            if (values_of(arguments).size() != 200) return records_answer({});
            std::vector<std::string> records(c.records, R"({"MetadataComponentId":"01p000000000000AAA",)"
                                                        R"("RefMetadataComponentId":"01p000000000001AAA",)"
                                                        R"("RefMetadataComponentType":"ApexClass",)"
                                                        R"("RefMetadataComponentName":"C0001"})");
            return records_answer(records, c.total);
        });
        const auto keys = classes(200);
        const DependencyGraph graph = graph_of(harness.catalog.discover("org", keys, domain::NeverCancelled{}));
        const auto queries = harness.calls_matching(kDependencySoql);
        std::vector<std::uint32_t> totals;
        for (const auto& event : harness.reporter->events(progress::ProgressStage::QueryingDependencies)) {
            totals.push_back(event.total.value_or(0));
        }
        if (c.capped) {
            ASSERT_EQ(queries.size(), 3u);
            EXPECT_EQ(values_of(queries[1]).size(), 100u);
            EXPECT_EQ(values_of(queries[2]).size(), 100u);
            // The halves run on parallel workers, so either may reach the CLI first.
            std::set<std::string> firsts{values_of(queries[1]).front(), values_of(queries[2]).front()};
            EXPECT_EQ(firsts, (std::set<std::string>{"01p000000000000", "01p000000000100"}));
            EXPECT_EQ(totals, (std::vector<std::uint32_t>{1, 3, 3}));
            // The capped chunk's rows were dropped.
            EXPECT_TRUE(graph.edges.empty());
        } else {
            EXPECT_EQ(queries.size(), 1u);
        }
    }
}

TEST(DependencyDiscovery, ASingleCappedIdKeepsItsRowsAndWarnsOnce) {
    Harness harness = listed_classes_harness([](const std::vector<std::string>&) {
        return records_answer({R"({"MetadataComponentId":"01p000000000000AAA","RefMetadataComponentId":"x",)"
                               R"("RefMetadataComponentType":"ApexClass","RefMetadataComponentName":"Other"})"},
                              "2000");
    });
    const auto keys = classes(1);
    const DependencyGraph graph = graph_of(harness.catalog.discover("org", keys, domain::NeverCancelled{}));
    EXPECT_EQ(graph.warnings,
              (WarningList{"Dependency list for C0000 may be incomplete: the API returned the 2000-row cap."}));
    EXPECT_EQ(graph.edges.at({MetadataType::ApexClass, "C0000"}),
              (std::set<ComponentKey>{{MetadataType::ApexClass, "Other"}}));
}

TEST(DependencyDiscovery, ReferenceRowsBecomeEdgesUnresolvedEntriesOrNothing) {
    std::vector<std::string> records;
    const auto record = [&](std::string_view type, std::string_view name, std::string_view extra = "",
                            std::string_view ref_id = "01p00000000ZZZZ") {
        records.push_back(fmt::format(R"({{"MetadataComponentId":"01p000000000000AAA","RefMetadataComponentId":"{}",)"
                                      R"("RefMetadataComponentType":"{}","RefMetadataComponentName":"{}"{}}})",
                                      ref_id, type, name, extra));
    };
    record("ApexClass", "MyService", "", "01p0000000AAAA1");
    record("ApexClass", "ns__Service", "", "01p0000000AAAA2");
    record("ApexClass", "Packaged", R"(,"RefMetadataComponentNamespace":"ns")", "01p0000000AAAA3");
    record("ApexClass", "C0000", "", "01p000000000000");  // itself
    record("Flow", "2nd-Flow", "", "3010000000AAAA1");
    record("Flow", "2nd-Flow", "", "3010000000AAAA2");  // the same reference again
    record("Flow", "Main_Flow", "", "3010000000AAAA3");
    record("CustomField", "Unknown", "", "00N0000000AAAA1");
    record("StaticResource", "Logo", "", "0810000000AAAA1");
    for (int i = 0; i < 23; ++i) record("Flow", fmt::format("{}bad", i), "", fmt::format("30100000000B{:03}", i));
    Harness harness = listed_classes_harness([&](const std::vector<std::string>& arguments) {
        if (is_query(arguments, kDependencySoql)) return records_answer(records);
        return records_answer({});
    });
    const auto keys = classes(1);
    const DependencyGraph graph = graph_of(harness.catalog.discover("org", keys, domain::NeverCancelled{}));
    const ComponentKey source{MetadataType::ApexClass, "C0000"};
    EXPECT_EQ(graph.edges.at(source), (std::set<ComponentKey>{{MetadataType::ApexClass, "MyService"},
                                                              {MetadataType::Flow, "Main_Flow"}}));
    const auto& unresolved = graph.unresolved.at(source);
    ASSERT_EQ(unresolved.size(), 21u);
    // Rows are sorted: the 23 numbered flows sort before "2nd-Flow".
    EXPECT_EQ(unresolved[0].reference, "Flow 0bad");
    EXPECT_EQ(unresolved[0].message, "Flow 0bad: could not be matched automatically; make sure it exists in the "
                                     "target org or select it manually.");
    EXPECT_EQ(unresolved[20], (UnresolvedDependency{"", "... and 4 more"}));
    // The one CustomField reference the org does not know asked for the field once.
    EXPECT_EQ(harness.calls_matching(kFieldsById).size(), 1u);
}

TEST(DependencyDiscovery, FailuresDisableAutoSelection) {
    struct Case {
        std::string_view name;
        Outcome outcome;
        std::string expected_start;
    };
    const std::string invalid = "Dependency auto-selection is disabled: Salesforce CLI dependency query command "
                                "returned an invalid response: ";
    const std::string guidance = " Verify the selected Salesforce org is authenticated and retry the comparison.";
    const Case cases[] = {
        {"unknown alias", capture("tooling"),
         "Dependency auto-selection is disabled: Salesforce CLI dependency query command failed (exit code 2"},
        {"result missing", answer(R"({"status":0})"), invalid + "result is missing or is not an object." + guidance},
        {"result an array", answer(R"({"status":0,"result":[]})"),
         invalid + "result is missing or is not an object." + guidance},
        {"records not an array", answer(R"({"status":0,"result":{"records":{}}})"),
         invalid + "result.records is missing or is not an array." + guidance},
        {"noise without JSON", testing::ScriptedRunner::output("", 0, "boom"),
         "Dependency auto-selection is disabled: "},
        {"time-out", testing::ScriptedRunner::output("", 1, "", true), "Dependency auto-selection is disabled: "},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Harness harness([&](const auto&, const auto&) { return c.outcome; });
        const std::vector keys{ComponentKey{MetadataType::CustomObject, "Broker__c"}};
        const std::string text = disabled_of(harness.catalog.discover("nosuch", keys, domain::NeverCancelled{}));
        EXPECT_TRUE(text.starts_with(c.expected_start)) << text;
        if (c.name == "unknown alias") {
            EXPECT_NE(text.find("No authorization information found for nosuch"), std::string::npos) << text;
        }
    }
}

TEST(DependencyDiscovery, AQuoteOrBackslashInAValueEndsInTheWorkersPanic) {
    for (const std::string_view name : {"Bad'Name__c", "Bad\\Name__c"}) {
        SCOPED_TRACE(name);
        Harness harness([](const auto&, const auto&) { return records_answer({}); });
        const std::vector keys{ComponentKey{MetadataType::CustomObject, std::string{name}}};
        EXPECT_EQ(disabled_of(harness.catalog.discover("org", keys, domain::NeverCancelled{})),
                  "Dependency auto-selection is disabled: a dependency query worker panicked");
        EXPECT_EQ(harness.call_count(), 0u);
    }
}

TEST(DependencyDiscovery, ACancellationBetweenWavesIsReturnedAsTheError) {
    testing::TestToken token;
    std::atomic<int> dependency_queries{0};
    Harness harness = listed_classes_harness([&](const std::vector<std::string>& arguments) {
        if (is_query(arguments, kDependencySoql) && ++dependency_queries == 4) token.cancel();
        return records_answer({});
    });
    const auto keys = classes(1000);
    const auto outcome = harness.catalog.discover("org", keys, token);
    ASSERT_FALSE(outcome.has_value());
    EXPECT_TRUE(outcome.error().is_cancelled()) << outcome.error().message();
    EXPECT_EQ(harness.calls_matching(kDependencySoql).size(), 4u);
}

TEST(DependencyDiscovery, RunsTheFakeSfAsAChild) {
    using testing::fake_sf::Answer;
    using testing::fake_sf::Scenario;
    testing::fake_sf::FakeSf fake;
    fake.write(Scenario()
                   .orgs({"dana"})
                   .on_contains({"--metadata-type", "ApexClass"}, Answer::capture("standin/listmeta_apexclass"))
                   .on_contains({"SELECT MetadataComponentId, MetadataComponentType, MetadataComponentName, "
                                 "RefMetadataComponentId, RefMetadataComponentType, RefMetadataComponentName, "
                                 "RefMetadataComponentNamespace FROM MetadataComponentDependency WHERE "
                                 "MetadataComponentId IN ('01p000J6jcOiY4k')"},
                                Answer::capture("standin/qt_mcd"))
                   .on_prefix({"data", "query"}, Answer().out(R"({"status":0,"result":{"records":[],"totalSize":0}})")));
    const testing::fake_sf::ScopedFakeSf installed(fake);
    const cli::SfCliGateway gateway(testing::fake_sf::executable().string(),
                                    std::make_unique<process::DefaultProcessRunner>());
    const DependencyCatalog catalog(gateway, 60s);
    const std::vector keys{ComponentKey{MetadataType::ApexClass, "PropertyController"}};
    const DependencyGraph graph = graph_of(catalog.discover("dana", keys, domain::NeverCancelled{}));
    // The referenced object id is unknown to the org's answers here: only the class edge remains.
    DependencyGraph expected;
    expected.edges[keys[0]] = {{MetadataType::ApexClass, "PagedResult"}};
    EXPECT_EQ(graph, expected);
    EXPECT_EQ(fake.calls().size(), 3u);

    const std::vector unknown{ComponentKey{MetadataType::ApexClass, "PropertyController"}};
    const std::string text = disabled_of(catalog.discover("nosuch", unknown, domain::NeverCancelled{}));
    EXPECT_TRUE(text.starts_with("Dependency auto-selection is disabled: Salesforce CLI dependency listing command "
                                 "failed (exit code 2"))
        << text;
    EXPECT_NE(text.find("NamedOrgNotFoundError"), std::string::npos) << text;
}

TEST(DependencyDiscovery, ACommandCancelledWhileItRunsIsReturnedAsTheError) {
    testing::TestToken token;
    Harness harness([&](const auto&, const auto&) -> Outcome {
        token.cancel();
        return std::unexpected(process::ProcessError{process::ProcessError::Kind::Cancelled, {}});
    });
    const std::vector keys{ComponentKey{MetadataType::CustomObject, "Broker__c"}};
    const auto outcome = harness.catalog.discover("org", keys, token);
    ASSERT_FALSE(outcome.has_value());
    EXPECT_TRUE(outcome.error().is_cancelled()) << outcome.error().message();
}

TEST(DependencyDiscovery, ARecordDataKeyIsAProgrammingError) {
    Harness harness([](const auto&, const auto&) { return records_answer({}); });
    const std::vector keys{ComponentKey{MetadataType::DataRecord(0), "Product2"}};
    EXPECT_THROW((void)harness.catalog.discover("org", keys, domain::NeverCancelled{}), support::ProgrammingError);
    EXPECT_EQ(harness.call_count(), 0u);
}

TEST(ListMetadata, AWarningBesideAnEmptyListingIsNoFailure) {
    Harness harness([](const auto&, const auto&) { return capture("listmeta_empty"); });
    const auto listing = harness.catalog.list_metadata("dana", MetadataType::ApexClass, domain::NeverCancelled{});
    ASSERT_TRUE(listing.has_value()) << listing.error().message();
    EXPECT_TRUE(listing->empty());
    Harness wrong([](const auto&, const auto&) { return answer(R"({"status":0,"result":{}})"); });
    const auto refused = wrong.catalog.list_metadata("dana", MetadataType::ApexClass, domain::NeverCancelled{});
    ASSERT_FALSE(refused.has_value());
    EXPECT_EQ(refused.error().message(),
              "Salesforce CLI dependency listing command returned an invalid response: result is missing or is not an "
              "array of metadata entries. Verify the selected Salesforce org is authenticated and retry the "
              "comparison.");
}

TEST(QueryRecords, TheCountIsTheTotalOnlyWhenItIsANonNegativeInteger) {
    const std::pair<std::string_view, std::uint64_t> cases[] = {
        {"7", 7}, {"-1", 2}, {"2.5", 2}, {"\"7\"", 2}, {"99999999999999999999999", 2}, {"null", 2}, {"0", 0}};
    for (const auto& [total, count] : cases) {
        SCOPED_TRACE(total);
        Harness harness([&](const auto&, const auto&) { return records_answer({"1", "{}"}, std::string{total}); });
        const auto result = harness.catalog.query_records("org", "SELECT Id FROM X", domain::NeverCancelled{});
        ASSERT_TRUE(result.has_value()) << result.error().message();
        EXPECT_EQ(result->count, count);
        EXPECT_EQ(result->records.size(), 2u);
    }
}

TEST(QueryDependencyRows, WrongShapedRecordsAreSkippedAndPairsKeptOnce) {
    const std::vector<std::string> records{
        R"("text")",
        R"({"MetadataComponentId":5,"RefMetadataComponentId":"a","RefMetadataComponentType":"ApexClass"})",
        R"({"MetadataComponentId":" ","RefMetadataComponentId":"a","RefMetadataComponentType":"ApexClass"})",
        R"({"MetadataComponentId":"b","RefMetadataComponentId":"a","RefMetadataComponentType":" "})",
        R"({"MetadataComponentId":"b","RefMetadataComponentId":"a","RefMetadataComponentType":"ApexClass",)"
        R"("RefMetadataComponentName":" ","RefMetadataComponentNamespace":" "})",
        R"({"MetadataComponentId":"b","RefMetadataComponentId":"a","RefMetadataComponentType":"Flow"})",
        R"({"MetadataComponentId":"0123456789abcdeXYZ","RefMetadataComponentId":"0123456789abcdeXYZ",)"
        R"("RefMetadataComponentType":"ApexClass","RefMetadataComponentNamespace":"ns"})",
        R"({"MetadataComponentId":"0123456789abcdeQQQ","RefMetadataComponentId":"0123456789abcdeQQQ",)"
        R"("RefMetadataComponentType":"ApexClass"})",
        R"({"MetadataComponentId":"ééééééééééééééééé","RefMetadataComponentId":"a",)"
        R"("RefMetadataComponentType":"ApexClass"})",
    };
    Harness harness([&](const auto&, const auto&) { return records_answer(records); });
    WarningList warnings;
    const std::vector<std::string> ids{"b"};
    const auto rows = harness.catalog.query_dependency_rows("org", ids, domain::NeverCancelled{}, warnings, IdIndex{});
    ASSERT_TRUE(rows.has_value()) << rows.error().message();
    const std::vector<DependencyRow> expected{
        {"0123456789abcde", "0123456789abcde", "ApexClass", "", "ns"},
        {"b", "a", "ApexClass", "", std::nullopt},
    };
    ASSERT_EQ(rows->size(), 3u);
    EXPECT_EQ((*rows)[0], expected[0]);
    EXPECT_EQ((*rows)[1], expected[1]);
    // Fifteen characters of a two-byte letter: thirty bytes, never a cut inside one.
    EXPECT_EQ((*rows)[2].metadata_component_id, "ééééééééééééééé");
}

TEST(QuotedList, QuotesAndJoinsOrRefuses) {
    EXPECT_EQ(quoted_list(std::vector<std::string>{}), "");
    EXPECT_EQ(quoted_list(std::vector<std::string>{"a", "B__c"}), "'a', 'B__c'");
    const std::pair<std::string, std::string_view> refused[] = {
        {"O'Brien", "SOQL literal must not contain a quote: O'Brien"},
        {"a\\", "SOQL literal must not contain a backslash: a\\"},
    };
    for (const auto& [value, message] : refused) {
        SCOPED_TRACE(value);
        try {
            (void)quoted_list(std::vector<std::string>{value});
            FAIL() << "accepted";
        } catch (const support::ProgrammingError& error) {
            EXPECT_EQ(std::string_view{error.what()}, message);
        }
    }
}

TEST(IdIndex, ObjectsAndFieldsRegisterUnderTheirShortIds) {
    IdIndex index;
    index.register_object("01I000000000001AAA", "Invoice__c");
    index.register_object("01I000000000002AAA", "ns__Thing__c");
    index.register_object("01I000000000003AAA", "Account");
    index.register_object("01I000000000004", "Rate__mdt");
    index.register_object("01I000000000005", "Alert__e");
    EXPECT_EQ(index.key_by_id().at("01I000000000001"), (ComponentKey{MetadataType::CustomObject, "Invoice__c"}));
    EXPECT_EQ(index.key_by_id().at("01I000000000004"), (ComponentKey{MetadataType::CustomMetadataType, "Rate__mdt"}));
    EXPECT_EQ(index.key_by_id().at("01I000000000005"), (ComponentKey{MetadataType::PlatformEvent, "Alert__e"}));
    EXPECT_FALSE(index.key_by_id().contains("01I000000000002"));
    EXPECT_FALSE(index.key_by_id().contains("01I000000000003"));
    EXPECT_EQ(index.object_name_by_id().at("01I000000000003"), "Account");
    EXPECT_EQ(index.table_token("Account"), "01I000000000003");
    EXPECT_EQ(index.table_token("Contact"), "Contact");

    const std::vector<json::Value> records = {
        json::parse(R"({"Id":"00N000000000001AAA","DeveloperName":"Total","TableEnumOrId":"01I000000000001AAA"})")
            .value(),
        json::parse(R"({"Id":"00N000000000002","DeveloperName":"Region","TableEnumOrId":"Account"})").value(),
        json::parse(R"({"Id":"00N000000000003","DeveloperName":"P","TableEnumOrId":"Account","NamespacePrefix":"ns"})")
            .value(),
        json::parse(R"({"Id":"00N000000000004","DeveloperName":"Q","TableEnumOrId":"01I00000000009Z"})").value(),
        json::parse(R"({"Id":"00N000000000005","DeveloperName":" ","TableEnumOrId":"Account"})").value(),
        json::parse(R"({"Id":5,"DeveloperName":"R","TableEnumOrId":"Account"})").value(),
        json::parse(R"("not an object")").value(),
    };
    register_fields(index, records);
    EXPECT_EQ(index.key_by_id().at("00N000000000001"),
              (ComponentKey{MetadataType::CustomField, "Invoice__c.Total__c"}));
    EXPECT_EQ(index.key_by_id().at("00N000000000002"), (ComponentKey{MetadataType::CustomField, "Account.Region__c"}));
    for (const std::string_view skipped : {"00N000000000003", "00N000000000004", "00N000000000005"}) {
        EXPECT_FALSE(index.key_by_id().contains(skipped)) << skipped;
    }
    // A later registration of the same id replaces the key.
    index.register_key({MetadataType::ApexClass, "Later"}, "00N000000000002");
    EXPECT_EQ(index.key_by_id().at("00N000000000002"), (ComponentKey{MetadataType::ApexClass, "Later"}));
}

}  // namespace
}  // namespace ambrel::dependency
