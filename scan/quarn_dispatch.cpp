#include "quarn_dispatch.h"

#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "ModelCatalogue.h"
#include "quarn_conn.h"

volatile sig_atomic_t flag = 1;

namespace
{
void CloseFound(const stQuarnConnection &conn, const QUARN_USB_DEV *devs, int iFrom, int iCount)
{
    for (int i = iFrom; i < iCount; ++i)
        conn.pUsb->pfnClose(devs[i].fd);
}

// Only this family's devices are ever looked for, whatever the client asks: any other
// answers as absent, and its nodes are not even opened.
int FindDevices(const stQuarnConnection &conn, int iVid, int iPid, bool bComparePid, QUARN_USB_DEV *devs)
{
    std::memset(devs, 0, sizeof(QUARN_USB_DEV) * c_iQuarnMaxDevices);
    if (uint16_t(iVid) != c_iVendorOstrel)
        return 0;
    const int iCount = conn.pUsb->pfnFindDevice(uint16_t(iVid), uint16_t(iPid), devs, bComparePid);
    return std::min(iCount, c_iQuarnMaxDevices);
}

void KeepUsbFd(stQuarnConnection &conn, int fd)
{
    if (QuarnOwnUsbFd(conn, fd) < 0)
        conn.listUsbFd.push_back(fd);
}

void CloseUsbFd(stQuarnConnection &conn, int fd)
{
    const auto it = std::find(conn.listUsbFd.begin(), conn.listUsbFd.end(), fd);
    if (it == conn.listUsbFd.end())
        return;
    conn.listUsbFd.erase(it);
    conn.pUsb->pfnClose(fd);
}

void OnFindDev(stQuarnConnection &conn)
{
    USBFindDevReq req;
    if (!QuarnRecvRequest(conn, &req))
        return;
    QUARN_USB_DEV devs[c_iQuarnMaxDevices];
    const int iCount = FindDevices(conn, req.vid, req.pid, req.compareWithPID != 0, devs);
    // Handles that never reach the client are closed here: nobody else could.
    if (!QuarnSendStatus(conn, iCount)) {
        CloseFound(conn, devs, 0, iCount);
        return;
    }
    USBFindDevRes res;
    for (int i = 0; i < iCount; ++i) {
        conn.pUsb->pfnDevRes(devs[i].fd, devs[i].dev_des, &res);
        if (!QuarnSendRecord(conn, res)) {
            CloseFound(conn, devs, i, iCount);
            return;
        }
        KeepUsbFd(conn, devs[i].fd);
    }
}

void OnReopenDev(stQuarnConnection &conn)
{
    USBReopenDevReq req;
    USBReopenDevRes res {SANE_STATUS_IO_ERROR, 0};
    if (!QuarnRecvRequest(conn, &req)) {
        QuarnSendRecord(conn, res);
        return;
    }
    QuarnTerminate(req.SerialNumber);
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
                    CloseUsbFd(conn, req.devfd);
                KeepUsbFd(conn, res.fd);
                res.ret = conn.pUsb->pfnInit(res.fd);
                continue;
            }
        }
        conn.pUsb->pfnClose(devs[i].fd);
    }
    QuarnSendRecord(conn, res);
}

void OnOpenDev(stQuarnConnection &conn)
{
    USBCommonReq req;
    if (QuarnRecvRequest(conn, &req))
        QuarnSendStatus(conn, conn.pUsb->pfnInit(QuarnOwnUsbFd(conn, req.devfd)));
}

void OnCloseDev(stQuarnConnection &conn)
{
    USBCommonReq req;
    if (!QuarnRecvRequest(conn, &req))
        return;
    CloseUsbFd(conn, req.devfd);
    QuarnSendStatus(conn, SANE_STATUS_GOOD);
}

void OnClearDev(stQuarnConnection &conn)
{
    USBClearDevEpReq req;
    if (QuarnRecvRequest(conn, &req))
        QuarnSendStatus(conn, conn.pUsb->pfnClearHalt(QuarnOwnUsbFd(conn, req.devfd), req.ep));
}

void OnResetDevEp(stQuarnConnection &conn)
{
    USBResetDevEpReq req;
    if (QuarnRecvRequest(conn, &req))
        QuarnSendStatus(conn, conn.pUsb->pfnResetEp(QuarnOwnUsbFd(conn, req.devfd), req.ep));
}

void OnScanLock(stQuarnConnection &conn)
{
    USBScanLockReq req;
    if (QuarnRecvRequest(conn, &req))
        QuarnSendStatus(conn, conn.pUsb->pfnLock(QuarnOwnUsbFd(conn, req.devfd), &req.info));
}

