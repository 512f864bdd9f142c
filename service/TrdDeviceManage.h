// The service's device manager: every pass rescans CUPS, keeps the shared printer
// list in step, publishes the list file and the heartbeat, and starts pollers.
#pragma once

#include <QList>
#include <QString>

#include "SharedPrinterList.h"
#include "UtilThreadBase.h"

class QThread;

constexpr int c_iManagerPassMs = 5000;
constexpr const char *c_szHeartbeatFile = "service.hb";
constexpr const char *c_szHeartbeatPattern = "[yyyy-MM-dd hh:mm:ss.zzz]";

class TrdDeviceManage : public UtilThreadBase
{
    Q_OBJECT

public:
    explicit TrdDeviceManage(QObject *parent = nullptr);
    void Init(SharedPrinterList *pListPrinter);

    bool WriteHeartbeat();
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
    QList<QThread *> m_listThread;
    SharedPrinterList *m_pListPrinter = nullptr;
};
