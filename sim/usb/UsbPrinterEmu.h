// An emulated printer of the suite's USB family: the printer interface with one bulk
// pipe each way and the usblp driver bound, answering the two status requests with
// whatever the test set last and taking the printer-side job cancel.
#pragma once

#include "UsbDeviceEmu.h"

#include <QByteArray>
#include <QString>

#include <memory>

constexpr unsigned short c_usOstrelVendor = 0x300E;

// Standard family: class request 0xA1/0x33; KQ family: vendor request 0xC1/0x01/0x0102.
constexpr unsigned char c_ucStandardStatusType = 0xA1;
constexpr unsigned char c_ucStandardStatusRequest = 0x33;
constexpr unsigned char c_ucKQStatusType = 0xC1;
constexpr unsigned char c_ucKQStatusRequest = 0x01;
constexpr unsigned short c_usKQStatusValue = 0x0102;
constexpr unsigned char c_ucCancelType = 0xA1;
constexpr unsigned char c_ucCancelRequest = 0x34;

struct stPrinterEmuState;

class UsbPrinterEmu : public UsbDeviceEmu
{
public:
    UsbPrinterEmu(UsbTestbed &testbed, unsigned short usProduct, const QString &strSerial);

    // Both status requests get this answer, whichever family the product id belongs to.
    void SetStatusReply(const QByteArray &baStatus);
    // EMU_TIMEOUT, EMU_STALL or EMU_GONE for the status requests from now on.
    void SetStatusFailure(enUsbEmuOutcome enOutcome);

    int CancelCount() const;

private:
    UsbPrinterEmu(UsbTestbed &testbed, unsigned short usProduct, const QString &strSerial,
                  std::shared_ptr<stPrinterEmuState> pState);

    std::shared_ptr<stPrinterEmuState> m_pState;
};
