#pragma once

namespace ambrel::domain {

// Cooperative cancellation: long work polls the token between steps and while it waits for a child
// process, and stops with its own "cancelled" failure once the token says so. Tokens are borrowed
// for the duration of a call (passed by reference, never owned by the callee) and may be polled from
// several threads at once.
class CancellationToken {
public:
    virtual ~CancellationToken() = default;

    // True when the work in progress must stop as soon as it can. No side effects.
    virtual bool is_cancelled() const = 0;

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
