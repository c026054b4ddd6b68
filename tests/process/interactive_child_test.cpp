#include "process/interactive_child.hpp"

#include <gtest/gtest.h>

#include <csignal>

namespace ambrel::process {
namespace {

using Clock = InteractiveChild::Clock;

Clock::time_point soon() { return Clock::now() + std::chrono::seconds(10); }

TEST(InteractiveChild, AnswersLinesAndExactByteCounts) {
    auto child = InteractiveChild::start({"cat"}, {});
    ASSERT_TRUE(child);
    ASSERT_TRUE((*child)->send("first line\nabc", soon()));
    auto line = (*child)->read_line(soon());
    ASSERT_TRUE(line);
    EXPECT_EQ(*line, "first line");
    auto bytes = (*child)->read_exact(3, soon());
    ASSERT_TRUE(bytes);
    EXPECT_EQ(*bytes, "abc");
    const InteractiveEnd end = (*child)->finish(std::chrono::seconds(5));
    EXPECT_EQ(end.exit_code, 0);
    EXPECT_EQ(end.stdout_bytes, 14u);
}

TEST(InteractiveChild, LargeAnswersDoNotDeadlockEitherSide) {
    auto child = InteractiveChild::start({"cat"}, {});
    ASSERT_TRUE(child);
    const std::string big(4 << 20, 'x');
    ASSERT_TRUE((*child)->send(big, soon()));
    auto back = (*child)->read_exact(big.size(), soon());
    ASSERT_TRUE(back);
    EXPECT_EQ(*back, big);
}

TEST(InteractiveChild, WritingToAChildThatEndedFailsWithoutSigpipe) {
    // A SIGPIPE would end this test process; it must come back as an error instead.
    auto child = InteractiveChild::start({"true"}, {});
    ASSERT_TRUE(child);
    auto line = (*child)->read_line(soon());
    ASSERT_FALSE(line);
    EXPECT_EQ(line.error().kind, InteractiveError::Kind::Ended);
    for (int i = 0; i < 3; ++i) {
        auto sent = (*child)->send(std::string(1 << 16, 'x'), soon());
        EXPECT_FALSE(sent);
    }
}

TEST(InteractiveChild, SendingAfterTheChildExitedFailsWithoutSigpipe) {
    auto child = InteractiveChild::start({"head", "-c", "1"}, {});
    ASSERT_TRUE(child);
    ASSERT_TRUE((*child)->send("ab", soon()));
    ASSERT_TRUE((*child)->read_exact(1, soon()));
    bool failed = false;
    for (int i = 0; i < 50 && !failed; ++i) failed = !(*child)->send(std::string(1 << 16, 'y'), soon());
    EXPECT_TRUE(failed);
}

TEST(InteractiveChild, ADeadlineStopsTheGroup) {
    auto child = InteractiveChild::start({"sleep", "30"}, {});
    ASSERT_TRUE(child);
    auto line = (*child)->read_line(Clock::now() + std::chrono::milliseconds(50));
    ASSERT_FALSE(line);
    EXPECT_EQ(line.error().kind, InteractiveError::Kind::TimedOut);
    const InteractiveEnd end = (*child)->finish(std::chrono::milliseconds(0));
    EXPECT_TRUE(end.timed_out);
    // Once failed, every later call fails.
    EXPECT_FALSE((*child)->send("x", soon()));
}

TEST(InteractiveChild, AMissingProgramFailsToStart) {
    auto child = InteractiveChild::start({"/nonexistent/program"}, {});
    ASSERT_FALSE(child);
    EXPECT_EQ(child.error().kind, ProcessError::Kind::StartFailed);
}

}  // namespace
}  // namespace ambrel::process
