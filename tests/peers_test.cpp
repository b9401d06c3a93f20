// What the end-to-end tests stand on, under an ordinary user's conditions: a login PATH without
// the sbin folders, and Debian's default soft limit of 1024 descriptors.
#include <gtest/gtest-spi.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <string>

#include "tests/support/MailServer.h"
#include "tests/support/Process.h"
#include "tests/support/RawPeer.h"
#include "tests/support/TempDir.h"

namespace {
// Sets PATH for the life of the object.
class CPathFor {
public:
    explicit CPathFor(const std::string& strPath) : m_strSaved(getenv("PATH")) {
        setenv("PATH", strPath.c_str(), 1);
    }
    ~CPathFor() { setenv("PATH", m_strSaved.c_str(), 1); }

private:
    std::string m_strSaved;
};
}  // namespace

TEST(Peers, FoundWhereDebianInstallsThemWhateverThePath) {
    CTempDir dir;
    WriteFileBytes(dir.File("own-peer"), "#!/bin/sh\necho own\n");
    chmod(dir.File("own-peer").c_str(), 0755);
    WriteFileBytes(dir.File("not-executable"), "");
    mkdir(dir.File("a-folder").c_str(), 0755);
    const CPathFor path(dir.Path() + ":/usr/local/bin:/usr/bin:/bin");
    const struct {
        std::string strName, strPath;
    } cases[] = {
        {"rbldnsd", "/usr/sbin/rbldnsd"},  // in no folder of this PATH
        {"haproxy", "/usr/sbin/haproxy"},
        {"own-peer", dir.File("own-peer")},  // PATH comes first
        {"/bin/sh", "/bin/sh"},
        {"not-executable", ""},
        {"a-folder", ""},
        {"no-such-peer", ""},
        {dir.File("no-such-peer"), ""},
    };
    for (const auto& c : cases) EXPECT_EQ(PeerPath(c.strName), c.strPath) << c.strName;
}

TEST(Peers, AMissingPeerFailsTheTestNamingIt) {
    CTempDir dir;
    CChildProcess child;
    EXPECT_NONFATAL_FAILURE(
        EXPECT_FALSE(child.Start({"no-such-peer", "-x"}, "", {}, dir.File("out"))),
        "no-such-peer is not installed");
    EXPECT_FALSE(child.Running());
    EXPECT_NE(ReadFileBytes(dir.File("out")).find("no-such-peer is not installed"),
              std::string::npos);
    // A peer found outside PATH runs with its arguments.
    const CPathFor path("/nonexistent");
    ASSERT_TRUE(child.Start({"rbldnsd", "-h"}, "", {}, dir.File("help")));
    child.Wait(10000);
    EXPECT_NE(ReadFileBytes(dir.File("help")).find("rbldnsd"), std::string::npos);
}

// The test raises its soft limit up to the hard one, and names the hard limit when even that is
// too low; run in children, whose limits can be lowered without touching this process's.
TEST(Peers, DescriptorLimitRaisedToTheHardOneOrTheShortfallNamed) {
    const struct {
        rlim_t nSoft, nHard;
        int nNeeded;
        const char* pWhy;
    } cases[] = {
        {64, 300, 200, ""},
        {64, 300, 300, ""},
        {64, 300, 301, "needs 301 open descriptors; the hard limit (ulimit -Hn) is 300"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(RunInChild([&] {
                      const rlimit lowered{c.nSoft, c.nHard};
                      if (setrlimit(RLIMIT_NOFILE, &lowered) != 0) return 10;
                      if (RaiseDescriptorLimit(c.nNeeded) != c.pWhy) return 11;
                      rlimit now{};
                      getrlimit(RLIMIT_NOFILE, &now);
                      return now.rlim_cur == c.nHard ? 0 : 12;
                  }),
                  0)
            << c.nNeeded;
    }
}

// Our own mail server answers a pipelined session as a mail server would, and closes on QUIT.
TEST(Peers, TheSinkTakesMessagesAndClosesOnQuit) {
    CMailServer sink;
    ASSERT_TRUE(sink.StartSink()) << sink.Output();
    CRawClient client;
    ASSERT_TRUE(client.Connect(sink.Port()));
    ASSERT_TRUE(client.SendAll(
        "EHLO x\r\nMAIL FROM:<a@x>\r\nRCPT TO:<b@x>\r\nDATA\r\nQUIT is text here\r\n.\r\n"));
    ASSERT_TRUE(client.SendAll("RSET\nquit\r\nNOOP\r\n"));
    EXPECT_TRUE(client.ReadUntilClosed());
    EXPECT_EQ(
        client.m_strReceived,
        "220 sink ESMTP\r\n250-sink\r\n250 PIPELINING\r\n250 2.0.0 ok\r\n250 2.0.0 ok\r\n"
        "354 end with <CRLF>.<CRLF>\r\n250 2.0.0 queued\r\n250 2.0.0 ok\r\n221 2.0.0 bye\r\n");
}
