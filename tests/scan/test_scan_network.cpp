// Network scanning end to end: the real daemon talks to the simulated scanner on its own
// loopback address, driven by the client library or by the quarnscan CLI. The tests
// check the request bytes the scanner received, the records and the page files.
#include <gtest/gtest.h>

#include <QDir>
#include <QFileInfo>
#include <QSet>
#include <QTemporaryDir>

#include <netinet/in.h>
#include <unistd.h>

#include <array>
#include <csignal>
#include <cstring>
#include <vector>

#include "NetScanFixture.h"
#include "NetScannerSim.h"
#include "QuarnTestSupport.h"
#include "TestSupport.h"
#include "quarn_net.h"

using namespace std::chrono;

namespace
{
constexpr int c_iWaitMs = 20000;
constexpr auto c_cliWait = seconds(60);
// Well inside the daemon's 5-second receive time-out.
constexpr auto c_quickAnswer = milliseconds(4000);

const QByteArray c_baAccept = "Accept: text/html, image/gif, image/jpeg, *;q=.2, */*; q=.2\r\n";

QByteArray HostAddress()
{
    char szHost[INET_ADDRSTRLEN] = {};
    return GetHostIPAddress(szHost, sizeof(szHost)) == 0 ? QByteArray(szHost) : QByteArray();
}

QByteArray FormPost(const QByteArray &baPath, const QByteArray &baHost, const QByteArray &baBody)
{
    return "POST " + baPath + " HTTP/1.1\r\nConnection: Keep-Alive\r\n"
           "Content-Type: application/x-www-form-urlencoded\r\n" + c_baAccept +
           "User-Agent: HttpScanConnection\r\nContent-Length: " + QByteArray::number(baBody.size()) +
           "\r\nHost: " + baHost + "\r\n\r\n" + baBody;
}

QByteArray ScanPost(const QByteArray &baBody)
{
    return FormPost("/netscan/post", "203.0.113.10", baBody);
}

QByteArray AbortPost()
{
    return FormPost("/netscan/post", HostAddress(), "SCANTYPE=4");
}

QByteArray AdfPost()
{
    return FormPost("/cgi-bin/dynamic/printer/netscan/adfStatus.html", HostAddress(), "GETADFSTATUS");
}

QByteArray CapabilitiesGet()
{
    return "GET /netscan/capabilites HTTP/1.1\r\nCache-Control: no-cache\r\nPragma: no-cache\r\n"
           "User-Agent: Jav/1.6.0_18\r\nHost: " + HostAddress() + "\r\n\r\nConnection: Keep-Alive\r\n" + c_baAccept +
           "Content-Type: application/x-www-form-urlencoded\r\n\n";
}

QByteArray OslQuery(int iId, const char *szObject, const char *szAttribute)
{
    const QByteArray baXml = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\r\n<method name=\"getAttribute\" requestID=\"" +
                             QByteArray::number(iId) + "\">\r\n  <arg name=\"objName\">" + szObject +
                             "</arg>\r\n  <arg name=\"attribName\">" + szAttribute + "</arg>\r\n</method>\r\n";
    const int iLen = baXml.size();
    return QByteArray(1, '\0') + char(iLen >> 16) + char(iLen >> 8) + char(iLen) + baXml;
}

// The login name a scan post carries. The daemon asks for it without a terminal, so
// it may be empty where the test's own is not; either is right.
QByteArray PostedName(const QByteArray &baPost)
{
    const int iName = baPost.indexOf("&NAME=") + 6;
    const QByteArray baName = baPost.mid(iName, baPost.indexOf('&', iName) - iName);
    char szLogin[256];
    const QByteArray baOwn = getlogin_r(szLogin, sizeof(szLogin)) == 0 ? QByteArray(szLogin) : QByteArray();
    EXPECT_TRUE(baName.isEmpty() || baName == baOwn) << baName.toStdString();
    return baName;
}

QByteArray PostBody(const QByteArray &baSource, const QByteArray &baSinglePage, const QByteArray &baDepth,
                    const QByteArray &baResolution, const QByteArray &baName)
{
    return "SCANTYPE=2&ADVCONTRAST=0&BACKGROUNDREMOVAL=&COMPRESSION=JPEG&CONTRAST=MIXED&DARKNESS=0&DEPTH=" + baDepth +
           "&DOCSOURCE=0&EDGETOEDGE=0&IPADDRESS=203.0.113.10&JPEGQUALITY=&KEEPALIVE=0&NAME=" + baName +
           "&ORIENTATION=PORTRAIT&RESOLUTION=" + baResolution + "&SCANSOURCE=" + baSource +
           "&SHARPNESS=0&START_NOW=1&TCPPORT=2080&TYPE=RAW&SINGLEPAGE=" + baSinglePage +
           "&CUSTOM_WIDTH=2480&CUSTOM_HEIGHT=3508&OFFSETX=0&OFFSETY=0&";
}

QList<QByteArray> ScanPostsReceived(const NetScannerSim &sim)
{
    QList<QByteArray> list;
    for (const QByteArray &ba : sim.Received(NetScannerSim::c_szHttp)) {
        if (ba.startsWith("POST /netscan/post") && ba.contains("SCANTYPE=2"))
            list.append(ba);
    }
    return list;
}

struct stRecord
{
    int iResult, iLen, iFileIndex, iSt;
    bool operator==(const stRecord &o) const
    {
        return iResult == o.iResult && iLen == o.iLen && iFileIndex == o.iFileIndex && iSt == o.iSt;
    }
};

std::ostream &operator<<(std::ostream &os, const stRecord &r)
{
    return os << "{result " << r.iResult << ", len " << r.iLen << ", file " << r.iFileIndex << ", st " << r.iSt << "}";
}

std::vector<stRecord> ReadStream(QuarnScanClient &client)
{
    std::vector<stRecord> vec;
    TCPRecordRes rec {};
    while (client.NextNetRecord(&rec, c_iWaitMs)) {
        vec.push_back({rec.result, rec.bufferLen, rec.fileIndex, rec.st});
        if (rec.result != SANE_STATUS_GOOD)
            break;
    }
    return vec;
}

QString FdTarget(pid_t pid, int fd)
{
    return QFileInfo(QStringLiteral("/proc/%1/fd/%2").arg(pid).arg(fd)).symLinkTarget();
}

// What a process's descriptors lead to (sockets by their inode).
QSet<QString> TargetsOf(pid_t pid)
{
    QSet<QString> set;
    const QString strDir = QStringLiteral("/proc/%1/fd").arg(pid);
    for (const QString &strFd : QDir(strDir).entryList(QDir::System | QDir::NoDotAndDotDot))
        set.insert(QFileInfo(strDir + "/" + strFd).symLinkTarget());
    return set;
}

using NetScan = NetScanFixture;
}  // namespace

