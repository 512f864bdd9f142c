#include "OstrelScanner.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <deque>

#include "ModelCatalogue.h"
#include "OstrelConfig.h"
#include "OstrelDebug.h"
#include "OstrelPage.h"
#include "quarn_client.h"
#include "quarn_page.h"

namespace
{
constexpr const char *c_szUsbPrefix = "usb:";
constexpr const char *c_szNetPrefix = "net:";
constexpr const char *c_szVendor = "OSTREL";
constexpr const char *c_szTypeFlatbed = "flatbed scanner";
constexpr const char *c_szNetModel = "network scanner";
constexpr int c_iCancelPollMs = 100;            // how late a cancel from a signal handler is seen
constexpr long long c_llPageFileMax = 1LL << 31; // far above a legal page in colour at 1200 dpi
const std::vector<int> c_vecUsbResolutions = {75, 150, 200, 300, 600, 1200};
constexpr int c_iUsbFeederMaxDpi = 600;          // the daemon sends 1200 dpi feeder scans as 600
constexpr unsigned c_uUsbMaxWidth = 2550;        // 8.5 in at the scanner's 300 units per inch
constexpr unsigned c_uUsbMaxHeight = 3508;       // 297 mm
constexpr int c_iNetMinDpiDefault = 75;          // for a capabilities reply without them
constexpr int c_iNetMaxDpiDefault = 1200;
constexpr unsigned c_uNetMaxWidthDefault = 2550;
constexpr unsigned c_uNetMaxHeightDefault = 4200;
constexpr uint8_t c_ucDepthLineart = 1;
constexpr uint8_t c_ucDepthGray = 8;
constexpr uint8_t c_ucDepthColor = 24;

bool StartsWith(const std::string &str, const char *szPrefix)
{
    return str.rfind(szPrefix, 0) == 0;
}

// What a daemon status means to a frontend: a vanished device or a silent daemon is an
// I/O error; every other value already is the standard's.
int SaneStatusOf(int iStatus)
{
    if (iStatus < SANE_STATUS_GOOD || iStatus > SANE_STATUS_ACCESS_DENIED)
        return SANE_STATUS_IO_ERROR;
    return iStatus;
}

const char *ModelOfPid(int iPid)
{
    for (const stModelRow &row : c_astModelRows) {
        if (row.iVID == c_iVendorOstrel && row.iPID == iPid)
            return row.szModelName + std::strlen(c_szVendor) + 1;
    }
    return "USB scanner";
}

bool ConnectDaemon(QuarnScanClient &client)
{
    if (client.Connect())
        return true;
    OstrelDebug(OSTREL_DBG_ERROR, "Unable to reach the scan daemon on 127.0.0.1:%u: %s", unsigned(c_usQuarnPort),
                std::strerror(errno));
    return false;
}

// Every supported USB scanner the daemon finds; the caller owns the handles.
std::vector<USBFindDevRes> FindUsbScanners(QuarnScanClient &client)
{
    std::vector<USBFindDevRes> vecAll;
    for (const stModelRow &row : c_astModelRows) {
        std::vector<USBFindDevRes> vec;
        if (client.FindDevices(row.iVID, row.iPID, true, &vec) > 0)
            vecAll.insert(vecAll.end(), vec.begin(), vec.end());
    }
    return vecAll;
}

std::string UsbName(const USBFindDevRes &dev)
{
    return std::string(c_szUsbPrefix) + dev.SerialNumber;
}

// The value of an attribute reply, between its value element's tags.
std::string OslValueText(const std::string &strReply)
{
    const size_t nOpen = strReply.find("<value");
    const size_t nStart = nOpen == std::string::npos ? nOpen : strReply.find('>', nOpen);
    const size_t nEnd = nStart == std::string::npos ? nStart : strReply.find("</value>", nStart);
    return nEnd == std::string::npos ? std::string() : strReply.substr(nStart + 1, nEnd - nStart - 1);
}

// The label of the configuration line, else the family the scanner names itself.
std::string NetModel(QuarnScanClient &client, const stOstrelNetEntry &entry)
{
    if (!entry.strLabel.empty())
        return entry.strLabel;
    std::string strReply;
    if (client.SendOsl(entry.strAddress.c_str(), OSL_CMD_FAMILYTYPE, &strReply) != SANE_STATUS_GOOD)
        return c_szNetModel;
    const std::string strFamily = OslValueText(strReply);
    return strFamily.empty() ? c_szNetModel : strFamily;
}

SettingInfo SettingsInfo(const stOstrelSettings &settings)
{
    SettingInfo info {};
    static const uint8_t c_aucDepth[] = {c_ucDepthLineart, c_ucDepthGray, c_ucDepthColor};
    info.bitDepth = c_aucDepth[settings.enMode];
    info.compType = settings.bJpeg && settings.enMode != OSTREL_MODE_LINEART ? COMPRESSION_JPEG : COMPRESSION_NONE;
    info.width = settings.uWidth;
    info.height = settings.uHeight;
    info.xStart = settings.uLeft;
    info.yStart = settings.uTop;
    info.xResolution = info.yResolution = uint16_t(settings.iDpi);
    info.feederEnabled = settings.enSource != OSTREL_SOURCE_FLATBED;
    info.isClient = info.feederEnabled;  // every page the feeder holds
    info.BrightnessParam = uint8_t(settings.iBrightness);
    info.ContrastParam = uint8_t(settings.iContrast);
    return info;
}

// The page file, opened; its size in *pllBytes.
int OpenPageFile(const std::string &strPath, long long *pllBytes)
{
    // Not following links nor blocking on anything but a regular file: the name comes
    // from the daemon, but the page is read by whoever runs the frontend.
    const int iFd = open(strPath.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
    struct stat st {};
    const bool bStat = iFd >= 0 && fstat(iFd, &st) == 0;
    if (!bStat || !S_ISREG(st.st_mode)) {
        OstrelDebug(OSTREL_DBG_ERROR, "Unable to read \"%s\": %s", strPath.c_str(),
                    bStat ? "not a regular file" : std::strerror(errno));
        if (iFd >= 0)
            close(iFd);
        return -1;
    }
    *pllBytes = (long long)st.st_size;
    return iFd;
}
}  // namespace

std::vector<stOstrelDevice> OstrelListDevices()
{
    QuarnScanClient client;
    if (!ConnectDaemon(client))
        return {};
    std::vector<stOstrelDevice> vecDevices;
    for (const USBFindDevRes &dev : FindUsbScanners(client)) {
        vecDevices.push_back({UsbName(dev), ModelOfPid(dev.pid), c_szTypeFlatbed});
        client.StatusOf(USB_CLOSE_DEV, dev.fd);
    }
    for (const stOstrelNetEntry &entry : OstrelReadConfig())
        vecDevices.push_back({c_szNetPrefix + entry.strAddress, NetModel(client, entry), c_szTypeFlatbed});
    OstrelDebug(OSTREL_DBG_INFO, "%zu device(s)", vecDevices.size());
    return vecDevices;
}

stOstrelFrame OstrelExpectedFrame(const stOstrelSettings &settings, unsigned uUnitsPerInch)
{
    return OstrelRawFrame(SettingsInfo(settings), uUnitsPerInch);
}

struct OstrelScanner::stImpl
{
    QuarnScanClient client;
    bool bNet = false;
    std::string strAddress;
    USBFindDevRes dev {};
    unsigned uUnitsPerInch = c_uQuarnUnitsPerInch;
    int iDataFd = -1;  // the network scan data connection the daemon holds for us

