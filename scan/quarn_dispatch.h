// One client connection: reads 4-byte command codes and their request records from a
// byte stream and answers them. Device and network work goes through one small function
// table per transport, so the same dispatcher runs against stubs.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <csignal>
#include <string>
#include <vector>

#include "quarn_limits.h"
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

// What a data process reads its records from.
struct stQuarnScanSource
{
    bool bNetwork = false;
    int iDevFd = -1;
    QuarnSocket socket {};
};

// A scan started on a connection, kept until its pages are known to be the client's.
struct stQuarnJob
{
    std::string strName;    // the job base name handed to the client
    stQuarnScanSource src;
    bool bEndSent = false;  // its data process sent the record that ends the stream
    bool bReleased = false; // the scanner has been told the job is over
};

struct stQuarnConnection
{
    int iSocket = -1;
    std::string strScanDir;
    const stQuarnUsbOps *pUsb = &c_stQuarnUsbOps;
    const stQuarnNetOps *pNet = &c_stQuarnNetOps;
    uid_t uidPeer = 0; // the client's uid: its pages are its own, others' are not
    int iRequestTimeoutMs = c_iQuarnRequestTimeoutMs;
    int iClientStallMs = c_iQuarnClientStallMs;
    int iMaxInvalidCodes = c_iQuarnMaxInvalidCodes;

    pid_t dataProcPid = 0;  // the running data process of this connection, or 0
    int filename_index = 0; // scans started on this connection
    // Scans whose client has not yet shown that it read their stream's end; the last one
    // belongs to dataProcPid while that runs.
    std::vector<stQuarnJob> listJobs;
    // Scan data connections handed to the client and still open here: the only
    // descriptors that a later scan start or abort may close for the client.
    std::vector<int> listDataFd;
    // USB device handles found for the client: no other descriptor of this process is
    // ever used as a device.
    std::vector<int> listUsbFd;
    bool bHangUp = false;    // a request timed out or the client stopped reading
    bool bPeerReset = false; // the client went away with bytes it never read
    std::chrono::steady_clock::time_point tpRequestDeadline;
};

// Cleared by SIGQUIT: every loop of the daemon ends at its next look.
extern volatile sig_atomic_t flag;

// Serves until the client leaves, a receive fails or flag drops; may fork data
// processes, which never return from here.
void QuarnServeConnection(stQuarnConnection &conn);

// Sends all bytes, retrying sends that move nothing at most 10 times and waiting at most
// iStallMs for room each time: the count, or -1.
int serverTcpSendWithRetry(int fd, const void *pData, int iCount, int iFlags, int iStallMs);

// Removes the client's page files "<fileName>_<digits>.tmp" of one job from the scan directory.
void deleteFileList(const std::string &strScanDir, const char *szFileName, uid_t uid);

// Removes one page file named by its full path, if it is a regular file of the given
// owner directly inside the scan directory with a page file's name; anything else is left alone.
bool QuarnDeleteScanFile(const std::string &strScanDir, const char *szPath, uid_t uid);

// True for "<job>_<digits>.tmp".
bool QuarnIsPageOfJob(const std::string &strPath, const char *szJob);
