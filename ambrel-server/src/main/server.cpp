#include "main/server.hpp"

#include <cstdlib>
#include <exception>
#include <string>
#include <system_error>
#include <thread>

#include <fmt/format.h>
#include <unistd.h>

#include "main/framing.hpp"
#include "main/outgoing.hpp"
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

// Writes what is queued in one go: each message whole, header then body, in queue order, then one
// flush, so a burst of answers costs one write instead of one per message.
void writer_loop(OutgoingChannel& channel, Output& output) {
    std::string frames;
    std::string scratch;
    scratch.reserve(kInitialMessageBuffer);
    for (;;) {
        auto values = channel.receive_all();
        if (values.empty()) return;
        frames.clear();
        for (const auto& value : values) (void)append_frame(value, frames, scratch);
        if (frames.empty()) continue;
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

void write_diagnostic(std::string_view line) {
    std::string text;
    text.reserve(kDiagnosticPrefix.size() + line.size() + 1);
    text.append(kDiagnosticPrefix).append(line).push_back('\n');
    std::string_view rest = text;
    while (!rest.empty()) {
        const ssize_t put = ::write(STDERR_FILENO, rest.data(), rest.size());
        if (put <= 0) return;
        rest.remove_prefix(static_cast<std::size_t>(put));
    }
}

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

std::optional<std::string> frame_message(const json::Value& value) {
    std::string frame;
    std::string body;
    body.reserve(kInitialMessageBuffer);
    if (!append_frame(value, frame, body)) return std::nullopt;
    return frame;
}

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
        (void)dispatcher.shutdown();
    }
    // Nothing may keep the writer waiting: every value sent so far is written, then it stops.
    channel->close();
    writer.join();
    if (writer_failed) write_diagnostic("writer thread panicked during shutdown");
}

}  // namespace ambrel::server
