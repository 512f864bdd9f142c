#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QDir>
#include <QFileSystemWatcher>
#include <QSettings>
#include <QScopeGuard>
#include <QThread>

#include <atomic>
#include <thread>

#include "StatusReplyBuilder.h"
#include "TestSupport.h"
#include "ToolTestSupport.h"
#include "UtilCfgFiles.h"
#include "tool/TrdDeviceManage.h"
#include "tool/TrdGetPrinterStatus.h"

using namespace tool;

using namespace std::chrono;

namespace
{
constexpr std::uint16_t c_usFrontCover = 0x1106;
constexpr std::uint16_t c_usTonerLow = 0x110D;
constexpr int c_iRawReady = 0;
constexpr int c_iRawPrinting = 16;
constexpr int c_iKQRawReady = 1;

class ListReader : public ::testing::Test
{
protected:
    void SetUp() override
    {
        m_reader.Init(&m_list);
        QObject::connect(&m_reader, &TrdDeviceManage::SgnUpdatePrinterList, [this] { ++m_iSignals; });
    }

    TestInstallRoot m_root;
    SharedPrinterList m_list;
    TrdDeviceManage m_reader;
    int m_iSignals = 0;
};

class StatusReader : public ::testing::Test
{
protected:
    void SetUp() override
    {
        QDir().mkpath(m_root.Cfg());
        m_reader.Init(0, &m_list);
        QObject::connect(&m_reader, &TrdGetPrinterStatus::SgnUpdatePrinterStatus, [this](int i) {
            EXPECT_EQ(i, 0);
            ++m_iSignals;
        });
    }

    void Use(const stPrinterInfo &info, enPrinterStatus enStatus = STATUS_OFFLINE)
    {
        QList<stPrinterManager> list = TrdDeviceManage::GetInitPrinterList({info});
        list[0].stState.enCurrentStatus = enStatus;
        m_list.Replace(list);
    }

    stPrinterState Entry()
    {
        stPrinterManager printer;
        EXPECT_TRUE(m_list.CopyOut(0, printer));
        return printer.stState;
    }

    TestInstallRoot m_root;
    SharedPrinterList m_list;
    TrdGetPrinterStatus m_reader;
    int m_iSignals = 0;
};
}  // namespace

TEST_F(ListReader, ReadsTheListFileWithinItsBounds)
{
    EXPECT_TRUE(TrdDeviceManage::GetPrinterInfo().isEmpty());

    const stPrinterInfo office = ToolPrinter(QString::fromUtf8("办公室"), c_szModelKQ, CONNECT_NETWORK, "127.0.0.2");
    ASSERT_TRUE(WritePrinterList(m_root.Cfg(), {office}));
    QSettings settings(m_root.Cfg(UtilCfgFiles::c_szListFile), QSettings::IniFormat);
    settings.beginGroup(UtilCfgFiles::c_szListGroupMain);
    const struct
    {
        QVariant count;
        int iExpected;
    } c_cases[] = {{1, 1}, {2, 2}, {"abc", 0}, {-3, 0}, {5000, UtilCfgFiles::c_iMaxListCount}};
    for (const auto &c : c_cases) {
        settings.setValue(UtilCfgFiles::c_szListKeyCount, c.count);
        settings.sync();
        const QList<stPrinterInfo> list = TrdDeviceManage::GetPrinterInfo();
        ASSERT_EQ(list.size(), c.iExpected) << c.count.toString().toStdString();
        if (c.iExpected == 0)
            continue;
        EXPECT_EQ(list.at(0).strPrinterName, office.strPrinterName);
        EXPECT_EQ(list.at(0).enType, office.enType);
        EXPECT_EQ(list.at(0).iConnectType, CONNECT_NETWORK);
        EXPECT_EQ(list.at(0).strPort, "127.0.0.2");
        EXPECT_EQ(list.at(0).strDeviceURI, office.strDeviceURI);
        if (c.iExpected == 1)
            continue;
        // A group the file does not have reads as an empty record.
        EXPECT_TRUE(list.last().strPrinterName.isEmpty());
        EXPECT_TRUE(list.last().strPort.isEmpty());
        EXPECT_EQ(list.last().iConnectType, CONNECT_UNSET);
    }
}

