// quarnscan: scans from a USB or network scanner through QuarnScanDaemon and collects
// the pages.
#include <arpa/inet.h>
#include <poll.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "quarn_client.h"
#include "quarn_page.h"

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
    "  quarnscan netinfo ADDRESS\n"
    "  quarnscan netscan ADDRESS --out DIR [options]\n"
    "ids are hexadecimal (300e or 0x300e); ADDRESS is a network scanner's IPv4 address.\n"
    "scan and netscan options:\n"
    "  --serial TEXT          (scan only) the scanner with this serial number (default: the first found)\n"
    "  --resolution DPI       75..1200 (default 300)\n"
    "  --mode bw|gray|color   (default color)\n"
    "  --source flatbed|adf|adf-multi   (default flatbed)\n"
    "  --area X,Y,W,H         scan area in the scanner's units (default 0,0,2480,3508)\n"
    "  --compression none|wicked|jpeg   (default none)\n"
    "  --brightness N, --contrast N     0..255\n"
    "Pages are written to DIR as page_<n>.ppm, .pgm or .pbm by mode (page_<n>.jpg with jpeg\n"
    "compression; page_<n>.raw when a page is no whole number of lines).\n"
    "netscan checks the feeder first when scanning from it. Ctrl-C aborts the scan.\n";

