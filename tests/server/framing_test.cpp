#include "main/framing.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "pipe_feed.hpp"

namespace ambrel::framing {
namespace {

using testing::framed;
using testing::PipeFeed;

// Every outcome of reading frames until the first error or the end, as texts: "body:{bytes}",
// "end", or "error:{message}".
std::vector<std::string> read_all(std::string input) {
    PipeFeed feed(std::move(input));
    server::BufferedReader reader(feed.fd());
    std::vector<std::string> outcomes;
    for (;;) {
        auto frame = read_frame(reader);
        if (!frame) {
            outcomes.push_back("error:" + frame.error().message());
            return outcomes;
        }
        if (!frame->has_value()) {
            outcomes.emplace_back("end");
            return outcomes;
        }
        outcomes.push_back("body:" + **frame);
    }
}

struct Case {
    std::string name;
    std::string input;
    std::vector<std::string> outcomes;
};

TEST(ReadFrame, HandlesEveryHeaderAndBodyShape) {
    const std::string seventeen = "abcdefghijklmnopq";
    const std::vector<Case> cases = {
        {"seventeen bytes then the next frame", framed(seventeen) + framed("{}"),
         {"body:" + seventeen, "body:{}", "end"}},
        {"lower-case name without a space", "content-length:2\r\n\r\n{}", {"body:{}", "end"}},
        {"upper-case name with white space before the colon", "CONTENT-LENGTH \t: 2\r\n\r\n{}", {"body:{}", "end"}},
        {"leading plus", "Content-Length: +17\r\n\r\n" + seventeen, {"body:" + seventeen, "end"}},
        {"leading zeros", "Content-Length: 0017\r\n\r\n" + seventeen, {"body:" + seventeen, "end"}},
        {"trailing letters", "Content-Length: 17abc\r\n\r\n", {"error:invalid Content-Length value: 17abc"}},
        {"negative", "Content-Length: -1\r\n\r\n", {"error:invalid Content-Length value: -1"}},
        {"empty value", "Content-Length:\r\n\r\n", {"error:invalid Content-Length value: "}},
        {"lone plus", "Content-Length: +\r\n\r\n", {"error:invalid Content-Length value: +"}},
        {"beyond 64 bits", "Content-Length: 18446744073709551616\r\n\r\n",
         {"error:invalid Content-Length value: 18446744073709551616"}},
        {"two lengths, the last counts", "Content-Length: 5\r\nContent-Length: 7\r\n\r\n1234567", {"body:1234567", "end"}},
        {"one byte over the body limit", "Content-Length: 67108865\r\n\r\n",
         {"error:invalid Content-Length value: 67108865"}},
        {"two to the power 63", "Content-Length: 9223372036854775808\r\n\r\n",
         {"error:invalid Content-Length value: 9223372036854775808"}},
        {"only a content type", "Content-Type: application/json\r\n\r\n",
         {"error:frame header did not contain Content-Length"}},
        {"blank line where a header should begin", framed("{}") + "\r\n" + framed("{}"),
         {"body:{}", "error:frame header did not contain Content-Length"}},
        {"bare line feeds", "Content-Length: 2\n\n{}", {"body:{}", "end"}},
        {"two carriage returns before the line feed", "Content-Length: 2\r\r\n\r\n{}", {"body:{}", "end"}},
        {"line without a colon is ignored", "garbage\r\nContent-Length: 2\r\n\r\n{}", {"body:{}", "end"}},
        {"other headers are ignored", "Content-Type: x\r\nContent-Length: 2\r\n\r\n{}", {"body:{}", "end"}},
        {"end after a header line", "Content-Length: 10\r\n",
         {"error:stream ended before the framed payload completed"}},
        {"end inside the body", "Content-Length: 10\r\n\r\nabcd", {"error:stream ended before the framed payload completed"}},
        {"end before any byte", "", {"end"}},
        {"end inside a header line", "Content-Len", {"error:stream ended before the framed payload completed"}},
        {"empty body", "Content-Length: 0\r\n\r\n", {"body:", "end"}},
        {"header that is not UTF-8", "Content-Length: 2\xff\r\n\r\n{}", {"error:stream did not contain valid UTF-8"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(read_all(c.input), c.outcomes);
    }
}

TEST(ReadFrame, AcceptsTheLargestDeclaredBody) {
    const std::string body(kMaxBodyBytes, 'x');
    const auto outcomes = read_all("Content-Length: 67108864\r\n\r\n" + body);
    ASSERT_EQ(outcomes.size(), 2u);
    EXPECT_EQ(outcomes[0].size(), 5 + body.size());
    EXPECT_EQ(outcomes[1], "end");
}

TEST(ReadFrame, HeaderLineLimitCountsTheTerminator) {
    // "X: " + filler + "\r\n" makes a line of exactly the given length.
    const auto line_of = [](std::size_t length) { return "X: " + std::string(length - 5, 'a') + "\r\n"; };
    EXPECT_EQ(read_all(line_of(8'192) + framed("{}")), (std::vector<std::string>{"body:{}", "end"}));
    EXPECT_EQ(read_all(line_of(8'193) + framed("{}")),
              (std::vector<std::string>{"error:header line of 8193 bytes exceeded the 8192-byte limit"}));
}

TEST(ReadFrame, InputWithoutLineFeedStopsAtTheLimit) {
    // Far more than the limit, never a line feed: the reader stops at the byte that passes the limit.
    const std::string endless(4 * 1024 * 1024, 'a');
    EXPECT_EQ(read_all(endless),
              (std::vector<std::string>{"error:header line of 8193 bytes exceeded the 8192-byte limit"}));
}

TEST(ReadFrame, LeavesTheReaderAtTheNextFrame) {
    PipeFeed feed(framed("[1]") + "tail");
    server::BufferedReader reader(feed.fd());
    auto first = read_frame(reader);
    ASSERT_TRUE(first && first->has_value());
    EXPECT_EQ(**first, "[1]");
    auto rest = reader.fill();
    ASSERT_TRUE(rest);
    EXPECT_EQ(*rest, "tail");
}

TEST(FrameHeader, IsTheOneOutgoingHeader) {
    EXPECT_EQ(frame_header(0), "Content-Length: 0\r\n\r\n");
    EXPECT_EQ(frame_header(1234), "Content-Length: 1234\r\n\r\n");
}

}  // namespace
}  // namespace ambrel::framing
