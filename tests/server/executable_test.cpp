// The real executable over pipes: the orderly runs of the server loop and a table of hostile inputs,
// each of which must end in the documented answer or a clean exit, never a crash, a hang or unbounded
// memory.

#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <fstream>
#include <utility>

#include <fmt/format.h>

#include "dispatch/dispatcher.hpp"
#include "json/json.hpp"
#include "pipe_feed.hpp"
#include "server_process.hpp"
#include "support/test_paths.hpp"

namespace ambrel::server {
namespace {

using ambrel::testing::framed;
using ambrel::testing::frame_bodies;
using ambrel::testing::run_server;
using ambrel::testing::ServerInput;
using ambrel::testing::ServerRun;
using ambrel::testing::TempDir;

constexpr std::string_view kPrefix = "ambrel-server: ";

std::string initialize_frame(const TempDir& root, std::string_view id = "1") {
    return framed(fmt::format(
        R"({{"jsonrpc":"2.0","id":{},"method":"initialize","params":{{"protocolVersion":41,"workspaceRoot":{}}}}})", id,
        json::quote(root.path().string())));
}

std::string request_frame(std::string_view id, std::string_view method) {
    return framed(fmt::format(R"({{"jsonrpc":"2.0","id":{},"method":"{}"}})", id, method));
}

void expect_clean_exit(const ServerRun& run) {
    EXPECT_FALSE(run.hung);
    EXPECT_EQ(run.exit_code, 0) << run.err;
}

TEST(ServerExecutable, EmptyInputEndsAtOnceWithoutOutput) {
    const auto run = run_server({});
    expect_clean_exit(run);
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(run.err, "");
}

TEST(ServerExecutable, AnswersTheLastRequestBeforeTheEndOfInput) {
    const auto run = run_server({request_frame("1", "workflow/getState")});
    expect_clean_exit(run);
    EXPECT_EQ(frame_bodies(run.out),
              (std::vector<std::string>{
                  R"({"jsonrpc":"2.0","id":1,"error":{"code":-32000,"message":"The server has not been initialized."}})"}));
}

TEST(ServerExecutable, StopsReadingAfterShutdown) {
    TempDir root;
    const auto run = run_server({initialize_frame(root) + request_frame("2", "shutdown") +
                                 request_frame("3", "workflow/getState") + "garbage that is never read"});
    expect_clean_exit(run);
    const auto bodies = frame_bodies(run.out);
    ASSERT_EQ(bodies.size(), 2u) << run.out;
    EXPECT_TRUE(bodies[0].starts_with(R"({"jsonrpc":"2.0","id":1,"result":{"serverVersion":"0.1.4")"));
    EXPECT_EQ(bodies[1], R"({"jsonrpc":"2.0","id":2,"result":{}})");
    EXPECT_EQ(run.err, "");
}

TEST(ServerExecutable, AFrameErrorAfterRequestsKeepsTheirAnswers) {
    const auto run = run_server({request_frame("1", "a") + request_frame("2", "b") + "Content-Length: x\r\n\r\n"});
    expect_clean_exit(run);
    EXPECT_EQ(frame_bodies(run.out).size(), 2u);
    EXPECT_EQ(run.err, std::string(kPrefix) + "stopping on frame error: invalid Content-Length value: x\n");
}

TEST(ServerExecutable, NotificationsProduceNoOutput) {
    const auto run = run_server({framed(R"({"jsonrpc":"2.0","method":"workflow/getState"})") + request_frame("2", "x")});
    expect_clean_exit(run);
    EXPECT_EQ(frame_bodies(run.out).size(), 1u);
}

TEST(ServerExecutable, AClosedOutputIsReportedOnceAndEndsTheRun) {
    std::string input;
    for (int id = 1; id <= 50; ++id) input += request_frame(std::to_string(id), "workflow/getState");
    ServerInput closed{input};
    closed.close_output = true;
    const auto run = run_server(closed);
    expect_clean_exit(run);
    EXPECT_EQ(run.err, std::string(kPrefix) + "writer stream closed: Broken pipe\n");
}

TEST(ServerExecutable, HostileInputsGetTheirAnswerOrACleanExit) {
    struct Case {
        std::string name;
        ServerInput input;
        std::vector<std::string> responses;
        std::string err;
    };
    const std::string parse_error =
        R"({"jsonrpc":"2.0","id":null,"error":{"code":-32700,"message":"Could not parse the JSON-RPC message."}})";
    const auto frame_error = [](std::string_view text) {
        return std::string(kPrefix) + "stopping on frame error: " + std::string(text) + "\n";
    };
    ServerInput no_line_feed{"Content-Length: 2"};
    no_line_feed.endless = 'a';
    ServerInput body_of_limit_plus_one{"Content-Length: 67108865\r\n\r\n"};
    body_of_limit_plus_one.endless = 'x';
    std::vector<Case> cases = {
        {"header without a line feed", no_line_feed, {},
         frame_error("header line of 8193 bytes exceeded the 8192-byte limit")},
        {"content length of two to the 63", {"Content-Length: 9223372036854775808\r\n\r\n{}"}, {},
         frame_error("invalid Content-Length value: 9223372036854775808")},
        {"body of 64 MiB and one byte", body_of_limit_plus_one, {}, frame_error("invalid Content-Length value: 67108865")},
        {"truncated body then the end", {"Content-Length: 100\r\n\r\n{\"jsonrpc\":"}, {},
         frame_error("stream ended before the framed payload completed")},
        {"invalid UTF-8 in a method name", {framed("{\"jsonrpc\":\"2.0\",\"id\":1,\"method\":\"workflow/\xc3\x28\"}")},
         {parse_error}, ""},
        {"nested arrays 100,000 deep", {framed(std::string(100'000, '[') + std::string(100'000, ']'))}, {parse_error}, ""},
        {"a batch array",
         {framed(R"([{"jsonrpc":"2.0","id":1,"method":"initialize"},{"jsonrpc":"2.0","id":2,"method":"shutdown"}])")},
         {R"({"jsonrpc":"2.0","id":null,"error":{"code":-32600,"message":"The request is missing the method field."}})"},
         ""},
    };
    // A body of bare zeros would unfold to some 25 times its size: it is refused before it is built, and
    // the server goes on to answer the next request.
    constexpr std::size_t kLargest = std::size_t{64} << 20;
    std::string zeros = "[0";
    zeros.reserve(kLargest);
    while (zeros.size() + 3 <= kLargest) zeros += ",0";
    zeros += ']';
    zeros.resize(kLargest, ' ');
    cases.push_back({"64 MiB of zeros in an array",
                     {framed(zeros) + request_frame("2", "workflow/getState")},
                     {R"({"jsonrpc":"2.0","id":null,"error":{"code":-32600,"message":"The request holds more JSON values than a body of 67108864 bytes may hold (8392704)."}})",
                      R"({"jsonrpc":"2.0","id":2,"error":{"code":-32000,"message":"The server has not been initialized."}})"},
                     ""});
    // The costliest request a 64 MiB body may carry: as many values as its size allows, padded with
    // blanks. It is answered like any other.
    std::string most_values = R"({"jsonrpc":"2.0","id":7,"method":"workflow/getState","params":[)";
    // The object, "2.0", 7, the method name and the array are the other five.
    const std::size_t zero_count = dispatch::value_bound(kLargest) - 5;
    most_values.reserve(kLargest);
    for (std::size_t i = 0; i < zero_count; ++i) most_values += i == 0 ? "0" : ",0";
    most_values += "]}";
    most_values.resize(kLargest, ' ');
    cases.push_back({"64 MiB holding as many values as allowed",
                     {framed(most_values) + request_frame("8", "workflow/getState")},
                     {R"({"jsonrpc":"2.0","id":7,"error":{"code":-32000,"message":"The server has not been initialized."}})",
                      R"({"jsonrpc":"2.0","id":8,"error":{"code":-32000,"message":"The server has not been initialized."}})"},
                     ""});
    zeros = {};
    most_values = {};
    // An id of every JSON kind comes back exactly as sent.
    for (const std::string id : {"null", "true", "-3", "2.5", "\"x\"", "[1,{}]", "{\"k\":[]}", "18446744073709551615",
                                 "-9223372036854775808", "1.0"}) {
        cases.push_back({"id " + id,
                         {framed(R"({"jsonrpc":"2.0","method":"workflow/getState","id":)" + id + "}")},
                         {R"({"jsonrpc":"2.0","id":)" + id +
                          R"(,"error":{"code":-32000,"message":"The server has not been initialized."}})"},
                         ""});
    }
    // A numeric id that this server would write back differently is refused rather than changed.
    for (const std::string id : {"123456789012345678901234567890", "1e400", "-0", "1E2", "0.10"}) {
        cases.push_back({"id " + id,
                         {framed(R"({"jsonrpc":"2.0","method":"workflow/getState","id":)" + id + "}")},
                         {R"({"jsonrpc":"2.0","id":null,"error":{"code":-32600,"message":"The request id )" + id +
                          R"( cannot be answered exactly; use a string or an integer of at most 64 bits."}})"},
                         ""});
    }
    // Memory is the server's own peak above that of a server that reads nothing, in the same run; the
    // sanitizers' quarantine of freed blocks is no memory of the server's.
    std::string sanitizer_options = std::getenv("ASAN_OPTIONS") != nullptr ? std::getenv("ASAN_OPTIONS") : "";
    ambrel::testing::ScopedVariable no_quarantine("ASAN_OPTIONS", sanitizer_options + ":quarantine_size_mb=0");
    const long idle_kib = run_server({}).max_rss_kib;
    ASSERT_GT(idle_kib, 0);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const auto run = run_server(c.input);
        expect_clean_exit(run);
        EXPECT_EQ(frame_bodies(run.out), c.responses);
        EXPECT_EQ(run.err, c.err);
        // Far below what storing an endless header or a refused body would cost; for a body of 64 MiB,
        // at most ten times its size.
        const bool largest = c.input.bytes.size() > kLargest;
        EXPECT_LT(run.max_rss_kib - idle_kib, largest ? 10 * 64 * 1024 : 128 * 1024) << run.max_rss_kib;
    }
}

