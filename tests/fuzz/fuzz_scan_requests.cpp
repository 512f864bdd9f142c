// The scan daemon's client command stream: the dispatcher of one connection reads the
// bytes as a client would send them, with USB devices and network scanners stubbed.
// Every scan start fails in the stubs, so no data process is ever forked here.
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "quarn_dispatch.h"

namespace
{
constexpr std::size_t c_iMaxInput = 16384;  // stays within one socket buffer
constexpr int c_iStubDevices = 2;
constexpr int c_iFirstStubFd = 100;

int StubFind(unsigned short, unsigned short, QUARN_USB_DEV *devs, bool)
{
    for (int i = 0; i < c_iStubDevices; ++i)
        devs[i].fd = c_iFirstStubFd + i;
    return c_iStubDevices;
}

void StubDevRes(int fd, const usb_device_descriptor &, USBFindDevRes *pRes)
{
    std::memset(pRes, 0, sizeof(*pRes));
    pRes->fd = fd;
    std::strcpy(pRes->SerialNumber, fd == c_iFirstStubFd ? "A" : "B");
}

void StubClose(int) {}

int StubStatus(int)
{
    return SANE_STATUS_GOOD;
}

int StubFails(int)
{
    return SANE_STATUS_IO_ERROR;
}

int StubEndpoint(int, unsigned)
{
    return SANE_STATUS_GOOD;
}

int StubLock(int, const SettingInfo *)
{
    return SANE_STATUS_GOOD;
}

int StubAdf(int, ADFStatus *pStatus)
{
    *pStatus = ADF_STATUS_LOADED;
    return SANE_STATUS_GOOD;
}

int StubProperties(int, ResScanDeviceProperties *pProps)
{
    std::memset(pProps, 0, sizeof(*pProps));
    return SANE_STATUS_GOOD;
}

int StubRecord(int, ScanStatus *, unsigned char **, int *, int *)
{
    return SANE_STATUS_IO_ERROR;
}

int StubOsl(QuarnSocket *, char **ppReply, OSL_CMD_TYPE, int *piLen)
{
    *ppReply = static_cast<char *>(std::malloc(4));
    std::memcpy(*ppReply, "<a/>", 4);
    *piLen = 4;
    return SANE_STATUS_GOOD;
}

int StubNetStart(QuarnSocket *, const SettingInfo *)
{
    return SANE_STATUS_DEVICE_BUSY;
}

int StubNetRecord(QuarnSocket *, ScanStatus *, unsigned char **, int *, int *)
{
    return SANE_STATUS_IO_ERROR;
}

int StubNetAbort(QuarnSocket *)
{
    return SANE_STATUS_GOOD;
}

int StubNetAdf(QuarnSocket *, ADFStatus *pStatus)
{
    *pStatus = ADF_STATUS_EMPTY;
    return SANE_STATUS_GOOD;
}

int StubNetCaps(QuarnSocket *, ScannerCapabilities *)
{
    return SANE_STATUS_GOOD;
}

const stQuarnUsbOps c_stStubUsb = {StubFind,   StubDevRes, StubClose, StubStatus, StubEndpoint,
                                   StubEndpoint, StubFails, StubStatus, StubLock, StubStatus,
                                   StubAdf,    StubStatus, StubStatus, StubProperties, StubRecord};
const stQuarnNetOps c_stStubNet = {StubOsl, StubNetStart, StubNetRecord, StubNetAbort, StubNetAdf, StubNetCaps};
}  // namespace

// Answers that do not fit the socket buffer fail to send instead of blocking: nobody
// reads them here.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    if (size > c_iMaxInput)
        return 0;
    int aiPair[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0, aiPair) != 0)
        return 0;
    if (size > 0 && write(aiPair[0], data, size) != ssize_t(size))
        std::abort();
    shutdown(aiPair[0], SHUT_WR);
    stQuarnConnection conn;
    conn.iSocket = aiPair[1];
    conn.strScanDir = "/nonexistent/quarn-fuzz//scan";
    conn.pUsb = &c_stStubUsb;
    conn.pNet = &c_stStubNet;
    conn.iClientStallMs = 0;
    QuarnServeConnection(conn);
    close(aiPair[0]);
    close(aiPair[1]);
    return 0;
}
