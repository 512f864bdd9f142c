// The tool's status reader for one index of the printer list: follows that
// printer's status file, decodes it, keeps the list entry current and tells the
// window when something the user sees has changed.
#pragma once

#include <QMutex>
#include <QWaitCondition>

#include <sys/types.h>

#include "SharedPrinterList.h"
#include "UtilThreadBase.h"

constexpr int c_iStatusPassMs = 1000;
constexpr int c_iStatusBufferSize = 2048;
// More consecutive failed reads than this turn the printer off-line.
constexpr int c_iReadFailLimit = 10;

enum enStatusFileResult
{
    STATUS_FILE_FAILED = -1,
    STATUS_FILE_DECODED = 0,
    STATUS_FILE_UNCHANGED = 1,
};

// What identifies one version of a status file. The service replaces the file by
// rename, so a new inode marks a new version even within one tick of the file clock.
struct stFileStamp
{
    bool bValid = false;
    ino_t ino = 0;
    qint64 llMtimeNs = 0;
    qint64 llSize = 0;

    bool operator==(const stFileStamp &o) const
    {
        return bValid == o.bValid && ino == o.ino && llMtimeNs == o.llMtimeNs && llSize == o.llSize;
    }
};

class TrdGetPrinterStatus : public UtilThreadBase
{
    Q_OBJECT

public:
    explicit TrdGetPrinterStatus(QObject *parent = nullptr);
    void Init(int iIndex, SharedPrinterList *pListPrinter);

    // One pass over the status file; updates the list entry and may emit.
    void RunPass();
    int GetPrinterStatusFile(const stPrinterInfo &info, bool bForce);
    int CheckPrinterStatus(const unsigned char *buf, unsigned long len);
    int CheckPrinterStatus_KQ(const unsigned char *buf, unsigned long len);
    // Sleeps until the pass is due or a wake-up arrives; true when asked to quit.
    bool WaitForPass(int iMilliseconds);

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
    unsigned char m_bufStatus[c_iStatusBufferSize] = {};
    stFileStamp m_stStatusFile;

    QMutex m_mutexWake;
    QWaitCondition m_condWake;
    bool m_bWake = false;
};