TEST(ServerExecutable, AWorkspaceRootThatCannotHoldTheSessionLogIsRefused) {
    TempDir root;
    const auto file = root.path() / "a-file";
    std::ofstream(file) << "not a folder";
    TempDir good;
    const auto run = run_server({framed(fmt::format(
                                     R"({{"jsonrpc":"2.0","id":1,"method":"initialize","params":{{"protocolVersion":41,"workspaceRoot":{}}}}})",
                                     json::quote(file.string()))) +
                                 initialize_frame(good, "2") + request_frame("3", "shutdown")});
    expect_clean_exit(run);
    const auto bodies = frame_bodies(run.out);
    ASSERT_EQ(bodies.size(), 3u) << run.out;
    EXPECT_EQ(bodies[0], fmt::format(R"({{"jsonrpc":"2.0","id":1,"error":{{"code":-32602,"message":"The session log cannot be kept in {}: Not a directory."}}}})",
                                     (file / "quillary" / "logs").string()));
    // Nothing of the refused root was kept: a good root initialises the same server.
    EXPECT_TRUE(bodies[1].starts_with(R"({"jsonrpc":"2.0","id":2,"result":{"serverVersion":"0.1.4")")) << bodies[1];
}

// SIGTERM, SIGHUP and SIGINT end a server whose input stays open as the end of the input does: the
// answers already given stand, the reason is the one diagnostic line, and the exit is clean; before
// "initialize" and within a session alike.
TEST(ServerExecutable, AStopSignalEndsTheRunAsTheEndOfTheInputDoes) {
    TempDir root;
    const std::vector<std::pair<int, std::string>> signals = {{SIGTERM, "SIGTERM"}, {SIGHUP, "SIGHUP"}, {SIGINT, "SIGINT"}};
    for (const auto& [signal_number, name] : signals) {
        for (const bool initialized : {false, true}) {
            SCOPED_TRACE(name + (initialized ? " in a session" : " before initialize"));
            ServerInput input{initialized ? initialize_frame(root) : request_frame("1", "workflow/getState")};
            input.signal = signal_number;
            const auto run = run_server(input);
            expect_clean_exit(run);
            const auto bodies = frame_bodies(run.out);
            ASSERT_EQ(bodies.size(), 1u) << run.out;
            EXPECT_TRUE(bodies[0].starts_with(initialized ? R"({"jsonrpc":"2.0","id":1,"result":{"serverVersion":)"
                                                          : R"({"jsonrpc":"2.0","id":1,"error":)"))
                << bodies[0];
            EXPECT_EQ(run.err, std::string(kPrefix) + "stopping on signal " + name + "\n");
        }
    }
}

TEST(ServerExecutable, ASessionRunsAndShutsDownInOrder) {
    TempDir root;
    const auto run = run_server({initialize_frame(root) + request_frame("2", "workflow/getState") +
                                 request_frame("3", "workflow/cancel") + request_frame("4", "shutdown")});
    expect_clean_exit(run);
    std::vector<std::string> responses;
    for (const auto& body : frame_bodies(run.out)) {
        if (!body.starts_with(R"({"jsonrpc":"2.0","method":"workflow/)")) responses.push_back(body);
    }
    ASSERT_EQ(responses.size(), 4u) << run.out;
    EXPECT_TRUE(responses[1].starts_with(R"({"jsonrpc":"2.0","id":2,"result":{"state":{"kind":)"));
    EXPECT_TRUE(responses[2].starts_with(R"({"jsonrpc":"2.0","id":3,"result":{"cancelled":)"));
    EXPECT_EQ(responses[3], R"({"jsonrpc":"2.0","id":4,"result":{}})");
}

}  // namespace
}  // namespace ambrel::server