TEST_F(NetScan, QueriesSendTheScannersExactTexts)
{
    ASSERT_TRUE(StartSim("127.0.0.60", {"cap.DUPLEX=false", "cap.COLOR=GRAY", "cap.MAXRES=600", "cap.SPEED=9"}));
    const char *szIP = "127.0.0.60";
    QuarnScanClient client;
    ASSERT_TRUE(ConnectClient(client));

    struct stOsl
    {
        OSL_CMD_TYPE type;
        int iId;
        const char *szObject;
        const char *szAttribute;
    };
    const stOsl c_aOsl[] = {{OSL_CMD_FAMILYTYPE, 10001, "system", "familyType"},
                            {OSL_CMD_GETLIST, 10002, "mfp.profileFactory", "getList"},
                            {OSL_CMD_SUMMARY, 10003, "mfp.scanner", "summary"}};
    QList<QByteArray> listOslExpected;
    for (const stOsl &c : c_aOsl) {
        std::string strReply;
        EXPECT_EQ(client.SendOsl(szIP, c.type, &strReply), SANE_STATUS_GOOD);
        EXPECT_NE(strReply.find("requestID=\"" + std::to_string(c.iId) + "\""), std::string::npos) << strReply;
        EXPECT_NE(strReply.find(c.szAttribute), std::string::npos) << strReply;
        EXPECT_EQ(strReply.substr(strReply.size() - 19), "</methodResponse>\r\n");
        listOslExpected.append(OslQuery(c.iId, c.szObject, c.szAttribute));
    }
    EXPECT_EQ(m_sim.Received(NetScannerSim::c_szOsl), listOslExpected);
    std::string strReply;
    EXPECT_EQ(client.SendOsl(szIP, OSL_CMD_TYPE(3), &strReply), SANE_STATUS_INVAL);
    EXPECT_EQ(m_sim.Received(NetScannerSim::c_szOsl).size(), 3);

    TCPDevPropertiesRes caps {};
    ASSERT_TRUE(client.NetDevProperties(szIP, &caps));
    EXPECT_EQ(caps.result, SANE_STATUS_GOOD);
    EXPECT_EQ(caps.devPro.duplex, 0);
    EXPECT_EQ(caps.devPro.color, 0);
    EXPECT_EQ(caps.devPro.minres, 75u);
    EXPECT_EQ(caps.devPro.maxres, 600u);
    EXPECT_EQ(caps.devPro.basicres, 300u);
    EXPECT_EQ(caps.devPro.maxHeight, 4200u);
    EXPECT_EQ(caps.devPro.profile, 1);

    const std::pair<const char *, std::array<int, 2>> c_aAdf[] = {{"1", {SANE_STATUS_GOOD, ADF_STATUS_EMPTY}},
                                                                   {"2", {SANE_STATUS_GOOD, ADF_STATUS_LOADED}},
                                                                   {"3", {SANE_STATUS_GOOD, ADF_STATUS_PAPER_JAM}},
                                                                   {"x", {SANE_STATUS_INVAL, 0}}};
    for (const auto &c : c_aAdf) {
        ASSERT_TRUE(m_sim.Set("adf", c.first));
        TCPADFStatusRes adf {};
        ASSERT_TRUE(client.NetAdfStatus(szIP, &adf));
        EXPECT_EQ((std::array<int, 2> {adf.result, adf.result == SANE_STATUS_GOOD ? adf.st : 0}), c.second) << c.first;
    }
    const QList<QByteArray> listHttp = m_sim.Received(NetScannerSim::c_szHttp);
    ASSERT_EQ(listHttp.size(), 5);
    EXPECT_EQ(listHttp[0], CapabilitiesGet());
    for (int i = 1; i < 5; ++i)
        EXPECT_EQ(listHttp[i], AdfPost());
}

