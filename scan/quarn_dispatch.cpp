#include "quarn_dispatch.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

volatile sig_atomic_t flag = 1;

namespace
{
constexpr int c_iSendRetries = 10;
constexpr int c_iPageWriteRetries = 10;
constexpr int c_iDataStopWaitMs = 2000;
constexpr int c_iDataStopPollMs = 10;
constexpr mode_t c_modePageFile = 0644;
constexpr char c_cGateOpen = 'g';
// The data process's exit status when the client never got the end of its stream.
constexpr int c_iExitStreamCut = 1;

// Set in a data process when its connection asks it to stop; looked at between records.
volatile sig_atomic_t s_bStopData = 0;

void OnStopData(int)
{
    s_bStopData = 1;
}

// What a data process reads its records from.
struct stScanSource
{
    bool bNetwork = false;
    int iDevFd = -1;
    QuarnSocket socket {};
};

struct stRecord
{
    ScanStatus st = SCAN_STATUS_OPERATION_CONTINUOUS;
    int iFileIndex = 0;
    int iLength = 0;
    int iResult = SANE_STATUS_GOOD;
};

template <size_t N>
void Terminate(char (&szText)[N])
{
    szText[N - 1] = '\0';
}

bool StartsWith(const char *szText, const char *szPrefix)
{
    return std::strncmp(szText, szPrefix, std::strlen(szPrefix)) == 0;
}

bool EndsWith(const char *szText, const char *szSuffix)
{
    const size_t nText = std::strlen(szText);
    const size_t nSuffix = std::strlen(szSuffix);
    return nText >= nSuffix && std::strcmp(szText + nText - nSuffix, szSuffix) == 0;
}

// A record is short only when the peer left, the receive failed or the daemon stops.
bool RecvAll(int fd, void *pData, size_t nCount)
{
    auto *p = static_cast<char *>(pData);
    size_t nHave = 0;
    while (nHave < nCount) {
        const ssize_t r = recv(fd, p + nHave, nCount - nHave, 0);
        if (r > 0) {
            nHave += size_t(r);
            continue;
        }
        if (r < 0 && errno == EINTR && flag)
            continue;
        return false;
    }
    return true;
}

template <typename T>
bool RecvRequest(const stQuarnConnection &conn, T *pReq)
{
    std::memset(pReq, 0, sizeof(*pReq));
    return RecvAll(conn.iSocket, pReq, sizeof(*pReq));
}

bool SendBytes(int fd, const void *pData, int iCount)
{
    return serverTcpSendWithRetry(fd, pData, iCount, MSG_NOSIGNAL) == iCount;
}

template <typename T>
bool SendRecord(const stQuarnConnection &conn, const T &rec)
{
    return SendBytes(conn.iSocket, &rec, int(sizeof(rec)));
}

bool SendStatus(const stQuarnConnection &conn, int iStatus)
{
    const int32_t iWire = iStatus;
    return SendRecord(conn, iWire);
}

bool StreamWasCut(int iWaitStatus)
{
    return !WIFEXITED(iWaitStatus) || WEXITSTATUS(iWaitStatus) != 0;
}

void ReapDataProcesses(stQuarnConnection &conn)
{
    pid_t pid;
    int iStatus = 0;
    while ((pid = waitpid(-1, &iStatus, WNOHANG)) > 0) {
        if (pid != conn.dataProcPid)
            continue;
        conn.dataProcPid = 0;
        conn.bStreamCut = StreamWasCut(iStatus);
    }
}

bool SendScanRecord(int iSocket, bool bNetwork, const stRecord &rec)
{
    if (bNetwork) {
        const TCPRecordRes res {rec.iResult, rec.iLength, rec.iFileIndex, rec.st};
        return SendBytes(iSocket, &res, int(sizeof(res)));
    }
    const USBScanRecordRes res {rec.st, rec.iFileIndex, rec.iLength, rec.iResult};
    return SendBytes(iSocket, &res, int(sizeof(res)));
}

// ---- the data process ----

int OpenPageFile(const std::string &strJob, int iPage)
{
    const std::string strPath = strJob + "_" + std::to_string(iPage) + c_szQuarnPageSuffix;
    return open(strPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, c_modePageFile);
}

bool AppendPage(int fdPage, const unsigned char *pData, int iLength)
{
    if (fdPage < 0)
        return false;
    int iWritten = 0;
    for (int iAttempt = 0; iWritten < iLength && iAttempt <= c_iPageWriteRetries; ++iAttempt) {
        const ssize_t r = write(fdPage, pData + iWritten, size_t(iLength - iWritten));
        if (r > 0)
            iWritten += int(r);
    }
    return iWritten == iLength;
}

void ClosePage(int &fdPage)
{
    if (fdPage >= 0)
        close(fdPage);
    fdPage = -1;
}

int ReadSourceRecord(const stQuarnConnection &conn, stScanSource &src, stRecord &rec, unsigned char **ppBuf,
                     int *piSize)
{
    if (src.bNetwork)
        return conn.pNet->pfnRecord(&src.socket, &rec.st, ppBuf, piSize, &rec.iLength);
    return conn.pUsb->pfnRecord(src.iDevFd, &rec.st, ppBuf, piSize, &rec.iLength);
}

// Everything the data process does between two records: page bookkeeping, the bytes into
// the page file, then the record. Returns false once the stream has ended.
struct stPageStream
{
    const stQuarnConnection &conn;
    const std::string &strJob;
    stScanSource &src;
    int iPage = 0;
    int fdPage = -1;
    int iRecords = 0;
    unsigned char *pBuf = nullptr;
    int iBufSize = 0;
    bool bEndSent = false;  // the client got the record that ends its stream
};

bool SendFinal(stPageStream &s, stRecord rec)
{
    ClosePage(s.fdPage);
    rec.iLength = 0;
    s.bEndSent = SendScanRecord(s.conn.iSocket, s.src.bNetwork, rec);
    return false;
}

bool SendStopped(stPageStream &s)
{
    stRecord rec;
    rec.st = SCAN_STATUS_ABORTED_BY_REQUEST;
    rec.iFileIndex = s.iPage;
    rec.iResult = SANE_STATUS_CANCELLED;
    return SendFinal(s, rec);
}

bool RelayOneRecord(stPageStream &s)
{
    if (s_bStopData)
        return SendStopped(s);
    stRecord rec;
    rec.iFileIndex = s.iPage;
    rec.iResult = ReadSourceRecord(s.conn, s.src, rec, &s.pBuf, &s.iBufSize);
    // A network job's first block always begins page 0.
    if (s.src.bNetwork && s.iRecords++ == 0)
        rec.st = SCAN_STATUS_BEGIN_OF_PAGE;
    if (s_bStopData)
        return SendStopped(s);
    if (rec.st == SCAN_STATUS_BEGIN_OF_PAGE) {
        ClosePage(s.fdPage);
        s.fdPage = OpenPageFile(s.strJob, s.iPage);
        if (s.fdPage < 0) {
            stRecord denied;
            denied.iFileIndex = s.iPage;
            denied.iResult = SANE_STATUS_ACCESS_DENIED;
            return SendFinal(s, denied);
        }
        ++s.iPage;
    }
    if (rec.iResult == SANE_STATUS_GOOD && rec.iLength > 0 && !AppendPage(s.fdPage, s.pBuf, rec.iLength))
        rec.iResult = SANE_STATUS_IO_ERROR;
    if (rec.iResult != SANE_STATUS_GOOD)
        return SendFinal(s, rec);
    return SendScanRecord(s.conn.iSocket, s.src.bNetwork, rec);
}

// The connection process opens the gate once the start response is on its way.
bool WaitForGate(int fdGate)
{
    char c = 0;
    ssize_t r;
    do {
        r = read(fdGate, &c, 1);
    } while (r < 0 && errno == EINTR);
    close(fdGate);
    return r == 1 && c == c_cGateOpen;
}

[[noreturn]] void RunDataProcess(const stQuarnConnection &conn, stScanSource src, const std::string &strJob,
                                 int fdGate)
{
    struct sigaction sa {};
    sa.sa_handler = OnStopData;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGTERM, &sa, nullptr);
    sigset_t setTerm;
    sigemptyset(&setTerm);
    sigaddset(&setTerm, SIGTERM);
    sigprocmask(SIG_UNBLOCK, &setTerm, nullptr);

