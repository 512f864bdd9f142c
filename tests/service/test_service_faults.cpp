// printsvc under faults: the scheduler going away, its directory removed, and being
// killed in the middle of writing its files.
#include <gtest/gtest.h>

#include <QDir>
#include <QFile>

#include <chrono>
#include <csignal>
#include <random>
#include <thread>

#include "PrinterSim.h"
#include "PrivateCups.h"
#include "StatusReplyBuilder.h"
#include "TestSupport.h"
#include "UtilCfgFiles.h"
#include "UtilPrinterStatus.h"

using namespace std::chrono;

namespace
{
class ServiceFaults : public ::testing::Test
{
protected:
    void SetUp() override { ASSERT_TRUE(m_cups.Start()) << m_cups.LastError().toStdString(); }

    void TearDown() override
    {
        m_service.Signal(SIGTERM);
        m_service.WaitExit(seconds(10));
    }

    bool StartService() { return m_service.Start(PRINTSVC_PATH, {}, m_cups.ServiceEnv(m_root.Path())); }
    QByteArray Heartbeat() const { return ReadWholeFile(UtilCfgFiles::HeartbeatPath()); }

    int ListedCount() const
    {
        const QString strPath = UtilCfgFiles::PrinterListPath();
        return QFile::exists(strPath) ? UtilCfgFiles::ReadPrinterList(strPath).size() : -1;
    }

    TestInstallRoot m_root;
    PrivateCups m_cups;
    ChildProcess m_service;
};

// Every status file must be a whole reply: the simulator's replies decode completely.
bool StatusFileIsWhole(const QString &strPath)
{
    QFile file(strPath);
    if (!file.open(QIODevice::ReadOnly))
        return true;  // replaced or removed between listing and opening
    const QByteArray ba = file.readAll();
    UtilPrinterStatus status(enKQVariant::Service);
    return status.parseRecvBuf(reinterpret_cast<const unsigned char *>(ba.constData()), ba.size());
}
}  // namespace

TEST_F(ServiceFaults, SchedulerRestartAndRemovedDirectoryAreSurvived)
{
    PrinterSim printer;
    ASSERT_TRUE(printer.Start("127.0.0.50", "standard", {"status=2"}));
    ASSERT_TRUE(m_cups.AddQueue("Survivor", "socket://127.0.0.50:9100", "ostrel vx1310"));
    ASSERT_TRUE(StartService());
    ASSERT_TRUE(WaitUntil([&] { return QFile::exists(m_root.Cfg("Survivor.dat")); }, seconds(20)));

    // The scheduler goes away: the loop and the heartbeat go on; its files stay readable.
    ASSERT_TRUE(m_cups.Stop());
    const QByteArray baBeat = Heartbeat();
    EXPECT_TRUE(WaitUntil([&] { return Heartbeat() != baBeat; }, seconds(12)));
    EXPECT_TRUE(m_service.Running());
    ASSERT_TRUE(m_cups.Restart());
    const int iAsked = printer.Count(PrinterSim::c_szKindStandard);
    EXPECT_TRUE(WaitUntil([&] { return printer.Count(PrinterSim::c_szKindStandard) > iAsked + 2; }, seconds(15)));
    EXPECT_EQ(ListedCount(), 1);

    // Someone removes cfg/ altogether: the next passes and polls write everything again.
    ASSERT_TRUE(QDir(m_root.Cfg()).removeRecursively());
    EXPECT_TRUE(WaitUntil(
        [&] {
            return QFile::exists(UtilCfgFiles::HeartbeatPath()) && QFile::exists(UtilCfgFiles::PrinterListPath()) &&
                   QFile::exists(m_root.Cfg("Survivor.dat"));
        },
        seconds(15)));
    EXPECT_TRUE(m_service.Running());

    // The journal heard of the scheduler's outage once, however often it was asked.
    m_service.Signal(SIGTERM);
    ASSERT_TRUE(m_service.WaitExit(seconds(10)));
    const QByteArray baOutput = m_service.Output();
    EXPECT_EQ(baOutput.count("Unable to reach CUPS at "), 1) << baOutput.toStdString();
}

TEST_F(ServiceFaults, KilledWhileWritingNeverLeavesATornFile)
{
    PrinterSim printer;
    ASSERT_TRUE(printer.Start("127.0.0.51", "standard", {"status=2"}));
    ASSERT_TRUE(m_cups.AddQueue("Torn", "socket://127.0.0.51:9100", "ostrel vx1310"));

    // A reader that keeps checking every published file while the service is killed.
    std::atomic<bool> bStop{false};
    std::atomic<int> iTorn{0};
    std::atomic<int> iChecks{0};
    std::thread reader([&] {
        while (!bStop) {
            if (!StatusFileIsWhole(m_root.Cfg("Torn.dat")))
                ++iTorn;
            const int iCount = ListedCount();
            if (QFile::exists(UtilCfgFiles::PrinterListPath()) && iCount != 1 && iCount != -1)
                ++iTorn;
            ++iChecks;
        }
    });

    std::mt19937 rng(907);
    constexpr int c_iKills = 40;
    for (int i = 0; i < c_iKills; ++i) {
        // A changing reply makes every poll write the status file.
        printer.Set("toner", QString::number(i % 100));
        ASSERT_TRUE(StartService());
        std::this_thread::sleep_for(milliseconds(300 + rng() % 1200));
        m_service.Signal(SIGKILL);
        ASSERT_TRUE(m_service.WaitExit(seconds(5)));
    }
    bStop = true;
    reader.join();
    EXPECT_EQ(iTorn, 0) << "after " << iChecks << " checks";
    EXPECT_GT(iChecks, 100);
}