TEST_F(NetScan, ScanPostsAndFailedStarts)
{
    ASSERT_TRUE(StartSim("127.0.0.61", {"result=1"}));
    const char *szIP = "127.0.0.61";
    QuarnScanClient client;
    ASSERT_TRUE(ConnectClient(client));
    struct stCase
    {
        const char *szName;
        uint8_t ucDepth, ucFeeder, ucIsClient;
        uint16_t usDpi;
        std::array<QByteArray, 4> abaBody;  // source, single page, depth, resolution
    };
    const stCase c_aCases[] = {
        {"colour flatbed", 24, 0, 0, 300, {"7", "", "24", "300"}},
        {"grey feeder, one page", 8, 1, 0, 600, {"0", "TRUE", "8", "600"}},
        {"black and white feeder, all pages", 1, 1, 1, 150, {"0", "", "other", "150"}},
    };
    for (const stCase &c : c_aCases) {
        SettingInfo info = FlatbedSettings();
        info.bitDepth = c.ucDepth;
        info.feederEnabled = c.ucFeeder;
        info.isClient = c.ucIsClient;
        info.xResolution = c.usDpi;
        TCPScanStartRes res {};
        ASSERT_TRUE(client.StartNetScan(szIP, -1, info, &res));
        EXPECT_EQ(res.result, SANE_STATUS_INVAL) << c.szName;
        EXPECT_EQ(res.socketDataFd, -1) << c.szName;
        const QByteArray baPost = ScanPostsReceived(m_sim).value(int(&c - c_aCases));
        EXPECT_EQ(baPost, ScanPost(PostBody(c.abaBody[0], c.abaBody[1], c.abaBody[2], c.abaBody[3], PostedName(baPost))))
            << c.szName;
    }

    // With the KQ marker, grey without compression still asks for JPEG.
    ASSERT_TRUE(WriteWholeFile(m_root.path() + "/scan/kq_ctrl.cfg", ""));
    SettingInfo grey = FlatbedSettings();
    grey.bitDepth = 8;
    TCPScanStartRes res {};
    ASSERT_TRUE(client.StartNetScan(szIP, -1, grey, &res));
    const QByteArray baPost = ScanPostsReceived(m_sim).value(3);
    QByteArray baKQ = PostBody("7", "", "8", "300", PostedName(baPost));
    baKQ.replace("JPEGQUALITY=&", "JPEGQUALITY=70&").replace("TYPE=RAW&", "TYPE=JPEG&");
    EXPECT_EQ(baPost, ScanPost(baKQ));
    QFile::remove(m_root.path() + "/scan/kq_ctrl.cfg");

    const std::pair<const char *, int> c_aResults[] = {{"91", SANE_STATUS_DEVICE_BUSY}, {"none", SANE_STATUS_DEVICE_BUSY},
                                                       {"2", SANE_STATUS_INVAL}};
    for (const auto &c : c_aResults) {
        ASSERT_TRUE(m_sim.Set("result", c.first));
        ASSERT_TRUE(client.StartNetScan(szIP, -1, FlatbedSettings(), &res));
        EXPECT_EQ(res.result, c.second) << c.first;
    }
    EXPECT_TRUE(m_sim.Received(NetScannerSim::c_szDataConnect).isEmpty());
    EXPECT_TRUE(PageFiles().isEmpty()) << "a failed start creates no page file";
    EXPECT_EQ(m_daemon.Processes().size(), 2) << "no data process for a failed start";
}

