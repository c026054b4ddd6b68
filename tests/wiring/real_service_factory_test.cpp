// The composition root: a session starts without any `sf`, the first org listing then says why; the
// cache it answers is the one the `sf` gateway consults; HOME unset changes nothing else; and no
// optional port group is left at its "not available" default.

#include "wiring/real_service_factory.hpp"

#include <cstdlib>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <fmt/format.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "app/application_service.hpp"
#include "dispatch/dispatcher.hpp"
#include "json/json.hpp"
#include "main/outgoing.hpp"
#include "wiring/fake_sf_context.hpp"

namespace ambrel::wiring_test {
namespace {

using app::FailureKind;
using ambrel::testing::TempDir;
namespace wiring = server::wiring;

constexpr std::string_view kNoCli = "Salesforce CLI could not be started or did not return a valid version response.";

// Unsets a variable of this process until it goes away, then restores it.
class ScopedUnset {
public:
    explicit ScopedUnset(std::string name) : name_(std::move(name)) {
        if (const char* value = std::getenv(name_.c_str())) old_ = value;
        ::unsetenv(name_.c_str());
    }
    ~ScopedUnset() {
        if (old_) ::setenv(name_.c_str(), old_->c_str(), 1);
    }
    ScopedUnset(const ScopedUnset&) = delete;
    ScopedUnset& operator=(const ScopedUnset&) = delete;

private:
    std::string name_;
    std::optional<std::string> old_;
};

// A machine on which `sf` is nowhere: PATH, HOME and the fixed locations hold no such program.
wiring::FactoryEnvironment no_sf_anywhere(const std::filesystem::path& folder) {
    std::filesystem::create_directories(folder / "bin");
    std::filesystem::create_directories(folder / "home");
    wiring::FactoryEnvironment environment;
    environment.resolver = [folder] {
        return cli::SfCliExecutableResolver{
            .system_candidates = {folder / "opt" / "sf"},
            .path = (folder / "bin").string(),
            .home = (folder / "home").string(),
            .is_unix = true,
        };
    };
    environment.endpoint_memory = [] { return endpoint_memory::FileEndpointMemory(std::nullopt); };
    return environment;
}

// `sf` is the fake, found through PATH.
wiring::FactoryEnvironment fake_sf_on_path() {
    wiring::FactoryEnvironment environment;
    environment.resolver = [] {
        auto resolver = cli::SfCliExecutableResolver::for_this_process();
        resolver.path = ambrel::testing::fake_bin_dir().string();
        resolver.system_candidates.clear();
        return resolver;
    };
    return environment;
}

TEST(RealServiceFactory, WithoutAnySfTheSessionStartsAndTheFirstOrgListingSaysWhy) {
    TempDir machine;
    TempDir root;
    auto cache = cli::CliCommandCache::create();
    const auto factory = wiring::real_service_factory(cache, no_sf_anywhere(machine.path()));

    dispatch::Dispatcher dispatcher(server::OutgoingChannel::create(), factory);
    const auto response = dispatcher.process_frame(fmt::format(
        R"({{"jsonrpc":"2.0","id":1,"method":"initialize","params":{{"protocolVersion":41,"workspaceRoot":{}}}}})",
        json::quote(root.path().string())));
    ASSERT_TRUE(response);
    EXPECT_TRUE(json::write_compact(*response).starts_with(R"({"jsonrpc":"2.0","id":1,"result":)"))
        << json::write_compact(*response);
    (void)dispatcher.process_frame(R"({"jsonrpc":"2.0","id":2,"method":"shutdown"})");

    const auto parts = factory(root.path(), progress::ProgressSink::disabled(), logging::LogSink::disabled());
    const auto orgs = parts.use_cases->list_orgs(domain::NeverCancelled{});
    ASSERT_FALSE(orgs);
    EXPECT_EQ(orgs.error().kind, FailureKind::Prerequisite);
    EXPECT_EQ(orgs.error().messages, std::vector<std::string>{std::string(kNoCli)});
}

TEST(RealServiceFactory, AnswersTheProcessCacheThatTheGatewayConsults) {
    fake::FakeSf fake;
    fake.write(fake::Scenario()
                   .on_exact({"version", "--json"}, fake::Answer::capture("version"))
                   .on_prefix({"org", "list"}, fake::Answer::capture("standin/orglist")));
    const fake::ScopedFakeSf installed(fake, false);
    TempDir root;
    auto cache = cli::CliCommandCache::create();
    const auto factory = wiring::real_service_factory(cache, fake_sf_on_path());
    const auto parts = factory(root.path(), progress::ProgressSink::disabled(), logging::LogSink::disabled());
    ASSERT_EQ(parts.cli_cache, cache);

    // Caching switched on through the answered cache serves the repeated org list without a run (the
    // version answer carries no status, so it is never cached).
    auto org_list_runs = [&fake] {
        std::size_t runs = 0;
        for (const auto& call : fake.calls()) runs += call.args.at(0) == "org" ? 1 : 0;
        return runs;
    };
    parts.cli_cache->begin_operation(true);
    ASSERT_TRUE(parts.use_cases->list_orgs(domain::NeverCancelled{}));
    EXPECT_EQ(org_list_runs(), 1u);
    ASSERT_TRUE(parts.use_cases->list_orgs(domain::NeverCancelled{}));
    EXPECT_EQ(org_list_runs(), 1u);

    parts.cli_cache->begin_operation(false);
    ASSERT_TRUE(parts.use_cases->list_orgs(domain::NeverCancelled{}));
    EXPECT_EQ(org_list_runs(), 2u);
}

TEST(RealServiceFactory, TheSessionLogRecordsEverySfCommand) {
    fake::FakeSf fake;
    fake.write(fake::Scenario()
                   .on_exact({"version", "--json"}, fake::Answer::capture("version"))
                   .on_prefix({"org", "list"}, fake::Answer::capture("standin/orglist")));
    const fake::ScopedFakeSf installed(fake, false);
    TempDir root;
    auto writer = std::make_shared<ambrel::testing::CapturingLogWriter>();
    const auto factory = wiring::real_service_factory(cli::CliCommandCache::create(), fake_sf_on_path());
    const auto parts = factory(root.path(), progress::ProgressSink::disabled(),
                               logging::LogSink::create(writer, logging::LogLevel::Detailed));
    ASSERT_TRUE(parts.use_cases->list_orgs(domain::NeverCancelled{}));
    std::string log;
    for (const auto& line : writer->raw_lines()) log += line + "\n";
    EXPECT_THAT(log, ::testing::HasSubstr(R"("command":"version")"));
    EXPECT_THAT(log, ::testing::HasSubstr(R"("command":"org list")"));
}

TEST(RealServiceFactory, WithoutHomeTheEndpointsAreNotRememberedAndNothingElseChanges) {
    fake::FakeSf fake;
    fake.write(fake::Scenario()
                   .on_exact({"version", "--json"}, fake::Answer::capture("version"))
                   .on_prefix({"org", "list"}, fake::Answer::capture("standin/orglist")));
    const fake::ScopedFakeSf installed(fake, false);
    const ScopedUnset home("HOME");
    const ScopedUnset xdg("XDG_DATA_HOME");
    TempDir root;
    wiring::FactoryEnvironment environment = fake_sf_on_path();
    const auto factory = wiring::real_service_factory(cli::CliCommandCache::create(), environment);
    const auto parts = factory(root.path(), progress::ProgressSink::disabled(), logging::LogSink::disabled());
    const auto* memory = dynamic_cast<const endpoint_memory::FileEndpointMemory*>(parts.endpoint_memory.get());
    ASSERT_NE(memory, nullptr);
    EXPECT_FALSE(memory->data_directory());
    EXPECT_FALSE(memory->remember(endpoint_memory::RememberedEndpoints{}));
    const auto orgs = parts.use_cases->list_orgs(domain::NeverCancelled{});
    ASSERT_TRUE(orgs) << orgs.error().detail_text();
    EXPECT_FALSE(orgs->empty());
}

TEST(RealServiceFactory, NoOptionalGroupAnswersItsNotAvailableDefault) {
    fake::FakeSf fake;
    fake.write(fake::Scenario().otherwise(fake::Answer().out("{}").exit_code(1)));
    const fake::ScopedFakeSf installed(fake, false);
    TempDir root;
    const auto factory = wiring::real_service_factory(cli::CliCommandCache::create(), fake_sf_on_path());
    const auto parts = factory(root.path(), progress::ProgressSink::disabled(), logging::LogSink::disabled());
    const auto* service = dynamic_cast<const app::QuillaryApplicationService*>(parts.use_cases.get());
    ASSERT_NE(service, nullptr);
    const domain::NeverCancelled token;
    endpoint::OrgAlias org;
    org.alias = "dh";
    org.username = "dana.admin@dreamhouse.standin";
    const endpoint::DeployEndpoint target{endpoint::DeployEndpoint::Org{org}};

    struct Case {
        std::string name;
        std::optional<app::WorkflowFailure> failure;
        std::string_view unsupported;
    };
    auto failure_of = [](const auto& result) -> std::optional<app::WorkflowFailure> {
        if (result) return std::nullopt;
        return result.error();
    };
    const std::vector<Case> cases = {
        {"tracking", failure_of(service->tracking().target_field_reading(target, {"Account.Name"}, "65.0", token)),
         app::ports::kTrackingUnsupported},
        {"quick deploy", failure_of(service->quick_deploy_dependencies().quick_deployment("", "dh", token)),
         app::ports::kQuickDeployUnsupported},
        {"login", failure_of(service->login().alias_login("", "https://login.salesforce.com", {}, token)),
         app::ports::kLoginUnsupported},
        {"preparation", failure_of(service->preparation().preparation_inspection("a", "b", token)),
         app::ports::kPreparationUnsupported},
        {"procedure versions",
         failure_of(service->procedure_versions().expression_set_version_listing("dh", "Definition", token)),
         app::ports::kProcedureVersionsUnsupported},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        if (!c.failure) continue;
        EXPECT_THAT(c.failure->messages, ::testing::Not(::testing::Contains(std::string(c.unsupported))));
        EXPECT_NE(c.failure->kind, FailureKind::Validation);
    }
}

}  // namespace
}  // namespace ambrel::wiring_test
