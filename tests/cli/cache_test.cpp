#include "cli/cache.hpp"

#include <gtest/gtest.h>

namespace ambrel::cli {
namespace {

using Args = std::vector<std::string>;
using Dir = std::optional<std::filesystem::path>;

CliJsonResult answer(std::string_view marker) {
    return CliJsonResult{json::Object{{"status", 0}, {"result", json::String(marker)}}, std::string(marker), "", 0,
                         false};
}

const Args kQuery{"data", "query", "--query", "SELECT Id FROM Account", "--target-org", "dh"};

TEST(CliCommandCache, KeepsNothingWhileCachingIsOff) {
    auto cache = CliCommandCache::create();
    cache->store("sf", kQuery, std::nullopt, answer("a"));
    EXPECT_FALSE(cache->lookup("sf", kQuery, std::nullopt));
    cache->begin_operation(true);
    EXPECT_FALSE(cache->lookup("sf", kQuery, std::nullopt));
}

TEST(CliCommandCache, AnswersOnlyAnEqualKey) {
    auto cache = CliCommandCache::create();
    cache->begin_operation(true);
    cache->store("sf", kQuery, Dir("/work/project"), answer("a"));

    EXPECT_EQ(cache->lookup("sf", kQuery, Dir("/work/project")), answer("a"));
    EXPECT_EQ(cache->lookup("sf", kQuery, Dir("/work//project/")), answer("a"));
    EXPECT_EQ(cache->lookup("sf", kQuery, Dir("/work/./project")), answer("a"));

    Args other_alias = kQuery;
    other_alias.back() = "other";
    Args reordered{"data", "query", "--target-org", "dh", "--query", "SELECT Id FROM Account"};
    EXPECT_FALSE(cache->lookup("sf", other_alias, Dir("/work/project")));
    EXPECT_FALSE(cache->lookup("sf", reordered, Dir("/work/project")));
    EXPECT_FALSE(cache->lookup("/usr/bin/sf", kQuery, Dir("/work/project")));
    EXPECT_FALSE(cache->lookup("sf", kQuery, Dir("/work/Project")));
    EXPECT_FALSE(cache->lookup("sf", kQuery, Dir("/work")));
    EXPECT_FALSE(cache->lookup("sf", kQuery, std::nullopt));
    // A leading "." is a component of its own.
    cache->store("sf", kQuery, Dir("./p"), answer("dot"));
    EXPECT_FALSE(cache->lookup("sf", kQuery, Dir("p")));
    EXPECT_EQ(cache->lookup("sf", kQuery, Dir(".//p/")), answer("dot"));
}

// A deploy keeps the CLI's version and the org list only: a query may answer differently once the
// deploy has changed the org, and "org list metadata" lists the org's contents.
TEST(CliCommandCache, TheOrgFactsScopeKeepsOnlyTheVersionAndTheOrgList) {
    auto cache = CliCommandCache::create();
    cache->begin_operation(CacheScope::OrgFacts);
    const std::vector<std::pair<Args, bool>> cases = {
        {{"version"}, true},
        {{"org", "list", "--skip-connection-status"}, true},
        {{"org", "list"}, true},
        {{"org", "list", "metadata", "--metadata-type", "ApexClass", "--target-org", "dh"}, false},
        {kQuery, false},
    };
    for (const auto& [args, kept] : cases) {
        SCOPED_TRACE(args.front() + (args.size() > 1 ? " " + args[1] : std::string()) +
                     (args.size() > 2 ? " " + args[2] : std::string()));
        cache->store("sf", args, std::nullopt, answer("a"));
        EXPECT_EQ(cache->lookup("sf", args, std::nullopt).has_value(), kept);
    }
    cache->begin_operation(CacheScope::Off);
    EXPECT_FALSE(cache->lookup("sf", Args{"version"}, std::nullopt));
}

TEST(CliCommandCache, ALaterStoreReplacesAndANewOperationForgets) {
    auto cache = CliCommandCache::create();
    cache->begin_operation(true);
    cache->store("sf", kQuery, std::nullopt, answer("a"));
    cache->store("sf", kQuery, std::nullopt, answer("b"));
    EXPECT_EQ(cache->lookup("sf", kQuery, std::nullopt), answer("b"));
    cache->begin_operation(true);
    EXPECT_FALSE(cache->lookup("sf", kQuery, std::nullopt));
    cache->store("sf", kQuery, std::nullopt, answer("c"));
    cache->begin_operation(false);
    EXPECT_FALSE(cache->lookup("sf", kQuery, std::nullopt));
}

TEST(CliCommandCache, CachesOnlyReadOnlyPrefixes) {
    struct Case {
        Args arguments;
        bool cacheable;
    };
    const std::vector<Case> cases = {
        {Args{"version"}, true},
        {Args{"version", "--verbose"}, true},
        {Args{"org", "list", "--skip-connection-status"}, true},
        {Args{"org", "list", "metadata", "--metadata-type", "ApexClass"}, true},
        {Args{"data", "query", "--use-tooling-api"}, true},
        {Args{"org"}, false},
        {Args{"data"}, false},
        {Args{}, false},
        {Args{"sobject", "describe", "--sobject", "Account"}, false},
        {Args{"project", "retrieve", "start"}, false},
        {Args{"api", "request", "rest", "/services/data/v65.0"}, false},
        {Args{"data", "upsert", "bulk"}, false},
        {Args{"org", "login", "web"}, false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(cache::is_cacheable_prefix(c.arguments), c.cacheable) << testing::PrintToString(c.arguments);
        auto cache = CliCommandCache::create();
        cache->begin_operation(true);
        cache->store("sf", c.arguments, std::nullopt, answer("x"));
        EXPECT_EQ(cache->lookup("sf", c.arguments, std::nullopt).has_value(), c.cacheable);
    }
}

}  // namespace
}  // namespace ambrel::cli
