// Emulated USB printers of the KQ family for the demo and the benchmark. The umockdev
// testbed lives in this process; a program started with the same UMOCKDEV_DIR and the
// preload library finds the printers on its USB bus. Each printer's state comes from its
// control file of key=value lines (status, qualifier, toner, warnings, errors in hex,
// unplug=1), read again whenever it changes. Runs until SIGTERM or SIGINT; whatever uses
// the printers must be stopped first, as a call on a node whose testbed is gone never
// returns.
#include <QByteArray>
#include <QDateTime>
#include <QFile>
#include <QFileInfo>
#include <QList>
#include <QSaveFile>
#include <QString>
#include <QStringList>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <memory>
#include <vector>

#include "StatusReplyBuilder.h"
#include "UsbPrinterEmu.h"
#include "UsbTestbed.h"
#include "npa.h"

namespace
{
constexpr int c_iExitStopped = 0;
constexpr int c_iExitUsage = 2;
constexpr int c_iExitNotEmulated = 3;
constexpr long c_lControlCheckNs = 100 * 1000 * 1000;
constexpr qint64 c_iControlFileMax = 4096;
constexpr int c_iCodeListMax = 16;
constexpr int c_iPercentMax = 100;
constexpr unsigned short c_usRootHubVendor = 0x1D6B;
constexpr unsigned short c_usRootHubProduct = 0x0002;
constexpr unsigned char c_ucHubClass = 9;

volatile std::sig_atomic_t s_bQuit = 0;

void OnStop(int)
{
    s_bQuit = 1;
}

struct stPrinterOptions
{
    unsigned short usProduct = 0;
    QString strSerial;
    QString strControl;
};

struct stOptions
{
    QList<stPrinterOptions> listPrinter;  // each "--product" begins the next printer
    QString strReady;
};

struct stEmuState
{
    int iStatus = 1;     // the KQ state record: 1 ready, 3 busy
    int iQualifier = 0;  // none; with busy, 2 is "printing"
    int iToner = c_iPercentMax;
    QList<std::uint16_t> listWarning;
    QList<std::uint16_t> listError;
    bool bUnplug = false;
};

bool ParseOptions(int argc, char **argv, stOptions &opt)
{
    for (int i = 1; i + 1 < argc; i += 2) {
        const QString strName = QString::fromLocal8Bit(argv[i]);
        const QString strValue = QString::fromLocal8Bit(argv[i + 1]);
        bool bOk = true;
        if (strName == "--product") {
            opt.listPrinter.append(stPrinterOptions());
            opt.listPrinter.last().usProduct = static_cast<unsigned short>(strValue.toUShort(&bOk, 16));
        } else if (strName == "--serial" && !opt.listPrinter.isEmpty())
            opt.listPrinter.last().strSerial = strValue;
        else if (strName == "--control" && !opt.listPrinter.isEmpty())
            opt.listPrinter.last().strControl = strValue;
        else if (strName == "--ready")
            opt.strReady = strValue;
        else
            bOk = false;
        if (!bOk)
            return false;
    }
    const bool bPrintersWhole = std::all_of(opt.listPrinter.begin(), opt.listPrinter.end(), [](const stPrinterOptions &p) {
        return p.usProduct != 0 && !p.strSerial.isEmpty() && !p.strControl.isEmpty();
    });
    return argc % 2 == 1 && !opt.listPrinter.isEmpty() && bPrintersWhole && !opt.strReady.isEmpty();
}

bool ParseCodes(const QString &strText, QList<std::uint16_t> &listCode)
{
    listCode.clear();
    for (const QString &strPart : strText.split(',', Qt::SkipEmptyParts)) {
        bool bOk = false;
        const uint uiCode = strPart.trimmed().toUInt(&bOk, 16);
        if (!bOk || uiCode > 0xFFFF || listCode.size() >= c_iCodeListMax)
            return false;
        listCode.append(std::uint16_t(uiCode));
    }
    return true;
}

bool ParseNumber(const QString &strText, int iMax, int &iValue)
{
    bool bOk = false;
    const int i = strText.toInt(&bOk);
    if (!bOk || i < 0 || i > iMax)
        return false;
    iValue = i;
    return true;
}

bool ApplyLine(stEmuState &st, const QString &strKey, const QString &strValue)
{
    if (strKey == "status")
        return ParseNumber(strValue, 0xFF, st.iStatus);
    if (strKey == "qualifier")
        return ParseNumber(strValue, 0xFF, st.iQualifier);
    if (strKey == "toner")
        return ParseNumber(strValue, c_iPercentMax, st.iToner);
    if (strKey == "warnings")
        return ParseCodes(strValue, st.listWarning);
    if (strKey == "errors")
        return ParseCodes(strValue, st.listError);
    if (strKey == "unplug") {
        st.bUnplug = strValue == "1";
        return true;
    }
    return false;
}

// A bad line is reported and the others still apply.
stEmuState ReadControl(const QString &strPath)
{
    stEmuState st;
    QFile file(strPath);
    if (!file.open(QIODevice::ReadOnly))
        return st;
    for (const QByteArray &baLine : file.read(c_iControlFileMax).split('\n')) {
        const QString strLine = QString::fromUtf8(baLine).trimmed();
        const int iEqual = strLine.indexOf('=');
        if (strLine.isEmpty())
            continue;
        if (iEqual < 0 || !ApplyLine(st, strLine.left(iEqual).trimmed(), strLine.mid(iEqual + 1).trimmed()))
            std::fprintf(stderr, "usb_printer_emu: ignoring control line '%s'\n", strLine.toUtf8().constData());
    }
    return st;
}

// The reply as a KQ printer sends it over USB: the frame answering the service's
// status command, whose sequence number is fixed.
QByteArray KQReply(const stEmuState &st)
{
    stKQReply reply;
    reply.listRecord = {KQState(std::uint8_t(st.iStatus)), KQToner(std::uint8_t(st.iToner))};
    if (st.iQualifier != 0)
        reply.listRecord.append(KQQualifier(std::uint8_t(st.iQualifier)));
    for (std::uint16_t usCode : st.listError)
        reply.listRecord.append(KQError(usCode));
    for (std::uint16_t usCode : st.listWarning)
        reply.listRecord.append(KQWarning(usCode));
    NPA::CCmd cmd;
    NPA::BuildStatusCmd(cmd);
    return BuildKQReplyFrame(cmd.SN(), reply);
}

// A real bus is never empty: its root hub stays when the printer is pulled out, and
// printsvc counts a walk over no device at all as a failed one, not as a missing printer.
stUsbDeviceInfo RootHubInfo()
{
    stUsbDeviceInfo stInfo;
    stInfo.usVendor = c_usRootHubVendor;
    stInfo.usProduct = c_usRootHubProduct;
    stInfo.strManufacturer = QStringLiteral("Linux");
    stInfo.strProduct = QStringLiteral("Root hub");
    stInfo.ucInterfaceClass = c_ucHubClass;
    return stInfo;
}

// Readers of the ready file see either nothing or the whole directory name.
bool WriteReady(const QString &strPath)
{
    QSaveFile file(strPath);
    const QByteArray baDir = qgetenv("UMOCKDEV_DIR");
    return !baDir.isEmpty() && file.open(QIODevice::WriteOnly) && file.write(baDir) == baDir.size() && file.commit();
}

// One emulated printer and the control file it follows.
struct stServed
{
    std::unique_ptr<UsbPrinterEmu> pPrinter;
    QString strControl;
    QDateTime dtSeen;
    bool bPlugged = true;
};

void FollowControl(stServed &served)
{
    const QDateTime dtModified = QFileInfo(served.strControl).lastModified();
    if (!served.bPlugged || dtModified == served.dtSeen)
        return;
    served.dtSeen = dtModified;
    const stEmuState st = ReadControl(served.strControl);
    served.pPrinter->SetStatusReply(KQReply(st));
    if (st.bUnplug) {
        served.pPrinter->Unplug();
        served.bPlugged = false;
    }
}

void Serve(std::vector<stServed> &vecServed)
{
    const timespec tsCheck = {0, c_lControlCheckNs};
    while (!s_bQuit) {
        for (stServed &served : vecServed)
            FollowControl(served);
        nanosleep(&tsCheck, nullptr);
    }
}
}  // namespace

