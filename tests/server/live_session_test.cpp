// The server loop over the stand-in services, driven a request at a time: an org load ends on the
// stand-in failure, and choosing a repository as the source starts a listing that ends the same way.
// The executable itself keeps answering while git blocks on a repository.

#include <gtest/gtest.h>

#include <fmt/format.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
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

// A repository whose git blocks (its HEAD a FIFO that nobody writes) holds up its own inspection only:
// the server goes on answering, and the inspection is answered once git can read HEAD.
TEST(LiveSession, AnInspectionWhoseGitBlocksLeavesTheServerAnswering) {
    TempDir home;
    TempDir root;
    const std::filesystem::path repository = root.path() / "stuck";
    std::filesystem::create_directories(repository / ".git" / "objects");
    std::filesystem::create_directories(repository / ".git" / "refs" / "heads");
    const std::filesystem::path head = repository / ".git" / "HEAD";
    ASSERT_EQ(::mkfifo(head.c_str(), 0600), 0);
    LiveServer server(home.path());
    ASSERT_TRUE(server.send(fmt::format(
        R"({{"jsonrpc":"2.0","id":1,"method":"initialize","params":{{"protocolVersion":41,"workspaceRoot":{}}}}})",
        json::quote(root.path().string()))));
    ASSERT_TRUE(server.read_until([](const std::string& body) { return is_response(body, "1"); }));

    ASSERT_TRUE(server.send(fmt::format(R"({{"jsonrpc":"2.0","id":2,"method":"workflow/inspectGitRepo","params":{{"path":{}}}}})",
                                        json::quote(repository.string()))));
    ASSERT_TRUE(server.send(R"({"jsonrpc":"2.0","id":3,"method":"workflow/getState"})"));
    const auto answered = server.read_until([](const std::string& body) { return is_response(body, "3"); });
    ASSERT_TRUE(answered) << "getState was not answered while git blocked";
    for (const auto& body : *answered) EXPECT_FALSE(is_response(body, "2")) << body;

    // Let git read HEAD: the first opening through the FIFO, every later one from a plain file.
    const int fifo = ::open(head.c_str(), O_WRONLY);
    ASSERT_GE(fifo, 0);
    std::filesystem::remove(head);
    std::ofstream(head) << "ref: refs/heads/main\n";
    constexpr std::string_view kHead = "ref: refs/heads/main\n";
    EXPECT_EQ(::write(fifo, kHead.data(), kHead.size()), static_cast<ssize_t>(kHead.size()));
    ::close(fifo);
    const auto inspected = server.read_until([](const std::string& body) { return is_response(body, "2"); });
    ASSERT_TRUE(inspected) << "the inspection was never answered";
    EXPECT_TRUE(inspected->back().starts_with(R"({"jsonrpc":"2.0","id":2,"result":{"valid":)")) << inspected->back();

    ASSERT_TRUE(server.send(R"({"jsonrpc":"2.0","id":4,"method":"shutdown"})"));
    ASSERT_TRUE(server.read_until([](const std::string& body) { return is_response(body, "4"); }));
    EXPECT_EQ(server.finish(), 0);
}

}  // namespace
}  // namespace ambrel::server
