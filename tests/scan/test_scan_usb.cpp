// QuarnScanDaemon against an emulated USB scanner: discovery and strings, the command
// set with its answers, the two scanner families, scans into page files through the raw
// protocol and the CLI, the abort, a scanner that vanishes, malformed records.
#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <poll.h>

#include <csignal>
#include <memory>

#include "QuarnTestSupport.h"
#include "TestSupport.h"
#include "UsbScannerEmu.h"
#include "UsbTestbed.h"

using namespace std::chrono;

namespace
{
constexpr int c_iWaitMs = 10000;
constexpr int c_iSilenceMs = 300;
constexpr uint8_t c_ucClassScan = 0x53;
constexpr uint8_t c_ucCodeStart = 0x01;
constexpr uint8_t c_ucCodeProperties = 0x03;
constexpr uint8_t c_ucCodeLock = 0x05;
constexpr uint8_t c_ucCodeUnlock = 0x06;
constexpr uint8_t c_ucCodeAbort = 0x0F;
constexpr uint8_t c_ucFlagBusy = 0x88;
constexpr uint8_t c_ucFlagError = 0x84;
const char c_szSerial[] = "SN-0001";

stScanScript PagesScript(const QVector<QVector<int>> &vecPages)
{
    stScanScript stScript;
    stScript.vecPages = vecPages;
    return stScript;
}

int Total(const QVector<int> &vec)
{
    int iSum = 0;
    for (int i : vec)
        iSum += i;
    return iSum;
}

bool Silent(QuarnScanClient &client)
{
    pollfd pfd {client.Socket(), POLLIN, 0};
    return poll(&pfd, 1, c_iSilenceMs) == 0;
}

std::vector<USBScanRecordRes> ReadStream(QuarnScanClient &client)
{
    std::vector<USBScanRecordRes> vec;
    USBScanRecordRes rec;
    while (client.NextRecord(&rec, c_iWaitMs)) {
        vec.push_back(rec);
        if (rec.result != SANE_STATUS_GOOD)
            break;
    }
    return vec;
}

QByteArray LockRequest(const UsbScannerEmu &scanner)
{
    QByteArray baLast;
    for (const QByteArray &ba : scanner.Requests()) {
        if (ba.size() > 2 && uint8_t(ba[2]) == c_ucCodeLock)
            baLast = ba;
    }
    return baLast;
}

class UsbScan : public ::testing::Test
{
protected:
    void SetUp() override
    {
        if (!m_testbed.Emulated())
            GTEST_SKIP() << "runs only with the umockdev preload library";
        ASSERT_TRUE(m_root.isValid());
        m_pScanner = std::make_unique<UsbScannerEmu>(m_testbed, c_szSerial);
        ASSERT_TRUE(m_daemon.Start());
        ASSERT_TRUE(ConnectClient(m_client));
        m_iDev = OpenScanner(m_client);
        ASSERT_GT(m_iDev, 0);
    }

    void TearDown() override
    {
        m_client.Close();
        EXPECT_TRUE(m_daemon.Stop()) << "processes left: " << m_daemon.Processes().size();
    }

    // The handle of the fixture's scanner on this client's connection.
    int OpenScanner(QuarnScanClient &client)
    {
        std::vector<USBFindDevRes> list;
        if (client.FindDevices(c_usScannerVendor, c_usScannerProduct, true, &list) != 1)
            return -1;
        return list[0].fd;
    }

    // A scan of the whole script through the raw protocol; the start must succeed.
    std::vector<USBScanRecordRes> Scan(QuarnScanClient &client, int iDev, QString *pJob = nullptr)
    {
        USBScanStartRes start {};
        EXPECT_TRUE(client.StartScan(iDev, &start));
        EXPECT_EQ(start.result, SANE_STATUS_GOOD);
        if (pJob)
            *pJob = start.fileName;
        return ReadStream(client);
    }

