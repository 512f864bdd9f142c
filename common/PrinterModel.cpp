#include "PrinterModel.h"

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
