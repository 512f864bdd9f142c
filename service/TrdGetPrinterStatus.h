// The per-printer worker of the service: paces itself, asks its printer for status,
// publishes the raw reply as cfg/<queue>.dat and watches the queue's jobs between polls.
#pragma once

#include <QByteArray>

#include "CupsWatch.h"
#include "PrinterTransport.h"
#include "SharedPrinterList.h"
#include "UtilOutage.h"
#include "UtilThreadBase.h"

struct stCupsJob;

namespace service
{
class PrinterMetrics;

// The supervision state of one CUPS job (enJobStatus).
int JobStatusOf(const stCupsJob &job);

constexpr int c_iUsbPollMs = 1500;
constexpr int c_iOfflinePollMs = 10000;
constexpr int c_iActivePollMs = 1000;
constexpr int c_iIdleWaitMs = 500;  // longest sleep of a poller whose printer is idle, without events
// With events a sleeping poller is woken by them, by a new list and by a stop; the
// limit only bounds what a lost wake-up could cost.
constexpr int c_iEventIdleWaitMs = 60000;
constexpr int c_iJobChecksPerCycle = 10;

class TrdGetPrinterStatus : public UtilThreadBase
{
    Q_OBJECT

public:
    explicit TrdGetPrinterStatus(QObject *parent = nullptr);
    void Init(int iIndex, SharedPrinterList *pListPrinter, CupsWatch *pWatch, PrinterMetrics *pMetrics = nullptr);

    // Takes this worker's element of the shared list as its working copy.
    bool CopyOutCurrent();
    // Whether to poll now, and the pacing interval of this cycle.
    bool CheckNeedStatus(int &iInterval);
    // True when the reply differs from the last one; remembers it.
    bool CheckRecvBufChange(const QByteArray &baReply);
    // Publishes and decodes one status buffer into the worker's copy; 0 or -1.
    int CheckPrinterStatus(const QByteArray &baStatus, enStatusFamily enFamily);
    // One job supervision pass.
    int CheckJobStatus();

    const stPrinterManager &CurrentPrinter() const { return m_stCurrentPrinter; }

signals:
    void SgnUpdatePrinterStatus(int iIndex);

public slots:
    void SlotTaskStart();
    void SlotThreadQuit();

private:
    bool Stopping() const;
    bool RunCycle();
    void PollPrinter();
    void ApplyOfflineRule();
    void WriteBack();
    void SuperviseIdlePrinter();
    bool WaitWhileIdle(int iInterval);
    void SuperviseJobsUntil(CupsWatch::Clock::time_point tpDeadline, int iInterval);
    void SuperviseByEvents(const QString &strQueue, CupsWatch::Clock::time_point tpDeadline, int iSliceMs);
    bool IsPrinting(const QString &strQueue);
    bool WasPrinting(const QString &strJobID) const;
    void CancelOnPrinter();
    enStatusFamily Family() const;

    int m_iIndex = -1;
    SharedPrinterList *m_pListPrinter = nullptr;
    CupsWatch *m_pWatch = nullptr;
    PrinterMetrics *m_pMetrics = nullptr;
    quint64 m_uJobEventsSeen = 0;  // the queue's job events up to this one were looked at
    bool m_bJobStopping = false;   // a job seen printing is being cancelled
    stPrinterManager m_stCurrentPrinter;
    QByteArray m_baLastReply;
    bool m_bCupsOutage = false;  // the missing listing is logged once per outage
    UtilOutage m_outageStatusFile;
};
}  // namespace service