TEST_F(ListReader, OnlyANewNameOrPortMakesANewList)
{
    EXPECT_FALSE(m_reader.RunPass());  // no file, empty list: nothing to announce
    QList<stPrinterInfo> listInfo = {ToolPrinter("Lab", c_szModelStandard, CONNECT_USB, "OSTREL/VX3010?serial=1"),
                                     ToolPrinter("Office", c_szModelKQ, CONNECT_NETWORK, "127.0.0.2")};
    ASSERT_TRUE(WritePrinterList(m_root.Cfg(), listInfo));
    EXPECT_TRUE(m_reader.RunPass());
    EXPECT_EQ(m_iSignals, 1);
    EXPECT_EQ(m_list.Size(), 2);

    m_list.With([](QList<stPrinterManager> &list) { list[1].stState.enCurrentStatus = STATUS_READY; });
    listInfo[1].enType = c_szModelStandard;
    listInfo[1].iConnectType = CONNECT_USB;
    listInfo[1].strDeviceURI = "socket://127.0.0.2:9100";
    ASSERT_TRUE(WritePrinterList(m_root.Cfg(), listInfo));
    EXPECT_FALSE(m_reader.RunPass());
    EXPECT_EQ(m_iSignals, 1);

    listInfo[1].strPort = "127.0.0.3";
    ASSERT_TRUE(WritePrinterList(m_root.Cfg(), listInfo));
    EXPECT_TRUE(m_reader.RunPass());
    EXPECT_EQ(m_iSignals, 2);
    stPrinterManager printer;
    ASSERT_TRUE(m_list.CopyOut(1, printer));
    EXPECT_EQ(printer.stState.enCurrentStatus, STATUS_OFFLINE);
    EXPECT_EQ(printer.stInfo.strPort, "127.0.0.3");

    ASSERT_TRUE(QFile::remove(UtilCfgFiles::PrinterListPath()));
    EXPECT_TRUE(m_reader.RunPass());
    EXPECT_EQ(m_list.Size(), 0);
}

TEST_F(StatusReader, DecodesAStandardFileOncePerVersion)
{
    Use(ToolPrinter("Lab", c_szModelStandard, CONNECT_USB, "OSTREL/VX3010?serial=1"));
    const QByteArray baStatus = StandardStatus(c_iRawPrinting, {}, {c_usTonerLow}, 3750);
    ASSERT_TRUE(ReplaceFile(m_root.Cfg("Lab.dat"), baStatus));
    m_reader.RunPass();
    stPrinterState st = Entry();
    EXPECT_EQ(st.enCurrentStatus, STATUS_PRINTING);
    EXPECT_EQ(st.listWarning, QList<enErrorStatus>({ERR_TONER_LOW}));
    EXPECT_TRUE(st.listError.isEmpty());
    EXPECT_EQ(st.dwRemainingToner, 3750u);
    EXPECT_EQ(st.strPrinterSerialNumber, "SN0001");
    EXPECT_EQ(m_iSignals, 1);

    m_reader.RunPass();
    EXPECT_EQ(m_reader.GetPrinterStatusFile(m_reader.CurrentPrinter().stInfo, false), STATUS_FILE_UNCHANGED);
    // A new version with the same content is read again but announces nothing.
    ASSERT_TRUE(ReplaceFile(m_root.Cfg("Lab.dat"), baStatus));
    EXPECT_EQ(m_reader.GetPrinterStatusFile(m_reader.CurrentPrinter().stInfo, false), STATUS_FILE_DECODED);
    ASSERT_TRUE(ReplaceFile(m_root.Cfg("Lab.dat"), baStatus));
    m_reader.RunPass();
    EXPECT_EQ(m_iSignals, 1);

    ASSERT_TRUE(ReplaceFile(m_root.Cfg("Lab.dat"), StandardStatus(c_iRawReady, {c_usFrontCover}, {}, 3740)));
    m_reader.RunPass();
    EXPECT_EQ(Entry().listError, QList<enErrorStatus>({ERR_FRONT_COVER_OPEN}));
    EXPECT_EQ(m_iSignals, 2);
}

