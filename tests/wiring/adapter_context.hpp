#pragma once

// The session objects of the adapter tests: a workspace root in a private temporary folder, a progress
// sink whose events are recorded, a capturing session log, and the two gateways (the `sf` gateway runs
// the fake `sf` by its path). Also what the tests check after every port call: nothing left inside
// "quillary".

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "cli/cache.hpp"
#include "fakes/fake_sf.hpp"
#include "logging/log_sink.hpp"
#include "progress/progress.hpp"
#include "support/test_paths.hpp"
#include "wiring/fake_sf_context.hpp"
#include "wiring/wiring_context.hpp"

namespace ambrel::server::wiring::test {

using RecordingReporter = wiring_test::RecordingReporter;

struct AdapterContext {
    AdapterContext() {
        progress->set_operation_id(1);
        std::filesystem::create_directories(root);
        context = make_wiring_context(root, progress, logging::LogSink::disabled(), cli::CliCommandCache::create(),
                                      testing::fake_sf::executable().string());
    }

    // The entries left below "{root}/quillary" (the folder itself may stay).
    std::vector<std::string> leftovers() const {
        std::vector<std::string> names;
        std::error_code error;
        for (const auto& entry : std::filesystem::directory_iterator(root / "quillary", error)) {
            names.push_back(entry.path().filename().string());
        }
        return names;
    }

    testing::TempDir dir;
    std::filesystem::path root = dir.path() / "workspace";
    std::shared_ptr<RecordingReporter> reporter = std::make_shared<RecordingReporter>();
    std::shared_ptr<progress::ProgressSink> progress = progress::ProgressSink::create(reporter);
    WiringContext context;
};

}  // namespace ambrel::server::wiring::test
