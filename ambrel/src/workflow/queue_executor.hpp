#pragma once

// QueueExecutor: one worker thread draining one unbounded first-in-first-out queue of tasks. The
// session runs four of them (UI, background, cleanup, external keys); the UI executor's worker is the
// workflow controller's UI thread.
//
// It lives in the workflow, beside the `TaskExecutor` it implements, although the server creates the
// instances: the workflow's own threaded tests run the controller on it, and nothing in it knows of
// the server.
//
// Tasks run one at a time in the order they were queued. A task that throws is reported on standard
// error as "ambrel-server: worker task panicked" and the worker goes on with the next one: no task
// ends the worker or the process. After `shutdown_and_join` every task is handed back unrun; tasks
// queued before it all run before it returns. A worker thread that cannot be started is a
// ProgrammingError "failed to spawn thread".
//
// Thread-safety: `execute` may be called from any thread; `shutdown_and_join` from any thread but the
// worker's own. Destroying the executor closes the queue and waits for the worker, except on the
// worker itself, which is then left to finish on its own.

#include <memory>
#include <mutex>
#include <optional>
#include <thread>

#include "workflow/task_executor.hpp"

namespace ambrel::workflow {

// The diagnostic written for a task that throws.
inline constexpr std::string_view kWorkerTaskPanicked = "worker task panicked";

class QueueExecutor final : public TaskExecutor {
public:
    // A new executor whose worker has been started.
    static std::shared_ptr<QueueExecutor> create();

    QueueExecutor(const QueueExecutor&) = delete;
    QueueExecutor& operator=(const QueueExecutor&) = delete;
    ~QueueExecutor() override;

    [[nodiscard]] std::optional<Task> execute(Task task) override;

    // Closes the queue, waits until the worker has run every task queued before, and returns. A second
    // call returns at once.
    void shutdown_and_join();

    // The worker thread's identity; empty until the worker has started.
    std::optional<std::thread::id> worker_id() const;
    // True only on the worker thread.
    bool is_worker_thread() const;

    struct Channel;
    struct Identity;

private:
    QueueExecutor(std::shared_ptr<Channel> channel, std::shared_ptr<Identity> identity);

    std::shared_ptr<Channel> channel_;
    std::shared_ptr<Identity> identity_;
    // Guards worker_; held only to take the handle, never during the join.
    std::mutex worker_mutex_;
    std::thread worker_;
};

}  // namespace ambrel::workflow
