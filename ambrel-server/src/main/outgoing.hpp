#pragma once

// The outgoing queue: an unbounded first-in-first-out channel of messages between every thread that
// answers or notifies (the reader loop, the state listener, the progress reporter) and the one writer
// thread that owns standard output.
//
// A message is framed on the sending thread ("Content-Length: {}\r\n\r\n" and compact JSON, invalid
// UTF-8 in texts written as U+FFFD), so the JSON value is built and released on one thread and only
// the finished bytes cross to the writer. Serialising cannot fail on any value; should it fail all the
// same, "ambrel-server: failed to serialize outgoing message: {}" is written to standard error and a
// response is replaced by error -32603 with its id, so no client waits forever for it.
//
// Sending never blocks and wakes the receiver only when it may be waiting (the queue was empty); it
// fails once the channel is closed or the receiving side has gone (the writer ended). `close` is
// explicit: the server closes the channel when its run ends, so a sender handle kept somewhere by
// mistake can never keep the writer, and with it the process, alive. After `close` the receiver still
// gets every message queued before it, then the end.
//
// Thread-safety: every member may be called from any thread; one mutex guards the queue and both flags.

#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "json/json.hpp"

namespace ambrel::server {

// The serialisation buffer of a message starts this large.
inline constexpr std::size_t kInitialMessageBuffer = 128;

// The frame of one message, or none when it cannot be written (and is not a response).
std::optional<std::string> frame_message(const json::Value& value);

class OutgoingChannel {
public:
    static std::shared_ptr<OutgoingChannel> create() { return std::make_shared<OutgoingChannel>(); }

    // False when the message was not queued (closed, or the receiver has gone).
    bool send(const json::Value& value);
    // No further sends are accepted; the messages already queued are still received.
    void close();
    // The next frame, waiting as long as needed; none once closed and drained, or after
    // `drop_receiver`.
    std::optional<std::string> receive();
    // Every queued frame at once, in order, into `frames` (replacing its content), waiting as long as
    // none is queued; false once closed and drained, or after `drop_receiver`.
    bool receive_all(std::string& frames);
    // The receiving side has gone: queued messages are dropped and every later send fails.
    void drop_receiver();

private:
    // Guards queue_, closed_ and receiver_gone_.
    std::mutex mutex_;
    std::condition_variable ready_;
    std::deque<std::string> queue_;
    bool closed_ = false;
    bool receiver_gone_ = false;
};

}  // namespace ambrel::server
