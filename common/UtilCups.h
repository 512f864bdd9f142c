// What the suite asks of the CUPS scheduler, over IPP. Queue names are passed as
// IPP values, never through a shell.
#pragma once

#include <QElapsedTimer>
#include <QHash>
#include <QList>
#include <QMutex>
#include <QString>
#include <QStringList>

// IPP printer-state and job-state values the suite looks at.
constexpr int c_iIppPrinterProcessing = 4;
constexpr int c_iIppJobProcessing = 5;

struct stCupsJob
{
    int iJobId = 0;
    int iJobState = 0;
    QStringList listReasons;
};

namespace UtilCups
{
// The printer-state of every queue; false when the scheduler did not answer.
bool GetPrinterStates(QHash<QString, int> &hashState);
// Every job of one queue, completed ones too; false when the scheduler did not answer.
bool GetJobs(const QString &strQueue, QList<stCupsJob> &listJob);
// Cancels every job of one queue; false when the scheduler refused or did not answer.
bool CancelAllJobs(const QString &strQueue);
}  // namespace UtilCups

// "Is this queue printing", shared by all pollers: one request answers every queue,
// and an answer younger than the given age is reused, so the cost does not grow
// with the number of printers.
class UtilCupsPrinterStates
{
public:
    explicit UtilCupsPrinterStates(int iMaxAgeMs) : m_iMaxAgeMs(iMaxAgeMs) {}
    bool IsPrinting(const QString &strQueue);

private:
    QMutex m_mutex;
    QElapsedTimer m_timerAge;
    QHash<QString, int> m_hashState;
    int m_iMaxAgeMs;
};
