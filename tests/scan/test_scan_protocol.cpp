// The daemon's command dispatcher on a socket pair, with stubbed transports: record
// sizes and field orders, short and unknown requests, job names, the record stream, the
// abort, the deletion rules; and the scanner command encoding.
#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QTemporaryDir>

#include <endian.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cstdarg>
#include <cstring>
#include <string>
#include <vector>

#include "QuarnTestSupport.h"
#include "TestSupport.h"
#include "quarn_client.h"
#include "quarn_dispatch.h"
#include "quarn_scanner.h"

using namespace std::chrono;

namespace
{
constexpr int c_iWaitMs = 5000;
constexpr int c_iSilenceMs = 300;
constexpr int c_iFirstStubFd = 100;
// The two devices every connection finds unless a test says otherwise.
constexpr int c_iGoodDev = c_iFirstStubFd;
constexpr int c_iFailingDev = c_iFirstStubFd + 1;
constexpr int c_iEndlessChunk = 64;

struct stStubRecord
{
    ScanStatus st;
    int iLength;
    int iResult;
};

// Set up before a connection forks, so its processes see it; the stubs report their
// calls through a log file shared by every process.
struct stStubSetup
{
    std::string strLog;
    std::vector<stStubRecord> vecRecords;
    bool bEndless = false; // after the records, data records for ever
    int iRecordDelayUs = 0;
    std::vector<std::string> vecSerials; // one per device found
};
stStubSetup s_stub;

void Log(const char *szFormat, ...)
{
    char szLine[256];
    va_list args;
    va_start(args, szFormat);
    const int iLen = std::vsnprintf(szLine, sizeof(szLine) - 1, szFormat, args);
    va_end(args);
    szLine[iLen] = '\n';
    const int fd = open(s_stub.strLog.c_str(), O_WRONLY | O_APPEND | O_CREAT, 0644);
    if (write(fd, szLine, size_t(iLen + 1)) < 0)
        ADD_FAILURE() << "stub log not writable";
    close(fd);
}

char PatternByte(int iRecord, int iOffset)
{
    return char((iRecord * 31 + iOffset) & 0xFF);
}

int StubFind(unsigned short usVid, unsigned short usPid, QUARN_USB_DEV *devs, bool bComparePid)
{
    Log("find %04x %04x %d", usVid, usPid, int(bComparePid));
    for (size_t i = 0; i < s_stub.vecSerials.size(); ++i) {
        devs[i].fd = c_iFirstStubFd + int(i);
        devs[i].dev_des.idVendor = htole16(usVid);
        devs[i].dev_des.idProduct = htole16(uint16_t(0x30A1 + i));
    }
    return int(s_stub.vecSerials.size());
}

void StubDevRes(int fd, const usb_device_descriptor &des, USBFindDevRes *pRes)
{
    std::memset(pRes, 0, sizeof(*pRes));
    pRes->fd = fd;
    pRes->vid = le16toh(des.idVendor);
    pRes->pid = le16toh(des.idProduct);
    std::snprintf(pRes->Manufacturer, sizeof(pRes->Manufacturer), "Maker %d", fd);
    std::snprintf(pRes->Product, sizeof(pRes->Product), "Model %d", fd);
    std::snprintf(pRes->SerialNumber, sizeof(pRes->SerialNumber), "%s",
                  s_stub.vecSerials[size_t(fd - c_iFirstStubFd)].c_str());
}

void StubClose(int fd)
{
    Log("close %d", fd);
}

int StubInit(int fd)
{
    Log("init %d", fd);
    return SANE_STATUS_GOOD;
}

int StubClearHalt(int fd, unsigned uEp)
{
    Log("clear %d %x", fd, uEp);
    return SANE_STATUS_IO_ERROR;
}

int StubResetEp(int fd, unsigned uEp)
{
    Log("resetep %d %x", fd, uEp);
    return SANE_STATUS_GOOD;
}

int StubStart(int fd)
{
    Log("start %d", fd);
    return fd == c_iFailingDev ? SANE_STATUS_IO_ERROR : SANE_STATUS_GOOD;
}

int StubAbort(int fd)
{
    Log("abort %d", fd);
    return SANE_STATUS_GOOD;
}

int StubLock(int fd, const SettingInfo *pInfo)
{
    Log("lock %d %u %d", fd, unsigned(pInfo->xResolution), int(pInfo->feederEnabled));
    return SANE_STATUS_DEVICE_BUSY;
}

int StubUnlock(int fd)
{
    Log("unlock %d", fd);
    return SANE_STATUS_INVAL;
}

int StubPowerOn(int fd)
{
    Log("poweron %d", fd);
    return SANE_STATUS_NO_DOCS;
}

int StubGetSizes(int fd)
{
    Log("sizes %d", fd);
    return SANE_STATUS_COVER_OPEN;
}

int StubAdfStatus(int, ADFStatus *pStatus)
{
    *pStatus = ADF_STATUS_PAPER_JAM;
    return SANE_STATUS_GOOD;
}

int StubProperties(int, ResScanDeviceProperties *pProps)
{
    std::memset(pProps, 0x5A, sizeof(*pProps));
    pProps->cmdStart = 0x1B;
    return SANE_STATUS_GOOD;
}

// The data process's copy counts its own records.
int s_iNextRecord = 0;

int StubRecord(int fd, ScanStatus *pSt, unsigned char **ppBuf, int *piSize, int *piLen)
{
    usleep(useconds_t(s_stub.iRecordDelayUs));
    const int iIndex = s_iNextRecord++;
    Log("record %d %d", fd, iIndex);
    stStubRecord rec {SCAN_STATUS_END_OF_DATA, 0, SANE_STATUS_EOF};
    if (size_t(iIndex) < s_stub.vecRecords.size())
        rec = s_stub.vecRecords[size_t(iIndex)];
    else if (s_stub.bEndless)
        rec = {SCAN_STATUS_OPERATION_CONTINUOUS, c_iEndlessChunk, SANE_STATUS_GOOD};
    *pSt = rec.st;
    *piLen = rec.iLength;
    if (rec.iLength > 0) {
        if (!getScanBuffer(ppBuf, piSize, rec.iLength))
            return SANE_STATUS_NO_MEM;
        for (int i = 0; i < rec.iLength; ++i)
            (*ppBuf)[i] = static_cast<unsigned char>(PatternByte(iIndex, i));
    }
    return rec.iResult;
}

const stQuarnUsbOps c_stStubUsb = {
    StubFind,   StubDevRes,    StubClose,     StubInit,   StubClearHalt,  StubResetEp,    StubStart, StubAbort,
    StubLock,   StubUnlock,    StubAdfStatus, StubPowerOn, StubGetSizes, StubProperties, StubRecord,
};

// A network transport that works: scan data comes from the same record script.
int StubOsl(QuarnSocket *, char **ppReply, OSL_CMD_TYPE type, int *piLen)
{
    *ppReply = static_cast<char *>(std::malloc(5));
    std::memcpy(*ppReply, "<xml>", 5);
    *piLen = 5;
    return type == OSL_CMD_SUMMARY ? SANE_STATUS_GOOD : SANE_STATUS_INVAL;
}

// Hands out data connections 40, 41, ... and notes which one it was asked to close.
int s_iNextDataFd = 40;

int StubNetStart(QuarnSocket *pSocket, const SettingInfo *)
{
    Log("netstart %d", pSocket->tcpFromScanner);
    pSocket->tcpFromScanner = s_iNextDataFd++;
    return SANE_STATUS_GOOD;
}

int StubNetRecord(QuarnSocket *, ScanStatus *pSt, unsigned char **ppBuf, int *piSize, int *piLen)
{
    return StubRecord(0, pSt, ppBuf, piSize, piLen);
}

int StubNetAbort(QuarnSocket *pSocket)
{
    Log("netabort %d", pSocket->tcpFromScanner);
    return SANE_STATUS_GOOD;
}

int StubNetAdf(QuarnSocket *, ADFStatus *pStatus)
{
    *pStatus = ADF_STATUS_LOADED;
    return SANE_STATUS_GOOD;
}

int StubNetCaps(QuarnSocket *, ScannerCapabilities *pCaps)
{
    pCaps->maxres = 1200;
    return SANE_STATUS_GOOD;
}

const stQuarnNetOps c_stStubNet = {StubOsl, StubNetStart, StubNetRecord, StubNetAbort, StubNetAdf, StubNetCaps};

bool Silent(QuarnScanClient &client, int iMs = c_iSilenceMs)
{
    pollfd pfd {client.Socket(), POLLIN, 0};
    return poll(&pfd, 1, iMs) == 0;
}

template <typename T>
bool Send(QuarnScanClient &client, scanCommandType code, const T &req)
{
    return client.SendCommand(code, &req, sizeof(req));
}

template <typename T>
T Recv(QuarnScanClient &client)
{
    T rec {};
    EXPECT_TRUE(client.RecvRaw(&rec, sizeof(rec), c_iWaitMs)) << "no " << sizeof(rec) << "-byte answer";
    return rec;
}

class Dispatcher : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(m_dir.isValid());
        QDir().mkpath(m_dir.path() + "/scan");
        m_strScanDir = (m_dir.path() + "//scan").toStdString();
        s_stub = {};
        s_stub.strLog = (m_dir.path() + "/calls.log").toStdString();
        s_stub.vecSerials = {"GOOD", "FAILING"};
    }

    void TearDown() override
    {
        for (pid_t pid : m_vecConnections) {
            if (!WaitUntil([pid] { return waitpid(pid, nullptr, WNOHANG) != 0; }, seconds(5))) {
                ADD_FAILURE() << "connection process " << pid << " did not end";
                kill(pid, SIGKILL);
                waitpid(pid, nullptr, 0);
            }
        }
    }

    // A connection process as the daemon forks it after accept; it ends when the client
    // closes its end.
    pid_t Connect(QuarnScanClient &client, const stQuarnNetOps *pNet = &c_stQuarnNetOps)
    {
        int aiPair[2];
        if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, aiPair) != 0)
            return -1;
        const pid_t pid = fork();
        if (pid == 0) {
            close(aiPair[0]);
            stQuarnConnection conn;
            conn.iSocket = aiPair[1];
            conn.strScanDir = m_strScanDir;
            conn.pUsb = &c_stStubUsb;
            conn.pNet = pNet;
            QuarnServeConnection(conn);
            _exit(0);
        }
        close(aiPair[1]);
        client.Attach(aiPair[0]);
        m_vecConnections.push_back(pid);
        return pid;
    }

    QStringList Calls() const
    {
        return QString::fromLatin1(ReadWholeFile(QString::fromStdString(s_stub.strLog))).split('\n', Qt::SkipEmptyParts);
    }

    // A device handle is good only on the connection that found it: find the stub
    // devices, then start the call log afresh.
    void FindStubDevices(QuarnScanClient &client)
    {
        std::vector<USBFindDevRes> list;
        ASSERT_EQ(client.FindDevices(0x300E, 0, false, &list), int(s_stub.vecSerials.size()));
        QFile::remove(QString::fromStdString(s_stub.strLog));
    }

    QString ScanFile(const QString &strName) const { return QString::fromStdString(m_strScanDir) + "/" + strName; }

    QTemporaryDir m_dir;
    std::string m_strScanDir;
    std::vector<pid_t> m_vecConnections;
};