// The service chose the reply layout by model; a KQ queue named "Office" is KQ.
TEST_F(StatusReader, DecodesByTheModelOfTheListFile)
{
    const QByteArray baKQ = KQStatus(c_iKQRawReady, {c_usFrontCover}, {}, 55);
    Use(ToolPrinter("Office", c_szModelKQ, CONNECT_NETWORK, "127.0.0.2"));
    ASSERT_TRUE(ReplaceFile(m_root.Cfg("Office.dat"), baKQ));
    m_reader.RunPass();
    stPrinterState st = Entry();
    EXPECT_EQ(st.enCurrentStatus, STATUS_READY);
    EXPECT_EQ(st.listError, QList<enErrorStatus>({ERR_FRONT_COVER_OPEN}));
    EXPECT_EQ(st.dwRemainingToner, 55u);

    // Without a model the name decides; a standard reply for a standard name.
    Use(ToolPrinter("Office", "", CONNECT_NETWORK, "127.0.0.2"));
    ASSERT_TRUE(ReplaceFile(m_root.Cfg("Office.dat"), StandardStatus(c_iRawReady, {}, {}, 5000)));
    m_reader.RunPass();
    EXPECT_EQ(Entry().enCurrentStatus, STATUS_READY);
    EXPECT_EQ(Entry().dwRemainingToner, 5000u);
    Use(ToolPrinter("VX1310-floor2", "", CONNECT_NETWORK, "127.0.0.3"));
    ASSERT_TRUE(ReplaceFile(m_root.Cfg("VX1310-floor2.dat"), baKQ));
    m_reader.RunPass();
    EXPECT_EQ(Entry().dwRemainingToner, 55u);
}

TEST_F(StatusReader, MissingFileTurnsOfflineOnTheEleventhPassAndComesBack)
{
    Use(ToolPrinter("Lab", c_szModelStandard, CONNECT_USB, "x"), STATUS_READY);
    for (int i = 1; i <= c_iReadFailLimit; ++i) {
        m_reader.RunPass();
        ASSERT_EQ(Entry().enCurrentStatus, STATUS_READY) << i;
        ASSERT_EQ(Entry().iFailCount, i);
    }
    m_reader.RunPass();
    EXPECT_EQ(Entry().enCurrentStatus, STATUS_OFFLINE);
    EXPECT_EQ(Entry().iFailCount, 0);
    EXPECT_EQ(m_iSignals, 1);

    ASSERT_TRUE(ReplaceFile(m_root.Cfg("Lab.dat"), StandardStatus(c_iRawReady, {}, {}, 100)));
    m_reader.RunPass();
    EXPECT_EQ(Entry().enCurrentStatus, STATUS_READY);
    EXPECT_EQ(m_iSignals, 2);
}

TEST_F(StatusReader, BadFilesCountOncePerVersionAndAreBounded)
{
    Use(ToolPrinter("Lab", c_szModelStandard, CONNECT_USB, "x"), STATUS_READY);
    ASSERT_TRUE(ReplaceFile(m_root.Cfg("Lab.dat"), QByteArray(3, '\x01')));
    m_reader.RunPass();
    m_reader.RunPass();
    EXPECT_EQ(Entry().iFailCount, 1);
    EXPECT_EQ(Entry().enCurrentStatus, STATUS_READY);

    // Beyond the buffer nothing is read: trailing bytes do no harm, a reply that
    // needs them does not decode.
    QByteArray baLong = StandardStatus(c_iRawReady, {}, {}, 4200);
    baLong.append(QByteArray(3000, '\xff'));
    ASSERT_TRUE(ReplaceFile(m_root.Cfg("Lab.dat"), baLong));
    m_reader.RunPass();
    EXPECT_EQ(Entry().dwRemainingToner, 4200u);
    stStandardReply reply;
    reply.baText5 = QByteArray(250, 'x');
    reply.baVender = QByteArray(UtilCfgFiles::c_iStatusFileMax, 'v');
    ASSERT_TRUE(ReplaceFile(m_root.Cfg("Lab.dat"), BuildStandardReply(reply)));
    EXPECT_EQ(m_reader.GetPrinterStatusFile(m_reader.CurrentPrinter().stInfo, true), STATUS_FILE_FAILED);

    // No status file for a name that is not a plain file name.
    QDir().mkpath(m_root.Cfg("a"));
    ASSERT_TRUE(ReplaceFile(m_root.Cfg("a/b.dat"), StandardStatus(c_iRawReady, {}, {}, 1)));
    EXPECT_EQ(m_reader.GetPrinterStatusFile(ToolPrinter("a/b", "", CONNECT_USB, "x"), true), STATUS_FILE_FAILED);
    EXPECT_EQ(m_reader.GetPrinterStatusFile(ToolPrinter("", "", CONNECT_USB, "x"), true), STATUS_FILE_FAILED);
}

