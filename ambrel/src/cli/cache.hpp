#pragma once

// The per-operation command cache: successful answers of read-only CLI commands (version, org list,
// data query), kept only while the current workflow operation has switched caching on.

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <unordered_map>
#include <vector>

#include "cli/cli_result.hpp"

namespace ambrel::cli {

namespace cache {

// True when the arguments begin with "version", with "org" "list", or with "data" "query".
bool is_cacheable_prefix(std::span<const std::string> arguments) noexcept;

// True when the arguments are "version" or "org" "list" alone (what the CLI and the org aliases are),
// answers an operation may keep even when it changes the org's contents.
bool is_org_fact(std::span<const std::string> arguments) noexcept;

}  // namespace cache

// The identity of one command: executable, the caller's arguments (without the "--json" that the
// gateway appends) and the working directory. Working directories compare as paths, component by
// component: repeated or trailing separators and inner "." components make no difference.
class CacheKey {
public:
    CacheKey(std::string_view executable, std::span<const std::string> arguments,
             const std::optional<std::filesystem::path>& working_directory);

    friend bool operator==(const CacheKey&, const CacheKey&) = default;
    std::size_t hash() const noexcept;

private:
    std::string executable_;
    std::vector<std::string> arguments_;
    // The directory's components joined in one canonical spelling.
    std::optional<std::string> working_directory_;
};

// What an operation keeps: nothing, the CLI's version and the org list only (a deploy, which changes
// what a query would answer), or every command with a cacheable prefix (a compare).
enum class CacheScope : std::uint8_t { Off, OrgFacts, ReadOnlyCommands };

// Something else kept for one workflow operation only (the git sides a session's ports have read):
// told when an operation starts (running) and when it ends or is cancelled (not running). Called on
// the thread that starts or ends the operation; must not block for long and must not throw.
class OperationScoped {
public:
    virtual ~OperationScoped() = default;
    virtual void operation_boundary(bool running) noexcept = 0;
};

class CliCommandCache {
public:
    // A new shared cache with caching off.
    static std::shared_ptr<CliCommandCache> create();

    CliCommandCache() = default;
    CliCommandCache(const CliCommandCache&) = delete;
    CliCommandCache& operator=(const CliCommandCache&) = delete;

    // Forgets everything stored, then switches caching on (a fresh, empty map) or off.
    void begin_operation(bool enabled);
    // Forgets everything stored, then keeps what the scope admits until the next call.
    void begin_operation(CacheScope scope);

    // An operation starts: `begin_operation(scope)`, then every attached observer is told.
    void start_operation(CacheScope scope);
    // The operation ended or was cancelled: caching off, then every attached observer is told.
    void end_operation();
    // Tells the observer of every later operation boundary while it lives.
    void attach(std::weak_ptr<OperationScoped> observer);

    // A copy of the stored answer for the command, if caching is on and one is stored.
    std::optional<CliJsonResult> lookup(std::string_view executable, std::span<const std::string> arguments,
                                        const std::optional<std::filesystem::path>& working_directory) const;

    // Keeps the answer when caching is on and the command has a cacheable prefix; an earlier answer
    // for an equal key is replaced.
    void store(std::string_view executable, std::span<const std::string> arguments,
               const std::optional<std::filesystem::path>& working_directory, CliJsonResult result);

private:
    struct KeyHash {
        std::size_t operator()(const CacheKey& key) const noexcept { return key.hash(); }
    };
    using Map = std::unordered_map<CacheKey, CliJsonResult, KeyHash>;

    mutable std::mutex mutex_;
    // Absent while caching is off.
    std::optional<Map> map_;
    CacheScope scope_ = CacheScope::Off;
    // Guarded by `mutex_`.
    std::vector<std::weak_ptr<OperationScoped>> observers_;

    void notify(bool running);

    bool admits_locked(std::span<const std::string> arguments) const noexcept;
};

}  // namespace ambrel::cli