    QStringList PageFiles() const
    {
        return QDir(m_root.path() + "/scan").entryList({"ostrelscandata_*"}, QDir::Files);
    }

    void SetKQ(bool bKQ)
    {
        const QString strMarker = m_root.path() + "/scan/kq_ctrl.cfg";
        if (bKQ)
            ASSERT_TRUE(WriteWholeFile(strMarker, ""));
        else
            ASSERT_TRUE(QFile::remove(strMarker));
    }

    UsbTestbed m_testbed;
    QTemporaryDir m_root;
    std::unique_ptr<UsbScannerEmu> m_pScanner;
    QuarnDaemon m_daemon {m_root.path()};
    QuarnScanClient m_client;
    int m_iDev = -1;
};
}  // namespace

TEST_F(UsbScan, DiscoveryReportsIdsAndStringsOfMatchingDevicesOnly)
{
    const QString strLong = QString(99, QChar('x'));
    UsbScannerEmu other(m_testbed, "", QString::fromUtf8("Sc\u20ACnner \u00FC") + strLong.left(10));
    UsbScannerEmu longName(m_testbed, "SN-LONG", strLong);
    UsbScannerEmu foreign(m_testbed, "SN-F", "Foreign", 0x9ABC);

    std::vector<USBFindDevRes> list;
    ASSERT_EQ(m_client.FindDevices(c_usScannerVendor, 0, false, &list), 3);
    QStringList listProducts;
    for (const USBFindDevRes &dev : list) {
        EXPECT_EQ(dev.vid, c_usScannerVendor);
        EXPECT_EQ(dev.pid, c_usScannerProduct);
        EXPECT_STREQ(dev.Manufacturer, "Ostrel");
        listProducts << QString::fromLatin1(dev.Product);
        if (QByteArray(dev.Product).startsWith("Sc?nner")) {
            EXPECT_STREQ(dev.SerialNumber, "") << "no serial string: index 0";
        }
        m_client.StatusOf(USB_CLOSE_DEV, dev.fd);
    }
    listProducts.sort();
    EXPECT_EQ(listProducts, (QStringList {QString::fromLatin1("Sc?nner \xFC") + strLong.left(10), "Scanner", strLong}));

    // A device of another vendor is never found, whatever the client asks: the daemon is
    // root, and its transfers and resets must not reach a stranger's disk or keyboard.
    EXPECT_EQ(m_client.FindDevices(0x9ABC, 0x30A1, true, &list), 0);
    EXPECT_EQ(m_client.FindDevices(0x9ABC, 0, false, &list), 0);
    EXPECT_EQ(m_client.Reopen(1, 0x9ABC, 0x30A1, "SN-F").ret, SANE_STATUS_IO_ERROR);
    EXPECT_EQ(m_client.FindDevices(0xBEEF, 0, false, &list), 0);
    EXPECT_TRUE(Silent(m_client));
}

