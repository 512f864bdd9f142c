// How long a replaced status file takes to reach the tray tool's table, measured
// in process on the real window with its real readers: once with the cfg/ watch,
// once with the 1000 ms pass alone. Prints p50/p95/max in milliseconds.
#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileSystemWatcher>
#include <QTableWidget>
#include <QTemporaryDir>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <vector>

#include "StatusReplyBuilder.h"
#include "UtilCfgFiles.h"
#include "tool/QuarnPrinterToolWidget.h"

using namespace tool;

namespace
{
constexpr int c_iPrinters = 16;
constexpr int c_iWatchedChanges = 300;
constexpr int c_iFallbackChanges = 20;
constexpr int c_iCellTimeoutMs = 5000;
constexpr int c_iWakeTickMs = 5;  // keeps the wait loop turning when no event comes
constexpr int c_iTonerColumn = 2;

QString PrinterName(int i)
{
    return QString("bench%1").arg(i, 2, 10, QChar('0'));
}

bool WriteList(const QString &strCfg)
{
    QList<stPrinterInfo> listInfo;
    for (int i = 0; i < c_iPrinters; ++i) {
        stPrinterInfo info;
        info.strPrinterName = PrinterName(i);
        info.enType = "OSTREL VX3010";
        info.iConnectType = CONNECT_USB;
        info.strPort = QString("OSTREL/VX3010?serial=%1").arg(i);
        info.strDeviceURI = "usb://" + info.strPort;
        listInfo.append(info);
    }
    return UtilCfgFiles::WritePrinterList(listInfo, strCfg + UtilCfgFiles::c_szListFile);
}

// Replaced by rename, as the service does.
bool WriteStatus(int iPrinter, unsigned long ulToner)
{
    stStandardReply reply;
    reply.listSupply = {SupplyNumber(0x1000, ulToner, 4)};
    const QByteArray ba = BuildStandardReply(reply);
    return UtilCfgFiles::WriteStatusFile(UtilCfgFiles::StatusFilePath(PrinterName(iPrinter)), ba);
}

bool WaitCell(QTableWidget *table, int iRow, const QString &strText, int iTimeoutMs)
{
    QElapsedTimer timer;
    timer.start();
    while (timer.elapsed() < iTimeoutMs) {
        const QTableWidgetItem *pItem = table->item(iRow, c_iTonerColumn);
        if (pItem && pItem->text() == strText)
            return true;
        QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
    }
    return false;
}

// One change per printer in turn; the latency of each in milliseconds.
std::vector<double> Measure(QTableWidget *table, int iChanges, unsigned long &ulToner)
{
    std::vector<double> vecMs;
    for (int k = 0; k < iChanges; ++k) {
        const int iRow = k % c_iPrinters;
        ++ulToner;
        const QString strExpected = QString::asprintf("%.2f%%", ulToner / 100.0);
        QElapsedTimer timer;
        timer.start();
        if (!WriteStatus(iRow, ulToner) || !WaitCell(table, iRow, strExpected, c_iCellTimeoutMs)) {
            std::fprintf(stderr, "change %d did not reach the table\n", k);
            continue;
        }
        vecMs.push_back(timer.nsecsElapsed() / 1e6);
    }
    return vecMs;
}

void Report(const char *szWhat, std::vector<double> vecMs)
{
    if (vecMs.empty()) {
        std::printf("%-22s no change measured\n", szWhat);
        return;
    }
    std::sort(vecMs.begin(), vecMs.end());
    const auto At = [&](double q) { return vecMs[std::min(vecMs.size() - 1, size_t(q * vecMs.size()))]; };
    std::printf("%-22s changes=%zu p50=%.1f ms p95=%.1f ms max=%.1f ms\n", szWhat, vecMs.size(), At(0.50), At(0.95),
                vecMs.back());
}
}  // namespace

int main(int argc, char *argv[])
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    QTemporaryDir dir;
    qputenv("OSTREL_PREFIX", dir.path().toLocal8Bit());
    const QString strCfg = dir.path() + "/cfg/";
    unsigned long ulToner = 1000;
    if (!QDir().mkpath(strCfg) || !WriteList(strCfg))
        return 1;
    for (int i = 0; i < c_iPrinters; ++i)
        WriteStatus(i, ulToner);

    QuarnPrinterToolWidget widget;
    auto *table = widget.findChild<QTableWidget *>("tableDeviceManage");
    QTimer tick;
    tick.start(c_iWakeTickMs);
    for (int i = 0; i < c_iPrinters; ++i) {
        if (!WaitCell(table, i, "10.00%", c_iCellTimeoutMs * 4)) {
            std::fprintf(stderr, "the table never showed printer %d\n", i);
            return 1;
        }
    }
    Report("with the cfg/ watch:", Measure(table, c_iWatchedChanges, ulToner));
    auto *pWatcher = widget.findChild<QFileSystemWatcher *>();
    pWatcher->removePaths(pWatcher->directories());
    Report("1000 ms pass alone:", Measure(table, c_iFallbackChanges, ulToner));
    return 0;
}
