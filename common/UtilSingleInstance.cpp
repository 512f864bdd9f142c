// Single-instance test over /proc: no shell, no scratch file.
#include <QCoreApplication>
#include <QDir>
#include <QFile>

#include "UtilThreadBase.h"

namespace
{
constexpr int c_iCommNameMax = 15;  // the kernel keeps this much of a command name
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
        QFile comm("/proc/" + strPid + "/comm");
        if (!comm.open(QIODevice::ReadOnly))
            continue;  // the process ended meanwhile
        const QString strComm = QString::fromUtf8(comm.read(64)).trimmed();
        if (strComm.compare(strWanted, Qt::CaseInsensitive) == 0)
            ++iCount;
    }
    return iCount;
}

bool CheckIsRunning()
{
    return CountProcessesNamed(QCoreApplication::applicationName()) > 1;
}
