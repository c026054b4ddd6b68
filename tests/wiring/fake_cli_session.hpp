#pragma once

// The shared objects of a session over the fake `sf`, for the tests of the record and preparation
// ports: a gateway shared as the ports hold it, a progress sink that keeps every event, a workspace
// root in a private temporary folder, and the scenario and calls of the fake.

#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "cli/cache.hpp"
#include "cli/gateway.hpp"
#include "fakes/fake_sf.hpp"
#include "logging/log_sink.hpp"
#include "process/process_runner.hpp"
#include "progress/progress.hpp"
#include "support/doubles.hpp"
#include "support/test_paths.hpp"

namespace ambrel::server::wiring::testing {

namespace fake = ambrel::testing::fake_sf;

// Keeps every event; safe from several threads.
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

private:
    mutable std::mutex mutex_;
    std::vector<progress::ProgressEvent> events_;
};

// A capture kept beside the catalogue tests: tests/fixtures/catalogs/NAME.{out,err,rc}.
inline fake::Answer catalog_capture(std::string_view name) {
    const std::filesystem::path base = ambrel::testing::tests_dir() / "fixtures" / "catalogs";
    fake::Answer answer;
    answer.out_file(base / (std::string(name) + ".out"));
    answer.err_file(base / (std::string(name) + ".err"));
    int code = 0;
    std::ifstream(base / (std::string(name) + ".rc")) >> code;
    answer.exit_code(code);
    return answer;
}

// The "--include" answer of a REST request: status line, one header, an empty line and the body.
inline fake::Answer include_answer(int status, std::string_view body, int exit_code = 0) {
    return fake::Answer()
        .out("HTTP/1.1 " + std::to_string(status) + "\ncontent-type: application/json;charset=UTF-8\n" +
             std::string(body) + "\n")
        .err(
            "Warning: This command is currently in beta. Any aspect of this command can change without advanced "
            "notice. Don't use beta commands in your scripts.\n")
        .exit_code(exit_code);
}

// A successful data query answer holding the records (a JSON array text).
inline fake::Answer query_answer(std::string_view records, long long total_size) {
    return fake::Answer().out("{\"status\":0,\"result\":{\"records\":" + std::string(records) +
                              ",\"totalSize\":" + std::to_string(total_size) + ",\"done\":true},\"warnings\":[]}");
}

class FakeCliSession : public ::testing::Test {
protected:
    FakeCliSession()
        : installed_(fake_, false),
          reporter_(std::make_shared<RecordingReporter>()),
          progress_(progress::ProgressSink::create(reporter_)),
          gateway_(std::make_shared<const cli::SfCliGateway>(
              fake::executable().string(), std::make_unique<cli::DefaultProcessRunner>(), logging::LogSink::disabled(),
              cli::CliCommandCache::create())) {
        progress_->set_operation_id(1);
    }

    void scenario(const fake::Scenario& scenario) { fake_.write(scenario); }
    std::vector<fake::RecordedCall> calls() const { return fake_.calls(); }
    std::vector<progress::ProgressEvent> events() const { return reporter_->events(); }
    std::filesystem::path workspace_root() const { return root_.path(); }

    fake::FakeSf fake_;
    fake::ScopedFakeSf installed_;
    ambrel::testing::TempDir root_;
    std::shared_ptr<RecordingReporter> reporter_;
    std::shared_ptr<progress::ProgressSink> progress_;
    std::shared_ptr<const cli::SfCliGateway> gateway_;
    ambrel::testing::TestToken token_;
};

}  // namespace ambrel::server::wiring::testing
