// The scan daemon under clients that misbehave: leaving mid-scan, arriving all at
// once, asking for files that are not theirs, planting links where pages go, and an
// abort naming a process that is gone. Scans come from the simulated network scanner.
#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSet>
#include <QTemporaryDir>

#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <mutex>
#include <thread>
#include <vector>

#include "NetScanFixture.h"
#include "NetScannerSim.h"
#include "QuarnTestSupport.h"
#include "TestSupport.h"
#include "quarn_limits.h"

using namespace std::chrono;

namespace
{
constexpr int c_iRecordWaitMs = 20000;
constexpr int c_iNoDevice = 999;

struct stStreamEnd
{
    int iResult = SANE_STATUS_GOOD;
    int iRecords = 0;
};

// Reads records up to the first that is not "good" (the end of the stream).
stStreamEnd ReadToEnd(QuarnScanClient &client)
{
    stStreamEnd end;
    TCPRecordRes rec {};
    while (client.NextNetRecord(&rec, c_iRecordWaitMs)) {
        ++end.iRecords;
        if (rec.result != SANE_STATUS_GOOD) {
            end.iResult = rec.result;
            break;
        }
    }
    return end;
}

// A command with an answer: once it is back, everything sent before it was handled.
void RoundTrip(QuarnScanClient &client)
{
    EXPECT_NE(client.StatusOf(USB_CLOSE_DEV, c_iNoDevice), c_iQuarnNoAnswer);
}

class ScanFaults : public NetScanFixture
{
protected:
    // The connection processes and their data processes: every daemon process but the listener.
    QVector<pid_t> Workers() const
    {
        QVector<pid_t> vec = m_daemon.Processes();
        vec.removeAll(m_daemon.Listener());
        return vec;
    }
};


// Makes the next process created on this machine take the given id; -1 when another
// process took it first or the kernel does not let the id be chosen.
pid_t ForkSleeperWithId(pid_t pidWanted)
{
    constexpr int c_iAttempts = 20;
    for (int i = 0; i < c_iAttempts; ++i) {
        QFile next("/proc/sys/kernel/ns_last_pid");
        if (!next.open(QIODevice::WriteOnly) || next.write(QByteArray::number(pidWanted - 1)) <= 0)
            return -1;
        next.close();
        const pid_t pid = fork();
        if (pid == 0) {
            for (;;)
                pause();
        }
        if (pid == pidWanted)
            return pid;
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
    }
    return -1;
}
}  // namespace

TEST_F(ScanFaults, ClientLeavingMidScanStopsItsScanAndLeavesNothing)
{
    ASSERT_TRUE(StartSim("127.0.0.70", {"page_sizes=4000000", "block_bytes=4096", "block_delay_ms=20"}));
    QuarnScanClient client;
    ASSERT_TRUE(ConnectClient(client));
    TCPScanStartRes res {};
    ASSERT_TRUE(client.StartNetScan("127.0.0.70", -1, FlatbedSettings(), &res));
    ASSERT_EQ(res.result, SANE_STATUS_GOOD);
    const QString strPage = QString(res.fileName) + "_0.tmp";
    ASSERT_TRUE(WaitUntil([&] { return QFileInfo(strPage).size() > 8192; }, seconds(20)));
    ASSERT_EQ(Workers().size(), 2) << "a connection process and its data process";

    client.Close();
    EXPECT_TRUE(WaitUntil([&] { return Workers().isEmpty(); }, seconds(10))) << Workers().size() << " left";
    EXPECT_TRUE(PageFiles().isEmpty()) << PageFiles().join(' ').toStdString();

    // A client that got its whole stream keeps its pages when it leaves.
    ASSERT_TRUE(m_sim.Set("page_sizes", "5000"));
    ASSERT_TRUE(m_sim.Set("block_delay_ms", "0"));
    QuarnScanClient whole;
    ASSERT_TRUE(ConnectClient(whole));
    ASSERT_TRUE(StartNetScanWhenFree(whole, "127.0.0.70", &res));
    EXPECT_EQ(ReadToEnd(whole).iResult, SANE_STATUS_EOF);
    whole.Close();
    EXPECT_TRUE(WaitUntil([&] { return Workers().isEmpty(); }, seconds(10)));
    EXPECT_EQ(ReadWholeFile(QString(res.fileName) + "_0.tmp"), NetScannerSim::PagePayload(0, 5000));
}

