// The printers' state for fleet monitoring: the Prometheus text exposition format,
// published into node_exporter's textfile-collector directory. printsvc keeps the
// file current; printstat prints the same text for other collectors.
#pragma once

#include <QByteArray>
#include <QList>
#include <QString>

#include "PrinterModel.h"

namespace UtilMetrics
{
// The directory: this variable when set, else Debian's collector directory when it exists.
constexpr const char *c_szDirEnv = "OSTREL_METRICS_DIR";
constexpr const char *c_szDefaultDir = "/var/lib/prometheus/node-exporter";
// The collector reads "*.prom" only, so the temporary file beside it is never read half-written.
constexpr const char *c_szFileName = "ostrel-printers.prom";

struct stCondition
{
    int iCode = ERR_UNKNOWN;  // enErrorStatus
    QString strText;          // the catalogue's description
};

// One printer as the monitoring sees it.
struct stPrinterSample
{
    QString strQueue;
    QString strModel;
    int iConnectType = 0;  // enConnectType
    bool bAnswers = false;
    int iState = STATUS_OFFLINE;  // enPrinterStatus
    double dTonerRatio = -1.0;    // 0 to 1; below 0 when not known
    QList<stCondition> listError;
    QList<stCondition> listWarning;
    qint64 llLastReplyMs = 0;  // milliseconds since the epoch; 0 when it never answered
};

struct stSnapshot
{
    QList<stPrinterSample> listPrinter;
    qint64 llHeartbeatMs = 0;  // 0 when not known
};

// A printer record as the tray tool shows it, with the texts of the catalogue in English.
// The record says off-line until the printer answers and again once it stops answering.
stPrinterSample SampleOf(const stPrinterManager &printer, qint64 llLastReplyMs);

// The whole exposition, UTF-8, one family after the other, ending in a line end.
QByteArray Render(const stSnapshot &snapshot);
// A label value inside its double quotes: backslash, double quote and line feed escaped.
QByteArray EscapeLabelValue(const QString &strValue);

// Where the file goes; empty when there is no such directory.
QString Directory();
// Replaces the file in the directory whole (written beside it, then renamed), readable by
// every user; false when it could not be written, with errno as the failure left it.
bool WriteFile(const QString &strDir, const QByteArray &baText);
}  // namespace UtilMetrics
