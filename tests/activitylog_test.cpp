#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "host/GatewayApp.h"
#include "platform/System.h"
#include "tests/support/TempDir.h"

namespace {
const std::string kDashes(56, '-');
constexpr uid_t kNobody = 65534;
const std::regex kStamp(R"(\d\d/\d\d/\d\d \d\d:\d\d)");

// The bytes with every stamp replaced by "STAMP", so whole files can be compared.
std::string Unstamped(const std::string& strBytes) {
    return std::regex_replace(strBytes, kStamp, "STAMP");
}

// A log pane that lives in memory, as the monitor window's would.
class CFakeMainWindow : public IMainWindow {
public:
    void Refresh() override { ++m_nRefreshes; }
    std::string GetLogText() override { return m_strPane; }
    void AppendLogText(const std::string& strText, size_t nMaxText) override {
        AppendToPane(m_strPane, strText, nMaxText);
        m_nScrolledAt = m_strPane.size();
    }

    std::string m_strPane;
    size_t m_nScrolledAt = 0;
    int m_nRefreshes = 0;
};

class ActivityLog : public ::testing::Test {
protected:
    void SetUp() override {
        m_app.m_settings.EnableLogging = 1;
        LogTo(m_strLog);
    }
    // The log follows the settings as they are published.
    void LogTo(const std::string& strFile) {
        m_app.m_settings.LogFileName = strFile;
        m_app.PublishSettings(false);
    }

    CTempDir m_dir;
    const std::string m_strLog = m_dir.File("activity.log");
    CGatewayApp m_app;
};
}  // namespace

TEST_F(ActivityLog, FileIsCreatedOrAppendedToWithStampedCrLfLinesAndEntriesAsGiven) {
    const std::string strBefore = LogStamp();
    m_app.LogLine("Starting Tarnwick");
    const std::string strAfter = LogStamp();
    const std::string strBytes = ReadFileBytes(m_strLog);
    EXPECT_EQ(Unstamped(strBytes), "STAMP : Starting Tarnwick\r\n");
    const std::string strStamp = strBytes.substr(0, strBefore.size());
    EXPECT_TRUE(strStamp == strBefore || strStamp == strAfter) << strStamp;

    // An existing file is appended to; multi-line entries are written as given.
    const std::string strOld = "old line without an end";
    WriteFileBytes(m_strLog, strOld);
    m_app.LogLine("Shutting Down Tarnwick\r\n" + kDashes);
    m_app.LogLine("Could not connect to Mail Server Error 111\nConnection refused");
    EXPECT_EQ(Unstamped(ReadFileBytes(m_strLog)),
              strOld + "STAMP : Shutting Down Tarnwick\r\n" + kDashes +
                  "\r\n"
                  "STAMP : Could not connect to Mail Server Error 111\nConnection refused\r\n");
}

TEST_F(ActivityLog, ALogThatMayBeWrittenButNotReadKeepsItsLines) {
    WriteFileBytes(m_strLog, "kept\r\n");
    // Logged by a child with the rights of "nobody", so that the permissions apply under root.
    ASSERT_EQ(chmod(m_dir.Path().c_str(), 0711), 0);
    if (geteuid() == 0) {
        ASSERT_EQ(chown(m_strLog.c_str(), kNobody, kNobody), 0);
    }
    ASSERT_EQ(chmod(m_strLog.c_str(), 0200), 0);
    const pid_t pid = fork();
    if (pid == 0) {
        if (geteuid() == 0 && (setgid(kNobody) != 0 || setuid(kNobody) != 0)) _exit(2);
        if (access(m_strLog.c_str(), R_OK) == 0) _exit(3);
        m_app.LogLine("added");
        _exit(0);
    }
    int nStatus = -1;
    ASSERT_EQ(waitpid(pid, &nStatus, 0), pid);
    ASSERT_TRUE(WIFEXITED(nStatus));
    ASSERT_EQ(WEXITSTATUS(nStatus), 0);
    ASSERT_EQ(chmod(m_strLog.c_str(), 0600), 0);  // an ordinary user owns the file: read it again
    EXPECT_EQ(Unstamped(ReadFileBytes(m_strLog)), "kept\r\nSTAMP : added\r\n");
}

TEST_F(ActivityLog, UnwritablePathLosesTheLineSilently) {
    LogTo(m_dir.File("missing-folder/activity.log"));
    m_app.LogLine("lost");  // must neither crash nor report
    EXPECT_NE(access(m_dir.File("missing-folder").c_str(), F_OK), 0);
    LogTo(m_dir.Path());  // a folder is no file either
    m_app.LogLine("lost");
    EXPECT_EQ(m_app.m_settings.LogFileName, m_dir.Path());
}

