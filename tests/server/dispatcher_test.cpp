#include "dispatch/dispatcher.hpp"

#include <gtest/gtest.h>

#include <dirent.h>
#include <fmt/format.h>

#include <chrono>
#include <future>
#include <new>
#include <stdexcept>
#include <string>
#include <vector>

#include "server/stand_in_service.hpp"
#include "support/test_paths.hpp"

namespace ambrel::dispatch {
namespace {

using ambrel::testing::TempDir;

std::string initialize_request(std::string_view id, std::string_view root, std::string_view capabilities = "{}") {
    return fmt::format(R"({{"jsonrpc":"2.0","id":{},"method":"initialize","params":{{"protocolVersion":41,"workspaceRoot":{},"capabilities":{}}}}})",
                       id, json::quote(root), capabilities);
}

std::string request(std::string_view id, std::string_view method, std::string_view params = "null") {
    return fmt::format(R"({{"jsonrpc":"2.0","id":{},"method":"{}","params":{}}})", id, method, params);
}

std::size_t thread_count() {
    std::size_t count = 0;
    if (DIR* dir = ::opendir("/proc/self/task")) {
        while (const dirent* entry = ::readdir(dir)) {
            if (entry->d_name[0] != '.') ++count;
        }
        ::closedir(dir);
    }
    return count;
}

class DispatcherTest : public ::testing::Test {
protected:
    std::string answer(std::string_view body) {
        auto response = dispatcher_.process_frame(body);
        return response ? json::write_compact(*response) : "none";
    }
    std::string initialize(std::string_view capabilities = "{}") {
        return answer(initialize_request("1", root_.path().string(), capabilities));
    }

