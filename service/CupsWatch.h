// What the service knows of the scheduler's queues and jobs, shared by the device
// manager and every poller. While CUPS pushes events, the answers come from them and
// the threads sleep until one concerns them; without events, printer states are asked
// for as before, at most once per c_iIdleCheckMs for all pollers together.
#pragma once

#include <QHash>
#include <QString>

#include <chrono>
#include <condition_variable>
#include <mutex>

#include "UtilCups.h"

namespace service
{
// Without events: how old a printer-state answer shared by the pollers may be.
constexpr int c_iIdleCheckMs = 100;

class CupsWatch
{
public:
    using Clock = std::chrono::steady_clock;

    explicit CupsWatch(int iPollMaxAgeMs);

    // The event source took over, with every queue's printer-state at subscription.
    void EventsStarted(const QHash<QString, int> &hashState);
    // No event source: back to asking.
    void EventsStopped();
    bool EventsLive() const;

    // Fed by the event source.
    void PrinterStateChanged(const QString &strQueue, int iState);
    void JobChanged(const QString &strQueue);
    void QueuesChanged();

    bool IsPrinting(const QString &strQueue);
    // Blocks until the queue prints, the time is up or Wake is called; true when it prints.
    bool WaitUntilPrinting(const QString &strQueue, int iTimeoutMs);

    // Job events per queue: a poller remembers the last number it acted on.
    quint64 JobGeneration(const QString &strQueue) const;
    // Blocks until a job event newer than uSeen, the deadline or Wake; true on a job event.
    bool WaitForJobEvent(const QString &strQueue, quint64 uSeen, Clock::time_point tpDeadline);

    // Queue events: the manager rereads the queues when this number moved.
    quint64 QueueGeneration() const;
    // Blocks until the queues changed after uSeen, the time is up or Wake; true when they changed.
    bool WaitQueuesChanged(quint64 uSeen, int iTimeoutMs);

    // Blocks until Wake is called or the time is up.
    void WaitForWake(int iTimeoutMs);
    // Ends every wait at once: a waiter has to look at its element again.
    void Wake();
    // Ends every wait, this one and all to come: a stop that comes between a thread's
    // look at its quit flag and its wait is not slept through.
    void Stop();
    bool Stopped() const;

private:
    quint64 JobGenerationLocked(const QString &strQueue) const;

    mutable std::mutex m_mutex;
    std::condition_variable m_cv;
    bool m_bEvents = false;
    QHash<QString, int> m_hashState;
    QHash<QString, quint64> m_hashJobGeneration;
    quint64 m_uAllJobs = 0;  // added to every queue's number: a resync concerns them all
    quint64 m_uQueueGeneration = 0;
    quint64 m_uWakeGeneration = 0;
    bool m_bStopped = false;
    UtilCupsPrinterStates m_polled;
};
}  // namespace service
