#pragma once

// The outgoing queue: an unbounded first-in-first-out channel of JSON values between every thread that
// answers or notifies (the reader loop, the state listener, the progress reporter) and the one writer
// thread that owns standard output.
//
// Sending never blocks and wakes the receiver only when it may be waiting (the queue was empty); it fails once the channel is closed or the receiving side has gone (the writer
// ended). `close` is explicit: the server closes the channel when its run ends, so a sender handle
// kept somewhere by mistake can never keep the writer, and with it the process, alive. After `close`
// the receiver still gets every value queued before it, then the end.
//
// Thread-safety: every member may be called from any thread; one mutex guards the queue and both flags.

#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>

#include "json/json.hpp"

namespace ambrel::server {

class OutgoingChannel {
public:
    static std::shared_ptr<OutgoingChannel> create() { return std::make_shared<OutgoingChannel>(); }

    // False when the value was not queued (closed, or the receiver has gone).
    bool send(json::Value value);
    // No further sends are accepted; the values already queued are still received.
    void close();
    // The next value, waiting as long as needed; none once closed and drained, or after
    // `drop_receiver`.
    std::optional<json::Value> receive();
    // Every queued value at once (waiting as long as none is queued); empty once closed and drained,
    // or after `drop_receiver`.
    std::deque<json::Value> receive_all();
    // The receiving side has gone: queued values are dropped and every later send fails.
    void drop_receiver();

private:
    // Guards queue_, closed_ and receiver_gone_.
    std::mutex mutex_;
    std::condition_variable ready_;
    std::deque<json::Value> queue_;
    bool closed_ = false;
    bool receiver_gone_ = false;
};

}  // namespace ambrel::server
