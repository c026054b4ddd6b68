#include "workflow/queue_executor.hpp"

#include <condition_variable>
#include <deque>
#include <system_error>
#include <utility>

#include "support/programming_error.hpp"

namespace ambrel::workflow {

// The queue shared by the senders and the worker. State below is guarded by `mutex`.
struct QueueExecutor::Channel {
    std::mutex mutex;
    std::condition_variable ready;
    std::deque<Task> tasks;
    bool open = true;
};

// Set once by the worker when it starts. Guarded by `mutex`.
struct QueueExecutor::Identity {
    mutable std::mutex mutex;
    std::optional<std::thread::id> id;
};

namespace {

void run_worker(const std::shared_ptr<QueueExecutor::Channel>& channel,
                const std::shared_ptr<QueueExecutor::Identity>& identity) {
    {
        std::lock_guard lock(identity->mutex);
        identity->id = std::this_thread::get_id();
    }
    for (;;) {
        Task task;
        {
            std::unique_lock lock(channel->mutex);
            channel->ready.wait(lock, [&] { return !channel->tasks.empty() || !channel->open; });
            if (channel->tasks.empty()) return;
            task = std::move(channel->tasks.front());
            channel->tasks.pop_front();
        }
        try {
            task();
        } catch (...) {
            support::report_diagnostic(kWorkerTaskPanicked);
        }
    }
}

}  // namespace

std::shared_ptr<QueueExecutor> QueueExecutor::create() {
    auto channel = std::make_shared<Channel>();
    auto identity = std::make_shared<Identity>();
    std::shared_ptr<QueueExecutor> executor(new QueueExecutor(channel, identity));
    try {
        executor->worker_ = std::thread([channel, identity] {
            // The loop catches every task's failure; this only guards the loop's own bookkeeping.
            try {
                run_worker(channel, identity);
            } catch (...) {
                support::report_diagnostic(kWorkerTaskPanicked);
            }
        });
    } catch (const std::system_error&) {
        support::fail_precondition("failed to spawn thread");
    }
    return executor;
}

QueueExecutor::QueueExecutor(std::shared_ptr<Channel> channel, std::shared_ptr<Identity> identity)
    : channel_(std::move(channel)), identity_(std::move(identity)) {}

QueueExecutor::~QueueExecutor() {
    {
        std::lock_guard lock(channel_->mutex);
        channel_->open = false;
    }
    channel_->ready.notify_all();
    std::lock_guard lock(worker_mutex_);
    if (!worker_.joinable()) return;
    if (worker_.get_id() == std::this_thread::get_id()) {
        worker_.detach();
    } else {
        worker_.join();
    }
}

std::optional<Task> QueueExecutor::execute(Task task) {
    {
        std::lock_guard lock(channel_->mutex);
        if (!channel_->open) return task;
        channel_->tasks.push_back(std::move(task));
    }
    channel_->ready.notify_one();
    return std::nullopt;
}

void QueueExecutor::shutdown_and_join() {
    {
        std::lock_guard lock(channel_->mutex);
        channel_->open = false;
    }
    channel_->ready.notify_all();
    std::thread worker;
    {
        std::lock_guard lock(worker_mutex_);
        worker = std::move(worker_);
    }
    if (worker.joinable()) worker.join();
}

std::optional<std::thread::id> QueueExecutor::worker_id() const {
    std::lock_guard lock(identity_->mutex);
    return identity_->id;
}

bool QueueExecutor::is_worker_thread() const { return worker_id() == std::this_thread::get_id(); }

}  // namespace ambrel::workflow
