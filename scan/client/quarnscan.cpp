// quarnscan: scans from a USB scanner through QuarnScanDaemon and collects the pages.
#include <poll.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "quarn_client.h"

namespace
{
constexpr int c_iExitOk = 0;
constexpr int c_iExitFailed = 1;
constexpr int c_iExitUsage = 2;
constexpr int c_iExitCancelled = 130;
constexpr int c_iInterruptPollMs = 200;

volatile sig_atomic_t s_bInterrupted = 0;

void OnInterrupt(int)
{
    s_bInterrupted = 1;
}

const char c_szUsage[] =
    "usage:\n"
    "  quarnscan list VID [PID]\n"
    "  quarnscan scan VID [PID] --out DIR [options]\n"
    "ids are hexadecimal (300e or 0x300e). scan options:\n"
    "  --serial TEXT          the scanner with this serial number (default: the first found)\n"
    "  --resolution DPI       75..1200 (default 300)\n"
    "  --mode bw|gray|color   (default color)\n"
    "  --source flatbed|adf|adf-multi   (default flatbed)\n"
    "  --area X,Y,W,H         scan area in the scanner's units (default 0,0,2480,3508)\n"
    "  --compression none|wicked|jpeg   (default none)\n"
    "  --brightness N, --contrast N     0..255\n"
    "Pages are written to DIR as page_<n>.raw (page_<n>.jpg with jpeg compression).\n"
    "Ctrl-C aborts the scan.\n";

struct stOptions
{
    std::string strCommand;
    int iVid = -1;
    int iPid = -1;
    std::string strOut;
    std::string strSerial;
    SettingInfo info {};
};

bool ParseNumber(const char *szText, int iBase, long lMax, int *piOut)
{
    char *pEnd = nullptr;
    const long l = std::strtol(szText, &pEnd, iBase);
    if (!*szText || *pEnd || l < 0 || l > lMax)
        return false;
    *piOut = int(l);
    return true;
}

bool ParseArea(const char *szText, SettingInfo *pInfo)
{
    unsigned auValues[4];
    char cExtra;
    if (std::sscanf(szText, "%u,%u,%u,%u%c", &auValues[0], &auValues[1], &auValues[2], &auValues[3], &cExtra) != 4)
        return false;
    pInfo->xStart = auValues[0];
    pInfo->yStart = auValues[1];
    pInfo->width = auValues[2];
    pInfo->height = auValues[3];
    return true;
}

bool ParseChoice(const char *szText, const std::map<std::string, int> &mapChoices, int *piOut)
{
    const auto it = mapChoices.find(szText);
    if (it == mapChoices.end())
        return false;
    *piOut = it->second;
    return true;
}

bool ApplyOption(const std::string &strName, const char *szValue, stOptions *pOpt)
{
    SettingInfo &info = pOpt->info;
    int iValue = 0;
    if (strName == "--out")
        pOpt->strOut = szValue;
    else if (strName == "--serial")
        pOpt->strSerial = szValue;
    else if (strName == "--resolution" && ParseNumber(szValue, 10, 1200, &iValue) && iValue >= 75)
        info.xResolution = info.yResolution = uint16_t(iValue);
    else if (strName == "--mode" && ParseChoice(szValue, {{"bw", 1}, {"gray", 8}, {"color", 24}}, &iValue))
        info.bitDepth = uint8_t(iValue);
    else if (strName == "--source" && ParseChoice(szValue, {{"flatbed", 0}, {"adf", 1}, {"adf-multi", 2}}, &iValue)) {
        info.feederEnabled = iValue != 0;
        info.isClient = iValue == 2;
    } else if (strName == "--area")
        return ParseArea(szValue, &info);
    else if (strName == "--compression" &&
             ParseChoice(szValue, {{"none", COMPRESSION_NONE}, {"wicked", COMPRESSION_WICKED}, {"jpeg", COMPRESSION_JPEG}},
                         &iValue))
        info.compType = CompressionType(iValue);
    else if (strName == "--brightness" && ParseNumber(szValue, 10, 255, &iValue))
        info.BrightnessParam = uint8_t(iValue);
    else if (strName == "--contrast" && ParseNumber(szValue, 10, 255, &iValue))
        info.ContrastParam = uint8_t(iValue);
    else
        return false;
    return true;
}

bool ParseArgs(int argc, char **argv, stOptions *pOpt)
{
    SettingInfo &info = pOpt->info;
    info.bitDepth = 24;
    info.compType = COMPRESSION_NONE;
    info.xResolution = info.yResolution = 300;
    info.width = 2480;
    info.height = 3508;
    if (argc < 3 || !ParseNumber(argv[2], 16, 0xFFFF, &pOpt->iVid))
        return false;
    pOpt->strCommand = argv[1];
    int i = 3;
    if (i < argc && argv[i][0] != '-') {
        if (!ParseNumber(argv[i], 16, 0xFFFF, &pOpt->iPid))
            return false;
        ++i;
    }
    for (; i + 1 < argc; i += 2) {
        if (pOpt->strCommand != "scan" || !ApplyOption(argv[i], argv[i + 1], pOpt)) {
            std::fprintf(stderr, "bad option: %s %s\n", argv[i], argv[i + 1]);
            return false;
        }
    }
    if (i != argc)
        return false;
    return pOpt->strCommand == "list" || (pOpt->strCommand == "scan" && !pOpt->strOut.empty());
}

int Fail(const char *szStep, int iStatus)
{
    std::fprintf(stderr, "%s: %s (status %d)\n", szStep, QuarnStatusText(iStatus), iStatus);
    return c_iExitFailed;
}

int RunList(QuarnScanClient &client, const stOptions &opt)
{
    std::vector<USBFindDevRes> list;
    const int iCount = client.FindDevices(opt.iVid, std::max(opt.iPid, 0), opt.iPid >= 0, &list);
    if (iCount == c_iQuarnNoAnswer)
        return Fail("list", iCount);
    if (iCount < 0) {
        std::fprintf(stderr, "list: no USB device directory on this machine\n");
        return c_iExitFailed;
    }
    for (const USBFindDevRes &dev : list) {
        std::printf("%04x:%04x  serial \"%s\"  %s %s\n", unsigned(dev.vid), unsigned(dev.pid), dev.SerialNumber,
                    dev.Manufacturer, dev.Product);
        client.StatusOf(USB_CLOSE_DEV, dev.fd);
    }
    std::printf("%d scanner(s)\n", iCount);
    return c_iExitOk;
}

// Finds the scanner to use and closes every other handle the search opened.
bool PickScanner(QuarnScanClient &client, const stOptions &opt, USBFindDevRes *pDev)
{
    std::vector<USBFindDevRes> list;
    const int iCount = client.FindDevices(opt.iVid, std::max(opt.iPid, 0), opt.iPid >= 0, &list);
    bool bFound = false;
    for (const USBFindDevRes &dev : list) {
        if (!bFound && (opt.strSerial.empty() || opt.strSerial == dev.SerialNumber)) {
            *pDev = dev;
            bFound = true;
            continue;
        }
        client.StatusOf(USB_CLOSE_DEV, dev.fd);
    }
    if (!bFound)
        std::fprintf(stderr, "no scanner found (%d device(s) of vendor %04x)\n", std::max(iCount, 0), opt.iVid);
    return bFound;
}

// Pages already handed over by the daemon: copied out, then its copy deleted.
struct stPageCollector
{
    QuarnScanClient &client;
    std::string strJob;
    std::string strOutDir;
    std::string strExt;
    int iOpenPage = -1;
    long long llBytes = 0;
    int iCollected = 0;