    // The job that runs: its pages come one per Start.
    bool bJob = false;
    std::string strJob;
    SettingInfo info {};
    int iOpenPage = -1;  // the page the daemon writes
    long long llOpenBytes = 0;
    std::deque<std::pair<int, long long>> dequeComplete;  // page and size, not yet delivered
    int iEnd = SANE_STATUS_GOOD;  // how the record stream ended
    int iDelivered = 0;

    int OpenUsb(const std::string &strSerial, stOstrelCaps *pCaps);
    int OpenNet(const std::string &strAddress, stOstrelCaps *pCaps);
    int BeginJob(const stOstrelSettings &settings);
    int BeginUsbJob();
    int BeginNetJob();
    int NextPage(const volatile sig_atomic_t &bCancel, stOstrelFrame *pFrame);
    int Drain(const volatile sig_atomic_t &bCancel);
    bool Drained() const { return dequeComplete.empty() && !client.StreamOpen(); }
    int ReadRecord(const volatile sig_atomic_t &bCancel, stQuarnRecord *pRec);
    void Take(const stQuarnRecord &rec);
    void CompletePage();
    int Deliver(int iPage, long long llBytes, stOstrelFrame *pFrame);
    int JobEnded();
    void EndJob();
    void DropPages();
};

int OstrelScanner::stImpl::OpenUsb(const std::string &strSerial, stOstrelCaps *pCaps)
{
    bool bFound = false;
    for (const USBFindDevRes &found : FindUsbScanners(client)) {
        if (!bFound && (strSerial.empty() || strSerial == found.SerialNumber)) {
            dev = found;
            bFound = true;
            continue;
        }
        client.StatusOf(USB_CLOSE_DEV, found.fd);
    }
    if (!bFound) {
        OstrelDebug(OSTREL_DBG_ERROR, "no USB scanner with serial number \"%s\"", strSerial.c_str());
        return SANE_STATUS_INVAL;
    }
    pCaps->vecResolutions = c_vecUsbResolutions;
    pCaps->vecSources = {OSTREL_SOURCE_FLATBED, OSTREL_SOURCE_ADF};
    pCaps->uMaxWidth = c_uUsbMaxWidth;
    pCaps->uMaxHeight = c_uUsbMaxHeight;
    pCaps->iFeederMaxDpi = c_iUsbFeederMaxDpi;
    pCaps->uUnitsPerInch = c_uQuarnUnitsPerInch;
    OstrelDebug(OSTREL_DBG_INFO, "opened USB scanner %04x:%04x \"%s\"", unsigned(dev.vid), unsigned(dev.pid),
                dev.SerialNumber);
    return SANE_STATUS_GOOD;
}

int OstrelScanner::stImpl::OpenNet(const std::string &strIP, stOstrelCaps *pCaps)
{
    bNet = true;
    strAddress = strIP;
    TCPDevPropertiesRes res {};
    const bool bAnswered = client.NetDevProperties(strIP.c_str(), &res);
    if (!bAnswered || res.result != SANE_STATUS_GOOD) {
        const int iStatus = bAnswered ? res.result : c_iQuarnNoAnswer;
        OstrelDebug(OSTREL_DBG_ERROR, "Unable to get the capabilities of %s: %s", strIP.c_str(),
                    QuarnStatusText(iStatus));
        return SaneStatusOf(iStatus);
    }
    const ScannerCapabilities &caps = res.devPro;
    const int iMin = caps.minres ? int(caps.minres) : c_iNetMinDpiDefault;
    pCaps->vecResolutions = {iMin, std::max(iMin, caps.maxres ? int(caps.maxres) : c_iNetMaxDpiDefault)};
    pCaps->bRange = true;
    pCaps->vecSources = {OSTREL_SOURCE_FLATBED, OSTREL_SOURCE_ADF};
    if (caps.duplex)
        pCaps->vecSources.push_back(OSTREL_SOURCE_ADF_DUPLEX);
    pCaps->bColor = caps.color;
    uUnitsPerInch = pCaps->uUnitsPerInch = caps.basicres ? caps.basicres : c_uQuarnUnitsPerInch;
    pCaps->uMaxWidth = caps.maxWidth ? caps.maxWidth : c_uNetMaxWidthDefault;
    pCaps->uMaxHeight = caps.maxHeight ? caps.maxHeight : c_uNetMaxHeightDefault;
    OstrelDebug(OSTREL_DBG_INFO, "opened network scanner %s: %d..%d dpi, duplex %d, colour %d", strIP.c_str(),
                pCaps->vecResolutions[0], pCaps->vecResolutions[1], int(caps.duplex), int(caps.color));
    return SANE_STATUS_GOOD;
}

int OstrelScanner::stImpl::BeginUsbJob()
{
    USBScanAdfStatusRes adf {};
    if (info.feederEnabled && client.AdfStatus(dev.fd, &adf) && adf.result == SANE_STATUS_GOOD) {
        if (adf.st == ADF_STATUS_EMPTY)
            return SANE_STATUS_NO_DOCS;
        if (adf.st == ADF_STATUS_PAPER_JAM)
            return SANE_STATUS_JAMMED;
    }
    const int iLock = client.Lock(dev.fd, info);
    if (iLock != SANE_STATUS_GOOD) {
        OstrelDebug(OSTREL_DBG_ERROR, "Unable to lock the scanner: %s", QuarnStatusText(iLock));
        return SaneStatusOf(iLock);
    }
    USBScanStartRes start {};
    const bool bAnswered = client.StartScan(dev.fd, &start);
    if (!bAnswered || start.result != SANE_STATUS_GOOD) {
        const int iStatus = bAnswered ? start.result : c_iQuarnNoAnswer;
        OstrelDebug(OSTREL_DBG_ERROR, "Unable to start the scan: %s", QuarnStatusText(iStatus));
        client.StatusOf(USB_SCAN_UNLOCK, dev.fd);
        return SaneStatusOf(iStatus);
    }
    strJob = start.fileName;
    return SANE_STATUS_GOOD;
}

int OstrelScanner::stImpl::BeginNetJob()
{
    const char *szIP = strAddress.c_str();
    const int iFeeder = info.feederEnabled ? QuarnNetFeederCheck(client, szIP) : SANE_STATUS_GOOD;
    if (iFeeder != SANE_STATUS_GOOD)
        return iFeeder;
    TCPScanStartRes start {};
    const bool bAnswered = client.StartNetScan(szIP, iDataFd, info, &start);
    iDataFd = -1;  // the start closed the one of the last job
    if (!bAnswered || start.result != SANE_STATUS_GOOD) {
        const int iStatus = bAnswered ? start.result : c_iQuarnNoAnswer;
        OstrelDebug(OSTREL_DBG_ERROR, "Unable to start the scan on %s: %s", szIP, QuarnStatusText(iStatus));
        return SaneStatusOf(iStatus);
    }
    iDataFd = start.socketDataFd;
    strJob = start.fileName;
    return SANE_STATUS_GOOD;
}

int OstrelScanner::stImpl::BeginJob(const stOstrelSettings &settings)
{
    info = SettingsInfo(settings);
    const int iStatus = bNet ? BeginNetJob() : BeginUsbJob();
    if (iStatus != SANE_STATUS_GOOD)
        return iStatus;
    OstrelDebug(OSTREL_DBG_INFO, "job %s started", strJob.c_str());
    bJob = true;
    iOpenPage = -1;
    llOpenBytes = 0;
    dequeComplete.clear();
    iEnd = SANE_STATUS_GOOD;
    iDelivered = 0;
    return SANE_STATUS_GOOD;
}

// Waits for the next record in slices, so that a cancel from a signal handler ends the
// wait soon.
int OstrelScanner::stImpl::ReadRecord(const volatile sig_atomic_t &bCancel, stQuarnRecord *pRec)
{
    while (!bCancel) {
        pollfd pfd {client.Socket(), POLLIN, 0};
        if (poll(&pfd, 1, c_iCancelPollMs) <= 0)
            continue;
        bool bGot;
        if (bNet) {
            TCPRecordRes rec {};
            bGot = client.NextNetRecord(&rec, c_iQuarnResponseWaitMs);
            *pRec = QuarnRecordOf(rec);
        } else {
            USBScanRecordRes rec {};
            bGot = client.NextRecord(&rec, c_iQuarnResponseWaitMs);
            *pRec = QuarnRecordOf(rec);
        }
        if (!bGot) {
            OstrelDebug(OSTREL_DBG_ERROR, "lost the connection to the scan daemon during job %s", strJob.c_str());
            pRec->iResult = c_iQuarnNoAnswer;
        }
        OstrelDebug(OSTREL_DBG_TRACE, "record st %d page %d length %d result %d", pRec->iSt, pRec->iFileIndex,
                    pRec->iLength, pRec->iResult);
        return SANE_STATUS_GOOD;
    }
    return SANE_STATUS_CANCELLED;
}

void OstrelScanner::stImpl::CompletePage()
{
    if (iOpenPage >= 0)
        dequeComplete.emplace_back(iOpenPage, llOpenBytes);
    iOpenPage = -1;
    llOpenBytes = 0;
}

// A page is complete when the device says so, when the next one begins or when the job
// ends well; the record that begins a page may already carry its first bytes.
void OstrelScanner::stImpl::Take(const stQuarnRecord &rec)
{
    if (rec.iResult != SANE_STATUS_GOOD) {
        iEnd = rec.iResult;
        if (rec.iResult == SANE_STATUS_EOF)
            CompletePage();
        return;
    }
    if (rec.iSt == SCAN_STATUS_BEGIN_OF_PAGE) {
        CompletePage();
        iOpenPage = rec.iFileIndex;
        llOpenBytes = std::max(rec.iLength, 0);
    } else if (rec.iSt == SCAN_STATUS_END_OF_PAGE) {
        CompletePage();
    } else if (rec.iLength > 0 && rec.iFileIndex == iOpenPage + 1) {
        llOpenBytes += rec.iLength;
    }
}

int OstrelScanner::stImpl::Deliver(int iPage, long long llBytes, stOstrelFrame *pFrame)
{
    const std::string strPath = QuarnPagePath(strJob, iPage);
    long long llSize = 0;
    const int iFd = OpenPageFile(strPath, &llSize);
    // An open file outlives its name, so the daemon may drop it while the page is read.
    client.DeleteFile(strPath);
    if (iFd < 0)
        return SANE_STATUS_IO_ERROR;
    if (llSize != llBytes || llSize > c_llPageFileMax) {
        OstrelDebug(OSTREL_DBG_ERROR, "page %d: %lld bytes in \"%s\", %lld announced%s", iPage, llSize,
                    strPath.c_str(), llBytes, llSize > c_llPageFileMax ? ", larger than any page" : "");
        close(iFd);
        return SANE_STATUS_IO_ERROR;
    }
    const int iStatus = OstrelTakePage(iFd, llSize, info, uUnitsPerInch, pFrame);
    if (iStatus == SANE_STATUS_GOOD) {
        ++iDelivered;
        OstrelDebug(OSTREL_DBG_INFO, "page %d: %d x %d pixels, %d bit%s", iPage, pFrame->iPixels, pFrame->iLines,
                    pFrame->iDepth, pFrame->bRgb ? " RGB" : "");
    }
    return iStatus;
}

// The status of a job whose records have all come and whose pages are all delivered.
int OstrelScanner::stImpl::JobEnded()
{
    if (iEnd != SANE_STATUS_EOF) {
        OstrelDebug(OSTREL_DBG_ERROR, "job %s ended: %s", strJob.c_str(), QuarnStatusText(iEnd));
        return SaneStatusOf(iEnd);
    }
    if (info.feederEnabled)
        return SANE_STATUS_NO_DOCS;
    OstrelDebug(OSTREL_DBG_ERROR, "job %s ended without a page", strJob.c_str());
    return SANE_STATUS_IO_ERROR;
}

int OstrelScanner::stImpl::NextPage(const volatile sig_atomic_t &bCancel, stOstrelFrame *pFrame)
{
    while (dequeComplete.empty() && client.StreamOpen()) {
        stQuarnRecord rec;
        if (ReadRecord(bCancel, &rec) != SANE_STATUS_GOOD)
            return SANE_STATUS_CANCELLED;
        Take(rec);
    }
    if (dequeComplete.empty())
        return JobEnded();
    const std::pair<int, long long> page = dequeComplete.front();
    dequeComplete.pop_front();
    return Deliver(page.first, page.second, pFrame);
}

// The rest of a flatbed job's records, so that it ends without an abort.
int OstrelScanner::stImpl::Drain(const volatile sig_atomic_t &bCancel)
{
    while (client.StreamOpen()) {
        stQuarnRecord rec;
        if (ReadRecord(bCancel, &rec) != SANE_STATUS_GOOD)
            return SANE_STATUS_CANCELLED;
        Take(rec);
    }
    return iEnd == SANE_STATUS_EOF ? SANE_STATUS_GOOD : SaneStatusOf(iEnd);
}

void OstrelScanner::stImpl::DropPages()
{
    for (const auto &page : dequeComplete)
        client.DeleteFile(QuarnPagePath(strJob, page.first));
    if (iOpenPage >= 0)
        client.DeleteFile(QuarnPagePath(strJob, iOpenPage));
    dequeComplete.clear();
    iOpenPage = -1;
}

void OstrelScanner::stImpl::EndJob()
{
    if (!bJob)
        return;
    bJob = false;
    if (client.StreamOpen()) {
        // The abort drops every page file of the job.
        OstrelDebug(OSTREL_DBG_INFO, "aborting job %s", strJob.c_str());
        dequeComplete.clear();
        iOpenPage = -1;
        if (bNet) {
            client.NetAbort(strAddress.c_str(), iDataFd, strJob.c_str());
            iDataFd = -1;
        } else {
            QuarnAbortUsbScan(client, dev, strJob.c_str(), &dev.fd);
        }
    }
    DropPages();
    if (!bNet)
        client.StatusOf(USB_SCAN_UNLOCK, dev.fd);
}

OstrelScanner::OstrelScanner() : m_pImpl(std::make_unique<stImpl>()) {}

OstrelScanner::~OstrelScanner()
{
    m_pImpl->EndJob();
    if (!m_pImpl->bNet && m_pImpl->dev.fd > 0)
        m_pImpl->client.StatusOf(USB_CLOSE_DEV, m_pImpl->dev.fd);
}

int OstrelScanner::Open(const std::string &strName, stOstrelCaps *pCaps)
{
    std::string strDevice = strName;
    if (strDevice.empty()) {
        const std::vector<stOstrelDevice> vecDevices = OstrelListDevices();
        if (vecDevices.empty())
            return SANE_STATUS_INVAL;
        strDevice = vecDevices.front().strName;
    }
    if (!ConnectDaemon(m_pImpl->client))
        return SANE_STATUS_IO_ERROR;
    if (StartsWith(strDevice, c_szUsbPrefix))
        return m_pImpl->OpenUsb(strDevice.substr(std::strlen(c_szUsbPrefix)), pCaps);
    if (StartsWith(strDevice, c_szNetPrefix))
        return m_pImpl->OpenNet(strDevice.substr(std::strlen(c_szNetPrefix)), pCaps);
    OstrelDebug(OSTREL_DBG_ERROR, "no such device: \"%s\"", strDevice.c_str());
    return SANE_STATUS_INVAL;
}

int OstrelScanner::Start(const stOstrelSettings &settings, stOstrelFrame *pFrame)
{
    stImpl &impl = *m_pImpl;
    if (impl.bJob && impl.Drained()) {
        // A feeder has run empty (or stopped); a flatbed scans anew.
        const bool bFeeder = impl.info.feederEnabled;
        const int iEnd = bFeeder ? impl.JobEnded() : SANE_STATUS_GOOD;
        impl.EndJob();
        if (bFeeder)
            return iEnd;
    }
    if (!impl.bJob) {
        const int iStatus = impl.BeginJob(settings);
        if (iStatus != SANE_STATUS_GOOD)
            return iStatus;
    }
    int iStatus = impl.NextPage(m_bCancel, pFrame);
    if (iStatus == SANE_STATUS_GOOD && !impl.info.feederEnabled)
        iStatus = impl.Drain(m_bCancel);
    if (iStatus != SANE_STATUS_GOOD)
        impl.EndJob();
    return iStatus;
}

void OstrelScanner::Finish()
{
    m_pImpl->EndJob();
}
