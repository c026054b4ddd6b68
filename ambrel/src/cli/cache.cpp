#include "cli/cache.hpp"

#include <functional>
#include <string_view>

namespace ambrel::cli {

namespace cache {

bool is_cacheable_prefix(std::span<const std::string> arguments) noexcept {
    if (arguments.empty()) return false;
    if (arguments[0] == "version") return true;
    if (arguments.size() < 2) return false;
    return (arguments[0] == "org" && arguments[1] == "list") ||
           (arguments[0] == "data" && arguments[1] == "query");
}

bool is_org_fact(std::span<const std::string> arguments) noexcept {
    if (arguments.empty()) return false;
    if (arguments[0] == "version") return arguments.size() == 1;
    return arguments.size() >= 2 && arguments[0] == "org" && arguments[1] == "list" &&
           (arguments.size() == 2 || arguments[2].starts_with("-"));
}

}  // namespace cache

namespace {

// One spelling per path as its components give it: a root, then the components separated by "/";
// a leading "." of a relative path is kept, every other "." and every empty piece is dropped.
std::string canonical_components(const std::filesystem::path& path) {
    const std::string& text = path.native();
    std::string out;
    bool any_component = false;
    std::size_t start = 0;
    if (!text.empty() && text.front() == '/') {
        out = "/";
        start = 1;
    } else if (text == "." || text.starts_with("./")) {
        out = ".";
        any_component = true;
        start = 1;
    }
    while (start <= text.size()) {
        std::size_t end = text.find('/', start);
        if (end == std::string::npos) end = text.size();
        const std::string_view piece(text.data() + start, end - start);
        if (!piece.empty() && piece != ".") {
            if (any_component) out += '/';
            out += piece;
            any_component = true;
        }
        start = end + 1;
    }
    return out;
}

void combine(std::size_t& seed, std::size_t value) noexcept {
    seed ^= value + 0x9e3779b97f4a7c15ULL + (seed << 6) + (seed >> 2);
}

}  // namespace

CacheKey::CacheKey(std::string_view executable, std::span<const std::string> arguments,
                   const std::optional<std::filesystem::path>& working_directory)
    : executable_(executable), arguments_(arguments.begin(), arguments.end()) {
    if (working_directory) working_directory_ = canonical_components(*working_directory);
}

std::size_t CacheKey::hash() const noexcept {
    const std::hash<std::string_view> text_hash;
    std::size_t seed = text_hash(executable_);
    combine(seed, arguments_.size());
    for (const auto& argument : arguments_) combine(seed, text_hash(argument));
    combine(seed, working_directory_ ? text_hash(*working_directory_) + 1 : 0);
    return seed;
}

std::shared_ptr<CliCommandCache> CliCommandCache::create() { return std::make_shared<CliCommandCache>(); }

void CliCommandCache::begin_operation(bool enabled) {
    begin_operation(enabled ? CacheScope::ReadOnlyCommands : CacheScope::Off);
}

void CliCommandCache::begin_operation(CacheScope scope) {
    std::optional<Map> fresh;
    if (scope != CacheScope::Off) fresh.emplace();
    std::optional<Map> old;
    {
        std::lock_guard lock(mutex_);
        old.swap(map_);
        map_.swap(fresh);
        scope_ = scope;
    }
    // The old answers are released outside the lock.
}

void CliCommandCache::start_operation(CacheScope scope) {
    begin_operation(scope);
    notify(true);
}

void CliCommandCache::end_operation() {
    begin_operation(CacheScope::Off);
    notify(false);
}

void CliCommandCache::attach(std::weak_ptr<OperationScoped> observer) {
    std::lock_guard lock(mutex_);
    std::erase_if(observers_, [](const auto& each) { return each.expired(); });
    observers_.push_back(std::move(observer));
}

void CliCommandCache::notify(bool running) {
    std::vector<std::shared_ptr<OperationScoped>> live;
    {
        std::lock_guard lock(mutex_);
        for (const auto& each : observers_) {
            if (auto observer = each.lock()) live.push_back(std::move(observer));
        }
    }
    // Observers are told outside the lock: what they release may take a moment.
    for (const auto& observer : live) observer->operation_boundary(running);
}

bool CliCommandCache::admits_locked(std::span<const std::string> arguments) const noexcept {
    if (!map_) return false;
    return scope_ == CacheScope::ReadOnlyCommands || cache::is_org_fact(arguments);
}

std::optional<CliJsonResult> CliCommandCache::lookup(
    std::string_view executable, std::span<const std::string> arguments,
    const std::optional<std::filesystem::path>& working_directory) const {
    if (!cache::is_cacheable_prefix(arguments)) return std::nullopt;
    CacheKey key(executable, arguments, working_directory);
    std::lock_guard lock(mutex_);
    if (!admits_locked(arguments)) return std::nullopt;
    auto found = map_->find(key);
    if (found == map_->end()) return std::nullopt;
    return found->second;
}

void CliCommandCache::store(std::string_view executable, std::span<const std::string> arguments,
                            const std::optional<std::filesystem::path>& working_directory,
                            CliJsonResult result) {
    if (!cache::is_cacheable_prefix(arguments)) return;
    CacheKey key(executable, arguments, working_directory);
    std::lock_guard lock(mutex_);
    if (!admits_locked(arguments)) return;
    map_->insert_or_assign(std::move(key), std::move(result));
}

}  // namespace ambrel::cli
