#include "concurrency/bounded_runner.hpp"

#include <system_error>

namespace ambrel::concurrency {

void record_failure(FailureCell& cell, JobCancellation& job, std::size_t index, cli::CatalogError error) {
    std::lock_guard lock(cell.mutex);
    if (!cell.failure) {
        cell.failure.emplace(index, std::move(error));
    } else {
        const auto& [held_index, held_error] = *cell.failure;
        const bool displaces_real_failure = error.is_cancelled() && !held_error.is_cancelled();
        if (!displaces_real_failure && index < held_index) cell.failure.emplace(index, std::move(error));
    }
    job.stop();
}

cli::CatalogError cancelled_failure(std::string_view label) {
    return cli::CliError::cancelled(fmt::format("Salesforce {} was cancelled", label));
}

cli::CatalogError worker_fault_failure(std::string_view label) {
    return cli::CatalogError::Message{fmt::format("a {} worker panicked", label)};
}

namespace detail {

std::expected<std::thread, std::string> start_unnamed_thread(std::function<void()> body) {
    try {
        return std::thread(std::move(body));
    } catch (const std::system_error& error) {
        return std::unexpected(std::string(error.what()));
    }
}

void report_worker_fault(std::string_view label, std::exception_ptr fault) {
    support::report_diagnostic(fmt::format("{} worker failed: {}", label, support::describe_exception(fault)));
}

}  // namespace detail

}  // namespace ambrel::concurrency
