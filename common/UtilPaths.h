// Fixed locations of the suite. OSTREL_PREFIX and CUPS_SERVERROOT move them for
// tests and demos; nothing else does.
#pragma once

#include <QString>

namespace UtilPaths
{
constexpr const char *c_szDefaultInstallRoot = "/opt/ostrel/ostrel-printer-z907";
constexpr const char *c_szDefaultCupsServerRoot = "/etc/cups";

QString InstallRoot();               // no trailing slash
QString InstallDir(const char *sub); // root + "/" + sub + "/"
QString CfgDir();
QString PrinterListPath();           // cfg/printerlist.ini, written by the service, read by the tools
QString CupsServerRoot();            // no trailing slash
}  // namespace UtilPaths

namespace UtilPaths
{
// cfg/<queue>.dat; empty for a queue name that cannot be a plain file name.
QString StatusFilePath(const QString &strQueue);
}  // namespace UtilPaths