    std::string PagePath(int iPage) const { return strJob + "_" + std::to_string(iPage) + c_szQuarnPageSuffix; }

    bool Collect()
    {
        if (iOpenPage < 0)
            return true;
        const std::string strSrc = PagePath(iOpenPage);
        const std::string strDst = strOutDir + "/page_" + std::to_string(iOpenPage + 1) + strExt;
        std::ifstream in(strSrc, std::ios::binary);
        std::ofstream out(strDst, std::ios::binary | std::ios::trunc);
        out << in.rdbuf();
        out.close();
        const bool bOk = in.good() && out.good() && std::ifstream(strDst, std::ios::binary | std::ios::ate).tellg() == llBytes;
        if (bOk) {
            std::printf("page %d: %lld bytes -> %s\n", iOpenPage + 1, llBytes, strDst.c_str());
            ++iCollected;
        } else {
            std::fprintf(stderr, "page %d: could not copy %s to %s\n", iOpenPage + 1, strSrc.c_str(), strDst.c_str());
        }
        Discard();
        return bOk;
    }

    void Discard()
    {
        if (iOpenPage >= 0)
            client.DeleteFile(PagePath(iOpenPage));
        iOpenPage = -1;
        llBytes = 0;
    }

    // False once the stream has ended.
    bool Take(const USBScanRecordRes &rec)
    {
        if (rec.result != SANE_STATUS_GOOD)
            return false;
        if (rec.st == SCAN_STATUS_BEGIN_OF_PAGE) {
            Collect();
            iOpenPage = rec.fileIndex;
        } else if (rec.dataSize > 0 && rec.fileIndex == iOpenPage + 1) {
            llBytes += rec.dataSize;
        }
        return true;
    }
};

// After the abort the daemon has reset the scanner: unlock it through a fresh handle.
int AbortScan(QuarnScanClient &client, const USBFindDevRes &dev, stPageCollector &pages)
{
    std::vector<USBScanRecordRes> listPending;
    const int iStatus = client.Abort(dev.fd, pages.strJob.c_str(), &listPending);
    pages.iOpenPage = -1; // the daemon deleted the job's remaining page files
    std::fprintf(stderr, "scan cancelled; abort: %s; %d complete page(s) kept\n", QuarnStatusText(iStatus),
                 pages.iCollected);
    int iFd = dev.fd;
    if (dev.SerialNumber[0]) {
        const USBReopenDevRes res = client.Reopen(dev.fd, dev.vid, dev.pid, dev.SerialNumber);
        if (res.ret == SANE_STATUS_GOOD)
            iFd = res.fd;
    }
    client.StatusOf(USB_SCAN_UNLOCK, iFd);
    client.StatusOf(USB_CLOSE_DEV, iFd);
    return c_iExitCancelled;
}

bool WaitForRecord(int fd)
{
    pollfd pfd {fd, POLLIN, 0};
    return poll(&pfd, 1, c_iInterruptPollMs) > 0;
}

int RelayScan(QuarnScanClient &client, const stOptions &opt, const USBFindDevRes &dev, stPageCollector &pages)
{
    USBScanRecordRes rec {};
    while (true) {
        if (s_bInterrupted)
            return AbortScan(client, dev, pages);
        if (!WaitForRecord(client.Socket()))
            continue;
        if (!client.NextRecord(&rec, c_iQuarnResponseWaitMs)) {
            std::fprintf(stderr, "lost the connection to the scan daemon\n");
            return c_iExitFailed;
        }
        if (!pages.Take(rec))
            break;
    }
    if (rec.result != SANE_STATUS_EOF) {
        pages.Discard();
        client.StatusOf(USB_SCAN_UNLOCK, dev.fd);
        client.StatusOf(USB_CLOSE_DEV, dev.fd);
        return Fail("scan", rec.result);
    }
    const bool bCollected = pages.Collect();
    client.StatusOf(USB_SCAN_UNLOCK, dev.fd);
    client.StatusOf(USB_CLOSE_DEV, dev.fd);
    std::printf("%d page(s) written to %s\n", pages.iCollected, opt.strOut.c_str());
    return bCollected ? c_iExitOk : c_iExitFailed;
}

int RunScan(QuarnScanClient &client, const stOptions &opt)
{
    if (mkdir(opt.strOut.c_str(), 0755) != 0 && errno != EEXIST) {
        std::fprintf(stderr, "cannot create %s: %s\n", opt.strOut.c_str(), std::strerror(errno));
        return c_iExitFailed;
    }
    USBFindDevRes dev;
    if (!PickScanner(client, opt, &dev))
        return c_iExitFailed;
    std::printf("scanner %04x:%04x serial \"%s\"\n", unsigned(dev.vid), unsigned(dev.pid), dev.SerialNumber);
    const int iLock = client.Lock(dev.fd, opt.info);
    if (iLock != SANE_STATUS_GOOD) {
        client.StatusOf(USB_CLOSE_DEV, dev.fd);
        return Fail("lock", iLock);
    }
    USBScanStartRes start {};
    if (!client.StartScan(dev.fd, &start) || start.result != SANE_STATUS_GOOD) {
        const int iStatus = start.result ? start.result : c_iQuarnNoAnswer;
        client.StatusOf(USB_SCAN_UNLOCK, dev.fd);
        client.StatusOf(USB_CLOSE_DEV, dev.fd);
        return Fail("start", iStatus);
    }
    const char *szExt = opt.info.compType == COMPRESSION_JPEG ? ".jpg" : ".raw";
    stPageCollector pages {client, start.fileName, opt.strOut, szExt};
    return RelayScan(client, opt, dev, pages);
}
}  // namespace

int main(int argc, char **argv)
{
    stOptions opt;
    if (!ParseArgs(argc, argv, &opt)) {
        std::fputs(c_szUsage, stderr);
        return c_iExitUsage;
    }
    struct sigaction sa {};
    sa.sa_handler = OnInterrupt;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);

    QuarnScanClient client;
    if (!client.Connect()) {
        std::fprintf(stderr, "cannot reach the scan daemon on 127.0.0.1:%u\n", unsigned(c_usQuarnPort));
        return c_iExitFailed;
    }
    return opt.strCommand == "list" ? RunList(client, opt) : RunScan(client, opt);
}
