// The scan daemon against every local user: clients of two real uids, one scanning and
// one trying to read, delete or stop what is not theirs; clients that go without
// collecting their pages; more connections than one user may hold; half requests and
// clients that stop reading; a full scan directory; and a daemon stopped mid-scan.
#include <gtest/gtest.h>

#include <QDir>
#include <QFileInfo>

#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "NetScanFixture.h"
#include "QuarnTestSupport.h"
#include "TestSupport.h"
#include "quarn_limits.h"

using namespace std::chrono;

namespace
{
constexpr uid_t c_uidOwner = 65534;
constexpr uid_t c_uidOther = 65533;
constexpr int c_iRecordWaitMs = 20000;
constexpr int c_iNoDevice = 999;
constexpr auto c_childWait = seconds(60);

// A line-based channel between the test and a child process.
class Channel
{
public:
    Channel()
    {
        if (pipe2(m_aiToParent, O_CLOEXEC) != 0 || pipe2(m_aiToChild, O_CLOEXEC) != 0)
            ADD_FAILURE() << "no pipes";
    }
    ~Channel()
    {
        for (int fd : {m_aiToParent[0], m_aiToParent[1], m_aiToChild[0], m_aiToChild[1]})
            close(fd);
    }

    void Say(const std::string &str, bool bToParent) const
    {
        const std::string strLine = str + "\n";
        const ssize_t r = write(bToParent ? m_aiToParent[1] : m_aiToChild[1], strLine.data(), strLine.size());
        (void)r;
    }
    // The next line, or "" when none came within the wait.
    std::string Hear(bool bFromChild, milliseconds wait = c_childWait) const
    {
        const int fd = bFromChild ? m_aiToParent[0] : m_aiToChild[0];
        std::string str;
        char c = 0;
        pollfd pfd {fd, POLLIN, 0};
        while (poll(&pfd, 1, int(wait.count())) > 0 && read(fd, &c, 1) == 1 && c != '\n')
            str += c;
        return str;
    }

private:
    int m_aiToParent[2] = {-1, -1};
    int m_aiToChild[2] = {-1, -1};
};

// A child process of the test that runs one function as another user; the function's
// result is the exit code. Nothing of gtest is used in the child.
pid_t RunAs(uid_t uid, const std::function<int()> &fn)
{
    const pid_t pid = fork();
    if (pid != 0)
        return pid;
    if (setgroups(0, nullptr) != 0 || setresgid(uid, uid, uid) != 0 || setresuid(uid, uid, uid) != 0)
        _exit(100);
    _exit(fn());
}

int ExitCodeOf(pid_t pid)
{
    int iStatus = 0;
    const bool bEnded = WaitUntil([&] { return waitpid(pid, &iStatus, WNOHANG) == pid; }, c_childWait);
    if (!bEnded) {
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
        return -1;
    }
    return WIFEXITED(iStatus) ? WEXITSTATUS(iStatus) : -1;
}

int ReadToEnd(QuarnScanClient &client, int *piSt = nullptr)
{
    TCPRecordRes rec {};
    while (client.NextNetRecord(&rec, c_iRecordWaitMs)) {
        if (rec.result != SANE_STATUS_GOOD)
            break;
    }
    if (piSt)
        *piSt = rec.st;
    return rec.result;
}


// Served: a command with an answer gets its answer. A connection refused at once gets
// the end of the stream instead.
bool Served(QuarnScanClient &client)
{
    return client.StatusOf(USB_CLOSE_DEV, c_iNoDevice) == SANE_STATUS_GOOD;
}

bool ClosedByDaemon(int fd, milliseconds wait)
{
    pollfd pfd {fd, POLLIN, 0};
    char c;
    return poll(&pfd, 1, int(wait.count())) > 0 && recv(fd, &c, 1, MSG_DONTWAIT) == 0;
}

class ScanSecurity : public NetScanFixture
{
protected:
    void SetUp() override
    {
        // Other uids must reach the scan directory, as they do under the install root.
        ASSERT_EQ(chmod(m_root.path().toLocal8Bit().constData(), 0755), 0);
        NetScanFixture::SetUp();
    }