QString JobName(const std::string &strScanDir, pid_t pid, int iIndex)
{
    return QString::fromStdString(strScanDir) + QStringLiteral("/ostrelscandata_%1_%2").arg(pid).arg(iIndex);
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
}  // namespace

TEST(ScanLockRequest, SettingsBecomeTheDeviceFields)
{
    struct stCase
    {
        const char *szName;
        uint8_t ucDepth;
        CompressionType enComp;
        bool bFeeder;
        uint8_t ucIsClient;
        uint16_t usDpi;
        bool bKQ;
        // expected
        uint8_t ucDepthOut, ucMode, ucLevel, ucSource, ucDuplex, ucContrast;
        uint16_t usDpiOut;
    };
    const stCase c_aCases[] = {
        {"black and white drops compression", 1, COMPRESSION_JPEG, false, 0, 300, false, 1, 0, 0, 1, 1, 9, 300},
        {"grey without compression", 8, COMPRESSION_NONE, false, 0, 300, false, 2, 0, 0, 1, 1, 9, 300},
        {"colour with wicked compression", 24, COMPRESSION_WICKED, false, 0, 600, false, 3, 1, 70, 1, 1, 9, 600},
        {"feeder single page at 1200 dpi", 24, COMPRESSION_JPEG, true, 0, 1200, false, 3, 2, 70, 4, 1, 9, 600},
        {"feeder multi page", 8, COMPRESSION_NONE, true, 1, 300, false, 2, 0, 0, 3, 1, 9, 300},
        {"flatbed keeps 1200 dpi", 24, COMPRESSION_NONE, false, 0, 1200, false, 3, 0, 0, 1, 1, 9, 1200},
        {"KQ overrides", 8, COMPRESSION_NONE, false, 0, 300, true, 2, 2, 70, 1, 0, 0, 300},
        {"KQ black and white", 1, COMPRESSION_NONE, true, 1, 1200, true, 1, 2, 70, 3, 0, 0, 600},
    };
    for (const stCase &c : c_aCases) {
        SettingInfo info = FlatbedSettings();
        info.bitDepth = c.ucDepth;
        info.compType = c.enComp;
        info.feederEnabled = c.bFeeder;
        info.isClient = c.ucIsClient;
        info.xResolution = info.yResolution = c.usDpi;
        info.ContrastParam = 9;
        const ReqScanLock req = BuildLockRequest(info, c.bKQ);
        const auto *p = reinterpret_cast<const uint8_t *>(&req);
        SCOPED_TRACE(c.szName);
        EXPECT_EQ(p[8], c.ucDepthOut);
        EXPECT_EQ(p[9], c.ucMode);
        EXPECT_EQ(p[10], c.ucLevel);
        EXPECT_EQ(p[32], c.ucSource);
        EXPECT_EQ(p[33], c.ucDuplex);
        EXPECT_EQ(p[46], c.ucContrast);
        EXPECT_EQ(p[28] | p[29] << 8, c.usDpiOut);
        EXPECT_EQ(p[30] | p[31] << 8, c.usDpiOut);
    }
}

