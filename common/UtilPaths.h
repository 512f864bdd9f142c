// Fixed locations of the suite. The install root comes from the build (the value the
// install step uses); OSTREL_PREFIX and CUPS_SERVERROOT move them for tests and demos.
#pragma once

#include <QString>

namespace UtilPaths
{
constexpr const char *c_szDefaultCupsServerRoot = "/etc/cups";

QString InstallRoot();               // no trailing slash
QString InstallDir(const char *sub); // root + "/" + sub + "/"
QString CfgDir();
QString CupsServerRoot();            // no trailing slash
}  // namespace UtilPaths