    QVector<pid_t> Workers() const
    {
        QVector<pid_t> vec = m_daemon.Processes();
        vec.removeAll(m_daemon.Listener());
        return vec;
    }

    QStringList JobEntries() const
    {
        return QDir(m_root.path() + "/scan/.jobs").entryList(QDir::Files | QDir::System);
    }

    bool AllGone()
    {
        return WaitUntil([&] { return Workers().isEmpty() && PageFiles().isEmpty() && JobEntries().isEmpty(); },
                         seconds(10));
    }
};

TEST_F(ScanSecurity, PagesAndScansBelongToTheUserWhoScanned)
{
    const char *szIP = "127.0.0.80";
    ASSERT_TRUE(StartSim(szIP, {"page_sizes=300000", "block_bytes=4096", "block_delay_ms=15"}));
    Channel owner;
    const pid_t pidOwner = RunAs(c_uidOwner, [&] {
        QuarnScanClient client;
        TCPScanStartRes res {};
        if (!client.Connect() || !client.StartNetScan(szIP, -1, FlatbedSettings(), &res) || res.result != 0)
            return 1;
        owner.Say(res.fileName, true);
        owner.Say(std::to_string(ReadToEnd(client)), true);
        owner.Hear(false);
        return 0;
    });
    const QString strJob = QString::fromStdString(owner.Hear(true));
    ASSERT_FALSE(strJob.isEmpty());
    const QString strPage = strJob + "_0.tmp";
    ASSERT_TRUE(WaitUntil([&] { return QFileInfo::exists(strPage); }, seconds(10)));

    struct stat st {};
    ASSERT_EQ(stat(strPage.toLocal8Bit().constData(), &st), 0);
    EXPECT_EQ(st.st_uid, c_uidOwner);
    EXPECT_EQ(st.st_mode & 07777, 0600u);
    ASSERT_EQ(stat((m_root.path() + "/scan").toLocal8Bit().constData(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0711u);

    // Another user, while the scan runs: no reading, no listing, no deleting, no stopping.
    const std::string strPagePath = strPage.toStdString();
    const std::string strJobName = strJob.toStdString();
    const std::string strScanDir = (m_root.path() + "/scan").toStdString();
    const pid_t pidOther = RunAs(c_uidOther, [&] {
        if (open(strPagePath.c_str(), O_RDONLY) >= 0 || errno != EACCES)
            return 1;
        DIR *pDir = opendir(strScanDir.c_str());
        if (pDir) {
            closedir(pDir);
            return 2;
        }
        QuarnScanClient client;
        if (!client.Connect() || !client.DeleteFile(strPagePath) || !Served(client))
            return 3;
        if (client.NetAbort(szIP, -1, "") != SANE_STATUS_ACCESS_DENIED)
            return 4;
        if (client.NetAbort(szIP, -1, strJobName.c_str()) != SANE_STATUS_ACCESS_DENIED)
            return 5;
        if (client.Abort(1, strJobName.c_str()) != SANE_STATUS_ACCESS_DENIED)
            return 6;
        return 0;
    });
    EXPECT_EQ(ExitCodeOf(pidOther), 0) << "1 read, 2 listed, 3 not served, 4-6 abort not denied";

    EXPECT_EQ(owner.Hear(true), std::to_string(SANE_STATUS_EOF)) << "the owner's scan ran to its end";
    EXPECT_EQ(ReadWholeFile(strPage), NetScannerSim::PagePayload(0, 300000));
    owner.Say("bye", false);
    EXPECT_EQ(ExitCodeOf(pidOwner), 0);
}

// Whatever way a client goes before it has read its stream's end, its pages go with it:
// closing mid-page, killed mid-page, or closing when the whole stream, end included, sits
// unread in its socket.
TEST_F(ScanSecurity, ClientsThatGoWithoutTheirStreamsEndLeaveNothing)
{
    const char *szIP = "127.0.0.81";
    ASSERT_TRUE(StartSim(szIP, {"page_sizes=2000000", "block_bytes=4096", "block_delay_ms=1"}));
    constexpr int c_iRounds = 20;
    for (int iRound = 0; iRound < c_iRounds; ++iRound) {
        const int iKind = iRound % 3;
        SCOPED_TRACE(iKind == 0 ? "closed mid-page" : iKind == 1 ? "killed mid-page" : "closed with the end unread");
        ASSERT_TRUE(m_sim.Set("page_sizes", iKind == 2 ? "5000" : "2000000"));
        Channel channel;
        const pid_t pid = RunAs(0, [&] {
            QuarnScanClient client;
            TCPScanStartRes res {};
            if (!client.Connect() || !StartNetScanWhenFree(client, szIP, &res))
                return 1;
            channel.Say(res.fileName, true);
            channel.Hear(false);
            return 0;
        });
        const QString strJob = QString::fromStdString(channel.Hear(true));
        ASSERT_FALSE(strJob.isEmpty());
        if (iKind == 2) {
            ASSERT_TRUE(WaitUntil([&] { return Workers().size() == 1; }, seconds(10))) << "stream sent to its end";
        } else {
            ASSERT_TRUE(WaitUntil([&] { return QFileInfo(strJob + "_0.tmp").size() > 8192; }, seconds(10)));
        }
        if (iKind == 1)
            kill(pid, SIGKILL);
        else
            channel.Say("go", false);
        ExitCodeOf(pid);
        ASSERT_TRUE(AllGone()) << Workers().size() << " processes, pages: " << PageFiles().join(' ').toStdString()
                               << ", entries: " << JobEntries().join(' ').toStdString();
    }
}

TEST_F(ScanSecurity, ConnectionsAreCappedPerUserAndInAll)
{
    std::vector<QuarnScanClient> vecClient(100);
    for (QuarnScanClient &client : vecClient)
        ASSERT_TRUE(client.Connect());
    int iServed = 0;
    for (size_t i = 0; i < vecClient.size(); ++i) {
        const bool bServed = Served(vecClient[i]);
        iServed += bServed ? 1 : 0;
        EXPECT_EQ(bServed, int(i) < c_iQuarnMaxConnectionsPerUid) << "connection " << i + 1;
    }
    EXPECT_EQ(iServed, c_iQuarnMaxConnectionsPerUid);
    EXPECT_EQ(Workers().size(), c_iQuarnMaxConnectionsPerUid);

    // Other users are served beside it, up to the limit for all.
    constexpr int c_iFullUsers = c_iQuarnMaxConnections / c_iQuarnMaxConnectionsPerUid - 1;
    std::vector<std::unique_ptr<Channel>> vecChannel;
    std::vector<pid_t> vecPid;
    for (int iUser = 0; iUser <= c_iFullUsers; ++iUser) {
        vecChannel.push_back(std::make_unique<Channel>());
        const Channel &channel = *vecChannel.back();
        const int iWanted = iUser < c_iFullUsers ? c_iQuarnMaxConnectionsPerUid : 1;
        vecPid.push_back(RunAs(uid_t(60001 + iUser), [&channel, iWanted] {
            std::vector<QuarnScanClient> vec(static_cast<size_t>(iWanted));
            int iUserServed = 0;
            for (QuarnScanClient &client : vec)
                iUserServed += client.Connect() && Served(client) ? 1 : 0;
            channel.Say(std::to_string(iUserServed), true);
            channel.Hear(false);
            return 0;
        }));
        const std::string strServed = channel.Hear(true);
        EXPECT_EQ(strServed, std::to_string(iUser < c_iFullUsers ? iWanted : 0)) << "user " << iUser;
    }
    for (size_t i = 0; i < vecPid.size(); ++i) {
        vecChannel[i]->Say("bye", false);
        EXPECT_EQ(ExitCodeOf(vecPid[i]), 0);
    }

    // A connection that ends makes room for the next.
    vecClient[0].Close();
    EXPECT_TRUE(WaitUntil([&] {
        QuarnScanClient next;
        return next.Connect() && Served(next);
    }, seconds(10)));
}

TEST_F(ScanSecurity, TooManyUnknownCodesInARowEndTheConnection)
{
    QuarnScanClient client;
    ASSERT_TRUE(client.Connect());
    const std::vector<int32_t> vecJunk(size_t(c_iQuarnMaxInvalidCodes - 1), 0x41414141);
    ASSERT_TRUE(client.SendRaw(vecJunk.data(), vecJunk.size() * sizeof(int32_t)));
    EXPECT_TRUE(Served(client)) << "a known code in between starts the count again";
    ASSERT_TRUE(client.SendRaw(vecJunk.data(), vecJunk.size() * sizeof(int32_t)));
    ASSERT_TRUE(client.SendRaw(vecJunk.data(), sizeof(int32_t)));
    EXPECT_TRUE(ClosedByDaemon(client.Socket(), seconds(10)));
}

// Deadlines shortened through the environment, as the daemon allows for tests.
class ScanDeadlines : public ScanSecurity
{
protected:
    void SetUp() override
    {
        qputenv(c_szQuarnRequestTimeoutVar, "500");
        qputenv(c_szQuarnClientStallVar, "1000");
        ScanSecurity::SetUp();
        qunsetenv(c_szQuarnRequestTimeoutVar);
        qunsetenv(c_szQuarnClientStallVar);
    }
};

TEST_F(ScanDeadlines, HalfARequestIsCutOffButAnIdleClientIsNot)
{
    QuarnScanClient idle;
    ASSERT_TRUE(idle.Connect());
    for (size_t nBytes : {size_t(2), size_t(4 + 10)}) {
        QuarnScanClient half;
        ASSERT_TRUE(half.Connect());
        USBScanLockReq req {};
        std::vector<char> vec(sizeof(int32_t) + sizeof(req));
        const int32_t iCode = USB_SCAN_LOCK;
        std::memcpy(vec.data(), &iCode, sizeof(iCode));
        const auto start = steady_clock::now();
        ASSERT_TRUE(half.SendRaw(vec.data(), nBytes));
        EXPECT_TRUE(ClosedByDaemon(half.Socket(), seconds(10))) << nBytes << " bytes";
        EXPECT_GE(steady_clock::now() - start, milliseconds(400));
    }
    EXPECT_TRUE(Served(idle)) << "waiting between commands has no deadline";
}

TEST_F(ScanDeadlines, AClientThatStopsReadingLosesItsScanAndFreesTheScanner)
{
    const char *szIP = "127.0.0.82";
    ASSERT_TRUE(StartSim(szIP, {"page_sizes=60000000", "block_bytes=64"}));
    QuarnScanClient client;
    ASSERT_TRUE(client.Connect());
    const int iSmall = 4096;
    setsockopt(client.Socket(), SOL_SOCKET, SO_RCVBUF, &iSmall, sizeof(iSmall));
    TCPScanStartRes res {};
    ASSERT_TRUE(client.StartNetScan(szIP, -1, FlatbedSettings(), &res));
    ASSERT_EQ(res.result, SANE_STATUS_GOOD);
    EXPECT_TRUE(AllGone()) << Workers().size() << " processes, pages: " << PageFiles().join(' ').toStdString();

    // The scanner heard that the job is over: the next client scans at once.
    ASSERT_TRUE(m_sim.Set("page_sizes", "1000"));
    ASSERT_TRUE(m_sim.Set("block_bytes", "4096"));
    QuarnScanClient next;
    ASSERT_TRUE(next.Connect());
    ASSERT_TRUE(next.StartNetScan(szIP, -1, FlatbedSettings(), &res));
    EXPECT_EQ(res.result, SANE_STATUS_GOOD);
    EXPECT_EQ(ReadToEnd(next), SANE_STATUS_EOF);
}

class ScanDiskFull : public ScanSecurity
{
protected:
    void TearDown() override
    {
        if (m_bMounted)
            umount2((m_root.path() + "/scan").toLocal8Bit().constData(), MNT_DETACH);
        ScanSecurity::TearDown();
    }

    bool m_bMounted = false;
};

TEST_F(ScanDiskFull, AFullScanDirectoryIsReportedAsSuchAndLeavesNoPartialPage)
{
    const QByteArray baScan = (m_root.path() + "/scan").toLocal8Bit();
    m_bMounted = mount("tmpfs", baScan.constData(), "tmpfs", 0, "size=64k,mode=0711") == 0;
    if (!m_bMounted)
        GTEST_SKIP() << "no tmpfs can be mounted here: " << std::strerror(errno);
    const char *szIP = "127.0.0.83";
    ASSERT_TRUE(StartSim(szIP, {"page_sizes=400000", "block_bytes=4096"}));
    QuarnScanClient client;
    ASSERT_TRUE(client.Connect());
    TCPScanStartRes res {};
    ASSERT_TRUE(client.StartNetScan(szIP, -1, FlatbedSettings(), &res));
    ASSERT_EQ(res.result, SANE_STATUS_GOOD);
    int iSt = -1;
    EXPECT_EQ(ReadToEnd(client, &iSt), SANE_STATUS_NO_MEM);
    EXPECT_TRUE(QuarnScanDirFull(SANE_STATUS_NO_MEM, iSt));
    EXPECT_TRUE(PageFiles().isEmpty()) << PageFiles().join(' ').toStdString();

    // The daemon goes on serving: a page that fits arrives whole.
    ASSERT_TRUE(m_sim.Set("page_sizes", "1000"));
    ASSERT_TRUE(StartNetScanWhenFree(client, szIP, &res));
    EXPECT_EQ(ReadToEnd(client), SANE_STATUS_EOF);
    EXPECT_EQ(ReadWholeFile(QString(res.fileName) + "_0.tmp"), NetScannerSim::PagePayload(0, 1000));
    client.Close();

    ASSERT_TRUE(m_sim.Set("page_sizes", "400000"));
    QTemporaryDir out;
    ChildProcess cli;
    ASSERT_TRUE(cli.Start(QUARNSCAN_PATH, {"netscan", szIP, "--out", out.path()}));
    ASSERT_TRUE(cli.WaitExit(seconds(60)));
    const QByteArray baOutput = cli.Output();
    EXPECT_NE(cli.ExitCode(), 0);
    EXPECT_TRUE(baOutput.contains("no space left in the scan directory")) << baOutput.toStdString();
}

// A stop of the whole service mid-scan, as the service manager does it, leaves no page;
// pages and entries of connections that are gone are swept at the next start.
TEST_F(ScanSecurity, StoppingMidScanLeavesNothingAndAStartSweepsWhatIsLeft)
{
    const char *szIP = "127.0.0.84";
    ASSERT_TRUE(StartSim(szIP, {"page_sizes=2000000", "block_bytes=4096", "block_delay_ms=2"}));
    QuarnScanClient client;
    ASSERT_TRUE(client.Connect());
    TCPScanStartRes res {};
    ASSERT_TRUE(client.StartNetScan(szIP, -1, FlatbedSettings(), &res));
    ASSERT_TRUE(WaitUntil([&] { return QFileInfo(QString(res.fileName) + "_0.tmp").size() > 8192; }, seconds(10)));
    for (pid_t pid : m_daemon.Processes())
        kill(pid, SIGQUIT);
    EXPECT_TRUE(WaitUntil([&] { return m_daemon.Processes().isEmpty(); }, seconds(10)));
    EXPECT_TRUE(PageFiles().isEmpty()) << PageFiles().join(' ').toStdString();
    client.Close();

    const QString strScan = m_root.path() + "/scan/";
    const QString strStale = strScan + "ostrelscandata_999999_0_0.tmp";
    const QString strNotOurs = strScan + QStringLiteral("ostrelscandata_%1_0_0.tmp").arg(getpid());
    ASSERT_TRUE(WriteWholeFile(strStale, "stale"));
    ASSERT_TRUE(WriteWholeFile(strNotOurs, "not a daemon's"));
    ASSERT_TRUE(WriteWholeFile(strScan + ".jobs/ostrelscandata_999999_0", "0 net:127.0.0.84\n"));
    ASSERT_TRUE(m_daemon.Start());
    EXPECT_TRUE(PageFiles().isEmpty()) << PageFiles().join(' ').toStdString();
    EXPECT_TRUE(JobEntries().isEmpty()) << JobEntries().join(' ').toStdString();
}
}  // namespace
