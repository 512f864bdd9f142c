// The service's device manager: every pass rescans CUPS, keeps the shared printer
// list in step, publishes the list file and the heartbeat, and starts pollers.
#pragma once

#include <QList>
#include <QString>

#include "SharedPrinterList.h"
#include "UtilCups.h"
#include "UtilThreadBase.h"

class QThread;

namespace service
{
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

    // Stops the loop and every poller, and waits for the pollers' threads.
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
    bool SameSet(const QList<stPrinterInfo> &listInfo);
    void CreatePollers(int iCount);
    static void RemoveStaleStatusFiles(const QList<stPrinterInfo> &listInfo);

    QList<TrdGetPrinterStatus *> m_listPoller;
    QList<QThread *> m_listThread;
    SharedPrinterList *m_pListPrinter = nullptr;
    UtilCupsPrinterStates m_printerStates;
};
}  // namespace service