    if (!WaitForGate(fdGate))
        _exit(0);
    stPageStream stream {conn, strJob, src};
    while (RelayOneRecord(stream)) {
    }
    ClosePage(stream.fdPage);
    std::free(stream.pBuf);
    _exit(stream.bEndSent ? 0 : c_iExitStreamCut);
}

// ---- scan start and abort in the connection process ----

bool FormatJobName(stQuarnConnection &conn, char (&szName)[c_iQuarnFileNameSize])
{
    const int iLen = std::snprintf(szName, sizeof(szName), "%s/%s%d_%d", conn.strScanDir.c_str(), c_szQuarnJobPrefix,
                                   int(getpid()), conn.filename_index);
    ++conn.filename_index;
    return iLen > 0 && iLen < int(sizeof(szName));
}

// Forks the data process; the start response reaches the client before any record.
// SIGTERM stays blocked in the child until its stop handler is in place.
int LaunchDataProcess(stQuarnConnection &conn, const stScanSource &src, const char *szJob, const void *pStartRes,
                      int iStartResSize)
{
    int aiGate[2];
    if (pipe2(aiGate, O_CLOEXEC) != 0)
        return SANE_STATUS_NO_MEM;
    sigset_t setTerm, setOld;
    sigemptyset(&setTerm);
    sigaddset(&setTerm, SIGTERM);
    sigprocmask(SIG_BLOCK, &setTerm, &setOld);
    const pid_t pid = fork();
    if (pid == 0) {
        close(aiGate[1]);
        RunDataProcess(conn, src, szJob, aiGate[0]);
    }
    sigprocmask(SIG_SETMASK, &setOld, nullptr);
    close(aiGate[0]);
    if (pid < 0) {
        close(aiGate[1]);
        return SANE_STATUS_NO_MEM;
    }
    conn.dataProcPid = pid;
    if (SendBytes(conn.iSocket, pStartRes, iStartResSize)) {
        const ssize_t r = write(aiGate[1], &c_cGateOpen, 1);
        (void)r; // a data process without the byte ends at once
    }
    close(aiGate[1]);
    return SANE_STATUS_GOOD;
}

