#include <gtest/gtest.h>
#include <stdlib.h>

#include <tuple>
#include <vector>

#include "host/GatewayApp.h"
#include "host/GatewayCommandLineInfo.h"
#include "host/SettingsCheck.h"
#include "platform/MessageBox.h"

namespace {
using Box = std::tuple<std::string, std::string, int, int>;  // text, caption, buttons, icon

class CRecordingBoxes : public IMessageBoxService {
public:
    int Show(const std::string& strText, const std::string& strCaption, int nButtons,
             int nIcon) override {
        boxes.emplace_back(strText, strCaption, nButtons, nIcon);
        return IDOK;
    }
    std::vector<Box> boxes;
};

struct CCommandLineFixture : ::testing::Test {
    bool bIsNT = false;
    CRecordingBoxes boxes;
    CCommandLineFixture() { SetMessageBoxService(&boxes); }
    ~CCommandLineFixture() override { SetMessageBoxService(nullptr); }

    CGatewayCommandLineInfo Parse(std::vector<const char*> words) {
        words.insert(words.begin(), "tarnwk");
        CGatewayCommandLineInfo info(bIsNT);
        ParseCommandLine(static_cast<int>(words.size()), words.data(), info);
        return info;
    }
};
}  // namespace

TEST_F(CCommandLineFixture, WordsAreRecordedUpperCasedWithoutTheirLeadingMark) {
    const CGatewayCommandLineInfo info =
        Parse({"-debug", "/Config", "uNiNsTaLl", "start", "-SERVICE", "//x", "--config"});
    EXPECT_EQ(info.m_strParams, "DEBUG CONFIG UNINSTALL START SERVICE /X -CONFIG");
    EXPECT_EQ(info.m_bDebug, 1);
    EXPECT_EQ(info.m_bConfig, 1);
    EXPECT_EQ(info.m_bUninstall, 1);
    EXPECT_EQ(info.m_bExit, 1);
    // One usage box per unrecognised word: captioned "Message", OK, no icon.
    ASSERT_EQ(boxes.boxes.size(), 2u);
    for (const Box& box : boxes.boxes)
        EXPECT_EQ(box, Box(CGatewayCommandLineInfo::kUsage, "Message", MB_OK, MB_ICONNONE));
}

TEST_F(CCommandLineFixture, StopEndsEverywhereButSpeaksOnlyOnNt) {
    EXPECT_EQ(Parse({"stop"}).m_bExit, 1);
    EXPECT_TRUE(boxes.boxes.empty());
    bIsNT = true;
    EXPECT_EQ(Parse({"-Stop"}).m_bExit, 1);
    ASSERT_EQ(boxes.boxes.size(), 1u);
    EXPECT_EQ(boxes.boxes[0], Box("Tarnwk Service Stopped.", "Tarnwick", MB_OK,
                                  MB_ICONINFORMATION | MB_SETFOREGROUND));
}

// CHECK is read as every switch is, wherever it stands; the word alone, not a part of one.
TEST(SettingsCheckSwitch, IsTheWordCheckInAnyFormAnywhere) {
    const std::vector<std::pair<std::vector<const char*>, bool>> cases{
        {{"tarnwk", "CHECK"}, true},         {{"tarnwk", "-check"}, true},
        {{"tarnwk", "/Check"}, true},        {{"tarnwk", "config", "cHeCk"}, true},
        {{"tarnwk", "--check"}, false},      {{"tarnwk", "checks"}, false},
        {{"tarnwk", "-check=1"}, false},     {{"tarnwk"}, false},
        {{"tarnwk", "START", "STOP"}, false}};
    for (const auto& [words, bCheck] : cases)
        EXPECT_EQ(IsSettingsCheck(static_cast<int>(words.size()), words.data()), bCheck)
            << words.back();
}

TEST(UpperCaseWord, FollowsTheEnvironmentsCharacterSet) {
    EXPECT_EQ(UpperCaseWord("config-x1"), "CONFIG-X1");
    EXPECT_EQ(UpperCaseWord(std::string("a\xff"
                                        "b",
                                        3)),
              std::string("A\xff"
                          "B",
                          3));
}
