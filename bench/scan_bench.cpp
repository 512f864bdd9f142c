// The scan daemon's figures on this machine: the round trip of a command on loopback
// (one the daemon answers itself, one that crosses the emulated scanner), and the rate
// at which a scan is relayed into page files: from the emulated USB scanner through the
// real daemon (both scanner families), and from a stubbed device through the dispatcher
// alone, which shows the daemon's own cost without the emulation's per-ioctl price.
#include <QFile>
#include <QTemporaryDir>

#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <functional>
#include <vector>

#include "QuarnTestSupport.h"
#include "TestSupport.h"
#include "UsbScannerEmu.h"
#include "UsbTestbed.h"
#include "quarn_dispatch.h"
#include "quarn_scanner.h"

namespace
{
using Clock = std::chrono::steady_clock;

constexpr int c_iLocalRoundTrips = 5000;
constexpr int c_iDeviceRoundTrips = 1000;
constexpr int c_iRecordBytes = 32768;
constexpr int c_iPages = 4;
constexpr int c_iGeneralRecordsPerPage = 32;  // 4 MiB: the general family moves 512 bytes per ioctl
constexpr int c_iKQRecordsPerPage = 128;      // 16 MiB
constexpr int c_iStubSmallBytes = 512;
constexpr int c_iStubSmallRecords = 200000;   // 98 MiB in records of one USB packet
constexpr int c_iStubLargeRecords = 8192;     // 256 MiB
constexpr int c_iWaitMs = 120000;

double Micros(Clock::duration d)
{
    return std::chrono::duration<double, std::micro>(d).count();
}

void RoundTrips(const char *szWhat, int iCount, const std::function<bool()> &fnOnce)
{
    std::vector<double> vecUs;
    vecUs.reserve(size_t(iCount));
    for (int i = 0; i < iCount; ++i) {
        const auto t0 = Clock::now();
        if (!fnOnce()) {
            std::printf("%-52s failed\n", szWhat);
            return;
        }
        vecUs.push_back(Micros(Clock::now() - t0));
    }
    std::sort(vecUs.begin(), vecUs.end());
    std::printf("%-52s p50 %7.1f us  p95 %7.1f us  max %8.1f us  (%d)\n", szWhat, vecUs[vecUs.size() / 2],
                vecUs[vecUs.size() * 95 / 100], vecUs.back(), iCount);
}

// Reads a whole record stream; the relayed bytes, or -1 when it did not end with EOF.
long long RelayStream(QuarnScanClient &client)
{
    long long llBytes = 0;
    USBScanRecordRes rec {};
    while (client.NextRecord(&rec, c_iWaitMs)) {
        llBytes += rec.dataSize;
        if (rec.result != SANE_STATUS_GOOD)
            break;
    }
    return rec.result == SANE_STATUS_EOF ? llBytes : -1;
}

void PrintRate(const char *szWhat, long long llBytes, Clock::duration d, int iRecords)
{
    if (llBytes < 0) {
        std::printf("%-52s failed\n", szWhat);
        return;
    }
    const double dSeconds = Micros(d) / 1e6;
    std::printf("%-52s %7.1f MB/s  %8.0f records/s  (%.1f MiB in %.2f s)\n", szWhat, llBytes / dSeconds / 1e6,
                iRecords / dSeconds, llBytes / 1048576.0, dSeconds);
}

void DeletePages(const QString &strJob, int iPages)
{
    for (int i = 0; i < iPages; ++i)
        QFile::remove(strJob + QStringLiteral("_%1.tmp").arg(i));
}

void UsbRelay(const char *szWhat, QuarnScanClient &client, int iDev, UsbScannerEmu &scanner, int iRecordsPerPage)
{
    stScanScript stScript;
    stScript.vecPages = QVector<QVector<int>>(c_iPages, QVector<int>(iRecordsPerPage, c_iRecordBytes));
    scanner.SetScript(stScript);
    USBScanStartRes start {};
    const auto t0 = Clock::now();
    if (!client.StartScan(iDev, &start) || start.result != SANE_STATUS_GOOD) {
        std::printf("%-52s start failed\n", szWhat);
        return;
    }
    const long long llBytes = RelayStream(client);
    PrintRate(szWhat, llBytes, Clock::now() - t0, c_iPages * (iRecordsPerPage + 2) + 1);
    DeletePages(start.fileName, c_iPages);
}

// ---- a device that has its data at once ----

int s_iStubRecord = 0;
int s_iStubRecords = 0;
int s_iStubBytes = 0;

int StubRecord(int, ScanStatus *pSt, unsigned char **ppBuf, int *piSize, int *piLen)
{
    const int iIndex = s_iStubRecord++;
    if (iIndex == 0) {
        *pSt = SCAN_STATUS_BEGIN_OF_PAGE;
        return SANE_STATUS_GOOD;
    }
    if (iIndex > s_iStubRecords) {
        *pSt = SCAN_STATUS_END_OF_DATA;
        return SANE_STATUS_EOF;
    }
    if (!getScanBuffer(ppBuf, piSize, s_iStubBytes))
        return SANE_STATUS_NO_MEM;
    std::memset(*ppBuf, iIndex & 0xFF, size_t(s_iStubBytes));
    *piLen = s_iStubBytes;
    return SANE_STATUS_GOOD;
}

int StubOk(int)
{
    return SANE_STATUS_GOOD;
}

void StubRelay(const char *szWhat, const QString &strRoot, int iRecords, int iBytes)
{
    s_iStubRecords = iRecords;
    s_iStubBytes = iBytes;
    stQuarnUsbOps ops = c_stQuarnUsbOps;
    ops.pfnStart = StubOk;
    ops.pfnRecord = StubRecord;
    int aiPair[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, aiPair) != 0)
        return;
    const pid_t pid = fork();
    if (pid == 0) {
        close(aiPair[0]);
        stQuarnConnection conn;
        conn.iSocket = aiPair[1];
        conn.strScanDir = (strRoot + "//scan").toStdString();
        conn.pUsb = &ops;
        QuarnServeConnection(conn);
        _exit(0);
    }
    close(aiPair[1]);
    QuarnScanClient client;
    client.Attach(aiPair[0]);
    USBScanStartRes start {};
    const auto t0 = Clock::now();
    if (client.StartScan(1, &start) && start.result == SANE_STATUS_GOOD) {
        const long long llBytes = RelayStream(client);
        PrintRate(szWhat, llBytes, Clock::now() - t0, iRecords + 2);
    }
    DeletePages(start.fileName, 1);
    client.Close();
    waitpid(pid, nullptr, 0);
}
}  // namespace

