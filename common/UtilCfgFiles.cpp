#include "UtilCfgFiles.h"

#include <QDir>
#include <QFile>
#include <QSaveFile>
#include <QSettings>

#include <sys/stat.h>

#include <cerrno>
#include <cstring>

#include "UtilOutage.h"
#include "UtilPaths.h"

namespace
{
constexpr qint64 c_llNsPerSecond = 1000000000;

QString PrinterGroup(int i)
{
    return QString::asprintf(UtilCfgFiles::c_szListGroupPrinter, i);
}

bool WriteWhole(const QString &strPath, const QByteArray &ba)
{
    QSaveFile file(strPath);
    return file.open(QIODevice::WriteOnly) && file.write(ba) == ba.size() && file.commit();
}

bool IsRegularFile(const QString &strPath)
{
    struct stat st = {};
    return ::lstat(QFile::encodeName(strPath).constData(), &st) == 0 && S_ISREG(st.st_mode);
}
}  // namespace

namespace UtilCfgFiles
{
QString PrinterListPath()
{
    return UtilPaths::CfgDir() + c_szListFile;
}

QString HeartbeatPath()
{
    return UtilPaths::CfgDir() + c_szHeartbeatFile;
}

QString StatusFilePath(const QString &strQueue)
{
    if (strQueue.isEmpty() || strQueue.contains('/') || strQueue.contains(QChar('\0')) || strQueue == "." ||
        strQueue == "..")
        return {};
    return UtilPaths::CfgDir() + strQueue + c_szStatusSuffix;
}

bool WritePrinterList(const QList<stPrinterInfo> &listInfo, const QString &strPath)
{
    {
        // QSettings replaces the file through a temporary one, so readers never see half of it.
        QSettings settings(strPath, QSettings::IniFormat);
        settings.setIniCodec(c_szListCodec);
        settings.beginGroup(c_szListGroupMain);
        settings.setValue(c_szListKeyCount, listInfo.size());
        settings.endGroup();
        for (int i = 0; i < listInfo.size(); ++i) {
            const stPrinterInfo &info = listInfo.at(i);
            settings.beginGroup(PrinterGroup(i));
            settings.setValue(c_szListKeyName, info.strPrinterName);
            settings.setValue(c_szListKeyModel, info.enType);
            settings.setValue(c_szListKeyConnectType, QString::number(info.iConnectType));
            settings.setValue(c_szListKeyPort, info.strPort);
            settings.setValue(c_szListKeyURI, info.strDeviceURI);
            settings.endGroup();
        }
        settings.sync();
        if (settings.status() != QSettings::NoError)
            return false;
    }
    return RestrictPrinterList(strPath);
}

QList<stPrinterInfo> ReadPrinterList(const QString &strPath)
{
    if (!QFile::exists(strPath))
        return {};
    QSettings settings(strPath, QSettings::IniFormat);
    settings.setIniCodec(c_szListCodec);
    settings.beginGroup(c_szListGroupMain);
    const int iCount = qBound(0, settings.value(c_szListKeyCount).toInt(), c_iMaxListCount);
    settings.endGroup();
    QList<stPrinterInfo> listInfo;
    for (int i = 0; i < iCount; ++i) {
        settings.beginGroup(PrinterGroup(i));
        stPrinterInfo info;
        info.strPrinterName = settings.value(c_szListKeyName).toString();
        info.enType = settings.value(c_szListKeyModel).toString();
        info.iConnectType = settings.value(c_szListKeyConnectType).toInt();
        info.strPort = settings.value(c_szListKeyPort).toString();
        info.strDeviceURI = settings.value(c_szListKeyURI).toString();
        settings.endGroup();
        listInfo.append(info);
    }
    return listInfo;
}

bool RestrictPrinterList(const QString &strPath)
{
    return ::chmod(QFile::encodeName(strPath).constData(), c_modePrinterList) == 0;
}

bool WriteHeartbeat(const QDateTime &dt, const QString &strPath)
{
    return WriteWhole(strPath, dt.toString(c_szHeartbeatPattern).toLocal8Bit());
}

QDateTime ReadHeartbeat(const QString &strPath)
{
    QFile file(strPath);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return QDateTime::fromString(QString::fromLocal8Bit(file.read(c_iHeartbeatMax)), c_szHeartbeatPattern);
}

bool WriteStatusFile(const QString &strPath, const QByteArray &baStatus)
{
    return WriteWhole(strPath, baStatus);
}

qint64 ReadStatusFile(const QString &strPath, unsigned char *pBuffer, qint64 iSize)
{
    QFile file(strPath);
    if (!file.open(QIODevice::ReadOnly))
        return -1;
    return file.read(reinterpret_cast<char *>(pBuffer), qMin<qint64>(iSize, c_iStatusFileMax));
}

bool RemoveStaleStatusFiles(const QSet<QString> &setQueue)
{
    QDir dir(UtilPaths::CfgDir());
    if (!dir.exists())
        return true;
    // Hidden entries, links, pipes, sockets and device nodes are not ours to delete.
    const QStringList listFile = dir.entryList({QString("*") + c_szStatusSuffix}, QDir::Files | QDir::NoSymLinks,
                                               QDir::Unsorted);
    bool bAll = true;
    for (const QString &strFile : listFile) {
        const QString strQueue = strFile.chopped(int(qstrlen(c_szStatusSuffix)));
        if (setQueue.contains(strQueue) || !IsRegularFile(dir.filePath(strFile)))
            continue;
        bAll = dir.remove(strFile) && bAll;
    }
    return bAll;
}

bool ReportWrite(UtilOutage &outage, const QString &strPath, bool bDone)
{
    const int iErrno = errno;
    if (bDone)
        outage.Ended();
    else
        outage.Failed("Unable to write \"%s\": %s", QFile::encodeName(strPath).constData(), std::strerror(iErrno));
    return bDone;
}

stFileStamp StampOf(const QString &strPath)
{
    stFileStamp stamp;
    struct stat st = {};
    if (strPath.isEmpty() || ::stat(QFile::encodeName(strPath).constData(), &st) != 0 || !S_ISREG(st.st_mode))
        return stamp;
    stamp.bValid = true;
    stamp.ino = st.st_ino;
    stamp.llMtimeNs = qint64(st.st_mtim.tv_sec) * c_llNsPerSecond + st.st_mtim.tv_nsec;
    stamp.llSize = st.st_size;
    return stamp;
}
}  // namespace UtilCfgFiles
