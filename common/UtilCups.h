// What the suite asks of the CUPS scheduler, over IPP. Queue names are passed as
// IPP values, never through a shell.
#pragma once

#include <QHash>
#include <QList>
#include <QString>
#include <QStringList>

#include <chrono>
#include <condition_variable>
#include <mutex>

#include "UtilOutage.h"

// IPP printer-state and job-state values the suite looks at.
constexpr int c_iIppPrinterProcessing = 4;
constexpr int c_iIppJobProcessing = 5;
constexpr int c_iIppJobCanceled = 7;

struct stCupsJob
{
    int iJobId = 0;
    int iJobState = 0;
    QStringList listReasons;
};

// How the scheduler answered a request.
enum enCupsAnswer
{
    CUPS_ANSWER_OK,
    CUPS_ANSWER_NOT_FOUND,  // it does not know what the request names
    CUPS_ANSWER_REFUSED,    // any other refusal
    CUPS_ANSWER_NONE,       // no answer: the scheduler is not running or not reachable
};

// A queue as the scheduler describes it.
struct stCupsQueue
{
    QString strName;
    QString strDeviceUri;
};

namespace UtilCups
{
// The printer-state of every queue; false when the scheduler did not answer.
bool GetPrinterStates(QHash<QString, int> &hashState);
// Every job of one queue, completed ones too; false when the scheduler did not answer.
bool GetJobs(const QString &strQueue, QList<stCupsJob> &listJob);
// Cancels every job of one queue; false when the scheduler refused or did not answer.
bool CancelAllJobs(const QString &strQueue);
// Every queue in the scheduler's order; false when the scheduler did not answer.
bool GetQueues(QList<stCupsQueue> &listQueue);
// A subscription to the scheduler's events, which its D-Bus notifier puts on the system bus.
enCupsAnswer CreateSubscription(const QStringList &listEvents, int iLeaseS, int &iId);
enCupsAnswer RenewSubscription(int iId, int iLeaseS);
bool CancelSubscription(int iId);
// The scheduler's word on this thread's last failed request.
QString LastError();
}  // namespace UtilCups

// "Is this queue printing", shared by all pollers: one request answers every queue,
// and an answer younger than the given age is reused, so the cost does not grow
// with the number of printers.
class UtilCupsPrinterStates
{
public:
    explicit UtilCupsPrinterStates(int iMaxAgeMs) : m_maxAge(iMaxAgeMs) {}
    bool IsPrinting(const QString &strQueue);
    // Blocks until the queue prints, the time is up or WakeAll is called; true when it
    // prints. While threads wait here, one of them keeps the answer fresh and the
    // others sleep until a queue starts printing, so idle printers cost few wake-ups.
    bool WaitUntilPrinting(const QString &strQueue, int iTimeoutMs);
    // Ends every wait at once: a waiter looks at its element again.
    void WakeAll();
    // Ends every wait, this one and all to come: a wake-up that comes between a
    // waiter's look at its quit flag and its wait is not lost.
    void Stop();

private:
    using Clock = std::chrono::steady_clock;
    bool IsStale() const;
    void RefreshIfStale(std::unique_lock<std::mutex> &lock);
    bool PrintingInAnswer(const QString &strQueue) const;

    std::mutex m_mutex;
    std::condition_variable m_cvPrinting;  // a queue began printing, or a new refresher is needed
    std::condition_variable m_cvFetched;   // a request ended
    QHash<QString, int> m_hashState;
    Clock::time_point m_tpFetched;
    bool m_bAnswered = false;
    bool m_bFetching = false;
    bool m_bStopped = false;
    bool m_bRefresherWaits = false;
    UtilOutage m_outage;
    unsigned m_uWakeGeneration = 0;
    const std::chrono::milliseconds m_maxAge;
};
