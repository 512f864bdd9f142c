// Files as printsvc writes them, for the tool's tests: the printer list and
// status files replaced whole by rename.
#pragma once

#include <QByteArray>
#include <QList>
#include <QProcessEnvironment>
#include <QString>

#include <cstdint>

#include "PrinterModel.h"

constexpr const char *c_szModelStandard = "OSTREL VX3010";
constexpr const char *c_szModelKQ = "OSTREL VX3310 Pro";

stPrinterInfo ToolPrinter(const QString &strName, const QString &strModel, int iConnectType, const QString &strPort);
// cfg/printerlist.ini, written as the service writes it.
bool WritePrinterList(const QString &strCfgDir, const QList<stPrinterInfo> &listInfo);
// Written beside the target and renamed over it, as the service replaces status files.
bool ReplaceFile(const QString &strPath, const QByteArray &ba);

// Status buffers as the service stores them.
QByteArray StandardStatus(int iStatus, QList<std::uint16_t> listError, QList<std::uint16_t> listWarning,
                          unsigned long ulToner);
QByteArray KQStatus(int iState, QList<std::uint16_t> listError, QList<std::uint16_t> listWarning, int iToner);

// The user's locale as a desktop session sets it: LANG, and LANGUAGE when given;
// whatever the test runner's own locale was is gone.
QProcessEnvironment WithLocale(QProcessEnvironment env, const QString &strLang, const QString &strLanguage = {});
