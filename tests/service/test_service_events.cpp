// printsvc driven by the scheduler's events on a private system bus: it keeps them
// through a scheduler restart, sees queue changes long before printers.conf is
// written, asks CUPS nothing while nothing happens, and without a bus says so once.
#include <gtest/gtest.h>

#include <QFile>

#include <chrono>
#include <csignal>
#include <thread>

#include "HoldingSocketPrinter.h"
#include "PrinterSim.h"
#include "PrivateCups.h"
#include "TestSupport.h"
#include "UtilCfgFiles.h"

using namespace std::chrono;

namespace
{
constexpr milliseconds c_queueChangeLimit{2000};
constexpr seconds c_idleWindow{10};
const char *const c_szEventsLive = "CUPS events through subscription";

class ServiceEvents : public ::testing::Test
{
protected:
    explicit ServiceEvents(const stPrivateCupsOptions &options = {enCupsEvents::On, false}) : m_cups(options) {}

    void SetUp() override
    {
        ASSERT_TRUE(m_cups.Start()) << m_cups.LastError().toStdString();
        m_cups.UseInThisProcess();
    }

    void TearDown() override
    {
        m_service.Signal(SIGTERM);
        EXPECT_TRUE(m_service.WaitExit(seconds(10)));
    }

    bool StartService()
    {
        QProcessEnvironment env = m_cups.ServiceEnv(m_root.Path());
        env.insert("OSTREL_LOG", "1");
        return m_service.Start(PRINTSVC_PATH, {}, env);
    }

    QByteArray Log() const { return m_root.ServiceLog(); }

    int Subscribed() const { return Log().count(c_szEventsLive); }
    bool DatExists(const QString &strQueue) const { return QFile::exists(m_root.Cfg(strQueue + ".dat")); }

    QList<stPrinterInfo> Listed() const { return UtilCfgFiles::ReadPrinterList(m_root.Cfg("printerlist.ini")); }

    QStringList ListedNames() const
    {
        QStringList list;
        for (const stPrinterInfo &info : Listed())
            list.append(info.strPrinterName);
        return list;
    }

    TestInstallRoot m_root;
    PrivateCups m_cups;
    ChildProcess m_service;
};

class ServiceEventsDeferredWrites : public ServiceEvents
{
protected:
    ServiceEventsDeferredWrites() : ServiceEvents({enCupsEvents::On, true}) {}
};

class ServiceWithoutBus : public ServiceEvents
{
protected:
    ServiceWithoutBus() : ServiceEvents({enCupsEvents::Off, false}) {}
};

QByteArray JobSeenPrinting(const QString &strQueue, int iJob)
{
    return QString("status: 1 jobid:%1-%2 ").arg(strQueue).arg(iJob).toUtf8();
}
}  // namespace

TEST_F(ServiceEvents, EventsResumeAfterTheSchedulerRestartsAndTheSubscriptionGoesAtStop)
{
    PrinterSim printer;
    ASSERT_TRUE(printer.Start("127.0.0.60", "kq"));
    HoldingSocketPrinter holding("127.0.0.60");
    ASSERT_TRUE(holding.Listening());
    ASSERT_TRUE(m_cups.AddQueue("Restarted", "socket://127.0.0.60:9100", "OSTREL VX1310"));
    ASSERT_TRUE(StartService());
    ASSERT_TRUE(WaitUntil([&] { return DatExists("Restarted") && Subscribed() == 1; }, seconds(20)))
        << Log().toStdString();

    ASSERT_TRUE(m_cups.Restart()) << m_cups.LastError().toStdString();
    ASSERT_TRUE(WaitUntil([&] { return Subscribed() >= 2; }, seconds(20))) << Log().toStdString();

    const int iJob = m_cups.SubmitJob("Restarted", QByteArray(4096, 'r'));
    ASSERT_GT(iJob, 0);
    ASSERT_TRUE(WaitUntil([&] { return Log().contains(JobSeenPrinting("Restarted", iJob)); }, seconds(15)))
        << Log().toStdString();
    ASSERT_TRUE(m_cups.CancelJob(iJob)) << m_cups.LastError().toStdString();
    ASSERT_TRUE(WaitUntil([&] { return printer.Count(PrinterSim::c_szKindCancel) == 1; }, seconds(10)))
        << Log().toStdString();
    std::this_thread::sleep_for(seconds(2));
    EXPECT_EQ(printer.Count(PrinterSim::c_szKindCancel), 1) << "exactly once";

    // An orderly stop leaves no subscription behind in the scheduler.
    m_service.Signal(SIGTERM);
    ASSERT_TRUE(m_service.WaitExit(seconds(10)));
    EXPECT_TRUE(WaitUntil([&] { return !ReadWholeFile(m_cups.ServerRoot() + "/subscriptions.conf").contains("dbus://"); },
                          seconds(5)))
        << ReadWholeFile(m_cups.ServerRoot() + "/subscriptions.conf").toStdString();
}