TEST_F(NetScan, StartFailsWhenTheDataServiceStaysShut)
{
    ASSERT_TRUE(StartSim("127.0.0.62", {}, {"--data-port", "2081"}));
    QuarnScanClient client;
    ASSERT_TRUE(ConnectClient(client));
    TCPScanStartRes res {};
    ASSERT_TRUE(client.StartNetScan("127.0.0.62", -1, FlatbedSettings(), &res));
    EXPECT_EQ(res.result, SANE_STATUS_IO_ERROR);
    EXPECT_EQ(ScanPostsReceived(m_sim).size(), 1);
    EXPECT_TRUE(PageFiles().isEmpty());
}

TEST_F(NetScan, RecordsAndPageFilesFollowTheStream)
{
    ASSERT_TRUE(StartSim("127.0.0.63", {"page_sizes=1000,70000,0", "block_bytes=32768", "empty_block=1"}));
    const char *szIP = "127.0.0.63";
    QuarnScanClient client;
    ASSERT_TRUE(ConnectClient(client));
    const pid_t pidConnection = ConnectionProcess();
    ASSERT_GT(pidConnection, 0);
    TCPScanStartRes res {};
    ASSERT_TRUE(client.StartNetScan(szIP, -1, FlatbedSettings(), &res));
    ASSERT_EQ(res.result, SANE_STATUS_GOOD);
    EXPECT_EQ(QString(res.fileName), m_daemon.ScanDir() + QStringLiteral("/ostrelscandata_%1_0").arg(pidConnection));
    const std::vector<stRecord> vecExpected = {
        {0, 0, 0, SCAN_STATUS_BEGIN_OF_PAGE},        {0, 0, 1, SCAN_STATUS_OPERATION_CONTINUOUS},
        {0, 1000, 1, SCAN_STATUS_OPERATION_CONTINUOUS}, {0, 0, 1, SCAN_STATUS_BEGIN_OF_PAGE},
        {0, 0, 2, SCAN_STATUS_OPERATION_CONTINUOUS},    {0, 32768, 2, SCAN_STATUS_OPERATION_CONTINUOUS},
        {0, 32768, 2, SCAN_STATUS_OPERATION_CONTINUOUS}, {0, 4464, 2, SCAN_STATUS_OPERATION_CONTINUOUS},
        {0, 0, 2, SCAN_STATUS_BEGIN_OF_PAGE},        {0, 0, 3, SCAN_STATUS_OPERATION_CONTINUOUS},
        {SANE_STATUS_EOF, 0, 3, SCAN_STATUS_END_OF_DATA}};
    EXPECT_EQ(ReadStream(client), vecExpected);
    const QString strJob(res.fileName);
    EXPECT_EQ(ReadWholeFile(strJob + "_0.tmp"), NetScannerSim::PagePayload(0, 1000));
    EXPECT_EQ(ReadWholeFile(strJob + "_1.tmp"), NetScannerSim::PagePayload(1, 70000));
    EXPECT_TRUE(QFileInfo::exists(strJob + "_2.tmp"));
    EXPECT_EQ(ReadWholeFile(strJob + "_2.tmp").size(), 0);
    EXPECT_EQ(m_sim.Received(NetScannerSim::c_szDataConnect).size(), 1);

    // The data connection stays the client's until it names it again: a start that names
    // it closes it, one that names anything else closes nothing.
    const QString strFirstData = FdTarget(pidConnection, res.socketDataFd);
    EXPECT_TRUE(strFirstData.contains("socket:")) << strFirstData.toStdString();
    const QSet<QString> setBefore = TargetsOf(pidConnection);
    ASSERT_TRUE(m_sim.Set("page_sizes", "10"));
    TCPScanStartRes second {};
    ASSERT_TRUE(client.StartNetScan(szIP, STDERR_FILENO, FlatbedSettings(), &second));
    ASSERT_EQ(second.result, SANE_STATUS_GOOD);
    ReadStream(client);
    EXPECT_TRUE(TargetsOf(pidConnection).contains(setBefore));
    TCPScanStartRes third {};
    ASSERT_TRUE(client.StartNetScan(szIP, res.socketDataFd, FlatbedSettings(), &third));
    ASSERT_EQ(third.result, SANE_STATUS_GOOD);
    ReadStream(client);
    EXPECT_FALSE(TargetsOf(pidConnection).contains(strFirstData));
    EXPECT_EQ(FdTarget(pidConnection, STDERR_FILENO), "/dev/null");
    EXPECT_EQ(QString(third.fileName), m_daemon.ScanDir() + QStringLiteral("/ostrelscandata_%1_2").arg(pidConnection));
}

