#pragma once

// A gateway over the fake `sf` for the catalogue tests: each test writes a scenario, runs the code
// under test against the real process runner and reads back the calls the fake recorded.

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include <gtest/gtest.h>

#include "cli/gateway.hpp"
#include "process/process_runner.hpp"
#include "domain/cancellation.hpp"
#include "fakes/fake_sf.hpp"
#include "logging/log_sink.hpp"
#include "logging/log_writer.hpp"
#include "support/doubles.hpp"
#include "support/test_paths.hpp"

namespace ambrel::catalogs_test {

namespace fake = ambrel::testing::fake_sf;

inline constexpr std::chrono::milliseconds kTimeout{30000};

// A capture of the real CLI kept beside these tests: tests/fixtures/catalogs/NAME.{out,err,rc}.
inline std::filesystem::path fixture(std::string_view file) {
    return ambrel::testing::tests_dir() / "fixtures" / "catalogs" / std::string(file);
}

inline std::string read_fixture(std::string_view file) {
    std::ifstream in(fixture(file), std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

inline fake::Answer capture(std::string_view name) {
    fake::Answer answer;
    answer.out_file(fixture(std::string(name) + ".out"));
    answer.err_file(fixture(std::string(name) + ".err"));
    int code = 0;
    std::ifstream(fixture(std::string(name) + ".rc")) >> code;
    answer.exit_code(code);
    return answer;
}

// A successful data query answer holding the records (a JSON array text).
inline fake::Answer query_answer(std::string_view records, long long total_size, bool done = true) {
    return fake::Answer().out("{\"status\":0,\"result\":{\"records\":" + std::string(records) +
                              ",\"totalSize\":" + std::to_string(total_size) +
                              ",\"done\":" + (done ? "true" : "false") + "},\"warnings\":[]}");
}

// One fake `sf` and a gateway over it, with a session log kept in memory.
class FakeCliTest : public ::testing::Test {
protected:
    FakeCliTest()
        : installed_(fake_, false),
          log_writer_(std::make_shared<ambrel::testing::CapturingLogWriter>()),
          gateway_(fake::executable().string(), std::make_unique<cli::DefaultProcessRunner>(),
                   logging::LogSink::create(log_writer_, logging::LogLevel::Detailed),
                   cli::CliCommandCache::create()) {}

    void scenario(const fake::Scenario& scenario) { fake_.write(scenario); }
    std::vector<fake::RecordedCall> calls() const { return fake_.calls(); }
    std::vector<std::string> log_lines() const { return log_writer_->raw_lines(); }
    std::string all_log() const {
        std::string all;
        for (const auto& line : log_lines()) all += line + "\n";
        return all;
    }

    fake::FakeSf fake_;
    fake::ScopedFakeSf installed_;
    std::shared_ptr<ambrel::testing::CapturingLogWriter> log_writer_;
    cli::SfCliGateway gateway_;
    ambrel::testing::TestToken token_;
};

}  // namespace ambrel::catalogs_test
