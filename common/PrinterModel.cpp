#include "PrinterModel.h"

namespace
{
constexpr double c_dStandardTonerUnit = 100.0;  // hundredths of a percent
}  // namespace

const stModelInfo *FindModelByPort(const QString &strPort)
{
    for (const stModelInfo &row : c_stModelInfoList) {
        if (strPort.contains(row.strURIModel + "?"))
            return &row;
    }
    return nullptr;
}

const stModelInfo *FindModelByName(const QString &strModelName)
{
    for (const stModelInfo &row : c_stModelInfoList) {
        if (strModelName.compare(row.strModelName, Qt::CaseInsensitive) == 0)
            return &row;
    }
    return nullptr;
}

bool isKQPrinterModel(const QString &strModel)
{
    for (const QString &strEntry : KQModelName) {
        if (strModel.contains(strEntry, Qt::CaseSensitive))
            return true;
    }
    return false;
}

bool IsKQFamily(const stPrinterInfo &info)
{
    if (!info.enType.isEmpty())
        return isKQPrinterModel(info.enType);
    return isKQPrinterModel(info.strPrinterName);
}

double TonerPercent(const stPrinterManager &printer)
{
    const double dValue = double(printer.stState.dwRemainingToner);
    return IsKQFamily(printer.stInfo) ? dValue : dValue / c_dStandardTonerUnit;
}

const char *ConnectionName(int iConnectType)
{
    return iConnectType == CONNECT_USB ? "usb" : "network";
}
