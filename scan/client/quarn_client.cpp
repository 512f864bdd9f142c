#include "quarn_client.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>

namespace
{
using Clock = std::chrono::steady_clock;

int RemainingMs(Clock::time_point deadline)
{
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left > 0 ? int(left) : 0;
}

bool WaitReadable(int fd, int iWaitMs)
{
    pollfd pfd {fd, POLLIN, 0};
    int r;
    do {
        r = poll(&pfd, 1, iWaitMs);
    } while (r < 0 && errno == EINTR);
    return r > 0;
}
}  // namespace

const char *QuarnStatusText(int iStatus)
{
    switch (iStatus) {
    case SANE_STATUS_GOOD:
        return "success";
    case SANE_STATUS_UNSUPPORTED:
        return "not supported by the scanner";
    case SANE_STATUS_CANCELLED:
        return "scan cancelled";
    case SANE_STATUS_DEVICE_BUSY:
        return "scanner busy";
    case SANE_STATUS_INVAL:
        return "invalid request or scanner answer";
    case SANE_STATUS_EOF:
        return "no more data (scan complete)";
    case SANE_STATUS_JAMMED:
        return "paper jam in the document feeder";
    case SANE_STATUS_NO_DOCS:
        return "no documents in the feeder";
    case SANE_STATUS_COVER_OPEN:
        return "scanner cover open";
    case SANE_STATUS_IO_ERROR:
        return "input/output error talking to the scanner";
    case SANE_STATUS_NO_MEM:
        return "out of memory";
    case SANE_STATUS_ACCESS_DENIED:
        return "access denied (page file could not be created)";
    case -1:
        return "scanner disconnected";
    case c_iQuarnNoAnswer:
        return "no answer from the scan daemon";
    default:
        return "unknown status";
    }
}

const char *QuarnScanEndText(int iResult, int iSt)
{
    return QuarnScanDirFull(iResult, iSt) ? "no space left in the scan directory" : QuarnStatusText(iResult);
}

QuarnScanClient::~QuarnScanClient()
{
    Close();
}

bool QuarnScanClient::Connect()
{
    Close();
    m_iSocket = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (m_iSocket < 0)
        return false;
    sockaddr_in addr {};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(c_usQuarnPort);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(m_iSocket, reinterpret_cast<const sockaddr *>(&addr), sizeof(addr)) != 0) {
        const int iErrno = errno;  // for the caller's message
        Close();
        errno = iErrno;
        return false;
    }
    const int iNoDelay = 1;
    setsockopt(m_iSocket, IPPROTO_TCP, TCP_NODELAY, &iNoDelay, sizeof(iNoDelay));
    return true;
}

void QuarnScanClient::Attach(int iSocket)
{
    Close();
    m_iSocket = iSocket;
}

void QuarnScanClient::Close()
{
    if (m_iSocket >= 0)
        close(m_iSocket);
    m_iSocket = -1;
    m_bStreamOpen = false;
}

bool QuarnScanClient::SendRaw(const void *pData, size_t nCount)
{
    const auto *p = static_cast<const char *>(pData);
    size_t nSent = 0;
    while (nSent < nCount) {
        const ssize_t r = send(m_iSocket, p + nSent, nCount - nSent, MSG_NOSIGNAL);
        if (r < 0 && errno == EINTR)
            continue;
        if (r <= 0)
            return false;
        nSent += size_t(r);
    }
    return true;
}

// Code and request leave in one piece.
bool QuarnScanClient::SendCommand(scanCommandType code, const void *pReq, size_t nReq)
{
    const int32_t iCode = code;
    std::vector<char> vecBytes(sizeof(iCode) + nReq);
    std::memcpy(vecBytes.data(), &iCode, sizeof(iCode));
    if (nReq)
        std::memcpy(vecBytes.data() + sizeof(iCode), pReq, nReq);
    return SendRaw(vecBytes.data(), vecBytes.size());
}

bool QuarnScanClient::RecvRaw(void *pData, size_t nCount, int iWaitMs)
{
    const auto deadline = Clock::now() + std::chrono::milliseconds(iWaitMs);
    auto *p = static_cast<char *>(pData);
    size_t nHave = 0;
    while (nHave < nCount) {
        const int iPollMs = iWaitMs == c_iQuarnWaitForever ? -1 : RemainingMs(deadline);
        if (!WaitReadable(m_iSocket, iPollMs))
            return false;
        const ssize_t r = recv(m_iSocket, p + nHave, nCount - nHave, 0);
        if (r < 0 && errno == EINTR)
            continue;
        if (r <= 0)
            return false;
        nHave += size_t(r);
    }
    return true;
}