TEST_F(UsbScan, CommandsReachTheScannerAndItsFlagsBecomeStatus)
{
    m_pScanner->SetFlags(c_ucClassScan, c_ucCodeLock, c_ucFlagBusy);
    m_pScanner->SetFlags(c_ucClassScan, c_ucCodeUnlock, c_ucFlagBusy);
    SettingInfo info = FlatbedSettings();
    info.feederEnabled = true;
    info.xResolution = info.yResolution = 1200;
    EXPECT_EQ(m_client.Lock(m_iDev, info), SANE_STATUS_DEVICE_BUSY);
    EXPECT_EQ(m_client.StatusOf(USB_SCAN_UNLOCK, m_iDev), SANE_STATUS_IO_ERROR);
    const QByteArray baLock = LockRequest(*m_pScanner);
    ASSERT_EQ(baLock.size(), 55);
    EXPECT_EQ(baLock.left(8), QByteArray::fromHex("1b5305002f008000"));
    EXPECT_EQ(uint8_t(baLock[28]) | uint8_t(baLock[29]) << 8, 600) << "the feeder takes at most 600 dpi";
    EXPECT_EQ(uint8_t(baLock[32]), 4);

    m_pScanner->SetAdfStatus(ADF_STATUS_LOADED);
    USBScanAdfStatusRes adf {};
    ASSERT_TRUE(m_client.AdfStatus(m_iDev, &adf));
    EXPECT_EQ(adf.st, ADF_STATUS_LOADED);
    EXPECT_EQ(adf.result, SANE_STATUS_GOOD);

    m_pScanner->SetProperties(QByteArray::fromHex("0102010203040000efbeadde34120700"));
    USBScanDevicePropertiesRes props {};
    ASSERT_TRUE(m_client.DevProperties(m_iDev, &props));
    EXPECT_EQ(props.result, SANE_STATUS_GOOD);
    EXPECT_EQ(props.st.cmdCode, 0x03);
    EXPECT_EQ(props.st.dataSize, 16);
    EXPECT_EQ(props.st.majorVersion, 1);
    EXPECT_EQ(props.st.supportProcessing, 0xDEADBEEF);
    EXPECT_EQ(props.st.deviceCaps, 0x1234);
    EXPECT_EQ(props.st.sources, 7);

    EXPECT_EQ(m_client.StatusOf(USB_SCAN_POWERON, m_iDev), SANE_STATUS_GOOD);
    EXPECT_EQ(m_client.StatusOf(USB_SCAN_GETSIZES, m_iDev), SANE_STATUS_GOOD);
    EXPECT_EQ(m_client.StatusOf(USB_CLEAR_DEV, USBClearDevEpReq {m_iDev, 0x82}), SANE_STATUS_GOOD);
    EXPECT_EQ(m_client.StatusOf(USB_RESET_DEVEP, USBResetDevEpReq {m_iDev, 0x02}), SANE_STATUS_GOOD);
    EXPECT_EQ(m_client.StatusOf(USB_RESET_DEVEP, USBResetDevEpReq {m_iDev, 0x05}), SANE_STATUS_IO_ERROR);
    EXPECT_EQ(m_pScanner->CountEvents(EMU_CLEAR_HALT), 1);
    EXPECT_EQ(m_pScanner->CountEvents(EMU_RESET_ENDPOINT), 1);

    // Records left from an earlier scan and an abort answer are read past.
    m_pScanner->SetFlags(c_ucClassScan, c_ucCodeUnlock, c_ucFlagsOk);
    m_pScanner->PushStale(UsbScannerEmu::RecordHeader(0, 23 + 100));
    m_pScanner->PushStale(UsbScannerEmu::RecordHeader(9, 23));
    m_pScanner->PushStale(QByteArray::fromHex("1b530f0000008000"));
    EXPECT_EQ(m_client.StatusOf(USB_SCAN_UNLOCK, m_iDev), SANE_STATUS_GOOD);

    // A refused start streams nothing.
    m_pScanner->SetFlags(c_ucClassScan, c_ucCodeStart, c_ucFlagError);
    USBScanStartRes start {};
    ASSERT_TRUE(m_client.StartScan(m_iDev, &start));
    EXPECT_EQ(start.result, SANE_STATUS_IO_ERROR);
    EXPECT_TRUE(Silent(m_client));
    EXPECT_EQ(m_client.StatusOf(USB_CLOSE_DEV, m_iDev), SANE_STATUS_GOOD);
    EXPECT_EQ(m_client.StatusOf(USB_SCAN_UNLOCK, m_iDev), SANE_STATUS_IO_ERROR) << "closed handle";
}

