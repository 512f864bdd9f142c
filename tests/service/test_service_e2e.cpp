// printsvc as a process against a private cupsd, simulated network printers and
// emulated USB printers.
#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QRegularExpression>

#include <chrono>
#include <csignal>
#include <thread>

#include <sys/stat.h>

#include "HoldingSocketPrinter.h"
#include "PrinterSim.h"
#include "PrivateCups.h"
#include "StatusReplyBuilder.h"
#include "TestSupport.h"
#include "UsbPrinterEmu.h"
#include "UsbTestbed.h"
#include "UtilCfgFiles.h"
#include "UtilPrinterStatus.h"
#include "npa.h"

using namespace std::chrono;

namespace
{
const QByteArray c_baStandardRequest = QByteArray::fromHex("a5000c50e0740803") + QByteArray(7, '\0');

// The service's world: install root, scheduler, and the service process itself.
class ServiceE2E : public ::testing::Test
{
protected:
    void SetUp() override
    {
        // Only printsvc gets the emulator: cupsd's usb backend would claim the emulated
        // devices, and CUPS tools forked from this threaded process could hang inside it.
        m_baPreload = qgetenv("LD_PRELOAD");
        qunsetenv("LD_PRELOAD");
        // The CUPS tools run by the fixture are not ours: a sanitizer runtime preloaded into
        // them must not fail them over their own leaks. printsvc gets the options back.
        m_baAsanOptions = qgetenv("ASAN_OPTIONS");
        qputenv("ASAN_OPTIONS", m_baAsanOptions + (m_baAsanOptions.isEmpty() ? "" : ":") + "detect_leaks=0");
        const bool bStarted = m_cups.Start();
        ASSERT_TRUE(bStarted) << m_cups.LastError().toStdString();
        m_cups.UseInThisProcess();
    }

    void TearDown() override
    {
        qputenv("ASAN_OPTIONS", m_baAsanOptions);
        qputenv("LD_PRELOAD", m_baPreload);
        if (m_service.Running()) {
            m_service.Signal(SIGTERM);
            EXPECT_TRUE(m_service.WaitExit(seconds(10)));
        }
    }

    bool StartService()
    {
        QProcessEnvironment env = m_cups.ServiceEnv(m_root.Path());
        env.insert("OSTREL_LOG", "1");
        if (!m_baPreload.isEmpty())
            env.insert("LD_PRELOAD", QString::fromLocal8Bit(m_baPreload));
        env.remove("ASAN_OPTIONS");
        if (!m_baAsanOptions.isEmpty())
            env.insert("ASAN_OPTIONS", QString::fromLocal8Bit(m_baAsanOptions));
        return m_service.Start(PRINTSVC_PATH, {}, env);
    }

    QByteArray Dat(const QString &strQueue) const { return ReadWholeFile(m_root.Cfg(strQueue + ".dat")); }
    bool DatExists(const QString &strQueue) const { return QFile::exists(m_root.Cfg(strQueue + ".dat")); }

    QByteArray Log() const { return m_root.ServiceLog(); }

    QStringList ListedNames() const
    {
        QStringList list;
        for (const stPrinterInfo &info : UtilCfgFiles::ReadPrinterList())
            list.append(info.strPrinterName);
        return list;
    }

    // Children of the service: it must never start a program.
    int ChildCount() const
    {
        int iCount = 0;
        const QString strParent = QString::number(m_service.Pid());
        for (const QString &strPid : QDir("/proc").entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
            const QByteArray stat = ReadWholeFile("/proc/" + strPid + "/stat");
            const int iEnd = stat.lastIndexOf(')');
            if (iEnd > 0 && stat.mid(iEnd + 2).split(' ').value(1) == strParent.toLatin1())
                ++iCount;
        }
        return iCount;
    }