TEST_F(NetScan, ScannerCancelAndCutConnectionEndTheStream)
{
    ASSERT_TRUE(StartSim("127.0.0.64", {"page_sizes=40000,40000", "block_bytes=16384", "cancel_after=50000"}));
    const char *szIP = "127.0.0.64";
    QuarnScanClient client;
    ASSERT_TRUE(ConnectClient(client));
    TCPScanStartRes res {};
    ASSERT_TRUE(client.StartNetScan(szIP, -1, FlatbedSettings(), &res));
    ASSERT_EQ(res.result, SANE_STATUS_GOOD);
    std::vector<stRecord> vec = ReadStream(client);
    ASSERT_FALSE(vec.empty());
    EXPECT_EQ(vec.back(), (stRecord {SANE_STATUS_CANCELLED, 0, 2, SCAN_STATUS_ABORTED_BY_DEVICE}));
    EXPECT_EQ(ReadWholeFile(QString(res.fileName) + "_0.tmp"), NetScannerSim::PagePayload(0, 40000));
    EXPECT_EQ(ReadWholeFile(QString(res.fileName) + "_1.tmp"), NetScannerSim::PagePayload(1, 10000));

    // The connection drops inside a block: the block is lost and the job ends with 9.
    ASSERT_TRUE(m_sim.Set("cancel_after", "-1"));
    ASSERT_TRUE(m_sim.Set("cut_after", "45000"));
    ASSERT_TRUE(client.StartNetScan(szIP, res.socketDataFd, FlatbedSettings(), &res));
    ASSERT_EQ(res.result, SANE_STATUS_GOOD);
    vec = ReadStream(client);
    ASSERT_FALSE(vec.empty());
    EXPECT_EQ(vec.back(), (stRecord {SANE_STATUS_IO_ERROR, 0, 2, SCAN_STATUS_OPERATION_CONTINUOUS}));
    EXPECT_EQ(ReadWholeFile(QString(res.fileName) + "_1.tmp").size(), 0);

    // Through the CLI: the scanner's cancel is reported and the complete page kept.
    ASSERT_TRUE(m_sim.Set("cut_after", "-1"));
    ASSERT_TRUE(m_sim.Set("cancel_after", "50000"));
    QTemporaryDir out;
    ChildProcess cli;
    ASSERT_TRUE(cli.Start(QUARNSCAN_PATH, {"netscan", szIP, "--out", out.path()}));
    ASSERT_TRUE(cli.WaitExit(c_cliWait));
    const QByteArray baOutput = cli.Output();
    EXPECT_EQ(cli.ExitCode(), 1) << baOutput.toStdString();
    EXPECT_TRUE(baOutput.contains("scan: scan cancelled (status 2)")) << baOutput.toStdString();
    EXPECT_EQ(ReadWholeFile(out.path() + "/page_1.raw"), NetScannerSim::PagePayload(0, 40000));
    EXPECT_FALSE(QFileInfo::exists(out.path() + "/page_2.raw"));
}

