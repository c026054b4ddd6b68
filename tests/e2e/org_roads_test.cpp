// The org roads end to end: ambrel-server driven over stdio by the pinned JSON-RPC client.

#include <gtest/gtest.h>

#include <string>

#include "e2e/harness.hpp"
#include "json/json.hpp"
#include "support/node.hpp"
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
    std::filesystem::create_symlink(*node_executable(), bin / "node");

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

namespace fake = ambrel::testing::fake_sf;

// The org listing over the CLI: the version check, then the listing, whose orgs the selection screen
// offers.
TEST(OrgRoads, LoadingOrgsOffersTheOrgsTheCliLists) {
    if (!client_installed()) {
        AMBREL_SKIP_UNLESS_CI("node or the pinned vscode-jsonrpc client is missing (run scripts/install-jsonrpc-client)");
    }
    TempDir root;
    fake::FakeSf sf;
    sf.write(fake::Scenario()
                 .on_exact({"version", "--json"}, fake::Answer::capture("version"))
                 .on_prefix({"org", "list"}, fake::Answer::capture("standin/orglist")));
    const auto session = run_session(
        root.path(),
        {{"steps", boost::json::array{{{"request", "workflow/loadOrgs"}, {"until", boost::json::array{"selecting"}}}}}},
        fake_sf_environment(sf));
    ASSERT_EQ(session.exit_code, 0) << session.out;
    const auto selecting = session.last_state("selecting");
    ASSERT_TRUE(selecting.has_value()) << session.out;
    EXPECT_NE(boost::json::serialize(*selecting).find("dana.admin@dreamhouse.standin"), std::string::npos)
        << boost::json::serialize(*selecting);
    std::vector<std::vector<std::string>> lines;
    for (const auto& call : sf.calls()) lines.push_back(call.args);
    ASSERT_GE(lines.size(), 2u) << session.out;
    EXPECT_EQ(lines.front(), (std::vector<std::string>{"version", "--json"}));
}

}  // namespace
}  // namespace ambrel::testing::e2e