int main()
{
    UsbTestbed testbed;
    if (!testbed.Emulated()) {
        std::fprintf(stderr, "run with LD_PRELOAD=libumockdev-preload.so.0 (bench/scan_bench.sh does)\n");
        return 2;
    }
    QTemporaryDir root;
    UsbScannerEmu scanner(testbed, "BENCH-1");
    QuarnDaemon daemon(root.path());
    if (!daemon.Start()) {
        std::fprintf(stderr, "QuarnScanDaemon did not start (port %u taken?)\n", unsigned(c_usQuarnPort));
        return 1;
    }
    {
        QuarnScanClient client;
        std::vector<USBFindDevRes> list;
        if (!client.Connect() || client.FindDevices(c_usScannerVendor, c_usScannerProduct, true, &list) != 1) {
            std::fprintf(stderr, "the emulated scanner was not found\n");
            return 1;
        }
        const int iDev = list[0].fd;
        RoundTrips("round trip USB_OPEN_DEV (daemon only)", c_iLocalRoundTrips,
                   [&] { return client.StatusOf(USB_OPEN_DEV, iDev) == SANE_STATUS_GOOD; });
        RoundTrips("round trip USB_SCAN_UNLOCK (emulated scanner)", c_iDeviceRoundTrips,
                   [&] { return client.StatusOf(USB_SCAN_UNLOCK, iDev) == SANE_STATUS_GOOD; });
        UsbRelay("relay, emulated USB, general family (512 B/ioctl)", client, iDev, scanner,
                 c_iGeneralRecordsPerPage);
        WriteWholeFile(root.path() + "/scan/kq_ctrl.cfg", "");
        UsbRelay("relay, emulated USB, KQ family", client, iDev, scanner, c_iKQRecordsPerPage);
        QFile::remove(root.path() + "/scan/kq_ctrl.cfg");
        client.StatusOf(USB_CLOSE_DEV, iDev);
    }
    StubRelay("relay, stubbed device, 512 B records", root.path(), c_iStubSmallRecords, c_iStubSmallBytes);
    StubRelay("relay, stubbed device, 32 KiB records", root.path(), c_iStubLargeRecords, c_iRecordBytes);
    if (!daemon.Stop()) {
        std::fprintf(stderr, "QuarnScanDaemon left processes behind\n");
        return 1;
    }
    return 0;
}