template <int (*stQuarnUsbOps::*pfnOp)(int)>
void OnSimpleUsb(stQuarnConnection &conn)
{
    USBCommonReq req;
    if (QuarnRecvRequest(conn, &req))
        QuarnSendStatus(conn, (conn.pUsb->*pfnOp)(QuarnOwnUsbFd(conn, req.devfd)));
}

void OnAdfStatus(stQuarnConnection &conn)
{
    USBCommonReq req;
    if (!QuarnRecvRequest(conn, &req))
        return;
    USBScanAdfStatusRes res {};
    res.result = conn.pUsb->pfnAdfStatus(QuarnOwnUsbFd(conn, req.devfd), &res.st);
    QuarnSendRecord(conn, res);
}

void OnDevProperties(stQuarnConnection &conn)
{
    USBCommonReq req;
    if (!QuarnRecvRequest(conn, &req))
        return;
    USBScanDevicePropertiesRes res {};
    res.result = conn.pUsb->pfnDevProperties(QuarnOwnUsbFd(conn, req.devfd), &res.st);
    QuarnSendRecord(conn, res);
}

void OnSendOsl(stQuarnConnection &conn)
{
    TCPOSLReq req;
    if (!QuarnRecvRequest(conn, &req))
        return;
    QuarnTerminate(req.socket.szScannerIP);
    char *pReply = nullptr;
    int iLen = 0;
    TCPOSLRes res {};
    res.result = conn.pNet->pfnSendOsl(&req.socket, &pReply, req.type, &iLen);
    res.bufferLen = (res.result == SANE_STATUS_GOOD && pReply && iLen > 0) ? iLen : 0;
    if (QuarnSendRecord(conn, res) && res.bufferLen > 0)
        QuarnSendAll(conn.iSocket, pReply, res.bufferLen, conn.iClientStallMs);
    std::free(pReply);
}

void OnTcpAdfStatus(stQuarnConnection &conn)
{
    TCPCommonReq req;
    if (!QuarnRecvRequest(conn, &req))
        return;
    QuarnTerminate(req.socket.szScannerIP);
    TCPADFStatusRes res {};
    res.result = conn.pNet->pfnAdfStatus(&req.socket, &res.st);
    QuarnSendRecord(conn, res);
}

void OnTcpDevProperties(stQuarnConnection &conn)
{
    TCPCommonReq req;
    if (!QuarnRecvRequest(conn, &req))
        return;
    QuarnTerminate(req.socket.szScannerIP);
    TCPDevPropertiesRes res {};
    res.result = conn.pNet->pfnDevProperties(&req.socket, &res.devPro);
    QuarnSendRecord(conn, res);
}

void OnDeleteFile(stQuarnConnection &conn)
{
    CmdDeleteFileReq req;
    if (!QuarnRecvRequest(conn, &req))
        return;
    QuarnTerminate(req.fileName);
    QuarnDeleteScanFile(conn.strScanDir, req.fileName, conn.uidPeer);
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

// A connection may sit idle between commands for as long as it likes; once a command
// has begun, all of it and its request record are due within the request time.
bool RecvCommandCode(stQuarnConnection &conn, int32_t *piCode)
{
    using Clock = std::chrono::steady_clock;
    auto *p = reinterpret_cast<char *>(piCode);
    conn.tpRequestDeadline = Clock::time_point::max();
    if (!QuarnRecvAll(conn, p, 1))
        return false;
    conn.tpRequestDeadline = Clock::now() + std::chrono::milliseconds(conn.iRequestTimeoutMs);
    return QuarnRecvAll(conn, p + 1, sizeof(*piCode) - 1);
}
}  // namespace

void QuarnServeConnection(stQuarnConnection &conn)
{
    // Data processes are reaped here, so that an id kept in dataProcPid stays ours.
    signal(SIGCHLD, SIG_DFL);
    int32_t iCode = 0;
    int iInvalidInRow = 0;
    while (flag && !conn.bHangUp && RecvCommandCode(conn, &iCode)) {
        QuarnReapDataProcesses(conn);
        QuarnNoteCollectedJobs(conn);
        if (iCode < 0 || iCode > CMD_DELETE_FILE) {
            if (++iInvalidInRow >= conn.iMaxInvalidCodes)
                break;
            continue;
        }
        iInvalidInRow = 0;
        c_apfnHandlers[iCode](conn);
    }
    QuarnEndConnection(conn);
}
