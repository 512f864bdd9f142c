#include "OstrelDebug.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>

namespace
{
int DebugLevel()
{
    static const int s_iLevel = [] {
        const char *sz = std::getenv("SANE_DEBUG_OSTREL");
        return sz ? std::atoi(sz) : 0;
    }();
    return s_iLevel;
}
}  // namespace

void OstrelDebug(int iLevel, const char *szFormat, ...)
{
    if (iLevel > DebugLevel())
        return;
    char szLine[1024];
    va_list args;
    va_start(args, szFormat);
    std::vsnprintf(szLine, sizeof(szLine), szFormat, args);
    va_end(args);
    std::fprintf(stderr, "[ostrel] %s\n", szLine);
}
