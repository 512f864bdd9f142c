// Inside a connection process: the bounded I/O with the client, the data process that
// relays a scan's pages, and the scan jobs' start, abort and end.
#pragma once

#include <cstring>

#include "quarn_dispatch.h"

// ---- client I/O (quarn_io.cpp) ----

// Receives exactly nCount bytes before the connection's request deadline; false when the
// client left, a receive failed, the daemon stops or the deadline passed (then the
// connection is to be hung up).
bool QuarnRecvAll(stQuarnConnection &conn, void *pData, size_t nCount);

// Sends all bytes; a client that takes none of them in for the stall time has the
// connection shut in both directions, which ends it for every process that shares it.
bool QuarnSendAll(int iSocket, const void *pData, int iCount, int iStallMs);

template <typename T>
bool QuarnSendRecord(const stQuarnConnection &conn, const T &rec)
{
    return QuarnSendAll(conn.iSocket, &rec, int(sizeof(rec)), conn.iClientStallMs);
}

bool QuarnSendStatus(const stQuarnConnection &conn, int iStatus);

// A request record, zeroed first so that a short one leaves nothing undefined.
template <typename T>
bool QuarnRecvRequest(stQuarnConnection &conn, T *pReq)
{
    std::memset(pReq, 0, sizeof(*pReq));
    return QuarnRecvAll(conn, pReq, sizeof(*pReq));
}

// Strings from the client end inside their arrays, whatever it sent.
template <size_t N>
void QuarnTerminate(char (&szText)[N])
{
    szText[N - 1] = '\0';
}

// One scan record in the layout of its transport.
struct stQuarnRecord
{
    ScanStatus st = SCAN_STATUS_OPERATION_CONTINUOUS;
    int iFileIndex = 0;
    int iLength = 0;
    int iResult = SANE_STATUS_GOOD;
};
bool QuarnSendScanRecord(int iSocket, int iStallMs, bool bNetwork, const stQuarnRecord &rec);

// ---- the data process (quarn_dataproc.cpp) ----

// Forks the data process for the newest job of the connection; the start response
// reaches the client before any record. The process keeps fdJobEntry (the job's lock)
// and the connection closes its own copy. A SANE status.
int QuarnLaunchDataProcess(stQuarnConnection &conn, int fdJobEntry, const void *pStartRes, int iStartResSize);

// Takes back finished data processes and notes whether each sent its stream's end.
void QuarnReapDataProcesses(stQuarnConnection &conn);

// The running data process stops after its current record; one stuck in a device call
// is killed, and its stream gets the stopped record from here.
void QuarnStopDataProcess(stQuarnConnection &conn);

// ---- scan jobs (quarn_scanjob.cpp) ----

void OnUsbScanStart(stQuarnConnection &conn);
void OnUsbScanAbort(stQuarnConnection &conn);
void OnTcpScanStart(stQuarnConnection &conn);
void OnTcpScanAbort(stQuarnConnection &conn);

// The USB handle the client names, if this connection found it for the client; else -1.
int QuarnOwnUsbFd(const stQuarnConnection &conn, int fd);

// Forgets the jobs whose client, as the kernel tells, has read everything sent so far.
void QuarnNoteCollectedJobs(stQuarnConnection &conn);

// The connection ends: a running scan stops and its scanner is told; pages the client
// never showed it received go, and when the daemon stops, every page of the connection.
void QuarnEndConnection(stQuarnConnection &conn);