TEST_F(UsbScan, KQMarkerSwitchesTheFamilyBetweenCommands)
{
    SettingInfo info = FlatbedSettings();
    info.bitDepth = 8;
    info.ContrastParam = 40;
    struct stCase
    {
        bool bKQ;
        uint8_t ucMode, ucLevel, ucDuplex, ucContrast;
        unsigned uReadLength;
    };
    for (const stCase &c : {stCase {true, 2, 70, 0, 0, 8}, stCase {false, 0, 0, 1, 40, 200}}) {
        SetKQ(c.bKQ);
        const int iFrom = m_pScanner->Events().size();
        EXPECT_EQ(m_client.Lock(m_iDev, info), SANE_STATUS_GOOD);
        const QByteArray baLock = LockRequest(*m_pScanner);
        ASSERT_EQ(baLock.size(), 55);
        EXPECT_EQ(uint8_t(baLock[9]), c.ucMode) << c.bKQ;
        EXPECT_EQ(uint8_t(baLock[10]), c.ucLevel) << c.bKQ;
        EXPECT_EQ(uint8_t(baLock[33]), c.ucDuplex) << c.bKQ;
        EXPECT_EQ(uint8_t(baLock[46]), c.ucContrast) << c.bKQ;
        const QVector<stUsbEmuEvent> vecEvents = m_pScanner->Events();
        const auto it = std::find_if(vecEvents.begin() + iFrom, vecEvents.end(),
                                     [](const stUsbEmuEvent &ev) { return ev.enKind == EMU_BULK && ev.ucEndpoint == 0x82; });
        ASSERT_NE(it, vecEvents.end());
        EXPECT_EQ(it->uLength, c.uReadLength) << c.bKQ;
    }
}

// A KQ answer is judged by its header's flags: data bytes that arrive short, or not at
// all within the read's time, do not turn a good answer into busy or an error.
TEST_F(UsbScan, KQAnswersAreJudgedByTheirFlagsAlone)
{
    SetKQ(true);
    m_pScanner->SetProperties(QByteArray::fromHex("0102010203040000efbeadde34120700"));
    for (int iShortfall : {4, 16}) {
        m_pScanner->SetDataShortfall(iShortfall);
        USBScanDevicePropertiesRes props {};
        ASSERT_TRUE(m_client.DevProperties(m_iDev, &props));
        EXPECT_EQ(props.result, SANE_STATUS_GOOD) << iShortfall;
        EXPECT_EQ(props.st.dataSize, 16) << iShortfall;
    }
    m_pScanner->SetFlags(c_ucClassScan, c_ucCodeProperties, c_ucFlagError);
    USBScanDevicePropertiesRes props {};
    ASSERT_TRUE(m_client.DevProperties(m_iDev, &props));
    EXPECT_EQ(props.result, SANE_STATUS_IO_ERROR);
}

TEST_F(UsbScan, ShortPacketsAreReassembledWithinTheRetryBudget)
{
    struct stCase
    {
        const char *szName;
        bool bKQ;
        int iPieces;
        bool bSplitHeader;
        int iResult;
    };
    const stCase c_aCases[] = {
        {"general family, three packets", false, 3, false, SANE_STATUS_EOF},
        {"general family, more packets than attempts", false, 12, false, SANE_STATUS_IO_ERROR},
        {"KQ family, many packets and a split header", true, 12, true, SANE_STATUS_EOF},
        {"general family cannot take a split header", false, 1, true, SANE_STATUS_INVAL},
    };
    for (const stCase &c : c_aCases) {
        SCOPED_TRACE(c.szName);
        if (c.bKQ != QFile::exists(m_root.path() + "/scan/kq_ctrl.cfg"))
            SetKQ(c.bKQ);
        stScanScript stScript = PagesScript({{1200}});
        stScript.iPieces = c.iPieces;
        stScript.bSplitHeader = c.bSplitHeader;
        m_pScanner->SetScript(stScript);
        QString strJob;
        const std::vector<USBScanRecordRes> vec = Scan(m_client, m_iDev, &strJob);
        ASSERT_FALSE(vec.empty());
        EXPECT_EQ(vec.back().result, c.iResult);
        EXPECT_EQ(vec.back().dataSize, 0);
        if (c.iResult == SANE_STATUS_EOF) {
            EXPECT_EQ(ReadWholeFile(strJob + "_0.tmp"), UsbScannerEmu::PageBytes(0, 1200));
        }
    }
}

