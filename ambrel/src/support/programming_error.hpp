#pragma once

#include <exception>
#include <expected>
#include <functional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <type_traits>

namespace ambrel::support {

// A violated precondition inside the program. Never a user-facing outcome: it is caught at the top of
// every thread and task and turned into a failed operation there.
class ProgrammingError : public std::logic_error {
public:
    using std::logic_error::logic_error;
};

// Throws ProgrammingError with the given message.
[[noreturn]] void fail_precondition(std::string message);

// Throws ProgrammingError unless the condition holds.
inline void require(bool condition, std::string_view message) {
    if (!condition) fail_precondition(std::string(message));
}

// The text of an exception caught with catch (...): its what() for standard exceptions,
// a fixed text otherwise.
std::string describe_exception(std::exception_ptr error);

// Runs body and turns any exception it throws into a failure holding the exception's text.
// Use at every thread and task boundary.
template <class F>
auto guard(F&& body) -> std::expected<std::invoke_result_t<F>, std::string> {
    using R = std::invoke_result_t<F>;
    try {
        if constexpr (std::is_void_v<R>) {
            std::invoke(std::forward<F>(body));
            return {};
        } else {
            return std::invoke(std::forward<F>(body));
        }
    } catch (...) {
        return std::unexpected(describe_exception(std::current_exception()));
    }
}

// Writes one diagnostic line "ambrel-server: {text}" to standard error. Every control character of
// the text (U+0000–U+001F, U+007F–U+009F) becomes a space, so that the words of a multi-line detail
// stay apart, and ill-formed UTF-8 becomes U+FFFD.
void report_diagnostic(std::string_view text);

}  // namespace ambrel::support