TEST(ScanLockRequest, FixedFieldsAndGeometryAreLittleEndian)
{
    SettingInfo info = FlatbedSettings();
    info.width = 0x01020304;
    info.height = 0x0A0B0C0D;
    info.xStart = 7;
    info.yStart = 0x100;
    info.backgroundRemoval = 5;
    info.backgroundRemovalParam = 33;
    info.BrightnessParam = 44;
    const ReqScanLock req = BuildLockRequest(info, false);
    const auto *p = reinterpret_cast<const uint8_t *>(&req);
    const uint8_t c_aucHeader[] = {0x1B, 0x53, 0x05, 0x00, 47, 0x00, 0x80, 0x00};
    EXPECT_EQ(0, std::memcmp(p, c_aucHeader, sizeof(c_aucHeader)));
    EXPECT_EQ(p[11], 3);
    const uint8_t c_aucGeometry[] = {4, 3, 2, 1, 0x0D, 0x0C, 0x0B, 0x0A, 7, 0, 0, 0, 0, 1, 0, 0};
    EXPECT_EQ(0, std::memcmp(p + 12, c_aucGeometry, sizeof(c_aucGeometry)));
    EXPECT_EQ(p[41], 1);
    EXPECT_EQ(p[42], 33);
    EXPECT_EQ(p[45], 44);
    for (int i : {34, 35, 36, 37, 38, 39, 40, 43, 44, 47, 48, 49, 50, 51, 52, 53, 54})
        EXPECT_EQ(p[i], 0) << "offset " << i;
}

TEST(ScanResponseFlags, MapToStatusPerCommand)
{
    for (int iFlags = 0; iFlags <= 0xFF; ++iFlags) {
        const bool bError = (iFlags >= 0x81 && iFlags <= 0x86) || iFlags == 0x89;
        const int iExpected = bError ? SANE_STATUS_IO_ERROR : SANE_STATUS_GOOD;
        if (iFlags == 0x88)
            continue;
        EXPECT_EQ(ConvertResponseFlagToErrorCode(uint8_t(iFlags), CMD_TYPE_SCAN_LOCK), iExpected) << iFlags;
        EXPECT_EQ(ConvertResponseFlagToErrorCode(uint8_t(iFlags), CMD_TYPE_SCAN_START), iExpected) << iFlags;
    }
    EXPECT_EQ(ConvertResponseFlagToErrorCode(0x88, CMD_TYPE_SCAN_LOCK), SANE_STATUS_DEVICE_BUSY);
    for (CommandType type : {CMD_TYPE_SCAN_START, CMD_TYPE_SCAN_DEVICE_PROPERTIES, CMD_TYPE_SCAN_ADF_STATUS,
                             CMD_TYPE_SCAN_UNLOCK, CMD_TYPE_SCAN_GET_SCAN_SIZES, CMD_TYPE_SCAN_POWER_ON_COMMAND})
        EXPECT_EQ(ConvertResponseFlagToErrorCode(0x88, type), SANE_STATUS_IO_ERROR) << type;
}

