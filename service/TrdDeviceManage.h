// The service's device manager: every pass rescans CUPS, keeps the shared printer
// list in step, publishes the list file, the heartbeat and the metrics, and starts pollers.
// It also starts the source of CUPS events; a queue event starts a pass at once.
#pragma once

#include <QList>
#include <QString>

#include "CupsWatch.h"
#include "PrinterMetrics.h"
#include "SharedPrinterList.h"
#include "UtilCups.h"
#include "UtilThreadBase.h"

class QThread;

namespace service
{
class CupsEventSource;
class TrdGetPrinterStatus;

constexpr int c_iManagerPassMs = 5000;

class TrdDeviceManage : public UtilThreadBase
{
    Q_OBJECT

public:
    explicit TrdDeviceManage(QObject *parent = nullptr);
    void Init(SharedPrinterList *pListPrinter);

    static QList<stPrinterInfo> GetPrinterInfo(bool bCheckDriver);
    static bool CheckDriverMatch(const QString &strQueue, QString &strModel);
    static QList<stPrinterManager> GetInitPrinterList(const QList<stPrinterInfo> &listInfo);
    static bool SavePrinterInfo(const QList<stPrinterInfo> &listInfo, bool bForce);
    static bool WriteHeartbeat();
    bool CheckNeedStatus() const { return true; }

    // From any thread: ends the loop's current wait and the loop.
    void RequestStop();
    // Stops the loop, the event source and every poller, and waits for their threads.
    void StopAll();

signals:
    void SgnUpdatePrinterList();
    void SgnStatusThreadStart();
    void SgnThreadQuit();

public slots:
    void SlotTaskStart();
    void SlotThreadQuit();

private:
    bool RunPass(bool bFirst);
    QList<stPrinterInfo> ReadQueues(quint64 uQueueEvents);
    void StartEvents();
    bool SameSet(const QList<stPrinterInfo> &listInfo);
    void CreatePollers(int iCount);
    static void RemoveStaleStatusFiles(const QList<stPrinterInfo> &listInfo);

    QList<TrdGetPrinterStatus *> m_listPoller;
    QList<QThread *> m_listThread;
    SharedPrinterList *m_pListPrinter = nullptr;
    PrinterMetrics m_metrics;
    CupsWatch m_watch;
    CupsEventSource *m_pEvents = nullptr;
    QThread *m_pEventThread = nullptr;
    // The scheduler's queue list, read at the queue event numbered m_uQueuesRead.
    QList<stPrinterInfo> m_listFromScheduler;
    quint64 m_uQueuesRead = 0;
    bool m_bFromScheduler = false;
};
}  // namespace service
