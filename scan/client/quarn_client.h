// Client side of the scan daemon's protocol on 127.0.0.1:55200. Commands are answered in
// the order sent; while a scan's record stream is open, only the records and an abort
// may be read and sent, because responses and records share the one byte stream.
#pragma once

#include <climits>
#include <cstddef>
#include <string>
#include <vector>

#include "quarn_wire.h"

// Returned where a status was expected but the daemon did not answer.
constexpr int c_iQuarnNoAnswer = INT_MIN;
constexpr int c_iQuarnResponseWaitMs = 60000;
constexpr int c_iQuarnWaitForever = -1;

// The words shown to a person for a status the daemon reports.
const char *QuarnStatusText(int iStatus);
// The same for the record that ended a scan, whose status says more.
const char *QuarnScanEndText(int iResult, int iSt);

class QuarnScanClient
{
public:
    QuarnScanClient() = default;
    ~QuarnScanClient();
    QuarnScanClient(const QuarnScanClient &) = delete;
    QuarnScanClient &operator=(const QuarnScanClient &) = delete;

    bool Connect();
    // Speaks over a stream that is already connected, e.g. one end of a socket pair.
    void Attach(int iSocket);
    void Close();
    int Socket() const { return m_iSocket; }
    bool StreamOpen() const { return m_bStreamOpen; }

    // Raw protocol access: a code, then the request record as it is.
    bool SendRaw(const void *pData, size_t nCount);
    bool SendCommand(scanCommandType code, const void *pReq, size_t nReq);
    // False when the bytes did not all arrive within the wait (c_iQuarnWaitForever: no limit).
    bool RecvRaw(void *pData, size_t nCount, int iWaitMs = c_iQuarnResponseWaitMs);

    template <typename TReq>
    int StatusOf(scanCommandType code, const TReq &req)
    {
        int32_t iStatus = 0;
        if (!SendCommand(code, &req, sizeof(req)) || !RecvRaw(&iStatus, sizeof(iStatus)))
            return c_iQuarnNoAnswer;
        return iStatus;
    }
    int StatusOf(scanCommandType code, int iDevFd);

    // The count the daemon answered (-1: no usbfs), or c_iQuarnNoAnswer.
    int FindDevices(int iVid, int iPid, bool bComparePid, std::vector<USBFindDevRes> *pList);
    USBReopenDevRes Reopen(int iDevFd, int iVid, int iPid, const char *szSerial);
    int Lock(int iDevFd, const SettingInfo &info);
    bool AdfStatus(int iDevFd, USBScanAdfStatusRes *pRes);
    bool DevProperties(int iDevFd, USBScanDevicePropertiesRes *pRes);
    bool DeleteFile(const std::string &strPath);

    bool StartScan(int iDevFd, USBScanStartRes *pRes);
    // The next record of the open stream; the stream closes with its first nonzero result.
    bool NextRecord(USBScanRecordRes *pRec, int iWaitMs = c_iQuarnWaitForever);
    // Stops the scan; records still in flight are handed to pPending (the last one ends
    // the stream), then the abort's own status is returned.
    int Abort(int iDevFd, const char *szJob, std::vector<USBScanRecordRes> *pPending = nullptr);

    // Network scanners, named by their dotted IPv4 address. iDataFd is the scan data
    // connection that an earlier start on this connection answered, or -1.
    // The status; the attribute reply's text in *pReply.
    int SendOsl(const char *szIP, OSL_CMD_TYPE type, std::string *pReply);
    bool NetAdfStatus(const char *szIP, TCPADFStatusRes *pRes);
    bool NetDevProperties(const char *szIP, TCPDevPropertiesRes *pRes);
    bool StartNetScan(const char *szIP, int iDataFd, const SettingInfo &info, TCPScanStartRes *pRes);
    bool NextNetRecord(TCPRecordRes *pRec, int iWaitMs = c_iQuarnWaitForever);
    int NetAbort(const char *szIP, int iDataFd, const char *szJob, std::vector<TCPRecordRes> *pPending = nullptr);

private:
    template <typename TRecord>
    bool NextRecordOf(TRecord *pRec, int iWaitMs);
    template <typename TRequest, typename TRecord>
    int AbortWith(scanCommandType code, const TRequest &req, std::vector<TRecord> *pPending);

    int m_iSocket = -1;
    bool m_bStreamOpen = false;
};

// The record that names a network scanner; an address too long for it stays empty.
QuarnSocket QuarnSocketFor(const char *szIP, int iDataFd);

// A scan record of either transport.
struct stQuarnRecord
{
    int iSt = SCAN_STATUS_OPERATION_CONTINUOUS;
    int iFileIndex = 0;
    int iLength = 0;
    int iResult = SANE_STATUS_GOOD;
};

stQuarnRecord QuarnRecordOf(const USBScanRecordRes &rec);
stQuarnRecord QuarnRecordOf(const TCPRecordRes &rec);

// The page file the daemon writes for page iPage of a job.
std::string QuarnPagePath(const std::string &strJob, int iPage);

// A feeder that is known to be empty (SANE_STATUS_NO_DOCS) or jammed fails before
// anything is posted; one whose state cannot be had is left to the scanner's own
// answer to the scan start.
int QuarnNetFeederCheck(QuarnScanClient &client, const char *szIP);

// Stops a USB scan. The daemon resets the device on an abort, so the scanner is then
// reached through a fresh handle, left in *piFd (the old one when none can be had).
int QuarnAbortUsbScan(QuarnScanClient &client, const USBFindDevRes &dev, const char *szJob, int *piFd);
