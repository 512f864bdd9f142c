#include "PrinterMetrics.h"

#include <QDateTime>
#include <QDir>
#include <QMutexLocker>

#include "UtilCfgFiles.h"
#include "UtilMetrics.h"
#include "UtilPrinterStatus.h"

namespace service
{
void PrinterMetrics::SetPrinters(const QList<stPrinterInfo> &listInfo)
{
    QMutexLocker lock(&m_mutex);
    QList<stEntry> listNew;
    for (const stPrinterInfo &info : listInfo) {
        const stEntry *pOld = Find(info);
        stEntry entry = pOld ? *pOld : stEntry();
        entry.printer.stInfo = info;
        listNew.append(entry);
    }
    m_list = listNew;
    Publish();
}

void PrinterMetrics::Answered(const stPrinterInfo &info, const QByteArray &baStatus, bool bKQ)
{
    QMutexLocker lock(&m_mutex);
    stEntry *pEntry = Find(info);
    if (!pEntry)
        return;
    stPrinterState state = pEntry->printer.stState;
    const auto *pBuffer = reinterpret_cast<const unsigned char *>(baStatus.constData());
    DecodeStatusBuffer(pBuffer, baStatus.size(), bKQ, enKQVariant::Tool, state);
    const bool bChanged = CheckStatusChange(pEntry->printer.stState, state);
    pEntry->printer.stState = state;
    pEntry->llLastReplyMs = QDateTime::currentMSecsSinceEpoch();
    if (bChanged)
        Publish();
}

void PrinterMetrics::Offline(const stPrinterInfo &info)
{
    QMutexLocker lock(&m_mutex);
    stEntry *pEntry = Find(info);
    if (!pEntry || pEntry->printer.stState.enCurrentStatus == STATUS_OFFLINE)
        return;
    pEntry->printer.stState = stPrinterState();
    Publish();
}

void PrinterMetrics::Beat()
{
    QMutexLocker lock(&m_mutex);
    m_llHeartbeatMs = QDateTime::currentMSecsSinceEpoch();
    if (m_llHeartbeatMs - m_llPublishedMs >= c_llMetricsRefreshMs)
        Publish();
}

PrinterMetrics::stEntry *PrinterMetrics::Find(const stPrinterInfo &info)
{
    for (stEntry &entry : m_list) {
        if (entry.printer.stInfo.strPrinterName == info.strPrinterName &&
            entry.printer.stInfo.strDeviceURI == info.strDeviceURI)
            return &entry;
    }
    return nullptr;
}

// Without the collector's directory there is nobody to tell, and nothing to complain about.
void PrinterMetrics::Publish()
{
    m_llPublishedMs = QDateTime::currentMSecsSinceEpoch();
    const QString strDir = UtilMetrics::Directory();
    if (strDir.isEmpty())
        return;
    UtilMetrics::stSnapshot snapshot;
    snapshot.llHeartbeatMs = m_llHeartbeatMs;
    for (const stEntry &entry : qAsConst(m_list))
        snapshot.listPrinter.append(UtilMetrics::SampleOf(entry.printer, entry.llLastReplyMs));
    UtilCfgFiles::ReportWrite(m_outage, QDir(strDir).filePath(UtilMetrics::c_szFileName),
                              UtilMetrics::WriteFile(strDir, UtilMetrics::Render(snapshot)));
}
}  // namespace service
