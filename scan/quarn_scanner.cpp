#include "quarn_scanner.h"

#include <endian.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "UtilScanPaths.h"
#include "quarn_usb.h"

namespace
{
constexpr int c_iRequestTimeoutMs = 5000;
constexpr int c_iResponseTimeoutMs = 5000;
constexpr int c_iAdfResponseTimeoutMs = 15000;
constexpr int c_iRecordTimeoutMs = 30000;
// A device that keeps streaming leftover records instead of answering is taken as busy.
constexpr int c_iLeftoverRecordSkipMax = 64;
constexpr int c_iLockDataSize = int(sizeof(ReqScanLock)) - c_iScanHeaderSize;
constexpr uint8_t c_ucFilter = 3;
constexpr uint8_t c_ucCompressionLevel = 70;
constexpr uint16_t c_usFeederTooHighDpi = 1200;
constexpr uint16_t c_usFeederReducedDpi = 600;
constexpr uint8_t c_ucKQCompressionMode = COMPRESSION_JPEG;
constexpr uint8_t c_ucFlagBusy = 0x88;

const uint8_t c_aucRecordPrefix[] = {c_ucCmdStart, c_ucClassScan, c_ucCodeRecord};
const uint8_t c_aucAbortPrefix[] = {c_ucCmdStart, c_ucClassScan, c_ucCodeAbort};

// Reused by every exchange of the process; data processes get their own copy.
unsigned char s_ResComBuf[c_iResponseBufSize];

bool BufferStartsWith(const uint8_t (&aucPrefix)[3])
{
    return std::memcmp(s_ResComBuf, aucPrefix, sizeof(aucPrefix)) == 0;
}

int BufferDataSize()
{
    uint16_t usSize;
    std::memcpy(&usSize, s_ResComBuf + offsetof(ResCommon, dataSize), sizeof(usSize));
    return le16toh(usSize);
}

ReqCommon MakeHeader(uint8_t ucClass, uint8_t ucCode, int iDataSize)
{
    ReqCommon header {};
    header.cmdStart = c_ucCmdStart;
    header.cmdClass = ucClass;
    header.cmdCode = ucCode;
    header.dataSize = htole16(uint16_t(iDataSize));
    header.flags = c_ucRequestFlags;
    return header;
}

int SendHeader(int fd, uint8_t ucClass, uint8_t ucCode)
{
    const ReqCommon header = MakeHeader(ucClass, ucCode, 0);
    return RequestScanner(fd, reinterpret_cast<const unsigned char *>(&header), sizeof(header));
}

// One read of a response header (the whole response for the general family).
int ReadResponseHeader(int fd, int iTimeoutMs)
{
    std::memset(s_ResComBuf, 0, sizeof(s_ResComBuf));
    const int iWant = bIsKQ ? c_iScanHeaderSize : c_iResponseBufSize;
    const int iRead = quarn_bulk_read(fd, s_ResComBuf, iWant, iTimeoutMs);
    if (iRead < 0)
        return iRead;
    return iRead < c_iScanHeaderSize ? SANE_STATUS_DEVICE_BUSY : SANE_STATUS_GOOD;
}

// Past records left from an earlier scan and past the device's answer to an abort.
int ReadAnswerHeader(int fd, CommandType type)
{
    const int iTimeoutMs = type == CMD_TYPE_SCAN_ADF_STATUS ? c_iAdfResponseTimeoutMs : c_iResponseTimeoutMs;
    int iStatus = ReadResponseHeader(fd, iTimeoutMs);
    for (int iSkipped = 0; iStatus == SANE_STATUS_GOOD && BufferStartsWith(c_aucRecordPrefix); ++iSkipped) {
        if (iSkipped == c_iLeftoverRecordSkipMax)
            return SANE_STATUS_DEVICE_BUSY;
        iStatus = ReadResponseHeader(fd, c_iResponseTimeoutMs);
    }
    if (iStatus == SANE_STATUS_GOOD && BufferStartsWith(c_aucAbortPrefix))
        iStatus = ReadResponseHeader(fd, c_iResponseTimeoutMs);
    return iStatus;
}

int ExchangeHeader(int fd, uint8_t ucClass, uint8_t ucCode, CommandType type)
{
    const int iStatus = SendHeader(fd, ucClass, ucCode);
    return iStatus != SANE_STATUS_GOOD ? iStatus : ResponseScanner(fd, type);
}

// The record header (and, for KQ devices, its record information) into the response buffer.
int ReadRecordHeader(int fd)
{
    std::memset(s_ResComBuf, 0, sizeof(s_ResComBuf));
    if (!bIsKQ)
        return quarn_bulk_read(fd, s_ResComBuf, c_iResponseBufSize, c_iRecordTimeoutMs);
    const int iRead = quarn_bulk_read(fd, s_ResComBuf, c_iScanHeaderSize, c_iRecordTimeoutMs);
    const int iDataSize = BufferDataSize();
    if (iRead != c_iScanHeaderSize || iDataSize == 0)
        return iRead;
    const int iInfo = quarn_bulk_read(fd, s_ResComBuf + c_iScanHeaderSize,
                                      std::min(iDataSize, c_iScanRecordInfoSize), c_iRecordTimeoutMs);
    return iInfo < 0 ? iInfo : iRead + iInfo;
}

int ReadImageData(int fd, int iDataSize, unsigned char **ppBuf, int *piSize, int *piLen)
{
    const int iImage = iDataSize - c_iScanRecordInfoSize;
    if (!getScanBuffer(ppBuf, piSize, iImage))
        return SANE_STATUS_NO_MEM;
    *piLen = iImage;
    return ReadWithRetry(fd, *ppBuf, iImage);
}

int RecordStatusResult(ScanStatus st)
{
    switch (st) {
    case SCAN_STATUS_END_OF_DATA:
        return SANE_STATUS_EOF;
    case SCAN_STATUS_ABORTED_OUT_OF_MEMORY:
        return SANE_STATUS_NO_MEM;
    case SCAN_STATUS_ABORTED_BY_REQUEST:
    case SCAN_STATUS_ABORTED_BY_DEVICE:
        return SANE_STATUS_CANCELLED;
    case SCAN_STATUS_ABORTED_PAPER_JAM:
        return SANE_STATUS_JAMMED;
    case SCAN_STATUS_END_OF_PAGE:
    case SCAN_STATUS_BEGIN_OF_SCAN:
    case SCAN_STATUS_BEGIN_OF_PAGE:
        return SANE_STATUS_GOOD;
    default:
        return SANE_STATUS_INVAL;
    }
}
}  // namespace

