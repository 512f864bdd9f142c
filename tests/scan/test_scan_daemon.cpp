// QuarnScanDaemon as a real process without any USB device: how it detaches, where it
// listens, how it stops, one connection process per client, and the client CLI's errors.
#include <gtest/gtest.h>

#include <QDir>
#include <QFileInfo>
#include <QTemporaryDir>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <csignal>

#include "QuarnTestSupport.h"
#include "TestSupport.h"

using namespace std::chrono;

namespace
{
constexpr int c_iSilenceMs = 300;

bool ConnectsTo(const char *szAddress)
{
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr {};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(c_usQuarnPort);
    inet_pton(AF_INET, szAddress, &addr.sin_addr);
    const bool bConnected = connect(fd, reinterpret_cast<const sockaddr *>(&addr), sizeof(addr)) == 0;
    close(fd);
    return bConnected;
}

QString LinkOf(pid_t pid, const QString &strWhat)
{
    return QFileInfo(QStringLiteral("/proc/%1/%2").arg(pid).arg(strWhat)).symLinkTarget();
}

class DaemonProcess : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(m_root.isValid());
        ASSERT_TRUE(m_daemon.Start());
    }

    void TearDown() override { EXPECT_TRUE(m_daemon.Stop()) << "processes left: " << m_daemon.Processes().size(); }

    QTemporaryDir m_root;
    QuarnDaemon m_daemon {m_root.path()};
};

// The connection process serving a client: the daemon's process whose parent is the listener.
pid_t ConnectionProcess(const QuarnDaemon &daemon, const QVector<pid_t> &vecBefore)
{
    pid_t pidFound = -1;
    WaitUntil([&] {
        for (pid_t pid : daemon.Processes()) {
            if (!vecBefore.contains(pid) && ParentOf(pid) == daemon.Listener())
                pidFound = pid;
        }
        return pidFound > 0;
    }, seconds(5));
    return pidFound;
}
}  // namespace

TEST_F(DaemonProcess, DetachesIntoItsOwnSessionAndListensOnLoopbackOnly)
{
    const pid_t pid = m_daemon.Listener();
    ASSERT_GT(pid, 0);
    EXPECT_EQ(m_daemon.Processes().size(), 1);
    EXPECT_NE(SessionOf(pid), SessionOf(getpid()));
    // Not the session leader either, so no terminal can ever become its own.
    EXPECT_NE(SessionOf(pid), pid);
    for (const char *szFd : {"fd/0", "fd/1", "fd/2"})
        EXPECT_EQ(LinkOf(pid, szFd), "/dev/null") << szFd;
    EXPECT_EQ(LinkOf(pid, "cwd"), "/");
    EXPECT_TRUE(ConnectsTo("127.0.0.1"));
    EXPECT_FALSE(ConnectsTo("127.0.0.2"));
}

TEST_F(DaemonProcess, QuitEndsTheListenerWhileClientsKeepTheirConnection)
{
    QuarnScanClient client;
    ASSERT_TRUE(ConnectClient(client));
    EXPECT_EQ(client.StatusOf(USB_OPEN_DEV, 3), SANE_STATUS_GOOD);
    const pid_t pidListener = m_daemon.Listener();
    ASSERT_GT(pidListener, 0);
    kill(pidListener, SIGQUIT);
    ASSERT_TRUE(WaitUntil([&] { return !m_daemon.Processes().contains(pidListener); }, seconds(5)));

    // The connection process holds no copy of the listening socket: nobody accepts now.
    EXPECT_FALSE(ConnectsTo("127.0.0.1"));
    EXPECT_EQ(client.StatusOf(USB_OPEN_DEV, 3), SANE_STATUS_GOOD);
    client.Close();
    EXPECT_TRUE(WaitUntil([&] { return m_daemon.Processes().isEmpty(); }, seconds(5)));
}

TEST_F(DaemonProcess, EachClientGetsItsOwnProcessAndJobNumbers)
{
    QuarnScanClient first;
    ASSERT_TRUE(ConnectClient(first));
    const pid_t pidFirst = ConnectionProcess(m_daemon, {m_daemon.Listener()});
    ASSERT_GT(pidFirst, 0);
    QuarnScanClient second;
    ASSERT_TRUE(ConnectClient(second));
    const pid_t pidSecond = ConnectionProcess(m_daemon, {m_daemon.Listener(), pidFirst});
    ASSERT_GT(pidSecond, 0);

    // Without a device every start fails, but each still names its job.
    const int c_iNoDevice = 999;
    const QString strPrefix = m_daemon.ScanDir() + "/ostrelscandata_";
    struct stCase
    {
        QuarnScanClient *pClient;
        pid_t pid;
        int iIndex;
    };
    for (const stCase &c : {stCase {&first, pidFirst, 0}, stCase {&first, pidFirst, 1}, stCase {&second, pidSecond, 0}}) {
        USBScanStartRes res {};
        ASSERT_TRUE(c.pClient->StartScan(c_iNoDevice, &res));
        EXPECT_EQ(res.result, SANE_STATUS_IO_ERROR);
        EXPECT_EQ(QString(res.fileName), strPrefix + QStringLiteral("%1_%2").arg(c.pid).arg(c.iIndex));
    }
    pollfd pfd {first.Socket(), POLLIN, 0};
    EXPECT_EQ(poll(&pfd, 1, c_iSilenceMs), 0) << "a failed start streams no records";
    EXPECT_EQ(m_daemon.Processes().size(), 3) << "no data process for a failed start";

    // Without any usbfs root the search answers -1; with one, whatever is there.
    std::vector<USBFindDevRes> list;
    const int iCount = second.FindDevices(0x300E, 0, false, &list);
    if (!QDir("/dev/bus/usb").exists() && !QDir("/proc/bus/usb").exists()) {
        EXPECT_EQ(iCount, -1);
    }
    for (const USBFindDevRes &dev : list)
        second.StatusOf(USB_CLOSE_DEV, dev.fd);
}

TEST(ScanClientCli, ReportsUsageAndAMissingDaemon)
{
    struct stCase
    {
        QStringList listArgs;
        int iExit;
        const char *szOutput;
    };
    const stCase c_aCases[] = {
        {{}, 2, "usage:"},
        {{"scan", "300e"}, 2, "usage:"},
        {{"scan", "zz", "--out", "/tmp"}, 2, "usage:"},
        {{"list", "300e", "--resolution", "300"}, 2, "bad option"},
        {{"list", "300e"}, 1, "cannot reach the scan daemon"},
    };
    for (const stCase &c : c_aCases) {
        ChildProcess cli;
        ASSERT_TRUE(cli.Start(QUARNSCAN_PATH, c.listArgs));
        ASSERT_TRUE(cli.WaitExit(seconds(10)));
        EXPECT_EQ(cli.ExitCode(), c.iExit) << c.listArgs.join(' ').toStdString();
        EXPECT_TRUE(cli.Output().contains(c.szOutput)) << c.listArgs.join(' ').toStdString();
    }
}