TEST(ScanFileDeletion, DeleteCommandTakesOnlyPageFilesOfTheScanDirectory)
{
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString strScan = dir.path() + "/scan";
    QDir().mkpath(strScan + "/sub");
    QDir().mkpath(strScan + "/ostrelscandata_dir.tmp");
    const QString strOutside = dir.path() + "/ostrelscandata_1_0_0.tmp";
    WriteWholeFile(strOutside, "keep");
    QFile::link(strOutside, strScan + "/ostrelscandata_link.tmp");
    const std::string strScanDir = (dir.path() + "//scan").toStdString();
    struct stCase
    {
        QString strCreate; // relative to the scan directory
        QString strAsked;  // full path sent
        bool bRemoved;
    };
    const QString strVia = QString::fromStdString(strScanDir);
    const stCase c_aCases[] = {
        {"ostrelscandata_1_0_0.tmp", strVia + "/ostrelscandata_1_0_0.tmp", true},
        {"ostrelscandata_1_0_1.tmp", dir.path() + "/scan/sub/../ostrelscandata_1_0_1.tmp", true},
        {"other_1.tmp", strVia + "/other_1.tmp", false},
        {"ostrelscandata_1_0_2.dat", strVia + "/ostrelscandata_1_0_2.dat", false},
        {"sub/ostrelscandata_1_0_3.tmp", strVia + "/sub/ostrelscandata_1_0_3.tmp", false},
        {"ostrelscandata_1_0_4.tmp", "ostrelscandata_1_0_4.tmp", false},
        {QString(), strVia + "/ostrelscandata_link.tmp", false},
        {QString(), strVia + "/ostrelscandata_dir.tmp", false},
        {QString(), strOutside, false},
    };
    for (const stCase &c : c_aCases) {
        if (!c.strCreate.isEmpty()) {
            ASSERT_TRUE(WriteWholeFile(strScan + "/" + c.strCreate, "page"));
        }
        EXPECT_EQ(QuarnDeleteScanFile(strScanDir, c.strAsked.toLocal8Bit().constData(), getuid()), c.bRemoved)
            << c.strAsked.toStdString();
        if (!c.strCreate.isEmpty()) {
            EXPECT_EQ(QFile::exists(strScan + "/" + c.strCreate), !c.bRemoved) << c.strCreate.toStdString();
        }
    }
    EXPECT_TRUE(QFile::exists(strOutside));
    EXPECT_TRUE(QFileInfo(strScan + "/ostrelscandata_link.tmp").isSymLink());
    EXPECT_TRUE(QFileInfo(strScan + "/ostrelscandata_dir.tmp").isDir());
}

TEST(ScanFileDeletion, AbortTakesOnlyTheJobsNumberedPages)
{
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString strScan = dir.path() + "/scan";
    QDir().mkpath(strScan);
    const std::string strScanDir = (dir.path() + "//scan").toStdString();
    const QString strJob = QString::fromStdString(strScanDir) + "/ostrelscandata_7_0";
    const QStringList listGone = {"ostrelscandata_7_0_0.tmp", "ostrelscandata_7_0_12.tmp"};
    const QStringList listKept = {"ostrelscandata_7_01_0.tmp", "ostrelscandata_7_0_x.tmp", "ostrelscandata_7_0_.tmp",
                                  "ostrelscandata_7_0_3.tmp.bak", "ostrelscandata_7_0", "ostrelscandata_8_0_0.tmp"};
    for (const QString &str : listGone + listKept)
        ASSERT_TRUE(WriteWholeFile(strScan + "/" + str, "page"));
    QFile::link(strScan + "/ostrelscandata_8_0_0.tmp", strScan + "/ostrelscandata_7_0_5.tmp");

    deleteFileList(strScanDir, "", getuid());
    EXPECT_EQ(QDir(strScan).entryList(QDir::Files | QDir::System).size(), listGone.size() + listKept.size() + 1);
    deleteFileList(strScanDir, strJob.toLocal8Bit().constData(), getuid());
    for (const QString &str : listGone)
        EXPECT_FALSE(QFile::exists(strScan + "/" + str)) << str.toStdString();
    for (const QString &str : listKept)
        EXPECT_TRUE(QFile::exists(strScan + "/" + str)) << str.toStdString();
    EXPECT_TRUE(QFileInfo(strScan + "/ostrelscandata_7_0_5.tmp").isSymLink());
}

TEST_F(Dispatcher, UsbCommandsAnswerTheirRecordsInOrder)
{
    QuarnScanClient client;
    ASSERT_GT(Connect(client), 0);
    FindStubDevices(client);
    EXPECT_EQ(client.StatusOf(USB_OPEN_DEV, c_iGoodDev), SANE_STATUS_GOOD);
    EXPECT_EQ(client.StatusOf(USB_CLOSE_DEV, c_iFailingDev), SANE_STATUS_GOOD);
    EXPECT_EQ(client.StatusOf(USB_CLEAR_DEV, USBClearDevEpReq {c_iGoodDev, 0x82}), SANE_STATUS_IO_ERROR);
    EXPECT_EQ(client.StatusOf(USB_RESET_DEVEP, USBResetDevEpReq {c_iGoodDev, 0x02}), SANE_STATUS_GOOD);
    SettingInfo info = FlatbedSettings();
    info.feederEnabled = 7;
    EXPECT_EQ(client.Lock(c_iGoodDev, info), SANE_STATUS_DEVICE_BUSY);
    EXPECT_EQ(client.StatusOf(USB_SCAN_UNLOCK, c_iGoodDev), SANE_STATUS_INVAL);
    EXPECT_EQ(client.StatusOf(USB_SCAN_POWERON, c_iGoodDev), SANE_STATUS_NO_DOCS);
    EXPECT_EQ(client.StatusOf(USB_SCAN_GETSIZES, c_iGoodDev), SANE_STATUS_COVER_OPEN);

    USBScanAdfStatusRes adf {};
    ASSERT_TRUE(client.AdfStatus(c_iGoodDev, &adf));
    EXPECT_EQ(adf.st, ADF_STATUS_PAPER_JAM);
    EXPECT_EQ(adf.result, SANE_STATUS_GOOD);
    USBScanDevicePropertiesRes props {};
    ASSERT_TRUE(client.DevProperties(c_iGoodDev, &props));
    EXPECT_EQ(props.st.cmdStart, 0x1B);
    EXPECT_EQ(props.st.sources, 0x5A);
    EXPECT_EQ(props.result, SANE_STATUS_GOOD);
    // A number this connection never handed out (another client's handle, its own
    // socket, a closed one) reaches the device layer as no handle at all.
    for (int iStranger : {5, 0, c_iFailingDev}) {
        EXPECT_EQ(client.StatusOf(USB_CLEAR_DEV, USBClearDevEpReq {iStranger, 0x82}), SANE_STATUS_IO_ERROR);
        EXPECT_EQ(client.StatusOf(USB_CLOSE_DEV, iStranger), SANE_STATUS_GOOD);
    }
    EXPECT_TRUE(Silent(client));

    const QStringList listExpected = {"init 100",     "close 101",    "clear 100 82", "resetep 100 2",
                                      "lock 100 300 7", "unlock 100", "poweron 100",  "sizes 100",
                                      "clear -1 82",  "clear -1 82",  "clear -1 82"};
    EXPECT_EQ(Calls(), listExpected);
}

