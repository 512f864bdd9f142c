#include "UtilScanPaths.h"

#include <cstdlib>

#include "quarn_wire.h"

namespace UtilScanPaths
{
std::string InstallRoot()
{
    const char *szEnv = std::getenv("OSTREL_PREFIX");
    std::string strRoot = (szEnv && *szEnv) ? szEnv : QUARN_DEFAULT_INSTALL_ROOT;
    while (strRoot.size() > 1 && strRoot.back() == '/')
        strRoot.pop_back();
    return strRoot;
}

std::string ScanDir()
{
    return InstallRoot() + "//scan";
}

std::string KQMarkerPath()
{
    return ScanDir() + "/" + c_szQuarnKQMarker;
}
}  // namespace UtilScanPaths
