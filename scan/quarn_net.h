// Network scanners: attribute queries (OSL, port 5000), the scan job post, abort, feeder
// status and capabilities (HTTP, port 80), and the scan data stream (port 2080). Every
// exchange opens its own connection and closes it again; only the scan data connection
// outlives the call that opened it. Every operation answers a SANE status. The request
// texts are the scanner's protocol: they are sent exactly as its firmware expects them,
// quirks included.
#pragma once

#include "quarn_wire.h"

constexpr unsigned short c_usOslPort = 5000;
constexpr unsigned short c_usHttpPort = 80;
constexpr unsigned short c_usScanDataPort = 2080;

// The scan post names this address in its IPADDRESS field and its Host header. The
// scanner wants some address there, but the daemon opens the scan data connection
// itself, so the scanner never has to reach it. It is fixed so that every post is the
// same whatever interfaces the machine has (a host with several, or none up, would
// otherwise post different texts), and it comes from a block kept for documentation
// (RFC 5737, TEST-NET-3) that is never routed on the internet, so that a scanner that
// did try to reach it could not reach a stranger.
constexpr const char *c_szQuarnPostAddress = "203.0.113.10";

// A connected IPv4 stream socket with 5-second send and receive time-outs, or -1; an
// address that is not dotted IPv4 text is refused.
int quarn_init_tcp(const char *szIP, unsigned short usPort);
int quarn_close_tcp(int fd);
// 0 when all iCount bytes arrived within 4 attempts, -1 otherwise.
int quarn_tcp_recv_with_retry(int fd, void *pBuf, int iCount);
// The first IPv4 address of an interface that is up, running, broadcast- and
// multicast-capable: 0, or -1 when there is none or it does not fit.
int GetHostIPAddress(char *szBuf, int iSize);

// *ppReply is allocated with malloc; the caller releases it.
int quarn_send_osl(QuarnSocket *pSocket, char **ppReply, OSL_CMD_TYPE type, int *piLen);
// Leaves the scan data connection in pSocket->tcpFromScanner (-1 when there is none).
int quarn_http_ScanStart(QuarnSocket *pSocket, const SettingInfo *pInfo);
int quarn_tcp_ScanRecord(QuarnSocket *pSocket, ScanStatus *pSt, unsigned char **ppBuf, int *piSize, int *piLen);
int quarn_http_ScanAbort(QuarnSocket *pSocket);
int quarn_http_adfstatus(QuarnSocket *pSocket, ADFStatus *pStatus);
int quarn_http_DeviceProperties(QuarnSocket *pSocket, ScannerCapabilities *pCaps);

// The scan post's form body for these settings: its length, or -1 when it does not fit.
int QuarnBuildScanPostBody(const SettingInfo &info, bool bKQ, const char *szLogin, char *szBody, int iSize);
