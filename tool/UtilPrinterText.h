// How one printer record reads to the user: the table's cells and the tray
// notification. The window and printstat both use these, so a row says the same
// thing everywhere.
#pragma once

#include <QString>
#include <QStringList>

#include "PrinterModel.h"

namespace tool
{
// Desktops wider than this scale the windows by width / c_iBaseDesktopWidth.
constexpr int c_iBaseDesktopWidth = 1920;
constexpr int c_iNoticeMs = 3000;

QString ConnectionText(const stPrinterInfo &info, int iLanguage);
QString TonerText(const stPrinterManager &printer);
// The state, or the first error; while printing, the first warning in brackets.
QString StateCellText(const stPrinterState &state, int iLanguage);
QStringList WarningTexts(const stPrinterState &state, int iLanguage);

enum enNoticeKind
{
    NOTICE_NONE,
    NOTICE_CRITICAL,
    NOTICE_WARNING,
};

struct stNotice
{
    enNoticeKind enKind = NOTICE_NONE;
    QString strTitle;
    QString strMessage;
};

// The tray notification a status change brings: the first error, else the first warning.
stNotice NoticeFor(const stPrinterManager &printer, int iLanguage);

// f = width / 1920 held as a float, or 1 on desktops up to 1920 pixels wide.
float DesktopScale(int iDesktopWidth);
// A length times the factor, truncated.
int ScaledLength(int iLength, float fScale);
}  // namespace tool
