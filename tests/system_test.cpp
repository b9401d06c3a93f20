#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <cerrno>
#include <clocale>
#include <cstdio>
#include <ctime>

#include "platform/ConsoleOutput.h"
#include "platform/System.h"

TEST(System, StampIsMonthDayYearHourMinuteWhateverTheLocale) {
    // Whatever locale the environment chose, the stamp keeps the POSIX form.
    std::setlocale(LC_ALL, "");
    auto expected = [] {
        const std::time_t now = std::time(nullptr);
        std::tm local{};
        char buffer[32];
        std::strftime(buffer, sizeof buffer, "%m/%d/%y %H:%M", localtime_r(&now, &local));
        return std::string(buffer);
    };
    const std::string strBefore = expected(), strStamp = LogStamp(), strAfter = expected();
    std::setlocale(LC_ALL, "C");
    EXPECT_TRUE(strStamp == strBefore || strStamp == strAfter) << strStamp;
}

TEST(System, ErrorTextIsTheSystemsOrNothing) {
    EXPECT_EQ(SystemErrorText(ECONNREFUSED), "Connection refused");
    EXPECT_EQ(SystemErrorText(10035), "");
    EXPECT_EQ(SystemErrorText(-1), "");
}

TEST(System, PlatformFamilyIsNtOnlyWhenAskedFor) {
    unsetenv("TARNWICK_PLATFORM");
    EXPECT_FALSE(PlatformIsNT());
    for (const char* pFamily : {"nt", "linux"}) {
        setenv("TARNWICK_PLATFORM", pFamily, 1);
        EXPECT_EQ(PlatformIsNT(), pFamily[0] == 'n') << pFamily;
    }
    unsetenv("TARNWICK_PLATFORM");
}

TEST(System, BrokenPipesDoNotEndTheProcess) {
    // A write to a pipe nobody reads fails with EPIPE instead of ending the process.
    IgnoreBrokenPipes();
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    close(fds[0]);
    EXPECT_EQ(write(fds[1], "x", 1), -1);
    EXPECT_EQ(errno, EPIPE);
    close(fds[1]);
}

// Lines for a pipe nobody reads: no write waits; past the limit later lines are left out until
// what waits has gone out, then one line says how many; what was kept comes whole and in order.
TEST(ConsoleOutput, NeverWaitsForItsReaderAndSaysWhatItLeftOut) {
    int fds[2];
    ASSERT_EQ(pipe2(fds, O_CLOEXEC), 0);  // a blocking pipe, as standard output usually is
    const size_t nLines = CConsoleOutput::kMaxPending / 100 + 2000;
    auto line = [](size_t i) {
        char szLine[101];
        std::snprintf(szLine, sizeof szLine, "%099zu", i);
        return std::string(szLine) + "\n";
    };
    std::string strRead;
    {
        CConsoleOutput output(fds[1]);
        for (size_t i = 0; i < nLines; ++i) output.Write(line(i));
        fcntl(fds[0], F_SETFL, O_NONBLOCK);
        char buffer[65536];
        for (bool bWaiting = true; bWaiting;) {
            for (ssize_t n; (n = read(fds[0], buffer, sizeof buffer)) > 0;)
                strRead.append(buffer, static_cast<size_t>(n));
            bWaiting = output.Flush();
        }
        EXPECT_FALSE(output.Write("after\n"));
    }
    close(fds[1]);
    char buffer[4096];
    for (ssize_t n; (n = read(fds[0], buffer, sizeof buffer)) > 0;)
        strRead.append(buffer, static_cast<size_t>(n));
    close(fds[0]);
    size_t nKept = 0;
    while (strRead.compare(nKept * 100, 100, line(nKept)) == 0) ++nKept;
    ASSERT_GT(nKept, 0u);
    ASSERT_LT(nKept, nLines);
    EXPECT_EQ(strRead.substr(nKept * 100), "Tarnwick: " + std::to_string(nLines - nKept) +
                                               " lines were left out here: this output was not "
                                               "being read.\nafter\n");
}
