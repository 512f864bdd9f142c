#include "TrdGetPrinterStatus.h"

#include <QDeadlineTimer>
#include <QFile>
#include <QMutexLocker>

#include <sys/stat.h>

#include <algorithm>
#include <cstring>

#include "UtilCups.h"
#include "UtilLog.h"
#include "UtilPaths.h"
#include "UtilPrinterStatus.h"
#include "UtilPrinterText.h"

namespace
{
stFileStamp StampOf(const QString &strPath)
{
    stFileStamp stamp;
    struct stat st = {};
    if (strPath.isEmpty() || ::stat(QFile::encodeName(strPath).constData(), &st) != 0 || !S_ISREG(st.st_mode))
        return stamp;
    stamp.bValid = true;
    stamp.ino = st.st_ino;
    stamp.llMtimeNs = qint64(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
    stamp.llSize = st.st_size;
    return stamp;
}
}  // namespace

TrdGetPrinterStatus::TrdGetPrinterStatus(QObject *parent) : UtilThreadBase(parent) {}

void TrdGetPrinterStatus::Init(int iIndex, SharedPrinterList *pListPrinter)
{
    m_iIndex = iIndex;
    m_pListPrinter = pListPrinter;
}

void TrdGetPrinterStatus::SlotTaskStart()
{
    if (!EnterTaskOnce())
        return;
    do {
        RunPass();
    } while (!WaitForPass(c_iStatusPassMs));
}

void TrdGetPrinterStatus::SlotThreadQuit()
{
    RequestQuit();
    SlotWake();
}

void TrdGetPrinterStatus::SlotWake()
{
    QMutexLocker lock(&m_mutexWake);
    m_bWake = true;
    m_condWake.wakeAll();
}

bool TrdGetPrinterStatus::WaitForPass(int iMilliseconds)
{
    QDeadlineTimer deadline(iMilliseconds);
    QMutexLocker lock(&m_mutexWake);
    while (!m_bWake && !IsQuitRequested() && !deadline.hasExpired()) {
        // Sliced like every worker's sleep, so a quit flag set without a wake-up is seen too.
        const qint64 llSlice = std::min<qint64>(deadline.remainingTime(), c_iSleepSliceMs);
        m_condWake.wait(&m_mutexWake, QDeadlineTimer(llSlice));
    }
    m_bWake = false;
    return IsQuitRequested();
}

void TrdGetPrinterStatus::RunPass()
{
    if (!m_pListPrinter || !m_pListPrinter->CopyOut(m_iIndex, m_stCurrentPrinter))
        return;
    const bool bForce = m_stCurrentPrinter.stState.enCurrentStatus == STATUS_OFFLINE;
    if (GetPrinterStatusFile(m_stCurrentPrinter.stInfo, bForce) == STATUS_FILE_FAILED)
        CountFailure();
    WriteBack();
}

void TrdGetPrinterStatus::CountFailure()
{
    stPrinterState &st = m_stCurrentPrinter.stState;
    if (++st.iFailCount <= c_iReadFailLimit)
        return;
    st.enCurrentStatus = STATUS_OFFLINE;
    st.listError.clear();
    st.listWarning.clear();
    st.iNumberOfError = 0;
    st.iNumberOfWarning = 0;
    st.iFailCount = 0;
}

void TrdGetPrinterStatus::WriteBack()
{
    bool bChanged = false;
    bool bCancel = false;
    const bool bSame = m_pListPrinter->With([&](QList<stPrinterManager> &list) {
        if (m_iIndex >= list.size() || !IsSamePrinter(list.at(m_iIndex), m_stCurrentPrinter))
            return false;
        const stPrinterState &stOld = list.at(m_iIndex).stState;
        const stPrinterState &stNow = m_stCurrentPrinter.stState;
        bChanged = CheckStatusChange(stOld, stNow);
        bCancel = bChanged && stOld.enCurrentStatus != STATUS_CANCELING_JOB &&
                  stNow.enCurrentStatus == STATUS_CANCELING_JOB;
        list[m_iIndex] = m_stCurrentPrinter;
        return true;
    });
    if (!bSame)
        return;
    if (bCancel) {
        // The printer dropped its job on its own; the queue's jobs go with it.
        const QString &strName = m_stCurrentPrinter.stInfo.strPrinterName;
        LOG_WRITE("cancel by printer %s", strName.toUtf8().constData());
        UtilCups::CancelAllJobs(strName);
    }
    if (bChanged)
        emit SgnUpdatePrinterStatus(m_iIndex);
}

int TrdGetPrinterStatus::GetPrinterStatusFile(const stPrinterInfo &info, bool bForce)
{
    const QString strPath = UtilPaths::StatusFilePath(info.strPrinterName);
    const stFileStamp stamp = StampOf(strPath);
    if (!stamp.bValid) {
        m_stStatusFile = stFileStamp();
        return STATUS_FILE_FAILED;
    }
    if (!bForce && stamp == m_stStatusFile)
        return STATUS_FILE_UNCHANGED;
    m_stStatusFile = stamp;

    QFile file(strPath);
    if (!file.open(QIODevice::ReadOnly))
        return STATUS_FILE_FAILED;
    std::memset(m_bufStatus, 0, sizeof(m_bufStatus));
    const qint64 llRead = file.read(reinterpret_cast<char *>(m_bufStatus), sizeof(m_bufStatus));
    if (llRead < 0)
        return STATUS_FILE_FAILED;
    const unsigned long ulLength = static_cast<unsigned long>(llRead);
    return IsKQFamily(info) ? CheckPrinterStatus_KQ(m_bufStatus, ulLength) : CheckPrinterStatus(m_bufStatus, ulLength);
}

int TrdGetPrinterStatus::CheckPrinterStatus(const unsigned char *buf, unsigned long len)
{
    UtilPrinterStatus status(enKQVariant::Tool);
    if (!status.parseRecvBuf(buf, len))
        return STATUS_FILE_FAILED;
    status.ToPrinterState(m_stCurrentPrinter.stState);
    return STATUS_FILE_DECODED;
}

int TrdGetPrinterStatus::CheckPrinterStatus_KQ(const unsigned char *buf, unsigned long len)
{
    UtilPrinterStatus status(enKQVariant::Tool);
    if (!status.parseRecvBuf_KQ(buf, len))
        return STATUS_FILE_FAILED;
    status.ToPrinterState_KQ(m_stCurrentPrinter.stState);
    return STATUS_FILE_DECODED;
}
