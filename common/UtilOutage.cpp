#include "UtilOutage.h"

#include <cstdarg>
#include <cstdio>

void UtilOutage::Failed(const char *format, ...)
{
    if (m_bOut.exchange(true))
        return;
    va_list args;
    va_start(args, format);
    std::vfprintf(stderr, format, args);
    va_end(args);
    std::fputc('\n', stderr);
}
