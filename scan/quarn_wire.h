// Records of the scan client protocol on TCP port 55200. Daemon and client share the
// machine, so every record travels in the host's native byte order and alignment; the
// static_asserts below keep the layouts byte-exact. Flags the protocol calls bool are
// single bytes, 0 or 1, held as uint8_t so that any byte a client sends reads defined.
#pragma once

#include <cstddef>
#include <cstdint>

constexpr unsigned short c_usQuarnPort = 55200;
constexpr int c_iQuarnBacklog = 20;
constexpr int c_iQuarnMaxDevices = 64;
constexpr int c_iQuarnStringSize = 1024;
constexpr int c_iQuarnFileNameSize = 256;
constexpr int c_iQuarnIpSize = 16;

// Values of the SANE standard's status type; USB_FIND_DEV answers a count instead, and a
// vanished USB device shows up as -1.
enum SANE_Status : int32_t
{
    SANE_STATUS_GOOD = 0,
    SANE_STATUS_UNSUPPORTED = 1,
    SANE_STATUS_CANCELLED = 2,
    SANE_STATUS_DEVICE_BUSY = 3,
    SANE_STATUS_INVAL = 4,
    SANE_STATUS_EOF = 5,
    SANE_STATUS_JAMMED = 6,
    SANE_STATUS_NO_DOCS = 7,
    SANE_STATUS_COVER_OPEN = 8,
    SANE_STATUS_IO_ERROR = 9,
    SANE_STATUS_NO_MEM = 10,
    SANE_STATUS_ACCESS_DENIED = 11,
};

enum scanCommandType : int32_t
{
    USB_FIND_DEV = 0,
    USB_OPEN_DEV = 1,
    USB_CLOSE_DEV = 2,
    USB_CLEAR_DEV = 3,
    USB_RESET_DEVEP = 4,
    USB_SCAN_START = 5,
    USB_SCAN_ABORT = 6,
    USB_SCAN_LOCK = 7,
    USB_SCAN_UNLOCK = 8,
    USB_SCAN_ADFSTATUS = 9,
    USB_SCAN_POWERON = 10,
    USB_SCAN_GETSIZES = 11,
    USB_SCAN_DEVPROPERTIES = 12,
    TCP_SEND_OSL = 13,
    TCP_SCAN_START = 14,
    TCP_SCAN_ABORT = 15,
    TCP_SCAN_ADFST = 16,
    TCP_SCAN_DEVPROPERTIES = 17,
    USB_REOPEN_DEV = 18,
    CMD_DELETE_FILE = 19,
};

enum ScanStatus : int32_t
{
    SCAN_STATUS_OPERATION_CONTINUOUS = 0,
    SCAN_STATUS_END_OF_DATA = 1,
    SCAN_STATUS_ABORTED_OUT_OF_MEMORY = 2,
    SCAN_STATUS_ABORTED_BY_REQUEST = 3,
    SCAN_STATUS_ABORTED_BY_DEVICE = 4,
    SCAN_STATUS_ABORTED_PAPER_JAM = 5,
    SCAN_STATUS_END_OF_PAGE = 7,
    SCAN_STATUS_BEGIN_OF_SCAN = 8,
    SCAN_STATUS_BEGIN_OF_PAGE = 9,
};

enum ADFStatus : int32_t
{
    ADF_STATUS_EMPTY = 1,
    ADF_STATUS_LOADED = 2,
    ADF_STATUS_PAPER_JAM = 3,
};

enum CompressionType : int32_t
{
    COMPRESSION_NONE = 0,
    COMPRESSION_WICKED = 1,
    COMPRESSION_JPEG = 2,
};

enum OSL_CMD_TYPE : int32_t
{
    OSL_CMD_FAMILYTYPE = 0,
    OSL_CMD_GETLIST = 1,
    OSL_CMD_SUMMARY = 2,
};