    TestInstallRoot m_root;
    PrivateCups m_cups;
    ChildProcess m_service;
    QByteArray m_baPreload;
    QByteArray m_baAsanOptions;
};

// Stops the service before the emulated devices it talks to go away.
struct ServiceStopper
{
    explicit ServiceStopper(ChildProcess &service) : m_service(service) {}
    ~ServiceStopper()
    {
        m_service.Signal(SIGTERM);
        m_service.WaitExit(seconds(10));
    }
    ChildProcess &m_service;
};

QByteArray JobSeenPrinting(const QString &strQueue, int iJob)
{
    return QString("status: 1 jobid:%1-%2 ").arg(strQueue).arg(iJob).toUtf8();
}

stPrinterState DecodeFile(const QByteArray &ba, bool bKQ)
{
    UtilPrinterStatus status(enKQVariant::Service);
    stPrinterState st;
    const auto *p = reinterpret_cast<const unsigned char *>(ba.constData());
    if (bKQ ? status.parseRecvBuf_KQ(p, ba.size()) : status.parseRecvBuf(p, ba.size())) {
        if (bKQ)
            status.ToPrinterState_KQ(st);
        else
            status.ToPrinterState(st);
    }
    return st;
}
}  // namespace

TEST_F(ServiceE2E, NetworkPrintersArePublishedPolledAndTakenOffline)
{
    PrinterSim standard, kq;
    ASSERT_TRUE(standard.Start("127.0.0.40", "standard", {"status=2", "toner=64"})) << standard.Output().toStdString();
    ASSERT_TRUE(kq.Start("127.0.0.41", "kq", {"status=2"})) << kq.Output().toStdString();
    // Lower case matches the catalogue but not the KQ family: the standard layout.
    ASSERT_TRUE(m_cups.AddQueue("Std>1", "socket://127.0.0.40:9100", "ostrel vx1310"));
    ASSERT_TRUE(m_cups.AddQueue("a;b|c&", "socket://127.0.0.41:9100", "OSTREL VX3310 Pro"));
    ASSERT_TRUE(m_cups.AddQueue("Plain", "socket://127.0.0.42:9100", "Plain Printer"));
    ASSERT_TRUE(m_cups.AddQueue("Remote", "ipp://127.0.0.43/printers/x", "OSTREL VX1310"));
    ASSERT_TRUE(StartService());

    ASSERT_TRUE(WaitUntil([&] { return DatExists("Std>1") && DatExists("a;b|c&"); }, seconds(20))) << Log().toStdString();
    EXPECT_EQ(ListedNames(), (QStringList{"a;b|c&", "Std>1"})) << "in the order of printers.conf";
    // The published files as a reader that shares no code with the service meets them.
    EXPECT_EQ(ReadWholeFile(m_root.Cfg("printerlist.ini")).toStdString(),
              ReadWholeFile(SAMPLE_DIR "/printerlist_two_network.ini").toStdString());
    EXPECT_TRUE(QRegularExpression("^\\[\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d\\.\\d{3}\\]$")
                    .match(QString::fromLatin1(ReadWholeFile(m_root.Cfg("service.hb"))))
                    .hasMatch());

    // Exact request bytes, and status files holding exactly what the printer answered.
    EXPECT_EQ(standard.Received(PrinterSim::c_szKindStandard).value(0), c_baStandardRequest);
    const QByteArray baKQRequest = kq.Received(PrinterSim::c_szKindKQ).value(0);
    ASSERT_EQ(baKQRequest.size(), NPA::c_iStatusCmdLength);
    EXPECT_TRUE(baKQRequest.startsWith("QNCS"));
    EXPECT_EQ(baKQRequest.mid(21, 4), QByteArray::fromHex("01000501"));
    EXPECT_EQ(DecodeFile(Dat("Std>1"), false).enCurrentStatus, STATUS_BUSY);
    EXPECT_EQ(DecodeFile(Dat("Std>1"), false).dwRemainingToner, 64u);
    EXPECT_TRUE(Dat("a;b|c&").startsWith(QByteArray(7, '\0') + "QNCS"));
    EXPECT_EQ(DecodeFile(Dat("a;b|c&"), true).enCurrentStatus, STATUS_INITIALIZE);

    // A change of state reaches the file at the next poll.
    ASSERT_TRUE(standard.Set("errors", "0x1106"));
    EXPECT_TRUE(WaitUntil([&] { return DecodeFile(Dat("Std>1"), false).listError == QList<enErrorStatus>{ERR_FRONT_COVER_OPEN}; },
                          seconds(30)))
        << Log().right(3000).toStdString();

    // A printer that stops answering keeps its file for five failed polls, loses it on the sixth.
    ASSERT_TRUE(kq.Set("silent", "1"));
    const int iBefore = kq.Count(PrinterSim::c_szKindKQ);
    EXPECT_TRUE(WaitUntil([&] { return kq.Count(PrinterSim::c_szKindKQ) >= iBefore + 4; }, seconds(30)));
    EXPECT_TRUE(DatExists("a;b|c&")) << "still within the tolerated failures";
    EXPECT_TRUE(WaitUntil([&] { return !DatExists("a;b|c&"); }, seconds(30))) << Log().toStdString();
    EXPECT_TRUE(Log().contains("connect a;b|c& fail, ret = -5"));

    // It comes back on the next answered poll (off-line printers are asked every 10 s).
    ASSERT_TRUE(kq.Set("silent", "0"));
    EXPECT_TRUE(WaitUntil([&] { return DatExists("a;b|c&"); }, seconds(20)));
    EXPECT_EQ(ChildCount(), 0);
    EXPECT_TRUE(standard.Received(PrinterSim::c_szKindCancel).isEmpty());
}

