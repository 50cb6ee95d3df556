// /proc as the Linux back end reads it, on made-up lines.
#include <gtest/gtest.h>

#include "ProcFiles.h"

namespace {

// The name in parentheses may hold spaces and ')': fields count from the last ')'.
TEST(ProcFiles, StatAndStatusLines)
{
    const StatFields stat = ParseStat("123 (a) b) (c) S 1 2 3 4 5 2097152 7 8 9 10 11 12 13 14 "
                                      "15 16 17 18 4242 rest");
    EXPECT_EQ(stat.state, 'S');
    EXPECT_TRUE(stat.kernelThread());
    EXPECT_EQ(stat.startTime, 4242u);
    EXPECT_EQ(ParseStat("garbage").state, 0);
    char name[8];
    EXPECT_TRUE(StatName("123 (a) b) (c) S 1", name, sizeof(name)));
    EXPECT_STREQ(name, "a) b) (");
    EXPECT_TRUE(StatName("9 (a long name) R", name, sizeof(name)));
    EXPECT_STREQ(name, "a long ") << "cut to fit";
    EXPECT_FALSE(StatName("garbage", name, sizeof(name)));

    const ProcStatus status = ParseStatus("Name:\tmy prog\nUmask:\t0022\nState:\tZ (zombie)\n"
                                          "Tgid:\t77\nPid:\t78\nTracerPid:\t0\nUid:\t1000\t1001\t"
                                          "1000\t1000\nThreads:\t3\n");
    EXPECT_TRUE(status.exists);
    EXPECT_EQ(status.name, QStringLiteral("my prog"));
    EXPECT_EQ(status.state, 'Z');
    EXPECT_EQ(status.tgid, 77);
    EXPECT_EQ(status.tracer, 0);
    EXPECT_EQ(status.uid, 1000);
    EXPECT_EQ(status.threads, 3);
    EXPECT_FALSE(ParseStatus(QByteArray()).exists);
}

} // namespace
