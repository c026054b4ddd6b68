#pragma once

// Recorded<R(Args...)>: one scripted operation of a recording fake. Each call records its arguments
// (copied; a borrowed token is recorded as whether it was cancelled at the call, an optional pointer
// as an optional copy) and answers with the next queued answer, else with the handler, else with a
// default: for an expected result a failure "unscripted call to {name}" of kind Operation, for any
// other result a value-initialised one. Safe to call from several threads at once. A recorded argument
// that shares something (a continuation's workspace) keeps its share until the fake goes away.

#include <cstddef>
#include <deque>
#include <expected>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <tuple>
#include <type_traits>
#include <utility>
#include <vector>

#include "app/workflow_failure.hpp"
#include "domain/cancellation.hpp"

namespace ambrel::testing {

template <class T>
struct Stored {
    using type = std::remove_cvref_t<T>;
    static type store(const std::remove_cvref_t<T>& value) { return value; }
};

template <>
struct Stored<const domain::CancellationToken&> {
    using type = bool;
    static bool store(const domain::CancellationToken& token) { return token.is_cancelled(); }
};

template <class T>
struct Stored<const T*> {
    using type = std::optional<T>;
    static type store(const T* value) { return value != nullptr ? std::optional<T>(*value) : std::nullopt; }
};

template <class T>
struct IsExpected : std::false_type {};
template <class T, class E>
struct IsExpected<std::expected<T, E>> : std::true_type {};

template <class Signature>
class Recorded;

template <class R, class... Args>
class Recorded<R(Args...)> {
public:
    using Call = std::tuple<typename Stored<Args>::type...>;
    using Handler = std::function<R(Args...)>;

    explicit Recorded(std::string name) : name_(std::move(name)) {}

    R operator()(Args... args) {
        std::optional<R> answer;
        Handler handler;
        {
            std::lock_guard lock(mutex_);
            calls_.emplace_back(Stored<Args>::store(args)...);
            if (!answers_.empty()) {
                answer.emplace(std::move(answers_.front()));
                answers_.pop_front();
            } else {
                handler = handler_;
            }
        }
        if (answer) return std::move(*answer);
        if (handler) return handler(std::forward<Args>(args)...);
        return default_answer();
    }

    // Queues one answer; queued answers are used in order before the handler.
    void answer(R value) {
        std::lock_guard lock(mutex_);
        answers_.push_back(std::move(value));
    }
    // Answers every call that finds no queued answer.
    void answer_with(Handler handler) {
        std::lock_guard lock(mutex_);
        handler_ = std::move(handler);
    }

    std::vector<Call> calls() const {
        std::lock_guard lock(mutex_);
        return calls_;
    }
    std::size_t count() const {
        std::lock_guard lock(mutex_);
        return calls_.size();
    }
    const std::string& name() const noexcept { return name_; }

private:
    R default_answer() const {
        if constexpr (IsExpected<R>::value) {
            return std::unexpected(app::WorkflowFailure::operation("unscripted call to " + name_));
        } else {
            return R{};
        }
    }

    std::string name_;
    mutable std::mutex mutex_;
    std::vector<Call> calls_;
    std::deque<R> answers_;
    Handler handler_;
};

}  // namespace ambrel::testing