TEST_F(ServiceE2E, ReadyIdlePrintersAreAskedOnlyWhileTheirQueuePrints)
{
    PrinterSim printer;
    ASSERT_TRUE(printer.Start("127.0.0.44", "standard", {"status=0"}));
    HoldingSocketPrinter holding("127.0.0.44");
    ASSERT_TRUE(holding.Listening());
    ASSERT_TRUE(m_cups.AddQueue("Idle", "socket://127.0.0.44:9100", "ostrel vx1310"));
    ASSERT_TRUE(StartService());

    ASSERT_TRUE(WaitUntil([&] { return DatExists("Idle"); }, seconds(20)));
    std::this_thread::sleep_for(seconds(2));
    const int iIdle = printer.Count(PrinterSim::c_szKindStandard);
    std::this_thread::sleep_for(seconds(3));
    EXPECT_EQ(printer.Count(PrinterSim::c_szKindStandard), iIdle) << "a ready idle printer is not asked";

    const int iJob = m_cups.SubmitJob("Idle", QByteArray(4096, 'x'));
    ASSERT_GT(iJob, 0);
    EXPECT_TRUE(WaitUntil([&] { return printer.Count(PrinterSim::c_szKindStandard) >= iIdle + 2; }, seconds(30)))
        << "a printing queue is asked again";
    ASSERT_TRUE(m_cups.CancelJob(iJob)) << m_cups.LastError().toStdString();
    EXPECT_EQ(ChildCount(), 0);
}

