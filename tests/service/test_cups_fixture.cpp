#include <gtest/gtest.h>

#include <QFile>

#include <cstring>
#include <iostream>
#include <thread>

#include "HoldingSocketPrinter.h"
#include "PrivateCups.h"
#include "TestSupport.h"
#include "UtilCups.h"

using namespace std::chrono;

namespace
{
// The socket backend first spends about 4 s on an SNMP probe of the printer.
constexpr seconds c_jobPrintingTimeout{40};
constexpr seconds c_jobEndTimeout{30};
constexpr seconds c_stillHeldAfter{1};
constexpr int c_iIppJobCompleted = 9;
constexpr int c_iIppPrinterIdle = 3;

const char *const c_szModel = "Ostrel VX3310";
const char *const c_szHeldAddress = "127.0.0.231";
const char *const c_szHeldUri = "socket://127.0.0.231:9100";
QStringList HostileNames()
{
    return {"Office", "q>1", ShellTrapQueueName(), "a;b|c", "back`tick`", "-dash"};
}

QString NetUri(int iHost)
{
    return QString("socket://127.0.0.%1:9100").arg(iHost);
}

// The DeviceURI of a queue's block in printers.conf; empty when the queue is not there.
QString DeviceUriInConf(const QByteArray &baConf, const QString &strQueue)
{
    bool bInQueue = false;
    for (const QByteArray &baLine : baConf.split('\n')) {
        const QString strLine = QString::fromUtf8(baLine).trimmed();
        if (strLine == "<Printer " + strQueue + ">" || strLine == "<DefaultPrinter " + strQueue + ">")
            bInQueue = true;
        else if (strLine.startsWith("</"))
            bInQueue = false;
        else if (bInQueue && strLine.startsWith("DeviceURI "))
            return strLine.mid(int(strlen("DeviceURI ")));
    }
    return {};
}

bool PpdNamesModel(const PrivateCups &cups, const QString &strQueue)
{
    return ReadWholeFile(cups.PpdPath(strQueue)).contains(QByteArray("*ModelName: \"") + c_szModel + "\"\n");
}

void ReportTime(const char *szWhat, steady_clock::time_point t0)
{
    std::cout << "[ timing   ] " << szWhat << ": "
              << duration_cast<milliseconds>(steady_clock::now() - t0).count() << " ms" << std::endl;
}

std::string Why(const PrivateCups &cups)
{
    return cups.LastError().toStdString();
}
}  // namespace

TEST(PrivateCupsFixture, HostileQueueNamesLandVerbatimAndNoShellSeesThem)
{
    QFile::remove(ShellTrapMarker());
    PrivateCups cups;
    auto t0 = steady_clock::now();
    ASSERT_TRUE(cups.Start()) << Why(cups);
    ReportTime("start until the scheduler answers", t0);

    const QStringList listNames = HostileNames();
    for (int i = 0; i < listNames.size(); ++i) {
        t0 = steady_clock::now();
        ASSERT_TRUE(cups.AddQueue(listNames[i], NetUri(2 + i), c_szModel))
            << listNames[i].toStdString() << ": " << Why(cups);
        ReportTime("add queue", t0);
    }
    EXPECT_FALSE(cups.AddQueue("$(touch /tmp/x)", NetUri(2), c_szModel)) << "space and '/' are no name characters";

    const QByteArray baConf = cups.PrintersConf();
    for (int i = 0; i < listNames.size(); ++i) {
        SCOPED_TRACE(listNames[i].toStdString());
        EXPECT_EQ(DeviceUriInConf(baConf, listNames[i]), NetUri(2 + i));
        EXPECT_EQ(cups.DeviceUri(listNames[i]), NetUri(2 + i)) << Why(cups);
        EXPECT_TRUE(PpdNamesModel(cups, listNames[i]));
    }
    EXPECT_FALSE(QFile::exists(ShellTrapMarker()));
}