TEST_F(NetScan, CliScansSeveralPagesFromTheFeeder)
{
    ASSERT_TRUE(StartSim("127.0.0.65", {"page_sizes=5000,123457,1", "block_bytes=16384"}));
    QTemporaryDir out;
    ChildProcess cli;
    ASSERT_TRUE(cli.Start(QUARNSCAN_PATH, {"netscan", "127.0.0.65", "--out", out.path(), "--source", "adf",
                                          "--mode", "gray", "--resolution", "600"}));
    ASSERT_TRUE(cli.WaitExit(c_cliWait));
    const QByteArray baOutput = cli.Output();
    ASSERT_EQ(cli.ExitCode(), 0) << baOutput.toStdString();
    const int c_aiSizes[] = {5000, 123457, 1};
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(ReadWholeFile(out.path() + QStringLiteral("/page_%1.raw").arg(i + 1)),
                  NetScannerSim::PagePayload(i, c_aiSizes[i]))
            << "page " << i + 1;
    }
    EXPECT_TRUE(baOutput.contains("3 page(s) written")) << baOutput.toStdString();
    EXPECT_TRUE(WaitUntil([&] { return PageFiles().isEmpty(); }, seconds(5))) << PageFiles().join(' ').toStdString();
    const QList<QByteArray> listHttp = m_sim.Received(NetScannerSim::c_szHttp);
    ASSERT_EQ(listHttp.size(), 2);
    EXPECT_EQ(listHttp[0], AdfPost());
    EXPECT_EQ(listHttp[1], ScanPost(PostBody("0", "TRUE", "8", "600", PostedName(listHttp[1]))));

    // An empty feeder stops the CLI before anything is posted.
    ASSERT_TRUE(m_sim.Set("adf", "1"));
    ChildProcess empty;
    ASSERT_TRUE(empty.Start(QUARNSCAN_PATH, {"netscan", "127.0.0.65", "--out", out.path(), "--source", "adf-multi"}));
    ASSERT_TRUE(empty.WaitExit(c_cliWait));
    EXPECT_EQ(empty.ExitCode(), 1);
    EXPECT_TRUE(empty.Output().contains("feeder: no documents in the feeder"));
    EXPECT_EQ(ScanPostsReceived(m_sim).size(), 1);

    // A busy scanner fails the start.
    ASSERT_TRUE(m_sim.Set("result", "91"));
    ChildProcess busy;
    ASSERT_TRUE(busy.Start(QUARNSCAN_PATH, {"netscan", "127.0.0.65", "--out", out.path()}));
    ASSERT_TRUE(busy.WaitExit(c_cliWait));
    EXPECT_EQ(busy.ExitCode(), 1);
    EXPECT_TRUE(busy.Output().contains("start: scanner busy (status 3)"));
    EXPECT_EQ(m_sim.Received(NetScannerSim::c_szDataConnect).size(), 1);
}