TEST_F(UsbScan, ScansLandAsPageFilesNumberedPerConnection)
{
    const QVector<QVector<int>> vecPages = {{4096, 4096, 700}, {512, 513}, {1}};
    m_pScanner->SetScript(PagesScript(vecPages));
    const pid_t pidListener = m_daemon.Listener();
    pid_t pidConnection = -1;
    for (pid_t pid : m_daemon.Processes()) {
        if (pid != pidListener)
            pidConnection = pid;
    }
    for (int iScan = 0; iScan < 2; ++iScan) {
        QString strJob;
        const std::vector<USBScanRecordRes> vec = Scan(m_client, m_iDev, &strJob);
        EXPECT_EQ(strJob, m_daemon.ScanDir() + QStringLiteral("/ostrelscandata_%1_%2").arg(pidConnection).arg(iScan));
        ASSERT_FALSE(vec.empty());
        EXPECT_EQ(vec.back().st, SCAN_STATUS_END_OF_DATA);
        EXPECT_EQ(vec.back().result, SANE_STATUS_EOF);
        int iPagesBegun = 0;
        for (const USBScanRecordRes &rec : vec) {
            if (rec.st == SCAN_STATUS_BEGIN_OF_PAGE) {
                EXPECT_EQ(rec.fileIndex, iPagesBegun++);
            } else if (rec.dataSize > 0) {
                EXPECT_EQ(rec.fileIndex, iPagesBegun) << "data records name the page plus one";
            }
        }
        EXPECT_EQ(iPagesBegun, vecPages.size());
        for (int iPage = 0; iPage < vecPages.size(); ++iPage)
            EXPECT_EQ(ReadWholeFile(strJob + QStringLiteral("_%1.tmp").arg(iPage)),
                      UsbScannerEmu::PageBytes(iPage, Total(vecPages[iPage])))
                << "page " << iPage;
    }

    QuarnScanClient other;
    ASSERT_TRUE(ConnectClient(other));
    const int iDev = OpenScanner(other);
    ASSERT_GT(iDev, 0);
    m_pScanner->SetScript(PagesScript({{10}}));
    QString strJob;
    Scan(other, iDev, &strJob);
    EXPECT_TRUE(strJob.endsWith("_0"));
    EXPECT_FALSE(strJob.contains(QString::number(pidConnection)));
}

TEST_F(UsbScan, RecordsTheScannerGarblesEndTheScan)
{
    struct stCase
    {
        const char *szName;
        QByteArray baTail;
        int iStatus;
        int iResult;
    };
    const stCase c_aCases[] = {
        {"record shorter than its information", UsbScannerEmu::RecordHeader(0, 10).left(18), 0, SANE_STATUS_INVAL},
        {"status 6 does not exist", UsbScannerEmu::RecordHeader(6, 23), 6, SANE_STATUS_INVAL},
        {"unknown status", UsbScannerEmu::RecordHeader(10, 23), 10, SANE_STATUS_INVAL},
        {"paper jam", UsbScannerEmu::RecordHeader(5, 23), SCAN_STATUS_ABORTED_PAPER_JAM, SANE_STATUS_JAMMED},
        {"out of memory", UsbScannerEmu::RecordHeader(2, 23), SCAN_STATUS_ABORTED_OUT_OF_MEMORY, SANE_STATUS_NO_MEM},
        {"device cancelled", UsbScannerEmu::RecordHeader(4, 23), SCAN_STATUS_ABORTED_BY_DEVICE, SANE_STATUS_CANCELLED},
        {"abort answer", QByteArray::fromHex("1b530f0000008000"), 0, SANE_STATUS_CANCELLED},
    };
    for (const stCase &c : c_aCases) {
        SCOPED_TRACE(c.szName);
        stScanScript stScript = PagesScript({{64}});
        stScript.vecTail = {c.baTail};
        m_pScanner->SetScript(stScript);
        const std::vector<USBScanRecordRes> vec = Scan(m_client, m_iDev);
        ASSERT_FALSE(vec.empty());
        EXPECT_EQ(vec.back().st, c.iStatus);
        EXPECT_EQ(vec.back().result, c.iResult);
        EXPECT_EQ(vec.back().dataSize, 0);
        EXPECT_TRUE(Silent(m_client));
    }
}

