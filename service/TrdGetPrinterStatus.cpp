#include "TrdGetPrinterStatus.h"

#include <QFile>

#include <cerrno>
#include <cstring>

#include "PrinterMetrics.h"
#include "UtilCfgFiles.h"
#include "UtilCups.h"
#include "UtilLog.h"
#include "UtilPaths.h"
#include "UtilPrinterStatus.h"

namespace service
{
namespace
{
const char *Utf8(const QString &str, QByteArray &baKeep)
{
    baKeep = str.toUtf8();
    return baKeep.constData();
}

// A printing job that is being cancelled passes through this before the scheduler
// says by whom; a pass that lands here (with events it comes at once) keeps the job
// so that the next one sees the verdict.
bool IsStopping(const stCupsJob &job)
{
    return job.iJobState == c_iIppJobCanceled && job.listReasons.contains("processing-to-stop-point");
}

stJobState StillPrinting(stJobState job)
{
    job.iJobStatus = JOB_PRINTING;
    return job;
}

// A KQ reply frame carries its checksum (frame bytes 4 to 7) and the request's serial
// number, the second it was sent (bytes 8 to 11): both differ at every poll while the
// status stays the same. The status file is not written again for them alone: each
// write is synced to disk and makes every reader decode the file anew.
constexpr int c_iKQExchangeFirst = int(c_ulStatusPrefix) + 4;
constexpr int c_iKQExchangeLength = 8;

QByteArray StatusContent(const QByteArray &baStatus, enStatusFamily enFamily)
{
    if (enFamily != FAMILY_KQ || baStatus.size() < c_iKQExchangeFirst + c_iKQExchangeLength)
        return baStatus;
    QByteArray baContent = baStatus;
    baContent.replace(c_iKQExchangeFirst, c_iKQExchangeLength, QByteArray(c_iKQExchangeLength, '\0'));
    return baContent;
}
}  // namespace

TrdGetPrinterStatus::TrdGetPrinterStatus(QObject *parent) : UtilThreadBase(parent) {}

void TrdGetPrinterStatus::Init(int iIndex, SharedPrinterList *pListPrinter, CupsWatch *pWatch,
                               PrinterMetrics *pMetrics)
{
    m_iIndex = iIndex;
    m_pListPrinter = pListPrinter;
    m_pWatch = pWatch;
    m_pMetrics = pMetrics;
}

bool TrdGetPrinterStatus::IsPrinting(const QString &strQueue)
{
    return m_pWatch && m_pWatch->IsPrinting(strQueue);
}

// A ready network printer whose queue just went idle is not polled, but a job it
// was printing may have been cancelled just now: one pass catches that.
void TrdGetPrinterStatus::SuperviseIdlePrinter()
{
    if (!CopyOutCurrent() || m_stCurrentPrinter.listJob.isEmpty())
        return;
    CheckJobStatus();
    WriteBack();
}

// With jobs to supervise, an idle printer is looked at every interval, or at its next
// job event. Otherwise the poller sleeps until CUPS shows its queue printing; without
// events it wakes at least every c_iIdleWaitMs for a new list. True once a stop was
// requested.
bool TrdGetPrinterStatus::WaitWhileIdle(int iInterval)
{
    if (Stopping())
        return true;
    stPrinterManager element;
    if (!m_pWatch || !m_pListPrinter->CopyOut(m_iIndex, element))
        return WaitForSleep(iInterval) || Stopping();
    const QString &strQueue = element.stInfo.strPrinterName;
    const bool bEvents = m_pWatch->EventsLive();
    if (!element.listJob.isEmpty() && !bEvents)
        return WaitForSleep(iInterval) || Stopping();
    if (!element.listJob.isEmpty())
        m_pWatch->WaitForJobEvent(strQueue, m_uJobEventsSeen,
                                  CupsWatch::Clock::now() + std::chrono::milliseconds(iInterval));
    else
        m_pWatch->WaitUntilPrinting(strQueue, bEvents ? c_iEventIdleWaitMs : c_iIdleWaitMs);
    return Stopping();
}

// Between two polls: without events the job list is asked for ten times; with them,
// once for each job event of the queue, and the thread sleeps in between.
void TrdGetPrinterStatus::SuperviseJobsUntil(CupsWatch::Clock::time_point tpDeadline, int iInterval)
{
    const QString strQueue = m_stCurrentPrinter.stInfo.strPrinterName;
    for (int i = 0; i < c_iJobChecksPerCycle && !Stopping(); ++i) {
        if (m_pWatch && m_pWatch->EventsLive())
            return SuperviseByEvents(strQueue, tpDeadline, iInterval / c_iJobChecksPerCycle);
        CheckJobStatus();
        WaitForSleep(iInterval / c_iJobChecksPerCycle);
    }
}

// The scheduler names who cancelled a job without an event of its own: while a job is
// being stopped, the list is asked for again every slice.
void TrdGetPrinterStatus::SuperviseByEvents(const QString &strQueue, CupsWatch::Clock::time_point tpDeadline,
                                            int iSliceMs)
{
    for (;;) {
        const quint64 uEvents = m_pWatch->JobGeneration(strQueue);
        if (uEvents != m_uJobEventsSeen || m_bJobStopping) {
            m_uJobEventsSeen = uEvents;
            CheckJobStatus();
        }
        if (Stopping())
            return;
        const CupsWatch::Clock::time_point tpSlice = CupsWatch::Clock::now() + std::chrono::milliseconds(iSliceMs);
        const CupsWatch::Clock::time_point tpNext = m_bJobStopping ? std::min(tpSlice, tpDeadline) : tpDeadline;
        const bool bEvent = m_pWatch->WaitForJobEvent(strQueue, m_uJobEventsSeen, tpNext);
        if (!bEvent && (tpNext == tpDeadline || !m_pWatch->EventsLive()))
            return;
    }
}

// The service's stop reaches a poller through the watch before its own flag is set:
// its waits end at once from then on, and it must not take that for news.
bool TrdGetPrinterStatus::Stopping() const
{
    return IsQuitRequested() || (m_pWatch && m_pWatch->Stopped());
}

void TrdGetPrinterStatus::SlotThreadQuit()
{
    RequestQuit();
}

void TrdGetPrinterStatus::SlotTaskStart()
{
    if (!EnterTaskOnce())
        return;
    while (RunCycle()) {
    }
}

// One cycle of the loop; false once a stop was requested.
bool TrdGetPrinterStatus::RunCycle()
{
    int iInterval = c_iActivePollMs;
    if (m_iIndex < 0 || m_iIndex >= m_pListPrinter->Size()) {
        // The manager wakes every poller when the list grows again.
        if (!m_pWatch)
            return !(WaitForSleep(c_iIdleWaitMs) || Stopping());
        m_pWatch->WaitForWake(c_iEventIdleWaitMs);
        return !Stopping();
    }
    if (!CheckNeedStatus(iInterval)) {
        SuperviseIdlePrinter();
        return !WaitWhileIdle(iInterval);
    }
    if (!CopyOutCurrent())
        return !Stopping();
    const CupsWatch::Clock::time_point tpNext = CupsWatch::Clock::now() + std::chrono::milliseconds(iInterval);
    if (m_stCurrentPrinter.bNeedStatus)
        PollPrinter();
    SuperviseJobsUntil(tpNext, iInterval);
    WriteBack();
    return !Stopping();
}

bool TrdGetPrinterStatus::CopyOutCurrent()
{
    return m_pListPrinter->CopyOut(m_iIndex, m_stCurrentPrinter);
}

bool TrdGetPrinterStatus::CheckNeedStatus(int &iInterval)
{
    stPrinterManager element;
    if (!m_pListPrinter->CopyOut(m_iIndex, element))
        return false;
    const stPrinterInfo &info = element.stInfo;
    const enPrinterStatus enStatus = element.stState.enCurrentStatus;
    if (info.iConnectType == CONNECT_USB) {
        iInterval = c_iUsbPollMs;
        return true;
    }
    if (enStatus == STATUS_OFFLINE) {
        iInterval = c_iOfflinePollMs;
        return true;
    }
    if (enStatus != STATUS_READY) {
        iInterval = c_iActivePollMs;
        return true;
    }
    // A ready network printer is only asked while CUPS is printing to it.
    if (IsPrinting(info.strPrinterName)) {
        iInterval = c_iActivePollMs;
        return true;
    }
    iInterval = c_iIdleCheckMs;
    return false;
}

enStatusFamily TrdGetPrinterStatus::Family() const
{
    return isKQPrinterModel(m_stCurrentPrinter.stInfo.enType) ? FAMILY_KQ : FAMILY_STANDARD;
}

void TrdGetPrinterStatus::PollPrinter()
{
    const stPrinterInfo &info = m_stCurrentPrinter.stInfo;
    QByteArray baName;
    LOG_WRITE("try to connect %s", Utf8(info.strPrinterName, baName));
    const stPrinterTransport &transport = TransportFor(info.iConnectType);
    QByteArray baStatus;
    int iCode = transport.pfnQueryStatus(info.strPort, Family(), baStatus);
    if (iCode == QUERY_OK)
        iCode = CheckPrinterStatus(baStatus, Family());
    if (iCode == QUERY_OK)
        return;
    const int iErrno = errno;
    LOG_WRITE("connect %s fail, ret = %d", baName.constData(), iCode);
    LOG_WRITE("%s query of %s failed: %s (last system error: %s)", transport.szName, baName.constData(),
              transport.pfnDescribe(iCode), std::strerror(iErrno));
    if (transport.pfnIsOfflineFailure(iCode, m_stCurrentPrinter.stState.iFailCount))
        ApplyOfflineRule();
}

void TrdGetPrinterStatus::ApplyOfflineRule()
{
    const QString strPath = UtilCfgFiles::StatusFilePath(m_stCurrentPrinter.stInfo.strPrinterName);
    if (!strPath.isEmpty())
        QFile::remove(strPath);
    stPrinterState &st = m_stCurrentPrinter.stState;
    st.enCurrentStatus = STATUS_OFFLINE;
    st.iNumberOfError = 0;
    st.iNumberOfWarning = 0;
    st.listError.clear();
    st.listWarning.clear();
    st.iFailCount = 0;
    if (m_pMetrics)
        m_pMetrics->Offline(m_stCurrentPrinter.stInfo);
}

bool TrdGetPrinterStatus::CheckRecvBufChange(const QByteArray &baReply)
{
    if (baReply == m_baLastReply)
        return false;
    m_baLastReply = baReply;
    return true;
}

int TrdGetPrinterStatus::CheckPrinterStatus(const QByteArray &baStatus, enStatusFamily enFamily)
{
    const QString strPath = UtilCfgFiles::StatusFilePath(m_stCurrentPrinter.stInfo.strPrinterName);
    const bool bChanged = CheckRecvBufChange(StatusContent(baStatus, enFamily));
    const bool bExists = QFile::exists(strPath);
    if (enFamily == FAMILY_KQ && m_stCurrentPrinter.stInfo.iConnectType == CONNECT_USB)
        LOG_WRITE("file exists status = %d, fileChanged=%d", bExists, bChanged);
    if (!strPath.isEmpty() && (bChanged || !bExists)) {
        const bool bWritten = MakePathExist(UtilPaths::CfgDir()) && UtilCfgFiles::WriteStatusFile(strPath, baStatus);
        UtilCfgFiles::ReportWrite(m_outageStatusFile, strPath, bWritten);
    }

    const auto *pBuffer = reinterpret_cast<const unsigned char *>(baStatus.constData());
    if (!DecodeStatusBuffer(pBuffer, baStatus.size(), enFamily == FAMILY_KQ, enKQVariant::Service,
                            m_stCurrentPrinter.stState))
        return QUERY_BAD_ADDRESS;
    if (m_pMetrics)
        m_pMetrics->Answered(m_stCurrentPrinter.stInfo, baStatus, enFamily == FAMILY_KQ);
    return QUERY_OK;
}

int TrdGetPrinterStatus::CheckJobStatus()
{
    QList<stJobState> &listJob = m_stCurrentPrinter.listJob;
    LOG_WRITE("job.size:%d", listJob.size());
    m_bJobStopping = false;
    const stPrinterInfo &info = m_stCurrentPrinter.stInfo;
    // With no job seen printing and the queue not printing now, a listing could only
    // come back empty: the shared printer-state answer spares the request.
    if (listJob.isEmpty() && m_pWatch && !IsPrinting(info.strPrinterName))
        return 0;
    QList<stCupsJob> listCups;
    if (!UtilCups::GetJobs(info.strPrinterName, listCups)) {
        if (!m_bCupsOutage)
            LOG_WRITE("no job listing from CUPS for %s", info.strPrinterName.toUtf8().constData());
        m_bCupsOutage = true;
        listJob.clear();
        return 0;
    }
    m_bCupsOutage = false;

    QList<stJobState> listNew;
    for (const stCupsJob &cups : qAsConst(listCups)) {
        stJobState job;
        job.strJobID = info.strPrinterName + "-" + QString::number(cups.iJobId);
        job.iJobStatus = JobStatusOf(cups);
        if (job.iJobStatus == JOB_PRINTING)
            listNew.append(job);
        else if (job.iJobStatus == JOB_CANCELED_BY_USER && WasPrinting(job.strJobID))
            CancelOnPrinter();
        else if (IsStopping(cups) && WasPrinting(job.strJobID)) {
            listNew.append(StillPrinting(job));
            m_bJobStopping = true;
        }
    }
    for (int i = 0; i < listNew.size(); ++i)
        LOG_WRITE("job[%d] status: %d jobid:%s ", i, listNew[i].iJobStatus, listNew[i].strJobID.toUtf8().constData());
    listJob = listNew;
    return 0;
}

bool TrdGetPrinterStatus::WasPrinting(const QString &strJobID) const
{
    const QByteArray baWanted = strJobID.toUtf8();
    for (const stJobState &job : m_stCurrentPrinter.listJob) {
        LOG_WRITE("cancle 637 m_stCurrentPrinter.listJob[i].strJobID :%s   stJob.strJobID:%s\n",
                  job.strJobID.toUtf8().constData(), baWanted.constData());
        if (job.strJobID == strJobID && job.iJobStatus == JOB_PRINTING)
            return true;
    }
    return false;
}

void TrdGetPrinterStatus::CancelOnPrinter()
{
    const stPrinterInfo &info = m_stCurrentPrinter.stInfo;
    QByteArray baName = info.strPrinterName.toUtf8();
    LOG_WRITE(info.iConnectType == CONNECT_USB ? "Cancel printer job:%s" : "Cancel printer NET job:%s",
              baName.constData());
    TransportFor(info.iConnectType).pfnCancelJob(info.strPort);
}

// The job's state for supervision, from CUPS's job-state and job-state-reasons.
int JobStatusOf(const stCupsJob &job)
{
    const bool bProcessing = job.iJobState == c_iIppJobProcessing;
    if (job.listReasons.contains("none"))
        return JOB_ALERT_NONE;
    if (job.listReasons.contains("job-printing"))
        return JOB_PRINTING;
    // A pending or held job passes through this reason when it is cancelled; only a
    // job that is really processing is printing.
    if (job.listReasons.contains("processing-to-stop-point") && bProcessing)
        return JOB_PRINTING;
    if (job.listReasons.contains("job-canceled-by-user"))
        return JOB_CANCELED_BY_USER;
    return bProcessing ? JOB_PRINTING : JOB_OTHER;
}

void TrdGetPrinterStatus::WriteBack()
{
    m_pListPrinter->With([this](QList<stPrinterManager> &list) {
        if (m_iIndex >= list.size() || !IsSamePrinter(list.at(m_iIndex), m_stCurrentPrinter))
            return;
        m_stCurrentPrinter.bNeedStatus = list.at(m_iIndex).bNeedStatus;
        list[m_iIndex] = m_stCurrentPrinter;
    });
}
}  // namespace service
