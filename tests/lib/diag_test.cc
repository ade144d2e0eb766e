#include "diag.h"

#include <gtest/gtest.h>

#include <cstring>

#include "test_support.h"

using pelorin_test::run_in_child;

TEST(CopyBounded, CopiesShortAndExactTextsWholeAndCutsLongOnes) {
    char buf[6];
    std::memset(buf, 'x', sizeof buf);
    copy_bounded(buf, "abc", sizeof buf);
    EXPECT_STREQ(buf, "abc");

    copy_bounded(buf, "abcde", sizeof buf);  // exactly size - 1
    EXPECT_STREQ(buf, "abcde");

    copy_bounded(buf, "abcdefgh", sizeof buf);
    EXPECT_STREQ(buf, "abcde");
    EXPECT_EQ(buf[5], '\0');
}

TEST(CopyBounded, SizeOneYieldsEmptyText) {
    char buf[1] = {'x'};
    copy_bounded(buf, "abc", 1);
    EXPECT_EQ(buf[0], '\0');
}

TEST(Diagnostics, WarnGoesToStandardErrorVerbatimAndReturns) {
    auto r = run_in_child([] {
        use_syslog = 0;
        diag_warn("value %d and %s\n", 42, "text");
        diag_warn("no newline added");
    });
    EXPECT_EQ(r.exit_status, 0);
    EXPECT_EQ(r.err, "value 42 and text\nno newline added");
    EXPECT_EQ(r.out, "");
}

TEST(Diagnostics, FatalExitsOneAfterWritingAndFlushesStdio) {
    auto r = run_in_child([] {
        use_syslog = 0;
        std::printf("buffered");  // must be flushed by the normal exit path
        diag_fatal("fatal %s\n", "now");
    });
    EXPECT_EQ(r.exit_status, 1);
    EXPECT_EQ(r.err, "fatal now\n");
    EXPECT_EQ(r.out, "buffered");
}

TEST(Diagnostics, SyslogModeWritesNothingToStandardError) {
    auto warn = run_in_child([] {
        use_syslog = 1;
        diag_warn("to the system log %d\n", 1);
    });
    EXPECT_EQ(warn.exit_status, 0);
    EXPECT_EQ(warn.err, "");

    auto fatal = run_in_child([] {
        use_syslog = 1;
        diag_fatal("fatal to the system log\n");
    });
    EXPECT_EQ(fatal.exit_status, 1);
    EXPECT_EQ(fatal.err, "");
}
