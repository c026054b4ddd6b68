#pragma once

#include <cstdint>

namespace ambrel::domain {

// How far work that changes its target has gone, as it tells its token (see
// `CancellationToken::begin_target_change`).
enum class TargetChange : std::uint8_t {
    // The change went to the target, which applies it on its own: stopping the work stops the waiting,
    // not the change (a deploy job started in an org).
    Sent,
    // The change is being written and must not stop half-way (a commit to a branch).
    Unstoppable,
};

// Cooperative cancellation: long work polls the token between steps and while it waits for a child
// process, and stops with its own "cancelled" failure once the token says so. Tokens are borrowed
// for the duration of a call (passed by reference, never owned by the callee) and may be polled from
// several threads at once.
class CancellationToken {
public:
    virtual ~CancellationToken() = default;

    // True when the work in progress must stop as soon as it can. No side effects.
    virtual bool is_cancelled() const = 0;

    // Called by work just before it starts to change its target. False when the token is cancelled
    // already: the work stops as at any poll. True otherwise; from then on the token's owner knows
    // that a cancel no longer undoes the work (and, after `Unstoppable`, that it must not stop it).
    // Tokens that nobody watches only poll.
    virtual bool begin_target_change(TargetChange) const { return !is_cancelled(); }

protected:
    CancellationToken() = default;
    CancellationToken(const CancellationToken&) = default;
    CancellationToken& operator=(const CancellationToken&) = default;
};

// The token of work that runs without a caller's token: never cancelled.
class NeverCancelled final : public CancellationToken {
public:
    bool is_cancelled() const override { return false; }
};

}  // namespace ambrel::domain