struct SettingInfo
{
    uint8_t bitDepth;
    CompressionType compType;
    uint32_t width;
    uint32_t height;
    uint32_t xStart;
    uint32_t yStart;
    uint16_t xResolution;
    uint16_t yResolution;
    uint8_t feederEnabled;
    uint8_t backgroundRemoval;
    uint8_t backgroundRemovalParam;
    uint8_t BrightnessParam;
    uint8_t ContrastParam;
    uint8_t isClient;
};

struct QuarnSocket
{
    int32_t tcpFromScanner;
    char szScannerIP[c_iQuarnIpSize];
};

// The scanner's own answer, copied as received: its first 8 bytes are the response header.
struct ResScanDeviceProperties
{
    uint8_t cmdStart;
    uint8_t cmdClass;
    uint8_t cmdCode;
    uint8_t subCmdCode;
    uint16_t dataSize;
    uint8_t flags;
    uint8_t reserved;
    uint8_t majorVersion;
    uint8_t minorVersion;
    uint8_t customStr;
    uint8_t compression;
    uint8_t boundery24;
    uint8_t boundery8;
    uint32_t supportProcessing;
    uint16_t deviceCaps;
    uint8_t sources;
};

struct ScannerCapabilities
{
    uint8_t duplex;
    uint8_t color;
    uint32_t minres;
    uint32_t maxres;
    uint32_t width_format;
    uint32_t family;
    uint8_t permprofiles;
    uint8_t profile;
    uint32_t maxWidth;
    uint32_t maxHeight;
    uint32_t basicres;
};

struct USBFindDevReq
{
    int32_t vid;
    int32_t pid;
    uint8_t compareWithPID;
};

struct USBFindDevRes
{
    int32_t fd;
    int32_t vid;
    int32_t pid;
    char Manufacturer[c_iQuarnStringSize];
    char Product[c_iQuarnStringSize];
    char SerialNumber[c_iQuarnStringSize];
};

struct USBCommonReq
{
    int32_t devfd;
};

struct USBClearDevEpReq
{
    int32_t devfd;
    uint32_t ep;
};

struct USBResetDevEpReq
{
    int32_t devfd;
    uint32_t ep;
};

struct USBReopenDevReq
{
    int32_t devfd;
    int32_t vid;
    int32_t pid;
    char SerialNumber[c_iQuarnStringSize];
};

struct USBReopenDevRes
{
    int32_t ret;
    int32_t fd;
};

struct USBScanLockReq
{
    int32_t devfd;
    SettingInfo info;
};

struct USBScanStartRes
{
    int32_t result;
    char fileName[c_iQuarnFileNameSize];
};

struct USBScanRecordRes
{
    ScanStatus st;
    int32_t fileIndex;
    int32_t dataSize;
    int32_t result;
};

struct USBScanAbortReq
{
    int32_t devfd;
    char fileName[c_iQuarnFileNameSize];
};

struct USBScanAdfStatusRes
{
    ADFStatus st;
    int32_t result;
};

struct USBScanDevicePropertiesRes
{
    ResScanDeviceProperties st;
    int32_t result;
};

struct TCPCommonReq
{
    QuarnSocket socket;
};

struct TCPOSLReq
{
    QuarnSocket socket;
    OSL_CMD_TYPE type;
};

struct TCPOSLRes
{
    int32_t result;
    int32_t bufferLen;
};

struct TCPScanStartReq
{
    QuarnSocket socket;
    SettingInfo info;
};

struct TCPScanStartRes
{
    int32_t result;
    int32_t socketDataFd;
    char fileName[c_iQuarnFileNameSize];
};

struct TCPRecordRes
{
    int32_t result;
    int32_t bufferLen;
    int32_t fileIndex;
    ScanStatus st;
};

struct TCPScanAbortReq
{
    QuarnSocket socket;
    char fileName[c_iQuarnFileNameSize];
};

struct TCPADFStatusRes
{
    int32_t result;
    ADFStatus st;
};

struct TCPDevPropertiesRes
{
    int32_t result;
    ScannerCapabilities devPro;
};

struct CmdDeleteFileReq
{
    char fileName[c_iQuarnFileNameSize];
};

