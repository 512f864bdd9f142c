#include "TrdGetPrinterStatus.h"

#include <QFile>
#include <QSaveFile>

#include "UtilCups.h"
#include "UtilLog.h"
#include "UtilPaths.h"
#include "UtilPrinterStatus.h"

namespace
{
bool WriteStatusFile(const QString &strPath, const QByteArray &baStatus)
{
    QSaveFile file(strPath);
    return file.open(QIODevice::WriteOnly) && file.write(baStatus) == baStatus.size() && file.commit();
}

const char *Utf8(const QString &str, QByteArray &baKeep)
{
    baKeep = str.toUtf8();
    return baKeep.constData();
}
}  // namespace

TrdGetPrinterStatus::TrdGetPrinterStatus(QObject *parent) : UtilThreadBase(parent) {}

void TrdGetPrinterStatus::Init(int iIndex, SharedPrinterList *pListPrinter, UtilCupsPrinterStates *pPrinterStates)
{
    m_iIndex = iIndex;
    m_pListPrinter = pListPrinter;
    m_pPrinterStates = pPrinterStates;
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
    if (m_iIndex < 0 || m_iIndex >= m_pListPrinter->Size())
        return !WaitForSleep(c_iIdlePollerWaitMs);
    if (!CheckNeedStatus(iInterval))
        return !WaitForSleep(iInterval);
    if (!m_pListPrinter->CopyOut(m_iIndex, m_stCurrentPrinter))
        return !IsQuitRequested();
    if (m_stCurrentPrinter.bNeedStatus)
        PollPrinter();
    for (int i = 0; i < c_iJobChecksPerCycle && !IsQuitRequested(); ++i) {
        CheckJobStatus();
        WaitForSleep(iInterval / c_iJobChecksPerCycle);
    }
    WriteBack();
    return !IsQuitRequested();
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
    if (m_pPrinterStates && m_pPrinterStates->IsPrinting(info.strPrinterName)) {
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
    LOG_WRITE("connect %s fail, ret = %d", baName.constData(), iCode);
    if (transport.pfnIsOfflineFailure(iCode, m_stCurrentPrinter.stState.iFailCount))
        ApplyOfflineRule();
}

void TrdGetPrinterStatus::ApplyOfflineRule()
{
    const QString strPath = UtilPaths::StatusFilePath(m_stCurrentPrinter.stInfo.strPrinterName);
    if (!strPath.isEmpty())
        QFile::remove(strPath);
    stPrinterState &st = m_stCurrentPrinter.stState;
    st.enCurrentStatus = STATUS_OFFLINE;
    st.iNumberOfError = 0;
    st.iNumberOfWarning = 0;
    st.listError.clear();
    st.listWarning.clear();
    st.iFailCount = 0;
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
    const QString strPath = UtilPaths::StatusFilePath(m_stCurrentPrinter.stInfo.strPrinterName);
    const bool bChanged = CheckRecvBufChange(baStatus);
    if (!strPath.isEmpty() && MakePathExist(UtilPaths::CfgDir()) && (bChanged || !QFile::exists(strPath)))
        WriteStatusFile(strPath, baStatus);

    UtilPrinterStatus status;
    const auto *pBuffer = reinterpret_cast<const unsigned char *>(baStatus.constData());
    const bool bDecoded = enFamily == FAMILY_KQ ? status.parseRecvBuf_KQ(pBuffer, baStatus.size())
                                                : status.parseRecvBuf(pBuffer, baStatus.size());
    if (!bDecoded)
        return QUERY_BAD_ADDRESS;
    if (enFamily == FAMILY_KQ)
        status.ToPrinterState_KQ(m_stCurrentPrinter.stState);
    else
        status.ToPrinterState(m_stCurrentPrinter.stState);
    return QUERY_OK;
}

int TrdGetPrinterStatus::CheckJobStatus()
{
    return 0;
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
