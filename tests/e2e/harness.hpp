#pragma once

// The end-to-end harness: the demo's git repository (scripts/make-demo-repo) and the demo driver
// (tools/jsonrpc-client/demo.js) run against the built ambrel-server, exactly as scripts/run runs
// them, and scripted sessions (tools/jsonrpc-client/session.js) for the other roads, each with a
// private HOME and data directory inside the test's temporary folder. Not thread-safe: one run at a
// time per process.

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <boost/json.hpp>

#include "fakes/fake_sf.hpp"

namespace ambrel::testing::e2e {

inline constexpr std::string_view kSourceBranch = "feature/warranty";
inline constexpr std::string_view kTargetBranch = "main";

// What one run printed and how it ended.
struct RunOutput {
    int exit_code = -1;
    std::string out;
};

// The pinned client's node_modules folder.
std::filesystem::path client_modules();
// True when node and the pinned client are installed.
bool client_installed();

// Makes the demo repository at `repo` (a new folder), leaving `checkout` ("source" or "target")
// checked out.
RunOutput make_demo_repo(const std::filesystem::path& repo, std::string_view checkout);
// Runs the demo driver against `repo` with `root` as the workspace root (HOME and XDG_DATA_HOME below
// it); `extra` are more driver options.
RunOutput run_demo(const std::filesystem::path& root, const std::filesystem::path& repo,
                   const std::vector<std::string>& extra = {});

// What a scripted session (tools/jsonrpc-client/session.js) printed: its events in order.
struct SessionOutput {
    int exit_code = -1;
    // Everything printed, for failure messages.
    std::string out;
    std::vector<boost::json::object> events;

    // The published states, in order.
    std::vector<boost::json::object> states() const;
    // The last published state of this kind that runs no operation, if any.
    std::optional<boost::json::object> last_state(std::string_view kind) const;
    // The answer of the step with this index (-1 for initialize), if it was answered.
    std::optional<boost::json::value> answer(int step) const;
    // Every progress message, in order.
    std::vector<std::string> progress_messages() const;
};

// Runs a scripted session against ambrel-server: `script` is the session.js script without
// "initialize.workspaceRoot", which is `root`/workspace. HOME and XDG_DATA_HOME lie below `root`;
// `environment` adds or replaces variables (PATH, the fake sf's scenario and record).
SessionOutput run_session(const std::filesystem::path& root, boost::json::object script,
                          const std::vector<std::pair<std::string, std::string>>& environment = {});

// The org's object listing, which every compare and preparation runs.
inline constexpr std::string_view kObjectListingQuery =
    "SELECT QualifiedApiName, Label, NamespacePrefix, IsCustomizable FROM EntityDefinition WHERE IsCustomizable = "
    "true ORDER BY QualifiedApiName";
// The external-key check's field listing of the Revenue Cloud objects, which choosing an org runs.
inline constexpr std::string_view kRevenueCloudFieldQuery =
    "SELECT EntityDefinition.QualifiedApiName, QualifiedApiName, DataType FROM FieldDefinition WHERE "
    "EntityDefinition.QualifiedApiName IN ('AttributeBasedAdjRule', 'AttributeBasedAdjustment', 'AttributeCategory', "
    "'AttributeCategoryAttribute', 'AttributeDefinition', 'AttributePicklist', 'AttributePicklistValue', "
    "'BundleBasedAdjustment', 'CostBook', 'CostBookEntry', 'LegalEntity', 'PriceAdjustmentSchedule', "
    "'PriceAdjustmentTier', 'Pricebook2', 'PricebookEntry', 'Product2', 'ProductAttributeDefinition', "
    "'ProductCatalog', 'ProductCategory', 'ProductCategoryProduct', 'ProductClassification', "
    "'ProductClassificationAttr', 'ProductComponentGroup', 'ProductRelatedComponent', 'ProductSellingModel', "
    "'RateCard', 'RateCardEntry', 'TaxPolicy', 'TaxTreatment', 'UsageResource') LIMIT 2000";

// The exit code of the fake `sf` for a call that no rule of a road answers, so a missed call shows.
inline constexpr int kUnansweredExitCode = 97;
// That answer, for Scenario::otherwise.
fake_sf::Answer unanswered_call();

// The environment that puts the fake `sf` first on PATH and points it at `sf`'s scenario and record,
// for run_session.
std::vector<std::pair<std::string, std::string>> fake_sf_environment(const fake_sf::FakeSf& sf);

// Runs initialize and workflow/loadOrgs (tools/jsonrpc-client/load_orgs.js) with `root` as the
// workspace root and `path` as the server's PATH; the output carries "state {json}".
RunOutput run_load_orgs(const std::filesystem::path& root, const std::string& path);

// `text` without its trailing line ends (what git prints after a commit id or a ref).
std::string trimmed(std::string text);
// The non-empty lines of `text`.
std::vector<std::string> lines(const std::string& text);
// The string at `key` of `object`, or an empty text when there is none.
std::string text_of(const boost::json::object& object, std::string_view key);

}  // namespace ambrel::testing::e2e
