// Where the daemon keeps its files. OSTREL_PREFIX moves the install root for tests and
// demos; the default root comes from the build (the same value the install step uses).
#pragma once

#include <string>

namespace UtilScanPaths
{
std::string InstallRoot(); // no trailing slash
// The scan directory as the daemon names it in every path it hands out: the root, then
// "//scan" with the doubled slash that clients have always seen in job names.
std::string ScanDir();
std::string KQMarkerPath();
}  // namespace UtilScanPaths