TEST_F(UsbScan, AbortMidPageStopsTheStreamAndResetsTheScanner)
{
    stScanScript stScript = PagesScript({{1000}, {512}});
    stScript.bEndless = true;
    m_pScanner->SetScript(stScript);
    USBScanStartRes start {};
    ASSERT_TRUE(m_client.StartScan(m_iDev, &start));
    ASSERT_EQ(start.result, SANE_STATUS_GOOD);
    const QString strJob(start.fileName);
    USBScanRecordRes rec {};
    while (m_client.NextRecord(&rec, c_iWaitMs) && rec.fileIndex < 2) {
    }
    ASSERT_EQ(rec.fileIndex, 2) << "on the second page";
    ASSERT_TRUE(QFile::exists(strJob + "_1.tmp"));

    std::vector<USBScanRecordRes> vecPending;
    EXPECT_EQ(m_client.Abort(m_iDev, start.fileName, &vecPending), SANE_STATUS_GOOD);
    ASSERT_FALSE(vecPending.empty());
    EXPECT_EQ(vecPending.back().st, SCAN_STATUS_ABORTED_BY_REQUEST);
    EXPECT_EQ(vecPending.back().result, SANE_STATUS_CANCELLED);
    EXPECT_TRUE(PageFiles().isEmpty()) << PageFiles().join(' ').toStdString();

    // The scanner heard the abort after the data process's last read, then was reset.
    const QVector<stUsbEmuEvent> vecEvents = m_pScanner->Events();
    const auto itAbort = std::find_if(vecEvents.begin(), vecEvents.end(), [](const stUsbEmuEvent &ev) {
        return ev.enKind == EMU_BULK && ev.baOut.size() >= 3 && uint8_t(ev.baOut[2]) == c_ucCodeAbort;
    });
    ASSERT_NE(itAbort, vecEvents.end());
    ASSERT_NE(itAbort + 1, vecEvents.end());
    EXPECT_EQ((itAbort + 1)->enKind, EMU_RESET_DEVICE);
    EXPECT_EQ(itAbort + 2, vecEvents.end());

    // The stream is whole: a reopen with an unknown serial keeps the old handle ...
    EXPECT_TRUE(Silent(m_client));
    USBReopenDevRes reopen = m_client.Reopen(m_iDev, c_usScannerVendor, c_usScannerProduct, "SN-NONE");
    EXPECT_EQ(reopen.ret, SANE_STATUS_IO_ERROR);
    EXPECT_EQ(m_client.StatusOf(USB_SCAN_UNLOCK, m_iDev), SANE_STATUS_GOOD);
    // ... one with the scanner's serial replaces it.
    reopen = m_client.Reopen(m_iDev, c_usScannerVendor, c_usScannerProduct, c_szSerial);
    ASSERT_EQ(reopen.ret, SANE_STATUS_GOOD);
    EXPECT_EQ(m_client.StatusOf(USB_SCAN_UNLOCK, reopen.fd), SANE_STATUS_GOOD);
    EXPECT_EQ(m_client.StatusOf(USB_SCAN_UNLOCK, m_iDev), SANE_STATUS_IO_ERROR) << "old handle closed";
}

