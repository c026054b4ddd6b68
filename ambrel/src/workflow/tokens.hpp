#pragma once

// The cancellation state of workflow operations. `MutableCancellationToken` is the flag of one
// operation: false when made, set once and never cleared. `CombinedToken` is what the work of the
// current operation polls: cancelled when the operation's flag is set or, failing that, when the outer
// token (if any) says so. `AlwaysCancelled` is handed to work that is already out of date.
//
// Nothing here fails. The flag is one atomic word: setting it never waits for the work it cancels, and
// every token may be polled from several threads at once. The operation's token also records how far
// its work has gone in changing the target, so that a cancel can tell a deploy that nothing stops any
// more from one that was never sent.

#include <atomic>
#include <cstdint>
#include <memory>

#include "domain/cancellation.hpp"

namespace ambrel::workflow {

class MutableCancellationToken final : public domain::CancellationToken {
public:
    // What a cancel that the work may refuse did.
    enum class CancelOutcome : std::uint8_t {
        // The work had nothing sent yet: it stops as at any poll.
        BeforeTargetChange,
        // The work had sent its change to the target: it stops waiting and reports what it knows.
        AfterSend,
        // The work writes a change that must not stop half-way: nothing was set.
        Refused,
    };

    // Sets the flag; true when this call set it (it was clear before).
    bool cancel() noexcept { return (bits_.fetch_or(kCancelled) & kCancelled) == 0; }
    // Sets the flag unless the work has become unstoppable. Atomic with `begin_target_change`: either
    // the work sees the flag and does not start its change, or the cancel sees how far it went.
    CancelOutcome cancel_unless_unstoppable() noexcept {
        std::uint8_t bits = bits_.load();
        do {
            if ((bits & kUnstoppable) != 0) return CancelOutcome::Refused;
        } while (!bits_.compare_exchange_weak(bits, static_cast<std::uint8_t>(bits | kCancelled)));
        return (bits & kSent) != 0 ? CancelOutcome::AfterSend : CancelOutcome::BeforeTargetChange;
    }
    // The work writes a change that a cancel must leave to finish.
    bool unstoppable() const noexcept { return (bits_.load() & kUnstoppable) != 0; }

    bool is_cancelled() const override { return (bits_.load() & kCancelled) != 0; }
    bool begin_target_change(domain::TargetChange change) const override {
        const std::uint8_t flag = change == domain::TargetChange::Sent ? kSent : kUnstoppable;
        std::uint8_t bits = bits_.load();
        do {
            if ((bits & kCancelled) != 0) return false;
        } while (!bits_.compare_exchange_weak(bits, static_cast<std::uint8_t>(bits | flag)));
        return true;
    }

private:
    static constexpr std::uint8_t kCancelled = 1;
    static constexpr std::uint8_t kSent = 2;
    static constexpr std::uint8_t kUnstoppable = 4;
    // The work reports its progress through a token it holds as const.
    mutable std::atomic<std::uint8_t> bits_{0};
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
    // The operation learns how far its work went; a cancelled outer token refuses the change too.
    bool begin_target_change(domain::TargetChange change) const override {
        if (outer_ != nullptr && outer_->is_cancelled()) return false;
        return operation_ ? operation_->begin_target_change(change) : !is_cancelled();
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
