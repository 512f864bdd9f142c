// Single-instance test over /proc: no shell, no scratch file.
#include <QCoreApplication>
#include <QDir>
#include <QFile>

#include "UtilThreadBase.h"

namespace
{
constexpr int c_iCommNameMax = 15;  // the kernel keeps this much of a command name
constexpr qint64 c_iStatReadMax = 512;

// An exited process that nobody has reaped yet is no running copy.
bool IsZombie(const QString &strPid)
{
    QFile stat("/proc/" + strPid + "/stat");
    if (!stat.open(QIODevice::ReadOnly))
        return true;
    const QByteArray ba = stat.read(c_iStatReadMax);
    const int iEnd = ba.lastIndexOf(')');  // the command name may itself hold ") "
    return iEnd < 0 || ba.mid(iEnd + 2, 1) == "Z";
}

bool IsLiveProcessNamed(const QString &strPid, const QString &strWanted)
{
    QFile comm("/proc/" + strPid + "/comm");
    if (!comm.open(QIODevice::ReadOnly))
        return false;  // the process ended meanwhile
    const QString strComm = QString::fromUtf8(comm.read(64)).trimmed();
    return strComm.compare(strWanted, Qt::CaseInsensitive) == 0 && !IsZombie(strPid);
}
}

int CountProcessesNamed(const QString &strName)
{
    const QString strWanted = strName.left(c_iCommNameMax);
    const QStringList listPid = QDir("/proc").entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    int iCount = 0;
    for (const QString &strPid : listPid) {
        bool bNumeric = false;
        strPid.toInt(&bNumeric);
        if (!bNumeric)
            continue;
        if (IsLiveProcessNamed(strPid, strWanted))
            ++iCount;
    }
    return iCount;
}

bool CheckIsRunning()
{
    return CountProcessesNamed(QCoreApplication::applicationName()) > 1;
}
