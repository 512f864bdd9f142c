// How one printer record reads to the user: the table's cells, the tray
// notification and the printer family that decides the toner scale. The window
// and printstat both use these, so a row says the same thing everywhere.
#pragma once

#include <QString>
#include <QStringList>

#include "PrinterModel.h"

namespace tool
{
// Desktops wider than this scale the windows by width / c_iBaseDesktopWidth.
constexpr int c_iBaseDesktopWidth = 1920;
constexpr int c_iNoticeMs = 3000;

// The family whose replies are NPA record lists. The list file's "Model" decides,
// as it decided the reply layout in the service; the queue name only without it.
bool IsKQFamily(const stPrinterInfo &info);

QString ConnectionText(const stPrinterInfo &info, int iLanguage);
// Toner left in percent: the KQ family reports whole percent, the others hundredths.
double TonerPercent(const stPrinterManager &printer);
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
