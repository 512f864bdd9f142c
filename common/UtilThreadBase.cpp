#include "UtilThreadBase.h"

#include <QDir>
#include <QThread>

UtilThreadBase::UtilThreadBase(QObject *parent) : QObject(parent) {}

UtilThreadBase::~UtilThreadBase() = default;

bool UtilThreadBase::WaitForSleep(int iMilliseconds)
{
    for (int i = 0; i < iMilliseconds / c_iSleepSliceMs; ++i) {
        if (IsQuitRequested())
            return true;
        QThread::msleep(c_iSleepSliceMs);
    }
    const int iRest = iMilliseconds % c_iSleepSliceMs;
    if (iRest > 0)
        QThread::msleep(iRest);
    return IsQuitRequested();
}

bool UtilThreadBase::MakePathExist(const QString &strPath)
{
    return QDir().mkpath(strPath);
}
