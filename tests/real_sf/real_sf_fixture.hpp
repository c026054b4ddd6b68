#pragma once

// The pinned real Salesforce CLI with a private HOME (the CLI keeps its state and auth files there, so
// no org or setting of this machine is seen) and its folder first on PATH, so that the resolver finds
// it as it would find a user's installation; the Node.js it starts is the one the scripts use (see
// support/node.hpp). Tests are skipped where it is not installed.

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <optional>
#include <string>

#include "cli/gateway.hpp"
#include "process/process_runner.hpp"
#include "cli/resolver.hpp"
#include "domain/cancellation.hpp"
#include "support/node.hpp"
#include "support/test_paths.hpp"

namespace ambrel::testing {

inline std::filesystem::path real_sf_bin() { return real_sf_dir() / "node_modules" / ".bin"; }

class RealSfTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (!std::filesystem::exists(real_sf_bin() / "sf")) {
            AMBREL_SKIP_UNLESS_CI("the real Salesforce CLI is not installed (run scripts/install-real-sf)");
        }
        home_.emplace("HOME", home_dir_.path().string());
        path_.emplace("PATH", real_sf_bin().string() + ":" + path_with_node());
        gateway_.emplace(cli::SfCliExecutableResolver::for_this_process().resolve(),
                         std::make_unique<cli::DefaultProcessRunner>());
    }

    TempDir home_dir_;
    std::optional<ScopedVariable> home_;
    std::optional<ScopedVariable> path_;
    std::optional<cli::SfCliGateway> gateway_;
    domain::NeverCancelled never_;
};

}  // namespace ambrel::testing