TEST_F(Dispatcher, FindDevListsDevicesWithUnsignedIds)
{
    s_stub.vecSerials = {"AAA", "BBB"};
    QuarnScanClient client;
    ASSERT_GT(Connect(client), 0);
    std::vector<USBFindDevRes> list;
    ASSERT_EQ(client.FindDevices(int(0xFFFF300E), 0x30A1, false, &list), 2);
    EXPECT_EQ(list[0].fd, c_iFirstStubFd);
    EXPECT_EQ(list[1].fd, c_iFirstStubFd + 1);
    EXPECT_EQ(list[1].vid, 0x300E);
    EXPECT_EQ(list[1].pid, 0x30A2);
    EXPECT_STREQ(list[1].SerialNumber, "BBB");
    EXPECT_STREQ(list[0].Product, "Model 100");
    // Any nonzero byte asks for the product id too.
    USBFindDevReq req {0x300E, 0x30A2, 2};
    ASSERT_TRUE(Send(client, USB_FIND_DEV, req));
    EXPECT_EQ(Recv<int32_t>(client), 2);
    for (int i = 0; i < 2; ++i)
        Recv<USBFindDevRes>(client);
    EXPECT_TRUE(Silent(client));
    // Another vendor's devices are not even looked for.
    EXPECT_EQ(client.FindDevices(0x9ABC, 0x30A1, false, &list), 0);
    EXPECT_EQ(Calls(), (QStringList {"find 300e 30a1 0", "find 300e 30a2 1"}));

    s_stub.vecSerials.clear();
    QuarnScanClient none;
    ASSERT_GT(Connect(none), 0);
    EXPECT_EQ(none.FindDevices(0x300E, 0x30A1, true, &list), 0);
    EXPECT_TRUE(Silent(none));
}

TEST_F(Dispatcher, ReopenHandsOutTheFirstMatchingSerialAndClosesTheRest)
{
    s_stub.vecSerials = {"A", "B", "B", std::string(1023, 'L')};
    QuarnScanClient client;
    ASSERT_GT(Connect(client), 0);
    FindStubDevices(client);
    USBReopenDevRes res = client.Reopen(c_iFirstStubFd + 3, 0x300E, 0x30A1, "B");
    EXPECT_EQ(res.ret, SANE_STATUS_GOOD);
    EXPECT_EQ(res.fd, c_iFirstStubFd + 1);
    EXPECT_EQ(Calls(), (QStringList {"find 300e 30a1 1", "close 100", "close 103", "init 101", "close 102",
                                     "close 103"}));

    // An unknown serial keeps the old handle; every handle of the search is closed.
    QFile::remove(QString::fromStdString(s_stub.strLog));
    res = client.Reopen(c_iFirstStubFd + 1, 0x300E, 0x30A1, "Z");
    EXPECT_EQ(res.ret, SANE_STATUS_IO_ERROR);
    EXPECT_EQ(Calls(), (QStringList {"find 300e 30a1 1", "close 100", "close 101", "close 102", "close 103"}));

    // A serial that fills the whole array is cut before its last byte.
    QFile::remove(QString::fromStdString(s_stub.strLog));
    USBReopenDevReq req {};
    req.devfd = c_iFirstStubFd + 1;
    req.vid = 0x300E;
    req.pid = 0x30A1;
    std::memset(req.SerialNumber, 'L', sizeof(req.SerialNumber));
    ASSERT_TRUE(Send(client, USB_REOPEN_DEV, req));
    res = Recv<USBReopenDevRes>(client);
    EXPECT_EQ(res.ret, SANE_STATUS_GOOD);
    EXPECT_EQ(res.fd, c_iFirstStubFd + 3);
}