int QuarnScanClient::StatusOf(scanCommandType code, int iDevFd)
{
    const USBCommonReq req {iDevFd};
    return StatusOf(code, req);
}

int QuarnScanClient::FindDevices(int iVid, int iPid, bool bComparePid, std::vector<USBFindDevRes> *pList)
{
    USBFindDevReq req {};
    req.vid = iVid;
    req.pid = iPid;
    req.compareWithPID = bComparePid;
    int32_t iCount = 0;
    if (!SendCommand(USB_FIND_DEV, &req, sizeof(req)) || !RecvRaw(&iCount, sizeof(iCount)))
        return c_iQuarnNoAnswer;
    pList->clear();
    for (int i = 0; i < iCount; ++i) {
        USBFindDevRes res;
        if (!RecvRaw(&res, sizeof(res)))
            return c_iQuarnNoAnswer;
        res.Manufacturer[sizeof(res.Manufacturer) - 1] = '\0';
        res.Product[sizeof(res.Product) - 1] = '\0';
        res.SerialNumber[sizeof(res.SerialNumber) - 1] = '\0';
        pList->push_back(res);
    }
    return iCount;
}

USBReopenDevRes QuarnScanClient::Reopen(int iDevFd, int iVid, int iPid, const char *szSerial)
{
    USBReopenDevReq req {};
    req.devfd = iDevFd;
    req.vid = iVid;
    req.pid = iPid;
    std::strncpy(req.SerialNumber, szSerial, sizeof(req.SerialNumber) - 1);
    USBReopenDevRes res {c_iQuarnNoAnswer, -1};
    if (!SendCommand(USB_REOPEN_DEV, &req, sizeof(req)) || !RecvRaw(&res, sizeof(res)))
        res.ret = c_iQuarnNoAnswer;
    return res;
}

int QuarnScanClient::Lock(int iDevFd, const SettingInfo &info)
{
    USBScanLockReq req {};
    req.devfd = iDevFd;
    req.info = info;
    return StatusOf(USB_SCAN_LOCK, req);
}

bool QuarnScanClient::AdfStatus(int iDevFd, USBScanAdfStatusRes *pRes)
{
    const USBCommonReq req {iDevFd};
    return SendCommand(USB_SCAN_ADFSTATUS, &req, sizeof(req)) && RecvRaw(pRes, sizeof(*pRes));
}

bool QuarnScanClient::DevProperties(int iDevFd, USBScanDevicePropertiesRes *pRes)
{
    const USBCommonReq req {iDevFd};
    return SendCommand(USB_SCAN_DEVPROPERTIES, &req, sizeof(req)) && RecvRaw(pRes, sizeof(*pRes));
}

bool QuarnScanClient::DeleteFile(const std::string &strPath)
{
    CmdDeleteFileReq req {};
    if (strPath.size() >= sizeof(req.fileName))
        return false;
    std::memcpy(req.fileName, strPath.data(), strPath.size());
    return SendCommand(CMD_DELETE_FILE, &req, sizeof(req));
}

bool QuarnScanClient::StartScan(int iDevFd, USBScanStartRes *pRes)
{
    const USBCommonReq req {iDevFd};
    if (!SendCommand(USB_SCAN_START, &req, sizeof(req)) || !RecvRaw(pRes, sizeof(*pRes)))
        return false;
    pRes->fileName[sizeof(pRes->fileName) - 1] = '\0';
    m_bStreamOpen = pRes->result == SANE_STATUS_GOOD;
    return true;
}

template <typename TRecord>
bool QuarnScanClient::NextRecordOf(TRecord *pRec, int iWaitMs)
{
    if (!m_bStreamOpen || !RecvRaw(pRec, sizeof(*pRec), iWaitMs))
        return false;
    if (pRec->result != SANE_STATUS_GOOD)
        m_bStreamOpen = false;
    return true;
}

bool QuarnScanClient::NextRecord(USBScanRecordRes *pRec, int iWaitMs)
{
    return NextRecordOf(pRec, iWaitMs);
}

template <typename TRequest, typename TRecord>
int QuarnScanClient::AbortWith(scanCommandType code, const TRequest &req, std::vector<TRecord> *pPending)
{
    if (!SendCommand(code, &req, sizeof(req)))
        return c_iQuarnNoAnswer;
    TRecord rec;
    while (m_bStreamOpen) {
        if (!NextRecordOf(&rec, c_iQuarnResponseWaitMs))
            return c_iQuarnNoAnswer;
        if (pPending)
            pPending->push_back(rec);
    }
    int32_t iStatus = 0;
    return RecvRaw(&iStatus, sizeof(iStatus)) ? iStatus : c_iQuarnNoAnswer;
}

