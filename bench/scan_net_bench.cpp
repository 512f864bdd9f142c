// The network relay's figures on this machine: the simulated scanner streams a job of
// about 200 MB in blocks of 32 KiB; the real QuarnScanDaemon relays it into page files,
// and socat copies the same stream from the same loopback socket into one file, in turn,
// three rounds each. socat runs as it comes (8 KiB buffer) and with a 256 KiB buffer,
// its best here. The ratio to plain socat is the figure to watch (target: at least 70 %).
#include <QDir>
#include <QFile>
#include <QStandardPaths>
#include <QTemporaryDir>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <vector>

#include "NetScannerSim.h"
#include "QuarnTestSupport.h"
#include "TestSupport.h"

namespace
{
using Clock = std::chrono::steady_clock;

constexpr const char *c_szScanner = "127.0.0.90";
constexpr int c_iPages = 4;
constexpr int c_iPageBytes = 50000000;
constexpr int c_iBlockBytes = 32768;
constexpr int c_iRounds = 3;
constexpr int c_iSocatLargeBuffer = 262144;
constexpr int c_iWaitMs = 120000;
constexpr auto c_socatWait = std::chrono::minutes(2);

double Seconds(Clock::duration d)
{
    return std::chrono::duration<double>(d).count();
}

// Seconds for the whole job through the daemon, or a negative number.
double DaemonRelay(const QString &strScanDir)
{
    QuarnScanClient client;
    if (!client.Connect())
        return -1;
    TCPScanStartRes start {};
    const Clock::time_point t0 = Clock::now();
    if (!client.StartNetScan(c_szScanner, -1, FlatbedSettings(), &start) || start.result != SANE_STATUS_GOOD)
        return -1;
    long long llBytes = 0;
    TCPRecordRes rec {};
    while (client.NextNetRecord(&rec, c_iWaitMs) && rec.result == SANE_STATUS_GOOD)
        llBytes += rec.bufferLen;
    const double dSeconds = Seconds(Clock::now() - t0);
    for (const QString &strFile : QDir(strScanDir).entryList({"ostrelscandata_*"}, QDir::Files))
        QFile::remove(strScanDir + "/" + strFile);
    return rec.result == SANE_STATUS_EOF && llBytes == (long long)c_iPages * c_iPageBytes ? dSeconds : -1;
}

// Seconds for socat to copy the same stream into a file, or a negative number.
// iBuffer 0: socat's own buffer size.
double SocatCopy(const QString &strSocat, const QString &strFile, int iBuffer)
{
    QStringList listArgs = {"-u", QStringLiteral("TCP:%1:2080").arg(c_szScanner),
                            QStringLiteral("OPEN:%1,creat,trunc").arg(strFile)};
    if (iBuffer > 0)
        listArgs = QStringList {"-b", QString::number(iBuffer)} + listArgs;
    ChildProcess socat;
    const Clock::time_point t0 = Clock::now();
    if (!socat.Start(strSocat, listArgs) ||
        !socat.WaitExit(c_socatWait) || socat.ExitCode() != 0)
        return -1;
    const double dSeconds = Seconds(Clock::now() - t0);
    const qint64 iSize = QFileInfo(strFile).size();
    QFile::remove(strFile);
    return iSize > (qint64)c_iPages * c_iPageBytes ? dSeconds : -1;
}

double Median(std::vector<double> vec)
{
    std::sort(vec.begin(), vec.end());
    return vec[vec.size() / 2];
}

bool AnyFailed(const std::vector<double> &vec)
{
    return std::any_of(vec.begin(), vec.end(), [](double d) { return d < 0; });
}

double Rate(double dMB, double dSeconds)
{
    return dSeconds > 0 ? dMB / dSeconds : 0.0;
}
}  // namespace

int main()
{
    const QString strSocat = QStandardPaths::findExecutable("socat");
    if (strSocat.isEmpty()) {
        std::fprintf(stderr, "socat is not installed (scripts/install-deps.sh installs it)\n");
        return 2;
    }
    QTemporaryDir root;
    QuarnDaemon daemon(root.path());
    NetScannerSim scanner;
    const QStringList listSettings = {QStringLiteral("pages=%1").arg(c_iPages),
                                      QStringLiteral("page_bytes=%1").arg(c_iPageBytes),
                                      QStringLiteral("block_bytes=%1").arg(c_iBlockBytes), "stream_unposted=1"};
    if (!scanner.Start(c_szScanner, listSettings) || !daemon.Start()) {
        std::fprintf(stderr, "the simulated scanner or QuarnScanDaemon did not start (ports taken?)\n");
        return 1;
    }
    const double dMB = double(c_iPages) * c_iPageBytes / 1e6;
    std::vector<double> vecDaemon;
    std::vector<double> vecSocat;
    std::vector<double> vecSocatLarge;
    const QString strCopy = root.path() + "/socat.out";
    for (int i = 0; i < c_iRounds; ++i) {
        vecDaemon.push_back(DaemonRelay(root.path() + "/scan"));
        vecSocat.push_back(SocatCopy(strSocat, strCopy, 0));
        vecSocatLarge.push_back(SocatCopy(strSocat, strCopy, c_iSocatLargeBuffer));
        std::printf("round %d: daemon %7.1f MB/s, socat %7.1f MB/s, socat -b %d %7.1f MB/s\n", i + 1,
                    Rate(dMB, vecDaemon.back()), Rate(dMB, vecSocat.back()), c_iSocatLargeBuffer,
                    Rate(dMB, vecSocatLarge.back()));
    }
    const bool bFailed = AnyFailed(vecDaemon) || AnyFailed(vecSocat) || AnyFailed(vecSocatLarge);
    const bool bStopped = daemon.Stop() && scanner.Stop();
    if (bFailed || !bStopped) {
        std::printf("network relay benchmark failed\n");
        return 1;
    }
    const double dDaemon = Rate(dMB, Median(vecDaemon));
    const double dSocat = Rate(dMB, Median(vecSocat));
    const double dSocatLarge = Rate(dMB, Median(vecSocatLarge));
    std::printf("%-52s %7.1f MB/s  (%.0f MB in blocks of %d bytes, median of %d)\n",
                "relay, simulated network scanner, daemon", dDaemon, dMB, c_iBlockBytes, c_iRounds);
    std::printf("%-52s %7.1f MB/s\n", "copy of the same stream, socat", dSocat);
    std::printf("%-52s %7.1f MB/s\n", "copy of the same stream, socat -b 262144", dSocatLarge);
    std::printf("%-52s %7.0f %%  (target >= 70 %%)\n", "daemon / socat", 100.0 * dDaemon / dSocat);
    std::printf("%-52s %7.0f %%\n", "daemon / socat -b 262144", 100.0 * dDaemon / dSocatLarge);
    return 0;
}
