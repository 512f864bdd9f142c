// The scanner's command protocol on its bulk endpoints: an 8-byte header out (plus the
// lock settings), an 8-byte header and data back. Every operation answers a SANE status,
// or -1 when the device vanished during the exchange.
#pragma once

#include <cstddef>
#include <cstdint>

#include "quarn_wire.h"

enum CommandType : int32_t
{
    CMD_TYPE_SCAN_START = 0,
    CMD_TYPE_SCAN_DEVICE_PROPERTIES = 1,
    CMD_TYPE_SCAN_ADF_STATUS = 2,
    CMD_TYPE_SCAN_LOCK = 3,
    CMD_TYPE_SCAN_UNLOCK = 4,
    CMD_TYPE_SCAN_GET_SCAN_SIZES = 5,
    CMD_TYPE_SCAN_POWER_ON_COMMAND = 7,
    CMD_TYPE_SCAN_RECORD = 8,
};

enum ScanSource : uint8_t
{
    SCAN_SOURCE_AUTO = 0,
    SCAN_SOURCE_FLATBED_SINGLE_PAGE = 1,
    SCAN_SOURCE_FLATBED_MULTI_PAGE = 2,
    SCAN_SOURCE_ADF_MULTI_PAGE = 3,
    SCAN_SOURCE_ADF_SINGLE_PAGE = 4,
};

constexpr uint8_t c_ucCmdStart = 0x1B;
constexpr uint8_t c_ucClassScan = 0x53;
constexpr uint8_t c_ucClassPower = 0x44;
constexpr uint8_t c_ucCodeStart = 0x01;
constexpr uint8_t c_ucCodeRecord = 0x02;
constexpr uint8_t c_ucCodeProperties = 0x03;
constexpr uint8_t c_ucCodeAdfStatus = 0x04;
constexpr uint8_t c_ucCodeLock = 0x05;
constexpr uint8_t c_ucCodeUnlock = 0x06;
constexpr uint8_t c_ucCodeGetSizes = 0x0A;
constexpr uint8_t c_ucCodeAbort = 0x0F;
constexpr uint8_t c_ucCodePowerOn = 0x04;
constexpr uint8_t c_ucRequestFlags = 0x80;
constexpr int c_iScanHeaderSize = 8;
constexpr int c_iScanRecordInfoSize = 23;
constexpr int c_iResponseBufSize = 200;

// Same layout both ways; dataSize is little-endian on the wire.
struct ReqCommon
{
    uint8_t cmdStart;
    uint8_t cmdClass;
    uint8_t cmdCode;
    uint8_t subCmdCode;
    uint16_t dataSize;
    uint8_t flags;
    uint8_t reserved;
};
using ResCommon = ReqCommon;
static_assert(sizeof(ReqCommon) == c_iScanHeaderSize && offsetof(ReqCommon, dataSize) == 4 &&
                  offsetof(ReqCommon, flags) == 6,
              "ReqCommon");

// The lock request as the device reads it: header and settings, no padding, little-endian.
struct __attribute__((packed)) ReqScanLock
{
    ReqCommon header;
    uint8_t depth;
    uint8_t compressionMode;
    uint8_t compressionLevel;
    uint8_t filter;
    uint32_t width;
    uint32_t height;
    uint32_t xOffset;
    uint32_t yOffset;
    uint16_t xResolution;
    uint16_t yResolution;
    uint8_t scanSource;
    uint8_t duplex;
    uint8_t mirror;
    uint8_t negative;
    uint8_t useColorDropout;
    uint8_t colorDropoutRed;
    uint8_t colorDropoutBlue;
    uint8_t colorDropoutGreen;
    uint8_t colorDropoutThreshold;
    uint8_t backgroundRemoval;
    uint8_t backgroundRemovalParam;
    uint8_t edit;
    uint8_t descreen;
    uint8_t brightness;
    uint8_t contrast;
    uint8_t originalDocumentSource;
    uint8_t sharpen;
    uint8_t colorTemperature;
    uint8_t colorSaturation;
    uint8_t useColorBalance;
    uint8_t colorBalanceRed;
    uint8_t colorBalanceBlue;
    uint8_t colorBalanceGreen;
};
static_assert(sizeof(ReqScanLock) == 55, "ReqScanLock");
static_assert(offsetof(ReqScanLock, depth) == 8 && offsetof(ReqScanLock, width) == 12 &&
                  offsetof(ReqScanLock, xOffset) == 20 && offsetof(ReqScanLock, xResolution) == 28 &&
                  offsetof(ReqScanLock, scanSource) == 32 && offsetof(ReqScanLock, duplex) == 33 &&
                  offsetof(ReqScanLock, backgroundRemoval) == 41 && offsetof(ReqScanLock, brightness) == 45 &&
                  offsetof(ReqScanLock, contrast) == 46 && offsetof(ReqScanLock, colorBalanceGreen) == 54,
              "ReqScanLock fields");

// The KQ family is in force while the marker file exists; looked at before every exchange.
bool CheckIsKQ();

ReqScanLock BuildLockRequest(const SettingInfo &info, bool bKQ);
int ConvertResponseFlagToErrorCode(uint8_t ucFlags, CommandType type);
int RequestScanner(int fd, const unsigned char *pRequest, int iLength);
int ResponseScanner(int fd, CommandType type);

int ScanStart(int fd);
int ScanDeviceProperties(int fd, ResScanDeviceProperties *pProps);
int ScanADFStatus(int fd, ADFStatus *pStatus);
int ScanLock(int fd, const SettingInfo *pInfo);
int ScanUnlock(int fd);
int ScanGetScanSizes(int fd);
int ScanPowerOn(int fd);
int ScanAbort(int fd);

// One scan record: *ppBuf grows (tracked in *piSize) to hold its image data, *piLen is
// the image byte count; *pSt receives the record status when the record carries one.
int ScanRecord(int fd, ScanStatus *pSt, unsigned char **ppBuf, int *piSize, int *piLen);
bool getScanBuffer(unsigned char **ppBuf, int *piSize, int iWanted);