bool CheckIsKQ()
{
    bIsKQ = access(UtilScanPaths::KQMarkerPath().c_str(), F_OK) == 0;
    return bIsKQ;
}

ReqScanLock BuildLockRequest(const SettingInfo &info, bool bKQ)
{
    ReqScanLock req {};
    req.header = MakeHeader(c_ucClassScan, c_ucCodeLock, c_iLockDataSize);
    const bool bBlackWhite = info.bitDepth == 1;
    const bool bCompressed = info.compType == COMPRESSION_WICKED || info.compType == COMPRESSION_JPEG;
    req.depth = bBlackWhite ? 1 : info.bitDepth == 8 ? 2 : 3;
    req.compressionMode = bBlackWhite ? 0 : uint8_t(info.compType);
    req.compressionLevel = (bCompressed && !bBlackWhite) ? c_ucCompressionLevel : 0;
    req.filter = c_ucFilter;
    req.width = htole32(info.width);
    req.height = htole32(info.height);
    req.xOffset = htole32(info.xStart);
    req.yOffset = htole32(info.yStart);
    // The feeder cannot move paper at 1200 dpi.
    const bool bReduce = info.feederEnabled && info.xResolution == c_usFeederTooHighDpi;
    req.xResolution = htole16(bReduce ? c_usFeederReducedDpi : info.xResolution);
    req.yResolution = htole16(bReduce ? c_usFeederReducedDpi : info.yResolution);
    if (info.feederEnabled)
        req.scanSource = info.isClient ? SCAN_SOURCE_ADF_MULTI_PAGE : SCAN_SOURCE_ADF_SINGLE_PAGE;
    else
        req.scanSource = SCAN_SOURCE_FLATBED_SINGLE_PAGE;
    req.duplex = 1;
    req.backgroundRemoval = info.backgroundRemoval ? 1 : 0;
    req.backgroundRemovalParam = info.backgroundRemovalParam;
    req.brightness = info.BrightnessParam;
    req.contrast = info.ContrastParam;
    if (bKQ) {
        req.compressionMode = c_ucKQCompressionMode;
        req.compressionLevel = c_ucCompressionLevel;
        req.duplex = 0;
        req.contrast = 0;
    }
    return req;
}

int ConvertResponseFlagToErrorCode(uint8_t ucFlags, CommandType type)
{
    switch (ucFlags) {
    case 0x81:
    case 0x82:
    case 0x83:
    case 0x84:
    case 0x85:
    case 0x86:
    case 0x89:
        return SANE_STATUS_IO_ERROR;
    case c_ucFlagBusy:
        return type == CMD_TYPE_SCAN_LOCK ? SANE_STATUS_DEVICE_BUSY : SANE_STATUS_IO_ERROR;
    default:
        return SANE_STATUS_GOOD;
    }
}

// A request that reached the device only in part is as broken as one that never left.
int RequestScanner(int fd, const unsigned char *pRequest, int iLength)
{
    const int iWritten = quarn_bulk_write(fd, pRequest, iLength, c_iRequestTimeoutMs);
    if (iWritten == 0)
        return SANE_STATUS_DEVICE_BUSY;
    return iWritten == iLength ? SANE_STATUS_GOOD : SANE_STATUS_IO_ERROR;
}