template <typename TStartRes>
void StartScan(stQuarnConnection &conn, const stScanSource &src, TStartRes &res)
{
    if (res.result != SANE_STATUS_GOOD) {
        SendRecord(conn, res);
        return;
    }
    const int iLaunch = LaunchDataProcess(conn, src, res.fileName, &res, int(sizeof(res)));
    if (iLaunch != SANE_STATUS_GOOD) {
        res.result = iLaunch;
        SendRecord(conn, res);
        return;
    }
    conn.strDataJob = res.fileName;
    conn.bStreamCut = false;
}

bool WaitForExit(pid_t pid, int iTimeoutMs, int *piStatus)
{
    for (int iWaited = 0; iWaited <= iTimeoutMs; iWaited += c_iDataStopPollMs) {
        if (waitpid(pid, piStatus, WNOHANG) != 0)
            return true;
        usleep(c_iDataStopPollMs * 1000);
    }
    return false;
}

// The running data process stops after its current record and is gone before the
// device hears of the abort: the client sees its last record before the abort's status,
// and no two processes use the device at once. One stuck in a device call is killed;
// its stream then gets the stopped record from here, so that the client still sees
// where the records end.
void StopDataProcess(stQuarnConnection &conn, bool bNetwork)
{
    ReapDataProcesses(conn);
    const pid_t pid = conn.dataProcPid;
    conn.dataProcPid = 0;
    if (pid <= 0)
        return;
    // Still our unreaped child here, so the id cannot belong to anyone else.
    kill(pid, SIGTERM);
    int iStatus = 0;
    if (WaitForExit(pid, c_iDataStopWaitMs, &iStatus)) {
        conn.bStreamCut = StreamWasCut(iStatus);
        return;
    }
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
    conn.bStreamCut = true;
    stRecord rec;
    rec.st = SCAN_STATUS_ABORTED_BY_REQUEST;
    rec.iResult = SANE_STATUS_CANCELLED;
    SendScanRecord(conn.iSocket, bNetwork, rec);
}

