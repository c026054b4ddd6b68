#include "workflow/task_executor.hpp"

#include <memory>
#include <mutex>
#include <utility>

#include "support/thread.hpp"

namespace ambrel::workflow {

namespace {

// Hands one task from the spawning thread to the spawned one; whoever takes it first owns it.
struct TaskSlot {
    std::mutex mutex;
    std::optional<Task> task;  // guarded by mutex

    std::optional<Task> take() {
        std::lock_guard lock(mutex);
        std::optional<Task> taken = std::move(task);
        task.reset();
        return taken;
    }
};

}  // namespace

std::optional<Task> ThreadSpawnExecutor::execute(Task task) {
    auto slot = std::make_shared<TaskSlot>();
    slot->task.emplace(std::move(task));
    auto started = support::start_named_thread(kFallbackThreadName, [slot] {
        std::optional<Task> taken = slot->take();
        if (!taken) return;
        // A failing clean-up ends only this thread; the controller is not told.
        try {
            (*taken)();
        } catch (...) {
        }
    });
    if (!started) return slot->take();
    started->detach();
    return std::nullopt;
}

}  // namespace ambrel::workflow
