#include "UsbPrinterEmu.h"

#include <QMutex>
#include <QMutexLocker>

namespace
{
constexpr unsigned char c_ucPrinterClass = 7;
constexpr unsigned char c_ucPrinterSubClass = 1;
constexpr unsigned char c_ucBidirectional = 2;
constexpr unsigned char c_ucBulkOut = 0x01;
constexpr unsigned char c_ucBulkIn = 0x81;
constexpr int c_iCancelLength = 1017;
}  // namespace

// Shared with the responder, which runs on the testbed's worker thread.
struct stPrinterEmuState
{
    QMutex mutex;
    stUsbEmuReply stStatus;
};

namespace
{
stUsbDeviceInfo PrinterInfo(unsigned short usProduct, const QString &strSerial)
{
    stUsbDeviceInfo stInfo;
    stInfo.usVendor = c_usOstrelVendor;
    stInfo.usProduct = usProduct;
    stInfo.strManufacturer = QStringLiteral("Ostrel");
    stInfo.strProduct = QStringLiteral("Ostrel Printer");
    stInfo.strSerial = strSerial;
    stInfo.ucInterfaceClass = c_ucPrinterClass;
    stInfo.ucInterfaceSubClass = c_ucPrinterSubClass;
    stInfo.ucInterfaceProtocol = c_ucBidirectional;
    stInfo.vecEndpoints = {{c_ucBulkOut}, {c_ucBulkIn}};
    stInfo.strKernelDriver = QStringLiteral("usblp");
    return stInfo;
}

bool IsStatusRequest(const stUsbEmuEvent &ev)
{
    const bool bStandard = ev.ucRequestType == c_ucStandardStatusType && ev.ucRequest == c_ucStandardStatusRequest &&
                           ev.usValue == 0;
    const bool bKQ = ev.ucRequestType == c_ucKQStatusType && ev.ucRequest == c_ucKQStatusRequest &&
                     ev.usValue == c_usKQStatusValue;
    return bStandard || bKQ;
}

bool IsCancelRequest(const stUsbEmuEvent &ev)
{
    return ev.ucRequestType == c_ucCancelType && ev.ucRequest == c_ucCancelRequest;
}

// A printer takes print data and has nothing to say on its own: a read waits for ever.
stUsbEmuReply BulkReply(const stUsbEmuEvent &ev)
{
    return {(ev.ucEndpoint & 0x80) ? EMU_TIMEOUT : EMU_ANSWER, {}};
}

stUsbEmuReply PrinterReply(stPrinterEmuState &stState, const stUsbEmuEvent &ev)
{
    if (ev.enKind == EMU_BULK)
        return BulkReply(ev);
    if (IsStatusRequest(ev)) {
        QMutexLocker lock(&stState.mutex);
        return stState.stStatus;
    }
    if (IsCancelRequest(ev))
        return {EMU_ANSWER, {}};
    return {EMU_STALL, {}};
}
}  // namespace

UsbPrinterEmu::UsbPrinterEmu(UsbTestbed &testbed, unsigned short usProduct, const QString &strSerial)
    : UsbPrinterEmu(testbed, usProduct, strSerial, std::make_shared<stPrinterEmuState>())
{
}

UsbPrinterEmu::UsbPrinterEmu(UsbTestbed &testbed, unsigned short usProduct, const QString &strSerial,
                             std::shared_ptr<stPrinterEmuState> pState)
    : UsbDeviceEmu(testbed, PrinterInfo(usProduct, strSerial),
                   [pState](const stUsbEmuEvent &ev) { return PrinterReply(*pState, ev); }),
      m_pState(std::move(pState))
{
}

void UsbPrinterEmu::SetStatusReply(const QByteArray &baStatus)
{
    QMutexLocker lock(&m_pState->mutex);
    m_pState->stStatus = {EMU_ANSWER, baStatus};
}

void UsbPrinterEmu::SetStatusFailure(enUsbEmuOutcome enOutcome)
{
    QMutexLocker lock(&m_pState->mutex);
    m_pState->stStatus = {enOutcome, {}};
}

int UsbPrinterEmu::CancelCount() const
{
    return CountControl(c_ucCancelType, c_ucCancelRequest, c_iCancelLength);
}