int main(int argc, char **argv)
{
    stOptions opt;
    if (!ParseOptions(argc, argv, opt)) {
        std::fprintf(stderr, "usage: usb_printer_emu (--product HEX --serial TEXT --control FILE)... --ready FILE\n"
                             "  one printer per --product; run with LD_PRELOAD=libumockdev-preload.so.0;\n"
                             "  the ready FILE gets the UMOCKDEV_DIR to use\n");
        return c_iExitUsage;
    }
    std::signal(SIGTERM, OnStop);
    std::signal(SIGINT, OnStop);
    UsbTestbed testbed;
    if (!testbed.Emulated()) {
        std::fprintf(stderr, "usb_printer_emu: no USB emulation (umockdev's preload library is not loaded)\n");
        return c_iExitNotEmulated;
    }
    UsbDeviceEmu hub(testbed, RootHubInfo(), [](const stUsbEmuEvent &) { return stUsbEmuReply{EMU_STALL, {}}; });
    std::vector<stServed> vecServed;
    for (const stPrinterOptions &p : opt.listPrinter) {
        vecServed.push_back({std::make_unique<UsbPrinterEmu>(testbed, p.usProduct, p.strSerial), p.strControl, {}, true});
        FollowControl(vecServed.back());
    }
    if (!WriteReady(opt.strReady)) {
        std::fprintf(stderr, "usb_printer_emu: cannot write %s\n", opt.strReady.toUtf8().constData());
        return c_iExitUsage;
    }
    Serve(vecServed);
    return c_iExitStopped;
}