TEST_F(Dispatcher, UnknownCodesAreSkippedAndShortRequestsUnanswered)
{
    QuarnScanClient client;
    ASSERT_GT(Connect(client), 0);
    const int32_t c_aiUnknown[] = {20, -1, 0x7FFFFFFF};
    for (int32_t iCode : c_aiUnknown)
        ASSERT_TRUE(client.SendRaw(&iCode, sizeof(iCode)));
    EXPECT_EQ(client.StatusOf(USB_OPEN_DEV, 3), SANE_STATUS_GOOD);
    EXPECT_TRUE(Silent(client));

    // A record split across sends is read whole.
    const int32_t iCode = USB_SCAN_UNLOCK;
    const int32_t iDev = 4;
    ASSERT_TRUE(client.SendRaw(&iCode, 2));
    usleep(50000);
    ASSERT_TRUE(client.SendRaw(reinterpret_cast<const char *>(&iCode) + 2, 2));
    ASSERT_TRUE(client.SendRaw(&iDev, 1));
    usleep(50000);
    ASSERT_TRUE(client.SendRaw(reinterpret_cast<const char *>(&iDev) + 1, 3));
    EXPECT_EQ(Recv<int32_t>(client), SANE_STATUS_INVAL);

    struct stShort
    {
        scanCommandType code;
        size_t nBytes;
        size_t nAnswer;
    };
    const stShort c_aShort[] = {{USB_FIND_DEV, 11, 0},    {USB_CLOSE_DEV, 3, 0},        {USB_SCAN_LOCK, 39, 0},
                                {USB_SCAN_ABORT, 259, 0}, {CMD_DELETE_FILE, 255, 0},    {TCP_SCAN_START, 55, 0},
                                {USB_REOPEN_DEV, 1035, sizeof(USBReopenDevRes)}};
    for (const stShort &c : c_aShort) {
        QuarnScanClient shortClient;
        ASSERT_GT(Connect(shortClient), 0);
        const std::vector<char> vecBytes(c.nBytes, '\0');
        ASSERT_TRUE(shortClient.SendCommand(c.code, vecBytes.data(), vecBytes.size()));
        shutdown(shortClient.Socket(), SHUT_WR);
        std::vector<char> vecAnswer(c.nAnswer + 1);
        ssize_t nGot = 0;
        while (WaitUntil([&] { return !Silent(shortClient, 10); }, seconds(5))) {
            const ssize_t r = recv(shortClient.Socket(), vecAnswer.data() + nGot, vecAnswer.size() - size_t(nGot), 0);
            if (r <= 0)
                break;
            nGot += r;
        }
        EXPECT_EQ(size_t(nGot), c.nAnswer) << "code " << c.code;
        if (c.nAnswer) {
            EXPECT_EQ(reinterpret_cast<const USBReopenDevRes *>(vecAnswer.data())->ret, SANE_STATUS_IO_ERROR);
        }
    }
    EXPECT_FALSE(Calls().contains("close 0"));
}

TEST_F(Dispatcher, ScanJobsAreNamedPerConnectionAndFailedStartsStreamNothing)
{
    s_stub.vecRecords = {{SCAN_STATUS_BEGIN_OF_PAGE, 0, 0}, {SCAN_STATUS_OPERATION_CONTINUOUS, 100, 0},
                         {SCAN_STATUS_OPERATION_CONTINUOUS, 50, 0}, {SCAN_STATUS_END_OF_PAGE, 0, 0},
                         {SCAN_STATUS_BEGIN_OF_PAGE, 0, 0}, {SCAN_STATUS_OPERATION_CONTINUOUS, 10, 0}};
    QuarnScanClient client;
    const pid_t pid = Connect(client);
    ASSERT_GT(pid, 0);
    FindStubDevices(client);
    USBScanStartRes start {};
    ASSERT_TRUE(client.StartScan(c_iFailingDev, &start));
    EXPECT_EQ(start.result, SANE_STATUS_IO_ERROR);
    EXPECT_EQ(QString(start.fileName), JobName(m_strScanDir, pid, 0));
    EXPECT_TRUE(Silent(client));

    ASSERT_TRUE(client.StartScan(c_iGoodDev, &start));
    EXPECT_EQ(start.result, SANE_STATUS_GOOD);
    const QString strJob = JobName(m_strScanDir, pid, 1);
    EXPECT_EQ(QString(start.fileName), strJob);
    const std::vector<USBScanRecordRes> vec = ReadStream(client);
    const std::vector<std::array<int, 4>> vecExpected = {
        {SCAN_STATUS_BEGIN_OF_PAGE, 0, 0, 0},        {SCAN_STATUS_OPERATION_CONTINUOUS, 1, 100, 0},
        {SCAN_STATUS_OPERATION_CONTINUOUS, 1, 50, 0}, {SCAN_STATUS_END_OF_PAGE, 1, 0, 0},
        {SCAN_STATUS_BEGIN_OF_PAGE, 1, 0, 0},        {SCAN_STATUS_OPERATION_CONTINUOUS, 2, 10, 0},
        {SCAN_STATUS_END_OF_DATA, 2, 0, SANE_STATUS_EOF}};
    ASSERT_EQ(vec.size(), vecExpected.size());
    for (size_t i = 0; i < vec.size(); ++i) {
        const std::array<int, 4> aiGot = {vec[i].st, vec[i].fileIndex, vec[i].dataSize, vec[i].result};
        EXPECT_EQ(aiGot, vecExpected[i]) << "record " << i;
    }
    QByteArray baPage0;
    for (int i = 0; i < 100; ++i)
        baPage0.append(PatternByte(1, i));
    for (int i = 0; i < 50; ++i)
        baPage0.append(PatternByte(2, i));
    EXPECT_EQ(ReadWholeFile(strJob + "_0.tmp"), baPage0);
    EXPECT_EQ(ReadWholeFile(strJob + "_1.tmp").size(), 10);
    const QFile::Permissions c_perm0600 = QFile::ReadOwner | QFile::WriteOwner | QFile::ReadUser | QFile::WriteUser;
    EXPECT_TRUE(QFileInfo(strJob + "_0.tmp").permissions() == c_perm0600);
    EXPECT_FALSE(QFile::exists(strJob));

    // The client collects a page and has the daemon delete it.
    ASSERT_TRUE(client.DeleteFile((strJob + "_0.tmp").toStdString()));
    EXPECT_EQ(client.StatusOf(USB_OPEN_DEV, c_iGoodDev), SANE_STATUS_GOOD);
    EXPECT_FALSE(QFile::exists(strJob + "_0.tmp"));

    QuarnScanClient second;
    const pid_t pidSecond = Connect(second);
    FindStubDevices(second);
    ASSERT_TRUE(second.StartScan(c_iFailingDev, &start));
    EXPECT_EQ(QString(start.fileName), JobName(m_strScanDir, pidSecond, 0));
    EXPECT_NE(pidSecond, pid);
}

