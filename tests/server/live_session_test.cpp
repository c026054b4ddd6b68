// The server loop over the stand-in services, driven a request at a time: an org load ends on the
// stand-in failure, and choosing a repository as the source starts a listing that ends the same way.

#include <gtest/gtest.h>

#include <fmt/format.h>

#include <string>

#include "json/json.hpp"
#include "live_server.hpp"
#include "server/stand_in_service.hpp"
#include "support/test_paths.hpp"

namespace ambrel::server {
namespace {

using ambrel::testing::LiveServer;
using ambrel::testing::TempDir;

constexpr std::string_view kStateChanged = R"({"jsonrpc":"2.0","method":"workflow/stateChanged")";

bool is_response(const std::string& body, std::string_view id) {
    return body.starts_with(fmt::format(R"({{"jsonrpc":"2.0","id":{},)", id));
}

// A state notification of the error screen that shows the stand-in text.
bool is_stand_in_failure(const std::string& body) {
    if (!body.starts_with(kStateChanged)) return false;
    const auto message = json::parse(body);
    if (!message) return false;
    const auto* state = json::find(*json::find(*message, "params"), "state");
    const auto kind = json::as_string(*json::find(*state, "kind"));
    return kind == "error" && body.find(kStandInMessage) != std::string::npos;
}

TEST(LiveSession, OrgLoadAndSourceListingEndOnTheStandInFailure) {
    TempDir home;
    TempDir root;
    LiveServer server(home.path(), stand_in_service_factory(cli::CliCommandCache::create()));
    ASSERT_TRUE(server.send(fmt::format(
        R"({{"jsonrpc":"2.0","id":1,"method":"initialize","params":{{"protocolVersion":41,"workspaceRoot":{}}}}})",
        json::quote(root.path().string()))));
    ASSERT_TRUE(server.read_until([](const std::string& body) { return is_response(body, "1"); }));

    ASSERT_TRUE(server.send(R"({"jsonrpc":"2.0","id":2,"method":"workflow/loadOrgs"})"));
    bool load_failed = false;
    bool load_answered = false;
    const auto load = server.read_until([&](const std::string& body) {
        load_failed = load_failed || is_stand_in_failure(body);
        load_answered = load_answered || is_response(body, "2");
        return load_failed && load_answered;
    });
    ASSERT_TRUE(load) << "the org load never reached the error screen";
    bool answered = false;
    for (const auto& body : *load) {
        if (!is_response(body, "2")) continue;
        answered = true;
        EXPECT_TRUE(body.starts_with(R"({"jsonrpc":"2.0","id":2,"result":{"operationId":)")) << body;
        EXPECT_EQ(body.find(R"("operationId":null)"), std::string::npos) << body;
    }
    EXPECT_TRUE(answered);

    const std::string repository = (root.path() / "repo").string();
    ASSERT_TRUE(server.send(fmt::format(
        R"({{"jsonrpc":"2.0","id":3,"method":"workflow/selectSource","params":{{"endpoint":{{"kind":"git","path":{},"branch":{{"name":"main","kind":"local"}}}}}}}})",
        json::quote(repository))));
    // The response and the notifications leave from different threads, so either may come first.
    bool listing_started = false;
    bool failure_seen = false;
    bool response_seen = false;
    const auto listing = server.read_until([&](const std::string& body) {
        listing_started = listing_started || (body.starts_with(kStateChanged) &&
                                              body.find(R"("kind":"loadingComponents")") != std::string::npos);
        failure_seen = failure_seen || (listing_started && is_stand_in_failure(body));
        response_seen = response_seen || is_response(body, "3");
        return failure_seen && response_seen;
    });
    ASSERT_TRUE(listing) << "the source listing never reached the error screen";
    bool loading_seen = false;
    bool listing_answered = false;
    for (const auto& body : *listing) {
        if (body.starts_with(kStateChanged) && body.find(R"("kind":"loadingComponents")") != std::string::npos) {
            loading_seen = true;
        }
        if (is_response(body, "3")) {
            listing_answered = true;
            EXPECT_EQ(body.find(R"("operationId":null)"), std::string::npos) << body;
        }
    }
    EXPECT_TRUE(loading_seen);
    EXPECT_TRUE(listing_answered);

    ASSERT_TRUE(server.send(R"({"jsonrpc":"2.0","id":4,"method":"shutdown"})"));
    const auto shut = server.read_until([](const std::string& body) { return is_response(body, "4"); });
    ASSERT_TRUE(shut);
    EXPECT_EQ(shut->back(), R"({"jsonrpc":"2.0","id":4,"result":{}})");
    EXPECT_EQ(server.finish(), 0);
}

}  // namespace
}  // namespace ambrel::server
