#include "UtilMetrics.h"

#include <QDir>
#include <QFileInfo>
#include <QSaveFile>

#include <functional>

#include "PrinterTexts.h"

namespace
{
constexpr double c_dMsPerSecond = 1000.0;
constexpr int c_iTimeDecimals = 3;
constexpr int c_iRatioDecimals = 4;
constexpr double c_dPercent = 100.0;
// The collector runs as its own user, the service as root.
constexpr QFileDevice::Permissions c_permFile =
    QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ReadGroup | QFileDevice::ReadOther;

// State label values, by enPrinterStatus: names for queries, not texts for people.
constexpr const char *c_aszStateName[] = {
    "unknown", "version_mismatch", "offline",  "ready",   "initialize", "busy",      "canceling_job",
    "error",   "printing",         "scanning", "copying", "reporting",  "kq_state4",
};
static_assert(sizeof(c_aszStateName) / sizeof(c_aszStateName[0]) == STATUS_COUNT, "one name per printer state");

struct stFamily
{
    const char *szName;
    const char *szHelp;
};

constexpr stFamily c_famHeartbeat = {"ostrel_printsvc_heartbeat_timestamp_seconds",
                                     "Time of the printer service's last pass over the printers."};
constexpr stFamily c_famUp = {"ostrel_printer_up", "1 when the printer answers status queries, 0 when it is off-line."};
constexpr stFamily c_famState = {"ostrel_printer_state",
                                 "The printer's state: 1 on the series of the current state, 0 on the others."};
constexpr stFamily c_famToner = {"ostrel_printer_toner_remaining_ratio",
                                 "Toner left in the cartridge, 0 to 1; absent while the printer does not answer."};
constexpr stFamily c_famError = {"ostrel_printer_error",
                                 "1 for each error the printer reports, with its code and the catalogue's text."};
constexpr stFamily c_famWarning = {"ostrel_printer_warning",
                                   "1 for each warning the printer reports, with its code and the catalogue's text."};
constexpr stFamily c_famLastReply = {"ostrel_printer_last_status_reply_timestamp_seconds",
                                     "Time of the printer's last answer to a status query."};

struct stLabel
{
    const char *szName;
    QString strValue;
};

QByteArray Seconds(qint64 llMs)
{
    return QByteArray::number(double(llMs) / c_dMsPerSecond, 'f', c_iTimeDecimals);
}

QByteArray Sample(const char *szName, const QList<stLabel> &listLabel, const QByteArray &baValue)
{
    QByteArray ba(szName);
    for (int i = 0; i < listLabel.size(); ++i) {
        ba += i == 0 ? '{' : ',';
        ba += listLabel.at(i).szName;
        ba += "=\"" + UtilMetrics::EscapeLabelValue(listLabel.at(i).strValue) + '"';
    }
    if (!listLabel.isEmpty())
        ba += '}';
    return ba + ' ' + baValue + '\n';
}

QList<stLabel> PrinterLabels(const UtilMetrics::stPrinterSample &printer)
{
    return {{"queue", printer.strQueue},
            {"model", printer.strModel},
            {"connection", ConnectionName(printer.iConnectType)}};
}

using SampleWriter = std::function<QByteArray(const UtilMetrics::stPrinterSample &)>;

// Every family appears once, its samples together, as the format requires; one without
// samples is left out.
QByteArray Family(const stFamily &family, const QByteArray &baSamples)
{
    if (baSamples.isEmpty())
        return {};
    return QByteArray("# HELP ") + family.szName + ' ' + family.szHelp + "\n# TYPE " + family.szName + " gauge\n" +
           baSamples;
}

QByteArray PrinterFamily(const stFamily &family, const QList<UtilMetrics::stPrinterSample> &listPrinter,
                         const SampleWriter &write)
{
    QByteArray baSamples;
    for (const UtilMetrics::stPrinterSample &printer : listPrinter)
        baSamples += write(printer);
    return Family(family, baSamples);
}

// Two raw codes can map to one catalogue entry; a series must not appear twice.
QByteArray Conditions(const char *szName, const UtilMetrics::stPrinterSample &printer,
                      const QList<UtilMetrics::stCondition> &listCondition)
{
    QByteArray ba;
    QList<int> listSeen;
    for (const UtilMetrics::stCondition &condition : listCondition) {
        if (listSeen.contains(condition.iCode))
            continue;
        listSeen.append(condition.iCode);
        QList<stLabel> listLabel = PrinterLabels(printer);
        listLabel.append(stLabel{"code", QString::number(condition.iCode)});
        listLabel.append(stLabel{"text", condition.strText});
        ba += Sample(szName, listLabel, "1");
    }
    return ba;
}

QList<UtilMetrics::stCondition> ConditionsOf(const QList<enErrorStatus> &listCode)
{
    QList<UtilMetrics::stCondition> list;
    for (enErrorStatus enCode : listCode)
        list.append({enCode, ErrorDescText(enCode, c_iLanguageEnglish)});
    return list;
}

QByteArray StateSamples(const UtilMetrics::stPrinterSample &printer)
{
    QByteArray ba;
    for (int i = 0; i < STATUS_COUNT; ++i) {
        QList<stLabel> listLabel = PrinterLabels(printer);
        listLabel.append(stLabel{"state", c_aszStateName[i]});
        ba += Sample(c_famState.szName, listLabel, i == printer.iState ? "1" : "0");
    }
    return ba;
}
}  // namespace

