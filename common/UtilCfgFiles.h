// The files that printsvc publishes under cfg/ and that printtool and printstat
// read: the printer list, the heartbeat and one status file per printer. Their
// names, groups, keys, formats and bounds live here and nowhere else.
#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QList>
#include <QSet>
#include <QString>

#include <sys/types.h>

#include "PrinterModel.h"

class UtilOutage;

namespace UtilCfgFiles
{
// cfg/printerlist.ini: a Qt INI file, group "Main" with "Count", then one group per printer.
constexpr const char *c_szListFile = "printerlist.ini";
constexpr const char *c_szListGroupMain = "Main";
constexpr const char *c_szListKeyCount = "Count";
constexpr const char *c_szListGroupPrinter = "printer_%d";
constexpr const char *c_szListKeyName = "Name";
constexpr const char *c_szListKeyModel = "Model";
constexpr const char *c_szListKeyConnectType = "ConnectType";
constexpr const char *c_szListKeyPort = "Port";
constexpr const char *c_szListKeyURI = "URI";
constexpr const char *c_szListCodec = "UTF-8";
// "Count" beyond this is read as this many printers; the file is not trusted further.
constexpr int c_iMaxListCount = 1024;
constexpr mode_t c_modePrinterList = 0644;  // every user's tool reads it; only the service writes it

// cfg/service.hb: the time of the service's last pass, local 8-bit text, no line end.
constexpr const char *c_szHeartbeatFile = "service.hb";
constexpr const char *c_szHeartbeatPattern = "[yyyy-MM-dd hh:mm:ss.zzz]";
constexpr int c_iHeartbeatMax = 64;  // a heartbeat longer than this is not one

// cfg/<queue>.dat: the raw status buffer, no header; readers look at no more than this.
constexpr const char *c_szStatusSuffix = ".dat";
constexpr int c_iStatusFileMax = 2048;

QString PrinterListPath();
QString HeartbeatPath();
// Empty for a queue name that cannot be a plain file name.
QString StatusFilePath(const QString &strQueue);

// Written whole (through a temporary file) with the mode above; false when it could not be.
bool WritePrinterList(const QList<stPrinterInfo> &listInfo, const QString &strPath = PrinterListPath());
// The records of the list file, at most c_iMaxListCount; empty when there is no file.
QList<stPrinterInfo> ReadPrinterList(const QString &strPath = PrinterListPath());
// Sets the mode of an existing list file; false when it could not be set.
bool RestrictPrinterList(const QString &strPath = PrinterListPath());

bool WriteHeartbeat(const QDateTime &dt, const QString &strPath = HeartbeatPath());
// Invalid when the file is missing or does not hold a heartbeat.
QDateTime ReadHeartbeat(const QString &strPath = HeartbeatPath());

bool WriteStatusFile(const QString &strPath, const QByteArray &baStatus);
// Reads at most iSize bytes into the buffer; the count read, or -1.
qint64 ReadStatusFile(const QString &strPath, unsigned char *pBuffer, qint64 iSize);
// Deletes the regular status files of queues not in the set; false when one could not be.
bool RemoveStaleStatusFiles(const QSet<QString> &setQueue);

// A file under cfg/ that cannot be written leaves the tools blind: reports the failure
// (with errno as the failed write left it) once per outage on stderr; returns bDone.
bool ReportWrite(UtilOutage &outage, const QString &strPath, bool bDone);

// What identifies one version of a file. The service replaces its files by rename,
// so a new inode marks a new version even within one tick of the file clock.
struct stFileStamp
{
    bool bValid = false;
    ino_t ino = 0;
    qint64 llMtimeNs = 0;
    qint64 llSize = 0;

    bool operator==(const stFileStamp &o) const
    {
        return bValid == o.bValid && ino == o.ino && llMtimeNs == o.llMtimeNs && llSize == o.llSize;
    }
};

// Not valid for a missing path or one that is not a regular file.
stFileStamp StampOf(const QString &strPath);
}  // namespace UtilCfgFiles
