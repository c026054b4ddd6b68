#include "support/programming_error.hpp"

#include <cstdio>
#include <mutex>

#include "text/text.hpp"

namespace ambrel::support {

void fail_precondition(std::string message) { throw ProgrammingError(std::move(message)); }

std::string describe_exception(std::exception_ptr error) {
    if (!error) return "no exception";
    try {
        std::rethrow_exception(error);
    } catch (const ProgrammingError& e) {
        return std::string("programming error: ") + e.what();
    } catch (const std::exception& e) {
        return e.what();
    } catch (...) {
        return "unknown exception";
    }
}

void report_diagnostic(std::string_view text) {
    static std::mutex mutex;
    // C0, DEL and C1 controls alike: a detail must not break the line or steer the terminal.
    std::string line = "ambrel-server: " + text::replace_control_characters(text);
    line.push_back('\n');
    std::lock_guard lock(mutex);
    std::fwrite(line.data(), 1, line.size(), stderr);
    std::fflush(stderr);
}

}  // namespace ambrel::support