// Field widths that the layouts rely on.
static_assert(sizeof(ScanStatus) == 4 && sizeof(CompressionType) == 4, "enumerations are 32-bit");

static_assert(sizeof(SettingInfo) == 36, "SettingInfo");
static_assert(offsetof(SettingInfo, compType) == 4 && offsetof(SettingInfo, width) == 8 &&
                  offsetof(SettingInfo, height) == 12 && offsetof(SettingInfo, xStart) == 16 &&
                  offsetof(SettingInfo, yStart) == 20 && offsetof(SettingInfo, xResolution) == 24 &&
                  offsetof(SettingInfo, yResolution) == 26 && offsetof(SettingInfo, feederEnabled) == 28 &&
                  offsetof(SettingInfo, backgroundRemoval) == 29 &&
                  offsetof(SettingInfo, backgroundRemovalParam) == 30 &&
                  offsetof(SettingInfo, BrightnessParam) == 31 && offsetof(SettingInfo, ContrastParam) == 32 &&
                  offsetof(SettingInfo, isClient) == 33,
              "SettingInfo fields");

static_assert(sizeof(QuarnSocket) == 20 && offsetof(QuarnSocket, szScannerIP) == 4, "QuarnSocket");

static_assert(sizeof(ResScanDeviceProperties) == 24, "ResScanDeviceProperties");
static_assert(offsetof(ResScanDeviceProperties, dataSize) == 4 && offsetof(ResScanDeviceProperties, flags) == 6 &&
                  offsetof(ResScanDeviceProperties, reserved) == 7 &&
                  offsetof(ResScanDeviceProperties, majorVersion) == 8 &&
                  offsetof(ResScanDeviceProperties, minorVersion) == 9 &&
                  offsetof(ResScanDeviceProperties, customStr) == 10 &&
                  offsetof(ResScanDeviceProperties, compression) == 11 &&
                  offsetof(ResScanDeviceProperties, boundery24) == 12 &&
                  offsetof(ResScanDeviceProperties, boundery8) == 13 &&
                  offsetof(ResScanDeviceProperties, supportProcessing) == 16 &&
                  offsetof(ResScanDeviceProperties, deviceCaps) == 20 &&
                  offsetof(ResScanDeviceProperties, sources) == 22,
              "ResScanDeviceProperties fields");

static_assert(sizeof(ScannerCapabilities) == 36, "ScannerCapabilities");
static_assert(offsetof(ScannerCapabilities, color) == 1 && offsetof(ScannerCapabilities, minres) == 4 &&
                  offsetof(ScannerCapabilities, maxres) == 8 && offsetof(ScannerCapabilities, width_format) == 12 &&
                  offsetof(ScannerCapabilities, family) == 16 && offsetof(ScannerCapabilities, permprofiles) == 20 &&
                  offsetof(ScannerCapabilities, profile) == 21 && offsetof(ScannerCapabilities, maxWidth) == 24 &&
                  offsetof(ScannerCapabilities, maxHeight) == 28 && offsetof(ScannerCapabilities, basicres) == 32,
              "ScannerCapabilities fields");

static_assert(sizeof(USBFindDevReq) == 12 && offsetof(USBFindDevReq, pid) == 4 &&
                  offsetof(USBFindDevReq, compareWithPID) == 8,
              "USBFindDevReq");
static_assert(sizeof(USBFindDevRes) == 3084 && offsetof(USBFindDevRes, vid) == 4 && offsetof(USBFindDevRes, pid) == 8 &&
                  offsetof(USBFindDevRes, Manufacturer) == 12 && offsetof(USBFindDevRes, Product) == 1036 &&
                  offsetof(USBFindDevRes, SerialNumber) == 2060,
              "USBFindDevRes");
