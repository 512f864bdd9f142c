#include "TrdGetPrinterStatus.h"

#include <QDeadlineTimer>
#include <QMutexLocker>

#include <algorithm>
#include <cstring>

#include "UtilCups.h"
#include "UtilLog.h"
#include "UtilPrinterStatus.h"
#include "UtilPrinterText.h"

namespace tool
{
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
    RunPass();
    while (!WaitForPass(c_iStatusPassMs))
        RunPass(!WasWoken());
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
    m_bWoken = m_bWake;
    m_bWake = false;
    return IsQuitRequested();
}

void TrdGetPrinterStatus::RunPass(bool bTimed)
{
    if (!m_pListPrinter || !m_pListPrinter->CopyOut(m_iIndex, m_stCurrentPrinter))
        return;
    const bool bForce = m_stCurrentPrinter.stState.enCurrentStatus == STATUS_OFFLINE;
    if (GetPrinterStatusFile(m_stCurrentPrinter.stInfo, bForce) == STATUS_FILE_FAILED && bTimed)
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
    const QString strPath = UtilCfgFiles::StatusFilePath(info.strPrinterName);
    const UtilCfgFiles::stFileStamp stamp = UtilCfgFiles::StampOf(strPath);
    if (!stamp.bValid) {
        m_stStatusFile = UtilCfgFiles::stFileStamp();
        return STATUS_FILE_FAILED;
    }
    if (!bForce && stamp == m_stStatusFile)
        return STATUS_FILE_UNCHANGED;
    m_stStatusFile = stamp;

    std::memset(m_bufStatus, 0, sizeof(m_bufStatus));
    const qint64 llRead = UtilCfgFiles::ReadStatusFile(strPath, m_bufStatus, sizeof(m_bufStatus));
    if (llRead < 0)
        return STATUS_FILE_FAILED;
    const unsigned long ulLength = static_cast<unsigned long>(llRead);
    return IsKQFamily(info) ? CheckPrinterStatus_KQ(m_bufStatus, ulLength) : CheckPrinterStatus(m_bufStatus, ulLength);
}

int TrdGetPrinterStatus::CheckPrinterStatus(const unsigned char *buf, unsigned long len)
{
    return DecodeStatusBuffer(buf, len, false, enKQVariant::Tool, m_stCurrentPrinter.stState) ? STATUS_FILE_DECODED
                                                                                              : STATUS_FILE_FAILED;
}

int TrdGetPrinterStatus::CheckPrinterStatus_KQ(const unsigned char *buf, unsigned long len)
{
    return DecodeStatusBuffer(buf, len, true, enKQVariant::Tool, m_stCurrentPrinter.stState) ? STATUS_FILE_DECODED
                                                                                             : STATUS_FILE_FAILED;
}
}  // namespace tool
