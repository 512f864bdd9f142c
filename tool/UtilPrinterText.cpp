#include "UtilPrinterText.h"

#include "UtilLanguageCtrl.h"

namespace tool
{
namespace
{
constexpr double c_dStandardTonerUnit = 100.0;  // hundredths of a percent
}  // namespace

bool IsKQFamily(const stPrinterInfo &info)
{
    if (!info.enType.isEmpty())
        return isKQPrinterModel(info.enType);
    return isKQPrinterModel(info.strPrinterName);
}

QString ConnectionText(const stPrinterInfo &info, int iLanguage)
{
    if (info.iConnectType == CONNECT_USB)
        return ToolText(TEXT_CONNECT_USB, iLanguage);
    return ToolText(TEXT_CONNECT_NETWORK, iLanguage) + "(" + info.strPort + ")";
}

double TonerPercent(const stPrinterManager &printer)
{
    const double dValue = double(printer.stState.dwRemainingToner);
    return IsKQFamily(printer.stInfo) ? dValue : dValue / c_dStandardTonerUnit;
}

QString TonerText(const stPrinterManager &printer)
{
    return QString::asprintf("%.2f%%", TonerPercent(printer));
}

QString StateCellText(const stPrinterState &state, int iLanguage)
{
    if (!state.listError.isEmpty())
        return ErrorDescText(state.listError.first(), iLanguage);
    const QString strState = StatusText(state.enCurrentStatus, iLanguage);
    if (!state.listWarning.isEmpty() && state.enCurrentStatus == STATUS_PRINTING)
        return strState + "(" + ErrorDescText(state.listWarning.first(), iLanguage) + ")";
    return strState;
}

QStringList WarningTexts(const stPrinterState &state, int iLanguage)
{
    QStringList list;
    for (enErrorStatus enCode : state.listWarning)
        list.append(ErrorDescText(enCode, iLanguage));
    return list;
}

stNotice NoticeFor(const stPrinterManager &printer, int iLanguage)
{
    const stPrinterState &state = printer.stState;
    stNotice notice;
    notice.strTitle = printer.stInfo.strPrinterName;
    if (!state.listError.isEmpty()) {
        notice.enKind = NOTICE_CRITICAL;
        notice.strMessage = ErrorDescText(state.listError.first(), iLanguage);
    } else if (!state.listWarning.isEmpty()) {
        notice.enKind = NOTICE_WARNING;
        notice.strMessage = ErrorDescText(state.listWarning.first(), iLanguage);
    }
    return notice;
}

float DesktopScale(int iDesktopWidth)
{
    if (iDesktopWidth <= c_iBaseDesktopWidth)
        return 1.0f;
    return float(double(iDesktopWidth) / c_iBaseDesktopWidth);
}

int ScaledLength(int iLength, float fScale)
{
    return int(iLength * fScale);
}
}  // namespace tool
