#include "UtilPaths.h"

namespace
{
QString FromEnv(const char *szName, const char *szDefault)
{
    QString str = qEnvironmentVariable(szName);
    if (str.isEmpty())
        str = QString::fromUtf8(szDefault);
    while (str.size() > 1 && str.endsWith('/'))
        str.chop(1);
    return str;
}
}  // namespace

namespace UtilPaths
{
QString InstallRoot()
{
    return FromEnv("OSTREL_PREFIX", c_szDefaultInstallRoot);
}

QString InstallDir(const char *sub)
{
    return InstallRoot() + "/" + QString::fromUtf8(sub) + "/";
}

QString CfgDir()
{
    return InstallDir("cfg");
}

QString PrinterListPath()
{
    return CfgDir() + "printerlist.ini";
}

QString CupsServerRoot()
{
    return FromEnv("CUPS_SERVERROOT", c_szDefaultCupsServerRoot);
}
}  // namespace UtilPaths

namespace UtilPaths
{
QString StatusFilePath(const QString &strQueue)
{
    if (strQueue.isEmpty() || strQueue.contains('/') || strQueue.contains(QChar('\0')) || strQueue == "." || strQueue == "..")
        return {};
    return CfgDir() + strQueue + ".dat";
}
}  // namespace UtilPaths