TEST_F(UsbScan, ScannerVanishingMidScanEndsTheStreamWithAnError)
{
    stScanScript stScript = PagesScript({{2048}});
    stScript.bEndless = true;
    m_pScanner->SetScript(stScript);
    USBScanStartRes start {};
    ASSERT_TRUE(m_client.StartScan(m_iDev, &start));
    USBScanRecordRes rec {};
    for (int i = 0; i < 4; ++i)
        ASSERT_TRUE(m_client.NextRecord(&rec, c_iWaitMs));
    m_pScanner->Unplug();
    const std::vector<USBScanRecordRes> vec = ReadStream(m_client);
    ASSERT_FALSE(vec.empty());
    EXPECT_EQ(vec.back().result, SANE_STATUS_IO_ERROR);
    EXPECT_EQ(vec.back().dataSize, 0);
    EXPECT_EQ(m_client.StatusOf(USB_SCAN_UNLOCK, m_iDev), SANE_STATUS_IO_ERROR);
}

TEST_F(UsbScan, CliCollectsEveryPageAndLeavesNothingBehind)
{
    const QVector<QVector<int>> vecPages = {{3000, 3000, 17}, {512}, {100, 100}};
    m_pScanner->SetScript(PagesScript(vecPages));
    QTemporaryDir out;
    ChildProcess cli;
    ASSERT_TRUE(cli.Start(QUARNSCAN_PATH, {"scan", "300e", "30a1", "--out", out.path(), "--serial", c_szSerial,
                                          "--mode", "gray", "--resolution", "600", "--area", "10,20,1000,1400"}));
    ASSERT_TRUE(cli.WaitExit(seconds(30)));
    const QByteArray baOutput = cli.Output();
    EXPECT_EQ(cli.ExitCode(), 0) << baOutput.toStdString();
    EXPECT_TRUE(baOutput.contains("3 page(s) written")) << baOutput.toStdString();
    for (int iPage = 0; iPage < vecPages.size(); ++iPage)
        EXPECT_EQ(ReadWholeFile(out.path() + QStringLiteral("/page_%1.raw").arg(iPage + 1)),
                  UsbScannerEmu::PageBytes(iPage, Total(vecPages[iPage])))
            << "page " << iPage + 1;
    EXPECT_TRUE(PageFiles().isEmpty()) << PageFiles().join(' ').toStdString();

    const QByteArray baLock = LockRequest(*m_pScanner);
    ASSERT_EQ(baLock.size(), 55);
    EXPECT_EQ(uint8_t(baLock[8]), 2) << "grey";
    EXPECT_EQ(uint8_t(baLock[12]) | uint8_t(baLock[13]) << 8, 1000);
    EXPECT_EQ(uint8_t(baLock[20]), 10);
    EXPECT_EQ(uint8_t(baLock[28]) | uint8_t(baLock[29]) << 8, 600);
    const QVector<QByteArray> vecRequests = m_pScanner->Requests();
    ASSERT_FALSE(vecRequests.isEmpty());
    EXPECT_EQ(uint8_t(vecRequests.last()[2]), c_ucCodeUnlock);
}

TEST_F(UsbScan, CliAbortsOnInterrupt)
{
    stScanScript stScript = PagesScript({{256}});
    stScript.bEndless = true;
    m_pScanner->SetScript(stScript);
    QTemporaryDir out;
    ChildProcess cli;
    ASSERT_TRUE(cli.Start(QUARNSCAN_PATH, {"scan", "300e", "--out", out.path()}));
    ASSERT_TRUE(WaitUntil([&] { return m_pScanner->DataRecordsServed() > 20; }, seconds(10)));
    cli.Signal(SIGINT);
    ASSERT_TRUE(cli.WaitExit(seconds(15)));
    const QByteArray baOutput = cli.Output();
    EXPECT_EQ(cli.ExitCode(), 130) << baOutput.toStdString();
    EXPECT_TRUE(baOutput.contains("scan cancelled")) << baOutput.toStdString();
    EXPECT_TRUE(PageFiles().isEmpty()) << PageFiles().join(' ').toStdString();
    EXPECT_EQ(m_pScanner->CountEvents(EMU_RESET_DEVICE), 1);
    EXPECT_EQ(uint8_t(m_pScanner->Requests().last()[2]), c_ucCodeUnlock) << "unlocked through a fresh handle";
}
