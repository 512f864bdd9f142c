// The per-printer worker of the service: paces itself, asks its printer for status,
// publishes the raw reply as cfg/<queue>.dat and watches the queue's jobs between polls.
#pragma once

#include <QByteArray>

#include "PrinterTransport.h"
#include "SharedPrinterList.h"
#include "UtilOutage.h"
#include "UtilThreadBase.h"

class UtilCupsPrinterStates;
struct stCupsJob;

namespace service
{
// The supervision state of one CUPS job (enJobStatus).
int JobStatusOf(const stCupsJob &job);

constexpr int c_iUsbPollMs = 1500;
constexpr int c_iOfflinePollMs = 10000;
constexpr int c_iActivePollMs = 1000;
constexpr int c_iIdleCheckMs = 100;
constexpr int c_iIdleWaitMs = 500;       // longest sleep of a poller whose printer is idle
constexpr int c_iIdlePollerWaitMs = 1000;
constexpr int c_iJobChecksPerCycle = 10;

class TrdGetPrinterStatus : public UtilThreadBase
{
    Q_OBJECT

public:
    explicit TrdGetPrinterStatus(QObject *parent = nullptr);
    void Init(int iIndex, SharedPrinterList *pListPrinter, UtilCupsPrinterStates *pPrinterStates);

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
    bool RunCycle();
    void PollPrinter();
    void ApplyOfflineRule();
    void WriteBack();
    void SuperviseIdlePrinter();
    bool WaitWhileIdle(int iInterval);
    bool WasPrinting(const QString &strJobID) const;
    void CancelOnPrinter();
    enStatusFamily Family() const;

    int m_iIndex = -1;
    SharedPrinterList *m_pListPrinter = nullptr;
    UtilCupsPrinterStates *m_pPrinterStates = nullptr;
    stPrinterManager m_stCurrentPrinter;
    QByteArray m_baLastReply;
    bool m_bCupsOutage = false;  // the missing listing is logged once per outage
    UtilOutage m_outageStatusFile;
};
}  // namespace service