int QuarnScanClient::Abort(int iDevFd, const char *szJob, std::vector<USBScanRecordRes> *pPending)
{
    USBScanAbortReq req {};
    req.devfd = iDevFd;
    std::strncpy(req.fileName, szJob, sizeof(req.fileName) - 1);
    return AbortWith(USB_SCAN_ABORT, req, pPending);
}

QuarnSocket QuarnSocketFor(const char *szIP, int iDataFd)
{
    QuarnSocket socket {};
    socket.tcpFromScanner = iDataFd;
    if (std::strlen(szIP) < sizeof(socket.szScannerIP))
        std::strcpy(socket.szScannerIP, szIP);
    return socket;
}

int QuarnScanClient::SendOsl(const char *szIP, OSL_CMD_TYPE type, std::string *pReply)
{
    TCPOSLReq req {};
    req.socket = QuarnSocketFor(szIP, -1);
    req.type = type;
    TCPOSLRes res {};
    if (!SendCommand(TCP_SEND_OSL, &req, sizeof(req)) || !RecvRaw(&res, sizeof(res)))
        return c_iQuarnNoAnswer;
    pReply->assign(size_t(std::max(res.bufferLen, 0)), '\0');
    if (res.bufferLen > 0 && !RecvRaw(&(*pReply)[0], pReply->size()))
        return c_iQuarnNoAnswer;
    return res.result;
}

bool QuarnScanClient::NetAdfStatus(const char *szIP, TCPADFStatusRes *pRes)
{
    const TCPCommonReq req {QuarnSocketFor(szIP, -1)};
    return SendCommand(TCP_SCAN_ADFST, &req, sizeof(req)) && RecvRaw(pRes, sizeof(*pRes));
}

bool QuarnScanClient::NetDevProperties(const char *szIP, TCPDevPropertiesRes *pRes)
{
    const TCPCommonReq req {QuarnSocketFor(szIP, -1)};
    return SendCommand(TCP_SCAN_DEVPROPERTIES, &req, sizeof(req)) && RecvRaw(pRes, sizeof(*pRes));
}

bool QuarnScanClient::StartNetScan(const char *szIP, int iDataFd, const SettingInfo &info, TCPScanStartRes *pRes)
{
    TCPScanStartReq req {};
    req.socket = QuarnSocketFor(szIP, iDataFd);
    req.info = info;
    if (!SendCommand(TCP_SCAN_START, &req, sizeof(req)) || !RecvRaw(pRes, sizeof(*pRes)))
        return false;
    pRes->fileName[sizeof(pRes->fileName) - 1] = '\0';
    m_bStreamOpen = pRes->result == SANE_STATUS_GOOD;
    return true;
}

bool QuarnScanClient::NextNetRecord(TCPRecordRes *pRec, int iWaitMs)
{
    return NextRecordOf(pRec, iWaitMs);
}

int QuarnScanClient::NetAbort(const char *szIP, int iDataFd, const char *szJob, std::vector<TCPRecordRes> *pPending)
{
    TCPScanAbortReq req {};
    req.socket = QuarnSocketFor(szIP, iDataFd);
    std::strncpy(req.fileName, szJob, sizeof(req.fileName) - 1);
    return AbortWith(TCP_SCAN_ABORT, req, pPending);
}

stQuarnRecord QuarnRecordOf(const USBScanRecordRes &rec)
{
    return {rec.st, rec.fileIndex, rec.dataSize, rec.result};
}

stQuarnRecord QuarnRecordOf(const TCPRecordRes &rec)
{
    return {rec.st, rec.fileIndex, rec.bufferLen, rec.result};
}

std::string QuarnPagePath(const std::string &strJob, int iPage)
{
    return strJob + "_" + std::to_string(iPage) + c_szQuarnPageSuffix;
}

int QuarnNetFeederCheck(QuarnScanClient &client, const char *szIP)
{
    TCPADFStatusRes adf {};
    if (!client.NetAdfStatus(szIP, &adf) || adf.result != SANE_STATUS_GOOD)
        return SANE_STATUS_GOOD;
    if (adf.st == ADF_STATUS_EMPTY)
        return SANE_STATUS_NO_DOCS;
    return adf.st == ADF_STATUS_PAPER_JAM ? SANE_STATUS_JAMMED : SANE_STATUS_GOOD;
}

int QuarnAbortUsbScan(QuarnScanClient &client, const USBFindDevRes &dev, const char *szJob, int *piFd)
{
    const int iStatus = client.Abort(dev.fd, szJob);
    *piFd = dev.fd;
    if (dev.SerialNumber[0]) {
        const USBReopenDevRes res = client.Reopen(dev.fd, dev.vid, dev.pid, dev.SerialNumber);
        if (res.ret == SANE_STATUS_GOOD)
            *piFd = res.fd;
    }
    return iStatus;
}
