// Process-wide diagnostic log, off until SetLogEnable(true).
#pragma once

#include <cstdint>

constexpr int c_iLogLineMax = 1024;                 // message buffer, NUL included
constexpr std::int64_t c_iLogRotateSize = 0x100000; // a larger file starts the next one

// Where a program's log files go: a directory below the install root and a name prefix.
struct stLogProfile
{
    const char *szLogSubdir;
    const char *szLogPrefix;
};

// Each program names its log from main, before it enables the log or starts a thread.
void SetLogProfile(const stLogProfile &profile);
void SetLogEnable(bool enable);
void WriteStringLog(const char *file, int line, const char *function, const char *format, ...)
    __attribute__((format(printf, 4, 5)));

// The build maps source paths to "../<file>", so entries name their call site briefly.
#define LOG_WRITE(...) WriteStringLog(__FILE__, __LINE__, __func__, __VA_ARGS__)
