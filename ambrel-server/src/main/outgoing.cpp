#include "main/outgoing.hpp"

#include <exception>
#include <utility>

#include <fmt/format.h>

#include "main/framing.hpp"
#include "main/io.hpp"
#include "protocol/messages.hpp"

namespace ambrel::server {
namespace {

// A response (an object with "id" and "result" or "error") that could not be written becomes an
// internal error with the same id; any other value is dropped.
std::optional<json::Value> internal_error_for(const json::Value& value) {
    const auto* object = json::as_object(value);
    if (object == nullptr) return std::nullopt;
    const auto* id = json::find(*object, "id");
    if (id == nullptr || (json::find(*object, "result") == nullptr && json::find(*object, "error") == nullptr)) {
        return std::nullopt;
    }
    return protocol::error_response(*id, protocol::kInternalError, protocol::kInternalErrorMessage);
}

// Appends the frame of the value to `out`, using `scratch` for the body; false when the value cannot
// be written.
bool append_frame(const json::Value& value, std::string& out, std::string& scratch) {
    scratch.clear();
    try {
        json::write_compact(value, scratch);
    } catch (const std::exception& failure) {
        write_diagnostic(fmt::format("failed to serialize outgoing message: {}", failure.what()));
        scratch.clear();
        auto replacement = internal_error_for(value);
        if (!replacement) return false;
        try {
            json::write_compact(*replacement, scratch);
        } catch (...) {
            return false;
        }
    }
    framing::append_frame_header(scratch.size(), out);
    out += scratch;
    return true;
}

}  // namespace

std::optional<std::string> frame_message(const json::Value& value) {
    std::string frame;
    std::string body;
    body.reserve(kInitialMessageBuffer);
    if (!append_frame(value, frame, body)) return std::nullopt;
    return frame;
}

bool OutgoingChannel::send(const json::Value& value) {
    auto frame = frame_message(value);
    bool was_empty = false;
    {
        std::lock_guard guard(mutex_);
        if (closed_ || receiver_gone_) return false;
        if (!frame) return true;
        was_empty = queue_.empty();
        queue_.push_back(std::move(*frame));
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

std::optional<std::string> OutgoingChannel::receive() {
    std::unique_lock guard(mutex_);
    ready_.wait(guard, [&] { return !queue_.empty() || closed_ || receiver_gone_; });
    if (receiver_gone_ || queue_.empty()) return std::nullopt;
    std::string frame = std::move(queue_.front());
    queue_.pop_front();
    return frame;
}

bool OutgoingChannel::receive_all(std::string& frames) {
    frames.clear();
    std::deque<std::string> taken;
    {
        std::unique_lock guard(mutex_);
        ready_.wait(guard, [&] { return !queue_.empty() || closed_ || receiver_gone_; });
        if (receiver_gone_ || queue_.empty()) return false;
        taken.swap(queue_);
    }
    for (const auto& frame : taken) frames += frame;
    return true;
}

void OutgoingChannel::drop_receiver() {
    std::lock_guard guard(mutex_);
    receiver_gone_ = true;
    queue_.clear();
}

}  // namespace ambrel::server
