#pragma once

// The cancellation state of workflow operations. `MutableCancellationToken` is the flag of one
// operation: false when made, set once and never cleared. `CombinedToken` is what the work of the
// current operation polls: cancelled when the operation's flag is set or, failing that, when the outer
// token (if any) says so. `AlwaysCancelled` is handed to work that is already out of date.
//
// Nothing here fails. The flag is one atomic word: setting it never waits for the work it cancels, and
// every token may be polled from several threads at once.

#include <atomic>
#include <memory>

#include "domain/cancellation.hpp"

namespace ambrel::workflow {

class MutableCancellationToken final : public domain::CancellationToken {
public:
    // Sets the flag; true when this call set it (it was clear before).
    bool cancel() noexcept { return !cancelled_.exchange(true); }
    bool is_cancelled() const override { return cancelled_.load(); }

private:
    std::atomic<bool> cancelled_{false};
};

class CombinedToken final : public domain::CancellationToken {
public:
    CombinedToken(std::shared_ptr<const MutableCancellationToken> operation,
                  std::unique_ptr<domain::CancellationToken> outer) noexcept
        : operation_(std::move(operation)), outer_(std::move(outer)) {}

    // The operation's flag first; the outer token only while the flag is clear.
    bool is_cancelled() const override {
        if (operation_ && operation_->is_cancelled()) return true;
        return outer_ != nullptr && outer_->is_cancelled();
    }

private:
    std::shared_ptr<const MutableCancellationToken> operation_;
    std::unique_ptr<domain::CancellationToken> outer_;
};

class AlwaysCancelled final : public domain::CancellationToken {
public:
    bool is_cancelled() const override { return true; }
};

}  // namespace ambrel::workflow
