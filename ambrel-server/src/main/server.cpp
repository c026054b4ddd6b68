#include "main/server.hpp"

#include <cstdlib>
#include <exception>
#include <new>
#include <string>
#include <system_error>
#include <thread>

#include <fmt/format.h>
#include <unistd.h>

#include "main/framing.hpp"
#include "main/outgoing.hpp"

namespace ambrel::server {
namespace {

// Writes what is queued in one go: each message whole, header then body, in queue order, then one
// flush, so a burst of answers costs one write instead of one per message.
void writer_loop(OutgoingChannel& channel, Output& output) {
    std::string frames;
    for (;;) {
        if (!channel.receive_all(frames)) return;
        auto written = output.write_all(frames);
        if (written) written = output.flush();
        if (!written) {
            write_diagnostic(fmt::format("writer stream closed: {}", written.error().text));
            channel.drop_receiver();
            return;
        }
    }
}

}  // namespace

void run(BufferedReader& reader, Output& output, dispatch::ServiceFactory factory) {
    auto channel = OutgoingChannel::create();
    bool writer_failed = false;
    std::thread writer;
    try {
        writer = std::thread([&channel, &output, &writer_failed] {
            try {
                writer_loop(*channel, output);
            } catch (...) {
                writer_failed = true;
                channel->drop_receiver();
            }
        });
    } catch (const std::system_error&) {
        // Nothing has been read yet; without a writer the server cannot answer anything.
        constexpr std::string_view kSpawnFailure = "failed to spawn thread\n";
        (void)::write(STDERR_FILENO, kSpawnFailure.data(), kSpawnFailure.size());
        std::abort();
    }
    {
        dispatch::Dispatcher dispatcher(channel, std::move(factory));
        try {
            for (;;) {
                auto frame = framing::read_frame(reader);
                if (!frame) {
                    write_diagnostic(fmt::format("stopping on frame error: {}", frame.error().message()));
                    break;
                }
                if (!frame->has_value()) break;
                if (auto response = dispatcher.process_frame(**frame)) {
                    if (!channel->send(std::move(*response))) break;
                }
                if (dispatcher.is_shut_down()) break;
            }
        } catch (const std::bad_alloc&) {
            // A body that cannot even be stored leaves the input out of step: stop as on a frame error,
            // so the session's work is still cleaned up and the answers already queued are written.
            write_diagnostic("stopping: out of memory reading a frame");
        }
        (void)dispatcher.shutdown();
    }
    // Nothing may keep the writer waiting: every value sent so far is written, then it stops.
    channel->close();
    writer.join();
    if (writer_failed) write_diagnostic("writer thread panicked during shutdown");
}

}  // namespace ambrel::server