bool IsPageOfJob(const std::string &strPath, const char *szJob)
{
    const size_t nJob = std::strlen(szJob);
    if (strPath.compare(0, nJob, szJob) != 0 || strPath.size() <= nJob || strPath[nJob] != '_')
        return false;
    const size_t nSuffix = std::strlen(c_szQuarnPageSuffix);
    const size_t nDigitsEnd = strPath.size() - std::min(strPath.size(), nSuffix);
    if (nDigitsEnd <= nJob + 1 || strPath.compare(nDigitsEnd, std::string::npos, c_szQuarnPageSuffix) != 0)
        return false;
    for (size_t i = nJob + 1; i < nDigitsEnd; ++i) {
        if (strPath[i] < '0' || strPath[i] > '9')
            return false;
    }
    return true;
}

bool RemoveRegularAt(int fdDir, const char *szName)
{
    struct stat st;
    if (fstatat(fdDir, szName, &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(st.st_mode))
        return false;
    return unlinkat(fdDir, szName, 0) == 0;
}

// ---- the command handlers ----

void CloseFound(const stQuarnConnection &conn, const QUARN_USB_DEV *devs, int iFrom, int iCount)
{
    for (int i = iFrom; i < iCount; ++i)
        conn.pUsb->pfnClose(devs[i].fd);
}

int FindDevices(const stQuarnConnection &conn, int iVid, int iPid, bool bComparePid, QUARN_USB_DEV *devs)
{
    std::memset(devs, 0, sizeof(QUARN_USB_DEV) * c_iQuarnMaxDevices);
    const int iCount = conn.pUsb->pfnFindDevice(uint16_t(iVid), uint16_t(iPid), devs, bComparePid);
    return std::min(iCount, c_iQuarnMaxDevices);
}

void OnFindDev(stQuarnConnection &conn)
{
    USBFindDevReq req;
    if (!RecvRequest(conn, &req))
        return;
    QUARN_USB_DEV devs[c_iQuarnMaxDevices];
    const int iCount = FindDevices(conn, req.vid, req.pid, req.compareWithPID != 0, devs);
    // Handles that never reach the client are closed here: nobody else could.
    if (!SendStatus(conn, iCount)) {
        CloseFound(conn, devs, 0, iCount);
        return;
    }
    USBFindDevRes res;
    for (int i = 0; i < iCount; ++i) {
        conn.pUsb->pfnDevRes(devs[i].fd, devs[i].dev_des, &res);
        if (!SendRecord(conn, res)) {
            CloseFound(conn, devs, i, iCount);
            return;
        }
    }
}

void OnReopenDev(stQuarnConnection &conn)
{
    USBReopenDevReq req;
    USBReopenDevRes res {SANE_STATUS_IO_ERROR, 0};
    if (!RecvRequest(conn, &req)) {
        SendRecord(conn, res);
        return;
    }
    Terminate(req.SerialNumber);
    QUARN_USB_DEV devs[c_iQuarnMaxDevices];
    const int iCount = FindDevices(conn, req.vid, req.pid, true, devs);
    // The first device with the serial number is handed out; the search's other
    // descriptors would be lost to the client, so they are closed here.
    bool bFound = false;
    USBFindDevRes info;
    for (int i = 0; i < iCount; ++i) {
        if (!bFound) {
            conn.pUsb->pfnDevRes(devs[i].fd, devs[i].dev_des, &info);
            bFound = std::strcmp(info.SerialNumber, req.SerialNumber) == 0;
            if (bFound) {
                res.fd = devs[i].fd;
                if (req.devfd != res.fd)
                    conn.pUsb->pfnClose(req.devfd);
                res.ret = conn.pUsb->pfnInit(res.fd);
                continue;
            }
        }
        conn.pUsb->pfnClose(devs[i].fd);
    }
    SendRecord(conn, res);
}

void OnOpenDev(stQuarnConnection &conn)
{
    USBCommonReq req;
    if (RecvRequest(conn, &req))
        SendStatus(conn, conn.pUsb->pfnInit(req.devfd));
}

void OnCloseDev(stQuarnConnection &conn)
{
    USBCommonReq req;
    if (!RecvRequest(conn, &req))
        return;
    conn.pUsb->pfnClose(req.devfd);
    SendStatus(conn, SANE_STATUS_GOOD);
}

void OnClearDev(stQuarnConnection &conn)
{
    USBClearDevEpReq req;
    if (RecvRequest(conn, &req))
        SendStatus(conn, conn.pUsb->pfnClearHalt(req.devfd, req.ep));
}

void OnResetDevEp(stQuarnConnection &conn)
{
    USBResetDevEpReq req;
    if (RecvRequest(conn, &req))
        SendStatus(conn, conn.pUsb->pfnResetEp(req.devfd, req.ep));
}

void OnUsbScanStart(stQuarnConnection &conn)
{
    USBCommonReq req;
    if (!RecvRequest(conn, &req))
        return;
    ReapDataProcesses(conn);
    USBScanStartRes res {};
    res.result = FormatJobName(conn, res.fileName) ? conn.pUsb->pfnStart(req.devfd) : SANE_STATUS_NO_MEM;
    stScanSource src;
    src.iDevFd = req.devfd;
    StartScan(conn, src, res);
}

void OnUsbScanAbort(stQuarnConnection &conn)
{
    USBScanAbortReq req;
    if (!RecvRequest(conn, &req))
        return;
    Terminate(req.fileName);
    StopDataProcess(conn, false);
    const int iStatus = conn.pUsb->pfnAbort(req.devfd);
    deleteFileList(conn.strScanDir, req.fileName);
    SendStatus(conn, iStatus);
}

void OnScanLock(stQuarnConnection &conn)
{
    USBScanLockReq req;
    if (RecvRequest(conn, &req))
        SendStatus(conn, conn.pUsb->pfnLock(req.devfd, &req.info));
}

template <int (*stQuarnUsbOps::*pfnOp)(int)>
void OnSimpleUsb(stQuarnConnection &conn)
{
    USBCommonReq req;
    if (RecvRequest(conn, &req))
        SendStatus(conn, (conn.pUsb->*pfnOp)(req.devfd));
}

void OnAdfStatus(stQuarnConnection &conn)
{
    USBCommonReq req;
    if (!RecvRequest(conn, &req))
        return;
    USBScanAdfStatusRes res {};
    res.result = conn.pUsb->pfnAdfStatus(req.devfd, &res.st);
    SendRecord(conn, res);
}

void OnDevProperties(stQuarnConnection &conn)
{
    USBCommonReq req;
    if (!RecvRequest(conn, &req))
        return;
    USBScanDevicePropertiesRes res {};
    res.result = conn.pUsb->pfnDevProperties(req.devfd, &res.st);
    SendRecord(conn, res);
}

void OnSendOsl(stQuarnConnection &conn)
{
    TCPOSLReq req;
    if (!RecvRequest(conn, &req))
        return;
    Terminate(req.socket.szScannerIP);
    char *pReply = nullptr;
    int iLen = 0;
    TCPOSLRes res {};
    res.result = conn.pNet->pfnSendOsl(&req.socket, &pReply, req.type, &iLen);
    res.bufferLen = (res.result == SANE_STATUS_GOOD && pReply && iLen > 0) ? iLen : 0;
    if (SendRecord(conn, res) && res.bufferLen > 0)
        SendBytes(conn.iSocket, pReply, res.bufferLen);
    std::free(pReply);
}

// The descriptor the client names, if this connection handed it out: the network layer
// closes it without asking, and any other number could be the client connection itself
// or another scan's data. Anything else becomes -1, "none".
int TakeDataFd(stQuarnConnection &conn, int fd)
{
    const auto it = std::find(conn.listDataFd.begin(), conn.listDataFd.end(), fd);
    if (it == conn.listDataFd.end())
        return -1;
    conn.listDataFd.erase(it);
    return fd;
}

void OnTcpScanStart(stQuarnConnection &conn)
{
    TCPScanStartReq req;
    if (!RecvRequest(conn, &req))
        return;
    Terminate(req.socket.szScannerIP);
    req.socket.tcpFromScanner = TakeDataFd(conn, req.socket.tcpFromScanner);
    ReapDataProcesses(conn);
    TCPScanStartRes res {};
    res.result = FormatJobName(conn, res.fileName) ? conn.pNet->pfnScanStart(&req.socket, &req.info)
                                                   : SANE_STATUS_NO_MEM;
    res.socketDataFd = req.socket.tcpFromScanner;
    stScanSource src;
    src.bNetwork = true;
    src.socket = req.socket;
    StartScan(conn, src, res);
    // A data connection that no data process reads is of no use to anyone.
    if (res.result == SANE_STATUS_GOOD && res.socketDataFd >= 0)
        conn.listDataFd.push_back(res.socketDataFd);
    else if (res.socketDataFd >= 0)
        close(res.socketDataFd);
}

void OnTcpScanAbort(stQuarnConnection &conn)
{
    TCPScanAbortReq req;
    if (!RecvRequest(conn, &req))
        return;
    Terminate(req.socket.szScannerIP);
    Terminate(req.fileName);
    req.socket.tcpFromScanner = TakeDataFd(conn, req.socket.tcpFromScanner);
    StopDataProcess(conn, true);
    const int iStatus = conn.pNet->pfnAbort(&req.socket);
    deleteFileList(conn.strScanDir, req.fileName);
    SendStatus(conn, iStatus);
}

void OnTcpAdfStatus(stQuarnConnection &conn)
{
    TCPCommonReq req;
    if (!RecvRequest(conn, &req))
        return;
    Terminate(req.socket.szScannerIP);
    TCPADFStatusRes res {};
    res.result = conn.pNet->pfnAdfStatus(&req.socket, &res.st);
    SendRecord(conn, res);
}

void OnTcpDevProperties(stQuarnConnection &conn)
{
    TCPCommonReq req;
    if (!RecvRequest(conn, &req))
        return;
    Terminate(req.socket.szScannerIP);
    TCPDevPropertiesRes res {};
    res.result = conn.pNet->pfnDevProperties(&req.socket, &res.devPro);
    SendRecord(conn, res);
}

void OnDeleteFile(stQuarnConnection &conn)
{
    CmdDeleteFileReq req;
    if (!RecvRequest(conn, &req))
        return;
    Terminate(req.fileName);
    QuarnDeleteScanFile(conn.strScanDir, req.fileName);
}

using HandlerFn = void (*)(stQuarnConnection &);

// Indexed by scanCommandType.
const HandlerFn c_apfnHandlers[] = {
    OnFindDev,
    OnOpenDev,
    OnCloseDev,
    OnClearDev,
    OnResetDevEp,
    OnUsbScanStart,
    OnUsbScanAbort,
    OnScanLock,
    OnSimpleUsb<&stQuarnUsbOps::pfnUnlock>,
    OnAdfStatus,
    OnSimpleUsb<&stQuarnUsbOps::pfnPowerOn>,
    OnSimpleUsb<&stQuarnUsbOps::pfnGetSizes>,
    OnDevProperties,
    OnSendOsl,
    OnTcpScanStart,
    OnTcpScanAbort,
    OnTcpAdfStatus,
    OnTcpDevProperties,
    OnReopenDev,
    OnDeleteFile,
};
static_assert(sizeof(c_apfnHandlers) / sizeof(c_apfnHandlers[0]) == CMD_DELETE_FILE + 1, "one handler per code");

// A client that leaves mid-scan reads no more records and collects no pages: its scan
// stops at once, as an abort would stop it, and its pages go rather than lie in files
// nobody deletes. Pages of a stream whose end the client received stay its own.
void DropUnreadScan(stQuarnConnection &conn)
{
    StopDataProcess(conn, false);
    if (conn.bStreamCut)
        deleteFileList(conn.strScanDir, conn.strDataJob.c_str());
}
}  // namespace

