#include "quarn_usb.h"

#include <dirent.h>
#include <endian.h>
#include <fcntl.h>
#include <linux/usbdevice_fs.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>

bool bIsKQ = false;

namespace
{
const char *const c_szUsbPaths[] = {"/dev/bus/usb", "/proc/bus/usb"};
constexpr int c_iPathSize = 4096;
constexpr int c_iBulkChunk = 512;
constexpr int c_iStringTimeoutMs = 1000;
constexpr int c_iStringBufSize = 255;
constexpr int c_iProbeBufSize = 256;
constexpr int c_iReadRetryTimeoutMs = 30000;
constexpr int c_iReadRetryAttempts = 10;
constexpr int c_iErrShortDescriptor = -5;
constexpr int c_iErrTruncatedDescriptor = -27;
constexpr unsigned char c_ucDescriptorTypeString = 3;

// The request numbers are kernel ABI; on 64-bit machines they are the well-known values.
static_assert(sizeof(void *) != 8 || (USBDEVFS_CONTROL == 0xC0185500u && USBDEVFS_BULK == 0xC0185502u),
              "usbfs transfer requests");
static_assert(USBDEVFS_RESETEP == 0x80045503u && USBDEVFS_RESET == 0x5514u && USBDEVFS_CLEAR_HALT == 0x80045515u,
              "usbfs endpoint requests");

bool StartsWithDigit(const char *szName)
{
    return std::isdigit(static_cast<unsigned char>(szName[0])) != 0;
}

bool JoinPath(char (&szOut)[c_iPathSize], const char *szDir, const char *szName)
{
    const int iLen = std::snprintf(szOut, sizeof(szOut), "%s/%s", szDir, szName);
    return iLen > 0 && iLen < c_iPathSize;
}

DIR *OpenUsbRoot(const char **pszRoot)
{
    for (const char *szPath : c_szUsbPaths) {
        DIR *pDir = opendir(szPath);
        if (pDir) {
            *pszRoot = szPath;
            return pDir;
        }
    }
    return nullptr;
}

// A node is kept only with its whole descriptor read and the ids matching.
bool ReadMatchingDescriptor(int fd, unsigned short usVid, unsigned short usPid, bool bComparePid,
                            usb_device_descriptor *pDes)
{
    if (read(fd, pDes, sizeof(*pDes)) != ssize_t(sizeof(*pDes)))
        return false;
    if (le16toh(pDes->idVendor) != usVid)
        return false;
    return !bComparePid || le16toh(pDes->idProduct) == usPid;
}

bool NodeMatches(const char *szNode, int iFlags, unsigned short usVid, unsigned short usPid, bool bComparePid,
                 usb_device_descriptor *pDes, int *pfd)
{
    *pfd = open(szNode, iFlags | O_CLOEXEC);
    if (*pfd < 0)
        return false;
    if (ReadMatchingDescriptor(*pfd, usVid, usPid, bComparePid, pDes))
        return true;
    close(*pfd);
    *pfd = -1;
    return false;
}

// Descriptors are read through a read-only node, which allows no transfer; only a device
// that matches is opened for writing, and checked again in case the node changed hands.
int OpenMatchingNode(const char *szNode, unsigned short usVid, unsigned short usPid, bool bComparePid,
                     usb_device_descriptor *pDes)
{
    int fd = -1;
    if (!NodeMatches(szNode, O_RDONLY, usVid, usPid, bComparePid, pDes, &fd))
        return -1;
    close(fd);
    NodeMatches(szNode, O_RDWR, usVid, usPid, bComparePid, pDes, &fd);
    return fd;
}

int ScanBus(const char *szBusPath, unsigned short usVid, unsigned short usPid, QUARN_USB_DEV *devs, bool bComparePid,
            int iCount)
{
    DIR *pBus = opendir(szBusPath);
    if (!pBus)
        return iCount;
    char szNode[c_iPathSize];
    while (iCount < c_iQuarnMaxDevices) {
        const dirent *pEntry = readdir(pBus);
        if (!pEntry)
            break;
        if (!StartsWithDigit(pEntry->d_name))
            continue;
        if (!JoinPath(szNode, szBusPath, pEntry->d_name))
            continue;
        const int fd = OpenMatchingNode(szNode, usVid, usPid, bComparePid, &devs[iCount].dev_des);
        if (fd < 0)
            continue;
        devs[iCount].fd = fd;
        ++iCount;
    }
    closedir(pBus);
    return iCount;
}

// After a failed transfer: a device that still answers a descriptor read is there (the
// transfer timed out or stalled), and the bytes moved so far are reported.
int TransferFailed(int fd, int iMoved)
{
    unsigned char aucScratch[c_iProbeBufSize];
    const int iProbe = quarn_get_string(fd, 0, 0, aucScratch, sizeof(aucScratch));
    return iProbe < 0 ? iProbe : iMoved;
}

int BulkOnce(int fd, unsigned uEndpoint, unsigned char *pData, int iLength, int iTimeoutMs)
{
    usbdevfs_bulktransfer bulk {};
    bulk.ep = uEndpoint;
    bulk.len = unsigned(iLength);
    bulk.timeout = unsigned(iTimeoutMs);
    bulk.data = pData;
    return ioctl(fd, USBDEVFS_BULK, &bulk);
}

int usb_bulk(int fd, unsigned uEndpoint, unsigned char *pData, int iSize, int iTimeoutMs)
{
    int iMoved = 0;
    while (iMoved < iSize) {
        const int iChunk = std::min(c_iBulkChunk, iSize - iMoved);
        const int iResult = BulkOnce(fd, uEndpoint, pData + iMoved, iChunk, iTimeoutMs);
        if (iResult < 0)
            return TransferFailed(fd, iMoved);
        iMoved += iResult;
        // A short packet ends the device's message; a zero-length move would never progress.
        if (iResult == 0 || ((uEndpoint & USB_DIR_IN) && iResult < iChunk))
            break;
    }
    return iMoved;
}

// KQ devices split one message into several packets: ask for all that is missing each time.
int usb_bulk_for_kq(int fd, unsigned uEndpoint, unsigned char *pData, int iSize, int iTimeoutMs)
{
    int iMoved = 0;
    while (iMoved < iSize) {
        const int iResult = BulkOnce(fd, uEndpoint, pData + iMoved, iSize - iMoved, iTimeoutMs);
        if (iResult < 0)
            return TransferFailed(fd, iMoved);
        if (iResult == 0)
            break;
        iMoved += iResult;
    }
    return iMoved;
}

int EndpointIoctl(int fd, unsigned long ulRequest, unsigned uEndpoint)
{
    unsigned int uEp = uEndpoint;
    return ioctl(fd, ulRequest, &uEp) == 0 ? SANE_STATUS_GOOD : SANE_STATUS_IO_ERROR;
}
}  // namespace