// A change in cfg/ cuts the wait for the next pass short; so does the quit request.
TEST_F(StatusReader, DirectoryChangeAndQuitEndTheWait)
{
    int argc = 1;
    char szName[] = "test";
    char *argv[] = {szName};
    QCoreApplication app(argc, argv);
    QFileSystemWatcher watcher({QDir::cleanPath(m_root.Cfg())});
    QObject::connect(&watcher, &QFileSystemWatcher::directoryChanged, &m_reader, &TrdGetPrinterStatus::SlotWake,
                     Qt::DirectConnection);
    constexpr int c_iLongWaitMs = 120000;
    const auto WaitEndsEarly = [&](const std::function<void()> &poke, bool bQuitExpected) {
        std::atomic<bool> bDone{false};
        bool bQuit = !bQuitExpected;
        std::thread waiter([&] {
            bQuit = m_reader.WaitForPass(c_iLongWaitMs);
            bDone = true;
        });
        QThread::msleep(100);
        poke();
        const bool bEnded = WaitUntil([&] {
            QCoreApplication::processEvents();
            return bDone.load();
        }, seconds(30));
        if (!bEnded)
            m_reader.SlotThreadQuit();
        waiter.join();
        EXPECT_TRUE(bEnded);
        EXPECT_EQ(bQuit, bQuitExpected);
    };
    WaitEndsEarly([&] { ReplaceFile(m_root.Cfg("Lab.dat"), "x"); }, false);
    WaitEndsEarly([&] { m_reader.SlotThreadQuit(); }, true);
}

TEST(StatusReaderThread, QuitEndsRunningLoopsPromptly)
{
    int argc = 1;
    char szName[] = "test";
    char *argv[] = {szName};
    QCoreApplication app(argc, argv);
    TestInstallRoot root;
    ASSERT_TRUE(WritePrinterList(root.Cfg(), {ToolPrinter("Lab", c_szModelStandard, CONNECT_USB, "x")}));
    SharedPrinterList list;
    TrdGetPrinterStatus reader;
    TrdDeviceManage manager;
    reader.Init(0, &list);
    manager.Init(&list);
    QThread threadReader;
    QThread threadManager;
    const auto Stop = [&] {
        reader.SlotThreadQuit();
        manager.SlotThreadQuit();
        threadReader.quit();
        threadManager.quit();
        return threadReader.wait(10000) && threadManager.wait(10000);
    };
    const auto guard = qScopeGuard([&] { Stop(); });
    reader.moveToThread(&threadReader);
    manager.moveToThread(&threadManager);
    threadReader.start();
    threadManager.start();
    QMetaObject::invokeMethod(&reader, &TrdGetPrinterStatus::SlotTaskStart, Qt::QueuedConnection);
    QMetaObject::invokeMethod(&manager, &TrdDeviceManage::SlotTaskStart, Qt::QueuedConnection);
    // The list arrives, and the reader's passes find no status file and count it.
    ASSERT_TRUE(WaitUntil([&] {
        stPrinterManager printer;
        return list.CopyOut(0, printer) && printer.stState.iFailCount > 1;
    }, seconds(20)));
    const auto t0 = steady_clock::now();
    EXPECT_TRUE(Stop());
    // One sleep slice is 500 ms; a loaded machine gets plenty of slack.
    EXPECT_LT(duration_cast<milliseconds>(steady_clock::now() - t0).count(), 5000);
}

// Unrelated changes in cfg/ wake the reader, but only its timed passes count a missing
// file: a busy directory must not turn a printer off-line in a few wake-ups.
TEST_F(StatusReader, WakeUpsDoNotCountTowardsOffline)
{
    Use(ToolPrinter("Lab", c_szModelStandard, CONNECT_USB, "x"), STATUS_READY);
    QThread thread;
    m_reader.moveToThread(&thread);
    const auto guard = qScopeGuard([&] {
        m_reader.SlotThreadQuit();
        thread.quit();
        thread.wait(10000);
    });
    thread.start();
    QMetaObject::invokeMethod(&m_reader, &TrdGetPrinterStatus::SlotTaskStart, Qt::QueuedConnection);
    constexpr int c_iWakeUps = 3 * c_iReadFailLimit;
    for (int i = 0; i < c_iWakeUps; ++i) {
        m_reader.SlotWake();
        QThread::msleep(20);
    }
    const stPrinterState st = Entry();
    EXPECT_EQ(st.enCurrentStatus, STATUS_READY);
    EXPECT_LE(st.iFailCount, 2);
}
