#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "selection_support.hpp"

namespace ambrel::workflow {
namespace {

using data::key_readiness::ExternalKeysState;
using metadata_types::MetadataType;
using testing::Harness;
using testing::as_selecting;
using testing::git_endpoint;
using testing::listed_org;
using testing::listed_orgs;
using testing::members;
using testing::org;
using testing::show_selecting;
using testing::with_state;

using Names = std::vector<std::string>;

// ---- Git repositories ----

git::GitRepoInspection two_mains(std::optional<std::string> current) {
    git::GitRepoInspection inspection;
    inspection.branches = {{"main", std::nullopt, current.has_value()}, {"origin/main", "origin", false}};
    inspection.current_branch = std::move(current);
    inspection.has_sfdx_project = true;
    return inspection;
}

TEST(GitRepositories, AnInspectionAnswersInItsFixedMemberOrder) {
    struct Case {
        std::string name;
        git::GitRepoInspection inspection;
        std::string json;
    };
    const std::vector<Case> cases = {
        {"current branch", two_mains("main"),
         R"({"valid":true,"sfdxProject":true,"currentBranch":"main","canInitialize":false,"branches":[)"
         R"({"name":"main","kind":"local","isCurrent":true},)"
         R"({"name":"origin/main","kind":"remote","isCurrent":false,"remote":"origin"}]})"},
        {"detached", two_mains(std::nullopt),
         R"({"valid":true,"sfdxProject":true,"currentBranch":null,"canInitialize":false,"branches":[)"
         R"({"name":"main","kind":"local","isCurrent":false},)"
         R"({"name":"origin/main","kind":"remote","isCurrent":false,"remote":"origin"}]})"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Harness h;
        h.use_cases->script.inspect_git_repo.answer(c.inspection);
        h.use_cases->script.init_git_repo.answer(c.inspection);
        EXPECT_EQ(json::write_compact(h.controller->inspect_git_repo("/repo")), c.json);
        EXPECT_EQ(json::write_compact(h.controller->init_git_repo("/repo")), c.json);
        EXPECT_EQ(h.use_cases->script.can_initialize_git_repo.count(), 0U);
        EXPECT_TRUE(h.seen->empty());
    }
}

TEST(GitRepositories, AFailureAnswersWithTheReasonAndWhetherTheFolderCanBeInitialised) {
    for (const bool can_initialize : {true, false}) {
        SCOPED_TRACE(can_initialize);
        Harness h;
        h.use_cases->script.inspect_git_repo.answer(std::unexpected(app::WorkflowFailure::operation("not a repository")));
        h.use_cases->script.init_git_repo.answer(std::unexpected(app::WorkflowFailure::operation("cannot init")));
        h.use_cases->script.can_initialize_git_repo.answer(can_initialize);
        h.use_cases->script.can_initialize_git_repo.answer(can_initialize);
        const std::string flag = can_initialize ? "true" : "false";
        EXPECT_EQ(json::write_compact(h.controller->inspect_git_repo("/folder")),
                  R"({"valid":false,"reason":"not a repository","sfdxProject":false,"currentBranch":null,"branches":[],)"
                  R"("canInitialize":)" + flag + "}");
        EXPECT_EQ(json::write_compact(h.controller->init_git_repo("/folder")),
                  R"({"valid":false,"reason":"cannot init","sfdxProject":false,"currentBranch":null,"branches":[],)"
                  R"("canInitialize":)" + flag + "}");
        const auto asked = h.use_cases->script.can_initialize_git_repo.calls();
        ASSERT_EQ(asked.size(), 2U);
        EXPECT_EQ(std::get<0>(asked[0]), std::filesystem::path("/folder"));
        EXPECT_EQ(h.log_events(), (Names{"failure", "failure"}));
    }
}

// ---- Org alias creation ----

cli::CreatedOrgAlias created(std::string alias) {
    cli::CreatedOrgAlias result;
    result.alias = std::move(alias);
    return result;
}

TEST(OrgAliasCreation, TheNewAliasIsChosenOnTheRequestedSide) {
    for (const EndpointSide side : {EndpointSide::Target, EndpointSide::Source}) {
        SCOPED_TRACE(side == EndpointSide::Target ? "target" : "source");
        Harness h;
        show_selecting(h, [](State& state) {
            state.orgs = listed_orgs({"dev"});
            state.source = org("dev");
            state.target = org("dev");
            state.current_type = MetadataType::ApexClass;
            state.remembered_endpoints_consulted = true;
        });
        h.use_cases->script.create_org_alias.answer(created("fresh"));
        h.use_cases->script.list_orgs.answer(listed_orgs({"dev", "fresh"}));
        h.use_cases->script.list_source_objects.answer(members({"C"}));
        const auto id = h.controller->create_org_alias(side, "fresh", "https://login.salesforce.com");
        ASSERT_TRUE(id);
        EXPECT_EQ(h.kind(), "selecting");
        EXPECT_EQ(h.controller->state_snapshot().active_operation, "createOrgAlias");
        h.settle();
        const auto& screen = as_selecting(*h.state());
        EXPECT_EQ(screen.orgs, listed_orgs({"dev", "fresh"}));
        const auto calls = h.use_cases->script.create_org_alias.calls();
        ASSERT_EQ(calls.size(), 1U);
        EXPECT_EQ(std::get<0>(calls[0]), "fresh");
        EXPECT_EQ(std::get<2>(calls[0]), listed_orgs({"dev"}));
        if (side == EndpointSide::Target) {
            EXPECT_EQ(screen.target, org("fresh"));
            EXPECT_EQ(screen.source, org("dev"));
            EXPECT_EQ(h.use_cases->script.list_source_objects.count(), 0U);
            EXPECT_EQ(h.log_events(), (Names{"operationStarted", "operationFinished"}));
        } else {
            EXPECT_EQ(screen.source, org("fresh"));
            EXPECT_EQ(h.use_cases->script.list_source_objects.count(), 1U);
            EXPECT_EQ(h.log_events(),
                      (Names{"operationStarted", "operationFinished", "operationStarted", "operationFinished"}));
        }
        EXPECT_FALSE(h.controller->state_snapshot().active_operation.has_value());
    }
}

TEST(OrgAliasCreation, FailuresStayOnTheSelectionScreen) {
    struct Case {
        std::string name;
        bool login_fails;
        std::size_t listings;
    };
    for (const auto& c : std::vector<Case>{{"login refused", true, 0}, {"listing fails", false, 1}}) {
        SCOPED_TRACE(c.name);
        Harness h;
        show_selecting(h, [](State& state) { state.orgs = listed_orgs({"dev"}); });
        if (c.login_fails) {
            h.use_cases->script.create_org_alias.answer(
                std::unexpected(app::WorkflowFailure::operation("Alias dev is already in use.")));
        } else {
            h.use_cases->script.create_org_alias.answer(created("fresh"));
            h.use_cases->script.list_orgs.answer(std::unexpected(app::WorkflowFailure::operation("Alias dev is already in use.")));
        }
        ASSERT_TRUE(h.controller->create_org_alias(EndpointSide::Source, "dev", ""));
        h.settle();
        const auto& screen = as_selecting(*h.state());
        EXPECT_EQ(screen.error_message, "Alias dev is already in use.");
        EXPECT_EQ(screen.orgs, listed_orgs({"dev"}));
        EXPECT_EQ(h.use_cases->script.list_orgs.count(), c.listings);
        EXPECT_EQ(h.log_events(), (Names{"operationStarted", "failure", "operationFinished"}));
    }
}

TEST(OrgAliasCreation, RefusedOffTheSelectionScreenAndDroppedWhenSuperseded) {
    Harness h;
    h.inner().transition(LoadingComponentsState{{}, org("dev"), std::nullopt});
    EXPECT_FALSE(h.controller->create_org_alias(EndpointSide::Target, "x", ""));
    EXPECT_EQ(h.use_cases->script.create_org_alias.count(), 0U);

    Harness s;
    show_selecting(s, [](State& state) {
        state.orgs = listed_orgs({"dev"});
        state.current_type = MetadataType::Flow;
        state.listing_cache[testing::strategy_of(MetadataType::Flow)] = members({"F"});
    });
    s.use_cases->script.create_org_alias.answer(created("fresh"));
    s.use_cases->script.list_orgs.answer(listed_orgs({"dev", "fresh"}));
    ASSERT_TRUE(s.controller->create_org_alias(EndpointSide::Target, "fresh", ""));
    s.background->run_all();
    s.cleanup->run_all();
    s.background->run_all();
    EXPECT_TRUE(s.controller->cancel_operation(std::nullopt));
    s.settle();
    EXPECT_EQ(as_selecting(*s.state()).error_message, std::string(kOrgLoginCancelled));
    // The screen still lists the current type's members.
    EXPECT_EQ(testing::names_of(as_selecting(*s.state()).components), (Names{"F"}));
    EXPECT_EQ(with_state(s, [](State& state) { return state.orgs; }), listed_orgs({"dev"}));
    EXPECT_FALSE(with_state(s, [](State& state) { return state.target.has_value(); }));
}

// ---- Org preparation and external keys ----

void show_pair(Harness& h) {
    show_selecting(h, [](State& state) {
        state.orgs = listed_orgs({"dev", "uat"});
        state.source = org("dev");
        state.target = org("uat");
    });
}

TEST(OrgPreparation, TheReportIsShownAndAnApplyChecksTheKeysAgain) {
    for (const bool apply : {false, true}) {
        SCOPED_TRACE(apply ? "apply" : "inspect");
        Harness h;
        show_pair(h);
        with_state(h, [](State& state) {
            state.external_key_pair = std::pair<std::string, std::string>("dev", "uat");
            state.external_key_status = ExternalKeyStatus::Missing;
            return 0;
        });
        data::preparation::OrgPreparationReport report;
        report.applied = apply;
        (apply ? h.use_cases->script.apply_org_preparation : h.use_cases->script.inspect_org_preparation).answer(report);
        h.use_cases->script.check_external_keys.answer(ExternalKeysState::Present);
        const auto id = apply ? h.controller->apply_org_preparation() : h.controller->inspect_org_preparation();
        ASSERT_TRUE(id);
        EXPECT_EQ(h.controller->state_snapshot().active_operation, "prepareOrgs");
        h.background->run_all();
        h.cleanup->run_all();
        h.background->run_all();
        h.ui->run_all();
        const auto& shown = as_selecting(*h.state());
        ASSERT_NE(shown.org_preparation, nullptr);
        EXPECT_EQ(shown.org_preparation->applied, apply);
        EXPECT_EQ(shown.external_keys, apply ? ExternalKeyStatus::Checking : ExternalKeyStatus::Missing);
        h.settle();
        EXPECT_EQ(as_selecting(*h.state()).external_keys, apply ? ExternalKeyStatus::Present : ExternalKeyStatus::Missing);
        EXPECT_EQ(as_selecting(*h.state()).org_preparation->applied, apply);
        EXPECT_EQ(h.use_cases->script.check_external_keys.count(), apply ? 1U : 0U);
    }
}

TEST(OrgPreparation, NeedsTwoOrgsOnTheSelectionScreen) {
    Harness h;
    show_selecting(h, [](State& state) {
        state.source = git_endpoint();
        state.target = org("uat");
    });
    EXPECT_FALSE(h.controller->inspect_org_preparation());
    EXPECT_FALSE(h.controller->apply_org_preparation());
    Harness off;
    show_pair(off);
    off.inner().transition(LoadingOrgsState{});
    EXPECT_FALSE(off.controller->inspect_org_preparation());
}

TEST(OrgPreparation, AFailureIsShownOnTheSelectionScreenWithoutTheOldReport) {
    Harness h;
    show_pair(h);
    {
        auto guard = h.inner().lock();
        State& state = h.inner().state(guard);
        (void)state_publication_locked(
            state, selecting_state(state, std::nullopt, std::nullopt,
                                   std::make_shared<const data::preparation::OrgPreparationReport>()));
    }
    h.use_cases->script.inspect_org_preparation.answer(std::unexpected(app::WorkflowFailure::operation("no access")));
    ASSERT_TRUE(h.controller->inspect_org_preparation());
    h.settle();
    EXPECT_EQ(as_selecting(*h.state()).error_message, "no access");
    EXPECT_EQ(as_selecting(*h.state()).org_preparation, nullptr);
}

TEST(ExternalKeys, OnePairIsCheckedOnceAndALateResultIsIgnored) {
    Harness h;
    show_pair(h);
    h.use_cases->script.check_external_keys.answer(ExternalKeysState::Missing);
    h.inner().refresh_external_keys();
    EXPECT_EQ(as_selecting(*h.state()).external_keys, ExternalKeyStatus::Checking);
    // The same pair again: no new check.
    h.inner().refresh_external_keys();
    EXPECT_EQ(h.background->pending(), 1U);
    // A git target while the check runs: the check is cancelled and the status goes away.
    h.use_cases->script.validate_git_target.answer(app::ports::GitTargetCheck::valid());
    h.controller->select_target_endpoint(git_endpoint());
    EXPECT_FALSE(as_selecting(*h.state()).external_keys.has_value());
    h.settle();
    EXPECT_FALSE(as_selecting(*h.state()).external_keys.has_value());
    const auto calls = h.use_cases->script.check_external_keys.calls();
    ASSERT_EQ(calls.size(), 1U);
    EXPECT_TRUE(std::get<2>(calls[0]));
}

TEST(ExternalKeys, FailuresAndRefusalsGiveUnavailable) {
    struct Case {
        std::string name;
        bool check_fails;
        bool keys_refuse;
        bool ui_refuses;
        bool published;
    };
    const std::vector<Case> cases = {
        {"check fails", true, false, false, true},
        {"keys executor refuses", false, true, false, true},
        {"both executors refuse", false, true, true, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Harness h;
        show_pair(h);
        if (c.check_fails) {
            h.use_cases->script.check_external_keys.answer(std::unexpected(app::WorkflowFailure::operation("x")));
        }
        h.background->refuse(c.keys_refuse);
        h.ui->refuse(c.ui_refuses);
        h.inner().refresh_external_keys();
        h.ui->refuse(false);
        h.settle();
        EXPECT_EQ(with_state(h, [](State& state) { return state.external_key_status; }), ExternalKeyStatus::Unavailable);
        EXPECT_EQ(as_selecting(*h.state()).external_keys,
                  c.published ? std::optional(ExternalKeyStatus::Unavailable) : std::optional(ExternalKeyStatus::Checking));
    }
}

}  // namespace
}  // namespace ambrel::workflow