void QuarnServeConnection(stQuarnConnection &conn)
{
    // Data processes are reaped here, so that an id kept in dataProcPid stays ours.
    signal(SIGCHLD, SIG_DFL);
    int32_t iCode = 0;
    while (flag && RecvAll(conn.iSocket, &iCode, sizeof(iCode))) {
        if (iCode >= 0 && iCode <= CMD_DELETE_FILE)
            c_apfnHandlers[iCode](conn);
        ReapDataProcesses(conn);
    }
    DropUnreadScan(conn);
}

int serverTcpSendWithRetry(int fd, const void *pData, int iCount, int iFlags)
{
    const auto *p = static_cast<const char *>(pData);
    int iSent = 0;
    for (int iRetries = 0; iSent < iCount;) {
        const ssize_t r = send(fd, p + iSent, size_t(iCount - iSent), iFlags);
        if (r > 0)
            iSent += int(r);
        if (iSent < iCount && ++iRetries > c_iSendRetries)
            return -1;
    }
    return iSent;
}

void deleteFileList(const std::string &strScanDir, const char *szFileName)
{
    if (!szFileName || !*szFileName)
        return;
    DIR *pDir = opendir(strScanDir.c_str());
    if (!pDir)
        return;
    while (const dirent *pEntry = readdir(pDir)) {
        if (IsPageOfJob(strScanDir + "/" + pEntry->d_name, szFileName))
            RemoveRegularAt(dirfd(pDir), pEntry->d_name);
    }
    closedir(pDir);
}

bool QuarnDeleteScanFile(const std::string &strScanDir, const char *szPath)
{
    const char *szSlash = std::strrchr(szPath, '/');
    if (!szSlash)
        return false;
    const char *szName = szSlash + 1;
    if (!StartsWith(szName, c_szQuarnJobPrefix) || !EndsWith(szName, c_szQuarnPageSuffix))
        return false;
    const std::string strDir = szSlash == szPath ? std::string("/") : std::string(szPath, szSlash);
    char szResolvedDir[PATH_MAX];
    char szResolvedScan[PATH_MAX];
    if (!realpath(strDir.c_str(), szResolvedDir) || !realpath(strScanDir.c_str(), szResolvedScan) ||
        std::strcmp(szResolvedDir, szResolvedScan) != 0)
        return false;
    const int fdDir = open(szResolvedScan, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fdDir < 0)
        return false;
    const bool bRemoved = RemoveRegularAt(fdDir, szName);
    close(fdDir);
    return bRemoved;
}
