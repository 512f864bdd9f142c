// The tool's list reader: follows the printer list file that printsvc writes and
// puts a fresh printer list in place whenever the set of printers changed.
#pragma once

#include <QList>

#include "SharedPrinterList.h"
#include "UtilThreadBase.h"

namespace tool
{
constexpr int c_iListPassMs = 3000;

class TrdDeviceManage : public UtilThreadBase
{
    Q_OBJECT

public:
    explicit TrdDeviceManage(QObject *parent = nullptr);
    void Init(SharedPrinterList *pListPrinter);

    // The records of the list file; the flag is kept for the callers' sake and changes nothing.
    static QList<stPrinterInfo> GetPrinterInfo(bool bCheck = true);
    static QList<stPrinterManager> GetInitPrinterList(const QList<stPrinterInfo> &listInfo);
    // One pass: true when a new list was put in place and announced.
    bool RunPass();

signals:
    void SgnUpdatePrinterList();

public slots:
    void SlotTaskStart();
    void SlotThreadQuit();

private:
    SharedPrinterList *m_pListPrinter = nullptr;
};
}  // namespace tool
