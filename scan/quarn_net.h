// Network scanners: attribute queries, scan job post, scan data stream, abort, feeder
// status and capabilities. Until that transport is built every operation answers
// SANE_STATUS_IO_ERROR, which clients take as "not available".
#pragma once

#include "quarn_wire.h"

int quarn_send_osl(QuarnSocket *pSocket, char **ppReply, OSL_CMD_TYPE type, int *piLen);
int quarn_http_ScanStart(QuarnSocket *pSocket, const SettingInfo *pInfo);
int quarn_tcp_ScanRecord(QuarnSocket *pSocket, ScanStatus *pSt, unsigned char **ppBuf, int *piSize, int *piLen);
int quarn_http_ScanAbort(QuarnSocket *pSocket);
int quarn_http_adfstatus(QuarnSocket *pSocket, ADFStatus *pStatus);
int quarn_http_DeviceProperties(QuarnSocket *pSocket, ScannerCapabilities *pCaps);
