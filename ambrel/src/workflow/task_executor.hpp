#pragma once

// The executors through which the workflow controller runs its work, and the fallback executor that
// gives every clean-up a thread of its own when the cleanup executor refuses it.
//
// `TaskExecutor::execute` takes a task or hands the very task back unrun when it cannot take it; it
// never runs a refused task itself and never drops one. `ThreadSpawnExecutor` starts one thread named
// "quillary-cleanup-fallback" per task and never joins it; a task that throws there is dropped silently
// (the thread ends, nobody is told, the process goes on). A thread that cannot be started hands the
// task back. Both executors may be called from any thread at once.

#include <functional>
#include <optional>
#include <string_view>

namespace ambrel::workflow {

// Moved to the thread that runs it and called at most once.
using Task = std::move_only_function<void()>;

// The name of every thread that `ThreadSpawnExecutor` starts.
inline constexpr std::string_view kFallbackThreadName = "quillary-cleanup-fallback";

class TaskExecutor {
public:
    virtual ~TaskExecutor() = default;

    // Nothing when the executor took the task; the task itself, unrun, when it could not.
    [[nodiscard]] virtual std::optional<Task> execute(Task task) = 0;

protected:
    TaskExecutor() = default;
    TaskExecutor(const TaskExecutor&) = default;
    TaskExecutor& operator=(const TaskExecutor&) = default;
};

class ThreadSpawnExecutor final : public TaskExecutor {
public:
    [[nodiscard]] std::optional<Task> execute(Task task) override;
};

}  // namespace ambrel::workflow
