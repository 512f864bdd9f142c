#include "TrdDeviceManage.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QSaveFile>
#include <QSettings>
#include <QSet>
#include <QThread>

#include <sys/stat.h>

#include "CupsQueues.h"
#include "TrdGetPrinterStatus.h"
#include "UtilLog.h"
#include "UtilPaths.h"

namespace
{
constexpr mode_t c_modePrinterList = 0644;  // every user's tool reads it; only the service writes it

bool OpenFirstReadable(QFile &file, const QStringList &listPath)
{
    for (const QString &strPath : listPath) {
        file.setFileName(strPath);
        if (file.open(QIODevice::ReadOnly))
            return true;
    }
    return false;
}
}  // namespace

TrdDeviceManage::TrdDeviceManage(QObject *parent) : UtilThreadBase(parent), m_printerStates(c_iIdleCheckMs) {}

void TrdDeviceManage::Init(SharedPrinterList *pListPrinter)
{
    m_pListPrinter = pListPrinter;
}

void TrdDeviceManage::SlotTaskStart()
{
    if (!EnterTaskOnce())
        return;
    bool bFirst = true;
    while (RunPass(bFirst))
        bFirst = false;
}

void TrdDeviceManage::SlotThreadQuit()
{
    RequestQuit();
}

// One pass of the loop; false once a stop was requested.
bool TrdDeviceManage::RunPass(bool bFirst)
{
    WriteHeartbeat();
    const QList<stPrinterInfo> listInfo = GetPrinterInfo(true);
    LOG_WRITE("printer num:%d", listInfo.size());
    bool bChanged = bFirst;
    if (!SameSet(listInfo)) {
        CreatePollers(listInfo.size());
        RemoveStaleStatusFiles(listInfo);
        m_pListPrinter->Replace(GetInitPrinterList(listInfo));
        bChanged = true;
    }
    SavePrinterInfo(listInfo, bChanged);
    const bool bNeedStatus = CheckNeedStatus();
    m_pListPrinter->With([bNeedStatus](QList<stPrinterManager> &list) {
        for (stPrinterManager &m : list)
            m.bNeedStatus = bNeedStatus;
    });
    return !WaitForSleep(c_iManagerPassMs);
}

bool TrdDeviceManage::SameSet(const QList<stPrinterInfo> &listInfo)
{
    return m_pListPrinter->With([&listInfo](const QList<stPrinterManager> &list) {
        if (list.size() != listInfo.size())
            return false;
        for (int i = 0; i < list.size(); ++i) {
            const stPrinterInfo &a = list.at(i).stInfo;
            const stPrinterInfo &b = listInfo.at(i);
            if (a.strPrinterName != b.strPrinterName || a.strPort != b.strPort || a.strDeviceURI != b.strDeviceURI)
                return false;
        }
        return true;
    });
}

void TrdDeviceManage::CreatePollers(int iCount)
{
    if (iCount <= m_listPoller.size())
        return;
    for (int i = m_listPoller.size(); i < iCount; ++i) {
        auto *pPoller = new TrdGetPrinterStatus;
        auto *pThread = new QThread;
        pPoller->moveToThread(pThread);
        pThread->start(QThread::InheritPriority);
        pPoller->Init(i, m_pListPrinter, &m_printerStates);
        connect(this, &TrdDeviceManage::SgnStatusThreadStart, pPoller, &TrdGetPrinterStatus::SlotTaskStart);
        connect(this, &TrdDeviceManage::SgnThreadQuit, pPoller, &TrdGetPrinterStatus::SlotThreadQuit);
        m_listPoller.append(pPoller);
        m_listThread.append(pThread);
    }
    emit SgnStatusThreadStart();
}

void TrdDeviceManage::RemoveStaleStatusFiles(const QList<stPrinterInfo> &listInfo)
{
    QDir dir(UtilPaths::CfgDir());
    if (!dir.exists())
        return;
    QSet<QString> setKeep;
    for (const stPrinterInfo &info : listInfo)
        setKeep.insert(info.strPrinterName + ".dat");
    const QStringList listFile =
        dir.entryList({"*.dat"}, QDir::Files | QDir::NoSymLinks | QDir::Hidden | QDir::System, QDir::Unsorted);
    for (const QString &strFile : listFile) {
        if (!setKeep.contains(strFile))
            dir.remove(strFile);
    }
}

void TrdDeviceManage::StopAll()
{
    RequestQuit();
    for (TrdGetPrinterStatus *pPoller : qAsConst(m_listPoller))
        pPoller->RequestQuit();
    m_printerStates.WakeAll();
    for (QThread *pThread : qAsConst(m_listThread)) {
        pThread->quit();
        pThread->wait();
    }
}

QList<stPrinterInfo> TrdDeviceManage::GetPrinterInfo(bool bCheckDriver)
{
    const QString strConf = UtilPaths::CupsServerRoot() + "/printers.conf";
    QFile file;
    if (!OpenFirstReadable(file, {strConf, strConf + ".O"}))
        return {};
    return CupsQueues::ParsePrintersConf(file, bCheckDriver ? CupsQueues::DriverMatch(CheckDriverMatch) : nullptr);
}

bool TrdDeviceManage::CheckDriverMatch(const QString &strQueue, QString &strModel)
{
    if (strQueue.contains('/'))
        return false;
    QFile file(UtilPaths::CupsServerRoot() + "/ppd/" + strQueue + ".ppd");
    if (!file.open(QIODevice::ReadOnly))
        return false;
    return CupsQueues::ParsePpdModelName(file, strModel);
}

QList<stPrinterManager> TrdDeviceManage::GetInitPrinterList(const QList<stPrinterInfo> &listInfo)
{
    return InitPrinterList(listInfo);
}

bool TrdDeviceManage::SavePrinterInfo(const QList<stPrinterInfo> &listInfo, bool bForce)
{
    const QString strPath = UtilPaths::PrinterListPath();
    if (!MakePathExist(UtilPaths::CfgDir()))
        return false;
    if (!bForce && QFile::exists(strPath)) {
        ::chmod(QFile::encodeName(strPath).constData(), c_modePrinterList);
        return true;
    }
    {
        // QSettings replaces the file through a temporary one, so readers never see half of it.
        QSettings settings(strPath, QSettings::IniFormat);
        settings.setIniCodec("UTF-8");
        settings.beginGroup("Main");
        settings.setValue("Count", listInfo.size());
        settings.endGroup();
        for (int i = 0; i < listInfo.size(); ++i) {
            const stPrinterInfo &info = listInfo.at(i);
            settings.beginGroup(QString::asprintf("printer_%d", i));
            settings.setValue("Name", info.strPrinterName);
            settings.setValue("Model", info.enType);
            settings.setValue("ConnectType", QString::number(info.iConnectType));
            settings.setValue("Port", info.strPort);
            settings.setValue("URI", info.strDeviceURI);
            settings.endGroup();
        }
        settings.sync();
        if (settings.status() != QSettings::NoError)
            return false;
    }
    return ::chmod(QFile::encodeName(strPath).constData(), c_modePrinterList) == 0;
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
