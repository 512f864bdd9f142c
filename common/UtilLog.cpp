#include "UtilLog.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QMutex>
#include <QMutexLocker>

#include <atomic>
#include <cstdarg>
#include <cstdio>

#include "UtilPaths.h"

namespace
{
// A program that names no log of its own writes plain "log" files in log/.
stLogProfile s_stProfile = {"log", "log"};
std::atomic<bool> s_bEnable{false};
int s_iLogIndex = 0;
QString s_strLogNameTmp;
QString s_strLogName;
QMutex s_mutexLog;

QString LogFileName(int iIndex)
{
    return s_strLogNameTmp + QString::number(iIndex) + ".log";
}
}  // namespace

void SetLogProfile(const stLogProfile &profile)
{
    s_stProfile = profile;
}

void SetLogEnable(bool enable)
{
    s_bEnable = enable;
    if (!enable) {
        s_strLogName.clear();
        return;
    }
    const QString strDir = UtilPaths::InstallDir(s_stProfile.szLogSubdir);
    QDir().mkpath(strDir);
    s_iLogIndex = 0;
    s_strLogNameTmp = strDir + QString::fromUtf8(s_stProfile.szLogPrefix) +
                      QDateTime::currentDateTime().toString("_yyyyMMdd_hhmmss_");
    s_strLogName = LogFileName(s_iLogIndex);
}

void WriteStringLog(const char *file, int line, const char *function, const char *format, ...)
{
    if (!s_bEnable)
        return;
    QMutexLocker lock(&s_mutexLog);

    char szMessage[c_iLogLineMax] = {};
    va_list args;
    va_start(args, format);
    vsnprintf(szMessage, sizeof(szMessage), format, args);
    va_end(args);

    QByteArray line8 = QDateTime::currentDateTime().toString("[yyyy-MM-dd hh:mm:ss.zzz] (").toLocal8Bit();
    line8.append(file).append('@').append(QByteArray::number(line)).append(' ').append(function);
    line8.append(") ").append(szMessage).append('\n');

    QFileInfo info(s_strLogName);
    if (info.exists() && info.size() > c_iLogRotateSize)
        s_strLogName = LogFileName(++s_iLogIndex);

    QFile f(s_strLogName);
    if (f.open(QIODevice::Append | QIODevice::Text))
        f.write(line8);
}
