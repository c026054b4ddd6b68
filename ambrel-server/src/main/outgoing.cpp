#include "main/outgoing.hpp"

#include <utility>

namespace ambrel::server {

bool OutgoingChannel::send(json::Value value) {
    bool was_empty = false;
    {
        std::lock_guard guard(mutex_);
        if (closed_ || receiver_gone_) return false;
        was_empty = queue_.empty();
        queue_.push_back(std::move(value));
    }
    if (was_empty) ready_.notify_one();
    return true;
}

void OutgoingChannel::close() {
    {
        std::lock_guard guard(mutex_);
        closed_ = true;
    }
    ready_.notify_all();
}

std::optional<json::Value> OutgoingChannel::receive() {
    std::unique_lock guard(mutex_);
    ready_.wait(guard, [&] { return !queue_.empty() || closed_ || receiver_gone_; });
    if (receiver_gone_ || queue_.empty()) return std::nullopt;
    json::Value value = std::move(queue_.front());
    queue_.pop_front();
    return value;
}

std::deque<json::Value> OutgoingChannel::receive_all() {
    std::unique_lock guard(mutex_);
    ready_.wait(guard, [&] { return !queue_.empty() || closed_ || receiver_gone_; });
    if (receiver_gone_) return {};
    return std::exchange(queue_, {});
}

void OutgoingChannel::drop_receiver() {
    std::lock_guard guard(mutex_);
    receiver_gone_ = true;
    queue_.clear();
}

}  // namespace ambrel::server
