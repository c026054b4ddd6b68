#include <gtest/gtest.h>

#include <pthread.h>

#include <atomic>
#include <stdexcept>

#include "support/programming_error.hpp"
#include "support/thread.hpp"

namespace ambrel::support {
namespace {

TEST(Guard, TurnsExceptionsIntoFailures) {
    auto ok = guard([] { return 7; });
    ASSERT_TRUE(ok);
    EXPECT_EQ(*ok, 7);

    auto precondition = guard([]() -> int { fail_precondition("blank alias"); });
    ASSERT_FALSE(precondition);
    EXPECT_EQ(precondition.error(), "programming error: blank alias");

    auto runtime = guard([] { throw std::runtime_error("boom"); });
    ASSERT_FALSE(runtime);
    EXPECT_EQ(runtime.error(), "boom");

    auto other = guard([] { throw 42; });
    ASSERT_FALSE(other);
    EXPECT_EQ(other.error(), "unknown exception");
}

TEST(Diagnostic, OneLineWithThePrefixAndControlCharactersAsSpaces) {
    ::testing::internal::CaptureStderr();
    report_diagnostic("worker failed:\nline two\r\t\x1b[31mred\x7f\xC2\x85" "next\xC2\x9F\xC2\xA0" "end");
    EXPECT_EQ(::testing::internal::GetCapturedStderr(),
              "ambrel-server: worker failed: line two   [31mred  next \xC2\xA0" "end\n");
}

TEST(ThreadName, CutsToFifteenBytesOnCharacterBoundary) {
    EXPECT_EQ(thread_name_for("short"), "short");
    EXPECT_EQ(thread_name_for("quillary-process-stream"), "quillary-proces");
    // "é" is two bytes at offsets 14 and 15: it must not be split.
    EXPECT_EQ(thread_name_for("abcdefghijklmn\xC3\xA9xyz"), "abcdefghijklmn");
}

TEST(ThreadName, NamedThreadRunsAndSurvivesAnException) {
    std::atomic<bool> ran{false};
    char seen[16] = {};
    auto thread = start_named_thread("quillary-process-stream", [&] {
        pthread_getname_np(pthread_self(), seen, sizeof seen);
        ran = true;
        throw std::runtime_error("escaped");
    });
    ASSERT_TRUE(thread);
    thread->join();
    EXPECT_TRUE(ran);
    EXPECT_STREQ(seen, "quillary-proces");
}

}  // namespace
}  // namespace ambrel::support