TEST_F(ServiceE2E, RemovedAndRenamedQueuesLoseTheirFiles)
{
    PrinterSim one, two;
    ASSERT_TRUE(one.Start("127.0.0.45", "standard", {"status=2"}));
    ASSERT_TRUE(two.Start("127.0.0.46", "standard", {"status=2"}));
    ASSERT_TRUE(m_cups.AddQueue("One", "socket://127.0.0.45:9100", "ostrel vx1310"));
    ASSERT_TRUE(m_cups.AddQueue("Two", "socket://127.0.0.46:9100", "ostrel vx1310"));
    ASSERT_TRUE(QDir().mkpath(m_root.Cfg()));
    ASSERT_TRUE(WriteWholeFile(m_root.Cfg("Gone.dat"), "stale"));
    ASSERT_TRUE(StartService());
    ASSERT_TRUE(WaitUntil([&] { return DatExists("One") && DatExists("Two"); }, seconds(20)));
    EXPECT_FALSE(DatExists("Gone"));

    ASSERT_TRUE(m_cups.DeleteQueue("One"));
    EXPECT_TRUE(WaitUntil([&] { return !DatExists("One") && ListedNames() == QStringList{"Two"}; }, seconds(15)));
    EXPECT_TRUE(DatExists("Two"));

    // Deleting the list file by hand makes the next pass write it again.
    QFile::remove(m_root.Cfg("printerlist.ini"));
    EXPECT_TRUE(WaitUntil([&] { return QFile::exists(m_root.Cfg("printerlist.ini")); }, seconds(30)));
    struct stat info = {};
    ASSERT_EQ(::stat(QFile::encodeName(m_root.Cfg("printerlist.ini")).constData(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0644u);
}

TEST_F(ServiceE2E, UsbPrintersAnswerByFamilyAndGoOfflineWhenUnplugged)
{
    UsbTestbed testbed;
    if (!testbed.Emulated())
        GTEST_SKIP() << "needs the umockdev preload";
    NPA::CCmd cmd;
    NPA::BuildStatusCmd(cmd);
    const QByteArray baKQFrame = BuildKQReplyFrame(cmd.SN(), {{KQState(3), KQWarning(0x110D)}, -1, 0});
    stStandardReply standardReply;
    standardReply.ucStatus = 16;
    const QByteArray baStandard = BuildStandardReply(standardReply).mid(7);

    UsbPrinterEmu kqPrinter(testbed, 0x30A2, "AB12XYZ");
    UsbPrinterEmu other(testbed, 0x30A2, "ZZ99");
    UsbPrinterEmu standardPrinter(testbed, 0x30A1, "S-1");
    kqPrinter.SetStatusReply(baKQFrame);
    other.SetStatusReply(baKQFrame);
    standardPrinter.SetStatusReply(baStandard);
    ServiceStopper stopper(m_service);

    ASSERT_TRUE(m_cups.AddQueue("UsbKQ", "usb://Ostrel/VX1310?serial=ab12", "OSTREL VX1310"));
    ASSERT_TRUE(m_cups.AddQueue("UsbStd", "usb://Ostrel/VX3310%20Pro?serial=S-1", "ostrel vx3310 pro"));
    ASSERT_TRUE(StartService());

    ASSERT_TRUE(WaitUntil([&] { return DatExists("UsbKQ") && DatExists("UsbStd"); }, seconds(20))) << Log().toStdString();
    EXPECT_EQ(Dat("UsbKQ"), QByteArray(7, '\0') + baKQFrame);
    EXPECT_EQ(Dat("UsbStd"), QByteArray(7, '\0') + baStandard);
    EXPECT_EQ(DecodeFile(Dat("UsbKQ"), true).enCurrentStatus, STATUS_BUSY);
    EXPECT_TRUE(Log().contains("file exists status = 0, fileChanged=1"));
    EXPECT_GE(kqPrinter.CountControl(0xC1, 0x01, 1024), 1);
    EXPECT_GE(standardPrinter.CountControl(0xA1, 0x33, 1024), 1);
    EXPECT_EQ(other.CountControl(0xC1, 0x01, -1), 0) << "the serial number picks the device";

    // A reply without a valid frame publishes nothing.
    kqPrinter.SetStatusReply(QByteArray(40, 'x'));
    const QByteArray baBefore = Dat("UsbKQ");
    EXPECT_TRUE(WaitUntil([&] { return Log().contains("Check NPA respose failed"); }, seconds(30)));
    EXPECT_EQ(Dat("UsbKQ"), baBefore);

    standardPrinter.Unplug();
    EXPECT_TRUE(WaitUntil([&] { return !DatExists("UsbStd"); }, seconds(30))) << "off-line at the first missing poll";
}

TEST_F(ServiceE2E, JobCancelledWhilePrintingIsCancelledOnTheNetworkPrinterOnce)
{
    const QString strQueue = ShellTrapQueueName();
    QFile::remove(ShellTrapMarker());
    PrinterSim printer;
    ASSERT_TRUE(printer.Start("127.0.0.47", "kq"));
    HoldingSocketPrinter holding("127.0.0.47");
    ASSERT_TRUE(holding.Listening());
    ASSERT_TRUE(m_cups.AddQueue(strQueue, "socket://127.0.0.47:9100", "OSTREL VX1310"));
    ASSERT_TRUE(StartService());
    ASSERT_TRUE(WaitUntil([&] { return DatExists(strQueue); }, seconds(20)));

    const int iPrinting = m_cups.SubmitJob(strQueue, QByteArray(4096, 'p'));
    ASSERT_GT(iPrinting, 0);
    ASSERT_TRUE(WaitUntil([&] { return Log().contains(JobSeenPrinting(strQueue, iPrinting)); }, seconds(15)))
        << Log().toStdString();
    // Queued behind it: cancelled while pending, it must cause no printer-side cancel.
    const int iPending = m_cups.SubmitJob(strQueue, QByteArray(100, 'q'));
    ASSERT_GT(iPending, 0);
    ASSERT_TRUE(m_cups.CancelJob(iPending)) << m_cups.LastError().toStdString();
    std::this_thread::sleep_for(seconds(2));
    EXPECT_EQ(printer.Count(PrinterSim::c_szKindCancel), 0);

    ASSERT_TRUE(m_cups.CancelJob(iPrinting)) << m_cups.LastError().toStdString();
    ASSERT_TRUE(WaitUntil([&] { return printer.Count(PrinterSim::c_szKindCancel) == 1; }, seconds(30)))
        << Log().toStdString();
    EXPECT_EQ(printer.Received(PrinterSim::c_szKindCancel).value(0), QByteArray::fromHex("a13400000000f903"));
    std::this_thread::sleep_for(seconds(3));
    EXPECT_EQ(printer.Count(PrinterSim::c_szKindCancel), 1) << "exactly once";
    EXPECT_EQ(ChildCount(), 0);
    EXPECT_FALSE(QFile::exists(ShellTrapMarker()));
}

TEST_F(ServiceE2E, JobCancelledWhilePrintingReachesTheUsbPrinter)
{
    UsbTestbed testbed;
    if (!testbed.Emulated())
        GTEST_SKIP() << "needs the umockdev preload";
    NPA::CCmd cmd;
    NPA::BuildStatusCmd(cmd);
    UsbPrinterEmu printer(testbed, 0x30A2, "J1");
    printer.SetStatusReply(BuildKQReplyFrame(cmd.SN(), {{KQState(1)}, -1, 0}));
    ServiceStopper stopper(m_service);

    // cupsd sees no USB device, so the job waits for the printer and stays processing.
    ASSERT_TRUE(m_cups.AddQueue("UsbJobs", "usb://Ostrel/VX1310?serial=J1", "OSTREL VX1310"));
    ASSERT_TRUE(StartService());
    ASSERT_TRUE(WaitUntil([&] { return DatExists("UsbJobs"); }, seconds(20)));
    const int iJob = m_cups.SubmitJob("UsbJobs", QByteArray(4096, 'u'));
    ASSERT_GT(iJob, 0);
    ASSERT_TRUE(WaitUntil([&] { return Log().contains(JobSeenPrinting("UsbJobs", iJob)); }, seconds(15)))
        << Log().toStdString();
    EXPECT_EQ(printer.CancelCount(), 0);

    ASSERT_TRUE(m_cups.CancelJob(iJob)) << m_cups.LastError().toStdString();
    EXPECT_TRUE(WaitUntil([&] { return printer.CancelCount() == 1; }, seconds(30))) << Log().toStdString();
    std::this_thread::sleep_for(seconds(2));
    EXPECT_EQ(printer.CancelCount(), 1);
    const QString strWalk = QString("cancle 637 m_stCurrentPrinter.listJob[i].strJobID :UsbJobs-%1   stJob.strJobID:UsbJobs-%1");
    EXPECT_TRUE(Log().contains(strWalk.arg(iJob).toUtf8()));
}