struct stOptions
{
    std::string strCommand;
    std::string strAddress;
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
    else if (strName == "--serial" && pOpt->strCommand == "scan")
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

bool IsNetCommand(const std::string &strCommand)
{
    return strCommand == "netinfo" || strCommand == "netscan";
}

bool IsScanCommand(const std::string &strCommand)
{
    return strCommand == "scan" || strCommand == "netscan";
}

// The scanner named after the command: ids for USB, an address for the network. The
// index of the first option, or 0.
int ParseScanner(int argc, char **argv, stOptions *pOpt)
{
    in_addr addr;
    if (IsNetCommand(pOpt->strCommand)) {
        pOpt->strAddress = argv[2];
        const bool bFits = pOpt->strAddress.size() < sizeof(QuarnSocket::szScannerIP);
        return bFits && inet_pton(AF_INET, argv[2], &addr) == 1 ? 3 : 0;
    }
    if (!ParseNumber(argv[2], 16, 0xFFFF, &pOpt->iVid))
        return 0;
    if (argc > 3 && argv[3][0] != '-')
        return ParseNumber(argv[3], 16, 0xFFFF, &pOpt->iPid) ? 4 : 0;
    return 3;
}

bool ParseArgs(int argc, char **argv, stOptions *pOpt)
{
    SettingInfo &info = pOpt->info;
    info.bitDepth = 24;
    info.compType = COMPRESSION_NONE;
    info.xResolution = info.yResolution = 300;
    info.width = 2480;
    info.height = 3508;
    if (argc < 3)
        return false;
    pOpt->strCommand = argv[1];
    int i = ParseScanner(argc, argv, pOpt);
    if (i == 0)
        return false;
    for (; i + 1 < argc; i += 2) {
        if (!IsScanCommand(pOpt->strCommand) || !ApplyOption(argv[i], argv[i + 1], pOpt)) {
            std::fprintf(stderr, "bad option: %s %s\n", argv[i], argv[i + 1]);
            return false;
        }
    }
    if (i != argc)
        return false;
    if (IsScanCommand(pOpt->strCommand))
        return !pOpt->strOut.empty();
    return pOpt->strCommand == "list" || pOpt->strCommand == "netinfo";
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

// How a page is written out so that image viewers open it: JPEG pages as they came,
// raw pages as PNM with the scan's geometry. A raw page whose size is no whole number
// of lines has no shape to give it and stays raw.
struct stPageFormat
{
    std::string strExt;
    std::string strHeader;
};

stPageFormat FormatOf(const SettingInfo &info, long long llBytes)
{
    if (info.compType == COMPRESSION_JPEG)
        return {".jpg", {}};
    const stQuarnRawGeometry geo = QuarnRawGeometry(info);
    if (geo.iBytesPerLine <= 0 || llBytes <= 0 || llBytes % geo.iBytesPerLine != 0)
        return {".raw", {}};
    static const char *const c_aszMagic[] = {"P4", "P5", "P6"};
    std::string strHeader = std::string(c_aszMagic[geo.enPixels]) + "\n" + std::to_string(geo.iPixels) + " " +
                            std::to_string(llBytes / geo.iBytesPerLine) + "\n";
    if (geo.enPixels != QUARN_PIXELS_LINEART)
        strHeader += "255\n";
    return {geo.enPixels == QUARN_PIXELS_LINEART ? ".pbm" : geo.enPixels == QUARN_PIXELS_GRAY ? ".pgm" : ".ppm",
            strHeader};
}

// Pages already handed over by the daemon: copied out, then its copy deleted.
struct stPageCollector
{
    QuarnScanClient &client;
    std::string strJob;
    std::string strOutDir;
    SettingInfo info;
    int iOpenPage = -1;
    long long llBytes = 0;
    int iCollected = 0;

    std::string PagePath(int iPage) const { return QuarnPagePath(strJob, iPage); }

    bool Collect()
    {
        if (iOpenPage < 0)
            return true;
        const std::string strSrc = PagePath(iOpenPage);
        const stPageFormat format = FormatOf(info, llBytes);
        const std::string strDst = strOutDir + "/page_" + std::to_string(iOpenPage + 1) + format.strExt;
        std::ifstream in(strSrc, std::ios::binary);
        std::ofstream out(strDst, std::ios::binary | std::ios::trunc);
        out << format.strHeader << in.rdbuf();
        out.close();
        const long long llExpected = llBytes + (long long)format.strHeader.size();
        const bool bOk =
            in.good() && out.good() && std::ifstream(strDst, std::ios::binary | std::ios::ate).tellg() == llExpected;
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

    // False once the stream has ended. The record that begins a page may already carry
    // its first bytes (network scanners).
    bool Take(const stQuarnRecord &rec)
    {
        if (rec.iResult != SANE_STATUS_GOOD)
            return false;
        if (rec.iSt == SCAN_STATUS_BEGIN_OF_PAGE) {
            Collect();
            iOpenPage = rec.iFileIndex;
            llBytes = std::max(rec.iLength, 0);
        } else if (rec.iLength > 0 && rec.iFileIndex == iOpenPage + 1) {
            llBytes += rec.iLength;
        }
        return true;
    }
};

// What differs between a USB and a network scan while its records come in.
struct stScanSession
{
    std::function<bool(stQuarnRecord *)> fnNext;
    std::function<int()> fnAbort;   // the exit status
    std::function<void()> fnFinish; // once the stream has ended
};

void ReportAbort(int iStatus, const stPageCollector &pages)
{
    std::fprintf(stderr, "scan cancelled; abort: %s; %d complete page(s) kept\n", QuarnStatusText(iStatus),
                 pages.iCollected);
}

// After the abort the daemon has reset the scanner: unlock it through a fresh handle.
int AbortScan(QuarnScanClient &client, const USBFindDevRes &dev, stPageCollector &pages)
{
    int iFd = dev.fd;
    const int iStatus = QuarnAbortUsbScan(client, dev, pages.strJob.c_str(), &iFd);
    pages.iOpenPage = -1; // the daemon deleted the job's remaining page files
    ReportAbort(iStatus, pages);
    client.StatusOf(USB_SCAN_UNLOCK, iFd);
    client.StatusOf(USB_CLOSE_DEV, iFd);
    return c_iExitCancelled;
}

bool WaitForRecord(int fd)
{
    pollfd pfd {fd, POLLIN, 0};
    return poll(&pfd, 1, c_iInterruptPollMs) > 0;
}

int RelayScan(QuarnScanClient &client, const stOptions &opt, const stScanSession &session, stPageCollector &pages)
{
    stQuarnRecord rec;
    while (true) {
        if (s_bInterrupted)
            return session.fnAbort();
        if (!WaitForRecord(client.Socket()))
            continue;
        if (!session.fnNext(&rec)) {
            std::fprintf(stderr, "lost the connection to the scan daemon\n");
            return c_iExitFailed;
        }
        if (!pages.Take(rec))
            break;
    }
    if (rec.iResult != SANE_STATUS_EOF) {
        pages.Discard();
        session.fnFinish();
        std::fprintf(stderr, "scan: %s (status %d)\n", QuarnScanEndText(rec.iResult, rec.iSt), rec.iResult);
        return c_iExitFailed;
    }
    const bool bCollected = pages.Collect();
    session.fnFinish();
    std::printf("%d page(s) written to %s\n", pages.iCollected, opt.strOut.c_str());
    return bCollected ? c_iExitOk : c_iExitFailed;
}

bool MakeOutDir(const stOptions &opt)
{
    if (mkdir(opt.strOut.c_str(), 0755) == 0 || errno == EEXIST)
        return true;
    std::fprintf(stderr, "cannot create %s: %s\n", opt.strOut.c_str(), std::strerror(errno));
    return false;
}

int RunScan(QuarnScanClient &client, const stOptions &opt)
{
    if (!MakeOutDir(opt))
        return c_iExitFailed;
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
    stPageCollector pages {client, start.fileName, opt.strOut, opt.info};
    stScanSession session;
    session.fnNext = [&](stQuarnRecord *pRec) {
        USBScanRecordRes rec {};
        const bool bGot = client.NextRecord(&rec, c_iQuarnResponseWaitMs);
        *pRec = QuarnRecordOf(rec);
        return bGot;
    };
    session.fnAbort = [&] { return AbortScan(client, dev, pages); };
    session.fnFinish = [&] {
        client.StatusOf(USB_SCAN_UNLOCK, dev.fd);
        client.StatusOf(USB_CLOSE_DEV, dev.fd);
    };
    return RelayScan(client, opt, session, pages);
}

const char *AdfText(ADFStatus st)
{
    switch (st) {
    case ADF_STATUS_EMPTY:
        return "empty";
    case ADF_STATUS_LOADED:
        return "loaded";
    case ADF_STATUS_PAPER_JAM:
        return "paper jam";
    default:
        return "unknown";
    }
}

int RunNetScan(QuarnScanClient &client, const stOptions &opt)
{
    if (!MakeOutDir(opt))
        return c_iExitFailed;
    const char *szIP = opt.strAddress.c_str();
    const int iFeeder = opt.info.feederEnabled ? QuarnNetFeederCheck(client, szIP) : SANE_STATUS_GOOD;
    if (iFeeder != SANE_STATUS_GOOD)
        return Fail("feeder", iFeeder);
    TCPScanStartRes start {};
    if (!client.StartNetScan(szIP, -1, opt.info, &start))
        return Fail("start", c_iQuarnNoAnswer);
    if (start.result != SANE_STATUS_GOOD)
        return Fail("start", start.result);
    std::printf("scanner %s (network)\n", szIP);
    stPageCollector pages {client, start.fileName, opt.strOut, opt.info};
    stScanSession session;
    session.fnNext = [&](stQuarnRecord *pRec) {
        TCPRecordRes rec {};
        const bool bGot = client.NextNetRecord(&rec, c_iQuarnResponseWaitMs);
        *pRec = QuarnRecordOf(rec);
        return bGot;
    };
    session.fnAbort = [&] {
        const int iStatus = client.NetAbort(szIP, start.socketDataFd, start.fileName);
        pages.iOpenPage = -1; // the daemon deleted the job's remaining page files
        ReportAbort(iStatus, pages);
        return c_iExitCancelled;
    };
    session.fnFinish = [] {};
    return RelayScan(client, opt, session, pages);
}

int RunNetInfo(QuarnScanClient &client, const stOptions &opt)
{
    const char *szIP = opt.strAddress.c_str();
    TCPDevPropertiesRes caps {};
    if (!client.NetDevProperties(szIP, &caps))
        return Fail("capabilities", c_iQuarnNoAnswer);
    if (caps.result != SANE_STATUS_GOOD)
        return Fail("capabilities", caps.result);
    const ScannerCapabilities &c = caps.devPro;
    std::printf("scanner %s (network)\n", szIP);
    std::printf("duplex %s, colour %s\n", c.duplex ? "yes" : "no", c.color ? "yes" : "no");
    std::printf("resolution %u..%u dpi (basic %u)\n", c.minres, c.maxres, c.basicres);
    std::printf("largest area %u x %u, width format %u, family %u\n", c.maxWidth, c.maxHeight, c.width_format,
                c.family);
    std::printf("profiles %s, stored profiles %s\n", c.profile ? "on" : "off", c.permprofiles ? "yes" : "no");
    TCPADFStatusRes adf {};
    const bool bAdf = client.NetAdfStatus(szIP, &adf);
    const int iAdf = bAdf ? adf.result : c_iQuarnNoAnswer;
    std::printf("feeder: %s\n", iAdf == SANE_STATUS_GOOD ? AdfText(adf.st) : QuarnStatusText(iAdf));
    std::string strFamily;
    const int iOsl = client.SendOsl(szIP, OSL_CMD_FAMILYTYPE, &strFamily);
    std::printf("family type: %s\n", iOsl == SANE_STATUS_GOOD ? strFamily.c_str() : QuarnStatusText(iOsl));
    return c_iExitOk;
}

int RunCommand(QuarnScanClient &client, const stOptions &opt)
{
    if (opt.strCommand == "list")
        return RunList(client, opt);
    if (opt.strCommand == "scan")
        return RunScan(client, opt);
    return opt.strCommand == "netscan" ? RunNetScan(client, opt) : RunNetInfo(client, opt);
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
    return RunCommand(client, opt);
}
