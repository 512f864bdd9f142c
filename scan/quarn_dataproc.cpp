// The data process of a scan: forked by the connection process, it reads the scan's
// records from the device or the network scanner, appends the image bytes to the page
// files and sends one record per piece onto the client connection.
#include <fcntl.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

#include "quarn_conn.h"
#include "quarn_jobs.h"

namespace
{
constexpr int c_iPageWriteRetries = 10;
constexpr int c_iDataStopWaitMs = 2000;
constexpr int c_iDataStopPollMs = 10;
constexpr char c_cGateOpen = 'g';
// The data process's exit status when the client never got the end of its stream.
constexpr int c_iExitStreamCut = 1;

// Set in a data process when its connection asks it to stop; looked at between records.
volatile sig_atomic_t s_bStopData = 0;

void OnStopData(int)
{
    s_bStopData = 1;
}

std::string PagePath(const std::string &strJob, int iPage)
{
    return strJob + "_" + std::to_string(iPage) + c_szQuarnPageSuffix;
}

// A page is a new file of the client's, readable by the client alone; whatever already
// has its name, a link planted there included, is left as it is and the page refused.
int CreatePageFile(const std::string &strPath, uid_t uid)
{
    const int fd =
        open(strPath.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, c_modeQuarnPageFile);
    if (fd < 0 || fchown(fd, uid, gid_t(-1)) == 0)
        return fd;
    close(fd);
    unlink(strPath.c_str());
    return -1;
}

bool IsDiskFull(int iErrno)
{
    return iErrno == ENOSPC || iErrno == EDQUOT;
}

// 0 when all bytes are in the file, else the errno of the last failed write.
int AppendPage(int fdPage, const unsigned char *pData, int iLength)
{
    if (fdPage < 0)
        return EBADF;
    int iWritten = 0;
    int iError = EIO;
    for (int iAttempt = 0; iWritten < iLength && iAttempt <= c_iPageWriteRetries; ++iAttempt) {
        const ssize_t r = write(fdPage, pData + iWritten, size_t(iLength - iWritten));
        if (r > 0)
            iWritten += int(r);
        else if (r < 0)
            iError = errno;
    }
    return iWritten == iLength ? 0 : iError;
}

void ClosePage(int &fdPage)
{
    if (fdPage >= 0)
        close(fdPage);
    fdPage = -1;
}

// Everything the data process does between two records: page bookkeeping, the bytes into
// the page file, then the record. Returns false once the stream has ended.
struct stPageStream
{
    const stQuarnConnection &conn;
    const stQuarnJob &job;
    stQuarnScanSource src;
    int iPage = 0;
    int fdPage = -1;
    std::string strPagePath {};
    int iRecords = 0;
    unsigned char *pBuf = nullptr;
    int iBufSize = 0;
    bool bEndSent = false; // the client was sent the record that ends its stream
};

int ReadSourceRecord(stPageStream &s, stQuarnRecord &rec)
{
    if (s.src.bNetwork)
        return s.conn.pNet->pfnRecord(&s.src.socket, &rec.st, &s.pBuf, &s.iBufSize, &rec.iLength);
    return s.conn.pUsb->pfnRecord(s.src.iDevFd, &rec.st, &s.pBuf, &s.iBufSize, &rec.iLength);
}

bool SendFinal(stPageStream &s, stQuarnRecord rec)
{
    ClosePage(s.fdPage);
    rec.iLength = 0;
    s.bEndSent = QuarnSendScanRecord(s.conn.iSocket, s.conn.iClientStallMs, s.src.bNetwork, rec);
    return false;
}

bool SendStopped(stPageStream &s)
{
    stQuarnRecord rec;
    rec.st = SCAN_STATUS_ABORTED_BY_REQUEST;
    rec.iFileIndex = s.iPage;
    rec.iResult = SANE_STATUS_CANCELLED;
    return SendFinal(s, rec);
}

// The local disk, not the device, ended the scan: the page cut short goes, and the
// client is told with the status the protocol has for running out of room.
bool SendDiskFull(stPageStream &s)
{
    ClosePage(s.fdPage);
    unlink(s.strPagePath.c_str());
    stQuarnRecord rec;
    rec.iFileIndex = s.iPage;
    rec.iResult = SANE_STATUS_NO_MEM;
    return SendFinal(s, rec);
}

bool BeginPage(stPageStream &s)
{
    ClosePage(s.fdPage);
    s.strPagePath = PagePath(s.job.strName, s.iPage);
    s.fdPage = CreatePageFile(s.strPagePath, s.conn.uidPeer);
    if (s.fdPage >= 0) {
        ++s.iPage;
        return true;
    }
    if (IsDiskFull(errno))
        return SendDiskFull(s);
    stQuarnRecord denied;
    denied.iFileIndex = s.iPage;
    denied.iResult = SANE_STATUS_ACCESS_DENIED;
    return SendFinal(s, denied);
}

bool RelayOneRecord(stPageStream &s)
{
    if (s_bStopData)
        return SendStopped(s);
    stQuarnRecord rec;
    rec.iFileIndex = s.iPage;
    rec.iResult = ReadSourceRecord(s, rec);
    // A network job's first block always begins page 0.
    if (s.src.bNetwork && s.iRecords++ == 0)
        rec.st = SCAN_STATUS_BEGIN_OF_PAGE;
    if (s_bStopData)
        return SendStopped(s);
    if (rec.st == SCAN_STATUS_BEGIN_OF_PAGE && !BeginPage(s))
        return false;
    if (rec.iResult == SANE_STATUS_GOOD && rec.iLength > 0) {
        const int iError = AppendPage(s.fdPage, s.pBuf, rec.iLength);
        if (IsDiskFull(iError))
            return SendDiskFull(s);
        if (iError != 0)
            rec.iResult = SANE_STATUS_IO_ERROR;
    }
    if (rec.iResult != SANE_STATUS_GOOD)
        return SendFinal(s, rec);
    return QuarnSendScanRecord(s.conn.iSocket, s.conn.iClientStallMs, s.src.bNetwork, rec);
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

void InstallStopHandler()
{
    struct sigaction sa {};
    sa.sa_handler = OnStopData;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGTERM, &sa, nullptr);
    sigset_t setTerm;
    sigemptyset(&setTerm);
    sigaddset(&setTerm, SIGTERM);
    sigprocmask(SIG_UNBLOCK, &setTerm, nullptr);
}

[[noreturn]] void RunDataProcess(const stQuarnConnection &conn, int fdGate)
{
    InstallStopHandler();
    if (!WaitForGate(fdGate))
        _exit(0);
    stPageStream stream {conn, conn.listJobs.back(), conn.listJobs.back().src};
    while (RelayOneRecord(stream)) {
    }
    ClosePage(stream.fdPage);
    std::free(stream.pBuf);
    _exit(stream.bEndSent ? 0 : c_iExitStreamCut);
}

bool StreamWasCut(int iWaitStatus)
{
    return !WIFEXITED(iWaitStatus) || WEXITSTATUS(iWaitStatus) != 0;
}

// The data process of the newest job has ended with the given wait status.
void NoteDataProcessEnd(stQuarnConnection &conn, int iWaitStatus)
{
    conn.dataProcPid = 0;
    if (conn.listJobs.empty())
        return;
    stQuarnJob &job = conn.listJobs.back();
    job.bEndSent = !StreamWasCut(iWaitStatus);
    QuarnUnregisterJob(conn.strScanDir, job.strName);
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
}  // namespace

// SIGTERM stays blocked in the child until its stop handler is in place.
int QuarnLaunchDataProcess(stQuarnConnection &conn, int fdJobEntry, const void *pStartRes, int iStartResSize)
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
        RunDataProcess(conn, aiGate[0]);
    }
    sigprocmask(SIG_SETMASK, &setOld, nullptr);
    close(aiGate[0]);
    close(fdJobEntry);
    if (pid < 0) {
        close(aiGate[1]);
        return SANE_STATUS_NO_MEM;
    }
    conn.dataProcPid = pid;
    if (QuarnSendAll(conn.iSocket, pStartRes, iStartResSize, conn.iClientStallMs)) {
        const ssize_t r = write(aiGate[1], &c_cGateOpen, 1);
        (void)r; // a data process without the byte ends at once
    }
    close(aiGate[1]);
    return SANE_STATUS_GOOD;
}