int quarn_find_device(unsigned short usVid, unsigned short usPid, QUARN_USB_DEV *devs, bool bComparePid)
{
    if (!devs)
        return -1;
    const char *szRoot = nullptr;
    DIR *pRoot = OpenUsbRoot(&szRoot);
    if (!pRoot)
        return -1;
    int iCount = 0;
    char szBus[c_iPathSize];
    while (iCount < c_iQuarnMaxDevices) {
        const dirent *pEntry = readdir(pRoot);
        if (!pEntry)
            break;
        if (!StartsWithDigit(pEntry->d_name))
            continue;
        if (JoinPath(szBus, szRoot, pEntry->d_name))
            iCount = ScanBus(szBus, usVid, usPid, devs, bComparePid, iCount);
    }
    closedir(pRoot);
    return iCount;
}

void converToDevRes(int fd, const usb_device_descriptor &des, USBFindDevRes *pRes)
{
    std::memset(pRes, 0, sizeof(*pRes));
    pRes->fd = fd;
    pRes->vid = le16toh(des.idVendor);
    pRes->pid = le16toh(des.idProduct);
    const struct
    {
        unsigned char ucIndex;
        char *szOut;
    } c_aStrings[] = {{des.iManufacturer, pRes->Manufacturer},
                      {des.iProduct, pRes->Product},
                      {des.iSerialNumber, pRes->SerialNumber}};
    for (const auto &item : c_aStrings) {
        if (item.ucIndex != 0 && quarn_get_string_simple(fd, item.ucIndex, item.szOut, c_iQuarnStringSize) < 0)
            item.szOut[0] = '\0';
    }
}