TEST_F(ServiceEventsDeferredWrites, QueueChangesReachTheListBeforePrintersConfIsWritten)
{
    ASSERT_TRUE(m_cups.AddQueue("First", "socket://127.0.0.61:9100", "ostrel vx1310"));
    ASSERT_TRUE(StartService());
    ASSERT_TRUE(WaitUntil([&] { return ListedNames() == QStringList{"First"}; }, seconds(20))) << Log().toStdString();

    ASSERT_TRUE(m_cups.AddQueue("Second", "socket://127.0.0.62:9100", "ostrel vx1310"));
    auto tpChange = steady_clock::now();
    ASSERT_FALSE(m_cups.PrintersConf().contains("<Printer Second>")) << "the scheduler wrote printers.conf at once";
    EXPECT_TRUE(WaitUntil([&] { return ListedNames() == QStringList({"First", "Second"}); }, seconds(10)));
    EXPECT_LE(duration_cast<milliseconds>(steady_clock::now() - tpChange).count(), c_queueChangeLimit.count());

    ASSERT_TRUE(m_cups.DeleteQueue("First"));
    tpChange = steady_clock::now();
    EXPECT_TRUE(WaitUntil([&] { return ListedNames() == QStringList{"Second"}; }, seconds(10)));
    EXPECT_LE(duration_cast<milliseconds>(steady_clock::now() - tpChange).count(), c_queueChangeLimit.count());

    // A new device URI is a modification: the list follows it as well.
    ASSERT_TRUE(m_cups.SetDeviceUri("Second", "socket://127.0.0.63:9100"));
    tpChange = steady_clock::now();
    EXPECT_TRUE(WaitUntil(
        [&] {
            const QList<stPrinterInfo> list = Listed();
            return list.size() == 1 && list.first().strPort == "127.0.0.63";
        },
        seconds(10)));
    EXPECT_LE(duration_cast<milliseconds>(steady_clock::now() - tpChange).count(), c_queueChangeLimit.count());
}

TEST_F(ServiceEvents, NothingIsAskedOfTheSchedulerWhileNothingHappens)
{
    PrinterSim ready, busy;
    ASSERT_TRUE(ready.Start("127.0.0.64", "standard", {"status=0"}));
    ASSERT_TRUE(busy.Start("127.0.0.65", "standard", {"status=2"}));
    ASSERT_TRUE(m_cups.AddQueue("Ready", "socket://127.0.0.64:9100", "ostrel vx1310"));
    ASSERT_TRUE(m_cups.AddQueue("Busy", "socket://127.0.0.65:9100", "ostrel vx1310"));
    ASSERT_TRUE(StartService());
    // The busy printer's second answer: past the first cycle, which is paced as off-line.
    ASSERT_TRUE(WaitUntil(
        [&] { return DatExists("Ready") && busy.Count(PrinterSim::c_szKindStandard) >= 2 && Subscribed() == 1; },
        seconds(30)))
        << Log().toStdString();

    const int iBefore = m_cups.AccessLogLines();
    const int iPolled = busy.Count(PrinterSim::c_szKindStandard);
    std::this_thread::sleep_for(c_idleWindow);
    EXPECT_EQ(m_cups.AccessLogLines(), iBefore) << ReadWholeFile(m_cups.ServerRoot() + "/access_log").toStdString();
    EXPECT_GE(busy.Count(PrinterSim::c_szKindStandard), iPolled + 5) << "a busy printer is still asked every second";
}

TEST_F(ServiceWithoutBus, FallsBackToAskingAndSaysSoOnce)
{
    PrinterSim printer;
    ASSERT_TRUE(printer.Start("127.0.0.66", "standard", {"status=0"}));
    HoldingSocketPrinter holding("127.0.0.66");
    ASSERT_TRUE(holding.Listening());
    ASSERT_TRUE(m_cups.AddQueue("NoBus", "socket://127.0.0.66:9100", "ostrel vx1310"));
    ASSERT_TRUE(StartService());
    ASSERT_TRUE(WaitUntil([&] { return DatExists("NoBus"); }, seconds(20)));

    // Asking still works: a job is noticed and the printer asked.
    const int iAsked = printer.Count(PrinterSim::c_szKindStandard);
    ASSERT_GT(m_cups.SubmitJob("NoBus", QByteArray(4096, 'n')), 0);
    EXPECT_TRUE(WaitUntil([&] { return printer.Count(PrinterSim::c_szKindStandard) >= iAsked + 2; }, seconds(15)));
    m_service.Signal(SIGTERM);
    ASSERT_TRUE(m_service.WaitExit(seconds(10)));
    const QByteArray baOutput = m_service.Output();
    EXPECT_EQ(baOutput.count("Unable to use CUPS events"), 1) << baOutput.toStdString();
}
