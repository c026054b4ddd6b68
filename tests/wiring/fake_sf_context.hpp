#pragma once

// A session context over the fake `sf` for the port tests: a private workspace root, a progress sink
// whose events are kept in order (an operation is running, so every report arrives), a session log
// kept in memory, and the `sf` gateway over the fake (found by its path, not through PATH).

#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "cli/cache.hpp"
#include "fakes/fake_sf.hpp"
#include "logging/log_sink.hpp"
#include "progress/progress.hpp"
#include "support/doubles.hpp"
#include "support/test_paths.hpp"
#include "wiring/wiring_context.hpp"

namespace ambrel::wiring_test {

namespace fake = ambrel::testing::fake_sf;

// Keeps every event; safe to call from several threads.
class RecordingReporter final : public progress::ProgressReporter {
public:
    void report(progress::ProgressEvent event) override {
        const std::lock_guard lock(mutex_);
        events_.push_back(std::move(event));
    }
    std::vector<progress::ProgressEvent> events() const {
        const std::lock_guard lock(mutex_);
        return events_;
    }
    // The wire ids of the stages, in order.
    std::vector<std::string> stages() const {
        std::vector<std::string> stages;
        for (const auto& event : events()) stages.emplace_back(progress::wire_id(event.stage));
        return stages;
    }

private:
    mutable std::mutex mutex_;
    std::vector<progress::ProgressEvent> events_;
};

class FakeSfContextTest : public ::testing::Test {
protected:
    FakeSfContextTest()
        : installed_(fake_, false),
          reporter_(std::make_shared<RecordingReporter>()),
          log_writer_(std::make_shared<ambrel::testing::CapturingLogWriter>()),
          cache_(cli::CliCommandCache::create()) {
        auto sink = progress::ProgressSink::create(reporter_);
        sink->set_operation_id(1);
        context_ = server::wiring::make_wiring_context(
            root_.path(), std::move(sink), logging::LogSink::create(log_writer_, logging::LogLevel::Detailed), cache_,
            fake::executable().string());
    }

    void scenario(const fake::Scenario& scenario) { fake_.write(scenario); }
    std::vector<fake::RecordedCall> calls() const { return fake_.calls(); }
    std::vector<std::vector<std::string>> command_lines() const {
        std::vector<std::vector<std::string>> lines;
        for (const auto& call : calls()) lines.push_back(call.args);
        return lines;
    }
    std::vector<std::string> stages() const { return reporter_->stages(); }

    ambrel::testing::TempDir root_;
    fake::FakeSf fake_;
    fake::ScopedFakeSf installed_;
    std::shared_ptr<RecordingReporter> reporter_;
    std::shared_ptr<ambrel::testing::CapturingLogWriter> log_writer_;
    std::shared_ptr<cli::CliCommandCache> cache_;
    server::wiring::WiringContext context_;
    ambrel::testing::TestToken token_;
};

}  // namespace ambrel::wiring_test