TEST_F(ActivityLog, LoggingOffTouchesNoFileAndAnEmptyNameBecomesTarnwkLogWhenLogging) {
    m_app.m_settings.EnableLogging = 0;
    LogTo("");
    CFakeMainWindow window;
    m_app.m_pMainWnd = &window;
    const std::string strPrevious = CurrentDirectory();
    ASSERT_EQ(chdir(m_dir.Path().c_str()), 0);
    m_app.LogLine("not written");
    m_app.LogActivity("Connection from 127.0.0.1 Accepted");  // the pane still gets verdicts
    m_app.m_pMainWnd = nullptr;
    EXPECT_EQ(Unstamped(window.m_strPane), "\r\nSTAMP : Connection from 127.0.0.1 Accepted");
    EXPECT_EQ(m_app.m_settings.LogFileName, "") << "the default name is set only for logging";
    EXPECT_TRUE(std::filesystem::is_empty(m_dir.Path())) << "no file written";

    // The default name is in the working directory.
    m_app.m_settings.EnableLogging = 1;
    m_app.PublishSettings(false);
    m_app.LogLine("Starting Tarnwick");
    ASSERT_EQ(chdir(strPrevious.c_str()), 0);
    EXPECT_EQ(m_app.m_settings.LogFileName, "Tarnwk.Log");
    EXPECT_EQ(Unstamped(ReadFileBytes(m_dir.File("Tarnwk.Log"))), "STAMP : Starting Tarnwick\r\n");
}

TEST_F(ActivityLog, PaneEntriesArePrecededByCrLfAndTrimmedByWholeOldestEntries) {
    CFakeMainWindow window;
    m_app.m_pMainWnd = &window;
    m_app.LogActivity("one");
    m_app.LogActivity("two");
    EXPECT_EQ(Unstamped(window.m_strPane), "\r\nSTAMP : one\r\nSTAMP : two");
    EXPECT_EQ(window.m_nScrolledAt, window.m_strPane.size());
    EXPECT_EQ(Unstamped(ReadFileBytes(m_strLog)), "STAMP : one\r\nSTAMP : two\r\n");

    // Fill well past the bound with numbered entries of 100 characters of text.
    for (int i = 0; i < 300; ++i) {
        std::string strText = "entry " + std::to_string(i) + " ";
        m_app.LogActivity(strText + std::string(100 - strText.size(), 'x'));
        ASSERT_LE(window.m_strPane.size(), CActivityLog::kMaxPaneText);
    }
    m_app.m_pMainWnd = nullptr;
    const std::string strPane = window.m_strPane;
    // What is left ends with the newest entry...
    EXPECT_EQ(strPane.substr(strPane.size() - 100), "entry 299 " + std::string(90, 'x'));
    // ...and holds only whole entries (it starts with a stamp), as many as fit.
    const size_t nEntrySize = 2 + LogStamp().size() + 3 + 100;  // CR LF, stamp, " : ", text
    const size_t nEntries = std::count(strPane.begin(), strPane.end(), '\n') + 1;
    EXPECT_EQ(strPane.size(), nEntries * nEntrySize - 2);
    EXPECT_GT(strPane.size() + nEntrySize, CActivityLog::kMaxPaneText);
    EXPECT_EQ(Unstamped(strPane).substr(0, 18),
              "STAMP : entry " + std::to_string(300 - nEntries) + " ");

    // With no line feed left to cut at, trimming stops.
    const std::string strHuge(CActivityLog::kMaxPaneText + 50, 'y');
    std::string strAlone = "\r\nolder entry";
    EXPECT_EQ(AppendToPane(strAlone, "\r\n" + strHuge, CActivityLog::kMaxPaneText), 15u);
    EXPECT_EQ(strAlone, strHuge);
}

TEST_F(ActivityLog, TwoThreadsLoggingAtOnceWriteEveryLineWhole) {
    constexpr int kLines = 400;
    auto text = [](char cTag, int i) { return cTag + std::to_string(i) + std::string(200, cTag); };
    auto writer = [&](char cTag) {
        for (int i = 0; i < kLines; ++i) m_app.LogLine(text(cTag, i));
    };
    std::thread ui(writer, 'u'), listener(writer, 'l');
    ui.join();
    listener.join();

    // Every line is one thread's whole line, and each thread's lines keep their order.
    std::istringstream lines(Unstamped(ReadFileBytes(m_strLog)));
    int nNext[2] = {0, 0};
    for (std::string strLine; std::getline(lines, strLine);) {
        const int nThread = strLine.size() > 8 && strLine[8] == 'l';
        ASSERT_EQ(strLine, "STAMP : " + text(nThread ? 'l' : 'u', nNext[nThread]++) + "\r");
    }
    EXPECT_EQ(nNext[0], kLines);
    EXPECT_EQ(nNext[1], kLines);
}
