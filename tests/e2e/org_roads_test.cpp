// The org roads end to end: ambrel-server driven over stdio by the pinned JSON-RPC client.

#include <gtest/gtest.h>

#include <string>

#include "e2e/demo_road.hpp"
#include "json/json.hpp"
#include "support/test_paths.hpp"

namespace ambrel::testing::e2e {
namespace {

constexpr std::string_view kPrerequisiteScreen =
    "Salesforce CLI is unavailable or incompatible. Install or update Salesforce CLI, make sure sf is on the IDE "
    "PATH, then retry.";
constexpr std::string_view kNoCli = "Salesforce CLI could not be started or did not return a valid version response.";

// With no `sf` anywhere the server still starts, and the first org listing ends on the error screen
// that asks for the CLI, the version check's failure as its details.
TEST(OrgRoads, LoadingOrgsWithoutTheCliShowsThePrerequisiteScreen) {
    if (!client_installed()) {
        AMBREL_SKIP_UNLESS_CI("node or the pinned vscode-jsonrpc client is missing (run scripts/install-jsonrpc-client)");
    }
    TempDir root;
    // A PATH that holds node and nothing else, so no `sf` can be found.
    const auto bin = root.path() / "bin";
    std::filesystem::create_directories(bin);
    std::filesystem::create_symlink(*find_on_path("node"), bin / "node");

    const auto run = run_load_orgs(root.path() / "workspace", bin.string());
    ASSERT_EQ(run.exit_code, 0) << run.out;
    const std::size_t at = run.out.find("state ");
    ASSERT_NE(at, std::string::npos) << run.out;
    const std::string line = run.out.substr(at + 6, run.out.find('\n', at) - at - 6);
    const auto parsed = json::parse(line);
    ASSERT_TRUE(parsed.has_value()) << line;
    const auto& state = parsed->as_object();
    EXPECT_EQ(state.at("kind").as_string(), "error") << line;
    EXPECT_EQ(state.at("message").as_string(), kPrerequisiteScreen) << line;
    EXPECT_EQ(state.at("details").as_string(), kNoCli) << line;
}

}  // namespace
}  // namespace ambrel::testing::e2e
