// What printsvc shows the administrator's monitoring: every printer's last published
// state, kept here so that a change at one printer rewrites the whole file.
#pragma once

#include <QByteArray>
#include <QList>
#include <QMutex>

#include "PrinterModel.h"
#include "UtilOutage.h"

namespace service
{
// The file is rewritten at least this often, so its heartbeat shows a live service.
constexpr qint64 c_llMetricsRefreshMs = 60000;

// Called by the device manager and by every poller, each from its own thread.
class PrinterMetrics
{
public:
    // A new set of printers, in list order; a printer that stays keeps what it had.
    void SetPrinters(const QList<stPrinterInfo> &listInfo);
    // An accepted status buffer, read as the tray tool reads the status file.
    void Answered(const stPrinterInfo &info, const QByteArray &baStatus, bool bKQ);
    // The printer went off-line.
    void Offline(const stPrinterInfo &info);
    // A pass of the device manager: the heartbeat, and the file when it is due.
    void Beat();

private:
    struct stEntry
    {
        stPrinterManager printer;
        qint64 llLastReplyMs = 0;
    };

    stEntry *Find(const stPrinterInfo &info);
    void Publish();

    QMutex m_mutex;
    QList<stEntry> m_list;
    qint64 m_llHeartbeatMs = 0;
    qint64 m_llPublishedMs = 0;
    UtilOutage m_outage;
};
}  // namespace service
