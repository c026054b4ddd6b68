// Every command line of the container catalogue, run by the pinned real CLI against an org it does
// not know: each is accepted up to the unknown org, fails with that detail, and runs exactly twice
// (the first attempt and its one retry).

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "deployment/fls_catalog/fls_catalog.hpp"
#include "real_sf/real_sf_fixture.hpp"

namespace ambrel {
namespace {

using deployment::fls_catalog::SfFlsContainerCatalog;

// Counts the processes it starts.
class CountingRunner final : public process::ProcessRunner {
public:
    explicit CountingRunner(std::shared_ptr<std::atomic<int>> runs) : runs_(std::move(runs)) {}
    std::expected<process::ProcessOutput, process::ProcessError> run(const std::vector<std::string>& arguments,
                                                                     const std::optional<std::filesystem::path>& directory,
                                                                     std::chrono::milliseconds timeout,
                                                                     const domain::CancellationToken& token) const override {
        ++*runs_;
        return inner_.run(arguments, directory, timeout, token);
    }
    std::expected<process::ProcessOutput, process::ProcessError> run_with_env(
        const std::vector<std::string>& arguments, const std::optional<std::filesystem::path>& directory,
        std::chrono::milliseconds timeout, const domain::CancellationToken& token,
        const std::vector<process::EnvironmentPair>& environment) const override {
        ++*runs_;
        return inner_.run_with_env(arguments, directory, timeout, token, environment);
    }

private:
    std::shared_ptr<std::atomic<int>> runs_;
    process::DefaultProcessRunner inner_;
};

using RealSfPermissionCatalog = testing::RealSfTest;

TEST_F(RealSfPermissionCatalog, EveryCommandLineFailsOnTheUnknownOrgAfterTwoRuns) {
    auto runs = std::make_shared<std::atomic<int>>(0);
    const cli::SfCliGateway gateway(gateway_->executable(), std::make_unique<CountingRunner>(runs));
    const SfFlsContainerCatalog catalog(gateway);
    using deployment::fls_catalog::kContainerLabels;
    using deployment::fls_catalog::kLicenseLabels;
    struct Case {
        std::string name;
        std::function<std::string()> failure;
        std::string sentence;
    };
    const std::vector<Case> cases{
        {"container query",
         [&] { return catalog.execute_query(deployment::fls_catalog::kContainerQuery, "nosuch", kContainerLabels, never_).error().message(); },
         "Salesforce permission-container query failed. "},
        {"permission set licences",
         [&] { return catalog.execute_query(deployment::fls_catalog::kPermissionSetLicenseQuery, "nosuch", kLicenseLabels, never_).error().message(); },
         "Salesforce license query failed. "},
        {"user licences",
         [&] { return catalog.execute_query(deployment::fls_catalog::kUserLicenseQuery, "nosuch", kLicenseLabels, never_).error().message(); },
         "Salesforce license query failed. "},
        {"permission set listing",
         [&] { return catalog.metadata_inventory("PermissionSet", "nosuch", never_).error().message(); },
         "Salesforce PermissionSet metadata inventory failed. "},
        {"profile listing",
         [&] { return catalog.metadata_inventory("Profile", "nosuch", never_).error().message(); },
         "Salesforce Profile metadata inventory failed. "},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        runs->store(0);
        EXPECT_EQ(c.failure(), c.sentence + "NamedOrgNotFoundError");
        EXPECT_EQ(runs->load(), 2);
    }
}

}  // namespace
}  // namespace ambrel
