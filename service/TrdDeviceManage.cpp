#include "TrdDeviceManage.h"

#include <QDateTime>
#include <QSaveFile>
#include <QThread>

#include "UtilPaths.h"

TrdDeviceManage::TrdDeviceManage(QObject *parent) : UtilThreadBase(parent) {}

void TrdDeviceManage::Init(SharedPrinterList *pListPrinter)
{
    m_pListPrinter = pListPrinter;
}

void TrdDeviceManage::SlotTaskStart()
{
    if (!EnterTaskOnce())
        return;
    do {
        WriteHeartbeat();
    } while (!WaitForSleep(c_iManagerPassMs));
}

void TrdDeviceManage::SlotThreadQuit()
{
    RequestQuit();
}

void TrdDeviceManage::StopAll()
{
    RequestQuit();
    emit SgnThreadQuit();
    for (QThread *pThread : qAsConst(m_listThread)) {
        pThread->quit();
        pThread->wait();
    }
}

bool TrdDeviceManage::WriteHeartbeat()
{
    const QString strDir = UtilPaths::CfgDir();
    MakePathExist(strDir);
    QSaveFile file(strDir + c_szHeartbeatFile);
    if (!file.open(QIODevice::WriteOnly))
        return false;
    file.write(QDateTime::currentDateTime().toString(c_szHeartbeatPattern).toLocal8Bit());
    return file.commit();
}
