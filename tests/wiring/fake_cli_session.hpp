#pragma once

// The session context over the fake `sf` as the record and preparation port tests use it: the shared
// gateway, the progress sink and the workspace root under the names these tests read, and the REST
// answer of the CLI's "--include" form.

#include <filesystem>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "cli/catalog_test_support.hpp"
#include "wiring/fake_sf_context.hpp"

namespace ambrel::server::wiring::testing {

namespace fake = ambrel::testing::fake_sf;
using catalogs_test::query_answer;

// A capture kept beside the catalogue tests: tests/fixtures/catalogs/NAME.{out,err,rc}.
inline fake::Answer catalog_capture(std::string_view name) { return catalogs_test::capture(name); }

// The "--include" answer of a REST request: status line, one header and the body.
inline fake::Answer include_answer(int status, std::string_view body, int exit_code = 0) {
    return fake::Answer()
        .out("HTTP/1.1 " + std::to_string(status) + "\ncontent-type: application/json;charset=UTF-8\n" +
             std::string(body) + "\n")
        .err(
            "Warning: This command is currently in beta. Any aspect of this command can change without advanced "
            "notice. Don't use beta commands in your scripts.\n")
        .exit_code(exit_code);
}

class FakeCliSession : public wiring_test::FakeSfContextTest {
protected:
    std::vector<progress::ProgressEvent> events() const { return reporter_->events(); }
    std::filesystem::path workspace_root() const { return root_.path(); }

    const std::shared_ptr<const cli::SfCliGateway> gateway_ = context_.sf;
    const std::shared_ptr<progress::ProgressSink> progress_ = context_.progress;
};

}  // namespace ambrel::server::wiring::testing
