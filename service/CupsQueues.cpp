#include "CupsQueues.h"

#include <QIODevice>

namespace service
{
namespace
{
constexpr qint64 c_iLineMax = 64 * 1024;  // longer lines are cut, never buffered whole
constexpr int c_iUsbSchemeLength = 6;      // "usb://"

bool StartsWith(const QByteArray &line, const char *szPrefix)
{
    return line.left(int(qstrlen(szPrefix))).toLower() == QByteArray(szPrefix).toLower();
}

QByteArray ReadTrimmedLine(QIODevice &file)
{
    return file.readLine(c_iLineMax).trimmed();
}

// "<Printer name>" or "<DefaultPrinter name>": the text after the first blank, less the ">".
QString QueueNameOf(const QString &strLine)
{
    const int iBlank = strLine.indexOf(' ');
    if (iBlank < 0)
        return {};
    return strLine.mid(iBlank + 1).chopped(1);
}

QString NetworkHost(const QString &strUri)
{
    const int iSep = strUri.indexOf("://");
    if (iSep < 0)
        return {};
    const int iStart = iSep + 3;
    const int iColon = strUri.indexOf(':', iStart);
    return iColon < 0 ? strUri.mid(iStart) : strUri.mid(iStart, iColon - iStart);
}

QString StripOneQuote(QString str)
{
    if (str.startsWith('"'))
        str.remove(0, 1);
    if (str.endsWith('"'))
        str.chop(1);
    return str;
}
}  // namespace

namespace CupsQueues
{
bool ApplyDeviceUri(const QString &strUri, stPrinterInfo &info)
{
    if (strUri.startsWith("usb", Qt::CaseInsensitive)) {
        info.iConnectType = CONNECT_USB;
        info.strPort = strUri.mid(c_iUsbSchemeLength);
        info.strDeviceURI = strUri;
        return true;
    }
    if (!strUri.startsWith("socket", Qt::CaseInsensitive) && !strUri.startsWith("ostrelsocket", Qt::CaseInsensitive))
        return false;
    info.iConnectType = CONNECT_NETWORK;
    if (!strUri.contains("://"))
        return false;
    info.strPort = NetworkHost(strUri);
    info.strDeviceURI = strUri;
    return true;
}

QList<stPrinterInfo> ParsePrintersConf(QIODevice &file, const DriverMatch &match)
{
    QList<stPrinterInfo> list;
    stPrinterInfo info;
    while (!file.atEnd()) {
        const QByteArray line = ReadTrimmedLine(file);
        if (StartsWith(line, "<Printer") || StartsWith(line, "<DefaultPrinter")) {
            info = stPrinterInfo();
            info.strPrinterName = QueueNameOf(QString::fromUtf8(line));
        } else if (StartsWith(line, "</Printer>") || StartsWith(line, "</DefaultPrinter>")) {
            if (info.strPrinterName.isEmpty() || info.strDeviceURI.isEmpty())
                continue;
            if (match && !match(info.strPrinterName, info.enType))
                continue;
            list.append(info);
        } else if (StartsWith(line, "DeviceURI") && line.contains(' ')) {
            ApplyDeviceUri(QString::fromUtf8(line.mid(line.indexOf(' ') + 1)), info);
        }
    }
    return list;
}

QList<stPrinterInfo> FromScheduler(const QList<stCupsQueue> &listQueue, const DriverMatch &match)
{
    QList<stPrinterInfo> list;
    for (const stCupsQueue &queue : listQueue) {
        stPrinterInfo info;
        info.strPrinterName = queue.strName;
        if (!ApplyDeviceUri(queue.strDeviceUri, info))
            continue;
        if (match && !match(info.strPrinterName, info.enType))
            continue;
        list.append(info);
    }
    return list;
}

bool ParsePpdModelName(QIODevice &file, QString &strModel)
{
    while (!file.atEnd()) {
        QByteArray line = file.readLine(c_iLineMax);
        const int iNul = line.indexOf('\0');
        if (iNul >= 0)
            line.truncate(iNul);
        if (!StartsWith(line, "*ModelName"))
            continue;
        const QStringList listPiece = QString::fromUtf8(line).split(':', Qt::SkipEmptyParts);
        if (listPiece.size() < 2)
            continue;
        const QString strValue = StripOneQuote(listPiece.at(1).trimmed());
        if (FindModelByName(strValue)) {
            strModel = strValue;
            return true;
        }
    }
    return false;
}
}  // namespace CupsQueues
}  // namespace service
