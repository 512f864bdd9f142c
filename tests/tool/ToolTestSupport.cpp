#include "ToolTestSupport.h"

#include <QDir>
#include <QSaveFile>

#include "StatusReplyBuilder.h"
#include "UtilCfgFiles.h"

namespace
{
constexpr int c_iTonerWidth = 4;
const unsigned char c_szSequence[4] = {1, 2, 3, 4};
}  // namespace

stPrinterInfo ToolPrinter(const QString &strName, const QString &strModel, int iConnectType, const QString &strPort)
{
    stPrinterInfo info;
    info.strPrinterName = strName;
    info.enType = strModel;
    info.iConnectType = iConnectType;
    info.strPort = strPort;
    info.strDeviceURI = (iConnectType == CONNECT_USB ? "usb://" : "socket://") + strPort;
    return info;
}

bool WritePrinterList(const QString &strCfgDir, const QList<stPrinterInfo> &listInfo)
{
    QDir().mkpath(strCfgDir);
    return UtilCfgFiles::WritePrinterList(listInfo, strCfgDir + "/" + UtilCfgFiles::c_szListFile);
}

bool ReplaceFile(const QString &strPath, const QByteArray &ba)
{
    QSaveFile file(strPath);
    return file.open(QIODevice::WriteOnly) && file.write(ba) == ba.size() && file.commit();
}

QByteArray StandardStatus(int iStatus, QList<std::uint16_t> listError, QList<std::uint16_t> listWarning,
                          unsigned long ulToner)
{
    stStandardReply reply;
    reply.ucStatus = std::uint8_t(iStatus);
    reply.listError = listError;
    reply.listWarning = listWarning;
    reply.listSupply = {SupplyNumber(0x1000, ulToner, c_iTonerWidth)};
    return BuildStandardReply(reply);
}

QByteArray KQStatus(int iState, QList<std::uint16_t> listError, QList<std::uint16_t> listWarning, int iToner)
{
    stKQReply reply;
    reply.listRecord = {KQState(std::uint8_t(iState))};
    for (std::uint16_t usCode : listError)
        reply.listRecord.append(KQError(usCode));
    for (std::uint16_t usCode : listWarning)
        reply.listRecord.append(KQWarning(usCode));
    reply.listRecord.append(KQToner(std::uint8_t(iToner)));
    return KQStatusBuffer(BuildKQReplyFrame(c_szSequence, reply));
}

QProcessEnvironment WithLocale(QProcessEnvironment env, const QString &strLang, const QString &strLanguage)
{
    for (const char *szName : {"LANGUAGE", "LC_ALL", "LC_MESSAGES"})
        env.remove(szName);
    env.insert("LANG", strLang);
    if (!strLanguage.isEmpty())
        env.insert("LANGUAGE", strLanguage);
    return env;
}