int ResponseScanner(int fd, CommandType type)
{
    CheckIsKQ();
    const int iStatus = ReadAnswerHeader(fd, type);
    if (iStatus != SANE_STATUS_GOOD)
        return iStatus;
    const int iDataSize = BufferDataSize();
    if (iDataSize != 0 && iDataSize + c_iScanHeaderSize > c_iResponseBufSize)
        return SANE_STATUS_NO_MEM;
    // The verdict is in the header's flags; data bytes that come late or short leave
    // the caller the zeroed tail of the buffer, not another result.
    if (bIsKQ && iDataSize > 0)
        quarn_bulk_read(fd, s_ResComBuf + c_iScanHeaderSize, iDataSize, c_iResponseTimeoutMs);
    return ConvertResponseFlagToErrorCode(s_ResComBuf[offsetof(ResCommon, flags)], type);
}

int ScanStart(int fd)
{
    return ExchangeHeader(fd, c_ucClassScan, c_ucCodeStart, CMD_TYPE_SCAN_START);
}

int ScanDeviceProperties(int fd, ResScanDeviceProperties *pProps)
{
    const int iStatus = ExchangeHeader(fd, c_ucClassScan, c_ucCodeProperties, CMD_TYPE_SCAN_DEVICE_PROPERTIES);
    if (iStatus == SANE_STATUS_GOOD)
        std::memcpy(pProps, s_ResComBuf, sizeof(*pProps));
    return iStatus;
}

int ScanADFStatus(int fd, ADFStatus *pStatus)
{
    const int iStatus = ExchangeHeader(fd, c_ucClassScan, c_ucCodeAdfStatus, CMD_TYPE_SCAN_ADF_STATUS);
    if (iStatus == SANE_STATUS_GOOD)
        *pStatus = ADFStatus(s_ResComBuf[offsetof(ResCommon, reserved)]);
    return iStatus;
}

int ScanLock(int fd, const SettingInfo *pInfo)
{
    const ReqScanLock req = BuildLockRequest(*pInfo, CheckIsKQ());
    const int iStatus = RequestScanner(fd, reinterpret_cast<const unsigned char *>(&req), sizeof(req));
    return iStatus != SANE_STATUS_GOOD ? iStatus : ResponseScanner(fd, CMD_TYPE_SCAN_LOCK);
}

int ScanUnlock(int fd)
{
    return ExchangeHeader(fd, c_ucClassScan, c_ucCodeUnlock, CMD_TYPE_SCAN_UNLOCK);
}

int ScanGetScanSizes(int fd)
{
    return ExchangeHeader(fd, c_ucClassScan, c_ucCodeGetSizes, CMD_TYPE_SCAN_GET_SCAN_SIZES);
}

int ScanPowerOn(int fd)
{
    return ExchangeHeader(fd, c_ucClassPower, c_ucCodePowerOn, CMD_TYPE_SCAN_POWER_ON_COMMAND);
}

// The device answers nothing to an abort; the reset clears its pipes for the next handle.
int ScanAbort(int fd)
{
    const int iStatus = SendHeader(fd, c_ucClassScan, c_ucCodeAbort);
    quarn_reset_device(fd);
    return iStatus;
}

int ScanRecord(int fd, ScanStatus *pSt, unsigned char **ppBuf, int *piSize, int *piLen)
{
    CheckIsKQ();
    *piLen = 0;
    const int iRead = ReadRecordHeader(fd);
    if (iRead < 0)
        return SANE_STATUS_IO_ERROR;
    if (BufferStartsWith(c_aucAbortPrefix))
        return SANE_STATUS_CANCELLED;
    const int iDataSize = BufferDataSize();
    if (iRead == 0 || iDataSize == 0)
        return SANE_STATUS_GOOD;
    // A record is only trusted with its header and record information complete.
    if (iDataSize < c_iScanRecordInfoSize || iRead < c_iScanHeaderSize + c_iScanRecordInfoSize)
        return SANE_STATUS_INVAL;
    *pSt = ScanStatus(s_ResComBuf[c_iScanHeaderSize]);
    if (*pSt == SCAN_STATUS_OPERATION_CONTINUOUS)
        return ReadImageData(fd, iDataSize, ppBuf, piSize, piLen);
    return RecordStatusResult(*pSt);
}

bool getScanBuffer(unsigned char **ppBuf, int *piSize, int iWanted)
{
    if (*piSize >= iWanted && *ppBuf)
        return true;
    auto *pGrown = static_cast<unsigned char *>(std::realloc(*ppBuf, size_t(std::max(iWanted, 1))));
    if (!pGrown)
        return false;
    *ppBuf = pGrown;
    *piSize = iWanted;
    return true;
}