// Raw pages are written as PNM with the scan's geometry, JPEG pages as they came.
TEST_F(NetScan, CliWritesViewablePages)
{
    ASSERT_TRUE(StartSim("127.0.0.80", {"page_sizes=90000,1000"}));
    QTemporaryDir out;
    ChildProcess cli;
    ASSERT_TRUE(cli.Start(QUARNSCAN_PATH, {"netscan", "127.0.0.80", "--out", out.path(), "--source", "adf-multi",
                                          "--mode", "gray", "--area", "0,0,300,300"}));
    ASSERT_TRUE(cli.WaitExit(c_cliWait));
    ASSERT_EQ(cli.ExitCode(), 0) << cli.Output().toStdString();
    EXPECT_EQ(ReadWholeFile(out.path() + "/page_1.pgm"), "P5\n300 300\n255\n" + NetScannerSim::PagePayload(0, 90000));
    EXPECT_EQ(ReadWholeFile(out.path() + "/page_2.raw"), NetScannerSim::PagePayload(1, 1000)) << "no whole line";

    ChildProcess jpeg;
    ASSERT_TRUE(jpeg.Start(QUARNSCAN_PATH, {"netscan", "127.0.0.80", "--out", out.path(), "--mode", "bw",
                                           "--compression", "jpeg"}));
    ASSERT_TRUE(jpeg.WaitExit(c_cliWait));
    EXPECT_EQ(ReadWholeFile(out.path() + "/page_1.jpg"), NetScannerSim::PagePayload(0, 90000));
}

TEST_F(NetScan, CliAbortsMidPage)
{
    ASSERT_TRUE(StartSim("127.0.0.66", {"page_sizes=2000000", "block_bytes=4096", "block_delay_ms=20"}));
    QTemporaryDir out;
    ChildProcess cli;
    ASSERT_TRUE(cli.Start(QUARNSCAN_PATH, {"netscan", "127.0.0.66", "--out", out.path()}));
    ASSERT_TRUE(WaitUntil([&] {
        const QStringList list = PageFiles();
        return !list.isEmpty() && QFileInfo(m_root.path() + "/scan/" + list[0]).size() > 8192;
    }, seconds(20)));
    cli.Signal(SIGINT);
    ASSERT_TRUE(cli.WaitExit(c_cliWait));
    const QByteArray baOutput = cli.Output();
    EXPECT_EQ(cli.ExitCode(), 130) << baOutput.toStdString();
    EXPECT_TRUE(baOutput.contains("scan cancelled; abort: success; 0 complete page(s) kept")) << baOutput.toStdString();
    EXPECT_TRUE(PageFiles().isEmpty()) << PageFiles().join(' ').toStdString();
    const QList<QByteArray> listHttp = m_sim.Received(NetScannerSim::c_szHttp);
    ASSERT_EQ(listHttp.size(), 2);
    EXPECT_EQ(listHttp[1], AbortPost());
    EXPECT_TRUE(WaitUntil([&] { return m_daemon.Processes().size() == 1; }, seconds(10)))
        << "connection and data process end with the client";
}

