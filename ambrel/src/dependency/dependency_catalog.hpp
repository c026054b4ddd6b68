#pragma once

// The dependency catalogue's own state: the gateway its CLI commands run through, their time-out,
// the optional progress sink it reports to, and the counter of id chunks that progress shows. A
// catalogue lives for one discovery; it is built with both chunk counts at 0 and no sink.
//
// Discovery asks the org, through Tooling API queries of MetadataComponentDependency run by `sf`,
// which components the given ones reference: it finds their ids (IdIndex), fetches their dependency
// records in chunks of 200 on at most 4 workers, resolves the referenced ids and builds the graph.
// It never writes files. Failures: every failure but a cancellation becomes, in place of a graph,
// "Dependency auto-selection is disabled: {}" with the error text cut to 2,048 characters; the
// errors themselves are the gateway's, "Salesforce CLI {} returned an invalid response: {}. {}"
// (label "dependency query command" or "dependency listing command"), the success test's sentence,
// and the bounded runner's "a dependency query worker panicked" (a value refused by quoted_list).
// A cancellation is returned as the CatalogError. A blank alias is a ProgrammingError ("Source alias
// must not be blank").
//
// Thread-safety: the chunk counter is guarded by its own mutex, so worker threads may read it while
// the calling thread advances it; everything else is set while building and only read afterwards.
// Borrows the gateway, which must outlive the catalogue.

#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>

#include <span>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "cli/catalog_error.hpp"
#include "cli/gateway.hpp"
#include "dependency/dependency_graph.hpp"
#include "dependency/id_index.hpp"
#include "domain/cancellation.hpp"
#include "domain/component_key.hpp"
#include "json/json.hpp"
#include "progress/progress.hpp"

namespace ambrel::dependency {

// How many id chunks were announced and how many are finished. Both counts stop at the largest
// 32-bit value instead of wrapping, and after an advance `expected` is never below `completed`.
struct IdChunkCount {
    std::uint32_t completed = 0;
    std::uint32_t expected = 0;

    // `expected` grows by `count`, stopping at the largest 32-bit value.
    void expect(std::uint64_t count) noexcept;
    // `completed` grows by one (stopping at the largest 32-bit value); `expected` is raised to it.
    void advance() noexcept;

    bool operator==(const IdChunkCount&) const = default;
};

// The records of one Tooling API query and their count (`totalSize` when it is a non-negative
// integer, else the number of records).
struct QueriedRecords {
    std::vector<json::Value> records;
    std::uint64_t count = 0;
};

// A graph, or the message that dependency auto-selection is disabled.
using DiscoveryOutcome = std::variant<DependencyGraph, std::string>;

class DependencyCatalog {
public:
    DependencyCatalog(const cli::SfCliGateway& gateway, std::chrono::milliseconds timeout) noexcept
        : gateway_(gateway), timeout_(timeout) {}

    // Takes the other catalogue's sink and a snapshot of its chunk counter; the mutex is new.
    DependencyCatalog(DependencyCatalog&& other) noexcept;
    DependencyCatalog(const DependencyCatalog&) = delete;
    DependencyCatalog& operator=(const DependencyCatalog&) = delete;
    DependencyCatalog& operator=(DependencyCatalog&&) = delete;
    ~DependencyCatalog() = default;

    // The catalogue reporting to `sink` from now on; a sink held before is released.
    DependencyCatalog with_progress(std::shared_ptr<progress::ProgressSink> sink) &&;

    const std::optional<std::shared_ptr<progress::ProgressSink>>& progress() const noexcept { return progress_; }
    const cli::SfCliGateway& gateway() const noexcept { return gateway_; }
    std::chrono::milliseconds timeout() const noexcept { return timeout_; }
    // A copy of the chunk counter, taken under its mutex.
    IdChunkCount id_chunks() const;

    // The graph of the components' references, the disabled message, or a cancellation.
    std::expected<DiscoveryOutcome, cli::CatalogError> discover(std::string_view alias,
                                                                std::span<const domain::ComponentKey> components,
                                                                const domain::CancellationToken& token) const;
    // The pipeline behind discover; any error is returned unchanged.
    std::expected<DependencyGraph, cli::CatalogError> run_discovery(std::string_view alias,
                                                                    std::span<const domain::ComponentKey> components,
                                                                    const domain::CancellationToken& token) const;
    // The ids of the components' objects, fields and listed types.
    std::expected<IdIndex, cli::CatalogError> resolve_ids(std::string_view alias,
                                                          std::span<const domain::ComponentKey> components,
                                                          const domain::CancellationToken& token) const;
    // The dependency records of the ids, sorted; warnings about capped single ids go to `warnings`.
    std::expected<std::vector<DependencyRow>, cli::CatalogError> query_dependency_rows(
        std::string_view alias, std::span<const std::string> ids, const domain::CancellationToken& token,
        WarningList& warnings, const IdIndex& index) const;
    // Adds the referenced fields and objects the index does not know yet.
    std::expected<void, cli::CatalogError> resolve_reference_ids(std::string_view alias,
                                                                 std::span<const DependencyRow> rows, IdIndex& index,
                                                                 const domain::CancellationToken& token) const;
    // Runs one command and hands out its answer when the CLI reports success.
    std::expected<json::Value, cli::CatalogError> run_command(const std::vector<std::string>& arguments,
                                                              std::string_view label,
                                                              const domain::CancellationToken& token) const;
    // One Tooling API query.
    std::expected<QueriedRecords, cli::CatalogError> query_records(std::string_view alias, std::string_view soql,
                                                                   const domain::CancellationToken& token) const;
    // The metadata listing of one type: its entries as they are.
    std::expected<json::Array, cli::CatalogError> list_metadata(std::string_view alias,
                                                                metadata_types::MetadataType type,
                                                                const domain::CancellationToken& token) const;

    // `expected` grows by `count`; no report.
    void expect_id_chunks(std::uint64_t count) const;
    // One more id chunk is finished; reported (after the lock is released) when a sink is set.
    void advance_id_chunk() const;

private:
    std::optional<std::shared_ptr<progress::ProgressSink>> progress_;
    // State below is guarded by `id_chunks_mutex_`.
    mutable std::mutex id_chunks_mutex_;
    mutable IdChunkCount id_chunks_;
    // Set while building, read-only afterwards.
    const cli::SfCliGateway& gateway_;
    std::chrono::milliseconds timeout_;
};

}  // namespace ambrel::dependency
