#include "TrdDeviceManage.h"

#include <QDateTime>
#include <QFile>
#include <QSet>
#include <QThread>

#include "CupsEventSource.h"
#include "CupsQueues.h"
#include "TrdGetPrinterStatus.h"
#include "UtilCfgFiles.h"
#include "UtilLog.h"
#include "UtilOutage.h"
#include "UtilPaths.h"

namespace service
{
namespace
{
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

TrdDeviceManage::TrdDeviceManage(QObject *parent) : UtilThreadBase(parent), m_watch(c_iIdleCheckMs) {}

void TrdDeviceManage::Init(SharedPrinterList *pListPrinter)
{
    m_pListPrinter = pListPrinter;
}

void TrdDeviceManage::SlotTaskStart()
{
    if (!EnterTaskOnce())
        return;
    StartEvents();
    bool bFirst = true;
    while (RunPass(bFirst))
        bFirst = false;
}

void TrdDeviceManage::StartEvents()
{
    m_pEvents = new CupsEventSource(m_watch);
    m_pEventThread = new QThread;
    m_pEventThread->setObjectName("cups-events");
    m_pEvents->moveToThread(m_pEventThread);
    connect(m_pEventThread, &QThread::started, m_pEvents, &CupsEventSource::SlotStart);
    m_pEventThread->start(QThread::InheritPriority);
}

void TrdDeviceManage::RequestStop()
{
    RequestQuit();
    m_watch.Stop();
}

void TrdDeviceManage::SlotThreadQuit()
{
    RequestQuit();
}

// One pass of the loop; false once a stop was requested.
bool TrdDeviceManage::RunPass(bool bFirst)
{
    WriteHeartbeat();
    m_metrics.Beat();
    const quint64 uQueueEvents = m_watch.QueueGeneration();
    const QList<stPrinterInfo> listInfo = ReadQueues(uQueueEvents);
    LOG_WRITE("printer num:%d", listInfo.size());
    bool bChanged = bFirst;
    if (!SameSet(listInfo)) {
        CreatePollers(listInfo.size());
        RemoveStaleStatusFiles(listInfo);
        m_pListPrinter->Replace(GetInitPrinterList(listInfo));
        m_metrics.SetPrinters(listInfo);
        bChanged = true;
    }
    SavePrinterInfo(listInfo, bChanged);
    const bool bNeedStatus = CheckNeedStatus();
    m_pListPrinter->With([bNeedStatus](QList<stPrinterManager> &list) {
        for (stPrinterManager &m : list)
            m.bNeedStatus = bNeedStatus;
    });
    // Pollers asleep look at their new element.
    if (bChanged)
        m_watch.Wake();
    m_watch.WaitQueuesChanged(uQueueEvents, c_iManagerPassMs);
    return !IsQuitRequested();
}

// With events, the scheduler's own list, asked for again only after a queue event: it
// may write printers.conf half a minute after a change. Without events, or while the
// scheduler does not answer, printers.conf.
QList<stPrinterInfo> TrdDeviceManage::ReadQueues(quint64 uQueueEvents)
{
    if (m_watch.EventsLive()) {
        if (m_bFromScheduler && uQueueEvents == m_uQueuesRead)
            return m_listFromScheduler;
        QList<stCupsQueue> listQueue;
        if (UtilCups::GetQueues(listQueue)) {
            m_listFromScheduler = CupsQueues::FromScheduler(listQueue, CheckDriverMatch);
            m_uQueuesRead = uQueueEvents;
            m_bFromScheduler = true;
            return m_listFromScheduler;
        }
    }
    m_bFromScheduler = false;
    return GetPrinterInfo(true);
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
        // The thread's name in ps and /proc: which printer index wakes how often.
        pThread->setObjectName(QString("poller-%1").arg(i));
        pPoller->moveToThread(pThread);
        pThread->start(QThread::InheritPriority);
        pPoller->Init(i, m_pListPrinter, &m_watch, &m_metrics);
        connect(this, &TrdDeviceManage::SgnStatusThreadStart, pPoller, &TrdGetPrinterStatus::SlotTaskStart);
        connect(this, &TrdDeviceManage::SgnThreadQuit, pPoller, &TrdGetPrinterStatus::SlotThreadQuit);
        m_listPoller.append(pPoller);
        m_listThread.append(pThread);
    }
    emit SgnStatusThreadStart();
}

void TrdDeviceManage::RemoveStaleStatusFiles(const QList<stPrinterInfo> &listInfo)
{
    QSet<QString> setKeep;
    for (const stPrinterInfo &info : listInfo)
        setKeep.insert(info.strPrinterName);
    UtilCfgFiles::RemoveStaleStatusFiles(setKeep);
}

void TrdDeviceManage::StopAll()
{
    RequestQuit();
    if (m_pEventThread) {
        QMetaObject::invokeMethod(m_pEvents, &CupsEventSource::SlotStop, Qt::BlockingQueuedConnection);
        m_pEventThread->quit();
        m_pEventThread->wait();
        delete m_pEvents;
        delete m_pEventThread;
        m_pEvents = nullptr;
        m_pEventThread = nullptr;
    }
    for (TrdGetPrinterStatus *pPoller : qAsConst(m_listPoller))
        pPoller->RequestQuit();
    m_watch.Stop();
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
    static UtilOutage s_outage;
    const QString strPath = UtilCfgFiles::PrinterListPath();
    bool bDone = MakePathExist(UtilPaths::CfgDir());
    if (bDone && !bForce && QFile::exists(strPath))
        return UtilCfgFiles::RestrictPrinterList();
    bDone = bDone && UtilCfgFiles::WritePrinterList(listInfo);
    return UtilCfgFiles::ReportWrite(s_outage, strPath, bDone);
}

bool TrdDeviceManage::WriteHeartbeat()
{
    static UtilOutage s_outage;
    MakePathExist(UtilPaths::CfgDir());
    return UtilCfgFiles::ReportWrite(s_outage, UtilCfgFiles::HeartbeatPath(),
                       UtilCfgFiles::WriteHeartbeat(QDateTime::currentDateTime()));
}
}  // namespace service
