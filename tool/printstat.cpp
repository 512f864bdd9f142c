// printstat: the printers of the tray tool's table on standard output, for
// desktops without a tray and for scripts. It reads the same list and status
// files through the same file module and decoder as the tool, and cancels nothing.
#include <QCoreApplication>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTextStream>

#include "SharedPrinterList.h"
#include "UtilCfgFiles.h"
#include "UtilDesktopLocale.h"
#include "UtilLanguageCtrl.h"
#include "UtilPrinterStatus.h"
#include "UtilPrinterText.h"

namespace tool
{
namespace
{
enum enExitCode
{
    EXIT_ALL_WELL = 0,
    EXIT_PRINTER_ERROR = 1,
    EXIT_USAGE = 2,
};

constexpr const char *c_szUsage =
    "usage: printstat [--json] [--lang zh|en]\n"
    "Texts follow the locale (LANGUAGE, LC_ALL, LC_MESSAGES, LANG) unless --lang says otherwise.\n"
    "One line per printer: name, connection, toner, state or first error, warnings.\n"
    "Exit status 1 when a printer reports an error, 2 on a usage error.\n";

struct stOptions
{
    bool bHelp = false;
    bool bJson = false;
    int iLanguage = DesktopLanguage();
};

bool ParseOptions(const QStringList &listArg, stOptions &options)
{
    for (int i = 1; i < listArg.size(); ++i) {
        const QString &strArg = listArg.at(i);
        if (strArg == "--help" || strArg == "-h") {
            options.bHelp = true;
        } else if (strArg == "--json") {
            options.bJson = true;
        } else if (strArg == "--lang" && i + 1 < listArg.size()) {
            const QString strLang = listArg.at(++i);
            if (strLang != "zh" && strLang != "en")
                return false;
            options.iLanguage = strLang == "en" ? c_iLanguageEnglish : c_iLanguageChinese;
        } else {
            return false;
        }
    }
    return true;
}

// Each printer's status file read once, decoded as the tool decodes it.
QList<stPrinterManager> ReadPrinters()
{
    QList<stPrinterManager> list = InitPrinterList(UtilCfgFiles::ReadPrinterList());
    unsigned char szStatus[UtilCfgFiles::c_iStatusFileMax];
    for (stPrinterManager &printer : list) {
        const qint64 llRead = UtilCfgFiles::ReadStatusFile(UtilCfgFiles::StatusFilePath(printer.stInfo.strPrinterName),
                                                           szStatus, sizeof(szStatus));
        if (llRead >= 0)
            DecodeStatusBuffer(szStatus, static_cast<unsigned long>(llRead), IsKQFamily(printer.stInfo),
                               enKQVariant::Tool, printer.stState);
    }
    return list;
}

bool HasError(const stPrinterState &state)
{
    return !state.listError.isEmpty() || state.enCurrentStatus == STATUS_ERROR;
}

QJsonArray CodesJson(const QList<enErrorStatus> &listCode, int iLanguage)
{
    QJsonArray array;
    for (enErrorStatus enCode : listCode)
        array.append(QJsonObject{{"code", int(enCode)}, {"text", ErrorDescText(enCode, iLanguage)}});
    return array;
}

QJsonObject PrinterJson(const stPrinterManager &printer, int iLanguage)
{
    const stPrinterInfo &info = printer.stInfo;
    const stPrinterState &state = printer.stState;
    return QJsonObject{
        {"name", info.strPrinterName},
        {"model", info.enType},
        {"connection", info.iConnectType == CONNECT_USB ? "usb" : "network"},
        {"port", info.strPort},
        {"toner", TonerPercent(printer)},
        {"state", int(state.enCurrentStatus)},
        {"stateText", StatusText(state.enCurrentStatus, iLanguage)},
        {"text", StateCellText(state, iLanguage)},
        {"errors", CodesJson(state.listError, iLanguage)},
        {"warnings", CodesJson(state.listWarning, iLanguage)},
    };
}

QString PrinterLine(const stPrinterManager &printer, int iLanguage)
{
    const QStringList listField = {
        printer.stInfo.strPrinterName,
        ConnectionText(printer.stInfo, iLanguage),
        TonerText(printer),
        StateCellText(printer.stState, iLanguage),
        WarningTexts(printer.stState, iLanguage).join(", "),
    };
    return listField.join('\t');
}
}  // namespace
}  // namespace tool

int main(int argc, char *argv[])
{
    using namespace tool;
    QCoreApplication app(argc, argv);
    QTextStream out(stdout);
    out.setCodec("UTF-8");
    stOptions options;
    if (!ParseOptions(app.arguments(), options)) {
        QTextStream(stderr) << c_szUsage;
        return EXIT_USAGE;
    }
    if (options.bHelp) {
        out << c_szUsage;
        return EXIT_ALL_WELL;
    }

    const QList<stPrinterManager> list = ReadPrinters();
    bool bError = false;
    QJsonArray array;
    for (const stPrinterManager &printer : list) {
        bError = bError || HasError(printer.stState);
        if (options.bJson)
            array.append(PrinterJson(printer, options.iLanguage));
        else
            out << PrinterLine(printer, options.iLanguage) << '\n';
    }
    if (options.bJson)
        out << QJsonDocument(QJsonObject{{"printers", array}}).toJson(QJsonDocument::Indented);
    return bError ? EXIT_PRINTER_ERROR : EXIT_ALL_WELL;
}
