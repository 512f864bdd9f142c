#include <poll.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstdlib>

#include "quarn_conn.h"

namespace
{
constexpr int c_iSendRetries = 10;

using Clock = std::chrono::steady_clock;

// Clock::time_point::max() waits without end.
int MsUntil(Clock::time_point tp)
{
    if (tp == Clock::time_point::max())
        return -1;
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(tp - Clock::now()).count();
    return ms > 0 ? int(ms) : 0;
}

// True when the socket is ready within the wait; a signal is looked through unless the
// daemon is stopping.
bool WaitFor(int fd, short sEvents, Clock::time_point tpDeadline)
{
    pollfd pfd {fd, sEvents, 0};
    for (;;) {
        const int r = poll(&pfd, 1, MsUntil(tpDeadline));
        if (r > 0)
            return true;
        if (r == 0 || errno != EINTR || !flag)
            return false;
    }
}
}  // namespace

int QuarnDeadlineMs(const char *szVariable, int iDefaultMs)
{
    const char *szValue = std::getenv(szVariable);
    if (!szValue)
        return iDefaultMs;
    char *pEnd = nullptr;
    const long lValue = std::strtol(szValue, &pEnd, 10);
    return (pEnd != szValue && *pEnd == '\0' && lValue > 0 && lValue <= iDefaultMs) ? int(lValue) : iDefaultMs;
}

bool QuarnRecvAll(stQuarnConnection &conn, void *pData, size_t nCount)
{
    auto *p = static_cast<char *>(pData);
    size_t nHave = 0;
    // Bytes already there are taken at once; only a wait for more goes through poll.
    while (nHave < nCount) {
        const ssize_t r = recv(conn.iSocket, p + nHave, nCount - nHave, MSG_DONTWAIT);
        if (r > 0) {
            nHave += size_t(r);
            continue;
        }
        if (r < 0 && errno == EAGAIN && WaitFor(conn.iSocket, POLLIN, conn.tpRequestDeadline))
            continue;
        if (r < 0 && errno == EINTR && flag)
            continue;
        conn.bPeerReset = r < 0 && errno == ECONNRESET;
        conn.bHangUp = true;
        return false;
    }
    return true;
}

int serverTcpSendWithRetry(int fd, const void *pData, int iCount, int iFlags, int iStallMs)
{
    const auto *p = static_cast<const char *>(pData);
    int iSent = 0;
    for (int iRetries = 0; iSent < iCount;) {
        if (!WaitFor(fd, POLLOUT, Clock::now() + std::chrono::milliseconds(iStallMs)))
            return -1;
        const ssize_t r = send(fd, p + iSent, size_t(iCount - iSent), iFlags | MSG_DONTWAIT);
        if (r > 0) {
            iSent += int(r);
            continue;
        }
        if ((r < 0 && errno != EAGAIN && errno != EINTR) || ++iRetries > c_iSendRetries)
            return -1;
    }
    return iSent;
}

bool QuarnSendAll(int iSocket, const void *pData, int iCount, int iStallMs)
{
    if (serverTcpSendWithRetry(iSocket, pData, iCount, MSG_NOSIGNAL, iStallMs) == iCount)
        return true;
    shutdown(iSocket, SHUT_RDWR);
    return false;
}

bool QuarnSendStatus(const stQuarnConnection &conn, int iStatus)
{
    const int32_t iWire = iStatus;
    return QuarnSendRecord(conn, iWire);
}

bool QuarnSendScanRecord(int iSocket, int iStallMs, bool bNetwork, const stQuarnRecord &rec)
{
    if (bNetwork) {
        const TCPRecordRes res {rec.iResult, rec.iLength, rec.iFileIndex, rec.st};
        return QuarnSendAll(iSocket, &res, int(sizeof(res)), iStallMs);
    }
    const USBScanRecordRes res {rec.st, rec.iFileIndex, rec.iLength, rec.iResult};
    return QuarnSendAll(iSocket, &res, int(sizeof(res)), iStallMs);
}
