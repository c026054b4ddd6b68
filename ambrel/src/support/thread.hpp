#pragma once

#include <expected>
#include <string>
#include <string_view>
#include <thread>
#include <utility>

#include "support/programming_error.hpp"

namespace ambrel::support {

// Linux keeps 15 bytes of a thread name; cut at a UTF-8 character boundary.
std::string thread_name_for(std::string_view name);

// Names the calling thread; a failure to name it is ignored.
void name_current_thread(std::string_view name);

// Starts a thread with the given name. The body runs under a guard: an exception that escapes it is
// reported on standard error and never terminates the process. A thread that cannot be started is a
// failure value with the system's reason.
template <class F>
std::expected<std::thread, std::string> start_named_thread(std::string_view name, F&& body) {
    std::string thread_name = thread_name_for(name);
    try {
        return std::thread([thread_name, body = std::forward<F>(body)]() mutable {
            name_current_thread(thread_name);
            if (auto done = guard(body); !done) {
                report_diagnostic("thread " + thread_name + " failed: " + done.error());
            }
        });
    } catch (const std::exception& e) {
        return std::unexpected(std::string(e.what()));
    }
}

}  // namespace ambrel::support