namespace UtilMetrics
{
QByteArray EscapeLabelValue(const QString &strValue)
{
    QByteArray ba;
    for (char c : strValue.toUtf8()) {
        if (c == '\\' || c == '"')
            ba += '\\';
        ba += c == '\n' ? QByteArray("\\n") : QByteArray(1, c);
    }
    return ba;
}

stPrinterSample SampleOf(const stPrinterManager &printer, qint64 llLastReplyMs)
{
    stPrinterSample sample;
    sample.strQueue = printer.stInfo.strPrinterName;
    sample.strModel = printer.stInfo.enType;
    sample.iConnectType = printer.stInfo.iConnectType;
    sample.bAnswers = printer.stState.enCurrentStatus != STATUS_OFFLINE;
    sample.iState = printer.stState.enCurrentStatus;
    sample.dTonerRatio = qBound(0.0, TonerPercent(printer) / c_dPercent, 1.0);
    sample.listError = ConditionsOf(printer.stState.listError);
    sample.listWarning = ConditionsOf(printer.stState.listWarning);
    sample.llLastReplyMs = llLastReplyMs;
    return sample;
}

QByteArray Render(const stSnapshot &snapshot)
{
    const QList<stPrinterSample> &list = snapshot.listPrinter;
    QByteArray ba;
    if (snapshot.llHeartbeatMs > 0)
        ba += Family(c_famHeartbeat, Sample(c_famHeartbeat.szName, {}, Seconds(snapshot.llHeartbeatMs)));
    ba += PrinterFamily(c_famUp, list, [](const stPrinterSample &p) {
        return Sample(c_famUp.szName, PrinterLabels(p), p.bAnswers ? "1" : "0");
    });
    ba += PrinterFamily(c_famState, list, StateSamples);
    ba += PrinterFamily(c_famToner, list, [](const stPrinterSample &p) {
        if (!p.bAnswers || p.dTonerRatio < 0)
            return QByteArray();
        return Sample(c_famToner.szName, PrinterLabels(p), QByteArray::number(p.dTonerRatio, 'f', c_iRatioDecimals));
    });
    ba += PrinterFamily(c_famError, list,
                        [](const stPrinterSample &p) { return Conditions(c_famError.szName, p, p.listError); });
    ba += PrinterFamily(c_famWarning, list,
                        [](const stPrinterSample &p) { return Conditions(c_famWarning.szName, p, p.listWarning); });
    ba += PrinterFamily(c_famLastReply, list, [](const stPrinterSample &p) {
        if (p.llLastReplyMs <= 0)
            return QByteArray();
        return Sample(c_famLastReply.szName, PrinterLabels(p), Seconds(p.llLastReplyMs));
    });
    return ba;
}

QString Directory()
{
    QString strDir = qEnvironmentVariable(c_szDirEnv);
    if (strDir.isEmpty())
        strDir = QString::fromUtf8(c_szDefaultDir);
    return QFileInfo(strDir).isDir() ? strDir : QString();
}

bool WriteFile(const QString &strDir, const QByteArray &baText)
{
    QSaveFile file(QDir(strDir).filePath(c_szFileName));
    return file.open(QIODevice::WriteOnly) && file.setPermissions(c_permFile) &&
           file.write(baText) == baText.size() && file.commit();
}
}  // namespace UtilMetrics
