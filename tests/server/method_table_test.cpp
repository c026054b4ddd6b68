// Every workflow method through the dispatcher, over a real controller and a recording fake of the use
// cases: the parameters refused before any command runs, the answer each command gives in a fresh
// session, and the use case each started command reaches with the values the request carried.

#include <gtest/gtest.h>

#include <fmt/format.h>

#include <chrono>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "dispatch/dispatcher.hpp"
#include "dispatch/methods.hpp"
#include "dispatch/params.hpp"
#include "git/repo_path.hpp"
#include "server/stand_in_service.hpp"
#include "support/fake_use_cases.hpp"
#include "support/test_paths.hpp"

namespace ambrel::dispatch {
namespace {

using ambrel::testing::RecordingUseCases;
using ambrel::testing::TempDir;

constexpr std::chrono::seconds kWaitBound{60};

std::string request(std::string_view id, std::string_view method, std::string_view params) {
    return fmt::format(R"({{"jsonrpc":"2.0","id":{},"method":"{}","params":{}}})", id, method, params);
}

std::string result_of(std::string_view id, std::string_view result) {
    return fmt::format(R"({{"jsonrpc":"2.0","id":{},"result":{}}})", id, result);
}

std::string error_of(std::string_view id, std::int64_t code, std::string_view message) {
    return fmt::format(R"({{"jsonrpc":"2.0","id":{},"error":{{"code":{},"message":{}}}}})", id, code,
                       json::quote(message));
}

// True once the condition holds; false when the bound passes first.
bool eventually(const std::function<bool()>& condition) {
    const auto deadline = std::chrono::steady_clock::now() + kWaitBound;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

class MethodTableTest : public ::testing::Test {
protected:
    void SetUp() override {
        const auto answer = dispatcher_.process_frame(fmt::format(
            R"({{"jsonrpc":"2.0","id":0,"method":"initialize","params":{{"protocolVersion":41,"workspaceRoot":{}}}}})",
            json::quote(root_.path().string())));
        ASSERT_TRUE(answer);
        ASSERT_EQ(json::find(*answer, "error"), nullptr) << json::write_compact(*answer);
    }
    void TearDown() override { dispatcher_.shutdown(); }

    std::string answer(std::string_view method, std::string_view params) {
        const auto response = dispatcher_.process_frame(request("7", method, params));
        if (response) return json::write_compact(*response);
        if (method != kInspectGitRepoMethod) return "none";
        // Answered from the git executor: the first frame carrying an id is the answer.
        while (const auto frame = outgoing_->receive()) {
            const std::string body = frame->substr(frame->find("\r\n\r\n") + 4);
            if (body.starts_with(R"({"jsonrpc":"2.0","id":7,)")) return body;
        }
        return "none";
    }

    // The kind of the current screen.
    std::string state_kind() {
        const auto state = answer("workflow/getState", "null");
        const auto parsed = json::parse(state);
        const auto* kind = json::find(*json::find(*json::find(*parsed, "result"), "state"), "kind");
        return std::string(json::as_string(*kind).value_or(""));
    }

    std::size_t use_case_calls() const {
        const auto& s = fake_->script;
        return s.list_orgs.count() + s.list_source_objects.count() + s.compare_endpoints.count() +
               s.compare_endpoints_allowing_production.count() + s.compare_endpoints_with_settings.count() +
               s.deploy.count() + s.quick_deploy.count() + s.inspect_org_preparation.count() +
               s.apply_org_preparation.count() + s.create_org_alias.count() + s.match_fls_containers.count() +
               s.list_apex_tests.count() + s.check_target_health.count() + s.validate_git_target.count() +
               s.inspect_git_repo.count() + s.can_initialize_git_repo.count() + s.init_git_repo.count();
    }

    TempDir root_;
    std::shared_ptr<RecordingUseCases> fake_ = std::make_shared<RecordingUseCases>();
    std::shared_ptr<server::OutgoingChannel> outgoing_ = server::OutgoingChannel::create();
    Dispatcher dispatcher_{outgoing_, [fake = fake_](const std::filesystem::path&,
                                                     std::shared_ptr<progress::ProgressSink>,
                                                     std::shared_ptr<logging::LogSink>) {
                               return ServiceParts{fake, cli::CliCommandCache::create(),
                                                   std::make_shared<endpoint_memory::NoEndpointMemory>()};
                           }};
};

TEST_F(MethodTableTest, TheTableIsSortedAndHoldsEveryBoundMethod) {
    std::vector<std::string_view> names;
    for (const auto& entry : method_table()) names.push_back(entry.name);
    const std::vector<std::string_view> expected = {
        "workflow/applyOrgPreparation", "workflow/back",           "workflow/backToReview",
        "workflow/cancel",              "workflow/clearManifest",  "workflow/compare",
        "workflow/componentSource",     "workflow/confirmFlsContainers", "workflow/confirmTargetHealth",
        "workflow/confirmTests",        "workflow/createOrgAlias", "workflow/deploy",
        "workflow/exportManifest",      "workflow/exportSession",  "workflow/getState",
        "workflow/importManifest",      "workflow/importSession",
        "workflow/initGitRepo",         "workflow/inspectGitRepo", "workflow/inspectOrgPreparation",
        "workflow/loadOrgs",            "workflow/newComparison",  "workflow/quickDeploy",
        "workflow/selectMetadataType",  "workflow/selectSource",   "workflow/selectTarget",
        "workflow/setComponentBody",    "workflow/setLogLevel"};
    EXPECT_EQ(names, expected);
}

TEST_F(MethodTableTest, RefusedParametersCallNoCommand) {
    struct Case {
        std::string method;
        std::string params;
        std::int64_t code;
        std::string message;
    };
    constexpr auto kInvalid = protocol::kInvalidParams;
    const std::vector<Case> cases = {
        {"workflow/getstate", "null", protocol::kMethodNotFound, "Unknown method: workflow/getstate"},
        {"workflow/exportSession", R"({"currentSelection":[]})", kInvalid, "Parameter 'path' must be a string."},
        {"workflow/exportSession", R"({"path":"/x","selected":[]})", kInvalid,
         "Parameters 'selected' and 'flsMode' must be sent together or not at all."},
        {"workflow/importSession", "null", kInvalid, "Parameter 'path' must be a string."},
        {"workflow/selectSource", "null", kInvalid, "Parameter 'endpoint' must be an object."},
        {"workflow/selectSource", R"({"endpoint":{"kind":"org","alias":""}})", kInvalid,
         "An org endpoint must carry a non-empty 'alias'."},
        {"workflow/selectTarget", R"({"endpoint":{"kind":"github"}})", kInvalid, "GitHub endpoints are not yet supported."},
        {"workflow/selectMetadataType", R"({"metadataType":"Nope","currentSelection":[]})", kInvalid,
         "Parameter 'metadataType' must be a selectable metadata type id."},
        {"workflow/compare", R"({"currentSelection":["a"],"layoutMode":3})", kInvalid,
         "Parameter 'layoutMode' must be one of whole, elements."},
        {"workflow/compare", R"({"currentSelection":["a"],"allowBestEffortOnProduction":"true"})", kInvalid,
         "Parameter 'allowBestEffortOnProduction' must be a boolean."},
        {"workflow/compare", R"({"currentSelection":["a"],"retryUnexpectedErrorsAlone":1})", kInvalid,
         "Parameter 'retryUnexpectedErrorsAlone' must be a boolean."},
        {"workflow/deploy", R"({"selected":[]})", kInvalid, "Parameter 'flsMode' must be one of NONE, ADDITIVE, ALL."},
        {"workflow/deploy", R"({"selected":[],"flsMode":"additive"})", kInvalid,
         "Parameter 'flsMode' must be one of NONE, ADDITIVE, ALL."},
        {"workflow/deploy", R"({"selected":[],"flsMode":"NONE","deployMode":5})", kInvalid,
         std::string(kDeployModeMessage)},
        {"workflow/deploy", R"({"selected":[],"flsMode":"NONE","deployMode":"FAST"})", kInvalid,
         std::string(kDeployModeMessage)},
        {"workflow/confirmTests", R"({"sessionId":3.0,"tests":[]})", kInvalid, "Parameter 'sessionId' must be a number."},
        {"workflow/confirmFlsContainers", R"({"containers":{}})", kInvalid, "Parameter 'containers' must be an array."},
        {"workflow/confirmFlsContainers", R"({"containers":[],"deployMode":{}})", kInvalid,
         std::string(kDeployModeMessage)},
        {"workflow/confirmTargetHealth", R"({"action":"fix","findings":[]})", kInvalid,
         "Parameter 'findings' must be a non-empty array of non-negative integers."},
        {"workflow/confirmTargetHealth", R"({"action":"skip"})", kInvalid,
         "Parameter 'action' must be one of fix, recheck, deploy."},
        {"workflow/createOrgAlias", R"({"side":"left","alias":"a","instanceUrl":"u"})", kInvalid,
         "Parameter 'side' must be source or target."},
        {"workflow/createOrgAlias", R"({"side":"source","instanceUrl":"u"})", kInvalid,
         "Parameter 'alias' must be a string."},
        {"workflow/createOrgAlias", R"({"side":"source","alias":"a"})", kInvalid,
         "Parameter 'instanceUrl' must be a string."},
        {"workflow/inspectGitRepo", "{}", kInvalid, "Parameter 'path' must be a string."},
        {"workflow/initGitRepo", R"({"path":7})", kInvalid, "Parameter 'path' must be a string."},
        {"workflow/setComponentBody", R"({"sessionId":1,"metadataType":"Flow","name":"f"})", kInvalid,
         "Parameter 'body' must be a string or null."},
        {"workflow/setComponentBody", R"({"sessionId":"1","metadataType":"Flow","name":"f","body":null})", kInvalid,
         "Parameter 'sessionId' must be a number."},
        {"workflow/exportManifest", R"({"currentSelection":[]})", kInvalid, "Parameter 'path' must be a string."},
        {"workflow/importManifest", "null", kInvalid, "Parameter 'path' must be a string."},
        {"workflow/selectTarget", R"({"endpoint":{"kind":"git","path":"/r","branch":{"name":""}}})", kInvalid,
         "A git branch must carry a non-empty 'name'."},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.method + " " + c.params);
        EXPECT_EQ(answer(c.method, c.params), error_of("7", c.code, c.message));
    }
    EXPECT_EQ(use_case_calls(), 0u);
}

TEST_F(MethodTableTest, CommandsAnswerInAFreshSession) {
    struct Case {
        std::string method;
        std::string params;
        std::string expected;
    };
    const std::string null_operation = result_of("7", R"({"operationId":null})");
    const std::vector<Case> cases = {
        {"workflow/back", "null", null_operation},
        {"workflow/backToReview", "null", null_operation},
        {"workflow/quickDeploy", "null", null_operation},
        {"workflow/deploy", R"({"selected":[{"metadataType":"Flow","name":"f"}],"flsMode":"NONE"})", null_operation},
        {"workflow/confirmTests", R"({"sessionId":1,"tests":["T"],"deployMode":"VALIDATE_ONLY"})", null_operation},
        {"workflow/confirmFlsContainers", R"({"containers":[{"kind":"PROFILE","apiName":"Admin"}]})", null_operation},
        {"workflow/confirmTargetHealth", R"({"action":"recheck"})", null_operation},
        {"workflow/setComponentBody", R"({"sessionId":1,"metadataType":"Flow","name":"f","body":"<x/>"})",
         error_of("7", protocol::kServerError, kNoActiveSession)},
        {"workflow/componentSource", R"({"sessionId":1,"metadataType":"Flow","name":"f"})",
         error_of("7", protocol::kServerError, kNoActiveSession)},
        {"workflow/cancel", R"({"operationId":999})", result_of("7", R"({"cancelled":false})")},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.method + " " + c.params);
        EXPECT_EQ(answer(c.method, c.params), c.expected);
    }
    EXPECT_EQ(use_case_calls(), 0u);
}

// Each started command reaches its use case with the values of the request, in the order a front end
// sends them: orgs, a repository source, a repository target, a type, a compare.
TEST_F(MethodTableTest, StartedCommandsReachTheirUseCasesWithTheRequestValues) {
    auto& script = fake_->script;
    script.list_orgs.answer_with([](const domain::CancellationToken&) {
        return app::UseCaseResult<std::vector<endpoint::OrgAlias>>{};
    });
    script.list_source_objects.answer_with(
        [](const endpoint::DeployEndpoint&, metadata_types::MetadataType, const domain::CancellationToken&) {
            return app::UseCaseResult<std::vector<cli::catalogs::SalesforceObject>>{};
        });
    script.validate_git_target.answer_with(
        [](const endpoint::DeployEndpoint&) { return app::UseCaseResult<app::ports::GitTargetCheck>{}; });
    script.compare_endpoints_with_settings.answer(std::unexpected(app::WorkflowFailure::operation("compare refused")));
    script.compare_endpoints.answer(std::unexpected(app::WorkflowFailure::operation("compare refused")));
    const auto settled = [this] { return state_kind() == "selecting"; };
    const auto started = [](const std::string& response) {
        return response.starts_with(R"({"jsonrpc":"2.0","id":7,"result":{"operationId":)") &&
               response.find("null") == std::string::npos;
    };

    EXPECT_PRED1(started, answer("workflow/loadOrgs", "null"));
    ASSERT_TRUE(eventually([&] { return script.list_orgs.count() == 1 && settled(); }));

    EXPECT_PRED1(started, answer("workflow/selectSource",
                                 R"({"endpoint":{"kind":"git","path":"/src","branch":{"name":"dev","kind":"local"}}})"));
    ASSERT_TRUE(eventually([&] { return script.list_source_objects.count() == 1 && settled(); }));
    const auto listing = script.list_source_objects.calls().front();
    ASSERT_TRUE(std::get<0>(listing).is_git());
    EXPECT_EQ(std::get<0>(listing).git()->repository, "/src");
    EXPECT_EQ(std::get<0>(listing).git()->branch.name, "dev");

    EXPECT_EQ(answer("workflow/selectTarget",
                     R"({"endpoint":{"kind":"git","path":"/dst","branch":{"name":"main","kind":"remote"}}})"),
              result_of("7", R"({"operationId":null})"));
    ASSERT_EQ(script.validate_git_target.count(), 1u);
    const auto target = std::get<0>(script.validate_git_target.calls().front());
    ASSERT_TRUE(target.is_git());
    EXPECT_EQ(target.git()->repository, "/dst");
    EXPECT_EQ(target.git()->branch.remote, std::optional<std::string>("origin"));

    EXPECT_PRED1(started, answer("workflow/selectMetadataType", R"({"metadataType":"Flow","currentSelection":[]})"));
    ASSERT_TRUE(eventually([&] { return script.list_source_objects.count() == 2 && settled(); }));
    EXPECT_EQ(std::get<1>(script.list_source_objects.calls().back()), metadata_types::MetadataType::Flow);

    EXPECT_PRED1(started, answer("workflow/compare", R"({"currentSelection":["f"],"layoutMode":"elements",)"
                                                     R"("allowBestEffortOnProduction":true,"retryUnexpectedErrorsAlone":false})"));
    ASSERT_TRUE(eventually([&] { return script.compare_endpoints_with_settings.count() == 1; }));
    const auto compared = script.compare_endpoints_with_settings.calls().front();
    EXPECT_EQ(std::get<0>(compared).git()->repository, "/src");
    EXPECT_EQ(std::get<1>(compared).git()->repository, "/dst");
    EXPECT_EQ(std::get<3>(compared).wire_id(), "elements");
    EXPECT_TRUE(std::get<4>(compared));
    EXPECT_FALSE(std::get<5>(compared));
}

TEST_F(MethodTableTest, ImmediateCommandsAnswerWithTheirOutcome) {
    auto& script = fake_->script;
    script.list_orgs.answer_with([](const domain::CancellationToken&) {
        return app::UseCaseResult<std::vector<endpoint::OrgAlias>>{};
    });
    (void)answer("workflow/loadOrgs", "null");
    ASSERT_TRUE(eventually([&] { return state_kind() == "selecting"; }));

    EXPECT_EQ(answer("workflow/exportManifest", R"({"path":"/nowhere/p.xml","currentSelection":[]})"),
              error_of("7", protocol::kServerError, workflow::kManifestExportEmpty));
    EXPECT_EQ(answer("workflow/clearManifest", "null"), result_of("7", R"({"cleared":true})"));

    const auto manifest = root_.path() / "package.xml";
    EXPECT_EQ(answer("workflow/selectMetadataType", R"({"metadataType":"Flow","currentSelection":["f"]})"),
              result_of("7", R"({"operationId":null})"));
    EXPECT_EQ(answer("workflow/exportManifest",
                     fmt::format(R"({{"path":{},"currentSelection":["f"]}})", json::quote(manifest.string()))),
              result_of("7", R"({"written":true})"));
    EXPECT_TRUE(std::filesystem::exists(manifest));

    // Session files: the controller's failure as a server error, then a written file that imports again.
    EXPECT_TRUE(answer("workflow/exportSession", R"({"path":"/nowhere/s.json","currentSelection":["f"]})")
                    .starts_with(R"({"jsonrpc":"2.0","id":7,"error":{"code":-32000,"message":"Could not write the session file: )"));
    const auto scenario = root_.path() / "session.json";
    EXPECT_EQ(answer("workflow/exportSession",
                     fmt::format(R"({{"path":{},"currentSelection":["f"]}})", json::quote(scenario.string()))),
              result_of("7", R"({"written":true})"));
    EXPECT_TRUE(std::filesystem::exists(scenario));
    EXPECT_EQ(answer("workflow/importSession",
                     fmt::format(R"({{"path":{}}})", json::quote((root_.path() / "missing.json").string()))),
              result_of("7", R"({"operationId":null})"));
    EXPECT_TRUE(answer("workflow/importSession", fmt::format(R"({{"path":{}}})", json::quote(scenario.string())))
                    .starts_with(R"({"jsonrpc":"2.0","id":7,"result":{"operationId":)"));

    // The inspection answers are the controller's own values, unchanged.
    const auto inspected = answer("workflow/inspectGitRepo", R"({"path":"/repo/x"})");
    ASSERT_EQ(script.inspect_git_repo.count(), 1u);
    EXPECT_EQ(std::get<0>(script.inspect_git_repo.calls().front()), "/repo/x");
    EXPECT_TRUE(inspected.starts_with(R"({"jsonrpc":"2.0","id":7,"result":{)")) << inspected;
    const auto initialised = answer("workflow/initGitRepo", R"({"path":"/repo/y"})");
    EXPECT_TRUE(initialised.starts_with(R"({"jsonrpc":"2.0","id":7,"result":{)")) << initialised;
    ASSERT_EQ(script.init_git_repo.count(), 1u);
    EXPECT_EQ(std::get<0>(script.init_git_repo.calls().front()), "/repo/y");

    EXPECT_PRED1([](const std::string& r) { return r.starts_with(R"({"jsonrpc":"2.0","id":7,"result":{"operationId":)"); },
                 answer("workflow/createOrgAlias", R"({"side":"target","alias":"dev","instanceUrl":"https://x"})"));
    ASSERT_TRUE(eventually([&] { return script.create_org_alias.count() == 1; }));
    const auto created = script.create_org_alias.calls().front();
    EXPECT_EQ(std::get<0>(created), "dev");
    EXPECT_EQ(std::get<1>(created), "https://x");
}

TEST(SourceOverrideRefusal, KeepsTheSentenceAndTellsRequestFaultsApart) {
    using Error = app::SourceOverrideError;
    struct Case {
        Error::Variant error;
        std::int64_t code;
        std::string message;
    };
    const std::vector<Case> cases = {
        {Error::NotInComparison{}, protocol::kServerError, "The requested component is not part of the active comparison."},
        {Error::NotOwnDocument{}, protocol::kInvalidParams,
         "Only a metadata document that belongs entirely to this row can be edited."},
        {Error::NotDeployable{}, protocol::kInvalidParams, "This row is not deployable, so its document cannot be edited."},
        {Error::TooLong{2000000}, protocol::kInvalidParams, "The edited document is longer than 2000000 characters."},
        {Error::HoldsNul{}, protocol::kInvalidParams,
         "The edited document holds a NUL character (U+0000), which no metadata document may hold."},
        {Error::UnsafePath{}, protocol::kInvalidParams, "The component name does not render a safe file path."},
        {Error::NoContent{"Flow.f"}, protocol::kServerError, "The edited component Flow.f carries no content to replace."},
        {Error::SessionClosed{}, protocol::kServerError,
         "The comparison session has been closed; the workspace has been removed."},
        {Error::Io{"disk full"}, protocol::kServerError, "disk full"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.message);
        const auto refusal = source_override_refusal(Error(c.error));
        EXPECT_EQ(refusal.code, c.code);
        EXPECT_EQ(refusal.message, c.message);
    }
}

TEST_F(MethodTableTest, RepositoryPathsAreResolvedBeforeTheCommand) {
    (void)answer("workflow/inspectGitRepo", R"({"path":"~/projects/app"})");
    ASSERT_EQ(fake_->script.inspect_git_repo.count(), 1u);
    EXPECT_EQ(std::get<0>(fake_->script.inspect_git_repo.calls().front()),
              git::repo_path::resolve_repo_path_input("~/projects/app", git::repo_path::home_directory()));
    if (const auto home = git::repo_path::home_directory()) {
        EXPECT_EQ(std::get<0>(fake_->script.inspect_git_repo.calls().front()), *home / "projects/app");
    }
}

TEST(StandInServices, RememberEndpointsInTheDataDirectory) {
    TempDir root;
    const auto parts = server::stand_in_service_factory(cli::CliCommandCache::create())(root.path(), nullptr, nullptr);
    const auto* memory = dynamic_cast<const endpoint_memory::FileEndpointMemory*>(parts.endpoint_memory.get());
    ASSERT_NE(memory, nullptr);
    EXPECT_EQ(memory->data_directory(), endpoint_memory::FileEndpointMemory::discover().data_directory());
}

}  // namespace
}  // namespace ambrel::dispatch
