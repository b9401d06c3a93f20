#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <cerrno>
#include <clocale>
#include <ctime>

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
