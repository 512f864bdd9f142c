// One client connection: reads 4-byte command codes and their request records from a
// byte stream and answers them. Device and network work goes through one small function
// table per transport, so the same dispatcher runs against stubs.
#pragma once

#include <sys/types.h>

#include <csignal>
#include <string>
#include <vector>

#include "quarn_usb.h"
#include "quarn_wire.h"

struct stQuarnUsbOps
{
    int (*pfnFindDevice)(unsigned short usVid, unsigned short usPid, QUARN_USB_DEV *devs, bool bComparePid);
    void (*pfnDevRes)(int fd, const usb_device_descriptor &des, USBFindDevRes *pRes);
    void (*pfnClose)(int fd);
    int (*pfnInit)(int fd);
    int (*pfnClearHalt)(int fd, unsigned uEndpoint);
    int (*pfnResetEp)(int fd, unsigned uEndpoint);
    int (*pfnStart)(int fd);
    int (*pfnAbort)(int fd);
    int (*pfnLock)(int fd, const SettingInfo *pInfo);
    int (*pfnUnlock)(int fd);
    int (*pfnAdfStatus)(int fd, ADFStatus *pStatus);
    int (*pfnPowerOn)(int fd);
    int (*pfnGetSizes)(int fd);
    int (*pfnDevProperties)(int fd, ResScanDeviceProperties *pProps);
    int (*pfnRecord)(int fd, ScanStatus *pSt, unsigned char **ppBuf, int *piSize, int *piLen);
};

struct stQuarnNetOps
{
    // *ppReply is allocated with malloc and released by the dispatcher.
    int (*pfnSendOsl)(QuarnSocket *pSocket, char **ppReply, OSL_CMD_TYPE type, int *piLen);
    int (*pfnScanStart)(QuarnSocket *pSocket, const SettingInfo *pInfo);
    int (*pfnRecord)(QuarnSocket *pSocket, ScanStatus *pSt, unsigned char **ppBuf, int *piSize, int *piLen);
    int (*pfnAbort)(QuarnSocket *pSocket);
    int (*pfnAdfStatus)(QuarnSocket *pSocket, ADFStatus *pStatus);
    int (*pfnDevProperties)(QuarnSocket *pSocket, ScannerCapabilities *pCaps);
};

extern const stQuarnUsbOps c_stQuarnUsbOps;
extern const stQuarnNetOps c_stQuarnNetOps;

struct stQuarnConnection
{
    int iSocket = -1;
    std::string strScanDir;
    const stQuarnUsbOps *pUsb = &c_stQuarnUsbOps;
    const stQuarnNetOps *pNet = &c_stQuarnNetOps;
    pid_t dataProcPid = 0;   // the running data process of this connection, or 0
    std::string strDataJob;  // the job whose pages that process writes
    bool bStreamCut = false; // that process ended before the client got the stream's end
    int filename_index = 0;  // scans started on this connection
    // Scan data connections handed to the client and still open here: the only
    // descriptors that a later scan start or abort may close for the client.
    std::vector<int> listDataFd;
};

// Cleared by SIGQUIT: every loop of the daemon ends at its next look.
extern volatile sig_atomic_t flag;

// Serves until the client leaves, a receive fails or flag drops; may fork data
// processes, which never return from here.
void QuarnServeConnection(stQuarnConnection &conn);

// Sends all bytes, retrying short sends at most 10 times: the count, or -1.
int serverTcpSendWithRetry(int fd, const void *pData, int iCount, int iFlags);

// Removes the page files "<fileName>_<digits>.tmp" of one job from the scan directory.
void deleteFileList(const std::string &strScanDir, const char *szFileName);

// Removes one page file named by its full path, if it is a regular file directly inside
// the scan directory with a page file's name; anything else is left alone.
bool QuarnDeleteScanFile(const std::string &strScanDir, const char *szPath);