TEST_F(Dispatcher, StreamEndsCleanlyWhenPagesCannotBeWritten)
{
    struct stCase
    {
        const char *szName;
        std::vector<stStubRecord> vecRecords;
        bool bPagePlanted; // a directory already has the first page's name
        std::array<int, 4> aiLast; // st, fileIndex, dataSize, result
        size_t nRecords;
    };
    const stCase c_aCases[] = {
        {"data before any page", {{SCAN_STATUS_OPERATION_CONTINUOUS, 20, 0}}, false,
         {SCAN_STATUS_OPERATION_CONTINUOUS, 0, 0, SANE_STATUS_IO_ERROR}, 1},
        {"page file cannot be created", {{SCAN_STATUS_BEGIN_OF_PAGE, 0, 0}}, true,
         {SCAN_STATUS_OPERATION_CONTINUOUS, 0, 0, SANE_STATUS_ACCESS_DENIED}, 1},
        {"device error carries no length", {{SCAN_STATUS_BEGIN_OF_PAGE, 0, 0}, {SCAN_STATUS_OPERATION_CONTINUOUS, 30,
                                                                                 SANE_STATUS_IO_ERROR}},
         false, {SCAN_STATUS_OPERATION_CONTINUOUS, 1, 0, SANE_STATUS_IO_ERROR}, 2},
        {"jam ends the stream", {{SCAN_STATUS_BEGIN_OF_PAGE, 0, 0}, {SCAN_STATUS_ABORTED_PAPER_JAM, 0,
                                                                     SANE_STATUS_JAMMED}},
         false, {SCAN_STATUS_ABORTED_PAPER_JAM, 1, 0, SANE_STATUS_JAMMED}, 2},
    };
    for (const stCase &c : c_aCases) {
        SCOPED_TRACE(c.szName);
        s_stub.vecRecords = c.vecRecords;
        QuarnScanClient client;
        const pid_t pid = Connect(client);
        ASSERT_GT(pid, 0);
        FindStubDevices(client);
        if (c.bPagePlanted) {
            ASSERT_TRUE(QDir().mkpath(JobName(m_strScanDir, pid, 0) + "_0.tmp"));
        }
        USBScanStartRes start {};
        ASSERT_TRUE(client.StartScan(c_iGoodDev, &start));
        const std::vector<USBScanRecordRes> vec = ReadStream(client);
        ASSERT_EQ(vec.size(), c.nRecords);
        const USBScanRecordRes &last = vec.back();
        EXPECT_EQ((std::array<int, 4> {last.st, last.fileIndex, last.dataSize, last.result}), c.aiLast);
        EXPECT_TRUE(Silent(client));
        EXPECT_EQ(client.StatusOf(USB_OPEN_DEV, c_iGoodDev), SANE_STATUS_GOOD);
    }
}

TEST_F(Dispatcher, AbortStopsTheStreamBetweenRecordsThenAnswers)
{
    s_stub.vecRecords = {{SCAN_STATUS_BEGIN_OF_PAGE, 0, 0}};
    s_stub.bEndless = true;
    s_stub.iRecordDelayUs = 2000;
    QuarnScanClient client;
    const pid_t pid = Connect(client);
    ASSERT_GT(pid, 0);
    FindStubDevices(client);
    USBScanStartRes start {};
    ASSERT_TRUE(client.StartScan(c_iGoodDev, &start));
    ASSERT_EQ(start.result, SANE_STATUS_GOOD);
    const QString strJob(start.fileName);
    USBScanRecordRes rec {};
    for (int i = 0; i < 6; ++i)
        ASSERT_TRUE(client.NextRecord(&rec, c_iWaitMs));
    EXPECT_EQ(rec.fileIndex, 1);
    const QString strOtherJob = JobName(m_strScanDir, pid, 11) + "_0.tmp";
    ASSERT_TRUE(WriteWholeFile(strOtherJob, "other job"));

    std::vector<USBScanRecordRes> vecPending;
    EXPECT_EQ(client.Abort(c_iGoodDev, start.fileName, &vecPending), SANE_STATUS_GOOD);
    ASSERT_FALSE(vecPending.empty());
    for (const USBScanRecordRes &r : vecPending)
        EXPECT_TRUE(r.st == SCAN_STATUS_OPERATION_CONTINUOUS || r.result == SANE_STATUS_CANCELLED) << r.st;
    const USBScanRecordRes &last = vecPending.back();
    EXPECT_EQ(last.st, SCAN_STATUS_ABORTED_BY_REQUEST);
    EXPECT_EQ(last.result, SANE_STATUS_CANCELLED);
    EXPECT_EQ(last.dataSize, 0);
    EXPECT_FALSE(QFile::exists(strJob + "_0.tmp"));
    EXPECT_TRUE(QFile::exists(strOtherJob));

    // The device abort comes after the data process's last read, and nothing follows.
    const QStringList listCalls = Calls();
    ASSERT_TRUE(listCalls.contains("abort 100"));
    EXPECT_EQ(listCalls.last(), "abort 100");
    EXPECT_TRUE(Silent(client));
    EXPECT_EQ(client.StatusOf(USB_OPEN_DEV, c_iGoodDev), SANE_STATUS_GOOD);

    // An abort without a running scan and without a job name only answers.
    EXPECT_EQ(client.Abort(c_iGoodDev, ""), SANE_STATUS_GOOD);
    EXPECT_TRUE(QFile::exists(strOtherJob));
    USBScanAbortReq req {};
    req.devfd = c_iGoodDev;
    std::memset(req.fileName, 'x', sizeof(req.fileName));
    ASSERT_TRUE(Send(client, USB_SCAN_ABORT, req));
    EXPECT_EQ(Recv<int32_t>(client), SANE_STATUS_GOOD);
    EXPECT_TRUE(Silent(client));
}

