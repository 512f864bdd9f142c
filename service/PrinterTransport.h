// How the service reaches one printer: one small table of functions per kind of
// connection, chosen by the queue's connection type.
#pragma once

#include <QByteArray>
#include <QString>

namespace service
{
enum enStatusFamily
{
    FAMILY_STANDARD,
    FAMILY_KQ,
};

struct stPrinterTransport
{
    const char *szName;
    // Asks the printer for its status; on 0 the buffer holds the 7-byte prefix and the
    // reply body, already checked as far as the transport can.
    int (*pfnQueryStatus)(const QString &strPort, enStatusFamily enFamily, QByteArray &baStatus);
    // Tells the printer to drop the job it is printing.
    int (*pfnCancelJob)(const QString &strPort);
    // Whether this failure makes the printer off-line now; may count failures.
    bool (*pfnIsOfflineFailure)(int iCode, int &iFailCount);
    // What a result code of this transport means: USB and UDP codes share numbers.
    const char *(*pfnDescribe)(int iCode);
};

const stPrinterTransport &TransportFor(int iConnectType);

// Result codes shared by the transports.
enum enQueryResult
{
    QUERY_OK = 0,
    QUERY_BAD_ADDRESS = -1,  // also: the reply was rejected
    QUERY_NO_SOCKET = -2,
    QUERY_SEND_FAILED = -3,
    QUERY_NO_TIMEOUT = -4,
    QUERY_NO_ANSWER = -5,
};

const char *DescribeQueryResult(int iCode);

// USB (libusb), codes in UsbPrinter.h.
int GetPrinterStatusUSB(const QString &strPort, enStatusFamily enFamily, QByteArray &baStatus);
int CancelPrinterJob(const QString &strPort);
const char *DescribeUsbResult(int iCode);
// UDP port 9300.
int GetPrinterStatusUDP(const QString &strPort, QByteArray &baStatus);
int GetPrinterStatusUDP_KQ(const QString &strPort, QByteArray &baStatus);
int CancelPrinterNetJob(const QString &strPort);
}  // namespace service
