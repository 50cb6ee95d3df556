// GoogleTest entry for tests that use Qt Core (QProcess, temporary folders).
#include <QCoreApplication>
#include <gtest/gtest.h>

int main(int argc, char **argv)
{
#if defined(NORVA_TEST_CACHE_HOME)
    qputenv("XDG_CACHE_HOME", NORVA_TEST_CACHE_HOME);
#endif
    QCoreApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
