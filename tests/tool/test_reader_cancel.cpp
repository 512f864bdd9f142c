// A printer that newly reports it is cancelling a job takes its queue's CUPS jobs
// with it, through a private scheduler; the queue name never meets a shell.
#include <gtest/gtest.h>

#include <QDir>
#include <QFile>

#include "PrivateCups.h"
#include "TestSupport.h"
#include "ToolTestSupport.h"
#include "tool/TrdDeviceManage.h"
#include "tool/TrdGetPrinterStatus.h"

using namespace tool;

using namespace std::chrono;

namespace
{
constexpr seconds c_jobTimeout{30};
constexpr int c_iRawReady = 0;
constexpr int c_iRawCanceling = 3;
const char *const c_szUri = "usb://OSTREL/VX3010?serial=9";  // no device: jobs wait
}  // namespace

TEST(StatusReaderCancel, NewlyCancellingPrinterCancelsTheQueueOnce)
{
    const QString strQueue = ShellTrapQueueName();
    QFile::remove(ShellTrapMarker());
    PrivateCups cups;
    ASSERT_TRUE(cups.Start()) << cups.LastError().toStdString();
    cups.UseInThisProcess();
    ASSERT_TRUE(cups.AddQueue(strQueue, c_szUri, c_szModelStandard)) << cups.LastError().toStdString();
    TestInstallRoot root;
    ASSERT_TRUE(QDir().mkpath(root.Cfg()));

    SharedPrinterList list;
    QList<stPrinterManager> listInit =
        TrdDeviceManage::GetInitPrinterList({ToolPrinter(strQueue, c_szModelStandard, CONNECT_USB, "x")});
    listInit[0].stState.enCurrentStatus = STATUS_READY;
    list.Replace(listInit);
    TrdGetPrinterStatus reader;
    reader.Init(0, &list);
    const QString strStatus = root.Cfg(strQueue + ".dat");
    const auto Pass = [&](int iRaw, unsigned long ulToner) {
        ASSERT_TRUE(ReplaceFile(strStatus, StandardStatus(iRaw, {}, {}, ulToner)));
        reader.RunPass();
    };

    const int iFirst = cups.SubmitJob(strQueue, "first");
    ASSERT_GT(iFirst, 0) << cups.LastError().toStdString();
    Pass(c_iRawCanceling, 5000);
    EXPECT_TRUE(cups.WaitJobState(iFirst, c_iIppJobCanceled, {}, c_jobTimeout));

    // Still cancelling, another value changed: the new job stays.
    const int iSecond = cups.SubmitJob(strQueue, "second");
    ASSERT_GT(iSecond, 0);
    Pass(c_iRawCanceling, 4900);
    EXPECT_NE(cups.JobState(iSecond).iJobState, c_iIppJobCanceled);

    // Ready, then cancelling again: cancelled anew.
    Pass(c_iRawReady, 4900);
    EXPECT_NE(cups.JobState(iSecond).iJobState, c_iIppJobCanceled);
    Pass(c_iRawCanceling, 4900);
    EXPECT_TRUE(cups.WaitJobState(iSecond, c_iIppJobCanceled, {}, c_jobTimeout));
    EXPECT_FALSE(QFile::exists(ShellTrapMarker()));
}