TEST_F(ScanFaults, AsManyClientsAsOneUserMayHaveAllGetTheirScanInTurn)
{
    constexpr int c_iClients = c_iQuarnMaxConnectionsPerUid;
    constexpr int c_iPageBytes = 3000;
    ASSERT_TRUE(StartSim("127.0.0.71", {"page_sizes=3000"}));
    std::vector<QuarnScanClient> vecClient(c_iClients);
    for (QuarnScanClient &client : vecClient)
        ASSERT_TRUE(ConnectClient(client));

    std::mutex mutex;
    QSet<QString> setJobs;
    int iPagesRight = 0;
    std::vector<std::thread> vecThread;
    for (QuarnScanClient &client : vecClient) {
        vecThread.emplace_back([&] {
            TCPScanStartRes res {};
            if (!StartNetScanWhenFree(client, "127.0.0.71", &res))
                return;
            const stStreamEnd end = ReadToEnd(client);
            const QString strPage = QString(res.fileName) + "_0.tmp";
            const bool bRight = end.iResult == SANE_STATUS_EOF &&
                                ReadWholeFile(strPage) == NetScannerSim::PagePayload(0, c_iPageBytes);
            client.DeleteFile(strPage.toStdString());
            std::lock_guard<std::mutex> lock(mutex);
            setJobs.insert(res.fileName);
            iPagesRight += bRight ? 1 : 0;
        });
    }
    for (std::thread &thread : vecThread)
        thread.join();
    EXPECT_EQ(setJobs.size(), c_iClients) << "one job name per client";
    EXPECT_EQ(iPagesRight, c_iClients);
    for (QuarnScanClient &client : vecClient)
        RoundTrip(client);
    EXPECT_TRUE(PageFiles().isEmpty()) << PageFiles().join(' ').toStdString();
    EXPECT_EQ(Workers().size(), c_iClients) << "one connection process each, no data process left";
    vecClient.clear();
    EXPECT_TRUE(WaitUntil([&] { return Workers().isEmpty(); }, seconds(10)));
}

TEST_F(ScanFaults, QuitStopsTheListenerWithinASecondWhileAScanRuns)
{
    ASSERT_TRUE(StartSim("127.0.0.72", {"page_sizes=400000", "block_bytes=4096", "block_delay_ms=5"}));
    QuarnScanClient client;
    ASSERT_TRUE(ConnectClient(client));
    TCPScanStartRes res {};
    ASSERT_TRUE(client.StartNetScan("127.0.0.72", -1, FlatbedSettings(), &res));
    ASSERT_EQ(res.result, SANE_STATUS_GOOD);
    const pid_t pidListener = m_daemon.Listener();
    const auto start = steady_clock::now();
    kill(pidListener, SIGQUIT);
    ASSERT_TRUE(WaitUntil([&] { return !m_daemon.Processes().contains(pidListener); }, seconds(5), milliseconds(5)));
    EXPECT_LE(steady_clock::now() - start, seconds(1));
    // The scan under way is the client's to finish.
    EXPECT_EQ(ReadToEnd(client).iResult, SANE_STATUS_EOF);
    EXPECT_EQ(QFileInfo(QString(res.fileName) + "_0.tmp").size(), 400000);
}

TEST_F(ScanFaults, DeletionIsRefusedForAnythingButPageFilesOfTheScanDirectory)
{
    const QString strScan = m_root.path() + "/scan";
    const QString strBeside = m_root.path() + "/ostrelscandata_1_0_0.tmp";
    const QString strKeep = m_root.path() + "/keep.txt";
    ASSERT_TRUE(WriteWholeFile(strBeside, "beside"));
    ASSERT_TRUE(WriteWholeFile(strKeep, "keep"));
    ASSERT_TRUE(QFile::link(strKeep, strScan + "/ostrelscandata_2_0_0.tmp"));
    ASSERT_TRUE(WriteWholeFile(strScan + "/ostrelscandata_3_0_0.tmp", "page"));

    QuarnScanClient client;
    ASSERT_TRUE(ConnectClient(client));
    const QString strVia = m_daemon.ScanDir();
    for (const QString &strAsked : {strBeside, strVia + "/../ostrelscandata_1_0_0.tmp", strVia + "/../keep.txt",
                                    strKeep, strVia + "/ostrelscandata_2_0_0.tmp", QString("/etc/passwd")})
        ASSERT_TRUE(client.DeleteFile(strAsked.toStdString()));
    RoundTrip(client);
    EXPECT_EQ(ReadWholeFile(strBeside), "beside");
    EXPECT_EQ(ReadWholeFile(strKeep), "keep");
    EXPECT_TRUE(QFileInfo(strScan + "/ostrelscandata_2_0_0.tmp").isSymLink());
    EXPECT_TRUE(QFileInfo::exists("/etc/passwd"));

    ASSERT_TRUE(client.DeleteFile((strVia + "/ostrelscandata_3_0_0.tmp").toStdString()));
    RoundTrip(client);
    EXPECT_FALSE(QFileInfo::exists(strScan + "/ostrelscandata_3_0_0.tmp")) << "a page file itself does go";
}