void QuarnReapDataProcesses(stQuarnConnection &conn)
{
    pid_t pid;
    int iStatus = 0;
    while ((pid = waitpid(-1, &iStatus, WNOHANG)) > 0) {
        if (pid == conn.dataProcPid)
            NoteDataProcessEnd(conn, iStatus);
    }
}

// The process is gone before the device hears of an abort: the client sees its last
// record before the abort's status, and no two processes use the device at once.
void QuarnStopDataProcess(stQuarnConnection &conn)
{
    QuarnReapDataProcesses(conn);
    const pid_t pid = conn.dataProcPid;
    if (pid <= 0)
        return;
    // Still our unreaped child here, so the id cannot belong to anyone else.
    kill(pid, SIGTERM);
    int iStatus = 0;
    if (WaitForExit(pid, c_iDataStopWaitMs, &iStatus)) {
        NoteDataProcessEnd(conn, iStatus);
        return;
    }
    kill(pid, SIGKILL);
    waitpid(pid, &iStatus, 0);
    NoteDataProcessEnd(conn, iStatus);
    stQuarnRecord rec;
    rec.st = SCAN_STATUS_ABORTED_BY_REQUEST;
    rec.iResult = SANE_STATUS_CANCELLED;
    QuarnSendScanRecord(conn.iSocket, conn.iClientStallMs, conn.listJobs.empty() ? false : conn.listJobs.back().src.bNetwork, rec);
}