static_assert(sizeof(USBCommonReq) == 4, "USBCommonReq");
static_assert(sizeof(USBClearDevEpReq) == 8 && offsetof(USBClearDevEpReq, ep) == 4, "USBClearDevEpReq");
static_assert(sizeof(USBResetDevEpReq) == 8 && offsetof(USBResetDevEpReq, ep) == 4, "USBResetDevEpReq");
static_assert(sizeof(USBReopenDevReq) == 1036 && offsetof(USBReopenDevReq, vid) == 4 &&
                  offsetof(USBReopenDevReq, pid) == 8 && offsetof(USBReopenDevReq, SerialNumber) == 12,
              "USBReopenDevReq");
static_assert(sizeof(USBReopenDevRes) == 8 && offsetof(USBReopenDevRes, fd) == 4, "USBReopenDevRes");
static_assert(sizeof(USBScanLockReq) == 40 && offsetof(USBScanLockReq, info) == 4, "USBScanLockReq");
static_assert(sizeof(USBScanStartRes) == 260 && offsetof(USBScanStartRes, fileName) == 4, "USBScanStartRes");
static_assert(sizeof(USBScanRecordRes) == 16 && offsetof(USBScanRecordRes, fileIndex) == 4 &&
                  offsetof(USBScanRecordRes, dataSize) == 8 && offsetof(USBScanRecordRes, result) == 12,
              "USBScanRecordRes");
static_assert(sizeof(USBScanAbortReq) == 260 && offsetof(USBScanAbortReq, fileName) == 4, "USBScanAbortReq");
static_assert(sizeof(USBScanAdfStatusRes) == 8 && offsetof(USBScanAdfStatusRes, result) == 4, "USBScanAdfStatusRes");
static_assert(sizeof(USBScanDevicePropertiesRes) == 28 && offsetof(USBScanDevicePropertiesRes, result) == 24,
              "USBScanDevicePropertiesRes");

static_assert(sizeof(TCPCommonReq) == 20, "TCPCommonReq");
static_assert(sizeof(TCPOSLReq) == 24 && offsetof(TCPOSLReq, type) == 20, "TCPOSLReq");
static_assert(sizeof(TCPOSLRes) == 8 && offsetof(TCPOSLRes, bufferLen) == 4, "TCPOSLRes");
static_assert(sizeof(TCPScanStartReq) == 56 && offsetof(TCPScanStartReq, info) == 20, "TCPScanStartReq");
static_assert(sizeof(TCPScanStartRes) == 264 && offsetof(TCPScanStartRes, socketDataFd) == 4 &&
                  offsetof(TCPScanStartRes, fileName) == 8,
              "TCPScanStartRes");
static_assert(sizeof(TCPRecordRes) == 16 && offsetof(TCPRecordRes, bufferLen) == 4 &&
                  offsetof(TCPRecordRes, fileIndex) == 8 && offsetof(TCPRecordRes, st) == 12,
              "TCPRecordRes");
static_assert(sizeof(TCPScanAbortReq) == 276 && offsetof(TCPScanAbortReq, fileName) == 20, "TCPScanAbortReq");
static_assert(sizeof(TCPADFStatusRes) == 8 && offsetof(TCPADFStatusRes, st) == 4, "TCPADFStatusRes");
static_assert(sizeof(TCPDevPropertiesRes) == 40 && offsetof(TCPDevPropertiesRes, devPro) == 4,
              "TCPDevPropertiesRes");
static_assert(sizeof(CmdDeleteFileReq) == 256, "CmdDeleteFileReq");

// Names the daemon gives its files in the scan directory.
// A record that ends a scan with SANE_STATUS_NO_MEM says the daemon's scan directory ran
// out of room, unless it carries SCAN_STATUS_ABORTED_OUT_OF_MEMORY: then the scanner did.
inline bool QuarnScanDirFull(int iResult, int iSt)
{
    return iResult == SANE_STATUS_NO_MEM && iSt != SCAN_STATUS_ABORTED_OUT_OF_MEMORY;
}

constexpr const char *c_szQuarnJobPrefix = "ostrelscandata_";
constexpr const char *c_szQuarnPageSuffix = ".tmp";
constexpr const char *c_szQuarnKQMarker = "kq_ctrl.cfg";
