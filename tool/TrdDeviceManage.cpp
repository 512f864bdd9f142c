#include "TrdDeviceManage.h"

#include <QFile>
#include <QSettings>

#include "UtilLog.h"
#include "UtilPaths.h"

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
    const QString strPath = UtilPaths::PrinterListPath();
    if (!QFile::exists(strPath))
        return {};
    QSettings settings(strPath, QSettings::IniFormat);
    settings.setIniCodec("UTF-8");
    const int iCount = qBound(0, settings.value("Main/Count").toInt(), c_iMaxListCount);
    QList<stPrinterInfo> listInfo;
    for (int i = 0; i < iCount; ++i) {
        settings.beginGroup(QString::asprintf("printer_%d", i));
        stPrinterInfo info;
        info.strPrinterName = settings.value("Name").toString();
        info.enType = settings.value("Model").toString();
        info.iConnectType = settings.value("ConnectType").toInt();
        info.strPort = settings.value("Port").toString();
        info.strDeviceURI = settings.value("URI").toString();
        settings.endGroup();
        listInfo.append(info);
    }
    return listInfo;
}

QList<stPrinterManager> TrdDeviceManage::GetInitPrinterList(const QList<stPrinterInfo> &listInfo)
{
    return InitPrinterList(listInfo);
}
