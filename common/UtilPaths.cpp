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
    return FromEnv("OSTREL_PREFIX", OSTREL_DEFAULT_INSTALL_ROOT);
}

QString InstallDir(const char *sub)
{
    return InstallRoot() + "/" + QString::fromUtf8(sub) + "/";
}

QString CfgDir()
{
    return InstallDir("cfg");
}

QString CupsServerRoot()
{
    return FromEnv("CUPS_SERVERROOT", c_szDefaultCupsServerRoot);
}
}  // namespace UtilPaths
