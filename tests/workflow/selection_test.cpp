#include <memory>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "selection_support.hpp"

namespace ambrel::workflow {
namespace {

using metadata_types::MetadataType;
using testing::Harness;
using testing::as_selecting;
using testing::git_endpoint;
using testing::kinds_seen;
using testing::listed_org;
using testing::listed_orgs;
using testing::members;
using testing::names_of;
using testing::org;
using testing::show_selecting;
using testing::strategy_of;
using testing::with_state;

using Names = std::vector<std::string>;
using NameSet = std::set<std::string>;

const MetadataType kRecordType = MetadataType::DataRecord(0);

// ---- Org load ----

TEST(OrgLoad, ShowsTheListedOrgsAndEndsTheOperation) {
    struct Case {
        std::string name;
        std::vector<endpoint::OrgAlias> listed;
        std::optional<std::string> message;
    };
    const std::vector<Case> cases = {
        {"two orgs", listed_orgs({"dev", "uat"}), std::nullopt},
        {"no org", {}, std::string(kNoOrgAliases)},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Harness h;
        h.use_cases->script.list_orgs.answer(c.listed);
        const auto id = h.controller->load_orgs();
        ASSERT_EQ(id, 1U);
        EXPECT_EQ(h.kind(), "loadingOrgs");
        h.settle();
        const auto& screen = as_selecting(*h.state());
        EXPECT_EQ(screen.orgs, c.listed);
        EXPECT_EQ(screen.error_message, c.message);
        EXPECT_EQ(kinds_seen(h).back(), "selecting");
        EXPECT_FALSE(h.seen->back().active_operation.has_value());
        EXPECT_EQ(h.log_events(), (Names{"operationStarted", "operationFinished"}));
        EXPECT_EQ(h.use_cases->script.list_source_objects.count(), 0U);
    }
}

TEST(OrgLoad, AFailureShowsTheErrorScreenAndKeepsTheOrgList) {
    Harness h;
    show_selecting(h, [](State& state) { state.orgs = listed_orgs({"dev"}); });
    h.use_cases->script.list_orgs.answer(std::unexpected(app::WorkflowFailure::operation("sf exploded")));
    ASSERT_TRUE(h.controller->load_orgs());
    h.settle();
    EXPECT_EQ(h.kind(), "error");
    EXPECT_EQ(testing::as_error(*h.state()).details, "sf exploded");
    EXPECT_EQ(with_state(h, [](State& s) { return s.orgs; }), listed_orgs({"dev"}));
}

TEST(OrgLoad, ASupersededLoadChangesNothing) {
    Harness h;
    h.use_cases->script.list_orgs.answer(listed_orgs({"old"}));
    h.use_cases->script.list_orgs.answer(listed_orgs({"new"}));
    ASSERT_TRUE(h.controller->load_orgs());
    h.background->run_all();
    ASSERT_TRUE(h.controller->load_orgs());
    h.settle();
    EXPECT_EQ(as_selecting(*h.state()).orgs, listed_orgs({"new"}));
}

TEST(OrgLoad, EndpointsAreKeptOnlyForTheSameLogin) {
    endpoint::OrgAlias same_login_other_case = listed_org("dev");
    same_login_other_case.username = "DEV@Example.com";
    same_login_other_case.instance_url = "https://fresh";
    endpoint::OrgAlias other_login = listed_org("dev");
    other_login.username = "someone@else.com";
    endpoint::OrgAlias other_org = listed_org("dev");
    other_org.org_id = "00Dother";
    struct Case {
        std::string name;
        std::optional<endpoint::DeployEndpoint> before;
        std::vector<endpoint::OrgAlias> listed;
        std::optional<endpoint::DeployEndpoint> after;
    };
    const std::vector<Case> cases = {
        {"no endpoint", std::nullopt, listed_orgs({"dev"}), std::nullopt},
        {"git endpoint, no org listed", git_endpoint(), {}, git_endpoint()},
        {"same login", org("dev"), listed_orgs({"dev"}), org("dev")},
        {"username in other case is replaced by the listed record", org("dev"), {same_login_other_case},
         endpoint::DeployEndpoint{endpoint::DeployEndpoint::Org{same_login_other_case}}},
        {"alias names another login", org("dev"), {other_login}, std::nullopt},
        {"alias names another org", org("dev"), {other_org}, std::nullopt},
        {"listed twice", org("dev"), listed_orgs({"dev", "dev"}), std::nullopt},
        {"alias differs in case", org("dev"), listed_orgs({"DEV"}), std::nullopt},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(retain_org(c.listed, c.before), c.after);
        Harness h;
        show_selecting(h, [&](State& state) {
            state.source = c.before;
            state.target = c.before;
            state.manifest[MetadataType::ApexClass] = {"A"};
        });
        h.use_cases->script.list_orgs.answer(c.listed);
        h.use_cases->script.list_source_objects.answer(members({"A"}));
        ASSERT_TRUE(h.controller->restart());
        h.settle();
        const auto& screen = as_selecting(*h.state());
        EXPECT_EQ(screen.source, c.after);
        EXPECT_EQ(screen.target, c.after);
        // Without a source the member choice goes too.
        EXPECT_EQ(screen.manifest.empty(), !c.after.has_value());
    }
}

TEST(OrgLoad, AnIncompletelyListedSourceWithNothingChosenIsDropped) {
    for (const bool chosen : {false, true}) {
        SCOPED_TRACE(chosen ? "with members chosen" : "with nothing chosen");
        Harness h;
        auto memory = std::make_shared<testing::RecordingMemory>();
        testing::use_memory(h, memory);
        show_selecting(h, [&](State& state) {
            state.orgs = listed_orgs({"dev"});
            state.source = org("dev");
            state.listing_incomplete = true;
            state.remembered_endpoints_consulted = true;
            if (chosen) state.manifest[MetadataType::ApexClass] = {"A"};
        });
        h.use_cases->script.list_orgs.answer(listed_orgs({"dev"}));
        ASSERT_TRUE(h.controller->restart());
        h.settle();
        EXPECT_EQ(as_selecting(*h.state()).source.has_value(), chosen);
        if (chosen) {
            EXPECT_TRUE(memory->written().empty());
        } else {
            // The restore step rewrites the memory without the dropped source.
            ASSERT_EQ(memory->written().size(), 1U);
            EXPECT_EQ(memory->written()[0], endpoint_memory::RememberedEndpoints{});
        }
        EXPECT_FALSE(with_state(h, [](State& s) { return s.source_dropped; }));
    }
}

TEST(OrgLoad, LoadOrgsListsTheSourceAgainButANewComparisonDoesNot) {
    for (const bool relist : {true, false}) {
        SCOPED_TRACE(relist ? "loadOrgs" : "newComparison");
        Harness h;
        show_selecting(h, [](State& state) {
            state.orgs = listed_orgs({"dev"});
            state.source = org("dev");
            state.current_type = MetadataType::ApexClass;
            state.listing_cache[strategy_of(MetadataType::ApexClass)] = members({"Old"});
            state.manifest[MetadataType::ApexClass] = {"A", "Old"};
        });
        h.use_cases->script.list_orgs.answer(listed_orgs({"dev"}));
        h.use_cases->script.list_source_objects.answer(members({"A", "B"}));
        ASSERT_TRUE(relist ? h.controller->load_orgs() : h.controller->restart());
        h.settle();
        const auto& screen = as_selecting(*h.state());
        if (relist) {
            ASSERT_EQ(h.use_cases->script.list_source_objects.count(), 1U);
            EXPECT_EQ(names_of(screen.components), (Names{"A", "B"}));
            EXPECT_EQ(screen.manifest.at(MetadataType::ApexClass), (NameSet{"A"}));
            EXPECT_EQ(kinds_seen(h), (Names{"loadingOrgs", "selecting", "loadingComponents", "selecting"}));
            EXPECT_EQ(h.log_events(),
                      (Names{"operationStarted", "operationFinished", "operationStarted", "operationFinished"}));
        } else {
            EXPECT_EQ(h.use_cases->script.list_source_objects.count(), 0U);
            EXPECT_EQ(names_of(screen.components), (Names{"Old"}));
        }
    }
}

TEST(OrgLoad, TheRelistingOfARecordDataTypeEndsAtOnce) {
    Harness h;
    show_selecting(h, [](State& state) {
        state.orgs = listed_orgs({"dev"});
        state.source = org("dev");
        state.current_type = kRecordType;
        state.remembered_endpoints_consulted = true;
    });
    h.use_cases->script.list_orgs.answer(listed_orgs({"dev"}));
    ASSERT_TRUE(h.controller->load_orgs());
    h.settle();
    EXPECT_EQ(h.use_cases->script.list_source_objects.count(), 0U);
    const auto& screen = as_selecting(*h.state());
    EXPECT_TRUE(screen.components.empty());
    EXPECT_EQ(screen.current_type, kRecordType);
    EXPECT_FALSE(h.controller->state_snapshot().active_operation.has_value());
    EXPECT_EQ(h.log_events(), (Names{"operationStarted", "operationFinished", "operationStarted", "operationFinished"}));
}

// ---- Shared selection helpers ----

TEST(SelectionHelpers, CommitSelectionStoresAndDerives) {
    struct Case {
        std::string name;
        ManifestSelection before;
        MetadataType type;
        NameSet names;
        ManifestSelection after;
    };
    const std::vector<Case> cases = {
        {"fields derive objects", {}, MetadataType::CustomField, {"Account", "Thing__mdt", "Alert__e"},
         {{MetadataType::CustomField, {"Account", "Thing__mdt", "Alert__e"}}, {MetadataType::CustomObject, {"Account"}}}},
        {"empty fields remove both",
         {{MetadataType::CustomField, {"Account"}}, {MetadataType::CustomObject, {"Account"}}},
         MetadataType::CustomField,
         {},
         {}},
        {"empty flows remove flows", {{MetadataType::Flow, {"F"}}, {MetadataType::ApexClass, {"C"}}}, MetadataType::Flow,
         {}, {{MetadataType::ApexClass, {"C"}}}},
        {"record data stores nothing", {{kRecordType, {"x"}}}, kRecordType, {"a", "b"}, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ManifestSelection selection = c.before;
        commit_selection(selection, c.type, c.names);
        EXPECT_EQ(selection, c.after);
    }
}

TEST(SelectionHelpers, ANewListingTrimsOnlyItsOwnStrategy) {
    struct Case {
        std::string name;
        bool source_is_org;
        ManifestSelection after;
    };
    // "pkg__Managed__c" is refused by the object listing filter of fields (a packaged name).
    const ManifestSelection before = {
        {MetadataType::CustomField, {"Account.Gone__c", "Account.Kept__c"}},
        {MetadataType::CustomObject, {"Account", "Gone__c"}},
        {MetadataType::ApexClass, {"NotListed"}},
        {kRecordType, {"row"}},
    };
    const std::vector<Case> cases = {
        {"org source", true,
         {{MetadataType::CustomField, {"Account.Kept__c"}},
          {MetadataType::CustomObject, {"Account"}},
          {MetadataType::ApexClass, {"NotListed"}},
          {kRecordType, {"row"}}}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        State state;
        state.manifest = before;
        retain_manifest_for_strategy_locked(state, MetadataType::CustomObject, members({"Account", "Account.Kept__c"}),
                                            c.source_is_org);
        EXPECT_EQ(state.manifest, c.after);
    }
    // A listing of a record-data type trims nothing.
    State state;
    state.manifest = before;
    retain_manifest_for_strategy_locked(state, kRecordType, {}, true);
    EXPECT_EQ(state.manifest, before);
}

TEST(SelectionHelpers, WithAGitSourceNamesTheListingNeverShowsSurvive) {
    State state;
    state.manifest = {{MetadataType::ApexClass, {"Listed", "Missing", "ns__Packaged"}}};
    // Names the listed type's filter would refuse survive; the others that are missing go.
    for (const bool source_is_org : {false, true}) {
        SCOPED_TRACE(source_is_org ? "org" : "git");
        State copy = state;
        retain_manifest_for_strategy_locked(copy, MetadataType::ApexClass, members({"Listed"}), source_is_org);
        NameSet expected = {"Listed"};
        if (!source_is_org && !MetadataType::ApexClass.object_listing_admits("ns__Packaged")) {
            expected.insert("ns__Packaged");
        }
        EXPECT_EQ(copy.manifest.at(MetadataType::ApexClass), expected);
    }
}

TEST(SelectionHelpers, TheScreenShowsAdmittedMembersOfTheCurrentType) {
    State state;
    const auto listed = members({"Zeta__mdt", "Account", "Alert__e", "Beta__mdt"});
    state.listing_cache[strategy_of(MetadataType::CustomField)] = listed;
    for (const MetadataType type : {MetadataType::CustomField, MetadataType::CustomMetadataType,
                                    MetadataType::PlatformEvent}) {
        SCOPED_TRACE(std::string(type.wire_id()));
        state.current_type = type;
        Names expected;
        for (const auto& object : listed) {
            if (type.object_listing_admits(object.api_name)) expected.push_back(object.api_name);
        }
        EXPECT_EQ(names_of(components_locked(state)), expected);
    }
    state.current_type = MetadataType::CustomMetadataType;
    EXPECT_EQ(names_of(components_locked(state)), (Names{"Zeta__mdt", "Beta__mdt"}));
    // A type whose strategy is not cached shows nothing; so does a record-data type.
    state.current_type = MetadataType::ApexClass;
    EXPECT_TRUE(components_locked(state).empty());
    state.current_type = kRecordType;
    EXPECT_TRUE(components_locked(state).empty());
    const auto screen = selecting_state(state, "m", ImportSummary{{"w"}, 2}, nullptr);
    const auto& selecting = as_selecting(screen);
    EXPECT_TRUE(selecting.components.empty());
    EXPECT_EQ(selecting.current_type, kRecordType);
    EXPECT_EQ(selecting.error_message, "m");
    EXPECT_EQ(selecting.import_summary->imported, 2U);
}

TEST(SelectionHelpers, ASelectionErrorOnTheReviewScreenKeepsItsRows) {
    Harness h;
    testing::ProbeSession probe;
    Rows rows(2);
    {
        auto guard = h.inner().lock();
        (void)state_publication_locked(h.inner().state(guard), ReviewingState{probe.session, rows, std::nullopt, std::nullopt});
    }
    h.inner().selection_error("look here");
    const auto* reviewing = std::get_if<ReviewingState>(h.state().get());
    ASSERT_NE(reviewing, nullptr);
    EXPECT_EQ(reviewing->rows.size(), 2U);
    EXPECT_EQ(reviewing->session, probe.session);
    EXPECT_EQ(reviewing->error_message, "look here");
    h.settle();
    EXPECT_EQ(kinds_seen(h), (Names{"reviewing"}));
}

// ---- Metadata type choice and member listing ----

TEST(TypeChoice, EachPathOfTheCommand) {
    struct Case {
        std::string name;
        MetadataType from;
        MetadataType to;
        bool source;
        bool cached;
        bool operation;
        std::size_t listings;
    };
    const std::vector<Case> cases = {
        {"listed source", MetadataType::Flow, MetadataType::ApexClass, true, false, true, 1},
        {"cached strategy", MetadataType::CustomField, MetadataType::CustomMetadataType, true, true, false, 0},
        {"record-data type", MetadataType::Flow, kRecordType, true, false, false, 0},
        {"no source", MetadataType::Flow, MetadataType::ApexClass, false, false, false, 0},
        {"not selectable", MetadataType::Flow, MetadataType::CustomObject, true, false, false, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Harness h;
        show_selecting(h, [&](State& state) {
            state.orgs = listed_orgs({"dev"});
            if (c.source) state.source = org("dev");
            state.current_type = c.from;
            if (c.cached) state.listing_cache[strategy_of(MetadataType::CustomField)] = members({"Account"});
        });
        h.use_cases->script.list_source_objects.answer(members({"C1"}));
        const auto id = h.controller->select_metadata_type(c.to, {"Chosen"});
        EXPECT_EQ(id.has_value(), c.operation);
        h.settle();
        EXPECT_EQ(h.use_cases->script.list_source_objects.count(), c.listings);
        const auto& screen = as_selecting(*h.state());
        if (c.to == MetadataType::CustomObject) {
            // Refused: nothing stored, nothing published.
            EXPECT_EQ(screen.current_type, c.from);
            EXPECT_TRUE(h.seen->empty());
            continue;
        }
        EXPECT_EQ(screen.current_type, c.to);
        EXPECT_EQ(screen.manifest.at(c.from), (NameSet{"Chosen"}));
        if (c.listings == 1) {
            EXPECT_EQ(names_of(screen.components), (Names{"C1"}));
        }
    }
}

TEST(TypeChoice, NamesOfThePreviousTypeAreStoredOrRemoved) {
    Harness h;
    show_selecting(h, [](State& state) {
        state.current_type = MetadataType::Flow;
        state.manifest[MetadataType::Flow] = {"F"};
    });
    EXPECT_FALSE(h.controller->select_metadata_type(MetadataType::ApexClass, {}));
    EXPECT_FALSE(as_selecting(*h.state()).manifest.contains(MetadataType::Flow));
    EXPECT_FALSE(h.controller->select_metadata_type(MetadataType::Flow, {"A"}));
    EXPECT_EQ(as_selecting(*h.state()).manifest.at(MetadataType::ApexClass), (NameSet{"A"}));
    // Off the selection screen the command does nothing.
    h.inner().transition(LoadingOrgsState{});
    EXPECT_FALSE(h.controller->select_metadata_type(MetadataType::ApexClass, {"X"}));
    EXPECT_EQ(with_state(h, [](State& s) { return s.current_type; }), MetadataType::Flow);
}

TEST(TypeChoice, AFailedListingShowsTheErrorScreenAndMarksTheListingIncomplete) {
    Harness h;
    show_selecting(h, [](State& state) {
        state.source = org("dev");
        state.current_type = MetadataType::Flow;
        state.manifest[MetadataType::ApexClass] = {"A"};
    });
    h.use_cases->script.list_source_objects.answer(std::unexpected(app::WorkflowFailure::operation("boom")));
    ASSERT_TRUE(h.controller->select_metadata_type(MetadataType::ApexClass, {}));
    h.settle();
    EXPECT_EQ(h.kind(), "error");
    EXPECT_TRUE(with_state(h, [](State& s) { return s.listing_incomplete; }));
    EXPECT_EQ(with_state(h, [](State& s) { return s.manifest; }).at(MetadataType::ApexClass), (NameSet{"A"}));
}

TEST(TypeChoice, ARefusingBackgroundExecutorFailsTheListing) {
    Harness h;
    show_selecting(h, [](State& state) { state.source = org("dev"); });
    h.background->refuse(true);
    ASSERT_TRUE(h.controller->select_metadata_type(MetadataType::ApexClass, {}));
    h.settle();
    EXPECT_EQ(testing::as_error(*h.state()).details, std::string(kBackgroundRejectedTask));
}

TEST(TypeChoice, AListingWhoseSourceChangedEndsItsOperationWithoutApplying) {
    Harness h;
    show_selecting(h, [](State& state) {
        state.source = org("dev");
        state.manifest[MetadataType::ApexClass] = {"A"};
    });
    h.use_cases->script.list_source_objects.answer(members({"Other"}));
    const auto id = h.controller->select_metadata_type(MetadataType::ApexClass, {"A"});
    ASSERT_TRUE(id);
    h.background->run_all();
    h.cleanup->run_all();
    h.background->run_all();
    with_state(h, [](State& state) {
        state.source = org("uat");
        return 0;
    });
    h.settle();
    const State state = h.copy_of_state();
    EXPECT_FALSE(state.active_operation.has_value());
    EXPECT_EQ(state.operation_token, nullptr);
    const auto& screen = as_selecting(*h.state());
    EXPECT_TRUE(screen.components.empty());
    EXPECT_EQ(screen.manifest.at(MetadataType::ApexClass), (NameSet{"A"}));
    EXPECT_TRUE(with_state(h, [](State& s) { return s.listing_cache.empty(); }));
    EXPECT_EQ(h.log_events(), (Names{"operationStarted", "operationFinished"}));
}

}  // namespace
}  // namespace ambrel::workflow
