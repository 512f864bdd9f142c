#include "CupsWatch.h"

namespace service
{
CupsWatch::CupsWatch(int iPollMaxAgeMs) : m_polled(iPollMaxAgeMs) {}

void CupsWatch::EventsStarted(const QHash<QString, int> &hashState)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_bEvents = true;
    m_hashState = hashState;
    // Whatever happened while nobody listened: every queue and job is looked at again.
    ++m_uAllJobs;
    ++m_uQueueGeneration;
    ++m_uWakeGeneration;
    m_cv.notify_all();
}

void CupsWatch::EventsStopped()
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (!m_bEvents)
            return;
        m_bEvents = false;
        ++m_uQueueGeneration;
        ++m_uWakeGeneration;
    }
    m_cv.notify_all();
}

bool CupsWatch::EventsLive() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_bEvents;
}

// Only a queue that begins printing wakes anyone: while it prints, its state messages
// come and go without concerning the waiters.
void CupsWatch::PrinterStateChanged(const QString &strQueue, int iState)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    const int iBefore = m_hashState.value(strQueue);
    m_hashState.insert(strQueue, iState);
    if (iState == c_iIppPrinterProcessing && iBefore != c_iIppPrinterProcessing)
        m_cv.notify_all();
}

void CupsWatch::JobChanged(const QString &strQueue)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    ++m_hashJobGeneration[strQueue];
    m_cv.notify_all();
}

void CupsWatch::QueuesChanged()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    ++m_uQueueGeneration;
    m_cv.notify_all();
}

bool CupsWatch::IsPrinting(const QString &strQueue)
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_bEvents)
            return m_hashState.value(strQueue) == c_iIppPrinterProcessing;
    }
    return m_polled.IsPrinting(strQueue);
}

bool CupsWatch::WaitUntilPrinting(const QString &strQueue, int iTimeoutMs)
{
    std::unique_lock<std::mutex> lock(m_mutex);
    if (!m_bEvents) {
        lock.unlock();
        return m_polled.WaitUntilPrinting(strQueue, iTimeoutMs);
    }
    const quint64 uWake = m_uWakeGeneration;
    m_cv.wait_for(lock, std::chrono::milliseconds(iTimeoutMs), [&] {
        return m_bStopped || !m_bEvents || uWake != m_uWakeGeneration ||
               m_hashState.value(strQueue) == c_iIppPrinterProcessing;
    });
    return m_bEvents && m_hashState.value(strQueue) == c_iIppPrinterProcessing;
}

quint64 CupsWatch::JobGenerationLocked(const QString &strQueue) const
{
    return m_uAllJobs + m_hashJobGeneration.value(strQueue);
}

quint64 CupsWatch::JobGeneration(const QString &strQueue) const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return JobGenerationLocked(strQueue);
}

bool CupsWatch::WaitForJobEvent(const QString &strQueue, quint64 uSeen, Clock::time_point tpDeadline)
{
    std::unique_lock<std::mutex> lock(m_mutex);
    const quint64 uWake = m_uWakeGeneration;
    m_cv.wait_until(lock, tpDeadline, [&] {
        return m_bStopped || !m_bEvents || uWake != m_uWakeGeneration || JobGenerationLocked(strQueue) != uSeen;
    });
    return JobGenerationLocked(strQueue) != uSeen;
}

quint64 CupsWatch::QueueGeneration() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_uQueueGeneration;
}

bool CupsWatch::WaitQueuesChanged(quint64 uSeen, int iTimeoutMs)
{
    std::unique_lock<std::mutex> lock(m_mutex);
    const quint64 uWake = m_uWakeGeneration;
    m_cv.wait_for(lock, std::chrono::milliseconds(iTimeoutMs),
                  [&] { return m_bStopped || uWake != m_uWakeGeneration || m_uQueueGeneration != uSeen; });
    return m_uQueueGeneration != uSeen;
}

void CupsWatch::WaitForWake(int iTimeoutMs)
{
    std::unique_lock<std::mutex> lock(m_mutex);
    const quint64 uWake = m_uWakeGeneration;
    m_cv.wait_for(lock, std::chrono::milliseconds(iTimeoutMs),
                  [&] { return m_bStopped || uWake != m_uWakeGeneration; });
}

void CupsWatch::Wake()
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        ++m_uWakeGeneration;
    }
    m_cv.notify_all();
    m_polled.WakeAll();
}

void CupsWatch::Stop()
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_bStopped = true;
    }
    m_cv.notify_all();
    m_polled.Stop();
}

bool CupsWatch::Stopped() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_bStopped;
}
}  // namespace service
