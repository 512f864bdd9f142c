#include <gtest/gtest.h>

#include <QDateTime>
#include <QFile>
#include <QFileInfo>
#include <QThread>

#include "StatusReplyBuilder.h"
#include "TestSupport.h"
#include "UtilCups.h"
#include "service/TrdGetPrinterStatus.h"

using namespace service;

namespace
{
const unsigned char c_szSN[4] = {1, 2, 3, 4};

// A poller bound to one printer of a one-element list, without starting its loop.
struct PollerFixture
{
    explicit PollerFixture(const QString &strName)
    {
        stPrinterManager m;
        m.stInfo.strPrinterName = strName;
        m.stInfo.iConnectType = CONNECT_NETWORK;
        m.stInfo.strDeviceURI = "socket://127.0.0.2:9100";
        list.Replace({m});
        poller.Init(0, &list, nullptr);
        poller.CopyOutCurrent();
    }
    SharedPrinterList list;
    TrdGetPrinterStatus poller;
};
}  // namespace

TEST(JobSupervision, CupsFactsMapOntoJobStatesInOrder)
{
    const struct
    {
        int iJobState;
        QStringList listReasons;
        int iExpected;
    } c_rows[] = {
        {3, {"none"}, JOB_ALERT_NONE},
        {5, {"job-printing"}, JOB_PRINTING},
        {5, {"processing-to-stop-point"}, JOB_PRINTING},
        {7, {"processing-to-stop-point"}, JOB_OTHER},           // cancelled while pending
        {9, {"processing-to-stop-point"}, JOB_OTHER},           // completed
        {7, {"processing-to-stop-point", "job-canceled-by-user"}, JOB_CANCELED_BY_USER},
        {7, {"job-canceled-by-user"}, JOB_CANCELED_BY_USER},
        {5, {"printer-stopped"}, JOB_PRINTING},
        {4, {"job-hold-until-specified"}, JOB_OTHER},
        {5, {"none", "job-printing"}, JOB_ALERT_NONE},
    };
    for (const auto &row : c_rows) {
        stCupsJob job;
        job.iJobId = 1;
        job.iJobState = row.iJobState;
        job.listReasons = row.listReasons;
        EXPECT_EQ(JobStatusOf(job), row.iExpected) << row.iJobState << " " << row.listReasons.join(',').toStdString();
    }
}

TEST(ReplyAcceptance, StatusFileFollowsChangesAndDecodeFailuresKeepTheState)
{
    TestInstallRoot root;
    PollerFixture f("q>1");
    const QString strFile = root.Cfg("q>1.dat");

    stStandardReply reply;
    reply.ucStatus = 16;
    reply.listWarning = {0x110D};
    const QByteArray baFirst = BuildStandardReply(reply);
    ASSERT_EQ(f.poller.CheckPrinterStatus(baFirst, FAMILY_STANDARD), 0);
    EXPECT_EQ(ReadWholeFile(strFile), baFirst);
    EXPECT_EQ(f.poller.CurrentPrinter().stState.enCurrentStatus, STATUS_PRINTING);
    EXPECT_EQ(f.poller.CurrentPrinter().stState.listWarning, QList<enErrorStatus>{ERR_TONER_LOW});

    const QDateTime tFirst = QFileInfo(strFile).lastModified();
    QThread::msleep(20);
    ASSERT_EQ(f.poller.CheckPrinterStatus(baFirst, FAMILY_STANDARD), 0);
    EXPECT_EQ(QFileInfo(strFile).lastModified(), tFirst) << "an identical reply is not written again";

    QFile::remove(strFile);
    ASSERT_EQ(f.poller.CheckPrinterStatus(baFirst, FAMILY_STANDARD), 0);
    EXPECT_TRUE(QFile::exists(strFile)) << "a missing file is written again";

    const QByteArray baBroken = baFirst.left(20);
    EXPECT_EQ(f.poller.CheckPrinterStatus(baBroken, FAMILY_STANDARD), -1);
    EXPECT_EQ(ReadWholeFile(strFile), baBroken) << "the raw reply is published even when it does not decode";
    EXPECT_EQ(f.poller.CurrentPrinter().stState.enCurrentStatus, STATUS_PRINTING);

    // Replies longer than 2048 bytes are compared whole.
    QByteArray baLong = KQStatusBuffer(BuildKQReplyFrame(c_szSN, {{KQState(1)}, -1, 0})) + QByteArray(2100, 'x');
    ASSERT_EQ(f.poller.CheckPrinterStatus(baLong, FAMILY_KQ), 0);
    baLong[2090] = 'y';
    EXPECT_TRUE(f.poller.CheckRecvBufChange(baLong));
    EXPECT_FALSE(f.poller.CheckRecvBufChange(baLong));
}

// Each KQ request carries a new serial number, which the reply repeats under a new
// checksum: a reply that differs only there brings no news.
TEST(ReplyAcceptance, KQReplyWithOnlyANewSerialNumberIsNotWrittenAgain)
{
    TestInstallRoot root;
    PollerFixture f("kq");
    const QString strFile = root.Cfg("kq.dat");
    const unsigned char szNextSN[4] = {1, 2, 3, 5};

    const QByteArray baFirst = KQStatusBuffer(BuildKQReplyFrame(c_szSN, {{KQState(1)}, -1, 0}));
    ASSERT_EQ(f.poller.CheckPrinterStatus(baFirst, FAMILY_KQ), 0);
    ASSERT_EQ(ReadWholeFile(strFile), baFirst);

    const QByteArray baSameState = KQStatusBuffer(BuildKQReplyFrame(szNextSN, {{KQState(1)}, -1, 0}));
    ASSERT_NE(baSameState, baFirst);
    ASSERT_EQ(f.poller.CheckPrinterStatus(baSameState, FAMILY_KQ), 0);
    EXPECT_EQ(ReadWholeFile(strFile), baFirst) << "the first reply stays published";

    const QByteArray baNewState = KQStatusBuffer(BuildKQReplyFrame(szNextSN, {{KQState(3)}, -1, 0}));
    ASSERT_EQ(f.poller.CheckPrinterStatus(baNewState, FAMILY_KQ), 0);
    EXPECT_EQ(ReadWholeFile(strFile), baNewState) << "a new state is published";
}

TEST(ReplyAcceptance, QueueNamesThatAreNoFileNamesGetNoStatusFile)
{
    TestInstallRoot root;
    PollerFixture f("..");
    ASSERT_EQ(f.poller.CheckPrinterStatus(BuildStandardReply(stStandardReply()), FAMILY_STANDARD), 0);
    EXPECT_FALSE(QFile::exists(root.Path() + "/..dat"));
    EXPECT_FALSE(QFile::exists(root.Cfg("...dat")));
    EXPECT_EQ(f.poller.CurrentPrinter().stState.enCurrentStatus, STATUS_READY);
}
