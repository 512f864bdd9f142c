// Records shared by printsvc and printtool, and the compiled-in model catalogue.
#pragma once

#include <QList>
#include <QString>
#include <QStringList>

#include "ModelCatalogue.h"
#include "PrinterEnums.h"

struct stModelInfo
{
    QString strURIModel;   // model text inside a CUPS USB device URI
    QString strModelName;  // *ModelName of the model's PPD
    QString strPPDName;
    int iVID;
    int iPID;
};

// The catalogue's rows (ModelCatalogue.h) in Qt's terms, in the same order.
inline const QList<stModelInfo> c_stModelInfoList = [] {
    QList<stModelInfo> list;
    for (const stModelRow &row : c_astModelRows)
        list.append({row.szURIModel, row.szModelName, row.szPPDName, row.iVID, row.iPID});
    return list;
}();

// Model texts of the family that is queried with NPA frames (case-sensitive substrings).
inline const QStringList KQModelName = {"VX3310 Pro", "VX3310-Pro", "VX1310"};

enum enConnectType
{
    CONNECT_UNSET = 0,
    CONNECT_USB = 1,
    CONNECT_NETWORK = 2,
};

struct stPrinterInfo
{
    QString strPrinterName;
    QString enType;  // matched catalogue model name; empty without driver matching
    int iConnectType = CONNECT_UNSET;
    QString strPort;  // USB: URI after "usb://"; network: host part of the URI
    QString strDeviceURI;
};

struct stPrinterState
{
    QString strPrinterSerialNumber;
    enPrinterStatus enCurrentStatus = STATUS_OFFLINE;
    QString strFWVersion;
    QString strVenderName;
    QString strProductName;
    int iNumberOfError = 0;
    int iNumberOfWarning = 0;
    QList<enErrorStatus> listError;
    QList<enErrorStatus> listWarning;
    QString strSupplySerialNumber;
    int enSpplyType = TONER_TYPE_UNKNOWN;
    unsigned long dwRemainingToner = 0;
    unsigned long dwWasteToner = 0;
    unsigned long dwOPCRotation = 0;
    unsigned long dwNumberOfPages = 0;
    unsigned long dwNumberOfPrint = 0;
    unsigned long dwPrintDotsCount = 0;
    unsigned long dwPrinterNumOfPages = 0;
    unsigned long dwPrinterNumOfPrint = 0;
    int iFailCount = 0;  // consecutive failed polls (service) or file reads (tool)
};

// Job states of the supervision pass.
enum enJobStatus
{
    JOB_ALERT_NONE = 0,
    JOB_PRINTING = 1,
    JOB_OTHER = 2,
    JOB_CANCELED_BY_USER = 3,
    JOB_HEADER_SEEN = 4,
};

struct stJobState
{
    QString strJobID;
    int iJobStatus = JOB_HEADER_SEEN;
    int iReserved = -1;
};

struct stPrinterManager
{
    stPrinterInfo stInfo;
    stPrinterState stState;
    QList<stJobState> listJob;
    bool bNeedStatus = false;
};

// Catalogue row whose URI model text, followed by "?", occurs in a USB port text.
const stModelInfo *FindModelByPort(const QString &strPort);
// Catalogue row whose model name equals a PPD *ModelName, letter case ignored.
const stModelInfo *FindModelByName(const QString &strModelName);
bool isKQPrinterModel(const QString &strModel);

// The family whose replies are NPA record lists. The list file's "Model" decides,
// as it decided the reply layout in the service; the queue name only without it.
bool IsKQFamily(const stPrinterInfo &info);
// Toner left in percent: the KQ family reports whole percent, the others hundredths.
double TonerPercent(const stPrinterManager &printer);
// "usb" or "network", for machine-read output.
const char *ConnectionName(int iConnectType);
