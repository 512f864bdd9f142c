// Scan jobs in the connection process: start and abort, and what becomes of a job's pages
// when its client goes. A job's pages are its client's: readable by that uid alone, and
// removed unless the client showed that it received the end of the job's stream.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstring>

#include "quarn_conn.h"
#include "quarn_jobs.h"
#include "quarn_peer.h"

namespace
{
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

bool RemoveOwnRegularAt(int fdDir, const char *szName, uid_t uid)
{
    struct stat st;
    if (fstatat(fdDir, szName, &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(st.st_mode) || st.st_uid != uid)
        return false;
    return unlinkat(fdDir, szName, 0) == 0;
}

bool FormatJobName(stQuarnConnection &conn, char (&szName)[c_iQuarnFileNameSize])
{
    const int iLen = std::snprintf(szName, sizeof(szName), "%s/%s%d_%d", conn.strScanDir.c_str(), c_szQuarnJobPrefix,
                                   int(getpid()), conn.filename_index);
    ++conn.filename_index;
    return iLen > 0 && iLen < int(sizeof(szName));
}

std::string TargetOf(const stQuarnScanSource &src)
{
    return src.bNetwork ? QuarnNetTarget(src.socket.szScannerIP) : QuarnUsbTarget(src.iDevFd);
}

// The job is registered before its data process exists, so that an abort from another
// uid is refused from the first record on.
template <typename TStartRes>
void StartScan(stQuarnConnection &conn, const stQuarnScanSource &src, TStartRes &res)
{
    if (res.result != SANE_STATUS_GOOD) {
        QuarnSendRecord(conn, res);
        return;
    }
    const int fdEntry = QuarnRegisterJob(conn.strScanDir, res.fileName, conn.uidPeer, TargetOf(src));
    if (fdEntry < 0) {
        res.result = SANE_STATUS_NO_MEM;
        QuarnSendRecord(conn, res);
        return;
    }
    conn.listJobs.push_back({res.fileName, src});
    const int iLaunch = QuarnLaunchDataProcess(conn, fdEntry, &res, int(sizeof(res)));
    if (iLaunch == SANE_STATUS_GOOD)
        return;
    conn.listJobs.pop_back();
    QuarnUnregisterJob(conn.strScanDir, res.fileName);
    res.result = iLaunch;
    QuarnSendRecord(conn, res);
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

// The running scan was stopped on the client's word: its scanner is told by the abort.
void MarkRunningReleased(stQuarnConnection &conn)
{
    if (!conn.listJobs.empty())
        conn.listJobs.back().bReleased = true;
}

void ForgetJob(stQuarnConnection &conn, const char *szJob)
{
    conn.listJobs.erase(std::remove_if(conn.listJobs.begin(), conn.listJobs.end(),
                                       [szJob](const stQuarnJob &job) { return job.strName == szJob; }),
                        conn.listJobs.end());
}

// A scan cut short holds the scanner until it hears the job is over.
void ReleaseScanner(stQuarnConnection &conn, stQuarnJob &job)
{
    job.bReleased = true;
    if (job.src.bNetwork) {
        QuarnSocket socket = job.src.socket;
        socket.tcpFromScanner = TakeDataFd(conn, socket.tcpFromScanner);
        conn.pNet->pfnAbort(&socket);
        return;
    }
    const int fd = QuarnOwnUsbFd(conn, job.src.iDevFd);
    if (fd >= 0)
        conn.pUsb->pfnAbort(fd);
}

void DeleteConnectionPages(const stQuarnConnection &conn)
{
    char szPrefix[c_iQuarnFileNameSize];
    std::snprintf(szPrefix, sizeof(szPrefix), "%s%d_", c_szQuarnJobPrefix, int(getpid()));
    DIR *pDir = opendir(conn.strScanDir.c_str());
    if (!pDir)
        return;
    while (const dirent *pEntry = readdir(pDir)) {
        if (StartsWith(pEntry->d_name, szPrefix) && EndsWith(pEntry->d_name, c_szQuarnPageSuffix))
            RemoveOwnRegularAt(dirfd(pDir), pEntry->d_name, conn.uidPeer);
    }
    closedir(pDir);
}
}  // namespace

void OnUsbScanStart(stQuarnConnection &conn)
{
    USBCommonReq req;
    if (!QuarnRecvRequest(conn, &req))
        return;
    QuarnReapDataProcesses(conn);
    USBScanStartRes res {};
    const int fd = QuarnOwnUsbFd(conn, req.devfd);
    res.result = FormatJobName(conn, res.fileName) ? conn.pUsb->pfnStart(fd) : SANE_STATUS_NO_MEM;
    stQuarnScanSource src;
    src.iDevFd = fd;
    StartScan(conn, src, res);
}

void OnUsbScanAbort(stQuarnConnection &conn)
{
    USBScanAbortReq req;
    if (!QuarnRecvRequest(conn, &req))
        return;
    QuarnTerminate(req.fileName);
    const int fd = QuarnOwnUsbFd(conn, req.devfd);
    if (QuarnJobOfOtherUser(conn.strScanDir, conn.uidPeer, QuarnUsbTarget(fd), req.fileName)) {
        QuarnSendStatus(conn, SANE_STATUS_ACCESS_DENIED);
        return;
    }
    QuarnStopDataProcess(conn);
    MarkRunningReleased(conn);
    const int iStatus = conn.pUsb->pfnAbort(fd);
    deleteFileList(conn.strScanDir, req.fileName, conn.uidPeer);
    ForgetJob(conn, req.fileName);
    QuarnSendStatus(conn, iStatus);
}

void OnTcpScanStart(stQuarnConnection &conn)
{
    TCPScanStartReq req;
    if (!QuarnRecvRequest(conn, &req))
        return;
    QuarnTerminate(req.socket.szScannerIP);
    req.socket.tcpFromScanner = TakeDataFd(conn, req.socket.tcpFromScanner);
    QuarnReapDataProcesses(conn);
    TCPScanStartRes res {};
    res.result = FormatJobName(conn, res.fileName) ? conn.pNet->pfnScanStart(&req.socket, &req.info)
                                                   : SANE_STATUS_NO_MEM;
    res.socketDataFd = req.socket.tcpFromScanner;
    stQuarnScanSource src;
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
    if (!QuarnRecvRequest(conn, &req))
        return;
    QuarnTerminate(req.socket.szScannerIP);
    QuarnTerminate(req.fileName);
    if (QuarnJobOfOtherUser(conn.strScanDir, conn.uidPeer, QuarnNetTarget(req.socket.szScannerIP), req.fileName)) {
        QuarnSendStatus(conn, SANE_STATUS_ACCESS_DENIED);
        return;
    }
    req.socket.tcpFromScanner = TakeDataFd(conn, req.socket.tcpFromScanner);
    QuarnStopDataProcess(conn);
    MarkRunningReleased(conn);
    const int iStatus = conn.pNet->pfnAbort(&req.socket);
    deleteFileList(conn.strScanDir, req.fileName, conn.uidPeer);
    ForgetJob(conn, req.fileName);
    QuarnSendStatus(conn, iStatus);
}

int QuarnOwnUsbFd(const stQuarnConnection &conn, int fd)
{
    return std::find(conn.listUsbFd.begin(), conn.listUsbFd.end(), fd) == conn.listUsbFd.end() ? -1 : fd;
}

// Only a finished stream can have been read to its end; with nothing unread on the
// client's side, the client has taken in its last record.
void QuarnNoteCollectedJobs(stQuarnConnection &conn)
{
    const bool bEnded = std::any_of(conn.listJobs.begin(), conn.listJobs.end(),
                                    [](const stQuarnJob &job) { return job.bEndSent; });
    if (!bEnded || !QuarnPeerReadAll(conn.iSocket))
        return;
    conn.listJobs.erase(std::remove_if(conn.listJobs.begin(), conn.listJobs.end(),
                                       [](const stQuarnJob &job) { return job.bEndSent; }),
                        conn.listJobs.end());
}

void QuarnEndConnection(stQuarnConnection &conn)
{
    QuarnStopDataProcess(conn);
    const bool bReadAll = !conn.bPeerReset && QuarnPeerReadAll(conn.iSocket);
    for (stQuarnJob &job : conn.listJobs) {
        if (!job.bEndSent && !job.bReleased)
            ReleaseScanner(conn, job);
        if (!job.bEndSent || !bReadAll || !flag)
            deleteFileList(conn.strScanDir, job.strName.c_str(), conn.uidPeer);
    }
    conn.listJobs.clear();
    if (!flag)
        DeleteConnectionPages(conn);
}

bool QuarnIsPageOfJob(const std::string &strPath, const char *szJob)
{
    const size_t nJob = std::strlen(szJob);
    if (nJob == 0 || strPath.compare(0, nJob, szJob) != 0 || strPath.size() <= nJob || strPath[nJob] != '_')
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

void deleteFileList(const std::string &strScanDir, const char *szFileName, uid_t uid)
{
    if (!szFileName || !*szFileName)
        return;
    DIR *pDir = opendir(strScanDir.c_str());
    if (!pDir)
        return;
    while (const dirent *pEntry = readdir(pDir)) {
        if (QuarnIsPageOfJob(strScanDir + "/" + pEntry->d_name, szFileName))
            RemoveOwnRegularAt(dirfd(pDir), pEntry->d_name, uid);
    }
    closedir(pDir);
}

bool QuarnDeleteScanFile(const std::string &strScanDir, const char *szPath, uid_t uid)
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
    const bool bRemoved = RemoveOwnRegularAt(fdDir, szName, uid);
    close(fdDir);
    return bRemoved;
}
