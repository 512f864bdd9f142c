#include "TrdDeviceManage.h"

#include "UtilCfgFiles.h"
#include "UtilLog.h"

namespace tool
{
namespace
{
// The set counts as unchanged when names and ports match index by index; a new
// model, connection type or URI alone is not a new set.
bool SameSet(const QList<stPrinterManager> &listOld, const QList<stPrinterInfo> &listNew)
{
    if (listOld.size() != listNew.size())
        return false;
    for (int i = 0; i < listOld.size(); ++i) {
        const stPrinterInfo &a = listOld.at(i).stInfo;
        const stPrinterInfo &b = listNew.at(i);
        if (a.strPrinterName != b.strPrinterName || a.strPort != b.strPort)
            return false;
    }
    return true;
}
}  // namespace

TrdDeviceManage::TrdDeviceManage(QObject *parent) : UtilThreadBase(parent) {}

void TrdDeviceManage::Init(SharedPrinterList *pListPrinter)
{
    m_pListPrinter = pListPrinter;
}

void TrdDeviceManage::SlotTaskStart()
{
    if (!EnterTaskOnce())
        return;
    do {
        RunPass();
    } while (!WaitForSleep(c_iListPassMs));
}

void TrdDeviceManage::SlotThreadQuit()
{
    RequestQuit();
}

bool TrdDeviceManage::RunPass()
{
    const QList<stPrinterInfo> listInfo = GetPrinterInfo(true);
    const bool bChanged = m_pListPrinter->With([&listInfo](QList<stPrinterManager> &list) {
        if (SameSet(list, listInfo))
            return false;
        list = GetInitPrinterList(listInfo);
        return true;
    });
    if (bChanged) {
        LOG_WRITE("printer list changed, %d printers", listInfo.size());
        emit SgnUpdatePrinterList();
    }
    return bChanged;
}

QList<stPrinterInfo> TrdDeviceManage::GetPrinterInfo(bool)
{
    return UtilCfgFiles::ReadPrinterList();
}

QList<stPrinterManager> TrdDeviceManage::GetInitPrinterList(const QList<stPrinterInfo> &listInfo)
{
    return InitPrinterList(listInfo);
}
}  // namespace tool
