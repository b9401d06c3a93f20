#include <gtest/gtest.h>

#include <cerrno>
#include <regex>
#include <string>
#include <vector>

#include "logging/ActivityLog.h"
#include "platform/MessageBox.h"
#include "tests/support/TempDir.h"

namespace {
// Records every box instead of showing it, with what the log file held at that moment.
class CRecordingMessageBox : public IMessageBoxService {
public:
    struct CBox {
        std::string strText, strCaption;
        int nButtons, nIcon;
        std::string strLogWhenShown;
    };

    explicit CRecordingMessageBox(std::string strLog) : m_strLog(std::move(strLog)) {
        SetMessageBoxService(this);
    }
    ~CRecordingMessageBox() override { SetMessageBoxService(nullptr); }

    int Show(const std::string& strText, const std::string& strCaption, int nButtons,
             int nIcon) override {
        m_boxes.push_back({strText, strCaption, nButtons, nIcon, ReadFileBytes(m_strLog)});
        return IDOK;
    }

    std::string m_strLog;
    std::vector<CBox> m_boxes;
};

std::string Unstamped(const std::string& strBytes) {
    return std::regex_replace(strBytes, std::regex(R"(\d\d/\d\d/\d\d \d\d:\d\d)"), "STAMP");
}

class ReportError : public ::testing::Test {
protected:
    void SetUp() override { m_log.SetLogFile(true, m_strLog); }

    // Reports once and checks the one box and the one log entry it leaves.
    void ExpectReport(int nCode, const std::string& strText, const std::string& strMessage) {
        const size_t nBoxes = m_boxes.m_boxes.size();
        const std::string strLogBefore = ReadFileBytes(m_strLog);
        m_log.ReportError(nCode, strText);
        ASSERT_EQ(m_boxes.m_boxes.size(), nBoxes + 1);
        const auto& box = m_boxes.m_boxes.back();
        EXPECT_EQ(box.strText, strMessage);
        EXPECT_EQ(box.strCaption, "Error");
        EXPECT_EQ(box.nButtons, MB_OK);
        EXPECT_EQ(box.nIcon, MB_ICONNONE);
        EXPECT_EQ(box.strLogWhenShown, strLogBefore) << "the box comes before the log line";
        EXPECT_EQ(Unstamped(ReadFileBytes(m_strLog)),
                  Unstamped(strLogBefore) + "STAMP : " + strMessage + "\r\n");
    }

    CTempDir m_dir;
    const std::string m_strLog = m_dir.File("activity.log");
    CRecordingMessageBox m_boxes{m_strLog};
    CWinApp m_app;
    CActivityLog m_log{m_app};
};
}  // namespace

TEST_F(ReportError, TheMessageDependsOnTheCodeAndThePlatformFamily) {
    const std::string strRefused =
        "Could not connect to Mail Server Error " + std::to_string(ECONNREFUSED) + "\n";
    // Elsewhere the message ends with the line feed after the code.
    ExpectReport(0, "Tarnwick Professional is Already Running",
                 "Tarnwick Professional is Already Running");
    ExpectReport(ECONNREFUSED, "Could not connect to Mail Server", strRefused);
    ExpectReport(-7, "Receiving from Channel", "Receiving from Channel Error -7\n");
    // On NT the system's text follows the bare line feed, when there is one.
    m_log.m_bIsNT = 1;
    ExpectReport(0, "Tarnwick Professional is Already Running",
                 "Tarnwick Professional is Already Running");
    ExpectReport(ECONNREFUSED, "Could not connect to Mail Server",
                 strRefused + "Connection refused");
    ExpectReport(10035, "Receiving from Channel", "Receiving from Channel Error 10035\n");

    // With logging off the box is still shown, and nothing is logged.
    m_log.SetLogFile(false, m_strLog);
    const std::string strLog = ReadFileBytes(m_strLog);
    m_log.ReportError(5, "Unable to open Tarnwick registry key.");
    ASSERT_EQ(m_boxes.m_boxes.size(), 7u);
    EXPECT_EQ(m_boxes.m_boxes.back().strText,
              "Unable to open Tarnwick registry key. Error 5\nInput/output error");
    EXPECT_EQ(ReadFileBytes(m_strLog), strLog);
}

TEST(HeadlessMessageBox, WritesCaptionAndTextToStandardErrorAndAnswersTheDefault) {
    CHeadlessMessageBox box;
    testing::internal::CaptureStderr();
    EXPECT_EQ(
        box.Show("Port Connection to SMTP Server was Successful", "Success", MB_OK, MB_ICONNONE),
        IDOK);
    EXPECT_EQ(box.Show("Exit?", "Tarnwick Professional", MB_YESNO, MB_ICONQUESTION), IDYES);
    EXPECT_EQ(box.Show("Stop?", "Tarnwick Professional", MB_OKCANCEL, MB_ICONNONE), IDOK);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "Success: Port Connection to SMTP Server was Successful\n"
              "Tarnwick Professional: Exit?\n"
              "Tarnwick Professional: Stop?\n");
    // With no service installed, AfxMessageBox goes to the headless one.
    SetMessageBoxService(nullptr);
    testing::internal::CaptureStderr();
    EXPECT_EQ(AfxMessageBox("text", "Error"), IDOK);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "Error: text\n");
}