// Addresses that are not dotted IPv4 text never lead to a connection (not even to
// 0.0.0.0, which would be this machine).
TEST_F(Dispatcher, NetworkCommandsRefuseWhatIsNoAddress)
{
    QuarnScanClient client;
    const pid_t pid = Connect(client);
    ASSERT_GT(pid, 0);
    TCPOSLReq osl {};
    osl.socket.tcpFromScanner = -1;
    std::memset(osl.socket.szScannerIP, '1', sizeof(osl.socket.szScannerIP));
    osl.type = OSL_CMD_SUMMARY;
    ASSERT_TRUE(Send(client, TCP_SEND_OSL, osl));
    const TCPOSLRes oslRes = Recv<TCPOSLRes>(client);
    EXPECT_EQ(oslRes.result, SANE_STATUS_IO_ERROR);
    EXPECT_EQ(oslRes.bufferLen, 0);

    TCPScanStartReq start {};
    start.socket.tcpFromScanner = -1;
    start.info = FlatbedSettings();
    ASSERT_TRUE(Send(client, TCP_SCAN_START, start));
    const TCPScanStartRes startRes = Recv<TCPScanStartRes>(client);
    EXPECT_EQ(startRes.result, SANE_STATUS_IO_ERROR);
    EXPECT_EQ(startRes.socketDataFd, -1);
    EXPECT_EQ(QString(startRes.fileName), JobName(m_strScanDir, pid, 0));

    TCPScanAbortReq abort {};
    abort.socket.tcpFromScanner = -1;
    ASSERT_TRUE(Send(client, TCP_SCAN_ABORT, abort));
    EXPECT_EQ(Recv<int32_t>(client), SANE_STATUS_IO_ERROR);
    for (const char *szAddress : {"127.0.0.256", "127.1", "::1", " 127.0.0.2", "scanner.local"}) {
        TCPCommonReq common {{-1, {}}};
        std::strncpy(common.socket.szScannerIP, szAddress, sizeof(common.socket.szScannerIP) - 1);
        ASSERT_TRUE(Send(client, TCP_SCAN_ADFST, common));
        EXPECT_EQ(Recv<TCPADFStatusRes>(client).result, SANE_STATUS_IO_ERROR) << szAddress;
        ASSERT_TRUE(Send(client, TCP_SCAN_DEVPROPERTIES, common));
        EXPECT_EQ(Recv<TCPDevPropertiesRes>(client).result, SANE_STATUS_IO_ERROR) << szAddress;
    }
    EXPECT_TRUE(Silent(client));
}

TEST_F(Dispatcher, NetworkStreamUsesItsOwnRecordLayout)
{
    s_stub.vecRecords = {{SCAN_STATUS_OPERATION_CONTINUOUS, 40, 0}, {SCAN_STATUS_OPERATION_CONTINUOUS, 8, 0}};
    QuarnScanClient client;
    ASSERT_GT(Connect(client, &c_stStubNet), 0);
    TCPOSLReq osl {};
    osl.type = OSL_CMD_SUMMARY;
    ASSERT_TRUE(Send(client, TCP_SEND_OSL, osl));
    const TCPOSLRes oslRes = Recv<TCPOSLRes>(client);
    ASSERT_EQ(oslRes.result, SANE_STATUS_GOOD);
    ASSERT_EQ(oslRes.bufferLen, 5);
    char szReply[6] = {};
    ASSERT_TRUE(client.RecvRaw(szReply, 5, c_iWaitMs));
    EXPECT_STREQ(szReply, "<xml>");

    TCPScanStartReq start {};
    start.socket.tcpFromScanner = -1;
    ASSERT_TRUE(Send(client, TCP_SCAN_START, start));
    const TCPScanStartRes startRes = Recv<TCPScanStartRes>(client);
    EXPECT_EQ(startRes.result, SANE_STATUS_GOOD);
    EXPECT_EQ(startRes.socketDataFd, 40);
    const std::vector<std::array<int, 4>> vecExpected = {{0, 40, 0, SCAN_STATUS_BEGIN_OF_PAGE},
                                                          {0, 8, 1, SCAN_STATUS_OPERATION_CONTINUOUS},
                                                          {SANE_STATUS_EOF, 0, 1, SCAN_STATUS_END_OF_DATA}};
    for (const std::array<int, 4> &aiExpected : vecExpected) {
        const TCPRecordRes rec = Recv<TCPRecordRes>(client);
        EXPECT_EQ((std::array<int, 4> {rec.result, rec.bufferLen, rec.fileIndex, rec.st}), aiExpected);
    }
    EXPECT_EQ(ReadWholeFile(QString(startRes.fileName) + "_0.tmp").size(), 48);
    EXPECT_TRUE(Silent(client));
}

// Only a data connection that this connection handed out, and has not closed since, is
// passed on to be closed; any other number (the client socket, a stranger's, one already
// closed) arrives as -1.
TEST_F(Dispatcher, NetworkClosesOnlyTheDataConnectionsItHandedOut)
{
    QuarnScanClient client;
    ASSERT_GT(Connect(client, &c_stStubNet), 0);
    auto fnStart = [&](int iDataFd) {
        TCPScanStartRes res {};
        EXPECT_TRUE(client.StartNetScan("127.0.0.2", iDataFd, FlatbedSettings(), &res));
        TCPRecordRes rec {};
        while (client.NextNetRecord(&rec, c_iWaitMs) && rec.result == SANE_STATUS_GOOD) {
        }
        return res.socketDataFd;
    };
    const int iFirst = fnStart(-1);
    const int iSecond = fnStart(7);
    EXPECT_EQ(fnStart(iFirst), 42);
    fnStart(iFirst);
    EXPECT_EQ(client.NetAbort("127.0.0.2", iSecond, ""), SANE_STATUS_GOOD);
    EXPECT_EQ(client.NetAbort("127.0.0.2", iSecond, ""), SANE_STATUS_GOOD);
    const QStringList listNet = Calls().filter(QRegularExpression("^net"));
    EXPECT_EQ(listNet, (QStringList {"netstart -1", "netstart -1", "netstart 40", "netstart -1", "netabort 41",
                                     "netabort -1"}));
}
