#include <future>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "selection_support.hpp"
#include "workflow/queue_executor.hpp"

namespace ambrel::workflow {
namespace {

using metadata_types::MetadataType;

// The whole first run over real executors: the org load, the restore of both remembered endpoints,
// the source listing it starts and the external-key check, each on its own thread. Every lock order of
// the selection side is exercised on real threads; the run must end on the selection screen with the
// listed members, the key status and no operation left active.
TEST(SelectionThreads, TheFirstRunRestoresAndListsOverQueueExecutors) {
    auto use_cases = std::make_shared<ambrel::testing::RecordingUseCases>();
    use_cases->script.sanitize_diagnostic.answer_with([](const std::string& text) { return text; });
    use_cases->script.list_orgs.answer_with(
        [](const domain::CancellationToken&) -> app::UseCaseResult<std::vector<endpoint::OrgAlias>> {
            return testing::listed_orgs({"dev", "uat", "qa"});
        });
    use_cases->script.list_source_objects.answer_with(
        [](const endpoint::DeployEndpoint&, MetadataType, const domain::CancellationToken&)
            -> app::UseCaseResult<std::vector<cli::catalogs::SalesforceObject>> { return testing::members({"A", "B"}); });
    use_cases->script.check_external_keys.answer_with(
        [](const std::string&, const std::string&,
           const domain::CancellationToken&) -> app::UseCaseResult<data::key_readiness::ExternalKeysState> {
            return data::key_readiness::ExternalKeysState::Present;
        });
    auto memory = std::make_shared<testing::RecordingMemory>();
    memory->answer({"dev", "uat"});
    auto background = QueueExecutor::create();
    auto ui = QueueExecutor::create();
    auto cleanup = QueueExecutor::create();
    auto keys = QueueExecutor::create();
    auto controller = WorkflowControllerBuilder(use_cases, background, ui)
                          .cleanup(cleanup)
                          .external_keys_executor(keys)
                          .endpoint_memory(memory)
                          .is_ui_thread([ui] { return ui->is_worker_thread(); })
                          .build();
    std::promise<void> settled;
    bool done = false;
    (void)controller.add_state_listener([&](const StateSnapshot& snapshot) {
        const auto* selecting = std::get_if<SelectingState>(&snapshot.state);
        if (done || selecting == nullptr || snapshot.active_operation) return;
        if (selecting->components.size() == 2 && selecting->external_keys == ExternalKeyStatus::Present) {
            done = true;
            settled.set_value();
        }
    });
    ASSERT_TRUE(controller.load_orgs());
    settled.get_future().get();
    const auto snapshot = controller.state_snapshot();
    const auto& screen = testing::as_selecting(*snapshot.state);
    EXPECT_EQ(screen.source, testing::org("dev"));
    EXPECT_EQ(screen.target, testing::org("uat"));
    EXPECT_TRUE(memory->written().empty());
    controller.close();
    for (const auto& executor : {background, keys, ui, cleanup}) executor->shutdown_and_join();
}

}  // namespace
}  // namespace ambrel::workflow
