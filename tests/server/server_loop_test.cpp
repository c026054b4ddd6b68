#include "main/server.hpp"

#include <gtest/gtest.h>

#include <thread>

#include "main/outgoing.hpp"
#include "server/stand_in_service.hpp"
#include "pipe_feed.hpp"

namespace ambrel::server {
namespace {

using ambrel::testing::framed;
using ambrel::testing::PipeFeed;

TEST(FrameMessage, WritesCompactJsonAfterItsHeaderAndNeverFailsOnBadText) {
    json::Object value;
    value["id"] = 1;
    value["result"] = "caf\xc3";
    const auto frame = frame_message(value);
    ASSERT_TRUE(frame);
    EXPECT_EQ(*frame, "Content-Length: 26\r\n\r\n{\"id\":1,\"result\":\"caf\xef\xbf\xbd\"}");
}

TEST(OutgoingChannel, DeliversWhatWasQueuedBeforeCloseThenEnds) {
    auto channel = OutgoingChannel::create();
    EXPECT_TRUE(channel->send(1));
    EXPECT_TRUE(channel->send("two"));
    channel->close();
    EXPECT_FALSE(channel->send(3));
    EXPECT_EQ(channel->receive(), std::optional<std::string>(framed("1")));
    EXPECT_EQ(channel->receive(), std::optional<std::string>(framed("\"two\"")));
    EXPECT_EQ(channel->receive(), std::nullopt);
}

TEST(OutgoingChannel, HandsOverEverythingQueuedInOneGo) {
    auto channel = OutgoingChannel::create();
    EXPECT_TRUE(channel->send(json::Array{}));
    EXPECT_TRUE(channel->send(json::Object{}));
    std::string frames = "stale";
    ASSERT_TRUE(channel->receive_all(frames));
    EXPECT_EQ(frames, framed("[]") + framed("{}"));
    channel->close();
    EXPECT_FALSE(channel->receive_all(frames));
    EXPECT_EQ(frames, "");
}

TEST(OutgoingChannel, RefusesEverySendOnceTheReceiverHasGone) {
    auto channel = OutgoingChannel::create();
    EXPECT_TRUE(channel->send(1));
    channel->drop_receiver();
    EXPECT_FALSE(channel->send(2));
    EXPECT_EQ(channel->receive(), std::nullopt);
}

TEST(OutgoingChannel, ReceiveWaitsForASenderOnAnotherThread) {
    auto channel = OutgoingChannel::create();
    std::thread sender([channel] { (void)channel->send("late"); });
    EXPECT_EQ(channel->receive(), std::optional<std::string>(framed("\"late\"")));
    sender.join();
}

// Collects what the writer thread writes; fails every write once told to.
class RecordingOutput final : public Output {
public:
    explicit RecordingOutput(bool failing) : failing_(failing) {}
    std::expected<void, IoError> write_all(std::string_view bytes) override {
        if (failing_) return std::unexpected(IoError{"Broken pipe"});
        written += bytes;
        return {};
    }
    std::expected<void, IoError> flush() override { return {}; }
    std::string written;

private:
    bool failing_;
};

TEST(Run, WritesEveryResponseOfTheInputInOrder) {
    PipeFeed feed(framed(R"({"jsonrpc":"2.0","id":1,"method":"a"})") + framed(R"({"jsonrpc":"2.0","id":2,"method":"b"})"));
    BufferedReader reader(feed.fd());
    RecordingOutput output(false);
    run(reader, output, stand_in_service_factory(cli::CliCommandCache::create()));
    const std::string first = R"({"jsonrpc":"2.0","id":1,"error":{"code":-32000,"message":"The server has not been initialized."}})";
    const std::string second = R"({"jsonrpc":"2.0","id":2,"error":{"code":-32000,"message":"The server has not been initialized."}})";
    EXPECT_EQ(output.written, framed(first) + framed(second));
}

TEST(Run, AFailingOutputStopsTheLoopAtTheNextResponse) {
    std::string input;
    for (int id = 0; id < 200; ++id) input += framed(R"({"jsonrpc":"2.0","id":1,"method":"a"})");
    PipeFeed feed(input);
    BufferedReader reader(feed.fd());
    RecordingOutput output(true);
    run(reader, output, stand_in_service_factory(cli::CliCommandCache::create()));
    EXPECT_EQ(output.written, "");
}

}  // namespace
}  // namespace ambrel::server