int quarn_control_msg(int fd, int iRequestType, int iRequest, int iValue, int iIndex, unsigned char *pData,
                      int iSize, int iTimeoutMs)
{
    usbdevfs_ctrltransfer ctrl {};
    ctrl.bRequestType = uint8_t(iRequestType);
    ctrl.bRequest = uint8_t(iRequest);
    ctrl.wValue = uint16_t(iValue);
    ctrl.wIndex = uint16_t(iIndex);
    ctrl.wLength = uint16_t(iSize);
    ctrl.timeout = unsigned(iTimeoutMs);
    ctrl.data = pData;
    const int iResult = ioctl(fd, USBDEVFS_CONTROL, &ctrl);
    return iResult < 0 ? -1 : iResult;
}

int quarn_get_string(int fd, int iIndex, int iLangId, unsigned char *pBuf, int iLength)
{
    return quarn_control_msg(fd, USB_DIR_IN, USB_REQ_GET_DESCRIPTOR, (USB_DT_STRING << 8) + iIndex, iLangId, pBuf,
                             iLength, c_iStringTimeoutMs);
}

int quarn_get_string_simple(int fd, int iIndex, char *szBuf, int iCapacity)
{
    if (iCapacity < 1)
        return c_iErrShortDescriptor;
    unsigned char aucDesc[c_iStringBufSize] = {};
    int iResult = quarn_get_string(fd, 0, 0, aucDesc, sizeof(aucDesc));
    if (iResult < 0)
        return iResult;
    if (iResult <= 3)
        return c_iErrShortDescriptor;
    const int iLangId = aucDesc[2] | (aucDesc[3] << 8);

    std::memset(aucDesc, 0, sizeof(aucDesc));
    iResult = quarn_get_string(fd, iIndex, iLangId, aucDesc, sizeof(aucDesc));
    if (iResult < 0)
        return iResult;
    if (aucDesc[1] != c_ucDescriptorTypeString)
        return c_iErrShortDescriptor;
    const int iDescLength = aucDesc[0];
    if (iResult < iDescLength)
        return c_iErrTruncatedDescriptor;

    int iChars = 0;
    for (int i = 2; i + 1 < iDescLength && iChars < iCapacity - 1; i += 2)
        szBuf[iChars++] = aucDesc[i + 1] ? '?' : char(aucDesc[i]);
    szBuf[iChars] = '\0';
    return iChars;
}

int quarn_bulk_write(int fd, const unsigned char *pData, int iSize, int iTimeoutMs)
{
    if (fd <= 0 || !pData)
        return -1;
    // The kernel only reads from an OUT buffer.
    return usb_bulk(fd, c_uQuarnBulkOut, const_cast<unsigned char *>(pData), iSize, iTimeoutMs);
}

int quarn_bulk_read(int fd, unsigned char *pBuf, int iSize, int iTimeoutMs)
{
    if (fd <= 0 || !pBuf)
        return -1;
    if (bIsKQ)
        return usb_bulk_for_kq(fd, c_uQuarnBulkIn, pBuf, iSize, iTimeoutMs);
    return usb_bulk(fd, c_uQuarnBulkIn, pBuf, iSize, iTimeoutMs);
}

int ReadWithRetry(int fd, unsigned char *pBuf, int iCount)
{
    int iHave = 0;
    for (int iFailed = 0; iHave < iCount && iFailed < c_iReadRetryAttempts;) {
        const int iRead = quarn_bulk_read(fd, pBuf + iHave, iCount - iHave, c_iReadRetryTimeoutMs);
        if (iRead > 0)
            iHave += iRead;
        if (iHave < iCount)
            ++iFailed;
    }
    return iHave >= iCount ? SANE_STATUS_GOOD : SANE_STATUS_IO_ERROR;
}

int quarn_resetep(int fd, unsigned uEndpoint)
{
    return EndpointIoctl(fd, USBDEVFS_RESETEP, uEndpoint);
}

int quarn_clear_halt(int fd, unsigned uEndpoint)
{
    return EndpointIoctl(fd, USBDEVFS_CLEAR_HALT, uEndpoint);
}

int quarn_reset_device(int fd)
{
    return ioctl(fd, USBDEVFS_RESET, 0);
}

void quarn_close_device(int fd)
{
    if (fd > 0)
        close(fd);
}

int quarn_init(int)
{
    return SANE_STATUS_GOOD;
}
