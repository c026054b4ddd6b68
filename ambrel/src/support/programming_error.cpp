#include "support/programming_error.hpp"

#include <cstdio>
#include <mutex>

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
    std::string line = "ambrel-server: ";
    line.reserve(line.size() + text.size() + 1);
    for (char c : text) {
        auto u = static_cast<unsigned char>(c);
        if (u < 0x20 || u == 0x7f) {
            line.push_back(' ');
        } else {
            line.push_back(c);
        }
    }
    line.push_back('\n');
    std::lock_guard lock(mutex);
    std::fwrite(line.data(), 1, line.size(), stderr);
    std::fflush(stderr);
}

}  // namespace ambrel::support