TEST_F(NetScan, UnusableOslRepliesAndKeptAliveConnections)
{
    ASSERT_TRUE(StartSim("127.0.0.67", {"osl_length=9000"}));
    const char *szIP = "127.0.0.67";
    QuarnScanClient client;
    ASSERT_TRUE(ConnectClient(client));
    std::string strReply = "x";
    EXPECT_EQ(client.SendOsl(szIP, OSL_CMD_SUMMARY, &strReply), SANE_STATUS_IO_ERROR);
    EXPECT_TRUE(strReply.empty());
    // Announced longer than sent, with the connection closed after it.
    ASSERT_TRUE(m_sim.Set("osl_length", "300"));
    EXPECT_EQ(client.SendOsl(szIP, OSL_CMD_FAMILYTYPE, &strReply), SANE_STATUS_IO_ERROR);
    EXPECT_TRUE(strReply.empty());

    // A scanner that keeps its HTTP connections open is answered once its reply is whole.
    ASSERT_TRUE(m_sim.Set("keep_alive", "1"));
    const auto t0 = steady_clock::now();
    TCPADFStatusRes adf {};
    ASSERT_TRUE(client.NetAdfStatus(szIP, &adf));
    TCPDevPropertiesRes caps {};
    ASSERT_TRUE(client.NetDevProperties(szIP, &caps));
    EXPECT_LT(steady_clock::now() - t0, c_quickAnswer);
    EXPECT_EQ(adf.result, SANE_STATUS_GOOD);
    EXPECT_EQ(adf.st, ADF_STATUS_LOADED);
    EXPECT_EQ(caps.result, SANE_STATUS_GOOD);
    EXPECT_EQ(caps.devPro.maxres, 1200u);
    EXPECT_EQ(client.NetAbort(szIP, -1, ""), SANE_STATUS_GOOD);
    EXPECT_EQ(m_sim.Received(NetScannerSim::c_szHttp).value(2), AbortPost());
}

TEST(NetScanCli, NamesNetworkScannersByAddress)
{
    struct stCase
    {
        QStringList listArgs;
        int iExit;
        const char *szOutput;
    };
    const stCase c_aCases[] = {
        {{"netscan", "127.0.0.60"}, 2, "usage:"},
        {{"netscan", "scanner", "--out", "/tmp"}, 2, "usage:"},
        {{"netscan", "127.0.0.1234", "--out", "/tmp"}, 2, "usage:"},
        {{"netscan", "127.0.0.60", "--out", "/tmp", "--serial", "X"}, 2, "bad option"},
        {{"netinfo", "127.0.0.60", "--mode", "gray"}, 2, "bad option"},
        {{"netinfo", "127.0.0.60"}, 1, "cannot reach the scan daemon"},
    };
    for (const stCase &c : c_aCases) {
        ChildProcess cli;
        ASSERT_TRUE(cli.Start(QUARNSCAN_PATH, c.listArgs));
        ASSERT_TRUE(cli.WaitExit(seconds(10)));
        EXPECT_EQ(cli.ExitCode(), c.iExit) << c.listArgs.join(' ').toStdString();
        EXPECT_TRUE(cli.Output().contains(c.szOutput)) << c.listArgs.join(' ').toStdString();
    }
}

TEST(NetScannerSimProgram, RefusesAddressesOutsideTheSimulatorRange)
{
    const QStringList c_aBad[] = {{"--address", "127.0.0.1"}, {"--address", "10.0.0.2"}, {"--address", "127.0.0.x"},
                                  {"--address", "127.0.0.68", "--set", "pages=x"}, {"--address"}};
    for (const QStringList &listArgs : c_aBad) {
        ChildProcess sim;
        ASSERT_TRUE(sim.Start(NetScannerSim::Program(), listArgs));
        ASSERT_TRUE(sim.WaitExit(seconds(10)));
        EXPECT_EQ(sim.ExitCode(), 2) << listArgs.join(' ').toStdString();
        EXPECT_TRUE(sim.Output().contains("usage:")) << listArgs.join(' ').toStdString();
    }
}