TEST(PrivateCupsFixture, HeldJobPrintsUntilCancelledAndCompletesOnRelease)
{
    HoldingSocketPrinter printer(c_szHeldAddress);
    ASSERT_TRUE(printer.Listening()) << "is another test holding " << c_szHeldAddress << ":9100?";
    PrivateCups cups;
    ASSERT_TRUE(cups.Start()) << Why(cups);
    const QString strQueue = "-held;`x`";
    ASSERT_TRUE(cups.AddQueue(strQueue, c_szHeldUri, c_szModel)) << Why(cups);

    const QByteArray baData(4096, 'J');
    auto t0 = steady_clock::now();
    const int iJob = cups.SubmitJob(strQueue, baData);
    ASSERT_GT(iJob, 0) << Why(cups);
    ASSERT_TRUE(cups.WaitJobState(iJob, c_iIppJobProcessing, "job-printing", c_jobPrintingTimeout))
        << cups.ErrorLog().toStdString();
    ReportTime("job submitted until job-printing", t0);
    ASSERT_TRUE(WaitUntil([&] { return printer.BytesReceived() >= baData.size(); }, c_jobPrintingTimeout));
    ReportTime("job submitted until its data is at the printer", t0);
    std::this_thread::sleep_for(c_stillHeldAfter);
    EXPECT_EQ(cups.JobState(iJob).iJobState, c_iIppJobProcessing);

    t0 = steady_clock::now();
    ASSERT_TRUE(cups.CancelJob(iJob)) << Why(cups);
    EXPECT_TRUE(cups.WaitJobState(iJob, c_iIppJobCanceled, "job-canceled-by-user", c_jobEndTimeout))
        << cups.JobState(iJob).listReasons.join(',').toStdString();
    ReportTime("cancel until job-canceled-by-user", t0);

    const int iSecond = cups.SubmitJob(strQueue, baData);
    ASSERT_GT(iSecond, 0) << Why(cups);
    ASSERT_TRUE(cups.WaitJobState(iSecond, c_iIppJobProcessing, "job-printing", c_jobPrintingTimeout));
    ASSERT_TRUE(WaitUntil([&] { return printer.BytesReceived() >= 2 * baData.size(); }, c_jobPrintingTimeout));
    printer.Release();
    EXPECT_TRUE(cups.WaitJobState(iSecond, c_iIppJobCompleted, {}, c_jobEndTimeout));
    EXPECT_EQ(printer.Accepted(), 2);
}

TEST(PrivateCupsFixture, QueuesSurviveRestartAndThisProcessCanAskTheScheduler)
{
    PrivateCups cups;
    ASSERT_TRUE(cups.Start()) << Why(cups);
    ASSERT_TRUE(cups.AddQueue("Office", NetUri(2), c_szModel)) << Why(cups);
    ASSERT_TRUE(cups.AddQueue("-dash", NetUri(3), c_szModel)) << Why(cups);
    EXPECT_TRUE(cups.SetDeviceUri("Office", NetUri(4))) << Why(cups);
    EXPECT_TRUE(cups.RenameQueue("-dash", "-dash;renamed")) << Why(cups);

    const qint64 iFirstPid = cups.Pid();
    const auto t0 = steady_clock::now();
    ASSERT_TRUE(cups.Restart()) << Why(cups);
    ReportTime("restart", t0);
    EXPECT_NE(cups.Pid(), iFirstPid);

    const QByteArray baConf = cups.PrintersConf();
    EXPECT_EQ(DeviceUriInConf(baConf, "Office"), NetUri(4));
    EXPECT_EQ(DeviceUriInConf(baConf, "-dash;renamed"), NetUri(3));
    EXPECT_TRUE(DeviceUriInConf(baConf, "-dash").isEmpty());
    EXPECT_TRUE(PpdNamesModel(cups, "-dash;renamed"));
    EXPECT_EQ(cups.DeviceUri("-dash;renamed"), NetUri(3)) << Why(cups);

    const QProcessEnvironment env = cups.Env();
    EXPECT_EQ(env.value("CUPS_SERVER"), cups.Socket());
    EXPECT_EQ(env.value("CUPS_SERVERROOT"), cups.ServerRoot());
    cups.UseInThisProcess();
    QHash<QString, int> hashState;
    ASSERT_TRUE(UtilCups::GetPrinterStates(hashState));
    EXPECT_EQ(hashState.value("Office"), c_iIppPrinterIdle);
    EXPECT_EQ(hashState.value("-dash;renamed"), c_iIppPrinterIdle);
    EXPECT_EQ(hashState.size(), 2);

    EXPECT_TRUE(cups.DeleteQueue("Office")) << Why(cups);
    EXPECT_TRUE(cups.DeviceUri("Office").isEmpty());
    EXPECT_TRUE(cups.Stop());
    EXPECT_FALSE(cups.Running());
}
