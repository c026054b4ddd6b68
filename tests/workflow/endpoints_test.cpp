#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "selection_support.hpp"
#include "support/test_paths.hpp"

namespace ambrel::workflow {
namespace {

using endpoint_memory::RememberedEndpoints;
using metadata_types::MetadataType;
using testing::Harness;
using testing::RecordingMemory;
using testing::as_selecting;
using testing::git_endpoint;
using testing::kinds_seen;
using testing::listed_orgs;
using testing::members;
using testing::org;
using testing::show_selecting;
using testing::strategy_of;
using testing::with_state;

using Names = std::vector<std::string>;

endpoint::DeployEndpoint alias_only(std::string alias) {
    endpoint::OrgAlias chosen;
    chosen.alias = std::move(alias);
    return endpoint::DeployEndpoint{endpoint::DeployEndpoint::Org{std::move(chosen)}};
}

struct MemoryHarness {
    Harness h;
    std::shared_ptr<RecordingMemory> memory = std::make_shared<RecordingMemory>();
    MemoryHarness() { testing::use_memory(h, memory); }
};

// ---- Source ----

TEST(SourceChoice, RefusalsChangeNothing) {
    struct Case {
        std::string name;
        endpoint::DeployEndpoint chosen;
        std::vector<endpoint::OrgAlias> listed;
    };
    const std::vector<Case> cases = {
        {"alias in other case", alias_only("DEV"), listed_orgs({"dev"})},
        {"alias not listed", alias_only("qa"), listed_orgs({"dev"})},
        {"alias listed twice", alias_only("dev"), listed_orgs({"dev", "dev"})},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        MemoryHarness m;
        show_selecting(m.h, [&](State& state) {
            state.orgs = c.listed;
            state.source = org("old");
            state.manifest[MetadataType::ApexClass] = {"A"};
        });
        EXPECT_FALSE(m.h.controller->select_source_endpoint(c.chosen));
        const auto& screen = as_selecting(*m.h.state());
        EXPECT_EQ(screen.error_message, std::string(kSelectSource));
        EXPECT_EQ(screen.source, org("old"));
        EXPECT_EQ(screen.manifest.size(), 1U);
        EXPECT_TRUE(m.memory->written().empty());
        EXPECT_EQ(m.h.log_events(), Names{});
    }
}

TEST(SourceChoice, ANewSourceRestartsTheMemberChoiceAndListsItsMembers) {
    MemoryHarness m;
    show_selecting(m.h, [](State& state) {
        state.orgs = listed_orgs({"dev", "uat"});
        state.target = org("uat");
        state.current_type = MetadataType::ApexClass;
        state.listing_incomplete = true;
        state.listing_cache[strategy_of(MetadataType::Flow)] = members({"F"});
        state.manifest[MetadataType::Flow] = {"F"};
    });
    m.h.use_cases->script.list_source_objects.answer(members({"C"}));
    m.h.use_cases->script.check_external_keys.answer(data::key_readiness::ExternalKeysState::Present);
    const auto id = m.h.controller->select_source_endpoint(alias_only("dev"));
    ASSERT_TRUE(id);
    EXPECT_EQ(m.h.kind(), "loadingComponents");
    EXPECT_TRUE(with_state(m.h, [](State& s) { return s.manifest.empty() && !s.listing_incomplete; }));
    m.h.settle();
    const auto& screen = as_selecting(*m.h.state());
    EXPECT_EQ(screen.source, org("dev"));
    EXPECT_EQ(testing::names_of(screen.components), (Names{"C"}));
    EXPECT_EQ(screen.external_keys, ExternalKeyStatus::Present);
    EXPECT_EQ(m.memory->written(), (std::vector<RememberedEndpoints>{{"dev", "uat"}}));
    const auto listed = m.h.use_cases->script.list_source_objects.calls();
    ASSERT_EQ(listed.size(), 1U);
    EXPECT_EQ(std::get<0>(listed[0]), org("dev"));
    EXPECT_EQ(std::get<1>(listed[0]), MetadataType::ApexClass);
}

TEST(SourceChoice, WithARecordDataTypeTheScreenReturnsAtOnce) {
    MemoryHarness m;
    show_selecting(m.h, [](State& state) {
        state.orgs = listed_orgs({"dev"});
        state.current_type = MetadataType::DataRecord(3);
    });
    EXPECT_FALSE(m.h.controller->select_source_endpoint(alias_only("dev")));
    m.h.settle();
    EXPECT_EQ(as_selecting(*m.h.state()).source, org("dev"));
    EXPECT_EQ(m.h.use_cases->script.list_source_objects.count(), 0U);
    EXPECT_FALSE(m.h.controller->state_snapshot().active_operation.has_value());
    EXPECT_EQ(m.h.log_events(), (Names{"operationStarted", "operationFinished"}));
}

TEST(SourceChoice, AGitSourceIsNotValidatedAndNotRemembered) {
    MemoryHarness m;
    show_selecting(m.h, [](State& state) { state.target = org("uat"); });
    m.h.use_cases->script.list_source_objects.answer(members({}));
    ASSERT_TRUE(m.h.controller->select_source_endpoint(git_endpoint()));
    m.h.settle();
    EXPECT_EQ(m.h.use_cases->script.validate_git_target.count(), 0U);
    EXPECT_EQ(m.memory->written(), (std::vector<RememberedEndpoints>{{std::nullopt, "uat"}}));
}

TEST(SourceChoice, ABranchNameGitWouldReadAsARevisionOrAnOptionIsRefusedWithoutAListing) {
    for (const std::string name : {"main~0", "main^0", "main@{0}", "-x", "a..b", "HEAD"}) {
        SCOPED_TRACE(name);
        MemoryHarness m;
        show_selecting(m.h, [](State& state) { state.target = org("uat"); });
        EXPECT_FALSE(m.h.controller->select_source_endpoint(git_endpoint("/repos/app", name)));
        m.h.settle();
        EXPECT_EQ(as_selecting(*m.h.state()).error_message, "The branch name is not a valid git branch name.");
        EXPECT_FALSE(with_state(m.h, [](State& s) { return s.source.has_value(); }));
        EXPECT_EQ(m.h.use_cases->script.list_source_objects.count(), 0U);
    }
}

// ---- Target ----

TEST(TargetChoice, OutcomesOnTheSelectionScreen) {
    struct Case {
        std::string name;
        endpoint::DeployEndpoint chosen;
        std::optional<app::UseCaseResult<app::ports::GitTargetCheck>> check;
        std::optional<endpoint::DeployEndpoint> target;
        std::optional<std::string> message;
        bool remembered;
    };
    const std::vector<Case> cases = {
        {"listed org", alias_only("uat"), std::nullopt, org("uat"), std::nullopt, true},
        {"unlisted org", alias_only("nope"), std::nullopt, org("old"), std::string(kSelectTarget), false},
        {"valid git", git_endpoint(), app::ports::GitTargetCheck::valid(), git_endpoint(), std::nullopt, true},
        {"refused git", git_endpoint(), app::ports::GitTargetCheck::refused("Branch is protected."), org("old"),
         "Branch is protected.", false},
        {"failed git", git_endpoint(),
         app::UseCaseResult<app::ports::GitTargetCheck>(std::unexpected(app::WorkflowFailure::operation("git died"))),
         org("old"), "git died", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        MemoryHarness m;
        show_selecting(m.h, [](State& state) {
            state.orgs = listed_orgs({"uat", "old"});
            state.target = org("old");
            state.remembered_endpoints_consulted = true;
        });
        if (c.check) m.h.use_cases->script.validate_git_target.answer(*c.check);
        EXPECT_FALSE(m.h.controller->select_target_endpoint(c.chosen));
        m.h.settle();
        const auto& screen = as_selecting(*m.h.state());
        EXPECT_EQ(screen.target, c.target);
        EXPECT_EQ(screen.error_message, c.message);
        EXPECT_EQ(m.memory->written().size(), c.remembered ? 1U : 0U);
        EXPECT_EQ(m.h.use_cases->script.validate_git_target.count(), c.check ? 1U : 0U);
    }
}

TEST(TargetChoice, BranchNamesGitWouldReadAsRevisionsOrOptionsAreRefusedBeforeTheGitCheck) {
    const auto with_branch = [](std::string name, bool create, std::optional<std::string> base) {
        auto endpoint = git_endpoint("/repos/app", std::move(name));
        auto& branch = std::get<endpoint::DeployEndpoint::Git>(endpoint.value).branch;
        branch.create = create;
        branch.base = std::move(base);
        return endpoint;
    };
    const struct Case {
        endpoint::DeployEndpoint chosen;
        std::string message;
    } cases[] = {
        {with_branch("main~0", false, std::nullopt), "The branch name is not a valid git branch name."},
        {with_branch("new", true, "--output=x"), "The base branch name is not a valid git branch name."},
        {with_branch("new", true, "main~1"), "The base branch name is not a valid git branch name."},
        {with_branch("bad..name", true, std::nullopt), "The new branch name is not a valid git branch name."},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.message);
        MemoryHarness m;
        show_selecting(m.h, [](State& state) { state.target = org("old"); });
        m.h.controller->select_target_endpoint(c.chosen);
        m.h.settle();
        EXPECT_EQ(as_selecting(*m.h.state()).error_message, c.message);
        EXPECT_EQ(as_selecting(*m.h.state()).target, org("old"));
        EXPECT_EQ(m.h.use_cases->script.validate_git_target.count(), 0U);
    }
}

TEST(TargetChoice, WhileMembersAreListedTheLoadingScreenStays) {
    MemoryHarness m;
    show_selecting(m.h, [](State& state) {
        state.orgs = listed_orgs({"dev", "uat"});
        state.current_type = MetadataType::ApexClass;
    });
    ASSERT_TRUE(m.h.controller->select_source_endpoint(alias_only("dev")));
    m.h.controller->select_target_endpoint(alias_only("uat"));
    const auto* loading = std::get_if<LoadingComponentsState>(m.h.state().get());
    ASSERT_NE(loading, nullptr);
    EXPECT_EQ(loading->target, org("uat"));
    // A refused git target replaces the loading screen; the listing goes on.
    m.h.use_cases->script.validate_git_target.answer(app::ports::GitTargetCheck::refused("no"));
    m.h.controller->select_target_endpoint(git_endpoint());
    EXPECT_EQ(as_selecting(*m.h.state()).error_message, "no");
    EXPECT_EQ(m.h.controller->state_snapshot().active_operation, "loadComponents");
    m.h.use_cases->script.list_source_objects.answer(members({"C"}));
    m.h.settle();
    EXPECT_EQ(as_selecting(*m.h.state()).target, org("uat"));
    EXPECT_EQ(testing::names_of(as_selecting(*m.h.state()).components), (Names{"C"}));
}

TEST(TargetChoice, OnTheReviewScreenItIsIgnored) {
    MemoryHarness m;
    testing::ProbeSession probe;
    {
        auto guard = m.h.inner().lock();
        State& state = m.h.inner().state(guard);
        state.orgs = listed_orgs({"uat"});
        (void)state_publication_locked(state, ReviewingState{probe.session, {}, std::nullopt, std::nullopt});
    }
    m.h.controller->select_target_endpoint(alias_only("uat"));
    m.h.settle();
    EXPECT_EQ(m.h.kind(), "reviewing");
    EXPECT_TRUE(m.h.seen->empty());
    EXPECT_FALSE(with_state(m.h, [](State& s) { return s.target.has_value(); }));
    EXPECT_TRUE(m.memory->written().empty());
}

// ---- Restoring remembered endpoints ----

struct RestoreCase {
    std::string name;
    RememberedEndpoints remembered;
    std::vector<std::string> listed;
    std::optional<endpoint::DeployEndpoint> source;
    std::optional<endpoint::DeployEndpoint> target;
};

TEST(RememberedEndpoints, TheFirstOrgLoadRestoresWhatIsListedOnce) {
    const std::vector<RestoreCase> cases = {
        {"both", {"dev", "uat"}, {"dev", "uat"}, org("dev"), org("uat")},
        {"source no longer listed", {"gone", "uat"}, {"dev", "uat"}, std::nullopt, org("uat")},
        {"alias listed twice", {"dev", std::nullopt}, {"dev", "dev"}, std::nullopt, std::nullopt},
        {"nothing remembered", {}, {"dev"}, std::nullopt, std::nullopt},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        MemoryHarness m;
        m.memory->answer(c.remembered);
        m.h.use_cases->script.list_orgs.answer(listed_orgs(c.listed));
        m.h.use_cases->script.list_source_objects.answer(members({"A"}));
        m.h.use_cases->script.list_orgs.answer(listed_orgs(c.listed));
        ASSERT_TRUE(m.h.controller->load_orgs());
        m.h.settle();
        const auto& screen = as_selecting(*m.h.state());
        EXPECT_EQ(screen.source, c.source);
        EXPECT_EQ(screen.target, c.target);
        // Restore mode writes nothing.
        EXPECT_TRUE(m.memory->written().empty());
        EXPECT_EQ(m.memory->recalls(), 1);
        // A second org load does not consult the memory again.
        ASSERT_TRUE(m.h.controller->load_orgs());
        m.h.settle();
        EXPECT_EQ(m.memory->recalls(), 1);
    }
}

TEST(RememberedEndpoints, AnEndpointAlreadyChosenStopsTheRestoreForGood) {
    MemoryHarness m;
    m.memory->answer({"dev", "uat"});
    show_selecting(m.h, [](State& state) { state.target = git_endpoint(); });
    m.h.use_cases->script.list_orgs.answer(listed_orgs({"dev", "uat"}));
    ASSERT_TRUE(m.h.controller->restart());
    m.h.settle();
    EXPECT_FALSE(as_selecting(*m.h.state()).source.has_value());
    EXPECT_EQ(as_selecting(*m.h.state()).target, git_endpoint());
    EXPECT_TRUE(with_state(m.h, [](State& s) { return s.remembered_endpoints_consulted; }));
}

TEST(RememberedEndpoints, AnEmptyOrgListLeavesTheRestoreForALaterLoad) {
    MemoryHarness m;
    m.memory->answer({std::nullopt, "uat"});
    m.h.use_cases->script.list_orgs.answer(listed_orgs({}));
    m.h.use_cases->script.list_orgs.answer(listed_orgs({"uat"}));
    ASSERT_TRUE(m.h.controller->restart());
    m.h.settle();
    EXPECT_FALSE(with_state(m.h, [](State& s) { return s.remembered_endpoints_consulted; }));
    ASSERT_TRUE(m.h.controller->restart());
    m.h.settle();
    EXPECT_EQ(as_selecting(*m.h.state()).target, org("uat"));
}

TEST(RememberedEndpoints, ARestoreThatComesTooLateDoesNothing) {
    MemoryHarness m;
    m.memory->answer({"dev", "uat"});
    show_selecting(m.h, [](State& state) { state.orgs = listed_orgs({"dev", "uat"}); });
    // Another operation began after the org load whose follow-up this is.
    const std::uint64_t org_load_id = with_state(m.h, [](State& s) { return s.operation_id; });
    ASSERT_TRUE(m.h.inner().begin_operation_if(OperationKind::LoadComponents, true, false, std::nullopt));
    m.h.inner().restore_remembered_endpoints(org_load_id);
    EXPECT_FALSE(with_state(m.h, [](State& s) { return s.source.has_value() || s.target.has_value(); }));
    EXPECT_FALSE(with_state(m.h, [](State& s) { return s.remembered_endpoints_consulted; }));
    // Restore mode on its own: a target chosen meanwhile is never overwritten, and nothing is written.
    with_state(m.h, [](State& s) {
        s.target = org("uat");
        return 0;
    });
    const std::uint64_t current = with_state(m.h, [](State& s) { return s.operation_id; });
    m.h.inner().select_target_endpoint_with(alias_only("dev"), true, current);
    EXPECT_FALSE(m.h.inner().select_source_endpoint_with(alias_only("dev"), true, current - 1));
    EXPECT_EQ(with_state(m.h, [](State& s) { return s.target; }), org("uat"));
    EXPECT_FALSE(with_state(m.h, [](State& s) { return s.source.has_value(); }));
    EXPECT_TRUE(m.memory->written().empty());
}

TEST(RememberedEndpoints, TheFileIsReadBackAcrossAControllerRestart) {
    ambrel::testing::TempDir temp;
    auto memory = std::make_shared<endpoint_memory::FileEndpointMemory>(temp.path() / "quillary");
    {
        Harness h;
        testing::use_memory(h, memory);
        show_selecting(h, [](State& state) {
            state.orgs = listed_orgs({"dev", "uat"});
            state.current_type = MetadataType::DataRecord(0);
            state.remembered_endpoints_consulted = true;
        });
        (void)h.controller->select_source_endpoint(alias_only("dev"));
        h.controller->select_target_endpoint(alias_only("uat"));
        h.settle();
        h.controller->close();
        h.settle();
    }
    EXPECT_EQ(ambrel::testing::read_file(temp.path() / "quillary" / "last-endpoints.json"),
              "{\"v\":1,\"source\":{\"kind\":\"org\",\"alias\":\"dev\"},\"target\":{\"kind\":\"org\",\"alias\":\"uat\"}}\n");
    Harness h;
    testing::use_memory(h, memory);
    h.use_cases->script.list_orgs.answer(listed_orgs({"dev", "uat"}));
    h.use_cases->script.list_source_objects.answer(members({"A"}));
    ASSERT_TRUE(h.controller->load_orgs());
    h.settle();
    EXPECT_EQ(as_selecting(*h.state()).source, org("dev"));
    EXPECT_EQ(as_selecting(*h.state()).target, org("uat"));
}

TEST(RememberedEndpoints, ADamagedFileRestoresNothingAndIsNotRewrittenByTheRestore) {
    ambrel::testing::TempDir temp;
    const auto file = temp.path() / "last-endpoints.json";
    const std::string damaged = "{\"v\":1,\"source\":{\"kind\":\"org\",";
    {
        std::ofstream out(file, std::ios::binary);
        out << damaged;
    }
    Harness h;
    testing::use_memory(h, std::make_shared<endpoint_memory::FileEndpointMemory>(temp.path()));
    h.use_cases->script.list_orgs.answer(listed_orgs({"dev"}));
    ASSERT_TRUE(h.controller->load_orgs());
    h.settle();
    EXPECT_FALSE(as_selecting(*h.state()).source.has_value());
    EXPECT_EQ(ambrel::testing::read_file(file), damaged);
}

}  // namespace
}  // namespace ambrel::workflow