    TempDir root_;
    std::shared_ptr<server::OutgoingChannel> outgoing_ = server::OutgoingChannel::create();
    Dispatcher dispatcher_{outgoing_, server::stand_in_service_factory(cli::CliCommandCache::create())};
};

TEST_F(DispatcherTest, AnswersMalformedMessages) {
    struct Case {
        std::string name;
        std::string body;
        std::string expected;
    };
    const std::string parse_error =
        R"({"jsonrpc":"2.0","id":null,"error":{"code":-32700,"message":"Could not parse the JSON-RPC message."}})";
    const std::string missing_method =
        R"({"jsonrpc":"2.0","id":null,"error":{"code":-32600,"message":"The request is missing the method field."}})";
    const std::vector<Case> cases = {
        {"not JSON", "{bad", parse_error},
        {"trailing characters", R"({"jsonrpc":"2.0","method":"x"} x)", parse_error},
        {"empty body", "", parse_error},
        {"nested arrays beyond the depth limit", std::string(100'000, '[') + std::string(100'000, ']'), parse_error},
        {"array", "[1]", missing_method},
        {"bare number", "7", missing_method},
        {"neither id nor method", "{}", missing_method},
        {"method not a text", R"({"id":4,"method":5})",
         R"({"jsonrpc":"2.0","id":4,"error":{"code":-32600,"message":"The request is missing the method field."}})"},
        {"notification before initialize", R"({"jsonrpc":"2.0","method":"workflow/getState"})", "none"},
        {"text id", request(R"("abc")", "workflow/getState"),
         R"({"jsonrpc":"2.0","id":"abc","error":{"code":-32000,"message":"The server has not been initialized."}})"},
        {"null id", request("null", "workflow/nothing"),
         R"({"jsonrpc":"2.0","id":null,"error":{"code":-32000,"message":"The server has not been initialized."}})"},
        {"object id", request(R"({"a":[1]})", "workflow/getState"),
         R"({"jsonrpc":"2.0","id":{"a":[1]},"error":{"code":-32000,"message":"The server has not been initialized."}})"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(answer(c.body), c.expected);
    }
}

TEST_F(DispatcherTest, RefusesMalformedInitializeAndStaysUninitialized) {
    struct Case {
        std::string name;
        std::string params;
        std::string error;
    };
    const std::string root = json::quote(root_.path().string());
    const std::string numeric = R"({"code":-32602,"message":"initialize requires a numeric protocolVersion."})";
    const std::string log = R"({"code":-32602,"message":"capabilities.log must be one of off, standard, detailed."})";
    const std::vector<Case> cases = {
        {"version 40", R"({"protocolVersion":40})",
         R"({"code":-32000,"message":"Incompatible protocol version 40; server speaks 41."})"},
        {"version as text", R"({"protocolVersion":"41"})", numeric},
        {"version 41.5", R"({"protocolVersion":41.5})", numeric},
        {"version 41.0", R"({"protocolVersion":41.0})", numeric},
        {"version negative", R"({"protocolVersion":-41})", numeric},
        {"no params", "null", numeric},
        {"empty workspace root", R"({"protocolVersion":41,"workspaceRoot":""})",
         R"({"code":-32602,"message":"initialize requires a workspaceRoot string."})"},
        {"log null", R"({"protocolVersion":41,"workspaceRoot":)" + root + R"(,"capabilities":{"log":null}})", log},
        {"log unknown", R"({"protocolVersion":41,"workspaceRoot":)" + root + R"(,"capabilities":{"log":"verbose"}})", log},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(answer(request("2", "initialize", c.params)), R"({"jsonrpc":"2.0","id":2,"error":)" + c.error + "}");
    }
    EXPECT_EQ(answer(request("3", "workflow/getState")),
              R"({"jsonrpc":"2.0","id":3,"error":{"code":-32000,"message":"The server has not been initialized."}})");
}

TEST_F(DispatcherTest, InitializeBuildsTheSessionOnce) {
    const std::string log_path = (root_.path() / "quillary" / "logs").string();
    const std::string result = initialize(R"({"progress":"yes","log":"detailed"})");
    EXPECT_TRUE(result.starts_with(
        R"({"jsonrpc":"2.0","id":1,"result":{"serverVersion":"0.1.4","protocolVersion":41,"capabilities":{"progress":false},"log":{"level":"detailed","path":")" +
        log_path + "/session-"))
        << result;
    EXPECT_EQ(answer(initialize_request("5", root_.path().string())),
              R"({"jsonrpc":"2.0","id":5,"error":{"code":-32000,"message":"The server is already initialized."}})");
    EXPECT_EQ(answer(request("6", "workflow/getstate")),
              R"({"jsonrpc":"2.0","id":6,"error":{"code":-32601,"message":"Unknown method: workflow/getstate"}})");
    EXPECT_EQ(answer(request("7", "workflow/setLogLevel", R"({"level":"off"})")).substr(0, 64),
              R"({"jsonrpc":"2.0","id":7,"result":{"level":"off","path":")" + log_path.substr(0, 8));
    EXPECT_EQ(answer(request("8", "workflow/setLogLevel", R"({"level":"loud"})")),
              R"({"jsonrpc":"2.0","id":8,"error":{"code":-32602,"message":"Parameter 'level' must be one of off, standard, detailed."}})");
    EXPECT_EQ(answer(request("9", "workflow/componentSource", R"({"sessionId":1,"metadataType":"ApexClass","name":"A"})")),
              R"({"jsonrpc":"2.0","id":9,"error":{"code":-32000,"message":"There is no active comparison session for this request."}})");
    EXPECT_EQ(answer(request("10", "workflow/componentSource", R"({"sessionId":"1"})")),
              R"({"jsonrpc":"2.0","id":10,"error":{"code":-32602,"message":"Parameter 'sessionId' must be a number."}})");
}

TEST_F(DispatcherTest, WithoutCapabilitiesProgressIsOffAndTheLogStandard) {
    const std::string result = initialize();
    EXPECT_NE(result.find(R"("capabilities":{"progress":false},"log":{"level":"standard")"), std::string::npos) << result;
}

TEST_F(DispatcherTest, GetStateAnswersTheStateObjectAndStatesAreNotified) {
    initialize(R"({"progress":true})");
    const std::string state = answer(request("2", "workflow/getState"));
    EXPECT_TRUE(state.starts_with(R"({"jsonrpc":"2.0","id":2,"result":{"state":{"kind":")")) << state;
    EXPECT_EQ(answer(request("3", "workflow/cancel", R"({"operationId":999})")),
              R"({"jsonrpc":"2.0","id":3,"result":{"cancelled":false}})");
    // With nothing running, a cancel without an id changes nothing either; starting an operation does.
    EXPECT_EQ(answer(request("4", "workflow/cancel")), R"({"jsonrpc":"2.0","id":4,"result":{"cancelled":false}})");
    (void)answer(request("5", "workflow/loadOrgs"));
    // The state is delivered on the UI executor's thread; wait for it (bounded, so a missing
    // notification fails instead of hanging).
    auto first = std::async(std::launch::async, [this] { return outgoing_->receive(); });
    ASSERT_EQ(first.wait_for(std::chrono::seconds(60)), std::future_status::ready);
    const auto value = first.get();
    ASSERT_TRUE(value);
    const bool notified =
        value->starts_with("Content-Length: ") &&
        value->find("\r\n\r\n{\"jsonrpc\":\"2.0\",\"method\":\"workflow/stateChanged\",\"params\":{\"state\":{\"kind\":") !=
            std::string::npos;
    EXPECT_TRUE(notified);
}

TEST_F(DispatcherTest, ShutdownWorksInEveryStateAndEndsTheSession) {
    EXPECT_EQ(answer(request("1", "shutdown")), R"({"jsonrpc":"2.0","id":1,"result":{}})");
    EXPECT_TRUE(dispatcher_.is_shut_down());
    EXPECT_EQ(answer(initialize_request("2", root_.path().string())),
              R"({"jsonrpc":"2.0","id":2,"error":{"code":-32000,"message":"The server has shut down."}})");
    EXPECT_EQ(answer(request("3", "workflow/getState")),
              R"({"jsonrpc":"2.0","id":3,"error":{"code":-32000,"message":"The server has shut down."}})");
    EXPECT_EQ(answer(request("4", "shutdown")), R"({"jsonrpc":"2.0","id":4,"result":{}})");
}

TEST_F(DispatcherTest, ShutdownJoinsTheSessionThreads) {
    const std::size_t before = thread_count();
    initialize();
    EXPECT_GE(thread_count(), before + 4);
    (void)answer(request("2", "shutdown"));
    EXPECT_EQ(thread_count(), before);
}

TEST(DispatcherFailures, AFailedStartJoinsWhatItStartedAndMayBeRetried) {
    TempDir root;
    auto outgoing = server::OutgoingChannel::create();
    int calls = 0;
    auto stand_in = server::stand_in_service_factory(cli::CliCommandCache::create());
    // The first session gets no use cases, so building its controller fails after its executors ran.
    Dispatcher dispatcher(outgoing, [&](const std::filesystem::path& path, std::shared_ptr<progress::ProgressSink> progress,
                                        std::shared_ptr<logging::LogSink> log) {
        auto parts = stand_in(path, std::move(progress), std::move(log));
        if (++calls == 1) parts.use_cases = nullptr;
        return parts;
    });
    const std::size_t before = thread_count();
    auto first = dispatcher.process_frame(initialize_request("1", root.path().string()));
    ASSERT_TRUE(first);
    EXPECT_EQ(json::write_compact(*first),
              R"({"jsonrpc":"2.0","id":1,"error":{"code":-32603,"message":"The server encountered an internal error."}})");
    EXPECT_EQ(thread_count(), before);
    auto second = dispatcher.process_frame(initialize_request("2", root.path().string()));
    ASSERT_TRUE(second);
    EXPECT_TRUE(json::write_compact(*second).starts_with(R"({"jsonrpc":"2.0","id":2,"result":)"));
}

// A failure while a request is handled answers -32603 and the server goes on serving; running out of
// memory says so.
TEST(DispatcherFailures, AThrowingFactoryIsAnInternalError) {
    struct Case {
        std::string name;
        void (*fail)();
        std::string message;
    };
    const std::vector<Case> cases = {
        {"an exception", [] { throw std::runtime_error("token=secret"); }, "The server encountered an internal error."},
        {"no memory", [] { throw std::bad_alloc(); }, "The server ran out of memory handling the request."},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir root;
        Dispatcher dispatcher(server::OutgoingChannel::create(),
                              [fail = c.fail](const std::filesystem::path&, std::shared_ptr<progress::ProgressSink>,
                                              std::shared_ptr<logging::LogSink>) -> ServiceParts {
                                  fail();
                                  return {};
                              });
        auto response = dispatcher.process_frame(initialize_request("1", root.path().string()));
        ASSERT_TRUE(response);
        EXPECT_EQ(json::write_compact(*response),
                  R"({"jsonrpc":"2.0","id":1,"error":{"code":-32603,"message":")" + c.message + R"("}})");
        EXPECT_FALSE(dispatcher.is_shut_down());
        auto next = dispatcher.process_frame(R"({"jsonrpc":"2.0","id":2,"method":"workflow/getState"})");
        ASSERT_TRUE(next);
        EXPECT_EQ(json::write_compact(*next),
                  R"({"jsonrpc":"2.0","id":2,"error":{"code":-32000,"message":"The server has not been initialized."}})");
    }
}

}  // namespace
}  // namespace ambrel::dispatch
