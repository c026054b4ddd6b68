#pragma once

// The server loop: reads one frame at a time on the calling thread, hands it to the dispatcher and
// queues its response; one writer thread, the only writer of the output, writes the queued messages
// (framed by the outgoing queue as "Content-Length: {}\r\n\r\n" and compact JSON). It writes
// everything queued at the moment in one write and one flush (each message whole, in queue order), so
// a message still reaches the client as soon as the writer gets to it, and a burst of answers costs
// one system call.
//
// The loop stops at the first of: a frame error ("ambrel-server: stopping on frame error: {}" on
// standard error), running out of memory outside a request's handling, such as for a body that
// cannot be stored ("ambrel-server: stopping: out of memory reading a frame"), the clean end of the
// input, a response that cannot be queued because the writer has ended, or the lifecycle found shut
// down after a frame. It then shuts the dispatcher down,
// closes the outgoing queue explicitly and joins the writer, which first writes everything still
// queued. Serialising cannot fail on any value (invalid UTF-8 becomes U+FFFD); should it fail all the
// same, the diagnostic "ambrel-server: failed to serialize outgoing message: {}" is written and a
// response is replaced by error -32603 with the same id, so no client waits forever. A failed write
// ends the writer with "ambrel-server: writer stream closed: {}".
//
// Thread-safety: `run` owns its two threads; the output belongs to the writer thread alone.

#include <iosfwd>

#include "dispatch/dispatcher.hpp"
#include "main/io.hpp"

namespace ambrel::server {

void run(BufferedReader& reader, Output& output, dispatch::ServiceFactory factory);

}  // namespace ambrel::server
