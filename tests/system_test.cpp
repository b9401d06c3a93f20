#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <unistd.h>

#include <cerrno>
#include <clocale>
#include <ctime>

#include "platform/System.h"

namespace {
std::string ExpectedStamp() {
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    char buffer[32];
    std::strftime(buffer, sizeof buffer, "%m/%d/%y %H:%M", &local);
    return buffer;
}
}  // namespace

TEST(System, StampIsMonthDayYearHourMinuteWhateverTheLocale) {
    // Whatever locale the environment chose, the stamp keeps the POSIX form.
    std::setlocale(LC_ALL, "");
    const std::string strBefore = ExpectedStamp();
    const std::string strStamp = LogStamp();
    const std::string strAfter = ExpectedStamp();
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
    setenv("TARNWICK_PLATFORM", "nt", 1);
    EXPECT_TRUE(PlatformIsNT());
    setenv("TARNWICK_PLATFORM", "linux", 1);
    EXPECT_FALSE(PlatformIsNT());
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
