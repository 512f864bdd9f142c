// The tool's status reader for one index of the printer list: follows that
// printer's status file, decodes it, keeps the list entry current and tells the
// window when something the user sees has changed.
#pragma once

#include <QMutex>
#include <QWaitCondition>

#include "SharedPrinterList.h"
#include "UtilCfgFiles.h"
#include "UtilThreadBase.h"

namespace tool
{
constexpr int c_iStatusPassMs = 1000;
// More consecutive failed reads than this turn the printer off-line.
constexpr int c_iReadFailLimit = 10;

enum enStatusFileResult
{
    STATUS_FILE_FAILED = -1,
    STATUS_FILE_DECODED = 0,
    STATUS_FILE_UNCHANGED = 1,
};

class TrdGetPrinterStatus : public UtilThreadBase
{
    Q_OBJECT

public:
    explicit TrdGetPrinterStatus(QObject *parent = nullptr);
    void Init(int iIndex, SharedPrinterList *pListPrinter);

    // One pass over the status file; updates the list entry and may emit. Only timed
    // passes count a missing file towards off-line: a wake-up can come any moment.
    void RunPass(bool bTimed = true);
    int GetPrinterStatusFile(const stPrinterInfo &info, bool bForce);
    int CheckPrinterStatus(const unsigned char *buf, unsigned long len);
    int CheckPrinterStatus_KQ(const unsigned char *buf, unsigned long len);
    // Sleeps until the pass is due or a wake-up arrives; true when asked to quit.
    bool WaitForPass(int iMilliseconds);
    // Whether the last wait ended by a wake-up rather than by its time.
    bool WasWoken() const { return m_bWoken; }

    const stPrinterManager &CurrentPrinter() const { return m_stCurrentPrinter; }

signals:
    void SgnUpdatePrinterStatus(int iIndex);

public slots:
    void SlotTaskStart();
    // Both are called from other threads (direct connections); they only touch
    // the atomic flag and the wake-up condition.
    void SlotThreadQuit();
    void SlotWake();

private:
    void CountFailure();
    void WriteBack();

    int m_iIndex = -1;
    SharedPrinterList *m_pListPrinter = nullptr;
    stPrinterManager m_stCurrentPrinter;
    unsigned char m_bufStatus[UtilCfgFiles::c_iStatusFileMax] = {};
    UtilCfgFiles::stFileStamp m_stStatusFile;

    QMutex m_mutexWake;
    QWaitCondition m_condWake;
    bool m_bWake = false;
    bool m_bWoken = false;
};
}  // namespace tool