TEST_F(ScanFaults, PagesAreNeverWrittenThroughPlantedLinks)
{
    ASSERT_TRUE(StartSim("127.0.0.73", {"page_sizes=1000"}));
    QuarnScanClient client;
    ASSERT_TRUE(ConnectClient(client));
    const pid_t pidConnection = ConnectionProcess();
    ASSERT_GT(pidConnection, 0);
    const QString strJobs = m_root.path() + QStringLiteral("/scan/ostrelscandata_%1_").arg(pidConnection);
    const QString strPrecious = m_root.path() + "/precious";
    const QString strAbsent = m_root.path() + "/absent";
    ASSERT_TRUE(WriteWholeFile(strPrecious, "precious"));
    ASSERT_TRUE(QFile::link(strPrecious, strJobs + "0_0.tmp"));
    ASSERT_TRUE(QFile::link(strAbsent, strJobs + "1_0.tmp"));

    for (int iJob = 0; iJob < 2; ++iJob) {
        TCPScanStartRes res {};
        ASSERT_TRUE(StartNetScanWhenFree(client, "127.0.0.73", &res));
        EXPECT_EQ(ReadToEnd(client).iResult, SANE_STATUS_ACCESS_DENIED) << "job " << iJob;
    }
    EXPECT_EQ(ReadWholeFile(strPrecious), "precious");
    EXPECT_FALSE(QFileInfo::exists(strAbsent));

    // A job nobody interfered with still gets its page.
    TCPScanStartRes res {};
    ASSERT_TRUE(StartNetScanWhenFree(client, "127.0.0.73", &res));
    EXPECT_EQ(ReadToEnd(client).iResult, SANE_STATUS_EOF);
    EXPECT_EQ(ReadWholeFile(QString(res.fileName) + "_0.tmp"), NetScannerSim::PagePayload(0, 1000));
}

TEST_F(ScanFaults, AbortNeverSignalsAProcessThatReusedAFinishedScansId)
{
    ASSERT_TRUE(StartSim("127.0.0.74", {"page_sizes=200000", "block_bytes=4096", "block_delay_ms=5"}));
    QuarnScanClient client;
    ASSERT_TRUE(ConnectClient(client));
    const pid_t pidConnection = ConnectionProcess();
    ASSERT_GT(pidConnection, 0);
    TCPScanStartRes res {};
    ASSERT_TRUE(client.StartNetScan("127.0.0.74", -1, FlatbedSettings(), &res));
    ASSERT_EQ(res.result, SANE_STATUS_GOOD);
    const pid_t pidData = ChildOf(pidConnection);
    ASSERT_GT(pidData, 0);
    EXPECT_EQ(ReadToEnd(client).iResult, SANE_STATUS_EOF);
    // The connection reaps its data processes after each command.
    ASSERT_TRUE(WaitUntil([&] {
        RoundTrip(client);
        return !QFileInfo::exists(QStringLiteral("/proc/%1").arg(pidData));
    }, seconds(5))) << "the finished data process is reaped by its connection";

    const pid_t pidStranger = ForkSleeperWithId(pidData);
    if (pidStranger < 0)
        GTEST_SKIP() << "process ids cannot be chosen here";
    EXPECT_EQ(client.NetAbort("127.0.0.74", -1, res.fileName), SANE_STATUS_GOOD);
    EXPECT_EQ(waitpid(pidStranger, nullptr, WNOHANG), 0) << "the process now holding the id was signalled";
    kill(pidStranger, SIGKILL);
    waitpid(pidStranger, nullptr, 0);
}
